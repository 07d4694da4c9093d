// qvprobe: drives and reads another process's windows from outside, for the
// black-box tests of qorvex.exe under Wine. Every command prints its result
// on stdout and exits 0, or prints one line "qvprobe: error: ..." on stderr and
// exits 1 (2 for bad usage).
//
//   wait-window CLASS_OR_TITLE [timeout_ms]   wait for a top-level window
//   wait-gone CLASS_OR_TITLE [timeout_ms]     wait until no such window exists
//   command ID                                post WM_COMMAND ID to the main window
//   wait-dialog CAPTION [timeout_ms]          wait for a dialog with that caption
//   dialog-text CAPTION                       dump the dialog's controls
//   click CAPTION ID                          click a dialog's button
//   close CAPTION                             post WM_CLOSE to a window by caption
//   menu                                      dump the main window's live menu
//   resources                                 the target's handle, GDI/USER object and memory figures
//   port-open NAME                            try to open a serial port (COM1...)
//   select CAPTION ID INDEX                   select row INDEX of a dialog's combo box
//   status-bar                                the main window's status bar, one part a line
//
// The main window is found by class, "qorvex" unless QVPROBE_CLASS says otherwise.
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qvhook.h"

namespace {

const DWORD kDefaultTimeoutMs = 10000;
const DWORD kPollMs = 50;
// Cross-process sends must not hang the probe when the target is stuck.
const UINT kSendTimeoutMs = 5000;

std::string Utf8(const std::wstring& s) {
  if (s.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), &out[0], n, nullptr, nullptr);
  return out;
}

std::string Quote(const std::wstring& ws) {
  std::string s = Utf8(ws), out = "\"";
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "qvprobe: error: %s\n", what.c_str());
  return 1;
}

int Usage() {
  std::fprintf(stderr,
               "qvprobe: error: usage: qvprobe wait-window|wait-gone NAME [ms] | command ID | "
               "wait-dialog CAPTION [ms] | dialog-text CAPTION | click CAPTION ID | close CAPTION | "
               "menu | resources | port-open NAME | select CAPTION ID INDEX | status-bar\n");
  return 2;
}

bool ParseUnsigned(const std::wstring& s, unsigned long& value) {
  if (s.empty()) return false;
  wchar_t* end = nullptr;
  value = std::wcstoul(s.c_str(), &end, 0);
  return end && *end == L'\0';
}

std::wstring MainClass() {
  wchar_t buf[256];
  DWORD n = GetEnvironmentVariableW(L"QVPROBE_CLASS", buf, 256);
  if (n > 0 && n < 256) return std::wstring(buf, n);
  return L"qorvex";
}

HWND FindTopLevel(const std::wstring& name) {
  HWND h = FindWindowW(name.c_str(), nullptr);
  if (!h) h = FindWindowW(nullptr, name.c_str());
  return h;
}

// Standard dialogs (and message boxes) have the class "#32770".
HWND FindDialog(const std::wstring& caption) { return FindWindowW(L"#32770", caption.c_str()); }

template <class Finder>
HWND WaitFor(Finder find, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    HWND h = find();
    if (h) return h;
    if (GetTickCount() - start >= timeoutMs) return nullptr;
    Sleep(kPollMs);
  }
}

std::string Hex(HWND h) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(h)));
  return buf;
}

LRESULT SendW(HWND h, UINT msg, WPARAM wp, LPARAM lp, bool* ok = nullptr) {
  DWORD_PTR result = 0;
  LRESULT sent = SendMessageTimeoutW(h, msg, wp, lp, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
  if (ok) *ok = sent != 0;
  return static_cast<LRESULT>(result);
}

// WM_GETTEXT is marshalled across processes; GetWindowText would not ask an
// edit control of another process for its text.
std::wstring TextOf(HWND h) {
  LRESULT len = SendW(h, WM_GETTEXTLENGTH, 0, 0);
  if (len <= 0) return std::wstring();
  std::vector<wchar_t> buf(static_cast<size_t>(len) + 1, L'\0');
  SendW(h, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()));
  return std::wstring(buf.data());
}

std::wstring ClassOf(HWND h) {
  wchar_t buf[256] = {0};
  GetClassNameW(h, buf, 256);
  return buf;
}

// List and combo rows, read with the W messages: the A forms return one
// character across processes under Wine.
void DumpRows(HWND h, int id, UINT countMsg, UINT lenMsg, UINT textMsg, UINT selMsg, std::string& out) {
  LRESULT count = SendW(h, countMsg, 0, 0);
  LRESULT sel = SendW(h, selMsg, 0, 0);
  out += "rows\t" + std::to_string(id) + "\tcount=" + std::to_string(count < 0 ? -1 : count) +
         "\tsel=" + std::to_string(sel < 0 ? -1 : sel) + "\n";
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT len = SendW(h, lenMsg, static_cast<WPARAM>(i), 0);
    std::vector<wchar_t> buf(static_cast<size_t>(len < 0 ? 0 : len) + 1, L'\0');
    SendW(h, textMsg, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buf.data()));
    out += "row\t" + std::to_string(id) + "\t" + std::to_string(i) + "\t" + Quote(buf.data()) + "\n";
  }
}

struct DumpContext {
  HWND dialog;
  std::string out;
};

BOOL CALLBACK DumpChild(HWND h, LPARAM lp) {
  DumpContext* ctx = reinterpret_cast<DumpContext*>(lp);
  if (GetParent(h) != ctx->dialog) return TRUE;  // only the dialog's own controls
  int id = GetDlgCtrlID(h);
  std::wstring cls = ClassOf(h);
  LONG style = GetWindowLongW(h, GWL_STYLE);
  std::string line = "ctl\t" + std::to_string(id) + "\t" + Utf8(cls) +
                     "\tenabled=" + (IsWindowEnabled(h) ? "1" : "0") +
                     "\tvisible=" + (IsWindowVisible(h) ? "1" : "0");
  if (!lstrcmpiW(cls.c_str(), L"Button")) {
    LONG kind = style & BS_TYPEMASK;
    if (kind == BS_CHECKBOX || kind == BS_AUTOCHECKBOX || kind == BS_RADIOBUTTON || kind == BS_AUTORADIOBUTTON ||
        kind == BS_3STATE || kind == BS_AUTO3STATE)
      line += "\tcheck=" + std::to_string(SendW(h, BM_GETCHECK, 0, 0));
  }
  line += "\ttext=" + Quote(TextOf(h)) + "\n";
  ctx->out += line;
  if (!lstrcmpiW(cls.c_str(), L"ListBox"))
    DumpRows(h, id, LB_GETCOUNT, LB_GETTEXTLEN, LB_GETTEXT, LB_GETCURSEL, ctx->out);
  else if (!lstrcmpiW(cls.c_str(), L"ComboBox"))
    DumpRows(h, id, CB_GETCOUNT, CB_GETLBTEXTLEN, CB_GETLBTEXT, CB_GETCURSEL, ctx->out);
  return TRUE;
}

int CmdWaitWindow(const std::wstring& name, DWORD timeout, bool gone) {
  if (gone) {
    DWORD start = GetTickCount();
    while (FindTopLevel(name)) {
      if (GetTickCount() - start >= timeout) return Fail("window still there: " + Utf8(name));
      Sleep(kPollMs);
    }
    std::printf("gone\n");
    return 0;
  }
  HWND h = WaitFor([&] { return FindTopLevel(name); }, timeout);
  if (!h) return Fail("no window: " + Utf8(name));
  std::printf("%s\n", Hex(h).c_str());
  return 0;
}

int CmdCommand(unsigned long id) {
  HWND h = FindWindowW(MainClass().c_str(), nullptr);
  if (!h) return Fail("no main window of class " + Utf8(MainClass()));
  if (!PostMessageW(h, WM_COMMAND, MAKEWPARAM(id, 0), 0)) return Fail("PostMessage failed");
  std::printf("posted %lu\n", id);
  return 0;
}

int CmdWaitDialog(const std::wstring& caption, DWORD timeout) {
  HWND h = WaitFor([&] { return FindDialog(caption); }, timeout);
  if (!h) return Fail("no dialog: " + Utf8(caption));
  std::printf("%s\n", Hex(h).c_str());
  return 0;
}

int CmdDialogText(const std::wstring& caption) {
  HWND dlg = FindDialog(caption);
  if (!dlg) return Fail("no dialog: " + Utf8(caption));
  DumpContext ctx;
  ctx.dialog = dlg;
  ctx.out = "dialog\t" + Quote(caption) + "\n";
  EnumChildWindows(dlg, DumpChild, reinterpret_cast<LPARAM>(&ctx));
  std::fwrite(ctx.out.data(), 1, ctx.out.size(), stdout);
  return 0;
}

// Posted, not sent: a click that opens a nested modal dialog would otherwise
// keep the probe waiting until that dialog closes.
int CmdClick(const std::wstring& caption, unsigned long id) {
  HWND dlg = FindDialog(caption);
  if (!dlg) return Fail("no dialog: " + Utf8(caption));
  HWND ctl = GetDlgItem(dlg, static_cast<int>(id));
  if (ctl) {
    if (!IsWindowEnabled(ctl)) return Fail("control " + std::to_string(id) + " is disabled");
    if (!lstrcmpiW(ClassOf(ctl).c_str(), L"Button")) {
      if (!PostMessageW(ctl, BM_CLICK, 0, 0)) return Fail("PostMessage failed");
      std::printf("clicked %lu\n", id);
      return 0;
    }
  }
  // No such control (e.g. IDCANCEL without a Cancel button) or not a button:
  // deliver the command the control would send.
  if (!PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(ctl)))
    return Fail("PostMessage failed");
  std::printf("command %lu\n", id);
  return 0;
}

// CB_SETCURSEL sends no notification, so the dialog sees the new row only
// when it reads the box (on Ok), as with a keyboard choice before closing.
int CmdSelect(const std::wstring& caption, unsigned long id, unsigned long index) {
  HWND dlg = FindDialog(caption);
  if (!dlg) return Fail("no dialog: " + Utf8(caption));
  HWND ctl = GetDlgItem(dlg, static_cast<int>(id));
  if (!ctl || lstrcmpiW(ClassOf(ctl).c_str(), L"ComboBox")) return Fail("no combo box " + std::to_string(id));
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(ctl, CB_SETCURSEL, index, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result) ||
      static_cast<LRESULT>(result) != static_cast<LRESULT>(index))
    return Fail("row " + std::to_string(index) + " cannot be selected");
  std::printf("selected %lu\n", index);
  return 0;
}

// The texts live in the target process: read through a buffer allocated there.
int CmdStatusBar() {
  HWND main = FindTopLevel(MainClass());
  if (!main) return Fail("no main window");
  HWND bar = FindWindowExW(main, nullptr, L"msctls_statusbar32", nullptr);
  if (!bar) return Fail("no status bar");
  DWORD pid = 0;
  GetWindowThreadProcessId(bar, &pid);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) return Fail("cannot open the target process");
  const SIZE_T size = 1024 * sizeof(wchar_t);
  void* remote = VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
  if (!remote) {
    CloseHandle(process);
    return Fail("cannot allocate in the target");
  }
  DWORD_PTR parts = 0;
  SendMessageTimeoutW(bar, SB_GETPARTS, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &parts);
  int rc = 0;
  for (WPARAM i = 0; i < parts; ++i) {
    DWORD_PTR length = 0;
    SendMessageTimeoutW(bar, SB_GETTEXTLENGTHW, i, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length);
    if (LOWORD(length) >= 1000) { rc = Fail("part too long"); break; }
    DWORD_PTR ignored = 0;
    if (!SendMessageTimeoutW(bar, SB_GETTEXTW, i, reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &ignored)) { rc = Fail("SB_GETTEXT failed"); break; }
    wchar_t text[1024] = {};
    SIZE_T got = 0;
    if (!ReadProcessMemory(process, remote, text, (LOWORD(length) + 1) * sizeof(wchar_t), &got)) {
      rc = Fail("cannot read the text"); break;
    }
    text[LOWORD(length)] = 0;
    std::printf("part\t%u\t%s\n", static_cast<unsigned>(i), Quote(text).c_str());
  }
  VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  CloseHandle(process);
  return rc;
}

int CmdClose(const std::wstring& caption) {
  HWND h = FindDialog(caption);
  if (!h) h = FindTopLevel(caption);
  if (!h) return Fail("no window: " + Utf8(caption));
  if (!PostMessageW(h, WM_CLOSE, 0, 0)) return Fail("PostMessage failed");
  std::printf("closed\n");
  return 0;
}

bool HasTlsDirectory(HMODULE mod) {
  const BYTE* base = reinterpret_cast<const BYTE*>(mod);
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_TLS) return false;
  return nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS].VirtualAddress != 0;
}

int CmdMenu(DWORD timeout, WPARAM marker) {
  HWND h = FindWindowW(MainClass().c_str(), nullptr);
  if (!h) return Fail("no main window of class " + Utf8(MainClass()));
  DWORD tid = GetWindowThreadProcessId(h, nullptr);

  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return Fail("GetModuleFileName failed");
  std::wstring dll(path, n);
  dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"qvhook.dll";
  HMODULE mod = LoadLibraryW(dll.c_str());
  if (!mod) return Fail("cannot load " + Utf8(dll));
  HOOKPROC proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(mod, QVHOOK_PROC_NAME)));
  if (!proc) return Fail("qvhook.dll lacks " QVHOOK_PROC_NAME);
  // Wine's loader faults when it maps a DLL with static TLS into a process
  // that runs further threads, and leaves the target's loader lock held:
  // such a hook would hang the target instead of answering.
  if (HasTlsDirectory(mod)) return Fail("qvhook.dll has a TLS directory (built with the runtime start-up code)");

  DWORD pid = GetCurrentProcessId();
  wchar_t mapName[64], eventName[64];
  wsprintfW(mapName, QVHOOK_MAP_NAME_FMT, pid);
  wsprintfW(eventName, QVHOOK_EVENT_NAME_FMT, pid);
  HANDLE map = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, QVHOOK_MAP_SIZE, mapName);
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, eventName);
  if (!map || !done) return Fail("cannot create the answer mapping");

  HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, proc, mod, tid);
  if (!hook) return Fail("SetWindowsHookEx failed: " + std::to_string(GetLastError()));
  int rc = 0;
  if (!PostMessageW(h, WM_NULL, marker, static_cast<LPARAM>(pid))) {
    rc = Fail("PostMessage failed");
  } else if (WaitForSingleObject(done, timeout) != WAIT_OBJECT_0) {
    rc = Fail("no answer from the hook in the target");
  } else {
    const char* view = static_cast<const char*>(MapViewOfFile(map, FILE_MAP_READ, 0, 0, QVHOOK_MAP_SIZE));
    if (!view) {
      rc = Fail("MapViewOfFile failed");
    } else {
      std::string text(view, strnlen(view, QVHOOK_MAP_SIZE));
      UnmapViewOfFile(view);
      if (text.compare(0, 6, "error\t") == 0) rc = Fail("hook: " + text.substr(6, text.find('\n') - 6));
      else std::fwrite(text.data(), 1, text.size(), stdout);
    }
  }
  UnhookWindowsHookEx(hook);
  CloseHandle(done);
  CloseHandle(map);
  return rc;
}

int CmdPortOpen(const std::wstring& name) {
  std::wstring dev = L"\\\\.\\" + name;
  HANDLE h = CreateFileW(dev.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail("cannot open " + Utf8(name) + ": " + std::to_string(GetLastError()));
  // A handle alone proves little: make sure a serial device answers behind it.
  DCB dcb;
  ZeroMemory(&dcb, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  BOOL stateOk = GetCommState(h, &dcb);
  DWORD stateErr = GetLastError();
  CloseHandle(h);
  if (!stateOk) return Fail("opened " + Utf8(name) + " but GetCommState failed: " + std::to_string(stateErr));
  std::printf("opened %s baud=%lu\n", Utf8(name).c_str(), static_cast<unsigned long>(dcb.BaudRate));
  return 0;
}

}  // namespace

int main() {
  // Plain "\n" line ends, the same on every platform the output is read on.
  _setmode(_fileno(stdout), _O_BINARY);
  int argc = 0;
  LPWSTR* argvW = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argvW) return Fail("cannot read the command line");
  std::vector<std::wstring> args(argvW + 1, argvW + argc);
  LocalFree(argvW);
  if (args.empty()) return Usage();
  const std::wstring& cmd = args[0];
  auto timeoutArg = [&](size_t index, DWORD& timeout) {
    timeout = kDefaultTimeoutMs;
    if (args.size() <= index) return true;
    unsigned long v = 0;
    if (!ParseUnsigned(args[index], v)) return false;
    timeout = static_cast<DWORD>(v);
    return true;
  };
  DWORD timeout = 0;
  unsigned long id = 0;
  int rc = 2;
  if ((cmd == L"wait-window" || cmd == L"wait-gone") && (args.size() == 2 || args.size() == 3)) {
    if (timeoutArg(2, timeout)) rc = CmdWaitWindow(args[1], timeout, cmd == L"wait-gone");
  } else if (cmd == L"command" && args.size() == 2) {
    if (ParseUnsigned(args[1], id)) rc = CmdCommand(id);
  } else if (cmd == L"wait-dialog" && (args.size() == 2 || args.size() == 3)) {
    if (timeoutArg(2, timeout)) rc = CmdWaitDialog(args[1], timeout);
  } else if (cmd == L"dialog-text" && args.size() == 2) {
    rc = CmdDialogText(args[1]);
  } else if (cmd == L"click" && args.size() == 3) {
    if (ParseUnsigned(args[2], id)) rc = CmdClick(args[1], id);
  } else if (cmd == L"close" && args.size() == 2) {
    rc = CmdClose(args[1]);
  } else if (cmd == L"menu" && (args.size() == 1 || args.size() == 2)) {
    if (timeoutArg(1, timeout)) rc = CmdMenu(timeout, QVHOOK_MARKER_MENU);
  } else if (cmd == L"resources" && (args.size() == 1 || args.size() == 2)) {
    if (timeoutArg(1, timeout)) rc = CmdMenu(timeout, QVHOOK_MARKER_RESOURCES);
  } else if (cmd == L"port-open" && args.size() == 2) {
    rc = CmdPortOpen(args[1]);
  } else if (cmd == L"select" && args.size() == 4) {
    unsigned long index = 0;
    if (ParseUnsigned(args[2], id) && ParseUnsigned(args[3], index)) rc = CmdSelect(args[1], id, index);
  } else if (cmd == L"status-bar" && args.size() == 1) {
    rc = CmdStatusBar();
  }
  if (rc == 2) return Usage();
  std::fflush(stdout);
  return rc;
}

// qvhook.dll: a WH_GETMESSAGE hook that qvprobe installs on the target's UI
// thread. The system loads it into the target, where the menu of the target's
// window can be read (another process gets -1 from GetMenuItemCount under Wine).
//
// The DLL is built without the C/C++ runtime (own entry point, no std::string,
// no static constructors) so that it has no TLS directory: Wine 8 cannot load
// a DLL with static TLS into a process that already runs further threads (its
// loader faults while giving each thread the new slot, the fault is swallowed
// in the hook callback and the loader lock stays held, which then freezes the
// target's other threads). The application runs its receiver thread while
// connected, so a runtime-linked hook made the menu unreadable and stalled
// the reception. qvprobe refuses a hook DLL that has a TLS directory.
#include <windows.h>
#include <psapi.h>

#include "qvhook.h"

namespace {

// Bounded writer straight into the shared view; one byte is kept for the NUL.
struct Out {
  char* buf;
  unsigned size;
  unsigned len;
};

void Put(Out& o, char c) {
  if (o.len + 1 < o.size) o.buf[o.len++] = c;
}

void PutStr(Out& o, const char* s) {
  while (*s) Put(o, *s++);
}

void PutUInt(Out& o, unsigned v) {
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  while (n) Put(o, digits[--n]);
}

// The text as UTF-8 in double quotes with " \ TAB LF CR escaped.
void PutQuoted(Out& o, const wchar_t* s) {
  char utf8[2048];
  int n = WideCharToMultiByte(CP_UTF8, 0, s, lstrlenW(s), utf8, sizeof utf8, nullptr, nullptr);
  Put(o, '"');
  for (int i = 0; i < n; ++i) {
    char c = utf8[i];
    switch (c) {
      case '"': PutStr(o, "\\\""); break;
      case '\\': PutStr(o, "\\\\"); break;
      case '\t': PutStr(o, "\\t"); break;
      case '\n': PutStr(o, "\\n"); break;
      case '\r': PutStr(o, "\\r"); break;
      default: Put(o, c);
    }
  }
  Put(o, '"');
}

// "a.b" paths are kept as the positions of each level (at most 9 levels).
struct Path {
  int pos[9];
  int depth;
};

void PutPath(Out& o, const Path& p) {
  for (int i = 0; i < p.depth; ++i) {
    if (i) Put(o, '.');
    PutUInt(o, static_cast<unsigned>(p.pos[i]));
  }
}

// One line per item: path<TAB>id<TAB>flags<TAB>"text". The path is the
// position in each level joined by dots; flags are a comma list or "-".
void DumpMenu(HMENU menu, Path& path, Out& out) {
  int count = GetMenuItemCount(menu);
  if (count < 0) {
    PutStr(out, "error\tGetMenuItemCount failed\n");
    return;
  }
  for (int i = 0; i < count; ++i) {
    wchar_t text[512];
    text[0] = 0;
    MENUITEMINFOW info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = MIIM_ID | MIIM_STATE | MIIM_SUBMENU | MIIM_FTYPE | MIIM_STRING;
    info.dwTypeData = text;
    info.cch = 511;
    path.pos[path.depth++] = i;
    PutPath(out, path);
    if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info)) {
      PutStr(out, "\terror\tGetMenuItemInfo failed\n");
      --path.depth;
      continue;
    }
    Put(out, '\t');
    PutUInt(out, info.hSubMenu ? 0u : info.wID);
    Put(out, '\t');
    bool any = false;
    auto flag = [&out, &any](const char* f) {
      if (any) Put(out, ',');
      PutStr(out, f);
      any = true;
    };
    if (info.hSubMenu) flag("popup");
    if (info.fType & MFT_SEPARATOR) flag("separator");
    if (info.fState & MFS_GRAYED) flag("grayed");
    else if (info.fState & MFS_DISABLED) flag("disabled");
    if (info.fState & MFS_CHECKED) flag("checked");
    if (!any) Put(out, '-');
    Put(out, '\t');
    PutQuoted(out, text);
    Put(out, '\n');
    if (info.hSubMenu && path.depth < 9) DumpMenu(info.hSubMenu, path, out);
    --path.depth;
  }
}

void PutFigure(Out& o, const char* name, unsigned long long value) {
  PutStr(o, name);
  Put(o, '\t');
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value);
  while (n) Put(o, digits[--n]);
  Put(o, '\n');
}

// Measured before the answer's own mapping and event are opened. Wine's
// GetProcessHandleCount reports 0, so the handles are also counted by
// asking about every handle value in the low range.
struct Figures {
  unsigned probed, reported, gdi, user;
  unsigned long long privateBytes, workingSet;
};

void Measure(Figures& f) {
  f.probed = 0;
  for (UINT_PTR value = 4; value < (1u << 16); value += 4) {
    DWORD flags;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++f.probed;
  }
  DWORD count = 0;
  f.reported = GetProcessHandleCount(GetCurrentProcess(), &count) ? count : 0;
  f.gdi = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  f.user = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
  PROCESS_MEMORY_COUNTERS memory;
  ZeroMemory(&memory, sizeof memory);
  memory.cb = sizeof memory;
  if (K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
    f.privateBytes = memory.PagefileUsage;
    f.workingSet = memory.WorkingSetSize;
  } else {
    f.privateBytes = f.workingSet = 0;
  }
}

void PutFigures(Out& out, const Figures& f) {
  PutFigure(out, "handles", f.probed);
  PutFigure(out, "handlecount", f.reported);
  PutFigure(out, "gdi", f.gdi);
  PutFigure(out, "user", f.user);
  PutFigure(out, "private", f.privateBytes);
  PutFigure(out, "workingset", f.workingSet);
}

void Answer(HWND hwnd, DWORD askerPid, bool resources) {
  Figures figures;
  if (resources) Measure(figures);
  wchar_t mapName[64], eventName[64];
  wsprintfW(mapName, QVHOOK_MAP_NAME_FMT, askerPid);
  wsprintfW(eventName, QVHOOK_EVENT_NAME_FMT, askerPid);
  HANDLE map = OpenFileMappingW(FILE_MAP_WRITE, FALSE, mapName);
  HANDLE done = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName);
  if (map && done) {
    if (char* view = static_cast<char*>(MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, QVHOOK_MAP_SIZE))) {
      Out out = {view, QVHOOK_MAP_SIZE, 0};
      HMENU menu = GetMenu(hwnd);
      if (resources) {
        PutFigures(out, figures);
      } else if (!menu) {
        PutStr(out, "error\tno menu\n");
      } else {
        Path path;
        path.depth = 0;
        DumpMenu(menu, path, out);
      }
      view[out.len] = 0;
      UnmapViewOfFile(view);
    }
    SetEvent(done);
  }
  if (map) CloseHandle(map);
  if (done) CloseHandle(done);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK QvGetMsgProc(int code, WPARAM wParam, LPARAM lParam) {
  // Act only when the message is really taken off the queue, so a PeekMessage
  // that merely looks at it does not answer twice.
  if (code == HC_ACTION && wParam == PM_REMOVE) {
    MSG* msg = reinterpret_cast<MSG*>(lParam);
    if (msg->message == WM_NULL &&
        (msg->wParam == QVHOOK_MARKER_MENU || msg->wParam == QVHOOK_MARKER_RESOURCES)) {
      Answer(msg->hwnd, static_cast<DWORD>(msg->lParam), msg->wParam == QVHOOK_MARKER_RESOURCES);
      msg->wParam = 0;  // the target sees a plain WM_NULL
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The entry point itself (no runtime start-up code in front of it).
extern "C" BOOL WINAPI QvHookEntry(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

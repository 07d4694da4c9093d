// qvhook.dll: a WH_GETMESSAGE hook that qvprobe installs on the target's UI
// thread. The system loads it into the target, where the menu of the target's
// window can be read (another process gets -1 from GetMenuItemCount under Wine).
#include <windows.h>

#include <string>

#include "qvhook.h"

namespace {

std::string Utf8(const wchar_t* s, int len) {
  if (len <= 0) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, s, len, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, len, &out[0], n, nullptr, nullptr);
  return out;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
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

// One line per item: path<TAB>id<TAB>flags<TAB>"text". The path is the
// position in each level joined by dots; flags are a comma list or "-".
void DumpMenu(HMENU menu, const std::string& prefix, std::string& out, int depth) {
  int count = GetMenuItemCount(menu);
  if (count < 0) {
    out += "error\tGetMenuItemCount failed\n";
    return;
  }
  for (int i = 0; i < count; ++i) {
    wchar_t text[512] = {0};
    MENUITEMINFOW info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = MIIM_ID | MIIM_STATE | MIIM_SUBMENU | MIIM_FTYPE | MIIM_STRING;
    info.dwTypeData = text;
    info.cch = 511;
    std::string path = prefix.empty() ? std::to_string(i) : prefix + "." + std::to_string(i);
    if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info)) {
      out += path + "\terror\tGetMenuItemInfo failed\n";
      continue;
    }
    std::string flags;
    auto add = [&flags](const char* f) {
      if (!flags.empty()) flags += ",";
      flags += f;
    };
    if (info.hSubMenu) add("popup");
    if (info.fType & MFT_SEPARATOR) add("separator");
    if (info.fState & MFS_GRAYED) add("grayed");
    else if (info.fState & MFS_DISABLED) add("disabled");
    if (info.fState & MFS_CHECKED) add("checked");
    if (flags.empty()) flags = "-";
    unsigned id = info.hSubMenu ? 0u : info.wID;
    out += path + "\t" + std::to_string(id) + "\t" + flags + "\t" +
           Quote(Utf8(text, lstrlenW(text))) + "\n";
    if (info.hSubMenu && depth < 8) DumpMenu(info.hSubMenu, path, out, depth + 1);
  }
}

void Answer(HWND hwnd, DWORD askerPid) {
  wchar_t mapName[64], eventName[64];
  wsprintfW(mapName, QVHOOK_MAP_NAME_FMT, askerPid);
  wsprintfW(eventName, QVHOOK_EVENT_NAME_FMT, askerPid);
  HANDLE map = OpenFileMappingW(FILE_MAP_WRITE, FALSE, mapName);
  HANDLE done = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName);
  if (map && done) {
    std::string text;
    HMENU menu = GetMenu(hwnd);
    if (!menu) text = "error\tno menu\n";
    else DumpMenu(menu, "", text, 0);
    if (text.size() >= QVHOOK_MAP_SIZE) text.resize(QVHOOK_MAP_SIZE - 1);
    if (char* view = static_cast<char*>(MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, QVHOOK_MAP_SIZE))) {
      CopyMemory(view, text.c_str(), text.size() + 1);
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
    if (msg->message == WM_NULL && msg->wParam == QVHOOK_MARKER_MENU) {
      Answer(msg->hwnd, static_cast<DWORD>(msg->lParam));
      msg->wParam = 0;  // the target sees a plain WM_NULL
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

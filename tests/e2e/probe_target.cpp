// qvtarget.exe: a small window with a menu and a dialog holding every kind of
// control qvprobe reads, so the harness can be checked on its own.
#include <windows.h>

#include "probe_target.h"

namespace {

INT_PTR CALLBACK DialogProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG:
      SendDlgItemMessageW(dlg, QVT_LIST, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"ME 1 \"PGM\""));
      SendDlgItemMessageW(dlg, QVT_LIST, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Kamera \u00fc 2"));
      SendDlgItemMessageW(dlg, QVT_COMBO, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"9600"));
      SendDlgItemMessageW(dlg, QVT_COMBO, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"115200"));
      SendDlgItemMessageW(dlg, QVT_COMBO, CB_SETCURSEL, 1, 0);
      CheckDlgButton(dlg, QVT_CHECK, BST_CHECKED);
      SetDlgItemTextW(dlg, QVT_EDIT, L"edit\ttext");
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case QVT_ADD_ROW: {
          LRESULT n = SendDlgItemMessageW(dlg, QVT_LIST, LB_GETCOUNT, 0, 0);
          wchar_t row[32];
          wsprintfW(row, L"row %d", static_cast<int>(n));
          SendDlgItemMessageW(dlg, QVT_LIST, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row));
          return TRUE;
        }
        case IDOK:
        case IDCANCEL:
          EndDialog(dlg, LOWORD(wParam));
          return TRUE;
      }
      break;
  }
  return FALSE;
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case QVT_CMD_DIALOG:
          DialogBoxW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(QVT_DIALOG), hwnd, DialogProc);
          return 0;
        case QVT_CMD_EXIT:
          DestroyWindow(hwnd);
          return 0;
      }
      break;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = L"qvtarget";
  wc.lpszMenuName = MAKEINTRESOURCEW(QVT_MENU);
  if (!RegisterClassW(&wc)) return 1;
  HWND hwnd = CreateWindowW(L"qvtarget", L"Probe Target", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, 400, 300,
                            nullptr, nullptr, instance, nullptr);
  if (!hwnd) return 1;
  ShowWindow(hwnd, show);
  UpdateWindow(hwnd);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}

// The command line's help and mistakes in a box of their own: a read-only,
// fixed-width text so that the option list keeps its columns, with the
// information or warning icon a message box would have had.
#include <windows.h>

#include <string>

#include "app/startup.h"
#include "resources/resource.h"

namespace {

struct UsageBox {
    std::wstring text;  // CR LF line ends, as an edit control wants
    bool error;
    HFONT font;
};

INT_PTR CALLBACK UsageDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        UsageBox* box = reinterpret_cast<UsageBox*>(lParam);
        SendDlgItemMessageW(dialog, IDC_USAGE_ICON, STM_SETICON,
                            reinterpret_cast<WPARAM>(LoadIconA(nullptr, box->error ? IDI_WARNING : IDI_INFORMATION)), 0);
        HWND edit = GetDlgItem(dialog, IDC_USAGE_TEXT);
        if (box->font) SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(box->font), FALSE);
        SetWindowTextW(edit, box->text.c_str());
        SetFocus(GetDlgItem(dialog, IDOK));
        return FALSE;  // the focus is set
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

}  // namespace

void AppUsageBox(const std::wstring& text, bool error) {
    UsageBox box{L"", error, nullptr};
    for (wchar_t c : text) {
        if (c == L'\n') box.text += L'\r';
        box.text += c;
    }
    box.font = CreateFontW(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, L"Courier New");
    const INT_PTR shown = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_USAGE), nullptr,
                                          UsageDialogProc, reinterpret_cast<LPARAM>(&box));
    if (box.font) DeleteObject(box.font);
    // Without the template (a program that lacks the resources) the text still gets through.
    if (shown <= 0) MessageBoxW(nullptr, text.c_str(), L"Qorvex V-1.0", error ? MB_ICONWARNING : MB_ICONINFORMATION);
}

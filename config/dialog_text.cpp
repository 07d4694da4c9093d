#include "config/dialog_text.h"

void DialogSetText(HWND dialog, int id, const std::string& text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], n);
    SetDlgItemTextW(dialog, id, wide.c_str());
}

std::string DialogText(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    const int length = GetWindowTextLengthW(control);
    if (length <= 0) return std::string();
    std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
    GetWindowTextW(control, &wide[0], length + 1);
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

std::string DialogTextTrimmed(HWND dialog, int id) {
    const std::string s = DialogText(dialog, id);
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

void DialogRefuse(HWND dialog, int control, const char* caption, const std::string& message) {
    MessageBoxA(dialog, message.c_str(), caption, MB_ICONWARNING | MB_OK);
    HWND wrong = GetDlgItem(dialog, control);
    SetFocus(wrong);
    SendMessageA(wrong, EM_SETSEL, 0, -1);
}

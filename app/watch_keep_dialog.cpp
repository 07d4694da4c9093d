// Watch -> Keep Recordings Around Alarms...: on or off, the folder, the
// seconds before and after each alarm, and the disk budget.
#include <windows.h>

#include <string>

#include "app/watch_app.h"
#include "app/watch_dialog.h"
#include "resources/resource.h"

namespace {

const WatchDialogField FIELDS[] = {
    {IDC_WATCH_KEEP_BEFORE, &WatchSettings::keepBeforeS, "The time before the alarm (s)"},
    {IDC_WATCH_KEEP_AFTER, &WatchSettings::keepAfterS, "The time after the alarm (s)"},
    {IDC_WATCH_KEEP_BUDGET, &WatchSettings::keepBudgetMB, "The disk budget (MB)"},
};
constexpr size_t FIELD_COUNT = sizeof FIELDS / sizeof FIELDS[0];

// The folder is UTF-8 in the settings, as the kept files' paths are.
void Fill(HWND dialog, const WatchSettings& s) {
    CheckDlgButton(dialog, IDC_WATCH_KEEP_ON, s.keep ? BST_CHECKED : BST_UNCHECKED);
    wchar_t folder[MAX_PATH] = L"";
    MultiByteToWideChar(CP_UTF8, 0, s.keepFolder.c_str(), -1, folder, MAX_PATH);
    SetDlgItemTextW(dialog, IDC_WATCH_KEEP_FOLDER, folder);
    WatchDialogFill(dialog, FIELDS, FIELD_COUNT, s);
}

bool Read(HWND dialog, WatchSettings& s) {
    s.keep = IsDlgButtonChecked(dialog, IDC_WATCH_KEEP_ON) == BST_CHECKED ? 1 : 0;
    wchar_t folder[MAX_PATH] = L"";
    GetDlgItemTextW(dialog, IDC_WATCH_KEEP_FOLDER, folder, MAX_PATH);
    char utf8[MAX_PATH * 3] = "";
    WideCharToMultiByte(CP_UTF8, 0, folder, -1, utf8, sizeof utf8, nullptr, nullptr);
    s.keepFolder = utf8;
    if (s.keep) {
        const DWORD attributes = GetFileAttributesW(folder);
        if (!folder[0] || attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return WatchDialogWarn(dialog, IDC_WATCH_KEEP_FOLDER, "Choose a folder that exists for the kept recordings.");
    }
    return WatchDialogRead(dialog, FIELDS, FIELD_COUNT, s);
}

}  // namespace

bool WatchKeepDialog(HWND owner, WatchSettings& settings) {
    return WatchDialogRun(owner, IDD_WATCH_KEEP, Fill, Read, settings);
}

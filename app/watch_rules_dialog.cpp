// Watch -> Rules...: each rule on or off and its threshold.
#include <windows.h>

#include "app/watch_app.h"
#include "app/watch_dialog.h"
#include "resources/resource.h"

namespace {

const WatchDialogField FIELDS[] = {
    {IDC_WATCH_FLICKER_MS, &WatchSettings::flickerMs, "The flicker time (ms)"},
    {IDC_WATCH_STALE_MIN_S, &WatchSettings::staleMinS, "The shortest stale time (s)"},
    {IDC_WATCH_SILENCE_S, &WatchSettings::silenceS, "The silence time (s)"},
    {IDC_WATCH_ERRORS_N, &WatchSettings::errorsN, "The error count"},
    {IDC_WATCH_ERRORS_T, &WatchSettings::errorsT, "The error time (s)"},
};
constexpr size_t FIELD_COUNT = sizeof FIELDS / sizeof FIELDS[0];

void Fill(HWND dialog, const WatchSettings& s) {
    for (int i = 0; i < WATCH_SETTING_RULES; ++i)
        CheckDlgButton(dialog, IDC_WATCH_RULE_FIRST + i, s.rule[i] ? BST_CHECKED : BST_UNCHECKED);
    WatchDialogFill(dialog, FIELDS, FIELD_COUNT, s);
}

bool Read(HWND dialog, WatchSettings& s) {
    for (int i = 0; i < WATCH_SETTING_RULES; ++i)
        s.rule[i] = IsDlgButtonChecked(dialog, IDC_WATCH_RULE_FIRST + i) == BST_CHECKED ? 1 : 0;
    return WatchDialogRead(dialog, FIELDS, FIELD_COUNT, s);
}

}  // namespace

bool WatchRulesDialog(HWND owner, WatchSettings& settings) {
    return WatchDialogRun(owner, IDD_WATCH_RULES, Fill, Read, settings);
}

// Network -> Tally Outputs... and Compare with TSL Input...: the dialog over
// this run's TSL settings, then what the operator changed saved (the command
// line's destinations and listener stay for this run only, as --mqtt does)
// and the new settings put to work at once.
#include <windows.h>

#include "app/app.h"
#include "tsl/tsl_dialogs.h"

namespace {

void SaveAndApply(HWND window, const TslSettings& before, const TslSettings& edited) {
    if (edited == before) return;
    ConfigSaveTsl(ConfigActive(), before, edited);
    AppTslApply(window, edited);
    StatusBarUpdate(window);
}

}  // namespace

void AppTslOutputsCommand(HWND window) {
    const TslSettings before = AppTslSettings(window);
    TslSettings edited = before;
    if (TslOutputsDialogRun(window, edited)) SaveAndApply(window, before, edited);
}

void AppTslInputCommand(HWND window) {
    const TslSettings before = AppTslSettings(window);
    TslSettings edited = before;
    if (TslInputDialogRun(window, edited, AppTslListening(window))) SaveAndApply(window, before, edited);
}

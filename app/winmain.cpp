// Process entry: the command line, then the main window with the saved
// settings, and the message loop with accelerator table 109.
#include <windows.h>

#include "app/app.h"
#include "app/startup.h"
#include "resources/resource.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int showCommand) {
    CommandLineResult parsed = CommandLineParse(AppArguments());
    if (!CommandLineCheckFiles(parsed, AppFileExists)) return AppShowCommandLineMessage(parsed);
    AppLoadStrings(instance);
    AppRegisterClass(instance);
    if (!AppStart(instance, showCommand, parsed.options)) return 0;
    HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDC_QORVEX));
    return AppRunLoop(accelerators);
}

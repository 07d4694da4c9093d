// Process entry: load the title and class name, create the main window and
// run the message loop with accelerator table 109.
#include <windows.h>

#include "app/app.h"
#include "resources/resource.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int showCommand) {
    AppLoadStrings(instance);
    AppRegisterClass(instance);
    if (!AppCreateWindow(instance, showCommand)) return 0;
    HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDC_QORVEX));
    return AppRunLoop(accelerators);
}

// Contract between qvprobe.exe and qvhook.dll, the hook it loads into the
// target's UI thread to read things that only that process can read (its menu).
#pragma once

// wParam of the WM_NULL that asks the hook for the menu; lParam carries the
// asking qvprobe's process id, which names the mapping and the event below.
#define QVHOOK_MARKER_MENU 0x51564D4Eu  // 'QVMN'

// wParam of the WM_NULL that asks for the target's resource figures instead:
// lines "name<TAB>value" (handles probed, GetProcessHandleCount, GDI and USER
// objects, private and working-set bytes), same mapping and event.
#define QVHOOK_MARKER_RESOURCES 0x51565253u  // 'QVRS'

// Name formats (wide, %lu = qvprobe's pid). The mapping holds a NUL-ended
// UTF-8 text of QVHOOK_MAP_SIZE bytes at most; the event is set once written.
#define QVHOOK_MAP_NAME_FMT L"qvprobe.menu.%lu"
#define QVHOOK_EVENT_NAME_FMT L"qvprobe.menu.%lu.done"
#define QVHOOK_MAP_SIZE (64 * 1024)

// Exported hook procedure (WH_GETMESSAGE).
#define QVHOOK_PROC_NAME "QvGetMsgProc"

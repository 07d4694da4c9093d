// Ids of the harness's own test window (qvtarget.exe).
#pragma once
#define QVT_MENU          1
#define QVT_DIALOG        2
#define QVT_CMD_DIALOG    200
#define QVT_CMD_EXIT      201
#define QVT_CMD_GRAYED    202
#define QVT_CMD_CHECKED   203
#define QVT_LIST          1001
#define QVT_COMBO         1002
#define QVT_CHECK         1003
#define QVT_EDIT          1004
#define QVT_DISABLED      1005
#define QVT_ADD_ROW       1006

// Resource ids of the application, grouped by kind. Keep in step with the .rc files.
#pragma once

// ---- Icons ----------------------------------------------------------------
#define IDI_QORVEX        107
#define IDI_QORVEX_SMALL  108

// ---- Strings ---------------------------------------------------------------
#define IDS_APP_TITLE     103
#define IDC_QORVEX        109

// ---- Menu and accelerators (both 109) -------------------------------------
#define IDR_MAINMENU      109
#define IDM_ABOUT         104
#define IDM_CONNECT       105
#define IDM_DISCONNECT    32771
#define IDM_SETTINGS      32772
#define IDM_BLOCK1        32774
#define IDM_EXIT          32775
#define IDM_SHOW_ME       32776
#define IDM_SHOW_EXT      32777
#define IDM_SHOW_SS       32778
#define IDM_SHOW_OUT      32779
#define IDM_SHOW_NAMES    32780

// ---- Dialog templates ------------------------------------------------------
#define IDD_ABOUTBOX      103
#define IDD_SETTINGS      130
#define IDD_DISPLAY_ME    131
#define IDD_DISPLAY_EXT   132
#define IDD_DISPLAY_SS    133
#define IDD_DISPLAY_OUT   134
#define IDD_DISPLAY_NAMES 135

// ---- About box controls ----------------------------------------------------
#define IDC_ABOUT_ICON    2

// ---- Settings dialog controls and string tables -----------------------------
#define IDC_SET_PORT         544
#define IDC_SET_BAUD         545
#define IDC_SET_DATABITS     546
#define IDC_SET_PARITY       547
#define IDC_SET_STOPBITS     548
#define IDC_SET_DTRDSR       549
#define IDC_SET_RTSCTS       550
#define IDC_SET_XONXOFF      551
#define IDC_SET_AUTOWRAP     552
#define IDC_SET_NEWLINE      553
#define IDC_SET_LOCALECHO    554
#define IDC_SET_FONT         555
#define IDC_SET_CNRECEIVE    556
#define IDC_SET_DISPLAYERRORS 557
#define IDS_COM_PREFIX       784
#define IDS_BAUD_FIRST       800
#define IDS_PARITY_FIRST     816
#define IDS_STOPBITS_FIRST   832

// ---- Display dialog controls -------------------------------------------------
// (displays: ids added with the dialogs)

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

// ---- History menus and accelerators (40100-40199) --------------------------
// "View": what fills the client area.
#define IDM_VIEW_HISTORY          40100
#define IDM_VIEW_SCREEN           40101
// "History": rows, filters, files.
#define IDM_HISTORY_COPY          40110
#define IDM_HISTORY_FIND          40111
#define IDM_HISTORY_FIND_NEXT     40112
#define IDM_HISTORY_SAVE          40113
#define IDM_HISTORY_CLEAR         40114
#define IDM_HISTORY_LOG_START     40115
#define IDM_HISTORY_LOG_STOP      40116
#define IDM_HISTORY_CHANGES_ONLY  40117
#define IDM_HISTORY_SHOW_ALL      40118
// Category filters ME, EXT, SS, OUT, Names, Control, Errors, Link, Alarms, in order.
#define IDM_HISTORY_FILTER_FIRST  40120
#define IDM_HISTORY_FILTER_LAST   40128
// ---- Recording menu (40300-40399) ---------------------------------------------
#define IDM_RECORD_START          40300
#define IDM_RECORD_STOP           40301
#define IDM_REPLAY_OPEN           40310
#define IDM_REPLAY_PAUSE          40311
#define IDM_REPLAY_SPEED_1        40312
#define IDM_REPLAY_SPEED_10       40313
#define IDM_REPLAY_SPEED_FAST     40314
#define IDM_REPLAY_END            40315

// ---- Detect Settings command (range 40500-40599) ---------------------------
#define IDM_DETECT_SETTINGS 40500

// ---- Action menu additions (40600-40699) -------------------------------------
// "Reset Counters": zeroes the receive counters as the reset message does.
#define IDM_RESET_COUNTERS        40600

// ---- Network menu (40800-40899) ----------------------------------------------
// "Network" -> "MQTT...": the broker the link and the tally are published to.
#define IDM_MQTT_SETTINGS         40800
// "Tally Outputs...": the TSL destinations; "Compare with TSL Input...": the hub check.
#define IDM_TSL_OUTPUTS           40801
#define IDM_TSL_INPUT             40802
// ---- Watch menu (40900-40999) -------------------------------------------------
#define IDM_WATCH_RULES           40900
#define IDM_WATCH_SOUND           40901
#define IDM_WATCH_FLASH           40902
#define IDM_WATCH_KEEP            40903
#define IDM_WATCH_CLEAR           40904

// ---- On Air menu items (40400-40499) ---------------------------------------
// "View" -> "On Air": the On Air view fills the client area.
#define IDM_VIEW_ONAIR            40400

// ---- Dialog templates ------------------------------------------------------
#define IDD_ABOUTBOX      103
#define IDD_SETTINGS      130
#define IDD_DISPLAY_ME    131
#define IDD_DISPLAY_EXT   132
#define IDD_DISPLAY_SS    133
#define IDD_DISPLAY_OUT   134
#define IDD_DISPLAY_NAMES 135
#define IDD_HISTORY_FIND  140
#define IDD_DETECT        180
#define IDD_USAGE         191
#define IDD_MQTT          192
#define IDD_TSL_OUTPUTS   193
#define IDD_TSL_DESTINATION 194
#define IDD_TSL_INPUT     195
#define IDD_WATCH_RULES   200
#define IDD_WATCH_KEEP    201

// ---- About box controls ----------------------------------------------------
#define IDC_ABOUT_ICON    2
#define IDC_ABOUT_VERSION 3

// ---- Command-line usage box controls ----------------------------------------
#define IDC_USAGE_TEXT    3001
#define IDC_USAGE_ICON    3002

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
// Added beside the original controls (range 1200-1299).
#define IDC_SET_RECONNECT    1200

// ---- Display dialog controls -------------------------------------------------
// The same numbers mean different controls in different displays; each
// dialog uses only its own names. Static captions use IDC_STATIC.
#ifndef IDC_STATIC
#define IDC_STATIC        (-1)
#endif
// Navigation buttons of displays 131-134 (1028 is "Update" in 135).
#define IDC_SHOW_ME       1028
#define IDC_SHOW_EXT      1029
#define IDC_SHOW_OUT      1030
#define IDC_SHOW_SS       1031
#define IDC_NAMES_UPDATE  1028
// Lists of the ME, EXT and SS displays.
#define IDC_SOURCES_LIST  1010
#define IDC_CONTRIB_LIST  1011
#define IDC_MODE_LIST     1013
// ME display: selectors (first button has the highest id), counts, errors.
#define IDC_ME1           1019
#define IDC_ME2           1016
#define IDC_ME3           1017
#define IDC_ME4           1018
#define IDC_ME1_COUNT     1025
#define IDC_ME2_COUNT     1026
#define IDC_ME3_COUNT     1027
#define IDC_ME4_COUNT     1032
#define IDC_STRAY_COUNT   1033
#define IDC_UNKNOWN_COUNT 1034
#define IDC_MISMATCH_COUNT 1035
#define IDC_LOWBYTE_COUNT 1036
#define IDC_PAYLOAD_COUNT 1037
// EXT display: selectors (ids not in caption order) and counts 1032-1039.
#define IDC_EXT1          1020
#define IDC_EXT2          1024
#define IDC_EXT3          1026
#define IDC_EXT4          1025
#define IDC_EXT5          1027
#define IDC_EXT6          1021
#define IDC_EXT7          1023
#define IDC_EXT8          1022
#define IDC_EXT1_COUNT    1032
// Still store display count.
#define IDC_SS_COUNT      1026
// Output display: three groups of source, mode and on-air lists; counts.
#define IDC_OUT1_SOURCE   1022
#define IDC_OUT1_MODE     1011
#define IDC_OUT1_ONAIR    1012
#define IDC_OUT2_SOURCE   1013
#define IDC_OUT2_MODE     1014
#define IDC_OUT2_ONAIR    1015
#define IDC_OUT3_SOURCE   1019
#define IDC_OUT3_MODE     1020
#define IDC_OUT3_ONAIR    1021
#define IDC_OUT_COUNT1    1027
#define IDC_OUT_COUNT2    1032
// Source names display.
#define IDC_NAMES_LIST    1024

// ---- History view controls (1100-1199) ----------------------------------------
#define IDC_HISTORY_LIST  1100
#define IDC_HISTORY_INFO  1101
#define IDC_HISTORY_FIND_TEXT 1102

// ---- Detect Settings dialog controls (range 1500-1599) -----------------------
#define IDC_DETECT_STATUS   1500
#define IDC_DETECT_PROGRESS 1501
#define IDC_DETECT_RESULT   1502
#define IDC_DETECT_RUNNERUP 1503
#define IDC_DETECT_APPLY    1504
// The "Detect Settings" button of the Settings dialog.
#define IDC_SET_DETECT      1505

// ---- Watch dialogs (1800-1899) ----------------------------------------------------
// Rules: one check box per rule in the watch's order (flicker .. gap), then thresholds.
#define IDC_WATCH_RULE_FIRST      1800
#define IDC_WATCH_RULE_LAST       1807
#define IDC_WATCH_FLICKER_MS      1810
#define IDC_WATCH_STALE_MIN_S     1811
#define IDC_WATCH_SILENCE_S       1812
#define IDC_WATCH_ERRORS_N        1813
#define IDC_WATCH_ERRORS_T        1814
// Kept recordings.
#define IDC_WATCH_KEEP_ON         1820
#define IDC_WATCH_KEEP_FOLDER     1821
#define IDC_WATCH_KEEP_BEFORE     1822
#define IDC_WATCH_KEEP_AFTER      1823
#define IDC_WATCH_KEEP_BUDGET     1824

// ---- On Air view controls (1400-1499) -------------------------------------------
// The view itself is a child of the main window; the rest are its children.
#define IDC_ONAIR_VIEW    1400
#define IDC_ONAIR_ME1     1401
#define IDC_ONAIR_ME2     1402
#define IDC_ONAIR_ME3     1403
#define IDC_ONAIR_ME4     1404
#define IDC_ONAIR_ALL     1405
#define IDC_ONAIR_DETAIL  1406

// ---- Timeline menu items (40700-40799) -------------------------------------------
// "View" -> "Timeline": the Timeline view fills the client area.
#define IDM_VIEW_TIMELINE         40700
// "Timeline": the as-run log, zoom and following now.
#define IDM_TIMELINE_SAVE_ASRUN   40710
#define IDM_TIMELINE_SAVE_EDL     40711
#define IDM_TIMELINE_ZOOM_IN      40712
#define IDM_TIMELINE_ZOOM_OUT     40713
#define IDM_TIMELINE_FOLLOW       40714

// ---- Timeline dialog and controls (dialog 190, controls 1600-1699) ---------------
#define IDD_TIMELINE_EDL          190
#define IDC_TIMELINE_VIEW         1600
#define IDC_TIMELINE_ME1          1601
#define IDC_TIMELINE_ME2          1602
#define IDC_TIMELINE_ME3          1603
#define IDC_TIMELINE_ME4          1604
#define IDC_TIMELINE_ALL          1605
#define IDC_TIMELINE_EDL_ME       1610
#define IDC_TIMELINE_EDL_FPS      1611

// ---- MQTT dialog controls (1700-1799) ---------------------------------------------
#define IDC_MQTT_ENABLED  1700
#define IDC_MQTT_HOST     1701
#define IDC_MQTT_PORT     1702
#define IDC_MQTT_NAME     1703
#define IDC_MQTT_TOPIC    1704
#define IDC_MQTT_USER     1705
#define IDC_MQTT_PASSWORD 1706

// ---- TSL dialogs (1900-1979) --------------------------------------------------------
// Tally Outputs: the destinations' list, its buttons and the refresh interval.
#define IDC_TSL_LIST          1900
#define IDC_TSL_ADD           1901
#define IDC_TSL_EDIT          1902
#define IDC_TSL_REMOVE        1903
#define IDC_TSL_REFRESH       1904
// Tally Output: one destination and its map.
#define IDC_TSL_PROTOCOL      1910
#define IDC_TSL_TRANSPORT     1911
#define IDC_TSL_HOST          1912
#define IDC_TSL_PORT          1913
#define IDC_TSL_DLE           1914
#define IDC_TSL_ME            1915
#define IDC_TSL_OFFSET        1916
#define IDC_TSL_LEVEL_PGM     1917
#define IDC_TSL_LEVEL_LAP     1918
#define IDC_TSL_LEVEL_PVW     1919
#define IDC_TSL_PGM_TALLY     1920
#define IDC_TSL_LAP_TALLY     1921
#define IDC_TSL_PVW_TALLY     1922
#define IDC_TSL_LAMP_LH       1923
#define IDC_TSL_LAMP_TEXT     1924
#define IDC_TSL_LAMP_RH       1925
#define IDC_TSL_BRIGHTNESS    1926
#define IDC_TSL_SCREEN        1927
#define IDC_TSL_ENABLED       1928
// Compare with TSL Input: the listener, the tolerance and the address in use.
#define IDC_TSL_IN_ENABLED    1940
#define IDC_TSL_IN_TRANSPORT  1941
#define IDC_TSL_IN_ADDRESS    1942
#define IDC_TSL_IN_PORT       1943
#define IDC_TSL_IN_TOLERANCE  1944
#define IDC_TSL_IN_STATE      1945

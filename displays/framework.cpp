// The five tally display dialogs: one shared message table, and per display
// its set-up and its draw. Row texts come from displays/rows.h; this file only
// moves them into the controls.
#include "displays/framework.h"

#include <commctrl.h>

#include <memory>

#include "displays/rows.h"
#include "resources/resource.h"
#include "tally/store.h"

ActiveDisplayRecord ActiveDisplay = {nullptr, 0};
int meSelection = IDC_ME1;
int extSelection = IDC_EXT1;

namespace {

const int ME_SELECTORS[ME_RECORDS] = {IDC_ME1, IDC_ME2, IDC_ME3, IDC_ME4};
const int EXT_SELECTORS[EXT_RECORDS] = {IDC_EXT1, IDC_EXT2, IDC_EXT3, IDC_EXT4,
                                        IDC_EXT5, IDC_EXT6, IDC_EXT7, IDC_EXT8};
const int ME_COUNTER_IDS[ME_COUNTER_FIELDS] = {IDC_ME1_COUNT,     IDC_ME2_COUNT,      IDC_ME3_COUNT,
                                               IDC_ME4_COUNT,     IDC_STRAY_COUNT,    IDC_UNKNOWN_COUNT,
                                               IDC_MISMATCH_COUNT, IDC_LOWBYTE_COUNT, IDC_PAYLOAD_COUNT};
const int OUT_LISTS[OUT_GROUPS][3] = {{IDC_OUT1_SOURCE, IDC_OUT1_MODE, IDC_OUT1_ONAIR},
                                      {IDC_OUT2_SOURCE, IDC_OUT2_MODE, IDC_OUT2_ONAIR},
                                      {IDC_OUT3_SOURCE, IDC_OUT3_MODE, IDC_OUT3_ONAIR}};
const int OUT_COUNTER_IDS[OUT_RECORDS] = {IDC_OUT_COUNT1, 1032, 1033, 1034, 1035, 1036};

// What each unlabelled counter box counts, shown as its tool tip; the boxes
// themselves keep their places and ids. Every count runs from the last
// reset (the switcher's reset message or Action -> Reset Counters).
const char* const ME_COUNTER_TIPS[ME_COUNTER_FIELDS] = {
    "ME 1 messages since the last counter reset",  "ME 2 messages since the last counter reset",
    "ME 3 messages since the last counter reset",  "ME 4 messages since the last counter reset",
    "Stray bytes (outside any message)",           "Messages of an unknown type",
    "Header bytes each followed by a different one", "Header bytes followed by a low byte",
    "Payloads broken by two high bytes"};
const char* const OUT_COUNTER_TIPS[OUT_RECORDS] = {
    "OUT 1 messages (0xB1) since the last counter reset", "OUT 2 messages (0xB2) since the last counter reset",
    "OUT 3 messages (0xB3) since the last counter reset", "OUT 4 messages (0xB4) since the last counter reset",
    "OUT 5 messages (0xB5) since the last counter reset", "OUT 6 messages (0xB6) since the last counter reset"};

// One tool-tip window per dialog, owned by it and so destroyed with it; each
// box is a tool by its handle, the tip's subclass watching the mouse.
void AddCounterTips(HWND dialog, const int* ids, const char* const* tips, int count) {
    HWND tip = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, dialog, nullptr,
                               reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE)), nullptr);
    if (!tip) return;
    for (int i = 0; i < count; ++i) {
        HWND box = GetDlgItem(dialog, ids[i]);
        if (!box) continue;
        TOOLINFOA info = {};
        info.cbSize = TTTOOLINFOA_V2_SIZE;
        info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        info.hwnd = dialog;
        info.uId = reinterpret_cast<UINT_PTR>(box);
        info.lpszText = const_cast<char*>(tips[i]);
        SendMessageA(tip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&info));
    }
}

// What differs between the displays; the message table is shared.
struct DisplayClass {
    int32_t kind;
    void (*init)(HWND dialog);
    void (*draw)(HWND dialog);
    const int* selectors;  // nullptr for displays without record selectors
    int selectorCount;
    int* selection;
    bool navigation;       // buttons 1028-1031 switch displays
};

void SetItemHeight(HWND dialog, int list, int pixels) {
    SendDlgItemMessageA(dialog, list, LB_SETITEMHEIGHT, 0, MAKELPARAM(pixels, 0));
}

// Rebuilds a list from its rows; redrawing is held off until the list is full
// so that the twice-a-second refresh does not flicker.
void FillList(HWND dialog, int list, const DisplayRow* rows, int count) {
    HWND box = GetDlgItem(dialog, list);
    SendMessageA(box, WM_SETREDRAW, FALSE, 0);
    SendMessageA(box, LB_RESETCONTENT, 0, 0);
    for (int i = 0; i < count; ++i) SendMessageA(box, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(rows[i]));
    SendMessageA(box, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(box, nullptr, TRUE);
}

// ---- ME ---------------------------------------------------------------------

void MeInit(HWND dialog) {
    AddCounterTips(dialog, ME_COUNTER_IDS, ME_COUNTER_TIPS, ME_COUNTER_FIELDS);
    CheckDlgButton(dialog, meSelection, BST_CHECKED);
    SetItemHeight(dialog, IDC_SOURCES_LIST, 22);
    SetItemHeight(dialog, IDC_CONTRIB_LIST, 20);
}

void MeDraw(HWND dialog) {
    const int record = MeRecordOfSelector(meSelection);
    if (record < 0) return;
    MeTally tally;
    TallyReadMe(tallyStore, record, tally);
    TallyCounterValues counters;
    TallyReadCounters(tallyStore, counters);
    MeDisplayText text;
    MeDisplayFormat(tally, counters, text);
    FillList(dialog, IDC_SOURCES_LIST, text.sources, ME_SOURCE_ROWS);
    FillList(dialog, IDC_CONTRIB_LIST, text.contribution, ME_CONTRIBUTION_ROWS);
    FillList(dialog, IDC_MODE_LIST, &text.keyer, 1);
    for (int i = 0; i < ME_COUNTER_FIELDS; ++i) SetDlgItemTextA(dialog, ME_COUNTER_IDS[i], text.counters[i]);
}

// ---- EXT --------------------------------------------------------------------

void ExtInit(HWND dialog) {
    CheckDlgButton(dialog, extSelection, BST_CHECKED);
    SetItemHeight(dialog, IDC_SOURCES_LIST, 21);
    SetItemHeight(dialog, IDC_CONTRIB_LIST, 22);
}

void ExtDraw(HWND dialog) {
    const int record = ExtRecordOfSelector(extSelection);
    if (record < 0) return;
    ExtTally tally;
    TallyReadExt(tallyStore, record, tally);
    TallyCounterValues counters;
    TallyReadCounters(tallyStore, counters);
    ExtDisplayText text;
    ExtDisplayFormat(tally, counters, text);
    FillList(dialog, IDC_SOURCES_LIST, text.sources, EXT_SOURCE_ROWS);
    FillList(dialog, IDC_CONTRIB_LIST, text.contribution, EXT_CONTRIBUTION_ROWS);
    FillList(dialog, IDC_MODE_LIST, &text.inputMode, 1);
    for (int i = 0; i < EXT_RECORDS; ++i) SetDlgItemTextA(dialog, IDC_EXT1_COUNT + i, text.counters[i]);
}

// ---- Still store --------------------------------------------------------------

void SsInit(HWND dialog) { SetItemHeight(dialog, IDC_SOURCES_LIST, 24); }

void SsDraw(HWND dialog) {
    StillStoreTally tally;
    TallyReadSs(tallyStore, tally);
    TallyCounterValues counters;
    TallyReadCounters(tallyStore, counters);
    SsDisplayText text;
    SsDisplayFormat(tally, counters, text);
    FillList(dialog, IDC_SOURCES_LIST, text.sources, 2);
    FillList(dialog, IDC_MODE_LIST, &text.mode, 1);
    SetDlgItemTextA(dialog, IDC_SS_COUNT, text.count);
}

// ---- Outputs ----------------------------------------------------------------

void OutInit(HWND dialog) {
    AddCounterTips(dialog, OUT_COUNTER_IDS, OUT_COUNTER_TIPS, OUT_RECORDS);
    for (const auto& group : OUT_LISTS)
        for (int list : group) SetItemHeight(dialog, list, 18);
}

void OutDraw(HWND dialog) {
    OutputTally tally[OUT_RECORDS];
    for (int r = 0; r < OUT_RECORDS; ++r) TallyReadOut(tallyStore, r, tally[r]);
    TallyCounterValues counters;
    TallyReadCounters(tallyStore, counters);
    // About 9 KB of text: kept off the stack of the dialog procedure.
    std::unique_ptr<OutDisplayText> held(new OutDisplayText);
    OutDisplayText& text = *held;
    OutDisplayFormat(tally, counters, text);
    for (int g = 0; g < OUT_GROUPS; ++g) {
        FillList(dialog, OUT_LISTS[g][0], text.source[g], OUT_GROUP_ROWS);
        FillList(dialog, OUT_LISTS[g][1], text.mode[g], OUT_GROUP_ROWS);
        FillList(dialog, OUT_LISTS[g][2], text.onAir[g], OUT_GROUP_ROWS);
    }
    for (int r = 0; r < OUT_RECORDS; ++r) SetDlgItemTextA(dialog, OUT_COUNTER_IDS[r], text.counters[r]);
}

// ---- Source names -----------------------------------------------------------

// Full draw on opening: every row from the current table, changed flags left
// as they are (the first refresh re-renders the flagged rows).
void NamesInit(HWND dialog) {
    SetItemHeight(dialog, IDC_NAMES_LIST, 20);
    HWND box = GetDlgItem(dialog, IDC_NAMES_LIST);
    SendMessageA(box, WM_SETREDRAW, FALSE, 0);
    SendMessageA(box, LB_RESETCONTENT, 0, 0);
    for (int n = 1; n <= SOURCE_COUNT; ++n) {
        SourceNameValues entry;
        TallyReadName(tallyStore, n, entry);
        DisplayRow row;
        NameDisplayRow(n, entry, row);
        SendMessageA(box, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row));
    }
    SendMessageA(box, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(box, nullptr, TRUE);
}

// Replaces exactly the rows whose entry is flagged. The flag is consumed in
// the same locked step as the copy of the entry, so a name stored after the
// copy flags the entry again and is shown by the next pass.
void NamesUpdateChanged(HWND dialog) {
    HWND box = GetDlgItem(dialog, IDC_NAMES_LIST);
    for (int n = 1; n <= SOURCE_COUNT; ++n) {
        if (tallyStore.sourceNames[n].changed.load() == 0) continue;
        SourceNameValues entry;
        TallyTakeName(tallyStore, n, entry);
        DisplayRow row;
        NameDisplayRow(n, entry, row);
        SendMessageA(box, LB_DELETESTRING, n - 1, 0);
        SendMessageA(box, LB_INSERTSTRING, n - 1, reinterpret_cast<LPARAM>(row));
    }
}

const DisplayClass ME_DISPLAY = {DISPLAY_ME, MeInit, MeDraw, ME_SELECTORS, ME_RECORDS, &meSelection, true};
const DisplayClass EXT_DISPLAY = {DISPLAY_EXT, ExtInit, ExtDraw, EXT_SELECTORS, EXT_RECORDS, &extSelection, true};
const DisplayClass SS_DISPLAY = {DISPLAY_SS, SsInit, SsDraw, nullptr, 0, nullptr, true};
const DisplayClass OUT_DISPLAY = {DISPLAY_OUT, OutInit, OutDraw, nullptr, 0, nullptr, true};
const DisplayClass NAMES_DISPLAY = {DISPLAY_NAMES, NamesInit, NamesUpdateChanged, nullptr, 0, nullptr, false};

// Menu command of a navigation button, or 0.
int NavigationCommand(int control) {
    switch (control) {
    case IDC_SHOW_ME: return IDM_SHOW_ME;
    case IDC_SHOW_EXT: return IDM_SHOW_EXT;
    case IDC_SHOW_OUT: return IDM_SHOW_OUT;
    case IDC_SHOW_SS: return IDM_SHOW_SS;
    default: return 0;
    }
}

INT_PTR DisplayDialog(const DisplayClass& display, HWND dialog, UINT message, WPARAM wParam) {
    std::atomic<int32_t>* dirty = DisplayDirtyFlag(tallyStore, display.kind);
    switch (message) {
    case WM_INITDIALOG:
        display.init(dialog);
        ActiveDisplay.window = dialog;
        ActiveDisplay.kind = display.kind;
        dirty->store(1);
        return TRUE;

    case WM_DESTROY:
        // Only the display that is still registered unregisters: a display
        // destroyed late must not stop the refresh of the one that replaced it.
        if (ActiveDisplay.window == dialog) ActiveDisplay.window = nullptr;
        return FALSE;

    case WM_TALLY_REFRESH:
        // Consumed before drawing: a message stored during the draw sets the
        // flag again and is drawn at the next tick.
        TallyTakeDirty(*dirty);
        display.draw(dialog);
        return TRUE;

    case WM_CLOSE:
        // Ended here rather than by the default handling, which only posts a
        // Cancel command: that would queue behind the open request of a
        // navigation button, so the next display would open inside this one's
        // modal loop, re-enable the main window when this one ended, and nest
        // one level deeper with every navigation. The result is still 2.
        EndDialog(dialog, IDCANCEL);
        return TRUE;

    case WM_COMMAND: {
        const int control = LOWORD(wParam);
        if (control == IDOK || control == IDCANCEL) {
            EndDialog(dialog, control);
            return TRUE;
        }
        if (HIWORD(wParam) != 0) return FALSE;  // focus changes, double clicks
        if (display.navigation) {
            const int command = NavigationCommand(control);
            if (command) {
                // Close first, open second: both are queued in this order.
                HWND owner = GetParent(dialog);
                PostMessageA(dialog, WM_CLOSE, 0, 0);
                PostMessageA(owner, WM_COMMAND, MAKEWPARAM(command, 0), 0);
                return FALSE;
            }
        } else if (control == IDC_NAMES_UPDATE) {
            NamesUpdateChanged(dialog);
            return FALSE;
        }
        for (int i = 0; i < display.selectorCount; ++i) {
            if (display.selectors[i] != control) continue;
            for (int k = 0; k < display.selectorCount; ++k)
                CheckDlgButton(dialog, display.selectors[k], k == i ? BST_CHECKED : BST_UNCHECKED);
            *display.selection = control;
            PostMessageA(dialog, WM_TALLY_REFRESH, 0, 0);
            return FALSE;
        }
        return FALSE;
    }

    default:
        return FALSE;
    }
}

}  // namespace

INT_PTR CALLBACK DisplayMeProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    return DisplayDialog(ME_DISPLAY, dialog, message, wParam);
}
INT_PTR CALLBACK DisplayExtProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    return DisplayDialog(EXT_DISPLAY, dialog, message, wParam);
}
INT_PTR CALLBACK DisplaySsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    return DisplayDialog(SS_DISPLAY, dialog, message, wParam);
}
INT_PTR CALLBACK DisplayOutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    return DisplayDialog(OUT_DISPLAY, dialog, message, wParam);
}
INT_PTR CALLBACK DisplayNamesProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    return DisplayDialog(NAMES_DISPLAY, dialog, message, wParam);
}

INT_PTR DisplayOpen(HINSTANCE instance, HWND owner, int command) {
    int dialogTemplate = 0;
    DLGPROC procedure = nullptr;
    switch (command) {
    case IDM_SHOW_ME: dialogTemplate = IDD_DISPLAY_ME; procedure = DisplayMeProc; break;
    case IDM_SHOW_EXT: dialogTemplate = IDD_DISPLAY_EXT; procedure = DisplayExtProc; break;
    case IDM_SHOW_SS: dialogTemplate = IDD_DISPLAY_SS; procedure = DisplaySsProc; break;
    case IDM_SHOW_OUT: dialogTemplate = IDD_DISPLAY_OUT; procedure = DisplayOutProc; break;
    case IDM_SHOW_NAMES: dialogTemplate = IDD_DISPLAY_NAMES; procedure = DisplayNamesProc; break;
    default: return -1;
    }
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(dialogTemplate), owner, procedure, 0);
}

// The history view: a virtual report list filling the main window's client
// area above the status bar, with a one-line info strip over it; its tick
// drains the receiver's events, and its commands (View and History menus).
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "config/config_values.h"
#include "history/book.h"
#include "history/history.h"
#include "history/history_internal.h"
#include "history/log_format.h"
#include "resources/resource.h"

namespace {

constexpr int INFO_HEIGHT = 20;
constexpr int FILTER_BAR_HEIGHT = 26;
// The filter bar above the list: one toggle per category (ids as in the
// History > Show menu, so a click is that menu command), Changes Only and
// Show All, each set in one click where the menu closes after every toggle.
const char* const FILTER_CAPTIONS[] = {"ME", "EXT", "SS", "OUT", "Names", "Control", "Errors", "Link", "Alarms"};
static_assert(sizeof FILTER_CAPTIONS / sizeof FILTER_CAPTIONS[0] == HISTORY_CATEGORY_COUNT,
              "a caption per history category");
constexpr int FILTER_BUTTON_WIDTH = 62;
constexpr int CHANGES_BUTTON_WIDTH = 100;
constexpr int COLUMN_COUNT = 5;
const char* const COLUMN_TITLES[COLUMN_COUNT] = {"Time", "Event", "Type", "Details", "Bytes"};
const int COLUMN_WIDTHS[COLUMN_COUNT] = {170, 80, 50, 520, 300};

HWND List(HWND window) { return GetDlgItem(window, IDC_HISTORY_LIST); }
HWND Info(HWND window) { return GetDlgItem(window, IDC_HISTORY_INFO); }

std::string Thousands(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

void UpdateInfo(HWND window) {
    HistoryViewState* state = HistoryState(window);
    if (!state) return;
    HistoryViewState& v = *state;
    HWND info = Info(window);
    if (!info) return;
    const HistoryBook& b = v.book;
    const size_t rows = HistoryViewSize(b);
    std::string text;
    if (v.following || rows <= v.rowsWhenLeft) {
        text = Thousands(HistoryBookSize(b)) + " events";
        if (!HistoryFilterIsAll(b.filter)) text += ", " + Thousands(rows) + " shown by the filter";
        text += "; following the newest";
    } else {
        text = Thousands(rows - v.rowsWhenLeft) + " new rows below (End follows again)";
    }
    if (b.dropped) text += "; " + Thousands(b.dropped) + " oldest dropped";
    if (HistoryLogging(window)) text += "; logging to " + v.log.path;
    if (text == v.infoShown) return;
    v.infoShown = text;
    SetWindowTextA(info, text.c_str());
}

// Tells the list its new row count, keeping the newest row in sight while
// the operator follows it.
void UpdateList(HWND window, bool reset) {
    HistoryViewState* state = HistoryState(window);
    if (!state) return;
    HistoryViewState& v = *state;
    HWND list = List(window);
    if (!list) return;
    const HistoryBook& b = v.book;
    const size_t rows = HistoryViewSize(b);
    if (!reset && rows == v.shownRows && b.firstSeq == v.shownFirstSeq) return;
    const int top = static_cast<int>(SendMessageA(list, LVM_GETTOPINDEX, 0, 0));
    const int page = static_cast<int>(SendMessageA(list, LVM_GETCOUNTPERPAGE, 0, 0));
    const bool atBottom = reset || v.shownRows == 0 || static_cast<size_t>(top + page) >= v.shownRows;
    if (atBottom && !v.following) v.following = true;
    if (!atBottom && v.following) {
        v.following = false;
        v.rowsWhenLeft = v.shownRows;
    }
    const bool shifted = b.firstSeq != v.shownFirstSeq || reset;
    // While more than a page arrives per tick nobody reads the rows going by:
    // a new page once a second costs a fifth of the drawing of five (under
    // Wine a page of this list takes tens of milliseconds to draw).
    const DWORD now = GetTickCount();
    const bool pageFlood = rows > v.shownRows && rows - v.shownRows > static_cast<size_t>(page);
    if (!reset && v.following && pageFlood && now - v.listUpdateTick < 1000) return;
    v.listUpdateTick = now;
    // Rows dropped from the front move the rows the operator reads up by as
    // many: a scrolled-up view moves with them.
    const uint64_t gone = reset ? 0 : b.viewRowsDropped - v.shownRowsDropped;
    SendMessageA(list, LVM_SETITEMCOUNT, rows, shifted ? 0 : LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
    v.shownRows = rows;
    v.shownFirstSeq = b.firstSeq;
    v.shownRowsDropped = b.viewRowsDropped;
    if (v.following && rows > 0) SendMessageA(list, LVM_ENSUREVISIBLE, rows - 1, FALSE);
    if (!v.following && gone > 0) {
        const long long first = static_cast<long long>(top) - static_cast<long long>(gone);
        SendMessageA(list, LVM_ENSUREVISIBLE, first > 0 ? static_cast<WPARAM>(first) : 0, FALSE);
    }
    if (shifted) InvalidateRect(list, nullptr, FALSE);
}

void RefreshAll(HWND window) {
    HistoryViewState* state = HistoryState(window);
    if (!state) return;
    HistoryViewState& v = *state;
    v.following = true;
    UpdateList(window, true);
    UpdateInfo(window);
}

void SetMenuChecks(HWND window) {
    HistoryViewState* state = HistoryState(window);
    if (!state) return;
    HistoryViewState& v = *state;
    HMENU menu = GetMenu(window);
    if (!menu) return;
    // Each item on its own (not a radio range): other views add their items
    // to the View menu with ids of their own.
    CheckMenuItem(menu, IDM_VIEW_HISTORY, MF_BYCOMMAND | (v.historyShown ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(menu, IDM_VIEW_SCREEN, MF_BYCOMMAND | (v.screenShown ? MF_CHECKED : MF_UNCHECKED));
    const HistoryFilter& f = v.book.filter;
    for (int i = 0; i < HISTORY_CATEGORY_COUNT; ++i)
        CheckMenuItem(menu, IDM_HISTORY_FILTER_FIRST + i, MF_BYCOMMAND | (f.category[i] ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(menu, IDM_HISTORY_CHANGES_ONLY, MF_BYCOMMAND | (f.changesOnly ? MF_CHECKED : MF_UNCHECKED));
    for (int i = 0; i < HISTORY_CATEGORY_COUNT; ++i)
        CheckDlgButton(window, IDM_HISTORY_FILTER_FIRST + i, f.category[i] ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(window, IDM_HISTORY_CHANGES_ONLY, f.changesOnly ? BST_CHECKED : BST_UNCHECKED);
}

// Every control of the filter bar, by id.
template <typename Fn>
void ForEachFilterButton(Fn fn) {
    for (int i = 0; i < HISTORY_CATEGORY_COUNT; ++i) fn(IDM_HISTORY_FILTER_FIRST + i);
    fn(IDM_HISTORY_CHANGES_ONLY);
    fn(IDM_HISTORY_SHOW_ALL);
}

// The view and the filters as saved, value by value: a missing or damaged
// value reads as its default (the history, every category, all rows).
const char* const KEY_VIEW = "HistoryView";  // 0 the history, 1 the terminal screen
const char* const KEY_CATEGORIES = "HistoryCategories";  // bit i: category i shown
const char* const KEY_CHANGES_ONLY = "HistoryChangesOnly";
// How many categories the saved mask knew: a category added since (Alarms)
// starts shown instead of hidden by a mask that never heard of it.
const char* const KEY_CATEGORY_COUNT = "HistoryCategoryCount";
constexpr int CATEGORIES_BEFORE_ALARMS = HISTORY_ALARMS;
constexpr int ALL_CATEGORIES = (1 << HISTORY_CATEGORY_COUNT) - 1;

void SaveFilter(const HistoryFilter& f) {
    int mask = 0;
    for (int i = 0; i < HISTORY_CATEGORY_COUNT; ++i)
        if (f.category[i]) mask |= 1 << i;
    ConfigSetInt(KEY_CATEGORIES, mask, 0, ALL_CATEGORIES);
    ConfigSetInt(KEY_CATEGORY_COUNT, HISTORY_CATEGORY_COUNT, 1, HISTORY_CATEGORY_COUNT);
    ConfigSetInt(KEY_CHANGES_ONLY, f.changesOnly ? 1 : 0, 0, 1);
}

HistoryFilter SavedFilter() {
    HistoryFilter f;
    const int mask = ConfigGetInt(KEY_CATEGORIES, ALL_CATEGORIES, 0, ALL_CATEGORIES);
    const int known = ConfigGetInt(KEY_CATEGORY_COUNT, CATEGORIES_BEFORE_ALARMS, 1, HISTORY_CATEGORY_COUNT);
    for (int i = 0; i < HISTORY_CATEGORY_COUNT; ++i) f.category[i] = i >= known || ((mask >> i) & 1);
    f.changesOnly = ConfigGetInt(KEY_CHANGES_ONLY, 0, 0, 1) != 0;
    return f;
}

void SetFilter(HWND window, const HistoryFilter& f) {
    HistoryViewState* state = HistoryState(window);
    if (!state) return;
    HistoryViewState& v = *state;
    HistoryBookSetFilter(v.book, f);
    SaveFilter(f);
    SetMenuChecks(window);
    RefreshAll(window);
    // A click on the bar leaves the keyboard with the list, as the menu does.
    if (GetParent(GetFocus()) == window && GetFocus() != List(window) && v.historyShown) SetFocus(List(window));
}

void Show(HWND window, bool history) {
    HistoryViewState* state = HistoryState(window);
    if (!state) return;
    HistoryViewState& v = *state;
    v.historyShown = history;
    v.screenShown = !history;
    ShowWindow(List(window), history ? SW_SHOW : SW_HIDE);
    ShowWindow(Info(window), history ? SW_SHOW : SW_HIDE);
    ForEachFilterButton([&](int id) { ShowWindow(GetDlgItem(window, id), history ? SW_SHOW : SW_HIDE); });
    SetMenuChecks(window);
    InvalidateRect(window, nullptr, TRUE);
    if (history) SetFocus(List(window));
    else SetFocus(window);
}

// ---- Rows as text ----------------------------------------------------------------

std::string ColumnText(const HistoryRowText& row, int column) {
    switch (column) {
    case 0: return row.time;
    case 1: return row.event;
    case 2: return row.type;
    case 3: return row.details;
    default: return row.bytes;
    }
}

std::string SelectedLines(HWND window) {
    HistoryViewState* state = HistoryState(window);
    if (!state) return std::string();
    HistoryViewState& v = *state;
    HWND list = List(window);
    const HistoryBook& b = v.book;
    std::string out;
    int i = -1;
    while ((i = static_cast<int>(SendMessageA(list, LVM_GETNEXTITEM, i, LVNI_SELECTED))) >= 0) {
        if (static_cast<size_t>(i) >= HistoryViewSize(b)) break;
        const uint64_t seq = HistoryViewSeq(b, static_cast<size_t>(i));
        HistoryAppendLogLine(HistoryBookEntry(b, seq).event, HistoryBookDetails(b, seq), out);
    }
    return out;
}

void CopySelection(HWND window) {
    std::string text = SelectedLines(window);
    if (text.empty()) return;
    // Windows programs expect CR LF between lines on the clipboard.
    std::string crlf;
    for (char c : text) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    // The rows are UTF-8 (names from the switcher); as CF_TEXT a paste would
    // read them in the ANSI code page, so the clipboard gets UTF-16, from
    // which Windows makes CF_TEXT for whoever asks.
    const int n = MultiByteToWideChar(CP_UTF8, 0, crlf.c_str(), static_cast<int>(crlf.size()) + 1, nullptr, 0);
    if (n <= 0 || !OpenClipboard(window)) return;
    EmptyClipboard();
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, static_cast<size_t>(n) * sizeof(wchar_t));
    if (memory) {
        wchar_t* p = static_cast<wchar_t*>(GlobalLock(memory));
        MultiByteToWideChar(CP_UTF8, 0, crlf.c_str(), static_cast<int>(crlf.size()) + 1, p, n);
        GlobalUnlock(memory);
        if (!SetClipboardData(CF_UNICODETEXT, memory)) GlobalFree(memory);
    }
    CloseClipboard();
}

void SelectRow(HWND window, int row) {
    HWND list = List(window);
    LVITEMA item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = 0;
    SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageA(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
    SendMessageA(list, LVM_ENSUREVISIBLE, row, FALSE);
}

void FindNext(HWND window) {
    HistoryViewState* state = HistoryState(window);
    if (!state) return;
    HistoryViewState& v = *state;
    if (v.findText.empty()) return;
    HWND list = List(window);
    const int focused = static_cast<int>(SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
    const long long row = HistoryFind(v.book, static_cast<size_t>(focused + 1), v.findText);
    if (row < 0) {
        // Rows the filter hides are not searched; say so rather than "not there".
        const size_t hidden = HistoryFilterIsAll(v.book.filter) ? 0 : HistoryCountMatches(v.book, v.findText);
        const std::string text =
            hidden ? "\"" + v.findText + "\" is not in the shown rows (" + Thousands(hidden) + " hidden by the filter)."
                   : "\"" + v.findText + "\" is not in the history.";
        historyMessageBox(window, text.c_str(), "Qorvex V-1.0", MB_ICONINFORMATION | MB_OK);
        return;
    }
    SelectRow(window, static_cast<int>(row));
    UpdateInfo(window);
}

// The dialog's parameter is the view's record.
INT_PTR CALLBACK FindDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        SetDlgItemTextA(dialog, IDC_HISTORY_FIND_TEXT, reinterpret_cast<HistoryViewState*>(lParam)->findText.c_str());
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            char text[256] = {};
            GetDlgItemTextA(dialog, IDC_HISTORY_FIND_TEXT, text, sizeof text);
            reinterpret_cast<HistoryViewState*>(GetWindowLongPtrA(dialog, DWLP_USER))->findText = text;
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

bool WriteFileWhole(HWND window, const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = 0, written = 0;
    bool ok = file != INVALID_HANDLE_VALUE;
    if (!ok) error = GetLastError();
    if (ok && !(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                written == bytes.size())) {
        error = GetLastError() ? GetLastError() : ERROR_DISK_FULL;
        ok = false;
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!ok) {
        const std::string text = "The history cannot be saved to \"" + path + "\":\n" + HistoryErrorText(error);
        historyMessageBox(window, text.c_str(), "Qorvex V-1.0", MB_ICONWARNING | MB_OK);
    }
    return ok;
}

void SaveAs(HWND window) {
    HistoryViewState* state = HistoryState(window);
    if (!state) return;
    HistoryViewState& v = *state;
    DWORD type = 1;
    const std::string path = HistoryAskPath(
        window, "Save History As",
        "History, all events (*.tsv)\0*.tsv\0History, filtered rows (*.tsv)\0*.tsv\0"
        "CSV, all events (*.csv)\0*.csv\0CSV, filtered rows (*.csv)\0*.csv\0",
        "tsv", "history.tsv", OFN_OVERWRITEPROMPT, &type);
    if (path.empty()) return;
    HistoryDrain(window);
    std::string bytes;
    HistoryBookWrite(v.book, type == 2 || type == 4, type >= 3, bytes);
    WriteFileWhole(window, path, bytes);
}

// A path from the file dialogs (the ANSI code page) as UTF-8.
std::string Utf8FromAnsi(const std::string& text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 0) return text;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], n);
    const int m = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (m <= 0) return text;
    std::string out(static_cast<size_t>(m), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &out[0], m, nullptr, nullptr);
    out.resize(static_cast<size_t>(m - 1));
    return out;
}

}  // namespace

// ---- Shared with the log file --------------------------------------------------------

HistoryViewState* HistoryState(HWND window) {
    return window ? static_cast<HistoryViewState*>(GetPropA(window, HISTORY_PROPERTY)) : nullptr;
}

HistoryBook& HistoryTheBook(HWND window) { return HistoryState(window)->book; }

// One event into the book (and so the log lines), then to the listener.
static void Take(HistoryViewState& v, const HistoryEvent& event) {
    HistoryBookIngest(v.book, event);
    if (v.listener) v.listener(v.listenerContext, event);
}

// Moves up to `budgetUs` of work from the ring (all when 0), 256 events at a
// time; true when the ring is empty.
static bool DrainFor(HWND window, int64_t budgetUs) {
    HistoryViewState* state = HistoryState(window);
    if (!state || !state->ring) return true;
    HistoryViewState& v = *state;
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const int64_t budget = budgetUs * frequency.QuadPart / 1000000;
    HistoryEvent events[256];
    size_t n;
    bool empty = false;
    for (;;) {
        if ((n = HistoryRingPop(*v.ring, events, 256)) == 0) {
            empty = true;
            break;
        }
        for (size_t i = 0; i < n; ++i) Take(v, events[i]);
        QueryPerformanceCounter(&now);
        if (budgetUs > 0 && now.QuadPart - start.QuadPart >= budget) break;
    }
    HistoryBookNoteLost(v.book, v.ring->lost.load(std::memory_order_relaxed), HistoryNowMs());
    return empty;
}

void HistoryDrain(HWND window) { DrainFor(window, 0); }

std::string HistoryAskPath(HWND window, const char* title, const char* filter, const char* extension,
                           const char* initialName, DWORD flags, DWORD* filterIndex) {
    char path[MAX_PATH] = {};
    lstrcpynA(path, initialName, MAX_PATH);
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = window;
    ofn.lpstrFilter = filter;
    ofn.nFilterIndex = filterIndex ? *filterIndex : 1;
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrTitle = title;
    ofn.lpstrDefExt = extension;
    ofn.Flags = flags | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!GetSaveFileNameA(&ofn)) return std::string();
    if (filterIndex) *filterIndex = ofn.nFilterIndex;
    return path;
}

std::string HistoryErrorText(DWORD code) {
    char text[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = 0;
    char code_text[48];
    std::snprintf(code_text, sizeof code_text, "%s(error %lu)", n ? " " : "", static_cast<unsigned long>(code));
    return std::string(text) + code_text;
}

// ---- Events from outside the parser ------------------------------------------------

void HistoryTakeEvent(HWND window, const HistoryEvent& event) {
    HistoryViewState* state = HistoryState(window);
    if (!state) return;
    HistoryDrain(window);
    Take(*state, event);
}

void HistoryNote(HWND window, HistoryEventKind kind, uint32_t code, const char* note) {
    HistoryEvent event;
    std::memset(&event, 0, sizeof event);
    event.timeMs = HistoryNowMs();
    event.kind = kind;
    event.code = code;
    if (note) std::snprintf(reinterpret_cast<char*>(event.bytes), HISTORY_EVENT_BYTES, "%s", note);
    HistoryTakeEvent(window, event);
}

void HistoryAddAlarm(HWND window, const HistoryEvent& event, const std::string& details) {
    if (HistoryViewState* v = HistoryState(window)) HistoryBookAddAlarm(v->book, event, details);
}

int64_t HistoryAddRow(HWND window, const HistoryEvent& event, const std::string& details) {
    HistoryEvent row = event;
    HistoryViewState* v = HistoryState(window);
    if (v) HistoryDrain(window);
    row.timeMs = HistoryNowMs();
    if (v) HistoryBookAddAlarm(v->book, row, details);
    return row.timeMs;
}

void HistorySetListener(HWND window, HistoryListenerFn listener, void* context) {
    if (HistoryViewState* v = HistoryState(window)) {
        v->listener = listener;
        v->listenerContext = context;
    }
}

// ---- The view ----------------------------------------------------------------------------

HWND HistoryViewCreate(HWND window, HistoryRing* ring, const std::atomic<int32_t>* connected) {
    HistoryViewState* state = HistoryState(window);
    if (!state) {
        state = new HistoryViewState;
        HistoryBookInit(state->book);
        SetPropA(window, HISTORY_PROPERTY, state);
    }
    HistoryViewState& v = *state;
    v.ring = ring;
    v.connected = connected;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
    // The list and the strip keep out of the main window's painting of the
    // terminal screen, and the caret stays off them.
    SetWindowLongPtrA(window, GWL_STYLE, GetWindowLongPtrA(window, GWL_STYLE) | WS_CLIPCHILDREN);
    HWND info = CreateWindowExA(0, "Static", "", WS_CHILD | SS_LEFTNOWORDWRAP | SS_CENTERIMAGE, 0, 0, 0, 0, window,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_HISTORY_INFO)), instance, nullptr);
    HWND list = CreateWindowExA(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
                                WS_CHILD | WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS, 0, 0, 0, 0,
                                window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_HISTORY_LIST)), instance,
                                nullptr);
    if (!list) return nullptr;
    // The list's notifications find the record through the list's user data:
    // a page drawn asks for every cell, and under Wine a window property is a
    // round trip to the wineserver each time.
    SetWindowLongPtrA(list, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
    SendMessageA(info, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    ForEachFilterButton([&](int id) {
        const bool category = id >= IDM_HISTORY_FILTER_FIRST && id < IDM_HISTORY_FILTER_FIRST + HISTORY_CATEGORY_COUNT;
        const char* caption = category ? FILTER_CAPTIONS[id - IDM_HISTORY_FILTER_FIRST]
                              : id == IDM_HISTORY_CHANGES_ONLY ? "Changes only"
                                                               : "Show all";
        const DWORD kind = id == IDM_HISTORY_SHOW_ALL ? BS_PUSHBUTTON : BS_CHECKBOX | BS_PUSHLIKE;
        HWND button = CreateWindowExA(0, "Button", caption, WS_CHILD | kind, 0, 0, 0, 0, window,
                                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
        SendMessageA(button, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    });
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
    for (int c = 0; c < COLUMN_COUNT; ++c) {
        LVCOLUMNA column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = const_cast<char*>(COLUMN_TITLES[c]);
        column.cx = COLUMN_WIDTHS[c];
        column.iSubItem = c;
        SendMessageA(list, LVM_INSERTCOLUMNA, c, reinterpret_cast<LPARAM>(&column));
    }
    v.shownRows = 0;
    v.shownFirstSeq = v.book.firstSeq;
    v.shownRowsDropped = v.book.viewRowsDropped;
    v.following = true;
    v.infoShown.assign(1, '\x01');
    HistoryBookSetFilter(v.book, SavedFilter());
    Show(window, ConfigGetInt(KEY_VIEW, 0, 0, 1) == 0);
    SetMenuChecks(window);
    HMENU menu = GetMenu(window);
    if (menu) EnableMenuItem(menu, IDM_HISTORY_LOG_STOP, MF_BYCOMMAND | (HistoryLogging(window) ? MF_ENABLED : MF_GRAYED));
    SetTimer(window, HISTORY_TIMER, HISTORY_PERIOD_MS, nullptr);
    RefreshAll(window);
    return list;
}

void HistoryViewLayout(HWND window, const RECT& area) {
    HWND list = List(window);
    if (!list) return;
    const int width = area.right - area.left;
    int x = area.left + 2;
    const int barTop = area.top + 1;
    ForEachFilterButton([&](int id) {
        const int w = id == IDM_HISTORY_CHANGES_ONLY ? CHANGES_BUTTON_WIDTH : FILTER_BUTTON_WIDTH;
        if (id == IDM_HISTORY_CHANGES_ONLY || id == IDM_HISTORY_SHOW_ALL) x += 8;  // apart from the categories
        MoveWindow(GetDlgItem(window, id), x, barTop, w, FILTER_BAR_HEIGHT - 3, TRUE);
        x += w + 2;
    });
    const int top = area.top + FILTER_BAR_HEIGHT;
    MoveWindow(Info(window), area.left + 4, top, width - 4, INFO_HEIGHT, TRUE);
    const int height = area.bottom - top - INFO_HEIGHT > 0 ? area.bottom - top - INFO_HEIGHT : 0;
    MoveWindow(list, area.left, top + INFO_HEIGHT, width, height, TRUE);
}

void HistoryViewTick(HWND window) {
    HistoryViewState* state = HistoryState(window);
    if (!state) return;
    HistoryViewState& v = *state;
    // A bounded slice, so that the window answers during any burst: what is
    // left stays in the ring (its overflow is counted as lost) and the tick
    // comes back soon. Timer messages come last, after input, paint and
    // sent messages, so those are served between the slices.
    const bool caughtUp = DrainFor(window, HISTORY_DRAIN_BUDGET_US);
    if (caughtUp != !v.catchingUp) {
        v.catchingUp = !caughtUp;
        SetTimer(window, HISTORY_TIMER, caughtUp ? HISTORY_PERIOD_MS : HISTORY_CATCH_UP_MS, nullptr);
    }
    // Behind the ring, the last byte taken is older than the last received:
    // no silence can be told until caught up.
    if (caughtUp) HistoryBookCheckSilence(v.book, v.connected && v.connected->load() != 0, HistoryNowMs());
    HistoryLogWrite(window, false);
    UpdateList(window, false);
    UpdateInfo(window);
}

bool HistoryCatchingUp(HWND window) {
    HistoryViewState* v = HistoryState(window);
    return v && v->catchingUp;
}

void HistoryViewDestroy(HWND window) {
    KillTimer(window, HISTORY_TIMER);
    HistoryDrain(window);  // the last events reach the log and the recording
    HistoryLogStop(window, HISTORY_STOP_AT_EXIT);
    if (HWND list = List(window)) SetWindowLongPtrA(list, GWLP_USERDATA, 0);
    delete static_cast<HistoryViewState*>(RemovePropA(window, HISTORY_PROPERTY));
}

bool HistoryViewShown(HWND window) {
    HistoryViewState* v = HistoryState(window);
    return List(window) != nullptr && v && v->historyShown;
}

bool HistoryScreenShown(HWND window) {
    HistoryViewState* v = HistoryState(window);
    return List(window) == nullptr || !v || v->screenShown;
}

void HistoryViewShow(HWND window, bool shown) {
    HistoryViewState* state = HistoryState(window);
    if (!state) return;
    HistoryViewState& v = *state;
    if (shown) {
        Show(window, true);
        return;
    }
    // Another view takes the client area: neither the history nor the screen.
    Show(window, false);
    v.screenShown = false;
    SetMenuChecks(window);
}

void HistoryViewShowOnly(HWND window, int category) {
    HistoryViewState* state = HistoryState(window);
    if (!state || category < 0 || category >= HISTORY_CATEGORY_COUNT) return;
    HistoryDrain(window);
    HistoryFilter f;
    HistoryFilterAll(f);
    for (int i = 0; i < HISTORY_CATEGORY_COUNT; ++i) f.category[i] = i == category;
    HistoryViewShow(window, true);
    SetFilter(window, f);
}

int HistoryViewCommand(HWND window, int id) {
    HistoryViewState* state = HistoryState(window);
    if (!state) return 0;
    HistoryViewState& v = *state;
    HistoryBook& b = v.book;
    if (id >= IDM_HISTORY_FILTER_FIRST && id <= IDM_HISTORY_FILTER_LAST) {
        HistoryFilter f = b.filter;
        f.category[id - IDM_HISTORY_FILTER_FIRST] = !f.category[id - IDM_HISTORY_FILTER_FIRST];
        SetFilter(window, f);
        return 1;
    }
    switch (id) {
    case IDM_VIEW_HISTORY:
        HistoryViewShow(window, true);
        ConfigSetInt(KEY_VIEW, 0, 0, 1);
        return 1;
    case IDM_VIEW_SCREEN:
        Show(window, false);
        ConfigSetInt(KEY_VIEW, 1, 0, 1);
        return 1;
    case IDM_HISTORY_COPY: CopySelection(window); return 1;
    case IDM_HISTORY_FIND:
        if (DialogBoxParamA(reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE)),
                            MAKEINTRESOURCEA(IDD_HISTORY_FIND), window, FindDialogProc, reinterpret_cast<LPARAM>(&v)) == IDOK)
            FindNext(window);
        return 1;
    case IDM_HISTORY_FIND_NEXT: FindNext(window); return 1;
    case IDM_HISTORY_CHANGES_ONLY: {
        HistoryFilter f = b.filter;
        f.changesOnly = !f.changesOnly;
        SetFilter(window, f);
        return 1;
    }
    case IDM_HISTORY_SHOW_ALL: {
        HistoryFilter f;
        HistoryFilterAll(f);
        SetFilter(window, f);
        return 1;
    }
    case IDM_HISTORY_SAVE: SaveAs(window); return 1;
    case IDM_HISTORY_CLEAR:
        HistoryDrain(window);
        HistoryLogWrite(window, false);
        HistoryBookClear(b);
        RefreshAll(window);
        return 1;
    case IDM_HISTORY_LOG_START: {
        DWORD type = 1;
        const std::string path = HistoryAskPath(window, "Log to File", "Log files (*.tsv)\0*.tsv\0All files\0*.*\0",
                                                "tsv", "qorvex-log.tsv", 0, &type);
        if (!path.empty()) HistoryLogStart(window, Utf8FromAnsi(path).c_str());
        UpdateInfo(window);
        return 1;
    }
    case IDM_HISTORY_LOG_STOP:
        HistoryLogStop(window);
        UpdateInfo(window);
        return 1;
    default: return 0;
    }
}

long long HistoryViewSelectSeq(HWND window, uint64_t seq) {
    HistoryViewState* state = HistoryState(window);
    if (!state || !List(window)) return -1;
    HistoryDrain(window);
    const HistoryBook& b = state->book;
    const size_t rows = HistoryViewSize(b);
    if (rows == 0) return -1;
    // Rows are in sequence order: the last row at or before seq.
    size_t lo = 0, hi = rows;
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (HistoryViewSeq(b, mid) <= seq) lo = mid + 1;
        else hi = mid;
    }
    const size_t row = lo > 0 ? lo - 1 : 0;
    UpdateList(window, true);
    SelectRow(window, static_cast<int>(row));
    // The tick must not scroll the selection away to the newest row.
    state->following = false;
    state->rowsWhenLeft = rows;
    UpdateInfo(window);
    return static_cast<long long>(row);
}

int HistoryViewNotify(HWND window, const NMHDR* header, LRESULT* result) {
    if (header->idFrom != IDC_HISTORY_LIST || !header->hwndFrom) return 0;
    HistoryViewState* state = reinterpret_cast<HistoryViewState*>(GetWindowLongPtrA(header->hwndFrom, GWLP_USERDATA));
    if (!state) return 0;
    HistoryViewState& v = *state;
    *result = 0;
    const HistoryBook& b = v.book;
    if (header->code == LVN_GETDISPINFOA || header->code == LVN_GETDISPINFOW) {
        // Both shapes carry the item first; only the text pointer's type differs.
        LVITEMA& item = const_cast<NMLVDISPINFOA*>(reinterpret_cast<const NMLVDISPINFOA*>(header))->item;
        if (!(item.mask & LVIF_TEXT) || item.iItem < 0 || static_cast<size_t>(item.iItem) >= HistoryViewSize(b) ||
            item.cchTextMax <= 0)
            return 1;
        const uint64_t seq = HistoryViewSeq(b, static_cast<size_t>(item.iItem));
        if (seq != v.cachedSeq) {
            HistoryRowFormat(b, seq, v.cachedRow);
            v.cachedSeq = seq;
        }
        const std::string text = ColumnText(v.cachedRow, item.iSubItem);
        if (header->code == LVN_GETDISPINFOA) {
            lstrcpynA(item.pszText, text.c_str(), item.cchTextMax);
        } else {
            wchar_t* out = reinterpret_cast<wchar_t*>(item.pszText);
            const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out, item.cchTextMax);
            if (n == 0) out[item.cchTextMax - 1] = 0;
        }
        return 1;
    }
    if (header->code == NM_CUSTOMDRAW) {
        // Alarm rows stand out: white on red, so one is seen among a million.
        NMLVCUSTOMDRAW* draw = const_cast<NMLVCUSTOMDRAW*>(reinterpret_cast<const NMLVCUSTOMDRAW*>(header));
        if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) {
            *result = CDRF_NOTIFYITEMDRAW;
            return 1;
        }
        if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
            const size_t row = static_cast<size_t>(draw->nmcd.dwItemSpec);
            if (row < HistoryViewSize(b) &&
                HistoryBookEntry(b, HistoryViewSeq(b, row)).category == HISTORY_ALARMS) {
                draw->clrText = RGB(255, 255, 255);
                draw->clrTextBk = RGB(192, 0, 0);
            }
            *result = CDRF_DODEFAULT;
            return 1;
        }
        return 0;
    }
    (void)window;
    return 0;
}

// The "Tally Outputs" dialog: the TSL destinations in a list view, a check
// box each to send to it or not, and the refresh interval. The dialog edits
// a copy; OK hands it back.
#include "tsl/tsl_dialogs.h"

#include <commctrl.h>

#include "config/dialog_text.h"
#include "resources/resource.h"

namespace {

struct OutputsState {
    TslSettings* settings;
    std::vector<TslDestinationConfig> list;
    bool filling = false;  // the list's own notifications while it is refilled
};

OutputsState* State(HWND dialog) { return reinterpret_cast<OutputsState*>(GetWindowLongPtrA(dialog, DWLP_USER)); }

HWND List(HWND dialog) { return GetDlgItem(dialog, IDC_TSL_LIST); }

void SetCell(HWND list, int row, int column, const std::string& text) {
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = const_cast<char*>(text.c_str());
    SendMessageA(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

int SelectedRow(HWND dialog) {
    return static_cast<int>(SendMessageA(List(dialog), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

void ShowButtons(HWND dialog, OutputsState& s) {
    const bool selected = SelectedRow(dialog) >= 0;
    EnableWindow(GetDlgItem(dialog, IDC_TSL_EDIT), selected);
    EnableWindow(GetDlgItem(dialog, IDC_TSL_REMOVE), selected);
    EnableWindow(GetDlgItem(dialog, IDC_TSL_ADD), s.list.size() < static_cast<size_t>(TSL_MAX_DESTINATIONS));
}

// The list again from the copy, with `select` selected (-1: none).
void Fill(HWND dialog, OutputsState& s, int select) {
    HWND list = List(dialog);
    s.filling = true;
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    for (size_t i = 0; i < s.list.size(); ++i) {
        const TslDestinationConfig& d = s.list[i];
        const std::string protocol = TslDestinationProtocolText(d);
        LVITEMA item = {};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = const_cast<char*>(protocol.c_str());
        const int row = static_cast<int>(SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
        SetCell(list, row, 1, TslDestinationAddressText(d));
        SetCell(list, row, 2, TslDestinationMeText(d));
        SetCell(list, row, 3, TslDestinationMapText(d));
        SetCell(list, row, 4, d.enabled ? "Yes" : "No");
        ListView_SetCheckState(list, row, d.enabled ? TRUE : FALSE);
    }
    if (select >= 0 && select < static_cast<int>(s.list.size())) {
        ListView_SetItemState(list, select, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        ListView_EnsureVisible(list, select, FALSE);
    }
    s.filling = false;
    ShowButtons(dialog, s);
}

BOOL OnInit(HWND dialog, OutputsState& s) {
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(&s));
    HWND list = List(dialog);
    ListView_SetExtendedListViewStyle(list, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
    struct Column {
        const char* title;
        int width;  // dialog units
    } columns[] = {{"Protocol", 58}, {"Address", 76}, {"ME", 24}, {"Map", 196}, {"Enabled", 34}};
    for (int i = 0; i < 5; ++i) {
        RECT r = {0, 0, columns[i].width, 8};
        MapDialogRect(dialog, &r);
        LVCOLUMNA c = {};
        c.mask = LVCF_TEXT | LVCF_WIDTH;
        c.pszText = const_cast<char*>(columns[i].title);
        c.cx = r.right;
        SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&c));
    }
    SendDlgItemMessageA(dialog, IDC_TSL_REFRESH, EM_LIMITTEXT, 5, 0);
    DialogSetText(dialog, IDC_TSL_REFRESH, std::to_string(s.settings->refreshMs));
    Fill(dialog, s, s.list.empty() ? -1 : 0);
    return TRUE;
}

void Add(HWND dialog, OutputsState& s) {
    if (s.list.size() >= static_cast<size_t>(TSL_MAX_DESTINATIONS)) return;
    TslDestinationConfig d;
    if (!TslDestinationDialogRun(dialog, d)) return;
    s.list.push_back(d);
    Fill(dialog, s, static_cast<int>(s.list.size()) - 1);
}

void Edit(HWND dialog, OutputsState& s) {
    const int row = SelectedRow(dialog);
    if (row < 0 || row >= static_cast<int>(s.list.size())) return;
    TslDestinationConfig d = s.list[static_cast<size_t>(row)];
    if (!TslDestinationDialogRun(dialog, d)) return;
    s.list[static_cast<size_t>(row)] = d;
    Fill(dialog, s, row);
}

void Remove(HWND dialog, OutputsState& s) {
    const int row = SelectedRow(dialog);
    if (row < 0 || row >= static_cast<int>(s.list.size())) return;
    s.list.erase(s.list.begin() + row);
    Fill(dialog, s, row < static_cast<int>(s.list.size()) ? row : row - 1);
}

// A row's check box toggled (by click or space): that destination on or off.
void OnItemChanged(HWND dialog, OutputsState& s, const NMLISTVIEW& change) {
    if (s.filling) return;
    if ((change.uChanged & LVIF_STATE) && ((change.uNewState ^ change.uOldState) & LVIS_STATEIMAGEMASK) &&
        change.iItem >= 0 && change.iItem < static_cast<int>(s.list.size())) {
        const int on = ListView_GetCheckState(List(dialog), change.iItem) ? 1 : 0;
        TslDestinationConfig& d = s.list[static_cast<size_t>(change.iItem)];
        if (d.enabled != on) {
            d.enabled = on;
            SetCell(List(dialog), change.iItem, 4, on ? "Yes" : "No");
        }
    }
    ShowButtons(dialog, s);
}

void OnOk(HWND dialog, OutputsState& s) {
    const TslSettingField* row = nullptr;
    for (const TslSettingField& f : TSL_SETTING_FIELDS)
        if (f.member == &TslSettings::refreshMs) row = &f;
    long long refresh = 0;
    if (!row) return;
    if (!TslDialogNumber(dialog, IDC_TSL_REFRESH, refresh) || !ConfigIntValid(row->key, refresh))
        return TslDialogRefuse(dialog, IDC_TSL_REFRESH, TslFieldRangeMessage(row->label, row->key.min, row->key.max));
    s.settings->outputs = s.list;
    s.settings->refreshMs = static_cast<int>(refresh);
    EndDialog(dialog, IDOK);
}

INT_PTR CALLBACK OutputsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) return OnInit(dialog, *reinterpret_cast<OutputsState*>(lParam));
    OutputsState* s = State(dialog);
    if (!s) return FALSE;
    if (message == WM_NOTIFY) {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom != IDC_TSL_LIST) return FALSE;
        if (header->code == LVN_ITEMCHANGED) OnItemChanged(dialog, *s, *reinterpret_cast<const NMLISTVIEW*>(lParam));
        if (header->code == NM_DBLCLK) Edit(dialog, *s);
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    switch (LOWORD(wParam)) {
    case IDC_TSL_ADD:
        Add(dialog, *s);
        return TRUE;
    case IDC_TSL_EDIT:
        Edit(dialog, *s);
        return TRUE;
    case IDC_TSL_REMOVE:
        Remove(dialog, *s);
        return TRUE;
    case IDOK:
        OnOk(dialog, *s);
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

bool TslOutputsDialogRun(HWND owner, TslSettings& settings) {
    OutputsState state;
    state.settings = &settings;
    state.list = settings.outputs;
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(owner, GWLP_HINSTANCE));
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_TSL_OUTPUTS), owner, OutputsDialogProc,
                           reinterpret_cast<LPARAM>(&state)) == IDOK;
}

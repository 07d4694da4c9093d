// The "Detect Settings" dialog and its two entry points. The scan runs on a
// worker thread over its own handle on the port; the dialog only shows
// progress and the verdict, which arrive as posted messages.
#include "detect/detect_dialog.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "detect/scan.h"
#include "detect/win_port.h"
#include "resources/resource.h"

namespace {

constexpr UINT WM_DETECT_PROGRESS = WM_APP + 40;  // wParam: candidates done
constexpr UINT WM_DETECT_DONE = WM_APP + 41;

struct DetectDialogState {
    char portName[32];
    DetectSetting* result;
    HANDLE port;
    DetectWinPort win;
    volatile LONG cancel;
    HANDLE thread;
    bool running;
    bool closeWhenDone;
    DetectSetting candidates[DETECT_CANDIDATE_COUNT];
    int total;
    DetectOutcome outcome;
};

DetectDialogState* State(HWND dialog) {
    return reinterpret_cast<DetectDialogState*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

// Texts are UTF-8 (the verdict has a dash); the controls get them as UTF-16.
void SetTextUtf8(HWND dialog, int id, const char* text) {
    wchar_t wide[256];
    if (!MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 256)) wide[0] = 0;
    SetDlgItemTextW(dialog, id, wide);
}

void ShowTrying(HWND dialog, const DetectDialogState& s, int index) {
    char setting[32], text[128];
    DetectSettingText(s.candidates[index], setting, sizeof setting);
    std::snprintf(text, sizeof text, "Listening on %s at %s (%d of %d)", s.portName, setting, index + 1, s.total);
    SetTextUtf8(dialog, IDC_DETECT_STATUS, text);
}

void OnCandidate(void* context, const DetectOutcome&, int index) {
    PostMessageA(static_cast<HWND>(context), WM_DETECT_PROGRESS, static_cast<WPARAM>(index + 1), 0);
}

DWORD WINAPI DetectThread(LPVOID parameter) {
    HWND dialog = static_cast<HWND>(parameter);
    DetectDialogState& s = *State(dialog);
    const DetectPort port = DetectWinPortOps(s.win);
    DetectScan(port, s.candidates, s.total, DetectLimits(), s.outcome, OnCandidate, dialog);
    PostMessageA(dialog, WM_DETECT_DONE, 0, 0);
    return 0;
}

void Finish(HWND dialog, DetectDialogState& s) {
    WaitForSingleObject(s.thread, INFINITE);
    CloseHandle(s.thread);
    s.thread = nullptr;
    s.running = false;
    // Whatever was found, the port goes back as it was: the session applies
    // its settings when it connects.
    DetectWinPortOps(s.win).restore(&s.win);
    CloseHandle(s.port);
    s.port = INVALID_HANDLE_VALUE;
    if (s.closeWhenDone) {
        EndDialog(dialog, 0);
        return;
    }
    char text[160];
    DetectVerdictText(s.outcome, text, sizeof text);
    SetTextUtf8(dialog, IDC_DETECT_RESULT, text);
    char status[96];
    std::snprintf(status, sizeof status, "%s: %d of %d settings tried in %.1f s", s.portName, s.outcome.count,
                  s.total, s.outcome.elapsedMs / 1000.0);
    SetTextUtf8(dialog, IDC_DETECT_STATUS, status);
    SendDlgItemMessageA(dialog, IDC_DETECT_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(s.total), 0);
    if (s.outcome.runnerUp >= 0) {
        const DetectCandidateResult& r = s.outcome.results[s.outcome.runnerUp];
        char setting[32], line[96];
        DetectSettingText(r.setting, setting, sizeof setting);
        std::snprintf(line, sizeof line, "Runner-up: %s \xE2\x80\x94 %d %% of bytes framed", setting,
                      static_cast<int>(r.score.framedShare * 100.0));
        SetTextUtf8(dialog, IDC_DETECT_RUNNERUP, line);
    }
    if (s.outcome.verdict == DETECT_FOUND) {
        HWND apply = GetDlgItem(dialog, IDC_DETECT_APPLY);
        EnableWindow(apply, TRUE);
        SendMessageA(dialog, DM_SETDEFID, IDC_DETECT_APPLY, 0);
        SetFocus(apply);
    }
}

BOOL OnInit(HWND dialog, DetectDialogState& s) {
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(&s));
    s.total = DetectDefaultCandidates(s.candidates, DETECT_CANDIDATE_COUNT);
    SendDlgItemMessageA(dialog, IDC_DETECT_PROGRESS, PBM_SETRANGE32, 0, s.total);
    const std::string path = std::string("\\\\.\\") + s.portName;
    s.port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (s.port == INVALID_HANDLE_VALUE || !DetectWinPortBegin(s.win, s.port, &s.cancel)) {
        if (s.port != INVALID_HANDLE_VALUE) CloseHandle(s.port);
        s.port = INVALID_HANDLE_VALUE;
        char text[128];
        std::snprintf(text, sizeof text, "%s cannot be opened: it is in use or not there.", s.portName);
        SetTextUtf8(dialog, IDC_DETECT_RESULT, text);
        return TRUE;
    }
    ShowTrying(dialog, s, 0);
    s.running = true;
    s.thread = CreateThread(nullptr, 0, DetectThread, dialog, 0, nullptr);
    if (!s.thread) {
        s.running = false;
        CloseHandle(s.port);
        s.port = INVALID_HANDLE_VALUE;
        SetTextUtf8(dialog, IDC_DETECT_RESULT, "The scan could not be started.");
    }
    return TRUE;
}

void OnCancel(HWND dialog, DetectDialogState& s) {
    if (s.running) {
        // The scan puts the port back and ends; the dialog closes then.
        s.cancel = 1;
        s.closeWhenDone = true;
        SetTextUtf8(dialog, IDC_DETECT_STATUS, "Cancelling...");
        EnableWindow(GetDlgItem(dialog, IDCANCEL), FALSE);
        return;
    }
    EndDialog(dialog, 0);
}

// Selects the row whose item data is value; false when there is none.
bool SelectByData(HWND combo, DWORD value) {
    const LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i)
        if (static_cast<DWORD>(SendMessageA(combo, CB_GETITEMDATA, static_cast<WPARAM>(i), 0)) == value) {
            SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
            return true;
        }
    return false;
}

BYTE ParityCode(char parity) { return parity == 'E' ? EVENPARITY : parity == 'O' ? ODDPARITY : NOPARITY; }
BYTE StopBitsCode(int stopBits) { return stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT; }

bool PortBusyBySession(HWND owner, bool connected) {
    if (connected) {
        MessageBoxA(owner, "Disconnect before detecting settings.", "Qorvex V-1.0", MB_ICONWARNING);
        return true;
    }
    return false;
}

}  // namespace

INT_PTR CALLBACK DetectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        return OnInit(dialog, *reinterpret_cast<DetectDialogState*>(lParam));
    case WM_DETECT_PROGRESS: {
        DetectDialogState* s = State(dialog);
        const int done = static_cast<int>(wParam);
        SendDlgItemMessageA(dialog, IDC_DETECT_PROGRESS, PBM_SETPOS, wParam, 0);
        if (s && s->running && !s->closeWhenDone && done < s->total) ShowTrying(dialog, *s, done);
        return TRUE;
    }
    case WM_DETECT_DONE:
        if (DetectDialogState* s = State(dialog)) Finish(dialog, *s);
        return TRUE;
    case WM_COMMAND:
        if (DetectDialogState* s = State(dialog)) {
            switch (LOWORD(wParam)) {
            case IDC_DETECT_APPLY:
                if (!s->running && s->outcome.verdict == DETECT_FOUND && s->outcome.best >= 0) {
                    *s->result = s->outcome.results[s->outcome.best].setting;
                    EndDialog(dialog, 1);
                }
                return TRUE;
            case IDCANCEL:
                OnCancel(dialog, *s);
                return TRUE;
            }
        }
        return FALSE;
    case WM_CLOSE:
        if (DetectDialogState* s = State(dialog)) OnCancel(dialog, *s);
        return TRUE;
    }
    return FALSE;
}

int DetectDialogRun(HWND owner, const char* portName, DetectSetting* result) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    // The outcome holds every candidate's score: too big for the stack of a
    // message handler.
    DetectDialogState* s = new DetectDialogState();
    std::snprintf(s->portName, sizeof s->portName, "%s", portName);
    s->result = result;
    s->port = INVALID_HANDLE_VALUE;
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(owner, GWLP_HINSTANCE));
    const INT_PTR applied =
        DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_DETECT), owner, DetectDialogProc, reinterpret_cast<LPARAM>(s));
    if (s->thread) {  // the dialog went without waiting (it never does; but never leave the scan running)
        s->cancel = 1;
        WaitForSingleObject(s->thread, INFINITE);
        CloseHandle(s->thread);
    }
    if (s->port != INVALID_HANDLE_VALUE) CloseHandle(s->port);
    delete s;
    return applied == 1 ? 1 : 0;
}

int DetectSettingsCommand(HWND mainWindow, PortSettings& settings, bool connected) {
    if (PortBusyBySession(mainWindow, connected)) return 0;
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", settings.portNumber);
    DetectSetting found;
    if (!DetectDialogRun(mainWindow, name, &found)) return 0;
    settings.baudRate = static_cast<int>(found.baud);
    settings.dataBits = found.dataBits;
    settings.parity = ParityCode(found.parity);
    settings.stopBits = StopBitsCode(found.stopBits);
    return 1;
}

INT_PTR DetectSettingsButton(HWND dialog, bool connected) {
    if (PortBusyBySession(dialog, connected)) return TRUE;
    // The port list's item data is the port number.
    const LRESULT index = SendDlgItemMessageA(dialog, IDC_SET_PORT, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return TRUE;
    const LRESULT number = SendDlgItemMessageA(dialog, IDC_SET_PORT, CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
    if (number <= 0) return TRUE;
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", static_cast<int>(number));
    DetectSetting found;
    if (!DetectDialogRun(dialog, name, &found)) return TRUE;
    SelectByData(GetDlgItem(dialog, IDC_SET_BAUD), static_cast<DWORD>(found.baud));
    SendDlgItemMessageA(dialog, IDC_SET_DATABITS, CB_SETCURSEL, static_cast<WPARAM>(found.dataBits - 5), 0);
    SelectByData(GetDlgItem(dialog, IDC_SET_PARITY), ParityCode(found.parity));
    // The list offers one stop bit only; a two-stop-bit result leaves it as it is.
    SelectByData(GetDlgItem(dialog, IDC_SET_STOPBITS), StopBitsCode(found.stopBits));
    return TRUE;
}

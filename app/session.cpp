// The session record behind the main window: creation with its defaults, the
// caret, the terminal screen writer and the terminal font.
#include "app/session.h"

#include <commdlg.h>

#include <cstring>
#include <new>

#include "app/app.h"
#include "app/screen_core.h"
#include "resources/resource.h"

static_assert(SCREEN_ROWS == SCREEN_ROW_COUNT && SCREEN_COLS == SCREEN_COL_COUNT,
              "session screen and screen rules agree on the size");

static void SetDefaults(SessionState& s) {
    s.portNumber = 1;
    s.connected = 0;
    s.localEcho = 0;
    s.newLine = 0;
    s.autowrap = 1;
    s.displayErrors = 1;
    s.dataBits = 8;
    s.flowFlags = FLOW_XONXOFF;
    s.parity = NOPARITY;
    s.stopBits = ONESTOPBIT;
    s.baudRate = 115200;
    s.caretShown = 0;
    s.textColour = RGB(0, 0, 0);
    s.column = 0;
    s.row = 0;
}

static void SetDefaultFont(LOGFONTA& f) {
    std::memset(&f, 0, sizeof(f));
    f.lfHeight = 20;
    f.lfCharSet = OEM_CHARSET;
    f.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    std::strcpy(f.lfFaceName, "FixedSys");
}

int SessionCreateWith(HWND window, const SessionAllocator& a) {
    void* memory = a.localAlloc(LMEM_ZEROINIT, sizeof(SessionState));
    if (!memory) return -1;
    // Zero-filled memory is already a valid record; construct it so that the
    // atomics are properly begun objects.
    SessionState* s = new (memory) SessionState{};
    SetDefaults(*s);

    s->readOverlapped.hEvent = a.createEvent(nullptr, TRUE, FALSE, nullptr);
    if (!s->readOverlapped.hEvent) {
        a.localFree(memory);
        return -1;
    }
    s->writeOverlapped.hEvent = a.createEvent(nullptr, TRUE, FALSE, nullptr);
    if (!s->writeOverlapped.hEvent) {
        a.closeHandle(s->readOverlapped.hEvent);
        a.localFree(memory);
        return -1;
    }

    ScreenClear(s->screen);
    SetDefaultFont(s->logFont);
    InitializeCriticalSection(&s->screenLock);

    SetWindowLongPtrA(window, 0, reinterpret_cast<LONG_PTR>(s));
    FontApply(window, s);

    HMENU menu = GetMenu(window);
    EnableMenuItem(menu, IDM_DISCONNECT, MF_BYCOMMAND | MF_DISABLED | MF_GRAYED);
    EnableMenuItem(menu, IDM_CONNECT, MF_BYCOMMAND | MF_ENABLED);
    return 1;
}

int SessionCreate(HWND window) {
    static const SessionAllocator system = {LocalAlloc, LocalFree, CreateEventA, CloseHandle};
    return SessionCreateWith(window, system);
}

// ---- Caret ------------------------------------------------------------------

int CaretPlace(HWND window) {
    SessionState* s = SessionFromWindow(window);
    if (!s) return 0;
    if (s->caretShown & 1) {
        EnterCriticalSection(&s->screenLock);
        const LONG x = s->column * s->charWidth;
        const LONG y = s->row * s->charHeight;
        LeaveCriticalSection(&s->screenLock);
        SetCaretPos(x, y);
    }
    return 1;
}

int CaretPlaceAt(HWND window, int row, int column) {
    SessionState* s = SessionFromWindow(window);
    if (!s) return 0;
    if (s->caretShown & 1) SetCaretPos(column * s->charWidth, row * s->charHeight);
    return 1;
}

int CaretShow(HWND window) {
    SessionState* s = SessionFromWindow(window);
    if (!s) return 0;
    if (!s->connected.load()) return 1;
    if (s->caretShown != 1) {
        CreateCaret(window, nullptr, s->charWidth, s->charHeight);
        ShowCaret(window);
        s->caretShown = 1;
    }
    CaretPlace(window);
    return 1;
}

int CaretHide(HWND window) {
    SessionState* s = SessionFromWindow(window);
    if (!s) return 0;
    if (!s->connected.load()) return 1;
    if (s->caretShown != 0) {
        HideCaret(window);
        DestroyCaret();
        s->caretShown = 0;
    }
    return 1;
}

// ---- Screen -------------------------------------------------------------------

namespace {

// Carries the screen rules' effects to the window. The caret belongs to the
// window's own thread, so another thread (the receiver) asks for the move
// with a posted message instead of moving it itself.
class WindowScreenEffects final : public ScreenEffects {
public:
    WindowScreenEffects(HWND window, const SessionState& s)
        : window_(window), session_(s),
          ownThread_(GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {}

    void Beep() override { MessageBeep(0); }

    void InvalidateCell(int row, int column) override {
        RECT r;
        r.left = column * session_.charWidth;
        r.top = row * session_.charHeight;
        r.right = r.left + session_.charWidth;
        r.bottom = r.top + session_.charHeight;
        InvalidateRect(window_, &r, FALSE);
    }

    void InvalidateAll() override { InvalidateRect(window_, nullptr, FALSE); }

    void PlaceCaret(int row, int column) override {
        caretMoved_ = true;
        caretRow_ = row;
        caretColumn_ = column;
    }

    // Only the last caret position of a write is visible, so the caret is
    // moved once, after the screen lock is released.
    void Finish() {
        if (!caretMoved_) return;
        if (ownThread_) CaretPlaceAt(window_, caretRow_, caretColumn_);
        else PostMessageA(window_, WM_APP_PLACE_CARET, caretRow_, caretColumn_);
    }

private:
    HWND window_;
    const SessionState& session_;
    bool ownThread_;
    bool caretMoved_ = false;
    int caretRow_ = 0;
    int caretColumn_ = 0;
};

}  // namespace

int ScreenWrite(HWND window, const char* bytes, int length) {
    SessionState* s = SessionFromWindow(window);
    if (!s) return 0;
    if (!bytes || length <= 0) return 1;
    WindowScreenEffects effects(window, *s);
    EnterCriticalSection(&s->screenLock);
    ScreenView view{s->screen, static_cast<int>(s->row), static_cast<int>(s->column),
                    s->newLine != 0, s->autowrap != 0};
    ScreenApply(view, bytes, static_cast<size_t>(length), effects);
    s->row = view.row;
    s->column = view.column;
    LeaveCriticalSection(&s->screenLock);
    effects.Finish();
    return 1;
}

// ---- Font -----------------------------------------------------------------------

int FontApply(HWND window, SessionState* s) {
    if (!s) return 0;
    if (s->font) DeleteObject(s->font);
    s->font = CreateFontIndirectA(&s->logFont);
    HDC dc = GetDC(window);
    HGDIOBJ previous = SelectObject(dc, s->font);
    TEXTMETRICA tm = {};
    GetTextMetricsA(dc, &tm);
    SelectObject(dc, previous);
    ReleaseDC(window, dc);
    s->charWidth = tm.tmAveCharWidth;
    s->charHeight = tm.tmHeight + tm.tmExternalLeading;
    return 1;
}

int FontPick(HWND dialog) {
    SessionState* s = static_cast<SessionState*>(GetPropA(dialog, MAKEINTATOM(SESSION_PROPERTY)));
    if (!s) return 0;
    // The chooser works on a copy, so that a cancel leaves the record as it was.
    LOGFONTA chosen = s->logFont;
    CHOOSEFONTA cf = {};
    cf.lStructSize = sizeof(cf);
    cf.hwndOwner = dialog;
    cf.hDC = nullptr;
    cf.lpLogFont = &chosen;
    cf.Flags = CF_SCREENFONTS | CF_INITTOLOGFONTSTRUCT | CF_EFFECTS | CF_FIXEDPITCHONLY;
    cf.rgbColors = s->textColour;
    cf.hInstance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
    if (ChooseFontA(&cf)) {
        s->logFont = chosen;
        s->textColour = cf.rgbColors;
        FontApply(GetParent(dialog), s);
    }
    return 1;
}

// The session record behind the main window: creation with its defaults, the
// caret, the terminal screen writer and the terminal font.
#include "app/session.h"

#include <commdlg.h>

#include <cstring>
#include <new>

#include "app/app.h"
#include "app/screen_core.h"
#include "resources/resource.h"
#include "serial/settings.h"

static_assert(SCREEN_ROWS == SCREEN_ROW_COUNT && SCREEN_COLS == SCREEN_COL_COUNT,
              "session screen and screen rules agree on the size");

static void SetDefaults(SessionState& s) {
    // The settings hold their defaults from construction.
    s.link.portHandle = INVALID_HANDLE_VALUE;
    s.link.settings = &s.settings;
    s.terminal.caretShown = 0;
    s.terminal.textColour = RGB(0, 0, 0);
    s.terminal.column = 0;
    s.terminal.row = 0;
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

    s->link.readOverlapped.hEvent = a.createEvent(nullptr, TRUE, FALSE, nullptr);
    if (!s->link.readOverlapped.hEvent) {
        a.localFree(memory);
        return -1;
    }
    s->link.writeOverlapped.hEvent = a.createEvent(nullptr, TRUE, FALSE, nullptr);
    if (!s->link.writeOverlapped.hEvent) {
        a.closeHandle(s->link.readOverlapped.hEvent);
        a.localFree(memory);
        return -1;
    }

    ScreenClear(s->terminal.cells);
    SetDefaultFont(s->terminal.logFont);
    InitializeCriticalSection(&s->terminal.lock);

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
    if (s->terminal.caretShown & 1) {
        EnterCriticalSection(&s->terminal.lock);
        const LONG x = s->terminal.column * s->terminal.charWidth;
        const LONG y = s->terminal.row * s->terminal.charHeight;
        LeaveCriticalSection(&s->terminal.lock);
        SetCaretPos(x, y);
    }
    return 1;
}

int CaretPlaceAt(HWND window, int row, int column) {
    SessionState* s = SessionFromWindow(window);
    if (!s) return 0;
    if (s->terminal.caretShown & 1) SetCaretPos(column * s->terminal.charWidth, row * s->terminal.charHeight);
    return 1;
}

int CaretShow(HWND window) {
    SessionState* s = SessionFromWindow(window);
    if (!s) return 0;
    if (!s->link.connected.load()) return 1;
    if (s->terminal.caretShown != 1) {
        CreateCaret(window, nullptr, s->terminal.charWidth, s->terminal.charHeight);
        ShowCaret(window);
        s->terminal.caretShown = 1;
    }
    CaretPlace(window);
    return 1;
}

int CaretHide(HWND window) {
    SessionState* s = SessionFromWindow(window);
    if (!s) return 0;
    if (!s->link.connected.load()) return 1;
    if (s->terminal.caretShown != 0) {
        HideCaret(window);
        DestroyCaret();
        s->terminal.caretShown = 0;
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
        r.left = column * session_.terminal.charWidth;
        r.top = row * session_.terminal.charHeight;
        r.right = r.left + session_.terminal.charWidth;
        r.bottom = r.top + session_.terminal.charHeight;
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
    EnterCriticalSection(&s->terminal.lock);
    ScreenView view{s->terminal.cells, static_cast<int>(s->terminal.row), static_cast<int>(s->terminal.column),
                    s->settings.newLine != 0, s->settings.autowrap != 0};
    ScreenApply(view, bytes, static_cast<size_t>(length), effects);
    s->terminal.row = view.row;
    s->terminal.column = view.column;
    LeaveCriticalSection(&s->terminal.lock);
    effects.Finish();
    return 1;
}

// ---- Font -----------------------------------------------------------------------

int FontApply(HWND window, SessionState* s) {
    if (!s) return 0;
    if (s->terminal.font) DeleteObject(s->terminal.font);
    s->terminal.font = CreateFontIndirectA(&s->terminal.logFont);
    HDC dc = GetDC(window);
    HGDIOBJ previous = SelectObject(dc, s->terminal.font);
    TEXTMETRICA tm = {};
    GetTextMetricsA(dc, &tm);
    SelectObject(dc, previous);
    ReleaseDC(window, dc);
    s->terminal.charWidth = tm.tmAveCharWidth;
    s->terminal.charHeight = tm.tmHeight + tm.tmExternalLeading;
    return 1;
}

int FontPick(HWND dialog) {
    SessionState* s = static_cast<SessionState*>(GetPropA(dialog, MAKEINTATOM(SESSION_PROPERTY)));
    if (!s) return 0;
    // The chooser works on a copy, so that a cancel leaves the record as it was.
    LOGFONTA chosen = s->terminal.logFont;
    CHOOSEFONTA cf = {};
    cf.lStructSize = sizeof(cf);
    cf.hwndOwner = dialog;
    cf.hDC = nullptr;
    cf.lpLogFont = &chosen;
    cf.Flags = CF_SCREENFONTS | CF_INITTOLOGFONTSTRUCT | CF_EFFECTS | CF_FIXEDPITCHONLY;
    cf.rgbColors = s->terminal.textColour;
    cf.hInstance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
    if (ChooseFontA(&cf)) {
        s->terminal.logFont = chosen;
        s->terminal.textColour = cf.rgbColors;
        FontApply(GetParent(dialog), s);
    }
    return 1;
}

FontConfig FontConfigFromSession(const SessionState& s) {
    FontConfig c;
    const LOGFONTA& f = s.terminal.logFont;
    c.height = f.lfHeight;
    c.width = f.lfWidth;
    c.weight = f.lfWeight;
    c.italic = f.lfItalic ? 1 : 0;
    c.underline = f.lfUnderline ? 1 : 0;
    c.strikeOut = f.lfStrikeOut ? 1 : 0;
    c.charSet = f.lfCharSet;
    c.pitchAndFamily = f.lfPitchAndFamily;
    c.face.assign(f.lfFaceName, strnlen(f.lfFaceName, LF_FACESIZE));
    c.colour = s.terminal.textColour & 0xFFFFFF;
    return c;
}

void FontConfigToSession(const FontConfig& c, SessionState& s) {
    LOGFONTA& f = s.terminal.logFont;
    f.lfHeight = c.height;
    f.lfWidth = c.width;
    f.lfWeight = c.weight;
    f.lfItalic = static_cast<BYTE>(c.italic);
    f.lfUnderline = static_cast<BYTE>(c.underline);
    f.lfStrikeOut = static_cast<BYTE>(c.strikeOut);
    f.lfCharSet = static_cast<BYTE>(c.charSet);
    f.lfPitchAndFamily = static_cast<BYTE>(c.pitchAndFamily);
    std::memset(f.lfFaceName, 0, sizeof f.lfFaceName);
    std::strncpy(f.lfFaceName, c.face.c_str(), LF_FACESIZE - 1);
    s.terminal.textColour = c.colour;
}

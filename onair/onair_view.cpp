// The On Air view: thin Win32 glue over the portable derivation (onair.h).
// Everything is painted into a memory bitmap and copied in one BitBlt, so a
// redraw never flickers; the ME selector buttons and the detail line are
// ordinary child controls the view clips around.
#include "onair/onair_view.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "onair/onair.h"
#include "resources/resource.h"
#include "tally/store.h"

namespace {

const char VIEW_CLASS[] = "QorvexOnAir";
constexpr int SELECTOR_COUNT = 5;  // ME 1-4, all
const int SELECTOR_IDS[SELECTOR_COUNT] = {IDC_ONAIR_ME1, IDC_ONAIR_ME2, IDC_ONAIR_ME3, IDC_ONAIR_ME4,
                                          IDC_ONAIR_ALL};
const char* const SELECTOR_CAPTIONS[SELECTOR_COUNT] = {"ME 1", "ME 2", "ME 3", "ME 4", "All MEs"};
const int SELECTOR_ME[SELECTOR_COUNT] = {0, 1, 2, 3, ONAIR_ALL_ME};

constexpr int HEADER_HEIGHT = 34;
constexpr int DETAIL_HEIGHT = 36;  // two lines: a long reason wraps, its tool tip shows it whole
constexpr int MARGIN = 6;
constexpr int GAP = 4;
constexpr double TILE_ASPECT = 1.6;
const char FONT_FACE[] = "Tahoma";
const char DETAIL_HINT[] = "Point at or click a tile to see why it is lit.";

struct Palette {
    COLORREF fill, text, border;
};
Palette PaletteOf(OnAirLevel level) {
    switch (level) {
    case ONAIR_PROGRAM: return {RGB(210, 24, 24), RGB(255, 255, 255), RGB(120, 0, 0)};
    case ONAIR_LOOKAHEAD: return {RGB(255, 176, 0), RGB(0, 0, 0), RGB(150, 95, 0)};
    case ONAIR_PREVIEW: return {RGB(20, 160, 60), RGB(255, 255, 255), RGB(0, 85, 25)};
    default: return {RGB(232, 232, 232), RGB(70, 70, 70), RGB(175, 175, 175)};
    }
}

struct ViewState {
    OnAirInputs inputs;  // what is drawn
    OnAirInputs latest;  // read at the tick, to compare with it
    bool haveInputs = false;
    OnAirTally tally;
    std::vector<OnAirTile> tiles;
    std::vector<RECT> tileRects;
    RECT outputsArea = {};
    int me = ONAIR_ALL_ME;
    int selected = -1;  // source selected by a click
    int redraws = 0;
    int toolCount = 0;
    int fontTileHeight = -1;
    HWND tooltip = nullptr;
    HWND detail = nullptr;
    HFONT numberFont = nullptr, nameFont = nullptr, badgeFont = nullptr, uiFont = nullptr;
    std::string tipText;
    std::string detailText;
    // Records the switcher has sent since the view began (a count above
    // zero once is enough: a reset message zeroes the counts, not the records).
    bool meReceived[ME_RECORDS] = {};
    bool outReceived[OUT_RECORDS] = {};
    bool hubShown = false;  // a hub is compared: its lamps as corner marks
    uint8_t hub[ONAIR_SOURCE_VALUES] = {};
};

ViewState* StateOf(HWND view) { return reinterpret_cast<ViewState*>(GetWindowLongPtrA(view, GWLP_USERDATA)); }

HFONT MakeFont(int pixelHeight, bool bold) {
    return CreateFontA(-std::max(pixelHeight, 7), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                       ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, FONT_FACE);
}

void DeleteTileFonts(ViewState* s) {
    for (HFONT* f : {&s->numberFont, &s->nameFont, &s->badgeFont}) {
        if (*f) DeleteObject(*f);
        *f = nullptr;
    }
}

// Text lines a tile of this height has room for: number, nickname, name
// (3), number and nickname (2), or the number alone (1); the rest is in the
// tool tip.
int TileLines(int tileHeight) { return tileHeight >= 40 ? 3 : tileHeight >= 28 ? 2 : 1; }
// Height of the number's line in a tile.
int NumberLineHeight(int tileHeight) {
    const int lines = TileLines(tileHeight);
    return lines == 3 ? tileHeight * 40 / 100 : lines == 2 ? tileHeight * 52 / 100 : tileHeight * 80 / 100;
}

// Fonts follow the tile size so the view scales with the window.
void EnsureTileFonts(ViewState* s, int tileHeight) {
    if (s->numberFont && tileHeight == s->fontTileHeight) return;
    DeleteTileFonts(s);
    const int numberLine = NumberLineHeight(tileHeight);
    const int textLine = TileLines(tileHeight) == 1 ? numberLine : (tileHeight - numberLine) / (TileLines(tileHeight) - 1);
    s->numberFont = MakeFont(std::min(numberLine * 90 / 100, 30), true);
    s->nameFont = MakeFont(std::min(textLine * 78 / 100, 16), false);
    s->badgeFont = MakeFont(std::min(numberLine * 60 / 100, 15), true);
    s->fontTileHeight = tileHeight;
}

int OutputsPanelWidth(int width) { return std::max(220, std::min(290, width * 2 / 9)); }

void DeleteTools(ViewState* s, HWND view) {
    for (int i = 0; i < s->toolCount; ++i) {
        TOOLINFOA info = {};
        info.cbSize = TTTOOLINFOA_V2_SIZE;
        info.hwnd = view;
        info.uId = static_cast<UINT_PTR>(i);
        SendMessageA(s->tooltip, TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&info));
    }
    s->toolCount = 0;
}

// Tiles, their tool-tip rectangles and the outputs panel for the current size.
void Layout(HWND view, ViewState* s) {
    RECT client;
    GetClientRect(view, &client);
    const int width = client.right, height = client.bottom;
    const int panel = OutputsPanelWidth(width);
    const RECT tilesArea = {MARGIN, HEADER_HEIGHT, std::max(MARGIN, width - panel - MARGIN),
                            std::max(HEADER_HEIGHT, height - DETAIL_HEIGHT - MARGIN)};
    s->outputsArea = {tilesArea.right + MARGIN, HEADER_HEIGHT, width - MARGIN, tilesArea.bottom};

    const int count = static_cast<int>(s->tiles.size());
    const OnAirGrid grid = OnAirGridFor(count, tilesArea.right - tilesArea.left, tilesArea.bottom - tilesArea.top,
                                        TILE_ASPECT);
    s->tileRects.assign(count, RECT{0, 0, 0, 0});
    if (grid.columns > 0) {
        // Tall cells would give stretched tiles: keep them near the wanted shape.
        const int tileHeight = std::min(grid.tileHeight, static_cast<int>(grid.tileWidth / TILE_ASPECT * 1.25) + GAP);
        for (int i = 0; i < count; ++i) {
            const int col = i % grid.columns, row = i / grid.columns;
            const int left = tilesArea.left + col * grid.tileWidth;
            const int top = tilesArea.top + row * tileHeight;
            s->tileRects[i] = {left, top, left + grid.tileWidth - GAP, top + tileHeight - GAP};
        }
        EnsureTileFonts(s, tileHeight - GAP);
    }

    DeleteTools(s, view);
    for (int i = 0; i < count; ++i) {
        TOOLINFOA info = {};
        info.cbSize = TTTOOLINFOA_V2_SIZE;
        info.uFlags = TTF_SUBCLASS;
        info.hwnd = view;
        info.uId = static_cast<UINT_PTR>(i);
        info.rect = s->tileRects[i];
        info.lpszText = LPSTR_TEXTCALLBACKA;
        if (SendMessageA(s->tooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&info))) ++s->toolCount;
    }

    int left = MARGIN;
    for (int i = 0; i < SELECTOR_COUNT; ++i) {
        const int w = i == SELECTOR_COUNT - 1 ? 70 : 52;
        MoveWindow(GetDlgItem(view, SELECTOR_IDS[i]), left, 5, w, HEADER_HEIGHT - 10, TRUE);
        left += w + 2;
    }
    MoveWindow(s->detail, MARGIN, height - DETAIL_HEIGHT, std::max(0, width - 2 * MARGIN), DETAIL_HEIGHT - 3, TRUE);
}

// "Not received yet: ME 1, 3; outputs 9-48 (as the store starts). " while a
// record the tiles derive from has never arrived, so that the store's
// starting records are not taken for the switcher's tally.
std::string NotReceivedText(const ViewState* s) {
    std::string me, outputs;
    for (int m = 0; m < ME_RECORDS; ++m)
        if (!s->meReceived[m]) me += (me.empty() ? "ME " : ", ") + std::to_string(m + 1);
    for (int r = 0; r < OUT_RECORDS;) {
        if (s->outReceived[r]) {
            ++r;
            continue;
        }
        int last = r;
        while (last + 1 < OUT_RECORDS && !s->outReceived[last + 1]) ++last;
        outputs += (outputs.empty() ? "outputs " : ", ") + std::to_string(8 * r + 1) + "-" + std::to_string(8 * last + 8);
        r = last + 1;
    }
    if (me.empty() && outputs.empty()) return std::string();
    return "Not received yet: " + me + (me.empty() || outputs.empty() ? "" : "; ") + outputs +
           " (as the store starts). ";
}

void UpdateDetail(ViewState* s) {
    std::string text = NotReceivedText(s) + DETAIL_HINT;
    if (s->selected >= 0 && s->haveInputs) text = OnAirDescribe(s->tally, s->inputs, s->me, s->selected);
    // Only a new text: a static repaints itself whenever it is set.
    if (text == s->detailText) return;
    s->detailText = text;
    SetWindowTextA(s->detail, text.c_str());
}

// Tiles for the ME shown; a new set of tiles needs a new layout.
void RebuildTiles(HWND view, ViewState* s) {
    std::vector<OnAirTile> tiles = OnAirTiles(s->tally, s->inputs, s->me);
    bool sameSet = tiles.size() == s->tiles.size();
    for (size_t i = 0; sameSet && i < tiles.size(); ++i) sameSet = tiles[i].source == s->tiles[i].source;
    s->tiles.swap(tiles);
    if (!sameSet) Layout(view, s);
    UpdateDetail(s);
    ++s->redraws;
    InvalidateRect(view, nullptr, FALSE);
}

// Re-derive from the store when what the view shows has changed (or always).
void Refresh(HWND view, ViewState* s, bool always) {
    TallyCounterValues counts;
    TallyReadCounters(tallyStore, counts);
    bool newlyReceived = false;
    for (int m = 0; m < ME_RECORDS; ++m)
        if (counts.meCount[m] && !s->meReceived[m]) newlyReceived = s->meReceived[m] = true;
    for (int r = 0; r < OUT_RECORDS; ++r)
        if (counts.outCount[r] && !s->outReceived[r]) newlyReceived = s->outReceived[r] = true;
    if (newlyReceived || always) UpdateDetail(s);
    OnAirReadStore(tallyStore, s->latest);
    if (always || !s->haveInputs || !OnAirInputsEqual(s->latest, s->inputs)) {
        s->inputs = s->latest;
        s->haveInputs = true;
        OnAirDerive(s->inputs.me, s->inputs.out, s->tally);
        RebuildTiles(view, s);
    }
}

// ---- Painting ----------------------------------------------------------------

void FillBox(HDC dc, const RECT& r, COLORREF colour) {
    SetBkColor(dc, colour);
    ExtTextOutA(dc, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);
}

void Frame(HDC dc, const RECT& r, COLORREF colour, int thickness) {
    for (int t = 0; t < thickness; ++t) {
        RECT edge = {r.left + t, r.top + t, r.right - t, r.bottom - t};
        if (edge.right <= edge.left || edge.bottom <= edge.top) return;
        HBRUSH brush = CreateSolidBrush(colour);
        FrameRect(dc, &edge, brush);
        DeleteObject(brush);
    }
}

void Text(HDC dc, const std::string& text, RECT r, UINT format) {
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &r, format | DT_NOPREFIX | DT_SINGLELINE);
}

void PaintTile(HDC dc, const ViewState* s, const OnAirTile& tile, const RECT& r) {
    const Palette p = PaletteOf(tile.level);
    FillBox(dc, r, p.fill);
    // A second cue besides colour: stripes across look-ahead, a heavy frame
    // round program, and the level's letters in the corner.
    if (tile.level == ONAIR_LOOKAHEAD) {
        HBRUSH hatch = CreateHatchBrush(HS_BDIAGONAL, RGB(215, 135, 0));
        SetBkColor(dc, p.fill);
        RECT band = {r.left, r.bottom - std::max(4L, (r.bottom - r.top) / 6), r.right, r.bottom};
        FillRect(dc, &band, hatch);
        DeleteObject(hatch);
    }
    Frame(dc, r, p.border, tile.level == ONAIR_PROGRAM ? 3 : 1);
    if (tile.source == s->selected) {
        RECT outer = {r.left - 2, r.top - 2, r.right + 2, r.bottom + 2};
        Frame(dc, outer, RGB(0, 0, 0), 2);
    }

    // The hub's lamp in the bottom right corner, in the colours of its level.
    if (s->hubShown && tile.source >= 0 && tile.source < ONAIR_SOURCE_VALUES &&
        s->hub[tile.source] != ONAIR_HUB_NONE) {
        const OnAirLevel hubLevel = static_cast<OnAirLevel>(s->hub[tile.source]);
        const Palette hp = PaletteOf(hubLevel);
        const long side = std::max(7L, std::min(r.right - r.left, r.bottom - r.top) / 5);
        const long inset = tile.level == ONAIR_PROGRAM ? 4 : 2;
        RECT mark = {r.right - inset - side, r.bottom - inset - side, r.right - inset, r.bottom - inset};
        FillBox(dc, mark, hp.fill);
        Frame(dc, mark, RGB(0, 0, 0), 1);
    }

    const int h = static_cast<int>(r.bottom - r.top), pad = std::max(2, h / 14) + (tile.level == ONAIR_PROGRAM ? 2 : 1);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, p.text);
    RECT inner = {r.left + pad + 1, r.top + pad, r.right - pad, r.bottom - pad};
    const int lines = TileLines(s->fontTileHeight);
    RECT numberBox = {inner.left, inner.top, inner.right, inner.top + NumberLineHeight(s->fontTileHeight)};
    const std::string number = std::to_string(tile.source);
    SelectObject(dc, s->numberFont);
    SIZE numberSize = {0, 0};
    GetTextExtentPoint32A(dc, number.c_str(), static_cast<int>(number.size()), &numberSize);
    Text(dc, number, numberBox, DT_LEFT | DT_TOP);
    const char* letters = OnAirLevelLetters(tile.level);
    SelectObject(dc, s->badgeFont);
    SIZE badgeSize = {0, 0};
    GetTextExtentPoint32A(dc, letters, static_cast<int>(std::strlen(letters)), &badgeSize);
    // The letters beside the number where they fit; a three-digit number
    // pushes them down to the corner of the name line, so that colour is
    // never the only cue. Only one-line tiles keep just stripes and frame.
    const bool besideNumber = numberBox.left + numberSize.cx + 3 + badgeSize.cx <= numberBox.right;
    if (*letters && besideNumber) Text(dc, letters, numberBox, DT_RIGHT | DT_TOP);
    if (lines < 2) return;
    const bool inNameLine = *letters && !besideNumber;
    const int nameRight = inNameLine ? static_cast<int>(inner.right - badgeSize.cx - 3) : static_cast<int>(inner.right);
    if (inNameLine) {
        RECT corner = {inner.left, numberBox.bottom, inner.right, numberBox.bottom + badgeSize.cy};
        Text(dc, letters, corner, DT_RIGHT | DT_TOP);
    }
    SelectObject(dc, s->nameFont);
    if (lines == 2) {
        RECT nickBox = {inner.left, numberBox.bottom, nameRight, inner.bottom};
        Text(dc, tile.nickname, nickBox, DT_LEFT | DT_VCENTER | DT_END_ELLIPSIS);
        return;
    }
    const int line = (inner.bottom - numberBox.bottom) / 2;
    RECT nameBox = {inner.left, numberBox.bottom, nameRight, numberBox.bottom + line};
    RECT nickBox = {inner.left, nameBox.bottom, inner.right, inner.bottom};
    Text(dc, tile.name, nameBox, DT_LEFT | DT_VCENTER | DT_END_ELLIPSIS);
    Text(dc, tile.nickname, nickBox, DT_LEFT | DT_VCENTER | DT_END_ELLIPSIS);
}

void PaintLegend(HDC dc, const ViewState* s, int left, int right) {
    SelectObject(dc, s->uiFont);
    SetBkMode(dc, TRANSPARENT);
    const OnAirLevel levels[3] = {ONAIR_PROGRAM, ONAIR_LOOKAHEAD, ONAIR_PREVIEW};
    const char* const words[3] = {"program", "look-ahead", "preview"};
    int x = left;
    for (int i = 0; i < 3 && x + 120 <= right; ++i) {
        const Palette p = PaletteOf(levels[i]);
        RECT swatch = {x, 8, x + 34, HEADER_HEIGHT - 8};
        FillBox(dc, swatch, p.fill);
        Frame(dc, swatch, p.border, 1);
        SetTextColor(dc, p.text);
        Text(dc, OnAirLevelLetters(levels[i]), swatch, DT_CENTER | DT_VCENTER);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        RECT word = {swatch.right + 4, 0, swatch.right + 80, HEADER_HEIGHT};
        Text(dc, words[i], word, DT_LEFT | DT_VCENTER);
        x = word.right + 6;
    }
}

void PaintOutputs(HDC dc, const ViewState* s) {
    const RECT& a = s->outputsArea;
    if (a.right - a.left < 40) return;
    FillBox(dc, a, RGB(246, 246, 246));
    Frame(dc, a, RGB(175, 175, 175), 1);
    SelectObject(dc, s->uiFont);
    SetBkMode(dc, TRANSPARENT);
    TEXTMETRICA tm;
    GetTextMetricsA(dc, &tm);
    const int lineHeight = tm.tmHeight + 3;
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    RECT title = {a.left + 6, a.top + 4, a.right - 6, a.top + 4 + lineHeight};
    Text(dc, "Outputs on air (" + std::to_string(s->tally.onAirCount) + ")", title, DT_LEFT | DT_TOP);
    // Columns: output number, source number, source name, mode.
    const int outRight = a.left + 52, sourceRight = outRight + 34, modeLeft = a.right - 42;
    SetTextColor(dc, RGB(100, 100, 100));
    int y = title.bottom + 2;
    RECT head = {a.left + 6, y, outRight, y + lineHeight};
    Text(dc, "Output", head, DT_RIGHT | DT_TOP);
    head = {outRight, y, sourceRight, y + lineHeight};
    Text(dc, "Src", head, DT_RIGHT | DT_TOP);
    head = {sourceRight + 8, y, modeLeft, y + lineHeight};
    Text(dc, "Name", head, DT_LEFT | DT_TOP);
    head = {modeLeft, y, a.right - 6, y + lineHeight};
    Text(dc, "Mode", head, DT_RIGHT | DT_TOP);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    y += lineHeight;
    const int lines = (a.bottom - 4 - y) / lineHeight;
    for (int k = 0; k < s->tally.onAirCount; ++k) {
        if (k == lines - 1 && s->tally.onAirCount > lines) {
            RECT more = {a.left + 6, y, a.right - 6, y + lineHeight};
            Text(dc, "+ " + std::to_string(s->tally.onAirCount - k) + " more", more, DT_LEFT | DT_TOP);
            break;
        }
        const OnAirOutput& o = s->tally.onAir[k];
        const char* name = o.source >= 1 && o.source <= SOURCE_COUNT ? s->inputs.name[o.source] : "";
        RECT mark = {a.left + 6, y + 3, a.left + 12, y + lineHeight - 4};
        FillBox(dc, mark, PaletteOf(ONAIR_PROGRAM).fill);
        RECT cell = {a.left + 14, y, outRight, y + lineHeight};
        Text(dc, std::to_string(o.output), cell, DT_RIGHT | DT_TOP);
        cell = {outRight, y, sourceRight, y + lineHeight};
        Text(dc, std::to_string(o.source), cell, DT_RIGHT | DT_TOP);
        cell = {sourceRight + 8, y, modeLeft, y + lineHeight};
        Text(dc, name, cell, DT_LEFT | DT_TOP | DT_END_ELLIPSIS);
        cell = {modeLeft, y, a.right - 6, y + lineHeight};
        Text(dc, std::string(1, o.mode), cell, DT_RIGHT | DT_TOP);
        y += lineHeight;
    }
    if (s->tally.onAirCount == 0) {
        RECT none = {a.left + 6, y, a.right - 6, y + lineHeight};
        Text(dc, "none", none, DT_LEFT | DT_TOP);
    }
}

void Paint(HWND view, ViewState* s) {
    PAINTSTRUCT ps;
    HDC target = BeginPaint(view, &ps);
    RECT client;
    GetClientRect(view, &client);
    if (client.right > 0 && client.bottom > 0) {
        HDC dc = CreateCompatibleDC(target);
        HBITMAP bitmap = CreateCompatibleBitmap(target, client.right, client.bottom);
        HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
        HGDIOBJ oldFont = SelectObject(dc, s->uiFont);
        FillBox(dc, client, GetSysColor(COLOR_WINDOW));
        PaintLegend(dc, s, MARGIN + 4 * 54 + 72 + 16, client.right - MARGIN);
        for (size_t i = 0; i < s->tiles.size() && i < s->tileRects.size(); ++i)
            PaintTile(dc, s, s->tiles[i], s->tileRects[i]);
        PaintOutputs(dc, s);
        BitBlt(target, ps.rcPaint.left, ps.rcPaint.top, ps.rcPaint.right - ps.rcPaint.left,
               ps.rcPaint.bottom - ps.rcPaint.top, dc, ps.rcPaint.left, ps.rcPaint.top, SRCCOPY);
        SelectObject(dc, oldFont);
        SelectObject(dc, oldBitmap);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    EndPaint(view, &ps);
}

int TileAt(const ViewState* s, int x, int y) {
    const POINT p = {x, y};
    for (size_t i = 0; i < s->tileRects.size(); ++i)
        if (PtInRect(&s->tileRects[i], p)) return static_cast<int>(i);
    return -1;
}

// ---- Window procedure -----------------------------------------------------------

LRESULT OnCreate(HWND view) {
    ViewState* s = new ViewState;
    SetWindowLongPtrA(view, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(s));
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(view, GWLP_HINSTANCE));
    s->uiFont = MakeFont(13, false);
    for (int i = 0; i < SELECTOR_COUNT; ++i) {
        HWND b = CreateWindowExA(0, "BUTTON", SELECTOR_CAPTIONS[i],
                                 WS_CHILD | WS_VISIBLE | BS_AUTORADIOBUTTON | BS_PUSHLIKE | (i == 0 ? WS_GROUP : 0),
                                 0, 0, 0, 0, view, reinterpret_cast<HMENU>(static_cast<INT_PTR>(SELECTOR_IDS[i])),
                                 instance, nullptr);
        SendMessageA(b, WM_SETFONT, reinterpret_cast<WPARAM>(s->uiFont), FALSE);
    }
    CheckRadioButton(view, IDC_ONAIR_ME1, IDC_ONAIR_ALL, IDC_ONAIR_ALL);
    s->detailText = DETAIL_HINT;
    s->detail = CreateWindowExA(0, "STATIC", DETAIL_HINT, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_NOTIFY,
                                0, 0, 0, 0, view, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_ONAIR_DETAIL)),
                                instance, nullptr);
    SendMessageA(s->detail, WM_SETFONT, reinterpret_cast<WPARAM>(s->uiFont), FALSE);
    s->tooltip = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, view, nullptr,
                                 instance, nullptr);
    SendMessageA(s->tooltip, TTM_SETMAXTIPWIDTH, 0, 420);
    SendMessageA(s->tooltip, TTM_SETDELAYTIME, TTDT_AUTOPOP, 20000);
    // The detail line's own tip: the reason whole, however narrow the window.
    TOOLINFOA detailTool = {};
    detailTool.cbSize = TTTOOLINFOA_V2_SIZE;
    detailTool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    detailTool.hwnd = view;
    detailTool.uId = reinterpret_cast<UINT_PTR>(s->detail);
    detailTool.lpszText = LPSTR_TEXTCALLBACKA;
    SendMessageA(s->tooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&detailTool));
    return 0;
}

LRESULT CALLBACK ViewProc(HWND view, UINT message, WPARAM wParam, LPARAM lParam) {
    ViewState* s = StateOf(view);
    switch (message) {
    case WM_CREATE:
        return OnCreate(view);
    case WM_NCDESTROY:
        if (s) {
            DeleteTileFonts(s);
            if (s->uiFont) DeleteObject(s->uiFont);
            delete s;
            SetWindowLongPtrA(view, GWLP_USERDATA, 0);
        }
        break;
    case WM_ERASEBKGND:
        return 1;  // everything is painted from the memory bitmap
    case WM_PAINT:
        if (!s) break;
        Paint(view, s);
        return 0;
    case WM_SIZE:
        if (s) {
            Layout(view, s);
            InvalidateRect(view, nullptr, FALSE);
        }
        return 0;
    case WM_COMMAND:
        if (s && HIWORD(wParam) == BN_CLICKED) {
            for (int i = 0; i < SELECTOR_COUNT; ++i)
                if (LOWORD(wParam) == SELECTOR_IDS[i]) {
                    OnAirViewSelectMe(view, SELECTOR_ME[i]);
                    // Keep the keyboard (and the accelerators) with the main window.
                    SetFocus(GetParent(view));
                    return 0;
                }
        }
        break;
    case WM_LBUTTONDOWN:
        if (s) {
            const int i = TileAt(s, static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)));
            s->selected = i >= 0 ? s->tiles[i].source : -1;
            UpdateDetail(s);
            InvalidateRect(view, nullptr, FALSE);
        }
        return 0;
    case WM_NOTIFY: {
        NMHDR* header = reinterpret_cast<NMHDR*>(lParam);
        if (s && header->hwndFrom == s->tooltip && header->code == TTN_GETDISPINFOA) {
            NMTTDISPINFOA* info = reinterpret_cast<NMTTDISPINFOA*>(lParam);
            const size_t i = static_cast<size_t>(header->idFrom);
            if (header->idFrom == reinterpret_cast<UINT_PTR>(s->detail))
                s->tipText = s->detailText;
            else
                s->tipText = i < s->tiles.size() ? OnAirDescribe(s->tally, s->inputs, s->me, s->tiles[i].source) : "";
            info->lpszText = const_cast<char*>(s->tipText.c_str());
            return 0;
        }
        break;
    }
    }
    return DefWindowProcA(view, message, wParam, lParam);
}

bool RegisterViewClass(HINSTANCE instance) {
    WNDCLASSEXA wc = {};
    if (GetClassInfoExA(instance, VIEW_CLASS, &wc)) return true;
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ViewProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = nullptr;  // painted whole, never erased
    wc.lpszClassName = VIEW_CLASS;
    return RegisterClassExA(&wc) != 0;
}

}  // namespace

HWND OnAirViewFind(HWND parent) { return parent ? GetDlgItem(parent, IDC_ONAIR_VIEW) : nullptr; }

HWND OnAirViewCreate(HWND parent) {
    HWND view = OnAirViewFind(parent);
    if (view) return view;
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(parent, GWLP_HINSTANCE));
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    if (!RegisterViewClass(instance)) return nullptr;
    // The main window paints its terminal screen over the whole client area;
    // clipping its children keeps that (and its background) off the view.
    SetWindowLongPtrA(parent, GWL_STYLE, GetWindowLongPtrA(parent, GWL_STYLE) | WS_CLIPCHILDREN);
    view = CreateWindowExA(0, VIEW_CLASS, "On Air", WS_CHILD | WS_CLIPCHILDREN, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_ONAIR_VIEW)), instance, nullptr);
    return view;
}

void OnAirViewShow(HWND parent, bool show) {
    HWND view = show ? OnAirViewCreate(parent) : OnAirViewFind(parent);
    if (!view) return;
    CheckMenuItem(GetMenu(parent), IDM_VIEW_ONAIR, MF_BYCOMMAND | (show ? MF_CHECKED : MF_UNCHECKED));
    if (show) {
        Refresh(view, StateOf(view), true);
        ShowWindow(view, SW_SHOW);
    } else {
        ShowWindow(view, SW_HIDE);
        InvalidateRect(parent, nullptr, TRUE);  // whatever takes the client area back
    }
}

bool OnAirViewShown(HWND parent) {
    HWND view = OnAirViewFind(parent);
    return view && IsWindowVisible(view);
}

void OnAirViewLayout(HWND parent, const RECT& area) {
    HWND view = OnAirViewFind(parent);
    if (!view) return;
    const LONG height = area.bottom - area.top;
    MoveWindow(view, area.left, area.top, area.right - area.left, height > 0 ? height : 0, TRUE);
}

void OnAirViewTick(HWND parent) {
    HWND view = OnAirViewFind(parent);
    if (!view || !IsWindowVisible(view)) return;
    ViewState* s = StateOf(view);
    if (s) Refresh(view, s, false);
}

void OnAirViewSelectMe(HWND view, int me) {
    ViewState* s = StateOf(view);
    if (!s || me < ONAIR_ALL_ME || me >= ME_RECORDS) return;
    s->me = me;
    for (int i = 0; i < SELECTOR_COUNT; ++i)
        if (SELECTOR_ME[i] == me) CheckRadioButton(view, IDC_ONAIR_ME1, IDC_ONAIR_ALL, SELECTOR_IDS[i]);
    if (s->haveInputs) RebuildTiles(view, s);
}

int OnAirViewSelectedMe(HWND view) {
    ViewState* s = StateOf(view);
    return s ? s->me : ONAIR_ALL_ME;
}

void OnAirViewSetHub(HWND parent, const uint8_t* levels) {
    HWND view = OnAirViewFind(parent);
    ViewState* s = view ? StateOf(view) : nullptr;
    if (!s) return;
    const bool shown = levels != nullptr;
    if (shown == s->hubShown && (!shown || std::memcmp(levels, s->hub, sizeof s->hub) == 0)) return;
    s->hubShown = shown;
    if (shown) std::memcpy(s->hub, levels, sizeof s->hub);
    InvalidateRect(view, nullptr, FALSE);
}

bool OnAirViewTileRect(HWND view, int source, RECT* rect) {
    ViewState* s = StateOf(view);
    if (!s) return false;
    for (size_t i = 0; i < s->tiles.size() && i < s->tileRects.size(); ++i)
        if (s->tiles[i].source == source) {
            *rect = s->tileRects[i];
            return true;
        }
    return false;
}

int OnAirViewRedrawCount(HWND view) {
    ViewState* s = StateOf(view);
    return s ? s->redraws : 0;
}

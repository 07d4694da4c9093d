// The Timeline view: thin Win32 glue over the portable index (timeline.h).
// Bars are written straight into a 32-bit DIB section (a full-screen redraw
// is a few million pixel stores, far cheaper than one GDI call per run), then
// GDI adds the text; WM_PAINT only copies that back buffer, so exposing the
// window never redraws and the buffer is drawn only when the span or the data
// changed.
#include "timeline/timeline_view.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "history/book.h"
#include "history/log_format.h"
#include "resources/resource.h"
#include "timeline/asrun.h"

namespace {

const char VIEW_CLASS[] = "QorvexTimeline";
const char PROPERTY[] = "Qorvex.Timeline";
const char FONT_FACE[] = "Tahoma";

constexpr int64_t MIN_SPAN_MS = 100;
constexpr int64_t MAX_SPAN_MS = 24 * 3600 * 1000;
constexpr int64_t DEFAULT_SPAN_MS = 60 * 1000;

constexpr int HEADER_HEIGHT = 32;
constexpr int AXIS_HEIGHT = 20;
constexpr int LABEL_WIDTH = 150;
constexpr int RIGHT_MARGIN = 8;
constexpr int LANE_HEIGHT = 18;  // bar and gap
constexpr int BAR_HEIGHT = 15;
constexpr int TITLE_HEIGHT = 18;
constexpr int LINK_HEIGHT = 46;
constexpr int CLICK_SLOP = 3;    // pixels a press may move and still be a click

constexpr int SELECTOR_COUNT = 5;
const int SELECTOR_IDS[SELECTOR_COUNT] = {IDC_TIMELINE_ME1, IDC_TIMELINE_ME2, IDC_TIMELINE_ME3, IDC_TIMELINE_ME4,
                                          IDC_TIMELINE_ALL};
const char* const SELECTOR_CAPTIONS[SELECTOR_COUNT] = {"ME 1", "ME 2", "ME 3", "ME 4", "All MEs"};
const int SELECTOR_ME[SELECTOR_COUNT] = {0, 1, 2, 3, ONAIR_ALL_ME};

// The On Air view's colours, as 0x00RRGGBB for the DIB.
constexpr uint32_t Pixel(int r, int g, int b) { return uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b); }
constexpr uint32_t PGM_FILL = Pixel(210, 24, 24), PGM_EDGE = Pixel(120, 0, 0);
constexpr uint32_t LAP_FILL = Pixel(255, 176, 0), LAP_STRIPE = Pixel(215, 135, 0);
constexpr uint32_t PVW_FILL = Pixel(20, 160, 60);
constexpr uint32_t LANE_BACK = Pixel(244, 244, 244), GRID = Pixel(226, 226, 226);
constexpr uint32_t RATE = Pixel(50, 100, 200), ERROR_TICK = Pixel(200, 0, 0);
constexpr uint32_t SILENT_SHADE = Pixel(222, 222, 236), DOWN_SHADE = Pixel(196, 196, 196);
constexpr uint32_t MARKER = Pixel(150, 40, 180), CURSOR = Pixel(0, 0, 0);

enum RowGroup { ROW_ME = 0, ROW_ONAIR = 1, ROW_LINK = 2 };
struct Row {
    int group;
    int source;
    int top, bottom;  // bar pixels
};
struct Letters {  // a run wide enough for its level's letters
    int left, right, top, bottom;
    int level;
};

struct EdlChoice {
    int me = 0;
    int fps = FPS_25;
};

struct Record {
    std::unique_ptr<TimelineIndex> index;
    const HistoryBook* book = nullptr;
    const std::atomic<int32_t>* connected = nullptr;
    TimelineSelectFn select = nullptr;
    void* selectContext = nullptr;
    HWND view = nullptr;

    int me = ONAIR_ALL_ME;
    int64_t spanMs = DEFAULT_SPAN_MS;
    int64_t t1 = 0;           // right edge; t0 = t1 - spanMs
    bool following = true;
    int64_t selectedMs = -1;  // the clicked time, drawn as a cursor

    // What the back buffer shows, to tell whether it must be drawn again.
    bool drawn = false;
    uint64_t drawnEvents = 0;
    int64_t drawnFirst = 0, drawnT1 = 0, drawnSpan = 0, drawnSelected = -1;
    size_t drawnMarkers = 0;
    int drawnMe = 0;

    HDC memDc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ oldBitmap = nullptr;
    uint32_t* pixels = nullptr;
    int width = 0, height = 0;

    RECT graph = {};  // the bars' columns and the lanes' rows
    std::vector<Row> rows;
    std::vector<TimelineCell> cells;
    std::vector<TimelineLinkCell> linkCells;
    std::vector<Letters> letters;

    HFONT font = nullptr, boldFont = nullptr;
    HWND tooltip = nullptr;
    std::string tipText;
    bool dragging = false, moved = false;
    int dragX = 0;
    int64_t dragT1 = 0;
    int redraws = 0;
    double lastRenderMs = 0;
    EdlChoice edl;  // the last choice is offered again
};

Record* RecordOf(HWND parent) { return parent ? static_cast<Record*>(GetPropA(parent, PROPERTY)) : nullptr; }
Record* ViewRecord(HWND view) { return reinterpret_cast<Record*>(GetWindowLongPtrA(view, GWLP_USERDATA)); }

int64_t NowMs(const Record& r) {
    const TimelineIndex& x = *r.index;
    // A replay or an opened recording is stamped with its own times: while
    // not connected the newest event is "now".
    if (r.connected && r.connected->load() != 0) return std::max(HistoryNowMs(), x.lastMs);
    return x.events ? x.lastMs : HistoryNowMs();
}

int Columns(const Record& r) { return std::max(0, static_cast<int>(r.graph.right - r.graph.left)); }
// The bars' columns for the view's size: right of the labels.
bool SetGraph(Record& r, int width, int height) {
    const RECT graph = {LABEL_WIDTH, HEADER_HEIGHT, std::max(LABEL_WIDTH, width - RIGHT_MARGIN), height};
    if (EqualRect(&graph, &r.graph)) return false;
    r.graph = graph;
    return true;
}
int64_t T0(const Record& r) { return r.t1 - r.spanMs; }
// Pixel column i covers [Boundary(i), Boundary(i + 1)), as TimelineCells has it.
int64_t Boundary(const Record& r, int i) {
    const int n = std::max(1, Columns(r));
    return T0(r) + (r.spanMs * i + n - 1) / n;
}

// While following, the right edge moves a whole column at a time, so the
// bars do not shimmer and an idle tick draws nothing.
void FollowNow(Record& r) {
    const int64_t now = NowMs(r);
    const int64_t step = std::max<int64_t>(1, r.spanMs / std::max(1, Columns(r)));
    r.t1 = (now / step + 1) * step;
}

void SetSpanAround(Record& r, int64_t span, int64_t anchor, double fraction) {
    span = std::min(MAX_SPAN_MS, std::max(MIN_SPAN_MS, span));
    if (r.following) {
        r.spanMs = span;
        FollowNow(r);
        return;
    }
    const int64_t t0 = anchor - static_cast<int64_t>(fraction * static_cast<double>(span));
    r.spanMs = span;
    r.t1 = t0 + span;
    if (r.t1 >= NowMs(r)) {
        r.following = true;
        FollowNow(r);
    }
}

void PanBy(Record& r, int64_t deltaMs) {
    r.t1 += deltaMs;
    r.following = false;
    if (r.t1 >= NowMs(r)) {
        r.following = true;
        FollowNow(r);
    }
}

// ---- Texts --------------------------------------------------------------------------

std::string ClockText(int64_t ms) {
    AsRunClock clock;
    const std::string iso = AsRunTimeText(ms, clock);  // 2026-12-08T09:41:03.123+01:00
    const size_t t = iso.find('T');
    return t == std::string::npos ? iso : iso.substr(t + 1, 12);
}

std::string LengthText(int64_t ms) {
    char text[48];
    if (ms < 1000) std::snprintf(text, sizeof text, "%lld ms", static_cast<long long>(ms));
    else if (ms < 60000) std::snprintf(text, sizeof text, "%.3f s", ms / 1000.0);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld:%06.3f", static_cast<long long>(ms / 3600000),
                      static_cast<long long>(ms / 60000 % 60), (ms % 60000) / 1000.0);
    return text;
}

std::string SpanText(int64_t ms) {
    char text[32];
    if (ms < 1000) std::snprintf(text, sizeof text, "%lld ms", static_cast<long long>(ms));
    else if (ms < 60000) std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
    else if (ms < 3600000) std::snprintf(text, sizeof text, "%g min", ms / 60000.0);
    else std::snprintf(text, sizeof text, "%g h", ms / 3600000.0);
    return text;
}

std::string SourceText(const Record& r, int source, int64_t t) {
    std::string text = "Source " + std::to_string(source);
    const std::string name = TimelineShownName(TimelineNameAt(*r.index, source, t));
    if (!name.empty()) text += " \"" + name + "\"";
    return text;
}

std::string MeText(int me) { return me == ONAIR_ALL_ME ? "all MEs" : "ME " + std::to_string(me + 1); }

const char* LevelWord(int level) {
    switch (level) {
    case ONAIR_PROGRAM: return "PGM";
    case ONAIR_LOOKAHEAD: return "LAP";
    case ONAIR_PREVIEW: return "PVW";
    default: return "off";
    }
}

std::string SpanRangeText(const TimelineSpan& span) {
    std::string text = (span.startKnown ? "from " : "from before ") + ClockText(span.startMs);
    if (span.open) return text + ", still so (" + LengthText(span.endMs - span.startMs) + " so far)";
    return text + " to " + ClockText(span.endMs) + " (" + LengthText(span.endMs - span.startMs) + ")";
}

// ---- Layout of the lanes ------------------------------------------------------------

const TimelineLane* LaneOf(const Record& r, const Row& row) {
    if (row.group == ROW_ME) return TimelineMeLane(*r.index, r.me, row.source);
    if (row.group == ROW_ONAIR) return TimelineOnAirLane(*r.index, row.source);
    return TimelineLinkLane(*r.index);
}

// Lanes for the span, and where their titles go (returned as rows of
// source -1). The link lane keeps the bottom; the two groups share the rest,
// the outputs getting at least a quarter when both have more than fits.
void LayoutRows(Record& r, std::vector<Row>& titles, int* hiddenMe, int* hiddenOnAir) {
    r.rows.clear();
    titles.clear();
    const int64_t t0 = T0(r), t1 = r.t1;
    const std::vector<int> lit = TimelineSourcesLit(*r.index, r.me, t0, t1);
    const std::vector<int> onAir = TimelineSourcesOnAir(*r.index, t0, t1);
    const int linkTop = r.height - LINK_HEIGHT - 4;
    int y = HEADER_HEIGHT + AXIS_HEIGHT;
    const int room = std::max(0, (linkTop - y - 2 * TITLE_HEIGHT - 8) / LANE_HEIGHT);
    const int nMe = static_cast<int>(lit.size()), nOut = static_cast<int>(onAir.size());
    int outShare = std::min(nOut, std::max(room / 4, room - nMe));
    const int meShare = std::min(nMe, room - outShare);
    outShare = std::min(nOut, room - meShare);
    *hiddenMe = nMe - meShare;
    *hiddenOnAir = nOut - outShare;
    const int groups[2] = {ROW_ME, ROW_ONAIR};
    const std::vector<int>* sources[2] = {&lit, &onAir};
    const int shares[2] = {meShare, outShare};
    for (int g = 0; g < 2; ++g) {
        titles.push_back({groups[g], -1, y, y + TITLE_HEIGHT});
        y += TITLE_HEIGHT;
        for (int i = 0; i < shares[g]; ++i) {
            r.rows.push_back({groups[g], (*sources[g])[static_cast<size_t>(i)], y + 1, y + 1 + BAR_HEIGHT});
            y += LANE_HEIGHT;
        }
        y += 4;
    }
    titles.push_back({ROW_LINK, -1, linkTop, linkTop + TITLE_HEIGHT});
    r.rows.push_back({ROW_LINK, 0, linkTop + TITLE_HEIGHT, r.height - 4});
}

// ---- Drawing into the DIB ------------------------------------------------------------

void Fill(Record& r, int left, int top, int right, int bottom, uint32_t colour) {
    left = std::max(left, 0);
    top = std::max(top, 0);
    right = std::min(right, r.width);
    bottom = std::min(bottom, r.height);
    for (int y = top; y < bottom; ++y) {
        uint32_t* line = r.pixels + static_cast<size_t>(y) * static_cast<size_t>(r.width);
        std::fill(line + left, line + std::max(left, right), colour);
    }
}

// Colour is not needed to tell the levels apart: program has a dark edge
// above and below, look-ahead diagonal stripes, preview is a narrower bar;
// wide runs also get the level's letters.
void Bar(Record& r, int left, int right, int top, int bottom, int level) {
    if (right <= left) return;
    switch (level) {
    case ONAIR_PROGRAM:
        Fill(r, left, top, right, bottom, PGM_FILL);
        Fill(r, left, top, right, top + 2, PGM_EDGE);
        Fill(r, left, bottom - 2, right, bottom, PGM_EDGE);
        break;
    case ONAIR_LOOKAHEAD:
        for (int y = top; y < bottom && y < r.height; ++y) {
            uint32_t* line = r.pixels + static_cast<size_t>(y) * static_cast<size_t>(r.width);
            for (int x = left; x < right && x < r.width; ++x) line[x] = (x + y) % 6 < 2 ? LAP_STRIPE : LAP_FILL;
        }
        break;
    case ONAIR_PREVIEW: Fill(r, left, top + 3, right, bottom - 3, PVW_FILL); break;
    default: break;
    }
    if (level != ONAIR_OFF && right - left >= 34) r.letters.push_back({left, right, top, bottom, level});
}

// An output lane: on air draws as program does, lettered "AIR".
void OnAirBar(Record& r, int left, int right, int top, int bottom) {
    const size_t lettered = r.letters.size();
    Bar(r, left, right, top, bottom, ONAIR_PROGRAM);
    if (r.letters.size() > lettered) r.letters.back().level = -1;
}

// One lane's bars: a run of columns in one class is one bar; a class entered
// and left inside a column (a glitch) is that column's class, so it shows as
// a bar one pixel wide.
void DrawLane(Record& r, const Row& row) {
    const int n = Columns(r);
    Fill(r, r.graph.left, row.top, r.graph.right, row.bottom, LANE_BACK);
    const TimelineLane* lane = LaneOf(r, row);
    if (!lane || n <= 0) return;
    r.cells.resize(static_cast<size_t>(n));
    TimelineCells(*lane, T0(r), r.t1, n, r.cells.data());
    int start = 0;
    int cls = TimelineCellClass(r.cells[0], lane->levels);
    for (int i = 1; i <= n; ++i) {
        const int next = i < n ? TimelineCellClass(r.cells[static_cast<size_t>(i)], lane->levels) : -1;
        if (next == cls) continue;
        if (row.group == ROW_ME) Bar(r, r.graph.left + start, r.graph.left + i, row.top, row.bottom, cls);
        else if (cls) OnAirBar(r, r.graph.left + start, r.graph.left + i, row.top, row.bottom);
        start = i;
        cls = next;
    }
}

// The link: silent spans and time down shaded, the bytes per column as a
// rate graph, a red tick in every column with a framing or line error.
void DrawLink(Record& r, const Row& row) {
    const int n = Columns(r);
    Fill(r, r.graph.left, row.top, r.graph.right, row.bottom, LANE_BACK);
    if (n <= 0) return;
    r.linkCells.resize(static_cast<size_t>(n));
    TimelineLinkCells(*r.index, T0(r), r.t1, n, r.linkCells.data());
    uint32_t most = 1;
    for (const TimelineLinkCell& c : r.linkCells) most = std::max(most, c.bytes);
    const int height = row.bottom - row.top;
    for (int i = 0; i < n; ++i) {
        const TimelineLinkCell& c = r.linkCells[static_cast<size_t>(i)];
        const int x = r.graph.left + i;
        const int state = TimelineCellClass(c.state, true);
        // Before the oldest event held nothing is known: not shaded as down.
        if (Boundary(r, i + 1) <= r.index->firstMs) continue;
        if (state == TIMELINE_LINK_SILENT) Fill(r, x, row.top, x + 1, row.bottom, SILENT_SHADE);
        else if (state == TIMELINE_LINK_DOWN) Fill(r, x, row.top, x + 1, row.bottom, DOWN_SHADE);
        if (c.bytes) {
            const int h = std::max(1, static_cast<int>(static_cast<uint64_t>(c.bytes) * static_cast<uint64_t>(height - 2) / most));
            Fill(r, x, row.bottom - h, x + 1, row.bottom, RATE);
        }
        if (c.framingErrors || c.lineErrors) Fill(r, x, row.top, x + 1, row.bottom, ERROR_TICK);
    }
}

// Tick spacing: the first of these that leaves 90 pixels between labels.
int64_t TickStep(const Record& r) {
    static const int64_t steps[] = {1,      2,      5,       10,      20,      50,       100,      200,     500,
                                    1000,   2000,   5000,    10000,   15000,   30000,    60000,    120000,  300000,
                                    600000, 900000, 1800000, 3600000, 7200000, 10800000, 21600000, 43200000};
    const int n = std::max(1, Columns(r));
    for (int64_t s : steps)
        if (s * n / std::max<int64_t>(1, r.spanMs) >= 90) return s;
    return 43200000;
}

std::string TickText(int64_t ms, int64_t step) {
    const std::string clock = ClockText(ms);  // HH:MM:SS.mmm
    if (step >= 60000) return clock.substr(0, 5);
    if (step >= 1000) return clock.substr(0, 8);
    return clock.substr(3);
}

// Tick times in the span, on whole steps of the local time of day.
std::vector<int64_t> Ticks(const Record& r, int64_t step) {
    std::vector<int64_t> ticks;
    AsRunClock clock;
    const int64_t t0 = T0(r);
    const int64_t ofDay = AsRunMsOfDay(t0, clock);
    for (int64_t t = t0 + (step - ofDay % step) % step; t < r.t1; t += step) ticks.push_back(t);
    return ticks;
}

HFONT MakeFont(int pixelHeight, bool bold) {
    return CreateFontA(-pixelHeight, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, FONT_FACE);
}

void Text(HDC dc, const std::string& text, RECT box, UINT format) {
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &box, format | DT_NOPREFIX | DT_SINGLELINE);
}

bool EnsureBuffer(Record& r, HWND view) {
    RECT client;
    GetClientRect(view, &client);
    if (client.right <= 0 || client.bottom <= 0) return false;
    if (r.bitmap && r.width == client.right && r.height == client.bottom) return true;
    if (r.bitmap) {
        SelectObject(r.memDc, r.oldBitmap);
        DeleteObject(r.bitmap);
        r.bitmap = nullptr;
    }
    if (!r.memDc) r.memDc = CreateCompatibleDC(nullptr);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = client.right;
    info.bmiHeader.biHeight = -client.bottom;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    r.bitmap = CreateDIBSection(r.memDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!r.bitmap) return false;
    r.pixels = static_cast<uint32_t*>(bits);
    r.width = client.right;
    r.height = client.bottom;
    r.oldBitmap = SelectObject(r.memDc, r.bitmap);
    return true;
}

void UpdateToolRect(Record& r) {
    if (!r.tooltip) return;
    TOOLINFOA info = {};
    info.cbSize = TTTOOLINFOA_V2_SIZE;
    info.hwnd = r.view;
    info.uId = 0;
    info.rect = {r.graph.left, HEADER_HEIGHT, r.graph.right, r.graph.bottom};
    SendMessageA(r.tooltip, TTM_NEWTOOLRECTA, 0, reinterpret_cast<LPARAM>(&info));
}

void Render(Record& r) {
    HWND view = r.view;
    if (!view || !EnsureBuffer(r, view)) return;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (SetGraph(r, r.width, r.height)) UpdateToolRect(r);
    if (r.following) FollowNow(r);
    const TimelineIndex& index = *r.index;
    r.letters.clear();
    GdiFlush();  // GDI is done with the bitmap before the pixels are written

    const uint32_t back = Pixel(GetRValue(GetSysColor(COLOR_WINDOW)), GetGValue(GetSysColor(COLOR_WINDOW)),
                                GetBValue(GetSysColor(COLOR_WINDOW)));
    Fill(r, 0, 0, r.width, r.height, back);
    std::vector<Row> titles;
    int hiddenMe = 0, hiddenOnAir = 0;
    LayoutRows(r, titles, &hiddenMe, &hiddenOnAir);
    for (const Row& row : r.rows) {
        if (row.group == ROW_LINK) DrawLink(r, row);
        else DrawLane(r, row);
    }
    const int64_t step = TickStep(r);
    const std::vector<int64_t> ticks = Ticks(r, step);
    const int laneTop = HEADER_HEIGHT + AXIS_HEIGHT;
    for (int64_t t : ticks) {
        const int x = TimelineViewColumnOf(view, t);
        if (x < 0) continue;
        Fill(r, x, HEADER_HEIGHT + AXIS_HEIGHT - 5, x + 1, HEADER_HEIGHT + AXIS_HEIGHT, Pixel(120, 120, 120));
        // Grid lines only between the lanes, never over a bar.
        for (int y = laneTop; y < r.height; ++y) {
            uint32_t& p = r.pixels[static_cast<size_t>(y) * static_cast<size_t>(r.width) + static_cast<size_t>(x)];
            if (p == back) p = GRID;
        }
    }
    // Alarms: a line across every lane and a mark on the axis.
    size_t from = 0, to = 0;
    TimelineMarkersIn(index, T0(r), r.t1, &from, &to);
    for (size_t k = from; k < to; ++k) {
        const int x = TimelineViewColumnOf(view, index.markers[k].timeMs);
        if (x < 0) continue;
        Fill(r, x, laneTop, x + 1, r.height, MARKER);
        Fill(r, x - 3, laneTop - 6, x + 4, laneTop, MARKER);
    }
    if (r.selectedMs >= 0) {
        const int x = TimelineViewColumnOf(view, r.selectedMs);
        if (x >= 0)
            for (int y = laneTop; y < r.height; y += 2) Fill(r, x, y, x + 1, y + 1, CURSOR);
    }
    GdiFlush();

    HDC dc = r.memDc;
    HGDIOBJ oldFont = SelectObject(dc, r.font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    // Header: the span, its ends and whether it follows now.
    const int selectorsRight = 6 + 4 * 54 + 72;
    RECT header = {selectorsRight + 10, 0, r.width - RIGHT_MARGIN, HEADER_HEIGHT};
    std::string title = "Span " + SpanText(r.spanMs) + ": " + ClockText(T0(r)) + " to " + ClockText(r.t1);
    title += r.following ? "   following now" : "   (End follows now)";
    title += "   wheel or +/- zoom, drag or arrows pan";
    Text(dc, title, header, DT_LEFT | DT_VCENTER | DT_END_ELLIPSIS);
    // Axis labels.
    SetTextColor(dc, RGB(90, 90, 90));
    for (int64_t t : ticks) {
        const int x = TimelineViewColumnOf(view, t);
        if (x < 0) continue;
        RECT box = {x - 60, HEADER_HEIGHT, x + 60, HEADER_HEIGHT + AXIS_HEIGHT - 5};
        Text(dc, TickText(t, step), box, DT_CENTER | DT_BOTTOM);
    }
    // Group titles and lane labels.
    SelectObject(dc, r.boldFont);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    for (const Row& t : titles) {
        std::string text;
        if (t.group == ROW_ME) {
            text = "Sources lit, " + MeText(r.me);
            if (hiddenMe) text += " (+" + std::to_string(hiddenMe) + " more: narrow the span or pick one ME)";
        } else if (t.group == ROW_ONAIR) {
            text = "Outputs: sources on air";
            if (hiddenOnAir) text += " (+" + std::to_string(hiddenOnAir) + " more)";
        } else {
            text = "Link: bytes per column, errors in red, silence shaded";
        }
        RECT box = {6, t.top, r.width - RIGHT_MARGIN, t.bottom};
        Text(dc, text, box, DT_LEFT | DT_VCENTER | DT_END_ELLIPSIS);
    }
    SelectObject(dc, r.font);
    for (const Row& row : r.rows) {
        if (row.group == ROW_LINK) continue;
        const std::string name = TimelineShownName(TimelineNameAt(index, row.source, r.t1));
        RECT box = {8, row.top - 1, LABEL_WIDTH - 6, row.bottom + 1};
        Text(dc, std::to_string(row.source) + (name.empty() ? "" : "  " + name), box,
             DT_LEFT | DT_VCENTER | DT_END_ELLIPSIS);
    }
    for (const Letters& l : r.letters) {
        SetTextColor(dc, l.level == ONAIR_LOOKAHEAD ? RGB(0, 0, 0) : RGB(255, 255, 255));
        RECT box = {l.left + 4, l.top, l.right - 2, l.bottom};
        Text(dc, l.level < 0 ? "AIR" : OnAirLevelLetters(static_cast<OnAirLevel>(l.level)), box, DT_LEFT | DT_VCENTER);
    }
    if (index.events == 0) {
        SetTextColor(dc, RGB(90, 90, 90));
        RECT box = {LABEL_WIDTH, HEADER_HEIGHT + AXIS_HEIGHT + TITLE_HEIGHT, r.width - RIGHT_MARGIN,
                    HEADER_HEIGHT + AXIS_HEIGHT + 4 * TITLE_HEIGHT};
        Text(dc, "No events yet: the timeline draws the history as it arrives (Connect, or Open Recording...).",
             box, DT_LEFT | DT_VCENTER | DT_END_ELLIPSIS);
    }
    SelectObject(dc, oldFont);
    GdiFlush();

    r.drawn = true;
    r.drawnEvents = index.events;
    r.drawnFirst = index.firstMs;
    r.drawnMarkers = index.markers.size();
    r.drawnT1 = r.t1;
    r.drawnSpan = r.spanMs;
    r.drawnMe = r.me;
    r.drawnSelected = r.selectedMs;
    ++r.redraws;
    QueryPerformanceCounter(&end);
    r.lastRenderMs = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool Changed(const Record& r) {
    const TimelineIndex& x = *r.index;
    return !r.drawn || r.drawnEvents != x.events || r.drawnFirst != x.firstMs || r.drawnMarkers != x.markers.size() ||
           r.drawnT1 != r.t1 || r.drawnSpan != r.spanMs || r.drawnMe != r.me || r.drawnSelected != r.selectedMs;
}

// Draw again if anything shown changed, and have the window copy it.
void Refresh(Record& r) {
    if (!r.view || !IsWindowVisible(r.view)) return;
    if (r.following) FollowNow(r);
    if (!Changed(r)) return;
    Render(r);
    InvalidateRect(r.view, nullptr, FALSE);
}

// ---- Pointer ---------------------------------------------------------------------------

const Row* RowAt(const Record& r, int y) {
    for (const Row& row : r.rows)
        if (y >= row.top - 1 && y < row.bottom + 2) return &row;
    return nullptr;
}

std::string TipAt(Record& r, int x, int y) {
    const int i = x - r.graph.left;
    if (i < 0 || i >= Columns(r) || !r.index->events) return std::string();
    const int64_t a = Boundary(r, i), b = std::max(a + 1, Boundary(r, i + 1));
    const TimelineIndex& index = *r.index;
    const Row* row = RowAt(r, y);
    std::string text;
    // An alarm within two columns says what it was.
    size_t from = 0, to = 0;
    const int64_t perColumn = std::max<int64_t>(1, r.spanMs / std::max(1, Columns(r)));
    TimelineMarkersIn(index, a - 2 * perColumn, b + 2 * perColumn, &from, &to);
    for (size_t k = from; k < to; ++k)
        text += "Alarm at " + ClockText(index.markers[k].timeMs) + ": " + index.markers[k].text + "\n";
    if (!row) return text.empty() ? std::string() : text.substr(0, text.size() - 1);
    const TimelineLane* lane = LaneOf(r, *row);
    if (row->group == ROW_LINK) {
        const std::vector<TimelineLinkCell>& cells = r.linkCells;
        if (static_cast<size_t>(i) >= cells.size()) return text;
        const TimelineLinkCell& c = cells[static_cast<size_t>(i)];
        const int state = TimelineCellClass(c.state, true);
        text += std::string("Link ") + (state == TIMELINE_LINK_UP ? "up" : state == TIMELINE_LINK_SILENT ? "silent" : "down") +
                ", " + ClockText(a) + " to " + ClockText(b) + ": " + std::to_string(c.bytes) + " bytes, " +
                std::to_string(c.framingErrors) + " framing errors, " + std::to_string(c.lineErrors) + " line errors";
        if (lane) text += "; " + SpanRangeText(TimelineSpanIn(index, *lane, a, b));
        return text;
    }
    if (!lane) return text;
    const TimelineSpan span = TimelineSpanIn(index, *lane, a, b);
    text += SourceText(r, row->source, span.startMs) + ": ";
    if (row->group == ROW_ME) text += std::string(LevelWord(span.value)) + " on " + MeText(r.me);
    else text += span.value ? "on air" : "off air";
    return text + ", " + SpanRangeText(span);
}

// The time a click at x on a row stands for: the start of the span the
// column is drawn in when it starts there (so a glitch one pixel wide picks
// the event that made it), else the column's start.
int64_t ClickTime(const Record& r, int x, int y) {
    const int i = x - r.graph.left;
    const int64_t a = Boundary(r, std::max(0, i)), b = std::max(a + 1, Boundary(r, std::max(0, i) + 1));
    const Row* row = RowAt(r, y);
    const TimelineLane* lane = row ? LaneOf(r, *row) : nullptr;
    if (lane) {
        const TimelineSpan span = TimelineSpanIn(*r.index, *lane, a, b);
        if (span.startKnown && span.startMs >= a && span.startMs < b) return span.startMs;
    }
    return a;
}

void Click(Record& r, int x, int y, bool show) {
    if (x < r.graph.left || x >= r.graph.right || !r.book || !r.index->events) return;
    const int64_t t = ClickTime(r, x, y);
    r.selectedMs = t;
    uint64_t seq = 0;
    if (TimelineHistorySeqAt(*r.book, t, &seq) && r.select) r.select(r.selectContext, seq, show);
    Refresh(r);
}

void UpdateTip(Record& r, int x, int y) {
    const std::string text = TipAt(r, x, y);
    if (text == r.tipText || !r.tooltip) return;
    r.tipText = text;
    TOOLINFOA info = {};
    info.cbSize = TTTOOLINFOA_V2_SIZE;
    info.hwnd = r.view;
    info.uId = 0;
    info.lpszText = const_cast<char*>(r.tipText.empty() ? " " : r.tipText.c_str());
    SendMessageA(r.tooltip, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&info));
    if (r.tipText.empty()) SendMessageA(r.tooltip, TTM_POP, 0, 0);
}

void Zoom(Record& r, int steps, int x) {
    const int n = std::max(1, Columns(r));
    double fraction = 0.5;
    if (x >= r.graph.left && x < r.graph.right) fraction = static_cast<double>(x - r.graph.left) / n;
    const int64_t anchor = T0(r) + static_cast<int64_t>(fraction * static_cast<double>(r.spanMs));
    int64_t span = r.spanMs;
    for (int k = 0; k < steps; ++k) span /= 2;
    for (int k = 0; k > steps; --k) span *= 2;
    SetSpanAround(r, span, anchor, fraction);
    Refresh(r);
}

// ---- Window procedure ------------------------------------------------------------------

void CreateControls(HWND view, Record& r) {
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(view, GWLP_HINSTANCE));
    r.font = MakeFont(13, false);
    r.boldFont = MakeFont(13, true);
    int left = 6;
    for (int i = 0; i < SELECTOR_COUNT; ++i) {
        const int w = i == SELECTOR_COUNT - 1 ? 70 : 52;
        HWND b = CreateWindowExA(0, "BUTTON", SELECTOR_CAPTIONS[i],
                                 WS_CHILD | WS_VISIBLE | BS_AUTORADIOBUTTON | BS_PUSHLIKE | (i == 0 ? WS_GROUP : 0),
                                 left, 5, w, HEADER_HEIGHT - 10, view,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(SELECTOR_IDS[i])), instance, nullptr);
        SendMessageA(b, WM_SETFONT, reinterpret_cast<WPARAM>(r.font), FALSE);
        left += w + 2;
    }
    CheckRadioButton(view, IDC_TIMELINE_ME1, IDC_TIMELINE_ALL, IDC_TIMELINE_ALL);
    r.tooltip = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, view, nullptr, instance,
                                nullptr);
    SendMessageA(r.tooltip, TTM_SETMAXTIPWIDTH, 0, 520);
    SendMessageA(r.tooltip, TTM_SETDELAYTIME, TTDT_AUTOPOP, 20000);
    SendMessageA(r.tooltip, TTM_SETDELAYTIME, TTDT_INITIAL, 200);
    TOOLINFOA info = {};
    info.cbSize = TTTOOLINFOA_V2_SIZE;
    info.uFlags = TTF_SUBCLASS;
    info.hwnd = view;
    info.uId = 0;
    info.lpszText = const_cast<char*>(" ");
    SendMessageA(r.tooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&info));
}

LRESULT CALLBACK ViewProc(HWND view, UINT message, WPARAM wParam, LPARAM lParam) {
    Record* r = ViewRecord(view);
    switch (message) {
    case WM_NCCREATE: {
        Record* record = static_cast<Record*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        SetWindowLongPtrA(view, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(record));
        record->view = view;
        break;
    }
    case WM_CREATE:
        if (r) CreateControls(view, *r);
        return 0;
    case WM_ERASEBKGND:
        return 1;  // the back buffer covers everything
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(view, &ps);
        if (r) {
            if (Changed(*r) || !r->bitmap) Render(*r);
            if (r->bitmap)
                BitBlt(dc, ps.rcPaint.left, ps.rcPaint.top, ps.rcPaint.right - ps.rcPaint.left,
                       ps.rcPaint.bottom - ps.rcPaint.top, r->memDc, ps.rcPaint.left, ps.rcPaint.top, SRCCOPY);
        }
        EndPaint(view, &ps);
        return 0;
    }
    case WM_SIZE:
        if (r) {
            r->drawn = false;  // a new size is a new drawing
            if (SetGraph(*r, LOWORD(lParam), HIWORD(lParam))) UpdateToolRect(*r);
            if (IsWindowVisible(view)) Render(*r);
            InvalidateRect(view, nullptr, FALSE);
        }
        return 0;
    case WM_COMMAND:
        if (r && HIWORD(wParam) == BN_CLICKED)
            for (int i = 0; i < SELECTOR_COUNT; ++i)
                if (LOWORD(wParam) == SELECTOR_IDS[i]) {
                    TimelineViewSelectMe(view, SELECTOR_ME[i]);
                    SetFocus(view);  // keys zoom and pan
                    return 0;
                }
        break;
    case WM_GETDLGCODE:
        return DLGC_WANTARROWS | DLGC_WANTCHARS;
    case WM_KEYDOWN:
        if (!r) break;
        switch (wParam) {
        case VK_ADD:
        case VK_OEM_PLUS: Zoom(*r, 1, -1); return 0;
        case VK_SUBTRACT:
        case VK_OEM_MINUS: Zoom(*r, -1, -1); return 0;
        case VK_LEFT: PanBy(*r, -std::max<int64_t>(1, r->spanMs / 8)); Refresh(*r); return 0;
        case VK_RIGHT: PanBy(*r, std::max<int64_t>(1, r->spanMs / 8)); Refresh(*r); return 0;
        case VK_END:
            r->following = true;
            Refresh(*r);
            return 0;
        case VK_HOME:
            r->following = false;
            r->t1 = r->index->firstMs + r->spanMs;
            PanBy(*r, 0);
            Refresh(*r);
            return 0;
        default: break;
        }
        break;
    case WM_MOUSEWHEEL:
        if (r) {
            POINT p = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            ScreenToClient(view, &p);
            const int notches = GET_WHEEL_DELTA_WPARAM(wParam) / WHEEL_DELTA;
            Zoom(*r, notches, p.x);
            return 0;
        }
        break;
    case WM_LBUTTONDOWN:
        if (r) {
            SetFocus(view);
            SetCapture(view);
            r->dragging = true;
            r->moved = false;
            r->dragX = static_cast<short>(LOWORD(lParam));
            r->dragT1 = r->t1;
        }
        return 0;
    case WM_MOUSEMOVE:
        if (r) {
            const int x = static_cast<short>(LOWORD(lParam)), y = static_cast<short>(HIWORD(lParam));
            if (r->dragging && (r->moved || std::abs(x - r->dragX) > CLICK_SLOP)) {
                r->moved = true;
                const int64_t delta = (r->dragX - x) * r->spanMs / std::max(1, Columns(*r));
                r->t1 = r->dragT1;
                PanBy(*r, delta);
                Refresh(*r);
            }
            UpdateTip(*r, x, y);
        }
        return 0;
    case WM_LBUTTONUP:
        if (r && r->dragging) {
            ReleaseCapture();
            r->dragging = false;
            if (!r->moved) Click(*r, static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)), false);
        }
        return 0;
    case WM_LBUTTONDBLCLK:
        if (r) Click(*r, static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)), true);
        return 0;
    case WM_CAPTURECHANGED:
        if (r) r->dragging = false;
        return 0;
    case WM_NCDESTROY:
        if (r) {
            if (r->bitmap) {
                SelectObject(r->memDc, r->oldBitmap);
                DeleteObject(r->bitmap);
            }
            if (r->memDc) DeleteDC(r->memDc);
            if (r->font) DeleteObject(r->font);
            if (r->boldFont) DeleteObject(r->boldFont);
            r->bitmap = nullptr;
            r->memDc = nullptr;
            r->font = r->boldFont = nullptr;
            r->view = nullptr;
            SetWindowLongPtrA(view, GWLP_USERDATA, 0);
        }
        break;
    }
    return DefWindowProcA(view, message, wParam, lParam);
}

bool RegisterViewClass(HINSTANCE instance) {
    WNDCLASSEXA wc = {};
    if (GetClassInfoExA(instance, VIEW_CLASS, &wc)) return true;
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = ViewProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = nullptr;
    wc.lpszClassName = VIEW_CLASS;
    return RegisterClassExA(&wc) != 0;
}

// ---- As-run files ----------------------------------------------------------------------

std::string AskPath(HWND owner, const char* title, const char* filter, const char* extension, const char* name) {
    char path[MAX_PATH] = {};
    lstrcpynA(path, name, MAX_PATH);
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrTitle = title;
    ofn.lpstrDefExt = extension;
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    return GetSaveFileNameA(&ofn) ? std::string(path) : std::string();
}

void WriteWhole(HWND owner, const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0, error = 0;
    if (file == INVALID_HANDLE_VALUE) error = GetLastError();
    else if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
             written != bytes.size())
        error = GetLastError() ? GetLastError() : ERROR_DISK_FULL;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!error) return;
    char text[MAX_PATH + 96];
    std::snprintf(text, sizeof text, "The as-run log cannot be saved to \"%s\" (error %lu).", path.c_str(),
                  static_cast<unsigned long>(error));
    MessageBoxA(owner, text, "Qorvex V-1.0", MB_ICONWARNING | MB_OK);
}

const char* const FPS_NAMES[] = {"25", "29.97 drop-frame", "30", "50", "59.94 drop-frame"};

INT_PTR CALLBACK EdlDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        const EdlChoice* c = reinterpret_cast<const EdlChoice*>(lParam);
        for (int m = 0; m < ME_RECORDS; ++m)
            SendDlgItemMessageA(dialog, IDC_TIMELINE_EDL_ME, CB_ADDSTRING, 0,
                                reinterpret_cast<LPARAM>(MeText(m).c_str()));
        for (const char* name : FPS_NAMES)
            SendDlgItemMessageA(dialog, IDC_TIMELINE_EDL_FPS, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
        SendDlgItemMessageA(dialog, IDC_TIMELINE_EDL_ME, CB_SETCURSEL, c->me, 0);
        SendDlgItemMessageA(dialog, IDC_TIMELINE_EDL_FPS, CB_SETCURSEL, c->fps, 0);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            EdlChoice* c = reinterpret_cast<EdlChoice*>(GetWindowLongPtrA(dialog, DWLP_USER));
            c->me = static_cast<int>(SendDlgItemMessageA(dialog, IDC_TIMELINE_EDL_ME, CB_GETCURSEL, 0, 0));
            c->fps = static_cast<int>(SendDlgItemMessageA(dialog, IDC_TIMELINE_EDL_FPS, CB_GETCURSEL, 0, 0));
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

void SaveAsRun(HWND parent, Record& r) {
    const std::string path = AskPath(parent, "Save As-Run", "As-run log (*.csv)\0*.csv\0All files\0*.*\0", "csv",
                                     "as-run.csv");
    if (path.empty()) return;
    TimelineFollow(*r.index, *r.book);
    WriteWhole(parent, path, AsRunCsv(*r.index, AsRunClock()));
}

void SaveEdl(HWND parent, Record& r) {
    EdlChoice& choice = r.edl;
    if (r.me != ONAIR_ALL_ME) choice.me = r.me;
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(parent, GWLP_HINSTANCE));
    if (DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_TIMELINE_EDL), parent, EdlDialogProc,
                        reinterpret_cast<LPARAM>(&choice)) != IDOK)
        return;
    const std::string name = "as-run-me" + std::to_string(choice.me + 1) + ".edl";
    const std::string path = AskPath(parent, "Save As-Run EDL", "Edit decision list (*.edl)\0*.edl\0All files\0*.*\0",
                                     "edl", name.c_str());
    if (path.empty()) return;
    TimelineFollow(*r.index, *r.book);
    WriteWhole(parent, path, AsRunEdl(*r.index, choice.me, static_cast<AsRunFps>(choice.fps), AsRunClock()));
}

}  // namespace

// ---- The record and the view -----------------------------------------------------------

HWND TimelineViewFind(HWND parent) { return parent ? GetDlgItem(parent, IDC_TIMELINE_VIEW) : nullptr; }

HWND TimelineViewCreate(HWND parent, const HistoryBook* book, const std::atomic<int32_t>* connected) {
    Record* r = RecordOf(parent);
    if (!r) {
        r = new Record;
        r->index.reset(new TimelineIndex);
        TimelineInit(*r->index);
        SetPropA(parent, PROPERTY, r);
    }
    r->book = book;
    r->connected = connected;
    if (book) TimelineFollow(*r->index, *book);
    if (r->view) return r->view;
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(parent, GWLP_HINSTANCE));
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    if (!RegisterViewClass(instance)) return nullptr;
    SetWindowLongPtrA(parent, GWL_STYLE, GetWindowLongPtrA(parent, GWL_STYLE) | WS_CLIPCHILDREN);
    return CreateWindowExA(0, VIEW_CLASS, "Timeline", WS_CHILD | WS_CLIPCHILDREN | WS_TABSTOP, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_TIMELINE_VIEW)), instance, r);
}

void TimelineViewDestroy(HWND parent) {
    Record* r = static_cast<Record*>(RemovePropA(parent, PROPERTY));
    if (!r) return;
    if (r->view) DestroyWindow(r->view);
    delete r;
}

void TimelineViewSetSelect(HWND parent, TimelineSelectFn select, void* context) {
    if (Record* r = RecordOf(parent)) {
        r->select = select;
        r->selectContext = context;
    }
}

void TimelineViewFollow(HWND parent) {
    Record* r = RecordOf(parent);
    if (r && r->book) TimelineFollow(*r->index, *r->book);
}

void TimelineViewRestart(HWND parent, uint64_t fromSeq) {
    Record* r = RecordOf(parent);
    if (!r) return;
    TimelineInit(*r->index);
    r->index->nextSeq = fromSeq;
    if (r->book) {
        r->index->bookFirstSeq = r->book->firstSeq;
        TimelineFollow(*r->index, *r->book);
    }
    r->following = true;
    r->selectedMs = -1;
    r->drawn = false;
    Refresh(*r);
}

void TimelineViewTick(HWND parent) {
    Record* r = RecordOf(parent);
    if (!r) return;
    if (r->book) TimelineFollow(*r->index, *r->book);
    Refresh(*r);
}

void TimelineViewShow(HWND parent, bool show) {
    Record* r = RecordOf(parent);
    if (!r || !r->view) return;
    CheckMenuItem(GetMenu(parent), IDM_VIEW_TIMELINE, MF_BYCOMMAND | (show ? MF_CHECKED : MF_UNCHECKED));
    if (show) {
        if (r->book) TimelineFollow(*r->index, *r->book);
        r->drawn = false;
        ShowWindow(r->view, SW_SHOW);
        Refresh(*r);
        SetFocus(r->view);
    } else if (IsWindowVisible(r->view)) {
        ShowWindow(r->view, SW_HIDE);
        InvalidateRect(parent, nullptr, TRUE);
    }
}

bool TimelineViewShown(HWND parent) {
    HWND view = TimelineViewFind(parent);
    return view && IsWindowVisible(view);
}

void TimelineViewLayout(HWND parent, const RECT& area) {
    HWND view = TimelineViewFind(parent);
    if (!view) return;
    const LONG height = area.bottom - area.top;
    MoveWindow(view, area.left, area.top, area.right - area.left, height > 0 ? height : 0, TRUE);
}

int TimelineViewCommand(HWND parent, int id) {
    Record* r = RecordOf(parent);
    if (!r) return 0;
    switch (id) {
    case IDM_TIMELINE_SAVE_ASRUN: SaveAsRun(parent, *r); return 1;
    case IDM_TIMELINE_SAVE_EDL: SaveEdl(parent, *r); return 1;
    case IDM_TIMELINE_ZOOM_IN: Zoom(*r, 1, -1); return 1;
    case IDM_TIMELINE_ZOOM_OUT: Zoom(*r, -1, -1); return 1;
    case IDM_TIMELINE_FOLLOW:
        r->following = true;
        Refresh(*r);
        return 1;
    default: return 0;
    }
}

TimelineIndex* TimelineViewIndex(HWND parent) {
    Record* r = RecordOf(parent);
    return r ? r->index.get() : nullptr;
}

void TimelineViewSelectMe(HWND view, int me) {
    Record* r = ViewRecord(view);
    if (!r || me < ONAIR_ALL_ME || me >= ME_RECORDS) return;
    r->me = me;
    for (int i = 0; i < SELECTOR_COUNT; ++i)
        if (SELECTOR_ME[i] == me) CheckRadioButton(view, IDC_TIMELINE_ME1, IDC_TIMELINE_ALL, SELECTOR_IDS[i]);
    Refresh(*r);
}

void TimelineViewSetSpan(HWND view, int64_t t0, int64_t t1) {
    Record* r = ViewRecord(view);
    if (!r || t1 <= t0) return;
    r->following = false;
    r->spanMs = t1 - t0;
    r->t1 = t1;
    Refresh(*r);
}

void TimelineViewGetSpan(HWND view, int64_t* t0, int64_t* t1) {
    Record* r = ViewRecord(view);
    if (!r) return;
    *t0 = T0(*r);
    *t1 = r->t1;
}

bool TimelineViewFollowing(HWND view) {
    Record* r = ViewRecord(view);
    return r && r->following;
}

int TimelineViewColumnOf(HWND view, int64_t t) {
    Record* r = ViewRecord(view);
    if (!r || t < T0(*r) || t >= r->t1 || Columns(*r) <= 0) return -1;
    return r->graph.left + static_cast<int>((t - T0(*r)) * Columns(*r) / r->spanMs);
}

bool TimelineViewLaneRect(HWND view, int group, int source, RECT* rect) {
    Record* r = ViewRecord(view);
    if (!r) return false;
    for (const Row& row : r->rows)
        if (row.group == group && row.source == source) {
            *rect = {r->graph.left, row.top, r->graph.right, row.bottom};
            return true;
        }
    return false;
}

std::string TimelineViewTipAt(HWND view, int x, int y) {
    Record* r = ViewRecord(view);
    return r ? TipAt(*r, x, y) : std::string();
}

double TimelineViewRender(HWND view) {
    Record* r = ViewRecord(view);
    if (!r) return 0;
    Render(*r);
    InvalidateRect(view, nullptr, FALSE);
    return r->lastRenderMs;
}

int TimelineViewRedrawCount(HWND view) {
    Record* r = ViewRecord(view);
    return r ? r->redraws : 0;
}

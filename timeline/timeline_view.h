// The Timeline view: a child of the main window over its client area (above
// the status bar) drawing the tally over time as lanes, the way a logic
// analyser draws signals: one lane per source lit in the span (ME 1-4 or all
// four), the outputs on air, the link's rate, errors and silences, and alarm
// markers. Thin Win32 glue over the portable index (timeline.h); its record
// is held per main window, and it follows the history's book of events.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "timeline/timeline.h"

struct HistoryBook;

// A click on the timeline picks the history's event `seq`; `show` is true
// for a double click (the history is wanted in the client area). The main
// window wires this to the history, which the view does not know.
typedef void (*TimelineSelectFn)(void* context, uint64_t seq, bool show);

// Creates the window's record: an index following `book` from its oldest
// held event, and the view (hidden). `connected` is the link's flag: while
// connected, "now" is the clock; otherwise the newest event's time.
HWND TimelineViewCreate(HWND parent, const HistoryBook* book, const std::atomic<int32_t>* connected);
// Frees the record (before the book goes).
void TimelineViewDestroy(HWND parent);
HWND TimelineViewFind(HWND parent);
void TimelineViewSetSelect(HWND parent, TimelineSelectFn select, void* context);

// Takes in the book's new events; call it where the history drains (cheap
// when there is nothing new).
void TimelineViewFollow(HWND parent);
// Starts the timeline afresh from the book's event `fromSeq` on (a recording
// opened for replay brings its own, older times, which must not be drawn
// after the newer ones held).
void TimelineViewRestart(HWND parent, uint64_t fromSeq);
// The tick: follows, moves the span along while it follows now, and redraws
// when the span or the data changed (only while shown).
void TimelineViewTick(HWND parent);

// Shows or hides the view and checks its "View" menu item; the caller hands
// the client area over.
void TimelineViewShow(HWND parent, bool show);
bool TimelineViewShown(HWND parent);
void TimelineViewLayout(HWND parent, const RECT& area);
// A command of the Timeline menu (Save As-Run..., Save EDL..., zoom,
// follow now); 1 when it was one.
int TimelineViewCommand(HWND parent, int id);

// The index, e.g. for alarm markers (TimelineAddMarker) and tests.
TimelineIndex* TimelineViewIndex(HWND parent);

// ---- For the view's own controls, tests and the benchmark ------------------------
// ME shown: 0..3, or ONAIR_ALL_ME.
void TimelineViewSelectMe(HWND view, int me);
// The span [t0, t1) shown; setting one stops following now unless t1 is now.
void TimelineViewSetSpan(HWND view, int64_t t0, int64_t t1);
void TimelineViewGetSpan(HWND view, int64_t* t0, int64_t* t1);
bool TimelineViewFollowing(HWND view);
// The pixel column (view client x) whose time range holds t; -1 outside.
int TimelineViewColumnOf(HWND view, int64_t t);
// Lane rectangles (view client pixels) of the bars; false when not shown.
// group 0: the ME lanes, 1: the outputs' on-air lanes.
bool TimelineViewLaneRect(HWND view, int group, int source, RECT* rect);
// What the tool tip says at a point ("" where nothing is).
std::string TimelineViewTipAt(HWND view, int x, int y);
// Draws the back buffer now, whatever changed; returns the milliseconds it took.
double TimelineViewRender(HWND view);
// How often the back buffer was drawn.
int TimelineViewRedrawCount(HWND view);

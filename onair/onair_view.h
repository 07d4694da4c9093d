// The On Air view: a child of the main window over its client area (above the
// status bar), one tile per source lit red, amber or green by what the
// switcher tallies, and the outputs on air. Hidden until shown; redrawn from
// the main window's refresh tick when the records it shows have changed.
#pragma once
#include <windows.h>

#include <cstdint>

// Creates the view, hidden and empty, if the parent has none yet; returns it.
// The parent then gives it its place with OnAirViewLayout.
HWND OnAirViewCreate(HWND parent);
// The parent's view, or nullptr before OnAirViewCreate.
HWND OnAirViewFind(HWND parent);
// Shows or hides the view and checks or unchecks its "View" menu item; the
// caller hands the client area over (the history and the terminal screen).
void OnAirViewShow(HWND parent, bool show);
bool OnAirViewShown(HWND parent);
// Parent's WM_SIZE: cover `area` (client pixels, the main window's views'
// share above the status bar).
void OnAirViewLayout(HWND parent, const RECT& area);
// Parent's refresh tick: re-derive and redraw when an ME, output or name
// record differs from what the view last drew. Reads the store only; the
// displays' dirty flags are left alone.
void OnAirViewTick(HWND parent);

// For the view's own controls and for tests.
// ME shown: 0..3, or -1 for all four together.
void OnAirViewSelectMe(HWND view, int me);
int OnAirViewSelectedMe(HWND view);
// The tile of a source in view client coordinates; false when it has none.
bool OnAirViewTileRect(HWND view, int source, RECT* rect);
// While a hub is compared: its lamp per source (an OnAirLevel, or
// ONAIR_HUB_NONE where it said nothing) as a small mark in the tile's
// corner; nullptr takes the marks away. Repaints only on a change.
constexpr uint8_t ONAIR_HUB_NONE = 0xFF;
void OnAirViewSetHub(HWND parent, const uint8_t* levels /* [ONAIR_SOURCE_VALUES] */);

// How often the view re-derived and asked to be repainted.
int OnAirViewRedrawCount(HWND view);

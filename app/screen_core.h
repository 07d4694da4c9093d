// The terminal screen's byte rules, free of any platform header: a 25 x 80
// character buffer with a cursor, fed one byte at a time. What the platform
// must do in response (beep, repaint, move the caret) is reported through
// ScreenEffects.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int SCREEN_ROW_COUNT = 25;
constexpr int SCREEN_COL_COUNT = 80;
constexpr int SCREEN_LAST_ROW = SCREEN_ROW_COUNT - 1;
constexpr int SCREEN_LAST_COL = SCREEN_COL_COUNT - 1;
constexpr char SCREEN_BLANK = 0x20;

class ScreenEffects {
public:
    virtual void Beep() = 0;
    // The cell at (row, column) changed.
    virtual void InvalidateCell(int row, int column) = 0;
    // Every row moved (scroll).
    virtual void InvalidateAll() = 0;
    // The caret goes to the cursor's cell as it is now; ordinary characters
    // move the cursor without moving the caret.
    virtual void PlaceCaret(int row, int column) = 0;

protected:
    ~ScreenEffects() = default;
};

struct ScreenView {
    char* cells;  // SCREEN_ROW_COUNT * SCREEN_COL_COUNT bytes, row-major
    int row;
    int column;
    bool newLine;   // CR also feeds a line
    bool autowrap;  // writing into the last column wraps
};

// Applies the bytes in order to the view. A cursor found outside the screen
// (never produced by these rules) is first brought back onto it, so a damaged
// record cannot make the writer store outside the buffer.
void ScreenApply(ScreenView& view, const char* bytes, size_t length, ScreenEffects& effects);

// Fills every cell with blanks.
void ScreenClear(char* cells);

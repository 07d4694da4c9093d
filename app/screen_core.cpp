#include "app/screen_core.h"

#include <cstring>

namespace {

constexpr char BEL = 7;
constexpr char BS = 8;
constexpr char LF = 10;
constexpr char CR = 13;

int Clamp(int value, int last) {
    if (value < 0) return 0;
    if (value > last) return last;
    return value;
}

void LineFeed(ScreenView& view, ScreenEffects& effects) {
    if (view.row >= SCREEN_LAST_ROW) {
        std::memmove(view.cells, view.cells + SCREEN_COL_COUNT,
                     static_cast<size_t>(SCREEN_LAST_ROW) * SCREEN_COL_COUNT);
        std::memset(view.cells + SCREEN_LAST_ROW * SCREEN_COL_COUNT, SCREEN_BLANK, SCREEN_COL_COUNT);
        effects.InvalidateAll();
        view.row = SCREEN_LAST_ROW;
    } else {
        ++view.row;
    }
    effects.PlaceCaret(view.row, view.column);
}

void CarriageReturn(ScreenView& view, ScreenEffects& effects) {
    view.column = 0;
    effects.PlaceCaret(view.row, view.column);
    if (view.newLine) LineFeed(view, effects);
}

}  // namespace

void ScreenClear(char* cells) {
    std::memset(cells, SCREEN_BLANK, static_cast<size_t>(SCREEN_ROW_COUNT) * SCREEN_COL_COUNT);
}

void ScreenApply(ScreenView& view, const char* bytes, size_t length, ScreenEffects& effects) {
    view.row = Clamp(view.row, SCREEN_LAST_ROW);
    view.column = Clamp(view.column, SCREEN_LAST_COL);
    for (size_t i = 0; i < length; ++i) {
        const char byte = bytes[i];
        switch (byte) {
        case BEL:
            effects.Beep();
            break;
        case BS:
            if (view.column > 0) --view.column;
            effects.PlaceCaret(view.row, view.column);
            break;
        case CR:
            CarriageReturn(view, effects);
            break;
        case LF:
            LineFeed(view, effects);
            break;
        default:
            view.cells[view.row * SCREEN_COL_COUNT + view.column] = byte;
            effects.InvalidateCell(view.row, view.column);
            if (view.column < SCREEN_LAST_COL) {
                ++view.column;
            } else if (view.autowrap) {
                // The wrap is a CR LF written through the same rules.
                CarriageReturn(view, effects);
                LineFeed(view, effects);
            }
            break;
        }
    }
}

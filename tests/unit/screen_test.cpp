// The terminal screen's byte rules: cursor movement, wrapping, scrolling and
// the effects each byte asks of the window.
#include "app/screen_core.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct RecordingEffects final : ScreenEffects {
    int beeps = 0;
    int invalidateAll = 0;
    int caretMoves = 0;
    std::pair<int, int> caret{-1, -1};
    std::vector<std::pair<int, int>> cells;
    void Beep() override { ++beeps; }
    void InvalidateCell(int row, int column) override { cells.emplace_back(row, column); }
    void InvalidateAll() override { ++invalidateAll; }
    void PlaceCaret(int row, int column) override {
        ++caretMoves;
        caret = {row, column};
    }
};

class ScreenTest : public ::testing::Test {
protected:
    char cells[SCREEN_ROW_COUNT * SCREEN_COL_COUNT + 2];  // +2: guard bytes
    ScreenView view{};
    RecordingEffects fx;

    void SetUp() override {
        cells[SCREEN_ROW_COUNT * SCREEN_COL_COUNT] = '#';
        cells[SCREEN_ROW_COUNT * SCREEN_COL_COUNT + 1] = '#';
        ScreenClear(cells);
        view = ScreenView{cells, 0, 0, false, true};
    }
    void TearDown() override {
        EXPECT_EQ(cells[SCREEN_ROW_COUNT * SCREEN_COL_COUNT], '#') << "wrote past the screen";
        EXPECT_EQ(cells[SCREEN_ROW_COUNT * SCREEN_COL_COUNT + 1], '#') << "wrote past the screen";
    }
    void Write(const std::string& bytes) { ScreenApply(view, bytes.data(), bytes.size(), fx); }
    char At(int row, int column) const { return cells[row * SCREEN_COL_COUNT + column]; }
    std::string Row(int row) const { return std::string(cells + row * SCREEN_COL_COUNT, SCREEN_COL_COUNT); }
    void Cursor(int row, int column) {
        view.row = row;
        view.column = column;
    }
};

TEST_F(ScreenTest, ClearFillsWithBlanks) {
    for (int r = 0; r < SCREEN_ROW_COUNT; ++r) EXPECT_EQ(Row(r), std::string(80, ' '));
}

TEST_F(ScreenTest, OrdinaryBytesAreStoredAndInvalidatedCellByCell) {
    Write("AB");
    EXPECT_EQ(At(0, 0), 'A');
    EXPECT_EQ(At(0, 1), 'B');
    EXPECT_EQ(view.column, 2);
    EXPECT_EQ(view.row, 0);
    ASSERT_EQ(fx.cells.size(), 2u);
    EXPECT_EQ(fx.cells[0], std::make_pair(0, 0));
    EXPECT_EQ(fx.cells[1], std::make_pair(0, 1));
    EXPECT_EQ(fx.caretMoves, 0) << "an ordinary character does not move the caret";
    EXPECT_EQ(fx.invalidateAll, 0);
}

TEST_F(ScreenTest, ControlBytesOtherThanBelBsCrLfAreOrdinaryCharacters) {
    const char bytes[] = {0, 9, 11, 12, static_cast<char>(0x80), static_cast<char>(0xFF)};
    ScreenApply(view, bytes, sizeof bytes, fx);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(At(0, i), bytes[i]) << "column " << i;
    EXPECT_EQ(view.column, 6);
    EXPECT_EQ(fx.cells.size(), 6u);
    EXPECT_EQ(fx.beeps, 0);
}

TEST_F(ScreenTest, BelBeepsAndChangesNothingElse) {
    Cursor(3, 7);
    Write("\a\a");
    EXPECT_EQ(fx.beeps, 2);
    EXPECT_EQ(view.row, 3);
    EXPECT_EQ(view.column, 7);
    EXPECT_TRUE(fx.cells.empty());
    EXPECT_EQ(fx.caretMoves, 0);
    for (int r = 0; r < SCREEN_ROW_COUNT; ++r) EXPECT_EQ(Row(r), std::string(80, ' '));
}

TEST_F(ScreenTest, BackspaceMovesLeftWithoutErasingAndStopsAtColumnZero) {
    Write("xy\b");
    EXPECT_EQ(view.column, 1);
    EXPECT_EQ(fx.caret, std::make_pair(0, 1));
    EXPECT_EQ(At(0, 1), 'y') << "backspace erases nothing";
    EXPECT_EQ(fx.caretMoves, 1);
    Write("\b\b\b");
    EXPECT_EQ(view.column, 0);
    EXPECT_EQ(fx.caretMoves, 4) << "the caret is placed even when the cursor cannot move";
}

TEST_F(ScreenTest, CarriageReturnWithoutNewLineKeepsTheRow) {
    Cursor(5, 40);
    Write("\r");
    EXPECT_EQ(view.row, 5);
    EXPECT_EQ(view.column, 0);
    EXPECT_EQ(fx.caretMoves, 1);
}

TEST_F(ScreenTest, CarriageReturnWithNewLineAlsoFeedsALine) {
    view.newLine = true;
    Cursor(5, 40);
    Write("\r");
    EXPECT_EQ(view.row, 6);
    EXPECT_EQ(view.column, 0);
    EXPECT_EQ(fx.caretMoves, 2);
    EXPECT_EQ(fx.caret, std::make_pair(6, 0));
}

TEST_F(ScreenTest, LineFeedAboveTheLastRowOnlyMovesDown) {
    Cursor(0, 12);
    Write("A\n");
    EXPECT_EQ(view.row, 1);
    EXPECT_EQ(view.column, 13) << "LF keeps the column";
    EXPECT_EQ(fx.caret, std::make_pair(1, 13));
    Write("BC");
    EXPECT_EQ(fx.caret, std::make_pair(1, 13)) << "ordinary characters leave the caret";
    EXPECT_EQ(fx.invalidateAll, 0);
    EXPECT_EQ(At(0, 12), 'A');
    EXPECT_EQ(fx.caretMoves, 1);
}

TEST_F(ScreenTest, LineFeedOnTheLastRowScrollsByOneRow) {
    for (int r = 0; r < SCREEN_ROW_COUNT; ++r) {
        Cursor(r, 0);
        Write(std::string(1, static_cast<char>('a' + r)));
    }
    Cursor(SCREEN_LAST_ROW, 5);
    Write("\n");
    EXPECT_EQ(view.row, SCREEN_LAST_ROW);
    EXPECT_EQ(view.column, 5);
    EXPECT_EQ(fx.invalidateAll, 1);
    for (int r = 0; r < SCREEN_LAST_ROW; ++r) EXPECT_EQ(At(r, 0), 'a' + r + 1) << "row " << r;
    EXPECT_EQ(Row(SCREEN_LAST_ROW), std::string(80, ' '));
    Write("\n\n");
    EXPECT_EQ(view.row, SCREEN_LAST_ROW);
    EXPECT_EQ(At(0, 0), 'd');
    EXPECT_EQ(fx.invalidateAll, 3);
}

TEST_F(ScreenTest, EightiethCharacterGoesToColumn79AndAutowrapMovesToTheNextRow) {
    Write(std::string(79, '-') + "Z");
    EXPECT_EQ(At(0, 79), 'Z');
    EXPECT_EQ(view.row, 1);
    EXPECT_EQ(view.column, 0);
    Write("n");
    EXPECT_EQ(At(1, 0), 'n');
}

TEST_F(ScreenTest, WithoutAutowrapTheLastColumnIsOverwritten) {
    view.autowrap = false;
    Write(std::string(80, '-') + "XY");
    EXPECT_EQ(view.row, 0);
    EXPECT_EQ(view.column, 79);
    EXPECT_EQ(At(0, 79), 'Y');
    EXPECT_EQ(At(0, 78), '-');
    EXPECT_EQ(Row(1), std::string(80, ' '));
}

TEST_F(ScreenTest, WrapWithNewLineAdvancesTwoRows) {
    view.newLine = true;
    Cursor(2, 79);
    Write("W");
    EXPECT_EQ(view.row, 4);
    EXPECT_EQ(view.column, 0);
}

TEST_F(ScreenTest, WrapOnTheLastRowScrolls) {
    Cursor(SCREEN_LAST_ROW, 78);
    Write("PQ");
    EXPECT_EQ(view.row, SCREEN_LAST_ROW);
    EXPECT_EQ(view.column, 0);
    EXPECT_EQ(fx.invalidateAll, 1);
    EXPECT_EQ(At(SCREEN_LAST_ROW - 1, 78), 'P');
    EXPECT_EQ(At(SCREEN_LAST_ROW - 1, 79), 'Q');
}

TEST_F(ScreenTest, ZeroLengthWriteChangesNothing) {
    Cursor(4, 4);
    ScreenApply(view, "", 0, fx);
    EXPECT_EQ(view.row, 4);
    EXPECT_EQ(view.column, 4);
    EXPECT_TRUE(fx.cells.empty());
    EXPECT_EQ(fx.caretMoves + fx.beeps + fx.invalidateAll, 0);
}

TEST_F(ScreenTest, ACursorOffTheScreenIsBroughtBackBeforeWriting) {
    Cursor(1000, -5);
    Write("k");
    EXPECT_EQ(At(SCREEN_LAST_ROW, 0), 'k');
    EXPECT_EQ(view.row, SCREEN_LAST_ROW);
    EXPECT_EQ(view.column, 1);
    Cursor(-3, 500);
    view.autowrap = false;
    Write("m");
    EXPECT_EQ(At(0, SCREEN_LAST_COL), 'm');
}

TEST_F(ScreenTest, ALongStreamKeepsTheCursorOnTheScreen) {
    std::string text;
    for (int i = 0; i < 5000; ++i) text += static_cast<char>(i * 7 + 3);
    view.newLine = true;
    Write(text);
    EXPECT_GE(view.row, 0);
    EXPECT_LE(view.row, SCREEN_LAST_ROW);
    EXPECT_GE(view.column, 0);
    EXPECT_LE(view.column, SCREEN_LAST_COL);
}

}  // namespace

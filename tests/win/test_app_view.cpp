// What the operator sees under Wine: the terminal screen painted in the client
// area (View -> Terminal Screen) and the status bar's texts through the link states. Leaves a
// screenshot, app_screen.bmp, next to the test executable.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/session.h"
#include "resources/resource.h"
#include "tally/store.h"
#include "tests/win/app_test_util.h"

namespace {


class ViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = OpenMainWindowForTest();
        ASSERT_NE(window, nullptr);
        s = SessionFromWindow(window);
        ASSERT_NE(s, nullptr);
        bar = GetDlgItem(window, IDC_STATUS_BAR);
        ASSERT_NE(bar, nullptr);
        KillTimer(window, REFRESH_TIMER);  // ticks by hand
    }
    void TearDown() override {
        s->link.connected = 0;
        DestroyWindow(window);
        MSG m;
        while (PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }
    // UTF-8, as the parts are set.
    std::string Part(int part) {
        wchar_t text[128] = {};
        SendMessageW(bar, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(text));
        char out[512] = {};
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
        return out;
    }
    void Tick() { SendMessageA(window, WM_TIMER, REFRESH_TIMER, 0); }
    void Pump() {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    }
    HWND window = nullptr;
    HWND bar = nullptr;
    SessionState* s = nullptr;
};

TEST_F(ViewTest, StatusBarSitsAtTheBottomWithItsParts) {
    RECT client, r;
    GetClientRect(window, &client);
    GetWindowRect(bar, &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.bottom, client.bottom);
    EXPECT_EQ(r.right, client.right);
    EXPECT_EQ(SendMessageA(bar, SB_GETPARTS, 0, 0), STATUS_PARTS);
    // Every part's text fits its part at the default window size.
    int edges[STATUS_PARTS];
    SendMessageA(bar, SB_GETPARTS, STATUS_PARTS, reinterpret_cast<LPARAM>(edges));
    EXPECT_LE(edges[STATUS_PARTS - 2], client.right - 80) << "room left for the last part";
}

TEST_F(ViewTest, StatusBarFollowsTheLinkStates) {
    Tick();
    EXPECT_EQ(Part(0), "COM1 115200 8N1");
    EXPECT_EQ(Part(1), "Disconnected");
    EXPECT_EQ(Part(2), "0 bytes");
    EXPECT_EQ(Part(3), STATUS_NO_RATE) << "nothing has arrived";
    EXPECT_EQ(Part(4).rfind("Framing errors ", 0), 0u);
    EXPECT_EQ(Part(5), "Line errors 0");

    s->link.connected = 1;
    Tick();
    EXPECT_EQ(Part(1), "Connected, no data yet");

    s->link.bytesReceived = 250;
    s->link.lastByteTick = GetTickCount();
    Tick();
    EXPECT_EQ(Part(1), "Receiving");
    EXPECT_EQ(Part(2), "250 bytes");

    s->link.lastByteTick = GetTickCount() - 12500;
    Tick();
    EXPECT_EQ(Part(1), "Silent 12 s");

    s->link.lineErrorCounts[LINE_ERROR_FRAME] = 2;
    s->link.lineErrorCounts[LINE_ERROR_OVERRUN] = 1;
    s->settings.baudRate = 9600;
    s->settings.parity = EVENPARITY;
    s->settings.dataBits = 7;
    s->settings.portNumber = 3;
    Tick();
    EXPECT_EQ(Part(5), "Line errors 3");
    EXPECT_EQ(Part(0), "COM3 9600 7E1");

    s->link.connected = 0;
    Tick();
    EXPECT_EQ(Part(1), "Disconnected");
}

// Writes the client area to a 24-bit BMP.
void SaveBitmap(HDC dc, HBITMAP bitmap, int width, int height, const char* path) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    const int stride = (width * 3 + 3) & ~3;
    std::vector<BYTE> pixels(static_cast<size_t>(stride) * height);
    GetDIBits(dc, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    FILE* f = std::fopen(path, "wb");
    if (!f) return;
    std::fwrite(&file, sizeof file, 1, f);
    std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, f);
    std::fwrite(pixels.data(), 1, pixels.size(), f);
    std::fclose(f);
}

TEST_F(ViewTest, TheScreenIsPaintedCellByCell) {
    SendMessageA(window, WM_COMMAND, IDM_VIEW_SCREEN, 0);  // the history fills the client area by default
    // A port error as the port layer prints it, then a line further down.
    const char error[] = "<CE-0x00000008>";
    ScreenWrite(window, error, static_cast<int>(std::strlen(error)));
    ScreenWrite(window, "\r\n\n\nQORVEX", 10);
    ASSERT_EQ(std::string(s->terminal.cells, 15), error) << "the buffer holds the error text";
    UpdateWindow(window);
    Pump();

    RECT client;
    GetClientRect(window, &client);
    HDC windowDc = GetDC(window);
    HDC memory = CreateCompatibleDC(windowDc);
    HBITMAP bitmap = CreateCompatibleBitmap(windowDc, client.right, client.bottom);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, client.right, client.bottom, windowDc, 0, 0, SRCCOPY);

    const COLORREF background = GetSysColor(COLOR_WINDOW);
    auto inkIn = [&](int row, int firstCol, int lastCol) {
        int ink = 0;
        for (int y = row * s->terminal.charHeight; y < (row + 1) * s->terminal.charHeight; ++y)
            for (int x = firstCol * s->terminal.charWidth; x < (lastCol + 1) * s->terminal.charWidth; ++x)
                if (GetPixel(memory, x, y) != background) ++ink;
        return ink;
    };
    EXPECT_GT(inkIn(0, 0, 14), 20) << "the error text is drawn in row 0";
    EXPECT_EQ(inkIn(0, 15, 40), 0) << "blank cells stay background";
    EXPECT_EQ(inkIn(1, 0, client.right / s->terminal.charWidth - 1), 0) << "a blank row stays background";
    EXPECT_GT(inkIn(3, 0, 5), 10) << "the later line is drawn in row 3";

    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    char* slash = std::strrchr(path, '\\');
    if (slash) std::strcpy(slash + 1, "app_screen.bmp");
    SelectObject(memory, old);
    SaveBitmap(memory, bitmap, client.right, client.bottom, path);
    std::printf("screenshot: %s\n", path);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(window, windowDc);
}

TEST_F(ViewTest, ScrollingRepaintsTheWholeScreen) {
    SendMessageA(window, WM_COMMAND, IDM_VIEW_SCREEN, 0);
    ScreenWrite(window, "top", 3);
    for (int i = 0; i < SCREEN_ROWS; ++i) ScreenWrite(window, "\n", 1);
    UpdateWindow(window);
    HDC dc = GetDC(window);
    const COLORREF background = GetSysColor(COLOR_WINDOW);
    int ink = 0;
    for (int y = 0; y < s->terminal.charHeight * SCREEN_ROWS; y += 1)
        for (int x = 0; x < 3 * s->terminal.charWidth; ++x)
            if (GetPixel(dc, x, y) != background) ++ink;
    ReleaseDC(window, dc);
    EXPECT_EQ(ink, 0) << "the scrolled-out text is gone from the window too";
}

}  // namespace

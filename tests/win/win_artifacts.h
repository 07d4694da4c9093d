// Screenshots kept by the Win32 tests: <build>/artifacts/<name>, written as
// 24-bit BMPs of a window's rectangle on the (virtual) screen.
#pragma once
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

// <build>/artifacts/name, the folder created when missing (the test
// executables live in <build>/bin).
inline std::string ArtifactPath(const std::string& name) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    dir = dir.substr(0, dir.find_last_of("\\/"));  // bin
    dir = dir.substr(0, dir.find_last_of("\\/"));  // build
    dir += "\\artifacts";
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir + "\\" + name;
}

// Copies the window's screen rectangle, frame included, into a 24-bit BMP.
inline bool SaveWindowBitmap(HWND window, const std::string& path) {
    RECT r;
    GetWindowRect(window, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = w;
    info.biHeight = h;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD stride = ((w * 3 + 3) / 4) * 4;
    std::vector<BYTE> pixels(static_cast<size_t>(stride) * h);
    bool ok = GetDIBits(memory, bitmap, 0, h, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS) != 0;
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!ok) return false;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    BITMAPFILEHEADER header = {};
    header.bfType = 0x4D42;
    header.bfOffBits = sizeof header + sizeof info;
    header.bfSize = header.bfOffBits + static_cast<DWORD>(pixels.size());
    ok = std::fwrite(&header, sizeof header, 1, f) == 1 && std::fwrite(&info, sizeof info, 1, f) == 1 &&
         std::fwrite(pixels.data(), pixels.size(), 1, f) == 1;
    std::fclose(f);
    return ok;
}

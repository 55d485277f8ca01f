// The X side of driving the console from outside: finding its windows by title, waiting for
// them, closing them as a window manager would, and looking at their pixels and the clipboard.
// Xlib stays in XWin.cpp, so users of this header do not get its macros.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct _XDisplay;

struct TRect {
    int X = 0, Y = 0, W = 0, H = 0;
};

class TXDisplay {
public:
    // Connects to the display named (empty: $DISPLAY); throws when that fails.
    explicit TXDisplay(const std::string& Name = {});
    ~TXDisplay();
    TXDisplay(const TXDisplay&) = delete;
    TXDisplay& operator=(const TXDisplay&) = delete;

    // Top-level windows that are mapped and carry exactly this title.
    std::vector<unsigned long> FindWindows(const std::string& Title);
    // Top-level windows that are mapped and placed by their program alone (override-redirect):
    // menus, drop-down lists and tooltips.
    std::vector<unsigned long> PopupWindows();
    // The first such window within the timeout, 0 when none came.
    unsigned long WaitForWindow(const std::string& Title, int TimeoutMs);
    // True once the window is no longer mapped (or gone) within the timeout.
    bool WaitGone(unsigned long Window, int TimeoutMs);
    bool Exists(unsigned long Window);
    // The window's outer rectangle in screen coordinates.
    TRect Geometry(unsigned long Window);
    // Asks the window to close, as a window manager's close button does (WM_DELETE_WINDOW).
    void Close(unsigned long Window);
    // The pixels of a rectangle of the window, row by row, as 0xRRGGBB.
    std::vector<uint32_t> Grab(unsigned long Window, TRect R);
    // Gives up every owner of the clipboard, so that the next copy is the only one.
    void ClearClipboard();
    bool ClipboardOwned();

private:
    std::string Title(unsigned long Window);
    _XDisplay* m_d = nullptr;
};

// Pixels darker than the window's face: the text drawn into a rectangle.
int InkPixels(const std::vector<uint32_t>& Pixels);
// The leftmost and rightmost column holding ink in a grab of the given width; -1 when none.
std::pair<int, int> InkColumns(const std::vector<uint32_t>& Pixels, int Width);

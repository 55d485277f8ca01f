#include "XWin.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <chrono>
#include <poll.h>
#include <stdexcept>

namespace {
using Clock = std::chrono::steady_clock;

// Waits for any event of the connection, at most Ms, and drops what came: the callers look
// at the windows again themselves.
void AwaitEvents(Display* D, int Ms) {
    if (!XPending(D)) {
        pollfd p{ConnectionNumber(D), POLLIN, 0};
        ::poll(&p, 1, Ms);
    }
    while (XPending(D)) {
        XEvent e;
        XNextEvent(D, &e);
    }
}

int ErrorsIgnored(Display*, XErrorEvent*) {
    return 0; // a window that vanished between listing and asking is simply skipped
}

bool IsDark(uint32_t P) {
    const int r = (P >> 16) & 255, g = (P >> 8) & 255, b = P & 255;
    return r + g + b < 3 * 110;
}
} // namespace

TXDisplay::TXDisplay(const std::string& Name) {
    m_d = XOpenDisplay(Name.empty() ? nullptr : Name.c_str());
    if (!m_d)
        throw std::runtime_error("cannot open the X display " + Name);
    XSetErrorHandler(ErrorsIgnored);
    // Map and unmap of top-level windows wake WaitForWindow and WaitGone.
    XSelectInput(m_d, DefaultRootWindow(m_d), SubstructureNotifyMask);
}

TXDisplay::~TXDisplay() {
    XCloseDisplay(m_d);
}

std::string TXDisplay::Title(unsigned long W) {
    Atom netName = XInternAtom(m_d, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(m_d, "UTF8_STRING", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(m_d, W, netName, 0, 1024, False, utf8, &type, &format, &count, &after,
                           &data) == Success &&
        data && type == utf8) {
        title.assign(reinterpret_cast<char*>(data), count);
    } else {
        char* name = nullptr;
        if (XFetchName(m_d, W, &name) && name)
            title = name;
        if (name)
            XFree(name);
    }
    if (data)
        XFree(data);
    return title;
}

std::vector<unsigned long> TXDisplay::FindWindows(const std::string& Wanted) {
    std::vector<unsigned long> found;
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(m_d, DefaultRootWindow(m_d), &root, &parent, &children, &count))
        return found;
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes a;
        if (XGetWindowAttributes(m_d, children[i], &a) && a.map_state == IsViewable &&
            !a.override_redirect && Title(children[i]) == Wanted)
            found.push_back(children[i]);
    }
    if (children)
        XFree(children);
    return found;
}

std::vector<unsigned long> TXDisplay::PopupWindows() {
    std::vector<unsigned long> found;
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(m_d, DefaultRootWindow(m_d), &root, &parent, &children, &count))
        return found;
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes a;
        if (XGetWindowAttributes(m_d, children[i], &a) && a.map_state == IsViewable &&
            a.override_redirect)
            found.push_back(children[i]);
    }
    if (children)
        XFree(children);
    return found;
}

unsigned long TXDisplay::WaitForWindow(const std::string& Wanted, int TimeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
        auto found = FindWindows(Wanted);
        if (!found.empty())
            return found.front();
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return 0;
        // Also wakes now and then: a title may be set after the window was mapped.
        AwaitEvents(m_d, static_cast<int>(std::min<long long>(left, 50)));
    }
}

bool TXDisplay::Exists(unsigned long W) {
    XWindowAttributes a;
    return XGetWindowAttributes(m_d, W, &a) && a.map_state == IsViewable;
}

bool TXDisplay::WaitGone(unsigned long W, int TimeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (Exists(W)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        AwaitEvents(m_d, static_cast<int>(std::min<long long>(left, 50)));
    }
    return true;
}

TRect TXDisplay::Geometry(unsigned long W) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(m_d, W, &a))
        return {};
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(m_d, W, DefaultRootWindow(m_d), 0, 0, &x, &y, &child);
    return {x, y, a.width, a.height};
}

void TXDisplay::Close(unsigned long W) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = W;
    e.xclient.message_type = XInternAtom(m_d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(m_d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(m_d, W, False, NoEventMask, &e);
    XFlush(m_d);
}

std::vector<uint32_t> TXDisplay::Grab(unsigned long W, TRect R) {
    std::vector<uint32_t> pixels;
    XImage* image = XGetImage(m_d, W, R.X, R.Y, static_cast<unsigned>(R.W),
                              static_cast<unsigned>(R.H), AllPlanes, ZPixmap);
    if (!image)
        return pixels;
    pixels.reserve(static_cast<size_t>(R.W) * static_cast<size_t>(R.H));
    for (int y = 0; y < R.H; ++y)
        for (int x = 0; x < R.W; ++x)
            pixels.push_back(static_cast<uint32_t>(XGetPixel(image, x, y) & 0xFFFFFF));
    XDestroyImage(image);
    return pixels;
}

void TXDisplay::ClearClipboard() {
    XSetSelectionOwner(m_d, XInternAtom(m_d, "CLIPBOARD", False), None, CurrentTime);
    XSync(m_d, False);
}

bool TXDisplay::ClipboardOwned() {
    return XGetSelectionOwner(m_d, XInternAtom(m_d, "CLIPBOARD", False)) != None;
}

int InkPixels(const std::vector<uint32_t>& Pixels) {
    int n = 0;
    for (uint32_t p : Pixels)
        n += IsDark(p);
    return n;
}

std::pair<int, int> InkColumns(const std::vector<uint32_t>& Pixels, int Width) {
    int left = -1, right = -1;
    for (size_t i = 0; i < Pixels.size(); ++i) {
        if (!IsDark(Pixels[i]))
            continue;
        const int x = static_cast<int>(i % static_cast<size_t>(Width));
        if (left < 0 || x < left)
            left = x;
        right = std::max(right, x);
    }
    return {left, right};
}

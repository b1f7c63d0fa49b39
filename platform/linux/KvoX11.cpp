// The display back end (see KvoX11.h): top-level windows shown as X windows, their surfaces
// presented with XPutImage, the non-client scroll bars drawn and operated with the mouse, and the
// server's events turned into window messages.
//
// The back end keeps, for each top-level window it shows, the X window and the geometry last asked
// for or reported, and reconciles them with the window system at each pump: windows created,
// moved, resized, retitled, shown, hidden or destroyed by the program appear so on the display; a
// change made by the user (a window manager resizing or closing the window) comes back as messages.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/KvoText.h"
#include "platform/linux/KvoGdiInternal.h"
#include "platform/linux/KvoWindowInternal.h"
#include "platform/linux/KvoX11.h"

namespace {

constexpr WPARAM MK_LBUTTON = 0x0001;
constexpr WPARAM MK_RBUTTON = 0x0002;
constexpr WPARAM MK_SHIFT = 0x0004;
constexpr WPARAM MK_CONTROL = 0x0008;
constexpr WPARAM MK_MBUTTON = 0x0010;
constexpr int WHEEL_DELTA = 120;
// A second press counts as a double click within this time and distance of the first.
constexpr Time DOUBLE_CLICK_TIME = 500;
constexpr int DOUBLE_CLICK_DISTANCE = 4;
// The virtual key of a key that types a character but has no code of its own.
constexpr unsigned VK_PACKET = 0xE7;
constexpr unsigned VK_F10 = 0x79;
// Key message lParam bits: the Alt key was down, the key was down before, the key is going up.
constexpr LPARAM KEY_CONTEXT_ALT = 1 << 29;
constexpr LPARAM KEY_PREVIOUS_STATE = 1 << 30;
constexpr LPARAM KEY_TRANSITION = static_cast<LPARAM>(1u << 31);

// Colours of the scroll bars.
constexpr std::uint32_t BAR_TRACK = 0xE8E8E8;
constexpr std::uint32_t BAR_BUTTON = 0xCDCDCD;
constexpr std::uint32_t BAR_THUMB = 0xA6A6A6;
constexpr std::uint32_t BAR_ARROW = 0x505050;

struct DisplayWindow {
    Window id = 0;
    // Geometry of the X window as last asked for or reported (root coordinates).
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    RECT frame{};
    bool mapped = false;
    std::u16string title;
    bool needsPresent = true;
    std::vector<int> barKey; // what the scroll bars showed when last presented
    HWND savedFocus = nullptr;
    XIC inputContext = nullptr; // turns key presses into text; null without an input method
    // Configure events older than the last change asked for are stale.
    unsigned long configureSerial = 0;
};

// A press on a scroll bar, followed until the button is released.
struct BarDrag {
    HWND hwnd = nullptr;
    HWND topLevel = nullptr;
    int bar = 0;
    KvoScrollPart part = KvoScrollPart::Outside;
    RECT rect{};
    int grab = 0; // where on the thumb it was grabbed
    int position = 0;
};

struct Backend {
    std::mutex lock; // Xlib calls and the tables below; taken last
    Display* display = nullptr;
    int screen = 0;
    Window root = 0;
    Visual* visual = nullptr;
    int depth = 0;
    GC gc = nullptr;
    XIM inputMethod = nullptr;
    bool directPixels = false; // the server takes Cairo's pixels as they are
    Atom wmProtocols = 0;
    Atom wmDeleteWindow = 0;
    Atom netWmName = 0;
    Atom utf8String = 0;
    std::unordered_map<HWND, DisplayWindow> windows;
    std::unordered_map<Window, HWND> byId;
    // The pointer: the window that has it while buttons are held, and the last press.
    HWND capture = nullptr;
    unsigned buttonsDown = 0;
    HWND lastClickWindow = nullptr;
    unsigned lastClickButton = 0;
    Time lastClickTime = 0;
    int lastClickX = 0;
    int lastClickY = 0;
    bool dragging = false;
    BarDrag drag;
    bool keysDown[256] = {};
};

std::atomic<int> wakeDescriptor{-1};
// The back end once it is open (null before the first use and without a display).
std::atomic<Backend*> openedBackend{nullptr};

bool headlessRequested()
{
    const char* value = std::getenv("KIVO_HEADLESS");
    return value != nullptr && value[0] != 0 && std::strcmp(value, "0") != 0;
}

Atom atom(Display* display, const char* name)
{
    return XInternAtom(display, name, False);
}

// Opens the connection once; null when there is none to open.
Backend* openBackend()
{
    if (headlessRequested()) {
        return nullptr;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return nullptr;
    }
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        XCloseDisplay(display);
        return nullptr;
    }
    fcntl(ConnectionNumber(display), F_SETFD, FD_CLOEXEC);
    auto* backend = new Backend;
    backend->display = display;
    backend->screen = DefaultScreen(display);
    backend->root = RootWindow(display, backend->screen);
    backend->visual = DefaultVisual(display, backend->screen);
    backend->depth = DefaultDepth(display, backend->screen);
    backend->gc = DefaultGC(display, backend->screen);
    backend->wmProtocols = atom(display, "WM_PROTOCOLS");
    backend->wmDeleteWindow = atom(display, "WM_DELETE_WINDOW");
    backend->netWmName = atom(display, "_NET_WM_NAME");
    backend->utf8String = atom(display, "UTF8_STRING");
    // Cairo's RGB24 pixels are 32-bit words 0x00RRGGBB in the machine's byte order.
    int formats = 0;
    XPixmapFormatValues* list = XListPixmapFormats(display, &formats);
    int bitsPerPixel = 0;
    for (int i = 0; i < formats; ++i) {
        if (list[i].depth == backend->depth) {
            bitsPerPixel = list[i].bits_per_pixel;
        }
    }
    if (list != nullptr) {
        XFree(list);
    }
    const bool littleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    backend->directPixels = (backend->depth == 24 || backend->depth == 32) && bitsPerPixel == 32 &&
                            backend->visual->red_mask == 0xFF0000 && backend->visual->green_mask == 0xFF00 &&
                            backend->visual->blue_mask == 0xFF &&
                            (ImageByteOrder(display) == LSBFirst) == littleEndian;
    // Held keys repeat as presses only, so a repeat is told apart from a new press.
    Bool supported = False;
    XkbSetDetectableAutoRepeat(display, True, &supported);
    // Xlib's own input method maps every key symbol to its text; an input method server would
    // need a pre-edit dialogue the windows do not have.
    XSetLocaleModifiers("@im=none");
    backend->inputMethod = XOpenIM(display, nullptr, nullptr, nullptr);
    wakeDescriptor.store(wake);
    return backend;
}

Backend* backend()
{
    static Backend* const instance = [] {
        Backend* opened = openBackend();
        openedBackend.store(opened);
        return opened;
    }();
    return instance;
}

std::string latin1(const std::u16string& text)
{
    std::string out;
    for (char16_t unit : text) {
        out.push_back(unit < 0x100 ? static_cast<char>(unit) : '?');
    }
    return out;
}

void setTitleLocked(Backend& x, Window id, const std::u16string& text)
{
    const std::string utf8 = kvoToUtf8(text.data(), text.size());
    XChangeProperty(x.display, id, x.netWmName, x.utf8String, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(utf8.data()), static_cast<int>(utf8.size()));
    const std::string plain = latin1(text);
    XChangeProperty(x.display, id, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size()));
}

// The X window's geometry for a top-level window: its rectangle without frame and caption.
void displayGeometry(const KvoTopLevelView& view, int& x, int& y, int& width, int& height)
{
    x = view.x + view.frame.left;
    y = view.y + view.frame.top;
    width = std::clamp(view.width - view.frame.left - view.frame.right, 1, KVO_MAX_SURFACE_SIZE);
    height = std::clamp(view.height - view.frame.top - view.frame.bottom, 1, KVO_MAX_SURFACE_SIZE);
}

void createLocked(Backend& x, const KvoTopLevelView& view, DisplayWindow& shown)
{
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    displayGeometry(view, left, top, width, height);
    XSetWindowAttributes attributes{};
    attributes.background_pixmap = None;
    attributes.bit_gravity = NorthWestGravity;
    attributes.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                            KeyReleaseMask | StructureNotifyMask | FocusChangeMask;
    shown.id = XCreateWindow(x.display, x.root, left, top, static_cast<unsigned>(width),
                             static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                             CWBackPixmap | CWBitGravity | CWEventMask, &attributes);
    shown.x = left;
    shown.y = top;
    shown.width = width;
    shown.height = height;
    XSetWMProtocols(x.display, shown.id, &x.wmDeleteWindow, 1);
    XSizeHints* hints = XAllocSizeHints();
    if (hints != nullptr) {
        hints->flags = USPosition | USSize;
        hints->x = left;
        hints->y = top;
        hints->width = width;
        hints->height = height;
        XSetWMNormalHints(x.display, shown.id, hints);
        XFree(hints);
    }
    XClassHint* classHint = XAllocClassHint();
    if (classHint != nullptr) {
        char name[] = "kivo";
        char className[] = "Kivo";
        classHint->res_name = name;
        classHint->res_class = className;
        XSetClassHint(x.display, shown.id, classHint);
        XFree(classHint);
    }
    setTitleLocked(x, shown.id, view.text);
    shown.title = view.text;
    if (x.inputMethod != nullptr) {
        shown.inputContext = XCreateIC(x.inputMethod, XNInputStyle, XIMPreeditNothing | XIMStatusNothing,
                                       XNClientWindow, shown.id, XNFocusWindow, shown.id, nullptr);
    }
    x.byId[shown.id] = view.hwnd;
}

void destroyLocked(Backend& x, HWND hwnd)
{
    auto found = x.windows.find(hwnd);
    if (found == x.windows.end()) {
        return;
    }
    x.byId.erase(found->second.id);
    if (found->second.inputContext != nullptr) {
        XDestroyIC(found->second.inputContext);
    }
    XDestroyWindow(x.display, found->second.id);
    x.windows.erase(found);
    if (x.capture == hwnd) {
        x.capture = nullptr;
    }
}

// Brings the X windows in line with the top-level windows.
void syncWindows(Backend& x, std::vector<KvoTopLevelView>& views)
{
    kvoTopLevelViews(views);
    std::lock_guard guard(x.lock);
    std::vector<HWND> gone;
    for (const auto& entry : x.windows) {
        const HWND hwnd = entry.first;
        if (std::none_of(views.begin(), views.end(), [hwnd](const KvoTopLevelView& view) { return view.hwnd == hwnd; })) {
            gone.push_back(hwnd);
        }
    }
    for (HWND hwnd : gone) {
        destroyLocked(x, hwnd);
    }
    for (const KvoTopLevelView& view : views) {
        auto found = x.windows.find(view.hwnd);
        if (found == x.windows.end()) {
            if (!view.shown) {
                continue;
            }
            found = x.windows.emplace(view.hwnd, DisplayWindow{}).first;
            createLocked(x, view, found->second);
        }
        DisplayWindow& shown = found->second;
        shown.frame = view.frame;
        int left = 0;
        int top = 0;
        int width = 0;
        int height = 0;
        displayGeometry(view, left, top, width, height);
        if (left != shown.x || top != shown.y || width != shown.width || height != shown.height) {
            shown.configureSerial = NextRequest(x.display);
            XMoveResizeWindow(x.display, shown.id, left, top, static_cast<unsigned>(width),
                              static_cast<unsigned>(height));
            shown.x = left;
            shown.y = top;
            shown.width = width;
            shown.height = height;
            shown.needsPresent = true;
        }
        if (view.text != shown.title) {
            setTitleLocked(x, shown.id, view.text);
            shown.title = view.text;
        }
        if (view.shown != shown.mapped) {
            if (view.shown) {
                XMapRaised(x.display, shown.id);
                shown.needsPresent = true;
            } else {
                XUnmapWindow(x.display, shown.id);
            }
            shown.mapped = view.shown;
        }
    }
}

void fillRect(cairo_t* cairo, std::uint32_t color, double left, double top, double width, double height)
{
    cairo_set_source_rgb(cairo, ((color >> 16) & 0xFF) / 255.0, ((color >> 8) & 0xFF) / 255.0, (color & 0xFF) / 255.0);
    cairo_rectangle(cairo, left, top, width, height);
    cairo_fill(cairo);
}

// An arrow button: a grey square with a dark triangle pointing along direction (0 up/left, 1
// down/right) on a vertical or horizontal bar.
void drawArrow(cairo_t* cairo, const RECT& box, bool vertical, bool forward)
{
    const double width = box.right - box.left;
    const double height = box.bottom - box.top;
    fillRect(cairo, BAR_BUTTON, box.left, box.top, width, height);
    const double cx = box.left + width / 2.0;
    const double cy = box.top + height / 2.0;
    const double size = std::min(width, height) / 4.0;
    const double sign = forward ? 1.0 : -1.0;
    cairo_set_source_rgb(cairo, ((BAR_ARROW >> 16) & 0xFF) / 255.0, ((BAR_ARROW >> 8) & 0xFF) / 255.0,
                         (BAR_ARROW & 0xFF) / 255.0);
    if (vertical) {
        cairo_move_to(cairo, cx - size, cy - sign * size / 2);
        cairo_line_to(cairo, cx + size, cy - sign * size / 2);
        cairo_line_to(cairo, cx, cy + sign * size / 2);
    } else {
        cairo_move_to(cairo, cx - sign * size / 2, cy - size);
        cairo_line_to(cairo, cx - sign * size / 2, cy + size);
        cairo_line_to(cairo, cx + sign * size / 2, cy);
    }
    cairo_close_path(cairo);
    cairo_fill(cairo);
}

KvoScrollLayout layoutOf(const KvoScrollBarView& view)
{
    const bool vertical = view.bar == SB_VERT;
    const int length = vertical ? view.rect.bottom - view.rect.top : view.rect.right - view.rect.left;
    const int thickness = vertical ? view.rect.right - view.rect.left : view.rect.bottom - view.rect.top;
    return kvoScrollLayout(length, thickness, view.minimum, view.maximum, view.page, view.position);
}

void drawScrollBar(cairo_t* cairo, const KvoScrollBarView& view)
{
    cairo_save(cairo);
    cairo_new_path(cairo);
    for (const RECT& rect : view.clip) {
        cairo_rectangle(cairo, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    }
    cairo_clip(cairo);
    const RECT& r = view.rect;
    fillRect(cairo, BAR_TRACK, r.left, r.top, r.right - r.left, r.bottom - r.top);
    const KvoScrollLayout layout = layoutOf(view);
    const bool vertical = view.bar == SB_VERT;
    if (vertical) {
        drawArrow(cairo, RECT{r.left, r.top, r.right, r.top + layout.arrow}, true, false);
        drawArrow(cairo, RECT{r.left, r.bottom - layout.arrow, r.right, r.bottom}, true, true);
        if (layout.thumbLength > 0) {
            fillRect(cairo, BAR_THUMB, r.left + 2, r.top + layout.thumbStart, r.right - r.left - 4, layout.thumbLength);
        }
    } else {
        drawArrow(cairo, RECT{r.left, r.top, r.left + layout.arrow, r.bottom}, false, false);
        drawArrow(cairo, RECT{r.right - layout.arrow, r.top, r.right, r.bottom}, false, true);
        if (layout.thumbLength > 0) {
            fillRect(cairo, BAR_THUMB, r.left + layout.thumbStart, r.top + 2, layout.thumbLength, r.bottom - r.top - 4);
        }
    }
    cairo_restore(cairo);
}

// The corner between two bars of one window.
void drawCorners(cairo_t* cairo, const std::vector<KvoScrollBarView>& bars)
{
    for (std::size_t i = 0; i + 1 < bars.size(); ++i) {
        const KvoScrollBarView& horizontal = bars[i];
        const KvoScrollBarView& vertical = bars[i + 1];
        if (horizontal.hwnd != vertical.hwnd || horizontal.bar != SB_HORZ || vertical.bar != SB_VERT) {
            continue;
        }
        cairo_save(cairo);
        cairo_new_path(cairo);
        for (const RECT& rect : vertical.clip) {
            cairo_rectangle(cairo, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
        }
        cairo_clip(cairo);
        fillRect(cairo, BAR_BUTTON, vertical.rect.left, horizontal.rect.top, vertical.rect.right - vertical.rect.left,
                 horizontal.rect.bottom - horizontal.rect.top);
        cairo_restore(cairo);
    }
}

// Sends part of a surface to the X window (both locks held).
void putPixelsLocked(Backend& x, Window id, cairo_surface_t* image, int sourceX, int sourceY, int width, int height)
{
    cairo_surface_flush(image);
    const int imageWidth = cairo_image_surface_get_width(image);
    const int imageHeight = cairo_image_surface_get_height(image);
    width = std::min(width, imageWidth - sourceX);
    height = std::min(height, imageHeight - sourceY);
    if (width <= 0 || height <= 0) {
        return;
    }
    unsigned char* data = cairo_image_surface_get_data(image);
    const int stride = cairo_image_surface_get_stride(image);
    if (x.directPixels) {
        XImage* ximage = XCreateImage(x.display, x.visual, static_cast<unsigned>(x.depth), ZPixmap, 0,
                                      reinterpret_cast<char*>(data), static_cast<unsigned>(imageWidth),
                                      static_cast<unsigned>(imageHeight), 32, stride);
        if (ximage == nullptr) {
            return;
        }
        XPutImage(x.display, id, x.gc, ximage, sourceX, sourceY, 0, 0, static_cast<unsigned>(width),
                  static_cast<unsigned>(height));
        ximage->data = nullptr; // the pixels belong to Cairo
        XDestroyImage(ximage);
        return;
    }
    // Another pixel layout: each pixel converted through the visual's masks.
    XImage* ximage = XCreateImage(x.display, x.visual, static_cast<unsigned>(x.depth), ZPixmap, 0, nullptr,
                                  static_cast<unsigned>(width), static_cast<unsigned>(height), 32, 0);
    if (ximage == nullptr) {
        return;
    }
    ximage->data = static_cast<char*>(std::calloc(static_cast<std::size_t>(ximage->bytes_per_line), height));
    if (ximage->data == nullptr) {
        XDestroyImage(ximage);
        return;
    }
    auto scale = [](std::uint32_t value, unsigned long mask) -> unsigned long {
        if (mask == 0) {
            return 0;
        }
        int shift = 0;
        while (((mask >> shift) & 1) == 0) {
            ++shift;
        }
        const unsigned long maximum = mask >> shift;
        return ((value * maximum + 127) / 255) << shift;
    };
    for (int row = 0; row < height; ++row) {
        const auto* pixels = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(row + sourceY) * stride);
        for (int column = 0; column < width; ++column) {
            const std::uint32_t pixel = pixels[column + sourceX];
            XPutPixel(ximage, column, row,
                      scale((pixel >> 16) & 0xFF, x.visual->red_mask) | scale((pixel >> 8) & 0xFF, x.visual->green_mask) |
                          scale(pixel & 0xFF, x.visual->blue_mask));
        }
    }
    XPutImage(x.display, id, x.gc, ximage, 0, 0, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XDestroyImage(ximage);
}

std::vector<int> barKeyOf(const std::vector<KvoScrollBarView>& bars)
{
    std::vector<int> key;
    for (const KvoScrollBarView& bar : bars) {
        key.insert(key.end(), {bar.bar, static_cast<int>(bar.rect.left), static_cast<int>(bar.rect.top),
                               static_cast<int>(bar.rect.right), static_cast<int>(bar.rect.bottom), bar.minimum,
                               bar.maximum, static_cast<int>(bar.page), bar.position,
                               static_cast<int>(bar.clip.size())});
    }
    return key;
}

// Shows what changed on the surfaces of the shown windows.
void present(Backend& x, const std::vector<KvoTopLevelView>& views)
{
    std::vector<KvoScrollBarView> bars;
    for (const KvoTopLevelView& view : views) {
        if (!view.shown) {
            continue;
        }
        kvoScrollBarViews(view.hwnd, bars);
        const std::vector<int> key = barKeyOf(bars);
        KvoGdiState& gdi = kvoGdiState();
        std::lock_guard gdiGuard(gdi.lock);
        std::lock_guard guard(x.lock);
        auto found = x.windows.find(view.hwnd);
        if (found == x.windows.end() || !found->second.mapped) {
            continue;
        }
        DisplayWindow& shown = found->second;
        auto existing = gdi.surfaces.find(view.hwnd);
        const bool dirty = existing == gdi.surfaces.end() || existing->second.dirty;
        if (!dirty && !shown.needsPresent && key == shown.barKey) {
            continue;
        }
        KvoGdiSurface* surface = kvoGdiSurfaceLocked(gdi, view.hwnd, view.width, view.height);
        if (surface == nullptr) {
            continue;
        }
        for (const KvoScrollBarView& bar : bars) {
            drawScrollBar(surface->cairo, bar);
        }
        drawCorners(surface->cairo, bars);
        putPixelsLocked(x, shown.id, surface->image, view.frame.left, view.frame.top, shown.width, shown.height);
        surface->dirty = false;
        shown.needsPresent = false;
        shown.barKey = key;
    }
}

// Takes the events the server has sent.
void readEvents(Backend& x, std::vector<XEvent>& events)
{
    std::lock_guard guard(x.lock);
    while (XPending(x.display) > 0) {
        XEvent event;
        XNextEvent(x.display, &event);
        events.push_back(event);
    }
}

// A point in a message parameter: x in the low word, y in the high word, each 16 bits.
LPARAM pointLParam(int x, int y)
{
    return static_cast<LPARAM>((static_cast<DWORD>(x) & 0xFFFFu) | ((static_cast<DWORD>(y) & 0xFFFFu) << 16));
}

WPARAM mouseKeys(unsigned state)
{
    WPARAM keys = 0;
    keys |= (state & Button1Mask) != 0 ? MK_LBUTTON : 0;
    keys |= (state & Button2Mask) != 0 ? MK_MBUTTON : 0;
    keys |= (state & Button3Mask) != 0 ? MK_RBUTTON : 0;
    keys |= (state & ShiftMask) != 0 ? MK_SHIFT : 0;
    keys |= (state & ControlMask) != 0 ? MK_CONTROL : 0;
    return keys;
}

WPARAM buttonKey(unsigned button)
{
    return button == Button1 ? MK_LBUTTON : button == Button2 ? MK_MBUTTON : button == Button3 ? MK_RBUTTON : 0;
}

WPARAM scrollWParam(WORD code, int position)
{
    return static_cast<WPARAM>(code) | (static_cast<WPARAM>(static_cast<WORD>(position)) << 16);
}

UINT scrollMessage(int bar)
{
    return bar == SB_VERT ? WM_VSCROLL : WM_HSCROLL;
}

// The layout of the dragged bar now (its range may have changed while it was held).
bool dragLayout(const BarDrag& drag, KvoScrollLayout& layout)
{
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    if (!GetScrollInfo(drag.hwnd, drag.bar, &info)) {
        return false;
    }
    const bool vertical = drag.bar == SB_VERT;
    const RECT& r = drag.rect;
    layout = kvoScrollLayout(vertical ? r.bottom - r.top : r.right - r.left, vertical ? r.right - r.left : r.bottom - r.top,
                             info.nMin, info.nMax, info.nPage, info.nPos);
    return true;
}

// A left press on a scroll bar: the message for the part pressed; the thumb is followed.
void pressBar(Backend& x, HWND topLevel, const KvoHit& hit, POINT surfacePoint)
{
    BarDrag drag;
    drag.hwnd = hit.hwnd;
    drag.topLevel = topLevel;
    drag.bar = hit.bar;
    drag.rect = hit.barRect;
    KvoScrollLayout layout;
    if (!dragLayout(drag, layout)) {
        return;
    }
    const int offset = hit.bar == SB_VERT ? surfacePoint.y - hit.barRect.top : surfacePoint.x - hit.barRect.left;
    drag.part = kvoScrollHit(layout, offset);
    drag.grab = offset - layout.thumbStart;
    drag.position = GetScrollPos(hit.hwnd, hit.bar);
    {
        std::lock_guard guard(x.lock);
        x.dragging = true;
        x.drag = drag;
    }
    const UINT message = scrollMessage(hit.bar);
    switch (drag.part) {
    case KvoScrollPart::LineUp:
        SendMessageW(hit.hwnd, message, SB_LINEUP, 0);
        break;
    case KvoScrollPart::LineDown:
        SendMessageW(hit.hwnd, message, SB_LINEDOWN, 0);
        break;
    case KvoScrollPart::PageUp:
        SendMessageW(hit.hwnd, message, SB_PAGEUP, 0);
        break;
    case KvoScrollPart::PageDown:
        SendMessageW(hit.hwnd, message, SB_PAGEDOWN, 0);
        break;
    case KvoScrollPart::Thumb:
        kvoSetScrollTrack(hit.hwnd, hit.bar, true, drag.position);
        break;
    case KvoScrollPart::Outside:
        break;
    }
}

// The pointer moved or was released while a scroll bar is held.
void followBar(Backend& x, POINT surfacePoint, bool released)
{
    BarDrag drag;
    {
        std::lock_guard guard(x.lock);
        drag = x.drag;
        if (released) {
            x.dragging = false;
        }
    }
    const UINT message = scrollMessage(drag.bar);
    if (drag.part == KvoScrollPart::Thumb) {
        KvoScrollLayout layout;
        if (dragLayout(drag, layout)) {
            const int offset = drag.bar == SB_VERT ? surfacePoint.y - drag.rect.top : surfacePoint.x - drag.rect.left;
            const int position = kvoScrollPositionAt(layout, offset - drag.grab);
            if (position != drag.position || released) {
                kvoSetScrollTrack(drag.hwnd, drag.bar, true, position);
                SendMessageW(drag.hwnd, message, scrollWParam(released ? SB_THUMBPOSITION : SB_THUMBTRACK, position), 0);
                std::lock_guard guard(x.lock);
                x.drag.position = position;
            }
        }
        if (released) {
            kvoSetScrollTrack(drag.hwnd, drag.bar, false, 0);
        }
    }
    if (released && drag.part != KvoScrollPart::Outside) {
        SendMessageW(drag.hwnd, message, SB_ENDSCROLL, 0);
    }
}

void handlePointer(Backend& x, HWND topLevel, const XEvent& event)
{
    const bool motion = event.type == MotionNotify;
    const int eventX = motion ? event.xmotion.x : event.xbutton.x;
    const int eventY = motion ? event.xmotion.y : event.xbutton.y;
    const unsigned state = motion ? event.xmotion.state : event.xbutton.state;
    POINT surfacePoint{};
    POINT screen{};
    HWND capture = nullptr;
    bool dragging = false;
    {
        std::lock_guard guard(x.lock);
        auto found = x.windows.find(topLevel);
        if (found == x.windows.end()) {
            return;
        }
        surfacePoint = POINT{eventX + found->second.frame.left, eventY + found->second.frame.top};
        screen = POINT{found->second.x + eventX, found->second.y + eventY};
        capture = x.capture;
        dragging = x.dragging;
    }
    if (dragging) {
        if (motion) {
            followBar(x, surfacePoint, false);
        } else if (event.type == ButtonRelease && event.xbutton.button == Button1) {
            followBar(x, surfacePoint, true);
        }
        return;
    }
    const unsigned button = motion ? 0 : event.xbutton.button;
    if (button == 4 || button == 5) {
        if (event.type == ButtonPress) {
            KvoHit hit;
            if (kvoHitTest(topLevel, surfacePoint, hit) && hit.hwnd != nullptr) {
                const int delta = button == 4 ? WHEEL_DELTA : -WHEEL_DELTA;
                const WPARAM wParam = mouseKeys(state) | (static_cast<WPARAM>(static_cast<WORD>(delta)) << 16);
                kvoPostInput(hit.hwnd, WM_MOUSEWHEEL, wParam, pointLParam(screen.x, screen.y), screen, nullptr);
            }
        }
        return;
    }
    if (!motion && button != Button1 && button != Button2 && button != Button3) {
        return;
    }
    KvoHit hit;
    HWND target = capture;
    POINT client{};
    if (target != nullptr) {
        HWND top = nullptr;
        POINT origin{};
        if (!kvoClientOriginOnSurface(target, top, origin) || top != topLevel) {
            std::lock_guard guard(x.lock);
            x.capture = nullptr;
            return;
        }
        client = POINT{surfacePoint.x - origin.x, surfacePoint.y - origin.y};
    } else {
        if (!kvoHitTest(topLevel, surfacePoint, hit) || hit.hwnd == nullptr) {
            return;
        }
        if (hit.bar >= 0) {
            if (event.type == ButtonPress && button == Button1) {
                pressBar(x, topLevel, hit, surfacePoint);
            }
            return;
        }
        target = hit.hwnd;
        client = hit.client;
    }
    WPARAM keys = mouseKeys(state);
    const LPARAM position = pointLParam(client.x, client.y);
    if (motion) {
        kvoPostInput(target, WM_MOUSEMOVE, keys, position, screen, nullptr);
        return;
    }
    if (event.type == ButtonPress) {
        keys |= buttonKey(button);
        bool doubleClick = false;
        {
            std::lock_guard guard(x.lock);
            x.capture = target;
            x.buttonsDown |= 1u << button;
            doubleClick = x.lastClickWindow == target && x.lastClickButton == button &&
                          event.xbutton.time - x.lastClickTime <= DOUBLE_CLICK_TIME &&
                          std::abs(screen.x - x.lastClickX) <= DOUBLE_CLICK_DISTANCE &&
                          std::abs(screen.y - x.lastClickY) <= DOUBLE_CLICK_DISTANCE;
            // A double click ends the sequence: a third press starts a new one.
            x.lastClickWindow = doubleClick ? nullptr : target;
            x.lastClickButton = button;
            x.lastClickTime = event.xbutton.time;
            x.lastClickX = screen.x;
            x.lastClickY = screen.y;
            // Click to focus: the display's window takes the keyboard as it is clicked.
            auto found = x.windows.find(topLevel);
            if (found != x.windows.end()) {
                XSetInputFocus(x.display, found->second.id, RevertToParent, event.xbutton.time);
            }
        }
        doubleClick = doubleClick && kvoWantsDoubleClicks(target);
        UINT message = 0;
        if (button == Button1) {
            message = doubleClick ? WM_LBUTTONDBLCLK : WM_LBUTTONDOWN;
        } else if (button == Button3) {
            message = doubleClick ? WM_RBUTTONDBLCLK : WM_RBUTTONDOWN;
        }
        if (message != 0) {
            kvoPostInput(target, message, keys, position, screen, nullptr);
        }
        return;
    }
    keys &= ~buttonKey(button);
    {
        std::lock_guard guard(x.lock);
        x.buttonsDown &= ~(1u << button);
        if (x.buttonsDown == 0) {
            x.capture = nullptr;
        }
    }
    if (button == Button1) {
        kvoPostInput(target, WM_LBUTTONUP, keys, position, screen, nullptr);
    } else if (button == Button3) {
        kvoPostInput(target, WM_RBUTTONUP, keys, position, screen, nullptr);
    }
}

void handleKey(Backend& x, HWND topLevel, XEvent& event)
{
    const bool press = event.type == KeyPress;
    char bytes[32];
    KeySym keysym = NoSymbol;
    int count = 0;
    unsigned virtualKey = 0;
    bool wasDown = false;
    const unsigned keycode = event.xkey.keycode & 0xFF;
    std::u16string text;
    {
        std::lock_guard guard(x.lock);
        count = XLookupString(&event.xkey, bytes, sizeof bytes, &keysym, nullptr);
        auto found = x.windows.find(topLevel);
        XIC inputContext = found != x.windows.end() ? found->second.inputContext : nullptr;
        if (press) {
            char utf8[64];
            Status status = 0;
            const int length = inputContext != nullptr
                                   ? Xutf8LookupString(inputContext, &event.xkey, utf8, sizeof utf8, nullptr, &status)
                                   : 0;
            if (inputContext != nullptr && (status == XLookupChars || status == XLookupBoth)) {
                kvoX11KeyTextUtf8(keysym, utf8, length, text);
            } else if (inputContext == nullptr || status != XLookupNone) {
                kvoX11KeyText(keysym, bytes, count, text);
            }
        }
        virtualKey = kvoX11VirtualKey(keysym);
        // A shifted symbol without a code of its own ('!') takes the key's plain one ('1').
        for (int level = 0; level < 2 && virtualKey == 0; ++level) {
            virtualKey = kvoX11VirtualKey(XLookupKeysym(&event.xkey, level));
        }
        wasDown = x.keysDown[keycode];
        x.keysDown[keycode] = press;
    }
    if (virtualKey == 0) {
        if (text.empty()) {
            return;
        }
        virtualKey = VK_PACKET;
    }
    const bool alt = (event.xkey.state & Mod1Mask) != 0 || virtualKey == VK_MENU;
    const bool system = alt || virtualKey == VK_F10;
    LPARAM lParam = 1 | (static_cast<LPARAM>(keycode) << 16);
    lParam |= alt ? KEY_CONTEXT_ALT : 0;
    if (!press) {
        lParam |= KEY_PREVIOUS_STATE | KEY_TRANSITION;
    } else if (wasDown) {
        lParam |= KEY_PREVIOUS_STATE;
    }
    const UINT message = press ? (system ? WM_SYSKEYDOWN : WM_KEYDOWN) : (system ? WM_SYSKEYUP : WM_KEYUP);
    const HWND target = kvoKeyTarget(topLevel);
    POINT screen{event.xkey.x_root, event.xkey.y_root};
    kvoPostInput(target, message, virtualKey, lParam, screen, press ? &text : nullptr);
}

bool inFamily(HWND window, HWND topLevel)
{
    for (HWND current = window; current != nullptr; current = GetParent(current)) {
        if (current == topLevel) {
            return true;
        }
    }
    return false;
}

void handleEvent(Backend& x, XEvent& event)
{
    HWND hwnd = nullptr;
    RECT frame{};
    if (event.type == MappingNotify) {
        // The keyboard mapping changed (a layout switch, or a tool binding a spare key): the
        // keys that follow are looked up in the new one.
        std::lock_guard guard(x.lock);
        XRefreshKeyboardMapping(&event.xmapping);
        return;
    }
    {
        std::lock_guard guard(x.lock);
        auto found = x.byId.find(event.xany.window);
        if (found == x.byId.end()) {
            return;
        }
        hwnd = found->second;
        frame = x.windows[hwnd].frame;
    }
    switch (event.type) {
    case Expose: {
        const XExposeEvent& expose = event.xexpose;
        kvoInvalidateSurfaceArea(hwnd, RECT{expose.x + frame.left, expose.y + frame.top,
                                            expose.x + frame.left + expose.width, expose.y + frame.top + expose.height});
        std::lock_guard guard(x.lock);
        x.windows[hwnd].needsPresent = true;
        break;
    }
    case ConfigureNotify: {
        const XConfigureEvent& configure = event.xconfigure;
        int left = 0;
        int top = 0;
        {
            std::lock_guard guard(x.lock);
            DisplayWindow& shown = x.windows[hwnd];
            if (configure.serial < shown.configureSerial) {
                break;
            }
            // The window manager may have put the window into a frame of its own.
            Window child = 0;
            if (configure.send_event) {
                left = configure.x;
                top = configure.y;
            } else if (!XTranslateCoordinates(x.display, shown.id, x.root, 0, 0, &left, &top, &child)) {
                break;
            }
            if (left == shown.x && top == shown.y && configure.width == shown.width && configure.height == shown.height) {
                break;
            }
            shown.x = left;
            shown.y = top;
            shown.width = configure.width;
            shown.height = configure.height;
            shown.needsPresent = true;
        }
        SetWindowPos(hwnd, nullptr, left - frame.left, top - frame.top, configure.width + frame.left + frame.right,
                     configure.height + frame.top + frame.bottom, SWP_NOZORDER);
        break;
    }
    case DestroyNotify: {
        // Another client destroyed the window: the user wants it closed. Should the program keep
        // it, the next pump shows it in a new X window.
        {
            std::lock_guard guard(x.lock);
            auto found = x.windows.find(hwnd);
            if (found == x.windows.end() || found->second.id != event.xdestroywindow.window) {
                break;
            }
            x.byId.erase(found->second.id);
            if (found->second.inputContext != nullptr) {
                XDestroyIC(found->second.inputContext);
            }
            x.windows.erase(found);
            if (x.capture == hwnd) {
                x.capture = nullptr;
            }
        }
        kvoPostInput(hwnd, WM_CLOSE, 0, 0, POINT{}, nullptr);
        break;
    }
    case ClientMessage:
        if (event.xclient.message_type == x.wmProtocols &&
            static_cast<Atom>(event.xclient.data.l[0]) == x.wmDeleteWindow) {
            kvoPostInput(hwnd, WM_CLOSE, 0, 0, POINT{}, nullptr);
        }
        break;
    case FocusIn:
    case FocusOut: {
        const XFocusChangeEvent& change = event.xfocus;
        if ((change.mode != NotifyNormal && change.mode != NotifyWhileGrabbed) || change.detail == NotifyInferior ||
            change.detail == NotifyPointer) {
            break;
        }
        const HWND focus = GetFocus();
        if (event.type == FocusIn) {
            HWND saved = nullptr;
            {
                std::lock_guard guard(x.lock);
                saved = x.windows[hwnd].savedFocus;
            }
            if (focus == nullptr || !inFamily(focus, hwnd)) {
                SetFocus(saved != nullptr && IsWindow(saved) && inFamily(saved, hwnd) ? saved : hwnd);
            }
        } else if (focus != nullptr && inFamily(focus, hwnd)) {
            {
                std::lock_guard guard(x.lock);
                x.windows[hwnd].savedFocus = focus;
            }
            SetFocus(nullptr);
        }
        break;
    }
    case KeyPress:
    case KeyRelease:
        handleKey(x, hwnd, event);
        break;
    case ButtonPress:
    case ButtonRelease:
    case MotionNotify:
        handlePointer(x, hwnd, event);
        break;
    default:
        break;
    }
}

} // namespace

bool kvoDisplayActive()
{
    return backend() != nullptr;
}

BOOL KvoDisplayActive(void)
{
    return kvoDisplayActive() ? TRUE : FALSE;
}

void kvoX11Wake()
{
    const int wake = wakeDescriptor.load();
    if (wake >= 0) {
        const std::uint64_t one = 1;
        // A full counter already wakes the waiter; nothing is lost when the write fails.
        [[maybe_unused]] const ssize_t written = write(wake, &one, sizeof one);
    }
}

void kvoX11WindowDestroyed(HWND hwnd)
{
    Backend* x = openedBackend.load();
    if (x == nullptr) {
        return;
    }
    std::lock_guard guard(x->lock);
    if (x->windows.count(hwnd) != 0) {
        destroyLocked(*x, hwnd);
        XFlush(x->display);
    }
}

bool kvoX11Pump(int timeoutMs)
{
    Backend* x = backend();
    if (x == nullptr) {
        return false;
    }
    std::vector<KvoTopLevelView> views;
    syncWindows(*x, views);
    present(*x, views);
    std::vector<XEvent> events;
    readEvents(*x, events);
    if (events.empty() && timeoutMs != 0) {
        {
            std::lock_guard guard(x->lock);
            XFlush(x->display);
        }
        pollfd waits[2] = {{ConnectionNumber(x->display), POLLIN, 0}, {wakeDescriptor.load(), POLLIN, 0}};
        poll(waits, 2, timeoutMs);
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t drained = read(wakeDescriptor.load(), &count, sizeof count);
        readEvents(*x, events);
    }
    for (XEvent& event : events) {
        handleEvent(*x, event);
    }
    std::lock_guard guard(x->lock);
    XFlush(x->display);
    return true;
}

// The drawing layer's shared state (KvoGdi.cpp) as its drawing calls (KvoGdiDraw.cpp) see it: the
// handle table of contexts, pens, brushes and fonts, the pixel surfaces of top-level windows, and
// the preparation every drawing call goes through. Not exported.
//
// Locking: one lock guards the table, the surfaces and every Cairo object (Cairo objects are not
// thread-safe, so all drawing happens under it). It is never held while the window system is
// called: a drawing call first asks the window system where its window lies, then takes the lock
// and checks its context again, since the context may have been released in between.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/KvoGdi.h"
#include "platform/linux/KvoWindowInternal.h"

// What an entry of the handle table holds.
enum class KvoGdiKind : std::uint8_t { FREE, CONTEXT, PEN, BRUSH, FONT };

struct KvoGdiPen {
    int style = PS_SOLID;
    int width = 1; // at least 1; a width-1 pen draws pixel-exact cosmetic lines
    COLORREF color = 0;
};

struct KvoGdiBrush {
    COLORREF color = 0;
    bool hollow = false; // NULL_BRUSH: fills nothing
};

// A font: its Cairo face (owned) and the metrics measured once when it is created.
struct KvoGdiFont {
    cairo_font_face_t* face = nullptr;
    double size = 13.0; // Cairo's em size in pixels
    double ascent = 0.0;
    int lineHeight = 0; // ascent + descent, rounded up: the height of a line of text
};

struct KvoGdiContext {
    HWND window = nullptr; // null: the screen's context, which draws nowhere
    bool painting = false; // from BeginPaint (else GetDC)
    RECT paintRect{};      // BeginPaint: the update rectangle taken, client coordinates
    // Selected objects, as handle values of live table entries (selection keeps them alive).
    std::uint32_t pen = 0;
    std::uint32_t brush = 0;
    std::uint32_t font = 0;
    COLORREF textColor = RGB(0, 0, 0);
    COLORREF backgroundColor = RGB(255, 255, 255);
    int backgroundMode = OPAQUE;
    POINT position{};
};

struct KvoGdiEntry {
    KvoGdiKind kind = KvoGdiKind::FREE;
    std::uint16_t generation = 1;
    bool permanent = false; // stock objects and system-colour brushes: never freed
    int selections = 0;     // contexts that have this object selected
    KvoGdiPen pen;
    KvoGdiBrush brush;
    KvoGdiFont font;
    KvoGdiContext context;
};

// The pixels of one top-level window, with the Cairo context that draws into them.
struct KvoGdiSurface {
    cairo_surface_t* image = nullptr;
    cairo_t* cairo = nullptr;
    int width = 0;
    int height = 0;
    // Drawn into since the display last showed it.
    bool dirty = true;
};

// Surfaces are never larger than this in either direction; a bigger window keeps its pixels
// beyond it nowhere (drawing there is clipped away).
constexpr int KVO_MAX_SURFACE_SIZE = 4096;
// Longest text a drawing call accepts, in UTF-16 units.
constexpr int KVO_MAX_TEXT_LENGTH = 1 << 20;
// Most points a Polyline call accepts.
constexpr int KVO_MAX_POLYLINE_POINTS = 1 << 16;

struct KvoGdiState {
    std::mutex lock;
    std::vector<KvoGdiEntry> entries;
    // Free entry indexes, reused oldest first so that a generation comes round as late as possible.
    std::deque<std::uint32_t> freeEntries;
    std::unordered_map<HWND, KvoGdiSurface> surfaces;
    // A 1x1 surface for measuring text where no window surface is at hand.
    cairo_surface_t* scratchImage = nullptr;
    cairo_t* scratch = nullptr;
    cairo_font_options_t* textOptions = nullptr;
    std::uint32_t stockObjects[DEFAULT_GUI_FONT + 1] = {};
    std::uint32_t systemBrushes[COLOR_MAX + 1] = {};
};

// The process-wide state, created with its permanent entries on first use and never destroyed.
KvoGdiState& kvoGdiState();

// Table access (the lock held). Null for a value that names no live entry of that kind.
KvoGdiEntry* kvoGdiFindLocked(KvoGdiState& state, const void* handle, KvoGdiKind kind);
KvoGdiEntry& kvoGdiEntryLocked(KvoGdiState& state, std::uint32_t value);
// The brush a FillRect or class-background value stands for: a brush handle or a system-colour
// value. False for anything else.
bool kvoGdiResolveBrushLocked(KvoGdiState& state, const void* handle, KvoGdiBrush& brush);

// The surface of a top-level window at the given size, created or resized as needed (null when
// Cairo cannot allocate it).
KvoGdiSurface* kvoGdiSurfaceLocked(KvoGdiState& state, HWND topLevel, int width, int height);
// Sets Cairo's font and options for drawing or measuring text with font.
void kvoGdiUseFont(KvoGdiState& state, cairo_t* cairo, const KvoGdiFont& font);

// A drawing call in progress: the lock held, the context validated, and, when anything of the
// window is visible, the surface's Cairo context clipped to the visible part and translated to the
// client origin (its state saved; restored when the call ends).
class KvoGdiDrawing {
public:
    KvoGdiDrawing() = default;
    KvoGdiDrawing(const KvoGdiDrawing&) = delete;
    KvoGdiDrawing& operator=(const KvoGdiDrawing&) = delete;
    ~KvoGdiDrawing();

    // Prepares a call on hdc; false for an invalid context (the lock is then not held).
    bool begin(HDC hdc);

    KvoGdiState* state = nullptr;
    KvoGdiContext* context = nullptr;
    // Null when nothing is drawn: the screen's context, a hidden window, an empty clip.
    KvoGdiSurface* surface = nullptr;
    cairo_t* cairo = nullptr;
    int originX = 0;
    int originY = 0;
    // Where drawing lands, in surface coordinates: disjoint, non-empty, inside the surface.
    std::vector<RECT> clip;

private:
    std::unique_lock<std::mutex> m_guard;
};

// Pixel colour conversions between COLORREF and Cairo's 32-bit RGB pixels.
inline std::uint32_t kvoGdiPixel(COLORREF color)
{
    return ((color & 0xFF) << 16) | (color & 0xFF00) | ((color >> 16) & 0xFF);
}
inline COLORREF kvoGdiColorRef(std::uint32_t pixel)
{
    return ((pixel >> 16) & 0xFF) | (pixel & 0xFF00) | ((pixel & 0xFF) << 16);
}
inline void kvoGdiSetSource(cairo_t* cairo, COLORREF color)
{
    cairo_set_source_rgb(cairo, (color & 0xFF) / 255.0, ((color >> 8) & 0xFF) / 255.0,
                         ((color >> 16) & 0xFF) / 255.0);
}

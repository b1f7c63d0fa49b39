// The drawing layer's state (see KvoGdi.h and KvoGdiInternal.h): the handle table with its
// permanent entries, device contexts, drawing objects, system colours, the surfaces of top-level
// windows, the preparation of drawing calls, scrolling pixels and the PNG export.
//
// A handle value is (generation << 16) | index: at least 2^16, so it never collides with the
// system-colour brush values (1 .. COLOR_MAX + 1) and always below 2^30, so it never collides with
// SYS_COLOR_INDEX_FLAG values either. An entry's generation advances each time it is freed, and
// free entries are reused oldest first, so a stale handle names nothing until its entry has been
// reused some 16,000 times.
#include "platform/linux/KvoGdiInternal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/KvoText.h"

namespace {

constexpr std::uint32_t INDEX_BITS = 16;
constexpr std::uint32_t MAX_ENTRIES = 1u << INDEX_BITS;
constexpr std::uint16_t MAX_GENERATION = (1u << (30 - INDEX_BITS)) - 1;

// The system colours (GetSysColor): a light, neutral scheme. Windows are white with black text,
// buttons and menus light grey, the application workspace (the background of the script windows'
// class) a medium grey.
constexpr COLORREF SYSTEM_COLORS[COLOR_MAX + 1] = {
    RGB(200, 200, 200), // COLOR_SCROLLBAR
    RGB(58, 110, 165),  // COLOR_BACKGROUND
    RGB(0, 120, 215),   // COLOR_ACTIVECAPTION
    RGB(191, 205, 219), // COLOR_INACTIVECAPTION
    RGB(240, 240, 240), // COLOR_MENU
    RGB(255, 255, 255), // COLOR_WINDOW
    RGB(100, 100, 100), // COLOR_WINDOWFRAME
    RGB(0, 0, 0),       // COLOR_MENUTEXT
    RGB(0, 0, 0),       // COLOR_WINDOWTEXT
    RGB(255, 255, 255), // COLOR_CAPTIONTEXT
    RGB(180, 180, 180), // COLOR_ACTIVEBORDER
    RGB(244, 247, 252), // COLOR_INACTIVEBORDER
    RGB(171, 171, 171), // COLOR_APPWORKSPACE
    RGB(0, 120, 215),   // COLOR_HIGHLIGHT
    RGB(255, 255, 255), // COLOR_HIGHLIGHTTEXT
    RGB(240, 240, 240), // COLOR_BTNFACE
    RGB(160, 160, 160), // COLOR_BTNSHADOW
    RGB(109, 109, 109), // COLOR_GRAYTEXT
    RGB(0, 0, 0),       // COLOR_BTNTEXT
    RGB(0, 0, 0),       // COLOR_INACTIVECAPTIONTEXT
    RGB(255, 255, 255), // COLOR_BTNHIGHLIGHT
    RGB(105, 105, 105), // 21: dark 3-D shadow
    RGB(227, 227, 227), // 22: 3-D light
    RGB(0, 0, 0),       // 23: tooltip text
    RGB(255, 255, 225), // 24: tooltip background
    RGB(0, 0, 0),       // 25: unused
    RGB(0, 102, 204),   // 26: hot-tracked item
    RGB(185, 209, 234), // 27: active caption gradient
    RGB(215, 228, 242), // 28: inactive caption gradient
    RGB(51, 153, 255),  // 29: highlighted menu item
    RGB(240, 240, 240), // 30: menu bar
};

std::uint32_t handleValue(std::uint32_t index, std::uint16_t generation)
{
    return (static_cast<std::uint32_t>(generation) << INDEX_BITS) | index;
}

void* toHandle(std::uint32_t value)
{
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(value));
}

COLORREF colorOnly(COLORREF color)
{
    return color & 0x00FFFFFF;
}

// Takes a free entry (the lock held); null when the table is full.
KvoGdiEntry* allocateLocked(KvoGdiState& state, KvoGdiKind kind, std::uint32_t& value)
{
    std::uint32_t index = 0;
    if (!state.freeEntries.empty()) {
        index = state.freeEntries.front();
        state.freeEntries.pop_front();
    } else if (state.entries.size() < MAX_ENTRIES) {
        index = static_cast<std::uint32_t>(state.entries.size());
        state.entries.emplace_back();
    } else {
        return nullptr;
    }
    KvoGdiEntry& entry = state.entries[index];
    const std::uint16_t generation = entry.generation;
    entry = KvoGdiEntry{};
    entry.generation = generation;
    entry.kind = kind;
    value = handleValue(index, generation);
    return &entry;
}

// Returns an entry to the free list (the lock held), releasing what it holds.
void freeLocked(KvoGdiState& state, std::uint32_t value)
{
    const std::uint32_t index = value & (MAX_ENTRIES - 1);
    KvoGdiEntry& entry = state.entries[index];
    if (entry.kind == KvoGdiKind::CONTEXT) {
        for (std::uint32_t selected : {entry.context.pen, entry.context.brush, entry.context.font}) {
            kvoGdiEntryLocked(state, selected).selections--;
        }
    }
    if (entry.kind == KvoGdiKind::FONT && entry.font.face != nullptr) {
        cairo_font_face_destroy(entry.font.face);
    }
    const std::uint16_t generation = entry.generation == MAX_GENERATION ? 1 : entry.generation + 1;
    entry = KvoGdiEntry{};
    entry.generation = generation;
    state.freeEntries.push_back(index);
}

std::uint32_t addPermanentLocked(KvoGdiState& state, KvoGdiKind kind)
{
    std::uint32_t value = 0;
    allocateLocked(state, kind, value)->permanent = true;
    return value;
}

std::uint32_t addPenLocked(KvoGdiState& state, int style, COLORREF color)
{
    const std::uint32_t value = addPermanentLocked(state, KvoGdiKind::PEN);
    KvoGdiEntry& entry = kvoGdiEntryLocked(state, value);
    entry.pen.style = style;
    entry.pen.color = color;
    return value;
}

std::uint32_t addBrushLocked(KvoGdiState& state, COLORREF color, bool hollow)
{
    const std::uint32_t value = addPermanentLocked(state, KvoGdiKind::BRUSH);
    KvoGdiEntry& entry = kvoGdiEntryLocked(state, value);
    entry.brush.color = color;
    entry.brush.hollow = hollow;
    return value;
}

std::uint32_t addFontLocked(KvoGdiState& state, double size)
{
    const std::uint32_t value = addPermanentLocked(state, KvoGdiKind::FONT);
    KvoGdiFont& font = kvoGdiEntryLocked(state, value).font;
    font.face = cairo_toy_font_face_create("DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    font.size = size;
    kvoGdiUseFont(state, state.scratch, font);
    cairo_font_extents_t extents;
    cairo_font_extents(state.scratch, &extents);
    font.ascent = std::ceil(extents.ascent);
    font.lineHeight = static_cast<int>(std::ceil(extents.ascent) + std::ceil(extents.descent));
    return value;
}

KvoGdiState* createState()
{
    auto* state = new KvoGdiState;
    state->scratchImage = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    state->scratch = cairo_create(state->scratchImage);
    // Text: grey antialiasing with full hinting and whole-pixel advances, so that measured widths
    // are whole numbers and glyph stems fall on pixels.
    state->textOptions = cairo_font_options_create();
    cairo_font_options_set_antialias(state->textOptions, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(state->textOptions, CAIRO_HINT_STYLE_FULL);
    cairo_font_options_set_hint_metrics(state->textOptions, CAIRO_HINT_METRICS_ON);
    cairo_set_font_options(state->scratch, state->textOptions);

    std::unique_lock guard(state->lock);
    std::uint32_t* stock = state->stockObjects;
    stock[WHITE_BRUSH] = addBrushLocked(*state, RGB(255, 255, 255), false);
    stock[LTGRAY_BRUSH] = addBrushLocked(*state, RGB(192, 192, 192), false);
    stock[GRAY_BRUSH] = addBrushLocked(*state, RGB(128, 128, 128), false);
    stock[DKGRAY_BRUSH] = addBrushLocked(*state, RGB(64, 64, 64), false);
    stock[BLACK_BRUSH] = addBrushLocked(*state, RGB(0, 0, 0), false);
    stock[NULL_BRUSH] = addBrushLocked(*state, 0, true);
    stock[WHITE_PEN] = addPenLocked(*state, PS_SOLID, RGB(255, 255, 255));
    stock[BLACK_PEN] = addPenLocked(*state, PS_SOLID, RGB(0, 0, 0));
    stock[NULL_PEN] = addPenLocked(*state, PS_NULL, 0);
    stock[SYSTEM_FONT] = addFontLocked(*state, 13.0);
    stock[DEFAULT_GUI_FONT] = addFontLocked(*state, 12.0);
    for (int index = 0; index <= COLOR_MAX; ++index) {
        state->systemBrushes[index] = addBrushLocked(*state, SYSTEM_COLORS[index], false);
    }
    return state;
}

void freeSurface(KvoGdiSurface& surface)
{
    cairo_destroy(surface.cairo);
    cairo_surface_destroy(surface.image);
}

// Creates a context for window (null: the screen). Null when the table is full.
HDC newContext(HWND window, bool painting, const RECT& paintRect)
{
    KvoGdiState& state = kvoGdiState();
    std::lock_guard guard(state.lock);
    std::uint32_t value = 0;
    KvoGdiEntry* entry = allocateLocked(state, KvoGdiKind::CONTEXT, value);
    if (entry == nullptr) {
        return nullptr;
    }
    KvoGdiContext& context = entry->context;
    context.window = window;
    context.painting = painting;
    context.paintRect = paintRect;
    context.pen = state.stockObjects[BLACK_PEN];
    context.brush = state.stockObjects[WHITE_BRUSH];
    context.font = state.stockObjects[SYSTEM_FONT];
    for (std::uint32_t selected : {context.pen, context.brush, context.font}) {
        kvoGdiEntryLocked(state, selected).selections++;
    }
    return toHandle(value);
}

// Frees a context of window made by BeginPaint (painting) or GetDC. False when hdc is not one.
bool releaseContext(HWND window, HDC hdc, bool painting)
{
    KvoGdiState& state = kvoGdiState();
    std::lock_guard guard(state.lock);
    KvoGdiEntry* entry = kvoGdiFindLocked(state, hdc, KvoGdiKind::CONTEXT);
    if (entry == nullptr || entry->context.window != window || entry->context.painting != painting) {
        return false;
    }
    freeLocked(state, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hdc)));
    return true;
}

// Intersects a with b into a; false when the result is empty.
bool intersect(RECT& a, const RECT& b)
{
    a.left = std::max(a.left, b.left);
    a.top = std::max(a.top, b.top);
    a.right = std::min(a.right, b.right);
    a.bottom = std::min(a.bottom, b.bottom);
    return a.left < a.right && a.top < a.bottom;
}

cairo_status_t writeToFile(void* closure, const unsigned char* data, unsigned int length)
{
    const int fd = *static_cast<int*>(closure);
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return CAIRO_STATUS_WRITE_ERROR;
        }
        data += written;
        length -= static_cast<unsigned int>(written);
    }
    return CAIRO_STATUS_SUCCESS;
}

// Writes image to path through a temporary file in the same directory that is renamed over path
// only once complete, so that path never holds a partial image. The temporary file is created
// exclusively (a name already taken is skipped) with the ordinary permissions the umask leaves.
bool writePngAtomically(cairo_surface_t* image, const std::string& path)
{
    static std::atomic<unsigned> counter{0};
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }
    int closure = fd;
    bool written = cairo_surface_write_to_png_stream(image, writeToFile, &closure) == CAIRO_STATUS_SUCCESS;
    written = fsync(fd) == 0 && written;
    written = close(fd) == 0 && written;
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace

KvoGdiState& kvoGdiState()
{
    static KvoGdiState* const state = createState();
    return *state;
}

KvoGdiEntry* kvoGdiFindLocked(KvoGdiState& state, const void* handle, KvoGdiKind kind)
{
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value < MAX_ENTRIES || value >= (std::uintptr_t{1} << 30)) {
        return nullptr;
    }
    const std::uint32_t index = static_cast<std::uint32_t>(value) & (MAX_ENTRIES - 1);
    if (index >= state.entries.size()) {
        return nullptr;
    }
    KvoGdiEntry& entry = state.entries[index];
    if (entry.kind != kind || entry.generation != (value >> INDEX_BITS)) {
        return nullptr;
    }
    return &entry;
}

KvoGdiEntry& kvoGdiEntryLocked(KvoGdiState& state, std::uint32_t value)
{
    return state.entries[value & (MAX_ENTRIES - 1)];
}

// Maps a system-colour brush value to its colour index; -1 for any other value.
static int systemColorIndex(const void* handle)
{
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value >= 1 && value <= COLOR_MAX + 1) {
        return static_cast<int>(value - 1);
    }
    if ((value & ~std::uintptr_t{0xFF}) == SYS_COLOR_INDEX_FLAG && (value & 0xFF) <= COLOR_MAX) {
        return static_cast<int>(value & 0xFF);
    }
    return -1;
}

bool kvoGdiResolveBrushLocked(KvoGdiState& state, const void* handle, KvoGdiBrush& brush)
{
    const int colorIndex = systemColorIndex(handle);
    if (colorIndex >= 0) {
        brush = KvoGdiBrush{SYSTEM_COLORS[colorIndex], false};
        return true;
    }
    const KvoGdiEntry* entry = kvoGdiFindLocked(state, handle, KvoGdiKind::BRUSH);
    if (entry == nullptr) {
        return false;
    }
    brush = entry->brush;
    return true;
}

KvoGdiSurface* kvoGdiSurfaceLocked(KvoGdiState& state, HWND topLevel, int width, int height)
{
    width = std::clamp(width, 0, KVO_MAX_SURFACE_SIZE);
    height = std::clamp(height, 0, KVO_MAX_SURFACE_SIZE);
    auto found = state.surfaces.find(topLevel);
    if (found != state.surfaces.end() && found->second.width == width && found->second.height == height) {
        return &found->second;
    }
    KvoGdiSurface fresh;
    fresh.image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    fresh.cairo = cairo_create(fresh.image);
    fresh.width = width;
    fresh.height = height;
    if (cairo_status(fresh.cairo) != CAIRO_STATUS_SUCCESS) {
        freeSurface(fresh);
        return nullptr;
    }
    kvoGdiSetSource(fresh.cairo, SYSTEM_COLORS[COLOR_WINDOW]);
    cairo_paint(fresh.cairo);
    if (found != state.surfaces.end()) {
        // A resized window keeps its pixels where they still fit.
        cairo_set_source_surface(fresh.cairo, found->second.image, 0, 0);
        cairo_paint(fresh.cairo);
        freeSurface(found->second);
        state.surfaces.erase(found);
    }
    cairo_set_antialias(fresh.cairo, CAIRO_ANTIALIAS_NONE);
    cairo_set_font_options(fresh.cairo, state.textOptions);
    return &state.surfaces.emplace(topLevel, fresh).first->second;
}

void kvoGdiUseFont(KvoGdiState&, cairo_t* cairo, const KvoGdiFont& font)
{
    cairo_set_font_face(cairo, font.face);
    cairo_set_font_size(cairo, font.size);
}

KvoGdiDrawing::~KvoGdiDrawing()
{
    if (cairo != nullptr) {
        cairo_restore(cairo);
        surface->dirty = true;
    }
}

bool KvoGdiDrawing::begin(HDC hdc)
{
    KvoGdiState& gdi = kvoGdiState();
    HWND window = nullptr;
    {
        std::lock_guard guard(gdi.lock);
        const KvoGdiEntry* entry = kvoGdiFindLocked(gdi, hdc, KvoGdiKind::CONTEXT);
        if (entry == nullptr) {
            return false;
        }
        window = entry->context.window;
    }
    // Where the window lies now (it may have moved, been resized or hidden since the last call),
    // asked without the lock. The area's rectangle list keeps its capacity between calls.
    thread_local KvoDrawingArea area;
    area.visible.clear();
    area.topLevel = nullptr;
    const bool located = window != nullptr && kvoWindowDrawingArea(window, area);

    m_guard = std::unique_lock(gdi.lock);
    KvoGdiEntry* entry = kvoGdiFindLocked(gdi, hdc, KvoGdiKind::CONTEXT);
    if (entry == nullptr || (window != nullptr && !located)) {
        m_guard.unlock();
        return false;
    }
    state = &gdi;
    context = &entry->context;
    if (window == nullptr || area.topLevel == nullptr) {
        return true;
    }
    originX = area.originX;
    originY = area.originY;
    const RECT bounds{0, 0, std::clamp(area.surfaceWidth, 0, KVO_MAX_SURFACE_SIZE),
                      std::clamp(area.surfaceHeight, 0, KVO_MAX_SURFACE_SIZE)};
    RECT paintBounds = bounds;
    if (context->painting) {
        const RECT& paint = context->paintRect;
        // Update rectangles come from the window system and lie inside the client area, so the
        // sums cannot overflow.
        paintBounds = RECT{paint.left + originX, paint.top + originY, paint.right + originX, paint.bottom + originY};
        if (!intersect(paintBounds, bounds)) {
            return true;
        }
    }
    clip.clear();
    for (RECT visible : area.visible) {
        if (intersect(visible, paintBounds)) {
            clip.push_back(visible);
        }
    }
    if (clip.empty()) {
        return true;
    }
    surface = kvoGdiSurfaceLocked(gdi, area.topLevel, area.surfaceWidth, area.surfaceHeight);
    if (surface == nullptr) {
        clip.clear();
        return true;
    }
    cairo = surface->cairo;
    cairo_save(cairo);
    cairo_new_path(cairo);
    for (const RECT& rect : clip) {
        cairo_rectangle(cairo, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    }
    cairo_clip(cairo);
    cairo_translate(cairo, originX, originY);
    return true;
}

// ---- Contexts -----------------------------------------------------------------------------------

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* paint)
{
    if (paint == nullptr) {
        return nullptr;
    }
    RECT update{};
    bool erase = false;
    if (!kvoTakeUpdateRect(hwnd, update, erase)) {
        return nullptr;
    }
    HDC hdc = newContext(hwnd, true, update);
    if (hdc == nullptr) {
        // No context: the window must still be painted later.
        if (update.left < update.right && update.top < update.bottom) {
            InvalidateRect(hwnd, &update, erase ? TRUE : FALSE);
        }
        return nullptr;
    }
    *paint = PAINTSTRUCT{};
    paint->hdc = hdc;
    paint->rcPaint = update;
    if (erase) {
        paint->fErase = SendMessageW(hwnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0) == 0 ? TRUE : FALSE;
    }
    return hdc;
}

BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* paint)
{
    if (paint == nullptr || hwnd == nullptr) {
        return FALSE;
    }
    return releaseContext(hwnd, paint->hdc, true) ? TRUE : FALSE;
}

HDC GetDC(HWND hwnd)
{
    if (hwnd != nullptr && !IsWindow(hwnd)) {
        return nullptr;
    }
    return newContext(hwnd, false, RECT{});
}

int ReleaseDC(HWND hwnd, HDC hdc)
{
    return releaseContext(hwnd, hdc, false) ? 1 : 0;
}

HWND WindowFromDC(HDC hdc)
{
    KvoGdiState& state = kvoGdiState();
    std::lock_guard guard(state.lock);
    const KvoGdiEntry* entry = kvoGdiFindLocked(state, hdc, KvoGdiKind::CONTEXT);
    return entry == nullptr ? nullptr : entry->context.window;
}

// ---- Objects ------------------------------------------------------------------------------------

HPEN CreatePen(int style, int width, COLORREF color)
{
    // Dash-dot styles draw as dashes; PS_INSIDEFRAME (6) as a solid pen.
    if (style < PS_SOLID || style > 6) {
        return nullptr;
    }
    KvoGdiState& state = kvoGdiState();
    std::lock_guard guard(state.lock);
    std::uint32_t value = 0;
    KvoGdiEntry* entry = allocateLocked(state, KvoGdiKind::PEN, value);
    if (entry == nullptr) {
        return nullptr;
    }
    entry->pen.style = style == 3 || style == 4 ? PS_DASH : (style == 6 ? PS_SOLID : style);
    entry->pen.width = std::clamp(width, 1, KVO_MAX_SURFACE_SIZE);
    entry->pen.color = colorOnly(color);
    return toHandle(value);
}

HBRUSH CreateSolidBrush(COLORREF color)
{
    KvoGdiState& state = kvoGdiState();
    std::lock_guard guard(state.lock);
    std::uint32_t value = 0;
    KvoGdiEntry* entry = allocateLocked(state, KvoGdiKind::BRUSH, value);
    if (entry == nullptr) {
        return nullptr;
    }
    entry->brush.color = colorOnly(color);
    return toHandle(value);
}

HGDIOBJ GetStockObject(int index)
{
    KvoGdiState& state = kvoGdiState();
    if (index < 0 || index > DEFAULT_GUI_FONT) {
        return nullptr;
    }
    const std::uint32_t value = state.stockObjects[index];
    return value == 0 ? nullptr : toHandle(value);
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ object)
{
    KvoGdiState& state = kvoGdiState();
    std::lock_guard guard(state.lock);
    KvoGdiEntry* contextEntry = kvoGdiFindLocked(state, hdc, KvoGdiKind::CONTEXT);
    if (contextEntry == nullptr) {
        return nullptr;
    }
    KvoGdiContext& context = contextEntry->context;
    // A system-colour brush value selects that colour's permanent brush.
    const int colorIndex = systemColorIndex(object);
    if (colorIndex >= 0) {
        object = toHandle(state.systemBrushes[colorIndex]);
    }
    std::uint32_t* slot = nullptr;
    if (kvoGdiFindLocked(state, object, KvoGdiKind::PEN) != nullptr) {
        slot = &context.pen;
    } else if (kvoGdiFindLocked(state, object, KvoGdiKind::BRUSH) != nullptr) {
        slot = &context.brush;
    } else if (kvoGdiFindLocked(state, object, KvoGdiKind::FONT) != nullptr) {
        slot = &context.font;
    } else {
        return nullptr;
    }
    const std::uint32_t previous = *slot;
    *slot = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(object));
    kvoGdiEntryLocked(state, previous).selections--;
    kvoGdiEntryLocked(state, *slot).selections++;
    return toHandle(previous);
}

BOOL DeleteObject(HGDIOBJ object)
{
    if (systemColorIndex(object) >= 0) {
        return TRUE;
    }
    KvoGdiState& state = kvoGdiState();
    std::lock_guard guard(state.lock);
    KvoGdiEntry* entry = nullptr;
    for (KvoGdiKind kind : {KvoGdiKind::PEN, KvoGdiKind::BRUSH, KvoGdiKind::FONT}) {
        if (entry == nullptr) {
            entry = kvoGdiFindLocked(state, object, kind);
        }
    }
    if (entry == nullptr || entry->selections > 0) {
        return entry != nullptr && entry->permanent ? TRUE : FALSE;
    }
    if (!entry->permanent) {
        freeLocked(state, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(object)));
    }
    return TRUE;
}

COLORREF GetSysColor(int index)
{
    return index >= 0 && index <= COLOR_MAX ? SYSTEM_COLORS[index] : 0;
}

HBRUSH GetSysColorBrush(int index)
{
    if (index < 0 || index > COLOR_MAX) {
        return nullptr;
    }
    return toHandle(kvoGdiState().systemBrushes[index]);
}

// ---- Context state ------------------------------------------------------------------------------

COLORREF SetTextColor(HDC hdc, COLORREF color)
{
    KvoGdiState& state = kvoGdiState();
    std::lock_guard guard(state.lock);
    KvoGdiEntry* entry = kvoGdiFindLocked(state, hdc, KvoGdiKind::CONTEXT);
    if (entry == nullptr) {
        return CLR_INVALID;
    }
    return std::exchange(entry->context.textColor, colorOnly(color));
}

COLORREF SetBkColor(HDC hdc, COLORREF color)
{
    KvoGdiState& state = kvoGdiState();
    std::lock_guard guard(state.lock);
    KvoGdiEntry* entry = kvoGdiFindLocked(state, hdc, KvoGdiKind::CONTEXT);
    if (entry == nullptr) {
        return CLR_INVALID;
    }
    return std::exchange(entry->context.backgroundColor, colorOnly(color));
}

int SetBkMode(HDC hdc, int mode)
{
    if (mode != TRANSPARENT && mode != OPAQUE) {
        return 0;
    }
    KvoGdiState& state = kvoGdiState();
    std::lock_guard guard(state.lock);
    KvoGdiEntry* entry = kvoGdiFindLocked(state, hdc, KvoGdiKind::CONTEXT);
    if (entry == nullptr) {
        return 0;
    }
    return std::exchange(entry->context.backgroundMode, mode);
}

// ---- The window system's notifications ----------------------------------------------------------

void kvoGdiWindowDestroyed(HWND hwnd)
{
    if (hwnd == nullptr) {
        return;
    }
    KvoGdiState& state = kvoGdiState();
    std::lock_guard guard(state.lock);
    for (std::uint32_t index = 0; index < state.entries.size(); ++index) {
        const KvoGdiEntry& entry = state.entries[index];
        if (entry.kind == KvoGdiKind::CONTEXT && entry.context.window == hwnd) {
            freeLocked(state, handleValue(index, entry.generation));
        }
    }
    auto found = state.surfaces.find(hwnd);
    if (found != state.surfaces.end()) {
        freeSurface(found->second);
        state.surfaces.erase(found);
    }
}

void kvoGdiReleaseSurface(HWND hwnd)
{
    KvoGdiState& state = kvoGdiState();
    std::lock_guard guard(state.lock);
    auto found = state.surfaces.find(hwnd);
    if (found != state.surfaces.end()) {
        freeSurface(found->second);
        state.surfaces.erase(found);
    }
}

void kvoGdiScrollPixels(HWND hwnd, int dx, int dy, const RECT& area)
{
    KvoDrawingArea drawing;
    if (!kvoWindowDrawingArea(hwnd, drawing) || drawing.topLevel == nullptr || drawing.visible.empty()) {
        return;
    }
    KvoGdiState& state = kvoGdiState();
    std::lock_guard guard(state.lock);
    KvoGdiSurface* surface = kvoGdiSurfaceLocked(state, drawing.topLevel, drawing.surfaceWidth, drawing.surfaceHeight);
    if (surface == nullptr) {
        return;
    }
    // The moving block in surface coordinates, kept inside the surface; a scroll by the block's
    // size or more moves nothing that stays.
    const long long width = surface->width;
    const long long height = surface->height;
    auto bound = [](long long value, long long limit) { return static_cast<LONG>(std::clamp(value, 0LL, limit)); };
    RECT block{bound(static_cast<long long>(area.left) + drawing.originX, width),
               bound(static_cast<long long>(area.top) + drawing.originY, height),
               bound(static_cast<long long>(area.right) + drawing.originX, width),
               bound(static_cast<long long>(area.bottom) + drawing.originY, height)};
    // Pixels come only from the visible part's bounds, never from outside the client area.
    RECT visibleBounds = drawing.visible.front();
    for (const RECT& visible : drawing.visible) {
        visibleBounds.left = std::min(visibleBounds.left, visible.left);
        visibleBounds.top = std::min(visibleBounds.top, visible.top);
        visibleBounds.right = std::max(visibleBounds.right, visible.right);
        visibleBounds.bottom = std::max(visibleBounds.bottom, visible.bottom);
    }
    if (!intersect(block, visibleBounds) || std::llabs(dx) >= block.right - block.left ||
        std::llabs(dy) >= block.bottom - block.top) {
        return;
    }
    RECT target{block.left + dx, block.top + dy, block.right + dx, block.bottom + dy};
    if (!intersect(target, block)) {
        return;
    }
    cairo_surface_flush(surface->image);
    unsigned char* data = cairo_image_surface_get_data(surface->image);
    const int stride = cairo_image_surface_get_stride(surface->image);
    const int rowBytes = (target.right - target.left) * 4;
    // Copy the source block out first: source and target overlap.
    std::vector<unsigned char> moved(static_cast<std::size_t>(rowBytes) * (target.bottom - target.top));
    for (LONG y = target.top; y < target.bottom; ++y) {
        const unsigned char* source = data + static_cast<std::ptrdiff_t>(y - dy) * stride + (target.left - dx) * 4;
        std::copy(source, source + rowBytes, moved.begin() + static_cast<std::ptrdiff_t>(y - target.top) * rowBytes);
    }
    for (RECT visible : drawing.visible) {
        if (!intersect(visible, target)) {
            continue;
        }
        for (LONG y = visible.top; y < visible.bottom; ++y) {
            const unsigned char* row = moved.data() + static_cast<std::ptrdiff_t>(y - target.top) * rowBytes;
            std::copy(row + (visible.left - target.left) * 4, row + (visible.right - target.left) * 4,
                      data + static_cast<std::ptrdiff_t>(y) * stride + visible.left * 4);
        }
    }
    cairo_surface_mark_dirty(surface->image);
    surface->dirty = true;
}

// ---- Image export -------------------------------------------------------------------------------

BOOL KvoSaveWindowImageW(HWND hwnd, const KvoChar* path)
{
    if (path == nullptr) {
        return FALSE;
    }
    return KvoSaveWindowImageA(hwnd, kvoToUtf8(path).c_str());
}

BOOL KvoSaveWindowImageA(HWND hwnd, const char* path)
{
    KvoDrawingArea drawing;
    RECT windowRect{};
    RECT topRect{};
    if (path == nullptr || path[0] == 0 || !kvoWindowDrawingArea(hwnd, drawing) || drawing.topLevel == nullptr ||
        !GetWindowRect(hwnd, &windowRect) || !GetWindowRect(drawing.topLevel, &topRect)) {
        return FALSE;
    }
    cairo_surface_t* copy = nullptr;
    {
        KvoGdiState& state = kvoGdiState();
        std::lock_guard guard(state.lock);
        KvoGdiSurface* surface =
            kvoGdiSurfaceLocked(state, drawing.topLevel, drawing.surfaceWidth, drawing.surfaceHeight);
        if (surface == nullptr) {
            return FALSE;
        }
        // The part of the top-level image the window covers (all of it for the top-level window).
        RECT part{windowRect.left - topRect.left, windowRect.top - topRect.top, windowRect.right - topRect.left,
                  windowRect.bottom - topRect.top};
        if (!intersect(part, RECT{0, 0, surface->width, surface->height})) {
            part = RECT{0, 0, 0, 0};
        }
        copy = cairo_image_surface_create(CAIRO_FORMAT_RGB24, part.right - part.left, part.bottom - part.top);
        cairo_t* cairo = cairo_create(copy);
        cairo_set_source_surface(cairo, surface->image, -part.left, -part.top);
        cairo_set_operator(cairo, CAIRO_OPERATOR_SOURCE);
        cairo_paint(cairo);
        cairo_destroy(cairo);
    }
    const bool saved = cairo_surface_status(copy) == CAIRO_STATUS_SUCCESS && writePngAtomically(copy, path);
    cairo_surface_destroy(copy);
    return saved ? TRUE : FALSE;
}

// The drawing calls (see KvoGdi.h). Each prepares a KvoGdiDrawing (which validates the context and
// clips the surface's Cairo context to the visible part of the window), draws with Cairo or, for
// single pixels and one-pixel lines, writes the pixels itself, and leaves the context's state as
// it found it.
//
// Pixel rules, as on the desktop: shapes are drawn without antialiasing; a rectangle or ellipse
// covers its left and top edges but not its right and bottom ones, with the outline drawn inside;
// a one-pixel line covers its first point but not its last, with the pixels that Bresenham's
// algorithm chooses. Text is antialiased. Coordinates are limited to -32768 .. 32767 (larger
// values are clamped), which keeps every computation in range and every line loop short.
#include "platform/linux/KvoGdiInternal.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/KvoText.h"

namespace {

constexpr int MIN_COORDINATE = -32768;
constexpr int MAX_COORDINATE = 32767;

int clampCoordinate(long long value)
{
    return static_cast<int>(std::clamp<long long>(value, MIN_COORDINATE, MAX_COORDINATE));
}

// A rectangle from the four coordinates of Rectangle and Ellipse, with left <= right, top <= bottom.
RECT normalized(int left, int top, int right, int bottom)
{
    left = clampCoordinate(left);
    top = clampCoordinate(top);
    right = clampCoordinate(right);
    bottom = clampCoordinate(bottom);
    return RECT{std::min(left, right), std::min(top, bottom), std::max(left, right), std::max(top, bottom)};
}

// The on/off run lengths of the cosmetic pen styles, in pixels.
struct DashPattern {
    const double* runs;
    int count;
};
constexpr double DASH_RUNS[] = {18, 6};
constexpr double DOT_RUNS[] = {3, 3};

DashPattern dashPattern(int style)
{
    if (style == PS_DASH) {
        return DashPattern{DASH_RUNS, 2};
    }
    if (style == PS_DOT) {
        return DashPattern{DOT_RUNS, 2};
    }
    return DashPattern{nullptr, 0};
}

// The context's pen and brush.
const KvoGdiPen& penOf(KvoGdiDrawing& drawing)
{
    return kvoGdiEntryLocked(*drawing.state, drawing.context->pen).pen;
}
const KvoGdiBrush& brushOf(KvoGdiDrawing& drawing)
{
    return kvoGdiEntryLocked(*drawing.state, drawing.context->brush).brush;
}
const KvoGdiFont& fontOf(KvoGdiDrawing& drawing)
{
    return kvoGdiEntryLocked(*drawing.state, drawing.context->font).font;
}

// Writes one-pixel lines straight into the surface: Bresenham's pixels, clipped to the drawing's
// rectangles, with the pen's dash pattern carried from one segment to the next (gaps take the
// background colour in OPAQUE mode).
class PixelLine {
public:
    explicit PixelLine(KvoGdiDrawing& drawing)
        : m_drawing(drawing)
    {
        const KvoGdiPen& pen = penOf(drawing);
        m_pen = kvoGdiPixel(pen.color);
        m_gap = kvoGdiPixel(drawing.context->backgroundColor);
        m_fillGaps = drawing.context->backgroundMode == OPAQUE;
        m_pattern = dashPattern(pen.style);
        cairo_surface_flush(drawing.surface->image);
        m_data = cairo_image_surface_get_data(drawing.surface->image);
        m_stride = cairo_image_surface_get_stride(drawing.surface->image);
        for (const RECT& rect : drawing.clip) {
            m_bounds.left = std::min(m_bounds.left, rect.left);
            m_bounds.top = std::min(m_bounds.top, rect.top);
            m_bounds.right = std::max(m_bounds.right, rect.right);
            m_bounds.bottom = std::max(m_bounds.bottom, rect.bottom);
        }
    }
    ~PixelLine() { cairo_surface_mark_dirty(m_drawing.surface->image); }
    PixelLine(const PixelLine&) = delete;
    PixelLine& operator=(const PixelLine&) = delete;

    // Draws from (x0, y0) to (x1, y1) in client coordinates, the last point excluded.
    void segment(int x0, int y0, int x1, int y1)
    {
        const int dx = std::abs(x1 - x0);
        const int dy = -std::abs(y1 - y0);
        const int stepX = x0 < x1 ? 1 : -1;
        const int stepY = y0 < y1 ? 1 : -1;
        int error = dx + dy;
        int x = x0;
        int y = y0;
        while (x != x1 || y != y1) {
            plot(x + m_drawing.originX, y + m_drawing.originY);
            const int twice = 2 * error;
            if (twice >= dy) {
                error += dy;
                x += stepX;
            }
            if (twice <= dx) {
                error += dx;
                y += stepY;
            }
        }
    }

private:
    void plot(int x, int y)
    {
        bool on = true;
        if (m_pattern.count > 0) {
            on = m_run % 2 == 0;
            if (++m_runPosition >= m_pattern.runs[m_run]) {
                m_runPosition = 0;
                m_run = (m_run + 1) % m_pattern.count;
            }
            if (!on && !m_fillGaps) {
                return;
            }
        }
        if (x < m_bounds.left || x >= m_bounds.right || y < m_bounds.top || y >= m_bounds.bottom) {
            return;
        }
        for (const RECT& rect : m_drawing.clip) {
            if (x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom) {
                auto* pixel = reinterpret_cast<std::uint32_t*>(m_data + static_cast<std::ptrdiff_t>(y) * m_stride) + x;
                *pixel = on ? m_pen : m_gap;
                return;
            }
        }
    }

    KvoGdiDrawing& m_drawing;
    std::uint32_t m_pen = 0;
    std::uint32_t m_gap = 0;
    bool m_fillGaps = false;
    DashPattern m_pattern{};
    int m_run = 0;
    int m_runPosition = 0;
    unsigned char* m_data = nullptr;
    int m_stride = 0;
    RECT m_bounds{MAX_COORDINATE * 4, MAX_COORDINATE * 4, MIN_COORDINATE * 4, MIN_COORDINATE * 4};
};

// Strokes the current Cairo path with the pen (a solid or dashed line of its width); the path is
// consumed.
void strokeWithPen(KvoGdiDrawing& drawing, cairo_line_join_t join)
{
    const KvoGdiPen& pen = penOf(drawing);
    cairo_t* cairo = drawing.cairo;
    cairo_set_line_width(cairo, pen.width);
    cairo_set_line_join(cairo, join);
    cairo_set_line_cap(cairo, join == CAIRO_LINE_JOIN_ROUND ? CAIRO_LINE_CAP_ROUND : CAIRO_LINE_CAP_BUTT);
    const DashPattern pattern = pen.width == 1 ? dashPattern(pen.style) : DashPattern{};
    if (pattern.count > 0 && drawing.context->backgroundMode == OPAQUE) {
        kvoGdiSetSource(cairo, drawing.context->backgroundColor);
        cairo_stroke_preserve(cairo);
    }
    cairo_set_dash(cairo, pattern.runs, pattern.count, 0);
    kvoGdiSetSource(cairo, pen.color);
    cairo_stroke(cairo);
    cairo_set_dash(cairo, nullptr, 0, 0);
}

void fillBox(cairo_t* cairo, const RECT& box, COLORREF color)
{
    cairo_rectangle(cairo, box.left, box.top, box.right - box.left, box.bottom - box.top);
    kvoGdiSetSource(cairo, color);
    cairo_fill(cairo);
}

// Adds an ellipse filling the box (cx, cy) +- (rx, ry) to the path.
void ellipsePath(cairo_t* cairo, double cx, double cy, double rx, double ry)
{
    cairo_save(cairo);
    cairo_translate(cairo, cx, cy);
    cairo_scale(cairo, rx, ry);
    cairo_new_sub_path(cairo);
    cairo_arc(cairo, 0, 0, 1, 0, 2 * M_PI);
    cairo_restore(cairo);
}

// The length of a text argument: count units, or up to the terminator when count is -1 and
// terminated is allowed. -1 for a null text (unless count is 0), a count below -1 or a text longer
// than KVO_MAX_TEXT_LENGTH.
int textLength(const KvoChar* text, int count, bool terminated)
{
    if (count == 0) {
        return 0;
    }
    if (text == nullptr || count < -1 || (count == -1 && !terminated) || count > KVO_MAX_TEXT_LENGTH) {
        return -1;
    }
    if (count >= 0) {
        return count;
    }
    for (int length = 0; length <= KVO_MAX_TEXT_LENGTH; ++length) {
        if (text[length] == 0) {
            return length;
        }
    }
    return -1;
}

// Where text is measured: the window surface's Cairo context, or the scratch one.
cairo_t* measuringContext(KvoGdiDrawing& drawing)
{
    cairo_t* cairo = drawing.cairo != nullptr ? drawing.cairo : drawing.state->scratch;
    kvoGdiUseFont(*drawing.state, cairo, fontOf(drawing));
    return cairo;
}

int textWidth(cairo_t* cairo, const std::string& utf8)
{
    if (utf8.empty()) {
        return 0;
    }
    cairo_text_extents_t extents;
    cairo_text_extents(cairo, utf8.c_str(), &extents);
    return static_cast<int>(std::lround(extents.x_advance));
}

// Draws one line of text with its box's top-left corner at (x, y) (client coordinates): on the
// background colour when the mode is OPAQUE, in the text colour.
void drawTextLine(KvoGdiDrawing& drawing, int x, int y, const std::string& utf8, int width)
{
    cairo_t* cairo = drawing.cairo;
    const KvoGdiFont& font = fontOf(drawing);
    if (drawing.context->backgroundMode == OPAQUE && width > 0) {
        fillBox(cairo, RECT{x, y, x + width, y + font.lineHeight}, drawing.context->backgroundColor);
    }
    if (utf8.empty()) {
        return;
    }
    kvoGdiSetSource(cairo, drawing.context->textColor);
    cairo_move_to(cairo, x, y + font.ascent);
    cairo_show_text(cairo, utf8.c_str());
    cairo_new_path(cairo);
}

// One line of DrawTextW's layout.
struct TextLine {
    std::string utf8;
    int width = 0;
};

// Splits text into lines as format asks: at line breaks unless DT_SINGLELINE (which shows a break
// as a space), and with DT_WORDBREAK at spaces wherever a line would grow wider than maxWidth (a
// word wider than that keeps a line of its own).
std::vector<TextLine> layoutLines(cairo_t* cairo, const KvoChar* text, int length, UINT format, int maxWidth)
{
    std::vector<std::u16string> paragraphs(1);
    for (int i = 0; i < length; ++i) {
        const KvoChar unit = text[i];
        if (unit != u'\r' && unit != u'\n') {
            paragraphs.back().push_back(unit);
        } else if ((format & DT_SINGLELINE) != 0) {
            paragraphs.back().push_back(u' ');
        } else {
            if (unit == u'\r' && i + 1 < length && text[i + 1] == u'\n') {
                ++i;
            }
            paragraphs.emplace_back();
        }
    }
    std::vector<TextLine> lines;
    for (const std::u16string& paragraph : paragraphs) {
        if ((format & DT_WORDBREAK) == 0 || (format & DT_SINGLELINE) != 0) {
            std::string utf8 = kvoToUtf8(paragraph.data(), paragraph.size());
            const int width = textWidth(cairo, utf8);
            lines.push_back(TextLine{std::move(utf8), width});
            continue;
        }
        // Greedy wrapping: take words (each with the spaces before it) while the line still fits.
        // Widths add up (whole-pixel advances, no kerning), so each piece is measured once.
        std::size_t start = 0;
        do {
            std::size_t end = start;
            TextLine line;
            while (end < paragraph.size()) {
                std::size_t wordEnd = end;
                while (wordEnd < paragraph.size() && paragraph[wordEnd] == u' ') {
                    ++wordEnd;
                }
                while (wordEnd < paragraph.size() && paragraph[wordEnd] != u' ') {
                    ++wordEnd;
                }
                std::string piece = kvoToUtf8(paragraph.data() + end, wordEnd - end);
                const int width = line.width + textWidth(cairo, piece);
                if (end > start && width > maxWidth) {
                    break;
                }
                line.utf8 += piece;
                line.width = width;
                end = wordEnd;
            }
            lines.push_back(std::move(line));
            start = end;
            while (start < paragraph.size() && paragraph[start] == u' ') {
                ++start;
            }
        } while (start < paragraph.size());
    }
    return lines;
}

} // namespace

int FillRect(HDC hdc, const RECT* rect, HBRUSH brush)
{
    if (rect == nullptr) {
        return 0;
    }
    KvoGdiDrawing drawing;
    KvoGdiBrush fill;
    if (!drawing.begin(hdc) || !kvoGdiResolveBrushLocked(*drawing.state, brush, fill)) {
        return 0;
    }
    const RECT box{clampCoordinate(rect->left), clampCoordinate(rect->top), clampCoordinate(rect->right),
                   clampCoordinate(rect->bottom)};
    if (drawing.cairo != nullptr && !fill.hollow && box.left < box.right && box.top < box.bottom) {
        fillBox(drawing.cairo, box, fill.color);
    }
    return 1;
}

BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom)
{
    KvoGdiDrawing drawing;
    if (!drawing.begin(hdc)) {
        return FALSE;
    }
    const RECT box = normalized(left, top, right, bottom);
    if (drawing.cairo == nullptr || box.left == box.right || box.top == box.bottom) {
        return TRUE;
    }
    const KvoGdiBrush& brush = brushOf(drawing);
    const KvoGdiPen& pen = penOf(drawing);
    if (!brush.hollow) {
        fillBox(drawing.cairo, box, brush.color);
    }
    if (pen.style == PS_NULL) {
        return TRUE;
    }
    const int width = box.right - box.left;
    const int height = box.bottom - box.top;
    if (2 * pen.width >= width || 2 * pen.width >= height) {
        // The outline meets itself: the whole box is pen.
        fillBox(drawing.cairo, box, pen.color);
        return TRUE;
    }
    // The outline's centre line runs half a pen inside the box, so the pen covers exactly the
    // box's outer pixels.
    const double half = pen.width / 2.0;
    cairo_rectangle(drawing.cairo, box.left + half, box.top + half, width - pen.width, height - pen.width);
    strokeWithPen(drawing, CAIRO_LINE_JOIN_MITER);
    return TRUE;
}

BOOL Ellipse(HDC hdc, int left, int top, int right, int bottom)
{
    KvoGdiDrawing drawing;
    if (!drawing.begin(hdc)) {
        return FALSE;
    }
    const RECT box = normalized(left, top, right, bottom);
    if (drawing.cairo == nullptr || box.left == box.right || box.top == box.bottom) {
        return TRUE;
    }
    const KvoGdiBrush& brush = brushOf(drawing);
    const KvoGdiPen& pen = penOf(drawing);
    const double cx = (box.left + box.right) / 2.0;
    const double cy = (box.top + box.bottom) / 2.0;
    const double rx = (box.right - box.left) / 2.0;
    const double ry = (box.bottom - box.top) / 2.0;
    if (!brush.hollow) {
        ellipsePath(drawing.cairo, cx, cy, rx, ry);
        kvoGdiSetSource(drawing.cairo, brush.color);
        cairo_fill(drawing.cairo);
    }
    if (pen.style == PS_NULL) {
        return TRUE;
    }
    const double half = pen.width / 2.0;
    if (rx <= half || ry <= half) {
        ellipsePath(drawing.cairo, cx, cy, rx, ry);
        kvoGdiSetSource(drawing.cairo, pen.color);
        cairo_fill(drawing.cairo);
        return TRUE;
    }
    ellipsePath(drawing.cairo, cx, cy, rx - half, ry - half);
    strokeWithPen(drawing, CAIRO_LINE_JOIN_ROUND);
    return TRUE;
}

BOOL MoveToEx(HDC hdc, int x, int y, POINT* previous)
{
    KvoGdiState& state = kvoGdiState();
    std::lock_guard guard(state.lock);
    KvoGdiEntry* entry = kvoGdiFindLocked(state, hdc, KvoGdiKind::CONTEXT);
    if (entry == nullptr) {
        return FALSE;
    }
    if (previous != nullptr) {
        *previous = entry->context.position;
    }
    entry->context.position = POINT{clampCoordinate(x), clampCoordinate(y)};
    return TRUE;
}

// Draws the open polyline through points with the context's pen (the last point excluded for
// one-pixel pens).
static void drawPolyline(KvoGdiDrawing& drawing, const POINT* points, int count)
{
    const KvoGdiPen& pen = penOf(drawing);
    if (drawing.cairo == nullptr || pen.style == PS_NULL) {
        return;
    }
    if (pen.width == 1) {
        PixelLine line(drawing);
        for (int i = 1; i < count; ++i) {
            line.segment(clampCoordinate(points[i - 1].x), clampCoordinate(points[i - 1].y),
                         clampCoordinate(points[i].x), clampCoordinate(points[i].y));
        }
        return;
    }
    // Wide pens: round ends and joins through the pixel centres.
    cairo_move_to(drawing.cairo, clampCoordinate(points[0].x) + 0.5, clampCoordinate(points[0].y) + 0.5);
    for (int i = 1; i < count; ++i) {
        cairo_line_to(drawing.cairo, clampCoordinate(points[i].x) + 0.5, clampCoordinate(points[i].y) + 0.5);
    }
    strokeWithPen(drawing, CAIRO_LINE_JOIN_ROUND);
}

BOOL LineTo(HDC hdc, int x, int y)
{
    KvoGdiDrawing drawing;
    if (!drawing.begin(hdc)) {
        return FALSE;
    }
    const POINT points[2] = {drawing.context->position, POINT{clampCoordinate(x), clampCoordinate(y)}};
    drawPolyline(drawing, points, 2);
    drawing.context->position = points[1];
    return TRUE;
}

BOOL Polyline(HDC hdc, const POINT* points, int count)
{
    if (points == nullptr || count < 2 || count > KVO_MAX_POLYLINE_POINTS) {
        return FALSE;
    }
    KvoGdiDrawing drawing;
    if (!drawing.begin(hdc)) {
        return FALSE;
    }
    drawPolyline(drawing, points, count);
    return TRUE;
}

BOOL TextOutW(HDC hdc, int x, int y, const KvoChar* text, int count)
{
    const int length = textLength(text, count, false);
    if (length < 0) {
        return FALSE;
    }
    KvoGdiDrawing drawing;
    if (!drawing.begin(hdc)) {
        return FALSE;
    }
    if (drawing.cairo == nullptr || length == 0) {
        return TRUE;
    }
    const std::string utf8 = kvoToUtf8(text, static_cast<std::size_t>(length));
    const int width = textWidth(measuringContext(drawing), utf8);
    drawTextLine(drawing, clampCoordinate(x), clampCoordinate(y), utf8, width);
    return TRUE;
}

int DrawTextW(HDC hdc, const KvoChar* text, int count, RECT* rect, UINT format)
{
    const int length = textLength(text, count, true);
    if (length < 0 || rect == nullptr) {
        return 0;
    }
    KvoGdiDrawing drawing;
    if (!drawing.begin(hdc)) {
        return 0;
    }
    cairo_t* cairo = measuringContext(drawing);
    const RECT box{clampCoordinate(rect->left), clampCoordinate(rect->top), clampCoordinate(rect->right),
                   clampCoordinate(rect->bottom)};
    const std::vector<TextLine> lines =
        length == 0 ? std::vector<TextLine>{} : layoutLines(cairo, text, length, format, box.right - box.left);
    const int lineHeight = fontOf(drawing).lineHeight;
    const int height = static_cast<int>(lines.size()) * lineHeight;
    if ((format & DT_CALCRECT) != 0) {
        int widest = 0;
        for (const TextLine& line : lines) {
            widest = std::max(widest, line.width);
        }
        rect->right = box.left + widest;
        rect->bottom = box.top + height;
        return height;
    }
    int top = box.top;
    if ((format & DT_SINGLELINE) != 0 && (format & DT_VCENTER) != 0) {
        top = box.top + (box.bottom - box.top - height) / 2;
    } else if ((format & DT_SINGLELINE) != 0 && (format & DT_BOTTOM) != 0) {
        top = box.bottom - height;
    }
    if (drawing.cairo != nullptr && !lines.empty()) {
        cairo_save(drawing.cairo);
        if ((format & DT_NOCLIP) == 0) {
            cairo_rectangle(drawing.cairo, box.left, box.top, box.right - box.left, box.bottom - box.top);
            cairo_clip(drawing.cairo);
        }
        int y = top;
        for (const TextLine& line : lines) {
            int x = box.left;
            if ((format & DT_CENTER) != 0) {
                x = box.left + (box.right - box.left - line.width) / 2;
            } else if ((format & DT_RIGHT) != 0) {
                x = box.right - line.width;
            }
            drawTextLine(drawing, x, y, line.utf8, line.width);
            y += lineHeight;
        }
        cairo_restore(drawing.cairo);
    }
    // As on the desktop: with vertical placement, the distance from the rectangle's top to the
    // text's bottom.
    return top - box.top + height;
}

BOOL GetTextExtentPoint32W(HDC hdc, const KvoChar* text, int count, SIZE* size)
{
    const int length = textLength(text, count, false);
    if (length < 0 || size == nullptr) {
        return FALSE;
    }
    KvoGdiDrawing drawing;
    if (!drawing.begin(hdc)) {
        return FALSE;
    }
    const std::string utf8 = kvoToUtf8(text, static_cast<std::size_t>(length));
    size->cx = textWidth(measuringContext(drawing), utf8);
    size->cy = fontOf(drawing).lineHeight;
    return TRUE;
}

// The pixel of a visible client point, or null.
static std::uint32_t* visiblePixel(KvoGdiDrawing& drawing, int x, int y)
{
    if (drawing.surface == nullptr) {
        return nullptr;
    }
    const long long surfaceX = static_cast<long long>(x) + drawing.originX;
    const long long surfaceY = static_cast<long long>(y) + drawing.originY;
    for (const RECT& rect : drawing.clip) {
        if (surfaceX >= rect.left && surfaceX < rect.right && surfaceY >= rect.top && surfaceY < rect.bottom) {
            unsigned char* data = cairo_image_surface_get_data(drawing.surface->image);
            const int stride = cairo_image_surface_get_stride(drawing.surface->image);
            return reinterpret_cast<std::uint32_t*>(data + surfaceY * stride) + surfaceX;
        }
    }
    return nullptr;
}

COLORREF GetPixel(HDC hdc, int x, int y)
{
    KvoGdiDrawing drawing;
    if (!drawing.begin(hdc)) {
        return CLR_INVALID;
    }
    if (drawing.surface != nullptr) {
        cairo_surface_flush(drawing.surface->image);
    }
    const std::uint32_t* pixel = visiblePixel(drawing, x, y);
    return pixel == nullptr ? CLR_INVALID : kvoGdiColorRef(*pixel);
}

COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color)
{
    KvoGdiDrawing drawing;
    if (!drawing.begin(hdc)) {
        return CLR_INVALID;
    }
    if (drawing.surface != nullptr) {
        cairo_surface_flush(drawing.surface->image);
    }
    std::uint32_t* pixel = visiblePixel(drawing, x, y);
    if (pixel == nullptr) {
        return CLR_INVALID;
    }
    *pixel = kvoGdiPixel(color & 0x00FFFFFF);
    cairo_surface_mark_dirty(drawing.surface->image);
    return color & 0x00FFFFFF;
}

// The layout of a scroll bar drawn by the display back end, and what a point on it means. The
// thumb's length shows the page's share of the range; its offset shows the position.
#include <algorithm>

#include "platform/linux/KvoX11.h"

namespace {

// A thumb is never shorter than this, so that it can be grabbed.
constexpr int MIN_THUMB_LENGTH = 8;

} // namespace

KvoScrollLayout kvoScrollLayout(int length, int thickness, int minimum, int maximum, UINT page, int position)
{
    KvoScrollLayout layout;
    layout.length = std::max(0, length);
    layout.arrow = std::min(std::max(0, thickness), layout.length / 2);
    layout.minimum = minimum;
    const long long range = static_cast<long long>(maximum) - minimum + 1;
    const long long pageSpan = page > 0 ? static_cast<long long>(page) - 1 : 0;
    layout.maximumPosition = static_cast<int>(std::max<long long>(minimum, static_cast<long long>(maximum) - pageSpan));
    const int track = layout.length - 2 * layout.arrow;
    if (range <= 0 || layout.maximumPosition <= minimum || track < MIN_THUMB_LENGTH) {
        return layout;
    }
    long long thumb = page > 0 ? static_cast<long long>(track) * page / range : thickness;
    thumb = std::clamp<long long>(thumb, MIN_THUMB_LENGTH, track);
    layout.thumbLength = static_cast<int>(thumb);
    const long long span = static_cast<long long>(layout.maximumPosition) - minimum;
    const long long offset = std::clamp<long long>(static_cast<long long>(position) - minimum, 0, span);
    // Rounded both ways (here and in kvoScrollPositionAt), so that a thumb put back where it is
    // drawn keeps its position.
    layout.thumbStart = layout.arrow + static_cast<int>(((track - thumb) * offset * 2 + span) / (span * 2));
    return layout;
}

KvoScrollPart kvoScrollHit(const KvoScrollLayout& layout, int offset)
{
    if (offset < 0 || offset >= layout.length) {
        return KvoScrollPart::Outside;
    }
    if (offset < layout.arrow) {
        return KvoScrollPart::LineUp;
    }
    if (offset >= layout.length - layout.arrow) {
        return KvoScrollPart::LineDown;
    }
    if (layout.thumbLength == 0) {
        return KvoScrollPart::Outside;
    }
    if (offset < layout.thumbStart) {
        return KvoScrollPart::PageUp;
    }
    if (offset >= layout.thumbStart + layout.thumbLength) {
        return KvoScrollPart::PageDown;
    }
    return KvoScrollPart::Thumb;
}

int kvoScrollPositionAt(const KvoScrollLayout& layout, int thumbStart)
{
    const long long travel = layout.length - 2LL * layout.arrow - layout.thumbLength;
    if (layout.thumbLength == 0 || travel <= 0) {
        return layout.minimum;
    }
    const long long offset = std::clamp<long long>(static_cast<long long>(thumbStart) - layout.arrow, 0, travel);
    const long long span = static_cast<long long>(layout.maximumPosition) - layout.minimum;
    // Rounded to the nearest position.
    return static_cast<int>(layout.minimum + (offset * span * 2 + travel) / (travel * 2));
}

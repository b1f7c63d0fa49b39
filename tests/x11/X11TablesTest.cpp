// The display back end's tables: which virtual-key code and which text a key symbol gives, and the
// layout and hit testing of the scroll bars it draws.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include "platform/linux/KvoX11.h"

namespace {

std::u16string textOf(unsigned long keysym, const char* bytes = "")
{
    std::u16string out;
    kvoX11KeyText(keysym, bytes, static_cast<int>(std::char_traits<char>::length(bytes)), out);
    return out;
}

TEST(X11Keys, LettersDigitsAndFunctionKeys)
{
    // Both cases of a letter are the same key.
    EXPECT_EQ(kvoX11VirtualKey(XK_a), 'A');
    EXPECT_EQ(kvoX11VirtualKey(XK_Z), 'Z');
    EXPECT_EQ(kvoX11VirtualKey(XK_z), 'Z');
    EXPECT_EQ(kvoX11VirtualKey(XK_0), '0');
    EXPECT_EQ(kvoX11VirtualKey(XK_9), '9');
    EXPECT_EQ(kvoX11VirtualKey(XK_F1), 0x70u);
    EXPECT_EQ(kvoX11VirtualKey(XK_F12), 0x7Bu);
    EXPECT_EQ(kvoX11VirtualKey(XK_F24), 0x87u);
}

TEST(X11Keys, EditingMovementAndModifiers)
{
    EXPECT_EQ(kvoX11VirtualKey(XK_Left), 0x25u);
    EXPECT_EQ(kvoX11VirtualKey(XK_Up), 0x26u);
    EXPECT_EQ(kvoX11VirtualKey(XK_Right), 0x27u);
    EXPECT_EQ(kvoX11VirtualKey(XK_Down), 0x28u);
    EXPECT_EQ(kvoX11VirtualKey(XK_Home), 0x24u);
    EXPECT_EQ(kvoX11VirtualKey(XK_End), 0x23u);
    EXPECT_EQ(kvoX11VirtualKey(XK_Prior), 0x21u);
    EXPECT_EQ(kvoX11VirtualKey(XK_Next), 0x22u);
    EXPECT_EQ(kvoX11VirtualKey(XK_Insert), 0x2Du);
    EXPECT_EQ(kvoX11VirtualKey(XK_Delete), 0x2Eu);
    EXPECT_EQ(kvoX11VirtualKey(XK_BackSpace), 0x08u);
    EXPECT_EQ(kvoX11VirtualKey(XK_Tab), 0x09u);
    EXPECT_EQ(kvoX11VirtualKey(XK_ISO_Left_Tab), 0x09u); // Shift+Tab
    EXPECT_EQ(kvoX11VirtualKey(XK_Return), 0x0Du);
    EXPECT_EQ(kvoX11VirtualKey(XK_Escape), 0x1Bu);
    EXPECT_EQ(kvoX11VirtualKey(XK_space), 0x20u);
    // Left and right modifiers share the generic code, as WM_KEYDOWN reports them.
    EXPECT_EQ(kvoX11VirtualKey(XK_Shift_L), 0x10u);
    EXPECT_EQ(kvoX11VirtualKey(XK_Shift_R), 0x10u);
    EXPECT_EQ(kvoX11VirtualKey(XK_Control_R), 0x11u);
    EXPECT_EQ(kvoX11VirtualKey(XK_Alt_L), 0x12u);
}

TEST(X11Keys, Keypad)
{
    // With Num Lock on the keypad gives digits and operators ...
    EXPECT_EQ(kvoX11VirtualKey(XK_KP_0), 0x60u);
    EXPECT_EQ(kvoX11VirtualKey(XK_KP_9), 0x69u);
    EXPECT_EQ(kvoX11VirtualKey(XK_KP_Multiply), 0x6Au);
    EXPECT_EQ(kvoX11VirtualKey(XK_KP_Add), 0x6Bu);
    EXPECT_EQ(kvoX11VirtualKey(XK_KP_Subtract), 0x6Du);
    EXPECT_EQ(kvoX11VirtualKey(XK_KP_Decimal), 0x6Eu);
    EXPECT_EQ(kvoX11VirtualKey(XK_KP_Divide), 0x6Fu);
    EXPECT_EQ(kvoX11VirtualKey(XK_KP_Enter), 0x0Du);
    // ... and with it off the movement keys.
    EXPECT_EQ(kvoX11VirtualKey(XK_KP_Home), 0x24u);
    EXPECT_EQ(kvoX11VirtualKey(XK_KP_Down), 0x28u);
    EXPECT_EQ(kvoX11VirtualKey(XK_KP_Delete), 0x2Eu);
}

TEST(X11Keys, PunctuationAndUnknownSymbols)
{
    EXPECT_EQ(kvoX11VirtualKey(XK_semicolon), 0xBAu);
    EXPECT_EQ(kvoX11VirtualKey(XK_colon), 0xBAu);
    EXPECT_EQ(kvoX11VirtualKey(XK_minus), 0xBDu);
    EXPECT_EQ(kvoX11VirtualKey(XK_bracketleft), 0xDBu);
    EXPECT_EQ(kvoX11VirtualKey(XK_apostrophe), 0xDEu);
    EXPECT_EQ(kvoX11VirtualKey(XK_eacute), 0u);
    EXPECT_EQ(kvoX11VirtualKey(0), 0u);
    EXPECT_EQ(kvoX11VirtualKey(0x1000416), 0u);
}

TEST(X11Keys, TextTyped)
{
    EXPECT_EQ(textOf(XK_a, "a"), u"a");
    EXPECT_EQ(textOf(XK_B, "B"), u"B");
    // Latin-1 symbols are their own code, whatever bytes came with them.
    EXPECT_EQ(textOf(XK_eacute, "\xE9"), u"\u00E9");
    // Unicode symbols, including one beyond the basic plane as a surrogate pair.
    EXPECT_EQ(textOf(0x1000416), u"\u0416");
    EXPECT_EQ(textOf(0x101F600), u"\U0001F600");
    // Control characters come from the mapping's byte: Ctrl+C, Enter, Backspace, Tab, Escape.
    EXPECT_EQ(textOf(XK_c, "\x03"), u"\x03");
    EXPECT_EQ(textOf(XK_Return, "\r"), u"\r");
    EXPECT_EQ(textOf(XK_BackSpace, "\b"), u"\b");
    EXPECT_EQ(textOf(XK_Escape, "\x1B"), u"\x1B");
    // Keypad digits and operators spell themselves.
    EXPECT_EQ(textOf(XK_KP_1, "1"), u"1");
    EXPECT_EQ(textOf(XK_KP_Add, "+"), u"+");
    // Keys that type nothing: Delete (whose byte is DEL), arrows, function keys, modifiers.
    EXPECT_EQ(textOf(XK_Delete, "\x7F"), u"");
    EXPECT_EQ(textOf(XK_Left), u"");
    EXPECT_EQ(textOf(XK_F5), u"");
    EXPECT_EQ(textOf(XK_Shift_L), u"");
    // Symbols outside Unicode or surrogate halves type nothing rather than garbage.
    EXPECT_EQ(textOf(0x1110000), u"");
    EXPECT_EQ(textOf(0x100D800), u"");
}

TEST(X11Keys, TextFromInputContext)
{
    std::u16string out;
    // A Cyrillic letter of a Russian layout, and a character beyond the basic plane.
    kvoX11KeyTextUtf8(0x6C6, "\xD1\x84", 2, out);
    EXPECT_EQ(out, u"\u0444");
    kvoX11KeyTextUtf8(0x101F600, "\xF0\x9F\x98\x80", 4, out);
    EXPECT_EQ(out, u"\U0001F600");
    // Delete types nothing; neither does a DEL byte from any other key.
    kvoX11KeyTextUtf8(XK_Delete, "\x7F", 1, out);
    EXPECT_EQ(out, u"");
    kvoX11KeyTextUtf8(XK_BackSpace, "\x7F", 1, out);
    EXPECT_EQ(out, u"");
    kvoX11KeyTextUtf8(XK_a, "", 0, out);
    EXPECT_EQ(out, u"");
}

TEST(X11ScrollBar, ThumbShowsPageAndPosition)
{
    // A 274-pixel bar with 16-pixel arrows: a 242-pixel track.
    KvoScrollLayout layout = kvoScrollLayout(274, 16, 0, 999, 274, 0);
    EXPECT_EQ(layout.arrow, 16);
    EXPECT_EQ(layout.maximumPosition, 726);
    EXPECT_EQ(layout.thumbLength, 242 * 274 / 1000);
    EXPECT_EQ(layout.thumbStart, 16);
    layout = kvoScrollLayout(274, 16, 0, 999, 274, 726);
    EXPECT_EQ(layout.thumbStart + layout.thumbLength, 274 - 16);
    // A position beyond the range is shown at the end, not beyond it.
    layout = kvoScrollLayout(274, 16, 0, 999, 274, 5000);
    EXPECT_EQ(layout.thumbStart + layout.thumbLength, 274 - 16);
    // Without a page the thumb is square; a tiny page still leaves a thumb that can be grabbed.
    EXPECT_EQ(kvoScrollLayout(274, 16, 0, 100, 0, 0).thumbLength, 16);
    EXPECT_EQ(kvoScrollLayout(274, 16, 0, 1000000, 1, 0).thumbLength, 8);
}

TEST(X11ScrollBar, NothingToScrollOrNoRoom)
{
    // The page covers the range: arrows only.
    EXPECT_EQ(kvoScrollLayout(274, 16, 0, 99, 100, 0).thumbLength, 0);
    EXPECT_EQ(kvoScrollLayout(274, 16, 5, 5, 0, 5).thumbLength, 0);
    // An inverted range never divides by zero or shows a thumb.
    EXPECT_EQ(kvoScrollLayout(274, 16, 10, 0, 0, 0).thumbLength, 0);
    // A bar shorter than its two arrows splits itself between them.
    const KvoScrollLayout tiny = kvoScrollLayout(20, 16, 0, 100, 10, 0);
    EXPECT_EQ(tiny.arrow, 10);
    EXPECT_EQ(tiny.thumbLength, 0);
    EXPECT_EQ(kvoScrollHit(tiny, 9), KvoScrollPart::LineUp);
    EXPECT_EQ(kvoScrollHit(tiny, 10), KvoScrollPart::LineDown);
    EXPECT_EQ(kvoScrollPositionAt(tiny, 5), 0);
    // Extreme ranges stay within int arithmetic.
    const KvoScrollLayout wide = kvoScrollLayout(274, 16, INT32_MIN, INT32_MAX, 0, INT32_MAX);
    EXPECT_GT(wide.thumbLength, 0);
    EXPECT_EQ(wide.thumbStart + wide.thumbLength, 274 - 16);
    EXPECT_EQ(kvoScrollPositionAt(wide, 1000), INT32_MAX);
}

TEST(X11ScrollBar, HitTestingAndDragging)
{
    const KvoScrollLayout layout = kvoScrollLayout(200, 16, 0, 99, 10, 50);
    EXPECT_EQ(kvoScrollHit(layout, -1), KvoScrollPart::Outside);
    EXPECT_EQ(kvoScrollHit(layout, 0), KvoScrollPart::LineUp);
    EXPECT_EQ(kvoScrollHit(layout, 15), KvoScrollPart::LineUp);
    EXPECT_EQ(kvoScrollHit(layout, 16), KvoScrollPart::PageUp);
    EXPECT_EQ(kvoScrollHit(layout, layout.thumbStart - 1), KvoScrollPart::PageUp);
    EXPECT_EQ(kvoScrollHit(layout, layout.thumbStart), KvoScrollPart::Thumb);
    EXPECT_EQ(kvoScrollHit(layout, layout.thumbStart + layout.thumbLength - 1), KvoScrollPart::Thumb);
    EXPECT_EQ(kvoScrollHit(layout, layout.thumbStart + layout.thumbLength), KvoScrollPart::PageDown);
    EXPECT_EQ(kvoScrollHit(layout, 184), KvoScrollPart::LineDown);
    EXPECT_EQ(kvoScrollHit(layout, 200), KvoScrollPart::Outside);
    // The thumb left where it is keeps its position; dragged to either end it reaches the range's
    // ends and no further.
    EXPECT_EQ(kvoScrollPositionAt(layout, layout.thumbStart), 50);
    EXPECT_EQ(kvoScrollPositionAt(layout, 16), 0);
    EXPECT_EQ(kvoScrollPositionAt(layout, -500), 0);
    EXPECT_EQ(kvoScrollPositionAt(layout, 184 - layout.thumbLength), 90);
    EXPECT_EQ(kvoScrollPositionAt(layout, 5000), 90);
    for (int position = 0; position <= 90; ++position) {
        const KvoScrollLayout at = kvoScrollLayout(200, 16, 0, 99, 10, position);
        EXPECT_EQ(kvoScrollPositionAt(at, at.thumbStart), position) << position;
    }
}

} // namespace

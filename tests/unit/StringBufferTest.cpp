// Tests of KvoString, KvoBuffer and KvoCharBuffer: the two empty forms of a string (no text and
// ""), editing at and past the ends, replace that never rescans its own output, the script
// formatting constructor (its token rules and its safety: no conversion ever reads or writes
// memory through a number), element-buffer growth and the little-endian word access of buffers.
// Every test checks that the number of live heap objects returns to where it started.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"
#include "values/ValPtr.h"

#include "KvoTestSupport.h"

namespace {

using StringTest = LiveObjectCheck;
using ScriptFormatTest = LiveObjectCheck;
using BufferTest = LiveObjectCheck;
using CharBufferTest = LiveObjectCheck;

std::u16string text(const KvoString& s)
{
    return s.c_str();
}

// Runs the script formatting constructor over the given values.
class FormatArgs
{
public:
    FormatArgs& operator<<(const KvoValue& value)
    {
        m_values.push_back(value);
        return *this;
    }
    std::u16string format(const KvoChar* fmt, unsigned argc)
    {
        ValPtr args(&m_values, 0);
        KvoString result(fmt, argc, args);
        m_hadText = result.hasText();
        return result.c_str();
    }
    std::u16string format(const KvoChar* fmt) { return format(fmt, m_values.size()); }
    bool hadText() const { return m_hadText; }

private:
    KvoVector m_values;
    bool m_hadText = false;
};

KvoValue str(const KvoChar* s)
{
    return KvoValue(new KvoString(s));
}

} // namespace

// ---- KvoString ----------------------------------------------------------------------------------

TEST_F(StringTest, NoTextAndEmptyTextBothActAsEmpty)
{
    KvoString none;
    KvoString fromNull(static_cast<const KvoChar*>(nullptr));
    KvoString fromNull8(static_cast<const char*>(nullptr));
    KvoString empty(u"");
    EXPECT_FALSE(none.hasText());
    EXPECT_FALSE(fromNull.hasText());
    EXPECT_FALSE(fromNull8.hasText());
    EXPECT_TRUE(empty.hasText());
    for (const KvoString* s : {&none, &empty}) {
        EXPECT_EQ(s->length(), 0u);
        ASSERT_NE(s->c_str(), nullptr);
        EXPECT_EQ(s->c_str()[0], 0);
        EXPECT_EQ(s->w_str(), s->c_str());
        EXPECT_STREQ(s->a_str(), "");
    }
    EXPECT_EQ(none.compare(empty), 0);
    EXPECT_TRUE(none == KvoString(u""));

    // Copies keep the form.
    EXPECT_FALSE(KvoString(none).hasText());
    EXPECT_TRUE(KvoString(empty).hasText());
    KvoString assigned(u"x");
    assigned = none;
    EXPECT_FALSE(assigned.hasText());
    assigned = empty;
    EXPECT_TRUE(assigned.hasText());
    assigned = static_cast<const KvoChar*>(nullptr);
    EXPECT_FALSE(assigned.hasText());
    assigned.clear();
    EXPECT_FALSE(assigned.hasText());
    EXPECT_FALSE(KvoString::format(nullptr).hasText());
    EXPECT_TRUE(KvoString::format(u"").hasText());

    // No text orders as "", before everything else; icompare ignores case.
    EXPECT_TRUE(none < KvoString(u"\u0001"));
    EXPECT_EQ(KvoString(u"ABC").icompare(KvoString(u"abc")), 0);
    // 8-bit text in and out is UTF-8.
    KvoString utf8("gr\xC3\xBC\xF0\x9F\x98\x80");
    EXPECT_EQ(text(utf8), u"grü\U0001F600");
    EXPECT_STREQ(utf8.a_str(), "gr\xC3\xBC\xF0\x9F\x98\x80");
}

TEST_F(StringTest, DecimalTextEqualsTheFormattersAtEveryEdge)
{
    for (std::int32_t value : {0, 7, -7, 10, -10, 999999999, INT32_MAX, INT32_MIN + 1, INT32_MIN}) {
        KvoString text = KvoString::decimal(value);
        KvoString formatted = KvoString::format(u"%ld", value);
        EXPECT_EQ(text.compare(formatted), 0) << value;
        EXPECT_EQ(text.length(), formatted.length()) << value;
    }
}

TEST_F(StringTest, AssignmentAndAppending)
{
    KvoString s(u"abc");
    s = s; // self-assignment keeps the text
    EXPECT_EQ(text(s), u"abc");
    s = s.c_str(); // assigning its own text changes nothing
    EXPECT_EQ(text(s), u"abc");

    // += on a string without text makes a copy, even of an empty text.
    KvoString none;
    none += u"";
    EXPECT_TRUE(none.hasText());
    KvoString none2;
    none2 += KvoString();
    EXPECT_FALSE(none2.hasText());
    none2 += static_cast<const KvoChar*>(nullptr);
    EXPECT_FALSE(none2.hasText());
    none2 += u'x';
    EXPECT_EQ(text(none2), u"x");

    s += KvoString(u"de");
    s += u"";
    s += u'f';
    EXPECT_EQ(text(s), u"abcdef");
    s += s; // appending itself reads the old text before replacing it
    EXPECT_EQ(text(s), u"abcdefabcdef");
    KvoString t(u"xy");
    t += t.c_str();
    EXPECT_EQ(text(t), u"xyxy");

    KvoString left(u"ab");
    KvoString sum = left + KvoString(u"cd");
    EXPECT_EQ(text(sum), u"abcd");
    EXPECT_EQ(text(left), u"ab");
    EXPECT_EQ(text(KvoString() + KvoString()), u"");
}

TEST_F(StringTest, Find)
{
    KvoString s(u"abcdef");
    EXPECT_EQ(s.find(KvoString(u"cd"), 0), 2);
    EXPECT_EQ(s.find(KvoString(u"cd"), 2), 2);
    EXPECT_EQ(s.find(KvoString(u"cd"), 3), -1);
    EXPECT_EQ(s.find(KvoString(u"cd"), 6), -1);
    EXPECT_EQ(s.find(KvoString(u"cd"), 1000), -1);
    EXPECT_EQ(s.find(KvoString(u"efg"), 0), -1);
    EXPECT_EQ(KvoString().find(KvoString(u"a"), 0), -1);
    EXPECT_EQ(s.find(u'f', 0), 5);
    EXPECT_EQ(s.find(u'a', 1), -1);
    EXPECT_EQ(KvoString().find(u'a', 0), -1);
    EXPECT_EQ(KvoString(u"").find(u'a', 0), -1);
}

TEST_F(StringTest, SubstrEraseInsert)
{
    KvoString s(u"abcdef");
    EXPECT_EQ(text(s.substr(2, -1)), u"cdef");
    EXPECT_EQ(text(s.substr(2, 2)), u"cd");
    EXPECT_EQ(text(s.substr(4, 100)), u"ef");
    EXPECT_EQ(text(s.substr(6, 1)), u"");
    EXPECT_EQ(text(s.substr(0, 0)), u"");
    EXPECT_EQ(text(KvoString().substr(0, 3)), u"");

    KvoString e(u"abcdef");
    e.erase(1, 100);
    EXPECT_EQ(text(e), u"a");
    KvoString all(u"abcdef");
    all.erase(0, 6);
    EXPECT_FALSE(all.hasText());
    EXPECT_EQ(text(all), u"");
    KvoString middle(u"abcdef");
    EXPECT_EQ(text(middle.erase(1, 2)), u"adef");
    EXPECT_EQ(text(middle.erase(4, 1)), u"adef"); // pos at the end
    EXPECT_EQ(text(middle.erase(0, 0)), u"adef");
    EXPECT_EQ(text(middle.erase(2, -1)), u"ad");
    KvoString none;
    none.erase(0, 1);
    EXPECT_FALSE(none.hasText());

    KvoString i(u"abcdef");
    EXPECT_EQ(text(i.insert(6, KvoString(u"xy"))), u"abcdefxy");
    KvoString j(u"abcdef");
    EXPECT_EQ(text(j.insert(7, KvoString(u"xy"))), u"abcdef");
    EXPECT_EQ(text(j.insert(0, KvoString(u""))), u"abcdef");
    EXPECT_EQ(text(j.insert(1, u'X', 2)), u"aXXbcdef");
    EXPECT_EQ(text(j.insert(1, u'Y', 0)), u"aXXbcdef");
    EXPECT_EQ(text(j.insert(9, u'Y', 1)), u"aXXbcdef");
    EXPECT_EQ(text(j.insert(8, u'Z', 1)), u"aXXbcdefZ");
    KvoString self(u"ab");
    EXPECT_EQ(text(self.insert(1, self)), u"aabb");
    KvoString empty;
    EXPECT_EQ(text(empty.insert(0, KvoString(u"new"))), u"new");
    KvoString empty2;
    EXPECT_EQ(text(empty2.insert(0, u'c', 3)), u"ccc");
}

TEST_F(StringTest, ReplaceNeverRescansItsOutput)
{
    KvoString a(u"aaa");
    EXPECT_EQ(text(a.replace(KvoString(u"a"), KvoString(u"aa"))), u"aaaaaa");
    KvoString banana(u"banana");
    EXPECT_EQ(text(banana.replace(KvoString(u"an"), KvoString(u""))), u"ba");
    // A match formed by joining the pieces around an erased match is not searched again.
    KvoString joined(u"aabb");
    EXPECT_EQ(text(joined.replace(KvoString(u"ab"), KvoString())), u"ab");
    KvoString same(u"abc");
    EXPECT_EQ(text(same.replace(KvoString(), KvoString(u"x"))), u"abc"); // empty from
    EXPECT_EQ(text(same.replace(KvoString(u"zz"), KvoString(u"x"))), u"abc");
    KvoString gone(u"xx");
    gone.replace(KvoString(u"x"), KvoString(u""));
    EXPECT_FALSE(gone.hasText()); // as if erased character by character

    KvoString self(u"abab");
    self.replace(self, KvoString(u"X")); // the pattern is this string's own text
    EXPECT_EQ(text(self), u"X");
    KvoString grow(u"ab");
    grow.replace(KvoString(u"a"), grow);
    EXPECT_EQ(text(grow), u"abb");

    KvoString chars(u"a.b.c");
    EXPECT_EQ(text(chars.replace(u'.', u'/')), u"a/b/c");
    KvoString none;
    none.replace(u'a', u'b');
    EXPECT_FALSE(none.hasText());
}

// Every way of changing a string's text forgets the hash it remembered: after each change the
// hash equals that of the new text (the dictionaries find keys by it).
TEST_F(StringTest, EveryChangeForgetsTheRememberedHash)
{
    auto fresh = [](const KvoString& s) { return KvoString::hashText(s.c_str()); };
    KvoString s(u"abc");
    auto changed = [&](const char* how) {
        SCOPED_TRACE(how);
        EXPECT_EQ(s.hash(), fresh(s));
        EXPECT_EQ(s.hash(), fresh(s)); // remembered now
    };
    changed("initial");
    s += KvoString(u"d");
    changed("+= string");
    s += u"e";
    changed("+= text");
    s += u'f';
    ASSERT_GT(s.capacity(), s.length()); // the next append stays in the same block
    s += u'g';
    changed("+= character in place");
    s[0] = u'Z';
    changed("operator[]");
    s[3] = 0;
    changed("operator[] zero");
    EXPECT_EQ(text(s), u"Zbc");
    s.erase(0, 1);
    changed("erase");
    s.insert(1, KvoString(u"xy"));
    changed("insert string");
    s.insert(0, u'q', 2);
    changed("insert characters");
    s.replace(KvoString(u"xy"), KvoString(u"XY"));
    changed("replace");
    EXPECT_TRUE(s.replace(KvoString(u"XY"), KvoString(u"-"), 100));
    changed("bounded replace");
    s.replace(u'-', u'+');
    changed("replace character");
    s = KvoString(u"moved");
    changed("move assignment");
    KvoString other(u"copied");
    s = other;
    changed("copy assignment");
    s = u"plain";
    changed("text assignment");
    KvoVector values;
    values.push_back(KvoValue(std::int32_t{7}));
    ValPtr args(&values, 0);
    ASSERT_TRUE(KvoString::formatScript(s, u"n=%d", 1, args, 100));
    changed("formatScript");
    s.clear();
    changed("clear");
    KvoString copy(other), moved(std::move(other));
    EXPECT_EQ(copy.hash(), fresh(copy));
    EXPECT_EQ(moved.hash(), fresh(moved));
    EXPECT_EQ(other.hash(), fresh(other));
}

// Writes through an address handed out for native code are never seen by the string: its hash
// is then computed from the text every time, also after a later append in the same block.
TEST_F(StringTest, AnExposedTextIsHashedAfresh)
{
    KvoString s(u"abc");
    s += u'd'; // leaves room in the block
    s.hash();
    KvoChar* chars = s.exposeText();
    EXPECT_EQ(s.hash(), KvoString::hashText(u"abcd"));
    chars[0] = u'X';
    EXPECT_EQ(s.hash(), KvoString::hashText(u"Xbcd"));
    s += u'e';
    ASSERT_EQ(s.c_str(), chars);
    EXPECT_EQ(s.hash(), KvoString::hashText(u"Xbcde"));
    chars[1] = u'Y';
    EXPECT_EQ(s.hash(), KvoString::hashText(u"XYcde"));
    KvoString moved(std::move(s)); // the block keeps its exposure when it moves
    EXPECT_EQ(moved.hash(), KvoString::hashText(u"XYcde"));
    chars[2] = u'Z';
    EXPECT_EQ(moved.hash(), KvoString::hashText(u"XYZde"));
    // The address of a string value's characters (addr) exposes them too.
    KvoValue value(new KvoString(u"key"));
    value.getString()->hash();
    static_cast<KvoChar*>(value.addr())[0] = u'K';
    EXPECT_EQ(value.getString()->hash(), KvoString::hashText(u"Key"));
}

// ---- Script formatting --------------------------------------------------------------------------

TEST_F(ScriptFormatTest, TokenRules)
{
    FormatArgs a;
    a << KvoValue(std::int32_t(7)) << str(u"x");
    EXPECT_EQ(a.format(u"n=%d, %s!"), u"n=7, x!");

    FormatArgs b;
    b << KvoValue(1.5f);
    EXPECT_EQ(b.format(u"%5.2f"), u" 1.50");

    FormatArgs c;
    c << KvoValue(std::int32_t(1));
    EXPECT_EQ(c.format(u"a%%b"), u"ab"); // runs of % are one separator; "b" is not a conversion

    FormatArgs d;
    d << KvoValue(std::int32_t(7));
    EXPECT_EQ(d.format(u"x=%d y=%d"), u"x=7 y="); // the rest is dropped once the values run out

    // Text before the first % is plain, even when it looks like a conversion.
    FormatArgs e;
    e << KvoValue(std::int32_t(4));
    EXPECT_EQ(e.format(u"5d%d"), u"5d4");
    EXPECT_EQ(e.format(u"%d and %d"), u"4 and ");

    // Values of other types are converted to what each conversion needs.
    FormatArgs f;
    f << KvoValue(2.9) << KvoValue(std::int32_t(3)) << KvoValue(std::int32_t(65)) << KvoValue(std::int32_t(255));
    EXPECT_EQ(f.format(u"%d %.1f %c %X"), u"2 3.0 A FF");
}

TEST_F(ScriptFormatTest, NoTextResults)
{
    FormatArgs a;
    a << KvoValue(std::int32_t(1));
    a.format(u"plain", 0);
    EXPECT_FALSE(a.hadText());
    a.format(nullptr, 1);
    EXPECT_FALSE(a.hadText());
    a.format(u"", 1);
    EXPECT_FALSE(a.hadText());
    a.format(u"%%%", 1);
    EXPECT_FALSE(a.hadText());
    EXPECT_EQ(a.format(u"plain", 1), u"plain");
}

TEST_F(ScriptFormatTest, SizePrefixesNeverChangeWhatIsRead)
{
    // Whatever the prefix asks for, the value is passed as its 32-bit integer or double.
    FormatArgs a;
    a << KvoValue(std::int32_t(-5)) << KvoValue(std::int32_t(6)) << KvoValue(std::int32_t(7))
      << KvoValue(std::int32_t(8)) << KvoValue(std::int32_t(9)) << KvoValue(2.5);
    EXPECT_EQ(a.format(u"%lld|%I64d|%hd|%ld|%Id|%Lf"), u"-5|6|7|8|9|Lf");
    FormatArgs b;
    b << KvoValue(std::int32_t(-1));
    EXPECT_EQ(b.format(u"%llx"), u"ffffffff");
}

TEST_F(ScriptFormatTest, NeverWritesOrReadsThroughNumbers)
{
    // %n is not a conversion: it is printed as written, consumes no value and stores nothing.
    FormatArgs a;
    std::int32_t target = 12345;
    a << KvoValue(static_cast<void*>(&target));
    EXPECT_EQ(a.format(u"ab%n"), u"ab%n");
    EXPECT_EQ(target, 12345);
    FormatArgs a2;
    a2 << KvoValue(std::int32_t(5));
    EXPECT_EQ(a2.format(u"x%n%d"), u"x%n5");

    // %s of a number prints its print text, never a string at that address.
    FormatArgs b;
    b << KvoValue(std::int32_t(42)) << KvoValue(std::int32_t(-7)) << KvoValue(1.5);
    EXPECT_EQ(b.format(u"[%s][%4s][%s]"), u"[42][  -7][1.500000]");
    FormatArgs b2;
    b2 << KvoValue(std::int32_t(0x1000));
    EXPECT_EQ(b2.format(u"%S"), u"4096");

    // A width from the arguments is not supported: the token stays text and consumes nothing.
    FormatArgs c;
    c << KvoValue(std::int32_t(5)) << KvoValue(std::int32_t(6));
    EXPECT_EQ(c.format(u"%*d|%d"), u"*d|5");

    // %p prints an integer as a number and an object by its address.
    FormatArgs d;
    d << KvoValue(std::int32_t(0x1234));
    EXPECT_EQ(d.format(u"%p"), u"00001234");
}

TEST_F(ScriptFormatTest, TextOfStringsAndBuffers)
{
    auto* chars = new KvoCharBuffer(3);
    chars->push_back(u'a');
    chars->push_back(u'b');
    chars->push_back(u'c'); // full: no terminator inside the capacity
    auto* bytes = new KvoBuffer();
    for (char ch : std::string("h\xC3\xA9!"))
        bytes->push_back(static_cast<std::uint8_t>(ch));
    auto* s = new KvoString(u"str");

    FormatArgs a;
    a << KvoValue(chars) << KvoValue(bytes) << KvoValue(s, true) << KvoValue(s) << KvoValue(new KvoString());
    EXPECT_EQ(a.format(u"%s|%s|%s|%-5s|%s<"), u"abc|hé!|str|str  |<");

    // A buffer shows its text up to its size or its first zero.
    auto* zeroed = new KvoBuffer(8);
    zeroed->push_back('o');
    zeroed->push_back('k');
    zeroed->push_back(0);
    zeroed->push_back('x');
    FormatArgs b;
    b << KvoValue(zeroed) << KvoValue(new KvoCharBuffer());
    EXPECT_EQ(b.format(u"%s|%s"), u"ok|");

    // Anything else shows what print writes for it.
    FormatArgs c;
    c << KvoValue(new KvoVector());
    std::u16string shown = c.format(u"%s");
    EXPECT_EQ(shown.rfind(u"(KVT_VECTOR:", 0), 0u) << KvoString(shown.c_str()).a_str();

    // Typed NULLs (a module read can produce them) are shown without touching memory.
    FormatArgs d;
    d << KvoValue(static_cast<KvoString*>(nullptr)) << KvoValue(static_cast<KvoCharBuffer*>(nullptr))
      << KvoValue(static_cast<KvoBuffer*>(nullptr));
    shown = d.format(u"[%s][%s][%s]");
    EXPECT_EQ(shown.rfind(u"[][", 0), 0u) << KvoString(shown.c_str()).a_str();
}

TEST_F(ScriptFormatTest, CharacterConversions)
{
    FormatArgs a;
    a << KvoValue(std::int32_t(0x10041)) << KvoValue(std::int32_t(0xE9)) << KvoValue(std::int32_t(66));
    // A character is the low 16 bits of the integer, whether asked as %c or %C.
    EXPECT_EQ(a.format(u"%c%C%3c"), u"Aé  B");
}

// ---- KvoBuffer ----------------------------------------------------------------------------------

TEST_F(BufferTest, ConstructionAndGrowth)
{
    KvoBuffer b;
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(b.capacity(), 1u);
    EXPECT_EQ(KvoBuffer(0).capacity(), 1u);
    KvoBuffer sized(5);
    EXPECT_EQ(sized.capacity(), 5u);
    EXPECT_EQ(sized.size(), 0u);
    for (std::uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(sized[i], 0);

    EXPECT_EQ(b.push_back(1), 0u);
    EXPECT_EQ(b.capacity(), 1u);
    EXPECT_EQ(b.push_back(2), 1u);
    EXPECT_EQ(b.capacity(), 2u);
    EXPECT_EQ(b.push_back(3), 2u);
    EXPECT_EQ(b.capacity(), 4u);
    EXPECT_EQ(b[3], 0); // beyond the size
    EXPECT_EQ(b.pop_back(), 3);
    EXPECT_EQ(b[2], 0); // the popped slot is zeroed
    EXPECT_EQ(b.size(), 2u);
    b.clear();
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(b.capacity(), 4u);
    EXPECT_EQ(b[0], 0);
    EXPECT_EQ(b.pop_back(), 0); // empty
    EXPECT_EQ(b.size(), 0u);
}

TEST_F(BufferTest, SetCapacityNeverDropsContent)
{
    KvoBuffer b(8);
    for (std::uint8_t i = 1; i <= 6; ++i)
        b.push_back(i);
    EXPECT_EQ(b.setCapacity(2), 6u); // never below the size
    EXPECT_EQ(b.shrink(), 6u);
    EXPECT_EQ(b.setCapacity(10), 10u);
    for (std::uint32_t i = 6; i < 10; ++i)
        EXPECT_EQ(b[i], 0) << i; // new bytes are zero
    EXPECT_EQ(b[5], 6);
    KvoBuffer empty(4);
    EXPECT_EQ(empty.setCapacity(0), 1u);
    EXPECT_EQ(empty.shrink(), 1u);
}

TEST_F(BufferTest, WordAccessIsLittleEndian)
{
    KvoBuffer b;
    EXPECT_EQ(b.push_backW(0x1234), 0u);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0], 0x34);
    EXPECT_EQ(b[1], 0x12);
    EXPECT_EQ(b.pop_backW(), 0x1234);
    EXPECT_EQ(b.size(), 0u);

    EXPECT_EQ(b.push_back(0xAA), 0u);
    EXPECT_EQ(b.push_backDW(0x11223344), 1u);
    EXPECT_EQ(b.push_backNW(0xCAFEBABE), 5u);
    EXPECT_EQ(b.push_backW(0xBEEF), 9u);
    EXPECT_EQ(b.size(), 11u);
    EXPECT_EQ(b.getDW(1), 0x11223344u); // unaligned
    EXPECT_EQ(b.getW(2), 0x2233);
    EXPECT_EQ(b.getNW(5), 0xCAFEBABEu);
    b.setDW(3, 0xA1B2C3D4);
    EXPECT_EQ(b.size(), 11u); // setters do not change the size
    EXPECT_EQ(b.getDW(3), 0xA1B2C3D4u);
    EXPECT_EQ(b[3], 0xD4);
    b.setW(9, 0x0102);
    b.setNW(5, 0x55667788);
    // Popping in reverse order undoes the pushes.
    EXPECT_EQ(b.pop_backW(), 0x0102);
    EXPECT_EQ(b.pop_backNW(), 0x55667788u);
    EXPECT_EQ(b.pop_backDW(), 0xC3D43344u);
    EXPECT_EQ(b.pop_back(), 0xAA);
    EXPECT_EQ(b.size(), 0u);
    for (std::uint32_t i = 0; i < b.capacity(); ++i)
        EXPECT_EQ(b[i], 0) << i;
}

TEST_F(BufferTest, SetSize)
{
    KvoBuffer b(4);
    b.push_back(9);
    EXPECT_FALSE(b.setSize(5));
    EXPECT_EQ(b.size(), 1u);
    EXPECT_TRUE(b.setSize(4));
    EXPECT_EQ(b.size(), 4u);
    EXPECT_EQ(b[3], 0);
    EXPECT_TRUE(b.setSize(0));
    EXPECT_EQ(b.size(), 0u);
}

TEST_F(BufferTest, CopyConcatenateAndAppend)
{
    KvoBuffer a(10);
    a.push_back(1);
    a.push_back(2);
    a.setRefCnt(3);
    KvoBuffer copy(a);
    EXPECT_EQ(copy.size(), 2u);
    EXPECT_EQ(copy.capacity(), 10u);
    EXPECT_EQ(copy.getRefCnt(), 0);
    EXPECT_EQ(copy[1], 2);
    KvoBuffer assigned;
    assigned = a;
    EXPECT_EQ(assigned.getRefCnt(), 0);
    EXPECT_EQ(assigned.capacity(), 10u);
    assigned = assigned;
    EXPECT_EQ(assigned.size(), 2u);
    a.setRefCnt(0);

    KvoBuffer b;
    b.push_back(3);
    KvoValue sum(a + b); // a new buffer, owned by the value
    KvoBuffer* s = sum.getBuffer();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->size(), 3u);
    EXPECT_EQ(s->capacity(), 3u);
    EXPECT_EQ(s->getRefCnt(), 1);
    EXPECT_EQ(s->getW(1), 0x0302);
    KvoValue none(KvoBuffer() + KvoBuffer());
    EXPECT_EQ(none.getBuffer()->capacity(), 1u);

    a += b;
    EXPECT_EQ(a.size(), 3u);
    EXPECT_EQ(a.capacity(), 10u); // room enough: no growth
    KvoBuffer tight;
    tight.push_back(7);
    tight += a;
    EXPECT_EQ(tight.capacity(), 4u); // grown to the exact need
    tight += tight;
    EXPECT_EQ(tight.size(), 8u);
    EXPECT_EQ(tight.getDW(4), 0x03020107u);

    // Appending bytes taken from the buffer itself while it has to grow.
    KvoBuffer self;
    self.push_back(0x10);
    self.push_back(0x20);
    self.append(self.data(), self.size());
    self.append(self.data() + 1, 3);
    ASSERT_EQ(self.size(), 7u);
    EXPECT_EQ(self.getDW(0), 0x20102010u);
    EXPECT_EQ(self[4], 0x20);
    EXPECT_EQ(self[5], 0x10);
    EXPECT_EQ(self[6], 0x20);
}

// ---- KvoCharBuffer ------------------------------------------------------------------------------

TEST_F(CharBufferTest, GrowthAndAdjustSize)
{
    KvoCharBuffer c;
    c.push_back(u'a');
    c.push_back(u'b');
    c.push_back(u'c');
    EXPECT_EQ(c.capacity(), 4u);
    EXPECT_EQ(c.setCapacity(4), 4u);
    EXPECT_EQ(std::u16string(c.data()), u"abc");

    // Outside code writes text straight into the data.
    KvoCharBuffer input(8);
    const KvoChar line[] = u"hello";
    std::memcpy(input.data(), line, sizeof line);
    input.adjustSize();
    EXPECT_EQ(input.size(), 5u);
    // A text that filled the whole capacity loses its last unit to the terminator.
    for (std::uint32_t i = 0; i < input.capacity(); ++i)
        input[i] = u'x';
    input.adjustSize();
    EXPECT_EQ(input.size(), 7u);
    EXPECT_EQ(input[7], 0);

    KvoCharBuffer other;
    other.append(u"de", 2);
    KvoValue sum(c + other);
    EXPECT_EQ(std::u16string(sum.getCharBuffer()->data(), sum.getCharBuffer()->size()), u"abcde");
    EXPECT_EQ(sum.getCharBuffer()->capacity(), 5u);
    c += other;
    EXPECT_EQ(c.size(), 5u);
    EXPECT_EQ(c.capacity(), 5u);
    c.append(c.data(), c.size());
    EXPECT_EQ(std::u16string(c.data(), c.size()), u"abcdeabcde");
}

// The stored length must always equal the length counted on c_str(): after appends that reuse
// the block, after appending a string to itself, and after zeros written in place, which end
// the text where they stand.
TEST_F(StringTest, StoredLengthFollowsEveryChange)
{
    auto counted = [](const KvoString& s) { return static_cast<std::uint32_t>(std::u16string(s.c_str()).size()); };
    KvoString s;
    for (int i = 0; i < 1000; ++i) {
        s += static_cast<KvoChar>(u'a' + i % 26);
        ASSERT_EQ(s.length(), counted(s)) << "after append " << i;
    }
    EXPECT_EQ(s.length(), 1000u);
    EXPECT_GE(s.capacity(), s.length());
    s += s;
    EXPECT_EQ(s.length(), 2000u);
    EXPECT_EQ(text(s).substr(998, 4), u"klab");
    s += u"xyz";
    EXPECT_EQ(s.length(), counted(s));

    // A zero written through operator[] shortens the text; appending continues after it.
    s[5] = 0;
    EXPECT_EQ(s.length(), 5u);
    EXPECT_EQ(text(s), u"abcde");
    s += u"!";
    EXPECT_EQ(text(s), u"abcde!");
    EXPECT_EQ(s.find(u'!', 0), 5);
    EXPECT_EQ(text(s.substr(3, -1)), u"de!");

    // Appending a zero character keeps the text; on a string without text it makes "".
    s += u'\0';
    EXPECT_EQ(text(s), u"abcde!");
    KvoString none;
    none += u'\0';
    EXPECT_TRUE(none.hasText());
    EXPECT_EQ(none.length(), 0u);

    // Replacing by zero ends the text at the first replaced character.
    KvoString r(u"abcabc");
    r.replace(u'c', u'\0');
    EXPECT_EQ(r.length(), 2u);
    EXPECT_EQ(text(r + KvoString(u"z")), u"abz");

    // A text given with its length ends at an embedded zero, as c_str() shows it.
    const KvoChar withZero[] = {u'a', u'b', 0, u'c'};
    KvoString cut(withZero, 4);
    EXPECT_EQ(cut.length(), 2u);
    EXPECT_EQ(text(cut), u"ab");

    // Every editing operation leaves a matching length.
    KvoString e(u"abcdef");
    e.erase(1, 2);
    EXPECT_EQ(e.length(), counted(e));
    e.insert(2, KvoString(u"XY"));
    EXPECT_EQ(e.length(), counted(e));
    e.insert(0, u'-', 3);
    EXPECT_EQ(text(e), u"---adXYef");
    EXPECT_EQ(e.length(), 9u);
    e.insert(4, u'\0', 2);
    EXPECT_EQ(text(e), u"---a");
    EXPECT_EQ(e.length(), 4u);
    e.replace(KvoString(u"-"), KvoString(u"<>"));
    EXPECT_EQ(text(e), u"<><><>a");
    EXPECT_EQ(e.length(), 7u);
    KvoString moved(static_cast<KvoString&&>(e));
    EXPECT_EQ(moved.length(), 7u);
    EXPECT_EQ(e.length(), 0u);
    EXPECT_FALSE(e.hasText());
    e = static_cast<KvoString&&>(moved);
    EXPECT_EQ(text(e), u"<><><>a");
    e.clear();
    EXPECT_EQ(e.length(), 0u);
    EXPECT_EQ(KvoString::format(u"%d-%s", 42, u"x").length(), 4u);
}

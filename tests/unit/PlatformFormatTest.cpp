// Tests of the UTF-16 printf engine: numeric conversions against the C library's snprintf over a
// generated table of flags, widths, precisions and size prefixes, then text, characters,
// pointers, %n, '*', unknown conversions and the count, buffer and sink forms.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <locale.h>
#include <string>
#include <vector>

#include "platform/KvoFormat.h"

namespace {

std::u16string widen(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

// Every flag combination, widths and precisions around the interesting boundaries.
std::vector<std::string> flagWidthPrecisionSpecs()
{
    static const char FLAGS[] = "-+ #0";
    static const char* const WIDTHS[] = {"", "1", "8", "25"};
    static const char* const PRECISIONS[] = {"", ".", ".0", ".1", ".5", ".12"};
    std::vector<std::string> specs;
    for (unsigned mask = 0; mask < 32; ++mask) {
        std::string flags;
        for (unsigned bit = 0; bit < 5; ++bit)
            if (mask & (1u << bit))
                flags += FLAGS[bit];
        for (const char* width : WIDTHS)
            for (const char* precision : PRECISIONS)
                specs.push_back("%" + flags + width + precision);
    }
    return specs;
}

// Compares the engine with snprintf over every spec x conversion x value. The engine's format
// uses ourSize, snprintf's uses libcSize (the two differ where 'l' is 32-bit here).
class TableCheck {
public:
    template <typename T>
    void run(const char* ourSize, const char* libcSize, const char* conversions, const std::vector<T>& values)
    {
        for (const std::string& spec : flagWidthPrecisionSpecs())
            for (const char* conv = conversions; *conv; ++conv)
                for (T value : values)
                    check(spec + ourSize + *conv, spec + libcSize + *conv, value);
    }

    template <typename T>
    void check(const std::string& ours, const std::string& libc, T value)
    {
        ++m_checked;
        std::string expected(1024, '\0');
        const char* libcFormat = libc.c_str();
        int printed = std::snprintf(expected.data(), expected.size() + 1, libcFormat, value);
        auto length = static_cast<std::size_t>(printed);
        if (length > expected.size()) {
            expected.resize(length);
            std::snprintf(expected.data(), length + 1, libcFormat, value);
        }
        expected.resize(length);
        std::u16string actual = kvoFormatString(widen(ours).c_str(), value);
        if (actual != widen(expected) && ++m_mismatches <= 20)
            ADD_FAILURE() << "format " << ours << " (C library: " << libc << ") expected [" << expected
                          << "]";
    }

    ~TableCheck()
    {
        EXPECT_EQ(m_mismatches, 0) << "of " << m_checked << " formats";
    }

private:
    int m_checked = 0;
    int m_mismatches = 0;
};

TEST(PlatformFormatTable, IntegersMatchTheCLibrary)
{
    const std::vector<std::int32_t> values32 = {0, 1, -1, 42, 255, 123456789, INT32_MIN, INT32_MAX};
    const std::vector<long long> values64 = {0, -1, 4294967296LL, 0x123456789ABCDEFLL, INT64_MIN, INT64_MAX};
    const std::vector<std::intptr_t> valuesPointer = {0, -7, INTPTR_MIN, INTPTR_MAX};
    const std::vector<int> valuesNarrow = {0, 200, -129, 70000, -40000};
    TableCheck table;
    // None, l, w and I32 are 32-bit here.
    table.run("", "", "diuoxX", values32);
    table.run("l", "", "diuoxX", values32);
    table.run("I32", "", "dux", values32);
    table.run("ll", "ll", "diuoxX", values64);
    table.run("I64", "ll", "diuoxX", values64);
    table.run("I", "z", "dux", valuesPointer);
    table.run("z", "z", "dux", valuesPointer);
    table.run("h", "h", "diuoxX", valuesNarrow);
    table.run("hh", "hh", "diuoxX", valuesNarrow);
}

TEST(PlatformFormatTable, FloatsMatchTheCLibrary)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> values = {0.0,  -0.0, 1.5,   -2.25, 0.1, 123456.789, 1e300, 1e-300,
                                        5e-324, DBL_MAX, inf, -inf, nan, -nan};
    TableCheck table;
    table.run("", "", "eEfFgGaA", values);
    table.run("l", "l", "efg", values);
    table.run("L", "L", "efgaG", std::vector<long double>{0.0L, -1.5L, 1e300L, 1e-4000L});
}

TEST(PlatformFormatTable, StarWidthAndPrecisionMatchTheCLibrary)
{
    for (int width : {-12, -1, 0, 5, 12}) {
        for (int precision : {-3, -1, 0, 3, 10}) {
            char expected[128];
            std::snprintf(expected, sizeof expected, "[%*.*d|%-*.*x|%0*.*f]", width, precision, -42, width,
                          precision, 255u, width, precision, 2.5);
            EXPECT_EQ(kvoFormatString(u"[%*.*d|%-*.*x|%0*.*f]", width, precision, -42, width, precision, 255u,
                                      width, precision, 2.5),
                      widen(expected))
                << "width " << width << " precision " << precision;
        }
    }
}

TEST(PlatformFormatTable, LongFloatOutputTakesTheSlowPath)
{
    TableCheck table;
    table.check("%.600f", "%.600f", 1.0 / 3.0);
    table.check("%-+700.300e", "%-+700.300e", -1e300);
    table.check("%0800.1f", "%0800.1f", -1e300);
    table.check("%Lf", "%Lf", 1e4000L);
}

TEST(PlatformFormat, Utf16Text)
{
    EXPECT_EQ(kvoFormatString(u"[%s]", u"abc"), u"[abc]");
    EXPECT_EQ(kvoFormatString(u"[%5s|%-5s|%.2s|%.0s|%5.1s]", u"abc", u"abc", u"abc", u"abc", u"abc"),
              u"[  abc|abc  |ab||    a]");
    EXPECT_EQ(kvoFormatString(u"[%6s|%ls|%ws]", u"日本語", u"é", u"€"), u"[   日本語|é|€]");
    EXPECT_EQ(kvoFormatString(u"[%s|%8s|%.3s]", static_cast<const KvoChar*>(nullptr),
                              static_cast<const KvoChar*>(nullptr), static_cast<const KvoChar*>(nullptr)),
              u"[(null)|  (null)|(nu]");
    // The precision bounds the read: this array has no terminator.
    const KvoChar unterminated[3] = {u'x', u'y', u'z'};
    EXPECT_EQ(kvoFormatString(u"%.3s", unterminated), u"xyz");
}

TEST(PlatformFormat, Utf8TextIsDecoded)
{
    EXPECT_EQ(kvoFormatString(u"[%S|%hs]", "plain", "h\xC3\xA9llo"), u"[plain|héllo]");
    // Width and precision count UTF-16 units of the output.
    EXPECT_EQ(kvoFormatString(u"[%5S|%-5S|%.2S]", "\xE2\x82\xAC", "\xE6\x97\xA5\xE6\x9C\xAC",
                              "h\xE2\x82\xAC" "x"),
              u"[    €|日本   |h€]");
    // U+1F600 takes a surrogate pair, which precision never splits.
    EXPECT_EQ(kvoFormatString(u"[%S|%4S|%.2S|%.3S]", "a\xF0\x9F\x98\x80" "b", "\xF0\x9F\x98\x80",
                              "a\xF0\x9F\x98\x80", "a\xF0\x9F\x98\x80"),
              u"[a😀b|  😀|a|a😀]");
    // A byte that starts no valid sequence stands for itself.
    EXPECT_EQ(kvoFormatString(u"%S", "x\xFFy\xC3"), u"x\u00FFy\u00C3");
    EXPECT_EQ(kvoFormatString(u"[%S]", static_cast<const char*>(nullptr)), u"[(null)]");

    // Longer than one output chunk, mixing one-, two- and four-unit characters.
    std::string longText;
    std::u16string expected;
    for (int i = 0; i < 100; ++i) {
        longText += "a\xC3\xA9\xF0\x9F\x98\x80";
        expected += u"aé😀";
    }
    EXPECT_EQ(kvoFormatString(u"%S", longText.c_str()), expected);
    EXPECT_EQ(kvoFormatCount(u"%S", longText.c_str()), static_cast<int>(expected.size()));
}

TEST(PlatformFormat, Characters)
{
    EXPECT_EQ(kvoFormatString(u"[%c|%3c|%-3c|%lc|%wc]", u'x', u'é', u'€', u'y', u'z'),
              u"[x|  é|€  |y|z]");
    EXPECT_EQ(kvoFormatString(u"[%C|%hc|%C]", 'A', 'b', '\xE9'), u"[A|b|\u00E9]");
    // %c of 0 produces one unit of output.
    EXPECT_EQ(kvoFormatString(u"a%cb", 0), std::u16string(u"a\0b", 3));
}

TEST(PlatformFormat, PointersAreUpperCaseHexWithoutPrefix)
{
    void* low = reinterpret_cast<void*>(0xABCDu);
    void* high = reinterpret_cast<void*>(0x7FFF12345678u);
    EXPECT_EQ(kvoFormatString(u"%p", low), u"0000ABCD");
    EXPECT_EQ(kvoFormatString(u"%p", nullptr), u"00000000");
    EXPECT_EQ(kvoFormatString(u"%p", high), u"00007FFF12345678");
    EXPECT_EQ(kvoFormatString(u"[%10p|%-10p|%#p]", low, low, low), u"[  0000ABCD|0000ABCD  |0000ABCD]");
}

TEST(PlatformFormat, PercentNStoresTheCountSoFar)
{
    int count = -1;
    short shortCount = -1;
    long long longCount = -1;
    EXPECT_EQ(kvoFormatString(u"abc%nde%5d%hn|%S%lln", &count, 1, &shortCount, "\xE2\x82\xAC", &longCount),
              u"abcde    1|€");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(shortCount, 10);
    EXPECT_EQ(longCount, 12);
}

TEST(PlatformFormat, PercentAndUnknownConversions)
{
    EXPECT_EQ(kvoFormatString(u"100%% %d%%", 5), u"100% 5%");
    EXPECT_EQ(kvoFormatString(u"[%k|%-5y|%d]", 7), u"[%k|%-5y|7]");
    // A format ending inside a conversion prints what is there.
    EXPECT_EQ(kvoFormatString(u"abc%"), u"abc%");
    EXPECT_EQ(kvoFormatString(u"abc%-5"), u"abc%-5");
    EXPECT_EQ(kvoFormatString(u"%ld|%I64d", INT32_MIN, INT64_MIN), u"-2147483648|-9223372036854775808");
}

// Counts, then formats, with one va_list: the engine must leave the caller's list unused.
std::u16string countThenFormat(int* count, const KvoChar* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    *count = kvoFormatCountV(fmt, args);
    std::u16string text = kvoFormatStringV(fmt, args);
    va_end(args);
    return text;
}

TEST(PlatformFormat, CountEqualsFormattedLength)
{
    int count = 0;
    std::u16string text = countThenFormat(&count, u"%s=%-8d%S %.3e %p %c", u"név", -17, "\xE6\x97\xA5", 1e10,
                                          static_cast<void*>(&count), u'!');
    EXPECT_EQ(count, static_cast<int>(text.size()));
    EXPECT_EQ(text.substr(0, 14), u"név=-17     日 ");
    EXPECT_EQ(kvoFormatCount(u""), 0);
    EXPECT_EQ(kvoFormatCount(nullptr), -1);
    EXPECT_EQ(kvoFormatString(nullptr), u"");
}

TEST(PlatformFormat, BufferFormCutsTerminatesAndReturnsFullLength)
{
    KvoChar buffer[8];
    EXPECT_EQ(kvoFormatToBuffer(buffer, 5, u"hello %s", u"world"), 11);
    EXPECT_EQ(std::u16string(buffer), u"hell");
    EXPECT_EQ(kvoFormatToBuffer(buffer, 8, u"%d", 1234567), 7);
    EXPECT_EQ(std::u16string(buffer), u"1234567");
    EXPECT_EQ(kvoFormatToBuffer(buffer, 1, u"abc"), 3);
    EXPECT_EQ(buffer[0], 0);
    // Capacity 0: nothing is written, the length is still reported.
    buffer[0] = u'#';
    EXPECT_EQ(kvoFormatToBuffer(buffer, 0, u"abc"), 3);
    EXPECT_EQ(buffer[0], u'#');
    // Padding past the end is counted, not stored.
    EXPECT_EQ(kvoFormatToBuffer(buffer, 8, u"%100000d", 5), 100000);
    EXPECT_EQ(std::u16string(buffer), u"       ");
    EXPECT_EQ(kvoFormatToBuffer(buffer, 8, nullptr), -1);
    EXPECT_EQ(buffer[0], 0);
}

TEST(PlatformFormat, SinkReceivesEveryPiece)
{
    struct Collected {
        std::u16string text;
        int calls = 0;
    } collected;
    auto sink = [](void* context, const KvoChar* text, std::size_t length) {
        auto* target = static_cast<Collected*>(context);
        target->text.append(text, length);
        ++target->calls;
    };
    std::u16string expected = u"x=" + std::u16string(200, u' ') + u"42;";
    auto run = [&](const KvoChar* fmt, ...) {
        va_list args;
        va_start(args, fmt);
        int result = kvoFormatV(sink, &collected, fmt, args);
        va_end(args);
        return result;
    };
    EXPECT_EQ(run(u"x=%202d;", 42), static_cast<int>(expected.size()));
    EXPECT_EQ(collected.text, expected);
    EXPECT_GT(collected.calls, 3); // padding arrives in chunks
}

TEST(PlatformFormat, OutputPastIntMaxFails)
{
    EXPECT_EQ(kvoFormatCount(u"%2147483647d", 1), INT32_MAX);
    EXPECT_EQ(kvoFormatCount(u"%2147483647dx", 1), -1);
    EXPECT_EQ(kvoFormatCount(u"%99999999999d", 1), -1);
    EXPECT_EQ(kvoFormatCount(u"%.99999999999d", 1), -1);
    EXPECT_EQ(kvoFormatCount(u"%*d%*d", INT32_MIN, 1, 5, 1), -1);
}

TEST(PlatformFormat, FloatsIgnoreTheThreadLocale)
{
    locale_t comma = newlocale(LC_NUMERIC_MASK, "de_DE.UTF-8", static_cast<locale_t>(nullptr));
    if (!comma)
        GTEST_SKIP() << "no locale with a decimal comma installed";
    locale_t previous = uselocale(comma);
    std::u16string text = kvoFormatString(u"%.1f", 1.5);
    EXPECT_EQ(uselocale(static_cast<locale_t>(nullptr)), comma);
    uselocale(previous);
    freelocale(comma);
    EXPECT_EQ(text, u"1.5");
}

int count8(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int result = kvoFormatCount8V(fmt, args);
    int again = kvoFormatCount8V(fmt, args);
    va_end(args);
    EXPECT_EQ(result, again);
    return result;
}

TEST(PlatformFormat, Count8UsesTheCLibrary)
{
    EXPECT_EQ(count8("%d %s %5.2f", 42, "abc", 1.0), 12);
    EXPECT_EQ(count8(nullptr), -1);
}

} // namespace

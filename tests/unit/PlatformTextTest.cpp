// Tests of the UTF-16 text services: string functions, tokenizer, number parsing (checked against
// the C library's strtol, strtod and sscanf), character classes and UTF-8 conversion.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/KvoText.h"

namespace {

std::u16string widen(const char* ascii)
{
    return kvoFromUtf8(ascii);
}

} // namespace

TEST(PlatformText, CompareSearchAndCopy)
{
    EXPECT_EQ(kvoStrLen(u""), 0u);
    EXPECT_EQ(kvoStrLen(u"a\U0001F600"), 3u);

    // Units compare as unsigned values, so U+FFFF sorts after ASCII.
    EXPECT_EQ(kvoStrCmp(u"abc", u"abc"), 0);
    EXPECT_LT(kvoStrCmp(u"ab", u"abc"), 0);
    EXPECT_GT(kvoStrCmp(u"\uFFFF", u"z"), 0);
    EXPECT_EQ(kvoStrNCmp(u"abcX", u"abcY", 3), 0);
    EXPECT_LT(kvoStrNCmp(u"abcX", u"abcY", 4), 0);

    const KvoChar* text = u"banana";
    EXPECT_EQ(kvoStrChr(text, u'n'), text + 2);
    EXPECT_EQ(kvoStrRChr(text, u'n'), text + 4);
    EXPECT_EQ(kvoStrChr(text, 0), text + 6);
    EXPECT_EQ(kvoStrRChr(text, 0), text + 6);
    EXPECT_EQ(kvoStrChr(text, u'x'), nullptr);

    EXPECT_EQ(kvoStrStr(text, u"ana"), text + 1);
    EXPECT_EQ(kvoStrStr(text, u""), text);
    EXPECT_EQ(kvoStrStr(text, u"nab"), nullptr);
    EXPECT_EQ(kvoStrStr(text, u"nanas"), nullptr); // candidate runs past the end
    const KvoChar* restart = u"aab";
    EXPECT_EQ(kvoStrStr(restart, u"ab"), restart + 1); // a false start one unit earlier

    EXPECT_EQ(kvoStrSpn(u"  \tx ", u" \t"), 3u);
    EXPECT_EQ(kvoStrCSpn(u"key=value", u"=:"), 3u);
    EXPECT_EQ(kvoStrCSpn(u"plain", u"=:"), 5u);
    // One-character sets take a shorter way with the same answers; an empty set spans nothing.
    EXPECT_EQ(kvoStrSpn(u"%%d%", u"%"), 2u);
    EXPECT_EQ(kvoStrSpn(u"%%", u"%"), 2u);
    EXPECT_EQ(kvoStrSpn(u"d", u""), 0u);
    EXPECT_EQ(kvoStrCSpn(u"key%d", u"%"), 3u);
    EXPECT_EQ(kvoStrCSpn(u"key", u"%"), 3u);
    EXPECT_EQ(kvoStrCSpn(u"key", u""), 3u);

    KvoChar buffer[8] = {u'x', u'x', u'x', u'x', u'x', u'x', u'x', u'x'};
    EXPECT_EQ(kvoStrCpy(buffer, u"hi"), buffer);
    EXPECT_EQ(std::u16string(buffer), u"hi");
}

TEST(PlatformText, CaseInsensitiveCompare)
{
    EXPECT_EQ(kvoStrICmp(u"\u00C4BC", u"\u00E4bc"), 0);
    EXPECT_EQ(kvoStrICmp(u"\u0394\u03A9", u"\u03B4\u03C9"), 0); // Greek
    EXPECT_LT(kvoStrICmp(u"abc", u"ABD"), 0);
    EXPECT_GT(kvoStrICmp(u"ABCD", u"abc"), 0);
    // Letters compare in lower case, so '_' (0x5F) sorts before 'A' (seen as 0x61).
    EXPECT_LT(kvoStrICmp(u"_", u"A"), 0);

    EXPECT_EQ(kvoStrNICmp(u"HELLO world", u"hello WORLD!", 11), 0);
    EXPECT_NE(kvoStrNICmp(u"HELLO world", u"hello WORLD!", 12), 0);
    EXPECT_EQ(kvoStrNICmp(u"ab", u"AB", 10), 0);
}

TEST(PlatformText, CharacterClassesMatchTheCLibraryOnAscii)
{
    // The test process runs in the "C" locale; ASCII must classify exactly as there.
    for (int c = 0; c < 128; ++c) {
        const auto unit = static_cast<KvoChar>(c);
        SCOPED_TRACE(c);
        EXPECT_EQ(kvoIsSpace(unit), std::isspace(c) != 0);
        EXPECT_EQ(kvoIsDigit(unit), std::isdigit(c) != 0);
        EXPECT_EQ(kvoIsXDigit(unit), std::isxdigit(c) != 0);
        EXPECT_EQ(kvoIsAlpha(unit), std::isalpha(c) != 0);
        EXPECT_EQ(kvoIsAlnum(unit), std::isalnum(c) != 0);
        EXPECT_EQ(kvoIsUpper(unit), std::isupper(c) != 0);
        EXPECT_EQ(kvoIsLower(unit), std::islower(c) != 0);
        EXPECT_EQ(kvoIsPunct(unit), std::ispunct(c) != 0);
        EXPECT_EQ(kvoIsCntrl(unit), std::iscntrl(c) != 0);
        EXPECT_EQ(kvoIsPrint(unit), std::isprint(c) != 0);
        EXPECT_EQ(kvoIsGraph(unit), std::isgraph(c) != 0);
        EXPECT_EQ(kvoToLower(unit), std::tolower(c));
        EXPECT_EQ(kvoToUpper(unit), std::toupper(c));
    }
}

TEST(PlatformText, CharacterClassesBeyondAscii)
{
    EXPECT_TRUE(kvoIsAlpha(u'\u00C4'));
    EXPECT_TRUE(kvoIsUpper(u'\u00C4'));
    EXPECT_EQ(kvoToLower(u'\u00C4'), u'\u00E4');
    EXPECT_EQ(kvoToUpper(u'\u03C9'), u'\u03A9');
    EXPECT_EQ(kvoToUpper(u'\u00DF'), u'\u00DF'); // no one-unit upper case
    EXPECT_TRUE(kvoIsSpace(u'\u3000'));
    EXPECT_TRUE(kvoIsPunct(u'\u00BF'));
    EXPECT_TRUE(kvoIsCntrl(u'\u0085'));
    EXPECT_FALSE(kvoIsPrint(u'\u0085'));
    // Surrogate halves are no characters: no class, no mapping.
    EXPECT_FALSE(kvoIsAlpha(0xD83D));
    EXPECT_FALSE(kvoIsPrint(0xDE00));
    EXPECT_EQ(kvoToLower(0xD801), 0xD801);
}

TEST(PlatformText, TokenizerSkipsRunsOfDelimiters)
{
    std::u16string text = u",,one, two,,three,";
    KvoChar* state = nullptr;
    std::u16string tokens;
    for (KvoChar* token = kvoStrTok(text.data(), u", ", &state); token; token = kvoStrTok(nullptr, u", ", &state))
        tokens += std::u16string(token) + u'|';
    EXPECT_EQ(tokens, u"one|two|three|");
    EXPECT_EQ(kvoStrTok(nullptr, u", ", &state), nullptr); // stays finished

    // Tokens are cut in place.
    std::u16string pair = u"a=b";
    EXPECT_EQ(kvoStrTok(pair.data(), u"=", &state), pair.data());
    EXPECT_EQ(pair[1], 0);
    // Delimiters may change between calls.
    EXPECT_EQ(std::u16string(kvoStrTok(nullptr, u";", &state)), u"b");

    std::u16string empty;
    EXPECT_EQ(kvoStrTok(empty.data(), u",", &state), nullptr);
    std::u16string onlyDelims = u",,,";
    EXPECT_EQ(kvoStrTok(onlyDelims.data(), u",", &state), nullptr);
    std::u16string noDelims = u"whole";
    EXPECT_EQ(std::u16string(kvoStrTok(noDelims.data(), u"", &state)), u"whole");
    EXPECT_EQ(kvoStrTok(nullptr, u"", &state), nullptr);
}

TEST(PlatformText, StrToLMatchesStrtolClampedTo32Bits)
{
    struct Case
    {
        const char* text;
        int base;
    };
    const Case cases[] = {
        {"0", 0}, {"  42abc", 0}, {"\t\n-17", 10}, {"+5", 10}, {"-", 10}, {"+", 0}, {"", 0}, {"   ", 0},
        {"x", 0}, {"0x1fZ", 0}, {"0X7FFFFFFF", 0}, {"0x", 0}, {"0xg", 16}, {"-0x", 0}, {"0x10", 16},
        {"0x10", 10}, {"017", 0}, {"019", 0}, {"08", 0}, {"zz", 36}, {"ZZ", 36}, {"1012", 2},
        {"777", 8}, {"12", 1}, {"12", 37}, {"2147483647", 10}, {"2147483648", 10}, {"-2147483648", 10},
        {"-2147483649", 10}, {"99999999999999999999999", 10}, {"-99999999999999999999999x", 10},
        {"0xFFFFFFFF", 16}, {"000000000000000000000000001", 0}, {"- 5", 10}, {"1 2", 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\" base " + std::to_string(c.base));
        char* cEnd = nullptr;
        errno = 0;
        const long expected = std::strtol(c.text, &cEnd, c.base);
        const bool expectOverflow = errno == ERANGE || expected > INT32_MAX || expected < INT32_MIN;
        const long clamped = expected > INT32_MAX ? INT32_MAX : expected < INT32_MIN ? INT32_MIN : expected;
        if (errno == EINVAL)
            cEnd = const_cast<char*>(c.text); // glibc leaves the end unset for a bad base

        const std::u16string text = widen(c.text);
        const KvoChar* end = nullptr;
        bool overflow = !expectOverflow;
        EXPECT_EQ(kvoStrToL(text.c_str(), &end, c.base, &overflow), clamped);
        EXPECT_EQ(end - text.c_str(), cEnd - c.text);
        EXPECT_EQ(overflow, expectOverflow);
    }
}

TEST(PlatformText, StrToULSaturatesAndNegatesLikeC)
{
    bool overflow = true;
    const KvoChar* end = nullptr;
    const std::u16string max = u"4294967295";
    EXPECT_EQ(kvoStrToUL(max.c_str(), &end, 10, &overflow), 4294967295u);
    EXPECT_FALSE(overflow);
    EXPECT_EQ(end, max.c_str() + max.size());
    EXPECT_EQ(kvoStrToUL(u"4294967296", nullptr, 10, &overflow), UINT32_MAX);
    EXPECT_TRUE(overflow);
    EXPECT_EQ(kvoStrToUL(u"-1", nullptr, 10, &overflow), UINT32_MAX);
    EXPECT_FALSE(overflow);
    EXPECT_EQ(kvoStrToUL(u"-0x10", nullptr, 0), 0xFFFFFFF0u);
    EXPECT_EQ(kvoStrToUL(u"-4294967296", nullptr, 10, &overflow), UINT32_MAX);
    EXPECT_TRUE(overflow);
    EXPECT_EQ(kvoStrToUL(u"0xffffffff", nullptr, 0), 0xFFFFFFFFu);

    // Non-ASCII digits and letters are no digits; U+3000 is leading white space.
    const std::u16string wide = u"\u30007\u0663";
    EXPECT_EQ(kvoStrToL(wide.c_str(), &end, 10), 7);
    EXPECT_EQ(end, wide.c_str() + 2);
    EXPECT_EQ(kvoStrToL(u"\uFF11", &end, 0), 0);
}

TEST(PlatformText, ScanDoubleMatchesSscanf)
{
    const char* const inputs[] = {"  1.5e3xyz", "-inf", "nan", ".5", "1e", "0x1p3", "", "  -0.25 ",
                                  "+7", "1e-400", "1e400", "Infinity", "nan(12)", ".", "-", "abc"};
    for (const char* input : inputs) {
        SCOPED_TRACE(std::string("\"") + input + "\"");
        double expected = 0;
        const bool expectMatch = std::sscanf(input, "%lf", &expected) == 1;
        const std::u16string text = widen(input);
        double value = -12345;
        ASSERT_EQ(kvoScanDouble(text.c_str(), &value), expectMatch);
        if (!expectMatch) {
            EXPECT_EQ(value, -12345); // untouched
        }
        else if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(value));
        }
        else {
            EXPECT_EQ(value, expected);
        }
    }
}

TEST(PlatformText, ScanDoubleStopsWhereStrtodStops)
{
    const char* const inputs[] = {"  1.5e3xyz", "1e", "1e+", "0x1p", "0x", "nan(12)x", "infinity!", "12.5.6"};
    for (const char* input : inputs) {
        SCOPED_TRACE(std::string("\"") + input + "\"");
        char* cEnd = nullptr;
        const double expected = std::strtod(input, &cEnd);
        const std::u16string text = widen(input);
        double value = 0;
        const KvoChar* end = nullptr;
        ASSERT_TRUE(kvoScanDouble(text.c_str(), &value, &end));
        EXPECT_EQ(end - text.c_str(), cEnd - input);
        if (!std::isnan(expected)) {
            EXPECT_EQ(value, expected);
        }
    }

    // A non-ASCII unit ends the number; no match leaves *end at the start.
    const std::u16string wide = u"2.5\u00B2";
    double value = 0;
    const KvoChar* end = nullptr;
    ASSERT_TRUE(kvoScanDouble(wide.c_str(), &value, &end));
    EXPECT_EQ(value, 2.5);
    EXPECT_EQ(end, wide.c_str() + 3);
    const std::u16string none = u" \u00BD";
    EXPECT_FALSE(kvoScanDouble(none.c_str(), &value, &end));
    EXPECT_EQ(end, none.c_str());

    // Longer than the stack buffer: hundreds of digits still convert exactly.
    const std::string longText = "0." + std::string(300, '0') + "1e301";
    const std::u16string longWide = widen(longText.c_str());
    ASSERT_TRUE(kvoScanDouble(longWide.c_str(), &value, &end));
    EXPECT_EQ(value, 1.0);
    EXPECT_EQ(end, longWide.c_str() + longWide.size());
}

TEST(PlatformText, Utf8RoundTripsEveryCodePoint)
{
    char bytes[4];
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp == 0xD800)
            cp = 0xE000;
        const std::size_t count = kvoEncodeUtf8(cp, bytes);
        std::uint32_t decoded = 0xFFFFFFFF;
        ASSERT_EQ(kvoDecodeUtf8(reinterpret_cast<unsigned char*>(bytes), count, &decoded), count) << cp;
        ASSERT_EQ(decoded, cp);
        ASSERT_EQ(count, cp < 0x80 ? 1u : cp < 0x800 ? 2u : cp < 0x10000 ? 3u : 4u);
    }
    // Surrogates and code points past U+10FFFF cannot be encoded: they give U+FFFD.
    EXPECT_EQ(std::string(bytes, kvoEncodeUtf8(0xDC00, bytes)), "\xEF\xBF\xBD");
    EXPECT_EQ(std::string(bytes, kvoEncodeUtf8(0x110000, bytes)), "\xEF\xBF\xBD");

    const std::u16string text = u"a\u00E9\u20AC\U0001F600\U0010FFFF";
    const std::string utf8 = kvoToUtf8(text.c_str());
    EXPECT_EQ(utf8, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
    EXPECT_EQ(kvoFromUtf8(utf8.c_str()), text);
    // Lengths are exact: zero units and bytes are ordinary text.
    EXPECT_EQ(kvoToUtf8(u"x\0y", 3), std::string("x\0y", 3));
    EXPECT_EQ(kvoFromUtf8("x\0y", 3), std::u16string(u"x\0y", 3));
    EXPECT_EQ(kvoFromUtf8(nullptr), u"");
    EXPECT_EQ(kvoToUtf8(nullptr), "");
    std::uint32_t cp = 7;
    EXPECT_EQ(kvoDecodeUtf8(reinterpret_cast<const unsigned char*>("a"), 0, &cp), 0u);
}

TEST(PlatformText, InvalidUtf8BytesStandForThemselves)
{
    struct Case
    {
        const char* bytes;
        const char16_t* expected;
    };
    const Case cases[] = {
        {"\x80", u"\u0080"},                           // lone continuation byte
        {"\xFF\xFE", u"\u00FF\u00FE"},                 // never valid
        {"\xC0\xAF", u"\u00C0\u00AF"},                 // overlong '/'
        {"\xE0\x80\xAF", u"\u00E0\u0080\u00AF"},       // overlong, 3 bytes
        {"\xF0\x8F\xBF\xBF", u"\u00F0\u008F\u00BF\u00BF"}, // overlong, 4 bytes
        {"\xED\xA0\x80", u"\u00ED\u00A0\u0080"},       // encoded surrogate
        {"\xF4\x90\x80\x80", u"\u00F4\u0090\u0080\u0080"}, // past U+10FFFF
        {"\xF5\x80\x80\x80", u"\u00F5\u0080\u0080\u0080"},
        {"\xE2\x82", u"\u00E2\u0082"},                 // cut short by the end
        {"\xE2\x82" "A\xE2\x82\xAC", u"\u00E2\u0082A\u20AC"}, // cut short, then valid
        {"\xC3" "\xC3\xA9", u"\u00C3\u00E9"},          // a bad continuation restarts decoding
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(kvoFromUtf8(c.bytes), c.expected);
    }

    std::uint32_t cp = 0;
    EXPECT_EQ(kvoDecodeUtf8(reinterpret_cast<const unsigned char*>("\xE2\x82\xAC"), 2, &cp), 1u);
    EXPECT_EQ(cp, 0xE2u);
}

TEST(PlatformText, UnpairedSurrogatesBecomeReplacementCharacters)
{
    const KvoChar high = 0xD83D;
    const KvoChar low = 0xDE00;
    const KvoChar reversed[] = {low, high, 0};
    EXPECT_EQ(kvoToUtf8(reversed), "\xEF\xBF\xBD\xEF\xBF\xBD");
    const KvoChar lonely[] = {u'a', high, u'b', low, 0};
    EXPECT_EQ(kvoToUtf8(lonely), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    // A pair split by the length limit is two unpaired halves.
    const KvoChar pair[] = {high, low, 0};
    EXPECT_EQ(kvoToUtf8(pair, 1), "\xEF\xBF\xBD");
    EXPECT_EQ(kvoToUtf8(pair, 2), "\xF0\x9F\x98\x80");
}

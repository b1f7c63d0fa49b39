// Tests of the scanner: token streams for every token kind, numbers, escapes, literals and
// comments, the include chain, push-back, line and position tracking with the exact diagnostic
// text, UTF-8 file sources, and input that is broken on purpose (unterminated constructs, long
// lines, binary garbage).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "compiler/KvoScanner.h"
#include "host/KvoStringPrinter.h"
#include "platform/KvoFormat.h"
#include "platform/KvoText.h"

namespace {

std::string utf8(const KvoChar* text) { return kvoToUtf8(text); }

// A temporary stream holding bytes, positioned at the start; the scanner takes it over.
std::FILE* streamWith(const std::string& bytes)
{
    std::FILE* stream = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::rewind(stream);
    return stream;
}

// One token as a short text: identifiers, numbers, strings and single characters with their
// text or value, keywords and operators by their display text.
std::string describe(KvoScanner& scanner, KvoToken token)
{
    switch (token) {
    case TOK_IDENT:
        return "id:" + utf8(scanner.getTokenString());
    case TOK_LONG:
        return "long:" + std::to_string(scanner.getLong());
    case TOK_FLOAT:
        return "float:" + utf8(kvoFormatString(u"%g", scanner.getDouble()).c_str());
    case TOK_STRING:
        return "str:" + utf8(scanner.getTokenString());
    case TOK_ANY:
        return "any:" + utf8(scanner.getTokenName(TOK_ANY));
    default:
        return utf8(scanner.getTokenName(token));
    }
}

// Every token up to the end, space-separated (at most limit tokens, so a fault cannot hang).
std::string scanAll(KvoScanner& scanner, int limit = 1000)
{
    std::string out;
    for (KvoToken token = scanner.getToken(); token != TOK_EOF && limit-- > 0; token = scanner.getToken())
        out += (out.empty() ? "" : " ") + describe(scanner, token);
    return out;
}

std::string scanText(const KvoChar* text)
{
    KvoScanner scanner(text, u"test.kvo");
    return scanAll(scanner);
}

std::string scanBytes(const std::string& bytes)
{
    KvoScanner scanner(streamWith(bytes), u"test.kvo");
    return scanAll(scanner);
}

// The diagnostic of the first error token, as UTF-8.
std::string firstError(const KvoChar* text)
{
    KvoScanner scanner(text, u"e.kvo");
    for (KvoToken token = scanner.getToken(); token != TOK_EOF; token = scanner.getToken()) {
        if (token == TOK_ERROR)
            return utf8(scanner.getTokenString());
    }
    return "";
}

} // namespace

TEST(ScannerTest, TokenTableGivesFixedCodesAndTexts)
{
    EXPECT_STREQ(utf8(kvoTokenText(TOK_NOTOKEN)).c_str(), "<notoken>");
    EXPECT_STREQ(utf8(kvoTokenText(TOK_FLOAT)).c_str(), "<float>");
    EXPECT_STREQ(utf8(kvoTokenText(KvoToken(28))).c_str(), "eval");
    EXPECT_STREQ(utf8(kvoTokenText(KvoToken(35))).c_str(), "null");
    EXPECT_STREQ(utf8(kvoTokenText(KvoToken(57))).c_str(), "=>");
    EXPECT_STREQ(utf8(kvoTokenText(TOK_ANY)).c_str(), "<any>");
    EXPECT_STREQ(utf8(kvoTokenText(KvoToken(61))).c_str(), "invalid token");
    EXPECT_STREQ(utf8(kvoTokenText(KvoToken(-1))).c_str(), "invalid token");

    KvoScanner scanner(u"$", u"t");
    EXPECT_EQ(scanner.getToken(), TOK_ANY);
    EXPECT_EQ(scanner.getChar(), u'$');
    EXPECT_STREQ(utf8(scanner.getTokenName(TOK_ANY)).c_str(), "$");
    EXPECT_STREQ(utf8(scanner.getTokenName(TOK_SCOPE)).c_str(), "::");
}

TEST(ScannerTest, KeywordsAreExactAndCaseSensitive)
{
    EXPECT_EQ(scanText(u"class static if else while return for break continue do switch case default"),
              "class static if else while return for break continue do switch case default");
    EXPECT_EQ(scanText(u"new delete try catch throw var function operator TRON TROFF TRSTEP"),
              "new delete try catch throw var function operator TRON TROFF TRSTEP");
    // nil and null are one token; the four reserved display texts scan as identifiers.
    EXPECT_EQ(scanText(u"nil null eval public protected private"),
              "null null id:eval id:public id:protected id:private");
    // Identifier characters are letters with a case, digits and "_"; other letters are single
    // characters.
    EXPECT_EQ(scanText(u"Class tron classes _if if2 x_1 \u00e9t\u00e9 \u4e2d"),
              "id:Class id:tron id:classes id:_if id:if2 id:x_1 id:\xc3\xa9t\xc3\xa9 any:\xe4\xb8\xad");
}

TEST(ScannerTest, OperatorsTakeTheLongestMatch)
{
    EXPECT_EQ(scanText(u"+ ++ += - -- -= -> * *= / /= % %= & && &= | || |= ^ ^= ~ ~= ! !="),
              "any:+ ++ += any:- -- -= -> any:* *= any:/ /= any:% %= any:& && &= any:| || |= any:^ ^= any:~ ~= any:! !=");
    EXPECT_EQ(scanText(u"= == => < << <<= <= > >> >>= >= : ::"), "any:= == => any:< << <<= <= any:> >> >>= >= any:: ::");
    EXPECT_EQ(scanText(u"a+=b a=>b x->y"), "id:a += id:b id:a => id:b id:x -> id:y");
    EXPECT_EQ(scanText(u"a<< =b +++ <<== ->>"), "id:a << any:= id:b ++ any:+ <<= any:= -> any:>");
    EXPECT_EQ(scanText(u"(){}[];,.?$`\\"), "any:( any:) any:{ any:} any:[ any:] any:; any:, any:. any:? any:$ any:` any:\\");
    // The token text of an operator is its own text.
    KvoScanner scanner(u">>=", u"t");
    EXPECT_EQ(scanner.getToken(), TOK_SHR_ASSIGN);
    EXPECT_STREQ(utf8(scanner.getTokenString()).c_str(), ">>=");
}

TEST(ScannerTest, NumbersFollowBaseAndFloatRules)
{
    EXPECT_EQ(scanText(u"0x1F 0X1f 017 0 42 1.5e-3 1e 1E+2 2.5"),
              "long:31 long:31 long:15 long:0 long:42 float:0.0015 float:1 float:100 float:2.5");
    EXPECT_EQ(scanText(u"1.2.3"), "float:1.2 any:. long:3");
    EXPECT_EQ(scanText(u"10x5 .5 0x 1ex 08"), "long:10 any:. long:5 long:0 float:1 id:x long:0");
    KvoScanner scanner(u"1.5e-3 0x1F", u"t");
    EXPECT_EQ(scanner.getToken(), TOK_FLOAT);
    EXPECT_STREQ(utf8(scanner.getTokenString()).c_str(), "1.5e-3");
    EXPECT_EQ(scanner.getToken(), TOK_LONG);
    EXPECT_STREQ(utf8(scanner.getTokenString()).c_str(), "0x1F");
    KvoScanner huge(u"1e999", u"t");
    EXPECT_EQ(huge.getToken(), TOK_FLOAT);
    EXPECT_TRUE(std::isinf(huge.getDouble()));
}

TEST(ScannerTest, IntegerLiteralsKeepTheir32BitPatternAndRejectMore)
{
    EXPECT_EQ(scanText(u"2147483647 2147483648 0xFFFFFFFF 0x80000000 4294967295 037777777777"),
              "long:2147483647 long:-2147483648 long:-1 long:-2147483648 long:-1 long:-1");
    EXPECT_EQ(scanText(u"4294967296 0x100000000 99999999999999999999999 7"), "<error> <error> <error> long:7");
    EXPECT_EQ(firstError(u"x = 4294967296;"),
              "--> integer literal too large \nin e.kvo line 1 pos 15 \nx = 4294967296;\n\n");
}

TEST(ScannerTest, StringEscapesAndConcatenation)
{
    KvoScanner scanner(u"\"\\a\\b\\f\\n\\r\\t\\v\\\\\\\"\\'\\x41\\65\\0101\\0x41\\q\"", u"t");
    ASSERT_EQ(scanner.getToken(), TOK_STRING);
    EXPECT_EQ(std::u16string(scanner.getTokenString()), u"\a\b\f\n\r\t\v\\\"'x41AAAq");

    EXPECT_EQ(scanText(u"\"ab\"  \n\t \"cd\" \"e\" x"), "str:abcde id:x");
    EXPECT_EQ(scanText(u"\"ab\" /* c */ \"cd\""), "str:ab str:cd");
    EXPECT_EQ(scanText(u"\"two\nlines\" \"//not a comment\""), "str:two\nlines//not a comment");
    EXPECT_EQ(scanText(u"\"\" x"), "str: id:x");
    // A numeric escape is read like a number: a float is an error, the rest of the literal is
    // still consumed and scanning goes on behind it.
    EXPECT_EQ(scanText(u"\"a\\1.5b\" x \"\\99999999999\" y"), "<error> id:x <error> id:y");
    EXPECT_EQ(firstError(u"s = \"ab\\1.5cd\";"),
              "--> number literal expected \nin e.kvo line 1 pos 12 \ns = \"ab\\1.5cd\";\n\n");
}

TEST(ScannerTest, CharacterLiterals)
{
    EXPECT_EQ(scanText(u"'A' '\\65' '\\0x41' '\\0101' '\\n' ''' '\\\\' '\"'"),
              "long:65 long:65 long:65 long:65 long:10 long:39 long:92 long:34");
    // The low 16 bits of a numeric escape are the character.
    EXPECT_EQ(scanText(u"'\\65601' '\\0xFFFF'"), "long:65 long:65535");
    EXPECT_EQ(scanText(u"'ab' x"), "<error> id:b <error> id:x");
    EXPECT_EQ(firstError(u"c = 'ab';"), "--> closing single quote expected \nin e.kvo line 1 pos 7 \nc = 'ab';\n\n");
    EXPECT_EQ(scanText(u"'\\1.5' z"), "<error> id:z");
    EXPECT_EQ(firstError(u"'\\1.5'"), "--> number literal expected \nin e.kvo line 1 pos 6 \n'\\1.5'\n\n");
}

TEST(ScannerTest, FourKindsOfComment)
{
    EXPECT_EQ(scanText(u"a /* b \n c */ d // e f\n g"), "id:a id:d id:g");
    EXPECT_EQ(scanText(u"a/**/b /*/ still comment */ c /***/ d"), "id:a id:b id:c id:d");
    EXPECT_EQ(scanText(u"#! line\n@ line\n x # y #include @"), "id:x any:# id:y any:# id:include");
    EXPECT_EQ(scanText(u"a // end without line feed"), "id:a");
    EXPECT_EQ(scanText(u"a #!x"), "id:a");
    EXPECT_EQ(scanText(u"a /* never closed \n\n b"), "id:a");
}

TEST(ScannerTest, LinesAndPositionsAndExactDiagnostic)
{
    KvoScanner scanner(u"alpha\n  beta gamma\r\n\n  delta", u"pos.kvo");
    EXPECT_EQ(scanner.getLineNumber(), 0);
    ASSERT_EQ(scanner.getToken(), TOK_IDENT);
    EXPECT_EQ(scanner.getLineNumber(), 1);
    EXPECT_EQ(scanner.getLinePos(), 6u); // the line feed read after the identifier
    ASSERT_EQ(scanner.getToken(), TOK_IDENT);
    EXPECT_EQ(scanner.getLineNumber(), 2);
    EXPECT_EQ(scanner.getLinePos(), 7u);

    KvoStringPrinter printer;
    EXPECT_EQ(scanner.parseError(u"something wrong"), TOK_ERROR);
    printer(u"%s", scanner.getTokenString());
    EXPECT_STREQ(printer.a_str(), "--> something wrong \nin pos.kvo line 2 pos 7 \n  beta gamma\r\n\n");

    ASSERT_EQ(scanner.getToken(), TOK_IDENT);
    ASSERT_EQ(scanner.getToken(), TOK_IDENT);
    EXPECT_STREQ(utf8(scanner.getTokenString()).c_str(), "delta");
    EXPECT_EQ(scanner.getLineNumber(), 4);
    EXPECT_EQ(scanner.getToken(), TOK_EOF);
    EXPECT_EQ(scanner.getToken(), TOK_EOF);
    EXPECT_STREQ(utf8(scanner.getSourceName()).c_str(), "pos.kvo");

    // A diagnostic before any line was read quotes an empty line.
    KvoScanner fresh(u"x", u"f");
    fresh.parseError(u"m");
    EXPECT_STREQ(utf8(fresh.getTokenString()).c_str(), "--> m \nin f line 0 pos 0 \n\n");

    // Columns count characters: a character outside the BMP is one column.
    KvoScanner wide(u"\"\U0001D11E\" x", u"w");
    ASSERT_EQ(wide.getToken(), TOK_STRING);
    ASSERT_EQ(wide.getToken(), TOK_IDENT);
    EXPECT_EQ(wide.getLinePos(), 6u);
}

TEST(ScannerTest, BackHandsOneTokenBack)
{
    KvoScanner scanner(u"first 42 second", u"t");
    EXPECT_FALSE(scanner.back()); // nothing read yet
    ASSERT_EQ(scanner.getToken(), TOK_IDENT);
    EXPECT_TRUE(scanner.back());
    EXPECT_FALSE(scanner.back());
    ASSERT_EQ(scanner.getToken(), TOK_IDENT);
    EXPECT_STREQ(utf8(scanner.getTokenString()).c_str(), "first");
    ASSERT_EQ(scanner.getToken(), TOK_LONG);
    // A diagnostic replaces the token text, but the handed-back token comes back whole.
    scanner.parseError(u"bad");
    EXPECT_NE(utf8(scanner.getTokenString()).find("--> bad"), std::string::npos);
    EXPECT_TRUE(scanner.back());
    ASSERT_EQ(scanner.getToken(), TOK_LONG);
    EXPECT_EQ(scanner.getLong(), 42);
    EXPECT_STREQ(utf8(scanner.getTokenString()).c_str(), "42");
    ASSERT_EQ(scanner.getToken(), TOK_IDENT);
    EXPECT_STREQ(utf8(scanner.getTokenString()).c_str(), "second");
    EXPECT_EQ(scanner.getToken(), TOK_EOF);
}

TEST(ScannerTest, IncludeChainDeliversNestedSourcesThenResumes)
{
    KvoScanner scanner(u"# include \"inc\"\nafter", u"outer.kvo");
    EXPECT_EQ(describe(scanner, scanner.getToken()), "any:#");
    EXPECT_EQ(describe(scanner, scanner.getToken()), "id:include");
    EXPECT_EQ(describe(scanner, scanner.getToken()), "str:inc");
    ASSERT_TRUE(scanner.push(u"\n\ninner1 # deeper", u"inner.kvo"));
    EXPECT_EQ(describe(scanner, scanner.getToken()), "id:inner1");
    EXPECT_STREQ(utf8(scanner.getSourceName()).c_str(), "inner.kvo");
    EXPECT_EQ(scanner.getLineNumber(), 3);
    EXPECT_EQ(describe(scanner, scanner.getToken()), "any:#");
    ASSERT_TRUE(scanner.push(streamWith("innermost\n"), u"file.kvo"));
    EXPECT_EQ(describe(scanner, scanner.getToken()), "id:innermost");
    EXPECT_STREQ(utf8(scanner.getSourceName()).c_str(), "file.kvo");
    // Each nested end is passed over silently.
    EXPECT_EQ(describe(scanner, scanner.getToken()), "id:deeper");
    EXPECT_STREQ(utf8(scanner.getSourceName()).c_str(), "inner.kvo");
    EXPECT_EQ(describe(scanner, scanner.getToken()), "id:after");
    EXPECT_STREQ(utf8(scanner.getSourceName()).c_str(), "outer.kvo");
    EXPECT_EQ(scanner.getLineNumber(), 2);
    scanner.parseError(u"here");
    EXPECT_STREQ(utf8(scanner.getTokenString()).c_str(), "--> here \nin outer.kvo line 2 pos 6 \nafter\n\n");
    EXPECT_EQ(scanner.getToken(), TOK_EOF);
}

TEST(ScannerTest, IncludeDepthIsLimited)
{
    KvoScanner scanner(u"outer", u"o.kvo");
    for (int i = 0; i < KVO_MAX_INCLUDE_DEPTH; ++i)
        ASSERT_TRUE(scanner.push(u"x", u"n.kvo"));
    // The refused file is closed all the same.
    std::FILE* file = streamWith("y");
    const int fd = fileno(file);
    EXPECT_FALSE(scanner.push(file, u"deep.kvo"));
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(utf8(scanner.getTokenString()),
              "--> include files nested too deeply (limit is 64) \nin n.kvo line 0 pos 0 \n\n");
    int identifiers = 0;
    for (KvoToken token = scanner.getToken(); token != TOK_EOF; token = scanner.getToken())
        identifiers += token == TOK_IDENT;
    EXPECT_EQ(identifiers, KVO_MAX_INCLUDE_DEPTH + 1);
}

TEST(ScannerTest, FileSourceIsOwnedAndClosed)
{
    std::FILE* file = streamWith("a b");
    const int fd = fileno(file);
    {
        KvoScanner scanner(file, u"f.kvo");
        EXPECT_EQ(scanAll(scanner), "id:a id:b");
        EXPECT_NE(fcntl(fd, F_GETFD), -1);
    }
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    // A nested file is closed as soon as it has been read.
    std::FILE* nestedFile = streamWith("n");
    const int nestedFd = fileno(nestedFile);
    KvoScanner outer(u"o", u"o.kvo");
    ASSERT_TRUE(outer.push(nestedFile, u"n.kvo"));
    EXPECT_EQ(scanAll(outer), "id:n id:o");
    EXPECT_EQ(fcntl(nestedFd, F_GETFD), -1);

    KvoScanner nullFile(static_cast<std::FILE*>(nullptr), u"none");
    EXPECT_EQ(nullFile.getToken(), TOK_EOF);
    KvoScanner nullText(static_cast<const KvoChar*>(nullptr), u"none");
    EXPECT_EQ(nullText.getToken(), TOK_EOF);
}

TEST(ScannerTest, FileSourceDecodesUtf8)
{
    const std::string literal = "h\xc3\xa9llo \xe2\x82\xac \xf0\x9d\x84\x9e \xe4\xb8\xad";
    KvoScanner scanner(streamWith("s = \"" + literal + "\"; x"), u"u.kvo");
    scanner.getToken();
    scanner.getToken();
    ASSERT_EQ(scanner.getToken(), TOK_STRING);
    EXPECT_EQ(std::u16string(scanner.getTokenString()), u"h\u00e9llo \u20ac \U0001D11E \u4e2d");
    EXPECT_EQ(utf8(scanner.getTokenString()), literal);
    // Columns count characters, not bytes or units.
    ASSERT_EQ(scanner.getToken(), TOK_ANY);
    EXPECT_EQ(scanner.getLinePos(), 18u);

    // Invalid bytes stand for themselves; U+FFFF does not end the input.
    EXPECT_EQ(scanBytes("\"\xff\xc3(\xe2\x82\" x"), "str:\xc3\xbf\xc3\x83(\xc3\xa2\xc2\x82 id:x");
    EXPECT_EQ(scanBytes("\"\xef\xbf\xbf\" x"), "str:\xef\xbf\xbd id:x");
    EXPECT_EQ(scanBytes("\"\xf0\x9d\x84\" x"), "str:\xc3\xb0\xc2\x9d\xc2\x84 id:x");
}

TEST(ScannerTest, NulByteEndsTheLineText)
{
    KvoScanner scanner(streamWith(std::string("ab\0cd ef\ngh", 11)), u"z.kvo");
    EXPECT_EQ(scanAll(scanner), "id:ab id:gh");
    KvoScanner quoted(streamWith(std::string("ab\0cd\n", 6)), u"z.kvo");
    quoted.getToken();
    quoted.parseError(u"q");
    EXPECT_EQ(utf8(quoted.getTokenString()), "--> q \nin z.kvo line 1 pos 3 \nab\n\n");
}

TEST(ScannerTest, UnterminatedConstructsEndAtEndOfInput)
{
    // Every line ends in a line feed, so an open literal keeps the last one.
    EXPECT_EQ(scanText(u"x \"never closed"), "id:x str:never closed\n");
    EXPECT_EQ(scanText(u"\"backslash at end\\"), "str:backslash at end\n");
    EXPECT_EQ(scanText(u"'"), "<error>");
    EXPECT_EQ(scanText(u"'\\"), "<error>");
    EXPECT_EQ(scanText(u"'a"), "<error>");
    EXPECT_EQ(scanText(u"/*"), "");
    EXPECT_EQ(scanText(u"\"a\" \""), "str:a\n");
    EXPECT_EQ(scanText(u"1e+"), "float:1");
    EXPECT_EQ(scanText(u""), "");
    EXPECT_EQ(scanText(u" \t\r\n\v\f "), "");
}

TEST(ScannerTest, VeryLongLinesAreBufferedWhole)
{
    std::u16string longName(300000, u'n');
    std::u16string source = u"a " + longName + u" \"" + std::u16string(200000, u's') + u"\" z";
    KvoScanner scanner(source.c_str(), u"long.kvo");
    ASSERT_EQ(scanner.getToken(), TOK_IDENT);
    ASSERT_EQ(scanner.getToken(), TOK_IDENT);
    EXPECT_EQ(std::u16string(scanner.getTokenString()), longName);
    ASSERT_EQ(scanner.getToken(), TOK_STRING);
    EXPECT_EQ(kvoStrLen(scanner.getTokenString()), 200000u);
    ASSERT_EQ(scanner.getToken(), TOK_IDENT);
    scanner.parseError(u"long");
    const std::u16string diagnostic = scanner.getTokenString();
    EXPECT_EQ(diagnostic.size(), std::u16string(u"--> long \nin long.kvo line 1 pos 500008 \n\n").size() + source.size() + 1);
    EXPECT_EQ(diagnostic.substr(diagnostic.size() - 4), u" z\n\n");
}

TEST(ScannerTest, BinaryGarbageScansToTheEnd)
{
    std::string bytes;
    for (int round = 0; round < 20; ++round) {
        for (int b = 0; b < 256; ++b)
            bytes.push_back(static_cast<char>((b * 37 + round * 11) & 0xFF));
    }
    KvoScanner scanner(streamWith(bytes), u"bin");
    int tokens = 0;
    while (scanner.getToken() != TOK_EOF && tokens < 100000)
        ++tokens;
    EXPECT_LT(tokens, 100000);
    EXPECT_EQ(scanner.getToken(), TOK_EOF);
}

TEST(ScannerTest, ByteOrderMarkStartingASourceIsSkipped)
{
    // An editor's UTF-8 mark before the first line: not a character of the text, and columns
    // count from the character after it.
    KvoScanner file(streamWith("\xef\xbb\xbfmain ("), u"bom.kvo");
    EXPECT_EQ(describe(file, file.getToken()), "id:main");
    EXPECT_EQ(file.getLinePos(), 5u);
    EXPECT_EQ(scanText(u"\ufeffmain ("), "id:main any:(");
    // Only at the very start: elsewhere U+FEFF is an ordinary character (a stray token).
    EXPECT_EQ(scanText(u"a\n\ufeffb"), "id:a any:\ufeff id:b");
    EXPECT_EQ(scanBytes("x \xef\xbb\xbf"), "id:x any:\xef\xbb\xbf");
    // An included source may start with its own mark.
    KvoScanner outer(u"o", u"o.kvo");
    ASSERT_TRUE(outer.push(streamWith("\xef\xbb\xbfn"), u"n.kvo"));
    EXPECT_EQ(scanAll(outer), "id:n id:o");
}

TEST(ScannerTest, UnreadableFileSourceReportsWhyOnce)
{
    // A directory's stream opens but gives no text: one diagnostic naming the file, then the end.
    std::FILE* directory = std::fopen("/", "r");
    ASSERT_NE(directory, nullptr);
    KvoScanner scanner(directory, u"/");
    ASSERT_EQ(scanner.getToken(), TOK_ERROR);
    EXPECT_EQ(utf8(scanner.getTokenString()), "--> Is a directory \nin / line 1 pos 1 \n\n\n");
    EXPECT_EQ(scanner.getToken(), TOK_EOF);
    EXPECT_EQ(scanner.getToken(), TOK_EOF);
}

TEST(ScannerTest, EndlessFileSourceStopsAtTheBound)
{
    // A device that never ends is read up to the bound, then reported; the text read before
    // (NUL bytes, skipped with their line) was scanned as usual.
    std::FILE* endless = std::fopen("/dev/zero", "r");
    ASSERT_NE(endless, nullptr);
    KvoScanner outer(u"before after", u"main.kvo");
    ASSERT_EQ(outer.getToken(), TOK_IDENT);
    ASSERT_TRUE(outer.push(endless, u"/dev/zero"));
    ASSERT_EQ(outer.getToken(), TOK_ERROR);
    EXPECT_EQ(utf8(outer.getTokenString()),
              "--> source file too large (limit is 134217728 bytes) \nin /dev/zero line 1 pos 1 \n\n\n");
    // The nested source ends there and the including one goes on.
    EXPECT_EQ(describe(outer, outer.getToken()), "id:after");
    EXPECT_EQ(outer.getToken(), TOK_EOF);
}

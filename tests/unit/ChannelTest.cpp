// Tests of the input and output channels: what each printer returns and delivers (collected
// text, callbacks, UTF-8 files, window messages), what each input returns, ownership of streams,
// and the process-wide message numbers.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "host/KvoCallbackInput.h"
#include "host/KvoCallbackPrinter.h"
#include "host/KvoDummyPrinter.h"
#include "host/KvoFileStreamInput.h"
#include "host/KvoFileStreamPrinter.h"
#include "host/KvoMessages.h"
#include "host/KvoStringPrinter.h"
#include "host/KvoWinMsgInput.h"
#include "host/KvoWinMsgPrinter.h"
#include "platform/KvoWindows.h"

namespace {

std::u16string textOf(const KvoString& s)
{
    return s.c_str();
}

// A stream holding bytes, positioned at the start.
std::FILE* streamWith(const std::string& bytes)
{
    std::FILE* stream = std::tmpfile();
    EXPECT_NE(stream, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::rewind(stream);
    return stream;
}

// Everything in the stream, read from the start.
std::string contentsOf(std::FILE* stream)
{
    std::fflush(stream);
    std::rewind(stream);
    std::string bytes;
    for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) {
        bytes.push_back(static_cast<char>(c));
    }
    return bytes;
}

bool isOpenDescriptor(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

// A fresh directory under the system's temporary directory, removed afterwards.
class TempDirectory
{
public:
    TempDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kvochanXXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        m_path = pattern;
    }
    ~TempDirectory() { std::filesystem::remove_all(m_path); }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// ---- printers --------------------------------------------------------------------------------

TEST(StringPrinter, CollectsTextAndCountsUnits)
{
    KvoStringPrinter printer;
    EXPECT_EQ(printer(u"%d items", 3), 7);
    EXPECT_EQ(std::u16string(printer.c_str()), u"3 items");
    EXPECT_EQ(printer(u""), 0);
    EXPECT_EQ(printer(nullptr), -1);
    EXPECT_EQ(std::u16string(printer.c_str()), u"3 items");

    // Units, not characters or bytes: a non-BMP character counts 2.
    EXPECT_EQ(printer(u", %s", u"\u00e9\U0001F600"), 5);
    EXPECT_EQ(std::u16string(printer.w_str()), u"3 items, \u00e9\U0001F600");
    EXPECT_STREQ(printer.a_str(), "3 items, \xC3\xA9\xF0\x9F\x98\x80");

    printer.clear();
    EXPECT_EQ(std::u16string(printer.c_str()), u"");
    EXPECT_STREQ(printer.a_str(), "");
}

TEST(StringPrinter, CopiesCollectSeparatelyAndLeakNothing)
{
    const auto liveBefore = KvoRefObject::liveObjects();
    {
        KvoStringPrinter original;
        original(u"one");
        KvoStringPrinter copy = original;
        copy(u" two");
        EXPECT_EQ(std::u16string(original.c_str()), u"one");
        EXPECT_EQ(std::u16string(copy.c_str()), u"one two");
        original = copy;
        copy.clear();
        EXPECT_EQ(std::u16string(original.c_str()), u"one two");

        // Through the interface, as the machine holds printers.
        std::unique_ptr<IKvoPrinter> owned = std::make_unique<KvoStringPrinter>(original);
        EXPECT_EQ((*owned)(u"!"), 1);
    }
    EXPECT_EQ(KvoRefObject::liveObjects(), liveBefore);
}

TEST(DummyPrinter, PrintsNothing)
{
    KvoDummyPrinter printer;
    EXPECT_EQ(printer(u"%d", 12345), 0);
    EXPECT_EQ(printer(nullptr), 0);
}

std::vector<std::string> callbackTexts;
// What the callback's argument held after the callback had converted another string.
std::string textAfterOtherConversion;

void recordText(const char* text)
{
    callbackTexts.emplace_back(text);
}

void recordTextAfterConvertingAnother(const char* text)
{
    const char* other = KvoString(u"another string").a_str();
    EXPECT_STREQ(other, "another string");
    textAfterOtherConversion = text;
}

TEST(CallbackPrinter, WithoutCallbackReturnsZero)
{
    KvoCallbackPrinter printer;
    EXPECT_EQ(printer(u"%d items", 3), 0);
    EXPECT_EQ(printer(nullptr), 0);
}

TEST(CallbackPrinter, PassesUtf8TextOncePerPrint)
{
    callbackTexts.clear();
    KvoCallbackPrinter printer(recordText);
    EXPECT_EQ(printer(nullptr), -1);
    EXPECT_EQ(printer(u""), 0);
    EXPECT_TRUE(callbackTexts.empty());

    EXPECT_EQ(printer(u"x=%d", 5), 3);
    EXPECT_EQ(printer(u"%s", u"caf\u00e9 \U0001F600"), 7);
    KvoCallbackPrinter copy = printer;
    EXPECT_EQ(copy(u"%S", "\xC3\xA9"), 1);
    EXPECT_EQ(callbackTexts, (std::vector<std::string>{"x=5", "caf\xC3\xA9 \xF0\x9F\x98\x80", "\xC3\xA9"}));
}

TEST(CallbackPrinter, TextStaysValidWhileTheCallbackConvertsOtherStrings)
{
    textAfterOtherConversion.clear();
    KvoCallbackPrinter printer(recordTextAfterConvertingAnother);
    EXPECT_EQ(printer(u"printed %d", 1), 9);
    EXPECT_EQ(textAfterOtherConversion, "printed 1");
}

TEST(FileStreamPrinter, WritesUtf8)
{
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    {
        KvoFileStreamPrinter printer(stream, false);
        EXPECT_EQ(printer(u"%s=%d\n", u"h\u00e9llo \U0001F600", 42), 12);
        EXPECT_EQ(printer(u""), 0);
        // A pair split across two prints is joined; unpaired surrogates become U+FFFD.
        EXPECT_EQ(printer(u"%c", 0xD83D), 1);
        EXPECT_EQ(printer(u"%c", 0xDE00), 1);
        EXPECT_EQ(printer(u"[%c]", 0xDC00), 3);
        EXPECT_EQ(printer(u"[%c", 0xD800), 2);
        EXPECT_EQ(printer(u"]"), 1);
        EXPECT_EQ(printer(nullptr), -1);
    }
    EXPECT_EQ(contentsOf(stream), "h\xC3\xA9llo \xF0\x9F\x98\x80=42\n"
                                  "\xF0\x9F\x98\x80[\xEF\xBF\xBD][\xEF\xBF\xBD]");
    // Not owned: still open.
    EXPECT_TRUE(isOpenDescriptor(fileno(stream)));
    std::fclose(stream);
}

TEST(FileStreamPrinter, WithoutStreamReturnsMinusOne)
{
    KvoFileStreamPrinter noStream(nullptr, false);
    EXPECT_EQ(noStream(u"text"), -1);
    KvoFileStreamPrinter nullPath(nullptr, u"w");
    EXPECT_EQ(nullPath.stream(), nullptr);
    EXPECT_EQ(nullPath(u"text"), -1);
    KvoFileStreamPrinter nullMode(u"/tmp/kvo-never-created", nullptr);
    EXPECT_EQ(nullMode(u"text"), -1);
    KvoFileStreamPrinter badDirectory(u"/nonexistent-dir/x.txt", u"w");
    EXPECT_EQ(badDirectory(u"text"), -1);
}

TEST(FileStreamPrinter, OpensUtf8PathAndClosesWhatItOwns)
{
    TempDirectory dir;
    const std::u16string path = dir.path().u16string() + u"/r\u00e9sum\u00e9.txt";
    int fd = -1;
    {
        KvoFileStreamPrinter printer(path.c_str(), u"wt");
        ASSERT_NE(printer.stream(), nullptr);
        fd = fileno(printer.stream());
        EXPECT_EQ(printer(u"%ld\n", static_cast<KvoLong>(-7)), 3);
    }
    EXPECT_FALSE(isOpenDescriptor(fd));
    std::FILE* written = std::fopen((dir.path() / "r\xC3\xA9sum\xC3\xA9.txt").c_str(), "r");
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(contentsOf(written), "-7\n");

    // A stream handed over with ownership is closed too.
    fd = fileno(written);
    { KvoFileStreamPrinter owner(written, true); }
    EXPECT_FALSE(isOpenDescriptor(fd));
}

// Texts that the recording window received with the print message.
std::vector<std::string> windowTexts8;
std::vector<std::u16string> windowTexts16;

LRESULT printWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == KvoWinMsgPrinter::getPrintStringMsg()) {
        // A procedure may convert strings of its own; the texts it was sent must survive that.
        EXPECT_STREQ(KvoString(u"procedure's own").a_str(), "procedure's own");
        windowTexts8.emplace_back(reinterpret_cast<const char*>(wParam));
        windowTexts16.emplace_back(reinterpret_cast<const KvoChar*>(lParam));
        return 1;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

TEST(WinMsgPrinter, SendsBothFormsOfTheText)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = printWindowProc;
    windowClass.lpszClassName = u"KvoChannelTestPrintWindow";
    ASSERT_NE(RegisterClassW(&windowClass), 0);
    HWND window = CreateWindowExW(0, u"KvoChannelTestPrintWindow", u"", 0, 0, 0, 10, 10, nullptr,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    windowTexts8.clear();
    windowTexts16.clear();

    KvoWinMsgPrinter printer(window);
    EXPECT_EQ(printer(u"%d apples", 2), 8);
    EXPECT_EQ(printer(u""), 0);
    EXPECT_EQ(printer(nullptr), -1);
    KvoWinMsgPrinter copy = printer;
    EXPECT_EQ(copy(u"%s", u"\u00e9\U0001F600"), 3);
    EXPECT_EQ(windowTexts8, (std::vector<std::string>{"2 apples", "\xC3\xA9\xF0\x9F\x98\x80"}));
    EXPECT_EQ(windowTexts16, (std::vector<std::u16string>{u"2 apples", u"\u00e9\U0001F600"}));

    // A window that is gone receives nothing; the print still counts its text.
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_EQ(printer(u"lost"), 4);
    KvoWinMsgPrinter noWindow(nullptr);
    EXPECT_EQ(noWindow(u"lost"), 4);
    EXPECT_EQ(windowTexts8.size(), 2u);
    EXPECT_TRUE(UnregisterClassW(u"KvoChannelTestPrintWindow", nullptr));
}

TEST(Messages, NumbersAreRegisteredOncePerProcess)
{
    const UINT ids[] = {kvoPrintStringMsg(), kvoStringInputMsg(), kvoCharInputMsg(),
                        kvoBreakRequestMsg(), kvoDbgWaitMsg(), kvoLineChangedMsg()};
    const char16_t* names[] = {u"KvoPrintStringMsg", u"KvoStringInputMsg", u"KvoCharInputMsg",
                               u"KvoBreakRequestMsg", u"KvoDbgWaitMsg", u"KvoLineChangedMsg"};
    for (std::size_t i = 0; i < std::size(ids); ++i) {
        EXPECT_GE(ids[i], FIRST_REGISTERED_MESSAGE) << i;
        EXPECT_EQ(ids[i], RegisterWindowMessageW(names[i])) << i;
        for (std::size_t j = 0; j < i; ++j) {
            EXPECT_NE(ids[i], ids[j]) << i << " " << j;
        }
    }
    KvoWinMsgPrinter first(nullptr);
    KvoWinMsgPrinter second(reinterpret_cast<void*>(0x12345));
    EXPECT_EQ(first.getPrintStringMsg(), ids[0]);
    EXPECT_EQ(second.getPrintStringMsg(), ids[0]);
    KvoWinMsgInput input(nullptr);
    EXPECT_EQ(input.getStringInputMsg(), ids[1]);
    EXPECT_EQ(KvoWinMsgInput::getCharInputMsg(), ids[2]);
}

// ---- inputs ----------------------------------------------------------------------------------

TEST(FileStreamInput, ReadsLinesAndBytes)
{
    std::FILE* stream = streamWith("ab\ncd");
    KvoFileStreamInput input(stream, true);
    EXPECT_EQ(textOf(input.getString()), u"ab");
    EXPECT_EQ(textOf(input.getString()), u"cd");
    EXPECT_EQ(textOf(input.getString()), u"");
    EXPECT_EQ(input.getChar(), EOF);

    // Bytes are unsigned; lines and bytes can be mixed.
    KvoFileStreamInput bytes(streamWith("\xE9x\n\nyz\nq"), true);
    EXPECT_EQ(bytes.getChar(), 233);
    EXPECT_EQ(textOf(bytes.getString()), u"x");
    EXPECT_EQ(textOf(bytes.getString()), u"");
    EXPECT_EQ(bytes.getChar(), 'y');
    EXPECT_EQ(textOf(bytes.getString()), u"z");
    EXPECT_EQ(bytes.getChar(), 'q');
    EXPECT_EQ(bytes.getChar(), EOF);
}

TEST(FileStreamInput, DecodesUtf8Lines)
{
    KvoFileStreamInput input(streamWith("h\xC3\xA9\xF0\x9F\x98\x80!\n\xE2\x82" "A\xFF\n\xE2\x82"),
                             true);
    EXPECT_EQ(textOf(input.getString()), u"h\u00e9\U0001F600!");
    // Bytes that start no valid sequence stand for themselves, also at the end of the file.
    EXPECT_EQ(textOf(input.getString()), u"\u00e2\u0082A\u00ff");
    EXPECT_EQ(textOf(input.getString()), u"\u00e2\u0082");
}

TEST(FileStreamInput, WithoutStreamHasNoSource)
{
    KvoFileStreamInput missing(u"/nonexistent-dir/input.txt", u"r");
    EXPECT_EQ(missing.stream(), nullptr);
    EXPECT_EQ(missing.getChar(), 0xFFFF);
    EXPECT_EQ(textOf(missing.getString()), u"");
    KvoFileStreamInput nullPath(nullptr, u"r");
    EXPECT_EQ(nullPath.getChar(), 0xFFFF);
    KvoFileStreamInput nullStream(nullptr, true);
    EXPECT_EQ(nullStream.getChar(), 0xFFFF);
    EXPECT_EQ(textOf(nullStream.getString()), u"");
}

TEST(FileStreamInput, ClosesOnlyWhatItOwns)
{
    std::FILE* stream = streamWith("x");
    const int fd = fileno(stream);
    { KvoFileStreamInput borrowed(stream, false); }
    EXPECT_TRUE(isOpenDescriptor(fd));
    EXPECT_EQ(std::fgetc(stream), 'x');
    { KvoFileStreamInput owner(stream, true); }
    EXPECT_FALSE(isOpenDescriptor(fd));

    TempDirectory dir;
    const std::u16string path = dir.path().u16string() + u"/\u00fcber.txt";
    std::FILE* file = std::fopen((dir.path() / "\xC3\xBC" "ber.txt").c_str(), "w");
    std::fputs("line\n", file);
    std::fclose(file);
    KvoFileStreamInput byPath(path.c_str(), u"rt");
    EXPECT_EQ(textOf(byPath.getString()), u"line");
}

int charSequence[] = {'a', 233, -1};
int charIndex;
int nextChar()
{
    return charSequence[charIndex++];
}

const char* lineResult;
const char* nextLine()
{
    return lineResult;
}

TEST(CallbackInput, ForwardsAndConverts)
{
    KvoCallbackInput none;
    EXPECT_EQ(none.getChar(), 0xFFFF);
    EXPECT_EQ(textOf(none.getString()), u"");

    charIndex = 0;
    KvoCallbackInput input(nextChar, nextLine);
    EXPECT_EQ(input.getChar(), 'a');
    KvoCallbackInput copy = input;
    EXPECT_EQ(copy.getChar(), 233);
    EXPECT_EQ(input.getChar(), -1);

    lineResult = "caf\xC3\xA9 \xF0\x9F\x98\x80";
    EXPECT_EQ(textOf(input.getString()), u"caf\u00e9 \U0001F600");
    lineResult = "\xFF" "x";
    EXPECT_EQ(textOf(copy.getString()), u"\u00ffx");
    lineResult = nullptr;
    EXPECT_EQ(textOf(input.getString()), u"");

    KvoCallbackInput linesOnly(nullptr, nextLine);
    EXPECT_EQ(linesOnly.getChar(), 0xFFFF);
    KvoCallbackInput charsOnly(nextChar, nullptr);
    EXPECT_EQ(textOf(charsOnly.getString()), u"");
}

TEST(WinMsgInput, ReturnsWhatTheHostStored)
{
    int windowTag = 0;
    KvoWinMsgInput input(&windowTag);
    EXPECT_EQ(input.window(), reinterpret_cast<HWND>(&windowTag));
    EXPECT_EQ(input.getChar(), 0);
    EXPECT_EQ(textOf(input.getString()), u"");

    input.setChar(static_cast<char>(0xE9));
    EXPECT_EQ(input.getChar(), 233);
    input.setChar(u'\u20ac');
    EXPECT_EQ(input.getChar(), 0x20AC);
    input.setString("caf\xC3\xA9");
    EXPECT_EQ(textOf(input.getString()), u"caf\u00e9");
    EXPECT_EQ(textOf(input.getString()), u"caf\u00e9"); // reading does not consume

    KvoWinMsgInput copy = input;
    input.setString(u"x\U0001F600");
    EXPECT_EQ(textOf(input.getString()), u"x\U0001F600");
    EXPECT_EQ(textOf(copy.getString()), u"caf\u00e9");
    EXPECT_EQ(copy.getChar(), 0x20AC);
    input.setString(static_cast<const char*>(nullptr));
    EXPECT_EQ(textOf(input.getString()), u"");
}

} // namespace

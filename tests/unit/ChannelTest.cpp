// Tests of the input and output channels: what each printer returns and delivers (collected
// text, callbacks, UTF-8 files, window messages), what each input returns, ownership of streams,
// and the process-wide message numbers.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "host/KvoCallbackInput.h"
#include "host/KvoCallbackPrinter.h"
#include "host/KvoFileStreamInput.h"
#include "host/KvoFileStreamPrinter.h"
#include "host/KvoMessages.h"
#include "host/KvoStringPrinter.h"
#include "host/KvoWinMsgInput.h"
#include "host/KvoWinMsgPrinter.h"
#include "platform/KvoWindows.h"

#include "KvoTestSupport.h"

namespace {

std::u16string textOf(const KvoString& s) { return s.c_str(); }
bool isOpenDescriptor(int fd) { return fcntl(fd, F_GETFD) != -1; }

// A fresh directory under the system's temporary directory, removed afterwards.
struct TempDirectory {
    TempDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kvochanXXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        path = pattern;
    }
    ~TempDirectory() { std::filesystem::remove_all(path); }
    std::filesystem::path path;
};

TEST(StringPrinter, CollectsTextCountsUnitsAndCopiesSeparately)
{
    const auto liveBefore = KvoRefObject::liveObjects();
    {
        KvoStringPrinter printer;
        EXPECT_EQ(printer(u"%d items", 3), 7);
        EXPECT_EQ(printer(u""), 0);
        EXPECT_EQ(printer(nullptr), -1);
        EXPECT_EQ(std::u16string(printer.c_str()), u"3 items");
        // Units, not characters or bytes: a non-BMP character counts 2.
        EXPECT_EQ(printer(u", %s", u"\u00e9\U0001F600"), 5);
        EXPECT_EQ(std::u16string(printer.w_str()), u"3 items, \u00e9\U0001F600");
        EXPECT_STREQ(printer.a_str(), "3 items, \xC3\xA9\xF0\x9F\x98\x80");

        KvoStringPrinter copy = printer;
        copy(u"!");
        printer.clear();
        EXPECT_EQ(std::u16string(printer.c_str()), u"");
        EXPECT_EQ(std::u16string(copy.c_str()), u"3 items, \u00e9\U0001F600!");
    }
    EXPECT_EQ(KvoRefObject::liveObjects(), liveBefore);
}

std::vector<std::string> callbackTexts;

// Records its text after converting another string, which must not disturb the text it got.
void recordText(const char* text)
{
    EXPECT_STREQ(KvoString(u"another string").a_str(), "another string");
    callbackTexts.emplace_back(text);
}

TEST(CallbackPrinter, PassesUtf8TextOncePerPrint)
{
    KvoCallbackPrinter none;
    EXPECT_EQ(none(u"%d items", 3), 0);
    EXPECT_EQ(none(nullptr), 0);

    callbackTexts.clear();
    KvoCallbackPrinter printer(recordText);
    EXPECT_EQ(printer(nullptr), -1);
    EXPECT_EQ(printer(u""), 0);
    EXPECT_TRUE(callbackTexts.empty());
    EXPECT_EQ(printer(u"x=%d", 5), 3);
    EXPECT_EQ(printer(u"%s", u"caf\u00e9 \U0001F600"), 7);
    KvoCallbackPrinter copy = printer;
    EXPECT_EQ(copy(u"%S", "\xC3\xA9"), 1);
    EXPECT_EQ(callbackTexts,
              (std::vector<std::string>{"x=5", "caf\xC3\xA9 \xF0\x9F\x98\x80", "\xC3\xA9"}));
}

TEST(FileStreamPrinter, WritesUtf8)
{
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    {
        KvoFileStreamPrinter printer(stream, false);
        EXPECT_EQ(printer(u"%s=%d\n", u"h\u00e9llo \U0001F600", 42), 12);
        EXPECT_EQ(printer(u""), 0);
        EXPECT_EQ(printer(nullptr), -1);
        // A pair split across two prints is joined; unpaired surrogates become U+FFFD.
        EXPECT_EQ(printer(u"%c", 0xD83D), 1);
        EXPECT_EQ(printer(u"%c", 0xDE00), 1);
        EXPECT_EQ(printer(u"[%c]", 0xDC00), 3);
        EXPECT_EQ(printer(u"[%c", 0xD800), 2);
        EXPECT_EQ(printer(u"]"), 1);
    }
    EXPECT_EQ(contentsOf(stream), "h\xC3\xA9llo \xF0\x9F\x98\x80=42\n"
                                  "\xF0\x9F\x98\x80[\xEF\xBF\xBD][\xEF\xBF\xBD]");
    EXPECT_TRUE(isOpenDescriptor(fileno(stream))); // not owned, not closed
    std::fclose(stream);
}

TEST(FileStreamPrinter, OpensUtf8PathsAndClosesWhatItOwns)
{
    TempDirectory dir;
    const std::u16string path = dir.path.u16string() + u"/r\u00e9sum\u00e9.txt";
    int fd = -1;
    {
        KvoFileStreamPrinter printer(path.c_str(), u"wt");
        ASSERT_NE(printer.stream(), nullptr);
        fd = fileno(printer.stream());
        EXPECT_EQ(printer(u"%ld\n", static_cast<KvoLong>(-7)), 3);
    }
    EXPECT_FALSE(isOpenDescriptor(fd));
    std::FILE* written = std::fopen((dir.path / "r\xC3\xA9sum\xC3\xA9.txt").c_str(), "r");
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(contentsOf(written), "-7\n");
    fd = fileno(written);
    { KvoFileStreamPrinter owner(written, true); }
    EXPECT_FALSE(isOpenDescriptor(fd));

    // Without a stream every print fails.
    KvoFileStreamPrinter noStream(nullptr, false);
    KvoFileStreamPrinter nullPath(nullptr, u"w");
    KvoFileStreamPrinter nullMode(path.c_str(), nullptr);
    KvoFileStreamPrinter badDirectory(u"/nonexistent-dir/x.txt", u"w");
    for (KvoFileStreamPrinter* printer : {&noStream, &nullPath, &nullMode, &badDirectory}) {
        EXPECT_EQ((*printer)(u"text"), -1);
    }
}

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
    EXPECT_EQ(KvoWinMsgPrinter(nullptr)(u"lost"), 4);
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

TEST(FileStreamInput, ReadsUtf8LinesAndBytes)
{
    KvoFileStreamInput input(streamWith("ab\ncd"), true);
    EXPECT_EQ(textOf(input.getString()), u"ab");
    EXPECT_EQ(textOf(input.getString()), u"cd");
    EXPECT_EQ(textOf(input.getString()), u"");
    EXPECT_EQ(input.getChar(), EOF);

    // Bytes are unsigned; lines and bytes mix; bytes that start no valid sequence stand for
    // themselves, also at the end of the file.
    KvoFileStreamInput mixed(
        streamWith("\xE9x\n\nh\xC3\xA9\xF0\x9F\x98\x80!\n\xE2\x82" "A\xFF\nq\xE2\x82"), true);
    EXPECT_EQ(mixed.getChar(), 233);
    EXPECT_EQ(textOf(mixed.getString()), u"x");
    EXPECT_EQ(textOf(mixed.getString()), u"");
    EXPECT_EQ(textOf(mixed.getString()), u"h\u00e9\U0001F600!");
    EXPECT_EQ(textOf(mixed.getString()), u"\u00e2\u0082A\u00ff");
    EXPECT_EQ(mixed.getChar(), 'q');
    EXPECT_EQ(textOf(mixed.getString()), u"\u00e2\u0082");
    EXPECT_EQ(mixed.getChar(), EOF);
}

TEST(FileStreamInput, OpensPathsAndClosesOnlyWhatItOwns)
{
    TempDirectory dir;
    std::FILE* file = std::fopen((dir.path / "\xC3\xBC" "ber.txt").c_str(), "w");
    std::fputs("line\n", file);
    std::fclose(file);
    const std::u16string path = dir.path.u16string() + u"/\u00fcber.txt";
    KvoFileStreamInput byPath(path.c_str(), u"rt");
    EXPECT_EQ(textOf(byPath.getString()), u"line");

    std::FILE* stream = streamWith("x");
    const int fd = fileno(stream);
    { KvoFileStreamInput borrowed(stream, false); }
    EXPECT_EQ(std::fgetc(stream), 'x');
    { KvoFileStreamInput owner(stream, true); }
    EXPECT_FALSE(isOpenDescriptor(fd));

    // No source: a missing file, a null path, a null stream.
    KvoFileStreamInput missing(u"/nonexistent-dir/input.txt", u"r");
    KvoFileStreamInput nullPath(nullptr, u"r");
    KvoFileStreamInput nullStream(nullptr, true);
    for (KvoFileStreamInput* input : {&missing, &nullPath, &nullStream}) {
        EXPECT_EQ(input->getChar(), 0xFFFF);
        EXPECT_EQ(textOf(input->getString()), u"");
    }
}

int charSequence[] = {'a', 233, -1};
int charIndex;
int nextChar() { return charSequence[charIndex++]; }
const char* lineResult;
const char* nextLine() { return lineResult; }

TEST(CallbackInput, ForwardsAndConverts)
{
    KvoCallbackInput none;
    EXPECT_EQ(none.getChar(), 0xFFFF);
    EXPECT_EQ(textOf(none.getString()), u"");
    EXPECT_EQ(KvoCallbackInput(nullptr, nextLine).getChar(), 0xFFFF);
    EXPECT_EQ(textOf(KvoCallbackInput(nextChar, nullptr).getString()), u"");

    charIndex = 0;
    KvoCallbackInput input(nextChar, nextLine);
    KvoCallbackInput copy = input;
    EXPECT_EQ(input.getChar(), 'a');
    EXPECT_EQ(copy.getChar(), 233);
    EXPECT_EQ(input.getChar(), -1);
    lineResult = "caf\xC3\xA9 \xF0\x9F\x98\x80";
    EXPECT_EQ(textOf(input.getString()), u"caf\u00e9 \U0001F600");
    lineResult = "\xFF" "x";
    EXPECT_EQ(textOf(copy.getString()), u"\u00ffx");
    lineResult = nullptr;
    EXPECT_EQ(textOf(input.getString()), u"");
}

TEST(WinMsgInput, ReturnsWhatTheHostStored)
{
    KvoWinMsgInput input(nullptr);
    EXPECT_EQ(input.getChar(), 0);
    EXPECT_EQ(textOf(input.getString()), u"");

    input.setChar(static_cast<char>(0xE9));
    EXPECT_EQ(input.getChar(), 233);
    input.setChar(u'\u20ac');
    input.setString("caf\xC3\xA9");
    KvoWinMsgInput copy = input;
    input.setString(u"x\U0001F600");
    EXPECT_EQ(textOf(input.getString()), u"x\U0001F600");
    EXPECT_EQ(textOf(copy.getString()), u"caf\u00e9");
    EXPECT_EQ(copy.getChar(), 0x20AC);
    input.setString(static_cast<const char*>(nullptr));
    EXPECT_EQ(textOf(input.getString()), u"");
}

} // namespace

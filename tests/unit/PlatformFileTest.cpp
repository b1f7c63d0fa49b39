// Tests of the file services: opening by UTF-16 path, UTF-8 wide character I/O on byte streams
// (decoding, broken sequences, surrogate pairs split across calls, write failures), and the safe
// replacement of a file's content (links, permissions, devices and FIFOs, failures).
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/KvoFile.h"

#include "KvoTestSupport.h"

namespace {

// Reads units until end of file.
std::u16string readAll(std::FILE* stream)
{
    std::u16string units;
    for (KvoChar c = kvoGetWc(stream); c != KVO_WEOF; c = kvoGetWc(stream)) {
        units.push_back(c);
    }
    return units;
}

std::u16string decode(const std::string& bytes)
{
    std::FILE* stream = streamWith(bytes);
    std::u16string units = readAll(stream);
    EXPECT_EQ(kvoGetWc(stream), KVO_WEOF); // end of file stays the end
    kvoCloseFile(stream);
    return units;
}

// A fresh directory under the system's temporary directory, removed afterwards.
class TempDirectory
{
public:
    TempDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kvofileXXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        m_path = pattern;
    }
    ~TempDirectory() { std::filesystem::remove_all(m_path); }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

TEST(PlatformFile, OpenFileUsesTheUtf8FormOfThePath)
{
    TempDirectory dir;
    const std::u16string path = dir.path().u16string() + u"/d\u00e9j\u00e0 \U0001F600.txt";
    std::FILE* stream = kvoOpenFile(path.c_str(), u"wt");
    ASSERT_NE(stream, nullptr);
    std::fputs("x", stream);
    EXPECT_EQ(kvoCloseFile(stream), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "d\xC3\xA9j\xC3\xA0 \xF0\x9F\x98\x80.txt"));

    stream = kvoOpenFile(path.c_str(), u"rt");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(std::fgetc(stream), 'x');
    kvoCloseFile(stream);

    const std::u16string missing = dir.path().u16string() + u"/missing.txt";
    EXPECT_EQ(kvoOpenFile(missing.c_str(), u"r"), nullptr);
    errno = 0;
    EXPECT_EQ(kvoOpenFile(nullptr, u"r"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(kvoOpenFile(path.c_str(), nullptr), nullptr);
    EXPECT_EQ(kvoCloseFile(nullptr), EOF);
}

TEST(PlatformFile, GetWcDecodesUtf8AndReadsBrokenSequencesBytewise)
{
    EXPECT_EQ(decode("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z\xF4\x8F\xBF\xBF"),
              u"a\u00e9\u20ac\U0001F600z\U0010FFFF");
    EXPECT_EQ(decode(""), u"");
    EXPECT_EQ(kvoGetWc(nullptr), KVO_WEOF);
    // Sequences cut by an ASCII byte, by the end of file and by the start of a valid character;
    // an overlong form, an encoded surrogate, a code point past U+10FFFF, stray bytes.
    EXPECT_EQ(decode("\xE2\x82" "A"), u"\u00e2\u0082A");
    EXPECT_EQ(decode("\xF0\x9F\x98"), u"\u00f0\u009f\u0098");
    EXPECT_EQ(decode("\xE2\x82\xE2\x82\xAC"), u"\u00e2\u0082\u20ac");
    EXPECT_EQ(decode("\xC0\xAF"), u"\u00c0\u00af");
    EXPECT_EQ(decode("\xED\xA0\x80"), u"\u00ed\u00a0\u0080");
    EXPECT_EQ(decode("\xF4\x90\x80\x80"), u"\u00f4\u0090\u0080\u0080");
    EXPECT_EQ(decode("\x80\xFF" "b"), u"\u0080\u00ff" u"b");
}

TEST(PlatformFile, PendingHalvesBelongToTheirOwnStream)
{
    std::FILE* first = streamWith("\xF0\x9F\x98\x80");
    std::FILE* second = streamWith("\xF0\x9F\x8E\x89x");
    EXPECT_EQ(kvoGetWc(first), 0xD83D);
    EXPECT_EQ(kvoGetWc(second), 0xD83C);
    EXPECT_EQ(kvoGetWc(first), 0xDE00);
    EXPECT_EQ(kvoGetWc(second), 0xDF89);
    EXPECT_EQ(kvoGetWc(second), u'x');
    kvoCloseFile(first);
    kvoCloseFile(second);

    // 8-bit and wide reads mix on one stream.
    std::FILE* mixed = streamWith("\xC3\xA9z\xE2\x82\xACq");
    EXPECT_EQ(kvoGetWc(mixed), 0xE9);
    EXPECT_EQ(std::fgetc(mixed), 'z');
    EXPECT_EQ(kvoGetWc(mixed), 0x20AC);
    EXPECT_EQ(std::fgetc(mixed), 'q');
    kvoCloseFile(mixed);
}

TEST(PlatformFile, PutWcWritesUtf8AndJoinsPairsAcrossCalls)
{
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    for (KvoChar c : std::u16string(u"a\u00e9\u20ac\U0001F600")) {
        EXPECT_EQ(kvoPutWc(c, stream), c);
    }
    // Unpaired surrogates: a low one alone, a high one followed by something else.
    kvoPutWc(0xDE00, stream);
    kvoPutWc(0xD83D, stream);
    kvoPutWc(u'x', stream);
    // Units and strings mix; a string may end in a high surrogate and the next call finish it.
    EXPECT_EQ(kvoPutWs(u"<\xD83C", 2, stream), 0);
    EXPECT_EQ(kvoPutWc(0xDF89, stream), 0xDF89);
    EXPECT_EQ(kvoPutWc(0xD83C, stream), 0xD83C);
    EXPECT_EQ(kvoPutWs(u"\xDF89>", 2, stream), 0);
    EXPECT_EQ(kvoPutWs(u"", 0, stream), 0);
    EXPECT_EQ(contentsOf(stream), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBDx"
                                  "<\xF0\x9F\x8E\x89\xF0\x9F\x8E\x89>");
    kvoCloseFile(stream);
}

TEST(PlatformFile, CloseFinishesOutputAndWriteFailuresAreReported)
{
    // A high surrogate still waiting when the stream is closed is written as U+FFFD.
    TempDirectory dir;
    const std::filesystem::path file = dir.path() / "out.txt";
    std::FILE* stream = std::fopen(file.c_str(), "w");
    ASSERT_NE(stream, nullptr);
    kvoPutWc(u'a', stream);
    kvoPutWc(0xD83D, stream);
    EXPECT_EQ(kvoCloseFile(stream), 0);

    stream = std::fopen(file.c_str(), "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(contentsOf(stream), "a\xEF\xBF\xBD");
    EXPECT_EQ(kvoPutWc(u'x', stream), KVO_WEOF);
    EXPECT_EQ(kvoPutWs(u"xy", 2, stream), -1);
    EXPECT_EQ(kvoPutWc(u'x', nullptr), KVO_WEOF);
    EXPECT_EQ(kvoPutWs(u"x", 1, nullptr), -1);
    kvoCloseFile(stream);
}

TEST(PlatformFile, EveryCharacterSurvivesARoundTrip)
{
    // Every BMP character except the surrogates and U+FFFF (the end-of-file value), and a
    // sample of the supplementary planes.
    std::u16string text;
    for (char32_t c = 1; c < 0xFFFF; ++c) {
        if (c < 0xD800 || c > 0xDFFF) {
            text.push_back(static_cast<KvoChar>(c));
        }
    }
    for (char32_t c = 0x10000; c <= 0x10FFFF; c += 0x1F3) {
        text.push_back(static_cast<KvoChar>(0xD800 + ((c - 0x10000) >> 10)));
        text.push_back(static_cast<KvoChar>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(kvoPutWs(text.data(), text.size(), stream), 0);
    std::rewind(stream);
    EXPECT_TRUE(readAll(stream) == text);
    kvoCloseFile(stream);
}

// ---- Replacing a file's content ----------------------------------------------------------------

// A content writer that writes the std::string its context points at.
bool writeText(std::FILE* stream, void* context)
{
    const auto* text = static_cast<const std::string*>(context);
    return std::fwrite(text->data(), 1, text->size(), stream) == text->size();
}

// A content writer that writes a little, then gives up.
bool writeThenFail(std::FILE* stream, void*)
{
    std::fputs("partial", stream);
    return false;
}

// The writer must not be called at all.
bool writeNever(std::FILE*, void*)
{
    ADD_FAILURE() << "the writer was called";
    return false;
}

int replace(const std::filesystem::path& path, std::string text, unsigned newFileMode = 0644)
{
    return kvoReplaceFile(path.u16string().c_str(), newFileMode, &writeText, &text);
}

std::string fileText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

unsigned modeOf(const std::filesystem::path& path)
{
    struct stat status;
    return lstat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}

// The names in dir, so that a test sees that no temporary file was left behind.
std::size_t entriesIn(const std::filesystem::path& dir)
{
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir),
                                                  std::filesystem::directory_iterator()));
}

TEST(PlatformReplaceFile, NewAndExistingFilesKeepTheirPermissions)
{
    TempDirectory dir;
    const std::filesystem::path file = dir.path() / "data.bin";
    const mode_t oldMask = umask(022);
    EXPECT_EQ(replace(file, "first", 0666), 0);
    umask(oldMask);
    EXPECT_EQ(fileText(file), "first");
    EXPECT_EQ(modeOf(file) & 07777, 0644u); // the umask applies to a new file

    // An existing file keeps its own bits, whatever the mode for new files says.
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(replace(file, "second", 0666), 0);
    EXPECT_EQ(fileText(file), "second");
    EXPECT_EQ(modeOf(file) & 07777, 0600u);
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    EXPECT_EQ(replace(file, "third"), 0);
    EXPECT_EQ(modeOf(file) & 07777, 0640u);
    EXPECT_EQ(entriesIn(dir.path()), 1u);

    // A name so long that ".tmp" and 8 digits would not fit beside it still works.
    const std::filesystem::path longName = dir.path() / std::string(250, 'n');
    EXPECT_EQ(replace(longName, "long"), 0);
    EXPECT_EQ(fileText(longName), "long");
    EXPECT_EQ(entriesIn(dir.path()), 2u);
}

TEST(PlatformReplaceFile, SymbolicLinksAreFollowedAndStay)
{
    TempDirectory dir;
    std::filesystem::create_directories(dir.path() / "real");
    const std::filesystem::path target = dir.path() / "real" / "target.txt";
    std::ofstream(target) << "old";
    ASSERT_EQ(chmod(target.c_str(), 0604), 0);
    // A relative link, and a link to that link.
    const std::filesystem::path link = dir.path() / "link.txt";
    const std::filesystem::path second = dir.path() / "second.txt";
    std::filesystem::create_symlink("real/target.txt", link);
    std::filesystem::create_symlink(link, second);

    EXPECT_EQ(replace(second, "new"), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(std::filesystem::is_symlink(second));
    EXPECT_EQ(fileText(target), "new");
    EXPECT_EQ(modeOf(target) & 07777, 0604u);
    EXPECT_EQ(entriesIn(dir.path() / "real"), 1u);
    EXPECT_EQ(entriesIn(dir.path()), 3u);

    // A dangling link: the file it names is created, the link stays a link.
    const std::filesystem::path dangling = dir.path() / "dangling.txt";
    std::filesystem::create_symlink(dir.path() / "real" / "made.txt", dangling);
    EXPECT_EQ(replace(dangling, "made"), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(dangling));
    EXPECT_EQ(fileText(dir.path() / "real" / "made.txt"), "made");

    // Links that lead round in a circle are refused.
    std::filesystem::create_symlink("loop2", dir.path() / "loop1");
    std::filesystem::create_symlink("loop1", dir.path() / "loop2");
    EXPECT_EQ(kvoReplaceFile((dir.path() / "loop1").u16string().c_str(), 0644, &writeNever, nullptr), ELOOP);
}

TEST(PlatformReplaceFile, DevicesAndFifosAreWrittenInPlaceOrRefused)
{
    // A character device takes the content in place and stays what it is.
    EXPECT_EQ(replace("/dev/null", "into the void"), 0);
    EXPECT_TRUE(S_ISCHR(modeOf("/dev/null")));

    TempDirectory dir;
    const std::filesystem::path fifo = dir.path() / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Nobody reads: refused at once instead of waiting for ever.
    EXPECT_EQ(kvoReplaceFile(fifo.u16string().c_str(), 0644, &writeNever, nullptr), ENXIO);
    EXPECT_TRUE(S_ISFIFO(modeOf(fifo)));
    // With a reader the content goes through the FIFO.
    std::string received;
    std::thread reader([&] {
        std::ifstream in(fifo, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        received = text.str();
    });
    int error = ENXIO;
    for (int attempt = 0; attempt < 500 && error == ENXIO; ++attempt) {
        error = replace(fifo, "through the pipe");
        if (error == ENXIO)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (error != 0) {
        std::ofstream(fifo, std::ios::binary) << ""; // lets the reader finish
    }
    reader.join();
    EXPECT_EQ(error, 0);
    EXPECT_EQ(received, "through the pipe");
    EXPECT_TRUE(S_ISFIFO(modeOf(fifo)));
    EXPECT_EQ(entriesIn(dir.path()), 1u);

    // A directory is no file to replace.
    EXPECT_EQ(kvoReplaceFile(dir.path().u16string().c_str(), 0644, &writeNever, nullptr), EISDIR);
}

TEST(PlatformReplaceFile, AFailedWriteLeavesTheOldContent)
{
    TempDirectory dir;
    const std::filesystem::path file = dir.path() / "keep.txt";
    ASSERT_EQ(replace(file, "good"), 0);
    EXPECT_EQ(kvoReplaceFile(file.u16string().c_str(), 0644, &writeThenFail, nullptr), ECANCELED);
    EXPECT_EQ(fileText(file), "good");
    EXPECT_EQ(entriesIn(dir.path()), 1u);

    // A missing directory: nothing is opened, so the writer never runs.
    EXPECT_EQ(kvoReplaceFile((dir.path() / "no" / "file").u16string().c_str(), 0644, &writeNever, nullptr), ENOENT);
    EXPECT_EQ(kvoReplaceFile(nullptr, 0644, &writeNever, nullptr), EINVAL);
    EXPECT_EQ(kvoReplaceFileBytes("", 0644, &writeNever, nullptr), EINVAL);
}

} // namespace

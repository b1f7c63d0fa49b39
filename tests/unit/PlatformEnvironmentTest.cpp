// Tests of the environment store (file format, case-insensitive names, deletion, fallback to the
// process environment, atomic concurrent writes, refused input, values read back whole, a store
// behind a symbolic link) and of the file searches along
// directory lists. Every test points XDG_CONFIG_HOME at a fresh temporary directory.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/KvoEnvironment.h"
#include "platform/KvoPath.h"

namespace fs = std::filesystem;

namespace {

// Sets a process environment variable for the lifetime of the object, then restores it.
class ScopedVariable
{
public:
    ScopedVariable(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name))
            m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedVariable()
    {
        if (m_old)
            setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

class PlatformEnvironment : public ::testing::Test
{
protected:
    PlatformEnvironment()
    {
        std::string pattern = (fs::temp_directory_path() / "kvoenvXXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        m_config.emplace("XDG_CONFIG_HOME", m_root.c_str());
    }
    ~PlatformEnvironment() override
    {
        m_config.reset();
        fs::remove_all(m_root);
    }

    fs::path storeFile() const { return m_root / "kivo" / "environment"; }

    std::string storeText() const
    {
        std::ifstream in(storeFile(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    void writeStore(const std::string& text) const
    {
        fs::create_directories(storeFile().parent_path());
        std::ofstream(storeFile(), std::ios::binary) << text;
    }

    // The value of name, or "<missing>".
    static std::u16string get(const KvoChar* name)
    {
        KvoChar buffer[256];
        const std::int32_t length = kvoGetEnv(name, buffer, std::size(buffer));
        if (length == KVO_ENV_NOT_FOUND) {
            EXPECT_EQ(buffer[0], 0);
            return u"<missing>";
        }
        EXPECT_EQ(static_cast<std::size_t>(length), std::u16string(buffer).size());
        return buffer;
    }

    fs::path m_root;
    std::optional<ScopedVariable> m_config;
};

TEST_F(PlatformEnvironment, SetWritesOneUtf8LineAndGetReadsItUnderAnyCase)
{
    EXPECT_EQ(get(u"KVOLIB"), u"<missing>");
    EXPECT_EQ(kvoSetEnv(u"KVOLIB", u"/opt/kivo/lib"), 0);
    EXPECT_EQ(kvoSetEnv(u"Greeting", u"gr\u00fc\u00df \U0001F600"), 0);
    EXPECT_EQ(storeText(), "KVOLIB=/opt/kivo/lib\nGreeting=gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80\n");
    EXPECT_EQ(get(u"kvolib"), u"/opt/kivo/lib");
    EXPECT_EQ(get(u"GREETING"), u"gr\u00fc\u00df \U0001F600");
    // A value may hold '=' itself; only the first one separates the name.
    EXPECT_EQ(kvoSetEnv(u"Expr", u"a=b=c"), 0);
    EXPECT_EQ(get(u"expr"), u"a=b=c");
}

TEST_F(PlatformEnvironment, ReplacingKeepsOtherLinesAndTheirOrder)
{
    writeStore("# written by hand\nA=1\nkvoinc=/old\r\nnot an entry\nB=2\nKVOINC=/duplicate\n");
    EXPECT_EQ(get(u"KVOINC"), u"/old"); // the first entry wins, its carriage return is not data
    EXPECT_EQ(kvoSetEnv(u"KvoInc", u"/new"), 0);
    EXPECT_EQ(storeText(), "# written by hand\nA=1\nKvoInc=/new\nnot an entry\nB=2\n");
    EXPECT_EQ(get(u"A"), u"1");
    EXPECT_EQ(get(u"B"), u"2");
}

TEST_F(PlatformEnvironment, EmptyValueAndDeleteRemoveTheName)
{
    ASSERT_EQ(kvoSetEnv(u"KVOLIB", u"/lib"), 0);
    ASSERT_EQ(kvoSetEnv(u"Other", u"x"), 0);
    EXPECT_EQ(kvoSetEnv(u"kvolib", u""), 0);
    EXPECT_EQ(get(u"KVOLIB"), u"<missing>");
    EXPECT_EQ(storeText(), "Other=x\n");
    EXPECT_EQ(kvoSetEnv(u"Other", nullptr), 0);
    EXPECT_EQ(storeText(), "");
    EXPECT_EQ(kvoDeleteEnv(u"Other"), ENOENT);
}

TEST_F(PlatformEnvironment, DeletingFromAMissingStoreWritesNothing)
{
    EXPECT_EQ(kvoDeleteEnv(u"KVOLIB"), ENOENT);
    EXPECT_FALSE(fs::exists(storeFile()));
}

TEST_F(PlatformEnvironment, InputThatWouldBreakTheFormatIsRefused)
{
    ASSERT_EQ(kvoSetEnv(u"Keep", u"1"), 0);
    EXPECT_EQ(kvoSetEnv(u"A=B", u"x"), EINVAL);
    EXPECT_EQ(kvoSetEnv(u"", u"x"), EINVAL);
    EXPECT_EQ(kvoSetEnv(nullptr, u"x"), EINVAL);
    EXPECT_EQ(kvoSetEnv(u"Evil", u"x\nKeep=2"), EINVAL);
    EXPECT_EQ(kvoSetEnv(u"Evil\r", u"x"), EINVAL);
    EXPECT_EQ(kvoDeleteEnv(u"Ke=ep"), EINVAL);
    EXPECT_EQ(storeText(), "Keep=1\n");
    EXPECT_EQ(get(nullptr), u"<missing>");
    EXPECT_EQ(get(u""), u"<missing>");
}

TEST_F(PlatformEnvironment, WhatIsStoredReadsBackWhole)
{
    // Every value the store accepts comes back unit for unit, however long; a value or name that
    // the store could not give back as it was (half of a surrogate pair has no UTF-8 form) is
    // refused and changes nothing.
    std::u16string long_(20000, u'v');
    long_ += u" =\t\u2028\U0001F600 ";
    ASSERT_EQ(kvoSetEnv(u"Long", long_.c_str()), 0);
    std::u16string back(long_.size() + 1, u'?');
    EXPECT_EQ(kvoGetEnv(u"LONG", back.data(), back.size()), static_cast<std::int32_t>(long_.size()));
    back.resize(long_.size());
    EXPECT_TRUE(back == long_);
    ASSERT_EQ(kvoSetEnv(u"Keep", u"1"), 0);
    const std::string before = storeText();
    EXPECT_EQ(kvoSetEnv(u"Keep", u"a\xD800"), EINVAL);
    EXPECT_EQ(kvoSetEnv(u"Keep", u"\xDC00" u"b"), EINVAL);
    EXPECT_EQ(kvoSetEnv(u"Keep", u"\xD800\xD800\xDC00"), EINVAL);
    EXPECT_EQ(kvoSetEnv(u"K\xD800", u"x"), EINVAL);
    EXPECT_EQ(storeText(), before);
    EXPECT_EQ(get(u"Keep"), u"1");
}

TEST_F(PlatformEnvironment, AStoreBehindALinkStaysALinkAndKeepsItsPermissions)
{
    // A store kept elsewhere (with other dotfiles) and linked into place: a change goes to the
    // file the link names, and that file keeps its permission bits.
    fs::create_directories(storeFile().parent_path());
    fs::create_directories(m_root / "dotfiles");
    const fs::path real = m_root / "dotfiles" / "kivo-environment";
    std::ofstream(real, std::ios::binary) << "A=1\n";
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(real, storeFile());
    ASSERT_EQ(kvoSetEnv(u"B", u"2"), 0);
    EXPECT_TRUE(fs::is_symlink(storeFile()));
    EXPECT_EQ(storeText(), "A=1\nB=2\n");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_root / "dotfiles"), fs::directory_iterator()), 1);
    // A new store is the user's own.
    fs::remove(storeFile());
    ASSERT_EQ(kvoSetEnv(u"C", u"3"), 0);
    EXPECT_FALSE(fs::is_symlink(storeFile()));
    EXPECT_EQ(fs::status(storeFile()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(PlatformEnvironment, NamesTheStoreLacksComeFromTheProcessEnvironment)
{
    ScopedVariable variable("KIVO_TEST_FALLBACK", "from process");
    EXPECT_EQ(get(u"KIVO_TEST_FALLBACK"), u"from process");
    EXPECT_EQ(get(u"kivo_test_fallback"), u"from process");
    ASSERT_EQ(kvoSetEnv(u"KIVO_TEST_FALLBACK", u"from store"), 0);
    EXPECT_EQ(get(u"KIVO_TEST_FALLBACK"), u"from store");
    // Deleting the store's entry shows the process's value again; the process is never changed.
    ASSERT_EQ(kvoDeleteEnv(u"KIVO_TEST_FALLBACK"), 0);
    EXPECT_STREQ(std::getenv("KIVO_TEST_FALLBACK"), "from process");
    EXPECT_EQ(get(u"KIVO_TEST_FALLBACK"), u"from process");
}

TEST_F(PlatformEnvironment, ShortBufferGetsACutCopyAndTheFullLength)
{
    ASSERT_EQ(kvoSetEnv(u"Long", u"ab\U0001F600cd"), 0); // 'a' 'b' high low 'c' 'd'
    KvoChar buffer[4] = {u'?', u'?', u'?', u'?'};
    EXPECT_EQ(kvoGetEnv(u"Long", buffer, 4), 6);
    EXPECT_EQ(std::u16string(buffer), u"ab"); // the pair is not split
    EXPECT_EQ(kvoGetEnv(u"Long", buffer, 1), 6);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(kvoGetEnv(u"Long", nullptr, 0), 6);
}

TEST_F(PlatformEnvironment, RelativeConfigHomeFallsBackToTheHomeDirectory)
{
    ScopedVariable relative("XDG_CONFIG_HOME", "relative/dir");
    ScopedVariable home("HOME", m_root.c_str());
    ASSERT_EQ(kvoSetEnv(u"Where", u"home"), 0);
    EXPECT_TRUE(fs::exists(m_root / ".config" / "kivo" / "environment"));
    EXPECT_FALSE(fs::exists("relative/dir"));
}

TEST_F(PlatformEnvironment, ConcurrentWritersLoseNoEntryAndLeaveNoTemporaryFile)
{
    constexpr int WRITERS = 4;
    constexpr int NAMES_PER_WRITER = 20;
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; ++w) {
        writers.emplace_back([w] {
            for (int i = 0; i < NAMES_PER_WRITER; ++i) {
                const std::u16string name = u"W" + std::u16string(1, static_cast<KvoChar>(u'a' + w))
                                            + std::u16string(1, static_cast<KvoChar>(u'a' + i));
                EXPECT_EQ(kvoSetEnv(name.c_str(), u"v"), 0);
            }
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    const std::string text = storeText();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), WRITERS * NAMES_PER_WRITER);
    int files = 0;
    for (const auto& entry : fs::directory_iterator(storeFile().parent_path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "environment" || name == "environment.lock") << name;
        ++files;
    }
    EXPECT_EQ(files, 2);
}

// ---- Searches along directory lists -------------------------------------------------------------

class PlatformPath : public PlatformEnvironment
{
protected:
    PlatformPath()
    {
        for (const char* dir : {"one", "two", "two/sub", "three"})
            fs::create_directories(m_root / dir);
        std::ofstream(m_root / "two" / "a.kvm") << "x";
        std::ofstream(m_root / "three" / "a.kvm") << "x";
        fs::create_directories(m_root / "one" / "a.kvm"); // a directory is not the file
    }

    std::u16string dir(const char* name) const { return (m_root / name).u16string(); }
};

TEST_F(PlatformPath, SearchTriesEachDirectoryInOrderSplittingAtColonAndSemicolon)
{
    KvoChar path[KVO_MAX_PATH];
    const std::u16string list = dir("missing") + u"::" + dir("one") + u";" + dir("three") + u":" + dir("two");
    ASSERT_TRUE(kvoSearchDirList(list.c_str(), u"a.kvm", path, KVO_MAX_PATH));
    EXPECT_EQ(std::u16string(path), dir("three") + u"/a.kvm");
    EXPECT_FALSE(kvoSearchDirList(list.c_str(), u"b.kvm", path, KVO_MAX_PATH));
    EXPECT_EQ(path[0], 0);
}

TEST_F(PlatformPath, SeparatorsAreNotDoubledAndBackslashesBecomeSlashes)
{
    KvoChar path[KVO_MAX_PATH];
    const std::u16string trailing = dir("two") + u"/";
    ASSERT_TRUE(kvoSearchDirList(trailing.c_str(), u"a.kvm", path, KVO_MAX_PATH));
    EXPECT_EQ(std::u16string(path), dir("two") + u"/a.kvm");
    const std::u16string backslashed = m_root.u16string() + u"\\two\\";
    ASSERT_TRUE(kvoSearchDirList(backslashed.c_str(), u"a.kvm", path, KVO_MAX_PATH));
    EXPECT_EQ(std::u16string(path), dir("two") + u"/a.kvm");
    ASSERT_TRUE(kvoSearchDirList(m_root.u16string().c_str(), u"two\\a.kvm", path, KVO_MAX_PATH));
    EXPECT_EQ(std::u16string(path), dir("two") + u"/a.kvm");
}

TEST_F(PlatformPath, ACandidateThatDoesNotFitIsSkippedWithoutWritingPastTheBuffer)
{
    const std::u16string expected = dir("two") + u"/a.kvm";
    std::vector<KvoChar> buffer(expected.size() + 4, u'#');
    const std::u16string list = dir("three") + u"/../three/../three;" + dir("two");
    // Room for the second candidate and its zero, not for the first.
    const std::size_t capacity = expected.size() + 1;
    ASSERT_TRUE(kvoSearchDirList(list.c_str(), u"a.kvm", buffer.data(), capacity));
    EXPECT_EQ(std::u16string(buffer.data()), expected);
    EXPECT_EQ(buffer[capacity], u'#');
    EXPECT_FALSE(kvoSearchDirList(list.c_str(), u"a.kvm", buffer.data(), capacity - 1));
    EXPECT_EQ(buffer[capacity], u'#');
}

TEST_F(PlatformPath, NullOrEmptyArgumentsFindNothing)
{
    KvoChar path[KVO_MAX_PATH] = {u'x'};
    EXPECT_FALSE(kvoSearchDirList(nullptr, u"a.kvm", path, KVO_MAX_PATH));
    EXPECT_EQ(path[0], 0);
    EXPECT_FALSE(kvoSearchDirList(dir("two").c_str(), nullptr, path, KVO_MAX_PATH));
    EXPECT_FALSE(kvoSearchDirList(dir("two").c_str(), u"", path, KVO_MAX_PATH));
    EXPECT_FALSE(kvoSearchDirList(u"", u"a.kvm", path, KVO_MAX_PATH));
    EXPECT_FALSE(kvoIsReadableFile(nullptr));
    EXPECT_FALSE(kvoIsReadableFile(dir("one").c_str()));
}

TEST_F(PlatformPath, SearchEnvReadsTheListFromTheStoreOrTheProcess)
{
    KvoChar path[KVO_MAX_PATH];
    EXPECT_FALSE(kvoSearchEnv(u"KIVO_TEST_LIST", u"a.kvm", path, KVO_MAX_PATH));
    ScopedVariable variable("KIVO_TEST_LIST", (m_root / "two").c_str());
    ASSERT_TRUE(kvoSearchEnv(u"KIVO_TEST_LIST", u"a.kvm", path, KVO_MAX_PATH));
    EXPECT_EQ(std::u16string(path), dir("two") + u"/a.kvm");
    ASSERT_EQ(kvoSetEnv(u"kivo_test_list", dir("three").c_str()), 0);
    ASSERT_TRUE(kvoSearchEnv(u"KIVO_TEST_LIST", u"a.kvm", path, KVO_MAX_PATH));
    EXPECT_EQ(std::u16string(path), dir("three") + u"/a.kvm");
}

} // namespace

// Tests of the console open and save dialogs: the record's checks and buffer bounds, the path an
// answer becomes, answers typed on a terminal (in a child process with a pseudo-terminal of the
// test's own, as for the message box), and the filter list that the plug-in's FileDialog builds.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoFileDialog.h"
#include "platform/KvoText.h"

#include "KvoTestSupport.h"

namespace {

constexpr char ANSWER_VARIABLE[] = "KIVO_FILEDIALOG_ANSWER";
constexpr KvoChar GUARD = u'#';

// Sets the automated answer (unset for null) and catches what the dialogs write to standard
// error, for the lifetime of the object.
class AutomatedDialog
{
public:
    explicit AutomatedDialog(const char* answer)
    {
        if (answer)
            setenv(ANSWER_VARIABLE, answer, 1);
        else
            unsetenv(ANSWER_VARIABLE);
        std::fflush(stderr);
        m_savedError = dup(STDERR_FILENO);
        m_shown = std::tmpfile();
        dup2(fileno(m_shown), STDERR_FILENO);
    }
    ~AutomatedDialog()
    {
        restore();
        std::fclose(m_shown);
        unsetenv(ANSWER_VARIABLE);
    }
    AutomatedDialog(const AutomatedDialog&) = delete;
    AutomatedDialog& operator=(const AutomatedDialog&) = delete;

    // What was written to standard error so far.
    std::string shown()
    {
        std::fflush(stderr);
        return contentsOf(m_shown);
    }

private:
    void restore()
    {
        std::fflush(stderr);
        if (m_savedError >= 0) {
            dup2(m_savedError, STDERR_FILENO);
            close(m_savedError);
            m_savedError = -1;
        }
    }

    int m_savedError = -1;
    std::FILE* m_shown = nullptr;
};

struct TempDirectory {
    TempDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kvodialogXXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        path = pattern;
    }
    ~TempDirectory() { std::filesystem::remove_all(path); }
    std::u16string u16() const { return kvoFromUtf8(path.c_str()); }
    std::string path;
};

void touch(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
}

// A record with a file buffer of capacity units (plus guard units after it).
struct Dialog {
    explicit Dialog(DWORD capacity, DWORD flags = 0) : file(capacity + 8, GUARD)
    {
        file[0] = 0;
        record.lStructSize = sizeof record;
        record.lpstrFile = file.data();
        record.nMaxFile = capacity;
        record.Flags = flags;
    }
    std::u16string path() const { return file.c_str(); }
    OPENFILENAMEW record{};
    std::u16string file;
};

TEST(PlatformFileDialog, RecordChecksComeFirst)
{
    AutomatedDialog automated("/tmp/x");
    EXPECT_FALSE(GetOpenFileNameW(nullptr));
    EXPECT_EQ(CommDlgExtendedError(), CDERR_INITIALIZATION);
    Dialog dialog(64);
    dialog.record.lStructSize = 76;
    EXPECT_FALSE(GetSaveFileNameW(&dialog.record));
    EXPECT_EQ(CommDlgExtendedError(), CDERR_STRUCTSIZE);
    dialog.record.lStructSize = sizeof(OPENFILENAMEW);
    dialog.record.nMaxFile = 0;
    EXPECT_FALSE(GetOpenFileNameW(&dialog.record));
    EXPECT_EQ(CommDlgExtendedError(), CDERR_INITIALIZATION);
    EXPECT_EQ(dialog.file[0], 0);
    EXPECT_EQ(automated.shown(), "");
}

TEST(PlatformFileDialog, APathThatDoesNotFitIsRefusedWithoutWritingPastTheBuffer)
{
    AutomatedDialog automated("/tmp/abcdef.txt"); // 15 units and the terminating zero
    Dialog tooSmall(15);
    EXPECT_FALSE(GetOpenFileNameW(&tooSmall.record));
    EXPECT_EQ(CommDlgExtendedError(), FNERR_BUFFERTOOSMALL);
    EXPECT_EQ(tooSmall.file[0], 16); // the units it needs
    EXPECT_EQ(tooSmall.file.substr(1), std::u16string(22, GUARD));

    Dialog exact(16);
    ASSERT_TRUE(GetOpenFileNameW(&exact.record));
    EXPECT_EQ(CommDlgExtendedError(), 0u);
    EXPECT_EQ(exact.path(), u"/tmp/abcdef.txt");
    EXPECT_EQ(exact.file.substr(16), std::u16string(8, GUARD));
    EXPECT_EQ(exact.record.nFileOffset, 5);
    EXPECT_EQ(exact.record.nFileExtension, 12);

    // The name without its directory must fit the title buffer as well; then nothing is written.
    Dialog titled(64);
    std::u16string title(12, GUARD);
    titled.record.lpstrFileTitle = title.data();
    titled.record.nMaxFileTitle = 10;
    EXPECT_FALSE(GetOpenFileNameW(&titled.record));
    EXPECT_EQ(CommDlgExtendedError(), FNERR_BUFFERTOOSMALL);
    EXPECT_EQ(title, std::u16string(12, GUARD));
    EXPECT_EQ(titled.file[0], 0);
    titled.record.nMaxFileTitle = 11;
    ASSERT_TRUE(GetOpenFileNameW(&titled.record));
    EXPECT_EQ(title, u"abcdef.txt" + std::u16string(1, 0) + GUARD);
}

TEST(PlatformFileDialog, AnAnswerBecomesAFullPathWithTheDefaultExtension)
{
    TempDirectory dir;
    struct Case {
        const char* answer;
        const KvoChar* defExt;
        std::u16string path; // after the directory and "/"
        int extension;       // nFileExtension counted from the name, -1 for 0
        bool different;      // OFN_EXTENSIONDIFFERENT
    };
    const Case cases[] = {
        {"notes", u"txt", u"notes.txt", 6, false},
        {"notes.TXT", u".txt", u"notes.TXT", 6, false},
        {"notes.md", u"txt", u"notes.md", 6, true},
        {"notes.", u"txt", u"notes.", -1, true},
        {".profile", u"txt", u".profile.txt", 9, false},
        {"a.b/c", nullptr, u"a.b/c", 1, false},
        {"back\\slash:name", nullptr, u"back\\slash:name", 15, false},
    };
    const std::u16string initial = dir.u16();
    for (const Case& c : cases) {
        AutomatedDialog automated(c.answer);
        Dialog dialog(512, OFN_EXTENSIONDIFFERENT);
        dialog.record.lpstrInitialDir = initial.c_str();
        dialog.record.lpstrDefExt = c.defExt;
        ASSERT_TRUE(GetSaveFileNameW(&dialog.record)) << c.answer;
        const std::u16string path = initial + u"/" + c.path;
        EXPECT_EQ(dialog.path(), path) << c.answer;
        const std::size_t nameAt = path.rfind(u'/') + 1;
        EXPECT_EQ(dialog.record.nFileOffset, nameAt) << c.answer;
        EXPECT_EQ(dialog.record.nFileExtension, c.extension < 0 ? 0 : nameAt + c.extension) << c.answer;
        EXPECT_EQ((dialog.record.Flags & OFN_EXTENSIONDIFFERENT) != 0, c.different) << c.answer;
    }
    // An absolute answer ignores the initial directory; without one the current directory counts.
    {
        AutomatedDialog automated("/abs/name");
        Dialog dialog(512);
        dialog.record.lpstrInitialDir = initial.c_str();
        ASSERT_TRUE(GetSaveFileNameW(&dialog.record));
        EXPECT_EQ(dialog.path(), u"/abs/name");
    }
    {
        AutomatedDialog automated("name");
        Dialog dialog(8192);
        ASSERT_TRUE(GetSaveFileNameW(&dialog.record));
        EXPECT_EQ(dialog.path(), kvoFromUtf8(std::filesystem::current_path().c_str()) + u"/name");
    }
}

TEST(PlatformFileDialog, AnAutomatedAnswerThatTheFlagsRefuseCancels)
{
    TempDirectory dir;
    touch(dir.path + "/there.txt");
    const std::u16string initial = dir.u16();
    struct Case {
        const char* answer;
        DWORD flags;
        bool open;
        bool chosen;
    };
    const Case cases[] = {
        {"missing/x.txt", OFN_PATHMUSTEXIST, true, false},
        {"missing/x.txt", 0, true, true},
        {"gone.txt", OFN_FILEMUSTEXIST, true, false},
        {"there.txt", OFN_FILEMUSTEXIST, true, true},
        {"there.txt", OFN_OVERWRITEPROMPT, false, true}, // an automated run replaces
        {".", 0, false, false},                          // a folder is no file
        {"", 0, false, false},                           // an empty answer cancels
    };
    for (const Case& c : cases) {
        AutomatedDialog automated(c.answer);
        Dialog dialog(512, c.flags);
        dialog.record.lpstrInitialDir = initial.c_str();
        const BOOL chosen = c.open ? GetOpenFileNameW(&dialog.record) : GetSaveFileNameW(&dialog.record);
        EXPECT_EQ(chosen != FALSE, c.chosen) << c.answer << " " << automated.shown();
        EXPECT_EQ(CommDlgExtendedError(), 0u) << c.answer;
        if (!c.chosen) {
            EXPECT_EQ(dialog.file[0], 0) << c.answer;
        }
    }
}

struct TypedRun {
    bool chosen = false;
    std::string path;
    std::string shown; // what the dialog wrote to standard error
};

// Runs a save dialog with OFN_OVERWRITEPROMPT in a child process in a new session; typed, when
// given, is what the user types on the child's own terminal (without: the child has none).
TypedRun runTyped(const std::u16string& initialDir, std::optional<std::string> typed)
{
    TypedRun run;
    int errorPipe[2];
    int resultPipe[2];
    if (pipe(errorPipe) != 0 || pipe(resultPipe) != 0)
        return run;
    int master = -1;
    std::string slaveName;
    if (typed) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        slaveName = ptsname(master);
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(errorPipe[1], STDERR_FILENO);
        close(errorPipe[0]);
        close(errorPipe[1]);
        close(resultPipe[0]);
        if (master >= 0)
            close(master);
        setsid();
        if (typed && open(slaveName.c_str(), O_RDWR) < 0)
            _exit(100);
        unsetenv(ANSWER_VARIABLE);
        const std::u16string filter(u"Text\0*.txt\0All\0*\0\0", 19);
        Dialog dialog(512, OFN_OVERWRITEPROMPT);
        dialog.record.lpstrFilter = filter.c_str();
        dialog.record.lpstrInitialDir = initialDir.c_str();
        dialog.record.lpstrTitle = u"Export";
        const std::string result = GetSaveFileNameW(&dialog.record) ? kvoToUtf8(dialog.path().c_str()) : "";
        if (write(resultPipe[1], result.data(), result.size()) != static_cast<ssize_t>(result.size()))
            _exit(101);
        _exit(result.empty() ? 1 : 0);
    }
    close(errorPipe[1]);
    close(resultPipe[1]);
    int keepOpen = -1;
    if (typed) {
        // Holding the slave open lets the input wait in the terminal until the child reads it.
        keepOpen = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_EQ(write(master, typed->data(), typed->size()), static_cast<ssize_t>(typed->size()));
    }
    char chunk[512];
    for (ssize_t n; (n = read(errorPipe[0], chunk, sizeof chunk)) > 0;)
        run.shown.append(chunk, static_cast<std::size_t>(n));
    for (ssize_t n; (n = read(resultPipe[0], chunk, sizeof chunk)) > 0;)
        run.path.append(chunk, static_cast<std::size_t>(n));
    close(errorPipe[0]);
    close(resultPipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    run.chosen = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (keepOpen >= 0)
        close(keepOpen);
    if (master >= 0)
        close(master);
    return run;
}

TEST(PlatformFileDialog, TypedAnswersAskAgainUntilTheFlagsAcceptThem)
{
    TempDirectory dir;
    touch(dir.path + "/there.txt");
    const TypedRun shown = runTyped(dir.u16(), "  report.txt \n");
    EXPECT_TRUE(shown.chosen);
    EXPECT_EQ(shown.path, dir.path + "/report.txt");
    EXPECT_NE(shown.shown.find("\nExport\nFolder: " + dir.path + "\nTypes: Text: *.txt; All: *\n"), std::string::npos)
        << shown.shown;

    // Declining to replace asks for another name; a folder is refused.
    const TypedRun declined = runTyped(dir.u16(), "there.txt\nn\n.\nthere.txt\ny\n");
    EXPECT_TRUE(declined.chosen);
    EXPECT_EQ(declined.path, dir.path + "/there.txt");
    EXPECT_NE(declined.shown.find(" is a folder."), std::string::npos) << declined.shown;

    EXPECT_FALSE(runTyped(dir.u16(), "\n").chosen);
    EXPECT_FALSE(runTyped(dir.u16(), "there.txt\n\x04").chosen); // end of input at the question
    const TypedRun alone = runTyped(dir.u16(), std::nullopt);
    EXPECT_FALSE(alone.chosen);
    EXPECT_NE(alone.shown.find("no terminal"), std::string::npos) << alone.shown;
}

using PluginFileDialog = LiveObjectCheck;

// FileDialog builds its filter list from "description|pattern" texts: the first "|" ends the
// description, entries without one after their first character (and values that are no text)
// are left out, and an empty list shows no types.
TEST_F(PluginFileDialog, FilterListKeepsOnlyEntriesWithADescription)
{
    TempDirectory dir;
    const std::string answer = dir.path + "/chosen.csv";
    std::string shown;
    {
        KvoStringPrinter out;
        KvoVirtualMachine vm(&out);
        AutomatedDialog automated(answer.c_str());
        ASSERT_TRUE(vm.compileText(u"#import \"kv2class\"\n"
                                   u"class Named { Named(); toString(); };\n"
                                   u"Named::Named() { }\n"
                                   u"Named::toString() { return \"Kivo|*.kvo\"; }\n"
                                   u"main(; d, v) {\n"
                                   u"    d = new FileDialog();\n"
                                   u"    v = [\"Text|*.txt\", \"bad\", \"|x\", 5, \"A|b|c\", null];\n"
                                   u"    v[5] = new Named();\n"
                                   u"    d->setFilter(v);\n"
                                   u"    print(d->showOpen(), \" \", d->getFileName(), \" \", d->getExtension(), \"\\n\");\n"
                                   u"    d->setFilter([\"none\"]);\n"
                                   u"    d->setTitle(\"Second\");\n"
                                   u"    print(d->showOpen());\n"
                                   u"    return 0;\n"
                                   u"}\n"))
            << out.a_str();
        ASSERT_TRUE(vm.execute(u"main", 0, nullptr)) << out.a_str();
        EXPECT_EQ(std::string(out.a_str()), "1 chosen csv\n1");
        shown = automated.shown();
    }
    EXPECT_NE(shown.find("\nOpen\nTypes: Text: *.txt; A: b|c; Kivo: *.kvo\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\nSecond\nFolder: " + dir.path + "/\nName: chosen\nanswer: "), std::string::npos) << shown;
}

} // namespace

// Tests of the open and save dialogs through the desktop's file chooser: a fake zenity (or
// kdialog) on PATH records its arguments and answers, and DISPLAY says a desktop is there.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/KvoFileDialog.h"
#include "platform/KvoText.h"

namespace {

namespace fs = std::filesystem;

// Sets a variable (unset for null) for the lifetime of the object and restores it afterwards.
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

// A directory with a fake chooser named program that writes its arguments, one a line, to
// arguments.txt, prints answer and exits with status.
class FakeChooser
{
public:
    FakeChooser(const char* program, const std::string& answer, int status)
    {
        std::string pattern = (fs::temp_directory_path() / "kvochooserXXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        m_directory = pattern;
        const fs::path script = m_directory / program;
        std::ofstream out(script);
        out << "#!/bin/sh\n"
            << "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" << (m_directory / "arguments.txt").string()
            << "'\n"
            << "printf '%s\\n' '" << answer << "'\n"
            << "exit " << status << "\n";
        out.close();
        fs::permissions(script, fs::perms::owner_all);
    }
    ~FakeChooser() { fs::remove_all(m_directory); }
    FakeChooser(const FakeChooser&) = delete;
    FakeChooser& operator=(const FakeChooser&) = delete;

    std::string path() const { return m_directory.string() + ":/usr/bin:/bin"; }
    fs::path directory() const { return m_directory; }
    // The arguments the chooser was run with; empty when it was not run.
    std::vector<std::string> arguments() const
    {
        std::vector<std::string> lines;
        std::ifstream in(m_directory / "arguments.txt");
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

private:
    fs::path m_directory;
};

struct Dialog {
    Dialog()
    {
        file[0] = 0;
        record.lStructSize = sizeof record;
        record.lpstrFile = file;
        record.nMaxFile = 1024;
    }
    std::string chosen() const { return kvoToUtf8(file); }
    KvoChar file[1024];
    OPENFILENAMEW record{};
};

bool has(const std::vector<std::string>& arguments, const std::string& wanted)
{
    for (const std::string& argument : arguments) {
        if (argument == wanted)
            return true;
    }
    return false;
}

class FileChooserTest : public ::testing::Test {
protected:
    ScopedVariable answer{"KIVO_FILEDIALOG_ANSWER", nullptr};
    ScopedVariable display{"DISPLAY", ":77"};
};

TEST_F(FileChooserTest, ZenityOpensWithTheTitleFolderAndFilters)
{
    FakeChooser chooser("zenity", "/etc/hostname", 0);
    ScopedVariable path("PATH", chooser.path().c_str());
    Dialog dialog;
    const KvoChar filter[] = u"Text\0*.txt;*.log\0All\0*\0";
    dialog.record.lpstrFilter = filter;
    dialog.record.lpstrTitle = u"Pick notes";
    dialog.record.lpstrInitialDir = u"/tmp";
    dialog.record.Flags = OFN_FILEMUSTEXIST;
    ASSERT_TRUE(GetOpenFileNameW(&dialog.record));
    EXPECT_EQ(dialog.chosen(), "/etc/hostname");
    EXPECT_EQ(dialog.record.nFileOffset, 5);
    const std::vector<std::string> arguments = chooser.arguments();
    EXPECT_TRUE(has(arguments, "--file-selection"));
    EXPECT_TRUE(has(arguments, "--title=Pick notes"));
    EXPECT_TRUE(has(arguments, "--filename=/tmp/"));
    EXPECT_TRUE(has(arguments, "--file-filter=Text | *.txt *.log"));
    EXPECT_TRUE(has(arguments, "--file-filter=All | *"));
    EXPECT_FALSE(has(arguments, "--save"));
}

TEST_F(FileChooserTest, ZenitySavesAndAsksBeforeReplacing)
{
    FakeChooser chooser("zenity", "/tmp/report", 0);
    ScopedVariable path("PATH", chooser.path().c_str());
    Dialog dialog;
    const std::u16string initial = u"draft.csv";
    initial.copy(dialog.file, initial.size());
    dialog.file[initial.size()] = 0;
    dialog.record.lpstrDefExt = u"csv";
    dialog.record.Flags = OFN_OVERWRITEPROMPT;
    ASSERT_TRUE(GetSaveFileNameW(&dialog.record));
    // The default extension is added as for any answer.
    EXPECT_EQ(dialog.chosen(), "/tmp/report.csv");
    const std::vector<std::string> arguments = chooser.arguments();
    EXPECT_TRUE(has(arguments, "--save"));
    EXPECT_TRUE(has(arguments, "--confirm-overwrite"));
    EXPECT_TRUE(has(arguments, "--title=Save As"));
    EXPECT_TRUE(has(arguments, "--filename=draft.csv"));
}

TEST_F(FileChooserTest, CancellingTheChooserCancelsTheDialog)
{
    FakeChooser chooser("zenity", "", 1);
    ScopedVariable path("PATH", chooser.path().c_str());
    Dialog dialog;
    EXPECT_FALSE(GetOpenFileNameW(&dialog.record));
    EXPECT_EQ(CommDlgExtendedError(), 0u);
    EXPECT_FALSE(chooser.arguments().empty());
}

TEST_F(FileChooserTest, AnAnswerTheFlagsRefuseCancelsInsteadOfAskingAgain)
{
    FakeChooser chooser("zenity", "/no/such/dir/file.txt", 0);
    ScopedVariable path("PATH", chooser.path().c_str());
    Dialog dialog;
    dialog.record.Flags = OFN_PATHMUSTEXIST;
    EXPECT_FALSE(GetOpenFileNameW(&dialog.record));
}

TEST_F(FileChooserTest, TheAutomationVariableAnswersFirst)
{
    FakeChooser chooser("zenity", "/etc/hostname", 0);
    ScopedVariable path("PATH", chooser.path().c_str());
    ScopedVariable automated("KIVO_FILEDIALOG_ANSWER", "/tmp/automated.txt");
    Dialog dialog;
    ASSERT_TRUE(GetSaveFileNameW(&dialog.record));
    EXPECT_EQ(dialog.chosen(), "/tmp/automated.txt");
    EXPECT_TRUE(chooser.arguments().empty());
}

TEST_F(FileChooserTest, WithoutADisplayTheChooserIsNotAsked)
{
    FakeChooser chooser("zenity", "/etc/hostname", 0);
    ScopedVariable path("PATH", chooser.path().c_str());
    ScopedVariable noDisplay("DISPLAY", nullptr);
    ScopedVariable automated("KIVO_FILEDIALOG_ANSWER", "");
    Dialog dialog;
    EXPECT_FALSE(GetOpenFileNameW(&dialog.record));
    EXPECT_TRUE(chooser.arguments().empty());
}

TEST_F(FileChooserTest, KdialogIsAskedWhenZenityIsMissing)
{
    FakeChooser chooser("kdialog", "/etc/hostname", 0);
    ScopedVariable path("PATH", chooser.path().c_str());
    Dialog dialog;
    const KvoChar filter[] = u"Text\0*.txt\0\0";
    dialog.record.lpstrFilter = filter;
    dialog.record.lpstrInitialDir = u"/etc";
    ASSERT_TRUE(GetOpenFileNameW(&dialog.record));
    EXPECT_EQ(dialog.chosen(), "/etc/hostname");
    const std::vector<std::string> arguments = chooser.arguments();
    ASSERT_GE(arguments.size(), 5u);
    EXPECT_EQ(arguments[0], "--title");
    EXPECT_EQ(arguments[1], "Open");
    EXPECT_EQ(arguments[2], "--getopenfilename");
    EXPECT_EQ(arguments[3], "/etc/");
    EXPECT_EQ(arguments[4], "*.txt|Text");
}

TEST_F(FileChooserTest, AChooserThatFailsLeavesTheQuestionToTheTerminal)
{
    FakeChooser chooser("zenity", "", 255);
    const std::string path = chooser.path();
    // In a new session there is no terminal: the dialog is then cancelled, having said why.
    int errorPipe[2];
    ASSERT_EQ(pipe(errorPipe), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(errorPipe[1], STDERR_FILENO);
        close(errorPipe[0]);
        close(errorPipe[1]);
        setsid();
        setenv("PATH", path.c_str(), 1);
        Dialog dialog;
        _exit(GetOpenFileNameW(&dialog.record) ? 1 : 0);
    }
    close(errorPipe[1]);
    std::string shown;
    char chunk[512];
    for (ssize_t n; (n = read(errorPipe[0], chunk, sizeof chunk)) > 0;)
        shown.append(chunk, static_cast<std::size_t>(n));
    close(errorPipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(shown.find("The file chooser did not answer; asking here."), std::string::npos) << shown;
    EXPECT_NE(shown.find("no terminal: cancelled"), std::string::npos) << shown;
}

} // namespace

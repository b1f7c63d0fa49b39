// Tests of the console message box (automated answers, answers typed on a terminal, the answer
// without a terminal) and of the millisecond clock. Each box runs in a child process in a new
// session, so that it has no controlling terminal or, for the typed answers, a pseudo-terminal
// of the test's own; the test never waits on the terminal of whoever runs it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/KvoClock.h"
#include "platform/KvoMessageBox.h"

namespace {

constexpr UINT SINGLE_STEP_STYLE = MB_OKCANCEL | MB_SETFOREGROUND | MB_TOPMOST;

struct BoxRun {
    int answer = -1;
    std::string shown; // what the box wrote to standard error
};

// Shows a box in a child process. automated sets KIVO_MSGBOX_ANSWER (unset when null); typed,
// when given, is what the user types on the child's terminal.
BoxRun runBox(UINT style, const char* automated, std::optional<std::string> typed = std::nullopt)
{
    BoxRun run;
    int errorPipe[2];
    if (pipe(errorPipe) != 0)
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
        setsid();
        if (typed) {
            // A session leader without a terminal acquires the first one it opens.
            if (open(slaveName.c_str(), O_RDWR) < 0)
                _exit(100);
        }
        if (automated)
            setenv("KIVO_MSGBOX_ANSWER", automated, 1);
        else
            unsetenv("KIVO_MSGBOX_ANSWER");
        _exit(MessageBoxW(nullptr, u"Press OK for next step\nor Cancel to leave step mode.", u"Single Step Mode", style));
    }
    close(errorPipe[1]);
    int keepOpen = -1;
    if (typed) {
        // Holding the slave open lets the input wait in the terminal until the child reads it.
        keepOpen = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_EQ(write(master, typed->data(), typed->size()), static_cast<ssize_t>(typed->size()));
    }
    char chunk[512];
    for (ssize_t n; (n = read(errorPipe[0], chunk, sizeof chunk)) > 0;)
        run.shown.append(chunk, static_cast<std::size_t>(n));
    close(errorPipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status))
        run.answer = WEXITSTATUS(status);
    if (keepOpen >= 0)
        close(keepOpen);
    if (master >= 0)
        close(master);
    return run;
}

TEST(PlatformMessageBox, ShowsCaptionAndTextOnStandardError)
{
    const BoxRun run = runBox(SINGLE_STEP_STYLE | MB_ICONQUESTION, "ok");
    EXPECT_EQ(run.answer, IDOK);
    EXPECT_NE(run.shown.find("[question] Single Step Mode\nPress OK for next step\nor Cancel to leave step mode.\n"),
              std::string::npos)
        << run.shown;
}

TEST(PlatformMessageBox, AutomatedAnswerNamesAButtonOrGoesAheadOrStops)
{
    EXPECT_EQ(runBox(SINGLE_STEP_STYLE, "cancel").answer, IDCANCEL);
    EXPECT_EQ(runBox(SINGLE_STEP_STYLE, "OK").answer, IDOK);
    EXPECT_EQ(runBox(MB_YESNO, "ok").answer, IDYES);
    EXPECT_EQ(runBox(MB_YESNO, "cancel").answer, IDNO);
    EXPECT_EQ(runBox(MB_YESNO, "no").answer, IDNO);
    EXPECT_EQ(runBox(MB_ABORTRETRYIGNORE, "Ignore").answer, IDIGNORE);
    EXPECT_EQ(runBox(MB_RETRYCANCEL, "ok").answer, IDRETRY);
    EXPECT_EQ(runBox(MB_OK, "cancel").answer, IDOK);
    // A word that names no button of the box is not an answer.
    EXPECT_EQ(runBox(MB_OKCANCEL, "yes").answer, IDCANCEL);
}

TEST(PlatformMessageBox, WithoutATerminalTheBoxGivesItsStopAnswer)
{
    EXPECT_EQ(runBox(SINGLE_STEP_STYLE, nullptr).answer, IDCANCEL);
    EXPECT_EQ(runBox(MB_YESNOCANCEL, nullptr).answer, IDCANCEL);
    EXPECT_EQ(runBox(MB_YESNO, nullptr).answer, IDNO);
    EXPECT_EQ(runBox(MB_ABORTRETRYIGNORE, nullptr).answer, IDABORT);
    EXPECT_EQ(runBox(MB_OK, nullptr).answer, IDOK);
    EXPECT_EQ(runBox(0x000E, nullptr).answer, IDOK); // unknown button set: a lone OK
}

TEST(PlatformMessageBox, TypedAnswersAreNamesOrFirstLettersAndEmptyMeansDefault)
{
    EXPECT_EQ(runBox(MB_YESNO, nullptr, "y\n").answer, IDYES);
    EXPECT_EQ(runBox(SINGLE_STEP_STYLE, nullptr, "  Cancel \n").answer, IDCANCEL);
    EXPECT_EQ(runBox(MB_YESNO, nullptr, "\n").answer, IDYES);
    EXPECT_EQ(runBox(MB_YESNO | MB_DEFBUTTON2, nullptr, "\n").answer, IDNO);
    const BoxRun retried = runBox(MB_RETRYCANCEL, nullptr, "maybe\nr\n");
    EXPECT_EQ(retried.answer, IDRETRY);
    EXPECT_NE(retried.shown.find("[Retry] / Cancel? [Retry] / Cancel? "), std::string::npos) << retried.shown;
}

TEST(PlatformMessageBox, EndOfTerminalInputGivesTheStopAnswer)
{
    EXPECT_EQ(runBox(SINGLE_STEP_STYLE, nullptr, "\x04").answer, IDCANCEL);
}

TEST(PlatformClock, TickCountFollowsTheMonotonicClockInMilliseconds)
{
    const DWORD before = GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const DWORD elapsed = GetTickCount() - before; // unsigned difference survives the wrap
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 5000u);
}

} // namespace

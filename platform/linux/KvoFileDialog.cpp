// The console open and save dialogs (see KvoFileDialog.h). A dialog runs in three steps: show the
// record's texts on standard error, get an answer (the automation variable, else the terminal),
// and turn the answer into a full path that the flags accept. Only then is the caller's record
// written, and only after every part of the result is known to fit its buffer.
#include "platform/KvoFileDialog.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/KvoPath.h"
#include "platform/KvoText.h"
#include "platform/linux/KvoTerminal.h"
#include "platform/linux/KvoWindowInternal.h"

extern char** environ;

namespace {

// The variable that answers every dialog, for automated runs.
constexpr char ANSWER_VARIABLE[] = "KIVO_FILEDIALOG_ANSWER";
// A typed line is UTF-8: up to three bytes for each unit of the longest path.
constexpr std::size_t MAX_LINE_BYTES = 3 * std::size_t{KVO_MAX_DIALOG_PATH};
// Longest yes/no answer kept.
constexpr std::size_t MAX_CONFIRM_BYTES = 16;

thread_local DWORD t_lastError = 0;

enum class DialogKind : std::uint8_t { OPEN, SAVE };

std::string utf8(const std::u16string& text)
{
    return kvoToUtf8(text.c_str(), text.size());
}

// The text at s up to its terminating zero, reading at most limit units.
std::u16string boundedText(const KvoChar* s, std::size_t limit)
{
    std::size_t length = 0;
    while (length < limit && s[length] != 0)
        ++length;
    return {s, length};
}

std::u16string textOf(const KvoChar* s)
{
    return s ? std::u16string(s) : std::u16string();
}

// "Text: *.txt; All: *" from the pairs of a filter list.
std::string filterDescriptions(const KvoChar* filter)
{
    std::string shown;
    while (filter && *filter) {
        const std::u16string description = filter;
        filter += description.size() + 1;
        const std::u16string pattern = filter;
        filter += pattern.size() + 1;
        shown += (shown.empty() ? "" : "; ") + utf8(description);
        if (!pattern.empty())
            shown += ": " + utf8(pattern);
    }
    return shown;
}

// Index of the last component of path (after its last "/").
std::size_t nameOffset(const std::u16string& path)
{
    const std::size_t slash = path.rfind(u'/');
    return slash == std::u16string::npos ? 0 : slash + 1;
}

// Index of the "." that starts the extension of path's last component, or npos. A leading "."
// (a hidden file's name) starts no extension.
std::size_t extensionDot(const std::u16string& path)
{
    const std::size_t offset = nameOffset(path);
    const std::size_t dot = path.rfind(u'.');
    return dot != std::u16string::npos && dot > offset ? dot : std::u16string::npos;
}

// The directory part of path ("/" for a file at the root).
std::u16string directoryOf(const std::u16string& path)
{
    const std::size_t offset = nameOffset(path);
    return offset <= 1 ? path.substr(0, offset) : path.substr(0, offset - 1);
}

std::u16string currentDirectory()
{
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? kvoFromUtf8(buffer) : std::u16string();
}

// The full path of answer: taken from the initial directory, then from the current one, with
// the default extension appended when the name has none.
std::u16string fullPath(std::u16string answer, const OPENFILENAMEW& ofn)
{
    const auto join = [](const std::u16string& directory, const std::u16string& name) {
        if (directory.empty())
            return name;
        return directory + (directory.back() == u'/' ? u"" : u"/") + name;
    };
    if (answer.front() != u'/')
        answer = join(textOf(ofn.lpstrInitialDir), answer);
    if (answer.front() != u'/')
        answer = join(currentDirectory(), answer);
    std::u16string extension = textOf(ofn.lpstrDefExt);
    if (!extension.empty() && extension.front() == u'.')
        extension.erase(0, 1);
    if (!extension.empty() && extensionDot(answer) == std::u16string::npos)
        answer += u"." + extension;
    return answer;
}

// ---- The desktop's file chooser ------------------------------------------------------------------
// With a display (or at least DISPLAY set) a dialog asks the desktop's file chooser, zenity or
// kdialog, whichever is found first on PATH. Its exit status 0 gives the chosen path on standard
// output, 1 means the user cancelled; anything else (it could not reach the display, or was
// killed) falls back to the terminal.

enum class PickerKind : std::uint8_t { ZENITY, KDIALOG };

struct Picker {
    PickerKind kind;
    std::string program; // full path
};

// The program's path when an executable of that name is on PATH.
std::optional<std::string> findOnPath(const char* name)
{
    const char* path = std::getenv("PATH");
    if (!path)
        return std::nullopt;
    std::string list = path;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        const std::string directory = end > start ? list.substr(start, end - start) : std::string(".");
        const std::string candidate = directory + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0 && kvoPathKind(kvoFromUtf8(candidate.c_str()).c_str()) != KvoPathKind::DIRECTORY)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<Picker> findPicker()
{
    const char* display = std::getenv("DISPLAY");
    if (!kvoDisplayActive() && !(display && *display))
        return std::nullopt;
    if (auto program = findOnPath("zenity"))
        return Picker{PickerKind::ZENITY, *program};
    if (auto program = findOnPath("kdialog"))
        return Picker{PickerKind::KDIALOG, *program};
    return std::nullopt;
}

// The pairs of a filter list as (description, patterns separated by blanks).
std::vector<std::pair<std::string, std::string>> filterPairs(const KvoChar* filter)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    while (filter && *filter) {
        const std::u16string description = filter;
        filter += description.size() + 1;
        std::u16string pattern = filter;
        filter += pattern.size() + 1;
        for (KvoChar& unit : pattern) {
            if (unit == u';')
                unit = u' ';
        }
        const std::string patterns = kvoTrimBlanks(utf8(pattern));
        if (!patterns.empty())
            pairs.emplace_back(utf8(description), patterns);
    }
    return pairs;
}

// The chooser's command line for the record.
std::vector<std::string> pickerArguments(const Picker& picker, const OPENFILENAMEW& ofn, DialogKind kind,
                                         const std::u16string& initialName)
{
    std::string title = ofn.lpstrTitle && *ofn.lpstrTitle ? kvoToUtf8(ofn.lpstrTitle)
                                                           : std::string(kind == DialogKind::OPEN ? "Open" : "Save As");
    // Where the chooser starts: the initial name in the initial folder (a folder ends with "/").
    std::string start = ofn.lpstrInitialDir && *ofn.lpstrInitialDir ? kvoToUtf8(ofn.lpstrInitialDir) : "";
    if (!start.empty() && start.back() != '/')
        start += "/";
    if (!initialName.empty())
        start = initialName.front() == u'/' ? utf8(initialName) : start + utf8(initialName);
    const auto filters = filterPairs(ofn.lpstrFilter);
    std::vector<std::string> arguments{picker.program};
    if (picker.kind == PickerKind::ZENITY) {
        arguments.push_back("--file-selection");
        arguments.push_back("--title=" + title);
        if (kind == DialogKind::SAVE) {
            arguments.push_back("--save");
            if (ofn.Flags & OFN_OVERWRITEPROMPT)
                arguments.push_back("--confirm-overwrite");
        }
        if (!start.empty())
            arguments.push_back("--filename=" + start);
        for (const auto& [description, patterns] : filters)
            arguments.push_back("--file-filter=" + description + " | " + patterns);
        return arguments;
    }
    arguments.push_back("--title");
    arguments.push_back(title);
    arguments.push_back(kind == DialogKind::OPEN ? "--getopenfilename" : "--getsavefilename");
    arguments.push_back(start.empty() ? "." : start);
    std::string filterText;
    for (const auto& [description, patterns] : filters)
        filterText += (filterText.empty() ? "" : "\n") + patterns + "|" + description;
    if (!filterText.empty())
        arguments.push_back(filterText);
    return arguments;
}

// Runs the chooser: its exit status (-1 when it could not be run) and what it wrote (at most
// limit bytes are kept).
int runPicker(const std::vector<std::string>& arguments, std::string& output, std::size_t limit)
{
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // The chooser's own diagnostics (toolkit warnings) are not the program's.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (spawned != 0) {
        close(pipeEnds[0]);
        return -1;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(pipeEnds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        // Read to the end so the chooser never blocks on a full pipe; keep what fits. A cut
        // answer is still longer than any path a dialog gives, so it is refused, never taken.
        output.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(got), limit - std::min(limit, output.size())));
    }
    close(pipeEnds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The answer a dialog gets: the automation variable, the desktop's file chooser, or a line read
// from the terminal.
class AnswerSource
{
public:
    // True when the variable or the chooser answers; then the terminal is not opened.
    bool automated() const noexcept { return m_automated.has_value(); }
    bool hasTerminal() const noexcept { return m_terminal && m_terminal->isOpen(); }

    AnswerSource(const OPENFILENAMEW& ofn, DialogKind kind, const std::u16string& initialName)
    {
        if (const char* variable = std::getenv(ANSWER_VARIABLE)) {
            m_automated = kvoFromUtf8(variable);
            return;
        }
        if (const std::optional<Picker> picker = findPicker()) {
            std::string output;
            const int status = runPicker(pickerArguments(*picker, ofn, kind, initialName), output, MAX_LINE_BYTES + 2);
            if (status == 0 || status == 1) {
                // The chooser's answer is taken like an automated one: once, and refused flags
                // cancel; status 1 (cancelled) is an empty answer.
                while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
                    output.pop_back();
                m_automated = status == 0 ? kvoFromUtf8(output.c_str()) : std::u16string();
                return;
            }
            kvoTellUser("The file chooser did not answer; asking here.\n");
        }
        m_terminal.emplace();
    }

    // The next answer (without terminating zero and what follows it); nullopt when the dialog is
    // cancelled: an empty answer, end of input, no terminal, or the automated answer asked for
    // the second time.
    std::optional<std::u16string> next()
    {
        std::u16string answer;
        if (m_automated) {
            if (m_automatedUsed)
                return std::nullopt;
            m_automatedUsed = true;
            answer = *m_automated;
        } else {
            if (!hasTerminal() || m_ended)
                return std::nullopt;
            std::string line;
            bool cut = false;
            for (;;) {
                kvoTellUser("File name (an empty line cancels)? ");
                if (!m_terminal->readLine(line, MAX_LINE_BYTES, &cut)) {
                    kvoTellUser("\n");
                    return std::nullopt;
                }
                if (!cut)
                    break;
                kvoTellUser("That name is too long.\n");
            }
            answer = kvoFromUtf8(kvoTrimBlanks(line).c_str());
        }
        answer.resize(boundedText(answer.c_str(), answer.size()).size());
        if (answer.empty())
            return std::nullopt;
        return answer;
    }

    // Asks a yes/no question about path; an automated run answers yes. End of input answers no
    // and ends the dialog: a terminal read after it would wait for more input.
    bool confirm(const std::u16string& path, const char* question)
    {
        if (m_automated)
            return true;
        kvoTellUser(utf8(path) + question + " (y/N)? ");
        std::string line;
        if (!m_terminal->readLine(line, MAX_CONFIRM_BYTES)) {
            kvoTellUser("\n");
            m_ended = true;
            return false;
        }
        const std::string answer = kvoTrimBlanks(line);
        return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES";
    }

private:
    std::optional<std::u16string> m_automated;
    bool m_automatedUsed = false;
    bool m_ended = false;
    std::optional<KvoTerminal> m_terminal;
};

// Whether the dialog takes path (full, with its extension), asking what the flags ask; a refusal
// is told.
bool accepts(const std::u16string& path, const OPENFILENAMEW& ofn, DialogKind kind, AnswerSource& source)
{
    const DWORD flags = ofn.Flags;
    const KvoPathKind pathKind = kvoPathKind(path.c_str());
    if (pathKind == KvoPathKind::DIRECTORY) {
        kvoTellUser(utf8(path) + " is a folder.\n");
        return false;
    }
    if ((flags & (OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST)) &&
        kvoPathKind(directoryOf(path).c_str()) != KvoPathKind::DIRECTORY) {
        kvoTellUser("The folder " + utf8(directoryOf(path)) + " does not exist.\n");
        return false;
    }
    if ((flags & OFN_FILEMUSTEXIST) && pathKind == KvoPathKind::MISSING) {
        kvoTellUser(utf8(path) + " does not exist.\n");
        return false;
    }
    if (kind == DialogKind::SAVE && (flags & OFN_OVERWRITEPROMPT) && pathKind != KvoPathKind::MISSING &&
        !source.confirm(path, " already exists. Replace it"))
        return false;
    return !(flags & OFN_CREATEPROMPT) || pathKind != KvoPathKind::MISSING ||
           source.confirm(path, " does not exist. Create it");
}

// Writes the chosen path into the record; false after setting the error when it does not fit.
bool deliver(const std::u16string& path, OPENFILENAMEW& ofn)
{
    const std::size_t offset = nameOffset(path);
    const std::size_t nameLength = path.size() - offset;
    if (path.size() + 1 > ofn.nMaxFile) {
        const std::size_t needed = path.size() + 1;
        ofn.lpstrFile[0] = static_cast<KvoChar>(needed < 0xFFFF ? needed : 0xFFFF);
        t_lastError = FNERR_BUFFERTOOSMALL;
        return false;
    }
    const bool wantsTitle = ofn.lpstrFileTitle && ofn.nMaxFileTitle > 0;
    if (wantsTitle && nameLength + 1 > ofn.nMaxFileTitle) {
        t_lastError = FNERR_BUFFERTOOSMALL;
        return false;
    }
    path.copy(ofn.lpstrFile, path.size());
    ofn.lpstrFile[path.size()] = 0;
    if (wantsTitle) {
        path.copy(ofn.lpstrFileTitle, nameLength, offset);
        ofn.lpstrFileTitle[nameLength] = 0;
    }
    ofn.nFileOffset = static_cast<WORD>(offset);
    const std::size_t dot = extensionDot(path);
    if (dot == std::u16string::npos)
        ofn.nFileExtension = static_cast<WORD>(path.size());
    else
        ofn.nFileExtension = static_cast<WORD>(dot + 1 == path.size() ? 0 : dot + 1);
    const std::u16string extension = dot == std::u16string::npos ? u"" : path.substr(dot + 1);
    std::u16string wanted = textOf(ofn.lpstrDefExt);
    if (!wanted.empty() && wanted.front() == u'.')
        wanted.erase(0, 1);
    const bool different = !wanted.empty() && kvoStrICmp(extension.c_str(), wanted.c_str()) != 0;
    ofn.Flags = different ? ofn.Flags | OFN_EXTENSIONDIFFERENT : ofn.Flags & ~OFN_EXTENSIONDIFFERENT;
    return true;
}

void showDialog(const OPENFILENAMEW& ofn, DialogKind kind, const std::u16string& initialName)
{
    std::string shown = "\n";
    if (ofn.lpstrTitle && *ofn.lpstrTitle)
        shown += kvoToUtf8(ofn.lpstrTitle);
    else
        shown += kind == DialogKind::OPEN ? "Open" : "Save As";
    shown += "\n";
    if (ofn.lpstrInitialDir && *ofn.lpstrInitialDir)
        shown += "Folder: " + kvoToUtf8(ofn.lpstrInitialDir) + "\n";
    const std::string types = filterDescriptions(ofn.lpstrFilter);
    if (!types.empty())
        shown += "Types: " + types + "\n";
    if (!initialName.empty())
        shown += "Name: " + utf8(initialName) + "\n";
    kvoTellUser(shown);
}

BOOL runDialog(OPENFILENAMEW* ofn, DialogKind kind)
{
    t_lastError = 0;
    if (!ofn) {
        t_lastError = CDERR_INITIALIZATION;
        return FALSE;
    }
    if (ofn->lStructSize != sizeof(OPENFILENAMEW)) {
        t_lastError = CDERR_STRUCTSIZE;
        return FALSE;
    }
    if (!ofn->lpstrFile || ofn->nMaxFile == 0) {
        t_lastError = CDERR_INITIALIZATION;
        return FALSE;
    }
    const std::u16string initialName = boundedText(ofn->lpstrFile, ofn->nMaxFile);
    showDialog(*ofn, kind, initialName);

    AnswerSource source(*ofn, kind, initialName);
    if (!source.automated() && !source.hasTerminal()) {
        kvoTellUser("no terminal: cancelled\n");
        return FALSE;
    }
    for (;;) {
        const std::optional<std::u16string> answer = source.next();
        if (!answer) {
            kvoTellUser("cancelled\n");
            return FALSE;
        }
        const std::u16string path = fullPath(*answer, *ofn);
        if (source.automated())
            kvoTellUser("answer: " + utf8(path) + "\n");
        if (path.size() > KVO_MAX_DIALOG_PATH) {
            kvoTellUser("That name is too long.\n");
            if (source.automated()) {
                t_lastError = FNERR_INVALIDFILENAME;
                return FALSE;
            }
            continue;
        }
        if (accepts(path, *ofn, kind, source))
            return deliver(path, *ofn) ? TRUE : FALSE;
    }
}

} // namespace

extern "C" BOOL GetOpenFileNameW(OPENFILENAMEW* ofn)
{
    return runDialog(ofn, DialogKind::OPEN);
}

extern "C" BOOL GetSaveFileNameW(OPENFILENAMEW* ofn)
{
    return runDialog(ofn, DialogKind::SAVE);
}

extern "C" DWORD CommDlgExtendedError()
{
    return t_lastError;
}

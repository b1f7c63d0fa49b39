// The console open and save dialogs (see KvoFileDialog.h). A dialog runs in three steps: show the
// record's texts on standard error, get an answer (the automation variable, else the terminal),
// and turn the answer into a full path that the flags accept. Only then is the caller's record
// written, and only after every part of the result is known to fit its buffer.
#include "platform/KvoFileDialog.h"

#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <unistd.h>

#include "platform/KvoPath.h"
#include "platform/KvoText.h"
#include "platform/linux/KvoTerminal.h"

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

// The answer a dialog gets: a line read from the terminal or the automation variable.
class AnswerSource
{
public:
    // True when the variable answers; then the terminal is not opened.
    bool automated() const noexcept { return m_automated.has_value(); }
    bool hasTerminal() const noexcept { return m_terminal && m_terminal->isOpen(); }

    AnswerSource()
    {
        if (const char* variable = std::getenv(ANSWER_VARIABLE))
            m_automated = kvoFromUtf8(variable);
        else
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
    showDialog(*ofn, kind, boundedText(ofn->lpstrFile, ofn->nMaxFile));

    AnswerSource source;
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

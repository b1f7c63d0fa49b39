// The interactive prompt (see KivoRepl.h).
//
// Each input is tried in three forms, and the first that compiles is used:
//   1. an expression (unless the input ends with ';'): compiled as the body
//      `__kivo_input__() { __kivo_show__((input)); }`, run, and its value shown unless null;
//   2. statements: compiled as the body `__kivo_input__() { input }` and run;
//   3. declarations (functions, classes, #defvar and other directives): compiled as they stand.
// When none compiles, the diagnostics of the form that got furthest into the input are shown.
// Names that a statement assigns without declaring them are globals, so they stay for later
// inputs; functions and classes stay as well.
#include "KivoRepl.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <thread>
#include <unistd.h>
#include <string>
#include <vector>

#include <editline/readline.h>

#include "KivoSession.h"
#include "KivoValueFormat.h"
#include "host/KvoStringPrinter.h"
#include "platform/KvoText.h"
#include "values/KvoValue.h"
#include "values/ValPtr.h"
#include "vm/KvoInterpreter.h"

namespace {

constexpr char PROMPT[] = "kivo> ";
constexpr char CONTINUATION_PROMPT[] = "....> ";
constexpr char HISTORY_FILE[] = ".kivo_history";
constexpr int HISTORY_LINES = 1000;
constexpr KvoChar INPUT_FUNCTION[] = u"__kivo_input__";
constexpr KvoChar SHOW_FUNCTION[] = u"__kivo_show__";
constexpr KvoChar INPUT_NAME[] = u"<input>";

constexpr char HELP[] =
    "Type an expression to see its value, statements to run them, or declarations\n"
    "(functions, classes, #defvar) to keep them for later inputs. An input goes on over\n"
    "several lines while a bracket, brace or parenthesis is open. An input that ends with\n"
    "';' runs as statements without showing a value. Assign without 'var' (x = 5) to keep a\n"
    "variable: names that no function declares are globals.\n"
    "Commands:\n"
    "  .help        this text\n"
    "  .load FILE   compile FILE into the session (its main is not run)\n"
    "  .quit        leave (so do Ctrl-D and exit())\n"
    "Ctrl-C stops a running input, or drops the line being typed.\n";

// __kivo_show__(value): prints value readably on its own line, unless it is null.
bool showValue(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    ValPtr base = args;
    base -= argc;
    if (argc == 1 && base[1].getType() != KVT_NULL) {
        const std::u16string text = kivoFormatValue(vm->interpreter(), base[1]);
        vm->printer()(u"%s\n", text.c_str());
    }
    base[0] = KvoValue();
    args = base;
    return true;
}

std::string trim(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string historyPath()
{
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/" + HISTORY_FILE : std::string();
}

// One compiled form's first diagnostic, placed in the user's input.
struct Attempt {
    bool compiled = false;
    std::string diagnostics; // the compiler's text
    long line = 0;           // of the first diagnostic, in the input; 0 when none was parsed
    long column = 0;
};

// The first diagnostic of text ("--> message \nin name line L pos P \n..."): line and column,
// the column moved left by prefixLength on line 1 (the generated text before the input).
void locate(Attempt& attempt, std::size_t prefixLength)
{
    static const std::regex pattern("--> .*? \nin .* line (-?\\d+) pos (\\d+) \n");
    std::smatch match;
    if (!std::regex_search(attempt.diagnostics, match, pattern))
        return;
    attempt.line = std::strtol(match[1].str().c_str(), nullptr, 10);
    attempt.column = std::strtol(match[2].str().c_str(), nullptr, 10);
    if (attempt.line == 1)
        attempt.column -= static_cast<long>(prefixLength);
    if (attempt.column < 1)
        attempt.column = 1;
}

} // namespace

std::string kivoDescribeDiagnostics(const std::string& diagnostics, const std::string& input,
                                    std::size_t prefixLength, const std::string& name)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = input.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(input.substr(start, end - start));
    lines.push_back(input.substr(start));

    static const std::regex pattern("--> (.*?) \nin .* line (-?\\d+) pos (\\d+) \n[^\n]*\n");
    std::string out;
    for (std::sregex_iterator it(diagnostics.begin(), diagnostics.end(), pattern), end; it != end; ++it) {
        long line = std::strtol((*it)[2].str().c_str(), nullptr, 10);
        long column = std::strtol((*it)[3].str().c_str(), nullptr, 10);
        if (line == 1)
            column -= static_cast<long>(prefixLength);
        if (line < 1)
            line = 1;
        if (line > static_cast<long>(lines.size())) {
            line = static_cast<long>(lines.size());
            column = static_cast<long>(lines.back().size()) + 1;
        }
        if (column < 1)
            column = 1;
        const std::string& text = lines[static_cast<std::size_t>(line - 1)];
        out += name + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + (*it)[1].str() + "\n";
        out += "    " + text + "\n    " + std::string(static_cast<std::size_t>(column - 1), ' ') + "^\n";
    }
    if (out.empty())
        out = diagnostics;
    return out;
}

namespace {

// Ctrl-C while an input runs stops it and the prompt comes back; at the prompt it drops the
// line being typed. The signal handler only counts and writes a byte to a pipe; a watcher thread
// reads it and asks the machine to cancel, which a machine allows from another thread (and which
// does nothing while no script runs).
class Interrupts
{
public:
    explicit Interrupts(KvoVirtualMachine& vm) : m_vm(vm)
    {
        if (pipe(s_pipe) != 0) {
            s_pipe[0] = s_pipe[1] = -1;
            return;
        }
        m_watcher = std::thread([this] { watch(); });
        struct sigaction action {};
        action.sa_handler = &onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no restart: a read at the prompt returns
        sigaction(SIGINT, &action, &m_previous);
    }
    ~Interrupts()
    {
        if (s_pipe[1] < 0)
            return;
        sigaction(SIGINT, &m_previous, nullptr);
        close(s_pipe[1]);
        s_pipe[1] = -1;
        m_watcher.join();
        close(s_pipe[0]);
    }
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    // How many times Ctrl-C was pressed so far.
    static int count() noexcept { return s_count; }

private:
    static void onSignal(int)
    {
        s_count = s_count + 1;
        const char byte = 1;
        if (s_pipe[1] >= 0)
            (void)!write(s_pipe[1], &byte, 1);
    }

    void watch()
    {
        char byte;
        while (read(s_pipe[0], &byte, 1) == 1)
            m_vm.cancel();
    }

    static inline int s_pipe[2] = {-1, -1};
    static inline volatile std::sig_atomic_t s_count = 0;
    KvoVirtualMachine& m_vm;
    std::thread m_watcher;
    struct sigaction m_previous {};
};

class Prompt
{
public:
    explicit Prompt(KivoSession& session) : m_session(session), m_interrupts(session.vm()) {}

    int run()
    {
        KvoVirtualMachine& vm = m_session.vm();
        vm.registerNativeFunction(SHOW_FUNCTION, &showValue);
        m_session.renameInChain(INPUT_FUNCTION, INPUT_NAME);
        const std::string history = historyPath();
        stifle_history(HISTORY_LINES);
        rl_catch_signals = 0; // Ctrl-C is the prompt's own (see Interrupts)
        if (!history.empty())
            read_history(history.c_str()); // a missing file is no error
        std::printf("Kivo %s - type .help for help, .quit or Ctrl-D to leave\n", KIVO_VERSION);
        int status = 0;
        for (;;) {
            std::string input;
            if (!readInput(input)) {
                std::putchar('\n');
                break;
            }
            if (input.empty()) {
                std::putchar('\n'); // Ctrl-C at the prompt
                continue;
            }
            const std::string trimmed = trim(input);
            if (trimmed.empty())
                continue;
            add_history(input.c_str());
            if (trimmed[0] == '.') {
                if (!command(trimmed))
                    break;
                continue;
            }
            if (evaluate(input) == KivoSession::Outcome::EXITED) {
                status = m_session.exitStatus();
                break;
            }
        }
        if (!history.empty())
            write_history(history.c_str()); // failures are ignored
        std::fflush(stdout);
        return status;
    }

private:
    // One input: a line, and further lines while it is open. False at end of input.
    bool readInput(std::string& input)
    {
        std::fflush(stdout);
        input.clear();
        const int interrupts = Interrupts::count();
        char* line = readline(PROMPT);
        if (!line)
            return Interrupts::count() != interrupts; // Ctrl-C: an empty input, the prompt goes on
        input = line;
        std::free(line);
        while (kivoInputIsOpen(input)) {
            const int before = Interrupts::count();
            line = readline(CONTINUATION_PROMPT);
            if (!line && Interrupts::count() != before) {
                input.clear(); // Ctrl-C drops the unfinished input
                return true;
            }
            if (!line)
                break; // end of input: what was read is compiled and reports what is missing
            input += "\n";
            input += line;
            std::free(line);
        }
        return true;
    }

    // A command; false when the prompt ends.
    bool command(const std::string& text)
    {
        const std::size_t space = text.find_first_of(" \t");
        const std::string name = text.substr(0, space);
        const std::string argument = space == std::string::npos ? std::string() : trim(text.substr(space));
        if (name == ".quit" || name == ".exit")
            return false;
        if (name == ".help") {
            std::fputs(HELP, stdout);
        } else if (name == ".load") {
            if (argument.empty())
                m_session.complain(".load needs a file name");
            else
                m_session.compileFile(argument);
        } else {
            m_session.complain("unknown command " + name + " (type .help)");
        }
        return true;
    }

    Attempt attempt(const std::string& text)
    {
        KvoStringPrinter diagnostics;
        Attempt result;
        result.compiled = m_session.compileText(kvoFromUtf8(text.c_str()), INPUT_NAME, &diagnostics);
        const std::u16string captured = diagnostics.c_str();
        result.diagnostics = kvoToUtf8(captured.data(), captured.size());
        return result;
    }

    KivoSession::Outcome evaluate(const std::string& input)
    {
        const std::string expressionPrefix = "__kivo_input__() { __kivo_show__((";
        const std::string statementPrefix = "__kivo_input__() { ";
        std::string expression = trim(input);
        const bool statementsOnly = expression.back() == ';';

        Attempt asExpression;
        if (!statementsOnly) {
            asExpression = attempt(expressionPrefix + expression + "\n)); }");
            if (asExpression.compiled)
                return runInput();
            locate(asExpression, expressionPrefix.size());
        }
        Attempt asStatements = attempt(statementPrefix + input + "\n}");
        if (asStatements.compiled)
            return runInput();
        locate(asStatements, statementPrefix.size());
        Attempt asDeclarations = attempt(input);
        if (asDeclarations.compiled)
            return KivoSession::Outcome::RETURNED;
        locate(asDeclarations, 0);

        // The form whose first error lies furthest into the input is most likely the one meant.
        const Attempt* best = &asStatements;
        std::size_t prefix = statementPrefix.size();
        auto further = [](const Attempt& a, const Attempt& b) {
            return a.line > b.line || (a.line == b.line && a.column > b.column);
        };
        if (further(asDeclarations, *best)) {
            best = &asDeclarations;
            prefix = 0;
        }
        if (!statementsOnly && further(asExpression, *best)) {
            best = &asExpression;
            prefix = expressionPrefix.size();
        }
        std::fflush(stdout);
        std::fputs(kivoDescribeDiagnostics(best->diagnostics, input, prefix, "<input>").c_str(), stderr);
        std::fflush(stderr);
        return KivoSession::Outcome::FAILED;
    }

    KivoSession::Outcome runInput()
    {
        const int interrupts = Interrupts::count();
        const KivoSession::Outcome outcome = m_session.run(INPUT_FUNCTION, 0, nullptr);
        if (Interrupts::count() != interrupts && outcome == KivoSession::Outcome::RETURNED)
            m_session.complain("interrupted");
        return outcome;
    }

    KivoSession& m_session;
    Interrupts m_interrupts;
};

} // namespace

bool kivoInputIsOpen(const std::string& text)
{
    int depth = 0;
    bool inString = false;
    bool inBlockComment = false;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (inBlockComment) {
            if (c == '*' && next == '/') {
                inBlockComment = false;
                ++i;
            }
        } else if (inString) {
            if (c == '\\')
                ++i;
            else if (c == quote)
                inString = false;
        } else if (c == '"' || c == '\'') {
            inString = true;
            quote = c;
        } else if (c == '/' && next == '/') {
            const std::size_t end = text.find('\n', i);
            if (end == std::string::npos)
                break;
            i = end;
        } else if (c == '/' && next == '*') {
            inBlockComment = true;
            ++i;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        }
    }
    return depth > 0 || inString || inBlockComment;
}

int kivoRunRepl(KivoSession& session)
{
    return Prompt(session).run();
}

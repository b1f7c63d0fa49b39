// kivo: the command for people. `kivo script.kvo words...` runs a script's main with the program's
// path, the script's path and the words as arguments; `kivo -e 'text'` runs a snippet; `kivo -`
// or a pipe reads the program from standard input; `kivo` on a terminal starts the interactive
// prompt. Scripts are compiled with line information, so an uncaught error names its file and
// line and shows the chain of calls. Every diagnostic goes to standard error.
//
// Exit status: main's integer result (0 when main returns anything else, null included), the
// status given to exit(), 1 after a compile error, an uncaught error or a script that cannot be
// read, 2 for a command line it does not understand.
#include <cstdio>
#include <exception>
#include <iostream>
#include <iterator>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

#include "KivoRepl.h"
#include "KivoSession.h"
#include "KvoDriverSupport.h"
#include "host/KvoStringPrinter.h"
#include "platform/KvoMemory.h"
#include "platform/KvoText.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_ERROR = 1;
constexpr int EXIT_USAGE = 2;
constexpr KvoChar MAIN_FUNCTION[] = u"main";

constexpr char HELP[] =
    "usage: kivo [options] [script [argument ...]]\n"
    "       kivo [options] -e TEXT [argument ...]\n"
    "       kivo [options] - [argument ...]\n"
    "\n"
    "Runs a Kivo script: compiles it and calls its main function with the path of kivo, the\n"
    "script's path and the arguments as strings. Without a script, on a terminal, kivo starts\n"
    "an interactive prompt; with standard input from a pipe or a file it reads the program\n"
    "from there. A script may start with a '#!/usr/bin/env kivo' line.\n"
    "\n"
    "options:\n"
    "  -e TEXT      run TEXT: a program with a main function, or else statements that run\n"
    "               as the body of main (kivo -e 'print(6 * 7, \"\\n\");')\n"
    "  -            read the program from standard input\n"
    "  -u           untrusted: no native calls or modules, no files, no setenv\n"
    "  --           end of options: the next argument is the script\n"
    "  -h, --help   show this text\n"
    "  --version    show the version\n"
    "\n"
    "prompt commands: .help, .load FILE, .quit (or Ctrl-D); history in ~/.kivo_history\n"
    "\n"
    "exit status: main's integer result (0 when main returns no integer), the status given\n"
    "to exit(), 1 after a compile error, an uncaught error or a script that cannot be read,\n"
    "2 for a command line kivo does not understand.\n"
    "\n"
    "environment: KVOLIB (where #use finds compiled modules), KVOINC (where #include finds\n"
    "files), PATH (where #import finds native modules).\n";

// Where the program comes from.
enum class Source { PROMPT, FILE, SNIPPET, STANDARD_INPUT };

struct Command {
    Source source = Source::PROMPT;
    std::string script;  // the file, or the snippet's text
    bool untrusted = false;
    std::vector<std::string> words; // the script's own arguments
};

int usageError(const std::string& text)
{
    kivoComplain(text);
    std::fputs("Try 'kivo --help' for more information.\n", stderr);
    return EXIT_USAGE;
}

// Reads the command line into command; returns -1 to go on, else the exit status (help,
// version or a usage error, already printed).
int readCommand(int argc, char** argv, Command& command)
{
    int i = 1;
    bool haveSource = false;
    while (i < argc && !haveSource) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            std::fputs(HELP, stdout);
            return EXIT_OK;
        }
        if (argument == "--version") {
            std::printf("kivo %s\n", KIVO_VERSION);
            return EXIT_OK;
        }
        if (argument == "--") {
            if (i + 1 >= argc)
                return usageError("'--' must be followed by a script");
            command.source = Source::FILE;
            command.script = argv[i + 1];
            i += 2;
            haveSource = true;
        } else if (argument == "-e") {
            if (i + 1 >= argc)
                return usageError("option -e needs the text to run");
            command.source = Source::SNIPPET;
            command.script = argv[i + 1];
            i += 2;
            haveSource = true;
        } else if (argument == "-") {
            command.source = Source::STANDARD_INPUT;
            ++i;
            haveSource = true;
        } else if (argument == "-u") {
            command.untrusted = true;
            ++i;
        } else if (argument.size() > 1 && argument[0] == '-') {
            return usageError("unknown option '" + argument + "'");
        } else {
            command.source = Source::FILE;
            command.script = argument;
            ++i;
            haveSource = true;
        }
    }
    if (!haveSource && !isatty(STDIN_FILENO))
        command.source = Source::STANDARD_INPUT;
    for (; i < argc; ++i)
        command.words.emplace_back(argv[i]);
    if (command.source == Source::PROMPT && !command.words.empty())
        return usageError("arguments given without a script");
    return -1;
}

// The exit status for what main returned.
int statusOf(const KvoValue& result)
{
    return result.getType() == KVT_INTEGER ? static_cast<int>(result.getLong()) : EXIT_OK;
}

// Compiles a snippet: as a program when it compiles as one (main, when it has one, runs); else
// as the body of main.
bool compileSnippet(KivoSession& session, const std::string& snippet)
{
    const std::u16string text = kvoFromUtf8(snippet.c_str());
    {
        // A trial in a machine of its own, so that a failed trial leaves nothing behind.
        KivoSession trial;
        KvoStringPrinter quiet;
        if (trial.compileText(text, u"-e", &quiet))
            return session.compileText(text, u"-e");
    }
    // On the first line, so that the snippet's line numbers stay as written.
    const std::string prefix = "main() { ";
    KvoStringPrinter diagnostics;
    if (session.compileText(kvoFromUtf8(prefix.c_str()) + text + u"\n}", u"-e", &diagnostics))
        return true;
    const std::u16string captured = diagnostics.c_str();
    std::fflush(stdout);
    std::fputs(kivoDescribeDiagnostics(kvoToUtf8(captured.data(), captured.size()), snippet, prefix.size(), "-e").c_str(),
               stderr);
    return false;
}

int run(KivoSession& session, const Command& command, const char* argv0)
{
    KvoVirtualMachine& vm = session.vm();
    if (command.untrusted)
        (void)vm.setUntrusted(true);

    // The script's arguments: kivo's own path, the script's name, then the words.
    std::vector<std::u16string> texts;
    texts.push_back(kvoExecutablePath(argv0));
    switch (command.source) {
    case Source::FILE: texts.push_back(kvoFromUtf8(command.script.c_str())); break;
    case Source::SNIPPET: texts.push_back(u"-e"); break;
    default: texts.push_back(u"-"); break;
    }
    for (const std::string& word : command.words)
        texts.push_back(kvoFromUtf8(word.c_str()));
    std::vector<const KvoChar*> arguments;
    for (const std::u16string& text : texts)
        arguments.push_back(text.c_str());
    arguments.push_back(nullptr);
    vm.cmdargc() = static_cast<int>(texts.size());
    vm.cmdargv() = arguments.data();

    if (command.source == Source::PROMPT)
        return kivoRunRepl(session);

    bool compiled = false;
    switch (command.source) {
    case Source::FILE:
        compiled = session.compileFile(command.script);
        break;
    case Source::SNIPPET:
        compiled = compileSnippet(session, command.script);
        break;
    default: {
        const std::string program((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
        compiled = session.compileText(kvoFromUtf8(program.data(), program.size()), u"<stdin>");
        break;
    }
    }
    if (!compiled)
        return EXIT_ERROR;
    if (!session.hasFunction(MAIN_FUNCTION)) {
        if (command.source == Source::SNIPPET)
            return EXIT_OK; // declarations only: nothing to run
        kivoComplain("no main function in " + (command.source == Source::FILE ? command.script : "<stdin>"));
        return EXIT_ERROR;
    }
    switch (session.run(MAIN_FUNCTION, vm.cmdargc(), arguments.data())) {
    case KivoSession::Outcome::RETURNED: return statusOf(vm.getResult());
    case KivoSession::Outcome::EXITED: return session.exitStatus();
    case KivoSession::Outcome::FAILED: break;
    }
    return EXIT_ERROR;
}

} // namespace

int main(int argc, char** argv)
{
    Command command;
    const int early = readCommand(argc, argv, command);
    if (early >= 0)
        return early;
    int status = EXIT_ERROR;
    // The runtime reports its own failures; what the C++ library may still throw ends the run
    // with a message instead of an abort.
    try {
        KivoSession session;
        status = run(session, command, argc > 0 ? argv[0] : "kivo");
    } catch (const std::bad_alloc&) {
        errorExit(1);
    } catch (const std::exception& e) {
        kivoComplain(std::string("internal error: ") + e.what());
        status = EXIT_ERROR;
    }
    std::fflush(stdout);
    return status;
}

// kv2: the command-line program. It compiles .kvo source files and loads .kvm modules into one
// virtual machine, then either writes the result as a module (-c) or runs the program's main
// function and exits with its integer result. Every failure has already been reported by the
// machine's printer (standard output) when the program exits with -1.
//
// The program uses only what libkvolib exports, as any other host would. Its one piece of user
// interface is the single-step box: while a script is in single-step mode, a message box asks
// before each step whether to go on stepping.
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "KvoDriverSupport.h"
#include "KvoVersion.h"
#include "host/KvoFileStreamPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoMemory.h"
#include "platform/KvoMessageBox.h"
#include "platform/KvoText.h"

namespace {

constexpr int EXIT_FAILED = -1;
constexpr KvoChar DEFAULT_OUTPUT[] = u"out.kvm";
constexpr KvoChar SOURCE_EXTENSION[] = u".kvo";
constexpr KvoChar MODULE_EXTENSION[] = u".kvm";
constexpr KvoChar MAIN_FUNCTION[] = u"main";

constexpr KvoChar USAGE[] =
    u"Kivo " KIVO_VERSION_SHORT " - embeddable scripting language\n"
    u"compiler and interpreter by the Kivo developers\n"
    u"\n"
    u"usage:\n"
    u"kv2 [-i][-d][-l][-t][-c] [sourcefile [..]] [-r objfile [..]] \n"
    u"   [-o outfile] [# userarg [..]]\n"
    u"options:\n"
    u"    -d ... shows debug information during compilation\n"
    u"    -l ... includes source file and line information into bytecode\n"
    u"    -v ... includes local variables information into bytecode\n"
    u"    -t ... trace bytecodes during execution\n"
    u"    -i ... info (shows syntax and names of compiled functions)\n"
    u"    -c ... compile only\n"
    u"    -r ... specifies precompiled files to be loaded\n"
    u"    -o ... name of output file (used only with -c)\n"
    u"    -u ... untrusted script: no native calls or modules, files or setenv\n"
    u"     # ... marks begin of user argument list\n";

constexpr KvoChar SINGLE_STEP_CAPTION[] = u"Single Step Mode";
constexpr KvoChar SINGLE_STEP_TEXT[] = u"Press OK for next step\nor Cancel to leave step mode.";
constexpr UINT SINGLE_STEP_STYLE = MB_OKCANCEL | MB_SETFOREGROUND | MB_TOPMOST;

// What the plain arguments currently name.
enum class Mode { SOURCE, MODULE, OUTPUT };

struct Options {
    bool debug = false;
    bool trace = false;
    bool showInfo = false;
    bool compileOnly = false;
    std::vector<std::u16string> sources;
    std::vector<std::u16string> modules;
    std::u16string output = DEFAULT_OUTPUT;
};

// The machine's debugger-wait procedure: true (keep stepping) exactly when the user pressed OK.
bool askSingleStep()
{
    return MessageBoxW(nullptr, SINGLE_STEP_TEXT, SINGLE_STEP_CAPTION, SINGLE_STEP_STYLE) == IDOK;
}

// name with extension appended when its file name (the part after the last '/' or '\') has no
// '.'. Only the last part counts, so "./prog" and "../lib/app" still get their extension.
std::u16string withDefaultExtension(const std::u16string& name, const KvoChar* extension)
{
    const std::size_t lastSlash = name.find_last_of(u"/\\");
    const std::size_t fileStart = lastSlash == std::u16string::npos ? 0 : lastSlash + 1;
    if (name.find(u'.', fileStart) != std::u16string::npos)
        return name;
    return name + extension;
}

// Reads the command line into options. Returns false after printing the reason and the usage
// text for an option it does not know.
bool readOptions(KvoVirtualMachine& vm, int argc, const KvoChar** argv, Options& options)
{
    Mode mode = Mode::SOURCE;
    for (int i = 1; i < argc; ++i) {
        const std::u16string argument = argv[i];
        if (argument[0] == u'#')
            break; // this and every later argument belong to the script
        if (argument[0] == u'-') {
            // An option is known by its first two characters: -c and -cxyz are the same.
            switch (argument.size() > 1 ? argument[1] : u'\0') {
            case u'd': options.debug = true; break;
            case u'l':
                vm.setGenerateLineInfo(true);
                vm.setRecordCallChain(true); // shown on standard error after an uncaught error
                break;
            case u'v': vm.setGenerateLocalVarInfo(true); break;
            case u't': options.trace = true; break;
            case u'i': options.showInfo = true; break;
            case u'c': options.compileOnly = true; break;
            case u'r': mode = Mode::MODULE; break;
            case u'o': mode = Mode::OUTPUT; break;
            // Before anything is loaded or compiled, wherever it stands on the command line.
            case u'u': (void)vm.setUntrusted(true); break;
            default:
                vm.printer()(u"invalid option %s\n%s", argument.c_str(), USAGE);
                return false;
            }
            continue;
        }
        switch (mode) {
        case Mode::SOURCE: options.sources.push_back(withDefaultExtension(argument, SOURCE_EXTENSION)); break;
        case Mode::MODULE: options.modules.push_back(withDefaultExtension(argument, MODULE_EXTENSION)); break;
        case Mode::OUTPUT: options.output = withDefaultExtension(argument, MODULE_EXTENSION); break;
        }
    }
    return true;
}

// Loads the modules (each found along KVOLIB, else taken as named), compiles the sources, then
// writes the output module or runs main. Returns the exit code.
int run(KvoVirtualMachine& vm, int argc, const KvoChar** argv)
{
    if (argc < 2) {
        vm.printer()(u"%s", USAGE);
        return EXIT_FAILED;
    }
    Options options;
    if (!readOptions(vm, argc, argv, options))
        return EXIT_FAILED;

    for (const std::u16string& module : options.modules) {
        const KvoChar* found = KvoVirtualMachine::searchEnv(u"KVOLIB", module.c_str());
        const std::u16string path(found ? found : module.c_str());
        if (!vm.readModule(path.c_str()))
            return EXIT_FAILED;
    }
    for (const std::u16string& source : options.sources) {
        if (!vm.compileFile(source.c_str(), options.showInfo, options.debug, nullptr, nullptr))
            return EXIT_FAILED;
    }
    if (options.compileOnly)
        return vm.writeModule(options.output.c_str()) ? 0 : EXIT_FAILED;
    if (!vm.execute(MAIN_FUNCTION, argc, argv, options.trace, nullptr, nullptr)) {
        const std::string chain = kvoCallChainReport(vm);
        if (!chain.empty()) {
            std::fflush(stdout); // after the error text the machine printed
            std::fputs(chain.c_str(), stderr);
        }
        return EXIT_FAILED;
    }
    // The script's exit() ends the run with its own status.
    if (vm.exitRequested())
        return vm.exitStatus();
    return static_cast<int>(vm.getResult().getLong());
}

} // namespace

int main(int argc, char** argv)
{
    // The arguments as UTF-16 texts; the first is the program's full path.
    std::vector<std::u16string> texts;
    texts.reserve(static_cast<std::size_t>(argc));
    texts.push_back(kvoExecutablePath(argc > 0 ? argv[0] : ""));
    for (int i = 1; i < argc; ++i)
        texts.push_back(kvoFromUtf8(argv[i]));
    std::vector<const KvoChar*> arguments;
    for (const std::u16string& text : texts)
        arguments.push_back(text.c_str());
    arguments.push_back(nullptr);
    const int count = static_cast<int>(texts.size());

    KvoFileStreamPrinter printer(stdout, false);
    int exitCode = EXIT_FAILED;
    // The runtime reports its own failures; what the C++ library may still throw (memory for
    // the compiler's tables) ends the run with a message instead of an abort.
    try {
        KvoVirtualMachine vm(&printer);
        vm.setDbgWaitProc(askSingleStep);
        vm.cmdargc() = count;
        vm.cmdargv() = arguments.data();
        exitCode = run(vm, count, arguments.data());
    } catch (const std::bad_alloc&) {
        errorExit(1);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kv2: internal error: %s\n", e.what());
        exitCode = EXIT_FAILED;
    }
    std::fflush(stdout);
    return exitCode;
}

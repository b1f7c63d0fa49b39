// KivoSession: what the kivo command does with its one machine, for scripts and for the prompt
// alike. Everything is compiled with line information and the machine records the chain of
// calls, so an uncaught error is reported as "file:line: message" followed by the calls that
// were active, innermost first. Diagnostics and error reports go to standard error; the
// script's own output (print) goes to standard output.
#pragma once

#include <string>

#include "host/KvoFileStreamPrinter.h"
#include "host/KvoVirtualMachine.h"

class KivoSession
{
public:
    // How a run ended.
    enum class Outcome {
        RETURNED, // the function returned; its value is the machine's result
        FAILED,   // an uncaught error, already reported
        EXITED,   // the script called exit(); the status is exitStatus()
    };

    KivoSession();
    KivoSession(const KivoSession&) = delete;
    KivoSession& operator=(const KivoSession&) = delete;

    KvoVirtualMachine& vm() noexcept { return m_vm; }
    // The printer on standard error.
    IKvoPrinter& errors() noexcept { return m_errors; }

    // Compiles source text under name into the machine; diagnostics go to diagnostics (standard
    // error when null). True without a diagnostic.
    bool compileText(const std::u16string& text, const std::u16string& name, IKvoPrinter* diagnostics = nullptr);
    // Compiles the file at path (UTF-8) under its own name; false after a diagnostic, or after a
    // clear message when it is missing, unreadable or a directory.
    bool compileFile(const std::string& path);
    // True when the machine has a global function of that name.
    bool hasFunction(const KvoChar* name);

    // Runs the global function with argc string arguments and reports an uncaught error.
    Outcome run(const KvoChar* function, int argc, const KvoChar** argv);
    int exitStatus() const noexcept { return m_vm.exitStatus(); }

    // A short message on standard error: "kivo: " followed by text and a line feed.
    void complain(const std::string& text);

    // Text put in place of a function name in reported call chains (the prompt hides its own
    // generated function this way); empty: names stay.
    void renameInChain(const std::u16string& from, const std::u16string& to);

private:
    void reportError(const std::u16string& errorText);

    KvoFileStreamPrinter m_output;
    KvoFileStreamPrinter m_errors;
    KvoVirtualMachine m_vm;
    std::u16string m_hiddenName;
    std::u16string m_shownName;
};

// "kivo: " + text on standard error, after what standard output holds.
void kivoComplain(const std::string& text);

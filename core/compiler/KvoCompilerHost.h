// KvoCompilerHost: what the compiler needs of the machine it compiles for, and nothing more. The
// compiler enters what it compiles into the machine's symbols and classes, prints through its
// printer, loads the native and compiled modules that directives name, asks whether directives
// are allowed (untrusted mode) and whether the host cancelled the compilation. Everything else of
// the machine (running code, the interpreter, files, debugging) stays out of the compiler's reach.
#pragma once

#include "platform/KvoTypes.h"

class IKvoPrinter;
class KvoClass;
class KvoDictionary;
class KvoString;
class KvoVirtualMachine;

class KVO_API KvoCompilerHost
{
public:
    // Not explicit: a machine is passed wherever the compiler asks for its host. The machine is
    // borrowed and must outlive the host.
    KvoCompilerHost(KvoVirtualMachine& vm) noexcept : m_vm(vm) {}

    // The dictionaries that receive global functions and "defvar" variables, and classes.
    KvoDictionary& symbols() const noexcept;
    KvoDictionary& classes() const noexcept;
    // Where diagnostics go unless the compiler was given its own printer.
    IKvoPrinter& printer() const noexcept;
    // True when directives that reach files or native code are refused, with this message.
    bool isUntrusted() const noexcept;
    static const KvoChar* untrustedDirectiveMessage() noexcept;
    // A new class of this machine (count 0), not yet entered anywhere.
    KvoClass* newClass(const KvoString& name) const;
    // Bracket one compilation, so that the machine's cancel() reaches it.
    void beginCompile() const;
    void endCompile() const;
    bool compileCancelled() const noexcept;
    // #import, and #use (the compiled module is searched along KVOLIB, else read as named).
    bool loadNativeModule(const KvoChar* name) const;
    bool useModule(const KvoChar* name) const;

private:
    KvoVirtualMachine& m_vm;
};

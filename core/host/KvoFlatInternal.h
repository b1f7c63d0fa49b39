// What the files of the flat interface (KvoFlat.cpp, KvoFlatApi.cpp) share. Internal to the
// library; not installed.
#pragma once

#include <cstdarg>
#include <string>

#include "host/IKvoPrinter.h"
#include "host/kvo.h"
#include "values/KvoString.h"

class KvoVirtualMachine;

// Counts vm in use for one call of the interface, so that it is neither released nor reset
// meanwhile; false (nothing counted) when vm is not a live machine handle.
bool kvoFlatEnterMachine(KvoVM* vm) noexcept;
// Ends a use that kvoFlatEnterMachine counted.
void kvoFlatLeaveMachine(KvoVM* vm) noexcept;

// Records text as the last error of machine (null: of this thread's calls without a machine).
void kvoFlatSetLastError(KvoVirtualMachine* machine, std::string text);

// Forwards everything printed to its target and keeps a copy, so that the interface can report
// a failed compilation's diagnostics or a run's error text as the last error.
class KvoRecordingPrinter : public IKvoPrinter
{
public:
    explicit KvoRecordingPrinter(IKvoPrinter* target) noexcept : m_target(target) {}
    int vprint(const KvoChar* fmt, va_list args) override;
    const KvoString& text() const noexcept { return m_text; }

private:
    IKvoPrinter* m_target;
    KvoString m_text;
};

// After a failed compilation (or run) of the interface's older entry points: the recorded text
// from its first diagnostic on ("-->"), else all of it, else fallback becomes the last error.
void kvoFlatReportFailure(KvoVirtualMachine& machine, const KvoRecordingPrinter& record, std::string fallback);

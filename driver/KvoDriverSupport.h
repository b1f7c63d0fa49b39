// Pieces the two command-line programs share: the running executable's path and the report of
// an uncaught error's chain of calls.
#pragma once

#include <string>

class KvoVirtualMachine;

// The running executable's full path, as the system reports it; argv0 when it cannot say.
std::u16string kvoExecutablePath(const char* argv0);

// The chain of calls of the last run's uncaught error, as UTF-8 lines for standard error:
// "call chain (innermost first):" and one "  at name (file:line)" line per call. Empty when the
// machine recorded no chain.
std::string kvoCallChainReport(const KvoVirtualMachine& vm);

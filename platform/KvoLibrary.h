// Dynamic libraries: the Win32 calls LoadLibraryW, GetProcAddressW and FreeLibrary over the
// system's loader, a library's attach entry, and the rules by which the runtime finds a native
// module.
//
// A library handle is a small positive number (never a pointer): scripts keep it as an integer
// and the machine keeps it in its module dictionary. Handles index one process-wide table; a
// handle is not reused for another library until some two billion loads later, so a stale handle
// is refused instead of reaching a newer library. Loading a library that is already loaded returns
// its handle again and counts the load; each FreeLibrary undoes one load, and the handle dies with
// the last. The core system library of the original platform ("coredll", "coredll.dll", any case)
// is libkvolib itself: its exported Win32-named functions come first, then the C library and the
// other libraries it depends on. The COM library of the original platform ("ole32", "ole32.dll")
// has no counterpart here: loading it fails.
//
// A function address handed to a script must fit a positive 32-bit integer, which the code of a
// shared library, mapped high on this platform, does not; kvoLowTrampoline gives each function a
// stand-in address in low memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/KvoWinTypes.h"

// A loaded library's handle, as the Win32 calls hand it out (see above).
using HMODULE = HINSTANCE;
// An exported function's address, to be cast to its real type before the call. It is void (*)()
// because that is the one function type the compiler lets a cast turn into any other silently.
using FARPROC = void (*)();

extern "C" {

// A library's optional attach entry, exported with C linkage under the name "KvoModuleAttach":
// LoadLibraryW calls it once, when it maps the library into the process (not for a load of a
// library that is mapped already), with the handle it is about to return. FALSE refuses: the load
// is undone and LoadLibraryW fails. Its counterpart, the detach, is the library's own ELF
// destructor, which runs when the last FreeLibrary unmaps it.
using ModuleAttachEntry = BOOL (*)(HMODULE module);

// Loads the library named fileName (UTF-16; given to the loader unchanged, so a name without '/'
// is searched along the loader's own path) with every symbol bound at once and kept local, and
// attaches it when it was not mapped before (see ModuleAttachEntry). Returns its handle, or null
// (errno set) when fileName is null or empty, names the COM library, the load fails (ENOENT) or the
// library refuses its attachment (ENOEXEC).
KVO_API HMODULE LoadLibraryW(const KvoChar* fileName);

// The address of the function or variable procName (UTF-16) exported by the library. Null (errno
// set) for an unknown handle, a null name, a name given as an ordinal number (a pointer value
// below 0x10000) or a missing symbol.
KVO_API FARPROC GetProcAddressW(HMODULE module, const KvoChar* procName);

// Undoes one load of the library; the library is unloaded with the last. Returns non-zero on
// success, 0 (errno set) for an unknown handle.
KVO_API BOOL FreeLibrary(HMODULE module);

} // extern "C"

// The address of a small piece of code in low memory (below 2 GiB, so that the address fits a
// positive 32-bit integer) that jumps to function: calling it is calling function, with the same
// arguments and result. Every call for the same function returns the same address, and the code
// stays in place for the life of the process, so a script may keep the address as long as it
// likes. Thread-safe. Returns null for a null function, and when no low executable memory can be
// had (or the processor is not one the runtime writes code for): never an address above 2 GiB.
KVO_API FARPROC kvoLowTrampoline(FARPROC function);

// Turns a native module's name into the file name to look for: every '*' becomes 'u'; a name
// whose last part (after the last '/' or '\') has no '.' gets ".so"; a ".dll" ending (any case) is
// replaced by ".so". Writes it to fileName (capacity units with the terminating zero). False, with
// fileName "", when name is null or empty or the result does not fit.
KVO_API bool kvoNativeModuleFileName(const KvoChar* name, KvoChar* fileName, std::size_t capacity);

// The directory holding libkvolib (no trailing '/'), written to directory (capacity units with the
// terminating zero). False, with directory "", when it cannot be found or does not fit.
KVO_API bool kvoRuntimeDirectory(KvoChar* directory, std::size_t capacity);

// Finds the library of the native module name: its file name (kvoNativeModuleFileName) is
// searched along the environment variables "Path" and then "PATH", then in the directory of
// libkvolib and in that directory's "kivo" subdirectory. Writes the path found to path, or, when
// none is found, the bare file name, which LoadLibraryW leaves to the loader's own search.
// Returns true when path was written; false (path "") for a null or empty name or a file name
// that does not fit.
KVO_API bool kvoFindNativeModule(const KvoChar* name, KvoChar* path, std::size_t capacity);

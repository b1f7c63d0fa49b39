// Dynamic libraries on Linux (see KvoLibrary.h): dlopen(RTLD_NOW | RTLD_LOCAL), dlsym and dlclose
// behind a table of small handles. The table's lock is never held while the loader runs, because
// a library's constructors and destructors may themselves load or free libraries.
#include "platform/KvoLibrary.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/KvoPath.h"
#include "platform/KvoText.h"

namespace {

// Handles run from 1 to this value and then start again at 1, skipping those still in use.
constexpr std::intptr_t MAX_HANDLE = INT32_MAX;
// The core system library's names: loading one of them loads libkvolib.
constexpr const KvoChar* CORE_LIBRARY_NAMES[] = {u"coredll", u"coredll.dll"};
// The COM library's names. It has no counterpart here, and a file of that name that the loader
// might happen to find would be no COM library either, so loading it always fails.
constexpr const KvoChar* COM_LIBRARY_NAMES[] = {u"ole32", u"ole32.dll"};
constexpr KvoChar SHARED_OBJECT_EXTENSION[] = u".so";
constexpr KvoChar WINDOWS_LIBRARY_EXTENSION[] = u".dll";
constexpr KvoChar MODULE_SUBDIRECTORY[] = u"kivo";
constexpr char MODULE_ATTACH_ENTRY[] = "KvoModuleAttach";

struct LoadedLibrary {
    void* loaderHandle;
    std::uint32_t loads; // LoadLibraryW calls not yet undone by FreeLibrary
};

struct LibraryTable {
    std::mutex lock;
    std::unordered_map<std::intptr_t, LoadedLibrary> libraries;
    std::intptr_t lastHandle = 0;
};

// Created on first use and never destroyed, so libraries can be freed from destructors at exit.
LibraryTable& libraryTable()
{
    static LibraryTable* const table = new LibraryTable;
    return *table;
}

template <std::size_t N>
bool isOneOf(const KvoChar* name, const KvoChar* const (&names)[N])
{
    for (const KvoChar* candidate : names) {
        if (kvoStrICmp(name, candidate) == 0)
            return true;
    }
    return false;
}

// The file libkvolib was loaded from, as the loader reports it; "" when unknown.
std::string runtimeFile()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&LoadLibraryW), &info) == 0 || !info.dli_fname)
        return {};
    return info.dli_fname;
}

HMODULE toModule(std::intptr_t handle)
{
    return reinterpret_cast<HMODULE>(handle);
}

std::intptr_t toHandle(HMODULE module)
{
    return reinterpret_cast<std::intptr_t>(module);
}

// Enters a library the loader has opened (one more load) and returns its handle.
HMODULE enterLibrary(void* loaderHandle)
{
    LibraryTable& table = libraryTable();
    std::lock_guard<std::mutex> guard(table.lock);
    // The loader returns the same handle for a library that is already open.
    for (auto& [handle, library] : table.libraries) {
        if (library.loaderHandle == loaderHandle) {
            ++library.loads;
            return toModule(handle);
        }
    }
    std::intptr_t handle = table.lastHandle;
    do {
        handle = handle >= MAX_HANDLE ? 1 : handle + 1;
    } while (table.libraries.count(handle) != 0);
    table.lastHandle = handle;
    table.libraries.emplace(handle, LoadedLibrary{loaderHandle, 1});
    return toModule(handle);
}

// The loader's handle for module; null when the table does not hold it.
void* loaderHandleOf(HMODULE module)
{
    LibraryTable& table = libraryTable();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto found = table.libraries.find(toHandle(module));
    return found == table.libraries.end() ? nullptr : found->second.loaderHandle;
}

// Copies text into out (capacity units with the zero); false when it does not fit.
bool copyText(const std::u16string& text, KvoChar* out, std::size_t capacity)
{
    if (text.size() >= capacity)
        return false;
    text.copy(out, text.size());
    out[text.size()] = 0;
    return true;
}

// Calls the library's own KvoModuleAttach (not one of a library it depends on), if it has one.
// False when it refuses the attachment.
bool attachModule(void* loaderHandle, HMODULE module)
{
    void* entry = dlsym(loaderHandle, MODULE_ATTACH_ENTRY);
    if (!entry)
        return true;
    link_map* library = nullptr;
    link_map* defining = nullptr;
    Dl_info info{};
    if (dlinfo(loaderHandle, RTLD_DI_LINKMAP, &library) != 0 ||
        dladdr1(entry, &info, reinterpret_cast<void**>(&defining), RTLD_DL_LINKMAP) == 0 || defining != library)
        return true;
    return reinterpret_cast<ModuleAttachEntry>(entry)(module) != FALSE;
}

} // namespace

extern "C" {

HMODULE LoadLibraryW(const KvoChar* fileName)
{
    if (!fileName || !*fileName) {
        errno = EINVAL;
        return nullptr;
    }
    if (isOneOf(fileName, COM_LIBRARY_NAMES)) {
        errno = ENOENT;
        return nullptr;
    }
    const std::string path = isOneOf(fileName, CORE_LIBRARY_NAMES) ? runtimeFile() : kvoToUtf8(fileName);
    if (path.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    // A library mapped for the first time is told so through its optional KvoModuleAttach.
    void* mappedBefore = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (mappedBefore)
        dlclose(mappedBefore);
    void* loaderHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!loaderHandle) {
        errno = ENOENT;
        return nullptr;
    }
    HMODULE module = enterLibrary(loaderHandle);
    if (!mappedBefore && !attachModule(loaderHandle, module)) {
        (void)FreeLibrary(module);
        errno = ENOEXEC;
        return nullptr;
    }
    return module;
}

FARPROC GetProcAddressW(HMODULE module, const KvoChar* procName)
{
    // A Win32 name may also be an ordinal number in the pointer's low word; there are none here.
    if (reinterpret_cast<std::uintptr_t>(procName) < 0x10000) {
        errno = EINVAL;
        return nullptr;
    }
    void* loaderHandle = loaderHandleOf(module);
    if (!loaderHandle) {
        errno = EINVAL;
        return nullptr;
    }
    // dlsym searches the library and then the libraries it depends on, which for libkvolib puts
    // its own exports before the C library's.
    void* address = dlsym(loaderHandle, kvoToUtf8(procName).c_str());
    if (!address) {
        errno = ENOENT;
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(address);
}

BOOL FreeLibrary(HMODULE module)
{
    void* loaderHandle = nullptr;
    {
        LibraryTable& table = libraryTable();
        std::lock_guard<std::mutex> guard(table.lock);
        const auto found = table.libraries.find(toHandle(module));
        if (found == table.libraries.end()) {
            errno = EINVAL;
            return FALSE;
        }
        loaderHandle = found->second.loaderHandle;
        if (--found->second.loads == 0)
            table.libraries.erase(found);
    }
    dlclose(loaderHandle);
    return TRUE;
}

} // extern "C"

bool kvoNativeModuleFileName(const KvoChar* name, KvoChar* fileName, std::size_t capacity)
{
    if (fileName && capacity > 0)
        fileName[0] = 0;
    if (!name || !*name || !fileName || capacity == 0)
        return false;
    std::u16string text(name);
    for (KvoChar& c : text) {
        if (c == u'*')
            c = u'u';
    }
    const std::size_t lastPart = text.find_last_of(u"/\\");
    const std::size_t partStart = lastPart == std::u16string::npos ? 0 : lastPart + 1;
    const std::size_t extensionLength = kvoStrLen(WINDOWS_LIBRARY_EXTENSION);
    if (text.find(u'.', partStart) == std::u16string::npos) {
        text += SHARED_OBJECT_EXTENSION;
    } else if (text.size() - partStart > extensionLength
               && kvoStrICmp(text.c_str() + text.size() - extensionLength, WINDOWS_LIBRARY_EXTENSION) == 0) {
        text.replace(text.size() - extensionLength, extensionLength, SHARED_OBJECT_EXTENSION);
    }
    return copyText(text, fileName, capacity);
}

bool kvoRuntimeDirectory(KvoChar* directory, std::size_t capacity)
{
    if (directory && capacity > 0)
        directory[0] = 0;
    if (!directory || capacity == 0)
        return false;
    const std::string file = runtimeFile();
    if (file.empty())
        return false;
    char resolved[PATH_MAX];
    if (!realpath(file.c_str(), resolved))
        return false;
    std::string path = resolved;
    const std::size_t slash = path.rfind('/');
    path.erase(slash == 0 ? 1 : slash);
    return copyText(kvoFromUtf8(path.c_str()), directory, capacity);
}

bool kvoFindNativeModule(const KvoChar* name, KvoChar* path, std::size_t capacity)
{
    KvoChar fileName[KVO_MAX_PATH];
    if (!kvoNativeModuleFileName(name, fileName, KVO_MAX_PATH) || !path || capacity == 0) {
        if (path && capacity > 0)
            path[0] = 0;
        return false;
    }
    if (kvoSearchEnv(u"Path", fileName, path, capacity) || kvoSearchEnv(u"PATH", fileName, path, capacity))
        return true;
    KvoChar runtimeDirectory[KVO_MAX_PATH];
    if (kvoRuntimeDirectory(runtimeDirectory, KVO_MAX_PATH)) {
        const std::u16string base = std::u16string(runtimeDirectory) + u"/";
        for (const std::u16string& candidate :
             {base + fileName, base + MODULE_SUBDIRECTORY + u"/" + fileName}) {
            if (kvoIsReadableFile(candidate.c_str()) && copyText(candidate, path, capacity))
                return true;
        }
    }
    return copyText(fileName, path, capacity);
}

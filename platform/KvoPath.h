// Searching for a file along a list of directories, as the module, include and native-module
// searches need. Directory lists are split at ':' and ';' (runs of separators act as one, so an
// empty entry is skipped). A '\' in a built path is taken as the directory separator and written
// as '/'. Paths are built only into the caller's buffer and never past its capacity.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/KvoTypes.h"

// Capacity, in UTF-16 units with the terminating zero, of the path buffers of the searches.
constexpr std::size_t KVO_MAX_PATH = 4096;

// True when path (UTF-16, opened by its UTF-8 form) names something that opens for reading and
// is not a directory. False for null.
KVO_API bool kvoIsReadableFile(const KvoChar* path);

// What a path names, symbolic links followed. REGULAR is a regular file; OTHER is a FIFO, a device or a socket: something
// that opening may wait on or reading may never finish. The path is not opened.
enum class KvoPathKind : std::uint8_t { MISSING, REGULAR, DIRECTORY, OTHER };
KVO_API KvoPathKind kvoPathKind(const KvoChar* path);

// Tries directory + '/' + file for each directory of dirList in order (no '/' is added when the
// directory already ends with '/' or '\'); the first readable file's path is written to path
// (capacity units including the terminating zero) and true returned. A candidate that would not
// fit is skipped. False, with path holding "", when either argument is null, file is empty or
// nothing is found.
KVO_API bool kvoSearchDirList(const KvoChar* dirList, const KvoChar* file, KvoChar* path, std::size_t capacity);

// kvoSearchDirList over the value of the environment variable name (the store, then the process
// environment; see KvoEnvironment.h), read in full. False when the variable is missing.
KVO_API bool kvoSearchEnv(const KvoChar* name, const KvoChar* file, KvoChar* path, std::size_t capacity);

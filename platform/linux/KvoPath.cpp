// File searches on Linux (see KvoPath.h). A candidate is checked by opening it read-only and
// asking fstat, so a directory that happens to carry the file's name is not taken for the file.
#include "platform/KvoPath.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/KvoEnvironment.h"
#include "platform/KvoText.h"

namespace {

bool isListSeparator(KvoChar c)
{
    return c == u':' || c == u';';
}

bool isDirectorySeparator(KvoChar c)
{
    return c == u'/' || c == u'\\';
}

} // namespace

bool kvoIsReadableFile(const KvoChar* path)
{
    if (!path || !*path)
        return false;
    const int fd = open(kvoToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat status;
    const bool isFile = fstat(fd, &status) == 0 && !S_ISDIR(status.st_mode);
    close(fd);
    return isFile;
}

KvoPathKind kvoPathKind(const KvoChar* path)
{
    struct stat status;
    if (!path || !*path || stat(kvoToUtf8(path).c_str(), &status) != 0)
        return KvoPathKind::MISSING;
    if (S_ISREG(status.st_mode))
        return KvoPathKind::REGULAR;
    if (S_ISDIR(status.st_mode))
        return KvoPathKind::DIRECTORY;
    return KvoPathKind::OTHER;
}

bool kvoSearchDirList(const KvoChar* dirList, const KvoChar* file, KvoChar* path, std::size_t capacity)
{
    if (path && capacity > 0)
        path[0] = 0;
    if (!dirList || !file || !*file || !path || capacity == 0)
        return false;
    const std::size_t fileLength = kvoStrLen(file);
    const KvoChar* cursor = dirList;
    while (*cursor) {
        while (isListSeparator(*cursor))
            ++cursor;
        const KvoChar* start = cursor;
        while (*cursor && !isListSeparator(*cursor))
            ++cursor;
        const std::size_t directoryLength = static_cast<std::size_t>(cursor - start);
        if (directoryLength == 0)
            continue;
        const bool needsSeparator = !isDirectorySeparator(start[directoryLength - 1]);
        const std::size_t length = directoryLength + (needsSeparator ? 1 : 0) + fileLength;
        if (length >= capacity)
            continue;
        std::size_t at = 0;
        for (std::size_t i = 0; i < directoryLength; ++i)
            path[at++] = start[i] == u'\\' ? u'/' : start[i];
        if (needsSeparator)
            path[at++] = u'/';
        for (std::size_t i = 0; i < fileLength; ++i)
            path[at++] = file[i] == u'\\' ? u'/' : file[i];
        path[at] = 0;
        if (kvoIsReadableFile(path))
            return true;
    }
    path[0] = 0;
    return false;
}

bool kvoSearchEnv(const KvoChar* name, const KvoChar* file, KvoChar* path, std::size_t capacity)
{
    if (path && capacity > 0)
        path[0] = 0;
    if (!name || !file)
        return false;
    const std::int32_t length = kvoGetEnv(name, nullptr, 0);
    if (length == KVO_ENV_NOT_FOUND)
        return false;
    std::u16string dirList(static_cast<std::size_t>(length) + 1, u'\0');
    // The store may change between the two reads; a longer value is simply cut to the first size.
    kvoGetEnv(name, dirList.data(), dirList.size());
    return kvoSearchDirList(dirList.c_str(), file, path, capacity);
}

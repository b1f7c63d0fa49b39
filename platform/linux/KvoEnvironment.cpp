// The environment store on Linux (see KvoEnvironment.h). Reads take no lock: a reader sees either
// the old or the new file, because a writer only ever replaces the whole file by rename. Writers
// serialise on an flock of environment.lock held across read-modify-write, so two processes that
// change different names at once both keep their change.
#include "platform/KvoEnvironment.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/KvoFile.h"
#include "platform/KvoText.h"

extern char** environ;

namespace {

constexpr char STORE_SUBDIRECTORY[] = "kivo";
constexpr char STORE_FILE_NAME[] = "environment";
constexpr char LOCK_FILE_NAME[] = "environment.lock";
constexpr mode_t DIRECTORY_MODE = 0700;
constexpr mode_t FILE_MODE = 0600;

// The home directory: $HOME, else the password database's entry; "" when neither is known.
std::string homeDirectory()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> scratch(16384);
    if (getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return {};
}

// The directory holding the store: $XDG_CONFIG_HOME/kivo when that is an absolute path (a
// relative one is ignored, as the base directory rules require), else $HOME/.config/kivo.
// "" when no home directory is known.
std::string storeDirectory()
{
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
        return std::string(config) + "/" + STORE_SUBDIRECTORY;
    std::string home = homeDirectory();
    if (home.empty())
        return {};
    return home + "/.config/" + STORE_SUBDIRECTORY;
}

// Creates directory and its missing parents. Returns 0 or an errno value.
int makeDirectories(const std::string& directory)
{
    for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        const std::string part = directory.substr(0, slash);
        if (mkdir(part.c_str(), DIRECTORY_MODE) != 0 && errno != EEXIST)
            return errno;
        if (slash == std::string::npos)
            return 0;
    }
}

// Reads the whole file at path into contents. A missing file reads as empty. Returns 0 or an
// errno value.
int readFile(const std::string& path, std::string& contents)
{
    contents.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : errno;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            return error;
        }
        if (n == 0)
            break;
        contents.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    return 0;
}

// One line of the store without its line end (a trailing carriage return is dropped too).
std::string_view lineText(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

// True when the line is an entry whose name equals name without regard to case; value receives
// the UTF-8 text after the '='.
bool lineHoldsName(std::string_view line, const KvoChar* name, std::string_view* value)
{
    line = lineText(line);
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0)
        return false;
    const std::u16string lineName = kvoFromUtf8(line.data(), equals);
    if (kvoStrICmp(lineName.c_str(), name) != 0)
        return false;
    if (value)
        *value = line.substr(equals + 1);
    return true;
}

// Calls visit(line) for every line of contents (without its '\n'); stops when visit returns true.
template <typename Visitor>
void forEachLine(std::string_view contents, Visitor visit)
{
    while (!contents.empty()) {
        const std::size_t end = contents.find('\n');
        const std::string_view line = contents.substr(0, end);
        if (visit(line))
            return;
        if (end == std::string_view::npos)
            return;
        contents.remove_prefix(end + 1);
    }
}

// The UTF-8 value of name in the store; false when the store (or its file) does not hold it.
bool findInStore(const KvoChar* name, std::string& value)
{
    const std::string directory = storeDirectory();
    if (directory.empty())
        return false;
    std::string contents;
    if (readFile(directory + "/" + STORE_FILE_NAME, contents) != 0)
        return false;
    bool found = false;
    forEachLine(contents, [&](std::string_view line) {
        std::string_view text;
        if (lineHoldsName(line, name, &text)) {
            value.assign(text);
            found = true;
        }
        return found;
    });
    return found;
}

// The UTF-8 value of name in the process environment: the exact name first, then any variable
// whose name matches without regard to case.
bool findInProcess(const KvoChar* name, std::string& value)
{
    const std::string utf8Name = kvoToUtf8(name);
    if (const char* exact = std::getenv(utf8Name.c_str())) {
        value = exact;
        return true;
    }
    for (char** entry = environ; entry && *entry; ++entry) {
        if (lineHoldsName(*entry, name, nullptr)) {
            const char* equals = std::strchr(*entry, '=');
            value = equals + 1;
            return true;
        }
    }
    return false;
}

// True when text (null allowed) holds a unit that the store could not give back as it was: a
// line break would split the entry, and an unpaired surrogate has no UTF-8 form (it would come
// back as U+FFFD).
bool holdsUnstorableUnit(const KvoChar* text)
{
    for (; text && *text; ++text) {
        if (*text == u'\n' || *text == u'\r')
            return true;
        if (*text >= 0xD800 && *text <= 0xDBFF) {
            if (text[1] < 0xDC00 || text[1] > 0xDFFF)
                return true;
            ++text; // the pair's low half
        } else if (*text >= 0xDC00 && *text <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

bool isValidName(const KvoChar* name)
{
    return name && *name && !kvoStrChr(name, u'=') && !holdsUnstorableUnit(name);
}

// Holds an exclusive lock on the store's lock file for its lifetime.
class StoreLock
{
public:
    explicit StoreLock(const std::string& directory)
    {
        m_fd = open((directory + "/" + LOCK_FILE_NAME).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, FILE_MODE);
        if (m_fd < 0) {
            m_error = errno;
            return;
        }
        while (flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                m_error = errno;
                return;
            }
        }
    }
    ~StoreLock()
    {
        if (m_fd >= 0)
            close(m_fd); // releases the lock
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    // 0 when the lock is held, else the errno value of the failure.
    int error() const noexcept { return m_error; }

private:
    int m_fd = -1;
    int m_error = 0;
};

// The content writer for replaceStore: context is the store's new text.
bool writeStoreContent(std::FILE* stream, void* context)
{
    const auto* contents = static_cast<const std::string*>(context);
    return std::fwrite(contents->data(), 1, contents->size(), stream) == contents->size();
}

// Replaces the store file in directory by contents (see kvoReplaceFile: a temporary file that is
// flushed to disk and renamed over the old one; a link to the store is followed and the store
// keeps its permissions). Returns 0 or an errno value; on failure the old file is untouched.
int replaceStore(const std::string& directory, const std::string& contents)
{
    const std::string path = directory + "/" + STORE_FILE_NAME;
    // The writer only reads the text.
    const int error =
        kvoReplaceFileBytes(path.c_str(), FILE_MODE, &writeStoreContent, const_cast<std::string*>(&contents));
    return error == ECANCELED ? EIO : error;
}

// Sets (value non-null) or deletes (value null) name under the store's lock. Returns 0 or an
// errno value; deleting a name the store lacks is ENOENT.
int changeStore(const KvoChar* name, const KvoChar* value)
{
    const std::string directory = storeDirectory();
    if (directory.empty())
        return ENOENT;
    if (const int error = makeDirectories(directory); error != 0)
        return error;
    StoreLock lock(directory);
    if (lock.error() != 0)
        return lock.error();

    std::string contents;
    if (const int error = readFile(directory + "/" + STORE_FILE_NAME, contents); error != 0)
        return error;

    std::string replacement;
    if (value) {
        replacement = kvoToUtf8(name);
        replacement += '=';
        replacement += kvoToUtf8(value);
    }
    std::string updated;
    updated.reserve(contents.size() + replacement.size() + 1);
    bool matched = false;
    forEachLine(contents, [&](std::string_view line) {
        if (lineHoldsName(line, name, nullptr)) {
            // The first entry of the name takes the new value; duplicates left by a hand edit go.
            if (value && !matched)
                updated.append(replacement).append("\n");
            matched = true;
        } else {
            updated.append(line).append("\n");
        }
        return false;
    });
    if (!value && !matched)
        return ENOENT;
    if (value && !matched)
        updated.append(replacement).append("\n");
    return replaceStore(directory, updated);
}

// Copies the UTF-16 form of utf8 into buffer as kvoGetEnv describes; returns its full length.
std::int32_t copyOut(const std::string& utf8, KvoChar* buffer, std::size_t capacity)
{
    const std::u16string text = kvoFromUtf8(utf8.data(), utf8.size());
    if (capacity > 0) {
        std::size_t count = text.size() < capacity - 1 ? text.size() : capacity - 1;
        // Cutting between the halves of a pair would leave an unpaired surrogate.
        if (count > 0 && count < text.size() && text[count - 1] >= 0xD800 && text[count - 1] <= 0xDBFF)
            --count;
        text.copy(buffer, count);
        buffer[count] = 0;
    }
    return static_cast<std::int32_t>(text.size());
}

} // namespace

std::int32_t kvoGetEnv(const KvoChar* name, KvoChar* buffer, std::size_t capacity)
{
    if (buffer && capacity > 0)
        buffer[0] = 0;
    if (!name || !*name)
        return KVO_ENV_NOT_FOUND;
    std::string value;
    if (!findInStore(name, value) && !findInProcess(name, value))
        return KVO_ENV_NOT_FOUND;
    return copyOut(value, buffer, capacity);
}

int kvoSetEnv(const KvoChar* name, const KvoChar* value)
{
    if (!value || !*value)
        return kvoDeleteEnv(name);
    if (!isValidName(name) || holdsUnstorableUnit(value))
        return EINVAL;
    return changeStore(name, value);
}

int kvoDeleteEnv(const KvoChar* name)
{
    if (!isValidName(name))
        return EINVAL;
    return changeStore(name, nullptr);
}

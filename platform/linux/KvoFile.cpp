// File services on Linux (see KvoFile.h): fopen by UTF-8 path, UTF-8 wide character I/O on byte
// streams, and the safe replacement of a file's content. Each wide call holds the stream's lock (flockfile) for its whole duration, so one
// character is read or written in one piece even when threads share the stream.
//
// Units that a call has decoded but not yet returned (the low half of a pair, the bytes of a
// broken sequence after its lead) and a high surrogate that waits for its low half are kept per
// stream in a process-wide table. With each entry goes the position of the stream's buffer
// pointer when it was left; if the pointer has moved when the next wide call comes, the stream
// was read, written, repositioned or closed and reopened in between, and the entry is stale: it
// is dropped instead of putting a half character in the wrong place.
#include "platform/KvoFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <stdio.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "platform/KvoText.h"

namespace {

// Most units one read can leave behind: the two continuation bytes of a broken 4-byte sequence.
constexpr std::size_t MAX_PENDING_UNITS = 2;
// Written in place of an unpaired surrogate.
constexpr char REPLACEMENT_UTF8[] = "\xEF\xBF\xBD";
constexpr std::size_t REPLACEMENT_UTF8_LENGTH = sizeof(REPLACEMENT_UTF8) - 1;

bool isHighSurrogate(KvoChar c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(KvoChar c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Wide I/O state of one stream. An entry with nothing pending is removed.
struct WideState {
    KvoChar input[MAX_PENDING_UNITS] = {}; // decoded units not yet returned, oldest first
    std::size_t inputCount = 0;
    const void* inputMark = nullptr; // read pointer when the units were left
    KvoChar highSurrogate = 0;       // waiting for its low half; 0 for none
    const void* outputMark = nullptr; // write pointer when it was left
};

struct WideTable {
    std::mutex lock;
    std::unordered_map<std::FILE*, WideState> streams;
};

// Created on first use and never destroyed, so wide I/O works during static initialisation and
// in destructors run at exit.
WideTable& wideTable()
{
    static WideTable* const table = new WideTable;
    return *table;
}

// The stream's current read and write positions in its buffer. Where the C library keeps them
// out of sight, every position compares equal and entries are never taken for stale.
const void* readMark(std::FILE* stream)
{
#if defined(__GLIBC__)
    return stream->_IO_read_ptr;
#else
    (void)stream;
    return nullptr;
#endif
}

const void* writeMark(std::FILE* stream)
{
#if defined(__GLIBC__)
    return stream->_IO_write_ptr;
#else
    (void)stream;
    return nullptr;
#endif
}

// Holds the stream's own lock for one wide call.
class StreamLock
{
public:
    explicit StreamLock(std::FILE* stream) : m_stream(stream) { flockfile(m_stream); }
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;
    ~StreamLock() { funlockfile(m_stream); }

private:
    std::FILE* m_stream;
};

void eraseIfIdle(WideTable& table, std::unordered_map<std::FILE*, WideState>::iterator entry)
{
    if (entry->second.inputCount == 0 && entry->second.highSurrogate == 0) {
        table.streams.erase(entry);
    }
}

// Takes the oldest pending input unit of the stream into *unit. False when none is pending or
// the entry is stale.
bool takePendingInput(std::FILE* stream, KvoChar* unit)
{
    WideTable& table = wideTable();
    std::lock_guard<std::mutex> guard(table.lock);
    auto entry = table.streams.find(stream);
    if (entry == table.streams.end()) {
        return false;
    }
    WideState& state = entry->second;
    bool taken = false;
    if (state.inputCount > 0 && state.inputMark == readMark(stream)) {
        *unit = state.input[0];
        std::copy(state.input + 1, state.input + state.inputCount, state.input);
        --state.inputCount;
        taken = true;
    }
    else {
        state.inputCount = 0;
    }
    eraseIfIdle(table, entry);
    return taken;
}

// Leaves count (at most MAX_PENDING_UNITS) units for the following reads of the stream.
void keepPendingInput(std::FILE* stream, const KvoChar* units, std::size_t count)
{
    WideTable& table = wideTable();
    std::lock_guard<std::mutex> guard(table.lock);
    WideState& state = table.streams[stream];
    std::copy(units, units + count, state.input);
    state.inputCount = count;
    state.inputMark = readMark(stream);
}

// Takes the stream's waiting high surrogate; 0 when there is none or the entry is stale.
KvoChar takePendingHigh(std::FILE* stream)
{
    WideTable& table = wideTable();
    std::lock_guard<std::mutex> guard(table.lock);
    auto entry = table.streams.find(stream);
    if (entry == table.streams.end()) {
        return 0;
    }
    WideState& state = entry->second;
    const KvoChar high = state.outputMark == writeMark(stream) ? state.highSurrogate : 0;
    state.highSurrogate = 0;
    eraseIfIdle(table, entry);
    return high;
}

void keepPendingHigh(std::FILE* stream, KvoChar high)
{
    WideTable& table = wideTable();
    std::lock_guard<std::mutex> guard(table.lock);
    WideState& state = table.streams[stream];
    state.highSurrogate = high;
    state.outputMark = writeMark(stream);
}

// Drops everything kept for the stream; done before its address can be handed out again.
void forgetStream(std::FILE* stream)
{
    WideTable& table = wideTable();
    std::lock_guard<std::mutex> guard(table.lock);
    table.streams.erase(stream);
}

// Length of the UTF-8 sequence that lead starts; 1 for ASCII and for a byte that starts none.
std::size_t sequenceLength(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 1;
}

// True when byte may stand at position index (1..3) of a sequence started by lead. The range of
// the second byte excludes overlong forms, surrogates and code points past U+10FFFF.
bool continuesSequence(unsigned char lead, std::size_t index, int byte)
{
    int low = 0x80;
    int high = 0xBF;
    if (index == 1) {
        if (lead == 0xE0) {
            low = 0xA0;
        }
        else if (lead == 0xED) {
            high = 0x9F;
        }
        else if (lead == 0xF0) {
            low = 0x90;
        }
        else if (lead == 0xF4) {
            high = 0x8F;
        }
    }
    return byte >= low && byte <= high;
}

} // namespace

std::FILE* kvoOpenFile(const KvoChar* path, const KvoChar* mode)
{
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const std::string name = kvoToUtf8(path);
    std::string openMode = kvoToUtf8(mode);
    std::erase(openMode, 't');
    return std::fopen(name.c_str(), openMode.c_str());
}

int kvoCloseFile(std::FILE* stream)
{
    if (stream == nullptr) {
        return EOF;
    }
    {
        StreamLock streamLock(stream);
        if (takePendingHigh(stream) != 0) {
            std::fwrite(REPLACEMENT_UTF8, 1, REPLACEMENT_UTF8_LENGTH, stream);
        }
        forgetStream(stream);
    }
    return std::fclose(stream);
}

KvoChar kvoGetWc(std::FILE* stream)
{
    if (stream == nullptr) {
        return KVO_WEOF;
    }
    StreamLock streamLock(stream);
    KvoChar unit;
    if (takePendingInput(stream, &unit)) {
        return unit;
    }
    const int lead = getc_unlocked(stream);
    if (lead == EOF) {
        return KVO_WEOF;
    }
    unsigned char bytes[4] = {static_cast<unsigned char>(lead)};
    const std::size_t length = sequenceLength(bytes[0]);
    std::size_t count = 1;
    while (count < length) {
        const int next = getc_unlocked(stream);
        if (next == EOF) {
            break;
        }
        if (!continuesSequence(bytes[0], count, next)) {
            // The byte that broke the sequence may start the next character.
            ungetc(next, stream);
            break;
        }
        bytes[count++] = static_cast<unsigned char>(next);
    }
    if (count == length) {
        std::uint32_t codePoint = bytes[0];
        kvoDecodeUtf8(bytes, count, &codePoint);
        if (codePoint <= 0xFFFF) {
            return static_cast<KvoChar>(codePoint);
        }
        codePoint -= 0x10000;
        const KvoChar low = static_cast<KvoChar>(0xDC00 + (codePoint & 0x3FF));
        keepPendingInput(stream, &low, 1);
        return static_cast<KvoChar>(0xD800 + (codePoint >> 10));
    }
    // A broken sequence: its lead stands for itself, and so does each continuation byte read
    // after it (none of them can start a character).
    // A sequence breaks before its last byte, so at most MAX_PENDING_UNITS bytes follow the lead.
    const KvoChar rest[MAX_PENDING_UNITS] = {bytes[1], bytes[2]};
    if (count > 1) {
        keepPendingInput(stream, rest, count - 1);
    }
    return bytes[0];
}

int kvoPutWs(const KvoChar* text, std::size_t length, std::FILE* stream)
{
    if (stream == nullptr || (text == nullptr && length > 0)) {
        return -1;
    }
    if (length == 0) {
        return 0;
    }
    StreamLock streamLock(stream);
    std::string bytes;
    std::size_t start = 0;
    const KvoChar waiting = takePendingHigh(stream);
    if (waiting != 0) {
        if (isLowSurrogate(text[0])) {
            const KvoChar pair[2] = {waiting, text[0]};
            bytes = kvoToUtf8(pair, 2);
            start = 1;
        }
        else {
            bytes.assign(REPLACEMENT_UTF8, REPLACEMENT_UTF8_LENGTH);
        }
    }
    std::size_t end = length;
    const bool holdLast = end > start && isHighSurrogate(text[end - 1]);
    if (holdLast) {
        --end;
    }
    bytes += kvoToUtf8(text + start, end - start);
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size()) {
        return -1;
    }
    if (holdLast) {
        keepPendingHigh(stream, text[length - 1]);
    }
    return 0;
}

KvoChar kvoPutWc(KvoChar c, std::FILE* stream)
{
    return kvoPutWs(&c, 1, stream) == 0 ? c : KVO_WEOF;
}

bool kvoReadLine(std::FILE* stream, bool wide, std::size_t maxUnits, std::u16string& line)
{
    line.clear();
    if (stream == nullptr) {
        return true;
    }
    for (;;) {
        int unit;
        if (wide) {
            unit = kvoGetWc(stream);
            if (unit == KVO_WEOF && (std::feof(stream) || std::ferror(stream))) {
                return true;
            }
        } else {
            unit = std::fgetc(stream);
            if (unit == EOF) {
                return true;
            }
        }
        if (unit == u'\n') {
            return true;
        }
        if (line.size() >= maxUnits) {
            return false;
        }
        line.push_back(static_cast<KvoChar>(unit));
    }
}

// ---- Replacing a file's content ----------------------------------------------------------------

namespace {

// Links followed before a path counts as a loop (the limit the kernel applies to a lookup).
constexpr int MAX_LINK_HOPS = 40;
// Longest name of a directory entry.
constexpr std::size_t MAX_NAME_BYTES = 255;
// Attempts at a temporary name that no other file has.
constexpr int TEMPORARY_NAME_ATTEMPTS = 100;
// What follows the target's name in the temporary's: ".tmp" and 8 hex digits.
constexpr std::size_t TEMPORARY_SUFFIX_BYTES = 12;

// The file that writing to path changes: path with every symbolic link of its last component
// followed. A dangling link leads to the name it holds (writing creates that file); a missing
// file is path itself. Returns 0 or an errno value.
int resolveWriteTarget(const std::string& path, std::string& target)
{
    std::string current = path;
    for (int hop = 0; hop <= MAX_LINK_HOPS; ++hop) {
        struct stat status;
        if (lstat(current.c_str(), &status) != 0) {
            if (errno != ENOENT) {
                return errno;
            }
            target = current;
            return 0;
        }
        if (!S_ISLNK(status.st_mode)) {
            target = current;
            return 0;
        }
        std::string link(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 255) + 1, '\0');
        ssize_t length;
        while ((length = readlink(current.c_str(), link.data(), link.size())) >= static_cast<ssize_t>(link.size())) {
            link.resize(link.size() * 2);
        }
        if (length <= 0) {
            return length < 0 ? errno : ENOENT;
        }
        link.resize(static_cast<std::size_t>(length));
        if (link[0] == '/') {
            current = link;
        }
        else {
            // A relative link is relative to the directory that holds it.
            const std::size_t slash = current.rfind('/');
            current = (slash == std::string::npos ? std::string() : current.substr(0, slash + 1)) + link;
        }
    }
    return ELOOP;
}

// Creates a new file beside target, named after it (its name cut so that the temporary's name
// still fits) with ".tmp" and 8 random hex digits. Returns the descriptor, or -1 with errno set.
int createTemporary(const std::string& target, mode_t mode, std::string& temporary)
{
    const std::size_t slash = target.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t nameLength = std::min(target.size() - nameStart, MAX_NAME_BYTES - TEMPORARY_SUFFIX_BYTES);
    const std::string stem = target.substr(0, nameStart + nameLength) + ".tmp";
    std::random_device random;
    for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
        temporary = stem;
        for (std::uint32_t n = random(), i = 0; i < 8; ++i, n >>= 4) {
            temporary.push_back("0123456789abcdef"[n & 15]);
        }
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

// Hands a descriptor open for writing to write as a stream, then flushes and closes it (with
// fsync for a file on disk). Returns 0, ECANCELED or an errno value; fd is closed in any case.
int writeThrough(int fd, bool sync, KvoContentWriter write, void* context)
{
    std::FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        const int error = errno;
        close(fd);
        return error;
    }
    int error = write(stream, context) ? 0 : ECANCELED;
    errno = 0;
    if (error == 0 && (std::fflush(stream) != 0 || std::ferror(stream))) {
        error = errno != 0 ? errno : EIO;
    }
    if (error == 0 && sync && fsync(fileno(stream)) != 0) {
        error = errno;
    }
    if (std::fclose(stream) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

// A device or FIFO takes the content directly. O_NONBLOCK keeps the open of a FIFO without a
// reader from waiting (it fails with ENXIO); the writes themselves block as usual.
int writeInPlace(const std::string& target, KvoContentWriter write, void* context)
{
    const int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        close(fd);
        return error;
    }
    return writeThrough(fd, false, write, context);
}

// Makes a rename in the directory of target survive a crash; failures are not reported (the
// file's content itself is already on disk).
void syncDirectoryOf(const std::string& target)
{
    const std::size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

} // namespace

int kvoReplaceFileBytes(const char* path, unsigned newFileMode, KvoContentWriter write, void* context)
{
    if (path == nullptr || *path == 0 || write == nullptr) {
        return EINVAL;
    }
    std::string target;
    if (const int error = resolveWriteTarget(path, target); error != 0) {
        return error;
    }
    struct stat status;
    const bool exists = stat(target.c_str(), &status) == 0;
    if (exists && S_ISDIR(status.st_mode)) {
        return EISDIR;
    }
    if (exists && (S_ISCHR(status.st_mode) || S_ISFIFO(status.st_mode))) {
        return writeInPlace(target, write, context);
    }
    if (exists && !S_ISREG(status.st_mode)) {
        return EINVAL;
    }
    std::string temporary;
    const int fd = createTemporary(target, exists ? S_IRUSR | S_IWUSR : static_cast<mode_t>(newFileMode & 0777), temporary);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    if (exists) {
        // Owner and group first: changing them may clear the mode's set-id bits.
        (void)fchown(fd, status.st_uid, status.st_gid);
        if (fchmod(fd, status.st_mode & 07777) != 0) {
            error = errno;
        }
    }
    if (error != 0) {
        close(fd);
    }
    else {
        error = writeThrough(fd, true, write, context);
    }
    if (error == 0 && rename(temporary.c_str(), target.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temporary.c_str());
        return error;
    }
    syncDirectoryOf(target);
    return 0;
}

int kvoReplaceFile(const KvoChar* path, unsigned newFileMode, KvoContentWriter write, void* context)
{
    if (path == nullptr) {
        return EINVAL;
    }
    return kvoReplaceFileBytes(kvoToUtf8(path).c_str(), newFileMode, write, context);
}

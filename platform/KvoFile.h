// File services over C streams for UTF-16 text: opening a file by a UTF-16 path, and wide
// character I/O that reads and writes UTF-8 on ordinary byte streams. A stream is never switched
// to wide orientation, so 8-bit and wide calls can be mixed on one stream.
//
// Wide I/O works one UTF-16 unit per call. A character that needs two units (a surrogate pair)
// is read in two calls and may be written in two calls; between the calls the missing half waits
// in a small process-wide table keyed by the stream. That state is dropped by kvoCloseFile, which
// is how a stream that went through these calls should be closed, and (on a best-effort check of
// the stream's buffer position) when other calls used the stream in between, so that a half is
// not delivered in the wrong place.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "platform/KvoTypes.h"

// What kvoGetWc returns at end of file (and on a read error); kvoPutWc returns it on failure.
constexpr KvoChar KVO_WEOF = 0xFFFF;

// Opens the file named by path (converted to UTF-8) with fopen; every 't' (text mode, which has
// no meaning here) is dropped from mode. Returns null when path or mode is null or the open
// fails (errno tells why). The caller owns the stream.
KVO_API std::FILE* kvoOpenFile(const KvoChar* path, const KvoChar* mode);

// Closes a stream (fclose). A high surrogate still waiting for its low half is written as
// U+FFFD first, and the stream's entry in the wide I/O table is dropped. Returns fclose's
// result; EOF (-1) for a null stream.
KVO_API int kvoCloseFile(std::FILE* stream);

// Reads the next UTF-16 unit from a UTF-8 byte stream (getwc). A character above U+FFFF gives
// its high surrogate now and its low surrogate on the next call. A byte that does not start a
// valid UTF-8 sequence stands for itself (0..255), and reading goes on with the byte after it.
// Returns KVO_WEOF at end of file or on a read error; null stream: KVO_WEOF.
KVO_API KvoChar kvoGetWc(std::FILE* stream);

// Writes one UTF-16 unit as UTF-8 (putwc). A high surrogate is held until the next unit: with a
// low surrogate the pair is written as one 4-byte character, with anything else as U+FFFD
// followed by that unit. An unpaired low surrogate is written as U+FFFD. Returns c, or KVO_WEOF
// when the stream is null or the write fails.
KVO_API KvoChar kvoPutWc(KvoChar c, std::FILE* stream);

// Writes length UTF-16 units as UTF-8, with the same surrogate rules as kvoPutWc (a pair split
// across calls is joined; a trailing high surrogate waits for the next call). Returns 0, or -1
// when the stream is null or the write fails.
KVO_API int kvoPutWs(const KvoChar* text, std::size_t length, std::FILE* stream);

// Reads the rest of the current line of stream into line (replacing what it held), without the
// line feed: each byte widened to one unit, or with wide, the UTF-16 units that kvoGetWc decodes.
// Stops after a line feed, at end of file or on a read error; a unit that only looks like the end
// (U+FFFF read from the text) is kept. A carriage return stays in the line. Returns false when the
// line holds more than maxUnits units: reading stops at the first unit past the bound, which is
// consumed with the ones before it, and line keeps only what was read. A null stream gives an
// empty line.
KVO_API bool kvoReadLine(std::FILE* stream, bool wide, std::size_t maxUnits, std::u16string& line);

// Produces the new content of a file on stream; false gives the replacement up.
using KvoContentWriter = bool (*)(std::FILE* stream, void* context);

// Replaces the content of the file at path (converted to UTF-8) so that a failure never leaves
// it half written: write(stream, context) fills a new file beside the target, which is flushed
// to disk and renamed over the target only when everything succeeded (a failure removes it).
// - A symbolic link is followed to the file it names, also a link whose file does not exist yet
//   (the file is created); the link itself stays.
// - An existing file keeps its permission bits and, where the process may set them, its owner
//   and group. A new file gets newFileMode, less the process's umask.
// - A character device or a FIFO is written in place (a FIFO that no process reads fails with
//   ENXIO instead of waiting); a directory (EISDIR) or any other kind of file (EINVAL) is refused.
// Returns 0 on success, ECANCELED when write returned false, else the errno value of the step
// that failed (write is not called when the file could not be opened). A file with several hard
// links gets a new content under this name only.
KVO_API int kvoReplaceFile(const KvoChar* path, unsigned newFileMode, KvoContentWriter write, void* context);
// The same for a path in the file system's own bytes.
KVO_API int kvoReplaceFileBytes(const char* path, unsigned newFileMode, KvoContentWriter write, void* context);

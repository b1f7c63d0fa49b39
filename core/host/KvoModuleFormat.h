// The encoding of module files and single value records, shared by KvoModuleWriter and
// KvoModuleReader: the constants of the byte format, the messages of both directions and the
// small facts about value kinds that both need. KvoDictionaryIO is the public face of the two.
//
// Encoding (all integers little-endian, no header):
//   string      size byte (2 when written, 1 accepted), the characters, a 0 character
//   dictionary  sorted flag byte, entry records, an empty string (02 00 00)
//   entry       key string, symbol kind (4 bytes), value record
//   value       type byte, flags byte, a body by type (see KvoModuleWriter::writeValue)
// Objects carry a 4-byte id, unique within one write (a counter); a later occurrence of the same
// object writes only the id and a back-reference marker. Classes are written in full at the top
// level of an entry the first time they occur, elsewhere by name ("$" follows the name).
// A module file is three dictionary records: native modules, classes, global symbols.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "values/KvoDictionary.h"
#include "values/KvoString.h"
#include "values/KvoValue.h"

namespace kvo_module {

// ---- messages -----------------------------------------------------------------------------------
inline constexpr KvoChar MSG_OPEN_WRITE[] = u"opening %s for write failed\n";
inline constexpr KvoChar MSG_OPEN_READ[] = u"opening %s for read failed\n";
inline constexpr KvoChar MSG_WRITE_ENTRY[] = u"error while writing dictionary entry %s\n";
inline constexpr KvoChar MSG_SORTED_FLAG[] = u"error reading dicionary (sorted flag)\n";
inline constexpr KvoChar MSG_CLASS_NOT_FOUND[] = u"class %s not found\n";
inline constexpr KvoChar MSG_WRITE_FILE[] = u"error while writing %s\n";
inline constexpr KvoChar MSG_WRITE_NESTING[] = u"error writing value: nested deeper than %d levels\n";
inline constexpr KvoChar MSG_READ_NESTING[] = u"error reading value: nested deeper than %d levels\n";
inline constexpr KvoChar MSG_NATIVE_MODULE[] = u"native module %s could not be loaded\n";
inline constexpr KvoChar MSG_DAMAGED[] = u"error reading module: damaged or truncated data\n";

// ---- format constants ---------------------------------------------------------------------------
// The count field of a vector, buffer or character buffer that refers back to an earlier object.
inline constexpr std::uint32_t BACK_REFERENCE = 0xFFFFFFFF;
// The byte that stands for the body of a string or dictionary that refers back.
inline constexpr std::uint8_t BACK_REFERENCE_BYTE = 0xFF;
// What follows a class name or stands for an object's class name when no definition follows.
inline constexpr KvoChar BY_NAME[] = u"$";
// Character size of the strings and character buffers written.
inline constexpr std::uint8_t CHAR_SIZE = 2;
// Global variables holding files that are not written: a key that occurs in this text.
inline constexpr KvoChar SKIPPED_FILE_VARIABLES[] = u"stdin;stdout;stderr;__OSTYPE__;__UNICODE__";
// Names of the dictionaries a KVT_VAR value can refer into.
inline constexpr KvoChar SYMBOLS_NAME[] = u"!S";
inline constexpr KvoChar CLASSES_NAME[] = u"!C";
inline constexpr KvoChar DATA_MEMBERS_PREFIX[] = u"m!";
inline constexpr KvoChar FUNC_MEMBERS_PREFIX[] = u"f!";

// Bytes written before the buffer goes to the stream, and bytes read at a time into a buffer.
inline constexpr std::size_t IO_CHUNK = 64 * 1024;
// Elements allocated ahead on a stream whose length is unknown.
inline constexpr std::uint32_t UNKNOWN_LENGTH_RESERVE = 4096;

// ---- value kinds --------------------------------------------------------------------------------
// The family of object a type holds; a back reference must name an object of the same family.
enum class Family { NONE, VECTOR, BUFFER, CHARBUFFER, CLASS, OBJECT, STRING, DICTIONARY };

inline Family familyOf(unsigned type)
{
    switch (type) {
    case KVT_BYTECODE:
    case KVT_LOCALVARINFO:
    case KVT_VECTOR:
    case KVT_BYTECODEREF:
    case KVT_VECTORREF: return Family::VECTOR;
    case KVT_BUFFER:
    case KVT_BUFFERREF: return Family::BUFFER;
    case KVT_CHARBUFFER:
    case KVT_CHARBUFFERREF: return Family::CHARBUFFER;
    case KVT_CLASS:
    case KVT_CLASSREF: return Family::CLASS;
    case KVT_OBJECT:
    case KVT_OBJECTREF: return Family::OBJECT;
    case KVT_STRING:
    case KVT_STRINGREF: return Family::STRING;
    case KVT_DICTIONARY:
    case KVT_DICTIONARYREF: return Family::DICTIONARY;
    default: return Family::NONE;
    }
}

inline bool isReferenceKind(unsigned type)
{
    return type >= KVT_BYTECODEREF && type <= KVT_DICTIONARYREF;
}

// The owning kind of an object kind (a reference kind's twin).
inline KvoValueType ownerTypeOf(KvoValueType type)
{
    if (type == KVT_BYTECODEREF)
        return KVT_BYTECODE;
    if (type >= KVT_BUFFERREF && type <= KVT_DICTIONARYREF)
        return static_cast<KvoValueType>(type - 10);
    return type;
}

inline const KvoChar* keyText(const KvoDictionaryEntry& entry)
{
    return entry.getKey() ? entry.getKey()->c_str() : u"";
}

// True when key occurs in the list of file variables that are not written.
inline bool isSkippedFileVariable(const KvoChar* key)
{
    const std::u16string_view names(SKIPPED_FILE_VARIABLES);
    return names.find(std::u16string_view(key)) != std::u16string_view::npos;
}

} // namespace kvo_module

// KvoDictionaryIO: writes and reads compiled module files (.kvm) and single values in the same
// encoding. A module file holds three dictionary records: the machine's native modules, its
// classes and its global symbols. Values are written with their type and flags; an object that
// occurs again within one write is written as a back reference to its first occurrence, so
// sharing and cycles survive a round trip. Messages go to the machine's printer.
//
// Reading treats the file as untrusted data: every count is checked against the bytes that are
// left (or, on a stream of unknown length, storage grows only as data arrives), nesting is
// limited, back references must name an object of the same kind, and a non-owning value whose
// object would die when the read ends is cleared. A failed read returns false and leaves what
// the machine held before intact. Within the class dictionary of a module a class may be named,
// or used as a base, before its own entry: such names are settled once that dictionary is read.
//
// The work is done by KvoModuleWriter and KvoModuleReader (host/KvoModuleFormat.h describes the
// bytes); neither recurses on the native stack, whatever the nesting of the values.
//
// One instance serves one machine; its working lists live for one read or write.
#pragma once

#include <cstdio>

#include "platform/KvoTypes.h"
#include "values/KvoValue.h"

class KvoVirtualMachine;

class KVO_API KvoDictionaryIO
{
public:
    explicit KvoDictionaryIO(KvoVirtualMachine* vm);
    ~KvoDictionaryIO();
    KvoDictionaryIO(const KvoDictionaryIO&) = delete;
    KvoDictionaryIO& operator=(const KvoDictionaryIO&) = delete;

    // Writes the machine's modules, classes and symbols to the file at path. The file is
    // written beside its final name and renamed into place only when everything was written, so
    // a failed write never replaces a good module (see kvoReplaceFile: a symbolic link is
    // followed, the file keeps its permissions, a device or pipe is written in place). False
    // (after a message) on any failure.
    bool writeModule(const KvoChar* path);
    // Writes the three dictionary records at the stream's position.
    bool writeModule(std::FILE* file);
    // Adds the contents of the module file at path to the machine: loads the native modules it
    // names, then enters its classes and global symbols. False on any failure; what was read
    // before a failure stays in the machine.
    bool readModule(const KvoChar* path);
    bool readModule(std::FILE* file);

    // One value record at the stream's position. A class in it is written by name only.
    bool writeSingleValue(std::FILE* file, const KvoValue& value);
    // Reads one value record into value; false (value null, nothing kept) when it cannot be read.
    bool readSingleValue(std::FILE* file, KvoValue& value);

    // Values nested deeper than this (vectors in vectors, dictionaries in objects ...) are
    // neither written nor read, so that whatever is written can be read back. The reader and
    // writer keep their place in lists of their own, not on the native stack.
    static constexpr int MAX_NESTING = 2000;
    // Longest chain of base classes a class read from a file may have.
    static constexpr int MAX_BASE_DEPTH = 1000;

private:
    KvoVirtualMachine* m_vm;
};

// KvoVarInfo: where the value of the expression compiled so far lives, as a kind and an index.
// The expression compiler threads one through its precedence levels: a level that needs the value
// as an operand loads it (which turns it into VAR_VALUE), a level that assigns uses the lvalue
// kinds. Kinds VAR_ARGUMENT .. VAR_INDEXED are lvalues.
#pragma once

#include <cstdint>

// The kinds of storage.
enum KvoVarKind : std::uint8_t {
    VAR_NONE = 0,         // nothing yet (index -1)
    VAR_ARGUMENT = 1,     // argument of the current function (0 is "this" in a member function)
    VAR_TEMPORARY = 2,    // temporary (local variable) number
    VAR_STATIC_LOCAL = 3, // static local: the literal slot that holds it
    VAR_GLOBAL = 4,       // global or class variable: the literal slot holding the entry reference
    VAR_MEMBER = 5,       // instance data member of "this": the member slot index
    VAR_INDEXED = 6,      // element of an indexed value; container and index are on the stack
    VAR_VALUE = 7,        // value already computed in the top stack slot
};

// What to emit for a KvoVarInfo.
enum KvoVarAccessType : std::uint8_t {
    ACCESS_LOAD = 1,  // load the value into the top slot
    ACCESS_STORE = 2, // store the top slot into the variable (the value stays)
    ACCESS_PUSH = 3,  // before the right side of an assignment
    ACCESS_DUP = 4,   // before the load of a compound assignment or increment
};

struct KvoVarInfo {
    KvoVarKind kind = VAR_NONE;
    std::int32_t index = -1;

    KvoVarInfo() = default;
    KvoVarInfo(KvoVarKind k, std::int32_t i) : kind(k), index(i) {}

    // True for the kinds that can be assigned to.
    bool isLValue() const noexcept { return kind >= VAR_ARGUMENT && kind <= VAR_INDEXED; }
};

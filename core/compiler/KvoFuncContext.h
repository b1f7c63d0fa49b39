// KvoFuncContext: the compilation record of one function body (global function, member function
// or function literal). It holds the argument and temporary names, the static locals, the stack of
// enclosing control constructs that break and continue must know about, the catch depth, and the
// emitter that builds the procedure. A context lives while its body is compiled; a function literal
// inside the body gets a context of its own.
//
// Temporary 0 is the exception slot: its name is set by each catch clause (null before the first).
// Local variables have no block scope: every `var` adds one temporary for the whole function.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "compiler/KvoCodeEmitter.h"
#include "values/KvoDictionary.h"
#include "values/KvoVector.h"

// A list of names in order of definition (the arguments or temporaries of a function, the
// instance data members of a class body), with a hash index from a name to the elements that
// carry it. A lookup finds the first element with the name, as a walk along the list would; an
// element without a name (null) or with an empty name is never found. The list holds string
// values, so it can be copied into a procedure's local-variable information as it stands.
class KvoNameList
{
public:
    KvoNameList();
    KvoNameList(const KvoNameList&) = delete;
    KvoNameList& operator=(const KvoNameList&) = delete;
    ~KvoNameList();

    // The names as string values (null for a nameless element).
    const KvoVector& names() const noexcept { return *m_names; }
    std::uint32_t size() const noexcept { return m_names->size(); }

    // The index of the first element named name, or -1.
    std::int32_t find(const KvoChar* name) const;
    bool contains(const KvoChar* name) const { return find(name) >= 0; }
    // Appends an element (name null for a nameless one); returns its index.
    std::uint32_t add(const KvoChar* name);
    // Gives the element at index (which must exist) a new name (null: none).
    void rename(std::uint32_t index, const KvoChar* name);

private:
    // The key of a name, or false for a name that is never found.
    static bool keyOf(const KvoChar* name, std::u16string& key);
    void unlink(std::uint32_t index);
    void link(std::uint32_t index, const std::u16string& key);

    KvoVector* m_names;
    // Name -> the indexes of the elements that carry it, ascending.
    std::unordered_map<std::u16string, std::vector<std::uint32_t>> m_index;
};

// The constructs that a jump out of a block must look at.
enum class KvoControlKind : std::uint8_t {
    LOOP,   // while, do, for: target of break and continue
    SWITCH, // target of break; keeps the switch value in a stack slot of its own
    TRY,    // a protected block: leaving it must remove its handler
    CATCH,  // a catch block: leaving it clears the exception slot
};

struct KvoControlEntry {
    KvoControlKind kind;
    std::uint32_t breakChain = 0;     // LOOP, SWITCH: the chain of jumps to the end
    std::uint32_t continueTarget = 0; // LOOP: where continue goes
};

class KvoFuncContext
{
public:
    // owner: the class of a member function (null otherwise); name: the procedure's name.
    KvoFuncContext(KvoClass* owner, const KvoChar* name);
    KvoFuncContext(const KvoFuncContext&) = delete;
    KvoFuncContext& operator=(const KvoFuncContext&) = delete;
    ~KvoFuncContext();

    KvoCodeEmitter& emitter() noexcept { return m_emitter; }
    KvoClass* owner() const noexcept { return m_emitter.owner(); }

    // Argument names ("this" first in a member function).
    KvoNameList& arguments() noexcept { return m_arguments; }
    // Temporary names; element 0 is the exception slot.
    KvoNameList& temporaries() noexcept { return m_temporaries; }
    // Static local name -> literal slot (integer).
    KvoDictionary& statics() noexcept { return *m_statics; }

    // The index of the first argument / temporary with this name, or -1.
    std::int32_t findArgument(const KvoChar* name) const;
    std::int32_t findTemporary(const KvoChar* name) const;
    // The literal slot of the static local with this name, or -1.
    std::int32_t findStatic(const KvoChar* name) const;
    // Appends a temporary (name may be null for a nameless one); returns its number.
    std::uint32_t addTemporary(const KvoChar* name);
    // Names the exception slot (temporary 0).
    void setCatchName(const KvoChar* name);
    // A nameless temporary for code that needs to park a value, created on first use.
    std::uint32_t scratchTemporary();

    // The stack of enclosing constructs, innermost last.
    std::vector<KvoControlEntry>& controls() noexcept { return m_controls; }
    void pushControl(KvoControlKind kind, std::uint32_t breakChain = 0, std::uint32_t continueTarget = 0)
    {
        m_controls.push_back(KvoControlEntry{kind, breakChain, continueTarget});
    }
    // Removes the innermost construct and returns its break chain.
    std::uint32_t popControl()
    {
        std::uint32_t chain = m_controls.back().breakChain;
        m_controls.pop_back();
        return chain;
    }

    int catchDepth = 0; // catch blocks around the statement being compiled

private:
    KvoCodeEmitter m_emitter;
    KvoNameList m_arguments;
    KvoNameList m_temporaries;
    KvoDictionary* m_statics;
    std::vector<KvoControlEntry> m_controls;
    std::int32_t m_scratch = -1;
};

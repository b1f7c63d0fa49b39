// KvoMethodCall: the bookkeeping of one call of a plug-in method, in the order every method
// checks its call: the receiver (needThis), the count of explicit arguments (countBetween), the
// wrapped member (memberString, memberVector ...), then the arguments (integerArg, textArg).
// A method leaves through done() (result into the called slot), doneThis() (the receiver as the
// result, so that modifying calls can be chained) or one of the failures, which raise a script
// error through the running interpreter and return false.
//
// Two traps that this class keeps out of the methods:
// - Reading a text argument may run a script toString method, which may grow the interpreter's
//   stack and move every slot. Arguments are therefore addressed by index each time (arg(i)),
//   never kept as references across a text read.
// - That script code may also replace the receiver's members or drop the text an earlier read
//   returned. The containers and texts a call fetched are therefore held by the call (counted
//   references) until it ends.
#pragma once

#include <cstdint>
#include <vector>

#include "host/KvoVirtualMachine.h"
#include "nativeclasses/Kv2ClassMessages.h"
#include "stdlib/KvoLibLimits.h"
#include "values/KvoBuffer.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "values/KvoString.h"
#include "values/KvoValue.h"
#include "values/KvoVector.h"
#include "values/ValPtr.h"
#include "vm/KvoInterpreter.h"

class KvoMethodCall
{
public:
    // argc counts the receiver, as the interpreter passes it to a method.
    KvoMethodCall(KvoVirtualMachine* vm, int argc, ValPtr& args) noexcept
        : m_vm(vm), m_argc(argc), m_args(args), m_base(args)
    {
        m_base -= argc;
    }
    KvoMethodCall(const KvoMethodCall&) = delete;
    KvoMethodCall& operator=(const KvoMethodCall&) = delete;

    KvoVirtualMachine* vm() const noexcept { return m_vm; }
    // The running interpreter, or null.
    KvoInterpreter* interpreter() const noexcept { return m_vm ? m_vm->interpreter() : nullptr; }

    // The receiver: false after "invalid 'this' pointer" when base[1] is not an object.
    bool needThis();
    // The receiver found by needThis().
    KvoObject* self() const noexcept { return m_self; }

    // The number of explicit arguments (the receiver not counted).
    int count() const noexcept { return m_argc - 1; }
    // Explicit argument i, counted from 1 to count(). Valid until the next text read.
    KvoValue& arg(int i) const noexcept { return m_base[i + 1]; }
    // A cursor at explicit argument i (for functions that take the arguments from there on).
    ValPtr argCursor(int i) const
    {
        ValPtr cursor = m_base;
        cursor += i + 1;
        return cursor;
    }
    // False after "too few arguments" / "too many arguments" when the explicit count is outside
    // min .. max (max < 0: no upper bound).
    bool countBetween(int min, int max);

    // The receiver's member slot at index (an index cached at registration); null when the
    // receiver has no such slot.
    KvoValue* member(std::int32_t index) const noexcept { return memberOf(m_self, index); }
    static KvoValue* memberOf(const KvoObject* object, std::int32_t index) noexcept;

    // The receiver's wrapped container at index, held until the call ends; null after raising
    // "invalid value type <actual>, <expected> expected" when the slot holds something else
    // (for memberVector, anything but a script vector: a function value does not count).
    KvoString* memberString(std::int32_t index);
    KvoVector* memberVector(std::int32_t index);
    KvoDictionary* memberDictionary(std::int32_t index);
    KvoBuffer* memberBuffer(std::int32_t index);

    // Explicit argument i as an integer: the interpreter's integer check (which raises the type
    // error itself).
    bool integerArg(int i, std::int32_t& value);
    // Explicit argument i read as text (a string, or an object whose toString returns one), held
    // until the call ends; null after raising the type error naming KVT_STRING.
    KvoString* textArg(int i);
    // The same without raising: null when the argument is not text.
    KvoString* tryTextArg(int i);

    // Keeps value's object alive until the call ends.
    void hold(const KvoValue& value)
    {
        if (m_heldCount < HELD_INLINE)
            m_held[m_heldCount++] = value;
        else
            m_moreHeld.push_back(value);
    }

    // Failures: each raises and returns false.
    bool fail(const KvoChar* text, const KvoChar* detail = nullptr);
    bool badType(KvoValueType actual, KvoValueType expected);

    // The library's bound on one result: true when a block of count elements of elementSize
    // bytes stays within it, else false after "count too large". Every size that a method
    // computes from script data (a sum of lengths, a repeat count, a grown size) passes here
    // before anything is allocated; count is 64 bits wide, so a sum is checked before it wraps.
    bool countFits(std::uint64_t count, std::uint32_t elementSize)
    {
        return kvoLibCountFits(count, elementSize) || fail(KVO_LIB_COUNT_TOO_LARGE);
    }

    // Stores value as the result and completes the call; true.
    bool done(KvoValue value);
    // The receiver (a new owning value) as the result.
    bool doneThis() { return done(KvoValue(m_self)); }
    // No result (null).
    bool doneNull() { return done(KvoValue()); }

    // A new object of the receiver's own class (a derived script class included) without running
    // any constructor, with member index set to value. Null when the receiver has no class or no
    // such slot.
    KvoObject* newOfOwnClass(std::int32_t index, KvoValue value) const;

    // The class registered under name in the machine's classes, or null.
    KvoClass* findClass(const KvoChar* name) const noexcept;
    // True when value is an object whose class is c or derives from it.
    static bool isObjectOf(const KvoValue& value, const KvoClass* c) noexcept;
    // The name of object's class, "" without one (for messages).
    static const KvoChar* classNameOf(const KvoObject* object) noexcept;

    // Completes the call with address as a script integer; false after "address does not fit
    // in a script integer" when it does not (never a truncated address).
    bool doneWithAddress(const void* address);

private:
    template <typename T>
    T* heldMember(std::int32_t index, KvoValueType kind, T* (KvoValue::*view)() const noexcept);

    KvoVirtualMachine* m_vm;
    int m_argc;
    ValPtr& m_args;
    ValPtr m_base;
    KvoObject* m_self = nullptr;
    // What the call holds: a method rarely holds more than the receiver, its member and two
    // texts, so those need no allocation.
    static constexpr int HELD_INLINE = 4;
    KvoValue m_held[HELD_INLINE];
    int m_heldCount = 0;
    std::vector<KvoValue> m_moreHeld;
};

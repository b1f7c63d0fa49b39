// KvoClass: a class of the language, compiled from source or built by native code. It holds the
// name, the single base class, the data members (unsorted, declaration order: instance members
// with their slot index and static members with their value) and the function members (sorted by
// name: methods and static methods with native or compiled code).
// Invariant: both member dictionaries name this class as their owner for as long as it lives.
#pragma once

#include <cstdint>

#include "values/KvoDictionary.h"

class KvoObject;
class KvoVirtualMachine;

// Offers a dying object (count 0) to the machine. While a script runs and the object's class has
// a destructor, the machine takes a reference and runs the destructor later; otherwise it does
// nothing. Implemented by the machine (host layer); the value layer only forwards to it.
KVO_API void kvoNotifyObjDelete(KvoVirtualMachine& vm, KvoObject* object);

class KVO_API KvoClass : public KvoRefObject
{
public:
    explicit KvoClass(KvoVirtualMachine& vm);
    // Shares name and base (each retained when non-null).
    KvoClass(KvoVirtualMachine& vm, KvoString* name, KvoClass* base);
    // Copies the name text (none when empty); shares the base.
    KvoClass(KvoVirtualMachine& vm, const KvoString& name, KvoClass* base);
    KvoClass(const KvoClass&) = delete;
    KvoClass& operator=(const KvoClass&) = delete;
    ~KvoClass() override;

    KvoString* getClassName() const noexcept { return m_name; }
    // False when the class is already named or the name is null / empty.
    bool setClassName(KvoString* name);
    bool setClassName(const KvoString& name);
    KvoClass* getBaseClass() const noexcept { return m_base; }
    // False when a base is already set; null is accepted without change.
    bool setBaseClass(KvoClass* base);
    // True when c is this class or one of its bases.
    bool isSubtypeOf(const KvoClass* c) const noexcept;
    // True when this class or a base up the chain has this name; stops at an unnamed class.
    bool isSubtypeOf(const KvoString& name) const noexcept;

    KvoDictionary& dataMembers() noexcept { return *m_dataMembers; }
    KvoDictionary& funcMembers() noexcept { return *m_funcMembers; }

    // Looks in the data members, then the function members, then (with searchBase) up the chain.
    KvoDictionaryEntry* findMember(const KvoString& name, bool searchBase) const noexcept;
    KvoDictionaryEntry* findMember(const KvoChar* name, bool searchBase) const noexcept;
    // The slot index of an instance data member, or -1.
    std::int32_t getMemberIndex(const KvoString& name) const noexcept;
    // The name of the data member with this slot index (then the bases', with searchBase).
    KvoString* findDataMemberFromIndex(std::uint32_t index, bool searchBase) const noexcept;

    // Builders; each returns false for an empty name, a name this class already has, or null code.
    bool addDataMember(const KvoChar* name);
    bool addStaticDataMember(const KvoChar* name);
    bool addStaticDataMember(const KvoChar* name, const KvoValue& value);
    bool addMethod(const KvoChar* name, KvoNativeFunc func);
    bool addStaticMethod(const KvoChar* name, KvoNativeFunc func);

    // Counts the instance data members of this class and its bases; stores and returns it.
    std::int32_t computeDataSize();
    // The stored size, -1 before the first computation.
    std::int32_t getDataSize() const noexcept { return m_dataSize; }
    // Numbers this class's data members after those of the base chain, then computes the size.
    void fixupDataDefs();

    void setIsNative(bool native) noexcept { m_isNative = native; }
    bool getIsNative() const noexcept { return m_isNative; }
    KvoVirtualMachine& getVM() const noexcept { return m_vm; }
    // Forwards an object's death to the machine (see kvoNotifyObjDelete).
    void notifyObjDelete(KvoObject* object) { kvoNotifyObjDelete(m_vm, object); }

private:
    bool hasOwnMember(const KvoChar* name) const noexcept;
    bool addMember(KvoDictionary& members, const KvoChar* name, const KvoValue& value, KvoSymbolType type);

    KvoString* m_name = nullptr;
    KvoClass* m_base = nullptr;
    KvoDictionary* m_dataMembers;
    KvoDictionary* m_funcMembers;
    std::int32_t m_dataSize = -1;
    KvoVirtualMachine& m_vm;
    bool m_isNative = false;
};

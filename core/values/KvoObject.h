// KvoObject: an instance of a class. Its member vector holds the class in slot 0 (an owning
// value, so a class lives as long as its objects) and the instance data members in slots
// 1 .. data size, base-class members first.
// When its count falls to 0 the object is offered to its class's machine, which may keep it
// alive (by taking a reference) until the script destructor has run; the destructor runs at
// most once, so an object that its destructor stored somewhere lives on and is deleted without
// a second destructor call when its count falls to 0 again.
#pragma once

#include "values/KvoClass.h"
#include "values/KvoVector.h"

class KVO_API KvoObject : public KvoRefObject
{
public:
    // With a class: data size + 1 slots, slot 0 the class. Without one: no member data.
    explicit KvoObject(KvoClass* c);
    // Copies the member vector (owned objects shared and retained).
    KvoObject(const KvoObject& other);
    KvoObject& operator=(const KvoObject&) = delete;
    // Releases the members. Deleting an object directly (not through release) skips its
    // script destructor.
    ~KvoObject() override;

    // The class in slot 0, or null without member data.
    KvoClass* getClass() const noexcept;
    KvoVector* getMemberData() const noexcept { return m_members; }

    // True once the object was offered for its script destructor.
    bool isFinalized() const noexcept { return m_finalized; }

protected:
    // Offers a dying object to the machine once (see above); deletes it unless the machine
    // took a reference.
    void lastRelease() override;

private:
    KvoVector* m_members = nullptr;
    bool m_finalized = false;
};

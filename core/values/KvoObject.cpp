// Object construction and destruction.
#include "values/KvoObject.h"

KvoObject::KvoObject(KvoClass* c)
{
    if (!c)
        return;
    std::int32_t size = c->getDataSize();
    if (size < 0)
        size = c->computeDataSize();
    m_members = new KvoVector(static_cast<std::uint32_t>(size) + 1, true);
    m_members->addRef();
    (*m_members)[0] = KvoValue(c);
}

KvoObject::KvoObject(const KvoObject& other) : KvoRefObject(other)
{
    if (other.m_members) {
        m_members = new KvoVector(*other.m_members);
        m_members->addRef();
    }
}

KvoObject::~KvoObject()
{
    if (m_members)
        m_members->release();
}

void KvoObject::lastRelease()
{
    if (!m_finalized) {
        m_finalized = true;
        if (KvoClass* c = getClass()) {
            c->notifyObjDelete(this);
            // The machine took a reference: it deletes the object after the destructor ran.
            if (getRefCnt() > 0)
                return;
        }
    }
    deleteObject(this);
}

KvoClass* KvoObject::getClass() const noexcept
{
    if (!m_members || m_members->size() == 0)
        return nullptr;
    return (*m_members)[0].getClass();
}

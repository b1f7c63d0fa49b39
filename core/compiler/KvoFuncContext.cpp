// KvoFuncContext: names of one function body and their lookup.
#include "compiler/KvoFuncContext.h"

#include "platform/KvoText.h"
#include "values/KvoString.h"

KvoFuncContext::KvoFuncContext(KvoClass* owner, const KvoChar* name)
    : m_emitter(owner, name), m_arguments(new KvoVector()), m_temporaries(new KvoVector(1, true)),
      m_statics(new KvoDictionary(false))
{
    m_arguments->addRef();
    m_temporaries->addRef();
    m_statics->addRef();
}

KvoFuncContext::~KvoFuncContext()
{
    m_arguments->release();
    m_temporaries->release();
    m_statics->release();
}

std::int32_t KvoFuncContext::indexOf(const KvoVector& names, const KvoChar* name)
{
    for (std::uint32_t i = 0; i < names.size(); ++i) {
        const KvoString* s = names[i].getString();
        if (s && s->hasText() && kvoStrCmp(s->c_str(), name) == 0)
            return static_cast<std::int32_t>(i);
    }
    return -1;
}

std::int32_t KvoFuncContext::findArgument(const KvoChar* name) const
{
    return indexOf(*m_arguments, name);
}

std::int32_t KvoFuncContext::findTemporary(const KvoChar* name) const
{
    return indexOf(*m_temporaries, name);
}

std::int32_t KvoFuncContext::findStatic(const KvoChar* name) const
{
    const KvoDictionaryEntry* entry = m_statics->find(name);
    return entry ? entry->getValue().getLong() : -1;
}

std::uint32_t KvoFuncContext::addTemporary(const KvoChar* name)
{
    m_temporaries->push_back(name ? KvoValue(new KvoString(name)) : KvoValue());
    return m_temporaries->size() - 1;
}

void KvoFuncContext::setCatchName(const KvoChar* name)
{
    (*m_temporaries)[0] = KvoValue(new KvoString(name));
}

std::uint32_t KvoFuncContext::scratchTemporary()
{
    if (m_scratch < 0)
        m_scratch = static_cast<std::int32_t>(addTemporary(nullptr));
    return static_cast<std::uint32_t>(m_scratch);
}

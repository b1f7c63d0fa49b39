// KvoFuncContext: names of one function body and their lookup.
#include "compiler/KvoFuncContext.h"

#include <algorithm>

#include "platform/KvoText.h"
#include "values/KvoString.h"

// ---- KvoNameList --------------------------------------------------------------------------------

KvoNameList::KvoNameList() : m_names(new KvoVector())
{
    m_names->addRef();
}

KvoNameList::~KvoNameList()
{
    m_names->release();
}

bool KvoNameList::keyOf(const KvoChar* name, std::u16string& key)
{
    if (!name || !*name)
        return false;
    key.assign(name, kvoStrLen(name));
    return true;
}

std::int32_t KvoNameList::find(const KvoChar* name) const
{
    std::u16string key;
    if (!keyOf(name, key))
        return -1;
    const auto found = m_index.find(key);
    return found == m_index.end() ? -1 : static_cast<std::int32_t>(found->second.front());
}

std::uint32_t KvoNameList::add(const KvoChar* name)
{
    const std::uint32_t index = m_names->size();
    m_names->push_back(name ? KvoValue(new KvoString(name)) : KvoValue());
    std::u16string key;
    if (keyOf(name, key))
        link(index, key);
    return index;
}

void KvoNameList::rename(std::uint32_t index, const KvoChar* name)
{
    unlink(index);
    (*m_names)[index] = name ? KvoValue(new KvoString(name)) : KvoValue();
    std::u16string key;
    if (keyOf(name, key))
        link(index, key);
}

void KvoNameList::unlink(std::uint32_t index)
{
    const KvoString* old = (*m_names)[index].getString();
    std::u16string key;
    if (!old || !keyOf(old->c_str(), key))
        return;
    const auto found = m_index.find(key);
    if (found == m_index.end())
        return;
    std::vector<std::uint32_t>& indexes = found->second;
    const auto at = std::lower_bound(indexes.begin(), indexes.end(), index);
    if (at != indexes.end() && *at == index)
        indexes.erase(at);
    if (indexes.empty())
        m_index.erase(found);
}

void KvoNameList::link(std::uint32_t index, const std::u16string& key)
{
    // Appending keeps the indexes ascending at no cost; only a rename inserts in the middle.
    std::vector<std::uint32_t>& indexes = m_index[key];
    if (indexes.empty() || indexes.back() < index)
        indexes.push_back(index);
    else
        indexes.insert(std::lower_bound(indexes.begin(), indexes.end(), index), index);
}

// ---- KvoFuncContext -----------------------------------------------------------------------------

KvoFuncContext::KvoFuncContext(KvoClass* owner, const KvoChar* name)
    : m_emitter(owner, name), m_statics(new KvoDictionary(false))
{
    m_temporaries.add(nullptr); // the exception slot, named by the first catch clause
    m_statics->addRef();
}

KvoFuncContext::~KvoFuncContext()
{
    m_statics->release();
}

std::int32_t KvoFuncContext::findArgument(const KvoChar* name) const
{
    return m_arguments.find(name);
}

std::int32_t KvoFuncContext::findTemporary(const KvoChar* name) const
{
    return m_temporaries.find(name);
}

std::int32_t KvoFuncContext::findStatic(const KvoChar* name) const
{
    const KvoDictionaryEntry* entry = m_statics->find(name);
    return entry ? entry->getValue().getLong() : -1;
}

std::uint32_t KvoFuncContext::addTemporary(const KvoChar* name)
{
    return m_temporaries.add(name);
}

void KvoFuncContext::setCatchName(const KvoChar* name)
{
    m_temporaries.rename(0, name);
}

std::uint32_t KvoFuncContext::scratchTemporary()
{
    if (m_scratch < 0)
        m_scratch = static_cast<std::int32_t>(addTemporary(nullptr));
    return static_cast<std::uint32_t>(m_scratch);
}

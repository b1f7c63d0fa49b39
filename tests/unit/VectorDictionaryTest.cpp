// Tests of KvoVector and KvoDictionary. Vectors: growth, counts held by elements across copy,
// assignment, pop and clear, and operations whose argument lives inside the vector itself.
// Dictionaries: sorted and insertion order, first match among equal keys, key-object insertion,
// erase and clear (also when a dying value touches the dictionary), and entries that unlink
// themselves. A randomized test replays long operation sequences against a plain std::list that
// walks from the head as a linked-list symbol table does, so the dictionary's indexes must give
// exactly the list semantics. Every test checks that the number of live heap objects returns to where
// it started.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <iterator>
#include <list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "values/KvoCharBuffer.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoEntryCursor.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"
#include "values/ValPtr.h"
#include "host/KvoVirtualMachine.h"

#include "KvoTestSupport.h"

namespace {

using VectorTest = LiveObjectCheck;
using DictionaryTest = LiveObjectCheck;
using DictionaryEntryTest = LiveObjectCheck;
using DictionaryModelTest = LiveObjectCheck;
using EntryCursorTest = LiveObjectCheck;

// A vector that runs a callback when it is destroyed.
class CallbackVector : public KvoVector
{
public:
    explicit CallbackVector(std::function<void()> onDestroy) : m_onDestroy(std::move(onDestroy)) {}
    ~CallbackVector() override { m_onDestroy(); }

private:
    std::function<void()> m_onDestroy;
};

KvoValue str(const KvoChar* s)
{
    return KvoValue(new KvoString(s));
}

// The keys of the dictionary in list order.
std::vector<std::u16string> keysOf(const KvoDictionary& d)
{
    std::vector<std::u16string> keys;
    for (KvoDictionaryEntry* e = d.getFirst(); e; e = e->getNext())
        keys.emplace_back(e->getKey()->c_str());
    return keys;
}

using Keys = std::vector<std::u16string>;

} // namespace

// ---- KvoVector ----------------------------------------------------------------------------------

TEST_F(VectorTest, ConstructionAndGrowth)
{
    KvoVector v;
    EXPECT_EQ(v.size(), 0u);
    EXPECT_EQ(v.capacity(), 2u);
    v.push_back(KvoValue(std::int32_t(1)));
    v.push_back(KvoValue(std::int32_t(2)));
    EXPECT_EQ(v.capacity(), 2u);
    v.push_back(KvoValue(std::int32_t(3)));
    EXPECT_EQ(v.capacity(), 4u);
    EXPECT_EQ(v[3].getType(), KVT_NULL);

    KvoVector sized(5, true);
    EXPECT_EQ(sized.size(), 5u);
    EXPECT_EQ(sized.capacity(), 5u);
    for (std::uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(sized[i].getType(), KVT_NULL);
    KvoVector reserved(1, false);
    EXPECT_EQ(reserved.size(), 0u);
    EXPECT_EQ(reserved.capacity(), 2u);
    KvoVector none(0, true);
    EXPECT_EQ(none.size(), 0u);
    EXPECT_EQ(none.capacity(), 2u);

    KvoVector empty;
    KvoValue popped = empty.pop_back();
    EXPECT_EQ(popped.getType(), KVT_NULL);
    EXPECT_EQ(empty.size(), 0u);
}

TEST_F(VectorTest, ElementsHoldCounts)
{
    auto* s = new KvoString(u"s");
    KvoValue holder(s);
    {
        KvoVector v;
        v.push_back(holder);
        v.push_back(KvoValue(s, true));
        EXPECT_EQ(s->getRefCnt(), 2);
        {
            KvoVector copy(v);
            EXPECT_EQ(s->getRefCnt(), 3);
            EXPECT_EQ(copy.capacity(), v.capacity());
            EXPECT_EQ(copy[1].getType(), KVT_STRINGREF);
        }
        EXPECT_EQ(s->getRefCnt(), 2);

        KvoVector assigned;
        assigned.push_back(holder);
        EXPECT_EQ(s->getRefCnt(), 3);
        assigned = v; // the old element goes, the new ones come
        EXPECT_EQ(s->getRefCnt(), 3);
        assigned = assigned;
        EXPECT_EQ(s->getRefCnt(), 3);
        EXPECT_EQ(assigned.size(), 2u);

        // pop_back hands the reference over to the result.
        KvoValue last = v.pop_back();
        EXPECT_EQ(last.getType(), KVT_STRINGREF);
        KvoValue first = v.pop_back();
        EXPECT_EQ(s->getRefCnt(), 3);
        EXPECT_EQ(v[0].getType(), KVT_NULL); // the slot was emptied
        first.dispose();
        EXPECT_EQ(s->getRefCnt(), 2);

        assigned.clear();
        EXPECT_EQ(s->getRefCnt(), 1);
        EXPECT_EQ(assigned.size(), 0u);
        EXPECT_EQ(assigned.capacity(), 2u);
    }
    EXPECT_EQ(s->getRefCnt(), 1);
}

TEST_F(VectorTest, AssignFromAVectorOwnedByTheTarget)
{
    // inner is kept alive only by outer[0]; assigning it to outer must read it completely
    // before outer's old elements (and with them inner) go.
    auto* outer = new KvoVector();
    KvoValue outerValue(outer);
    auto* inner = new KvoVector();
    inner->push_back(str(u"a"));
    inner->push_back(str(u"b"));
    inner->push_back(str(u"c"));
    outer->push_back(KvoValue(inner));
    *outer = *inner;
    ASSERT_EQ(outer->size(), 3u);
    EXPECT_EQ(std::u16string(outer->operator[](2).getString()->c_str()), u"c");
    EXPECT_EQ(outer->operator[](0).getString()->getRefCnt(), 1);
}

TEST_F(VectorTest, PushingItsOwnElementWhileFull)
{
    KvoVector v;
    v.push_back(str(u"first"));
    v.push_back(str(u"second"));
    ASSERT_EQ(v.size(), v.capacity());
    v.push_back(v[0]); // the block moves while the argument points into it
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[2].getString(), v[0].getString());
    EXPECT_EQ(v[0].getString()->getRefCnt(), 2);
    v.push_back(KvoValue(v[1]));
    v.push_back(v[1]);
    EXPECT_EQ(v.capacity(), 8u);
    EXPECT_EQ(v[1].getString()->getRefCnt(), 3);
}

TEST_F(VectorTest, CapacityTruncateAndGrow)
{
    KvoVector v(10, false);
    for (std::int32_t i = 0; i < 5; ++i)
        v.push_back(KvoValue(i));
    EXPECT_EQ(v.setCapacity(3), 5u); // never below the size
    EXPECT_EQ(v.shrink(), 5u);
    EXPECT_EQ(v.setCapacity(9), 9u);
    EXPECT_EQ(v[8].getType(), KVT_NULL);
    EXPECT_EQ(v[4].getLong(), 4);
    v.truncate(2);
    EXPECT_EQ(v.size(), 2u);
    EXPECT_EQ(v[2].getType(), KVT_NULL);
    v.truncate(7); // a larger size does nothing
    EXPECT_EQ(v.size(), 2u);
    v.growToIndex(20);
    EXPECT_EQ(v.size(), 21u);
    EXPECT_GE(v.capacity(), 21u);
    EXPECT_EQ(v[20].getType(), KVT_NULL);
    KvoVector e;
    EXPECT_EQ(e.setCapacity(0), 2u);
}

TEST_F(VectorTest, ConcatenationCounts)
{
    auto* s = new KvoString(u"s");
    KvoVector a;
    a.push_back(KvoValue(s));
    a.push_back(KvoValue(std::int32_t(1)));
    KvoVector b;
    b.push_back(KvoValue(s));
    {
        KvoValue sum(a + b);
        KvoVector* v = sum.getVector();
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->size(), 3u);
        EXPECT_EQ(v->capacity(), 3u);
        EXPECT_EQ(s->getRefCnt(), 4);
        EXPECT_EQ(v->operator[](1).getLong(), 1);
        KvoValue emptySum(KvoVector() + KvoVector());
        EXPECT_EQ(emptySum.getVector()->capacity(), 2u);
    }
    EXPECT_EQ(s->getRefCnt(), 2);
    a += b;
    EXPECT_EQ(a.size(), 3u);
    EXPECT_EQ(a.capacity(), 3u); // grown to the exact need
    a += a;
    EXPECT_EQ(a.size(), 6u);
    EXPECT_EQ(a.capacity(), 6u);
    EXPECT_EQ(s->getRefCnt(), 5);
    EXPECT_EQ(a[5].getString(), s);
}

TEST_F(VectorTest, StringAndVariableIndexes)
{
    KvoDictionary d;
    KvoDictionaryEntry* x = d[u"x"];
    KvoDictionaryEntry* y = d[u"y"];
    auto* named = new KvoString(u"name");
    KvoVector v;
    v.push_back(KvoValue(std::int32_t(0)));
    v.push_back(KvoValue(named, true));
    v.push_back(str(u"name"));
    v.push_back(KvoValue(y));
    v.push_back(KvoValue(new KvoCharBuffer()));
    EXPECT_EQ(v.getStringIndex(u"name"), 1); // a twin counts as a string
    EXPECT_EQ(v.getStringIndex(u"nam"), -1);
    EXPECT_EQ(v.getStringIndex(u""), -1);
    EXPECT_EQ(v.getStringIndex(nullptr), -1);
    EXPECT_EQ(v.getVarIndex(y), 3);
    EXPECT_EQ(v.getVarIndex(x), -1);
    EXPECT_EQ(v.getVarIndex(nullptr), -1);
    v.push_back(KvoValue(static_cast<KvoString*>(nullptr))); // a typed NULL is skipped
    v.push_back(str(u""));
    EXPECT_EQ(v.getStringIndex(u""), 6);
    EXPECT_EQ(KvoVector().getStringIndex(u"name"), -1);
    delete named;
}

// ---- KvoDictionary ------------------------------------------------------------------------------

TEST_F(DictionaryTest, SortedAndInsertionOrder)
{
    KvoDictionary sorted(true);
    KvoDictionary unsorted;
    EXPECT_TRUE(sorted.isSorted());
    EXPECT_FALSE(unsorted.isSorted());
    for (const KvoChar* k : {u"b", u"a", u"c"}) {
        sorted[KvoString(k)];
        unsorted[KvoString(k)];
    }
    EXPECT_EQ(keysOf(sorted), (Keys{u"a", u"b", u"c"}));
    EXPECT_EQ(keysOf(unsorted), (Keys{u"b", u"a", u"c"}));
    EXPECT_EQ(sorted.find(KvoString(u"bb")), nullptr);
    EXPECT_EQ(sorted.find(KvoString(u"")), nullptr);
    EXPECT_EQ(unsorted.find(KvoString(u"bb")), nullptr);
    EXPECT_EQ(sorted.find(KvoString(u"c"))->getKey()->compare(KvoString(u"c")), 0);
    EXPECT_EQ(sorted.count(), 3u);

    // Case-sensitive code-unit order, and the empty key sorts first.
    sorted[KvoString(u"B")];
    sorted[KvoString(u"\u00e9")];
    sorted[KvoString(u"")];
    EXPECT_EQ(keysOf(sorted), (Keys{u"", u"B", u"a", u"b", u"c", u"\u00e9"}));
    EXPECT_NE(sorted.find(KvoString()), nullptr); // a key without text matches ""
}

TEST_F(DictionaryTest, IndexingByKeyCreatesOnce)
{
    for (bool isSorted : {false, true}) {
        KvoDictionary d(isSorted);
        KvoString key(u"name");
        KvoDictionaryEntry* first = d[key];
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(first->getSymbolType(), SYM_NONE);
        EXPECT_EQ(first->getValue().getType(), KVT_NULL);
        EXPECT_EQ(first->getDictionary(), &d);
        EXPECT_NE(first->getKey(), &key); // a copy of the key
        EXPECT_EQ(first->getKey()->getRefCnt(), 1);
        first->setSymbolType(SYM_VARIABLE);
        EXPECT_EQ(d[key], first);
        EXPECT_EQ(d[u"name"], first);
        EXPECT_EQ(d.count(), 1u);
        EXPECT_EQ(d[static_cast<const KvoChar*>(nullptr)], nullptr);
        EXPECT_EQ(d.find(static_cast<const KvoChar*>(nullptr)), nullptr);
    }
}

TEST_F(DictionaryTest, KeyObjectIndexingAddsDuplicates)
{
    KvoDictionary d(true);
    d[KvoString(u"a")];
    d[KvoString(u"c")];
    KvoDictionaryEntry* firstA = d.find(KvoString(u"a"));
    auto* b = new KvoString(u"b");
    KvoDictionaryEntry* eb = d[b];
    EXPECT_EQ(eb->getKey(), b); // the very object, shared
    EXPECT_EQ(b->getRefCnt(), 1);
    EXPECT_EQ(keysOf(d), (Keys{u"a", u"b", u"c"}));

    auto* a = new KvoString(u"a");
    a->addRef();
    KvoDictionaryEntry* secondA = d[a];
    KvoDictionaryEntry* thirdA = d[a];
    EXPECT_EQ(a->getRefCnt(), 3);
    a->release();
    EXPECT_NE(secondA, thirdA);
    EXPECT_EQ(keysOf(d), (Keys{u"a", u"a", u"a", u"b", u"c"}));
    EXPECT_EQ(firstA->getNext(), secondA); // equal keys keep their insertion order
    EXPECT_EQ(secondA->getNext(), thirdA);
    EXPECT_EQ(d.find(KvoString(u"a")), firstA);
    EXPECT_EQ(d[KvoString(u"a")], firstA);
    EXPECT_EQ(d[static_cast<KvoString*>(nullptr)], nullptr);
    EXPECT_EQ(d.count(), 5u);

    // Erasing the first match uncovers the next one.
    EXPECT_TRUE(d.erase(KvoString(u"a")));
    EXPECT_EQ(d.find(KvoString(u"a")), secondA);
    EXPECT_EQ(d.getFirst(), secondA);

    KvoDictionary u;
    u[KvoString(u"z")];
    KvoDictionaryEntry* z2 = u[b];
    KvoDictionaryEntry* z3 = u[new KvoString(u"z")];
    EXPECT_EQ(keysOf(u), (Keys{u"z", u"b", u"z"}));
    EXPECT_EQ(u.find(KvoString(u"z"))->getNext(), z2);
    EXPECT_EQ(z2->getNext(), z3);
    EXPECT_EQ(b->getRefCnt(), 2);
}

TEST_F(DictionaryTest, LookupsCompareTextWhenHashesOrObjectsAgree)
{
    // "alCxh" and "ap2la" share one 32-bit hash: a lookup must still tell them apart by text,
    // and a key with equal text but another object must find the entry made by the first.
    ASSERT_EQ(KvoString::hashText(u"alCxh"), KvoString::hashText(u"ap2la"));
    for (bool isSorted : {false, true}) {
        KvoDictionary d(isSorted);
        KvoDictionaryEntry* first = d[KvoString(u"alCxh")];
        KvoDictionaryEntry* second = d[KvoString(u"ap2la")];
        ASSERT_NE(first, second);
        EXPECT_EQ(d.count(), 2u);
        KvoString probe(u"ap2la");
        EXPECT_EQ(probe.hash(), first->getKey()->hash()); // remembered, then reused by find
        EXPECT_EQ(d.find(probe), second);
        EXPECT_EQ(d.find(probe), second);
        EXPECT_EQ(d.find(KvoString(u"alCxh")), first);
        EXPECT_EQ(d.find(u"ap2la"), second);
        EXPECT_EQ(d.find(*first->getKey()), first); // the entry's own key object
        EXPECT_EQ(d.find(KvoString(u"alCxi")), nullptr);
        EXPECT_TRUE(d.erase(KvoString(u"alCxh")));
        EXPECT_EQ(d.find(u"alCxh"), nullptr);
        EXPECT_EQ(d.find(probe), second);
    }
}

TEST_F(DictionaryTest, EraseAndClear)
{
    KvoDictionary d;
    KvoDictionary other;
    EXPECT_FALSE(d.erase(static_cast<KvoDictionaryEntry*>(nullptr)));
    KvoDictionaryEntry* foreign = other[u"x"];
    EXPECT_FALSE(d.erase(foreign)); // d is empty
    d[u"x"];
    d[u"y"];
    KvoDictionaryEntry* third = d[u"z"];
    third->setValue(str(u"value"));
    EXPECT_FALSE(d.erase(foreign)); // belongs to another dictionary
    EXPECT_EQ(d.count(), 3u);
    EXPECT_EQ(other.count(), 1u);
    EXPECT_EQ(foreign->getDictionary(), &other);
    EXPECT_TRUE(d.erase(third));
    EXPECT_EQ(keysOf(d), (Keys{u"x", u"y"}));
    EXPECT_EQ(d.count(), 2u);
    EXPECT_EQ(d.getFirst()->getNext()->getNext(), nullptr);
    EXPECT_FALSE(d.erase(KvoString(u"z")));
    EXPECT_TRUE(d.erase(KvoString(u"x")));
    EXPECT_EQ(keysOf(d), (Keys{u"y"}));
    d[u"w"];
    EXPECT_EQ(keysOf(d), (Keys{u"y", u"w"})); // appends after an erase at the head

    d.clear();
    EXPECT_EQ(d.getFirst(), nullptr);
    EXPECT_EQ(d.count(), 0u);
    EXPECT_EQ(d.find(u"y"), nullptr);
    d[u"again"];
    EXPECT_EQ(keysOf(d), (Keys{u"again"}));
}

TEST_F(DictionaryTest, DeletingAnEntryUnlinksIt)
{
    for (bool isSorted : {false, true}) {
        KvoDictionary d(isSorted);
        d[u"a"];
        KvoDictionaryEntry* b = d[u"b"];
        d[u"c"];
        delete b;
        EXPECT_EQ(keysOf(d), (Keys{u"a", u"c"}));
        EXPECT_EQ(d.count(), 2u);
        EXPECT_EQ(d.find(u"b"), nullptr);
        delete d.getFirst();
        EXPECT_EQ(keysOf(d), (Keys{u"c"}));
        delete d.find(u"c");
        EXPECT_EQ(d.getFirst(), nullptr);
        d[u"b"];
        EXPECT_EQ(keysOf(d), (Keys{u"b"}));
    }
}

TEST_F(DictionaryTest, DyingValuesMayChangeTheDictionary)
{
    // A value whose destruction erases another entry of the same dictionary, while the
    // dictionary is erasing or clearing.
    KvoDictionary d(true);
    int destroyed = 0;
    d[u"a"]->setValue(KvoValue(new CallbackVector([&] {
        ++destroyed;
        d.erase(KvoString(u"c"));
    })));
    d[u"b"];
    d[u"c"]->setValue(KvoValue(new CallbackVector([&] { ++destroyed; })));
    d[u"d"]->setValue(KvoValue(new CallbackVector([&] {
        ++destroyed;
        d.erase(KvoString(u"b"));
        d[u"late"];
    })));
    EXPECT_TRUE(d.erase(KvoString(u"a")));
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(keysOf(d), (Keys{u"b", u"d"}));
    d.clear();
    EXPECT_EQ(destroyed, 3);
    EXPECT_EQ(d.getFirst(), nullptr);
    EXPECT_EQ(d.count(), 0u);
}

TEST_F(DictionaryTest, DictionaryReleasesKeysAndValues)
{
    auto* key = new KvoString(u"k");
    key->addRef();
    auto* value = new KvoString(u"v");
    KvoValue valueHolder(value);
    {
        auto* d = new KvoDictionary(true);
        KvoValue dictHolder(d);
        (*d)[key]->setValue(valueHolder);
        (*d)[key]->setValue(valueHolder);
        EXPECT_EQ(key->getRefCnt(), 3);
        EXPECT_EQ(value->getRefCnt(), 3);
    }
    EXPECT_EQ(key->getRefCnt(), 1);
    EXPECT_EQ(value->getRefCnt(), 1);
    key->release();
}

// ---- KvoDictionaryEntry -------------------------------------------------------------------------

TEST_F(DictionaryEntryTest, ConstructionSharesOrCopiesTheKey)
{
    auto* key = new KvoString(u"k");
    KvoValue valueHolder(new KvoString(u"v"));
    KvoString* value = valueHolder.getString();
    {
        KvoDictionaryEntry shared(key, KvoValue(value), SYM_VARIABLE);
        EXPECT_EQ(shared.getKey(), key);
        EXPECT_EQ(key->getRefCnt(), 1);
        EXPECT_EQ(value->getRefCnt(), 2);
        EXPECT_EQ(shared.getSymbolType(), SYM_VARIABLE);
        EXPECT_EQ(shared.getDictionary(), nullptr);
        EXPECT_EQ(shared.getNext(), nullptr);

        KvoDictionaryEntry copied(*key, KvoValue(std::int32_t(1)), SYM_FUNCTION);
        EXPECT_NE(copied.getKey(), key);
        EXPECT_EQ(copied.getKey()->getRefCnt(), 1);
        EXPECT_EQ(copied.getKey()->compare(*key), 0);

        KvoDictionaryEntry copy(shared);
        EXPECT_EQ(copy.getKey(), key);
        EXPECT_EQ(key->getRefCnt(), 2);
        EXPECT_EQ(value->getRefCnt(), 3);
        EXPECT_EQ(copy.getSymbolType(), SYM_VARIABLE);

        KvoDictionaryEntry keyless(static_cast<KvoString*>(nullptr), KvoValue(), SYM_NONE);
        EXPECT_EQ(keyless.getKey(), nullptr);

        // Outside a dictionary assignment takes the other's key too.
        keyless = copied;
        EXPECT_EQ(keyless.getKey(), copied.getKey());
        EXPECT_EQ(copied.getKey()->getRefCnt(), 2);
        EXPECT_EQ(keyless.getSymbolType(), SYM_FUNCTION);
        keyless = KvoValue(std::int32_t(9));
        EXPECT_EQ(keyless.getValue().getLong(), 9);
        EXPECT_EQ(keyless.getSymbolType(), SYM_FUNCTION);
        keyless = keyless;
        EXPECT_EQ(copied.getKey()->getRefCnt(), 2);
    }
    EXPECT_EQ(value->getRefCnt(), 1);
}

TEST_F(DictionaryEntryTest, AnEntryInADictionaryKeepsItsKey)
{
    KvoDictionary d(true);
    KvoDictionaryEntry* a = d[u"a"];
    KvoDictionaryEntry* b = d[u"b"];
    b->setSymbolType(SYM_METHOD);
    b->setValue(KvoValue(std::int32_t(2)));
    *a = *b;
    EXPECT_EQ(std::u16string(a->getKey()->c_str()), u"a");
    EXPECT_EQ(a->getSymbolType(), SYM_METHOD);
    EXPECT_EQ(a->getValue().getLong(), 2);
    EXPECT_EQ(d.find(u"a"), a);

    // A free-standing copy is in no list; its destruction leaves the dictionary alone.
    auto* copy = new KvoDictionaryEntry(*a);
    EXPECT_EQ(copy->getDictionary(), nullptr);
    delete copy;
    EXPECT_EQ(keysOf(d), (Keys{u"a", u"b"}));
}

// ---- Randomized comparison with a plain list ----------------------------------------------------

namespace {

// The dictionary as a plain list walked from the head. find stops at the first equal key,
// or (sorted) at the first greater one; new entries go before the first greater key (sorted)
// or at the end.
class ListModel
{
public:
    struct Item {
        std::u16string key;
        KvoDictionaryEntry* entry;
    };
    using Iterator = std::list<Item>::iterator;

    explicit ListModel(bool isSorted) : m_sorted(isSorted) {}

    Iterator find(const std::u16string& key)
    {
        for (auto it = m_items.begin(); it != m_items.end(); ++it) {
            int c = it->key.compare(key);
            if (c == 0)
                return it;
            if (m_sorted && c > 0)
                break;
        }
        return m_items.end();
    }
    KvoDictionaryEntry* findEntry(const std::u16string& key)
    {
        auto it = find(key);
        return it == m_items.end() ? nullptr : it->entry;
    }
    Iterator insertionPoint(const std::u16string& key)
    {
        if (!m_sorted)
            return m_items.end();
        auto it = m_items.begin();
        while (it != m_items.end() && it->key.compare(key) <= 0)
            ++it;
        return it;
    }
    void insert(const std::u16string& key, KvoDictionaryEntry* entry) { m_items.insert(insertionPoint(key), {key, entry}); }
    void remove(KvoDictionaryEntry* entry)
    {
        m_items.remove_if([entry](const Item& item) { return item.entry == entry; });
    }
    std::list<Item>& items() { return m_items; }

private:
    bool m_sorted;
    std::list<Item> m_items;
};

const std::u16string MODEL_KEYS[] = {u"", u"a", u"ab", u"b", u"B", u"\u00e9"};
const std::u16string PROBE_ONLY_KEYS[] = {u"aa", u"c", u"A", u"\uffff"};

// Checks list order, count, membership and every lookup against the model.
void expectSameAsModel(KvoDictionary& d, ListModel& model)
{
    KvoDictionaryEntry* e = d.getFirst();
    std::size_t position = 0;
    for (const ListModel::Item& item : model.items()) {
        ASSERT_EQ(e, item.entry) << "list position " << position;
        ASSERT_EQ(std::u16string(e->getKey()->c_str()), item.key);
        ASSERT_EQ(e->getDictionary(), &d);
        e = e->getNext();
        ++position;
    }
    ASSERT_EQ(e, nullptr) << "the dictionary has more entries than the model";
    ASSERT_EQ(d.count(), model.items().size());
    for (const std::u16string& key : MODEL_KEYS) {
        ASSERT_EQ(d.find(KvoString(key.c_str())), model.findEntry(key));
        ASSERT_EQ(d.find(key.c_str()), model.findEntry(key));
    }
    for (const std::u16string& key : PROBE_ONLY_KEYS)
        ASSERT_EQ(d.find(key.c_str()), nullptr);
}

void runModelSequence(bool isSorted, std::uint32_t seed, int steps)
{
    std::mt19937 random(seed);
    auto pick = [&random](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    KvoDictionary d(isSorted);
    KvoDictionary other(isSorted);
    KvoDictionaryEntry* foreign = other[u"a"];
    ListModel model(isSorted);
    std::int32_t nextId = 0;

    for (int step = 0; step < steps; ++step) {
        SCOPED_TRACE(testing::Message() << (isSorted ? "sorted" : "unsorted") << " seed " << seed << " step " << step);
        const std::u16string& key = MODEL_KEYS[pick(std::size(MODEL_KEYS))];
        std::size_t size = model.items().size();
        auto randomItem = [&]() { return std::next(model.items().begin(), static_cast<long>(pick(size))); };
        std::size_t op = pick(100);

        if (op < 30) {
            // Find-or-create by key, through either overload.
            KvoDictionaryEntry* expected = model.findEntry(key);
            KvoDictionaryEntry* got = (op % 2) ? d[KvoString(key.c_str())] : d[key.c_str()];
            ASSERT_NE(got, nullptr);
            if (expected) {
                ASSERT_EQ(got, expected);
                ASSERT_NE(got->getSymbolType(), SYM_NONE);
            } else {
                ASSERT_EQ(got->getSymbolType(), SYM_NONE);
                ASSERT_EQ(got->getValue().getType(), KVT_NULL);
                ASSERT_EQ(got->getKey()->getRefCnt(), 1);
                got->setSymbolType(SYM_VARIABLE);
                got->setValue(op % 3 ? KvoValue(nextId++) : str(u"owned"));
                model.insert(key, got);
            }
        } else if (op < 50) {
            // Key-object insertion: a new key, a key without text, or the key of another entry.
            KvoString* keyObject;
            std::u16string keyText = key;
            if (size && op < 35) {
                keyObject = randomItem()->entry->getKey();
                keyText = keyObject->c_str();
            } else if (keyText.empty() && op % 2) {
                keyObject = new KvoString();
            } else {
                keyObject = new KvoString(keyText.c_str());
            }
            keyObject->addRef();
            std::int32_t countBefore = keyObject->getRefCnt();
            KvoDictionaryEntry* got = d[keyObject];
            ASSERT_EQ(got->getKey(), keyObject);
            ASSERT_EQ(keyObject->getRefCnt(), countBefore + 1);
            keyObject->release();
            ASSERT_EQ(got->getSymbolType(), SYM_NONE);
            got->setSymbolType(SYM_CLASS);
            got->setValue(KvoValue(nextId++));
            model.insert(keyText, got);
        } else if (op < 65) {
            // Erase an entry: one of ours, a foreign one or none.
            if (size && op < 61) {
                auto it = randomItem();
                KvoDictionaryEntry* entry = it->entry;
                model.items().erase(it);
                ASSERT_TRUE(d.erase(entry));
            } else {
                ASSERT_FALSE(d.erase(op % 2 ? foreign : nullptr));
                ASSERT_EQ(foreign->getDictionary(), &other);
            }
        } else if (op < 77) {
            // Erase by key: the first match, if any.
            KvoDictionaryEntry* expected = model.findEntry(key);
            if (expected)
                model.remove(expected);
            ASSERT_EQ(d.erase(KvoString(key.c_str())), expected != nullptr);
        } else if (op < 85) {
            // Entries unlink themselves when deleted directly.
            if (size) {
                auto it = randomItem();
                KvoDictionaryEntry* entry = it->entry;
                model.items().erase(it);
                delete entry;
            }
        } else if (op < 92) {
            // Assigning one entry to another keeps the target's key and place.
            if (size) {
                KvoDictionaryEntry* target = randomItem()->entry;
                KvoDictionaryEntry* source = randomItem()->entry;
                *target = *source;
            }
        } else if (op < 99) {
            // A lookup of an entry's exact text finds the first entry with that key.
            if (size) {
                const std::u16string& text = randomItem()->key;
                ASSERT_EQ(d.find(text.c_str()), model.findEntry(text));
            }
        } else {
            d.clear();
            model.items().clear();
        }
        expectSameAsModel(d, model);
        if (testing::Test::HasFatalFailure())
            return;
    }
}

} // namespace

TEST_F(DictionaryModelTest, UnsortedMatchesThePlainList)
{
    for (std::uint32_t seed : {1u, 2u, 3u}) {
        runModelSequence(false, seed, 3000);
        if (HasFatalFailure())
            return;
    }
}

TEST_F(DictionaryModelTest, SortedMatchesThePlainList)
{
    for (std::uint32_t seed : {11u, 12u, 13u}) {
        runModelSequence(true, seed, 3000);
        if (HasFatalFailure())
            return;
    }
}

// A key string changed in place after insertion must not corrupt the indexes: erasing and
// clearing still find every entry, and the sanitizer build sees no stale pointer.
TEST(DictionaryKeyMutation, ChangedKeyStaysSafeToEraseAndClear)
{
    for (bool sorted : {false, true}) {
        KvoDictionary* d = new KvoDictionary(sorted);
        d->addRef();
        KvoString* shared = new KvoString(u"m");
        shared->addRef();
        (*d)[KvoString(u"a")];
        (*d)[shared];
        (*d)[KvoString(u"z")];
        EXPECT_EQ(d->find(*shared)->getKey(), shared);
        *shared = u"zz"; // now out of order for the sorted index
        // The key object itself finds what its new text finds.
        EXPECT_EQ(d->find(*shared), d->find(shared->c_str()));
        (*d)[KvoString(u"n")];
        EXPECT_EQ(d->count(), 4u);
        KvoDictionaryEntry* e = d->getFirst();
        while (e && e->getKey() != shared)
            e = e->getNext();
        ASSERT_NE(e, nullptr);
        EXPECT_TRUE(d->erase(e));
        EXPECT_EQ(d->count(), 3u);
        EXPECT_NE(d->find(u"n"), nullptr);
        d->clear();
        EXPECT_EQ(d->count(), 0u);
        shared->release();
        d->release();
    }
}

// A lookup key whose hash the string remembers finds by its current text after every kind of
// change, also one made through its exposed characters.
TEST(DictionaryKeyMutation, ALookupKeyChangedAfterUseFindsItsNewText)
{
    KvoDictionary d;
    for (const KvoChar* key : {u"ab", u"Xb", u"XY", u"XYc"})
        d[key];
    KvoString probe(u"ab");
    EXPECT_EQ(d.find(probe)->getKey()->c_str(), std::u16string(u"ab"));
    probe[0] = u'X';
    EXPECT_EQ(d.find(probe), d.find(u"Xb"));
    probe.exposeText()[1] = u'Y';
    EXPECT_EQ(d.find(probe), d.find(u"XY"));
    probe.hash();
    probe += u'c';
    EXPECT_EQ(d.find(probe), d.find(u"XYc"));
    probe.exposeText()[2] = 0;
    EXPECT_EQ(d.find(probe), d.find(u"XY"));
    EXPECT_NE(d.find(u"XY"), nullptr);
}

TEST(DictionaryKeyMutation, TheLookupWithoutCallAgreesWithFindOrLeavesItToFind)
{
    KvoDictionary d;
    for (const KvoChar* key : {u"ab", u"Xb"})
        d[key];
    KvoString probe(u"ab");
    // No remembered hash: find decides.
    EXPECT_EQ(d.findWithoutCall(probe), nullptr);
    probe.hash();
    EXPECT_EQ(d.findWithoutCall(probe), d.find(u"ab"));
    // A write through operator[]: the hash is forgotten and the length must be counted again.
    probe[0] = u'X';
    EXPECT_EQ(d.findWithoutCall(probe), nullptr);
    probe.hash();
    EXPECT_EQ(probe.length(), 2u);
    EXPECT_EQ(d.findWithoutCall(probe), d.find(u"Xb"));
    probe += u'c';
    probe.hash();
    EXPECT_EQ(d.findWithoutCall(probe), nullptr);
    EXPECT_EQ(d.find(probe), nullptr);
    // The very key object of an entry matches at once.
    KvoString* key = d.find(u"ab")->getKey();
    key->hash();
    EXPECT_EQ(d.findWithoutCall(*key), d.find(u"ab"));
    // An entry key whose block native code may write into is compared by find only.
    d.find(u"Xb")->getKey()->exposeText();
    KvoString other(u"Xb");
    other.hash();
    EXPECT_EQ(d.findWithoutCall(other), nullptr);
    EXPECT_EQ(d.find(other), d.find(u"Xb"));
}

// ---- KvoEntryCursor ---------------------------------------------------------------------------

namespace {

// A class with one data member (slot 1) for cursor objects, and the dictionary they walk.
struct CursorSetting {
    KvoVirtualMachine vm;
    KvoValue classValue{new KvoClass(vm)};
    KvoValue dictionaryValue{new KvoDictionary(false)};
    CursorSetting()
    {
        KvoClass* c = classValue.getClass();
        c->addDataMember(u"_current");
        c->fixupDataDefs();
        KvoDictionary& d = dictionary();
        d[u"a"];
        d[u"b"];
        d[u"c"];
    }
    KvoDictionary& dictionary() { return *dictionaryValue.getDictionary(); }
    // A new cursor object, held by the returned value.
    KvoValue cursor(KvoDictionaryEntry* entry, std::int32_t slot = 1)
    {
        auto* cursor = new KvoEntryCursor(classValue.getClass(), slot);
        cursor->designate(entry);
        return KvoValue(static_cast<KvoObject*>(cursor));
    }
};

KvoEntryCursor& cursorOf(const KvoValue& value)
{
    return *static_cast<KvoEntryCursor*>(value.getObject());
}

const KvoValue& slotOf(const KvoValue& value)
{
    return (*value.getObject()->getMemberData())[1];
}

} // namespace

TEST_F(EntryCursorTest, DesignatesAnEntryAndMirrorsIt)
{
    CursorSetting s;
    KvoDictionaryEntry* b = s.dictionary().find(u"b");
    KvoValue c = s.cursor(b);
    EXPECT_EQ(cursorOf(c).getEntry(), b);
    EXPECT_FALSE(cursorOf(c).isLost());
    EXPECT_EQ(slotOf(c).getVar(), b);
    cursorOf(c).designate(nullptr);
    EXPECT_EQ(cursorOf(c).getEntry(), nullptr);
    EXPECT_TRUE(slotOf(c).isNull());
    // An entry in no dictionary cannot be watched: the cursor stays at the end.
    KvoDictionaryEntry loose(KvoString(u"x"), KvoValue(), SYM_NONE);
    cursorOf(c).designate(&loose);
    EXPECT_EQ(cursorOf(c).getEntry(), nullptr);
    // A slot that the class does not have is not mirrored.
    KvoValue unmirrored = s.cursor(b, 7);
    EXPECT_EQ(cursorOf(unmirrored).getEntry(), b);
}

TEST_F(EntryCursorTest, EveryWayAnEntryGoesLosesItsCursors)
{
    CursorSetting s;
    KvoDictionary& d = s.dictionary();
    // Three cursors on one entry, one on another; the middle one of the three dies first.
    KvoValue first = s.cursor(d.find(u"a"));
    KvoValue middle = s.cursor(d.find(u"a"));
    KvoValue last = s.cursor(d.find(u"a"));
    KvoValue other = s.cursor(d.find(u"c"));
    middle.dispose();
    EXPECT_TRUE(d.erase(KvoString(u"a")));
    for (const KvoValue* c : {&first, &last}) {
        EXPECT_TRUE(cursorOf(*c).isLost());
        EXPECT_EQ(cursorOf(*c).getEntry(), nullptr);
        EXPECT_EQ(slotOf(*c).getType(), KVT_VAR);
        EXPECT_EQ(slotOf(*c).getVar(), nullptr);
    }
    EXPECT_FALSE(cursorOf(other).isLost());
    // Designating again clears the lost state.
    cursorOf(first).designate(d.find(u"b"));
    EXPECT_FALSE(cursorOf(first).isLost());
    d.clear();
    EXPECT_TRUE(cursorOf(first).isLost());
    EXPECT_TRUE(cursorOf(other).isLost());
    // The dictionary dying takes its entries with it.
    d[u"n"];
    cursorOf(last).designate(d.find(u"n"));
    s.dictionaryValue.dispose();
    EXPECT_TRUE(cursorOf(last).isLost());
}

TEST_F(EntryCursorTest, ACursorDyingBeforeItsEntryUnhooksItself)
{
    CursorSetting s;
    KvoDictionaryEntry* b = s.dictionary().find(u"b");
    {
        KvoValue gone = s.cursor(b);
        KvoValue kept = s.cursor(b);
        gone.dispose();
        kept.dispose();
    }
    // Erasing the entry must not reach the dead cursors (the sanitizer build checks this).
    EXPECT_TRUE(s.dictionary().erase(b));
}

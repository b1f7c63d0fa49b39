// Tests of KvoRefObject, KvoValue and ValPtr: reference counts taken and given back by every
// construction, copy, move, assignment and dispose; the retain-before-release order that keeps
// `v = v[0]` safe when v holds the only reference to the vector; typed views and numeric
// conversions; owning kinds and their non-owning twins; cursors that grow their vector.
// Every test checks that the number of live heap objects returns to where it started.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "host/KvoVirtualMachine.h"
#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "values/KvoString.h"
#include "values/KvoValue.h"
#include "values/KvoVector.h"
#include "values/ValPtr.h"

#include "KvoTestSupport.h"

namespace {

using RefObjectTest = LiveObjectCheck;
using ValueTest = LiveObjectCheck;
using ValPtrTest = LiveObjectCheck;

// A string that counts its own destruction.
class WatchedString : public KvoString
{
public:
    WatchedString(const KvoChar* text, int& deaths) : KvoString(text), m_deaths(deaths) {}
    ~WatchedString() override { ++m_deaths; }

private:
    int& m_deaths;
};

// A vector that counts its own destruction.
class WatchedVector : public KvoVector
{
public:
    explicit WatchedVector(int& deaths) : m_deaths(deaths) {}
    ~WatchedVector() override { ++m_deaths; }

private:
    int& m_deaths;
};

bool dummyNative(KvoVirtualMachine*, int, ValPtr&)
{
    return true;
}

std::u16string textOf(const KvoValue& value)
{
    const KvoString* s = value.getString();
    return s ? std::u16string(s->c_str()) : std::u16string(u"<not a string>");
}

} // namespace

// ---- KvoRefObject -----------------------------------------------------------------------------

TEST_F(RefObjectTest, CountStartsAtZeroAndReleaseDeletesAtZero)
{
    int deaths = 0;
    auto* s = new WatchedString(u"x", deaths);
    EXPECT_EQ(s->getRefCnt(), 0);
    EXPECT_EQ(s->addRef(), 1);
    EXPECT_EQ(s->addRef(), 2);
    EXPECT_EQ(s->release(), 1);
    EXPECT_EQ(deaths, 0);
    EXPECT_EQ(s->release(), 0);
    EXPECT_EQ(deaths, 1);

    // Releasing an object nobody retained deletes it.
    auto* t = new WatchedString(u"y", deaths);
    EXPECT_EQ(t->release(), 0);
    EXPECT_EQ(deaths, 2);
}

TEST_F(RefObjectTest, CopiesStartWithTheirOwnCount)
{
    KvoString original(u"abc");
    original.setRefCnt(5);
    KvoString copy(original);
    EXPECT_EQ(copy.getRefCnt(), 0);
    copy.setRefCnt(2);
    copy = original; // assignment copies the text, never the count
    EXPECT_EQ(copy.getRefCnt(), 2);
    EXPECT_EQ(std::u16string(copy.c_str()), u"abc");
    original.setRefCnt(0);
    copy.setRefCnt(0);
}

#if defined(KIVO_COUNT_OBJECTS)
TEST_F(RefObjectTest, LiveObjectsCountsEveryHeapKind)
{
    KvoVirtualMachine vm;
    std::int64_t before = KvoRefObject::liveObjects();
    {
        KvoValue s(new KvoString(u"s"));
        KvoValue v(new KvoVector());
        KvoValue b(new KvoBuffer());
        KvoValue c(new KvoCharBuffer());
        KvoValue d(new KvoDictionary());
        KvoValue k(new KvoClass(vm)); // the class and its two member dictionaries
        KvoValue o(new KvoObject(k.getClass())); // the object and its member vector
        EXPECT_EQ(KvoRefObject::liveObjects() - before, 5 + 3 + 2);
    }
    EXPECT_EQ(KvoRefObject::liveObjects(), before);
}
#endif

// ---- Construction and counts ------------------------------------------------------------------

TEST_F(ValueTest, NonOwningPayloads)
{
    KvoValue null;
    EXPECT_EQ(null.getType(), KVT_NULL);
    EXPECT_EQ(null.getFlags(), 0);
    EXPECT_EQ(null.ptr(), nullptr);

    int marker = 0;
    KvoValue file(static_cast<void*>(&marker));
    EXPECT_EQ(file.getType(), KVT_FILE);
    EXPECT_EQ(static_cast<void*>(file), &marker);
    KvoValue code(&dummyNative);
    EXPECT_EQ(code.getType(), KVT_CODE);
    EXPECT_EQ(static_cast<KvoNativeFunc>(code), &dummyNative);
    // Each raw view accepts its own kind only.
    EXPECT_EQ(code.getFile(), nullptr);
    EXPECT_EQ(file.getCode(), nullptr);
    EXPECT_EQ(KvoValue(std::int32_t(4)).getFile(), nullptr);
}

TEST_F(ValueTest, OwningCopyCountsAndRefCopyDoesNot)
{
    int deaths = 0;
    auto* s = new WatchedString(u"text", deaths);
    {
        KvoValue owner(s);
        EXPECT_EQ(owner.getType(), KVT_STRING);
        EXPECT_EQ(s->getRefCnt(), 1);
        {
            KvoValue copy(owner);
            EXPECT_EQ(s->getRefCnt(), 2);
            KvoValue ref(s, true);
            EXPECT_EQ(ref.getType(), KVT_STRINGREF);
            EXPECT_EQ(s->getRefCnt(), 2);
            KvoValue refCopy(ref);
            EXPECT_EQ(refCopy.getType(), KVT_STRINGREF);
            EXPECT_EQ(s->getRefCnt(), 2);
            refCopy.dispose();
            EXPECT_EQ(refCopy.getType(), KVT_NULL);
            EXPECT_EQ(s->getRefCnt(), 2);
            copy.dispose();
            EXPECT_EQ(s->getRefCnt(), 1);
            copy.dispose(); // a second dispose finds NULL and releases nothing
            EXPECT_EQ(s->getRefCnt(), 1);
        }
        EXPECT_EQ(s->getRefCnt(), 1);
        EXPECT_EQ(deaths, 0);
    }
    EXPECT_EQ(deaths, 1);

    // A value made from a fresh object and then disposed deletes it.
    KvoValue fresh(new WatchedString(u"fresh", deaths));
    fresh.dispose();
    EXPECT_EQ(deaths, 2);
    EXPECT_EQ(fresh.getType(), KVT_NULL);
    EXPECT_EQ(fresh.getFlags(), 0);
    EXPECT_EQ(fresh.ptr(), nullptr);
}

TEST_F(ValueTest, EveryObjectKindAndItsRefTwin)
{
    KvoVirtualMachine vm;
    KvoValue holders[] = {
        KvoValue(new KvoBuffer()),         KvoValue(new KvoCharBuffer()), KvoValue(new KvoClass(vm)),
        KvoValue(new KvoObject(nullptr)),  KvoValue(new KvoVector()),     KvoValue(new KvoString(u"s")),
        KvoValue(new KvoDictionary(true)),
    };
    const KvoValueType owningTypes[] = {KVT_BUFFER, KVT_CHARBUFFER, KVT_CLASS,     KVT_OBJECT,
                                        KVT_VECTOR, KVT_STRING,     KVT_DICTIONARY};
    for (std::size_t i = 0; i < std::size(holders); ++i) {
        const KvoValue& owner = holders[i];
        SCOPED_TRACE(i);
        ASSERT_EQ(owner.getType(), owningTypes[i]);
        auto* object = static_cast<KvoRefObject*>(owner.ptr());
        EXPECT_EQ(object->getRefCnt(), 1);

        // The generic constructor and the twin kind.
        KvoValueType refType = refTypeOf(owner.getType());
        EXPECT_EQ(refType, owner.getType() + 10);
        KvoValue generic(object, owner.getType());
        EXPECT_EQ(object->getRefCnt(), 2);
        KvoValue ref(object, refType);
        EXPECT_EQ(object->getRefCnt(), 2);
        EXPECT_TRUE(generic.isOwning());
        EXPECT_FALSE(ref.isOwning());

        // Each typed view accepts the owning kind and its twin, and nothing else.
        for (const KvoValue* v : {&owner, static_cast<const KvoValue*>(&ref)}) {
            int matches = (v->getBuffer() != nullptr) + (v->getCharBuffer() != nullptr) +
                          (v->getClass() != nullptr) + (v->getObject() != nullptr) + (v->getVector() != nullptr) +
                          (v->getString() != nullptr) + (v->getDictionary() != nullptr);
            EXPECT_EQ(matches, 1);
            EXPECT_EQ(v->getVar(), nullptr);
            EXPECT_EQ(v->getCode(), nullptr);
            EXPECT_EQ(v->getFile(), nullptr);
        }
    }
    EXPECT_EQ(static_cast<KvoString*>(holders[5]), holders[5].ptr());
    EXPECT_EQ(static_cast<KvoClass*>(holders[2]), holders[2].ptr());
    EXPECT_EQ(static_cast<KvoVector*>(holders[0]), nullptr);
}

TEST_F(ValueTest, OwningKindsAndTwins)
{
    for (unsigned t = 0; t < KVT_COUNT; ++t)
        EXPECT_EQ(isOwningType(t), t >= 6 && t <= 14) << t;
    EXPECT_EQ(refTypeOf(KVT_CODE), KVT_CODEREF);
    EXPECT_EQ(refTypeOf(KVT_BYTECODE), KVT_BYTECODEREF);
    EXPECT_EQ(refTypeOf(KVT_BUFFER), KVT_BUFFERREF);
    EXPECT_EQ(refTypeOf(KVT_DICTIONARY), KVT_DICTIONARYREF);
    EXPECT_EQ(refTypeOf(KVT_LOCALVARINFO), KVT_LOCALVARINFO); // no twin
    EXPECT_EQ(refTypeOf(KVT_INTEGER), KVT_INTEGER);
    EXPECT_FALSE(isOwningType(refTypeOf(KVT_BYTECODE)));

    EXPECT_EQ(std::u16string(getValueTypeName(KVT_VAR)), u"KVT_VAR");
    EXPECT_EQ(std::u16string(getValueTypeName(KVT_DICTIONARYREF)), u"KVT_DICTIONARYREF");
}

TEST_F(ValueTest, VectorKindsAndLocalVariableInformation)
{
    auto* pair = new KvoVector();
    pair->push_back(KvoValue(new KvoVector()));
    pair->push_back(KvoValue(new KvoVector()));
    KvoValue info(pair, true);
    EXPECT_EQ(info.getType(), KVT_LOCALVARINFO);
    EXPECT_EQ(info.getVector(), pair);
    EXPECT_EQ(pair->getRefCnt(), 1);
    KvoValue infoRef(pair, true, true);
    EXPECT_EQ(infoRef.getType(), KVT_BYTECODEREF);
    EXPECT_EQ(pair->getRefCnt(), 1);
    KvoValue plain(pair);
    EXPECT_EQ(plain.getType(), KVT_VECTOR);
    EXPECT_EQ(KvoValue(pair, false, true).getType(), KVT_VECTORREF);

    // Anything but exactly two owning vectors stays bytecode.
    KvoVector unowned;
    auto* mixed = new KvoVector();
    mixed->push_back(KvoValue(new KvoVector()));
    mixed->push_back(KvoValue(&unowned, false, true));
    EXPECT_EQ(KvoValue(mixed, true).getType(), KVT_BYTECODE);
    auto* three = new KvoVector(*pair);
    three->push_back(KvoValue(new KvoVector()));
    EXPECT_EQ(KvoValue(three, true).getType(), KVT_BYTECODE);
    EXPECT_EQ(KvoValue(static_cast<KvoVector*>(nullptr), true).getType(), KVT_BYTECODE);
}

TEST_F(ValueTest, FlagsAndProtection)
{
    KvoValue v(std::int32_t(1));
    v.setFlags(KvoNoDefault);
    v.setProtection(0x40);
    EXPECT_EQ(v.getFlags(), 0x40); // the protection replaces the whole byte
    v.setProtection(0x7f);
    EXPECT_EQ(v.getProtection(), 0x60);
    EXPECT_EQ(v.getFlags(), 0x60);

    v.setFlags(0xa0);
    KvoValue copy(v);
    EXPECT_EQ(copy.getFlags(), 0xa0);
    KvoValue assigned;
    assigned = v;
    EXPECT_EQ(assigned.getFlags(), 0xa0);
    assigned.dispose();
    EXPECT_EQ(assigned.getFlags(), 0);

    KvoValue::ExtType ext(KVT_STRING, 0x1ff);
    EXPECT_EQ(ext.type, KVT_STRING);
    EXPECT_EQ(ext.flags, 0xff);
    // Object constructors start without flags.
    KvoValue s(new KvoString(u"s"));
    EXPECT_EQ(s.getFlags(), 0);
}

// ---- Conversions --------------------------------------------------------------------------------

TEST_F(ValueTest, NumericConversions)
{
    EXPECT_EQ(KvoValue(std::int32_t(7)).getDouble(), 7.0);
    EXPECT_EQ(KvoValue(std::int32_t(7)).getFloat(), 7.0f);
    EXPECT_EQ(KvoValue(-2.9).getLong(), -2);
    EXPECT_EQ(KvoValue(2.9f).getLong(), 2);
    EXPECT_EQ(KvoValue(0.1).getFloat(), 0.1f);
    EXPECT_EQ(static_cast<double>(KvoValue(1.5f)), 1.5);
    EXPECT_EQ(static_cast<std::int32_t>(KvoValue(-3.99)), -3);

    // Out of range and NaN saturate instead of invoking undefined conversions.
    EXPECT_EQ(KvoValue(1e10).getLong(), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(KvoValue(-1e10).getLong(), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(KvoValue(std::nan("")).getLong(), 0);
    EXPECT_EQ(KvoValue(-2147483648.0).getLong(), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(KvoValue(2147483646.9).getLong(), 2147483646);

    // Non-numbers convert to the extreme float and double.
    KvoValue s(new KvoString(u"3"));
    EXPECT_EQ(s.getFloat(), 3.4028235e38f);
    EXPECT_EQ(s.getDouble(), 1.7976931348623157e308);
    EXPECT_EQ(KvoValue().getDouble(), 1.7976931348623157e308);
    EXPECT_EQ(KvoValue().getLong(), 0);
    // A pointer kind gives its low 32 pointer bits.
    EXPECT_EQ(s.getLong(), static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(s.ptr())));
}

TEST_F(ValueTest, AddrPointsAtTheData)
{
    KvoValue integer(std::int32_t(0x12345678));
    EXPECT_EQ(*static_cast<std::int32_t*>(integer.addr()), 0x12345678);
    KvoValue real(2.5);
    EXPECT_EQ(*static_cast<double*>(real.addr()), 2.5);
    KvoValue single(0.75f);
    EXPECT_EQ(*static_cast<float*>(single.addr()), 0.75f);

    auto* s = new KvoString(u"hi");
    KvoValue str(s);
    EXPECT_EQ(str.addr(), s->c_str());
    EXPECT_EQ(KvoValue(s, true).addr(), s->c_str());
    KvoValue empty(new KvoString());
    ASSERT_NE(empty.addr(), nullptr); // a string without text still gives ""
    EXPECT_EQ(*static_cast<KvoChar*>(empty.addr()), 0);

    auto* b = new KvoBuffer(4);
    KvoValue buf(b);
    EXPECT_EQ(buf.addr(), b->data());
    KvoCharBuffer c(4);
    KvoValue chars(&c, true);
    EXPECT_EQ(chars.addr(), c.data());

    auto* v = new KvoVector();
    KvoValue vec(v);
    EXPECT_EQ(vec.addr(), v);
    EXPECT_EQ(KvoValue().addr(), nullptr);
}

// ---- Assignment and move ----------------------------------------------------------------------

TEST_F(ValueTest, AssignmentRetainsNewAndReleasesOld)
{
    int deaths = 0;
    auto* a = new WatchedString(u"a", deaths);
    auto* b = new WatchedString(u"b", deaths);
    KvoValue va(a);
    KvoValue vb(b);
    va = vb;
    EXPECT_EQ(deaths, 1); // a had no other owner
    EXPECT_EQ(b->getRefCnt(), 2);
    va = va; // self-assignment changes nothing
    EXPECT_EQ(b->getRefCnt(), 2);
    va = KvoValue(std::int32_t(3));
    EXPECT_EQ(b->getRefCnt(), 1);
    EXPECT_EQ(va.getLong(), 3);
    KvoValue ref(b, true);
    va = ref; // a twin is copied without a count
    EXPECT_EQ(b->getRefCnt(), 1);
    EXPECT_EQ(va.getType(), KVT_STRINGREF);
}

TEST_F(ValueTest, AssigningAnElementOfTheOnlyOwnedVector)
{
    int vectorDeaths = 0;
    int stringDeaths = 0;
    auto* vector = new WatchedVector(vectorDeaths);
    auto* element = new WatchedString(u"kept", stringDeaths);
    vector->push_back(KvoValue(element));
    vector->push_back(KvoValue(new KvoString(u"dropped")));

    KvoValue v(vector);
    ASSERT_EQ(vector->getRefCnt(), 1);
    // The right-hand side lives inside the vector that the assignment frees.
    v = (*v.getVector())[0];
    EXPECT_EQ(vectorDeaths, 1);
    EXPECT_EQ(stringDeaths, 0);
    ASSERT_EQ(v.getType(), KVT_STRING);
    EXPECT_EQ(v.getString(), element);
    EXPECT_EQ(element->getRefCnt(), 1);
    EXPECT_EQ(textOf(v), u"kept");

    // The same with a move out of the element.
    auto* outer = new WatchedVector(vectorDeaths);
    outer->push_back(KvoValue(new KvoVector()));
    KvoValue w(outer);
    KvoVector* inner = (*outer)[0].getVector();
    w = std::move((*w.getVector())[0]);
    EXPECT_EQ(vectorDeaths, 2);
    EXPECT_EQ(w.getVector(), inner);
    EXPECT_EQ(inner->getRefCnt(), 1);
}

TEST_F(ValueTest, MoveStealsWithoutCounting)
{
    auto* s = new KvoString(u"m");
    KvoValue source(s);
    source.setFlags(0x20);
    KvoValue moved(std::move(source));
    EXPECT_EQ(s->getRefCnt(), 1);
    EXPECT_EQ(moved.getString(), s);
    EXPECT_EQ(moved.getFlags(), 0x20);
    EXPECT_EQ(source.getType(), KVT_NULL); // NOLINT: the moved-from value is NULL by contract
    EXPECT_EQ(source.getFlags(), 0);

    int deaths = 0;
    KvoValue target(new WatchedString(u"old", deaths));
    target = std::move(moved);
    EXPECT_EQ(deaths, 1);
    EXPECT_EQ(target.getString(), s);
    EXPECT_EQ(s->getRefCnt(), 1);
    EXPECT_TRUE(moved.isNull()); // NOLINT

    KvoValue& alias = target;
    target = std::move(alias); // self-move keeps the value
    EXPECT_EQ(target.getString(), s);
    EXPECT_EQ(s->getRefCnt(), 1);
}

TEST_F(ValueTest, AssignRefPatchesThePointer)
{
    int deaths = 0;
    auto* first = new WatchedString(u"1", deaths);
    auto* second = new KvoString(u"2");
    KvoValue v(first);
    v.setFlags(0x40);
    v.assignRef(first); // unchanged pointer: nothing happens
    EXPECT_EQ(first->getRefCnt(), 1);
    v.assignRef(second);
    EXPECT_EQ(deaths, 1);
    EXPECT_EQ(v.getType(), KVT_STRING);
    EXPECT_EQ(v.getFlags(), 0x40);
    EXPECT_EQ(second->getRefCnt(), 1);

    // A twin kind never counts.
    KvoValue ref(second, true);
    auto* third = new KvoString(u"3");
    ref.assignRef(third);
    EXPECT_EQ(second->getRefCnt(), 1);
    EXPECT_EQ(third->getRefCnt(), 0);
    EXPECT_EQ(ref.getString(), third);
    delete third;
    EXPECT_EQ(ref.getType(), KVT_NULL);

    v.assignRef(nullptr);
    EXPECT_EQ(v.getType(), KVT_STRING); // a typed NULL
    EXPECT_EQ(v.ptr(), nullptr);
}

TEST_F(ValueTest, VariableReferencesNeverCount)
{
    KvoDictionary dict;
    KvoDictionaryEntry* entry = dict[u"x"];
    KvoValue var(entry);
    EXPECT_EQ(var.getType(), KVT_VAR);
    EXPECT_EQ(var.getVar(), entry);
    EXPECT_FALSE(var.isOwning());
    KvoValue copy(var);
    EXPECT_EQ(static_cast<KvoDictionaryEntry*>(copy), entry);
    EXPECT_EQ(KvoValue(std::int32_t(1)).getVar(), nullptr);
}

// ---- Non-owning references ---------------------------------------------------------------------

namespace {

// A vector whose destructor records how a reference to some other object reads at that moment.
class ProbeVector : public KvoVector
{
public:
    ProbeVector(const KvoValue& probe, KvoValueType& seen) : m_probe(probe), m_seen(seen) {}
    ~ProbeVector() override { m_seen = m_probe.getType(); }

private:
    const KvoValue& m_probe;
    KvoValueType& m_seen;
};

} // namespace

TEST_F(ValueTest, ReferencesCountApartFromOwners)
{
    auto* s = new KvoString(u"text");
    KvoValue owner(s);
    {
        KvoValue ref(s, true);
        KvoValue copy(ref);
        KvoValue assigned;
        assigned = copy;
        EXPECT_EQ(s->getRefCnt(), 1);
        EXPECT_EQ(s->getWeakRefCnt(), 3u);
        KvoValue moved(std::move(assigned));
        EXPECT_EQ(s->getWeakRefCnt(), 3u);
        copy = KvoValue(std::int32_t(1)); // overwriting a reference drops it
        EXPECT_EQ(s->getWeakRefCnt(), 2u);
    }
    EXPECT_EQ(s->getWeakRefCnt(), 0u);

    // assignRef moves the reference from one object to the other.
    auto* other = new KvoString(u"other");
    KvoValue otherOwner(other);
    KvoValue ref(s, true);
    ref.assignRef(other);
    EXPECT_EQ(s->getWeakRefCnt(), 0u);
    EXPECT_EQ(other->getWeakRefCnt(), 1u);
    EXPECT_EQ(other->getRefCnt(), 1);
}

TEST_F(ValueTest, ReferenceToADeadObjectReadsAsNull)
{
    int deaths = 0;
    auto* s = new WatchedString(u"gone", deaths);
    KvoValue owner(s);
    KvoValue ref(s, true);
    ref.setFlags(0x40);
    KvoValue copy(ref);
    owner.dispose();
    EXPECT_EQ(deaths, 1); // the references did not keep it alive
    for (const KvoValue* v : {&ref, &copy}) {
        EXPECT_EQ(v->getType(), KVT_NULL);
        EXPECT_TRUE(v->isNull());
        EXPECT_TRUE(v->isDeadReference());
        EXPECT_EQ(v->getString(), nullptr);
        EXPECT_EQ(v->ptr(), nullptr);
        EXPECT_EQ(v->getRef(), nullptr);
        EXPECT_EQ(v->addr(), nullptr);
        EXPECT_EQ(v->getLong(), 0);
        EXPECT_EQ(v->getExtType().type, KVT_STRINGREF); // the stored bits still say what it was
    }
    EXPECT_EQ(ref.getFlags(), 0x40);
    // Dropping the last reference frees the tombstone; the leak check and the sanitizers see it.
    ref.dispose();
    copy = KvoValue(std::int32_t(0));
}

TEST_F(ValueTest, EveryReferenceKindDiesWithItsObject)
{
    KvoVirtualMachine vm;
    KvoValue owners[] = {KvoValue(new KvoVector(), true), KvoValue(new KvoBuffer()),   KvoValue(new KvoCharBuffer()),
                         KvoValue(new KvoClass(vm)),       KvoValue(new KvoObject(nullptr)),
                         KvoValue(new KvoVector()),        KvoValue(new KvoString(u"s")),
                         KvoValue(new KvoDictionary())};
    std::vector<KvoValue> refs;
    for (KvoValue& owner : owners) {
        KvoValue ref(static_cast<KvoRefObject*>(owner.getRef()), refTypeOf(owner.getType()));
        ASSERT_TRUE(isWeakType(ref.getType())) << static_cast<int>(owner.getType());
        refs.push_back(ref);
    }
    for (KvoValue& owner : owners)
        owner.dispose();
    for (const KvoValue& ref : refs) {
        SCOPED_TRACE(static_cast<int>(ref.getExtType().type));
        EXPECT_EQ(ref.getType(), KVT_NULL);
        EXPECT_EQ(ref.getVector(), nullptr);
        EXPECT_EQ(ref.getObject(), nullptr);
        EXPECT_EQ(ref.getClass(), nullptr);
        EXPECT_EQ(ref.getDictionary(), nullptr);
        EXPECT_EQ(ref.getBuffer(), nullptr);
        EXPECT_EQ(ref.getCharBuffer(), nullptr);
    }
}

TEST_F(ValueTest, ObjectThatRefersToItselfDiesWhole)
{
    // The vector's own element is the only reference left while it dies: the block is freed
    // during its own deletion, with no tombstone left behind.
    int deaths = 0;
    auto* v = new WatchedVector(deaths);
    KvoValue owner(v);
    v->push_back(KvoValue(static_cast<KvoVector*>(v), false, true));
    KvoValue outside(static_cast<KvoVector*>(v), false, true);
    EXPECT_EQ(v->getWeakRefCnt(), 2u);
    owner.dispose();
    EXPECT_EQ(deaths, 1);
    EXPECT_EQ(outside.getType(), KVT_NULL);
}

TEST_F(ValueTest, PlainDeleteLeavesATombstoneForReferences)
{
    auto* s = new KvoString(u"deleted by hand");
    KvoValue ref(s, true);
    delete s;
    EXPECT_EQ(ref.getType(), KVT_NULL);
    EXPECT_EQ(ref.getString(), nullptr);
}

TEST_F(ValueTest, ObjectWaitingForDeletionAlreadyReadsAsDead)
{
    // Deleting the outer vector queues both elements. The later one is deleted first and, in
    // its destructor, must see the earlier one (still waiting) as gone: a reference must not
    // hand an object whose deletion was decided to a new owner.
    KvoValueType seen = KVT_INTEGER;
    KvoValue waitingRef;
    auto* outer = new KvoVector();
    KvoValue owner(outer);
    auto* waiting = new KvoVector();
    outer->push_back(KvoValue(waiting));
    waitingRef = KvoValue(waiting, false, true);
    outer->push_back(KvoValue(new ProbeVector(waitingRef, seen)));
    EXPECT_EQ(waitingRef.getType(), KVT_VECTORREF);
    owner.dispose();
    EXPECT_EQ(seen, KVT_NULL);
    EXPECT_EQ(waitingRef.getType(), KVT_NULL);
}

// ---- ValPtr -------------------------------------------------------------------------------------

TEST_F(ValPtrTest, DefaultCursorIsEmpty)
{
    ValPtr p;
    EXPECT_EQ(p.current(), -1);
    EXPECT_EQ(p.vector(), nullptr);
    EXPECT_EQ(static_cast<KvoValue*>(p), nullptr);
    p += 3; // without a vector nothing moves
    ++p;
    p -= 1;
    EXPECT_EQ(p.current(), -1);
    EXPECT_EQ(p, ValPtr());
}

TEST_F(ValPtrTest, AdvancingPastTheEndGrowsTheVector)
{
    KvoVector vector(3, true);
    vector[0] = KvoValue(std::int32_t(10));
    std::int32_t countBefore = vector.getRefCnt();
    ValPtr p(&vector, 4);
    EXPECT_EQ(static_cast<KvoValue*>(p), nullptr);
    EXPECT_EQ(vector.size(), 3u); // construction alone does not grow
    p += 2;
    EXPECT_EQ(p.current(), 6);
    ASSERT_EQ(vector.size(), 7u);
    for (std::uint32_t i = 3; i < 7; ++i)
        EXPECT_EQ(vector[i].getType(), KVT_NULL) << i;
    EXPECT_EQ(static_cast<KvoValue*>(p), &vector[6]);
    EXPECT_EQ(vector.getRefCnt(), countBefore); // a cursor does not count its vector

    p -= 10;
    EXPECT_EQ(p.current(), -4);
    EXPECT_EQ(static_cast<KvoValue*>(p), nullptr);
    EXPECT_EQ(p.operator->(), nullptr);
    EXPECT_EQ(vector.size(), 7u); // stepping back never shrinks
    // Advancing while still before the start does not grow either.
    p += 2;
    EXPECT_EQ(vector.size(), 7u);
    p += 2;
    EXPECT_EQ(p.current(), 0);
    EXPECT_EQ(p->getLong(), 10);
}

TEST_F(ValPtrTest, IncrementFormsAndRelativeIndexing)
{
    KvoVector vector;
    ValPtr sp(&vector, -1);
    // Push: advance, then assign through the cursor.
    for (std::int32_t i = 0; i < 5; ++i) {
        ++sp;
        *sp = KvoValue(i * 10);
    }
    EXPECT_EQ(vector.size(), 5u);
    EXPECT_EQ(vector.capacity(), 8u);
    EXPECT_EQ(sp[-2].getLong(), 20);
    EXPECT_EQ(sp[0].getLong(), 40);

    // The postfix forms return the cursor itself, already moved.
    ValPtr& after = sp++;
    EXPECT_EQ(&after, &sp);
    EXPECT_EQ(sp.current(), 5);
    EXPECT_EQ(vector.size(), 6u);
    EXPECT_EQ(sp--.current(), 4);
    EXPECT_EQ((--sp).current(), 3);

    ValPtr copy = sp;
    EXPECT_TRUE(copy == sp);
    ++copy;
    EXPECT_TRUE(copy != sp);
    KvoVector other;
    EXPECT_FALSE(ValPtr(&other, 3) == ValPtr(&vector, 3));

    // The vector's own cursors.
    EXPECT_EQ(vector.first().current(), 0);
    EXPECT_EQ(vector.last().current(), 5);
    KvoVector empty;
    EXPECT_EQ(empty.first().current(), -1);
    EXPECT_EQ(static_cast<KvoValue*>(empty.last()), nullptr);
}

TEST_F(ValPtrTest, PushedObjectsAreReleasedWithTheStack)
{
    int deaths = 0;
    {
        KvoVector stack;
        ValPtr sp(&stack, -1);
        ++sp;
        *sp = KvoValue(new WatchedString(u"a", deaths));
        ++sp;
        *sp = *(sp.operator->() - 1); // a second owner of the same string
        EXPECT_EQ(stack[0].getString()->getRefCnt(), 2);
        // Pop: dispose the slot, then step back.
        sp->dispose();
        --sp;
        EXPECT_EQ(stack[0].getString()->getRefCnt(), 1);
        EXPECT_EQ(stack.size(), 2u);
    }
    EXPECT_EQ(deaths, 1);
}

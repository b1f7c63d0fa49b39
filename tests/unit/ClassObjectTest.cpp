// Tests of KvoClass and KvoObject: naming and base-class rules (including refusing a base chain
// that would loop), member builders and their duplicate checks, slot numbering along the base
// chain, member lookup, and lifetimes: an object keeps its class alive, a derived class keeps its
// base alive, and each is freed exactly once when the last value referring to it goes.
// Every test checks that the number of live heap objects returns to where it started.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "host/KvoVirtualMachine.h"
#include "values/KvoClass.h"
#include "values/KvoObject.h"
#include "values/KvoString.h"
#include "values/ValPtr.h"

#include "KvoTestSupport.h"

namespace {

using ClassTest = LiveObjectCheck;
using ObjectTest = LiveObjectCheck;

// A class that counts its own destruction.
class WatchedClass : public KvoClass
{
public:
    WatchedClass(KvoVirtualMachine& vm, const KvoChar* name, KvoClass* base, int& deaths)
        : KvoClass(vm, KvoString(name), base), m_deaths(deaths)
    {
    }
    ~WatchedClass() override { ++m_deaths; }

private:
    int& m_deaths;
};

// An object type of a native module that frees its own resource with the object.
class WatchedObject : public KvoObject
{
public:
    WatchedObject(KvoClass* c, int& deaths) : KvoObject(c), m_deaths(deaths) {}
    ~WatchedObject() override { ++m_deaths; }

private:
    int& m_deaths;
};

bool nativeA(KvoVirtualMachine*, int, ValPtr&)
{
    return true;
}

bool nativeB(KvoVirtualMachine*, int, ValPtr&)
{
    return false;
}

std::u16string nameOf(const KvoString* s)
{
    return s ? std::u16string(s->c_str()) : std::u16string(u"<none>");
}

} // namespace

// ---- Names and bases ----------------------------------------------------------------------------

TEST_F(ClassTest, ConstructionForms)
{
    KvoVirtualMachine vm;
    KvoValue plain(new KvoClass(vm));
    KvoClass* c = plain.getClass();
    EXPECT_EQ(c->getClassName(), nullptr);
    EXPECT_EQ(c->getBaseClass(), nullptr);
    EXPECT_EQ(c->getDataSize(), -1);
    EXPECT_FALSE(c->getIsNative());
    EXPECT_EQ(&c->getVM(), &vm);
    EXPECT_EQ(c->dataMembers().count(), 0u);
    EXPECT_FALSE(c->dataMembers().isSorted());
    EXPECT_TRUE(c->funcMembers().isSorted());
    EXPECT_EQ(c->dataMembers().getOwnerClass(), c);
    EXPECT_EQ(c->funcMembers().getOwnerClass(), c);
    c->setIsNative(true);
    EXPECT_TRUE(c->getIsNative());

    // A shared name object versus a copied name text.
    auto* name = new KvoString(u"Shared");
    KvoValue nameHolder(name);
    KvoValue shared(new KvoClass(vm, name, c));
    EXPECT_EQ(shared.getClass()->getClassName(), name);
    EXPECT_EQ(name->getRefCnt(), 2);
    EXPECT_EQ(c->getRefCnt(), 2);
    KvoValue copied(new KvoClass(vm, *name, nullptr));
    EXPECT_NE(copied.getClass()->getClassName(), name);
    EXPECT_EQ(nameOf(copied.getClass()->getClassName()), u"Shared");
    KvoValue unnamed(new KvoClass(vm, KvoString(u""), nullptr));
    EXPECT_EQ(unnamed.getClass()->getClassName(), nullptr);
    shared.dispose();
    EXPECT_EQ(name->getRefCnt(), 1);
    EXPECT_EQ(c->getRefCnt(), 1);
}

TEST_F(ClassTest, NameAndBaseAreSetOnce)
{
    KvoVirtualMachine vm;
    KvoValue holderA(new KvoClass(vm));
    KvoValue holderB(new KvoClass(vm));
    KvoValue holderC(new KvoClass(vm));
    KvoClass* a = holderA.getClass();
    KvoClass* b = holderB.getClass();
    KvoClass* c = holderC.getClass();

    EXPECT_FALSE(a->setClassName(KvoString(u"")));
    EXPECT_FALSE(a->setClassName(static_cast<KvoString*>(nullptr)));
    EXPECT_EQ(a->getClassName(), nullptr);
    EXPECT_TRUE(a->setClassName(KvoString(u"A")));
    EXPECT_FALSE(a->setClassName(KvoString(u"Other")));
    KvoString otherName(u"Other");
    EXPECT_FALSE(a->setClassName(&otherName));
    EXPECT_EQ(otherName.getRefCnt(), 0);
    EXPECT_EQ(nameOf(a->getClassName()), u"A");
    auto* bName = new KvoString(u"B");
    EXPECT_TRUE(b->setClassName(bName));
    EXPECT_EQ(b->getClassName(), bName);
    EXPECT_EQ(bName->getRefCnt(), 1);

    EXPECT_TRUE(b->setBaseClass(nullptr)); // accepted, nothing set
    EXPECT_EQ(b->getBaseClass(), nullptr);
    EXPECT_TRUE(b->setBaseClass(a));
    EXPECT_EQ(a->getRefCnt(), 2);
    EXPECT_FALSE(b->setBaseClass(c));
    EXPECT_EQ(b->getBaseClass(), a);
    EXPECT_EQ(c->getRefCnt(), 1);

    // A base chain that leads back to the class would make every walk up the chain endless.
    EXPECT_TRUE(c->setBaseClass(b));
    EXPECT_FALSE(a->setBaseClass(c));
    EXPECT_FALSE(a->setBaseClass(a));
    EXPECT_EQ(a->getBaseClass(), nullptr);
}

TEST_F(ClassTest, SubtypeTests)
{
    KvoVirtualMachine vm;
    auto* root = new KvoClass(vm, KvoString(u"Root"), nullptr);
    auto* middle = new KvoClass(vm, KvoString(u""), root); // no name
    auto* leaf = new KvoClass(vm, KvoString(u"Leaf"), middle);
    KvoValue holder(leaf);
    KvoValue other(new KvoClass(vm, KvoString(u"Other"), nullptr));

    EXPECT_TRUE(leaf->isSubtypeOf(leaf));
    EXPECT_TRUE(leaf->isSubtypeOf(middle));
    EXPECT_TRUE(leaf->isSubtypeOf(root));
    EXPECT_FALSE(root->isSubtypeOf(leaf));
    EXPECT_FALSE(leaf->isSubtypeOf(other.getClass()));
    EXPECT_FALSE(leaf->isSubtypeOf(static_cast<const KvoClass*>(nullptr)));

    EXPECT_TRUE(leaf->isSubtypeOf(KvoString(u"Leaf")));
    EXPECT_FALSE(leaf->isSubtypeOf(KvoString(u"leaf"))); // case-sensitive
    // The walk by name stops at the unnamed middle class.
    EXPECT_FALSE(leaf->isSubtypeOf(KvoString(u"Root")));
    EXPECT_TRUE(root->isSubtypeOf(KvoString(u"Root")));
    EXPECT_FALSE(middle->isSubtypeOf(KvoString(u"")));
}

// ---- Members ------------------------------------------------------------------------------------

TEST_F(ClassTest, BuildersRejectDuplicatesWithinTheClass)
{
    KvoVirtualMachine vm;
    KvoValue baseHolder(new KvoClass(vm, KvoString(u"B"), nullptr));
    KvoClass* base = baseHolder.getClass();
    KvoValue derivedHolder(new KvoClass(vm, KvoString(u"D"), base));
    KvoClass* derived = derivedHolder.getClass();

    EXPECT_TRUE(base->addDataMember(u"x"));
    EXPECT_FALSE(base->addDataMember(u"x"));
    EXPECT_FALSE(base->addDataMember(u""));
    EXPECT_FALSE(base->addDataMember(nullptr));
    EXPECT_FALSE(base->addMethod(u"x", &nativeA)); // already a data member here
    EXPECT_FALSE(base->addStaticDataMember(u"x"));
    EXPECT_FALSE(base->addStaticMethod(u"x", &nativeA));
    EXPECT_TRUE(base->addMethod(u"run", &nativeA));
    EXPECT_FALSE(base->addDataMember(u"run"));
    EXPECT_FALSE(base->addMethod(u"other", nullptr));
    EXPECT_FALSE(base->addStaticMethod(u"", &nativeA));
    EXPECT_EQ(base->funcMembers().count(), 1u);

    // The same names in a derived class are its own members.
    EXPECT_TRUE(derived->addMethod(u"x", &nativeB));
    EXPECT_TRUE(derived->addDataMember(u"run"));
    EXPECT_TRUE(derived->addStaticMethod(u"make", &nativeB));

    KvoDictionaryEntry* run = base->findMember(u"run", false);
    ASSERT_NE(run, nullptr);
    EXPECT_EQ(run->getSymbolType(), SYM_METHOD);
    EXPECT_EQ(run->getValue().getCode(), &nativeA);
    KvoDictionaryEntry* make = derived->findMember(u"make", false);
    ASSERT_NE(make, nullptr);
    EXPECT_EQ(make->getSymbolType(), SYM_FUNCTION);
    EXPECT_EQ(make->getValue().getType(), KVT_CODE);
}

TEST_F(ClassTest, StaticMembersHoldTheirValues)
{
    KvoVirtualMachine vm;
    auto* text = new KvoString(u"v");
    KvoValue textHolder(text);
    {
        KvoValue holder(new KvoClass(vm, KvoString(u"C"), nullptr));
        KvoClass* c = holder.getClass();
        EXPECT_TRUE(c->addStaticDataMember(u"s", textHolder));
        EXPECT_TRUE(c->addStaticDataMember(u"t"));
        EXPECT_EQ(text->getRefCnt(), 2);
        KvoDictionaryEntry* s = c->findMember(u"s", false);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->getSymbolType(), SYM_VARIABLE);
        EXPECT_EQ(s->getValue().getString(), text);
        EXPECT_EQ(c->findMember(u"t", false)->getValue().getType(), KVT_NULL);
        EXPECT_EQ(c->getMemberIndex(KvoString(u"s")), -1);
        c->fixupDataDefs();
        EXPECT_EQ(c->getDataSize(), 0); // statics take no slot
        EXPECT_EQ(s->getValue().getString(), text); // and keep their value
    }
    EXPECT_EQ(text->getRefCnt(), 1);
}

TEST_F(ClassTest, SlotNumberingAlongTheBaseChain)
{
    KvoVirtualMachine vm;
    KvoValue baseHolder(new KvoClass(vm, KvoString(u"B"), nullptr));
    KvoClass* base = baseHolder.getClass();
    KvoValue derivedHolder(new KvoClass(vm, KvoString(u"D"), base));
    KvoClass* derived = derivedHolder.getClass();
    base->addDataMember(u"x");
    base->addStaticDataMember(u"count", KvoValue(std::int32_t(2)));
    base->addDataMember(u"y");
    base->addMethod(u"get", &nativeA);
    derived->addDataMember(u"z");
    EXPECT_EQ(derived->getDataSize(), -1);

    base->fixupDataDefs();
    derived->fixupDataDefs();
    EXPECT_EQ(base->getMemberIndex(KvoString(u"x")), 1);
    EXPECT_EQ(base->getMemberIndex(KvoString(u"y")), 2);
    EXPECT_EQ(derived->getMemberIndex(KvoString(u"z")), 3);
    EXPECT_EQ(derived->getMemberIndex(KvoString(u"x")), 1); // same index in every derived class
    EXPECT_EQ(base->getDataSize(), 2);
    EXPECT_EQ(derived->getDataSize(), 3);
    EXPECT_EQ(derived->computeDataSize(), 3);

    EXPECT_EQ(derived->getMemberIndex(KvoString(u"get")), -1); // a method
    EXPECT_EQ(derived->getMemberIndex(KvoString(u"count")), -1); // a static member
    EXPECT_EQ(derived->getMemberIndex(KvoString(u"missing")), -1);

    EXPECT_EQ(nameOf(derived->findDataMemberFromIndex(3, false)), u"z");
    EXPECT_EQ(derived->findDataMemberFromIndex(1, false), nullptr);
    EXPECT_EQ(nameOf(derived->findDataMemberFromIndex(1, true)), u"x");
    // The static member holds 2, yet slot 2 is y.
    EXPECT_EQ(nameOf(derived->findDataMemberFromIndex(2, true)), u"y");
    EXPECT_EQ(derived->findDataMemberFromIndex(4, true), nullptr);

    KvoValue object(new KvoObject(derived));
    ASSERT_NE(object.getObject()->getMemberData(), nullptr);
    EXPECT_EQ(object.getObject()->getMemberData()->size(), 4u);
}

TEST_F(ClassTest, MemberLookup)
{
    KvoVirtualMachine vm;
    KvoValue baseHolder(new KvoClass(vm, KvoString(u"B"), nullptr));
    KvoClass* base = baseHolder.getClass();
    KvoValue derivedHolder(new KvoClass(vm, KvoString(u"D"), base));
    KvoClass* derived = derivedHolder.getClass();
    base->addDataMember(u"inherited");
    base->addMethod(u"shared", &nativeA);
    derived->addMethod(u"shared", &nativeB);

    EXPECT_EQ(derived->findMember(u"inherited", false), nullptr);
    ASSERT_NE(derived->findMember(u"inherited", true), nullptr);
    EXPECT_EQ(derived->findMember(KvoString(u"inherited"), true), base->findMember(u"inherited", false));
    EXPECT_EQ(derived->findMember(u"shared", true)->getValue().getCode(), &nativeB); // nearest wins
    EXPECT_EQ(derived->findMember(u"nowhere", true), nullptr);

    // Data members are searched before function members.
    base->funcMembers()[u"inherited"]->setSymbolType(SYM_METHOD);
    EXPECT_EQ(base->findMember(u"inherited", false)->getSymbolType(), SYM_DATAMEMBER);

    // Function members are sorted; every name stays reachable whatever the insertion order.
    for (const KvoChar* name : {u"next", u"equals", u"getKey"})
        EXPECT_TRUE(derived->addMethod(name, &nativeA));
    for (const KvoChar* name : {u"next", u"equals", u"getKey", u"shared"})
        EXPECT_NE(derived->findMember(name, false), nullptr) << KvoString(name).a_str();
}

TEST_F(ClassTest, MemberChangesAreVisibleToLookupCaches)
{
    KvoVirtualMachine vm;
    KvoValue holder(new KvoClass(vm, KvoString(u"C"), nullptr));
    KvoClass* c = holder.getClass();
    std::uint64_t version = KvoDictionary::memberVersion();
    EXPECT_TRUE(c->addMethod(u"m", &nativeA));
    EXPECT_NE(KvoDictionary::memberVersion(), version);
    version = KvoDictionary::memberVersion();
    EXPECT_TRUE(c->funcMembers().erase(KvoString(u"m")));
    EXPECT_NE(KvoDictionary::memberVersion(), version);
    version = KvoDictionary::memberVersion();
    holder.dispose(); // the class dies
    EXPECT_NE(KvoDictionary::memberVersion(), version);
}

TEST_F(ClassTest, ClassLifetime)
{
    KvoVirtualMachine vm;
    int deaths = 0;
    auto* base = new WatchedClass(vm, u"B", nullptr, deaths);
    KvoValue derived(new WatchedClass(vm, u"D", base, deaths));
    EXPECT_EQ(base->getRefCnt(), 1); // held by the derived class only
    KvoValue members(&derived.getClass()->funcMembers());
    derived.dispose();
    EXPECT_EQ(deaths, 2); // the derived class, then its base
    // A member dictionary held elsewhere outlives its class without an owner.
    EXPECT_EQ(members.getDictionary()->getOwnerClass(), nullptr);
    EXPECT_TRUE(members.getDictionary()->isSorted());

    // The machine's class dictionary keeps a registered class alive until it is cleared.
    auto* registered = new WatchedClass(vm, u"R", nullptr, deaths);
    KvoDictionaryEntry* entry = vm.classes()[*registered->getClassName()];
    entry->setValue(KvoValue(registered));
    entry->setSymbolType(SYM_CLASS);
    EXPECT_EQ(vm.classes().find(u"R")->getValue().getClass(), registered);
    EXPECT_EQ(deaths, 2);
    vm.classes().clear();
    EXPECT_EQ(deaths, 3);
}

// ---- Objects ------------------------------------------------------------------------------------

TEST_F(ObjectTest, MemberVectorAndClassSlot)
{
    KvoVirtualMachine vm;
    KvoObject classless(nullptr);
    EXPECT_EQ(classless.getMemberData(), nullptr);
    EXPECT_EQ(classless.getClass(), nullptr);

    auto* c = new KvoClass(vm, KvoString(u"C"), nullptr);
    KvoValue classHolder(c);
    c->addDataMember(u"a");
    c->addDataMember(u"b");
    // Without fixupDataDefs the object sizes itself from the members counted so far.
    KvoValue object(new KvoObject(c));
    KvoVector* members = object.getObject()->getMemberData();
    ASSERT_NE(members, nullptr);
    EXPECT_EQ(members->size(), 3u);
    EXPECT_EQ((*members)[0].getType(), KVT_CLASS);
    EXPECT_EQ(object.getObject()->getClass(), c);
    EXPECT_EQ((*members)[1].getType(), KVT_NULL);
    EXPECT_EQ(members->getRefCnt(), 1);
    EXPECT_EQ(c->getRefCnt(), 2);
    EXPECT_EQ(c->getDataSize(), 2);

    // A class-ref in slot 0 also names the class.
    (*members)[0] = KvoValue(c, true);
    EXPECT_EQ(object.getObject()->getClass(), c);
    EXPECT_EQ(c->getRefCnt(), 1);
    (*members)[0] = KvoValue(c);
}

TEST_F(ObjectTest, CopySharesTheMembersObjects)
{
    KvoVirtualMachine vm;
    auto* c = new KvoClass(vm, KvoString(u"C"), nullptr);
    c->addDataMember(u"name");
    c->fixupDataDefs();
    auto* original = new KvoObject(c);
    KvoValue originalHolder(original);
    auto* text = new KvoString(u"t");
    (*original->getMemberData())[1] = KvoValue(text);

    KvoValue copy(new KvoObject(*original));
    KvoVector* copied = copy.getObject()->getMemberData();
    ASSERT_NE(copied, nullptr);
    EXPECT_NE(copied, original->getMemberData());
    EXPECT_EQ((*copied)[1].getString(), text);
    EXPECT_EQ(text->getRefCnt(), 2);
    EXPECT_EQ(c->getRefCnt(), 2);
    EXPECT_EQ(copy.getObject()->getRefCnt(), 1);
    KvoObject classless(nullptr);
    KvoObject classlessCopy(classless);
    EXPECT_EQ(classlessCopy.getMemberData(), nullptr);
}

TEST_F(ObjectTest, FreedWithTheLastValue)
{
    KvoVirtualMachine vm;
    int classDeaths = 0;
    int objectDeaths = 0;
    auto* c = new WatchedClass(vm, u"C", nullptr, classDeaths);
    c->addDataMember(u"child");
    c->fixupDataDefs();

    // The objects keep their class alive after every other owner has gone.
    KvoValue parent(new WatchedObject(c, objectDeaths));
    auto* child = new WatchedObject(c, objectDeaths);
    (*parent.getObject()->getMemberData())[1] = KvoValue(child);
    EXPECT_EQ(c->getRefCnt(), 2);
    KvoValue extra(parent);
    KvoValue ref(parent.getObject(), true);
    parent.dispose();
    EXPECT_EQ(objectDeaths, 0);
    EXPECT_EQ(ref.getObject()->getRefCnt(), 1);
    extra.dispose();
    EXPECT_EQ(objectDeaths, 2); // the parent, and with its members the child
    EXPECT_EQ(classDeaths, 1);  // the objects held the last references to the class

    // A class-less object is deleted like any other object.
    KvoValue lone(new WatchedObject(nullptr, objectDeaths));
    lone = KvoValue();
    EXPECT_EQ(objectDeaths, 3);
}

TEST_F(ObjectTest, MachineTeardownReleasesEverything)
{
    int classDeaths = 0;
    int objectDeaths = 0;
    {
        KvoVirtualMachine vm;
        auto* c = new WatchedClass(vm, u"C", nullptr, classDeaths);
        c->addStaticDataMember(u"instance", KvoValue(new WatchedObject(nullptr, objectDeaths)));
        KvoDictionaryEntry* classEntry = vm.classes()[u"C"];
        classEntry->setValue(KvoValue(c));
        classEntry->setSymbolType(SYM_CLASS);
        KvoDictionaryEntry* global = vm.symbols()[u"g"];
        global->setValue(KvoValue(new WatchedObject(c, objectDeaths)));
        global->setSymbolType(SYM_VARIABLE);
    }
    EXPECT_EQ(classDeaths, 1);
    EXPECT_EQ(objectDeaths, 2);
}

// Tests of the kv2class plug-in as a machine sees it: the classes it registers and their order,
// a name already taken, loading it again after reinit, and the receiver check that every method
// makes first (which no script can reach: a script always sends a method to an object).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "values/KvoClass.h"
#include "values/KvoString.h"

#include "KvoTestSupport.h"

namespace {

using Kv2ClassTest = LiveObjectCheck;

const std::vector<std::u16string> PLUGIN_CLASSES = {u"String", u"Struct", u"Vector",        u"DictIterator", u"Dictionary",
                                                    u"POINT",  u"SIZE",   u"RECT",          u"ACCEL",        u"MSG",
                                                    u"WinMsgHandler",     u"WinBase",       u"FileDialog"};

// The names in the machine's class dictionary, in its order.
std::vector<std::u16string> classNames(KvoVirtualMachine& vm)
{
    std::vector<std::u16string> names;
    for (KvoDictionaryEntry* e = vm.classes().getFirst(); e; e = e->getNext())
        names.emplace_back(e->getKey()->c_str());
    return names;
}

// True when vm has a class of this name that native code registered.
bool isNativeClass(KvoVirtualMachine& vm, const KvoChar* name)
{
    const KvoDictionaryEntry* entry = vm.classes().find(name);
    const KvoClass* c = entry ? entry->getValue().getClass() : nullptr;
    return c && c->getIsNative();
}

// Runs main of source on vm and returns what it printed.
std::string run(KvoVirtualMachine& vm, KvoStringPrinter& out, const KvoChar* source)
{
    out.clear();
    EXPECT_TRUE(vm.compileText(source)) << out.a_str();
    EXPECT_TRUE(vm.execute(u"main", 0, nullptr)) << out.a_str();
    return out.a_str();
}

} // namespace

TEST_F(Kv2ClassTest, RegistersItsClassesInOrder)
{
    KvoVirtualMachine vm;
    ASSERT_TRUE(vm.loadNativeModule(u"kv2class"));
    ASSERT_EQ(classNames(vm), PLUGIN_CLASSES);
    for (const std::u16string& name : PLUGIN_CLASSES)
        EXPECT_TRUE(isNativeClass(vm, name.c_str()));
    const KvoClass* base = vm.classes().find(u"SIZE")->getValue().getClass()->getBaseClass();
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base, vm.classes().find(u"POINT")->getValue().getClass());
}

TEST_F(Kv2ClassTest, ANameTakenByTheScriptIsSkipped)
{
    KvoStringPrinter out;
    KvoVirtualMachine vm(&out);
    // The script's own Vector comes first; the plug-in leaves it and registers the others.
    ASSERT_TRUE(vm.compileText(u"class Vector { Vector(); size(); };\n"
                               u"Vector::Vector() { }\n"
                               u"Vector::size() { return 99; }\n"
                               u"#import \"kv2class\"\n"
                               u"main(; v, d) {\n"
                               u"    v = new Vector();\n"
                               u"    d = new Dictionary();\n"
                               u"    d[\"k\"] = 1;\n"
                               u"    print(v->size(), \" \", d->size());\n"
                               u"    return 0;\n"
                               u"}\n"))
        << out.a_str();
    ASSERT_TRUE(vm.execute(u"main", 0, nullptr)) << out.a_str();
    EXPECT_STREQ(out.a_str(), "99 1");
    EXPECT_FALSE(isNativeClass(vm, u"Vector"));
    EXPECT_TRUE(isNativeClass(vm, u"String"));
}

TEST_F(Kv2ClassTest, WorksAgainAfterReinit)
{
    KvoStringPrinter out;
    KvoVirtualMachine vm(&out);
    const KvoChar* source = u"#import \"kv2class\"\n"
                            u"main(; d, it) {\n"
                            u"    d = new Dictionary();\n"
                            u"    d[\"k\"] = 7;\n"
                            u"    it = d->begin();\n"
                            u"    print(it->getKey(), it->getValue());\n"
                            u"    return 0;\n"
                            u"}\n";
    EXPECT_EQ(run(vm, out, source), "k7");
    vm.reinit();
    EXPECT_EQ(vm.classes().find(u"Dictionary"), nullptr);
    EXPECT_EQ(run(vm, out, source), "k7");
}

TEST_F(Kv2ClassTest, EveryMethodChecksItsReceiverFirst)
{
    KvoStringPrinter out;
    KvoVirtualMachine vm(&out);
    ASSERT_TRUE(vm.loadNativeModule(u"kv2class"));
    // "raw" is each method in turn, called as a plain function: its first argument, the
    // receiver, is an integer, and the count is wrong for every method as well.
    KvoDictionaryEntry* raw = vm.symbols()[u"raw"];
    raw->setSymbolType(SYM_FUNCTION);
    ASSERT_TRUE(vm.compileText(u"main(; e) {\n"
                               u"    try { raw(5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19); }\n"
                               u"    catch (e) { print(e); }\n"
                               u"    return 0;\n"
                               u"}\n"))
        << out.a_str();
    int methods = 0;
    for (KvoDictionaryEntry* c = vm.classes().getFirst(); c; c = c->getNext()) {
        KvoClass* nativeClass = c->getValue().getClass();
        for (KvoDictionaryEntry* m = nativeClass->funcMembers().getFirst(); m; m = m->getNext()) {
            // Static methods (WinBase's) have no receiver.
            if (m->getSymbolType() != SYM_METHOD)
                continue;
            raw->setValue(m->getValue());
            out.clear();
            ASSERT_TRUE(vm.execute(u"main", 0, nullptr));
            EXPECT_STREQ(out.a_str(), "invalid 'this' pointer")
                << c->getKey()->a_str() << "::" << m->getKey()->a_str();
            ++methods;
        }
    }
    EXPECT_GT(methods, 100);
}

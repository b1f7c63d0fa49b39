// Tests of module files and single value records: the exact bytes of small records, round trips
// of every kind of value (sharing, cycles and reference kinds included), the module semantics
// (second entries, native modules, class order), damaged and hostile input (every truncation of
// a valid module, bad counts, deep nesting, mismatched back references), and the replacement of
// a module file only after a complete write.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <pthread.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/KvoDictionaryIO.h"
#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "KvoTestSupport.h"
#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"
#include "values/ValPtr.h"
#include "vm/KvoProcedure.h"

namespace fs = std::filesystem;

namespace {

// ---- building expected bytes ----
std::string u32(std::uint32_t v)
{
    return {char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff), char(v >> 24)};
}
std::string byte(int b)
{
    return std::string(1, static_cast<char>(b));
}
// A string record of ASCII text.
std::string str(const std::string& text)
{
    std::string out = byte(2);
    for (char c : text)
        out += byte(c) + byte(0);
    return out + byte(0) + byte(0);
}
const std::string END = str("");
const std::string EMPTY_DICTIONARY = byte(0) + END;

// ---- running the reader and writer ----
std::string valueBytes(KvoVirtualMachine& vm, const KvoValue& value)
{
    std::FILE* stream = std::tmpfile();
    EXPECT_TRUE(KvoDictionaryIO(&vm).writeSingleValue(stream, value));
    std::string bytes = contentsOf(stream);
    std::fclose(stream);
    return bytes;
}

bool readValue(KvoVirtualMachine& vm, const std::string& bytes, KvoValue& value)
{
    std::FILE* stream = streamWith(bytes);
    const bool ok = KvoDictionaryIO(&vm).readSingleValue(stream, value);
    std::fclose(stream);
    return ok;
}

KvoValue roundTrip(KvoVirtualMachine& vm, const KvoValue& value)
{
    KvoValue result;
    EXPECT_TRUE(readValue(vm, valueBytes(vm, value), result));
    return result;
}

std::string moduleBytes(KvoVirtualMachine& vm)
{
    std::FILE* stream = std::tmpfile();
    EXPECT_TRUE(vm.writeModule(stream));
    std::string bytes = contentsOf(stream);
    std::fclose(stream);
    return bytes;
}

bool readModule(KvoVirtualMachine& vm, const std::string& bytes)
{
    std::FILE* stream = streamWith(bytes);
    const bool ok = vm.readModule(stream);
    std::fclose(stream);
    return ok;
}

// A stream over bytes that cannot seek, so that the reader does not know its length.
struct Cookie {
    std::string bytes;
    std::size_t position = 0;
};
ssize_t readCookie(void* cookie, char* buffer, std::size_t size)
{
    auto* c = static_cast<Cookie*>(cookie);
    const std::size_t n = std::min(size, c->bytes.size() - c->position);
    std::memcpy(buffer, c->bytes.data() + c->position, n);
    c->position += n;
    return static_cast<ssize_t>(n);
}
std::FILE* unseekableStream(Cookie& cookie)
{
    cookie_io_functions_t functions{};
    functions.read = &readCookie;
    return fopencookie(&cookie, "rb", functions);
}

KvoValue& global(KvoVirtualMachine& vm, const KvoChar* name)
{
    static KvoValue none;
    KvoDictionaryEntry* e = vm.symbols().find(name);
    return e ? e->getValue() : none;
}

std::string text(const KvoValue& v)
{
    return v.getString() ? v.getString()->a_str() : "<not a string>";
}

bool nativeNine(KvoVirtualMachine*, int argc, ValPtr& args)
{
    args -= argc;
    args[0] = KvoValue(std::int32_t{9});
    return true;
}

// Runs work on a thread with a 256 KiB stack, the size many hosts give the threads they create.
void onSmallStack(const std::function<void()>& work)
{
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
    pthread_t thread;
    const auto run = [](void* job) -> void* {
        (*static_cast<const std::function<void()>*>(job))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

// A value nested depth levels deep, ending in the integer 7: a vector holding a dictionary whose
// entry "k" holds the next vector, and so on (each vector and each dictionary is one level).
KvoValue nestedValue(int depth)
{
    KvoValue root;
    KvoValue* place = &root;
    for (int level = 0; level < depth; ++level) {
        if (level % 2 == 0) {
            *place = KvoValue(new KvoVector);
            place->getVector()->push_back(KvoValue());
            place = &(*place->getVector())[0];
        } else {
            *place = KvoValue(new KvoDictionary(false));
            place = &(*place->getDictionary())[u"k"]->getValue();
        }
    }
    *place = KvoValue(std::int32_t{7});
    return root;
}

// The levels above the innermost value of a nestedValue, and that value; -1 when its shape differs.
int depthOf(const KvoValue& value, std::int32_t& innermost)
{
    const KvoValue* v = &value;
    for (int depth = 0;; ++depth) {
        if (KvoVector* vector = v->getVector()) {
            if (vector->size() != 1)
                return -1;
            v = &(*vector)[0];
        } else if (KvoDictionary* dictionary = v->getDictionary()) {
            if (dictionary->count() != 1 || !dictionary->find(u"k"))
                return -1;
            v = &dictionary->find(u"k")->getValue();
        } else {
            innermost = v->getLong();
            return depth;
        }
    }
}

class DictionaryIOTest : public LiveObjectCheck
{
protected:
    // A machine that prints into m_printer and whose symbols hold nothing (no standard library),
    // so that the bytes it writes are small and exact.
    std::unique_ptr<KvoVirtualMachine> bareMachine()
    {
        auto vm = std::make_unique<KvoVirtualMachine>(&m_printer);
        vm->symbols().clear();
        return vm;
    }
    std::string printed() const { return m_printer.a_str(); }

    KvoStringPrinter m_printer;
};

// ==== exact bytes ================================================================================

TEST_F(DictionaryIOTest, ModuleBytesOfSmallMachines)
{
    auto vm = bareMachine();
    EXPECT_EQ(moduleBytes(*vm), EMPTY_DICTIONARY + EMPTY_DICTIONARY + EMPTY_DICTIONARY);

    vm->symbols()[u"x"]->setValue(KvoValue(std::int32_t{7}));
    vm->symbols().find(u"x")->setSymbolType(SYM_VARIABLE);
    EXPECT_EQ(moduleBytes(*vm), EMPTY_DICTIONARY + EMPTY_DICTIONARY + byte(0) + str("x") + u32(SYM_VARIABLE) +
                                    byte(KVT_INTEGER) + byte(0) + u32(7) + END);

    // A machine with the standard library: modules and classes are empty, and neither native
    // functions nor the standard file variables are written.
    KvoVirtualMachine standard(&m_printer);
    const std::string bytes = moduleBytes(standard);
    EXPECT_EQ(bytes.substr(0, 9), EMPTY_DICTIONARY + EMPTY_DICTIONARY + byte(0));
    EXPECT_EQ(bytes.find(str("stdout")), std::string::npos);
    EXPECT_EQ(bytes.find(str("print")), std::string::npos);
}

TEST_F(DictionaryIOTest, ValueRecordBytes)
{
    auto vm = bareMachine();
    KvoValue integer(std::int32_t{0x01020304});
    integer.setFlags(0x20);
    EXPECT_EQ(valueBytes(*vm, integer), byte(KVT_INTEGER) + byte(0x20) + u32(0x01020304));
    EXPECT_EQ(valueBytes(*vm, KvoValue()), byte(0) + byte(0));
    EXPECT_EQ(valueBytes(*vm, KvoValue(1.0)), byte(KVT_DOUBLE) + byte(0) + std::string(6, '\0') + "\xf0\x3f");
    EXPECT_EQ(valueBytes(*vm, KvoValue(new KvoString(u"hi"))),
              byte(KVT_STRING) + byte(0) + u32(1) + str("hi"));

    // The same string twice: the second occurrence is a back reference to the first id.
    KvoValue shared(new KvoString(u"s"));
    KvoValue pair(new KvoVector);
    pair.getVector()->push_back(shared);
    pair.getVector()->push_back(shared);
    EXPECT_EQ(valueBytes(*vm, pair), byte(KVT_VECTOR) + byte(0) + u32(1) + u32(2) + byte(KVT_STRING) + byte(0) +
                                         u32(2) + str("s") + byte(KVT_STRING) + byte(0) + u32(2) + byte(0xff));

    // A vector that contains itself: one element list, the element refers back.
    KvoValue self(new KvoVector);
    self.getVector()->push_back(self);
    EXPECT_EQ(valueBytes(*vm, self), byte(KVT_VECTOR) + byte(0) + u32(1) + u32(1) + byte(KVT_VECTOR) + byte(0) +
                                         u32(1) + u32(0xffffffff));
    self.getVector()->clear(); // break the cycle

    // Buffers, character buffers and a variable reference.
    KvoValue buffer(new KvoBuffer);
    buffer.getBuffer()->append("\x00\xff", 2);
    EXPECT_EQ(valueBytes(*vm, buffer), byte(KVT_BUFFER) + byte(0) + u32(1) + u32(2) + std::string("\x00\xff", 2));
    KvoValue chars(new KvoCharBuffer);
    chars.getCharBuffer()->append(u"A\u0416", 2);
    EXPECT_EQ(valueBytes(*vm, chars),
              byte(KVT_CHARBUFFER) + byte(0) + u32(1) + u32(2) + byte(2) + "A" + byte(0) + "\x16\x04");
    vm->symbols()[u"g"]->setSymbolType(SYM_VARIABLE);
    EXPECT_EQ(valueBytes(*vm, KvoValue(vm->symbols().find(u"g"))), byte(KVT_VAR) + byte(0) + str("!S") + str("g"));
}

TEST_F(DictionaryIOTest, ReaderAcceptsEightBitStrings)
{
    auto vm = bareMachine();
    KvoValue v;
    ASSERT_TRUE(readValue(*vm, byte(KVT_STRING) + byte(0) + u32(1) + byte(1) + "abc" + byte(0), v));
    EXPECT_EQ(text(v), "abc");
    EXPECT_FALSE(readValue(*vm, byte(KVT_STRING) + byte(0) + u32(1) + byte(3) + "abc" + byte(0), v));
    EXPECT_TRUE(v.isNull());
}

// ==== round trips ================================================================================

TEST_F(DictionaryIOTest, NumbersAndMachineValuesRoundTrip)
{
    KvoVirtualMachine vm(&m_printer);
    EXPECT_TRUE(roundTrip(vm, KvoValue()).isNull());
    EXPECT_EQ(roundTrip(vm, KvoValue(std::int32_t{-5})).getLong(), -5);
    KvoValue f = roundTrip(vm, KvoValue(2.5f));
    EXPECT_EQ(f.getType(), KVT_FLOAT);
    EXPECT_EQ(f.getFloat(), 2.5f);
    EXPECT_EQ(roundTrip(vm, KvoValue(-1e300)).getDouble(), -1e300);

    // A file comes back as the value the reading machine's symbol of that name holds.
    KvoValue file = roundTrip(vm, KvoValue(static_cast<void*>(stdout)));
    EXPECT_EQ(file.getType(), KVT_FILE);
    EXPECT_EQ(file.getFile(), global(vm, u"stdout").getFile());
    // A native function by the name of the global that holds it; one without a name comes back
    // as a function value without function.
    KvoValue print = roundTrip(vm, global(vm, u"print"));
    EXPECT_EQ(print.getCode(), global(vm, u"print").getCode());
    KvoValue anonymous = roundTrip(vm, KvoValue(&nativeNine));
    EXPECT_EQ(anonymous.getType(), KVT_CODE);
    EXPECT_EQ(anonymous.getCode(), nullptr);
    // A name the reader does not know fails the read.
    KvoValue v;
    EXPECT_FALSE(readValue(vm, byte(KVT_CODE) + byte(0) + str("noSuchFunction"), v));
}

TEST_F(DictionaryIOTest, ContainersRoundTripWithTheirKinds)
{
    auto vm = bareMachine();
    KvoValue vector(new KvoVector);
    KvoVector& elements = *vector.getVector();
    auto* code = new KvoVector;
    code->push_back(KvoValue(std::int32_t{1}));
    elements.push_back(KvoValue(static_cast<KvoRefObject*>(code), KVT_BYTECODE));
    auto* info = new KvoVector;
    elements.push_back(KvoValue(static_cast<KvoRefObject*>(info), KVT_LOCALVARINFO));
    auto* buffer = new KvoBuffer;
    buffer->append("a\0b", 3);
    elements.push_back(KvoValue(buffer));
    auto* chars = new KvoCharBuffer;
    chars->append(u"\U0001F600x", 3);
    elements.push_back(KvoValue(chars));
    elements.push_back(KvoValue(new KvoString(u"")));
    auto* sorted = new KvoDictionary(true);
    (*sorted)[u"b"]->setValue(KvoValue(std::int32_t{2}));
    (*sorted)[u"a"]->setSymbolType(SYM_FUNCTION);
    elements.push_back(KvoValue(sorted));
    auto* unsorted = new KvoDictionary(false);
    (*unsorted)[u"z"];
    (*unsorted)[u"y"];
    elements.push_back(KvoValue(unsorted));
    KvoValue flagged(std::int32_t{3});
    flagged.setFlags(KvoNoDefault);
    elements.push_back(flagged);

    KvoValue back = roundTrip(*vm, vector);
    KvoVector* read = back.getVector();
    ASSERT_NE(read, nullptr);
    ASSERT_EQ(read->size(), 8u);
    EXPECT_EQ((*read)[0].getType(), KVT_BYTECODE);
    EXPECT_EQ((*read)[0].getVector()->size(), 1u);
    EXPECT_EQ((*read)[1].getType(), KVT_LOCALVARINFO);
    EXPECT_EQ(std::string(reinterpret_cast<char*>((*read)[2].getBuffer()->data()), 3), std::string("a\0b", 3));
    EXPECT_EQ(std::u16string((*read)[3].getCharBuffer()->data(), 3), u"\U0001F600x");
    EXPECT_EQ(text((*read)[4]), "");
    KvoDictionary* d = (*read)[5].getDictionary();
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->isSorted());
    EXPECT_EQ(std::u16string(d->getFirst()->getKey()->c_str()), u"a");
    EXPECT_EQ(d->getFirst()->getSymbolType(), SYM_FUNCTION);
    EXPECT_EQ(d->find(u"b")->getValue().getLong(), 2);
    KvoDictionary* u = (*read)[6].getDictionary();
    EXPECT_FALSE(u->isSorted());
    EXPECT_EQ(std::u16string(u->getFirst()->getKey()->c_str()), u"z");
    EXPECT_EQ((*read)[7].getFlags(), KvoNoDefault);
}

TEST_F(DictionaryIOTest, SharingCyclesAndReferenceKinds)
{
    auto vm = bareMachine();
    KvoValue shared(new KvoString(u"one"));
    KvoValue inner(new KvoVector);
    KvoValue outer(new KvoVector);
    KvoVector& o = *outer.getVector();
    o.push_back(shared);
    o.push_back(KvoValue(shared.getString(), true)); // a non-owning twin of a held string
    o.push_back(inner);
    o.push_back(KvoValue(inner.getVector(), false, true));
    o.push_back(outer); // the vector contains itself
    KvoValue back = roundTrip(*vm, outer);
    KvoVector& r = *back.getVector();
    EXPECT_EQ(r[0].getString(), r[1].getString());
    EXPECT_EQ(r[1].getType(), KVT_STRINGREF);
    EXPECT_EQ(r[2].getVector(), r[3].getVector());
    EXPECT_EQ(r[3].getType(), KVT_VECTORREF);
    EXPECT_EQ(r[4].getVector(), &r);
    // A change through one sharer is seen through the other.
    *r[0].getString() += u"!";
    EXPECT_EQ(text(r[1]), "one!");
    r.clear();
    o.clear();

    // A non-owning value whose object nothing else holds would dangle after the read: it is
    // cleared instead.
    KvoValue lonely(new KvoString(u"alone"));
    KvoValue refOnly(new KvoVector);
    refOnly.getVector()->push_back(KvoValue(lonely.getString(), true));
    KvoValue read = roundTrip(*vm, refOnly);
    EXPECT_TRUE((*read.getVector())[0].isNull());
}

TEST_F(DictionaryIOTest, DeadReferencesAreWrittenAsNull)
{
    // A non-owning value keeps its kind while its object lives and is written as NULL (with its
    // flags) once the object has died, never with the kind it was stored with.
    auto vm = bareMachine();
    KvoValue target(new KvoString(u"t"));
    KvoValue ref(target.getString(), true);
    ref.setFlags(0x20);
    KvoValue holder(new KvoVector);
    holder.getVector()->push_back(ref);
    holder.getVector()->push_back(KvoValue(new KvoString(u"next")));
    EXPECT_EQ(valueBytes(*vm, ref), byte(KVT_STRINGREF) + byte(0x20) + u32(1) + str("t"));
    target.dispose();
    ASSERT_EQ(ref.getType(), KVT_NULL);
    EXPECT_EQ(valueBytes(*vm, ref), byte(KVT_NULL) + byte(0x20));
    // The values after it still follow in order, and the record reads back.
    EXPECT_EQ(valueBytes(*vm, holder), byte(KVT_VECTOR) + byte(0) + u32(1) + u32(2) + byte(KVT_NULL) + byte(0x20) +
                                           byte(KVT_STRING) + byte(0) + u32(2) + str("next"));
    KvoValue back = roundTrip(*vm, holder);
    EXPECT_TRUE((*back.getVector())[0].isNull());
    EXPECT_EQ(text((*back.getVector())[1]), "next");
    // The same in a module: a global holding a dead reference is written as NULL.
    (*vm->symbols()[u"r"]) = ref;
    EXPECT_EQ(moduleBytes(*vm), EMPTY_DICTIONARY + EMPTY_DICTIONARY + byte(0) + str("r") + u32(SYM_NONE) +
                                    byte(KVT_NULL) + byte(0x20) + END);
}

TEST_F(DictionaryIOTest, ProgramsRoundTripThroughModules)
{
    std::string bytes;
    {
        KvoVirtualMachine vm(&m_printer);
        vm.setGenerateLocalVarInfo(true);
        ASSERT_TRUE(vm.compileText(u"class Base { b; Base(); get(); }\n"
                                   u"Base::Base() { b = 40; }\n"
                                   u"Base::get() { return b; }\n"
                                   u"class Pt : Base { x; Pt(v); sum(); }\n"
                                   u"Pt::Pt(v) { b = 40; x = v; }\n"
                                   u"Pt::sum() { return get() + x; }\n"
                                   u"#defvar shared \"text\"\n"
                                   u"#defvar table [1, 2, 3]\n"
                                   u"twice(n) { var local = n * 2; return local; }\n"
                                   u"main() { var p = new Pt(2); return p->sum() + twice(table[2]); }\n"))
            << printed();
        global(vm, u"table") = KvoValue(new KvoVector);
        global(vm, u"table").getVector()->push_back(global(vm, u"shared"));
        global(vm, u"table").getVector()->push_back(global(vm, u"shared"));
        global(vm, u"table").getVector()->push_back(KvoValue(std::int32_t{3}));
        bytes = moduleBytes(vm);
    }
    KvoVirtualMachine vm(&m_printer);
    ASSERT_TRUE(readModule(vm, bytes)) << printed();
    ASSERT_TRUE(vm.execute(u"main", 0, nullptr)) << printed();
    EXPECT_EQ(vm.getResult().getLong(), 48);
    KvoVector& table = *global(vm, u"table").getVector();
    EXPECT_EQ(table[0].getString(), table[1].getString());
    // The class keeps its base and members; procedures keep their local-variable information.
    KvoClass* pt = vm.classes().find(u"Pt")->getValue().getClass();
    ASSERT_NE(pt, nullptr);
    EXPECT_EQ(pt->getBaseClass(), vm.classes().find(u"Base")->getValue().getClass());
    EXPECT_EQ(pt->getDataSize(), 2);
    KvoVector* twice = global(vm, u"twice").getVector();
    ASSERT_NE(twice, nullptr);
    EXPECT_EQ((*twice)[twice->size() - 1].getType(), KVT_LOCALVARINFO);
    EXPECT_EQ((*twice)[PROC_SELF].getVector(), twice);
}

TEST_F(DictionaryIOTest, ObjectsAndVariableReferences)
{
    std::string bytes;
    {
        KvoVirtualMachine vm(&m_printer);
        ASSERT_TRUE(vm.compileText(u"class C { m; static s; C(); f(); }\nC::C() { m = 1; }\nC::f() { return 5; }\n"
                                   u"#defvar x 1\n"))
            << printed();
        KvoClass* c = vm.classes().find(u"C")->getValue().getClass();
        auto* object = new KvoObject(c);
        (*object->getMemberData())[1] = KvoValue(new KvoString(u"member"));
        auto* refs = new KvoVector;
        refs->push_back(KvoValue(vm.symbols().find(u"x")));
        refs->push_back(KvoValue(vm.classes().find(u"C")));
        refs->push_back(KvoValue(c->dataMembers().find(u"m")));
        refs->push_back(KvoValue(c->funcMembers().find(u"f")));
        refs->push_back(KvoValue(object));
        refs->push_back(KvoValue(object, true));
        refs->push_back(KvoValue(c, true));
        vm.symbols()[u"refs"]->setValue(KvoValue(refs));
        bytes = moduleBytes(vm);
    }
    KvoVirtualMachine vm(&m_printer);
    ASSERT_TRUE(readModule(vm, bytes)) << printed();
    KvoClass* c = vm.classes().find(u"C")->getValue().getClass();
    KvoVector& refs = *global(vm, u"refs").getVector();
    EXPECT_EQ(refs[0].getVar(), vm.symbols().find(u"x"));
    EXPECT_EQ(refs[1].getVar(), vm.classes().find(u"C"));
    EXPECT_EQ(refs[2].getVar(), c->dataMembers().find(u"m"));
    EXPECT_EQ(refs[3].getVar(), c->funcMembers().find(u"f"));
    KvoObject* object = refs[4].getObject();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->getClass(), c);
    EXPECT_EQ(text((*object->getMemberData())[1]), "member");
    EXPECT_EQ(refs[5].getObject(), object);
    EXPECT_EQ(refs[5].getType(), KVT_OBJECTREF);
    EXPECT_EQ(refs[6].getClass(), c);
}

// ==== module semantics ===========================================================================

TEST_F(DictionaryIOTest, ModuleSemantics)
{
    // A global already present gets a second entry; a lookup finds the first.
    auto writer = bareMachine();
    (*writer->symbols()[u"g"]) = KvoValue(std::int32_t{2});
    const std::string bytes = moduleBytes(*writer);
    auto vm = bareMachine();
    (*vm->symbols()[u"g"]) = KvoValue(std::int32_t{1});
    ASSERT_TRUE(readModule(*vm, bytes));
    EXPECT_EQ(vm->symbols().count(), 2u);
    EXPECT_EQ(global(*vm, u"g").getLong(), 1);
    EXPECT_EQ(vm->symbols().getFirst()->getNext()->getValue().getLong(), 2);

    // A method that refers to a class the module does not define cannot be read.
    KvoVirtualMachine order(&m_printer);
    ASSERT_TRUE(order.compileText(u"class A { A(); make(); }\nclass B { B(); }\nA::A() { }\nB::B() { }\n"
                                  u"A::make() { return new B(); }\n"))
        << printed();
    KvoValue b = order.classes().find(u"B")->getValue();
    ASSERT_TRUE(order.classes().erase(u"B"));
    const std::string ordered = moduleBytes(order);
    b.getClass()->funcMembers().clear(); // B and its constructor hold each other
    KvoVirtualMachine reader(&m_printer);
    m_printer.clear();
    EXPECT_FALSE(readModule(reader, ordered));
    EXPECT_EQ(printed(), "class B not found\n");
    // The entry whose value failed is not left behind as a NULL class.
    EXPECT_EQ(reader.classes().find(u"A"), nullptr);

    // A module naming a native module loads it first; one that cannot be loaded fails the read.
    KvoVirtualMachine native(&m_printer);
    ASSERT_TRUE(native.loadNativeModule(u"kvotestmodule"));
    const std::string withModule = moduleBytes(native);
    EXPECT_EQ(withModule.substr(0, 1 + str("kvotestmodule").size()), byte(0) + str("kvotestmodule"));
    auto loader = bareMachine();
    ASSERT_TRUE(readModule(*loader, withModule)) << printed();
    EXPECT_NE(loader->modules().find(u"kvotestmodule"), nullptr);
    m_printer.clear();
    EXPECT_FALSE(readModule(*loader, byte(0) + str("no_such_native_module") + byte(1) + byte(0) + u32(0) + END +
                                         EMPTY_DICTIONARY + EMPTY_DICTIONARY));
    EXPECT_EQ(printed(), "native module no_such_native_module could not be loaded\n");
    m_printer.clear();
    EXPECT_FALSE(readModule(*loader, ""));
    EXPECT_EQ(printed(), "error reading dicionary (sorted flag)\n");
}

TEST_F(DictionaryIOTest, ClassesNamedBeforeTheirEntriesLoad)
{
    // Whatever a valid program compiles to loads again: a method that creates an object of a
    // class declared further down, and a class declared (and so entered) before the base it
    // derives from.
    std::string bytes;
    {
        KvoVirtualMachine vm(&m_printer);
        ASSERT_TRUE(vm.compileText(u"class Derived;\n"
                                   u"class Maker { Maker(); make(n); }\n"
                                   u"class Base { b; Base(); get(); }\n"
                                   u"class Derived : Base { d; Derived(n); sum(); }\n"
                                   u"Maker::Maker() { }\n"
                                   u"Maker::make(n) { return new Derived(n); }\n"
                                   u"Base::Base() { b = 1; }\n"
                                   u"Base::get() { return b; }\n"
                                   u"Derived::Derived(n) { b = 40; d = n; }\n"
                                   u"Derived::sum() { return get() + d; }\n"
                                   u"main() { var m = new Maker(); return m->make(2)->sum(); }\n"))
            << printed();
        ASSERT_TRUE(vm.execute(u"main", 0, nullptr)) << printed();
        ASSERT_EQ(vm.getResult().getLong(), 42);
        // The order the reader meets them in: Derived's entry before Base's, Maker's before both.
        ASSERT_EQ(*vm.classes().getFirst()->getKey(), u"Derived");
        bytes = moduleBytes(vm);
    }
    KvoVirtualMachine vm(&m_printer);
    m_printer.clear();
    ASSERT_TRUE(readModule(vm, bytes)) << printed();
    EXPECT_EQ(printed(), "");
    KvoClass* base = vm.classes().find(u"Base")->getValue().getClass();
    KvoClass* derived = vm.classes().find(u"Derived")->getValue().getClass();
    ASSERT_NE(derived, nullptr);
    EXPECT_EQ(derived->getBaseClass(), base);
    EXPECT_EQ(derived->getDataSize(), 2);
    ASSERT_TRUE(vm.execute(u"main", 0, nullptr)) << printed();
    EXPECT_EQ(vm.getResult().getLong(), 42);
    // Every prefix fails cleanly, also where classes still wait for their bases or for the
    // classes their methods name (the fixture sees that nothing is lost).
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        auto cut = bareMachine();
        ASSERT_FALSE(readModule(*cut, bytes.substr(0, length))) << "prefix of " << length << " bytes";
    }
    m_printer.clear();

    // Hand-made class records: a class whose base is defined nowhere keeps no base (as a missing
    // base always did), while two classes deriving from each other are damage and both go.
    const auto classEntry = [](const std::string& name, const std::string& base) {
        return str(name) + u32(SYM_CLASS) + byte(KVT_CLASS) + byte(0) + str(name) + str(base) + EMPTY_DICTIONARY +
               byte(1) + END + u32(0);
    };
    auto loose = bareMachine();
    ASSERT_TRUE(readModule(*loose, EMPTY_DICTIONARY + byte(0) + classEntry("Loose", "Nowhere") + END +
                                       EMPTY_DICTIONARY))
        << printed();
    ASSERT_NE(loose->classes().find(u"Loose"), nullptr);
    EXPECT_EQ(loose->classes().find(u"Loose")->getValue().getClass()->getBaseClass(), nullptr);
    auto cycle = bareMachine();
    m_printer.clear();
    EXPECT_FALSE(readModule(*cycle, EMPTY_DICTIONARY + byte(0) + classEntry("X", "Y") + classEntry("Y", "X") +
                                        classEntry("Z", "") + END + EMPTY_DICTIONARY));
    EXPECT_EQ(printed(), "error reading module: damaged or truncated data\n");
    EXPECT_EQ(cycle->classes().find(u"X"), nullptr);
    EXPECT_EQ(cycle->classes().find(u"Y"), nullptr);
    EXPECT_NE(cycle->classes().find(u"Z"), nullptr);
    // A single value names only classes the machine already has.
    KvoValue v;
    m_printer.clear();
    EXPECT_FALSE(readValue(*cycle, byte(KVT_CLASS) + byte(0) + str("Later") + str("$"), v));
    EXPECT_EQ(printed(), "class Later not found\n");
}

TEST_F(DictionaryIOTest, ModuleFilesByPath)
{
    const fs::path dir = fs::temp_directory_path() / ("kvoio" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::u16string path = (dir / "lib.kvm").u16string();
    {
        auto vm = bareMachine();
        (*vm->symbols()[u"good"]) = KvoValue(std::int32_t{1});
        ASSERT_TRUE(vm->writeModule(path.c_str()));
        const auto goodSize = fs::file_size(dir / "lib.kvm");

        // A write that fails part way leaves the old file as it was and no temporary behind.
        (*vm->symbols()[u"broken"]) = KvoValue(static_cast<KvoRefObject*>(nullptr), KVT_STRING);
        m_printer.clear();
        EXPECT_FALSE(vm->writeModule(path.c_str()));
        EXPECT_EQ(printed(), "error while writing dictionary entry broken\n");
        EXPECT_EQ(fs::file_size(dir / "lib.kvm"), goodSize);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

        auto reader = bareMachine();
        ASSERT_TRUE(reader->readModule(path.c_str()));
        EXPECT_EQ(global(*reader, u"good").getLong(), 1);

        m_printer.clear();
        const std::u16string missing = (dir / "no" / "such.kvm").u16string();
        EXPECT_FALSE(vm->writeModule(missing.c_str()));
        EXPECT_FALSE(vm->readModule(missing.c_str()));
        EXPECT_EQ(printed(), "opening " + (dir / "no" / "such.kvm").string() + " for write failed\nopening " +
                                 (dir / "no" / "such.kvm").string() + " for read failed\n");
    }
    fs::remove_all(dir);
}

// ==== damaged and hostile input ===================================================================

TEST_F(DictionaryIOTest, EveryTruncationOfAModuleFailsCleanly)
{
    std::string bytes;
    {
        KvoVirtualMachine vm(&m_printer);
        vm.setGenerateLocalVarInfo(true);
        ASSERT_TRUE(vm.compileText(u"class K { v; K(a); get(); }\nK::K(a) { v = a; }\nK::get() { return v; }\n"
                                   u"#defvar data [1, \"two\", 3.0, {\"k\": [4]}]\n"
                                   u"main() { var k = new K(data); return k->get(); }\n"))
            << printed();
        bytes = moduleBytes(vm);
    }
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        KvoVirtualMachine vm(&m_printer);
        (*vm.symbols()[u"main"]) = KvoValue(std::int32_t{77});
        ASSERT_FALSE(readModule(vm, bytes.substr(0, length))) << "prefix of " << length << " bytes";
        // What the machine held before is intact and still found first.
        EXPECT_EQ(global(vm, u"main").getLong(), 77);
        EXPECT_NE(vm.symbols().find(u"print"), nullptr);
    }
    KvoVirtualMachine vm(&m_printer);
    EXPECT_TRUE(readModule(vm, bytes));
    m_printer.clear();
}

TEST_F(DictionaryIOTest, EveryTruncationOfAValueFailsCleanly)
{
    auto vm = bareMachine();
    KvoValue shared(new KvoString(u"s"));
    KvoValue graph(new KvoVector);
    graph.getVector()->push_back(shared);
    graph.getVector()->push_back(KvoValue(shared.getString(), true));
    graph.getVector()->push_back(KvoValue(new KvoDictionary(true)));
    (*graph.getVector()->data()[2].getDictionary())[u"k"]->setValue(graph);
    const std::string bytes = valueBytes(*vm, graph);
    (*graph.getVector()->data()[2].getDictionary()).clear();
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        KvoValue v(std::int32_t{1});
        EXPECT_FALSE(readValue(*vm, bytes.substr(0, length), v));
        EXPECT_TRUE(v.isNull());
    }
}

TEST_F(DictionaryIOTest, HostileCountsAndNesting)
{
    auto vm = bareMachine();
    KvoValue v;
    // Counts far beyond what the file holds fail at once, without allocating them.
    EXPECT_FALSE(readValue(*vm, byte(KVT_VECTOR) + byte(0) + u32(1) + u32(0x7fffffff) + byte(0) + byte(0), v));
    EXPECT_FALSE(readValue(*vm, byte(KVT_BUFFER) + byte(0) + u32(1) + u32(0xfffffff0) + "abc", v));
    EXPECT_FALSE(readValue(*vm, byte(KVT_CHARBUFFER) + byte(0) + u32(1) + u32(0x80000000) + byte(2) + "ab", v));
    // The same on a stream whose length the reader cannot know: storage grows only as data comes.
    Cookie cookie{byte(KVT_VECTOR) + byte(0) + u32(1) + u32(0x7fffffff) + byte(KVT_INTEGER) + byte(0) + u32(5)};
    std::FILE* stream = unseekableStream(cookie);
    EXPECT_FALSE(KvoDictionaryIO(vm.get()).readSingleValue(stream, v));
    std::fclose(stream);
    EXPECT_TRUE(v.isNull());

    // Deep nesting fails with a message instead of exhausting the stack.
    std::string deep;
    for (int i = 0; i < KvoDictionaryIO::MAX_NESTING + 10; ++i)
        deep += byte(KVT_VECTOR) + byte(0) + u32(static_cast<std::uint32_t>(i)) + u32(1);
    deep += byte(0) + byte(0);
    m_printer.clear();
    EXPECT_FALSE(readValue(*vm, deep, v));
    EXPECT_EQ(printed(), "error reading value: nested deeper than 2000 levels\n");
    // Writing refuses what could not be read back.
    KvoValue chain(new KvoVector);
    KvoValue link = chain;
    for (int i = 0; i < KvoDictionaryIO::MAX_NESTING + 10; ++i) {
        KvoValue next(new KvoVector);
        link.getVector()->push_back(next);
        link = next;
    }
    std::FILE* out = std::tmpfile();
    m_printer.clear();
    EXPECT_FALSE(KvoDictionaryIO(vm.get()).writeSingleValue(out, chain));
    EXPECT_EQ(printed(), "error writing value: nested deeper than 2000 levels\n");
    std::fclose(out);

    // A back reference to an object of another kind, or to no object, reads as NULL.
    ASSERT_TRUE(readValue(*vm,
                          byte(KVT_VECTOR) + byte(0) + u32(1) + u32(3) + byte(KVT_STRING) + byte(0) + u32(2) +
                              str("x") + byte(KVT_BUFFER) + byte(0) + u32(2) + u32(0xffffffff) +
                              byte(KVT_DICTIONARY) + byte(0) + u32(9) + byte(0xff),
                          v));
    EXPECT_EQ(text((*v.getVector())[0]), "x");
    EXPECT_TRUE((*v.getVector())[1].isNull());
    EXPECT_TRUE((*v.getVector())[2].isNull());

    // Unknown types, symbol kinds and sorted flags are damage.
    EXPECT_FALSE(readValue(*vm, byte(25) + byte(0), v));
    EXPECT_FALSE(readValue(*vm, byte(KVT_DICTIONARY) + byte(0) + u32(1) + byte(2) + END, v));
    EXPECT_FALSE(readValue(*vm, byte(KVT_DICTIONARY) + byte(0) + u32(1) + byte(0) + str("k") + u32(6) +
                                    byte(0) + byte(0) + END,
                           v));
    m_printer.clear();
    EXPECT_FALSE(readModule(*vm, EMPTY_DICTIONARY + EMPTY_DICTIONARY + byte(0) + str("k") + u32(3) + byte(1)));
    EXPECT_EQ(printed(), "error reading module: damaged or truncated data\n");
}

TEST_F(DictionaryIOTest, DeepNestingNeedsNoNativeStack)
{
    // The reader and writer keep their place in lists of their own: values nested as deep as
    // they accept go through a thread with a small stack, as single values and in a module.
    onSmallStack([this] {
        constexpr int DEPTH = KvoDictionaryIO::MAX_NESTING;
        auto vm = bareMachine();
        KvoValue deep = nestedValue(DEPTH);
        std::string bytes = valueBytes(*vm, deep);
        KvoValue back;
        ASSERT_TRUE(readValue(*vm, bytes, back)) << printed();
        std::int32_t innermost = 0;
        EXPECT_EQ(depthOf(back, innermost), DEPTH);
        EXPECT_EQ(innermost, 7);

        // In a module the global's entry is the first level.
        (*vm->symbols()[u"deep"]) = nestedValue(DEPTH - 1);
        bytes = moduleBytes(*vm);
        auto reader = bareMachine();
        ASSERT_TRUE(readModule(*reader, bytes)) << printed();
        EXPECT_EQ(depthOf(global(*reader, u"deep"), innermost), DEPTH - 1);

        // One level more is refused both ways, with a message.
        KvoValue tooDeep = nestedValue(DEPTH + 1);
        std::FILE* out = std::tmpfile();
        m_printer.clear();
        EXPECT_FALSE(KvoDictionaryIO(vm.get()).writeSingleValue(out, tooDeep));
        std::fclose(out);
        // (followed by the failed entries of the dictionaries on the way)
        EXPECT_EQ(printed().rfind("error writing value: nested deeper than " + std::to_string(DEPTH) + " levels\n", 0), 0u);
        std::string deeper;
        for (int i = 0; i <= DEPTH; ++i)
            deeper += byte(KVT_VECTOR) + byte(0) + u32(static_cast<std::uint32_t>(i + 1)) + u32(1);
        deeper += byte(0) + byte(0);
        m_printer.clear();
        EXPECT_FALSE(readValue(*vm, deeper, back));
        EXPECT_EQ(printed(), "error reading value: nested deeper than " + std::to_string(DEPTH) + " levels\n");
        EXPECT_TRUE(back.isNull());
    });
}

TEST_F(DictionaryIOTest, NothingReadIsLostInCycles)
{
    // The fixture checks that every object read is freed with the machine: objects that the
    // read leaves unreachable are emptied even where back references made them a cycle.
    const std::string selfVector = byte(KVT_VECTOR) + byte(0) + u32(1) + u32(2) + byte(KVT_VECTOR) + byte(0) +
                                   u32(1) + u32(0xffffffff);
    {
        // A failed entry (its vector is cut short after referring to itself) is taken out.
        auto vm = bareMachine();
        EXPECT_FALSE(readModule(*vm, EMPTY_DICTIONARY + EMPTY_DICTIONARY + byte(0) + str("a") + u32(3) + selfVector));
        EXPECT_EQ(vm->symbols().find(u"a"), nullptr);
    }
    {
        // A vector first met as a non-owning value, holding itself: nothing keeps it, so the
        // non-owning value is cleared and the vector freed.
        auto vm = bareMachine();
        const std::string refFirst = byte(KVT_VECTORREF) + byte(0) + u32(1) + u32(1) + byte(KVT_VECTOR) + byte(0) +
                                     u32(1) + u32(0xffffffff);
        ASSERT_TRUE(readModule(*vm, EMPTY_DICTIONARY + EMPTY_DICTIONARY + byte(0) + str("b") + u32(3) + refFirst + END));
        EXPECT_TRUE(global(*vm, u"b").isNull());
    }
    {
        // Values of the module list are dropped; a cycle among them too.
        auto vm = bareMachine();
        EXPECT_FALSE(readModule(*vm, byte(0) + str("x") + u32(3) + selfVector.substr(0, 10) + u32(1) +
                                         selfVector.substr(10) + END + EMPTY_DICTIONARY + EMPTY_DICTIONARY));
    }
}

TEST_F(DictionaryIOTest, ClassDefinitionsAreChecked)
{
    auto vm = bareMachine();
    // Data member numbers must follow the base classes' members in order; the stored size must
    // match them.
    const auto classRecord = [](std::uint32_t slot, std::uint32_t size) {
        return byte(0) + END + byte(0) + str("C") + u32(SYM_CLASS) + byte(KVT_CLASS) + byte(0) + str("C") + END +
               byte(0) + str("m") + u32(SYM_DATAMEMBER) + byte(KVT_INTEGER) + byte(0) + u32(slot) + END + byte(1) +
               END + u32(size) + END + EMPTY_DICTIONARY;
    };
    EXPECT_FALSE(readModule(*vm, classRecord(7, 1)));
    EXPECT_FALSE(readModule(*vm, classRecord(1, 3)));
    ASSERT_TRUE(readModule(*vm, classRecord(1, 1))) << printed();
    KvoClass* c = vm->classes().find(u"C")->getValue().getClass();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->getDataSize(), 1);
    // A definition is only read at the top level of an entry.
    KvoValue v;
    EXPECT_FALSE(readValue(*vm, byte(KVT_CLASS) + byte(0) + str("D") + END + EMPTY_DICTIONARY + byte(1) + END + u32(0), v));
    EXPECT_TRUE(readValue(*vm, byte(KVT_CLASS) + byte(0) + str("C") + str("$"), v));
    EXPECT_EQ(v.getClass(), c);
}

TEST_F(DictionaryIOTest, ValuesFollowEachOtherOnAnyStream)
{
    auto vm = bareMachine();
    const std::string two = valueBytes(*vm, KvoValue(new KvoString(u"first"))) + valueBytes(*vm, KvoValue(2.0));
    for (bool seekable : {true, false}) {
        Cookie cookie{two};
        std::FILE* stream = seekable ? streamWith(two) : unseekableStream(cookie);
        KvoDictionaryIO io(vm.get());
        KvoValue a, b, c;
        EXPECT_TRUE(io.readSingleValue(stream, a));
        EXPECT_TRUE(io.readSingleValue(stream, b));
        EXPECT_FALSE(io.readSingleValue(stream, c));
        EXPECT_EQ(text(a), "first");
        EXPECT_EQ(b.getDouble(), 2.0);
        EXPECT_TRUE(c.isNull());
        std::fclose(stream);
    }
}

TEST_F(DictionaryIOTest, CompilerUseDirective)
{
    const fs::path dir = fs::temp_directory_path() / ("kvouse" + std::to_string(::getpid()));
    fs::create_directories(dir);
    {
        KvoVirtualMachine lib(&m_printer);
        ASSERT_TRUE(lib.compileText(u"libTwice(n) { return 2 * n; }\n"));
        ASSERT_TRUE(lib.writeModule((dir / "twice.kvm").u16string().c_str()));
    }
    setenv("KVOLIB", dir.c_str(), 1);
    {
        KvoVirtualMachine vm(&m_printer);
        ASSERT_TRUE(vm.compileText(u"#use \"twice.kvm\"\nmain() { return libTwice(21); }\n")) << printed();
        ASSERT_TRUE(vm.execute(u"main", 0, nullptr));
        EXPECT_EQ(vm.getResult().getLong(), 42);
        m_printer.clear();
        EXPECT_FALSE(vm.compileText(u"#use \"missing.kvm\"\n"));
        EXPECT_NE(printed().find("library import failed"), std::string::npos) << printed();
    }
    unsetenv("KVOLIB");
    fs::remove_all(dir);
}

} // namespace

TEST_F(DictionaryIOTest, ModulesDefineNamesThatCompiledCodeAlreadyUses)
{
    std::string bytes;
    {
        KvoVirtualMachine vm(&m_printer);
        ASSERT_TRUE(vm.compileText(u"later() { return 5; }\n#defvar n 3\n")) << printed();
        bytes = moduleBytes(vm);
    }
    const auto countEntries = [](KvoVirtualMachine& vm, const KvoChar* name) {
        int count = 0;
        for (KvoDictionaryEntry* e = vm.symbols().getFirst(); e; e = e->getNext())
            count += e->getKey() && *e->getKey() == name;
        return count;
    };
    // Each prefix fails; a name main already uses is, in the same entry, either undefined again
    // or (read completely before the failure) defined.
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        KvoVirtualMachine vm(&m_printer);
        ASSERT_TRUE(vm.compileText(u"main() { return later() + n; }\n")) << printed();
        KvoDictionaryEntry* later = vm.symbols().find(u"later");
        ASSERT_NE(later, nullptr);
        ASSERT_FALSE(readModule(vm, bytes.substr(0, length))) << "prefix of " << length << " bytes";
        EXPECT_EQ(vm.symbols().find(u"later"), later);
        const bool undefined = later->getSymbolType() == SYM_NONE && later->getValue().getType() == KVT_NULL;
        const bool defined = later->getSymbolType() == SYM_FUNCTION && later->getValue().getType() == KVT_BYTECODE;
        EXPECT_TRUE(undefined || defined) << "prefix of " << length << " bytes";
        EXPECT_EQ(countEntries(vm, u"later"), 1);
    }
    // The whole module defines them in place: main calls what the module brought.
    KvoVirtualMachine vm(&m_printer);
    ASSERT_TRUE(vm.compileText(u"main() { return later() + n; }\n")) << printed();
    ASSERT_TRUE(readModule(vm, bytes));
    EXPECT_EQ(countEntries(vm, u"later"), 1);
    EXPECT_EQ(countEntries(vm, u"n"), 1);
    ASSERT_TRUE(vm.execute(u"main", 0, nullptr));
    EXPECT_EQ(vm.getResult().getLong(), 8);
    m_printer.clear();
}

// Tests of the standard library that scripts cannot reach: the system group's guard when a host
// calls a function without a running script, the error functions a host registers itself,
// addresses that do not fit a script integer, module loading through loadmodule, and the
// platform's time routines behind time, ctime and localtime.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include <unistd.h>

#include "KvoTestSupport.h"
#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoClock.h"
#include "platform/KvoMemory.h"
#include "platform/KvoText.h"
#include "stdlib/KvoDefaultFunctions.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"
#include "values/ValPtr.h"

namespace fs = std::filesystem;

namespace {

using KDF = KvoDefaultFunctions;

std::u16string printed(const KvoStringPrinter& printer)
{
    return printer.c_str();
}

// Calls a library function the way a host would, without a running script: the callee slot
// and the arguments sit in a vector of the test's own.
class HostCall
{
public:
    explicit HostCall(std::initializer_list<KvoValue> arguments) : m_stack(new KvoVector())
    {
        m_hold = KvoValue(m_stack);
        m_stack->push_back(KvoValue());
        for (const KvoValue& argument : arguments)
            m_stack->push_back(argument);
    }
    void add(const KvoValue& argument) { m_stack->push_back(argument); }
    bool operator()(KvoNativeFunc function, KvoVirtualMachine* vm)
    {
        const int argc = static_cast<int>(m_stack->size()) - 1;
        ValPtr args(m_stack, argc);
        const bool ok = function(vm, argc, args);
        m_leftAtCallee = args.current() == 0;
        return ok;
    }
    const KvoValue& result() const { return (*m_stack)[0]; }
    bool leftAtCallee() const { return m_leftAtCallee; }

private:
    KvoVector* m_stack;
    KvoValue m_hold;
    bool m_leftAtCallee = false;
};

// Sets the process's time zone for the lifetime of the object.
class ScopedTimeZone
{
public:
    explicit ScopedTimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            m_old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (m_old)
            setenv("TZ", m_old->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> m_old;
};

// A native for scripts: sets errno to its integer argument and returns null.
bool nativeSetErrno(KvoVirtualMachine*, int argc, ValPtr& args)
{
    args -= argc;
    errno = args[1].getLong();
    args[0] = KvoValue();
    return true;
}

// The string that nativeHostString hands to scripts (owned by the test).
KvoString* g_hostString = nullptr;

bool nativeHostString(KvoVirtualMachine*, int argc, ValPtr& args)
{
    args -= argc;
    args[0] = KvoValue(g_hostString);
    return true;
}

// The library functions of the system group that this library part provides.
struct GroupFunction {
    const char* name;
    KvoNativeFunc function;
    int argc;
};
const GroupFunction SYSTEM_GROUP[] = {
    {"rand", &KDF::Kvo_rand, 0},           {"srand", &KDF::Kvo_srand, 1},
    {"ctime", &KDF::Kvo_ctime, 1},         {"localtime", &KDF::Kvo_localtime, 1},
    {"getargs", &KDF::Kvo_getargs, 0},     {"getusrargs", &KDF::Kvo_getusrargs, 0},
    {"argcnt", &KDF::Kvo_argcnt, 0},       {"arg", &KDF::Kvo_arg, 1},
    {"addr", &KDF::Kvo_addr, 1},           {"getenv", &KDF::Kvo_getenv, 1},
    {"setenv", &KDF::Kvo_setenv, 2},       {"GetLastError", &KDF::Kvo_GetLastError, 0},
    {"GetSysErrorMsg", &KDF::Kvo_GetSysErrorMsg, 0},
};

// Every test checks that no heap object is left behind.
class LibraryTest : public LiveObjectCheck
{
};

} // namespace

// Without a running script, every function of the system group prints "missing interpreter\n"
// and fails before looking at its arguments; with no machine at all it fails silently.
TEST_F(LibraryTest, SystemGroupNeedsARunningScript)
{
    KvoStringPrinter out;
    KvoVirtualMachine vm(&out);
    for (const GroupFunction& entry : SYSTEM_GROUP) {
        SCOPED_TRACE(entry.name);
        out.clear();
        // The guard comes before any argument check, so the arguments' types do not matter.
        HostCall call({});
        for (int i = 0; i < entry.argc; ++i)
            call.add(KvoValue(new KvoString(u"A")));
        EXPECT_FALSE(call(entry.function, &vm));
        EXPECT_EQ(printed(out), u"missing interpreter\n");
        EXPECT_FALSE(call(entry.function, nullptr));
        EXPECT_EQ(printed(out), u"missing interpreter\n");
    }
}

// The other functions work for a host without a running script; a failure is only false.
TEST_F(LibraryTest, OtherFunctionsServeAHostDirectly)
{
    KvoStringPrinter out;
    KvoVirtualMachine vm(&out);
    HostCall root({KvoValue(std::int32_t{16})});
    ASSERT_TRUE(root(&KDF::Kvo_sqrt, &vm));
    EXPECT_TRUE(root.leftAtCallee());
    EXPECT_EQ(root.result().getType(), KVT_DOUBLE);
    EXPECT_EQ(root.result().getDouble(), 4.0);

    HostCall text({KvoValue(new KvoString(u" 0x10"))});
    ASSERT_TRUE(text(&KDF::Kvo_int, &vm));
    EXPECT_EQ(text.result().getLong(), 16);

    HostCall wrong({KvoValue(new KvoString(u"x"))});
    EXPECT_FALSE(wrong(&KDF::Kvo_sqrt, &vm));
    EXPECT_FALSE(wrong(&KDF::Kvo_sqrt, nullptr));
    EXPECT_EQ(printed(out), u"");
}

// GetLastError and GetSysErrorMsg are not registered; a host that registers them lets scripts
// read the thread's errno and the C library's text for it.
TEST_F(LibraryTest, ErrorFunctionsRegisteredByTheHost)
{
    KvoStringPrinter out;
    KvoVirtualMachine vm(&out);
    EXPECT_EQ(vm.symbols().find(u"GetLastError"), nullptr);
    EXPECT_EQ(vm.symbols().find(u"GetSysErrorMsg"), nullptr);
    ASSERT_TRUE(vm.registerNativeFunction(u"GetLastError", &KDF::Kvo_GetLastError));
    ASSERT_TRUE(vm.registerNativeFunction(u"GetSysErrorMsg", &KDF::Kvo_GetSysErrorMsg));
    ASSERT_TRUE(vm.registerNativeFunction(u"setErrno", &nativeSetErrno));
    ASSERT_TRUE(vm.compileText(u"lastError() { setErrno(13); return GetLastError(); }\n"
                               u"lastText() { setErrno(2); return GetSysErrorMsg(); }\n"
                               u"tooMany() { try { GetLastError(1); } catch (e) { return e; } }\n"
                               u"tooManyText() { try { GetSysErrorMsg(1, 2); } catch (e) { return e; } }\n"));

    ASSERT_TRUE(vm.execute(u"lastError", 0, nullptr));
    EXPECT_EQ(vm.getResult().getLong(), EACCES);
    ASSERT_TRUE(vm.execute(u"lastText", 0, nullptr));
    ASSERT_NE(vm.getResult().getString(), nullptr);
    EXPECT_EQ(kvoToUtf8(vm.getResult().getString()->c_str()), std::strerror(ENOENT));
    ASSERT_TRUE(vm.compileText(u"permission() { return GetSysErrorMsg(13); }"));
    ASSERT_TRUE(vm.execute(u"permission", 0, nullptr));
    EXPECT_EQ(kvoToUtf8(vm.getResult().getString()->c_str()), std::strerror(EACCES));
    ASSERT_TRUE(vm.execute(u"tooMany", 0, nullptr));
    EXPECT_EQ(kvoToUtf8(vm.getResult().getString()->c_str()), "too many arguments");
    ASSERT_TRUE(vm.execute(u"tooManyText", 0, nullptr));
    EXPECT_EQ(kvoToUtf8(vm.getResult().getString()->c_str()), "too many arguments");
}

// addr hands out an address only when a script integer holds it unchanged; otherwise (possible
// only without the low arena) the call fails instead of truncating.
TEST_F(LibraryTest, AddressesAreNeverTruncated)
{
    KvoStringPrinter out;
    KvoVirtualMachine vm(&out);
    KvoValue hold(new KvoString(u"characters"));
    g_hostString = hold.getString();
    ASSERT_TRUE(vm.registerNativeFunction(u"hostString", &nativeHostString));
    ASSERT_TRUE(vm.compileText(u"main() { return addr(hostString()); }"));
    const void* characters = g_hostString->c_str();
    KvoStringPrinter errors;
    if (kvoFitsScriptAddress(characters)) {
        ASSERT_TRUE(vm.execute(u"main", 0, nullptr, false, &errors));
        EXPECT_EQ(static_cast<std::uintptr_t>(static_cast<std::uint32_t>(vm.getResult().getLong())),
                  reinterpret_cast<std::uintptr_t>(characters));
    } else {
        EXPECT_FALSE(kvoLowArenaActive());
        EXPECT_FALSE(vm.execute(u"main", 0, nullptr, false, &errors));
        EXPECT_EQ(printed(errors), u"address does not fit in a script integer\n");
    }
    g_hostString = nullptr;
}

// loadmodule reads a module written by another machine; its functions become callable.
TEST_F(LibraryTest, LoadModuleEntersTheModulesFunctions)
{
    const fs::path path = fs::temp_directory_path() / ("kvolibrary" + std::to_string(getpid()) + ".kvm");
    {
        KvoVirtualMachine writer;
        ASSERT_TRUE(writer.compileText(u"fromModule() { return 77; }"));
        if (!writer.writeModule(kvoFromUtf8(path.c_str()).c_str()))
            GTEST_SKIP() << "module files cannot be written in this build";
    }
    KvoStringPrinter out;
    KvoVirtualMachine vm(&out);
    ASSERT_TRUE(vm.compileText(u"load(path) { return loadmodule(path); }"));
    const std::u16string modulePath = kvoFromUtf8(path.c_str());
    const KvoChar* argv[] = {modulePath.c_str()};
    ASSERT_TRUE(vm.execute(u"load", 1, argv));
    EXPECT_EQ(vm.getResult().getLong(), 1) << kvoToUtf8(out.c_str());
    ASSERT_TRUE(vm.compileText(u"use() { return fromModule(); }"));
    ASSERT_TRUE(vm.execute(u"use", 0, nullptr)) << kvoToUtf8(out.c_str());
    EXPECT_EQ(vm.getResult().getLong(), 77);

    const std::u16string missingPath = (modulePath + u".missing");
    const KvoChar* missing[] = {missingPath.c_str()};
    ASSERT_TRUE(vm.execute(u"load", 1, missing));
    EXPECT_EQ(vm.getResult().getLong(), 0);
    fs::remove(path);
}

// The platform's time routines: seconds of the system clock, local fields with months from 1,
// the full year and -1 for the fields not computed, the fixed text form, null for null input.
TEST_F(LibraryTest, PlatformTimeRoutines)
{
    const std::time_t before = std::time(nullptr);
    KvoULong stored = 0;
    const KvoULong now = kvoTime(&stored);
    EXPECT_EQ(now, stored);
    EXPECT_GE(now, static_cast<KvoULong>(before));
    EXPECT_LE(now, static_cast<KvoULong>(std::time(nullptr)));
    EXPECT_EQ(kvoTime(nullptr) - now <= 1, true);

    EXPECT_EQ(kvoLocalTime(nullptr), nullptr);
    EXPECT_EQ(kvoCTime(nullptr), nullptr);

    ScopedTimeZone utc("UTC");
    const KvoULong leapDay = 951827696; // Tue 2000-02-29 12:34:56 UTC
    const KvoTm* local = kvoLocalTime(&leapDay);
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(local->tm_sec, 56);
    EXPECT_EQ(local->tm_min, 34);
    EXPECT_EQ(local->tm_hour, 12);
    EXPECT_EQ(local->tm_mday, 29);
    EXPECT_EQ(local->tm_mon, 2);
    EXPECT_EQ(local->tm_year, 2000);
    EXPECT_EQ(local->tm_wday, 2);
    EXPECT_EQ(local->tm_yday, -1);
    EXPECT_EQ(local->tm_isdst, -1);
    EXPECT_EQ(std::u16string(kvoCTime(&leapDay)), u"Tue Feb 29 12:34:56 2000\n");
    const KvoULong last = 0xFFFFFFFFu;
    EXPECT_EQ(std::u16string(kvoCTime(&last)), u"Sun Feb 07 06:28:15 2106\n");

    const DWORD start = GetTickCount();
    EXPECT_LE(static_cast<DWORD>(GetTickCount() - start), 1000u);
}

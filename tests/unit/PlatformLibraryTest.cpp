// Tests of the dynamic-library calls (small handles, load counting, the core library alias,
// stale and bogus handles) and of how a native module's file is named and found.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/KvoClock.h"
#include "platform/KvoEnvironment.h"
#include "platform/KvoLibrary.h"
#include "platform/KvoMessageBox.h"
#include "platform/KvoPath.h"

namespace fs = std::filesystem;

namespace {

std::intptr_t handleValue(HMODULE module)
{
    return reinterpret_cast<std::intptr_t>(module);
}

std::u16string moduleFileName(const KvoChar* name)
{
    KvoChar fileName[KVO_MAX_PATH];
    EXPECT_TRUE(kvoNativeModuleFileName(name, fileName, KVO_MAX_PATH));
    return fileName;
}

TEST(PlatformLibrary, HandlesAreSmallPositiveNumbersCountedPerLoad)
{
    HMODULE first = LoadLibraryW(u"libm.so.6");
    ASSERT_NE(first, nullptr);
    EXPECT_GT(handleValue(first), 0);
    EXPECT_LE(handleValue(first), INT32_MAX);
    HMODULE second = LoadLibraryW(u"libm.so.6");
    EXPECT_EQ(second, first); // the same library keeps its handle

    auto cosine = reinterpret_cast<double (*)(double)>(GetProcAddressW(first, u"cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);

    EXPECT_NE(FreeLibrary(first), FALSE);
    EXPECT_NE(GetProcAddressW(first, u"cos"), nullptr); // one load is left
    EXPECT_NE(FreeLibrary(second), FALSE);
    errno = 0;
    EXPECT_EQ(FreeLibrary(first), FALSE); // the handle died with the last load
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(GetProcAddressW(first, u"cos"), nullptr);

    // A handle is not handed out again at once.
    HMODULE third = LoadLibraryW(u"libm.so.6");
    ASSERT_NE(third, nullptr);
    EXPECT_NE(third, first);
    EXPECT_NE(FreeLibrary(third), FALSE);
}

TEST(PlatformLibrary, CoreLibraryIsTheRuntimeFollowedByTheCLibrary)
{
    HMODULE core = LoadLibraryW(u"coredll.dll");
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(LoadLibraryW(u"COREDLL"), core);
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddressW(core, u"MessageBoxW")), reinterpret_cast<void*>(&MessageBoxW));
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddressW(core, u"GetTickCount")), reinterpret_cast<void*>(&GetTickCount));
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddressW(core, u"strlen")), reinterpret_cast<void*>(&strlen));
    EXPECT_EQ(GetProcAddressW(core, u"NoSuchFunction"), nullptr);
    EXPECT_NE(FreeLibrary(core), FALSE);
    EXPECT_NE(FreeLibrary(core), FALSE);
}

TEST(PlatformLibrary, BadArgumentsFailWithoutReachingTheLoader)
{
    EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
    EXPECT_EQ(LoadLibraryW(u""), nullptr);
    errno = 0;
    EXPECT_EQ(LoadLibraryW(u"libkivo-no-such-library.so"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(GetProcAddressW(reinterpret_cast<HMODULE>(std::intptr_t{12345678}), u"cos"), nullptr);
    EXPECT_EQ(FreeLibrary(nullptr), FALSE);
    EXPECT_EQ(FreeLibrary(reinterpret_cast<HMODULE>(std::intptr_t{-1})), FALSE);

    HMODULE library = LoadLibraryW(u"libm.so.6");
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(GetProcAddressW(library, nullptr), nullptr);
    EXPECT_EQ(GetProcAddressW(library, reinterpret_cast<const KvoChar*>(std::uintptr_t{12})), nullptr); // an ordinal
    EXPECT_NE(FreeLibrary(library), FALSE);
}

TEST(PlatformLibrary, ModuleFileNamesFollowThePlatformsRules)
{
    EXPECT_EQ(moduleFileName(u"kv2class"), u"kv2class.so");
    EXPECT_EQ(moduleFileName(u"kv2cl*ss"), u"kv2cluss.so");
    EXPECT_EQ(moduleFileName(u"kv2class.dll"), u"kv2class.so");
    EXPECT_EQ(moduleFileName(u"KV2CLASS.DLL"), u"KV2CLASS.so");
    EXPECT_EQ(moduleFileName(u"libfoo.so.2"), u"libfoo.so.2");
    EXPECT_EQ(moduleFileName(u"my.dir/module"), u"my.dir/module.so");
    EXPECT_EQ(moduleFileName(u"my.dir\\module"), u"my.dir\\module.so");

    KvoChar small[12] = {u'x'};
    EXPECT_TRUE(kvoNativeModuleFileName(u"kv2class", small, 12)); // 11 units and the zero
    EXPECT_FALSE(kvoNativeModuleFileName(u"kv2classes", small, 12));
    EXPECT_EQ(small[0], 0);
    EXPECT_FALSE(kvoNativeModuleFileName(u"", small, 12));
    EXPECT_FALSE(kvoNativeModuleFileName(nullptr, small, 12));
}

class PlatformModuleSearch : public ::testing::Test
{
protected:
    PlatformModuleSearch()
    {
        std::string pattern = (fs::temp_directory_path() / "kvolibXXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        if (const char* old = std::getenv("XDG_CONFIG_HOME"))
            m_oldConfig = old;
        setenv("XDG_CONFIG_HOME", (m_root / "config").c_str(), 1);
    }
    ~PlatformModuleSearch() override
    {
        if (m_oldConfig)
            setenv("XDG_CONFIG_HOME", m_oldConfig->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(m_root);
    }

    static std::u16string find(const KvoChar* name)
    {
        KvoChar path[KVO_MAX_PATH];
        EXPECT_TRUE(kvoFindNativeModule(name, path, KVO_MAX_PATH));
        return path;
    }

    fs::path m_root;
    std::optional<std::string> m_oldConfig;
};

TEST_F(PlatformModuleSearch, RuntimeDirectoryHoldsTheRuntime)
{
    KvoChar directory[KVO_MAX_PATH];
    ASSERT_TRUE(kvoRuntimeDirectory(directory, KVO_MAX_PATH));
    const fs::path runtime(std::u16string{directory});
    EXPECT_TRUE(runtime.is_absolute());
    EXPECT_TRUE(fs::exists(runtime / "libkvolib.so"));
    KvoChar tooSmall[2];
    EXPECT_FALSE(kvoRuntimeDirectory(tooSmall, 2));
}

TEST_F(PlatformModuleSearch, PathComesFirstThenTheRuntimeDirectoryThenTheLoader)
{
    fs::create_directories(m_root / "mods");
    std::ofstream(m_root / "mods" / "mud.so") << "not really a library";

    // Not on any list: the bare file name, for the loader to search.
    EXPECT_EQ(find(u"mud"), u"mud.so");
    ASSERT_EQ(kvoSetEnv(u"Path", (m_root / "mods").u16string().c_str()), 0);
    EXPECT_EQ(find(u"m*d.dll"), (m_root / "mods" / "mud.so").u16string());

    KvoChar directory[KVO_MAX_PATH];
    ASSERT_TRUE(kvoRuntimeDirectory(directory, KVO_MAX_PATH));
    EXPECT_EQ(find(u"libkvolib"), std::u16string(directory) + u"/libkvolib.so");

    KvoChar path[KVO_MAX_PATH];
    EXPECT_FALSE(kvoFindNativeModule(nullptr, path, KVO_MAX_PATH));
    EXPECT_FALSE(kvoFindNativeModule(u"mud", path, 4));
}

} // namespace

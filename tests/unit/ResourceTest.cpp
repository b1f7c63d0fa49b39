// Tests of the runtime's resources: file handles that a closed stream's copies can never reuse,
// machines that close the files their scripts left open, lines and results bounded before they
// are allocated, and the message with which the process ends when memory runs out.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include <unistd.h>

#include "KvoTestSupport.h"
#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoFile.h"
#include "platform/KvoMemory.h"
#include "platform/KvoText.h"
#include "stdlib/KvoFileTable.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"
#include "values/ValPtr.h"

namespace fs = std::filesystem;

namespace {

// The number of descriptors the process has open.
std::size_t openDescriptors()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// A file path of this test process, removed again when the object goes.
class TempPath
{
public:
    explicit TempPath(const std::string& name)
        : m_path(fs::temp_directory_path() / ("kvoresource" + std::to_string(getpid()) + name))
    {
    }
    ~TempPath() { fs::remove(m_path); }
    TempPath(const TempPath&) = delete;
    TempPath& operator=(const TempPath&) = delete;

    std::string utf8() const { return m_path.string(); }
    std::u16string text() const { return kvoFromUtf8(m_path.c_str()); }

private:
    fs::path m_path;
};

// Compiles and runs main() of source on vm; the run's error text (empty when it succeeded).
std::string run(KvoVirtualMachine& vm, const std::u16string& source, int argc = 0, const KvoChar** argv = nullptr)
{
    KvoStringPrinter errors;
    if (!vm.compileText(source.c_str(), false, false, &errors))
        return "compile: " + kvoToUtf8(errors.c_str());
    if (!vm.execute(u"main", argc, argv, false, &errors))
        return "run: " + kvoToUtf8(errors.c_str());
    return "";
}

// The value that nativeHandedFile hands to scripts.
KvoValue g_handedFile;

bool nativeHandedFile(KvoVirtualMachine*, int argc, ValPtr& args)
{
    args -= argc;
    args[0] = g_handedFile;
    return true;
}

class ResourceTest : public LiveObjectCheck
{
};

} // namespace

// Every stream entered gets a handle of its own that no later stream ever gets, so a handle kept
// past its stream's close is refused forever, even when the C library hands the same stream
// object out again.
TEST_F(ResourceTest, FileHandlesAreNeverGivenOutTwice)
{
    std::set<void*> handles;
    std::set<std::FILE*> streams;
    void* first = nullptr;
    for (int i = 0; i < 500; ++i) {
        std::FILE* stream = std::tmpfile();
        ASSERT_NE(stream, nullptr);
        streams.insert(stream);
        void* handle = KvoFileTable::add(stream);
        ASSERT_NE(handle, nullptr);
        EXPECT_NE(handle, static_cast<void*>(stream));
        EXPECT_TRUE(handles.insert(handle).second) << "handle given out twice";
        EXPECT_EQ(KvoFileTable::streamOf(handle), stream);
        EXPECT_EQ(KvoFileTable::add(stream), handle) << "a stream entered again keeps its handle";
        if (!first)
            first = handle;
        EXPECT_EQ(KvoFileTable::close(handle), 0);
        EXPECT_EQ(KvoFileTable::streamOf(handle), nullptr);
        EXPECT_EQ(KvoFileTable::close(handle), EOF);
        EXPECT_EQ(KvoFileTable::streamOf(first), nullptr);
    }
    // The C library normally reuses its stream objects (not under a sanitizer, which holds freed
    // memory back); the handles stay unique all the same.
    EXPECT_LE(streams.size(), handles.size());

    // A stream taken out of the table is refused by its old handle, and entered again it gets
    // a new one.
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    void* handle = KvoFileTable::add(stream);
    EXPECT_TRUE(KvoFileTable::remove(stream));
    EXPECT_FALSE(KvoFileTable::remove(stream));
    EXPECT_FALSE(KvoFileTable::isOpen(handle));
    void* again = KvoFileTable::add(stream);
    EXPECT_NE(again, handle);
    EXPECT_EQ(KvoFileTable::close(again), 0);

    // The standard streams are their own handles, always open and never closed here.
    for (std::FILE* standard : {stdin, stdout, stderr}) {
        EXPECT_EQ(KvoFileTable::add(standard), static_cast<void*>(standard));
        EXPECT_EQ(KvoFileTable::streamOf(standard), standard);
        EXPECT_EQ(KvoFileTable::close(standard), EOF);
        EXPECT_TRUE(KvoFileTable::isOpen(standard));
    }
    EXPECT_EQ(KvoFileTable::add(nullptr), nullptr);
    EXPECT_EQ(KvoFileTable::streamOf(nullptr), nullptr);
    EXPECT_EQ(KvoFileTable::close(nullptr), EOF);
}

// closeOwnedBy closes exactly the streams entered for that owner.
TEST_F(ResourceTest, OwnersCloseOnlyTheirOwnStreams)
{
    int ownerA = 0;
    int ownerB = 0;
    void* a1 = KvoFileTable::add(std::tmpfile(), &ownerA);
    void* a2 = KvoFileTable::add(std::tmpfile(), &ownerA);
    void* b = KvoFileTable::add(std::tmpfile(), &ownerB);
    void* hosts = KvoFileTable::add(std::tmpfile());
    EXPECT_EQ(KvoFileTable::closeOwnedBy(nullptr), 0u);
    EXPECT_EQ(KvoFileTable::closeOwnedBy(&ownerA), 2u);
    EXPECT_FALSE(KvoFileTable::isOpen(a1));
    EXPECT_FALSE(KvoFileTable::isOpen(a2));
    EXPECT_TRUE(KvoFileTable::isOpen(b));
    EXPECT_TRUE(KvoFileTable::isOpen(hosts));
    EXPECT_EQ(KvoFileTable::closeOwnedBy(&ownerA), 0u);
    EXPECT_EQ(KvoFileTable::closeOwnedBy(&ownerB), 1u);
    EXPECT_TRUE(KvoFileTable::isOpen(hosts));
    EXPECT_EQ(KvoFileTable::close(hosts), 0);
}

// A host that creates a machine per request: the files each script leaves open are closed when
// its machine goes, so descriptors do not pile up.
TEST_F(ResourceTest, ReleasedMachinesCloseTheFilesTheirScriptsLeftOpen)
{
    TempPath path("leftopen.txt");
    {
        std::FILE* create = std::fopen(path.utf8().c_str(), "w");
        ASSERT_NE(create, nullptr);
        std::fclose(create);
    }
    const std::u16string source = u"main(path; f) { f = fopen(path, \"r\"); return f != null; }";
    const std::u16string name = path.text();
    const KvoChar* argv[] = {name.c_str()};
    const std::size_t before = openDescriptors();
    for (int i = 0; i < 2000; ++i) {
        KvoVirtualMachine vm;
        ASSERT_EQ(run(vm, source, 1, argv), "");
        ASSERT_EQ(vm.getResult().getLong(), 1);
    }
    EXPECT_EQ(openDescriptors(), before);
}

// reinit closes the machine's files too; releasing one machine leaves another machine's files
// and the standard streams alone, and a file value that outlives its machine is refused.
TEST_F(ResourceTest, MachinesCloseOnlyTheirOwnFiles)
{
    TempPath path("kept.txt");
    const std::u16string name = path.text();
    const KvoChar* argv[] = {name.c_str()};
    const std::u16string openSource = u"main(path) { return fopen(path, \"w\"); }";

    KvoVirtualMachine keeper;
    ASSERT_EQ(run(keeper, openSource, 1, argv), "");
    const KvoValue kept = keeper.getResult();
    ASSERT_EQ(kept.getType(), KVT_FILE);

    KvoValue stale;
    {
        KvoVirtualMachine passing;
        ASSERT_EQ(run(passing, openSource, 1, argv), "");
        stale = passing.getResult();
        ASSERT_TRUE(KvoFileTable::isOpen(stale.getFile()));
    }
    EXPECT_FALSE(KvoFileTable::isOpen(stale.getFile()));
    EXPECT_TRUE(KvoFileTable::isOpen(kept.getFile()));
    EXPECT_TRUE(KvoFileTable::isOpen(stdout));

    // The keeper's script still writes through its file; the stale value, handed to it, is
    // refused.
    ASSERT_TRUE(keeper.registerNativeFunction(u"handed", &nativeHandedFile));
    g_handedFile = kept;
    EXPECT_EQ(run(keeper, u"main() { return fputs(\"kept\", handed()); }"), "");
    EXPECT_GE(keeper.getResult().getLong(), 0);
    g_handedFile = stale;
    EXPECT_EQ(run(keeper, u"main() { try { fputs(\"lost\", handed()); } catch (e) { return e; } }"), "");
    ASSERT_NE(keeper.getResult().getString(), nullptr);
    EXPECT_EQ(std::u16string(keeper.getResult().getString()->c_str()), u"file is closed");
    g_handedFile = KvoValue();

    // reinit drops the keeper's file as well.
    keeper.reinit();
    EXPECT_FALSE(KvoFileTable::isOpen(kept.getFile()));
    EXPECT_TRUE(KvoFileTable::isOpen(stdin));
    // Closing flushed what the script wrote.
    std::FILE* written = std::fopen(path.utf8().c_str(), "r");
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(contentsOf(written), "kept");
    std::fclose(written);
}

// Lines are read up to a bound: a longer one is refused after one unit past it, and what
// follows stays in the stream.
TEST_F(ResourceTest, LinesAreReadUpToTheBound)
{
    std::FILE* stream = streamWith("abcd\nabcde\nab\xC3\xA9" "d\nabcdef");
    std::u16string line;
    EXPECT_TRUE(kvoReadLine(stream, false, 4, line));
    EXPECT_EQ(line, u"abcd");
    EXPECT_FALSE(kvoReadLine(stream, false, 4, line));
    EXPECT_EQ(line, u"abcd");
    // The refused line's last unit was consumed; its line feed was not.
    EXPECT_TRUE(kvoReadLine(stream, false, 4, line));
    EXPECT_EQ(line, u"");
    // Wide reading counts decoded units: four of them in five bytes.
    EXPECT_TRUE(kvoReadLine(stream, true, 4, line));
    EXPECT_EQ(line, u"ab\u00E9d");
    // The last line ends at the end of the file.
    EXPECT_FALSE(kvoReadLine(stream, true, 5, line));
    EXPECT_TRUE(kvoReadLine(stream, true, 5, line));
    EXPECT_EQ(line, u"");
    EXPECT_TRUE(std::feof(stream));
    std::fclose(stream);

    // A bound of 0 allows only empty lines; a null stream gives an empty line.
    stream = streamWith("\nx");
    EXPECT_TRUE(kvoReadLine(stream, false, 0, line));
    EXPECT_FALSE(kvoReadLine(stream, false, 0, line));
    std::fclose(stream);
    line = u"old";
    EXPECT_TRUE(kvoReadLine(nullptr, true, 10, line));
    EXPECT_EQ(line, u"");
}

// Scripts read lines through fgets, fgetws and gets (from a stream channel) as before.
TEST_F(ResourceTest, ScriptsReadLinesThroughTheBoundedReader)
{
    TempPath path("lines.txt");
    {
        std::FILE* create = std::fopen(path.utf8().c_str(), "wb");
        ASSERT_NE(create, nullptr);
        std::fputs("one\r\ntw\xC3\xB6\nthree", create);
        std::fclose(create);
    }
    const std::u16string name = path.text();
    const KvoChar* argv[] = {name.c_str()};
    KvoVirtualMachine vm;
    ASSERT_EQ(run(vm,
                  u"main(path; f, a, b, c, d) { f = fopen(path, \"rb\"); a = fgets(f); b = fgetws(f);"
                  u" c = fgets(f); d = fgets(f); fclose(f);"
                  u" return newstring(\"%d %d %d %s %d\", strlen(a), strlen(b), b[2], c, strlen(d)); }",
                  1, argv),
              "");
    ASSERT_NE(vm.getResult().getString(), nullptr);
    EXPECT_EQ(std::u16string(vm.getResult().getString()->c_str()), u"4 3 246 three 0");

    std::FILE* input = std::fopen(path.utf8().c_str(), "rb");
    ASSERT_NE(input, nullptr);
    KvoFileStreamInput channel(input, true);
    vm.setCurrentInput(&channel);
    ASSERT_EQ(run(vm, u"main(; a, b, c) { a = gets(); b = gets(); c = gets(); return newstring(\"%s|%d|%s|%s\", a, b[2], c, gets()); }"),
              "");
    vm.setCurrentInput(nullptr);
    ASSERT_NE(vm.getResult().getString(), nullptr);
    EXPECT_EQ(std::u16string(vm.getResult().getString()->c_str()), u"one\r|246|three|");
}

// The bounded forms of replacement and formatting refuse a result past the bound before they
// change anything; up to the bound they give what the unbounded forms give.
TEST_F(ResourceTest, ReplacementAndFormattingStopAtTheBound)
{
    KvoString text(u"aXbXc");
    EXPECT_FALSE(text.replace(KvoString(u"X"), KvoString(u"----"), 10));
    EXPECT_EQ(std::u16string(text.c_str()), u"aXbXc");
    EXPECT_TRUE(text.replace(KvoString(u"X"), KvoString(u"---"), 9));
    EXPECT_EQ(std::u16string(text.c_str()), u"a---b---c");
    EXPECT_EQ(text.length(), 9u);
    // The string may be its own replacement; an empty result leaves no text.
    KvoString self(u"ab");
    EXPECT_TRUE(self.replace(KvoString(u"b"), self, 100));
    EXPECT_EQ(std::u16string(self.c_str()), u"aab");
    EXPECT_TRUE(self.replace(KvoString(u"a"), KvoString(u""), 100));
    EXPECT_TRUE(self.replace(KvoString(u"b"), KvoString(u""), 100));
    EXPECT_FALSE(self.hasText());

    KvoVector* values = new KvoVector();
    KvoValue hold(values);
    values->push_back(KvoValue(new KvoString(u"long text")));
    values->push_back(KvoValue(std::int32_t{42}));
    ValPtr args(values, 0);
    KvoString out(u"unchanged");
    // "long text-   42!" has 16 characters.
    EXPECT_FALSE(KvoString::formatScript(out, u"%s-%5d!", 2, args, 15));
    EXPECT_EQ(std::u16string(out.c_str()), u"unchanged");
    EXPECT_FALSE(KvoString::formatScript(out, u"%s-%5d!", 2, args, 8));
    EXPECT_TRUE(KvoString::formatScript(out, u"%s-%5d!", 2, args, 16));
    EXPECT_EQ(std::u16string(out.c_str()), u"long text-   42!");
    EXPECT_EQ(std::u16string(KvoString(u"%s-%5d!", 2, args).c_str()), u"long text-   42!");
    // A field width counts too, and leading text and %n are pieces of their own.
    EXPECT_FALSE(KvoString::formatScript(out, u"%100d", 1, args, 99));
    EXPECT_TRUE(KvoString::formatScript(out, u"ab%n", 1, args, 4));
    EXPECT_EQ(std::u16string(out.c_str()), u"ab%n");
    EXPECT_FALSE(KvoString::formatScript(out, u"ab%n", 1, args, 3));
}

// When memory runs out the process says so on standard error before it ends with code 1.
TEST(ResourceDeathTest, RunningOutOfMemoryIsReported)
{
    // A vector cannot grow past what 32 bits count.
    EXPECT_EXIT(
        {
            KvoVector vector;
            vector.growToIndex(UINT32_MAX);
        },
        ::testing::ExitedWithCode(1), "out of memory\n$");
#if !defined(__SANITIZE_ADDRESS__)
    // (AddressSanitizer reports an impossible request itself instead of returning null.)
    EXPECT_EXIT(allocmem(PTRDIFF_MAX), ::testing::ExitedWithCode(1), "out of memory\n$");
    EXPECT_EXIT(reallocmem(allocmem(16), PTRDIFF_MAX), ::testing::ExitedWithCode(1), "out of memory\n$");
#endif
}

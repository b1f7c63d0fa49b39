// The public face of module files and single value records: opening files by path and handing
// streams to KvoModuleWriter and KvoModuleReader (the encoding is described in
// KvoModuleFormat.h).
#include "host/KvoDictionaryIO.h"

#include "host/KvoModuleFormat.h"
#include "host/KvoModuleReader.h"
#include "host/KvoModuleWriter.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoFile.h"

using namespace kvo_module;

namespace {

// Permission bits of a module file that did not exist before (the process's umask applies); an
// existing file keeps its own.
constexpr unsigned NEW_MODULE_MODE = 0666;

// What kvoReplaceFile's writer needs, and what it tells afterwards.
struct ModuleWrite {
    KvoVirtualMachine* vm;
    bool started = false; // the file was opened and the writer ran
    bool written = false; // the writer succeeded
};

bool writeModuleContent(std::FILE* file, void* context)
{
    auto* job = static_cast<ModuleWrite*>(context);
    job->started = true;
    job->written = KvoModuleWriter(*job->vm, file).writeModule();
    return job->written;
}

} // namespace

KvoDictionaryIO::KvoDictionaryIO(KvoVirtualMachine* vm) : m_vm(vm) {}

KvoDictionaryIO::~KvoDictionaryIO() = default;

bool KvoDictionaryIO::writeModule(const KvoChar* path)
{
    if (!m_vm || !path)
        return false;
    ModuleWrite job{m_vm};
    if (kvoReplaceFile(path, NEW_MODULE_MODE, &writeModuleContent, &job) == 0)
        return true;
    // A writer that failed has said why.
    if (!job.started)
        m_vm->printer()(MSG_OPEN_WRITE, path);
    else if (job.written)
        m_vm->printer()(MSG_WRITE_FILE, path);
    return false;
}

bool KvoDictionaryIO::writeModule(std::FILE* file)
{
    return m_vm && file && KvoModuleWriter(*m_vm, file).writeModule();
}

bool KvoDictionaryIO::readModule(const KvoChar* path)
{
    if (!m_vm || !path)
        return false;
    std::FILE* file = kvoOpenFile(path, u"rb");
    if (!file) {
        m_vm->printer()(MSG_OPEN_READ, path);
        return false;
    }
    const bool ok = readModule(file);
    std::fclose(file);
    return ok;
}

bool KvoDictionaryIO::readModule(std::FILE* file)
{
    return m_vm && file && KvoModuleReader(*m_vm, file).readModule();
}

bool KvoDictionaryIO::writeSingleValue(std::FILE* file, const KvoValue& value)
{
    return m_vm && file && KvoModuleWriter(*m_vm, file).writeSingle(value);
}

bool KvoDictionaryIO::readSingleValue(std::FILE* file, KvoValue& value)
{
    if (!m_vm || !file) {
        value.dispose();
        return false;
    }
    return KvoModuleReader(*m_vm, file).readSingle(value);
}

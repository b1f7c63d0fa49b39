// KivoSession: compiling and running for the kivo command (see KivoSession.h).
#include "KivoSession.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "KvoDriverSupport.h"
#include "compiler/KvoCompiler.h"
#include "host/KvoStringPrinter.h"
#include "platform/KvoText.h"
#include "values/KvoDictionary.h"

void kivoComplain(const std::string& text)
{
    std::fflush(stdout);
    std::fprintf(stderr, "kivo: %s\n", text.c_str());
    std::fflush(stderr);
}

KivoSession::KivoSession() : m_output(stdout, false), m_errors(stderr, false), m_vm(&m_output)
{
    m_vm.setGenerateLineInfo(true);
    m_vm.setRecordCallChain(true);
}

bool KivoSession::compileText(const std::u16string& text, const std::u16string& name, IKvoPrinter* diagnostics)
{
    std::fflush(stdout);
    KvoCompiler compiler(m_vm, diagnostics ? diagnostics : &m_errors);
    compiler.setGenerateLineInfo(m_vm.getGenerateLineInfo());
    const bool ok = compiler.compile(text.c_str(), name.c_str());
    std::fflush(stderr);
    return ok;
}

bool KivoSession::compileFile(const std::string& path)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        complain("cannot open '" + path + "': " + std::strerror(errno));
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        complain("'" + path + "' is a directory, not a script");
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        complain("cannot open '" + path + "': " + std::strerror(errno));
        return false;
    }
    std::fflush(stdout);
    KvoCompiler compiler(m_vm, &m_errors);
    compiler.setGenerateLineInfo(m_vm.getGenerateLineInfo());
    const std::u16string name = kvoFromUtf8(path.c_str());
    const bool ok = compiler.compile(file, name.c_str()); // closes the file
    std::fflush(stderr);
    return ok;
}

bool KivoSession::hasFunction(const KvoChar* name)
{
    const KvoDictionaryEntry* entry = m_vm.symbols().find(name);
    return entry && entry->getSymbolType() == SYM_FUNCTION;
}

KivoSession::Outcome KivoSession::run(const KvoChar* function, int argc, const KvoChar** argv)
{
    KvoStringPrinter errorText;
    const bool ok = m_vm.execute(function, argc, argv, false, &errorText, nullptr);
    std::fflush(stdout);
    if (m_vm.exitRequested())
        return Outcome::EXITED;
    if (ok)
        return Outcome::RETURNED;
    reportError(errorText.c_str());
    return Outcome::FAILED;
}

void KivoSession::complain(const std::string& text)
{
    kivoComplain(text);
}

void KivoSession::renameInChain(const std::u16string& from, const std::u16string& to)
{
    m_hiddenName = from;
    m_shownName = to;
}

void KivoSession::reportError(const std::u16string& errorText)
{
    std::u16string message = errorText;
    while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r'))
        message.pop_back();
    std::string report;
    const KvoTraceback& chain = m_vm.callChain();
    if (const KvoTraceback::Call* where = chain.innermostPosition()) {
        report = kvoToUtf8(where->source.data(), where->source.size()) + ":" + std::to_string(where->line) + ": ";
    } else {
        report = "error: ";
    }
    report += kvoToUtf8(message.data(), message.size()) + "\n";
    std::string calls = kvoCallChainReport(m_vm);
    if (!m_hiddenName.empty()) {
        const std::string from = kvoToUtf8(m_hiddenName.data(), m_hiddenName.size());
        const std::string to = kvoToUtf8(m_shownName.data(), m_shownName.size());
        for (std::size_t at = calls.find(from); at != std::string::npos; at = calls.find(from, at + to.size()))
            calls.replace(at, from.size(), to);
    }
    std::fflush(stdout);
    std::fputs((report + calls).c_str(), stderr);
    std::fflush(stderr);
}

// Pieces the two command-line programs share (see KvoDriverSupport.h).
#include "KvoDriverSupport.h"

#include <climits>
#include <unistd.h>

#include "host/KvoVirtualMachine.h"
#include "platform/KvoText.h"

std::u16string kvoExecutablePath(const char* argv0)
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return kvoFromUtf8(argv0);
    return kvoFromUtf8(path, static_cast<std::size_t>(length));
}

std::string kvoCallChainReport(const KvoVirtualMachine& vm)
{
    const KvoTraceback& chain = vm.callChain();
    if (chain.empty())
        return {};
    const std::u16string lines = chain.format();
    return "call chain (innermost first):\n" + kvoToUtf8(lines.data(), lines.size());
}

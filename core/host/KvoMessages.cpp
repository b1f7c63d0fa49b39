// Registration of the runtime's window messages. Each accessor registers its name on first use
// (a function-local static, so it is safe from any static initialiser), and one static
// initialiser calls them all when the library is loaded.
#include "host/KvoMessages.h"

#include "platform/KvoWindows.h"

UINT kvoPrintStringMsg()
{
    static const UINT id = RegisterWindowMessageW(u"KvoPrintStringMsg");
    return id;
}

UINT kvoStringInputMsg()
{
    static const UINT id = RegisterWindowMessageW(u"KvoStringInputMsg");
    return id;
}

UINT kvoCharInputMsg()
{
    static const UINT id = RegisterWindowMessageW(u"KvoCharInputMsg");
    return id;
}

UINT kvoBreakRequestMsg()
{
    static const UINT id = RegisterWindowMessageW(u"KvoBreakRequestMsg");
    return id;
}

UINT kvoDbgWaitMsg()
{
    static const UINT id = RegisterWindowMessageW(u"KvoDbgWaitMsg");
    return id;
}

UINT kvoLineChangedMsg()
{
    static const UINT id = RegisterWindowMessageW(u"KvoLineChangedMsg");
    return id;
}

namespace {

// Registers the six names while the library is being loaded.
struct MessageRegistration {
    MessageRegistration()
    {
        kvoPrintStringMsg();
        kvoStringInputMsg();
        kvoCharInputMsg();
        kvoBreakRequestMsg();
        kvoDbgWaitMsg();
        kvoLineChangedMsg();
    }
};

const MessageRegistration registrationAtLoad;

} // namespace

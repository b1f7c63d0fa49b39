// The registered window messages through which the runtime talks to host windows: printed text,
// the host's input protocol, and the machine's break-request, debugger-wait and line-changed
// notifications. The six names are registered once per process, when libkvolib is loaded, so
// every channel and every machine sees the same numbers.
#pragma once

#include "platform/KvoWinTypes.h"

// "KvoPrintStringMsg": sent by the window printer for each print with output; wParam points at
// the UTF-8 text, lParam at the UTF-16 text, both valid only while the message is handled.
KVO_API UINT kvoPrintStringMsg();
// "KvoStringInputMsg" and "KvoCharInputMsg": never sent by the runtime; offered to hosts for
// their own input protocol around the window input channel.
KVO_API UINT kvoStringInputMsg();
KVO_API UINT kvoCharInputMsg();
// "KvoBreakRequestMsg": the machine's break-request poll (wParam = machine). A reply equal to
// the message number asks for a break.
KVO_API UINT kvoBreakRequestMsg();
// "KvoDbgWaitMsg": the machine's debugger wait (wParam = machine). A reply equal to the message
// number goes on stepping.
KVO_API UINT kvoDbgWaitMsg();
// "KvoLineChangedMsg": execution reached a new source line (wParam = machine, lParam = line). A
// reply equal to the message number starts stepping.
KVO_API UINT kvoLineChangedMsg();

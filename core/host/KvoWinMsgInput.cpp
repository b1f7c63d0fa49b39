// KvoWinMsgInput: the message numbers of the host's input protocol.
#include "host/KvoWinMsgInput.h"

#include "host/KvoMessages.h"

UINT KvoWinMsgInput::getStringInputMsg()
{
    return kvoStringInputMsg();
}

UINT KvoWinMsgInput::getCharInputMsg()
{
    return kvoCharInputMsg();
}

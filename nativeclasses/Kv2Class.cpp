// kv2class: the plug-in that scripts import with #import "kv2class". Its one export,
// RegisterNativeModule, registers the container classes (String, Vector, Dictionary,
// DictIterator), the structure class Struct, the record classes (POINT, SIZE, RECT, ACCEL, MSG),
// the window classes (WinMsgHandler, WinBase) and FileDialog with the machine that loads it. The
// plug-in is a client of libkvolib's exported interface only.
#include "nativeclasses/KvoNativeClassBuilder.h"

extern "C" KVO_API void RegisterNativeModule(KvoVirtualMachine* vm)
{
    if (!vm)
        return;
    // The designed order: SIZE derives from POINT and is registered only when POINT is there.
    kv2RegisterString(vm);
    kv2RegisterStruct(vm);
    kv2RegisterVector(vm);
    kv2RegisterDictIterator(vm);
    kv2RegisterDictionary(vm);
    kv2RegisterPoint(vm);
    kv2RegisterSize(vm);
    kv2RegisterRect(vm);
    kv2RegisterAccel(vm);
    kv2RegisterMsg(vm);
    kv2RegisterWinMsgHandler(vm);
    kv2RegisterWinBase(vm);
    kv2RegisterFileDialog(vm);
}

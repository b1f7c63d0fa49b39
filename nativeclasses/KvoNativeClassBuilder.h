// Registration of the plug-in's classes with a machine, in the designed steps: create the class,
// enter it under its name (a name that is already taken skips the class without a message),
// set its base, add its data members and then its methods in table order, number the data
// members, and look up the slot of each member that native code reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "host/KvoVirtualMachine.h"
#include "values/KvoClass.h"

// One method of a registration table.
struct KvoMethodRegistration {
    const KvoChar* name;
    KvoNativeFunc function;
};

// A data member whose slot index the plug-in caches (a module-wide variable, set again by
// every registration).
struct KvoMemberRegistration {
    const KvoChar* name;
    std::int32_t* index;
};

// Registers class name with vm. base: the base class (null for none). Returns the class, or
// null when the name was taken (nothing else is done then).
KvoClass* kvoRegisterClass(KvoVirtualMachine* vm, const KvoChar* name, KvoClass* base,
                           std::initializer_list<KvoMemberRegistration> members,
                           const KvoMethodRegistration* methods, std::size_t methodCount);

// The registration functions of the classes, called by RegisterNativeModule in the designed
// order. Each does nothing more when its class's name is taken.
void kv2RegisterString(KvoVirtualMachine* vm);
void kv2RegisterStruct(KvoVirtualMachine* vm);
void kv2RegisterVector(KvoVirtualMachine* vm);
void kv2RegisterDictIterator(KvoVirtualMachine* vm);
void kv2RegisterDictionary(KvoVirtualMachine* vm);
void kv2RegisterPoint(KvoVirtualMachine* vm);
void kv2RegisterSize(KvoVirtualMachine* vm);
void kv2RegisterRect(KvoVirtualMachine* vm);
void kv2RegisterAccel(KvoVirtualMachine* vm);
void kv2RegisterMsg(KvoVirtualMachine* vm);
void kv2RegisterWinMsgHandler(KvoVirtualMachine* vm);
void kv2RegisterWinBase(KvoVirtualMachine* vm);
void kv2RegisterFileDialog(KvoVirtualMachine* vm);

// Typed views of a value's payload for the interpreter's hot paths: the same answers as
// KvoValue's accessors, inline, without the out-of-line calls. Internal to the interpreter.
#pragma once

#include "values/KvoBuffer.h"
#include "values/KvoObject.h"
#include "values/KvoRefObject.h"
#include "values/KvoValue.h"
#include "values/KvoVector.h"

// The payload as an object of type T, whatever the value's type says: only after the kind was
// checked through getType() (a dead reference reads as null there).
template <typename T>
inline T* payloadAs(const KvoValue& value) noexcept
{
    return static_cast<T*>(static_cast<KvoRefObject*>(value.storedPointer()));
}

// The views below switch on the stored kind and ask whether the object lives only for a
// reference kind, so that owning kinds pay nothing for references.

// The object of a value of the owning kind `owning` or of its reference twin `reference`
// (alive), else null.
template <typename T>
inline T* objectOfKinds(const KvoValue& value, KvoValueType owning, KvoValueType reference) noexcept
{
    KvoValueType type = value.storedType();
    if (type == owning)
        return payloadAs<T>(value);
    if (type == reference && !value.isDeadReference())
        return payloadAs<T>(value);
    return nullptr;
}

// The buffer of a buffer value (owning or reference), else null.
inline KvoBuffer* bufferOf(const KvoValue& value) noexcept
{
    return objectOfKinds<KvoBuffer>(value, KVT_BUFFER, KVT_BUFFERREF);
}

// The vector of any vector kind (vectors, procedures, local-variable information), else null.
inline KvoVector* vectorOf(const KvoValue& value) noexcept
{
    switch (value.storedType()) {
    case KVT_VECTOR:
    case KVT_BYTECODE:
    case KVT_LOCALVARINFO:
        return payloadAs<KvoVector>(value);
    case KVT_VECTORREF:
    case KVT_BYTECODEREF:
        return value.isDeadReference() ? nullptr : payloadAs<KvoVector>(value);
    default:
        return nullptr;
    }
}

// The object of an object value (owning or reference), else null.
inline KvoObject* objectOf(const KvoValue& value) noexcept
{
    return objectOfKinds<KvoObject>(value, KVT_OBJECT, KVT_OBJECTREF);
}

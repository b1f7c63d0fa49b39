// Typed views of a value's payload for the interpreter's hot paths: the same answers as
// KvoValue's accessors, inline, without the out-of-line calls. Internal to the interpreter.
#pragma once

#include "values/KvoBuffer.h"
#include "values/KvoObject.h"
#include "values/KvoRefObject.h"
#include "values/KvoValue.h"
#include "values/KvoVector.h"

// The payload as an object of type T, whatever the value's type says.
template <typename T>
inline T* payloadAs(const KvoValue& value) noexcept
{
    return static_cast<T*>(static_cast<KvoRefObject*>(value.ptr()));
}

// The buffer of a buffer value (owning or reference), else null.
inline KvoBuffer* bufferOf(const KvoValue& value) noexcept
{
    KvoValueType type = value.getType();
    return type == KVT_BUFFER || type == KVT_BUFFERREF ? payloadAs<KvoBuffer>(value) : nullptr;
}

// The vector of any vector kind (vectors, procedures, local-variable information), else null.
inline KvoVector* vectorOf(const KvoValue& value) noexcept
{
    switch (value.getType()) {
    case KVT_VECTOR:
    case KVT_VECTORREF:
    case KVT_BYTECODE:
    case KVT_BYTECODEREF:
    case KVT_LOCALVARINFO:
        return payloadAs<KvoVector>(value);
    default:
        return nullptr;
    }
}

// The object of an object value (owning or reference), else null.
inline KvoObject* objectOf(const KvoValue& value) noexcept
{
    KvoValueType type = value.getType();
    return type == KVT_OBJECT || type == KVT_OBJECTREF ? payloadAs<KvoObject>(value) : nullptr;
}

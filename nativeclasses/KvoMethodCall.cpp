// The common checks of the plug-in's methods (see KvoMethodCall.h).
#include "nativeclasses/KvoMethodCall.h"

#include <utility>

#include "platform/KvoMemory.h"

bool KvoMethodCall::needThis()
{
    m_self = m_argc >= 1 ? m_base[1].getObject() : nullptr;
    if (!m_self)
        return fail(KV2_BAD_THIS);
    // The slot holds the receiver for the whole call; holding it here as well keeps it alive when
    // a toString method run for an argument stores something else there.
    hold(m_base[1]);
    return true;
}

bool KvoMethodCall::countBetween(int min, int max)
{
    if (count() < min)
        return fail(KVO_LIB_TOO_FEW_ARGS);
    if (max >= 0 && count() > max)
        return fail(KVO_LIB_TOO_MANY_ARGS);
    return true;
}

KvoValue* KvoMethodCall::memberOf(const KvoObject* object, std::int32_t index) noexcept
{
    KvoVector* members = object ? object->getMemberData() : nullptr;
    if (!members || index < 1 || static_cast<std::uint32_t>(index) >= members->size())
        return nullptr;
    return &(*members)[static_cast<std::uint32_t>(index)];
}

template <typename T>
T* KvoMethodCall::heldMember(std::int32_t index, KvoValueType kind, T* (KvoValue::*view)() const noexcept)
{
    const KvoValue* slot = member(index);
    T* container = slot ? (slot->*view)() : nullptr;
    if (!container) {
        badType(slot ? slot->getType() : KVT_NULL, kind);
        return nullptr;
    }
    hold(*slot);
    return container;
}

KvoString* KvoMethodCall::memberString(std::int32_t index)
{
    return heldMember(index, KVT_STRING, &KvoValue::getString);
}

KvoVector* KvoMethodCall::memberVector(std::int32_t index)
{
    // A function value is a vector too (its code and literals), but no script vector: editing
    // it would break the compiled procedure.
    const KvoValue* slot = member(index);
    if (slot && slot->getType() != KVT_VECTOR && slot->getType() != KVT_VECTORREF) {
        badType(slot->getType(), KVT_VECTOR);
        return nullptr;
    }
    return heldMember(index, KVT_VECTOR, &KvoValue::getVector);
}

KvoDictionary* KvoMethodCall::memberDictionary(std::int32_t index)
{
    return heldMember(index, KVT_DICTIONARY, &KvoValue::getDictionary);
}

KvoBuffer* KvoMethodCall::memberBuffer(std::int32_t index)
{
    return heldMember(index, KVT_BUFFER, &KvoValue::getBuffer);
}

bool KvoMethodCall::integerArg(int i, std::int32_t& value)
{
    KvoInterpreter* running = interpreter();
    if (!running || !running->checkType(arg(i), KVT_INTEGER))
        return false;
    value = arg(i).getLong();
    return true;
}

KvoString* KvoMethodCall::tryTextArg(int i)
{
    KvoInterpreter* running = interpreter();
    if (!running)
        return nullptr;
    // The argument is copied first: a toString method may move the stack under the reference.
    const KvoValue argument = arg(i);
    KvoString* text = running->getStringFromValue(argument);
    if (text)
        hold(KvoValue(text));
    return text;
}

KvoString* KvoMethodCall::textArg(int i)
{
    if (KvoString* text = tryTextArg(i))
        return text;
    badType(arg(i).getType(), KVT_STRING);
    return nullptr;
}

bool KvoMethodCall::fail(const KvoChar* text, const KvoChar* detail)
{
    if (KvoInterpreter* running = interpreter())
        return running->returnError(text, detail);
    return false;
}

bool KvoMethodCall::badType(KvoValueType actual, KvoValueType expected)
{
    if (KvoInterpreter* running = interpreter())
        return running->badType(actual, expected);
    return false;
}

bool KvoMethodCall::done(KvoValue value)
{
    m_base[0] = std::move(value);
    m_args = m_base;
    return true;
}

KvoObject* KvoMethodCall::newOfOwnClass(std::int32_t index, KvoValue value) const
{
    KvoClass* c = m_self ? m_self->getClass() : nullptr;
    if (!c)
        return nullptr;
    auto* object = new KvoObject(c);
    KvoValue* slot = memberOf(object, index);
    if (!slot) {
        delete object;
        return nullptr;
    }
    *slot = std::move(value);
    return object;
}

KvoClass* KvoMethodCall::findClass(const KvoChar* name) const noexcept
{
    if (!m_vm)
        return nullptr;
    KvoDictionaryEntry* entry = m_vm->classes().find(name);
    return entry ? entry->getValue().getClass() : nullptr;
}

bool KvoMethodCall::isObjectOf(const KvoValue& value, const KvoClass* c) noexcept
{
    const KvoObject* object = value.getObject();
    const KvoClass* objectClass = object ? object->getClass() : nullptr;
    return c && objectClass && objectClass->isSubtypeOf(c);
}

const KvoChar* KvoMethodCall::classNameOf(const KvoObject* object) noexcept
{
    const KvoClass* c = object ? object->getClass() : nullptr;
    const KvoString* name = c ? c->getClassName() : nullptr;
    return name ? name->c_str() : u"";
}

bool KvoMethodCall::doneWithAddress(const void* address)
{
    // Without the low heap an address may not fit a positive 32-bit integer.
    if (!kvoFitsScriptAddress(address))
        return fail(KVO_LIB_ADDRESS_TOO_WIDE);
    return done(KvoValue(static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(address))));
}

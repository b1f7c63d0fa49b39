// The classes Dictionary (a dictionary object: an unsorted KvoDictionary in the member _dict)
// and DictIterator (a position in a dictionary: the member _current).
//
// Iterators are tied to their dictionary: the iterator objects this file makes are entry cursors
// (values/KvoEntryCursor.h), which the dictionary tells when their entry goes. So an iterator
// whose entry was erased by any path (erase by key, clear, the standard library's dictionary
// functions, the dictionary dying) is lost, and every use of it fails with "Invalid iterator."
// instead of reaching freed memory. Erasing through the iterator itself moves it on to the next
// entry, as the method erase describes. An iterator does not keep its dictionary alive.
#include <cstdint>
#include <iterator>

#include "nativeclasses/KvoMethodCall.h"
#include "nativeclasses/KvoNativeClassBuilder.h"
#include "values/KvoEntryCursor.h"

namespace {

constexpr KvoChar ITERATOR_CLASS_NAME[] = u"DictIterator";

// Member slots, cached when the classes are registered.
std::int32_t s_currentIndex = -1;
std::int32_t s_dictIndex = -1;

// Where an iterator object stands.
enum class Position : std::uint8_t {
    AT_ENTRY, // it designates a live entry
    AT_END,   // it designates none (the state end() makes)
    LOST,     // the entry it designated is gone
};

// The position of an iterator object; entry receives the designated entry (null otherwise).
Position positionOf(const KvoObject* object, KvoDictionaryEntry*& entry)
{
    entry = nullptr;
    if (const auto* cursor = dynamic_cast<const KvoEntryCursor*>(object)) {
        entry = cursor->getEntry();
        if (entry)
            return Position::AT_ENTRY;
        return cursor->isLost() ? Position::LOST : Position::AT_END;
    }
    // An iterator object this file did not make (an object of a derived script class, or one
    // read from a file) has nothing that keeps its member current: it can only be at the end.
    const KvoValue* slot = KvoMethodCall::memberOf(object, s_currentIndex);
    return (!slot || slot->isNull()) ? Position::AT_END : Position::LOST;
}

// The receiver's designated entry: false after "Invalid iterator." when there is none.
bool currentEntry(KvoMethodCall& call, KvoDictionaryEntry*& entry)
{
    if (positionOf(call.self(), entry) != Position::AT_ENTRY)
        return call.fail(KV2_BAD_ITERATOR);
    return true;
}

// A new iterator designating entry (null: none); null after "Creation of dictionary iterator
// failed" when the machine has no iterator class.
KvoEntryCursor* makeIterator(KvoMethodCall& call, KvoDictionaryEntry* entry)
{
    KvoClass* iteratorClass = call.findClass(ITERATOR_CLASS_NAME);
    if (!iteratorClass) {
        call.fail(KV2_ITERATOR_NOT_CREATED);
        return nullptr;
    }
    auto* iterator = new KvoEntryCursor(iteratorClass, s_currentIndex);
    iterator->designate(entry);
    return iterator;
}

// Completes call with a new iterator designating entry.
bool doneWithIterator(KvoMethodCall& call, KvoDictionaryEntry* entry)
{
    KvoEntryCursor* iterator = makeIterator(call, entry);
    return iterator && call.done(KvoValue(static_cast<KvoObject*>(iterator)));
}

// ---- DictIterator ---------------------------------------------------------------------------

// ++it and it->next(): this iterator moves to the next entry (none after the last).
bool iteratorAdvance(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    KvoDictionaryEntry* entry = nullptr;
    if (!call.needThis() || !call.countBetween(0, 0) || !currentEntry(call, entry))
        return false;
    // An object at an entry is always a cursor (see positionOf).
    static_cast<KvoEntryCursor*>(call.self())->designate(entry->getNext());
    return call.doneThis();
}

// it++: a new iterator at the next entry; this one stays.
bool iteratorPostIncrement(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    KvoDictionaryEntry* entry = nullptr;
    if (!call.needThis() || !call.countBetween(0, 0) || !currentEntry(call, entry))
        return false;
    return doneWithIterator(call, entry->getNext());
}

bool iteratorEquals(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    KvoDictionaryEntry* entry = nullptr;
    const Position position = positionOf(call.self(), entry);
    if (position == Position::LOST)
        return call.fail(KV2_BAD_ITERATOR);
    const KvoObject* other = call.arg(1).getObject();
    if (!other)
        return call.badType(call.arg(1).getType(), KVT_OBJECT);
    if (!KvoMethodCall::isObjectOf(call.arg(1), call.self()->getClass()))
        return call.fail(KV2_NOT_AN_ITERATOR, KV2_ITERATOR_EQUALS);
    KvoDictionaryEntry* otherEntry = nullptr;
    const Position otherPosition = positionOf(other, otherEntry);
    if (otherPosition == Position::LOST)
        return call.fail(KV2_BAD_ITERATOR);
    const bool same = position == otherPosition && entry == otherEntry;
    return call.done(KvoValue(std::int32_t{same ? 1 : 0}));
}

bool iteratorGetKey(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    KvoDictionaryEntry* entry = nullptr;
    if (!call.needThis() || !call.countBetween(0, 0) || !currentEntry(call, entry))
        return false;
    const KvoString* key = entry->getKey();
    return call.done(KvoValue(key ? new KvoString(*key) : new KvoString()));
}

bool iteratorGetValue(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    KvoDictionaryEntry* entry = nullptr;
    if (!call.needThis() || !call.countBetween(0, 0) || !currentEntry(call, entry))
        return false;
    return call.done(entry->getValue());
}

bool iteratorSetValue(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    KvoDictionaryEntry* entry = nullptr;
    if (!call.needThis() || !call.countBetween(1, 1) || !currentEntry(call, entry))
        return false;
    entry->setValue(call.arg(1));
    return call.doneNull();
}

const KvoMethodRegistration ITERATOR_METHODS[] = {
    {u"OP_INC", &iteratorAdvance},
    {u"OP_PINC", &iteratorPostIncrement},
    {u"next", &iteratorAdvance},
    {u"equals", &iteratorEquals},
    {u"getKey", &iteratorGetKey},
    {u"getValue", &iteratorGetValue},
    {u"setValue", &iteratorSetValue},
};

// ---- Dictionary -----------------------------------------------------------------------------

// A new unsorted dictionary holding source's entries in source's order, each key entered once
// (a repeated key keeps its first position and its last value).
KvoDictionary* copyOf(const KvoDictionary& source)
{
    auto* copy = new KvoDictionary(false);
    for (const KvoDictionaryEntry* e = source.getFirst(); e; e = e->getNext()) {
        if (const KvoString* key = e->getKey())
            (*copy)[*key]->setValue(e->getValue());
    }
    return copy;
}

bool dictionaryConstruct(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 1))
        return false;
    KvoValue* slot = call.member(s_dictIndex);
    if (!slot)
        return call.badType(KVT_NULL, KVT_DICTIONARY);
    KvoDictionary* copy = nullptr;
    if (call.count() == 0) {
        copy = new KvoDictionary(false);
    } else if (const KvoDictionary* source = call.arg(1).getDictionary()) {
        copy = copyOf(*source);
    } else if (const KvoObject* object = call.arg(1).getObject()) {
        if (!KvoMethodCall::isObjectOf(call.arg(1), call.self()->getClass()))
            return call.fail(KV2_NOT_A_DICTIONARY, KvoMethodCall::classNameOf(object));
        const KvoValue* sourceSlot = KvoMethodCall::memberOf(object, s_dictIndex);
        const KvoDictionary* source = sourceSlot ? sourceSlot->getDictionary() : nullptr;
        if (!source)
            return call.fail(KV2_DAMAGED_ARGUMENT);
        copy = copyOf(*source);
    } else {
        return call.badType(call.arg(1).getType(), KVT_DICTIONARY);
    }
    *slot = KvoValue(copy);
    return call.doneThis();
}

// d[key]: the value under key; an absent key is entered with a null value first.
bool dictionaryRead(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    KvoDictionary* dictionary = call.memberDictionary(s_dictIndex);
    const KvoString* key = dictionary ? call.textArg(1) : nullptr;
    if (!key)
        return false;
    return call.done((*dictionary)[*key]->getValue());
}

// d[key] = v.
bool dictionaryWrite(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(2, 2))
        return false;
    KvoDictionary* dictionary = call.memberDictionary(s_dictIndex);
    const KvoString* key = dictionary ? call.textArg(1) : nullptr;
    if (!key)
        return false;
    (*dictionary)[*key]->setValue(call.arg(2));
    return call.doneNull();
}

bool dictionaryBegin(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoDictionary* dictionary = call.memberDictionary(s_dictIndex);
    return dictionary && doneWithIterator(call, dictionary->getFirst());
}

bool dictionaryEnd(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    return call.memberDictionary(s_dictIndex) && doneWithIterator(call, nullptr);
}

bool dictionaryFind(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    const KvoDictionary* dictionary = call.memberDictionary(s_dictIndex);
    const KvoString* key = dictionary ? call.textArg(1) : nullptr;
    return key && doneWithIterator(call, dictionary->find(*key));
}

bool dictionarySize(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoDictionary* dictionary = call.memberDictionary(s_dictIndex);
    return dictionary && call.done(KvoValue(static_cast<std::int32_t>(dictionary->count())));
}

bool dictionaryClear(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoDictionary* dictionary = call.memberDictionary(s_dictIndex);
    if (!dictionary)
        return false;
    dictionary->clear();
    return call.doneNull();
}

// d->erase(iterator) removes the iterator's entry and moves the iterator on; d->erase(key)
// removes the first entry with that key. 1 when an entry was removed, else 0.
bool dictionaryErase(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    KvoDictionary* dictionary = call.memberDictionary(s_dictIndex);
    if (!dictionary)
        return false;
    if (KvoMethodCall::isObjectOf(call.arg(1), call.findClass(ITERATOR_CLASS_NAME))) {
        KvoObject* iterator = call.arg(1).getObject();
        KvoDictionaryEntry* entry = nullptr;
        const Position position = positionOf(iterator, entry);
        if (position == Position::LOST)
            return call.fail(KV2_BAD_ITERATOR);
        if (position == Position::AT_ENTRY) {
            if (entry->getDictionary() != dictionary)
                return call.done(KvoValue(std::int32_t{0}));
            // The iterator (a cursor: it designates an entry) moves on before the entry goes, so
            // that it stays sound even if freeing the entry's value changes the dictionary.
            call.hold(call.arg(1));
            static_cast<KvoEntryCursor*>(iterator)->designate(entry->getNext());
            dictionary->erase(entry);
            return call.done(KvoValue(std::int32_t{1}));
        }
    }
    const KvoString* key = call.textArg(1);
    if (!key)
        return false;
    return call.done(KvoValue(std::int32_t{dictionary->erase(*key) ? 1 : 0}));
}

bool dictionaryShared(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoDictionary* dictionary = call.memberDictionary(s_dictIndex);
    return dictionary && call.done(KvoValue(dictionary));
}

const KvoMethodRegistration DICTIONARY_METHODS[] = {
    {u"Dictionary", &dictionaryConstruct},
    {u"OP_VREF", &dictionaryRead},
    {u"OP_VSET", &dictionaryWrite},
    {u"begin", &dictionaryBegin},
    {u"end", &dictionaryEnd},
    {u"find", &dictionaryFind},
    {u"size", &dictionarySize},
    {u"clear", &dictionaryClear},
    {u"erase", &dictionaryErase},
    {u"dict", &dictionaryShared},
};

} // namespace

void kv2RegisterDictIterator(KvoVirtualMachine* vm)
{
    kvoRegisterClass(vm, ITERATOR_CLASS_NAME, nullptr, {{u"_current", &s_currentIndex}}, ITERATOR_METHODS,
                     std::size(ITERATOR_METHODS));
}

void kv2RegisterDictionary(KvoVirtualMachine* vm)
{
    kvoRegisterClass(vm, u"Dictionary", nullptr, {{u"_dict", &s_dictIndex}}, DICTIONARY_METHODS,
                     std::size(DICTIONARY_METHODS));
}

// The dictionary functions of the standard library: newdict, and the queries and changes that
// scripts make on a dictionary by string key. Keys and values are read in the dictionary's own
// order (key order when sorted, insertion order otherwise).
#include <cstdint>

#include "stdlib/KvoDefaultFunctions.h"
#include "stdlib/KvoLibCall.h"
#include "values/KvoDictionary.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"

namespace {

// The dictionary of the first argument and, when wanted, the string key of the second; false
// after "invalid argument type" when either is missing.
bool readDictionary(KvoLibCall& call, KvoDictionary*& dictionary, const KvoString** key)
{
    dictionary = call.arg(1).getDictionary();
    if (key)
        *key = call.arg(2).getString();
    if (!dictionary || (key && !*key))
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    return true;
}

} // namespace

bool KvoDefaultFunctions::Kvo_newdict(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(0, 1))
        return false;
    bool sorted = argc == 1 && call.arg(1).getLong() != 0;
    return call.done(KvoValue(new KvoDictionary(sorted)));
}

bool KvoDefaultFunctions::Kvo_dictcontains(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    KvoDictionary* dictionary = nullptr;
    const KvoString* key = nullptr;
    if (!call.countBetween(2, 2) || !readDictionary(call, dictionary, &key))
        return false;
    return call.done(KvoValue(std::int32_t(dictionary->find(*key) ? 1 : 0)));
}

bool KvoDefaultFunctions::Kvo_dicterase(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    KvoDictionary* dictionary = nullptr;
    const KvoString* key = nullptr;
    if (!call.countBetween(2, 2) || !readDictionary(call, dictionary, &key))
        return false;
    // The erased entry may hold the last reference to the dictionary.
    KvoValue keep(dictionary);
    return call.done(KvoValue(std::int32_t(dictionary->erase(*key) ? 1 : 0)));
}

bool KvoDefaultFunctions::Kvo_dictclear(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    KvoDictionary* dictionary = nullptr;
    if (!call.countBetween(1, 1) || !readDictionary(call, dictionary, nullptr))
        return false;
    // The dictionary may be kept alive only through its own entries (a value that refers to
    // it): hold it while its entries go.
    KvoValue keep(dictionary);
    dictionary->clear();
    return call.done(KvoValue());
}

bool KvoDefaultFunctions::Kvo_dictgetkeys(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    KvoDictionary* dictionary = nullptr;
    if (!call.countBetween(1, 1) || !readDictionary(call, dictionary, nullptr))
        return false;
    auto* keys = new KvoVector(dictionary->count(), false);
    KvoValue result(keys);
    for (KvoDictionaryEntry* entry = dictionary->getFirst(); entry; entry = entry->getNext()) {
        const KvoString* key = entry->getKey();
        keys->push_back(KvoValue(key ? new KvoString(*key) : new KvoString(u"")));
    }
    return call.done(std::move(result));
}

bool KvoDefaultFunctions::Kvo_dictgetvalues(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    KvoDictionary* dictionary = nullptr;
    if (!call.countBetween(1, 1) || !readDictionary(call, dictionary, nullptr))
        return false;
    auto* values = new KvoVector(dictionary->count(), false);
    KvoValue result(values);
    for (KvoDictionaryEntry* entry = dictionary->getFirst(); entry; entry = entry->getNext())
        values->push_back(entry->getValue());
    return call.done(std::move(result));
}

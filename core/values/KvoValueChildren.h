// kvoForEachChild: the values that a value's object holds directly, for walks over object
// graphs (reachability, cycle breaking).
#pragma once

#include <cstdint>

#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "values/KvoValue.h"
#include "values/KvoVector.h"

// Calls visit(KvoValue*) for each element of a vector kind, each member slot of an object, each
// entry value of a dictionary, and each data and function member value of a class. Values
// without such an object have no children.
template <typename Visit>
void kvoForEachChild(const KvoValue& value, Visit&& visit)
{
    auto entriesOf = [&visit](KvoDictionary& d) {
        for (KvoDictionaryEntry* e = d.getFirst(); e; e = e->getNext())
            visit(&e->getValue());
    };
    auto elementsOf = [&visit](KvoVector& v) {
        for (std::uint32_t i = 0; i < v.size(); ++i)
            visit(&v[i]);
    };
    if (KvoVector* vector = value.getVector()) {
        elementsOf(*vector);
    } else if (KvoObject* object = value.getObject()) {
        if (KvoVector* members = object->getMemberData())
            elementsOf(*members);
    } else if (KvoDictionary* dictionary = value.getDictionary()) {
        entriesOf(*dictionary);
    } else if (KvoClass* c = value.getClass()) {
        entriesOf(c->dataMembers());
        entriesOf(c->funcMembers());
    }
}

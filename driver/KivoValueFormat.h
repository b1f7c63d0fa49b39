// How the interactive prompt shows a value: readably, as a person would write it back. Strings are
// quoted with escapes; vectors and dictionaries show their elements, nested, within bounds of
// depth and length so that a large or cyclic structure prints briefly; an object shows what its
// toString method returns when its class has one, else "<ClassName object>".
#pragma once

#include <string>

class KvoInterpreter;
class KvoValue;

// Nesting shown before a container prints as "[...]" or "{...}".
constexpr int KIVO_FORMAT_MAX_DEPTH = 4;
// Elements shown per container before "... (N more)".
constexpr unsigned KIVO_FORMAT_MAX_ELEMENTS = 100;
// Characters of one string shown before it is cut with "...".
constexpr unsigned KIVO_FORMAT_MAX_STRING = 2000;

// The text for value. interpreter (may be null) runs an object's toString.
std::u16string kivoFormatValue(KvoInterpreter* interpreter, const KvoValue& value);

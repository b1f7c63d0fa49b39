// The error texts that the plug-in's methods raise in scripts. Scripts catch and compare them, so
// they are part of the language and never change. The count and limit texts are the standard
// library's own (stdlib/KvoLibMessages.h).
#pragma once

#include "platform/KvoTypes.h"
#include "stdlib/KvoLibMessages.h"

// Every method.
inline constexpr KvoChar KV2_BAD_THIS[] = u"invalid 'this' pointer";

// Containers.
inline constexpr KvoChar KV2_BAD_ITERATOR[] = u"Invalid iterator.";
inline constexpr KvoChar KV2_ITERATOR_NOT_CREATED[] = u"Creation of dictionary iterator failed";
inline constexpr KvoChar KV2_NOT_AN_ITERATOR[] = u"Comparison is not a dictionary iterator.";
inline constexpr KvoChar KV2_ITERATOR_EQUALS[] = u"DictIterator::equals";
inline constexpr KvoChar KV2_NOT_A_DICTIONARY[] = u"Argument is not of class type Dictionary.";
inline constexpr KvoChar KV2_DAMAGED_ARGUMENT[] = u"Structure of argument damaged.";
inline constexpr KvoChar KV2_SUBSCRIPT_RANGE[] = u"subscript out of range";
inline constexpr KvoChar KV2_EMPTY_VECTOR[] = u"Can't pop value from empty vector.";

// Struct.
inline constexpr KvoChar KV2_MEMBER_DEFINED[] = u"Struct member already defined: ";
inline constexpr KvoChar KV2_MEMBER_NOT_FOUND[] = u"Struct member not found: ";
inline constexpr KvoChar KV2_NOT_A_STRUCT[] = u"Object is not of type Struct: ";
inline constexpr KvoChar KV2_STRUCT_CYCLE[] = u"Struct cannot contain itself: ";
inline constexpr KvoChar KV2_MEMBER_DAMAGED[] = u"Struct member damaged: ";

// Records.
inline constexpr KvoChar KV2_BAD_POINT_DATA[] = u"Invalid data (_pt)";
inline constexpr KvoChar KV2_BAD_RECT_DATA[] = u"Invalid data (_rect)";
inline constexpr KvoChar KV2_BAD_MSG_DATA[] = u"Invalid data (_msg)";
inline constexpr KvoChar KV2_BAD_ACCEL_DATA[] = u"Invalid data (_accel)";
inline constexpr KvoChar KV2_BAD_MEMBER_DATA[] = u"invalid member data";
inline constexpr KvoChar KV2_NO_POINT_CLASS[] = u"POINT class not found.";
inline constexpr KvoChar KV2_NO_SIZE_CLASS[] = u"SIZE class not found.";
inline constexpr KvoChar KV2_BAD_ARGUMENT[] = u"Invalid argument.";
inline constexpr KvoChar KV2_MSG_EXPECTED[] = u"MSG argument expected";
inline constexpr KvoChar KV2_POINT_EXPECTED[] = u"POINT argument expected";
inline constexpr KvoChar KV2_ACCEL_EXPECTED[] = u"ACCEL argument expected";

// The error texts that the standard library's functions raise in scripts. Scripts catch them and
// compare them, so they are part of the language and never change.
#pragma once

#include "platform/KvoTypes.h"

inline constexpr KvoChar KVO_LIB_TOO_FEW_ARGS[] = u"too few arguments";
inline constexpr KvoChar KVO_LIB_TOO_MANY_ARGS[] = u"too many arguments";
inline constexpr KvoChar KVO_LIB_BAD_ARG_TYPE[] = u"invalid argument type";
inline constexpr KvoChar KVO_LIB_BAD_VALUE_TYPE[] = u"invalid value type";
inline constexpr KvoChar KVO_LIB_BAD_ARG[] = u"invalid argument";
inline constexpr KvoChar KVO_LIB_STRING_EXPECTED[] = u"invalid argument type - string expected";
inline constexpr KvoChar KVO_LIB_STRING_OR_CHAR_EXPECTED[] = u"invalid argument - string or character expected";
inline constexpr KvoChar KVO_LIB_BAD_INSERT_POS[] = u"invalid insertion position";
inline constexpr KvoChar KVO_LIB_BAD_START_INDEX[] = u"invalid start index";
inline constexpr KvoChar KVO_LIB_BAD_INDEX[] = u"invalid index";
inline constexpr KvoChar KVO_LIB_BAD_FORMAT[] = u"invalid argument format: ";
inline constexpr KvoChar KVO_LIB_NOT_A_CLASS[] = u"first argument is not a class";
inline constexpr KvoChar KVO_LIB_ARG_IS_NULL[] = u"argument is NULL";
inline constexpr KvoChar KVO_LIB_INT_EXPECTED[] = u" (int expected)";
inline constexpr KvoChar KVO_LIB_BUFFER_EXPECTED[] = u" (Buffer expected)";
inline constexpr KvoChar KVO_LIB_FILE_EXPECTED[] = u" (FILE expected)";
inline constexpr KvoChar KVO_LIB_FILE_CLOSED[] = u"file is closed";
inline constexpr KvoChar KVO_LIB_COUNT_TOO_LARGE[] = u"count too large";
// An address that a script integer cannot hold (only without the low arena).
inline constexpr KvoChar KVO_LIB_ADDRESS_TOO_WIDE[] = u"address does not fit in a script integer";

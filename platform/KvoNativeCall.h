// Calls of native functions whose parameters and result are all integers, made at run time with
// any number of arguments up to a limit: the service behind scripts' calls into libraries.
#pragma once

#include <cstdint>

#include "platform/KvoLibrary.h"
#include "platform/KvoTypes.h"

// The most arguments one call passes.
inline constexpr int KVO_MAX_NATIVE_ARGS = 16;

// Calls function with the count integers of args as its arguments, in order, by the platform's C
// calling convention for a function of count integer (pointer-sized) parameters, and returns its
// integer result with all 64 bits. The call is made as asked: the caller answers for function
// being a function of that many integer parameters. Returns 0 without calling when function is
// null or count is outside 0 .. KVO_MAX_NATIVE_ARGS; args may be null when count is 0. Thread-safe.
KVO_API std::int64_t kvoCallNative(FARPROC function, const std::int64_t* args, int count);

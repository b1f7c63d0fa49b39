// Basic types shared by every layer: the UTF-16 code unit, the script's 32-bit integers, the
// window and message types of the host interface, and the export macro of libkvolib. Installed
// for hosts: it declares no short global names.
#pragma once

#include <cstddef>
#include <cstdint>

// Marks a declaration as part of libkvolib's exported interface; everything else is hidden.
#if defined(__GNUC__)
#define KVO_API __attribute__((visibility("default")))
#else
#define KVO_API
#endif

// One UTF-16 code unit. All text inside the runtime is held as UTF-16.
using KvoChar = char16_t;

// The script's integer: 32 bits, wrapping arithmetic.
using KvoLong = std::int32_t;
using KvoULong = std::uint32_t;

// The window and message types of the host interface, under this library's own names (the
// runtime's Win32-style names for them live in KvoWinTypes.h, which is not installed).
struct KvoWindowRecord;
using KvoWindowHandle = KvoWindowRecord*;
using KvoMessageId = std::uint32_t;
using KvoWParam = std::uintptr_t;
using KvoLParam = std::intptr_t;

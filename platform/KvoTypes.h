// Basic types shared by every layer: the UTF-16 code unit, the script's 32-bit integers,
// the Win32-style handle and message types, and the export macro of libkvolib.
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

// Win32-style types used by the window layer and the message channels.
struct KvoWindowRecord;
using HWND = KvoWindowRecord*;
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using BOOL = int;
constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;
using ATOM = std::uint16_t;
using DWORD = std::uint32_t;
using HINSTANCE = void*;
using HMENU = void*;
using LONG = std::int32_t;
using LONG_PTR = std::intptr_t;
using HICON = void*;
using HCURSOR = void*;
using HBRUSH = void*;
// Drawing: device contexts and drawing objects are small numbers from the drawing layer's handle
// table (see KvoGdi.h), never addresses.
using HDC = void*;
using HGDIOBJ = void*;
using HPEN = void*;
using HFONT = void*;
using HRGN = void*;
using HACCEL = void*;
// A colour 0x00BBGGRR.
using COLORREF = DWORD;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using UINT_PTR = std::uintptr_t;

// The Win32-style type names of the window layer, the message channels and the native calls.
// Internal to the runtime and the plug-in: installed headers use the prefixed types of
// KvoTypes.h instead, so that a host may define TRUE, HWND or DWORD itself.
#pragma once

#include <cstdint>

#include "platform/KvoTypes.h"

using HWND = KvoWindowHandle;
using UINT = KvoMessageId;
using WPARAM = KvoWParam;
using LPARAM = KvoLParam;
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

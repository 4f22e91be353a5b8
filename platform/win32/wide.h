// The platform's UTF-16 text as the wide strings Windows' W functions take
// (the same 16-bit units under another type).
#pragma once

#include <windows.h>

#include "base/types.h"

inline const wchar_t* Wide(const Char16* text) { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* Wide(Char16* text) { return reinterpret_cast<wchar_t*>(text); }

// What a maintainer needs to know of an installed module: its file version (VERSIONINFO) and, for the
// library, where it was loaded and where it wanted to be, to map a fault address back to a line.
//
//   FileVersionText(L"C:\\app\\QarSldwInterface_x64.dll") == L"1.1.0.0"
#pragma once

#include <windows.h>

#include <string>

namespace qarsldw {

// The module file's fixed file version as "a.b.c.d"; "" when it has no version resource.
std::wstring FileVersionText(const std::wstring& path);

// The image base the module file asks for (its PE header on disk); 0 when the file is not a 64-bit
// PE module.
ULONGLONG PreferredImageBase(const std::wstring& path);

// "0x" and sixteen upper-case hexadecimal digits.
std::wstring AddressText(ULONGLONG address);

}  // namespace qarsldw

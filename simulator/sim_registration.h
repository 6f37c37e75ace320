// Registration of the simulated CAD application (qarcadsim.exe /regserver, /unregserver).
//
// What it writes, each key marked with the value "QarCadSimulator.User" or "QarCadSimulator.Machine"
// (the program's path):
//   <classes>\CLSID\{class}                      the local server
//   <classes>\SldWorks.Application.<n>           one ProgID per simulated version
//   <classes>\TypeLib\{library}                  both type libraries, as resources 1 and 2 of the program
//   <classes>\Interface\{iid}                    every interface the library calls and ISimControl,
//                                                marshaled by the typelib marshaler
//   HKLM\SOFTWARE\SolidWorks\<version>           the installation keys the version registry reads
//                                                (and SOFTWARE\SolidWorks itself when it was missing)
// <classes> is HKCU\Software\Classes (per user, the default) or HKLM\Software\Classes (/machine).
// Registration refuses to take over a key that exists without the mark (a real installation's), and
// unregistration deletes only marked keys, so it removes exactly what registration wrote.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qarsim {

// {6C0F7E1A-3B52-4E5D-9A8E-2F4C7B1D9E30}: the simulated application's class.
inline constexpr CLSID kApplicationClass = {
    0x6c0f7e1a, 0x3b52, 0x4e5d, {0x9a, 0x8e, 0x2f, 0x4c, 0x7b, 0x1d, 0x9e, 0x30}};

struct RegistrationOptions {
    bool machine = false;                                    // classes under HKLM instead of HKCU
    std::vector<std::wstring> versions{L"SolidWorks 2016"};  // the simulated installations
};

// The ProgID the version registry derives for `version` ("SolidWorks 2016" -> "SldWorks.Application.24");
// "" for a version that does not end in a year from 2000 to 2099.
std::wstring ProgIdOfVersion(const std::wstring& version);

// Writes the registration for the program at `programPath`. Returns a Win32 error code; on failure
// `message` says why, and nothing was written when the failure is a foreign key.
LONG Register(const std::wstring& programPath, const RegistrationOptions& options, std::wstring& message);
// Deletes every marked key that Register writes (for the class root `options.machine` names), whatever
// versions were registered. `programPath` supplies the type library identifiers.
LONG Unregister(const std::wstring& programPath, const RegistrationOptions& options, std::wstring& message);

}  // namespace qarsim

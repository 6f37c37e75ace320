// Registration of the automation server (regsvr32): machine-wide under HKLM\Software\Classes, or per
// user under HKCU\Software\Classes (no administrator rights needed on Windows). What it writes:
//   CLSID\{Connector}          InprocServer32 = the module's full path, ThreadingModel Apartment,
//                              ProgID, VersionIndependentProgID, TypeLib
//   QarSldw.Connector.1        CLSID
//   QarSldw.Connector          CLSID, CurVer = QarSldw.Connector.1
//   TypeLib\{library}\1.0      0\win64 = the module's full path (its TYPELIB resource 1)
//   Interface\{IQarConnector}, Interface\{IQarCommand}
//                              ProxyStubClsid32 = the typelib marshaler, TypeLib
// Each of these keys, and each key above them that registration had to create, carries the value
// "QarSldwAutomation" (the module's path). Registration refuses to take over one of them that exists
// without the value, and unregistration deletes only keys that carry it (a created key above them
// only once nothing else is left in it), so it removes exactly what registration wrote.
#pragma once

#include <windows.h>

#include <string>

namespace qarauto {

enum class Scope { Machine, User };

// S_OK; SELFREG_E_CLASS, with nothing written, when a key exists that another program wrote; the
// registry's error as an HRESULT otherwise.
HRESULT Register(Scope scope, const std::wstring& modulePath);
// S_OK (also when nothing was registered), or the registry's error as an HRESULT.
HRESULT Unregister(Scope scope);

}  // namespace qarauto

// The one header a C++ host includes to use QarSldwInterface_x64.dll; link the import library
// libQarSldwInterface_x64.dll.a and ship the DLL beside the host (the add-in module and the language
// folders lie beside the DLL in an installation).
//
//   #include <QarSldwInterface.h>
//
//   QARCAX::SldwConnector connector(3, L"SolidWorks 2016", L"", L"");
//   QARCAX::CaxCommand* command = nullptr;
//   if (connector.NewCommand(hostObject, command) != 0) {
//       // connector.errorCode, connector.errorMessage
//   } else {
//       command->OpenFile(L"C:\\work\\clamp.sldasm");
//       delete command;  // says "Disconnect" to the add-in
//   }
//
// These are C++ classes: they bind only to hosts built with the same compiler and C++ standard
// library as the DLL (mingw-w64 g++ with libstdc++). Class layout, std::wstring, name decoration and
// the destructor's entries in the function table differ between compilers.
#pragma once

#include "Public/busy_policy.h"
#include "Public/cax_command.h"
#include "Public/cax_connector.h"
#include "Public/com_connector.h"
#include "Public/diagnostics.h"
#include "sldw/sldw_connector.h"

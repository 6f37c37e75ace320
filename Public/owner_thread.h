// The thread a connector or command belongs to. COM references are usable only in the apartment that
// took them, and a proxy used from another thread answers RPC_E_WRONG_THREAD for calls but does not
// check AddRef, Release or QueryInterface; so every operation a host calls checks the thread first
// and, on the wrong one, touches no reference at all.
//
// The exported connector classes cannot grow a member without breaking hosts built against their
// header, so a connector's owner (and how its thread joined COM) is kept here, keyed by its address:
// registered by the constructor, removed by the destructor. Commands are the library's own classes
// and keep their owner themselves.
#pragma once

#include <windows.h>

#include <string>

namespace QARCAX {
class CaxConnector;
}

namespace qar {

void RegisterConnector(const QARCAX::CaxConnector* connector, DWORD owner);
void UnregisterConnector(const QARCAX::CaxConnector* connector);
// The thread that owns `connector`; 0 for one not registered.
DWORD ConnectorOwner(const QARCAX::CaxConnector* connector);
// What joining the owner's thread to a single-threaded apartment gave (CoInitialize's result):
// RPC_E_CHANGED_MODE when the thread was already in a multithreaded apartment. S_OK until set; a
// copy takes the original's.
void SetConnectorApartment(const QARCAX::CaxConnector* connector, HRESULT joined);
HRESULT ConnectorApartment(const QARCAX::CaxConnector* connector);
inline bool OnOwnerThread(const QARCAX::CaxConnector* connector) {
    return ConnectorOwner(connector) == GetCurrentThreadId();
}

// Records a call from a thread other than the owner's: errorCode RPC_E_WRONG_THREAD, errorMessage
// `operation` + "():" + the code's text. Returns RPC_E_WRONG_THREAD.
//   if (!OnOwnerThread(this)) return RecordWrongThread(L"QARCAX::CaxConnector::NewCommand", errorCode,
//   errorMessage);
int RecordWrongThread(const wchar_t* operation, int& errorCode, std::wstring& errorMessage);

}  // namespace qar

// The command object a host receives from CaxConnector::NewCommand: documents, menus and tables of
// the CAD application, and the last failure (errorCode / errorMessage, the status record).
//
// The host owns the command and deletes it through CaxCommand*; the command holds references of
// its own to the application and the add-in, so it may outlive the connector that made it.
//
// The operations answer with their result and the status record; only running out of memory while
// copying a text reaches the caller as an exception. From a thread other than the one that made the
// command, every operation records and returns RPC_E_WRONG_THREAD and touches nothing; deleted there,
// the command releases nothing (its references are abandoned) and says no "Disconnect".
//
// Binary interface: the host calls the operations through the function table, so their order below
// (destructor first) is fixed. This class binds only to hosts built with the same compiler and C++
// standard library as the library (class layout, std::wstring and the destructor's table entries
// differ between compilers).
#pragma once

#include <string>

#include "Public/cax_connector.h"
#include "Public/qar_api.h"

namespace QARCAX {

class QAR_API CaxCommand {
public:
    virtual ~CaxCommand();

    // Tells the add-in that the host is done; a failure shows only in the status record.
    virtual void Disconnect() = 0;
    // Whether the CAD application still answers.
    virtual bool IsConnected() = 0;
    // Forward their texts unchanged to the add-in's methods of the same names; 0 or the failing
    // HRESULT.
    virtual int CreateMenu(const std::wstring& arg) = 0;
    virtual int RefreshTable(const std::wstring& arg1, const std::wstring& arg2) = 0;
    virtual int UpdateTable(const std::wstring& arg1, const std::wstring& arg2) = 0;
    // Document operations: 0 on success, -1 on failure.
    virtual int OpenFile(const std::wstring& path) = 0;
    // `savedPath` receives the saved document's full path, "" on failure.
    virtual int SaveFile(std::wstring& savedPath) = 0;
    virtual int CloseFile() = 0;
    // `dependencies` receives the distinct file names the active document depends on, joined by
    // "|" in the order the application gives them; "" on failure.
    virtual int GetDependencies(std::wstring& dependencies) = 0;

    // Status record: written by each failure, never cleared by a success.
    int errorCode = 0;
    std::wstring errorMessage;
    // The command's copy of what the connect sequence found. appObject is not a reference of the
    // command's own: it stays valid while the command lives only because the command holds the
    // same application through its own interface reference.
    ConnectionRecord connection;
};

}  // namespace QARCAX

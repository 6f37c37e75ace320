// The abstract root of every connector: the object a host constructs, asks for a command object,
// and reads the last failure from (errorCode / errorMessage, the status record).
//
// The host binds to the function table, so the order of the virtual operations below is part of the
// binary interface: destructor, CreateCommand, LoadApplication.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "Public/com_owners.h"
#include "Public/qar_api.h"

namespace QARCAX {

class CaxCommand;

// What the connect sequence hands to CreateCommand. appObject is the application's IDispatch pointer;
// NewCommand holds a reference to it until CreateCommand has returned (the command takes references
// of its own).
struct ConnectionRecord {
    void* appObject = nullptr;
    std::wstring appHandleText;
    int cadType = 0;
    std::wstring cadVersion;
};

class CaxConnector {
public:
    // cadType: 1 AutoCAD, 2 Pro/ENGINEER, 3 SolidWorks.
    // The constructing thread owns the connector: every operation called from another thread fails
    // with RPC_E_WRONG_THREAD. A copy belongs to the thread that owns the original.
    CaxConnector(int cadType, const std::wstring& cadVersion, const std::wstring& appHandleText);
    CaxConnector(const CaxConnector& other);
    CaxConnector& operator=(const CaxConnector&) = default;
    virtual ~CaxConnector();

    // Connects to the application and builds a command object that the caller owns and deletes.
    // Returns 0 on success; otherwise a non-zero code, `command` untouched, and the failure in the
    // status record. Only what CreateCommand throws (out of memory, after a successful connect)
    // reaches the caller as an exception. Called from a thread other than the owner's it returns
    // RPC_E_WRONG_THREAD and does nothing else.
    QAR_API int NewCommand(IDispatch* host, CaxCommand*& command);

    // Status record: written by each failure, never cleared by a success.
    int errorCode;
    std::wstring errorMessage;

protected:
    int cadType;
    std::wstring cadVersion;
    std::wstring appHandleText;

private:
    // `info` points at the ConnectionRecord of the connect sequence; 0 = success.
    virtual int CreateCommand(const void* info, CaxCommand*& command) = 0;
    // Reaches the application and its add-in; on success `app` holds the application's IDispatch
    // pointer with one reference and `handleText` its main-window handle text.
    virtual int LoadApplication(const std::wstring& cadVersion, const std::wstring& appHandleText,
                                IDispatch* host, std::wstring& handleText, void*& app) = 0;

    // Runs LoadApplication under the connect guard and fills `info`; `app` holds the application's
    // reference from the moment the sequence hands it over.
    int Connect(IDispatch* host, ConnectionRecord& info, qar::ComPtr<IDispatch>& app);
};

}  // namespace QARCAX

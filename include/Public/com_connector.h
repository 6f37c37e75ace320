// The connector layer shared by CAD applications driven through COM: the order in which an
// application is made ready, and what depends only on the CAD type and version (the application's
// ProgID, the add-in module's file name, the add-in object's ProgID).
//
// Binary interface: the function table continues CaxConnector's with GetProgId,
// GetAddInDllFileName, GetHandleOfCaxApp, GetAppObject, LoadAddInDll, GetAddInObj, in this order.
// Binds only to hosts built with the same compiler and C++ standard library as the library.
#pragma once

#include <string>

#include "Public/cax_connector.h"
#include "Public/qar_api.h"

namespace QARCAX {

class ComConnector : public CaxConnector {
public:
    // Joins the calling thread to a single-threaded COM apartment (CoInitialize); nothing undoes it.
    // A thread already in a multithreaded apartment cannot join: NewCommand then fails with
    // RPC_E_CHANGED_MODE. A copy does not join again.
    ComConnector(int cadType, const std::wstring& cadVersion, const std::wstring& appHandleText);
    ComConnector(const ComConnector&) = default;
    ComConnector& operator=(const ComConnector&) = default;

    // The ProgID of the add-in's automation object for a CAD type and version, "" when there is none.
    //   GetAddInObjProgId(1, L"autocad 2012") == L"BrivexAcad18.BrivexLink18"
    QAR_API static std::wstring GetAddInObjProgId(int cadType, const std::wstring& cadVersion);

protected:
    // The application's ProgID for this connector's type and version ("" for a type without version
    // objects); returns 0. A version text of one to three characters throws std::out_of_range.
    QAR_API virtual int GetProgId(std::wstring& progId);
    // The add-in module's file name (no directory), "" when there is none.
    QAR_API virtual std::wstring GetAddInDllFileName();

private:
    // GetAppObject, then LoadAddInDll (stopping at the first non-zero result), then
    // GetHandleOfCaxApp (its result ignored), then GetAddInObj, whose result is returned.
    QAR_API int LoadApplication(const std::wstring& cadVersion, const std::wstring& appHandleText,
                                IDispatch* host, std::wstring& handleText, void*& app) override;

    virtual int GetHandleOfCaxApp(const void* app, std::wstring& handleText) = 0;
    virtual int GetAppObject(void*& app, const std::wstring& appHandleText) = 0;
    virtual int LoadAddInDll() = 0;
    virtual int GetAddInObj(IDispatch* host, const std::wstring& handleText) = 0;
};

}  // namespace QARCAX

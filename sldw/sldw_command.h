// The command object for the CAD application: documents through early-bound calls on the
// application (ISldWorks), menus and tables through calls by name on the add-in (ISwAddIn).
//
// Made only by the connector (SldwConnector::CreateCommand), from the record of the connect sequence
// and the connector's own references. Not copyable: each copy would say "Disconnect" again.
#pragma once

#include "sldw/layer.h"

#include <windows.h>

#include <string>

#include "Public/cad_interfaces.h"
#include "Public/cax_command.h"
#include "Public/owners.h"
#include "Public/dispatch_invoke.h"
#include "Public/host_call.h"

namespace qar {

class SldwCommand : public QARCAX::CaxCommand {
public:
    // Takes a copy of `info` (when given) and references of its own to the application and the add-in.
    // The constructing thread owns the command (the connector makes it on its own thread; the owner
    // table of Public/owner_thread.h keeps it): every operation called from another thread records
    // and returns RPC_E_WRONG_THREAD and touches nothing.
    SldwCommand(const QARCAX::ConnectionRecord* info, ComPtr<ISldWorks> app, ComPtr<ISwAddIn> addIn);
    SldwCommand(const SldwCommand&) = delete;
    SldwCommand& operator=(const SldwCommand&) = delete;
    // Says "Disconnect" to the add-in (when there is one), then gives both references back. Deleted on
    // another thread, it says nothing and lets both references go unreleased: they belong to the
    // owner's apartment.
    ~SldwCommand() override;

    void Disconnect() override;
    bool IsConnected() override;
    int CreateMenu(const std::wstring& arg) override;
    int RefreshTable(const std::wstring& arg1, const std::wstring& arg2) override;
    int UpdateTable(const std::wstring& arg1, const std::wstring& arg2) override;
    int OpenFile(const std::wstring& path) override;
    int SaveFile(std::wstring& savedPath) override;
    int CloseFile() override;
    int GetDependencies(std::wstring& dependencies) override;

    // Declared in this order so that the add-in is released before the application.
    ComPtr<ISldWorks> swApp;
    ComPtr<ISwAddIn> addIn;

private:
    // The add-in's method identifiers, looked up once each: addIn stays the same object for the
    // command's life (it is set once, by the connector), and COM fixes an object's identifiers.
    DispatchIdCache addInIds;

    StatusRecord Record() noexcept { return RecordOf(*this); }
    // Runs one of the operations above through the host-call boundary (Public/host_call.h).
    template <class Body>
    int Run(const HostCall& call, Body&& body) {
        return RunHostCall(call, this, Record(), body);
    }

    // The operations' work, run by the public operations above after the thread check.
    bool Probe();
    int Open(const std::wstring& path);
    int Close();
    int Save(std::wstring& savedPath);
    int ListDependencies(std::wstring& dependencies);

    // Closes every open document whose file name (text after the last "\") equals that of `path`,
    // compared exactly. 0 when it ran to the end, -1 when an exception stopped it.
    int CloseSameNamedDocuments(const std::wstring& path);
    // Records a failed document operation: errorCode -1, errorMessage = `operation` + the message
    // `id` filled with the text of `hr`.
    int DocumentFailure(const wchar_t* operation, unsigned id, HRESULT hr);
};

// What the document operations report when there is nothing to work on; the message carries the
// text of these codes.
constexpr HRESULT kNoApplication = CO_E_OBJNOTCONNECTED;  // the command holds no application
constexpr HRESULT kNoDocument = E_POINTER;                // the active-document query gave none
constexpr HRESULT kNoArray = DISP_E_TYPEMISMATCH;         // the dependency list is not a string vector

namespace detail {

// The document type the application expects for `path`, from the text after its last "." (the
// whole path without a "."), compared ignoring case: SLDPRT 1, SLDASM 2, SLDDRW 3, else 0.
long DocumentType(const std::wstring& path);

// The dependency list of a dependency VARIANT: the distinct non-empty strings at the absolute
// indexes 1, 3, 5, ... below the element count, joined by "|" in order. A string counts as present
// when "|" + it + "|" occurs in "|" + list + "|", which for strings without "|" is plain equality.
// Accepts a one-dimensional array of BSTR, or of VARIANT (elements other than strings count as
// empty); false for anything else, with `list` empty. Linear in the array's size.
bool DependencyList(const VARIANT& value, std::wstring& list);

}  // namespace detail

}  // namespace qar

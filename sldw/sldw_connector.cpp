#include "sldw/sldw_connector.h"

#include <windows.h>
#include <comdef.h>
#include <objbase.h>

#include <memory>
#include <stdexcept>

#include "Public/busy_retry.h"
#include "Public/cad_interfaces.h"
#include "Public/cax_version.h"
#include "Public/dispatch_invoke.h"
#include "Public/error_model.h"
#include "Public/owner_thread.h"
#include "Public/text_helpers.h"
#include "sldw/host_operation.h"
#include "sldw/localized_messages.h"
#include "sldw/message_ids.h"
#include "sldw/running_instances.h"
#include "sldw/sldw_command.h"

using qar::ComPtr;
using qar::UniqueBstr;

namespace QARCAX {

namespace {

using qar::RetryWhileBusy;

// The three guarded steps. Their file texts and "line" numbers are frozen: they are what the first
// release recorded in its exceptions, and tools that parse those keep reading them.
const GuardSite kGetAppObjectSite = {
    L"QARCAX::SldwConnector::GetAppObject",
    L".\\sldw_connector",
    143,
    L"[QARCAX::SldwConnector::GetAppObject()]: ",
    -1,
    true,
};
const GuardSite kLoadAddInDllSite = {
    L"QARCAX::SldwConnector::LoadAddInDll",
    L".\\sldw_connector",
    187,
    L"[QARCAX::SldwConnector::LoadAddInDll()]: ",
    -1,
    true,
};
const GuardSite kGetAddInObjSite = {
    L"QARCAX::SldwConnector::GetAddInObj",
    L".\\sldw_connector",
    260,
    L"[QARCAX::SldwConnector::GetAddInObj()]: ",
    -1,
    true,
};

// The running application whose main-window text equals `handleText`, or null. Entries that are not
// the application, or whose window cannot be read, are passed over.
ComPtr<ISldWorks> FindRunning(const std::wstring& handleText) {
    for (const ComPtr<IMoniker>& entry : qar::RunningEntries()) {
        ComPtr<ISldWorks> candidate;
        std::wstring text;
        if (qar::ProbeRunningEntry(entry.Get(), candidate, text) == S_OK && text == handleText)
            return candidate;
    }
    return ComPtr<ISldWorks>();
}

// Raises the failure of an add-in configuration call as a COM error, with the add-in's error
// information when it says it gives some for its interface.
void ThrowAddInFailure(ISwAddIn* addIn, HRESULT hr) {
    ComPtr<ISupportErrorInfo> supports;
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(RetryWhileBusy("ISwAddIn.QueryInterface",
                                 [&] {
                                     return addIn->QueryInterface(IID_ISupportErrorInfo,
                                                                  reinterpret_cast<void**>(supports.Put()));
                                 })) &&
        supports && RetryWhileBusy("ISupportErrorInfo.InterfaceSupportsErrorInfo", [&] {
                        return supports->InterfaceSupportsErrorInfo(IID_ISwAddIn);
                    }) == S_OK) {
        if (GetErrorInfo(0, info.Put()) != S_OK) info.Reset();
    }
    throw _com_error(hr, info.Detach());  // the error takes over the reference
}

// Replaces every `encoding="utf-16"` by `encoding="utf-8"`, never searching inserted text again.
void DeclareUtf8(std::wstring& xml) {
    static const std::wstring kFrom = L"encoding=\"utf-16\"", kTo = L"encoding=\"utf-8\"";
    for (size_t at = xml.find(kFrom); at != std::wstring::npos; at = xml.find(kFrom, at + kTo.size())) {
        xml.replace(at, kFrom.size(), kTo);
    }
}

}  // namespace

SldwConnector::SldwConnector(int cadType, const std::wstring& cadVersion, const std::wstring& appHandleText,
                             const std::wstring& addInArgument)
    : ComConnector(cadType, cadVersion, appHandleText), addInArgument(addInArgument) {}

SldwConnector::SldwConnector(const SldwConnector& other)
    : ComConnector(other), addInArgument(other.addInArgument) {
    // The references belong to the original's thread: taking them on another would touch them there.
    if (!qar::OnOwnerThread(&other)) {
        qar::RecordWrongThread(L"QARCAX::SldwConnector::SldwConnector", errorCode, errorMessage);
        return;
    }
    appObject = other.appObject;
    addInObject = other.addInObject;
}

SldwConnector& SldwConnector::operator=(const SldwConnector& other) {
    if (!qar::OnOwnerThread(this) || !qar::OnOwnerThread(&other)) {
        qar::RecordWrongThread(L"QARCAX::SldwConnector::operator=", errorCode, errorMessage);
        return *this;
    }
    ComConnector::operator=(other);
    // Equal pointers keep their references untouched.
    if (appObject.Get() != other.appObject.Get()) appObject = other.appObject;
    if (addInObject.Get() != other.addInObject.Get()) addInObject = other.addInObject;
    addInArgument = other.addInArgument;
    return *this;
}

SldwConnector::~SldwConnector() {
    // Deleted on another thread than its owner's, the connector must not release references that
    // belong to the owner's apartment: they are let go unreleased, and the application keeps its
    // objects until it ends (or, under Wine, until the host process ends).
    if (!qar::OnOwnerThread(this)) {
        appObject.Detach();
        addInObject.Detach();
    }
}

int SldwConnector::CreateCommand(const void* info, CaxCommand*& command) {
    // The command takes references of its own to the connector's application and add-in, so that it
    // outlives the connector.
    command = new SldwCommand(static_cast<const ConnectionRecord*>(info), appObject, addInObject);
    return 0;
}

int SldwConnector::GetHandleOfCaxApp(const void*, std::wstring& handleText) {
    std::wstring text;
    const bool found = appObject && qar::MainWindowText(appObject.Get(), text) == S_OK;
    handleText = found ? text : L"0";
    return found ? 0 : E_FAIL;
}

int SldwConnector::GetAppObject(void*& app, const std::wstring& appHandleText) {
    qar::BusyNoteScope busy(errorCode, errorMessage);
    return busy.Finish(RunGuarded(kGetAppObjectSite, errorCode, errorMessage, [&]() -> int {
        std::wstring progId;
        if (!com_detail::ApplicationProgId(cadType, cadVersion, progId)) {
            throw std::invalid_argument("no CAD application of type " + std::to_string(cadType) +
                                        " (1 AutoCAD, 2 Pro/ENGINEER, 3 SolidWorks)");
        }
        appObject.Reset();
        if (!appHandleText.empty()) appObject = FindRunning(appHandleText);
        if (!appObject) {
            CLSID id = CLSID_NULL;
            HRESULT hr = CLSIDFromProgID(progId.c_str(), &id);
            // Only a busy refusal is retried: after a time-out the application may still be starting,
            // and asking again would start a second one.
            if (SUCCEEDED(hr)) {
                hr = RetryWhileBusy("CoCreateInstance", [&] {
                    return CoCreateInstance(id, nullptr, CLSCTX_LOCAL_SERVER, IID_ISldWorks,
                                            reinterpret_cast<void**>(appObject.Put()));
                });
            }
            if (hr != S_OK) {
                appObject.Reset();
                qar::RecordFailure(errorCode, errorMessage, -1,
                                   FormatBuffered(LoadLocalizedString(IDS_START_FAILED).c_str(),
                                                  progId.c_str(), ComErrorMessage(hr).c_str()));
                return hr;
            }
        }
        RetryWhileBusy("ISldWorks.put_Visible", [&] { return appObject->put_Visible(VARIANT_TRUE); });
        ComPtr<IDispatch> dispatch;
        RetryWhileBusy("ISldWorks.QueryInterface", [&] { return appObject.As(dispatch); });
        app = dispatch.Detach();  // the reference travels on through the connect sequence's signature
        return RetryWhileBusy("ISldWorks.put_UserControl",
                              [&] { return appObject->put_UserControl(VARIANT_TRUE); });
    }));
}

int SldwConnector::LoadAddInDll() {
    if (!appObject) return -1;
    const std::wstring path = PathBesideLibrary(GetAddInDllFileName());
    qar::BusyNoteScope busy(errorCode, errorMessage);
    return busy.Finish(RunGuarded(kLoadAddInDllSite, errorCode, errorMessage, [&]() -> int {
        LONG status = 0;
        const UniqueBstr module = qar::MakeBstr(path);
        const HRESULT hr = RetryWhileBusy("ISldWorks.LoadAddIn",
                                          [&] { return appObject->LoadAddIn(module.Get(), &status); });
        if (status == 0 || status == 2) return hr;
        qar::RecordFailure(errorCode, errorMessage, status,
                           FormatBuffered(LoadLocalizedString(IDS_LOAD_ADDIN_FAILED).c_str(), path.c_str()));
        return -1;
    }));
}

int SldwConnector::GetAddInObj(IDispatch* host, const std::wstring& handleText) {
    qar::BusyNoteScope busy(errorCode, errorMessage);
    return busy.Finish(RunGuarded(kGetAddInObjSite, errorCode, errorMessage, [&]() -> int {
        const std::wstring progId = GetAddInObjProgId(cadType, cadVersion);
        const UniqueBstr progIdText = qar::MakeBstr(progId);
        ComPtr<IDispatch> object;
        RetryWhileBusy("ISldWorks.AddInObject",
                       [&] { return appObject->AddInObject(progIdText.Get(), object.Put()); });
        if (!object) {
            if (errorCode == 0) {
                qar::RecordFailure(
                    errorCode, errorMessage, qar::kNoAddInObjectCode,
                    L"QARCAX::SldwConnector::GetAddInObj():" +
                        FormatBuffered(LoadLocalizedString(IDS_GET_FAILED).c_str(), progId.c_str()));
            }
            return -1;
        }
        addInObject.Reset();
        RetryWhileBusy("IDispatch.QueryInterface", [&] { return object.As(addInObject); });

        std::wstring xml = LoadLanguageXml(cadType);
        DeclareUtf8(xml);
        // Each call needs the add-in; each failure ends the configuration.
        const auto configure = [&](const char* name, auto call) -> HRESULT {
            if (!addInObject) throw _com_error(E_POINTER);
            const HRESULT hr = RetryWhileBusy(name, [&] { return call(addInObject.Get()); });
            if (FAILED(hr)) ThrowAddInFailure(addInObject.Get(), hr);
            return hr;
        };
        configure("ISwAddIn.SetLanguageXml",
                  [&](ISwAddIn* addIn) { return addIn->SetLanguageXml(qar::MakeBstr(xml).Get()); });
        configure("ISwAddIn.SetHostObject", [&](ISwAddIn* addIn) { return addIn->SetHostObject(host); });
        configure("ISwAddIn.SetAppHandle",
                  [&](ISwAddIn* addIn) { return addIn->SetAppHandle(qar::MakeBstr(handleText).Get()); });
        return configure("ISwAddIn.SetAddInArgument", [&](ISwAddIn* addIn) {
            return addIn->SetAddInArgument(qar::MakeBstr(addInArgument).Get());
        });
    }));
}

}  // namespace QARCAX

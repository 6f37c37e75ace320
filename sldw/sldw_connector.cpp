#include "sldw/sldw_connector.h"

#include <windows.h>
#include <comdef.h>
#include <objbase.h>

#include <memory>
#include <stdexcept>

#include "Public/busy_retry.h"
#include "Public/cad_interfaces.h"
#include "Public/version_choice.h"
#include "Public/dispatch_invoke.h"
#include "Public/error_model.h"
#include "Public/owner_thread.h"
#include "Public/text_helpers.h"
#include "Public/host_call.h"
#include "sldw/busy_note.h"
#include "sldw/localized_messages.h"
#include "sldw/message_ids.h"
#include "sldw/running_instances.h"
#include "sldw/sldw_command.h"

using qar::ComErrorMessage;
using qar::FormatBuffered;
using qar::GuardSite;
using qar::LoadLanguageXml;
using qar::LoadLocalizedString;
using qar::PathBesideLibrary;

using qar::ComPtr;
using qar::UniqueBstr;

namespace QARCAX {

namespace {

using qar::RetryWhileBusy;

// The three guarded steps of the connect sequence, each with its own busy note. Their names and
// prefixes are frozen: hosts read them in status records.
constexpr GuardSite StepSite(const wchar_t* function, const wchar_t* prefix) {
    return {function, prefix, -1, true};
}
const GuardSite kGetAppObjectSite =
    StepSite(L"QARCAX::SldwConnector::GetAppObject", L"[QARCAX::SldwConnector::GetAppObject()]: ");
const GuardSite kLoadAddInDllSite =
    StepSite(L"QARCAX::SldwConnector::LoadAddInDll", L"[QARCAX::SldwConnector::LoadAddInDll()]: ");
const GuardSite kGetAddInObjSite =
    StepSite(L"QARCAX::SldwConnector::GetAddInObj", L"[QARCAX::SldwConnector::GetAddInObj()]: ");
const qar::HostCall kGetAppObject = {nullptr, kGetAppObjectSite.function, &kGetAppObjectSite,
                                     &qar::BusyNoteText};
const qar::HostCall kLoadAddInDll = {nullptr, kLoadAddInDllSite.function, &kLoadAddInDllSite,
                                     &qar::BusyNoteText};
const qar::HostCall kGetAddInObj = {nullptr, kGetAddInObjSite.function, &kGetAddInObjSite,
                                    &qar::BusyNoteText};
// A copy or an assignment takes references that belong to the original's thread (and gives back
// its own, for an assignment): both objects' threads are checked first.
const qar::HostCall kCopy = {"connector", L"QARCAX::SldwConnector::SldwConnector", nullptr, nullptr};
const qar::HostCall kAssign = {"connector", L"QARCAX::SldwConnector::operator=", nullptr, nullptr};
const qar::HostCall kAssignFrom = {nullptr, kAssign.operation, nullptr, nullptr};  // the other side

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
    qar::RunHostCall(kCopy, &other, qar::RecordOf(*this), [&] {
        appObject = other.appObject;
        addInObject = other.addInObject;
        return 0;
    });
}

SldwConnector& SldwConnector::operator=(const SldwConnector& other) {
    qar::RunHostCall(kAssign, this, qar::RecordOf(*this), [&] {
        return qar::RunHostCall(kAssignFrom, &other, qar::RecordOf(*this), [&] {
            ComConnector::operator=(other);
            // Equal pointers keep their references untouched.
            if (appObject.Get() != other.appObject.Get()) appObject = other.appObject;
            if (addInObject.Get() != other.addInObject.Get()) addInObject = other.addInObject;
            addInArgument = other.addInArgument;
            return 0;
        });
    });
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
    command = new qar::SldwCommand(static_cast<const ConnectionRecord*>(info), appObject, addInObject);
    return 0;
}

int SldwConnector::GetHandleOfCaxApp(const void*, std::wstring& handleText) {
    std::wstring text;
    const bool found = appObject && qar::MainWindowText(appObject.Get(), text) == S_OK;
    handleText = found ? text : L"0";
    return found ? 0 : E_FAIL;
}

int SldwConnector::GetAppObject(void*& app, const std::wstring& appHandleText) {
    return qar::RunHostCall(kGetAppObject, nullptr, qar::RecordOf(*this), [&]() -> int {
        std::wstring progId;
        if (!qar::detail::ApplicationProgId(cadType, cadVersion, progId)) {
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
                qar::RecordOf(*this).Fail(-1, FormatBuffered(LoadLocalizedString(IDS_START_FAILED).c_str(),
                                                             progId.c_str(), ComErrorMessage(hr).c_str()));
                return hr;
            }
        }
        // Showing the window is a courtesy to the user; the connection does not depend on it.
        static_cast<void>(
            RetryWhileBusy("ISldWorks.put_Visible", [&] { return appObject->put_Visible(VARIANT_TRUE); }));
        // The record's untyped application pointer; without it the record names none, and the
        // command still works through the application's own interface.
        ComPtr<IDispatch> dispatch;
        static_cast<void>(RetryWhileBusy("ISldWorks.QueryInterface", [&] { return appObject.As(dispatch); }));
        app = dispatch.Detach();  // the reference travels on through the connect sequence's signature
        return RetryWhileBusy("ISldWorks.put_UserControl",
                              [&] { return appObject->put_UserControl(VARIANT_TRUE); });
    });
}

int SldwConnector::LoadAddInDll() {
    if (!appObject) return -1;
    const std::wstring path = PathBesideLibrary(GetAddInDllFileName());
    return qar::RunHostCall(kLoadAddInDll, nullptr, qar::RecordOf(*this), [&]() -> int {
        LONG status = 0;
        const UniqueBstr module = qar::MakeBstr(path);
        const HRESULT hr = RetryWhileBusy("ISldWorks.LoadAddIn",
                                          [&] { return appObject->LoadAddIn(module.Get(), &status); });
        if (status == 0 || status == 2) return hr;
        qar::RecordOf(*this).Fail(
            status, FormatBuffered(LoadLocalizedString(IDS_LOAD_ADDIN_FAILED).c_str(), path.c_str()));
        return -1;
    });
}

int SldwConnector::GetAddInObj(IDispatch* host, const std::wstring& handleText) {
    // A missing add-in object is recorded only over an empty record: an earlier failure stays, as
    // hosts have always seen it. Read before the step's own watch clears the record.
    const bool earlierFailure = errorCode != 0;
    return qar::RunHostCall(kGetAddInObj, nullptr, qar::RecordOf(*this), [&]() -> int {
        const std::wstring progId = GetAddInObjProgId(cadType, cadVersion);
        const UniqueBstr progIdText = qar::MakeBstr(progId);
        ComPtr<IDispatch> object;
        // A failure leaves no object, which is the failure recorded below.
        static_cast<void>(RetryWhileBusy(
            "ISldWorks.AddInObject", [&] { return appObject->AddInObject(progIdText.Get(), object.Put()); }));
        if (!object) {
            if (!earlierFailure) {
                qar::RecordOf(*this).Fail(
                    qar::kNoAddInObjectCode,
                    L"QARCAX::SldwConnector::GetAddInObj():" +
                        FormatBuffered(LoadLocalizedString(IDS_GET_FAILED).c_str(), progId.c_str()));
            }
            return -1;
        }
        addInObject.Reset();
        // A failure leaves no add-in, which the first configuration call reports (E_POINTER).
        static_cast<void>(RetryWhileBusy("IDispatch.QueryInterface", [&] { return object.As(addInObject); }));

        std::wstring xml = LoadLanguageXml(cadType);
        DeclareUtf8(xml);
        // Each call needs the add-in; each failure ends the configuration.
        const auto configure = [&](const qar::FarCallName& name, auto call) -> HRESULT {
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
        // The argument is often a session token: the trace shows only its length.
        qar::FarCallName argument("ISwAddIn.SetAddInArgument");
        argument.argumentLength = static_cast<int64_t>(addInArgument.size());
        return configure(argument, [&](ISwAddIn* addIn) {
            return addIn->SetAddInArgument(qar::MakeBstr(addInArgument).Get());
        });
    });
}

}  // namespace QARCAX

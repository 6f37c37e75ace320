#include "Public/cax_connector.h"

#include "Public/dispatch_invoke.h"
#include "Public/host_call.h"
#include "Public/owners.h"

using qar::ComErrorMessage;
using qar::ComPtr;
using qar::GuardSite;

namespace QARCAX {

namespace {

// The connect sequence's own guard. Its prefix and code are frozen: hosts read them in status records.
const GuardSite kConnectSite = {
    L"QARCAX::CaxConnector::Connect",
    L"QARCAX::CaxConnector::Connect() error: ",
    qar::kConnectGuardCode,
    false,
};
// The host's call; the busy note comes from the steps of the connect sequence, each of its own.
const qar::HostCall kNewCommand = {"connector", L"QARCAX::CaxConnector::NewCommand", nullptr, nullptr};
const qar::HostCall kConnect = {nullptr, L"QARCAX::CaxConnector::Connect", &kConnectSite, nullptr};

}  // namespace

CaxConnector::CaxConnector(int cadType, const std::wstring& cadVersion, const std::wstring& appHandleText)
    : errorCode(0), cadType(cadType), cadVersion(cadVersion), appHandleText(appHandleText) {
    qar::RegisterOwner(this, {GetCurrentThreadId(), S_OK});
}

CaxConnector::CaxConnector(const CaxConnector& other)
    : errorCode(other.errorCode),
      errorMessage(other.errorMessage),
      cadType(other.cadType),
      cadVersion(other.cadVersion),
      appHandleText(other.appHandleText) {
    qar::RegisterOwner(this, qar::HomeOf(&other));
}

CaxConnector::~CaxConnector() {
    qar::ForgetOwner(this);
}

int CaxConnector::NewCommand(IDispatch* host, CaxCommand*& command) {
    return qar::RunHostCall(kNewCommand, this, qar::RecordOf(*this), [&]() -> int {
        // A thread that was already in a multithreaded apartment could not join a single-threaded
        // one: said here, clearly, rather than left to fail in some later call.
        if (const HRESULT apartment = qar::HomeOf(this).apartment; FAILED(apartment)) {
            return qar::RecordOf(*this).Fail(
                apartment, L"QARCAX::CaxConnector::NewCommand():" + ComErrorMessage(apartment));
        }
        ConnectionRecord info;
        ComPtr<IDispatch> app;
        const int result = Connect(host, info, app);
        if (result != 0) return result;
        // `app` keeps the record's application alive while CreateCommand takes references of its
        // own, and gives its reference back however CreateCommand ends.
        return CreateCommand(&info, command);
    });
}

int CaxConnector::Connect(IDispatch* host, ConnectionRecord& info, ComPtr<IDispatch>& app) {
    return qar::RunHostCall(kConnect, nullptr, qar::RecordOf(*this), [&]() -> int {
        // The sequence hands the application's reference out through an untyped pointer (the
        // function table fixes that), as QueryInterface does: written straight into its owner, so
        // that a step failing or throwing after the application was reached gives it back.
        std::wstring handleText;
        const int result = LoadApplication(cadVersion, appHandleText, host, handleText,
                                           *reinterpret_cast<void**>(app.Put()));
        if (result != 0) return result;
        info.cadType = cadType;
        info.cadVersion = cadVersion;
        info.appObject = app.Get();
        info.appHandleText = handleText;
        return 0;
    });
}

}  // namespace QARCAX

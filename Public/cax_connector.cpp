#include "Public/cax_connector.h"

#include "Public/owners.h"
#include "Public/dispatch_invoke.h"
#include "Public/error_model.h"
#include "Public/owner_thread.h"
#include "Public/trace.h"

using qar::ComPtr;

namespace QARCAX {

namespace {

// The connect sequence's own guard. Its file text and "line" number are frozen: they are what the
// first release recorded in its exceptions.
const GuardSite kConnectSite = {
    L"QARCAX::CaxConnector::Connect",           L"..\\Public\\cax_connector", 75,
    L"QARCAX::CaxConnector::Connect() error: ", qar::kConnectGuardCode,       false,
};

}  // namespace

CaxConnector::CaxConnector(int cadType, const std::wstring& cadVersion, const std::wstring& appHandleText)
    : errorCode(0), cadType(cadType), cadVersion(cadVersion), appHandleText(appHandleText) {
    qar::RegisterConnector(this, GetCurrentThreadId());
}

CaxConnector::CaxConnector(const CaxConnector& other)
    : errorCode(other.errorCode),
      errorMessage(other.errorMessage),
      cadType(other.cadType),
      cadVersion(other.cadVersion),
      appHandleText(other.appHandleText) {
    qar::RegisterConnector(this, qar::ConnectorOwner(&other));
    qar::SetConnectorApartment(this, qar::ConnectorApartment(&other));
}

CaxConnector::~CaxConnector() {
    qar::UnregisterConnector(this);
}

int CaxConnector::NewCommand(IDispatch* host, CaxCommand*& command) {
    const qar::TraceSpan span;
    const int result = [&]() -> int {
        if (!qar::OnOwnerThread(this)) {
            return qar::RecordWrongThread(L"QARCAX::CaxConnector::NewCommand", errorCode, errorMessage);
        }
        // A thread that was already in a multithreaded apartment could not join a single-threaded one:
        // said here, clearly, rather than left to fail in some later call.
        if (const HRESULT apartment = qar::ConnectorApartment(this); FAILED(apartment)) {
            qar::RecordFailure(errorCode, errorMessage, apartment,
                               L"QARCAX::CaxConnector::NewCommand():" + ComErrorMessage(apartment));
            return apartment;
        }
        ConnectionRecord info;
        ComPtr<IDispatch> app;
        const int connected = Connect(host, info, app);
        if (connected != 0) return connected;
        // `app` keeps the record's application alive while CreateCommand takes references of its own,
        // and gives its reference back however CreateCommand ends.
        return CreateCommand(&info, command);
    }();
    qar::TraceHostOperation(
        {"connector", L"QARCAX::CaxConnector::NewCommand", this, result, errorCode, &errorMessage, span});
    return result;
}

int CaxConnector::Connect(IDispatch* host, ConnectionRecord& info, ComPtr<IDispatch>& app) {
    return RunGuarded(kConnectSite, errorCode, errorMessage, [&]() -> int {
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

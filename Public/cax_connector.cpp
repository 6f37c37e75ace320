#include "Public/cax_connector.h"

#include <utility>

#include "Public/com_owners.h"
#include "Public/error_model.h"
#include "Public/owner_thread.h"

namespace QARCAX {

namespace {

const GuardSite kConnectSite = {
    L"QARCAX::CaxConnector::Connect",
    L"..\\Public\\cax_connector",
    75,
    L"QARCAX::CaxConnector::Connect() error: ",
    18000,
    false,
};

// Gives back the reference that an application pointer of the connect sequence carries.
void ReleaseAppObject(void*& app) {
    ComPtr<IDispatch>::Adopt(static_cast<IDispatch*>(app)).Reset();
    app = nullptr;
}

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
}

CaxConnector::~CaxConnector() { qar::UnregisterConnector(this); }

int CaxConnector::NewCommand(IDispatch* host, CaxCommand*& command) {
    if (!qar::OnOwnerThread(this)) {
        return qar::RecordWrongThread(L"QARCAX::CaxConnector::NewCommand", errorCode, errorMessage);
    }
    ConnectionRecord info;
    const int result = Connect(cadVersion, appHandleText, host, info);
    if (result != 0) return result;
    // The record's reference to the application is given back however CreateCommand ends.
    struct RecordReference {
        ConnectionRecord& record;
        ~RecordReference() { ReleaseAppObject(record.appObject); }
    } recordReference{info};
    return CreateCommand(&info, command);
}

int CaxConnector::Connect(const std::wstring& cadVersion, const std::wstring& appHandleText, IDispatch* host,
                          ConnectionRecord& info) {
    return RunGuarded(kConnectSite, errorCode, errorMessage, [&]() -> int {
        void* app = nullptr;
        // Until the record takes it, the application's reference is ours to give back: a step after
        // the application was reached may fail or throw.
        struct PendingReference {
            void*& app;
            ~PendingReference() {
                if (app != nullptr) ReleaseAppObject(app);
            }
        } pending{app};
        std::wstring handleText;
        const int result = LoadApplication(cadVersion, appHandleText, host, handleText, app);
        if (result != 0) return result;
        info.cadType = cadType;
        info.cadVersion = this->cadVersion;
        info.appObject = std::exchange(app, nullptr);
        info.appHandleText = handleText;
        return 0;
    });
}

}  // namespace QARCAX

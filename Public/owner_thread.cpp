#include "Public/owner_thread.h"

#include <mutex>
#include <unordered_map>

#include "Public/dispatch_invoke.h"
#include "Public/error_model.h"

namespace qar {

namespace {

// Connectors are made and destroyed on their hosts' threads, several at once in a host with several
// apartments.
struct OwnerTable {
    std::mutex lock;
    std::unordered_map<const QARCAX::CaxConnector*, DWORD> owners;
};

OwnerTable& Table() {
    static OwnerTable table;
    return table;
}

}  // namespace

void RegisterConnector(const QARCAX::CaxConnector* connector, DWORD owner) {
    OwnerTable& table = Table();
    const std::lock_guard<std::mutex> hold(table.lock);
    table.owners[connector] = owner;
}

void UnregisterConnector(const QARCAX::CaxConnector* connector) {
    OwnerTable& table = Table();
    const std::lock_guard<std::mutex> hold(table.lock);
    table.owners.erase(connector);
}

DWORD ConnectorOwner(const QARCAX::CaxConnector* connector) {
    OwnerTable& table = Table();
    const std::lock_guard<std::mutex> hold(table.lock);
    const auto found = table.owners.find(connector);
    return found != table.owners.end() ? found->second : 0;
}

int RecordWrongThread(const wchar_t* operation, int& errorCode, std::wstring& errorMessage) {
    RecordFailure(errorCode, errorMessage, RPC_E_WRONG_THREAD,
                  std::wstring(operation) + L"():" + ComErrorMessage(RPC_E_WRONG_THREAD));
    return RPC_E_WRONG_THREAD;
}

}  // namespace qar

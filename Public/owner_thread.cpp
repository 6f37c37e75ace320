#include "Public/owner_thread.h"

#include <mutex>
#include <unordered_map>

#include "Public/dispatch_invoke.h"
#include "Public/error_model.h"

namespace qar {

namespace {

// Connectors are made and destroyed on their hosts' threads, several at once in a host with several
// apartments.
struct Home {
    DWORD thread = 0;
    HRESULT apartment = S_OK;
};

struct OwnerTable {
    std::mutex lock;
    std::unordered_map<const QARCAX::CaxConnector*, Home> homes;
};

OwnerTable& Table() {
    static OwnerTable table;
    return table;
}

}  // namespace

void RegisterConnector(const QARCAX::CaxConnector* connector, DWORD owner) {
    OwnerTable& table = Table();
    const std::lock_guard<std::mutex> hold(table.lock);
    table.homes[connector] = Home{owner, S_OK};
}

void UnregisterConnector(const QARCAX::CaxConnector* connector) {
    OwnerTable& table = Table();
    const std::lock_guard<std::mutex> hold(table.lock);
    table.homes.erase(connector);
}

DWORD ConnectorOwner(const QARCAX::CaxConnector* connector) {
    OwnerTable& table = Table();
    const std::lock_guard<std::mutex> hold(table.lock);
    const auto found = table.homes.find(connector);
    return found != table.homes.end() ? found->second.thread : 0;
}

void SetConnectorApartment(const QARCAX::CaxConnector* connector, HRESULT joined) {
    OwnerTable& table = Table();
    const std::lock_guard<std::mutex> hold(table.lock);
    const auto found = table.homes.find(connector);
    if (found != table.homes.end()) found->second.apartment = joined;
}

HRESULT ConnectorApartment(const QARCAX::CaxConnector* connector) {
    OwnerTable& table = Table();
    const std::lock_guard<std::mutex> hold(table.lock);
    const auto found = table.homes.find(connector);
    return found != table.homes.end() ? found->second.apartment : S_OK;
}

int RecordWrongThread(const wchar_t* operation, int& errorCode, std::wstring& errorMessage) {
    RecordFailure(errorCode, errorMessage, RPC_E_WRONG_THREAD,
                  std::wstring(operation) + L"():" + ComErrorMessage(RPC_E_WRONG_THREAD));
    return RPC_E_WRONG_THREAD;
}

}  // namespace qar

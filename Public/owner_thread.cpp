#include "Public/owner_thread.h"

#include <mutex>
#include <unordered_map>

#include "Public/dispatch_invoke.h"

namespace qar {

namespace {

// Objects are made and destroyed on their hosts' threads, several at once in a host with several
// apartments.
struct OwnerTable {
    std::mutex lock;
    std::unordered_map<const void*, OwnerHome> homes;
};

OwnerTable& Table() {
    static OwnerTable table;
    return table;
}

}  // namespace

void RegisterOwner(const void* object, OwnerHome home) {
    OwnerTable& table = Table();
    const std::lock_guard<std::mutex> hold(table.lock);
    table.homes[object] = home;
}

void ForgetOwner(const void* object) {
    OwnerTable& table = Table();
    const std::lock_guard<std::mutex> hold(table.lock);
    table.homes.erase(object);
}

OwnerHome HomeOf(const void* object) {
    OwnerTable& table = Table();
    const std::lock_guard<std::mutex> hold(table.lock);
    const auto found = table.homes.find(object);
    return found != table.homes.end() ? found->second : OwnerHome{};
}

void SetOwnerApartment(const void* object, HRESULT joined) {
    OwnerTable& table = Table();
    const std::lock_guard<std::mutex> hold(table.lock);
    const auto found = table.homes.find(object);
    if (found != table.homes.end()) found->second.apartment = joined;
}

int RecordWrongThread(const wchar_t* operation, StatusRecord record) {
    return record.Fail(RPC_E_WRONG_THREAD,
                       std::wstring(operation) + L"():" + ComErrorMessage(RPC_E_WRONG_THREAD));
}

}  // namespace qar

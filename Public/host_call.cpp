#include "Public/host_call.h"

#include <cwctype>

#include "Public/busy_retry.h"
#include "Public/dispatch_invoke.h"

namespace qar {

BusyNoteScope::BusyNoteScope(StatusRecord record, std::wstring (*note)(unsigned long)) noexcept
    : record_(record), note_(note) {
    if (note_ != nullptr) watch_.emplace(record);
    ClearBusyNote();
}

BusyNoteScope::~BusyNoteScope() {
    ClearBusyNote();
}

int BusyNoteScope::Finish(int result) {
    const unsigned long waited = BusyNote();
    if (result == 0 || note_ == nullptr || waited == 0) return result;
    int code = record_.Code();
    std::wstring message = record_.Message();
    if (!watch_->Written()) {
        code = result;
        message = ComErrorMessage(result);
    }
    const bool lineFeed = !message.empty() && message.back() == L'\n';
    if (lineFeed) message.pop_back();
    if (!message.empty() && !iswspace(message.back())) message += L' ';
    message += note_(waited);
    if (lineFeed) message += L'\n';
    record_.Fail(code, std::move(message));
    return result;
}

}  // namespace qar

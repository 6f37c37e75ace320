#include "sldw/host_operation.h"

#include <cwctype>

#include "Public/busy_policy.h"
#include "Public/busy_retry.h"
#include "Public/dispatch_invoke.h"
#include "Public/error_model.h"
#include "Public/text_helpers.h"
#include "sldw/localized_messages.h"
#include "sldw/message_ids.h"

namespace qar {

namespace {

// Seconds with only the decimals they need: 5000 -> "5", 2500 -> "2.5", 250 -> "0.25".
std::wstring SecondsText(unsigned long milliseconds) {
    std::wstring text = std::to_wstring(milliseconds / 1000);
    if (const unsigned long rest = milliseconds % 1000) {
        std::wstring fraction = FormatString(L"%03lu", rest);
        while (fraction.back() == L'0') fraction.pop_back();
        text += L"." + fraction;
    }
    return text;
}

}  // namespace

std::wstring BusyNoteText(unsigned long milliseconds) {
    return FormatBuffered(LoadLocalizedString(IDS_BUSY_TIMEOUT).c_str(), SecondsText(milliseconds).c_str());
}

BusyNoteScope::BusyNoteScope(int& errorCode, std::wstring& errorMessage)
    : errorCode_(errorCode), errorMessage_(errorMessage), watching_(QARCAX::GetBusyTimeout() != 0) {
    ClearBusyNote();
    if (watching_) {
        codeBefore_ = errorCode;
        messageBefore_ = errorMessage;
    }
}

BusyNoteScope::~BusyNoteScope() {
    ClearBusyNote();
}

int BusyNoteScope::Finish(int result) {
    const unsigned long waited = BusyNote();
    if (result == 0 || !watching_ || waited == 0) return result;
    std::wstring message = errorMessage_;
    int code = errorCode_;
    if (code == codeBefore_ && message == messageBefore_) {
        code = result;
        message = ComErrorMessage(result);
    }
    const bool lineFeed = !message.empty() && message.back() == L'\n';
    if (lineFeed) message.pop_back();
    if (!message.empty() && !iswspace(message.back())) message += L' ';
    message += BusyNoteText(waited);
    if (lineFeed) message += L'\n';
    RecordFailure(errorCode_, errorMessage_, code, std::move(message));
    return result;
}

}  // namespace qar

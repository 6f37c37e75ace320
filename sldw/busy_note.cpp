#include "sldw/busy_note.h"

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

}  // namespace qar

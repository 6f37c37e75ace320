// The note a failed operation gains when a call inside it was given up on a busy application.
#pragma once

#include "sldw/layer.h"

#include <string>

namespace qar {

// "The CAD application stayed busy for 2.5 s." in the user's language, for `milliseconds` of
// waiting (seconds with only the decimals they need: 5000 -> "5", 250 -> "0.25").
std::wstring BusyNoteText(unsigned long milliseconds);

}  // namespace qar

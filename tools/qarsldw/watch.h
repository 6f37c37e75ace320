// The host keeps control while it waits for the application. Watch runs one operation on the calling
// thread (its COM calls belong to that thread's apartment) while a watcher thread
//  - on a console, shows "<operation> ... 2.4 s" once the wait is longer than `showAfterMs`, and
//    removes the line afterwards;
//  - when `callTimeoutSeconds` (0: none) pass without the operation ending, says which operation is
//    waiting and for how long, and ends the program with kExitNoAnswer. A call into a hung
//    application cannot be cancelled; the application is left alone.
//
//   Watch(watching, L"line 4: menu PLM", [&] { result = command.CreateMenu(L"PLM"); });
#pragma once

#include <functional>
#include <string>

#include "report.h"

namespace qarsldw {

struct Watching {
    bool showProgress = false;  // a console that shows the elapsed time
    unsigned long showAfterMs = 2000;
    unsigned long callTimeoutSeconds = 0;
    bool json = false;  // the watchdog's message as a JSON object
};

void Watch(const Watching& watching, const std::wstring& operation, const std::function<void()>& work);

}  // namespace qarsldw

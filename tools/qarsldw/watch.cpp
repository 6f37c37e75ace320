#include "watch.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "Public/owners.h"
#include "terminal.h"

namespace qarsldw {

namespace {

using Clock = std::chrono::steady_clock;

std::wstring Seconds(Clock::duration elapsed) {
    wchar_t text[32];
    swprintf(text, 32, L"%.1f s", std::chrono::duration<double>(elapsed).count());
    return text;
}

// Says that `operation` has had no answer and ends the program. The main thread is inside the waiting
// call, so nothing else writes meanwhile; the process ends without running anyone's clean-up, which
// could itself wait for the hung call.
[[noreturn]] void GiveUp(const Watching& watching, const std::wstring& operation) {
    const std::wstring seconds = std::to_wstring(watching.callTimeoutSeconds);
    Result result;
    result.json.Add(L"command", operation)
        .Add(L"ok", false)
        .Add(L"error", L"no answer")
        .Add(L"seconds", static_cast<long long>(watching.callTimeoutSeconds));
    result.text = L"\n" + operation + L": no answer for " + seconds +
                  L" s; giving up and leaving the application alone (it may be hung or showing a dialog)";
    result.toError = true;
    Reporter(watching.json).Write(result);
    TerminateProcess(GetCurrentProcess(), kExitNoAnswer);
    for (;;) Sleep(INFINITE);
}

}  // namespace

void Watch(const Watching& watching, const std::wstring& operation, const std::function<void()>& work) {
    if (!watching.showProgress && watching.callTimeoutSeconds == 0) {
        work();
        return;
    }
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false, shown = false;
    const Clock::time_point start = Clock::now();
    std::thread watcher([&] {
        std::unique_lock<std::mutex> lock(mutex);
        const auto deadline = start + std::chrono::seconds(watching.callTimeoutSeconds);
        while (!wake.wait_for(lock, std::chrono::milliseconds(250), [&] { return done; })) {
            const Clock::time_point now = Clock::now();
            if (watching.callTimeoutSeconds != 0 && now >= deadline) GiveUp(watching, operation);
            if (watching.showProgress && now - start >= std::chrono::milliseconds(watching.showAfterMs)) {
                Terminal::Get().Out(L"\r" + operation + L" ... " + Seconds(now - start) + L"   ");
                shown = true;
            }
        }
    });
    {
        // The watcher stops however `work` ends.
        const qar::ScopeExit stop([&] {
            {
                const std::lock_guard<std::mutex> lock(mutex);
                done = true;
            }
            wake.notify_all();
            watcher.join();
        });
        work();
    }
    if (shown) Terminal::Get().Out(L"\r" + std::wstring(operation.size() + 16, L' ') + L"\r");
}

}  // namespace qarsldw

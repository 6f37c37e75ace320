#include "terminal.h"

#include <algorithm>

#include "cli.h"

namespace qarsldw {

Terminal& Terminal::Get() {
    static Terminal terminal;
    return terminal;
}

Terminal::Terminal() {
    DWORD mode = 0;
    out_ = GetStdHandle(STD_OUTPUT_HANDLE);
    err_ = GetStdHandle(STD_ERROR_HANDLE);
    outConsole_ = GetConsoleMode(out_, &mode) != FALSE;
    errConsole_ = GetConsoleMode(err_, &mode) != FALSE;
}

void Terminal::Write(HANDLE handle, bool console, const std::wstring& text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
    if (console) {
        for (size_t done = 0; done < text.size();) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 16384));
            DWORD written = 0;
            if (!WriteConsoleW(handle, text.data() + done, chunk, &written, nullptr) || written == 0) return;
            done += written;
        }
        return;
    }
    const std::string bytes = ToUtf8(text);
    for (size_t done = 0; done < bytes.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data() + done, chunk, &written, nullptr) || written == 0) return;
        done += written;
    }
}

}  // namespace qarsldw

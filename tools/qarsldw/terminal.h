// qarsldw's standard output and error. A console gets UTF-16 through WriteConsoleW (it shows any
// character the font has, whatever the code page); a pipe or file gets UTF-8, which scripts and other
// programs read without knowing the system's code page. Safe to use from the watcher thread.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>

namespace qarsldw {

class Terminal {
public:
    static Terminal& Get();
    bool OutIsConsole() const { return outConsole_; }
    void Out(const std::wstring& text) { Write(out_, outConsole_, text); }
    void Err(const std::wstring& text) { Write(err_, errConsole_, text); }

private:
    Terminal();
    void Write(HANDLE handle, bool console, const std::wstring& text);

    HANDLE out_, err_;
    bool outConsole_, errConsole_;
    std::mutex mutex_;
};

}  // namespace qarsldw

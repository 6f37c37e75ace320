// What a host's own tests need from the simulated application besides its interfaces: a scratch copy
// of the sample documents to open, save and delete, and the control interface's texts as strings, so
// that a test can check what its host asked of the application and that it gave back every reference.
// Header only; it needs nothing beyond COM and the generated control interface (every BSTR it
// receives is owned before a copy that may throw is made).
//
//   qarsim::SampleCopy samples(installation + L"simulator\\samples");
//   ... the host opens samples.File(L"clamp.sldasm") and ends its session ...
//   EXPECT_EQ(baseline, qarsim::ClientReferences(control));
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <oleauto.h>

#include "simulator/sim_control.h"

namespace qarsim {

namespace detail {

// The text a control call hands back, its BSTR freed; "" when the call fails.
template <class Call>
std::wstring TextOf(Call&& call) {
    BSTR text = nullptr;
    const HRESULT hr = call(&text);
    // Owned before the copy, which may throw.
    const std::unique_ptr<OLECHAR, decltype(&SysFreeString)> owner(text, &SysFreeString);
    return SUCCEEDED(hr) && text != nullptr ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

}  // namespace detail

// A copy of every file of `samplesFolder` in a folder of its own under the temporary folder, named
// after the process, the time and an instance number (a process id alone is reused, and a crashed
// process leaves its folder behind); the copy and the folder are removed with the object, and copies
// left behind more than an hour ago are removed on the way.
class SampleCopy {
public:
    explicit SampleCopy(const std::wstring& samplesFolder) {
        static LONG instances = 0;
        wchar_t temp[MAX_PATH + 1];
        const std::wstring tempFolder(temp, GetTempPathW(MAX_PATH + 1, temp));
        RemoveLeftBehind(tempFolder);
        folder_ = tempFolder + L"qarsim-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(GetTickCount64()) + L"-" +
                  std::to_wstring(InterlockedIncrement(&instances));
        complete_ = CreateDirectoryW(folder_.c_str(), nullptr) != FALSE;
        ForEachEntry(samplesFolder + L"\\*", [&](const WIN32_FIND_DATAW& found) {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return;
            names_.push_back(found.cFileName);
            complete_ = CopyFileW((samplesFolder + L"\\" + found.cFileName).c_str(),
                                  File(found.cFileName).c_str(), FALSE) &&
                        complete_;
        });
    }
    ~SampleCopy() {
        for (const std::wstring& name : names_) DeleteFileW(File(name).c_str());
        RemoveDirectoryW(folder_.c_str());
    }
    SampleCopy(const SampleCopy&) = delete;
    SampleCopy& operator=(const SampleCopy&) = delete;

    // False when the folder could not be made, the samples not listed or a file not copied.
    bool Complete() const { return complete_ && !names_.empty(); }
    const std::wstring& Folder() const { return folder_; }
    std::wstring File(const std::wstring& name) const { return folder_ + L"\\" + name; }

private:
    // Calls `each` with the name of every entry of `pattern` (a folder and a wildcard).
    template <class Each>
    static void ForEachEntry(const std::wstring& pattern, Each&& each) {
        WIN32_FIND_DATAW found;
        const HANDLE first = FindFirstFileW(pattern.c_str(), &found);
        if (first == INVALID_HANDLE_VALUE) return;
        const std::unique_ptr<void, decltype(&FindClose)> search(first, &FindClose);
        do each(found);
        while (FindNextFileW(search.get(), &found));
    }
    // Copies whose folder was last written more than an hour ago: no test runs that long, so their
    // process is gone without having removed them.
    static void RemoveLeftBehind(const std::wstring& tempFolder) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const auto ticks = [](const FILETIME& t) {
            return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        };
        constexpr ULONGLONG kHour = 36'000'000'000ULL;  // in 100 ns
        ForEachEntry(tempFolder + L"qarsim-*", [&](const WIN32_FIND_DATAW& entry) {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
                ticks(now) - ticks(entry.ftLastWriteTime) < kHour) {
                return;
            }
            const std::wstring folder = tempFolder + entry.cFileName;
            ForEachEntry(folder + L"\\*", [&](const WIN32_FIND_DATAW& file) {
                DeleteFileW((folder + L"\\" + file.cFileName).c_str());
            });
            RemoveDirectoryW(folder.c_str());
        });
    }

    std::wstring folder_;
    std::vector<std::wstring> names_;
    bool complete_ = false;
};

// ISimControl::ObjectCounts: a "<kind> <live> <references>" line per kind of object; "" when the call fails.
inline std::wstring ObjectCounts(ISimControl* control) {
    return detail::TextOf([&](BSTR* text) { return control->ObjectCounts(text); });
}

// The references clients hold per kind of object, "<kind> <references>" lines: open documents and the
// loaded add-in are held by the application itself and do not count. A host that gave back everything
// it took leaves these as they were before its session.
inline std::wstring ClientReferences(ISimControl* control) {
    std::wstring result;
    const std::wstring counts = ObjectCounts(control);
    for (size_t start = 0; start < counts.size();) {
        const size_t end = counts.find(L'\n', start);
        const std::wstring line = counts.substr(start, end - start);
        const size_t first = line.find(L' '), last = line.rfind(L' ');
        if (first != std::wstring::npos) result += line.substr(0, first) + line.substr(last) + L"\n";
        start = end == std::wstring::npos ? counts.size() : end + 1;
    }
    return result;
}

// ISimControl::CallLog: a "<instance>\t<entry>(<arguments>)" line per call; "" when the call fails.
inline std::wstring CallLog(ISimControl* control) {
    return detail::TextOf([&](BSTR* text) { return control->CallLog(text); });
}

// ISimControl::AddInConfiguration: an "<entry>\t<value>" line per configuration call the add-in
// accepted; "" when the call fails.
inline std::wstring AddInConfiguration(ISimControl* control) {
    return detail::TextOf([&](BSTR* text) { return control->AddInConfiguration(text); });
}

}  // namespace qarsim

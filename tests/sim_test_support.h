// Helpers for tests of the simulated CAD application, in process and across processes.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <memory>
#include <string>

#include "Public/cad_interfaces.h"
#include "Public/com_owners.h"
#include "module_test_support.h"
#include "simulator/sim_client.h"

using qar::ComPtr;

// A BSTR argument for the length of one call, from headers a host has too:
//   control->FailEntry(Bstr(L"ISldWorks.Frame").Get(), E_FAIL, SimOnce);
class Bstr {
public:
    explicit Bstr(const std::wstring& text)
        : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(value_); }
    BSTR Get() const { return value_; }

private:
    BSTR value_;
};

// A scratch copy of the sample documents (simulator/samples, copied beside the test program), so
// that tests may save and delete files.
struct SampleFolder : qarsim::SampleCopy {
    SampleFolder() : SampleCopy(TestProgramDirectory() + L"samples") { EXPECT_TRUE(Complete()); }
};
// COM joined in a single-threaded apartment for the object's lifetime; declare it before the COM
// pointers it must outlive.
struct ComApartment {
    ComApartment() { EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    ~ComApartment() { CoUninitialize(); }
};

// The control of the simulator registered in the test's prefix, reached by activation (which starts
// its server or meets the running one); null when that fails.
inline ComPtr<ISimControl> RegisteredControl() {
    CLSID application;
    ComPtr<ISimControl> control;
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"SldWorks.Application.24", &application));
    EXPECT_EQ(S_OK, CoCreateInstance(application, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(ISimControl),
                                     reinterpret_cast<void**>(control.Put())));
    return control;
}

// Runs `line` through the command processor with its standard error joined to its output: the
// output's bytes, and the exit code in `exitCode`. The outer quotes keep quoted paths in the line
// whole, as cmd.exe strips one pair.
inline std::string RunCommand(const std::wstring& line, int& exitCode) {
    const auto close = [&exitCode](FILE* pipe) { exitCode = _pclose(pipe); };
    std::string output;
    exitCode = -1;
    const std::unique_ptr<FILE, decltype(close)> pipe(_wpopen((L"\"" + line + L" 2>&1\"").c_str(), L"rb"),
                                                      close);
    for (int c; pipe && (c = fgetc(pipe.get())) != EOF;) output += static_cast<char>(c);
    return output;
}

using qarsim::CallLog;
using qarsim::ClientReferences;
using qarsim::ObjectCounts;

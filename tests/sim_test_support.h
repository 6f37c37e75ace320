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
class Bstr : std::unique_ptr<OLECHAR, decltype(&SysFreeString)> {
public:
    explicit Bstr(const std::wstring& text)
        : unique_ptr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())), &SysFreeString) {}
    BSTR Get() const { return get(); }
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

// The simulator registered in the test's prefix, reached by activation (which starts its server or
// meets the running one): its control, its application and the instance's id.
struct RegisteredSimulator {
    ComPtr<ISimControl> control;
    ComPtr<ISldWorks> app;
    LONG id = 0;
    RegisteredSimulator() {
        CLSID application;
        EXPECT_EQ(S_OK, CLSIDFromProgID(L"SldWorks.Application.24", &application));
        EXPECT_EQ(S_OK, CoCreateInstance(application, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(ISimControl),
                                         reinterpret_cast<void**>(control.Put())));
        EXPECT_TRUE(control && control->get_InstanceId(&id) == S_OK && control.As(app) == S_OK);
    }
};

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

// Helpers for tests of the simulated CAD application, in process and across processes.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <oleauto.h>

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
    explicit Bstr(const std::wstring& text) : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
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
using qarsim::CallLog;
using qarsim::ClientReferences;
using qarsim::ObjectCounts;

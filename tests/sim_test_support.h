// Helpers for tests of the simulated CAD application, in process and across processes.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include "Public/cad_interfaces.h"
#include "Public/com_owners.h"
#include "module_test_support.h"
#include "simulator/sim_client.h"

inline UniqueBstr Bstr(const std::wstring& text) { return UniqueBstr::Copy(text); }

// A scratch copy of the sample documents (simulator/samples, copied beside the test program), so
// that tests may save and delete files.
struct SampleFolder : qarsim::SampleCopy {
    SampleFolder() : SampleCopy(TestProgramDirectory() + L"samples") { EXPECT_TRUE(Complete()); }
};
using qarsim::CallLog;
using qarsim::ClientReferences;
using qarsim::ObjectCounts;

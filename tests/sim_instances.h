// Extra instances of the simulated application for a test: `qarcadsim /instance` processes, each found
// in the running-object table by its process (through its main window's owner), with its control and
// the handle text a connector attaches by. They end on Quit when the object goes.
//   SimInstances instances(2);
//   SldwConnector connector(3, L"SolidWorks 2016", instances.handles[1], L"");
#pragma once

#include <process.h>

#include <cerrno>

#include <string>
#include <vector>

#include "Public/owners.h"
#include "sim_test_support.h"
#include "sldw/running_instances.h"

struct SimInstances {
    explicit SimInstances(int count, const wchar_t* lifetime = L"/lifetime:120")
        : processes(count), ids(count), controls(count), handles(count) {
        const std::wstring server = TestProgramDirectory() + L"..\\simulator\\qarcadsim.exe";
        for (int i = 0; i < count; ++i) {
            // Under Wine on a loaded machine a start now and then fails at once (-1); the next one works.
            intptr_t process = -1;
            for (int attempt = 0; attempt < 3 && process == -1; ++attempt) {
                if (attempt > 0) Sleep(200);
                process = _wspawnl(_P_NOWAIT, server.c_str(), (L"\"" + server + L"\"").c_str(), L"/instance",
                                   lifetime, nullptr);
            }
            EXPECT_NE(-1, process) << "errno " << errno;
            if (process != -1) processes[i].Reset(reinterpret_cast<HANDLE>(process));
            ids[i] = GetProcessId(processes[i].Get());
        }
        // Each instance by its process, once every one has registered.
        for (int attempt = 0; attempt < 200 && !Complete(); ++attempt, Sleep(100)) {
            for (const qar::ComPtr<IMoniker>& entry : qar::RunningEntries()) {
                ComPtr<ISldWorks> app;
                std::wstring handle;
                DWORD owner = 0;
                if (qar::ProbeRunningEntry(entry.Get(), app, handle) != S_OK) continue;
                GetWindowThreadProcessId(reinterpret_cast<HWND>(static_cast<LONG_PTR>(std::stoll(handle))),
                                         &owner);
                for (int i = 0; i < count; ++i) {
                    if (owner == ids[i] && !controls[i] && app.As(controls[i]) == S_OK) handles[i] = handle;
                }
            }
        }
        EXPECT_TRUE(Complete()) << "every instance in the running-object table";
    }
    ~SimInstances() {
        for (size_t i = 0; i < controls.size(); ++i) {
            if (controls[i]) controls[i]->Quit();
            controls[i].Reset();
            if (processes[i]) {
                EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(processes[i].Get(), 10000)) << "instance " << i;
            }
        }
    }
    bool Complete() const {
        for (const ComPtr<ISimControl>& control : controls)
            if (!control) return false;
        return true;
    }

    std::vector<qar::UniqueHandle> processes;
    std::vector<DWORD> ids;
    std::vector<ComPtr<ISimControl>> controls;
    std::vector<std::wstring> handles;  // main-window handles as signed decimal text
};

// What is installed and what is running: the `versions` and `instances` subcommands, and the probe of
// running instances that `--attach-pid` and the doctor use too.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "cli.h"
#include "report.h"

namespace qarsldw {

// One running instance as a probe found it. Each entry of the running-object table is probed on a
// thread of its own (in an apartment of its own) with a time limit, so that a hung instance is
// reported instead of stopping the listing.
struct InstanceProbe {
    enum class State { Answers, Busy, NoAnswer, Failed };
    State state = State::NoAnswer;
    std::wstring handleText;  // the main window's handle text (when it answers)
    DWORD processId = 0;      // the process that owns the main window (when it answers)
    HRESULT hr = S_OK;        // what a failed or busy probe met
};

// The instances of the running-object table, in its order; entries that are not the application are
// left out. An instance gets `answerMs` to answer (calls it refuses as busy are retried meanwhile).
std::vector<InstanceProbe> ProbeInstances(unsigned long answerMs);

// The window-handle text of the instance that process `processId` runs; false with a message when it
// runs none (or it does not answer).
bool HandleOfProcess(DWORD processId, std::wstring& handleText, std::wstring& error);

// One line (or JSON object) per installed family, with the current version and the ProgIDs.
int Versions(Reporter& report);
// One line (or JSON object) per running instance: its window-handle text and process id.
int Instances(Reporter& report);

}  // namespace qarsldw

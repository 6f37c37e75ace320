#include "inventory.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <QarSldwInterface.h>

#include "Public/busy_retry.h"
#include "Public/version_choice.h"
#include "Public/text_helpers.h"
#include "sldw/running_instances.h"

using qar::CCaxVersion;
using qar::ChosenVersion;
using qar::CreateCaxVersion;
using qar::FormatString;
using qar::InstalledVersions;
using qar::ProgIdOf;
using qar::StoredCurrentVersion;
using qar::SystemMessageText;

namespace qarsldw {

namespace {

constexpr int kFamilies = 3;
// How long `instances` and --attach-pid give an instance to answer.
constexpr unsigned long kAnswerMs = 5000;

// The probe of the running-object table's entry named `name`, made in a single-threaded apartment of
// the calling thread. An entry that is gone or is not the application leaves `found` false.
void ProbeEntry(const std::wstring& name, unsigned long answerMs, InstanceProbe& probe, bool& found) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return;
    const qar::ScopeExit uninitialize([] { CoUninitialize(); });
    // A busy instance is asked again for most of the time it has; the rest is the margin in which the
    // last answer arrives.
    QARCAX::SetBusyTimeout(answerMs * 3 / 4);
    qar::ComPtr<IMoniker> entry;
    for (qar::ComPtr<IMoniker>& candidate : qar::RunningEntries()) {
        if (qar::EntryName(candidate.Get()) == name) entry = std::move(candidate);
    }
    if (!entry) return;
    qar::ComPtr<ISldWorks> app;
    probe.hr = qar::ProbeRunningEntry(entry.Get(), app, probe.handleText);
    if (probe.hr == S_FALSE) return;
    found = true;
    if (probe.hr == S_OK) {
        probe.state = InstanceProbe::State::Answers;
        const HWND window = reinterpret_cast<HWND>(static_cast<LONG_PTR>(std::stol(probe.handleText)));
        GetWindowThreadProcessId(window, &probe.processId);
    } else {
        probe.state =
            qar::IsBusyRefusal(probe.hr) ? InstanceProbe::State::Busy : InstanceProbe::State::Failed;
    }
}

// What a probe thread and the waiting thread share; the thread may outlive the wait (a hung call).
struct ProbeSlot {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false, found = false;
    InstanceProbe probe;
};

// "0x80010001 The call was rejected..." for what a probe met.
std::wstring HResultText(HRESULT hr) {
    const unsigned long code = static_cast<unsigned long>(hr);
    return FormatString(L"0x%08lX", code) + L" " + TrimEnd(SystemMessageText(code));
}

}  // namespace

std::vector<InstanceProbe> ProbeInstances(unsigned long answerMs) {
    std::vector<InstanceProbe> instances;
    for (const qar::ComPtr<IMoniker>& entry : qar::RunningEntries()) {
        const std::wstring name = qar::EntryName(entry.Get());
        if (name.empty()) continue;
        auto slot = std::make_shared<ProbeSlot>();
        std::thread([slot, name, answerMs] {
            InstanceProbe probe;
            bool found = false;
            ProbeEntry(name, answerMs, probe, found);
            const std::lock_guard<std::mutex> lock(slot->mutex);
            slot->probe = probe;
            slot->found = found;
            slot->done = true;
            slot->finished.notify_all();
        }).detach();
        std::unique_lock<std::mutex> lock(slot->mutex);
        if (!slot->finished.wait_for(lock, std::chrono::milliseconds(answerMs), [&] { return slot->done; })) {
            instances.push_back(InstanceProbe{});  // a hung instance: its thread is left waiting
        } else if (slot->found) {
            instances.push_back(slot->probe);
        }
    }
    return instances;
}

bool HandleOfProcess(DWORD processId, std::wstring& handleText, std::wstring& error) {
    for (const InstanceProbe& instance : ProbeInstances(kAnswerMs)) {
        if (instance.state == InstanceProbe::State::Answers && instance.processId == processId) {
            handleText = instance.handleText;
            return true;
        }
    }
    error = L"process " + std::to_wstring(processId) +
            L" runs no instance of the CAD application that answers (see: qarsldw instances)";
    return false;
}

int Versions(Reporter& report) {
    for (int type = 1; type <= kFamilies; ++type) {
        const std::unique_ptr<CCaxVersion> family(CreateCaxVersion(type));
        const std::vector<std::wstring> installed = InstalledVersions(*family);
        const std::wstring stored = StoredCurrentVersion(*family);
        const std::wstring current = ChosenVersion(type, L"");
        Result result;
        std::wstring list = L"[";
        result.text = family->GetCaxName() + L" (type " + std::to_wstring(type) + L")";
        if (installed.empty()) result.text += L"\n  installed: none";
        for (const std::wstring& version : installed) {
            const std::wstring progId = ProgIdOf(*family, version);
            list += (list.size() > 1 ? L"," : L"") +
                    JsonObject().Add(L"version", version).Add(L"progId", progId).Text();
            result.text += L"\n  " + version + L" -> " + progId;
        }
        result.text +=
            L"\n  current: " + (current.empty() ? std::wstring(L"none") : current) +
            (stored.empty() ? (current.empty() ? L"" : L" (latest installed; none chosen)") : L" (chosen)");
        result.json.Add(L"family", family->GetCaxName())
            .Add(L"type", type)
            .AddRaw(L"installed", list + L"]")
            .Add(L"current", current)
            .Add(L"currentChosen", !stored.empty());
        report.Write(result);
    }
    return kExitOk;
}

int Instances(Reporter& report) {
    const std::vector<InstanceProbe> instances = ProbeInstances(kAnswerMs);
    for (const InstanceProbe& instance : instances) {
        Result result;
        result.json.Add(L"handle", instance.handleText)
            .Add(L"processId", static_cast<long long>(instance.processId));
        switch (instance.state) {
            case InstanceProbe::State::Answers:
                result.json.Add(L"state", L"answers");
                result.text = L"window handle " + instance.handleText + L", process " +
                              std::to_wstring(instance.processId);
                break;
            case InstanceProbe::State::Busy:
                result.json.Add(L"state", L"busy");
                result.text = L"an instance is busy: " + HResultText(instance.hr);
                break;
            case InstanceProbe::State::NoAnswer:
                result.json.Add(L"state", L"no answer");
                result.text = L"an instance gave no answer within " + std::to_wstring(kAnswerMs / 1000) +
                              L" s (busy or hung)";
                break;
            case InstanceProbe::State::Failed:
                result.json.Add(L"state", L"failed");
                result.text = L"an instance could not be asked: " + HResultText(instance.hr);
                break;
        }
        report.Write(result);
    }
    if (instances.empty() && !report.Json()) {
        Result none;
        none.text = L"no instance of the CAD application is running";
        report.Write(none);
    }
    return kExitOk;
}

}  // namespace qarsldw

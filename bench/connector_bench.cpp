// Times the connector and its command against the simulated CAD application across the process
// boundary, each figure next to the floor measured in the same run: the raw early-bound round trip
// (a call that does nothing), the raw late-bound call (lookup plus invoke), the raw activation.
// Run on demand, with the simulator registered in the prefix:
//   cmake/wine-run.sh $PWD/build/mingw/wineprefix build/mingw/simulator/qarcadsim.exe /regserver /machine
//   cmake/wine-run.sh $PWD/build/mingw/wineprefix build/mingw/bench/connector_bench.exe [cycles]
// `cycles` is the endurance run's length (10,000 by default).
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Public/cad_interfaces.h"
#include "Public/owners.h"
#include "simulator/sim_control.h"
#include "sldw/sldw_command.h"
#include "sldw/sldw_connector.h"
#include "Public/busy_policy.h"
#include "bench_timing.h"

using qar::ComPtr;
using qar::UniqueBstr;
using qar::UniqueVariant;

namespace {

const wchar_t kProgId[] = L"SldWorks.Application.24";
const wchar_t kVersion[] = L"SolidWorks 2016";

// Calls whose log lines carry this instance since the last Reset.
int LoggedCalls(ISimControl* control) {
    UniqueBstr log;
    Check(SUCCEEDED(control->CallLog(log.Put())), "CallLog");
    const std::wstring text = log.Str();
    return static_cast<int>(std::count(text.begin(), text.end(), L'\n'));
}

void PrintLog(ISimControl* control) {
    UniqueBstr log;
    control->CallLog(log.Put());
    std::printf("%ls", log.CStr());
}

// Raw late-bound call: look the name up, then invoke with one BSTR argument.
HRESULT RawByName(IDispatch* target, const wchar_t* name, std::initializer_list<const wchar_t*> args) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    std::vector<UniqueVariant> values(args.size());
    std::vector<VARIANT> raw(args.size());
    size_t i = 0;
    for (const wchar_t* arg : args) {
        V_VT(values[i].Ptr()) = VT_BSTR;
        V_BSTR(values[i].Ptr()) = SysAllocString(arg);
        raw[args.size() - 1 - i] = values[i].Get();
        ++i;
    }
    DISPPARAMS params = {raw.data(), nullptr, static_cast<UINT>(raw.size()), 0};
    UniqueVariant result;
    return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.Ptr(), nullptr,
                          nullptr);
}

// `size` strings: a name at even positions, a distinct path at odd ones.
UniqueVariant Dependencies(LONG size) {
    UniqueVariant value;
    V_VT(value.Ptr()) = VT_ARRAY | VT_BSTR;
    V_ARRAY(value.Ptr()) = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(size));
    for (LONG i = 0; i < size; ++i) {
        const std::wstring text = (i % 2 == 0 ? L"part-" : L"C:\\Projects\\Pump\\parts\\part-") +
                                  std::to_wstring(i / 2) + L".SLDPRT";
        UniqueBstr element = UniqueBstr::Copy(text);
        SafeArrayPutElement(V_ARRAY(value.Ptr()), &i, element.Get());
    }
    return value;
}

struct Usage {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};
// Measured: under Wine 8 GetProcessHandleCount succeeds with a count of 0 and GetProcessMemoryInfo
// with a PrivateUsage of 0. There the value of a fresh handle stands in for the count (both systems
// hand out the lowest free slot first, so it climbs when handles leak), and the committed private
// memory is summed from VirtualQuery.
Usage CurrentUsage() {
    Usage usage;
    if (!GetProcessHandleCount(GetCurrentProcess(), &usage.handles) || usage.handles == 0) {
        const HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        usage.handles = static_cast<DWORD>(reinterpret_cast<uintptr_t>(probe) / 4);
        CloseHandle(probe);
    }
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters)) &&
        counters.PrivateUsage != 0) {
        usage.privateBytes = counters.PrivateUsage;
        return usage;
    }
    MEMORY_BASIC_INFORMATION region;
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof(region)) == sizeof(region);
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) usage.privateBytes += region.RegionSize;
    }
    return usage;
}

std::wstring Counts(ISimControl* control) {
    UniqueBstr text;
    control->ObjectCounts(text.Put());
    std::wstring counts = text.Str();
    std::replace(counts.begin(), counts.end(), L'\n', L';');
    return counts;
}

std::unique_ptr<QARCAX::CaxCommand> Connect(QARCAX::SldwConnector& connector) {
    QARCAX::CaxCommand* made = nullptr;
    const int result = connector.NewCommand(nullptr, made);
    if (result != 0) std::printf("NewCommand: %d %ls\n", result, connector.errorMessage.c_str());
    Check(result == 0 && made != nullptr, "NewCommand");
    return std::unique_ptr<QARCAX::CaxCommand>(made);
}

void Row(const char* what, double ms, double floor, double goal) {
    std::printf("%-34s %10.3f %10.3f %7.2f %6.2f %s\n", what, ms, floor, ms / floor, goal,
                ms / floor <= goal ? "ok" : "OVER");
}

// A file beside this program.
std::wstring BesideProgram(const std::wstring& name) {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

// What every measurement uses: the registered simulator, reached by activation, and a connector with
// its command held for the per-call figures (connecting loads the add-in).
struct Setting {
    CLSID clsid = CLSID_NULL;
    ComPtr<ISldWorks> app;
    ComPtr<ISimControl> control;
    ComPtr<IDispatch> addIn;  // the add-in's object, for raw calls by name
    std::unique_ptr<QARCAX::SldwConnector> held;
    std::unique_ptr<QARCAX::CaxCommand> command;
};

void Reach(Setting& setting) {
    Check(SUCCEEDED(CLSIDFromProgID(kProgId, &setting.clsid)),
          "simulator registered (qarcadsim /regserver /machine)");
    Check(SUCCEEDED(CoCreateInstance(setting.clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ISldWorks,
                                     reinterpret_cast<void**>(setting.app.Put()))),
          "activation");
    Check(SUCCEEDED(setting.app.As(setting.control)), "ISimControl");
    setting.control->Reset();
    setting.held = std::make_unique<QARCAX::SldwConnector>(3, kVersion, L"", L"");
    setting.command = Connect(*setting.held);
    UniqueBstr progId = UniqueBstr::Copy(L"BrivexSw18.BrivexSw18");
    Check(SUCCEEDED(setting.app->AddInObject(progId.Get(), setting.addIn.Put())) && setting.addIn,
          "add-in object");
}

// The floor: what a raw client of the same calls pays.
struct Floor {
    double roundTrip = 0, lateBound = 0, lateBound2 = 0, activation = 0;
};

constexpr int kCalls = 400;

Floor MeasureFloor(Setting& setting) {
    Floor floor;
    LONG id = 0;
    floor.roundTrip = Median(kCalls, [&] { setting.control->get_InstanceId(&id); });
    floor.lateBound = Median(kCalls, [&] { RawByName(setting.addIn.Get(), L"CreateMenu", {L"PLM"}); });
    floor.lateBound2 = Median(kCalls, [&] {
        RawByName(setting.addIn.Get(), L"RefreshTable", {L"parts", L"1"});
    });
    floor.activation = Median(50, [&] {
        ComPtr<ISldWorks> again;
        CoCreateInstance(setting.clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ISldWorks,
                         reinterpret_cast<void**>(again.Put()));
    });
    return floor;
}

// The connect sequence written out by hand with raw COM, the application and the add-in kept until
// after the timing as the command keeps them: what any client of this sequence pays, including COM's
// own work for every new interface (unmarshaling, remote queries, releases).
double RawSequence(const Setting& setting) {
    const std::wstring modulePath = BesideProgram(L"BrivexSw18_x64.dll");
    std::vector<ComPtr<IUnknown>> kept;
    const double median = Median(50, [&] {
        ComPtr<ISldWorks> a;
        CoCreateInstance(setting.clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ISldWorks,
                         reinterpret_cast<void**>(a.Put()));
        a->put_Visible(VARIANT_TRUE);
        a->put_UserControl(VARIANT_TRUE);
        LONG status = 0;
        UniqueBstr module = UniqueBstr::Copy(modulePath);
        a->LoadAddIn(module.Get(), &status);
        LONG handle = 0;
        {
            ComPtr<IDispatch> frameObject;
            ComPtr<IFrame> frame;
            a->Frame(frameObject.Put());
            frameObject.As(frame);
            frame->GetHWnd(&handle);
        }
        ComPtr<IDispatch> object;
        ComPtr<ISwAddIn> addInRaw;
        UniqueBstr progId = UniqueBstr::Copy(L"BrivexSw18.BrivexSw18");
        a->AddInObject(progId.Get(), object.Put());
        object.As(addInRaw);
        UniqueBstr empty = UniqueBstr::Copy(L""), handleText = UniqueBstr::Copy(std::to_wstring(handle));
        addInRaw->SetLanguageXml(empty.Get());
        addInRaw->SetHostObject(nullptr);
        addInRaw->SetAppHandle(handleText.Get());
        addInRaw->SetAddInArgument(empty.Get());
        kept.emplace_back();
        a.As(kept.back());
        kept.emplace_back();
        addInRaw.As(kept.back());
    });
    return median;
}

// NewCommand alone: the command's delete (its Disconnect) stays outside the timing.
double OneNewCommand() {
    QARCAX::SldwConnector c(3, kVersion, L"", L"");
    QARCAX::CaxCommand* made = nullptr;
    const double begin = Now();
    c.NewCommand(nullptr, made);
    const double time = Now() - begin;
    delete made;
    return time;
}

double MedianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double NewCommandTime(int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) times.push_back(OneNewCommand());
    return MedianOf(times);
}

// The connect sequence's logged calls, from one connect (the command's delete says Disconnect, one
// more call outside the connect).
int ConnectCalls(ISimControl* control, bool print) {
    control->Reset();
    int logged = 0;
    {
        QARCAX::SldwConnector one(3, kVersion, L"", L"");
        auto c = Connect(one);
        logged = LoggedCalls(control);
        if (print) {
            std::printf("connect sequence, as the simulator logged it (%d calls):\n", logged);
            PrintLog(control);
        }
    }
    control->Reset();
    return logged;
}

void ReportCalls(Setting& setting, const Floor& floor) {
    const int logged = ConnectCalls(setting.control.Get(), true);
    // Calls COM makes that the log does not see, counted from the code: the activation, the remote
    // QueryInterface for IFrame on the frame and for ISwAddIn on the add-in's object; the
    // application's IDispatch is answered by the proxy already held, in this process.
    const int unlogged = 2;
    const double connectFloor = floor.activation + (logged + unlogged) * floor.roundTrip;
    const double rawSequence = RawSequence(setting);
    const double connect = NewCommandTime(50);
    const double createMenu = Median(kCalls, [&] { setting.command->CreateMenu(L"PLM"); });
    const double refreshTable = Median(kCalls, [&] { setting.command->RefreshTable(L"parts", L"1"); });
    setting.control->Reset();

    std::printf(
        "\nfloor: early-bound round trip %.3f ms, late-bound lookup+invoke %.3f ms (CreateMenu) "
        "%.3f ms (RefreshTable), activation of the running server %.3f ms\n",
        floor.roundTrip, floor.lateBound, floor.lateBound2, floor.activation);
    std::printf("connect: %d logged calls + %d unlogged remote queries + 1 activation\n\n", logged, unlogged);
    std::printf("%-34s %10s %10s %7s %6s\n", "operation", "ms", "floor ms", "ratio", "goal");
    Row("NewCommand vs calls x round trip", connect, connectFloor, 1.2);
    Row("NewCommand vs raw sequence", connect, rawSequence, 1.2);
    Row("CreateMenu by name", createMenu, floor.lateBound, 1.1);
    Row("RefreshTable by name", refreshTable, floor.lateBound2, 1.1);
}

// Dependencies: the call itself against the library's share once the array has arrived.
void ReportDependencies(Setting& setting) {
    Check(setting.command->OpenFile(BesideProgram(L"samples\\clamp.sldasm")) == 0,
          "open the sample assembly");
    ComPtr<ICaxDocument> document;
    Check(setting.app->ActiveDocument(document.Put()) == S_OK && document, "active document");
    std::printf("\n%-10s %12s %12s %12s %8s\n", "elements", "call ms", "library ms", "whole ms", "lib/call");
    double previous = 0;
    for (LONG size : {10000L, 100000L}) {
        {
            UniqueVariant value = Dependencies(size);
            Check(SUCCEEDED(setting.control->SetDependencies(value.Get(), SimAlways)), "SetDependencies");
        }
        const int runs = size >= 100000 ? 5 : 15;
        const double call = Median(runs, [&] {
            UniqueVariant list;
            document->Dependencies(VARIANT_TRUE, VARIANT_TRUE, 0, list.Ptr());
        });
        UniqueVariant arrived;
        document->Dependencies(VARIANT_TRUE, VARIANT_TRUE, 0, arrived.Ptr());
        const double library = Median(runs, [&] {
            std::wstring list;
            qar::detail::DependencyList(arrived.Get(), list);
        });
        std::wstring list;
        const double whole = Median(runs, [&] { setting.command->GetDependencies(list); });
        std::printf("%-10ld %12.2f %12.2f %12.2f %8.2f%s\n", size, call, library, whole, library / call,
                    previous > 0 ? (" (library x" + std::to_string(library / previous).substr(0, 5) +
                                    " for x10 elements)")
                                       .c_str()
                                 : "");
        previous = library;
    }
    setting.control->Reset();
    setting.command->CloseFile();
}

// The busy policy. Recovery: a call made into a busy window of `window` ms succeeds at most one
// retry pause (250 ms at the longest) and two round trips after the window ends. Cost without a busy
// window: no extra call, and the same connect time within noise.
void ReportBusyPolicy(Setting& setting, const Floor& floor) {
    std::printf("\nbusy policy (timeout 5 s): a call made into a busy window\n%-12s %12s %12s %12s\n",
                "window ms", "call ms", "recovery ms", "bound ms");
    QARCAX::SetBusyTimeout(5000);
    const double bound = 250 + 2 * floor.roundTrip;
    for (long window : {100L, 300L, 1000L}) {
        std::vector<double> recoveries;
        double call = 0;
        for (int run = 0; run < 7; ++run) {
            Check(SUCCEEDED(setting.control->SetBusy(window, -1, SimBusyRejected)), "SetBusy");
            const double start = Now();
            Check(setting.command->IsConnected(), "the probe answers after the window");
            call = Now() - start;
            recoveries.push_back(call - static_cast<double>(window));
        }
        std::sort(recoveries.begin(), recoveries.end());
        const double recovery = recoveries[recoveries.size() / 2];
        std::printf("%-12ld %12.1f %12.1f %12.1f %s\n", window, call, recovery, bound,
                    recovery <= bound ? "ok" : "OVER");
    }
    setting.control->Reset();
    const int callsOn = ConnectCalls(setting.control.Get(), false);
    QARCAX::SetBusyTimeout(0);
    const int callsOff = ConnectCalls(setting.control.Get(), false);
    // The two sides alternate in rounds (on-off, then off-on, so neither always goes first) and
    // the ratio is the median of the rounds' own ratios: a load that comes and goes touches both
    // sides of a round alike, where one side measured after the other read 1.5 for a cost of nothing.
    std::vector<double> on, off, ratios;
    for (int round = 0; round < 40; ++round) {
        double times[2];
        for (int side : {round % 2, 1 - round % 2}) {
            QARCAX::SetBusyTimeout(side == 0 ? 5000 : 0);
            times[side] = OneNewCommand();
        }
        on.push_back(times[0]);
        off.push_back(times[1]);
        ratios.push_back(times[0] / times[1]);
    }
    QARCAX::SetBusyTimeout(0);
    std::printf(
        "no busy window, 40 alternating rounds: connect %d calls and %.2f ms with the policy, %d calls "
        "and %.2f ms without (median of the rounds' ratios %.3f)\n",
        callsOn, MedianOf(on), callsOff, MedianOf(off), MedianOf(ratios));
}

// Endurance: connect, use, delete, again and again against the same application.
int RunEndurance(ISimControl* control, long cycles) {
    const std::wstring countsBefore = Counts(control);
    std::printf("\nendurance: %ld cycles\n", cycles);
    Usage start{}, end{};
    const double began = Now();
    for (long i = 0; i < cycles; ++i) {
        {
            QARCAX::SldwConnector c(3, kVersion, L"", L"");
            QARCAX::CaxCommand* made = nullptr;
            if (c.NewCommand(nullptr, made) != 0) {
                std::printf("cycle %ld: NewCommand failed: %d %ls\n", i, c.errorCode, c.errorMessage.c_str());
                return 1;
            }
            std::unique_ptr<QARCAX::CaxCommand> cmd(made);
            cmd->CreateMenu(L"PLM");
            cmd->RefreshTable(L"parts", L"1");
        }
        if (i % 500 == 0) control->Reset();   // the log would grow without bound
        if (i == 99) start = CurrentUsage();  // after first-use setup (caches, proxies)
    }
    end = CurrentUsage();
    control->Reset();
    std::printf(
        "%.1f ms per cycle\nhandles %lu -> %lu, private bytes %zu -> %zu (%+lld)\n"
        "simulator objects (kind live refs) before: %ls\n                                   after:  %ls\n",
        (Now() - began) / (cycles > 0 ? cycles : 1), start.handles, end.handles, start.privateBytes,
        end.privateBytes,
        static_cast<long long>(end.privateBytes) - static_cast<long long>(start.privateBytes),
        countsBefore.c_str(), Counts(control).c_str());
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const long cycles = argc > 1 ? wcstol(argv[1], nullptr, 10) : 10000;
    Check(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)), "CoInitializeEx");
    int result = 0;
    {
        Setting setting;
        Reach(setting);
        const Floor floor = MeasureFloor(setting);
        ReportCalls(setting, floor);
        ReportDependencies(setting);
        ReportBusyPolicy(setting, floor);
        ComPtr<ISimControl> control = setting.control;
        setting = Setting();  // everything the measurements held is given back before the endurance run
        result = RunEndurance(control.Get(), cycles);
    }
    CoUninitialize();
    return result;
}

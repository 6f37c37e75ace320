#include "sldw/running_instances.h"

#include "Public/busy_retry.h"
#include "Public/text_helpers.h"

using qar::ComPtr;

namespace qar {

std::vector<ComPtr<IMoniker>> RunningEntries() {
    std::vector<ComPtr<IMoniker>> monikers;
    ComPtr<IRunningObjectTable> table;
    ComPtr<IEnumMoniker> entries;
    if (FAILED(GetRunningObjectTable(0, table.Put())) || FAILED(table->EnumRunning(entries.Put())) ||
        !entries) {
        return monikers;
    }
    for (;;) {
        ComPtr<IMoniker> moniker;
        if (entries->Next(1, moniker.Put(), nullptr) != S_OK) break;
        monikers.push_back(std::move(moniker));
    }
    return monikers;
}

std::wstring EntryName(IMoniker* entry) {
    ComPtr<IBindCtx> context;
    UniqueTaskText name;
    if (FAILED(CreateBindCtx(0, context.Put())) ||
        FAILED(entry->GetDisplayName(context.Get(), nullptr, name.Put())) || !name) {
        return {};
    }
    return name.Get();
}

HRESULT MainWindowText(ISldWorks* app, std::wstring& text) {
    ComPtr<IDispatch> frameObject;
    HRESULT hr = RetryWhileBusy("ISldWorks.Frame", [&] { return app->Frame(frameObject.Put()); });
    if (FAILED(hr) || !frameObject) return FAILED(hr) ? hr : S_FALSE;
    ComPtr<IFrame> frame;
    hr = RetryWhileBusy("IDispatch.QueryInterface", [&] { return frameObject.As(frame); });
    if (hr == E_NOINTERFACE || (SUCCEEDED(hr) && !frame)) return S_FALSE;
    if (FAILED(hr)) return hr;
    LONG handle = 0;
    hr = RetryWhileBusy("IFrame.GetHWnd", [&] { return frame->GetHWnd(&handle); });
    if (FAILED(hr)) return hr;
    text = DecimalText(handle);
    return S_OK;
}

HRESULT ProbeRunningEntry(IMoniker* entry, ComPtr<ISldWorks>& app, std::wstring& handleText) {
    app.Reset();
    ComPtr<IRunningObjectTable> table;
    HRESULT hr = GetRunningObjectTable(0, table.Put());
    if (FAILED(hr)) return hr;
    ComPtr<IUnknown> object;
    hr = RetryWhileBusy("IRunningObjectTable.GetObject",
                        [&] { return table->GetObject(entry, object.Put()); });
    if (hr == MK_E_UNAVAILABLE || (SUCCEEDED(hr) && !object)) return S_FALSE;
    if (FAILED(hr)) return hr;
    ComPtr<ISldWorks> candidate;
    hr = RetryWhileBusy("IDispatch.QueryInterface", [&] { return object.As(candidate); });
    if (hr == E_NOINTERFACE || (SUCCEEDED(hr) && !candidate)) return S_FALSE;
    if (FAILED(hr)) return hr;
    hr = MainWindowText(candidate.Get(), handleText);
    if (hr == S_OK) app = std::move(candidate);
    return hr;
}

}  // namespace qar

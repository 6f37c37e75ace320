// Helpers for tests of the simulated CAD application, in process and across processes.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "Public/cad_interfaces.h"
#include "Public/com_owners.h"
#include "module_test_support.h"
#include "simulator/sim_control.h"

inline UniqueBstr Bstr(const std::wstring& text) { return UniqueBstr::Copy(text); }

// A scratch copy of the sample documents (simulator/samples, copied beside the test program), so
// that tests may save and delete files. Removed again at the end.
class SampleFolder {
public:
    SampleFolder() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"qarsim-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(path_.c_str(), nullptr);
        for (const wchar_t* name : kNames) {
            CopyFileW((TestProgramDirectory() + L"samples\\" + name).c_str(), File(name).c_str(), FALSE);
        }
    }
    ~SampleFolder() {
        for (const wchar_t* name : kNames) DeleteFileW(File(name).c_str());
        RemoveDirectoryW(path_.c_str());
    }
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    static constexpr const wchar_t* kNames[] = {L"plate.sldprt", L"bolt.sldprt", L"clamp.sldasm", L"clamp.slddrw"};
    std::wstring path_;
};

// The strings of a one-dimensional BSTR array result; fails the test for any other shape.
inline std::vector<std::wstring> StringsOf(const VARIANT& value) {
    std::vector<std::wstring> strings;
    LONG lower = 0, count = 0;
    EXPECT_EQ(VT_ARRAY | VT_BSTR, V_VT(&value));
    if (V_VT(&value) != (VT_ARRAY | VT_BSTR) || !UniqueSafeArray::IsVector(V_ARRAY(&value), VT_BSTR, lower, count)) {
        ADD_FAILURE() << "not a vector of strings";
        return strings;
    }
    EXPECT_EQ(0, lower);
    for (LONG i = 0; i < count; ++i) {
        LONG index = lower + i;
        UniqueBstr element;
        EXPECT_EQ(S_OK, SafeArrayGetElement(V_ARRAY(&value), &index, element.Put()));
        strings.push_back(element.Str());
    }
    return strings;
}

// Late-bound call by name with BSTR arguments (given in order); `result` receives the return value.
inline HRESULT CallByName(IDispatch* target, const wchar_t* name, WORD flags, std::vector<std::wstring> args,
                          VARIANT* result, EXCEPINFO* exception) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    std::vector<UniqueVariant> values(args.size());
    std::vector<VARIANT> raw(args.size());
    for (size_t i = 0; i < args.size(); ++i) {  // DISPPARAMS hold the arguments last to first
        V_VT(values[i].Ptr()) = VT_BSTR;
        V_BSTR(values[i].Ptr()) = UniqueBstr::Copy(args[i]).Release();
        raw[args.size() - 1 - i] = values[i].Get();
    }
    DISPPARAMS params = {raw.data(), nullptr, static_cast<UINT>(raw.size()), 0};
    return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, exception, nullptr);
}

// The "<kind> <live> <refs>" lines of ISimControl::ObjectCounts.
inline std::wstring Counts(ISimControl* control) {
    UniqueBstr text;
    EXPECT_EQ(S_OK, control->ObjectCounts(text.Put()));
    return text.Str();
}

// The references clients hold per kind of object, without the live counts: "<kind> <refs>" lines.
// Open documents and the loaded add-in are held by the application itself and do not count.
inline std::wstring ClientReferences(ISimControl* control) {
    std::wstring result;
    const std::wstring counts = Counts(control);
    for (size_t start = 0; start < counts.size();) {
        const size_t end = counts.find(L'\n', start);
        const std::wstring line = counts.substr(start, end - start);
        result += line.substr(0, line.find(L' ')) + line.substr(line.rfind(L' ')) + L"\n";
        start = end + 1;
    }
    return result;
}

inline std::wstring CallLog(ISimControl* control) {
    UniqueBstr text;
    EXPECT_EQ(S_OK, control->CallLog(text.Put()));
    return text.Str();
}

// RegistryRedirect: a fixture that points this process's HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER at
// two empty scratch keys (under the real HKEY_CURRENT_USER, named with the process id, since tests run
// in parallel processes) for one test, and removes them afterwards. The test body runs only when the
// redirection demonstrably took effect, so a test can never write the real machine or user registry.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "Public/registry_key.h"

using qar::RegistryKey;

class RegistryRedirect : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, scratch_.c_str());  // left over by a crashed run with this id
        ASSERT_EQ(ERROR_SUCCESS, machine_.Create(HKEY_CURRENT_USER, scratch_ + L"\\machine", KEY_ALL_ACCESS));
        ASSERT_EQ(ERROR_SUCCESS, user_.Create(HKEY_CURRENT_USER, scratch_ + L"\\user", KEY_ALL_ACCESS));
        ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine_.Get()));
        ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_CURRENT_USER, user_.Get()));
        ASSERT_EQ(ERROR_SUCCESS, machine_.SetText(L"redirected", L"machine"));
        ASSERT_EQ(ERROR_SUCCESS, user_.SetText(L"redirected", L"user"));
        ASSERT_EQ(L"machine", Text(HKEY_LOCAL_MACHINE, L"", L"redirected"));
        ASSERT_EQ(L"user", Text(HKEY_CURRENT_USER, L"", L"redirected"));
    }
    void TearDown() override {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        machine_.Reset();
        user_.Reset();
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CURRENT_USER, scratch_.c_str()));
    }

    static void AddKey(HKEY root, const std::wstring& path) {
        ASSERT_EQ(ERROR_SUCCESS, RegistryKey().Create(root, path, KEY_ALL_ACCESS));
    }
    // Stores `size` bytes of `data` as value `name` of root\path, creating the key.
    static void SetRaw(HKEY root, const std::wstring& path, const wchar_t* name, DWORD type, const void* data,
                       DWORD size) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(root, path.c_str(), name, type, data, size));
    }
    static void SetText(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text) {
        SetRaw(root, path, name, REG_SZ, text.c_str(),
               static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    // A REG_SZ value's text; "<absent>" when there is none of that type.
    static std::wstring Text(HKEY root, const std::wstring& path, const wchar_t* name) {
        wchar_t buffer[1024];
        DWORD size = sizeof(buffer);
        return RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) ? L"<absent>"
                                                                                             : buffer;
    }

    // Every key below root\path with its text values, one line each, in enumeration order: what a
    // registration wrote, to compare with what was there before.
    static std::wstring Tree(HKEY root, const std::wstring& path = L"Software") {
        RegistryKey key;
        if (key.Open(root, path, KEY_READ) != ERROR_SUCCESS) return L"";
        std::wstring out = path + L"\n", sub;
        wchar_t name[256];
        for (DWORD i = 0, chars = 256;
             RegEnumValueW(key.Get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
             ++i, chars = 256) {
            out += L"  " + std::wstring(name) + L"=" + Text(root, path, name) + L"\n";
        }
        for (DWORD i = 0; key.SubKeyName(i, sub) == ERROR_SUCCESS; ++i) out += Tree(root, path + L"\\" + sub);
        return out;
    }

private:
    const std::wstring scratch_ = L"Software\\QarRegistryTests-" + std::to_wstring(GetCurrentProcessId());
    RegistryKey machine_;
    RegistryKey user_;
};

// The type library of the CAD application's and the add-in's interfaces, as a stand-in CAD application
// registers it for marshaling: each entry the library calls must sit at the function-table position
// that the compiled code uses, and results whose entries are called directly must keep their type.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Public/cad_interfaces.h"
#include "Public/com_owners.h"
#include "module_test_support.h"

namespace {

// A copy of the attributes of `info` (zeroed when it has none); its pointers are not to be followed.
TYPEATTR AttributesOf(ITypeInfo* info) {
    TYPEATTR copy = {}, *attr = nullptr;
    if (info != nullptr && SUCCEEDED(info->GetTypeAttr(&attr))) {
        copy = *attr;
        info->ReleaseTypeAttr(attr);
    }
    return copy;
}

// The function-table description of `iid`: for a dual interface the interface half.
ComPtr<ITypeInfo> VtableInfo(ITypeLib* library, REFIID iid) {
    ComPtr<ITypeInfo> info, vtable;
    HREFTYPE ref = 0;
    if (FAILED(library->GetTypeInfoOfGuid(iid, info.Put())) || AttributesOf(info.Get()).typekind != TKIND_DISPATCH)
        return info;
    if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref))) info->GetRefTypeInfo(ref, vtable.Put());
    return vtable;
}

// The position of entry `name` of kind `kind`, and the interface that its parameter `out` hands out
// through a pointer to a pointer (GUID_NULL when it is no such parameter); position -1: no entry.
std::pair<int, GUID> EntryOf(ITypeInfo* info, const wchar_t* name, INVOKEKIND kind, SHORT out = 0) {
    for (UINT i = 0; i < AttributesOf(info).cFuncs; ++i) {
        FUNCDESC* func = nullptr;
        if (FAILED(info->GetFuncDesc(i, &func))) break;
        UniqueBstr funcName;
        info->GetDocumentation(func->memid, funcName.Put(), nullptr, nullptr, nullptr);
        std::pair<int, GUID> entry{-1, GUID_NULL};
        if (funcName.Str() == name && func->invkind == kind) {
            entry.first = func->oVft / static_cast<int>(sizeof(void*));
            const TYPEDESC* type = out < func->cParams ? &func->lprgelemdescParam[out].tdesc : nullptr;
            ComPtr<ITypeInfo> target;
            if (type != nullptr && type->vt == VT_PTR && type->lptdesc->vt == VT_PTR &&
                type->lptdesc->lptdesc->vt == VT_USERDEFINED &&
                SUCCEEDED(info->GetRefTypeInfo(type->lptdesc->lptdesc->hreftype, target.Put())))
                entry.second = AttributesOf(target.Get()).guid;
        }
        info->ReleaseFuncDesc(func);
        if (entry.first >= 0) return entry;
    }
    return {-1, GUID_NULL};
}

constexpr WORD kDualAutomation = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;

}  // namespace

TEST(CadInterfaces, TypeLibraryPlacesAndTypesTheEntriesTheLibraryCalls) {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    ComPtr<ITypeLib> library;
    const std::wstring path = TestProgramDirectory() + L"cad_interfaces.tlb";  // copied beside the program
    ASSERT_EQ(S_OK, LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put()));
    const struct {
        REFIID iid;
        const char* name;
        WORD flags;
        int entryCount;  // the table ends right after the last entry the library calls
        std::vector<std::pair<const wchar_t*, int>> entries;
    } interfaces[] = {
        {IID_ISldWorks, "ISldWorks", kDualAutomation, 175,
         {{L"OpenDocument", 9}, {L"ActivateDocument", 11}, {L"Frame", 14}, {L"CloseDocument", 17},
          {L"Visible", 33}, {L"put Visible", 34}, {L"put UserControl", 36}, {L"LoadAddIn", 87},
          {L"ActiveDocument", 165}, {L"EnumDocuments", 171}, {L"AddInObject", 174}}},
        {IID_IFrame, "IFrame", kDualAutomation, 18, {{L"GetHWnd", 17}}},
        {IID_ICaxDocument, "ICaxDocument", kDualAutomation, 603,
         {{L"NameText", 90}, {L"FullPath", 91}, {L"PrepareClose", 158}, {L"Save", 508}, {L"Dependencies", 602}}},
        {IID_IEnumCaxDocuments, "IEnumCaxDocuments", TYPEFLAG_FOLEAUTOMATION, 7, {{L"Next", 3}}},
        {IID_ISwAddIn, "ISwAddIn", kDualAutomation, 26,
         {{L"SetLanguageXml", 16}, {L"SetHostObject", 21}, {L"SetAppHandle", 22}, {L"SetAddInArgument", 25}}},
    };
    for (const auto& expected : interfaces) {
        SCOPED_TRACE(expected.name);
        const ComPtr<ITypeInfo> info = VtableInfo(library.Get(), expected.iid);
        ASSERT_TRUE(info);
        const TYPEATTR attr = AttributesOf(info.Get());
        EXPECT_EQ(expected.flags, attr.wTypeFlags & expected.flags) << "flags " << attr.wTypeFlags;
        EXPECT_EQ(expected.entryCount * sizeof(void*), attr.cbSizeVft);
        for (const auto& [name, position] : expected.entries) {
            const bool put = wcsncmp(name, L"put ", 4) == 0;
            const INVOKEKIND kind = put ? INVOKE_PROPERTYPUT : name == std::wstring(L"Visible") ? INVOKE_PROPERTYGET : INVOKE_FUNC;
            EXPECT_EQ(position, EntryOf(info.Get(), put ? name + 4 : name, kind).first) << "entry " << name;
        }
    }
    // Typed IDispatch**, a result would cross processes as a proxy with the seven IDispatch entries only.
    ComPtr<ITypeInfo> application = VtableInfo(library.Get(), IID_ISldWorks);
    ComPtr<ITypeInfo> enumerator = VtableInfo(library.Get(), IID_IEnumCaxDocuments);
    EXPECT_EQ(IID_ICaxDocument, EntryOf(application.Get(), L"ActiveDocument", INVOKE_FUNC).second);
    EXPECT_EQ(IID_IEnumCaxDocuments, EntryOf(application.Get(), L"EnumDocuments", INVOKE_FUNC).second);
    EXPECT_EQ(IID_ICaxDocument, EntryOf(enumerator.Get(), L"Next", INVOKE_FUNC, 1).second);

    // The add-in's late-bound members, which the library calls by name.
    ComPtr<ITypeInfo> dispatch;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(IID_ISwAddIn, dispatch.Put()));
    for (const wchar_t* name : {L"Disconnect", L"CreateMenu", L"RefreshTable", L"UpdateTable", L"errNumber", L"errDescription"}) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        MEMBERID id = MEMBERID_NIL;
        EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(names, 1, &id)) << name;
    }
    for (auto* info : {&dispatch, &application, &enumerator}) info->Reset();
    library.Reset();
    CoUninitialize();
}

// The identifiers the running application and add-in answer to: a typo here would compile and pass
// every test against our own stand-ins, and fail only against the real programs.
TEST(CadInterfaces, IdentifiersAreTheOnesTheOtherSideImplements) {
    const std::pair<REFIID, const wchar_t*> expected[] = {
        {IID_ISldWorks, L"{83A33D22-27C5-11CE-BFD4-00400513BB57}"},
        {IID_IFrame, L"{83A33D48-27C5-11CE-BFD4-00400513BB57}"},
        {IID_ISwAddIn, L"{D82369CE-1AEC-4DA7-B83B-94DCD59CDEC7}"},
    };
    for (const auto& [iid, text] : expected) {
        IID parsed;
        ASSERT_EQ(S_OK, IIDFromString(text, &parsed));
        EXPECT_EQ(parsed, iid) << text;
    }
}

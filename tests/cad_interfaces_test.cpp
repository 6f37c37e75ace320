// The type library of the CAD application's and the add-in's interfaces, as a stand-in CAD application
// will register it for marshaling: it must load, and each entry the library calls must sit at the
// function-table position that the compiled code uses.
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
    TYPEATTR copy = {};
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attr))) {
        copy = *attr;
        info->ReleaseTypeAttr(attr);
    }
    return copy;
}

// The function-table description of `iid`: for a dual interface the interface half, not the
// dispatch half.
ComPtr<ITypeInfo> VtableInfo(ITypeLib* library, REFIID iid) {
    ComPtr<ITypeInfo> info, vtable;
    if (FAILED(library->GetTypeInfoOfGuid(iid, info.Put())) ||
        AttributesOf(info.Get()).typekind != TKIND_DISPATCH) {
        return info;
    }
    HREFTYPE ref = 0;
    if (FAILED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref))) return vtable;
    info->GetRefTypeInfo(ref, vtable.Put());
    return vtable;
}

// Calls `use` with the description of the entry `name` of kind `kind`; false when there is none.
template <class Use>
bool WithEntry(ITypeInfo* info, const wchar_t* name, INVOKEKIND kind, Use use) {
    const UINT count = AttributesOf(info).cFuncs;
    for (UINT i = 0; i < count; ++i) {
        FUNCDESC* func = nullptr;
        if (FAILED(info->GetFuncDesc(i, &func))) return false;
        UniqueBstr funcName;
        info->GetDocumentation(func->memid, funcName.Put(), nullptr, nullptr, nullptr);
        const bool match = funcName.Str() == name && func->invkind == kind;
        if (match) use(*func);
        info->ReleaseFuncDesc(func);
        if (match) return true;
    }
    return false;
}

struct Entry {
    const wchar_t* name;
    int position;
    INVOKEKIND kind = INVOKE_FUNC;
};

void ExpectPositions(ITypeLib* library, REFIID iid, const char* interfaceName,
                     const std::vector<Entry>& expected, int entryCount, WORD requiredFlags) {
    SCOPED_TRACE(interfaceName);
    const ComPtr<ITypeInfo> info = VtableInfo(library, iid);
    ASSERT_TRUE(info);
    const TYPEATTR attr = AttributesOf(info.Get());
    EXPECT_EQ(requiredFlags, attr.wTypeFlags & requiredFlags) << "flags " << attr.wTypeFlags;
    // The table ends right after the last entry the library calls.
    EXPECT_EQ(static_cast<unsigned>(entryCount) * sizeof(void*), attr.cbSizeVft);
    for (const Entry& entry : expected) {
        EXPECT_TRUE(WithEntry(info.Get(), entry.name, entry.kind,
                              [&](const FUNCDESC& func) {
                                  EXPECT_EQ(entry.position * static_cast<int>(sizeof(void*)), func.oVft)
                                      << "entry " << entry.name;
                              }))
            << "no entry " << entry.name;
    }
}

// The interface that parameter `index` of the method `name` hands out through a pointer to a pointer,
// or GUID_NULL when it is no such parameter.
GUID OutInterfaceOf(ITypeInfo* info, const wchar_t* name, SHORT index) {
    GUID result = GUID_NULL;
    WithEntry(info, name, INVOKE_FUNC, [&](const FUNCDESC& func) {
        const TYPEDESC* type = index < func.cParams ? &func.lprgelemdescParam[index].tdesc : nullptr;
        ComPtr<ITypeInfo> target;
        if (type != nullptr && type->vt == VT_PTR && type->lptdesc->vt == VT_PTR &&
            type->lptdesc->lptdesc->vt == VT_USERDEFINED &&
            SUCCEEDED(info->GetRefTypeInfo(type->lptdesc->lptdesc->hreftype, target.Put()))) {
            result = AttributesOf(target.Get()).guid;
        }
    });
    return result;
}

class CadInterfacesTypeLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        // The type library lies beside the test program.
        const std::wstring path = TestProgramDirectory() + L"cad_interfaces.tlb";
        ASSERT_EQ(S_OK, LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put()))
            << "loading " << path.c_str();
    }
    void TearDown() override {
        library.Reset();
        CoUninitialize();
    }
    ComPtr<ITypeLib> library;
};

constexpr WORD kDualAutomation = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;

TEST_F(CadInterfacesTypeLibrary, CalledEntriesSitWhereTheCompiledCodeCallsThem) {
    ExpectPositions(library.Get(), IID_ISldWorks, "ISldWorks",
                    {{L"OpenDocument", 9},
                     {L"ActivateDocument", 11},
                     {L"Frame", 14},
                     {L"CloseDocument", 17},
                     {L"Visible", 33, INVOKE_PROPERTYGET},
                     {L"Visible", 34, INVOKE_PROPERTYPUT},
                     {L"UserControl", 36, INVOKE_PROPERTYPUT},
                     {L"LoadAddIn", 87},
                     {L"ActiveDocument", 165},
                     {L"EnumDocuments", 171},
                     {L"AddInObject", 174}},
                    175, kDualAutomation);
    ExpectPositions(library.Get(), IID_IFrame, "IFrame", {{L"GetHWnd", 17}}, 18, kDualAutomation);
    ExpectPositions(library.Get(), IID_ICaxDocument, "ICaxDocument",
                    {{L"NameText", 90},
                     {L"FullPath", 91},
                     {L"PrepareClose", 158},
                     {L"Save", 508},
                     {L"Dependencies", 602}},
                    603, kDualAutomation);
    ExpectPositions(library.Get(), IID_IEnumCaxDocuments, "IEnumCaxDocuments", {{L"Next", 3}}, 7,
                    TYPEFLAG_FOLEAUTOMATION);
    ExpectPositions(
        library.Get(), IID_ISwAddIn, "ISwAddIn",
        {{L"SetLanguageXml", 16}, {L"SetHostObject", 21}, {L"SetAppHandle", 22}, {L"SetAddInArgument", 25}},
        26, kDualAutomation);
}

// A result whose entries are called directly must cross processes as its own interface: typed
// IDispatch** it would arrive as a proxy with the seven IDispatch entries only.
TEST_F(CadInterfacesTypeLibrary, ResultsCalledDirectlyAreTypedWithTheirInterface) {
    ComPtr<ITypeInfo> application = VtableInfo(library.Get(), IID_ISldWorks);
    ComPtr<ITypeInfo> enumerator = VtableInfo(library.Get(), IID_IEnumCaxDocuments);
    ASSERT_TRUE(application && enumerator);
    EXPECT_EQ(IID_ICaxDocument, OutInterfaceOf(application.Get(), L"ActiveDocument", 0));
    EXPECT_EQ(IID_IEnumCaxDocuments, OutInterfaceOf(application.Get(), L"EnumDocuments", 0));
    EXPECT_EQ(IID_ICaxDocument, OutInterfaceOf(enumerator.Get(), L"Next", 1));
}

TEST_F(CadInterfacesTypeLibrary, AddInDescribesItsLateBoundMembers) {
    ComPtr<ITypeInfo> dispatch;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(IID_ISwAddIn, dispatch.Put()));
    for (const wchar_t* name :
         {L"Disconnect", L"CreateMenu", L"RefreshTable", L"UpdateTable", L"errNumber", L"errDescription"}) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        MEMBERID id = MEMBERID_NIL;
        EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(names, 1, &id)) << name;
    }
}

// The identifiers the running application and add-in answer to: a typo here would compile and pass
// every test against our own stand-ins, and fail only against the real programs.
TEST(CadInterfaceIdentifiers, AreTheOnesTheOtherSideImplements) {
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

}  // namespace

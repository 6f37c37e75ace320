// The type library of the CAD application's and the add-in's interfaces, as a stand-in CAD application
// will register it for marshaling: it must load, and each entry the library calls must sit at the
// function-table position that the compiled code uses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Public/cad_interfaces.h"
#include "Public/com_owners.h"

namespace {

// The type library lies beside the test program.
std::wstring TypeLibraryPath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring result(path, length);
    return result.substr(0, result.find_last_of(L'\\') + 1) + L"cad_interfaces.tlb";
}

struct TypeInfoDeleter {
    ITypeInfo* info;
    TYPEATTR* attr;
    ~TypeInfoDeleter() { info->ReleaseTypeAttr(attr); }
};

// The function-table description of `iid`: for a dual interface the interface half, not the
// dispatch half.
ComPtr<ITypeInfo> VtableInfo(ITypeLib* library, REFIID iid) {
    ComPtr<ITypeInfo> info;
    if (FAILED(library->GetTypeInfoOfGuid(iid, info.Put()))) return ComPtr<ITypeInfo>();
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return ComPtr<ITypeInfo>();
    const TYPEKIND kind = attr->typekind;
    info->ReleaseTypeAttr(attr);
    if (kind != TKIND_DISPATCH) return info;
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> vtable;
    if (FAILED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) ||
        FAILED(info->GetRefTypeInfo(ref, vtable.Put()))) {
        return ComPtr<ITypeInfo>();
    }
    return vtable;
}

struct Entry {
    const wchar_t* name;
    INVOKEKIND kind;
    int position;
};

// Position of each function-table entry named in `expected`, read from the type library.
void ExpectPositions(ITypeLib* library, REFIID iid, const char* interfaceName,
                     const std::vector<Entry>& expected, int entryCount, WORD requiredFlags) {
    SCOPED_TRACE(interfaceName);
    ComPtr<ITypeInfo> info = VtableInfo(library, iid);
    ASSERT_TRUE(info);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    const TypeInfoDeleter release{info.Get(), attr};
    EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
    EXPECT_EQ(iid, attr->guid);
    EXPECT_EQ(requiredFlags, attr->wTypeFlags & requiredFlags) << "flags " << attr->wTypeFlags;
    // The table ends right after the last entry the library calls.
    EXPECT_EQ(static_cast<unsigned>(entryCount) * sizeof(void*), attr->cbSizeVft);

    for (const Entry& entry : expected) {
        bool found = false;
        for (UINT i = 0; i < attr->cFuncs && !found; ++i) {
            FUNCDESC* func = nullptr;
            ASSERT_EQ(S_OK, info->GetFuncDesc(i, &func));
            UniqueBstr name;
            info->GetDocumentation(func->memid, name.Put(), nullptr, nullptr, nullptr);
            if (name.Str() == entry.name && func->invkind == entry.kind) {
                found = true;
                EXPECT_EQ(entry.position * static_cast<int>(sizeof(void*)), func->oVft)
                    << "entry " << name.Str().c_str();
            }
            info->ReleaseFuncDesc(func);
        }
        EXPECT_TRUE(found) << "no entry " << entry.name;
    }
}

// The interface that parameter `index` of the entry `name` hands out through a pointer to a pointer,
// or GUID_NULL when it is no such parameter.
GUID OutInterfaceOf(ITypeInfo* info, const wchar_t* name, SHORT index) {
    GUID result = GUID_NULL;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return result;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* func = nullptr;
        if (FAILED(info->GetFuncDesc(i, &func))) continue;
        UniqueBstr funcName;
        info->GetDocumentation(func->memid, funcName.Put(), nullptr, nullptr, nullptr);
        const TYPEDESC* type = index < func->cParams ? &func->lprgelemdescParam[index].tdesc : nullptr;
        if (funcName.Str() == name && type != nullptr && type->vt == VT_PTR && type->lptdesc->vt == VT_PTR &&
            type->lptdesc->lptdesc->vt == VT_USERDEFINED) {
            ComPtr<ITypeInfo> target;
            TYPEATTR* targetAttr = nullptr;
            if (SUCCEEDED(info->GetRefTypeInfo(type->lptdesc->lptdesc->hreftype, target.Put())) &&
                SUCCEEDED(target->GetTypeAttr(&targetAttr))) {
                result = targetAttr->guid;
                target->ReleaseTypeAttr(targetAttr);
            }
        }
        info->ReleaseFuncDesc(func);
    }
    info->ReleaseTypeAttr(attr);
    return result;
}

class CadInterfacesTypeLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        const HRESULT hr = LoadTypeLibEx(TypeLibraryPath().c_str(), REGKIND_NONE, library.Put());
        ASSERT_EQ(S_OK, hr) << "loading " << TypeLibraryPath().c_str();
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
                    {{L"OpenDocument", INVOKE_FUNC, 9},
                     {L"ActivateDocument", INVOKE_FUNC, 11},
                     {L"Frame", INVOKE_FUNC, 14},
                     {L"CloseDocument", INVOKE_FUNC, 17},
                     {L"Visible", INVOKE_PROPERTYGET, 33},
                     {L"Visible", INVOKE_PROPERTYPUT, 34},
                     {L"UserControl", INVOKE_PROPERTYPUT, 36},
                     {L"LoadAddIn", INVOKE_FUNC, 87},
                     {L"ActiveDocument", INVOKE_FUNC, 165},
                     {L"EnumDocuments", INVOKE_FUNC, 171},
                     {L"AddInObject", INVOKE_FUNC, 174}},
                    175, kDualAutomation);
    ExpectPositions(library.Get(), IID_IFrame, "IFrame", {{L"GetHWnd", INVOKE_FUNC, 17}}, 18,
                    kDualAutomation);
    ExpectPositions(library.Get(), IID_ICaxDocument, "ICaxDocument",
                    {{L"NameText", INVOKE_FUNC, 90},
                     {L"FullPath", INVOKE_FUNC, 91},
                     {L"PrepareClose", INVOKE_FUNC, 158},
                     {L"Save", INVOKE_FUNC, 508},
                     {L"Dependencies", INVOKE_FUNC, 602}},
                    603, kDualAutomation);
    ExpectPositions(library.Get(), IID_IEnumCaxDocuments, "IEnumCaxDocuments", {{L"Next", INVOKE_FUNC, 3}}, 7,
                    TYPEFLAG_FOLEAUTOMATION);
    ExpectPositions(library.Get(), IID_ISwAddIn, "ISwAddIn",
                    {{L"SetLanguageXml", INVOKE_FUNC, 16},
                     {L"SetHostObject", INVOKE_FUNC, 21},
                     {L"SetAppHandle", INVOKE_FUNC, 22},
                     {L"SetAddInArgument", INVOKE_FUNC, 25}},
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

TEST_F(CadInterfacesTypeLibrary, IdentifiersAreTheOnesTheOtherSideRegisters) {
    IID expected;
    ASSERT_EQ(S_OK, IIDFromString(L"{83A33D22-27C5-11CE-BFD4-00400513BB57}", &expected));
    EXPECT_EQ(expected, __uuidof(ISldWorks));
    ASSERT_EQ(S_OK, IIDFromString(L"{83A33D48-27C5-11CE-BFD4-00400513BB57}", &expected));
    EXPECT_EQ(expected, __uuidof(IFrame));
    ASSERT_EQ(S_OK, IIDFromString(L"{D82369CE-1AEC-4DA7-B83B-94DCD59CDEC7}", &expected));
    EXPECT_EQ(expected, __uuidof(ISwAddIn));

    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&attr));
    EXPECT_EQ(LIBID_QarCadInterfaces, attr->guid);
    library->ReleaseTLibAttr(attr);
}

}  // namespace

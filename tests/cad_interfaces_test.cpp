// The type library of the CAD application's and the add-in's interfaces, as a stand-in CAD application
// registers it for marshaling, and the interface identifiers.
#include <gtest/gtest.h>

#include <string>
#include <utility>

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

// The interface that parameter `out` of method `name` hands out through a pointer to a pointer;
// GUID_NULL when it is no such parameter.
GUID OutInterfaceOf(ITypeInfo* info, const wchar_t* name, SHORT out) {
    GUID result = GUID_NULL;
    for (UINT i = 0; i < AttributesOf(info).cFuncs && result == GUID_NULL; ++i) {
        FUNCDESC* func = nullptr;
        if (FAILED(info->GetFuncDesc(i, &func))) break;
        UniqueBstr funcName;
        info->GetDocumentation(func->memid, funcName.Put(), nullptr, nullptr, nullptr);
        const TYPEDESC* type = out < func->cParams ? &func->lprgelemdescParam[out].tdesc : nullptr;
        ComPtr<ITypeInfo> target;
        if (funcName.Str() == name && type != nullptr && type->vt == VT_PTR && type->lptdesc->vt == VT_PTR &&
            type->lptdesc->lptdesc->vt == VT_USERDEFINED &&
            SUCCEEDED(info->GetRefTypeInfo(type->lptdesc->lptdesc->hreftype, target.Put())))
            result = AttributesOf(target.Get()).guid;
        info->ReleaseFuncDesc(func);
    }
    return result;
}

}  // namespace

// The entries' positions are proven at compile time (Public/cad_interface_slots.c) and the type
// library comes from the same declarations; what only the library shows: the marshaler needs dual or
// automation interfaces, and a result whose entries are called directly must cross processes as its
// own interface: typed IDispatch** it would arrive as a proxy with the seven IDispatch entries only.
TEST(CadInterfaces, TypeLibraryMarshalsWhatTheLibraryCalls) {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    {
        ComPtr<ITypeLib> library;
        const std::wstring path = TestProgramDirectory() + L"cad_interfaces.tlb";  // copied beside the program
        ASSERT_EQ(S_OK, LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put()));
        const WORD dual = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;
        for (const auto& [iid, flags] : {std::pair<IID, WORD>{IID_ISldWorks, dual}, {IID_IFrame, dual}, {IID_ICaxDocument, dual},
                                         {IID_ISwAddIn, dual}, {IID_IEnumCaxDocuments, TYPEFLAG_FOLEAUTOMATION}}) {
            EXPECT_EQ(flags, AttributesOf(VtableInfo(library.Get(), iid).Get()).wTypeFlags & flags);
        }
        const ComPtr<ITypeInfo> application = VtableInfo(library.Get(), IID_ISldWorks);
        const ComPtr<ITypeInfo> enumerator = VtableInfo(library.Get(), IID_IEnumCaxDocuments);
        EXPECT_EQ(IID_ICaxDocument, OutInterfaceOf(application.Get(), L"ActiveDocument", 0));
        EXPECT_EQ(IID_IEnumCaxDocuments, OutInterfaceOf(application.Get(), L"EnumDocuments", 0));
        EXPECT_EQ(IID_ICaxDocument, OutInterfaceOf(enumerator.Get(), L"Next", 1));
    }
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

/*
 * Compile-time proof that every entry the library calls on the CAD application and the add-in sits at
 * the position the other side expects. The entries are reached through function tables, so an entry
 * one place off would call a different method with the wrong arguments. This file is C because only
 * the C form of the generated header spells the function tables out as structures.
 */
#include <stddef.h>

#include "Public/cad_interfaces.h"

#define ENTRY(vtbl, member) (offsetof(vtbl, member) / sizeof(void*))
#define CHECK_ENTRY(vtbl, member, n) \
    _Static_assert(ENTRY(vtbl, member) == (n), #vtbl "." #member " must be entry " #n)

CHECK_ENTRY(ISldWorksVtbl, QueryInterface, 0);
CHECK_ENTRY(ISldWorksVtbl, Invoke, 6);
CHECK_ENTRY(ISldWorksVtbl, OpenDocument, 9);
CHECK_ENTRY(ISldWorksVtbl, ActivateDocument, 11);
CHECK_ENTRY(ISldWorksVtbl, Frame, 14);
CHECK_ENTRY(ISldWorksVtbl, CloseDocument, 17);
CHECK_ENTRY(ISldWorksVtbl, get_Visible, 33);
CHECK_ENTRY(ISldWorksVtbl, put_Visible, 34);
CHECK_ENTRY(ISldWorksVtbl, put_UserControl, 36);
CHECK_ENTRY(ISldWorksVtbl, LoadAddIn, 87);
CHECK_ENTRY(ISldWorksVtbl, ActiveDocument, 165);
CHECK_ENTRY(ISldWorksVtbl, EnumDocuments, 171);
CHECK_ENTRY(ISldWorksVtbl, AddInObject, 174);

CHECK_ENTRY(IFrameVtbl, GetHWnd, 17);

CHECK_ENTRY(IEnumCaxDocumentsVtbl, Next, 3);

CHECK_ENTRY(ICaxDocumentVtbl, NameText, 90);
CHECK_ENTRY(ICaxDocumentVtbl, FullPath, 91);
CHECK_ENTRY(ICaxDocumentVtbl, PrepareClose, 158);
CHECK_ENTRY(ICaxDocumentVtbl, Save, 508);
CHECK_ENTRY(ICaxDocumentVtbl, Dependencies, 602);

CHECK_ENTRY(ISwAddInVtbl, SetLanguageXml, 16);
CHECK_ENTRY(ISwAddInVtbl, SetHostObject, 21);
CHECK_ENTRY(ISwAddInVtbl, SetAppHandle, 22);
CHECK_ENTRY(ISwAddInVtbl, SetAddInArgument, 25);

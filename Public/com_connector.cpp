#include "Public/com_connector.h"

#include <objbase.h>

#include "Public/add_in_names.h"
#include "Public/version_choice.h"
#include "Public/owner_thread.h"

namespace QARCAX {

ComConnector::ComConnector(int cadType, const std::wstring& cadVersion, const std::wstring& appHandleText)
    : CaxConnector(cadType, cadVersion, appHandleText) {
    qar::SetOwnerApartment(this, CoInitialize(nullptr));
}

int ComConnector::LoadApplication(const std::wstring&, const std::wstring& appHandleText, IDispatch* host,
                                  std::wstring& handleText, void*& app) {
    int result = GetAppObject(app, appHandleText);
    if (result != 0) return result;
    result = LoadAddInDll();
    if (result != 0) return result;
    GetHandleOfCaxApp(app, handleText);
    return GetAddInObj(host, handleText);
}

int ComConnector::GetProgId(std::wstring& progId) {
    if (!qar::detail::ApplicationProgId(cadType, cadVersion, progId)) progId.clear();
    return 0;
}

std::wstring ComConnector::GetAddInDllFileName() {
    return qar::detail::AddInModuleFileName(cadType, cadVersion);
}

std::wstring ComConnector::GetAddInObjProgId(int cadType, const std::wstring& cadVersion) {
    return qar::detail::AddInObjectProgId(cadType, cadVersion);
}

}  // namespace QARCAX

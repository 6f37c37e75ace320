// The connector for the CAD application, the class a host constructs:
//
//   QARCAX::SldwConnector connector(3, L"SolidWorks 2016", L"", L"argument for the add-in");
//   QARCAX::CaxCommand* command = nullptr;
//   if (connector.NewCommand(hostObject, command) == 0) { ...; delete command; }
//   else { /* connector.errorCode, connector.errorMessage */ }
//
// NewCommand attaches to the running application whose main-window handle, as signed decimal text,
// equals the third constructor value (or starts one through its ProgID when the text is empty or
// matches none), loads the add-in module that lies beside this library into it, configures the
// add-in and returns a command bound to both. The connector keeps counted references to the
// application and the add-in; copies share them.
//
// The thread that constructs a connector joins a single-threaded COM apartment; use the connector
// and its commands on that thread only.
//
// Binary interface: the class is exported whole and binds only to hosts built with the same compiler
// and C++ standard library as the library (class layout, std::wstring, name decoration and the
// destructor's function-table entries differ between compilers). Hosts built otherwise use the C
// interface.
#pragma once

// The library's Public/ layer lies below this connector and must never include it.
#if defined(QAR_LAYER_PUBLIC)
#error "Public/ lies below sldw/ and must not include its headers"
#endif

#include <string>

#include "Public/com_connector.h"
#include "Public/com_owners.h"
#include "Public/qar_api.h"

struct ISldWorks;
struct ISwAddIn;

namespace QARCAX {

class QAR_API SldwConnector : public ComConnector {
public:
    // cadType is 3 for this application; cadVersion names the installation ("SolidWorks 2016");
    // appHandleText names a running instance's main window ("" for none); addInArgument is handed to
    // the add-in as it is.
    SldwConnector(int cadType, const std::wstring& cadVersion, const std::wstring& appHandleText,
                  const std::wstring& addInArgument);
    // Shares the application and the add-in (one more reference each); does not join COM again.
    SldwConnector(const SldwConnector& other);
    // Copies the values and shares the other's application and add-in; the old ones are given back
    // after the new ones are taken. Assigning an object to itself changes nothing.
    SldwConnector& operator=(const SldwConnector& other);
    ~SldwConnector() override;

private:
#if defined(QAR_BUILDING_LIBRARY)
    // The library's own tests reach the steps one by one. Hosts do not see this line: a friend
    // declaration changes neither the class layout nor any symbol.
    friend struct SldwConnectorInternals;
#endif

    int CreateCommand(const void* info, CaxCommand*& command) override;
    int GetHandleOfCaxApp(const void* app, std::wstring& handleText) override;
    int GetAppObject(void*& app, const std::wstring& appHandleText) override;
    int LoadAddInDll() override;
    int GetAddInObj(IDispatch* host, const std::wstring& handleText) override;

    // Declared in this order so that the add-in is given back before the application.
    qar::ComPtr<ISldWorks> appObject;
    qar::ComPtr<ISwAddIn> addInObject;
    std::wstring addInArgument;
};

}  // namespace QARCAX

// Connects to an installation nobody registered, once through the C++ classes and once through the C
// interface (c_host.c); both must report the failed start with the ProgID they tried.
#include <QarSldwInterface.h>

#include <cstdio>
#include <string>

extern "C" int ConnectThroughCInterface(void);

int main() {
    QARCAX::SldwConnector connector(3, L"SolidWorks 2030", L"", L"");
    QARCAX::CaxCommand* made = nullptr;
    const int result = connector.NewCommand(nullptr, made);
    const bool classes = result != 0 && made == nullptr && connector.errorCode == -1 &&
                         connector.errorMessage.find(L"SldWorks.Application.38") != std::wstring::npos;
    std::printf("C++ classes: %s (%d, %ls)\n", classes ? "ok" : "FAILED", result,
                connector.errorMessage.c_str());
    delete made;
    return ConnectThroughCInterface() == 0 && classes ? 0 : 1;
}

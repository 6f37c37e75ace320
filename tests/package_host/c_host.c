/* The C half of the package host: the same failed connect through the C interface; 0 when it was
 * reported as expected. */
#include <qar_c_api.h>

#include <stdio.h>
#include <wchar.h>

int ConnectThroughCInterface(void) {
    QarConnector* connector = NULL;
    QarCommand* command = NULL;
    wchar_t message[512] = L"";
    int code = 0;
    const int ok = qar_connector_create(3, L"SolidWorks 2030", L"", L"", &connector) == QAR_OK &&
                   qar_connector_new_command(connector, NULL, &command) != QAR_OK && command == NULL &&
                   qar_connector_last_error(connector, &code, message, 512, NULL) == QAR_OK && code == -1 &&
                   wcsstr(message, L"SldWorks.Application.38") != NULL;
    printf("C interface: %s (%d, %ls)\n", ok ? "ok" : "FAILED", code, message);
    qar_connector_destroy(connector);
    return ok ? 0 : 1;
}

/* A host written in C: it includes only qar_c_api.h, links only the import library, and runs from a
 * folder of its own with the DLL, the add-in module, the language data and the sample documents.
 * Every entry point once with NULL handles, then a session against the registered simulator (CTest
 * fixture "simulator") with the error paths of a live command. The failed connect through this
 * interface is the package test's (tests/package_host).
 * Prints "N passed, N failed" and exits non-zero on any failure. */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <qar_c_api.h>

static int passed, failed;

static void Check(int ok, const char* what, int line) {
    passed += ok != 0;
    failed += ok == 0;
    if (!ok) printf("line %d: FAILED %s\n", line, what);
}
#define CHECK(condition) Check((condition) != 0, #condition, __LINE__)
#define COUNT(array) (sizeof(array) / sizeof((array)[0]))

/* `got`, the result of a call on `command`, is `want`, and so is the code in the command's status
 * record, whose message contains `part`. */
static int Failed(const QarCommand* command, int got, int want, const wchar_t* part) {
    int code = 0;
    wchar_t message[1024];
    return got == want && qar_command_last_error(command, &code, message, 1024, NULL) == QAR_OK &&
           code == want && wcsstr(message, part) != NULL;
}
/* On the live command of main(). */
#define CHECK_FAILURE(call, want, part) Check(Failed(command, (call), want, part), #call, __LINE__)

int main(void) {
    QarConnector* connector = (QarConnector*)1;
    QarCommand* command = (QarCommand*)1;
    wchar_t folder[MAX_PATH], clamp[MAX_PATH], expected[3 * MAX_PATH], text[3 * MAX_PATH], small[16];
    size_t needed = 0, i;
    int flag = 0, code = 0;

    /* NULL handles are refused by every entry point that takes one; destroying NULL does nothing. */
    const int nullHandle[] = {
        qar_connector_new_command(NULL, NULL, &command), qar_connector_last_error(NULL, &flag, text, 8, NULL),
        qar_command_disconnect(NULL), qar_command_is_connected(NULL, &flag), qar_command_open_file(NULL, L""),
        qar_command_close_file(NULL), qar_command_save_file(NULL, text, 8, &needed),
        qar_command_get_dependencies(NULL, text, 8, &needed), qar_command_last_text(NULL, text, 8, &needed),
        qar_command_create_menu(NULL, L"PLM"), qar_command_refresh_table(NULL, L"a", L"b"),
        qar_command_update_table(NULL, L"a", L"b"), qar_command_last_error(NULL, &flag, text, 8, &needed)};
    for (i = 0; i < COUNT(nullHandle); ++i) Check(nullHandle[i] == QAR_E_NULL_HANDLE, "NULL handle", (int)i);
    CHECK(qar_command_destroy(NULL) == QAR_OK && qar_connector_destroy(NULL) == QAR_OK);
    /* A connector needs every text and somewhere to put it. */
    CHECK(qar_connector_create(3, NULL, L"", L"", &connector) == QAR_E_NULL_ARGUMENT && connector == NULL);
    CHECK(qar_connector_create(3, L"SolidWorks 2016", NULL, L"", &connector) == QAR_E_NULL_ARGUMENT);
    CHECK(qar_connector_create(3, L"SolidWorks 2016", L"", NULL, &connector) == QAR_E_NULL_ARGUMENT);
    CHECK(qar_connector_create(3, L"SolidWorks 2016", L"", L"", NULL) == QAR_E_NULL_ARGUMENT);

    /* The whole job against the registered simulator. */
    folder[GetModuleFileNameW(NULL, folder, MAX_PATH)] = L'\0';
    *(wcsrchr(folder, L'\\') + 1) = L'\0';
    swprintf(clamp, MAX_PATH, L"%lssamples\\clamp.sldasm", folder);
    swprintf(expected, COUNT(expected), L"%lssamples\\plate.sldprt|%lssamples\\bolt.sldprt", folder, folder);
    CHECK(qar_connector_create(3, L"SolidWorks 2016", L"", L"--session c", &connector) == QAR_OK);
    CHECK(qar_connector_new_command(connector, NULL, NULL) == QAR_E_NULL_ARGUMENT);
    CHECK(qar_connector_last_error(connector, &code, text, COUNT(text), NULL) == QAR_OK &&
          code == QAR_E_NULL_ARGUMENT && wcsstr(text, L"command is NULL") != NULL);
    if (qar_connector_new_command(connector, NULL, &command) != QAR_OK || command == NULL) {
        qar_connector_last_error(connector, &code, text, COUNT(text), NULL);
        printf("connect failed: %d %ls\n", code, text);
        return 1;
    }
    CHECK(qar_command_is_connected(command, &flag) == QAR_OK && flag == 1);
    CHECK(qar_command_open_file(command, clamp) == QAR_OK);
    CHECK(qar_command_get_dependencies(command, text, COUNT(text), &needed) == QAR_OK &&
          !wcscmp(text, expected));
    for (i = 0; i < COUNT(small); ++i) small[i] = L'#';
    CHECK(qar_command_get_dependencies(command, small, 5, &needed) == QAR_E_BUFFER_TOO_SMALL &&
          needed == wcslen(expected) + 1 && small[0] == L'\0' && small[5] == L'#' && small[15] == L'#');
    CHECK(qar_command_last_text(command, text, needed - 1, NULL) == QAR_E_BUFFER_TOO_SMALL);
    CHECK(qar_command_last_text(command, text, needed, NULL) == QAR_OK && !wcscmp(text, expected));
    CHECK(qar_command_get_dependencies(command, NULL, 0, &needed) == QAR_E_BUFFER_TOO_SMALL &&
          needed == wcslen(expected) + 1);
    /* Too small is no failure. */
    CHECK(qar_command_last_error(command, &code, text, COUNT(text), NULL) == QAR_OK && code == 0);
    CHECK(qar_command_create_menu(command, L"PLM") == QAR_OK);
    CHECK(qar_command_refresh_table(command, L"parts", L"1") == QAR_OK);
    CHECK(qar_command_update_table(command, L"parts", L"2") == QAR_OK);
    CHECK(qar_command_save_file(command, text, COUNT(text), NULL) == QAR_OK && !wcscmp(text, clamp));
    CHECK(qar_command_close_file(command) == QAR_OK);

    /* Failures and refusals on a live command leave their code in its status record. */
    CHECK_FAILURE(qar_command_open_file(command, L"C:\\nowhere\\missing.sldprt"), -1, L"");
    CHECK_FAILURE(qar_command_save_file(command, text, COUNT(text), NULL), -1, L"");
    CHECK(text[0] == L'\0');
    CHECK_FAILURE(qar_command_open_file(command, NULL), QAR_E_NULL_ARGUMENT, L"path is NULL");
    CHECK_FAILURE(qar_command_create_menu(command, NULL), QAR_E_NULL_ARGUMENT, L"arg is NULL");
    CHECK_FAILURE(qar_command_refresh_table(command, L"a", NULL), QAR_E_NULL_ARGUMENT, L"arg2 is NULL");
    CHECK_FAILURE(qar_command_update_table(command, NULL, L"b"), QAR_E_NULL_ARGUMENT, L"arg1 is NULL");
    CHECK_FAILURE(qar_command_is_connected(command, NULL), QAR_E_NULL_ARGUMENT, L"connected is NULL");
    CHECK_FAILURE(qar_command_get_dependencies(command, NULL, 5, NULL), QAR_E_NULL_ARGUMENT,
                  L"buffer is NULL");
    /* An unmapped text pointer faults inside the operation: the guard turns the fault into a result. */
    CHECK_FAILURE(qar_command_open_file(command, (const wchar_t*)0x10), QAR_E_EXCEPTION,
                  L"qar_command_open_file(): ");
    CHECK(qar_command_disconnect(command) == QAR_OK);
    CHECK(qar_command_destroy(command) == QAR_OK && qar_connector_destroy(connector) == QAR_OK);
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

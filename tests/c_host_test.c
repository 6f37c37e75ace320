/* A host written in C: it includes only qar_c_api.h, links only the import library, and runs from a
 * folder of its own with the DLL, the add-in module, the language data and the sample documents.
 * The session needs the simulated application registered (CTest fixture "simulator").
 * Prints "N passed, N failed" and exits non-zero on any failure. */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <qar_c_api.h>

static int passed, failed;

static void Check(int ok, const char* what, int line) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        printf("line %d: FAILED %s\n", line, what);
    }
}
#define CHECK(condition) Check((condition) != 0, #condition, __LINE__)

/* One result against the one wanted, in statement order. */
static void CheckResult(const char* what, int got, int want, int line) {
    if (got != want) printf("  %s: got %d, want %d\n", what, got, want);
    Check(got == want, what, line);
}
#define CHECK_RESULT(what, call, want) CheckResult(what, (call), want, __LINE__)

/* The command's last error code, and whether its message contains `part`. */
static int CommandCode(const QarCommand* command, const wchar_t* part, int* contains) {
    int code = 0;
    wchar_t message[1024];
    if (qar_command_last_error(command, &code, message, 1024, NULL) != QAR_OK) return 1 << 30;
    *contains = wcsstr(message, part) != NULL;
    return code;
}

/* `got` is the result of a call on `command`, which must have left the same code in its status
 * record with `part` in the message. */
static void CheckFailure(const QarCommand* command, const char* what, int got, int want, const wchar_t* part,
                         int line) {
    int contains = 0;
    const int code = CommandCode(command, part, &contains);
    if (got != want || code != want || !contains)
        printf("  got %d, record %d, text found %d\n", got, code, contains);
    Check(got == want && code == want && contains, what, line);
}
#define CHECK_FAILURE(command, call, want, part) CheckFailure(command, #call, (call), want, part, __LINE__)

/* Handles that are NULL are rejected, whatever else is passed; destroying NULL does nothing. */
static void NullHandles(void) {
    QarConnector* connector = (QarConnector*)1;
    QarCommand* command = (QarCommand*)1;
    wchar_t buffer[8];
    size_t needed = 0;
    int flag = 0;
    CHECK_RESULT("create without a version", qar_connector_create(3, NULL, L"", L"", &connector),
                 QAR_E_NULL_ARGUMENT);
    CHECK_RESULT("... leaves no connector", connector == NULL, 1);
    CHECK_RESULT("create without a handle text",
                 qar_connector_create(3, L"SolidWorks 2016", NULL, L"", &connector), QAR_E_NULL_ARGUMENT);
    CHECK_RESULT("create without an add-in argument",
                 qar_connector_create(3, L"SolidWorks 2016", L"", NULL, &connector), QAR_E_NULL_ARGUMENT);
    CHECK_RESULT("create without an out pointer", qar_connector_create(3, L"SolidWorks 2016", L"", L"", NULL),
                 QAR_E_NULL_ARGUMENT);
    CHECK_RESULT("new_command", qar_connector_new_command(NULL, NULL, &command), QAR_E_NULL_HANDLE);
    CHECK_RESULT("connector_last_error", qar_connector_last_error(NULL, &flag, buffer, 8, &needed),
                 QAR_E_NULL_HANDLE);
    CHECK_RESULT("disconnect", qar_command_disconnect(NULL), QAR_E_NULL_HANDLE);
    CHECK_RESULT("is_connected", qar_command_is_connected(NULL, &flag), QAR_E_NULL_HANDLE);
    CHECK_RESULT("open_file", qar_command_open_file(NULL, L"a.sldprt"), QAR_E_NULL_HANDLE);
    CHECK_RESULT("close_file", qar_command_close_file(NULL), QAR_E_NULL_HANDLE);
    CHECK_RESULT("save_file", qar_command_save_file(NULL, buffer, 8, &needed), QAR_E_NULL_HANDLE);
    CHECK_RESULT("get_dependencies", qar_command_get_dependencies(NULL, buffer, 8, &needed),
                 QAR_E_NULL_HANDLE);
    CHECK_RESULT("last_text", qar_command_last_text(NULL, buffer, 8, &needed), QAR_E_NULL_HANDLE);
    CHECK_RESULT("create_menu", qar_command_create_menu(NULL, L"PLM"), QAR_E_NULL_HANDLE);
    CHECK_RESULT("refresh_table", qar_command_refresh_table(NULL, L"a", L"b"), QAR_E_NULL_HANDLE);
    CHECK_RESULT("update_table", qar_command_update_table(NULL, L"a", L"b"), QAR_E_NULL_HANDLE);
    CHECK_RESULT("command_last_error", qar_command_last_error(NULL, &flag, buffer, 8, &needed),
                 QAR_E_NULL_HANDLE);
    CHECK_RESULT("command_destroy(NULL)", qar_command_destroy(NULL), QAR_OK);
    CHECK_RESULT("connector_destroy(NULL)", qar_connector_destroy(NULL), QAR_OK);
}

/* A version nobody registered: the connect fails with the library's own result and the message names
 * the ProgID tried; the message comes out by the size protocol and never past the buffer. */
static void UnregisteredVersion(void) {
    QarConnector* connector = NULL;
    QarCommand* command = (QarCommand*)1;
    wchar_t message[1024], small[8];
    size_t needed = 0, full = 0, i;
    int code = 0, result;
    CHECK(qar_connector_create(3, L"SolidWorks 2030", L"", L"", &connector) == QAR_OK);
    if (connector == NULL) return;
    result = qar_connector_new_command(connector, NULL, &command);
    CHECK(result < 0 && result != QAR_E_EXCEPTION);
    CHECK(command == NULL);
    CHECK(qar_connector_last_error(connector, &code, message, 1024, &full) == QAR_OK);
    CHECK(code == -1);
    CHECK(wcsstr(message, L"SldWorks.Application.38") != NULL);
    CHECK(full == wcslen(message) + 1);

    for (i = 0; i < 8; ++i) small[i] = L'#';
    CHECK_RESULT("size query", qar_connector_last_error(connector, NULL, NULL, 0, &needed),
                 QAR_E_BUFFER_TOO_SMALL);
    CHECK_RESULT("... reports the size", needed == full, 1);
    CHECK_RESULT("buffer without size", qar_connector_last_error(connector, NULL, NULL, 4, &needed),
                 QAR_E_NULL_ARGUMENT);
    CHECK_RESULT("four characters", qar_connector_last_error(connector, NULL, small, 4, &needed),
                 QAR_E_BUFFER_TOO_SMALL);
    CHECK_RESULT("... terminates at the start", small[0] == L'\0', 1);
    CHECK_RESULT("... writes nothing past the size", small[4] == L'#' && small[7] == L'#', 1);
    CHECK_RESULT("exactly the size", qar_connector_last_error(connector, NULL, message, full, NULL), QAR_OK);
    CHECK_RESULT("... terminated", message[full - 1] == L'\0' && wcslen(message) == full - 1, 1);
    CHECK_RESULT("new_command without out pointer", qar_connector_new_command(connector, NULL, NULL),
                 QAR_E_NULL_ARGUMENT);
    CHECK(qar_connector_last_error(connector, &code, message, 1024, NULL) == QAR_OK);
    CHECK(code == QAR_E_NULL_ARGUMENT && wcsstr(message, L"command is NULL") != NULL);
    CHECK(qar_connector_destroy(connector) == QAR_OK);
}

/* The folder of this program, with a final backslash. */
static void ProgramFolder(wchar_t* folder, DWORD size) {
    DWORD length = GetModuleFileNameW(NULL, folder, size);
    while (length > 0 && folder[length - 1] != L'\\') --length;
    folder[length] = L'\0';
}

/* The whole job against the registered simulator, then bad arguments on a live command. */
static void Session(void) {
    wchar_t folder[MAX_PATH], clamp[MAX_PATH], expected[3 * MAX_PATH], text[3 * MAX_PATH], small[16];
    QarConnector* connector = NULL;
    QarCommand* command = NULL;
    size_t needed = 0, i;
    int connected = 0, contains = 0, result;
    ProgramFolder(folder, MAX_PATH);
    swprintf(clamp, MAX_PATH, L"%lssamples\\clamp.sldasm", folder);
    swprintf(expected, 3 * MAX_PATH, L"%lssamples\\plate.sldprt|%lssamples\\bolt.sldprt", folder, folder);

    CHECK(qar_connector_create(3, L"SolidWorks 2016", L"", L"--session c", &connector) == QAR_OK);
    if (connector == NULL) return;
    result = qar_connector_new_command(connector, NULL, &command);
    CHECK(result == QAR_OK);
    if (command == NULL) {
        qar_connector_last_error(connector, &result, text, 3 * MAX_PATH, NULL);
        printf("connect failed: %d %ls\n", result, text);
        qar_connector_destroy(connector);
        return;
    }
    for (i = 0; i < 16; ++i) small[i] = L'#';
    CHECK_RESULT("is_connected", qar_command_is_connected(command, &connected), QAR_OK);
    CHECK_RESULT("... says so", connected, 1);
    CHECK_RESULT("open clamp.sldasm", qar_command_open_file(command, clamp), QAR_OK);
    CHECK_RESULT("dependencies", qar_command_get_dependencies(command, text, 3 * MAX_PATH, &needed), QAR_OK);
    CHECK_RESULT("... the two parts", wcscmp(text, expected) == 0, 1);
    CHECK_RESULT("dependencies into 5 characters", qar_command_get_dependencies(command, small, 5, &needed),
                 QAR_E_BUFFER_TOO_SMALL);
    CHECK_RESULT("... reports the size", needed == wcslen(expected) + 1, 1);
    CHECK_RESULT("... terminates at the start", small[0] == L'\0', 1);
    CHECK_RESULT("... writes nothing past the size", small[5] == L'#' && small[15] == L'#', 1);
    CHECK_RESULT("... kept text one short", qar_command_last_text(command, text, needed - 1, NULL),
                 QAR_E_BUFFER_TOO_SMALL);
    CHECK_RESULT("... kept text exactly", qar_command_last_text(command, text, needed, NULL), QAR_OK);
    CHECK_RESULT("... is the list", wcscmp(text, expected) == 0, 1);
    CHECK_RESULT("dependencies size query", qar_command_get_dependencies(command, NULL, 0, &needed),
                 QAR_E_BUFFER_TOO_SMALL);
    CHECK_RESULT("too small is no failure", CommandCode(command, L"", &contains), 0);
    CHECK_RESULT("create_menu", qar_command_create_menu(command, L"PLM"), QAR_OK);
    CHECK_RESULT("refresh_table", qar_command_refresh_table(command, L"parts", L"1"), QAR_OK);
    CHECK_RESULT("update_table", qar_command_update_table(command, L"parts", L"2"), QAR_OK);
    CHECK_RESULT("save", qar_command_save_file(command, text, 3 * MAX_PATH, NULL), QAR_OK);
    CHECK_RESULT("... the document's path", wcscmp(text, clamp) == 0, 1);
    CHECK_RESULT("close", qar_command_close_file(command), QAR_OK);

    /* Failures and rejections on a live command: the result, and the same code in the status record
     * with a message containing the text given. */
    CHECK_FAILURE(command, qar_command_open_file(command, L"C:\\nowhere\\missing.sldprt"), -1, L"");
    CHECK_FAILURE(command, qar_command_save_file(command, text, 3 * MAX_PATH, NULL), -1, L"");
    CHECK(text[0] == L'\0');
    CHECK_FAILURE(command, qar_command_open_file(command, NULL), QAR_E_NULL_ARGUMENT, L"path is NULL");
    CHECK_FAILURE(command, qar_command_create_menu(command, NULL), QAR_E_NULL_ARGUMENT, L"arg is NULL");
    CHECK_FAILURE(command, qar_command_refresh_table(command, L"a", NULL), QAR_E_NULL_ARGUMENT,
                  L"arg2 is NULL");
    CHECK_FAILURE(command, qar_command_update_table(command, NULL, L"b"), QAR_E_NULL_ARGUMENT,
                  L"arg1 is NULL");
    CHECK_FAILURE(command, qar_command_is_connected(command, NULL), QAR_E_NULL_ARGUMENT,
                  L"connected is NULL");
    CHECK_FAILURE(command, qar_command_get_dependencies(command, NULL, 5, NULL), QAR_E_NULL_ARGUMENT,
                  L"buffer is NULL");
    /* An unmapped text pointer faults inside the operation: the guard turns the fault into a result. */
    CHECK_FAILURE(command, qar_command_open_file(command, (const wchar_t*)0x10), QAR_E_EXCEPTION,
                  L"qar_command_open_file(): ");
    CHECK(qar_command_destroy(command) == QAR_OK);
    CHECK(qar_connector_destroy(connector) == QAR_OK);
}

int main(void) {
    NullHandles();
    UnregisteredVersion();
    Session();
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

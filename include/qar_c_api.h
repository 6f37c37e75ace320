/* The C interface of QarSldwInterface_x64.dll, for hosts built with any compiler (C or C++).
 *
 * The exported C++ classes (QarSldwInterface.h) bind only to hosts built with the same compiler and
 * C++ standard library as the DLL. This interface wraps the same objects behind opaque handles and
 * plain C types: UTF-16 `const wchar_t*` texts in, caller buffers out, an int result from every
 * function. No exception leaves it.
 *
 *   QarConnector* connector = NULL;
 *   QarCommand* command = NULL;
 *   if (qar_connector_create(3, L"SolidWorks 2016", L"", L"", &connector) == QAR_OK) {
 *       if (qar_connector_new_command(connector, NULL, &command) == QAR_OK) {
 *           qar_command_open_file(command, L"C:\\work\\clamp.sldasm");
 *           qar_command_destroy(command);            // says "Disconnect" to the add-in
 *       } else {
 *           int code; wchar_t message[512];
 *           qar_connector_last_error(connector, &code, message, 512, NULL);
 *       }
 *       qar_connector_destroy(connector);
 *   }
 *
 * Results: QAR_OK (0) is success. The QAR_E_* codes below are this interface's own rejections; every
 * other value is the wrapped operation's own result, unchanged (-1, or an HRESULT). A function given
 * a valid handle also leaves its failure (a NULL argument, an exception, the operation's own failure)
 * in that handle's status record, readable with qar_connector_last_error / qar_command_last_error;
 * a success does not clear it. The readers (*_last_error, *_last_text) change nothing, and
 * QAR_E_BUFFER_TOO_SMALL is no failure of the operation: neither touches the record.
 *
 * Output texts use one protocol: `buffer` holds `size` wide characters (size 0 with buffer NULL
 * is allowed, to ask for the size). `needed` (may be NULL) receives the characters the text takes
 * including its terminator. When the text fits it is copied and terminated; otherwise nothing of it
 * is copied, buffer[0] is set to 0 (when size > 0) and the result is QAR_E_BUFFER_TOO_SMALL. Nothing
 * is ever written at or beyond buffer[size].
 *
 * Threads: a connector joins its creating thread to a single-threaded COM apartment; use the
 * connector and its commands on that thread only. A function called with a handle from another
 * thread returns RPC_E_WRONG_THREAD (its text in the handle's status record) and touches nothing of
 * the application; destroying a handle on another thread releases nothing (its references are left
 * to the application's end) and says no "Disconnect".
 */
#ifndef QAR_C_API_H
#define QAR_C_API_H

/* size_t and, in C, wchar_t: <stddef.h> is the compiler's own header, so a host needs no C runtime's
 * headers for this one (clang for the Microsoft target has none of its own). */
#include <stddef.h>

#if defined(QAR_BUILDING_LIBRARY)
#define QAR_C_API __declspec(dllexport)
#else
#define QAR_C_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handles: made and destroyed only by the functions below. */
typedef struct QarConnector QarConnector;
typedef struct QarCommand QarCommand;

/* This interface's own results; chosen apart from -1 and from every HRESULT, which the wrapped
 * operations return. */
#define QAR_OK 0
#define QAR_E_NULL_HANDLE (-1001)      /* the connector or command handle is NULL */
#define QAR_E_NULL_ARGUMENT (-1002)    /* a required pointer argument is NULL */
#define QAR_E_BUFFER_TOO_SMALL (-1003) /* the text did not fit; see `needed` */
#define QAR_E_EXCEPTION (-1004)        /* the operation ended by an exception (or out of memory) */

/* --- Busy policy --------------------------------------------------------------------------- */

/* How long the calling thread's operations keep calling a CAD application that refuses calls because
 * it is busy (RPC_E_CALL_REJECTED, RPC_E_SERVERCALL_RETRYLATER): each refused call is made again after
 * a short pause until it is answered or the application has stayed busy for `milliseconds`; then the
 * operation fails as it would have, and its message adds that the application stayed busy that long.
 * 0 (the default) turns the policy off. The value belongs to the calling thread. A call that never
 * returns is not covered: wait for a hung application from another thread with a time-out. */
QAR_C_API int qar_set_busy_timeout(unsigned long milliseconds);
/* *milliseconds receives the calling thread's busy timeout. */
QAR_C_API int qar_get_busy_timeout(unsigned long* milliseconds);

/* --- Diagnostics --------------------------------------------------------------------------- */

/* Switches the call trace (JSON Lines, UTF-8) for the whole process, winning over QARSLDW_TRACE and the
 * registry: `path` names a file, or a folder for qarsldw-trace.jsonl in it; NULL or "" switches it off.
 * max_bytes caps the file before it is renamed to "<file>.1" (0 keeps the cap, 16 MiB by default). */
QAR_C_API int qar_set_trace(const wchar_t* path, unsigned long long max_bytes);
/* Writes a minidump into `folder` for each machine fault the library turns into a result, at most
 * max_dumps per process (0 keeps the limit, 3 by default); NULL or "" switches dumps off. */
QAR_C_API int qar_set_dumps(const wchar_t* folder, unsigned max_dumps);

/* --- Connector ----------------------------------------------------------------------------- */

/* Makes a connector from the four values of the C++ connector: cad_type 3 for this application,
 * cad_version names the installation ("SolidWorks 2016"), app_handle_text a running instance's main
 * window as signed decimal text ("" for none), add_in_argument is handed to the add-in as it is.
 * Every text is required ("" for none). On failure *connector is NULL. */
QAR_C_API int qar_connector_create(int cad_type, const wchar_t* cad_version, const wchar_t* app_handle_text,
                                   const wchar_t* add_in_argument, QarConnector** connector);

/* Destroys a connector; NULL does nothing. Commands made by it stay usable. */
QAR_C_API int qar_connector_destroy(QarConnector* connector);

/* Attaches to (or starts) the application, loads and configures the add-in and makes a command.
 * `host` is the host's IDispatch* automation object, or NULL. On failure *command is NULL and the
 * connector's status record says why. */
QAR_C_API int qar_connector_new_command(QarConnector* connector, void* host, QarCommand** command);

/* The connector's status record: the last failure's code (`code` may be NULL) and message. */
QAR_C_API int qar_connector_last_error(const QarConnector* connector, int* code, wchar_t* buffer, size_t size,
                                       size_t* needed);

/* --- Command ------------------------------------------------------------------------------- */

/* Says "Disconnect" to the add-in and destroys the command; NULL does nothing. */
QAR_C_API int qar_command_destroy(QarCommand* command);

/* Tells the add-in the host is done; a failure shows only in the status record. */
QAR_C_API int qar_command_disconnect(QarCommand* command);
/* *connected becomes 1 when the application still answers, else 0. */
QAR_C_API int qar_command_is_connected(QarCommand* command, int* connected);

/* Document operations: QAR_OK, or -1 with the reason in the status record. */
QAR_C_API int qar_command_open_file(QarCommand* command, const wchar_t* path);
QAR_C_API int qar_command_close_file(QarCommand* command);
/* The saved document's full path goes to `buffer` (the output protocol above). */
QAR_C_API int qar_command_save_file(QarCommand* command, wchar_t* buffer, size_t size, size_t* needed);
/* The file names the active document depends on, joined by "|". The list can be long: when it does
 * not fit, the result is QAR_E_BUFFER_TOO_SMALL and the list stays with the command, to be fetched
 * with qar_command_last_text without asking the application again. A failed operation returns its
 * own result (with "" as its text), never QAR_E_BUFFER_TOO_SMALL. */
QAR_C_API int qar_command_get_dependencies(QarCommand* command, wchar_t* buffer, size_t size, size_t* needed);
/* The text of the last qar_command_save_file or qar_command_get_dependencies, "" before either. */
QAR_C_API int qar_command_last_text(const QarCommand* command, wchar_t* buffer, size_t size, size_t* needed);

/* Handed unchanged to the add-in's methods of the same names: QAR_OK or the failing HRESULT. */
QAR_C_API int qar_command_create_menu(QarCommand* command, const wchar_t* arg);
QAR_C_API int qar_command_refresh_table(QarCommand* command, const wchar_t* arg1, const wchar_t* arg2);
QAR_C_API int qar_command_update_table(QarCommand* command, const wchar_t* arg1, const wchar_t* arg2);

/* The command's status record: the last failure's code (`code` may be NULL) and message. */
QAR_C_API int qar_command_last_error(const QarCommand* command, int* code, wchar_t* buffer, size_t size,
                                     size_t* needed);

#ifdef __cplusplus
}
#endif

#endif /* QAR_C_API_H */

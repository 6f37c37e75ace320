// The C interface (include/qar_c_api.h) over SldwConnector and CaxCommand.
//
// Each function checks its handle and pointers first, then runs the C++ operation as a guarded
// operation recording into the handle's status record, so that exceptions (including _com_error,
// std::bad_alloc and translated machine faults, e.g. a wild text pointer) end here as a result.
#include "qar_c_api.h"

#include <windows.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "Public/busy_policy.h"
#include "Public/cax_command.h"
#include "Public/diagnostics.h"
#include "Public/error_model.h"
#include "Public/host_call.h"
#include "Public/trace.h"
#include "sldw/sldw_connector.h"

using qar::GuardSite;
using qar::HostCall;
using qar::RecordOf;
using qar::RunHostCall;
using qar::StatusRecord;

struct QarConnector {
    QarConnector(int cadType, const std::wstring& cadVersion, const std::wstring& appHandleText,
                 const std::wstring& addInArgument)
        : object(cadType, cadVersion, appHandleText, addInArgument) {}
    QARCAX::SldwConnector object;
};

struct QarCommand {
    std::unique_ptr<QARCAX::CaxCommand> object;
    // The last text result, kept so that a host whose buffer was too small fetches it without
    // running the operation again (the application's state may have moved on by then).
    std::wstring text;
};

namespace {

// The C interface's own guard sites: every exception ends as QAR_E_EXCEPTION.
constexpr GuardSite Site(const wchar_t* function, const wchar_t* prefix) {
    return {function, prefix, QAR_E_EXCEPTION, true};
}

const GuardSite kCreate = Site(L"qar_connector_create", L"qar_connector_create(): ");
const GuardSite kNewCommand = Site(L"qar_connector_new_command", L"qar_connector_new_command(): ");
const GuardSite kConnectorLastError = Site(L"qar_connector_last_error", L"");
const GuardSite kDisconnect = Site(L"qar_command_disconnect", L"qar_command_disconnect(): ");
const GuardSite kIsConnected = Site(L"qar_command_is_connected", L"qar_command_is_connected(): ");
const GuardSite kOpenFile = Site(L"qar_command_open_file", L"qar_command_open_file(): ");
const GuardSite kCloseFile = Site(L"qar_command_close_file", L"qar_command_close_file(): ");
const GuardSite kSaveFile = Site(L"qar_command_save_file", L"qar_command_save_file(): ");
const GuardSite kGetDependencies = Site(L"qar_command_get_dependencies", L"qar_command_get_dependencies(): ");
const GuardSite kLastText = Site(L"qar_command_last_text", L"");
const GuardSite kCreateMenu = Site(L"qar_command_create_menu", L"qar_command_create_menu(): ");
const GuardSite kRefreshTable = Site(L"qar_command_refresh_table", L"qar_command_refresh_table(): ");
const GuardSite kUpdateTable = Site(L"qar_command_update_table", L"qar_command_update_table(): ");
const GuardSite kCommandLastError = Site(L"qar_command_last_error", L"");
const GuardSite kSetTrace = Site(L"qar_set_trace", L"");
const GuardSite kSetDumps = Site(L"qar_set_dumps", L"");
const GuardSite kGetBusyTimeout = Site(L"qar_get_busy_timeout", L"");
const GuardSite kConnectorDestroy = Site(L"qar_connector_destroy", L"");
const GuardSite kCommandDestroy = Site(L"qar_command_destroy", L"");

// Runs `body` as a guarded operation recording into `record`. An exception gives QAR_E_EXCEPTION;
// so does a failure to record it (no memory for the message).
template <class Body>
int Guarded(const GuardSite& site, StatusRecord record, Body&& body) noexcept {
    try {
        bool returned = false;
        const HostCall call = {nullptr, site.function, &site, nullptr};  // the owner is checked inside
        const int result = RunHostCall(call, nullptr, record, [&]() -> int {
            const int value = body();
            returned = true;
            return value;
        });
        return returned ? result : QAR_E_EXCEPTION;
    } catch (...) {
        return record.Fail(QAR_E_EXCEPTION, std::wstring());
    }
}

// Records a NULL where a pointer was required.
int RejectNull(const GuardSite& site, StatusRecord record, const wchar_t* argument) noexcept {
    std::wstring text;  // stays "" without memory for it
    try {
        text = std::wstring(site.function) + L"(): " + argument + L" is NULL.";
    } catch (...) {
    }
    return record.Fail(QAR_E_NULL_ARGUMENT, std::move(text));
}

// A caller buffer may be NULL only when its size is 0 (a size query).
bool BufferValid(const wchar_t* buffer, size_t size) {
    return buffer != nullptr || size == 0;
}

// Host memory is read and written only by this file's own loads and stores, never through a runtime
// routine such as wcslen or wmemcpy: the compiler takes those for functions that cannot throw, so a
// fault inside one (an unreadable pointer) ended the process instead of reaching the guard. A load or
// store of our own may throw (-fnon-call-exceptions), and the guard turns its fault into a result.

// These helpers are kept out of line (noipa): inlined, the compiler may merge their reads with the
// same reads made later inside a destructor, which cannot throw, and the fault would then again end
// the process (measured: `Checked(command); delete command;` did).

// Faults here when any byte of [address, address + size) is unreadable.
__attribute__((noipa)) void ProbeRead(const void* address, size_t size) {
    const volatile char* bytes = static_cast<const volatile char*>(address);
    for (size_t i = 0; i < size; i += 4096) static_cast<void>(bytes[i]);
    if (size > 0) static_cast<void>(bytes[size - 1]);
}

// A copy of the host's text up to its terminator.
__attribute__((noipa)) std::wstring HostText(const wchar_t* text) {
    const volatile wchar_t* source = text;
    size_t length = 0;
    while (source[length] != L'\0') ++length;
    std::wstring copy(length, L'\0');
    for (size_t i = 0; i < length; ++i) copy[i] = source[i];
    return copy;
}

// The handle's own memory, then the object it owns: an unreadable handle faults here, before anything
// is recorded in it.
__attribute__((noipa)) QARCAX::CaxCommand& Checked(const QarCommand* command) {
    ProbeRead(command, sizeof(*command));
    QARCAX::CaxCommand* object = command->object.get();
    ProbeRead(object, sizeof(*object));
    return *object;
}

__attribute__((noipa)) QARCAX::SldwConnector& Checked(QarConnector* connector) {
    ProbeRead(connector, sizeof(*connector));
    return connector->object;
}

// Copies `text` by the output protocol of qar_c_api.h: all of it and a terminator, or nothing.
int CopyOut(const std::wstring& text, wchar_t* buffer, size_t size, size_t* needed) {
    const size_t required = text.size() + 1;
    if (needed != nullptr) *needed = required;
    volatile wchar_t* target = buffer;
    if (size < required) {
        if (size > 0) target[0] = L'\0';
        return QAR_E_BUFFER_TOO_SMALL;
    }
    for (size_t i = 0; i < text.size(); ++i) target[i] = text[i];
    target[text.size()] = L'\0';
    return QAR_OK;
}

// The whole of an entry point, for faults outside any handle's record (an unreadable handle or
// result pointer): QAR_E_EXCEPTION, recorded nowhere.
// The trace shows the C interface's own refusals and faults (and the connector's creation); every
// other result is the C++ operation's, which traces itself.
template <class Body>
int Shielded(const GuardSite& site, Body&& body) noexcept {
    const qar::TraceSpan span;
    int code = 0;
    std::wstring message;
    const int result = Guarded(site, StatusRecord(code, message), std::forward<Body>(body));
    if (span.Running() && (result == QAR_E_NULL_ARGUMENT || result == QAR_E_EXCEPTION || &site == &kCreate)) {
        qar::TraceHostOperation({"c", site.function, nullptr, result, result, &message, span});
    }
    return result;
}

// A command operation with its handle checked: body(CaxCommand&) runs guarded, recording into the
// command's status record.
template <class Body>
int OnCommand(QarCommand* command, const GuardSite& site, Body&& body) noexcept {
    if (command == nullptr) return QAR_E_NULL_HANDLE;
    return Shielded(site, [&]() -> int {
        QARCAX::CaxCommand& object = Checked(command);
        return Guarded(site, RecordOf(object), [&]() -> int { return body(object); });
    });
}

// A command operation on required texts: a NULL among them is refused (naming the first), the others
// are copied before the operation runs.
template <size_t N, class Body>
int OnCommandTexts(QarCommand* command, const GuardSite& site, const wchar_t* const (&texts)[N],
                   const wchar_t* const (&names)[N], Body&& body) noexcept {
    if (command == nullptr) return QAR_E_NULL_HANDLE;
    return Shielded(site, [&]() -> int {
        QARCAX::CaxCommand& object = Checked(command);
        for (size_t i = 0; i < N; ++i) {
            if (texts[i] == nullptr) return RejectNull(site, RecordOf(object), names[i]);
        }
        return Guarded(site, RecordOf(object), [&]() -> int {
            std::wstring copies[N];
            for (size_t i = 0; i < N; ++i) copies[i] = HostText(texts[i]);
            return body(object, copies);
        });
    });
}

// An operation with a text result: the text is kept with the command, then copied out. A failed
// operation's own result wins over a too-small buffer (its text is "" anyway).
template <class Operation>
int TextOperation(QarCommand* command, const GuardSite& site, wchar_t* buffer, size_t size, size_t* needed,
                  Operation&& operation) noexcept {
    if (command == nullptr) return QAR_E_NULL_HANDLE;
    return Shielded(site, [&]() -> int {
        QARCAX::CaxCommand& object = Checked(command);
        if (!BufferValid(buffer, size)) return RejectNull(site, RecordOf(object), L"buffer");
        command->text.clear();  // an operation ended by an exception leaves "" rather than an older text
        return Guarded(site, RecordOf(object), [&]() -> int {
            std::wstring text;
            const int result = operation(object, text);
            command->text = std::move(text);
            const int copied = CopyOut(command->text, buffer, size, needed);
            return result != 0 ? result : copied;
        });
    });
}

// Reads a status record or a kept text; changes nothing in the handle. `read` gives the code and the
// text once the handle has been checked.
template <class Read>
int ReadText(const GuardSite& site, int* codeOut, wchar_t* buffer, size_t size, size_t* needed,
             Read&& read) noexcept {
    if (!BufferValid(buffer, size)) return QAR_E_NULL_ARGUMENT;
    return Shielded(site, [&]() -> int {
        const std::pair<int, const std::wstring*> record = read();
        if (codeOut != nullptr) *codeOut = record.first;
        return CopyOut(*record.second, buffer, size, needed);
    });
}

}  // namespace

extern "C" {

int qar_set_busy_timeout(unsigned long milliseconds) {
    QARCAX::SetBusyTimeout(milliseconds);
    return QAR_OK;
}

int qar_get_busy_timeout(unsigned long* milliseconds) {
    if (milliseconds == nullptr) return QAR_E_NULL_ARGUMENT;
    return Shielded(kGetBusyTimeout, [&]() -> int {
        *milliseconds = QARCAX::GetBusyTimeout();
        return QAR_OK;
    });
}

int qar_set_trace(const wchar_t* path, unsigned long long max_bytes) {
    return Shielded(kSetTrace, [&]() -> int {
        QARCAX::SetTrace(path != nullptr ? HostText(path).c_str() : nullptr, max_bytes);
        return QAR_OK;
    });
}

int qar_set_dumps(const wchar_t* folder, unsigned max_dumps) {
    return Shielded(kSetDumps, [&]() -> int {
        QARCAX::SetDumps(folder != nullptr ? HostText(folder).c_str() : nullptr, max_dumps);
        return QAR_OK;
    });
}

int qar_connector_create(int cad_type, const wchar_t* cad_version, const wchar_t* app_handle_text,
                         const wchar_t* add_in_argument, QarConnector** connector) {
    if (connector == nullptr) return QAR_E_NULL_ARGUMENT;
    return Shielded(kCreate, [&]() -> int {
        *connector = nullptr;
        if (cad_version == nullptr || app_handle_text == nullptr || add_in_argument == nullptr) {
            return QAR_E_NULL_ARGUMENT;
        }
        *connector = new QarConnector(cad_type, HostText(cad_version), HostText(app_handle_text),
                                      HostText(add_in_argument));
        return QAR_OK;
    });
}

int qar_connector_destroy(QarConnector* connector) {
    if (connector == nullptr) return QAR_OK;
    return Shielded(kConnectorDestroy, [&]() -> int {
        Checked(connector);
        delete connector;
        return QAR_OK;
    });
}

int qar_connector_new_command(QarConnector* connector, void* host, QarCommand** command) {
    if (connector == nullptr) return QAR_E_NULL_HANDLE;
    return Shielded(kNewCommand, [&]() -> int {
        QARCAX::SldwConnector& object = Checked(connector);
        if (command == nullptr) return RejectNull(kNewCommand, RecordOf(object), L"command");
        *command = nullptr;
        // The host object and the first entries of its function table, read before anything of the
        // connect sequence holds a reference.
        if (host != nullptr) {
            ProbeRead(host, sizeof(void*));
            ProbeRead(*static_cast<void* const*>(host), 7 * sizeof(void*));
        }
        return Guarded(kNewCommand, RecordOf(object), [&]() -> int {
            // The handle exists before connecting, so that no allocation can fail with a command made
            // and nobody owning it.
            auto handle = std::make_unique<QarCommand>();
            QARCAX::CaxCommand* made = nullptr;
            const int result = object.NewCommand(static_cast<IDispatch*>(host), made);
            handle->object.reset(made);
            if (result != 0) return result;
            if (!handle->object) throw std::runtime_error("the connector reported success without a command");
            *command = handle.release();
            return QAR_OK;
        });
    });
}

int qar_connector_last_error(const QarConnector* connector, int* code, wchar_t* buffer, size_t size,
                             size_t* needed) {
    if (connector == nullptr) return QAR_E_NULL_HANDLE;
    return ReadText(kConnectorLastError, code, buffer, size, needed, [&] {
        const QARCAX::SldwConnector& object = Checked(const_cast<QarConnector*>(connector));
        return std::make_pair(object.errorCode, &object.errorMessage);
    });
}

int qar_command_destroy(QarCommand* command) {
    if (command == nullptr) return QAR_OK;
    return Shielded(kCommandDestroy, [&]() -> int {
        Checked(command);
        delete command;
        return QAR_OK;
    });
}

int qar_command_disconnect(QarCommand* command) {
    return OnCommand(command, kDisconnect, [](QARCAX::CaxCommand& c) {
        c.Disconnect();
        return QAR_OK;
    });
}

int qar_command_is_connected(QarCommand* command, int* connected) {
    if (command == nullptr) return QAR_E_NULL_HANDLE;
    return Shielded(kIsConnected, [&]() -> int {
        QARCAX::CaxCommand& object = Checked(command);
        if (connected == nullptr) return RejectNull(kIsConnected, RecordOf(object), L"connected");
        *connected = 0;  // also what an exception leaves
        return Guarded(kIsConnected, RecordOf(object), [&]() -> int {
            *connected = object.IsConnected() ? 1 : 0;
            return QAR_OK;
        });
    });
}

int qar_command_open_file(QarCommand* command, const wchar_t* path) {
    return OnCommandTexts(command, kOpenFile, {path}, {L"path"},
                          [](QARCAX::CaxCommand& c, std::wstring* t) { return c.OpenFile(t[0]); });
}

int qar_command_close_file(QarCommand* command) {
    return OnCommand(command, kCloseFile, [](QARCAX::CaxCommand& c) { return c.CloseFile(); });
}

int qar_command_save_file(QarCommand* command, wchar_t* buffer, size_t size, size_t* needed) {
    return TextOperation(command, kSaveFile, buffer, size, needed,
                         [](QARCAX::CaxCommand& c, std::wstring& text) { return c.SaveFile(text); });
}

int qar_command_get_dependencies(QarCommand* command, wchar_t* buffer, size_t size, size_t* needed) {
    return TextOperation(command, kGetDependencies, buffer, size, needed,
                         [](QARCAX::CaxCommand& c, std::wstring& text) { return c.GetDependencies(text); });
}

int qar_command_last_text(const QarCommand* command, wchar_t* buffer, size_t size, size_t* needed) {
    if (command == nullptr) return QAR_E_NULL_HANDLE;
    return ReadText(kLastText, nullptr, buffer, size, needed, [&] {
        Checked(command);
        return std::make_pair(QAR_OK, &command->text);
    });
}

int qar_command_create_menu(QarCommand* command, const wchar_t* arg) {
    return OnCommandTexts(command, kCreateMenu, {arg}, {L"arg"},
                          [](QARCAX::CaxCommand& c, std::wstring* t) { return c.CreateMenu(t[0]); });
}

int qar_command_refresh_table(QarCommand* command, const wchar_t* arg1, const wchar_t* arg2) {
    return OnCommandTexts(command, kRefreshTable, {arg1, arg2}, {L"arg1", L"arg2"},
                          [](QARCAX::CaxCommand& c, std::wstring* t) { return c.RefreshTable(t[0], t[1]); });
}

int qar_command_update_table(QarCommand* command, const wchar_t* arg1, const wchar_t* arg2) {
    return OnCommandTexts(command, kUpdateTable, {arg1, arg2}, {L"arg1", L"arg2"},
                          [](QARCAX::CaxCommand& c, std::wstring* t) { return c.UpdateTable(t[0], t[1]); });
}

int qar_command_last_error(const QarCommand* command, int* code, wchar_t* buffer, size_t size,
                           size_t* needed) {
    if (command == nullptr) return QAR_E_NULL_HANDLE;
    return ReadText(kCommandLastError, code, buffer, size, needed, [&] {
        const QARCAX::CaxCommand& object = Checked(command);
        return std::make_pair(object.errorCode, &object.errorMessage);
    });
}

}  // extern "C"

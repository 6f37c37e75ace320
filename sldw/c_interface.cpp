// The C interface (include/qar_c_api.h) over SldwConnector and CaxCommand.
//
// Each function checks its handle and pointers first, then runs the C++ operation as a guarded
// operation recording into the handle's status record, so that exceptions (including _com_error,
// std::bad_alloc and translated machine faults, e.g. a wild text pointer) end here as a result.
#include "qar_c_api.h"

#include <windows.h>

#include <cwchar>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "Public/busy_policy.h"
#include "Public/cax_command.h"
#include "Public/error_model.h"
#include "sldw/sldw_connector.h"

using qar::GuardSite;
using qar::RunGuarded;

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

// The C interface's own guard sites. Unlike the connector's, their "line" is just this file's line,
// for a reader of the exception; no host sees it.
constexpr GuardSite Site(const wchar_t* function, const wchar_t* prefix, int line) {
    return {function, L".\\c_interface", line, prefix, QAR_E_EXCEPTION, true};
}

const GuardSite kCreate = Site(L"qar_connector_create", L"qar_connector_create(): ", __LINE__);
const GuardSite kNewCommand = Site(L"qar_connector_new_command", L"qar_connector_new_command(): ", __LINE__);
const GuardSite kConnectorLastError = Site(L"qar_connector_last_error", L"", __LINE__);
const GuardSite kDisconnect = Site(L"qar_command_disconnect", L"qar_command_disconnect(): ", __LINE__);
const GuardSite kIsConnected = Site(L"qar_command_is_connected", L"qar_command_is_connected(): ", __LINE__);
const GuardSite kOpenFile = Site(L"qar_command_open_file", L"qar_command_open_file(): ", __LINE__);
const GuardSite kCloseFile = Site(L"qar_command_close_file", L"qar_command_close_file(): ", __LINE__);
const GuardSite kSaveFile = Site(L"qar_command_save_file", L"qar_command_save_file(): ", __LINE__);
const GuardSite kGetDependencies =
    Site(L"qar_command_get_dependencies", L"qar_command_get_dependencies(): ", __LINE__);
const GuardSite kLastText = Site(L"qar_command_last_text", L"", __LINE__);
const GuardSite kCreateMenu = Site(L"qar_command_create_menu", L"qar_command_create_menu(): ", __LINE__);
const GuardSite kRefreshTable =
    Site(L"qar_command_refresh_table", L"qar_command_refresh_table(): ", __LINE__);
const GuardSite kUpdateTable = Site(L"qar_command_update_table", L"qar_command_update_table(): ", __LINE__);
const GuardSite kCommandLastError = Site(L"qar_command_last_error", L"", __LINE__);

// Runs `body` as a guarded operation recording into (code, message). An exception gives
// QAR_E_EXCEPTION; so does a failure to record it (no memory for the message), which leaves the code.
template <class Body>
int Guarded(const GuardSite& site, int& code, std::wstring& message, Body&& body) noexcept {
    try {
        bool returned = false;
        const int result = RunGuarded(site, code, message, [&]() -> int {
            const int value = body();
            returned = true;
            return value;
        });
        return returned ? result : QAR_E_EXCEPTION;
    } catch (...) {
        code = QAR_E_EXCEPTION;
        return QAR_E_EXCEPTION;
    }
}

// Records a NULL where a pointer was required.
int RejectNull(const GuardSite& site, int& code, std::wstring& message, const wchar_t* argument) noexcept {
    std::wstring text;  // stays "" without memory for it
    try {
        text = std::wstring(site.function) + L"(): " + argument + L" is NULL.";
    } catch (...) {
    }
    qar::RecordFailure(code, message, QAR_E_NULL_ARGUMENT, std::move(text));
    return QAR_E_NULL_ARGUMENT;
}

// A caller buffer may be NULL only when its size is 0 (a size query).
bool BufferValid(const wchar_t* buffer, size_t size) {
    return buffer != nullptr || size == 0;
}

// Copies `text` by the output protocol of qar_c_api.h: all of it and a terminator, or nothing.
int CopyOut(const std::wstring& text, wchar_t* buffer, size_t size, size_t* needed) {
    const size_t required = text.size() + 1;
    if (needed != nullptr) *needed = required;
    if (size < required) {
        if (size > 0) buffer[0] = L'\0';
        return QAR_E_BUFFER_TOO_SMALL;
    }
    if (!text.empty()) std::wmemcpy(buffer, text.data(), text.size());
    buffer[text.size()] = L'\0';
    return QAR_OK;
}

// A command operation with its handle checked: body(CaxCommand&) runs guarded, recording into the
// command's status record.
template <class Body>
int OnCommand(QarCommand* command, const GuardSite& site, Body&& body) noexcept {
    if (command == nullptr) return QAR_E_NULL_HANDLE;
    QARCAX::CaxCommand& object = *command->object;
    return Guarded(site, object.errorCode, object.errorMessage, [&]() -> int { return body(object); });
}

// An operation with a text result: the text is kept with the command, then copied out. A failed
// operation's own result wins over a too-small buffer (its text is "" anyway).
template <class Operation>
int TextOperation(QarCommand* command, const GuardSite& site, wchar_t* buffer, size_t size, size_t* needed,
                  Operation&& operation) noexcept {
    if (command == nullptr) return QAR_E_NULL_HANDLE;
    QARCAX::CaxCommand& object = *command->object;
    if (!BufferValid(buffer, size)) return RejectNull(site, object.errorCode, object.errorMessage, L"buffer");
    command->text.clear();  // an operation ended by an exception leaves "" rather than an older text
    return Guarded(site, object.errorCode, object.errorMessage, [&]() -> int {
        std::wstring text;
        const int result = operation(object, text);
        command->text = std::move(text);
        const int copied = CopyOut(command->text, buffer, size, needed);
        return result != 0 ? result : copied;
    });
}

// Reads a status record or a kept text; changes nothing in the handle.
int ReadText(const GuardSite& site, int code, const std::wstring& text, int* codeOut, wchar_t* buffer,
             size_t size, size_t* needed) noexcept {
    if (!BufferValid(buffer, size)) return QAR_E_NULL_ARGUMENT;
    int scratchCode = 0;
    std::wstring scratchMessage;
    return Guarded(site, scratchCode, scratchMessage, [&]() -> int {
        if (codeOut != nullptr) *codeOut = code;
        return CopyOut(text, buffer, size, needed);
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
    *milliseconds = QARCAX::GetBusyTimeout();
    return QAR_OK;
}

int qar_connector_create(int cad_type, const wchar_t* cad_version, const wchar_t* app_handle_text,
                         const wchar_t* add_in_argument, QarConnector** connector) {
    if (connector == nullptr) return QAR_E_NULL_ARGUMENT;
    *connector = nullptr;
    if (cad_version == nullptr || app_handle_text == nullptr || add_in_argument == nullptr) {
        return QAR_E_NULL_ARGUMENT;
    }
    int code = 0;
    std::wstring message;
    return Guarded(kCreate, code, message, [&]() -> int {
        *connector = new QarConnector(cad_type, cad_version, app_handle_text, add_in_argument);
        return QAR_OK;
    });
}

int qar_connector_destroy(QarConnector* connector) {
    delete connector;
    return QAR_OK;
}

int qar_connector_new_command(QarConnector* connector, void* host, QarCommand** command) {
    if (connector == nullptr) return QAR_E_NULL_HANDLE;
    QARCAX::SldwConnector& object = connector->object;
    if (command == nullptr) return RejectNull(kNewCommand, object.errorCode, object.errorMessage, L"command");
    *command = nullptr;
    return Guarded(kNewCommand, object.errorCode, object.errorMessage, [&]() -> int {
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
}

int qar_connector_last_error(const QarConnector* connector, int* code, wchar_t* buffer, size_t size,
                             size_t* needed) {
    if (connector == nullptr) return QAR_E_NULL_HANDLE;
    return ReadText(kConnectorLastError, connector->object.errorCode, connector->object.errorMessage, code,
                    buffer, size, needed);
}

int qar_command_destroy(QarCommand* command) {
    delete command;
    return QAR_OK;
}

int qar_command_disconnect(QarCommand* command) {
    return OnCommand(command, kDisconnect, [](QARCAX::CaxCommand& c) {
        c.Disconnect();
        return QAR_OK;
    });
}

int qar_command_is_connected(QarCommand* command, int* connected) {
    if (command != nullptr && connected == nullptr) {
        return RejectNull(kIsConnected, command->object->errorCode, command->object->errorMessage,
                          L"connected");
    }
    if (connected != nullptr) *connected = 0;  // also what an exception leaves
    return OnCommand(command, kIsConnected, [&](QARCAX::CaxCommand& c) {
        *connected = c.IsConnected() ? 1 : 0;
        return QAR_OK;
    });
}

int qar_command_open_file(QarCommand* command, const wchar_t* path) {
    if (command != nullptr && path == nullptr) {
        return RejectNull(kOpenFile, command->object->errorCode, command->object->errorMessage, L"path");
    }
    return OnCommand(command, kOpenFile, [&](QARCAX::CaxCommand& c) { return c.OpenFile(path); });
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
    return ReadText(kLastText, QAR_OK, command->text, nullptr, buffer, size, needed);
}

int qar_command_create_menu(QarCommand* command, const wchar_t* arg) {
    if (command != nullptr && arg == nullptr) {
        return RejectNull(kCreateMenu, command->object->errorCode, command->object->errorMessage, L"arg");
    }
    return OnCommand(command, kCreateMenu, [&](QARCAX::CaxCommand& c) { return c.CreateMenu(arg); });
}

int qar_command_refresh_table(QarCommand* command, const wchar_t* arg1, const wchar_t* arg2) {
    if (command != nullptr && (arg1 == nullptr || arg2 == nullptr)) {
        return RejectNull(kRefreshTable, command->object->errorCode, command->object->errorMessage,
                          arg1 == nullptr ? L"arg1" : L"arg2");
    }
    return OnCommand(command, kRefreshTable,
                     [&](QARCAX::CaxCommand& c) { return c.RefreshTable(arg1, arg2); });
}

int qar_command_update_table(QarCommand* command, const wchar_t* arg1, const wchar_t* arg2) {
    if (command != nullptr && (arg1 == nullptr || arg2 == nullptr)) {
        return RejectNull(kUpdateTable, command->object->errorCode, command->object->errorMessage,
                          arg1 == nullptr ? L"arg1" : L"arg2");
    }
    return OnCommand(command, kUpdateTable, [&](QARCAX::CaxCommand& c) { return c.UpdateTable(arg1, arg2); });
}

int qar_command_last_error(const QarCommand* command, int* code, wchar_t* buffer, size_t size,
                           size_t* needed) {
    if (command == nullptr) return QAR_E_NULL_HANDLE;
    return ReadText(kCommandLastError, command->object->errorCode, command->object->errorMessage, code,
                    buffer, size, needed);
}

}  // extern "C"

// C++ objects over the C interface (qar_c_api.h), for C++ hosts of any compiler: MSVC, clang-cl,
// clang, g++. Header-only, standard C++17 and qar_c_api.h, nothing else.
//
// The exported C++ classes (QarSldwInterface.h) bind only to hosts built with the DLL's own compiler
// and standard library. These classes are compiled into the host instead, by the host's compiler, and
// reach the DLL only through its C functions (the "hourglass": C++ on both sides of a C waist). So
// only plain C types cross the module boundary, never an exception or a standard-library object.
//
//   QarSldw::Connector connector(3, L"SolidWorks 2016", L"", L"argument for the add-in");
//   QarSldw::Command command;
//   if (connector.NewCommand(hostDispatchOrNull, command) != 0) {
//       // connector.status().errorCode / .errorMessage say what failed
//   } else {
//       command.OpenFile(L"C:\\work\\clamp.sldasm");      // 0 or -1; command.status() says why
//       std::wstring dependencies;                          // full paths joined by "|"
//       command.GetDependencies(dependencies);
//   }   // the command's destructor says "Disconnect" to the add-in
//
// The operations have the exported classes' names and meanings and answer with an int: 0 success, -1
// or an HRESULT from the operation, or one of the C interface's QAR_E_* codes (QAR_E_NULL_HANDLE for
// an empty or moved-from object). Each failure also refreshes the object's status record (code and
// message, as the DLL recorded it); a success leaves it as it was. Nothing here throws: a text that the
// host cannot allocate gives QAR_E_EXCEPTION with that code in the status record and no message.
// Ownership: one object owns one C handle; the objects move, never copy. Threads: use a connector and
// its commands on the thread that created the connector (see qar_c_api.h).
#ifndef QAR_HOURGLASS_HPP
#define QAR_HOURGLASS_HPP

#include <qar_c_api.h>

#include <cstddef>
#include <new>
#include <string>
#include <utility>

namespace QarSldw {

// A status record: the last failure's code and message.
struct Status {
    int errorCode = 0;
    std::wstring errorMessage;
};

// The calling thread's busy timeout in milliseconds (0: off); see qar_set_busy_timeout.
inline int SetBusyTimeout(unsigned long milliseconds) noexcept {
    return qar_set_busy_timeout(milliseconds);
}
inline unsigned long GetBusyTimeout() noexcept {
    unsigned long milliseconds = 0;
    return qar_get_busy_timeout(&milliseconds) == QAR_OK ? milliseconds : 0;
}

// The call trace for the whole process (see qar_set_trace): a file, or a folder for qarsldw-trace.jsonl in
// it; null or "" switches it off; maxBytes 0 keeps the size cap.
inline int SetTrace(const wchar_t* path, unsigned long long maxBytes = 0) noexcept {
    return qar_set_trace(path, maxBytes);
}
// A minidump into `folder` for each machine fault turned into a result, at most maxDumps per process
// (0 keeps the limit); null or "" switches dumps off (see qar_set_dumps).
inline int SetDumps(const wchar_t* folder, unsigned maxDumps = 0) noexcept {
    return qar_set_dumps(folder, maxDumps);
}

// The characters of the buffer on the stack that a text result is read into first; a longer text is
// read again, with the size it needs, into the result string.
#ifndef QAR_HOURGLASS_FIRST_BUFFER
#define QAR_HOURGLASS_FIRST_BUFFER 256
#endif

namespace detail {

// Reads a text through the C interface's output protocol: `read(buffer, size, &needed)` is called with
// a small buffer of its own first and, when the text does not fit, once more with the size it needs
// (`again`, defaulting to `read`, for operations that must not run twice). QAR_E_EXCEPTION when the
// host has no memory for the text.
template <class Read, class Again>
int ReadText(std::wstring& text, Read&& read, Again&& again) noexcept {
    wchar_t small[QAR_HOURGLASS_FIRST_BUFFER];
    std::size_t needed = 0;
    int result = read(small, sizeof small / sizeof small[0], &needed);
    try {
        if (result == QAR_OK) {
            text.assign(small);
        } else if (result == QAR_E_BUFFER_TOO_SMALL && needed > 0) {
            std::wstring large(needed, L'\0');
            result = again(&large[0], needed, &needed);
            if (result == QAR_OK) {
                large.resize(needed - 1);
                text.swap(large);
            }
        }
    } catch (const std::bad_alloc&) {
        result = QAR_E_EXCEPTION;
    }
    return result;
}
template <class Read>
int ReadText(std::wstring& text, Read&& read) noexcept {
    return ReadText(text, read, read);
}

// Keeps a C handle's status record on this side after a failure.
template <class Handle>
void Refresh(Status& status, int result, const Handle* handle,
             int (*lastError)(const Handle*, int*, wchar_t*, std::size_t, std::size_t*)) noexcept {
    if (result == QAR_OK) return;
    status.errorCode = result;
    status.errorMessage.clear();
    if (handle == nullptr) return;
    int code = result;
    if (ReadText(status.errorMessage, [&](wchar_t* buffer, std::size_t size, std::size_t* needed) {
            return lastError(handle, &code, buffer, size, needed);
        }) == QAR_OK) {
        status.errorCode = code;
    }
}

}  // namespace detail

// A command: the add-in's operations on the active document. Made by Connector::NewCommand; its
// destructor says "Disconnect" to the add-in. A command may outlive its connector.
class Command {
public:
    Command() noexcept = default;
    Command(Command&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), status_(std::move(other.status_)) {}
    Command& operator=(Command&& other) noexcept {
        if (this != &other) {
            qar_command_destroy(handle_);
            handle_ = std::exchange(other.handle_, nullptr);
            status_ = std::move(other.status_);
        }
        return *this;
    }
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;
    ~Command() { qar_command_destroy(handle_); }

    // Whether this object holds a command.
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    // The C handle, for calls this header does not wrap; it stays owned by this object.
    QarCommand* Handle() const noexcept { return handle_; }
    const Status& status() const noexcept { return status_; }

    void Disconnect() noexcept { Done(qar_command_disconnect(handle_)); }
    bool IsConnected() noexcept {
        int connected = 0;
        return Done(qar_command_is_connected(handle_, &connected)) == QAR_OK && connected != 0;
    }
    int CreateMenu(const std::wstring& arg) noexcept {
        return Done(qar_command_create_menu(handle_, arg.c_str()));
    }
    int RefreshTable(const std::wstring& arg1, const std::wstring& arg2) noexcept {
        return Done(qar_command_refresh_table(handle_, arg1.c_str(), arg2.c_str()));
    }
    int UpdateTable(const std::wstring& arg1, const std::wstring& arg2) noexcept {
        return Done(qar_command_update_table(handle_, arg1.c_str(), arg2.c_str()));
    }
    int OpenFile(const std::wstring& path) noexcept {
        return Done(qar_command_open_file(handle_, path.c_str()));
    }
    int CloseFile() noexcept { return Done(qar_command_close_file(handle_)); }
    // The saved document's full path.
    int SaveFile(std::wstring& savedPath) noexcept { return Text(savedPath, &qar_command_save_file); }
    // The files the active document depends on, joined by "|".
    int GetDependencies(std::wstring& dependencies) noexcept {
        return Text(dependencies, &qar_command_get_dependencies);
    }

private:
    friend class Connector;
    explicit Command(QarCommand* handle) noexcept : handle_(handle) {}

    int Done(int result) noexcept {
        detail::Refresh(status_, result, handle_, &qar_command_last_error);
        return result;
    }
    // A text result: a long one is fetched from the command (qar_command_last_text), not asked for
    // again, since the application's state may have moved on.
    int Text(std::wstring& text,
             int (*operation)(QarCommand*, wchar_t*, std::size_t, std::size_t*)) noexcept {
        text.clear();
        return Done(detail::ReadText(
            text,
            [&](wchar_t* buffer, std::size_t size, std::size_t* needed) {
                return operation(handle_, buffer, size, needed);
            },
            [&](wchar_t* buffer, std::size_t size, std::size_t* needed) {
                return qar_command_last_text(handle_, buffer, size, needed);
            }));
    }

    QarCommand* handle_ = nullptr;
    Status status_;
};

// A connector: the CAD application's type and version, a running instance's window-handle text ("" to
// start or reach the registered application) and the add-in's argument. NewCommand attaches, loads
// and configures the add-in and makes a command.
class Connector {
public:
    Connector(int cadType, const std::wstring& cadVersion, const std::wstring& appHandleText,
              const std::wstring& addInArgument) noexcept {
        const int result = qar_connector_create(cadType, cadVersion.c_str(), appHandleText.c_str(),
                                                addInArgument.c_str(), &handle_);
        detail::Refresh(status_, result, handle_, &qar_connector_last_error);
    }
    Connector(Connector&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), status_(std::move(other.status_)) {}
    Connector& operator=(Connector&& other) noexcept {
        if (this != &other) {
            qar_connector_destroy(handle_);
            handle_ = std::exchange(other.handle_, nullptr);
            status_ = std::move(other.status_);
        }
        return *this;
    }
    Connector(const Connector&) = delete;
    Connector& operator=(const Connector&) = delete;
    ~Connector() { qar_connector_destroy(handle_); }

    explicit operator bool() const noexcept { return handle_ != nullptr; }
    QarConnector* Handle() const noexcept { return handle_; }
    const Status& status() const noexcept { return status_; }

    // `host` is the host's IDispatch* automation object, or null. On success `command` holds the new
    // command (the one it held before is destroyed); on failure it is left as it was.
    int NewCommand(void* host, Command& command) noexcept {
        QarCommand* made = nullptr;
        const int result = qar_connector_new_command(handle_, host, &made);
        detail::Refresh(status_, result, handle_, &qar_connector_last_error);
        if (result == QAR_OK) command = Command(made);
        return result;
    }

private:
    QarConnector* handle_ = nullptr;
    Status status_;
};

}  // namespace QarSldw

#endif  // QAR_HOURGLASS_HPP

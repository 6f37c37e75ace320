/* A host built with Microsoft's binary interface and nothing of mingw: compiled by
 * `clang --target=x86_64-pc-windows-msvc` with the compiler's own headers only, linked by lld-link
 * against QarSldwInterface_x64.lib and an import library of the few kernel32 functions below, with no
 * C runtime at all (its own entry point). It runs one session against the simulated application,
 * one step a row of the table; the exit code is the number of failed steps.
 *
 * It lies in the tests' installation folder: the DLL, the add-in module, the language folders and
 * the sample documents beside it. */
#include <qar_c_api.h>

/* The kernel32 functions this host uses, declared as the Windows SDK declares them. */
typedef void* HANDLE;
__declspec(dllimport) HANDLE GetStdHandle(unsigned long which);
__declspec(dllimport) int WriteFile(HANDLE file, const void* bytes, unsigned long size,
                                    unsigned long* written, void* overlapped);
__declspec(dllimport) unsigned long GetModuleFileNameW(void* module, wchar_t* path, unsigned long size);
__declspec(dllimport) int WideCharToMultiByte(unsigned codePage, unsigned long flags, const wchar_t* text,
                                              int length, char* bytes, int size, const char* fallback,
                                              int* usedFallback);
__declspec(dllimport) __declspec(noreturn) void ExitProcess(unsigned code);
#define STD_OUTPUT_HANDLE ((unsigned long)-11)
#define CP_UTF8 65001u

/* Static, so that no large stack frame asks for the C runtime's stack probe. */
static wchar_t samples[1024], clamp[1100], missing[1100], dependencies[2300], text[4096], message[1024];
static QarConnector* connector;
static QarCommand* command;
static size_t needed;
static int code;

static size_t Length(const wchar_t* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}
static int Same(const wchar_t* a, const wchar_t* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}
static void Append(wchar_t* to, const wchar_t* what) {
    to += Length(to);
    while ((*to++ = *what++) != 0) {
    }
}
static void Print(const char* s) {
    unsigned long length = 0, written;
    while (s[length]) ++length;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s, length, &written, 0);
}
static void PrintWide(const wchar_t* s) {
    static char bytes[4096];
    if (WideCharToMultiByte(CP_UTF8, 0, s, -1, bytes, sizeof bytes, 0, 0) > 0) Print(bytes);
}

/* The steps, in order; each answers 1 when the library answered as it must. */
static int Create(void) {
    return qar_connector_create(3, L"SolidWorks 2016", L"", L"--msvc-host", &connector) == QAR_OK;
}
static int Connect(void) {
    return qar_connector_new_command(connector, 0, &command) == QAR_OK && command != 0;
}
static int Open(void) {
    return qar_command_open_file(command, clamp) == QAR_OK;
}
/* A buffer too small gets an empty string and the size the list needs; the list stays with the
 * command and comes whole into a buffer of that size. */
static int DependenciesTooSmall(void) {
    text[0] = L'#';
    return qar_command_get_dependencies(command, text, 8, &needed) == QAR_E_BUFFER_TOO_SMALL &&
           needed == Length(dependencies) + 1 && text[0] == 0;
}
static int DependenciesFetched(void) {
    return qar_command_last_text(command, text, needed, 0) == QAR_OK && Same(text, dependencies);
}
static int Menu(void) {
    return qar_command_create_menu(command, L"PLM") == QAR_OK;
}
static int Save(void) {
    return qar_command_save_file(command, text, 4096, 0) == QAR_OK && Same(text, clamp);
}
static int Close(void) {
    return qar_command_close_file(command) == QAR_OK;
}
/* The text is the system's for ERROR_FILE_NOT_FOUND: "File not found." under Wine, "The system cannot
 * find the file specified." on Windows. */
static int FailureRecorded(void) {
    return qar_command_open_file(command, missing) == -1 &&
           qar_command_last_error(command, &code, message, 1024, &needed) == QAR_OK && code == -1 &&
           message[0] != 0 && needed == Length(message) + 1;
}
static int Destroy(void) {
    const int result = qar_command_destroy(command);
    command = 0;
    return result == QAR_OK && qar_connector_destroy(connector) == QAR_OK;
}

struct Step {
    const char* name;
    int (*run)(void);
};
static const struct Step kSteps[] = {
    {"create the connector", Create},
    {"connect (start the application, load the add-in)", Connect},
    {"open samples\\clamp.sldasm", Open},
    {"dependencies into 8 characters: too small, with the size needed", DependenciesTooSmall},
    {"dependencies fetched with that size", DependenciesFetched},
    {"create a menu", Menu},
    {"save", Save},
    {"close", Close},
    {"open a missing file: -1, and the status record's text", FailureRecorded},
    {"destroy the command and the connector", Destroy},
};

void HostMain(void) {
    unsigned failed = 0, i;
    wchar_t* end;
    GetModuleFileNameW(0, samples, 1000);
    for (end = samples + Length(samples); end > samples && end[-1] != L'\\';) --end;
    *end = 0;
    Append(samples, L"samples\\");
    Append(clamp, samples);
    Append(clamp, L"clamp.sldasm");
    Append(missing, samples);
    Append(missing, L"missing.sldasm");
    Append(dependencies, samples);
    Append(dependencies, L"plate.sldprt|");
    Append(dependencies, samples);
    Append(dependencies, L"bolt.sldprt");
    for (i = 0; i < sizeof kSteps / sizeof kSteps[0]; ++i) {
        const int ok = kSteps[i].run();
        Print(ok ? "ok      " : "FAILED  ");
        Print(kSteps[i].name);
        Print("\n");
        if (!ok) ++failed;
    }
    Print("status record of the failure: ");
    PrintWide(message);
    Print("\n");
    if (command) qar_command_destroy(command);
    ExitProcess(failed);
}

#include "service/lifecycle.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "service/options.h"
#include "service/os.h"

namespace taskd::lifecycle {
namespace {

// First argument of the command line the service control manager runs:
// only then is the dispatcher started (elsewhere than on Windows itself it
// may wait long before it tells that no manager started the process).
constexpr const char *kRunAsService = "--run-as-service";

int g_argc = 0;
char **g_argv = nullptr;
Body g_body = nullptr;
int g_exit_code = 0;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
SERVICE_STATUS g_status{};
CRITICAL_SECTION g_status_lock;
std::atomic<bool> g_reload{false};

void Report(DWORD state, DWORD wait_hint = 0) {
    if (g_status_handle == nullptr) return;
    EnterCriticalSection(&g_status_lock);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    // Stop is taken only once the service runs: before that no shutdown
    // request could be heard.
    g_status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE : 0;
    g_status.dwWaitHint = wait_hint;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
        g_status.dwCheckPoint = 0;
    } else {
        ++g_status.dwCheckPoint;
    }
    if (state == SERVICE_STOPPED && g_exit_code != 0) {
        g_status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        g_status.dwServiceSpecificExitCode = static_cast<DWORD>(g_exit_code);
    }
    SetServiceStatus(g_status_handle, &g_status);
    LeaveCriticalSection(&g_status_lock);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void *, void *) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING, 60000);
        os::RequestShutdown();
        return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE: g_reload.store(true); return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, char **) {
    // The options come from the registered command line, not from the
    // start request's arguments.
    g_status_handle = RegisterServiceCtrlHandlerExA("", OnControl, nullptr);
    if (g_status_handle == nullptr) {
        g_exit_code = 1;
        return;
    }
    Report(SERVICE_START_PENDING, 30000);
    g_exit_code = g_body(g_argc, g_argv);
    Report(SERVICE_STOPPED);
}

std::string ServiceName(const std::string &suffix) {
    std::string name = "tidewell-taskd";
    name.append(suffix);
    return name;
}

// One argument as the C runtime splits command lines again: quoted when it
// holds blanks or quotes, backslashes doubled before a quote.
std::string Quote(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

std::string LastError(const char *what) {
    std::string text = what;
    text.append(" failed with error ").append(std::to_string(GetLastError()));
    return text;
}

// Registers the service with the options that follow the switch, after
// checking them as a start would.
int Install(int argc, char **argv) {
    Options options;
    if (const int rc = ParseOptions(argc, argv, &options); rc >= 0) return rc;
    char exe[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
    if (n == 0 || n >= sizeof exe) {
        std::fprintf(stderr, "tidewell-taskd: %s\n", LastError("GetModuleFileName").c_str());
        return 1;
    }
    std::string command = Quote(exe);
    command.append(" ").append(kRunAsService);
    for (int i = 1; i < argc; ++i) command.append(" ").append(Quote(argv[i]));
    const std::string name = ServiceName(options.service.suffix);
    std::string display = "Tidewell task service";
    if (!options.service.suffix.empty()) display.append(" ").append(options.service.suffix);
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (scm == nullptr) {
        std::fprintf(stderr, "tidewell-taskd: %s\n", LastError("OpenSCManager").c_str());
        return 1;
    }
    SC_HANDLE svc = CreateServiceA(scm, name.c_str(), display.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                   SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                   nullptr, nullptr, nullptr);
    if (svc == nullptr) {
        const bool exists = GetLastError() == ERROR_SERVICE_EXISTS;
        std::fprintf(stderr, "tidewell-taskd: %s\n",
                     exists ? ("the service " + name + " is already installed").c_str()
                            : LastError("CreateService").c_str());
        CloseServiceHandle(scm);
        return 1;
    }
    char text[] = "Serves the Tidewell task service's pipe, runs the database program and the registered tasks.";
    SERVICE_DESCRIPTIONA description{text};
    ChangeServiceConfig2A(svc, SERVICE_CONFIG_DESCRIPTION, &description);
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    std::printf("installed the service %s: %s\n", name.c_str(), command.c_str());
    return 0;
}

int Remove(int argc, char **argv) {
    std::string suffix;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--suffix") == 0 && i + 1 < argc) {
            suffix = argv[++i];
        } else if (std::strncmp(argv[i], "--suffix=", 9) == 0) {
            suffix = argv[i] + 9;
        } else {
            std::fprintf(stderr, "tidewell-taskd: --remove-service takes only --suffix, not %s\n", argv[i]);
            return 2;
        }
    }
    const std::string name = ServiceName(suffix);
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (scm == nullptr) {
        std::fprintf(stderr, "tidewell-taskd: %s\n", LastError("OpenSCManager").c_str());
        return 1;
    }
    SC_HANDLE svc = OpenServiceA(scm, name.c_str(), DELETE);
    const bool removed = svc != nullptr && DeleteService(svc);
    const std::string why = removed ? "" : LastError(svc == nullptr ? "OpenService" : "DeleteService");
    if (svc != nullptr) CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    if (!removed) {
        std::fprintf(stderr, "tidewell-taskd: cannot remove the service %s: %s\n", name.c_str(), why.c_str());
        return 1;
    }
    // A running service is deleted once it stops.
    std::printf("removed the service %s\n", name.c_str());
    return 0;
}

} // namespace

int Run(int argc, char **argv, Body body) {
    if (argc >= 2 && std::strcmp(argv[1], "--install-service") == 0) {
        std::vector<char *> rest(argv + 1, argv + argc);
        rest[0] = argv[0];
        return Install(static_cast<int>(rest.size()), rest.data());
    }
    if (argc >= 2 && std::strcmp(argv[1], "--remove-service") == 0) {
        std::vector<char *> rest(argv + 1, argv + argc);
        rest[0] = argv[0];
        return Remove(static_cast<int>(rest.size()), rest.data());
    }
    if (argc < 2 || std::strcmp(argv[1], kRunAsService) != 0) return body(argc, argv);
    // Started by the service control manager: the dispatcher runs
    // ServiceMain with the options that follow the switch.
    std::vector<char *> rest(argv + 1, argv + argc);
    rest[0] = argv[0];
    rest.push_back(nullptr);
    g_argc = argc - 1;
    g_argv = rest.data();
    g_body = body;
    InitializeCriticalSection(&g_status_lock);
    char no_name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{no_name, ServiceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherA(table)) return g_exit_code;
    std::fprintf(stderr, "tidewell-taskd: %s is for the service control manager (%s); running in the console\n",
                 kRunAsService, LastError("StartServiceCtrlDispatcher").c_str());
    return body(g_argc, g_argv);
}

void Ready(const std::string &) { Report(SERVICE_RUNNING); }
void Stopping() { Report(SERVICE_STOP_PENDING, 60000); }
bool TakeReloadRequest() { return g_reload.exchange(false); }
void Reloading() {}
void Reloaded(const std::string &) {}
const char *JournalPrefix(int) { return ""; }
void DetectJournal() {}

} // namespace taskd::lifecycle

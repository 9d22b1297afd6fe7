// bare_service: the baseline the bench holds tolvard against, a service written for its one
// child and nothing else. It calls the same dispatcher, registers a handler, reports running,
// starts bench_child.exe with CreateProcessA, waits for it and reports stopped; a stop ends the
// child, waits until it is gone and reports stopped, as tolvard does. No log, no command-line
// work: the child's command is fixed and found in this program's own directory, which
// CreateProcessA searches first.
#include <windows.h>

#include <string.h>

static SERVICE_STATUS status;
static SERVICE_STATUS_HANDLE status_handle;
static HANDLE child;
static bool stop_requested;
static CRITICAL_SECTION lock;
static char child_command[] = "bench_child.exe ";
// An own-process service's name in the dispatch table is not looked at.
static char service_name[] = "";

static void WINAPI handler(DWORD control) {
    EnterCriticalSection(&lock);
    if (control == SERVICE_CONTROL_STOP) {
        stop_requested = true;
        if (child != nullptr) {
            TerminateProcess(child, 0);
            WaitForSingleObject(child, INFINITE);
        }
        status.dwCurrentState = SERVICE_STOPPED;
    }
    SetServiceStatus(status_handle, &status);
    LeaveCriticalSection(&lock);
}

static void WINAPI service_main(DWORD, LPSTR *argv) {
    status_handle = RegisterServiceCtrlHandlerA(argv[0], handler);
    if (status_handle == nullptr)
        ExitProcess(1);
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    PROCESS_INFORMATION started;
    memset(&started, 0, sizeof started);

    EnterCriticalSection(&lock);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    status.dwCurrentState = SERVICE_RUNNING;
    SetServiceStatus(status_handle, &status);
    if (!stop_requested && CreateProcessA(nullptr, child_command, nullptr, nullptr, FALSE, 0,
                                          nullptr, nullptr, &startup, &started)) {
        child = started.hProcess;
        CloseHandle(started.hThread);
    }
    HANDLE running = child;
    LeaveCriticalSection(&lock);

    if (running != nullptr)
        WaitForSingleObject(running, INFINITE);

    EnterCriticalSection(&lock);
    if (child != nullptr)
        CloseHandle(child);
    child = nullptr;
    status.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(status_handle, &status);
    LeaveCriticalSection(&lock);
}

int main() {
    InitializeCriticalSection(&lock);
    SERVICE_TABLE_ENTRYA table[2] = {{service_name, service_main}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherA(table);
    return 0;
}

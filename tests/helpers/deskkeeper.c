/* deskkeeper: a service that holds the services' desktop for the end-to-end tests under Wine.
 *
 * Wine gives each desktop a desktop window owned by a process of its own, explorer.exe
 * /desktop, which Wine starts from the first process on that desktop that asks for a window,
 * and which ends a while after the desktop's last such process has gone. Every service that
 * is not interactive runs on one desktop. A service's child that is the first there to load
 * USER32 (cmd.exe does) thus starts explorer.exe from inside the child's job, and a stop then
 * waits for a tree that never ends. This service asks for the desktop window once it runs and
 * keeps USER32 until it is stopped, so that explorer.exe is its own, outside any child's job,
 * for as long as the tests run.
 *
 *   deskkeeper [FILE]   as a service; once running, writes "station\desktop" of its own to
 *                       FILE (if given), so that a test can see where it sits
 *
 * Registered and started by tests/e2e/setup.sh (start type auto, so that Wine starts it again
 * with each new session of the prefix), stopped and removed by tests/e2e/cleanup.sh.
 */
#include <windows.h>
#include <stdio.h>

static SERVICE_STATUS status;
static SERVICE_STATUS_HANDLE status_handle;
static HANDLE stop_event;
static char service_name[] = "";

static void report(DWORD state) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 10000;
    SetServiceStatus(status_handle, &status);
}

static void WINAPI handler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOP_PENDING);
        SetEvent(stop_event);
        return;
    }
    SetServiceStatus(status_handle, &status);
}

static void write_place(const char *path) {
    char station[256] = "?", desktop[256] = "?";
    DWORD needed;
    GetUserObjectInformationA(GetProcessWindowStation(), UOI_NAME, station, sizeof station,
                              &needed);
    GetUserObjectInformationA(GetThreadDesktop(GetCurrentThreadId()), UOI_NAME, desktop,
                              sizeof desktop, &needed);
    FILE *f = fopen(path, "wb");
    if (f != NULL) {
        fprintf(f, "%s\\%s\n", station, desktop);
        fclose(f);
    }
}

static void WINAPI service_main(DWORD argc, LPSTR *argv) {
    status_handle = RegisterServiceCtrlHandlerA(argv[0], handler);
    if (status_handle == NULL) {
        return;
    }
    report(SERVICE_START_PENDING);
    /* Under Wine this waits until the desktop's explorer.exe is up. */
    if (GetDesktopWindow() == NULL) {
        status.dwWin32ExitCode = GetLastError();
        report(SERVICE_STOPPED);
        return;
    }
    /* The image path's words come in main's argv; start arguments in argv here. */
    if (__argc > 1) {
        write_place(__argv[1]);
    }
    (void)argc;
    report(SERVICE_RUNNING);
    WaitForSingleObject(stop_event, INFINITE);
    report(SERVICE_STOPPED);
}

int main(void) {
    stop_event = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (stop_event == NULL) {
        return 1;
    }
    SERVICE_TABLE_ENTRYA table[2] = {{service_name, service_main}, {NULL, NULL}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}

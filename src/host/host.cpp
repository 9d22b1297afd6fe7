#include "host/host.h"

#include "cli/args.h"
#include "log/log.h"
#include "platform/util.h"

#include <string.h>

SERVICE_STATUS svc_status;
SERVICE_STATUS_HANDLE svc_status_handle;
HANDLE child_process;
HANDLE child_job;
char *cmdline;

// The dispatcher's thread runs CtrlHandler while the service thread runs MyServiceStart; this
// lock makes each change of the shared state, with its report, one step.
static CRITICAL_SECTION svc_lock;
[[maybe_unused]] static const bool svc_lock_ready = (InitializeCriticalSection(&svc_lock), true);
// Set by a stop request; from then on no child may be started.
static bool stop_requested;
// Anyone allowed to send user-defined controls could fill the disk with their log lines, so at
// most one unknown control code is logged a second, and the next line tells how many were not.
// Under svc_lock.
static bool unknown_logged;
static DWORD unknown_logged_at;
static int unknown_unlogged;

static const SERVICE_TABLE_ENTRYA service_table_template[2] = {{nullptr, MyServiceStart},
                                                               {nullptr, nullptr}};

// Logs how many unknown control codes went unlogged, if any; caller holds svc_lock.
static void log_unlogged() {
    if (unknown_unlogged > 0)
        log_msg("Unrecognized opcodes not logged %d\n", unknown_unlogged);
    unknown_unlogged = 0;
}

static void set_stopped(DWORD exit_code, DWORD service_exit_code) {
    svc_status.dwWin32ExitCode = exit_code;
    svc_status.dwServiceSpecificExitCode = service_exit_code;
    svc_status.dwCurrentState = SERVICE_STOPPED;
    svc_status.dwCheckPoint = 0;
    svc_status.dwWaitHint = 0;
}

void run_as_service(int argc, char **argv) {
    log_open();
    log_msg("main() start:%d\n", argc);
    EnterCriticalSection(&svc_lock);
    svc_status_handle = nullptr;
    child_process = nullptr;
    stop_requested = false;
    unknown_logged = false;
    unknown_unlogged = 0;
    cmdline = join_child_command(argc - 2, &argv[1]);
    LeaveCriticalSection(&svc_lock);

    SERVICE_TABLE_ENTRYA service_table[2];
    memcpy(service_table, service_table_template, sizeof service_table);
    service_table[0].lpServiceName = argv[argc - 1];
    if (!StartServiceCtrlDispatcherA(service_table))
        log_msg("StartServiceCtrlDispatcher error=%d\n", GetLastError());

    EnterCriticalSection(&svc_lock);
    heap_free(cmdline);
    cmdline = nullptr;
    log_unlogged();
    LeaveCriticalSection(&svc_lock);
    log_msg("main() end\n", 0);
}

void WINAPI MyServiceStart(DWORD argc, LPSTR *argv) {
    log_msg("MyServiceStart start:%d\n", argc);
    EnterCriticalSection(&svc_lock);
    svc_status.dwServiceType = SERVICE_WIN32;
    svc_status.dwCurrentState = SERVICE_START_PENDING;
    svc_status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
    svc_status.dwWin32ExitCode = 0;
    svc_status.dwServiceSpecificExitCode = 0;
    svc_status.dwCheckPoint = 0;
    svc_status.dwWaitHint = 0;
    LeaveCriticalSection(&svc_lock);

    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA(argv[0], CtrlHandler);
    if (handle == nullptr) {
        DWORD error = GetLastError();
        log_msg("RegisterServiceCtrlHandler failed %d\n", error);
        // Without a handle nothing can ever be reported, so the dispatcher would wait for ever:
        // end the process, which the service control manager does see.
        ExitProcess(error != 0 ? error : 1);
    }

    EnterCriticalSection(&svc_lock);
    svc_status_handle = handle;
    if (!stop_requested) {
        svc_status.dwCurrentState = SERVICE_RUNNING;
        svc_status.dwCheckPoint = 0;
        svc_status.dwWaitHint = 0;
        if (!SetServiceStatus(svc_status_handle, &svc_status))
            log_msg("SetServiceStatus error %ld\n", GetLastError());
    }
    LeaveCriticalSection(&svc_lock);

    log_msg("exec_proc() start\n", 0);
    DWORD service_exit_code = 0;
    DWORD exit_code = exec_proc(&service_exit_code);
    log_msg("exec_proc() end\n", 0);

    EnterCriticalSection(&svc_lock);
    // A stop the administrator asked for is no failure, whatever the killed child returned.
    if (stop_requested)
        exit_code = service_exit_code = 0;
    set_stopped(exit_code, service_exit_code);
    if (!SetServiceStatus(svc_status_handle, &svc_status))
        log_msg("CtrlHandlerSetServiceStatus error %ld\n", GetLastError());
    LeaveCriticalSection(&svc_lock);
}

// A job whose processes all end when its last handle closes, so that the tree goes with the
// host even if the host itself dies, and which a process may still leave on purpose with
// CREATE_BREAKAWAY_FROM_JOB. Null, with the error logged, if it cannot be made.
static HANDLE make_job() {
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
        memset(&limits, 0, sizeof limits);
        limits.BasicLimitInformation.LimitFlags =
            JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
        if (SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
            return job;
        DWORD error = GetLastError();
        CloseHandle(job);
        SetLastError(error);
    }
    log_msg("fail to CreateJobObject error=%d, stop ends the child only\n", GetLastError());
    return nullptr;
}

// Waits, for a bounded time, until the job has no process left: like TerminateProcess,
// TerminateJobObject only begins the end of the processes. The child has been waited for
// already, so the first look usually finds the job empty and the stop waits no longer.
static void wait_job_empty(HANDLE job) {
    for (int tries = 0; tries < 500; ++tries) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
        if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                       sizeof accounting, nullptr) ||
            accounting.ActiveProcesses == 0)
            return;
        Sleep(10);
    }
    log_msg("job processes still running after stop\n", 0);
}

DWORD exec_proc(DWORD *service_exit_code) {
    *service_exit_code = 0;
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);

    // Launch and stop exclude each other: a stop that came first means no child at all, and a
    // child that came first is there for the stop to end. So the lock is held across the
    // launch, and a control that comes meanwhile waits for CreateProcessA.
    EnterCriticalSection(&svc_lock);
    if (stop_requested) {
        LeaveCriticalSection(&svc_lock);
        return 0;
    }
    char *line =
        cmdline != nullptr ? static_cast<char *>(heap_alloc(strlen(cmdline) + 2)) : nullptr;
    if (line == nullptr) {
        log_msg("fail to allocate memory\n", 0);
        LeaveCriticalSection(&svc_lock);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    log_msg("cmdline=\n", 0);
    size_t length = strlen(cmdline);
    memcpy(line, cmdline, length);
    memcpy(line + length, "\n", 2);
    log_text(line);
    heap_free(line);
    // The child starts suspended and runs only once it is in the job, so that nothing it
    // starts can be outside the job.
    PROCESS_INFORMATION child;
    memset(&child, 0, sizeof child);
    BOOL created = CreateProcessA(nullptr, cmdline, nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                                  nullptr, nullptr, &startup, &child);
    DWORD error = created ? 0 : GetLastError();
    if (!created) {
        log_msg("fail to CreateProcess\n", 0);
        LeaveCriticalSection(&svc_lock);
        return error;
    }
    log_msg("success CreateProcess\n", 0);
    child_process = child.hProcess;
    child_job = make_job();
    // Before Windows 8 a process can be in one job only, so a host that itself runs inside a
    // job cannot put its child into another; then a stop ends the child alone, as it always
    // did.
    if (child_job != nullptr && !AssignProcessToJobObject(child_job, child.hProcess)) {
        log_msg("fail to AssignProcessToJobObject error=%d, stop ends the child only\n",
                GetLastError());
        CloseHandle(child_job);
        child_job = nullptr;
    }
    if (ResumeThread(child.hThread) == static_cast<DWORD>(-1)) {
        error = GetLastError();
        log_msg("fail to ResumeThread error=%d\n", error);
        TerminateProcess(child.hProcess, 1);
    }
    LeaveCriticalSection(&svc_lock);
    CloseHandle(child.hThread);

    DWORD result = error;
    if (WaitForSingleObject(child.hProcess, INFINITE) != WAIT_OBJECT_0) {
        // Never report stopped over a child that may still run.
        result = GetLastError();
        TerminateProcess(child.hProcess, 1);
    } else if (result == 0) {
        DWORD code = 0;
        if (!GetExitCodeProcess(child.hProcess, &code)) {
            result = GetLastError();
        } else if (code != 0) {
            *service_exit_code = code;
            result = ERROR_SERVICE_SPECIFIC_ERROR;
        }
    }

    // What the child left running goes with it: a stopped service leaves no process behind.
    EnterCriticalSection(&svc_lock);
    if (child_job != nullptr) {
        TerminateJobObject(child_job, 0);
        wait_job_empty(child_job);
        CloseHandle(child_job);
        child_job = nullptr;
    }
    child_process = nullptr;
    CloseHandle(child.hProcess);
    LeaveCriticalSection(&svc_lock);
    return result;
}

void WINAPI CtrlHandler(DWORD control) {
    EnterCriticalSection(&svc_lock);
    switch (control) {
    case SERVICE_CONTROL_STOP:
        stop_requested = true;
        if (child_process != nullptr) {
            // Terminating only begins the end. The stopped report lets the service control
            // manager start us again at once, so it must not come while the old child or what
            // it started still holds files and ports: wait until they are gone.
            if (child_job != nullptr)
                TerminateJobObject(child_job, 0);
            else
                TerminateProcess(child_process, 0);
            WaitForSingleObject(child_process, INFINITE);
            if (child_job != nullptr)
                wait_job_empty(child_job);
        }
        set_stopped(0, 0);
        if (!SetServiceStatus(svc_status_handle, &svc_status))
            log_msg("CtrlHandlerSetServiceStatus error %ld\n", GetLastError());
        LeaveCriticalSection(&svc_lock);
        log_msg("Leaving MyService\n", 0);
        return;
    case SERVICE_CONTROL_PAUSE:
        svc_status.dwCurrentState = SERVICE_PAUSED;
        break;
    case SERVICE_CONTROL_CONTINUE:
        svc_status.dwCurrentState = SERVICE_RUNNING;
        break;
    case SERVICE_CONTROL_INTERROGATE:
        break;
    default:
        if (unknown_logged && GetTickCount() - unknown_logged_at < 1000) {
            ++unknown_unlogged;
            break;
        }
        log_unlogged();
        log_msg("Unrecognized opcode %ld\n", control);
        unknown_logged = true;
        unknown_logged_at = GetTickCount();
        break;
    }
    if (!SetServiceStatus(svc_status_handle, &svc_status))
        log_msg("SetServiceStatus error %ld\n", GetLastError());
    LeaveCriticalSection(&svc_lock);
}

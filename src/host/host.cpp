#include "host/host.h"

#include "cmdline/cmdline.h"
#include "host/events.h"
#include "host/output.h"
#include "log/log.h"
#include "platform/util.h"

#include <stddef.h>
#include <string.h>

SERVICE_STATUS svc_status;
SERVICE_STATUS_HANDLE svc_status_handle;
HANDLE child_process;
HANDLE child_job;
char *cmdline;

// The dispatcher's thread runs CtrlHandler while the service thread runs MyServiceStart; this
// lock makes each change of the shared state, with its report, one step. A third thread, the
// reader of the child's output (host/output.cpp), writes only the log and never takes it. Nobody
// waits while holding it: each step under it is short and bounded, and a line of a step under it
// is handed over to the log (log_hand_over), never written there and then.
static CRITICAL_SECTION svc_lock;
[[maybe_unused]] static const bool svc_lock_ready = (InitializeCriticalSection(&svc_lock), true);
// Set by a stop request; from then on no child may be started.
static bool stop_requested;
// Set by the handler on a stop, to wake the service thread; made before the dispatcher starts
// and closed after it returns. Null if it could not be made.
static HANDLE stop_event;

// How long the service control manager is to wait for the next report of a stop in progress:
// the service thread reports about once a second, so a report missing for three means trouble.
static const DWORD stop_wait_hint = 3000;
static const DWORD report_interval = 1000;
// The grace time when WaitToKillServiceTimeout is missing or unreadable, and the range it is
// kept in. Windows grants a service at shutdown no more than this value in all, and never more
// than three minutes even to those that ask for pre-shutdown time; a stop that takes longer
// looks hung to an administrator. Under half a second a program can hardly save anything, and
// the request would be for show.
static const DWORD default_grace_ms = 5000;
static const DWORD min_grace_ms = 500;
static const DWORD max_grace_ms = 180000;
// How long a killed tree may take to go: termination only begins the end of a process.
static const DWORD kill_wait_ms = 5000;
// How long a stop gives Ctrl+C before it looks for windows to close. A console program that
// obeys Ctrl+C is gone well within it (under Wine, from the request to the end of the tree:
// esbuild 7 to 8 ms, Node.js with http-server 17 ms, on a loaded machine), and then the stop
// never loads USER32. A program that takes longer gets WM_CLOSE and the end of its input this
// much later (one without a console gets them at once): against a grace time of seconds that
// is little, and a shorter while would, under load, search for windows for programs that were
// on their way out.
static const DWORD ctrl_c_while_ms = 100;
// How often, and how far apart, Ctrl+C is tried again when the child has no console yet.
static const DWORD ctrl_c_tries = 20;
static const DWORD ctrl_c_retry_ms = 50;
// Anyone allowed to send user-defined controls could fill the disk with their log lines, so at
// most one unknown control code is logged a second, and the next line tells how many were not.
// Under svc_lock.
static bool unknown_logged;
static DWORD unknown_logged_at;
static int unknown_unlogged;

static const SERVICE_TABLE_ENTRYA service_table_template[2] = {{nullptr, MyServiceStart},
                                                               {nullptr, nullptr}};

// Reports the record; lock held, so a line is handed over to the log, never waited for.
static void report(const char *error_format) {
    if (!SetServiceStatus(svc_status_handle, &svc_status))
        log_hand_over(error_format, GetLastError());
}

// Logs how many unknown control codes went unlogged, if any; caller holds svc_lock.
static void log_unlogged() {
    if (unknown_unlogged > 0)
        log_hand_over("Unrecognized opcodes not logged %d\n", unknown_unlogged);
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
    events_open();
    log_open();
    log_msg("main() start:%d\n", argc);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EnterCriticalSection(&svc_lock);
    svc_status_handle = nullptr;
    child_process = nullptr;
    stop_requested = false;
    stop_event = event;
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
    stop_event = nullptr;
    log_unlogged();
    LeaveCriticalSection(&svc_lock);
    if (event != nullptr)
        CloseHandle(event);
    log_msg("main() end\n", 0);
    // After the run's last line: the wait for the last events may outlast the start of the
    // service's next run, whose log this process still holds.
    events_finish();
}

void WINAPI MyServiceStart(DWORD argc, LPSTR *argv) {
    // The service's own log, under the name the service control manager gives it: first, so
    // that it holds every line of the run.
    log_open_service(argc > 0 && argv[0] != nullptr ? argv[0] : "");
    log_msg("MyServiceStart start:%d\n", argc);
    events_start(argv[0]);
    EnterCriticalSection(&svc_lock);
    svc_status.dwServiceType = SERVICE_WIN32;
    svc_status.dwCurrentState = SERVICE_START_PENDING;
    svc_status.dwControlsAccepted =
        SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
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
        report("SetServiceStatus error %ld\n");
    }
    LeaveCriticalSection(&svc_lock);

    log_msg("exec_proc() start\n", 0);
    DWORD service_exit_code = 0;
    DWORD exit_code = exec_proc(&service_exit_code);
    log_msg("exec_proc() end\n", 0);

    // The one stopped report, after every line of this thread and every line handed over: the
    // process may end as soon as it is made. The exit codes are exec_proc's: 0 for a child that
    // a stop ended, whatever its code; a child that had ended on its own keeps its code even if
    // a stop came since, which clearing them here would hide from the recovery actions. Lines
    // handed over meanwhile are written first, outside the lock (a few tries: the handler logs
    // at most one unknown control a second).
    EnterCriticalSection(&svc_lock);
    for (int tries = 0; tries < 10 && log_handed_over(); ++tries) {
        LeaveCriticalSection(&svc_lock);
        log_flush();
        EnterCriticalSection(&svc_lock);
    }
    event_stopped(exit_code, service_exit_code);
    set_stopped(exit_code, service_exit_code);
    if (!SetServiceStatus(svc_status_handle, &svc_status)) {
        DWORD error = GetLastError();
        LeaveCriticalSection(&svc_lock);
        log_msg("CtrlHandlerSetServiceStatus error %ld\n", error);
        // Without the stopped report the dispatcher never returns: end the process, which the
        // service control manager does see.
        ExitProcess(error != 0 ? error : 1);
    }
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

// The grace time of a stop: the system's own WaitToKillServiceTimeout, a string of
// milliseconds, which is what Windows grants a service at shutdown; kept within its range.
static DWORD grace_time() {
    DWORD grace = default_grace_ms;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return grace;
    char text[16];
    DWORD type = 0;
    DWORD size = sizeof text - 1;
    // A value that does not fit is too long to be a number of milliseconds anyway.
    if (RegQueryValueExA(key, "WaitToKillServiceTimeout", nullptr, &type,
                         reinterpret_cast<BYTE *>(text), &size) == ERROR_SUCCESS &&
        type == REG_SZ) {
        // The stored string may or may not hold its terminating NUL.
        text[size] = '\0';
        DWORD value = 0;
        const char *p = text;
        for (; *p >= '0' && *p <= '9' && value <= max_grace_ms; ++p)
            value = value * 10 + static_cast<DWORD>(*p - '0');
        if (p != text && (*p == '\0' || value > max_grace_ms))
            grace = value < min_grace_ms   ? min_grace_ms
                    : value > max_grace_ms ? max_grace_ms
                                           : value;
    }
    RegCloseKey(key);
    return grace;
}

// Raises the check point of the stop in progress and reports it, so that the service control
// manager sees it advance.
static void report_progress() {
    EnterCriticalSection(&svc_lock);
    if (svc_status.dwCurrentState == SERVICE_STOP_PENDING) {
        ++svc_status.dwCheckPoint;
        svc_status.dwWaitHint = stop_wait_hint;
        report("SetServiceStatus error %ld\n");
    }
    LeaveCriticalSection(&svc_lock);
}

// Waits for at most `milliseconds` until the child has ended and its job (if any) holds no
// process: like TerminateProcess, TerminateJobObject only begins the end of the processes.
// While a stop is in progress, reports it about once a second. Returns whether all is gone.
static bool wait_tree_gone(HANDLE process, HANDLE job, DWORD milliseconds) {
    DWORD begin = GetTickCount();
    DWORD last_report = begin;
    for (;;) {
        DWORD spent = GetTickCount() - begin;
        DWORD left = spent < milliseconds ? milliseconds - spent : 0;
        DWORD slice = left < report_interval ? left : report_interval;
        DWORD waited = WaitForSingleObject(process, slice);
        if (waited == WAIT_OBJECT_0) {
            JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
            // A job that cannot be asked is taken as empty: it goes with its last handle.
            if (job == nullptr ||
                !QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                           sizeof accounting, nullptr) ||
                accounting.ActiveProcesses == 0)
                return true;
            if (left > 0)
                Sleep(left < 10 ? left : 10);
        } else if (waited != WAIT_TIMEOUT) {
            // A handle that cannot be waited on gives no sign of the end: wait out the time.
            Sleep(slice);
        }
        if (left == 0)
            return false;
        if (GetTickCount() - last_report >= report_interval) {
            last_report = GetTickCount();
            report_progress();
        }
    }
}

// Ctrl+C to every process on the child's console. GenerateConsoleCtrlEvent reaches only the
// console its caller is attached to, and every process on it, the caller included; the child
// of a service got a hidden console of its own, so the host attaches to it for the call.
// Returns whether it was sent; if not, the error is in *error.
static bool send_ctrl_c(DWORD pid, DWORD *error) {
    // A GUI child has no console, and a child that has ended has none left.
    if (!AttachConsole(pid)) {
        *error = GetLastError();
        return false;
    }
    // Attaching resets this process's table of control handlers, so the host ignores Ctrl+C
    // only from now on; the default handler would end the host with the child.
    SetConsoleCtrlHandler(nullptr, TRUE);
    BOOL sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    *error = sent ? 0 : GetLastError();
    FreeConsole();
    // Freeing resets it again, and Windows hands the event to each process on a thread of its
    // own, which may run only now: the host, which has no console of its own, goes on ignoring it.
    SetConsoleCtrlHandler(nullptr, TRUE);
    return sent != FALSE;
}

// USER32's window functions, which a stop needs only when the child's tree has not ended soon
// after Ctrl+C. USER32 is loaded only then: a process that loads it pays for setting up its
// window station and desktop (under Wine, a good part of the host's start and memory), and a
// console child that obeys Ctrl+C has no window to close.
typedef BOOL(WINAPI *EnumWindowsFunction)(WNDENUMPROC callback, LPARAM data);
typedef DWORD(WINAPI *GetWindowThreadProcessIdFunction)(HWND window, LPDWORD pid);
typedef BOOL(WINAPI *PostMessageAFunction)(HWND window, UINT message, WPARAM w, LPARAM l);

struct WindowSearch {
    const DWORD *pids;
    DWORD count;
    int closed;
    GetWindowThreadProcessIdFunction get_window_pid;
    PostMessageAFunction post_message;
};

static BOOL CALLBACK close_if_ours(HWND window, LPARAM data) {
    WindowSearch *search = reinterpret_cast<WindowSearch *>(data);
    DWORD pid = 0;
    search->get_window_pid(window, &pid);
    for (DWORD i = 0; i < search->count; ++i) {
        if (search->pids[i] == pid && search->post_message(window, WM_CLOSE, 0, 0))
            ++search->closed;
    }
    return TRUE;
}

// A function of a loaded DLL as its own type. The cast goes through void (*)(), which the
// compiler takes as "any function", since FARPROC's own signature matches none of them.
template <typename Function> static Function function_of(HMODULE module, const char *name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// WM_CLOSE to every top-level window of the job's processes, or of the child alone without a
// job: what a GUI program takes as the request to end.
static void close_windows(DWORD child_pid, HANDLE job) {
    const DWORD room = 256;
    DWORD pids[room];
    DWORD count = 0;
    if (job != nullptr) {
        // The list's last member is an array that runs on past the record.
        size_t size =
            offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList) + room * sizeof(ULONG_PTR);
        auto *list = static_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST *>(heap_alloc(size));
        // A list too long for the room is cut short, and still filled as far as it goes.
        if (list != nullptr && (QueryInformationJobObject(job, JobObjectBasicProcessIdList, list,
                                                          static_cast<DWORD>(size), nullptr) ||
                                GetLastError() == ERROR_MORE_DATA)) {
            const ULONG_PTR *ids = list->ProcessIdList;
            for (DWORD i = 0; i < list->NumberOfProcessIdsInList && i < room; ++i)
                pids[count++] = static_cast<DWORD>(ids[i]);
        }
        heap_free(list);
    }
    if (count == 0)
        pids[count++] = child_pid;
    // USER32 is one of the system's known DLLs: LoadLibrary takes it from the system folder
    // whatever lies in the host's own folder or the current one.
    HMODULE user32 = LoadLibraryA("user32.dll");
    auto enum_windows =
        user32 != nullptr ? function_of<EnumWindowsFunction>(user32, "EnumWindows") : nullptr;
    WindowSearch search = {
        pids, count, 0,
        user32 != nullptr
            ? function_of<GetWindowThreadProcessIdFunction>(user32, "GetWindowThreadProcessId")
            : nullptr,
        user32 != nullptr ? function_of<PostMessageAFunction>(user32, "PostMessageA") : nullptr};
    if (enum_windows == nullptr || search.get_window_pid == nullptr ||
        search.post_message == nullptr)
        log_msg("fail to load user32.dll for WM_CLOSE error=%d\n", GetLastError());
    else
        enum_windows(close_if_ours, reinterpret_cast<LPARAM>(&search));
    if (user32 != nullptr)
        FreeLibrary(user32);
    if (search.closed > 0)
        log_msg("WM_CLOSE sent to %d windows\n", search.closed);
}

// The stop, on the service thread: the child and its tree are asked to end, given the grace
// time, and only then ended. Every wait is bounded; the stop's progress is reported about once
// a second throughout. When it returns, the tree is gone or given up on (and logged so).
static void stop_tree(HANDLE process, DWORD pid, HANDLE job) {
    DWORD grace = grace_time();
    log_msg("asking the child to end, grace time %d ms\n", grace);
    DWORD begin = GetTickCount();
    // 1. Ctrl+C to the child's console: every console process of the tree on it.
    DWORD error = 0;
    bool sent = send_ctrl_c(pid, &error);
    // 2. WM_CLOSE to the windows of the tree, unless it ended on Ctrl+C within a short while.
    bool gone = sent && wait_tree_gone(process, job, ctrl_c_while_ms);
    if (!gone)
        close_windows(pid, job);
    // 3. The end of its input: one more way of asking, for a program that takes it so.
    capture_end_input();
    // A console program that has only just started may have no console yet (under Wine it
    // comes a moment after the process): Ctrl+C is tried again for a while, as the grace time
    // runs, until it goes out or the tree has ended.
    for (DWORD tries = 0; !sent && tries < ctrl_c_tries; ++tries) {
        gone = wait_tree_gone(process, job, ctrl_c_retry_ms);
        if (gone || GetTickCount() - begin >= grace)
            break;
        sent = send_ctrl_c(pid, &error);
    }
    if (!sent)
        log_msg("no console for Ctrl+C, error=%d\n", error);
    // 4. The grace time.
    DWORD spent = GetTickCount() - begin;
    if (gone || wait_tree_gone(process, job, spent < grace ? grace - spent : 0)) {
        DWORD ms = GetTickCount() - begin;
        log_msg("the child ended on its own after %d ms\n", ms);
        event_stopped_on_request(ms);
        return;
    }
    // 5. The end, as without a grace time.
    log_msg("killing the child after the grace time of %d ms\n", grace);
    event_child_killed(grace);
    if (job != nullptr)
        TerminateJobObject(job, 0);
    else
        TerminateProcess(process, 0);
    if (!wait_tree_gone(process, job, kill_wait_ms))
        log_msg(job != nullptr ? "job processes still running after stop\n"
                               : "child still running after stop\n",
                0);
}

// Waits until the child ends or a stop is asked for; returns WAIT_OBJECT_0 for the child's
// end, WAIT_OBJECT_0 + 1 for a stop, or WAIT_FAILED.
static DWORD wait_child_or_stop(HANDLE process) {
    EnterCriticalSection(&svc_lock);
    HANDLE event = stop_event;
    bool stop = stop_requested;
    LeaveCriticalSection(&svc_lock);
    if (stop)
        return WAIT_OBJECT_0 + 1;
    if (event != nullptr) {
        HANDLE handles[2] = {process, event};
        return WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    }
    // Without the event, the stop flag is looked at between short waits.
    for (;;) {
        DWORD waited = WaitForSingleObject(process, 100);
        if (waited != WAIT_TIMEOUT)
            return waited;
        EnterCriticalSection(&svc_lock);
        stop = stop_requested;
        LeaveCriticalSection(&svc_lock);
        if (stop)
            return WAIT_OBJECT_0 + 1;
    }
}

DWORD exec_proc(DWORD *service_exit_code) {
    *service_exit_code = 0;
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);

    // Launch and stop exclude each other: a stop that came first means no child at all, and a
    // child that came first is there for the stop to end. So the lock is held from the last
    // look at the stop across the launch, and a control that comes meanwhile waits for
    // CreateProcessA; the lines are written around it, never while it is held.
    EnterCriticalSection(&svc_lock);
    bool stop = stop_requested;
    LeaveCriticalSection(&svc_lock);
    if (stop)
        return 0;
    char *line =
        cmdline != nullptr ? static_cast<char *>(heap_alloc(strlen(cmdline) + 2)) : nullptr;
    if (line == nullptr) {
        log_msg("fail to allocate memory\n", 0);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    log_msg("cmdline=\n", 0);
    size_t length = strlen(cmdline);
    memcpy(line, cmdline, length);
    memcpy(line + length, "\n", 2);
    log_text(line);
    heap_free(line);
    // The child starts suspended and runs only once it is in the job, so that nothing it
    // starts can be outside the job. It inherits its standard handles, and no other.
    // A console child gets a console of its own, since a service has none; nobody sees the
    // service's desktop, so that console has no window. Under Wine a console with a window is
    // a conhost.exe inside the job that starts the desktop's explorer.exe when that desktop has
    // none running, inside the job too, where it never ends: every stop then waits out the
    // grace time and kills.
    PROCESS_INFORMATION child;
    memset(&child, 0, sizeof child);
    bool captured = capture_prepare(&startup);
    EnterCriticalSection(&svc_lock);
    if (stop_requested) {
        LeaveCriticalSection(&svc_lock);
        capture_start(false);
        return 0;
    }
    BOOL created =
        CreateProcessA(nullptr, cmdline, nullptr, nullptr, captured ? TRUE : FALSE,
                       CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &child);
    DWORD error = created ? 0 : GetLastError();
    // Handed over in the lock, so that a stop that comes next logs after it.
    if (created) {
        child_process = child.hProcess;
        log_hand_over_for_flush("success CreateProcess\n", 0);
    }
    LeaveCriticalSection(&svc_lock);
    if (!created) {
        capture_start(false);
        log_msg("fail to CreateProcess\n", 0);
        event_child_not_started(error, cmdline);
        return error;
    }
    log_flush();
    capture_start(true);
    // The child is suspended until it is in its job: a stop meanwhile ends it all the same.
    HANDLE job = make_job();
    // Before Windows 8 a process can be in one job only, so a host that itself runs inside a
    // job cannot put its child into another; then a stop ends the child alone, as it always
    // did.
    if (job != nullptr && !AssignProcessToJobObject(job, child.hProcess)) {
        log_msg("fail to AssignProcessToJobObject error=%d, stop ends the child only\n",
                GetLastError());
        CloseHandle(job);
        job = nullptr;
    }
    EnterCriticalSection(&svc_lock);
    child_job = job;
    LeaveCriticalSection(&svc_lock);
    if (ResumeThread(child.hThread) == static_cast<DWORD>(-1)) {
        error = GetLastError();
        log_msg("fail to ResumeThread error=%d\n", error);
        TerminateProcess(child.hProcess, 1);
    }
    CloseHandle(child.hThread);
    if (error == 0)
        event_child_started(child.dwProcessId, cmdline);

    // 1. The service runs until the child ends or a stop is asked for.
    DWORD result = error;
    DWORD woke = wait_child_or_stop(child.hProcess);
    if (woke == WAIT_OBJECT_0 + 1) {
        // 2. A stop: the tree is asked to end, and ended after the grace time. However the
        // child then ends (0xC000013A on Ctrl+C, 1, the kill's 0), the stop ended it: no failure.
        // When the child and the stop come together, the wait names the child first.
        stop_tree(child.hProcess, child.dwProcessId, job);
    } else if (woke != WAIT_OBJECT_0) {
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
    // Its input ends with it (a stop has ended it already), for what it left running.
    capture_end_input();
    // 3. What the child left running goes with it: a stopped service leaves no process behind.
    if (job != nullptr && woke != WAIT_OBJECT_0 + 1) {
        TerminateJobObject(job, 0);
        if (!wait_tree_gone(child.hProcess, job, kill_wait_ms))
            log_msg("job processes still running after stop\n", 0);
    }
    // 4. The tree is gone; what it wrote goes to the log before the stopped report.
    capture_finish(report_progress);
    EnterCriticalSection(&svc_lock);
    if (child_job != nullptr) {
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
    // After the one stopped report the process may end at any moment: nothing more is said.
    if (svc_status.dwCurrentState == SERVICE_STOPPED) {
        LeaveCriticalSection(&svc_lock);
        return;
    }
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // A stop in progress is reported as it stands by a second stop.
        if (stop_requested)
            break;
        // The service thread ends the child; the handler never waits for it, so that the
        // dispatcher stays free for the next control whatever the child does.
        stop_requested = true;
        svc_status.dwCurrentState = SERVICE_STOP_PENDING;
        svc_status.dwCheckPoint = 1;
        svc_status.dwWaitHint = stop_wait_hint;
        report("SetServiceStatus error %ld\n");
        // Handed over before the service thread wakes, so that it comes before that thread's
        // lines and the stopped report; the handler never waits for the log.
        log_hand_over("Leaving MyService\n", 0);
        if (stop_event != nullptr)
            SetEvent(stop_event);
        LeaveCriticalSection(&svc_lock);
        return;
    case SERVICE_CONTROL_PAUSE:
        if (!stop_requested)
            svc_status.dwCurrentState = SERVICE_PAUSED;
        break;
    case SERVICE_CONTROL_CONTINUE:
        if (!stop_requested)
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
        log_hand_over("Unrecognized opcode %ld\n", control);
        unknown_logged = true;
        unknown_logged_at = GetTickCount();
        break;
    }
    if (!SetServiceStatus(svc_status_handle, &svc_status))
        log_hand_over("SetServiceStatus error %ld\n", GetLastError());
    LeaveCriticalSection(&svc_lock);
}

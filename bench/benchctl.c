/* benchctl: the measuring client of the bench, one service run per call.
 *
 *   benchctl cycle NAME STAMP IDLE_SECONDS MARKS
 *
 * Starts service NAME, times it to the child running (STAMP is the record bench_child.exe
 * writes), lets it idle for IDLE_SECONDS while reading the host process's CPU time and memory,
 * then stops it and times the stop to the service STOPPED with the child gone (stopped_exit: the
 * exit codes of that STOPPED report; a later query under Wine may show 1077 instead, some two
 * seconds after it, once the host has ended). Around the idle
 * window it creates MARKS.begin and MARKS.end, so that a Unix-side reader can count the host's
 * context switches over the same window (Wine keeps no such count for a Windows caller), and
 * waits for MARKS.go before the stop.
 *
 *   benchctl lines NAME STAMP
 *
 * Starts service NAME, whose child is "bench_child.exe lines N ..." and ends on its own once its
 * lines are written, and waits until the service reports STOPPED: tolvard reports it only once
 * the last line of the child's output is in its log. STAMP is the child's record of when its
 * first line began and its last ended. Prints write_ms (the child's own time for its lines) and
 * done_ms (from its first line to STOPPED).
 *
 * Prints key=value lines; times in milliseconds, memory in KiB. Any failure prints the failing
 * step and GetLastError to stderr and exits 1, the service stopped if it can be.
 */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static LARGE_INTEGER frequency;

static long long now(void) {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

static double ms_between(long long from, long long to) {
    return (double)(to - from) * 1000.0 / (double)frequency.QuadPart;
}

static int fail(const char *step) {
    fprintf(stderr, "benchctl: %s error=%lu\n", step, GetLastError());
    return 1;
}

static int query(SC_HANDLE svc, SERVICE_STATUS_PROCESS *sp) {
    DWORD needed = 0;
    return QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, (BYTE *)sp, sizeof *sp, &needed);
}

/* Waits until the service reports STATE, polling every millisecond, for at most LIMIT_MS. */
static int wait_state(SC_HANDLE svc, DWORD state, DWORD limit_ms, SERVICE_STATUS_PROCESS *sp) {
    DWORD start = GetTickCount();
    for (;;) {
        if (!query(svc, sp)) {
            return 0;
        }
        if (sp->dwCurrentState == state) {
            return 1;
        }
        if (GetTickCount() - start > limit_ms) {
            SetLastError(ERROR_TIMEOUT);
            return 0;
        }
        Sleep(1);
    }
}

/* Reads the child's record once it is whole: "<counter> <pid>\n". */
static int read_stamp(const char *path, long long *stamp, DWORD *pid) {
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    char text[64];
    DWORD got = 0;
    BOOL ok = ReadFile(file, text, sizeof text - 1, &got, NULL);
    CloseHandle(file);
    if (!ok || got == 0 || text[got - 1] != '\n') {
        return 0;
    }
    text[got] = '\0';
    unsigned long child = 0;
    if (sscanf(text, "%lld %lu", stamp, &child) != 2) {
        return 0;
    }
    *pid = (DWORD)child;
    return 1;
}

static void mark(const char *marks, const char *suffix) {
    char path[MAX_PATH * 4];
    snprintf(path, sizeof path, "%s.%s", marks, suffix);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
}

static double cpu_ms(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return -1.0;
    }
    ULARGE_INTEGER k = {.LowPart = kernel.dwLowDateTime, .HighPart = kernel.dwHighDateTime};
    ULARGE_INTEGER u = {.LowPart = user.dwLowDateTime, .HighPart = user.dwHighDateTime};
    return (double)(k.QuadPart + u.QuadPart) / 10000.0;
}

/* Opens the service NAME (*scm: the manager's handle, to close after it), which must be
 * stopped, and deletes STAMP_PATH for the run to come; NULL, having said why, if not. */
static SC_HANDLE open_stopped(const char *name, const char *stamp_path, SC_HANDLE *scm) {
    *scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (*scm == NULL) {
        fail("OpenSCManager");
        return NULL;
    }
    SC_HANDLE svc = OpenServiceA(*scm, name, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (svc == NULL) {
        fail("OpenService");
        return NULL;
    }
    SERVICE_STATUS_PROCESS sp;
    if (!query(svc, &sp) || sp.dwCurrentState != SERVICE_STOPPED) {
        fprintf(stderr, "benchctl: %s is not stopped before the start\n", name);
        return NULL;
    }
    DeleteFileA(stamp_path);
    return svc;
}

static void stop_quietly(SC_HANDLE svc) {
    SERVICE_STATUS st;
    ControlService(svc, SERVICE_CONTROL_STOP, &st);
}

static int cycle(const char *name, const char *stamp_path, double idle_seconds, const char *marks) {
    SC_HANDLE scm = NULL;
    SC_HANDLE svc = open_stopped(name, stamp_path, &scm);
    if (svc == NULL) {
        return 1;
    }
    SERVICE_STATUS_PROCESS sp;

    long long called = now();
    if (!StartServiceA(svc, 0, NULL)) {
        return fail("StartService");
    }
    long long returned = now();
    long long stamp = 0;
    DWORD child_pid = 0;
    DWORD waited = GetTickCount();
    while (!read_stamp(stamp_path, &stamp, &child_pid)) {
        if (GetTickCount() - waited > 30000) {
            stop_quietly(svc);
            SetLastError(ERROR_TIMEOUT);
            return fail("waiting for the child's stamp");
        }
        Sleep(1);
    }
    printf("start_ms=%.3f\n", ms_between(called, stamp));
    printf("start_return_ms=%.3f\n", ms_between(called, returned));
    if (!wait_state(svc, SERVICE_RUNNING, 30000, &sp)) {
        stop_quietly(svc);
        return fail("waiting for RUNNING");
    }
    DWORD host_pid = sp.dwProcessId;
    printf("host_pid=%lu\nchild_pid=%lu\n", host_pid, child_pid);
    HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, child_pid);
    HANDLE host =
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, host_pid);
    if (child == NULL || host == NULL) {
        stop_quietly(svc);
        return fail("OpenProcess");
    }

    if (idle_seconds > 0) {
        /* Let the start's last steps (a log line, a thread ending) pass before the window. */
        Sleep(500);
        mark(marks, "begin");
        double before = cpu_ms(host);
        Sleep((DWORD)(idle_seconds * 1000.0));
        double after = cpu_ms(host);
        mark(marks, "end");
        /* The reader on the Unix side reads the host while it still runs; it says when it is
         * done with MARKS.go (at most 10 s are waited for it). */
        char go[MAX_PATH * 4];
        snprintf(go, sizeof go, "%s.go", marks);
        for (DWORD waited = GetTickCount(); GetFileAttributesA(go) == INVALID_FILE_ATTRIBUTES &&
                                            GetTickCount() - waited < 10000;) {
            Sleep(5);
        }
        printf("idle_cpu_ms=%.3f\n", before < 0 || after < 0 ? -1.0 : after - before);
        PROCESS_MEMORY_COUNTERS_EX mem;
        memset(&mem, 0, sizeof mem);
        mem.cb = sizeof mem;
        if (K32GetProcessMemoryInfo(host, (PROCESS_MEMORY_COUNTERS *)&mem, sizeof mem)) {
            printf("peak_ws_kib=%lu\n", (unsigned long)(mem.PeakWorkingSetSize / 1024));
            printf("ws_kib=%lu\n", (unsigned long)(mem.WorkingSetSize / 1024));
            printf("private_kib=%lu\n", (unsigned long)(mem.PrivateUsage / 1024));
        } else {
            fprintf(stderr, "benchctl: K32GetProcessMemoryInfo error=%lu\n", GetLastError());
        }
    }

    SERVICE_STATUS st;
    long long asked = now();
    if (!ControlService(svc, SERVICE_CONTROL_STOP, &st)) {
        return fail("ControlService(STOP)");
    }
    long long answered = now();
    if (!wait_state(svc, SERVICE_STOPPED, 30000, &sp)) {
        return fail("waiting for STOPPED");
    }
    printf("stopped_exit=%lu %lu\n", sp.dwWin32ExitCode, sp.dwServiceSpecificExitCode);
    if (WaitForSingleObject(child, 30000) != WAIT_OBJECT_0) {
        return fail("waiting for the child's end");
    }
    long long done = now();
    printf("stop_ms=%.3f\n", ms_between(asked, done));
    printf("stop_return_ms=%.3f\n", ms_between(asked, answered));
    /* The next run must not meet this one's host still going. */
    if (WaitForSingleObject(host, 30000) != WAIT_OBJECT_0) {
        return fail("waiting for the host's end");
    }
    printf("host_exit_ms=%.3f\n", ms_between(asked, now()));
    CloseHandle(child);
    CloseHandle(host);
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return 0;
}

static int lines(const char *name, const char *stamp_path) {
    SC_HANDLE scm = NULL;
    SC_HANDLE svc = open_stopped(name, stamp_path, &scm);
    if (svc == NULL) {
        return 1;
    }
    SERVICE_STATUS_PROCESS sp;
    if (!StartServiceA(svc, 0, NULL)) {
        return fail("StartService");
    }
    /* STOPPED is looked for only once the service has left it. */
    if (!wait_state(svc, SERVICE_RUNNING, 30000, &sp) && sp.dwCurrentState != SERVICE_STOPPED) {
        stop_quietly(svc);
        return fail("waiting for RUNNING");
    }
    if (!wait_state(svc, SERVICE_STOPPED, 600000, &sp)) {
        stop_quietly(svc);
        return fail("waiting for STOPPED");
    }
    long long stopped = now();
    if (sp.dwWin32ExitCode != 0 || sp.dwServiceSpecificExitCode != 0) {
        fprintf(stderr, "benchctl: %s stopped with %lu %lu\n", name, sp.dwWin32ExitCode,
                sp.dwServiceSpecificExitCode);
        return 1;
    }
    HANDLE file = CreateFileA(stamp_path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    char text[96];
    DWORD got = 0;
    if (file == INVALID_HANDLE_VALUE || !ReadFile(file, text, sizeof text - 1, &got, NULL)) {
        return fail("reading the child's stamp");
    }
    CloseHandle(file);
    text[got] = '\0';
    long long begin = 0, end = 0;
    if (sscanf(text, "%lld %lld", &begin, &end) != 2) {
        fprintf(stderr, "benchctl: the child's stamp reads <%s>\n", text);
        return 1;
    }
    printf("write_ms=%.3f\n", ms_between(begin, end));
    printf("done_ms=%.3f\n", ms_between(begin, stopped));
    long long longest = 0;
    unsigned long child = 0;
    if (sscanf(text, "%lld %lld %lu %lld", &begin, &end, &child, &longest) == 4 && longest > 0)
        printf("longest_write_ms=%.3f\n", ms_between(0, longest));
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return 0;
}

int main(int argc, char **argv) {
    QueryPerformanceFrequency(&frequency);
    if (argc == 4 && strcmp(argv[1], "lines") == 0) {
        int rc = lines(argv[2], argv[3]);
        fflush(stdout);
        return rc;
    }
    if (argc == 6 && strcmp(argv[1], "cycle") == 0) {
        int rc = cycle(argv[2], argv[3], atof(argv[4]), argv[5]);
        fflush(stdout);
        return rc;
    }
    fprintf(stderr, "usage: benchctl cycle NAME STAMP IDLE_SECONDS MARKS | lines NAME STAMP\n");
    return 2;
}

/* svcctl: a small service control client for the tests (Wine's sc.exe has no pause, continue,
 * interrogate, user codes or qc).
 *
 *   svcctl start NAME [ARG...]      StartService with the given start arguments
 *   svcctl control NAME CODE        ControlService with any code; prints the returned status
 *                                   and how long the call took (ms=N)
 *   svcctl query NAME               QueryServiceStatusEx
 *   svcctl wait NAME STATE SECONDS  poll until the state is reached; prints the last status
 *   svcctl config NAME              QueryServiceConfigA
 *   svcctl watch NAME SECONDS       polls the status every 20 ms until STOPPED; prints a line
 *                                   "ms=T state=S checkpoint=C" for the first status and for
 *                                   each change of state or check point
 *
 * Output is one key=value line per field; texts are printed in brackets so that leading and
 * trailing blanks show. Any failure prints the failing call and GetLastError to stderr and
 * exits 1.
 *
 * The stress tests would pay a Wine start-up (a third of a second) per control, so these
 * subcommands do many in one process and print one line of facts per step for the test to
 * judge. CHILD is the file name of the service's child program (e.g. cyc.exe), looked up in
 * the process list; LOG is the host's log, copied to OUTDIR\NNN.log once the host process of
 * each run has ended; SECONDS bounds every single wait.
 *
 *   svcctl startall NAME...         StartService for each name, one right after the other
 *   svcctl restarts NAME COUNT SECONDS
 *                                   starts the service COUNT times, each time once it has
 *                                   stopped again (a restart loop); one line per start with
 *                                   its StartService error (0, or 1053 for a run that ended
 *                                   before the call returned) and the state reached
 *   svcctl runall SECONDS NAME...   starts each service and waits until each has stopped by
 *                                   itself; one line per service with its exit codes
 *   svcctl cycles NAME COUNT CHILD LOG OUTDIR SECONDS
 *                                   start, RUNNING, child seen, stop, STOPPED, host ended
 *   svcctl race NAME COUNT CHILD LOG OUTDIR SECONDS
 *                                   as cycles, but a second thread sends stops from before the
 *                                   start until one is taken
 *   svcctl saves NAME COUNT CHILD LOG OUTDIR SECONDS READY
 *                                   as cycles, but the stop of run N waits until the file READY
 *                                   holds N lines "start" (its child is ready to be asked)
 *   svcctl controls NAME COUNT CHILD
 *                                   pause, interrogate, continue, interrogate, ... COUNT in all;
 *                                   each one's reported and queried state and the child checked
 *   svcctl burst CODE COUNT NAME... CODE sent COUNT times to each name in turn
 */
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char *const state_names[] = {
    "",        "STOPPED",          "START_PENDING", "STOP_PENDING",
    "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED",
};

static int fail(const char *call) {
    fprintf(stderr, "svcctl: %s error=%lu\n", call, GetLastError());
    return 1;
}

static SC_HANDLE open_service(const char *name, DWORD access) {
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (scm == NULL) {
        fail("OpenSCManager");
        return NULL;
    }
    SC_HANDLE svc = OpenServiceA(scm, name, access);
    if (svc == NULL) {
        fail("OpenService");
    }
    CloseServiceHandle(scm);
    return svc;
}

static void print_status(const SERVICE_STATUS *st) {
    printf("state=%lu\n", st->dwCurrentState);
    printf("type=0x%lx\n", st->dwServiceType);
    printf("controls=%lu\n", st->dwControlsAccepted);
    printf("win32_exit=%lu\n", st->dwWin32ExitCode);
    printf("service_exit=%lu\n", st->dwServiceSpecificExitCode);
    printf("checkpoint=%lu\n", st->dwCheckPoint);
    printf("wait_hint=%lu\n", st->dwWaitHint);
}

static int query_status(SC_HANDLE svc, SERVICE_STATUS_PROCESS *sp) {
    DWORD needed = 0;
    if (!QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, (BYTE *)sp, sizeof *sp, &needed)) {
        return fail("QueryServiceStatusEx");
    }
    return 0;
}

static void print_status_process(const SERVICE_STATUS_PROCESS *sp) {
    /* SERVICE_STATUS_PROCESS begins with the seven fields of SERVICE_STATUS. */
    SERVICE_STATUS st;
    memcpy(&st, sp, sizeof st);
    print_status(&st);
    printf("pid=%lu\n", sp->dwProcessId);
}

static int parse_state(const char *text, DWORD *state) {
    for (DWORD i = 1; i < sizeof state_names / sizeof state_names[0]; i++) {
        if (strcmp(text, state_names[i]) == 0) {
            *state = i;
            return 1;
        }
    }
    char *end;
    unsigned long n = strtoul(text, &end, 0);
    if (*text == '\0' || *end != '\0') {
        return 0;
    }
    *state = (DWORD)n;
    return 1;
}

static int cmd_start(int argc, char **argv) {
    SC_HANDLE svc = open_service(argv[0], SERVICE_START);
    if (svc == NULL) {
        return 1;
    }
    int rc = 0;
    if (!StartServiceA(svc, (DWORD)(argc - 1), argc > 1 ? (const char **)&argv[1] : NULL)) {
        rc = fail("StartService");
    }
    CloseServiceHandle(svc);
    return rc;
}

static int cmd_control(const char *name, const char *code_text) {
    char *end;
    unsigned long code = strtoul(code_text, &end, 0);
    if (*code_text == '\0' || *end != '\0') {
        fprintf(stderr, "svcctl: bad control code %s\n", code_text);
        return 1;
    }
    SC_HANDLE svc = open_service(name, SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
                                           SERVICE_USER_DEFINED_CONTROL);
    if (svc == NULL) {
        return 1;
    }
    int rc = 0;
    SERVICE_STATUS st;
    memset(&st, 0, sizeof st);
    DWORD begin = GetTickCount();
    if (ControlService(svc, (DWORD)code, &st)) {
        print_status(&st);
        printf("ms=%lu\n", GetTickCount() - begin);
    } else {
        rc = fail("ControlService");
    }
    CloseServiceHandle(svc);
    return rc;
}

static int cmd_query(const char *name) {
    SC_HANDLE svc = open_service(name, SERVICE_QUERY_STATUS);
    if (svc == NULL) {
        return 1;
    }
    SERVICE_STATUS_PROCESS sp;
    int rc = query_status(svc, &sp);
    if (rc == 0) {
        print_status_process(&sp);
    }
    CloseServiceHandle(svc);
    return rc;
}

static int cmd_wait(const char *name, const char *state_text, const char *seconds_text) {
    DWORD want;
    if (!parse_state(state_text, &want)) {
        fprintf(stderr, "svcctl: bad state %s\n", state_text);
        return 1;
    }
    DWORD limit = (DWORD)(strtod(seconds_text, NULL) * 1000.0);
    SC_HANDLE svc = open_service(name, SERVICE_QUERY_STATUS);
    if (svc == NULL) {
        return 1;
    }
    DWORD start = GetTickCount();
    SERVICE_STATUS_PROCESS sp;
    int rc;
    for (;;) {
        rc = query_status(svc, &sp);
        if (rc != 0 || sp.dwCurrentState == want) {
            break;
        }
        if (GetTickCount() - start >= limit) {
            fprintf(stderr, "svcctl: %s not in state %lu after %s s\n", name, want, seconds_text);
            rc = 1;
            break;
        }
        Sleep(100);
    }
    if (rc == 0 || sp.dwCurrentState != want) {
        print_status_process(&sp);
    }
    CloseServiceHandle(svc);
    return rc;
}

static int cmd_watch(const char *name, const char *seconds) {
    DWORD limit = (DWORD)(strtod(seconds, NULL) * 1000.0);
    SC_HANDLE svc = open_service(name, SERVICE_QUERY_STATUS);
    if (svc == NULL) {
        return 1;
    }
    DWORD start = GetTickCount();
    DWORD state = 0;
    DWORD checkpoint = 0;
    int rc = 1;
    for (int first = 1; GetTickCount() - start < limit; first = 0) {
        SERVICE_STATUS_PROCESS sp;
        if (query_status(svc, &sp) != 0) {
            break;
        }
        if (first || sp.dwCurrentState != state || sp.dwCheckPoint != checkpoint) {
            state = sp.dwCurrentState;
            checkpoint = sp.dwCheckPoint;
            printf("ms=%lu state=%lu checkpoint=%lu\n", GetTickCount() - start, state, checkpoint);
        }
        if (state == SERVICE_STOPPED) {
            rc = 0;
            break;
        }
        Sleep(20);
    }
    CloseServiceHandle(svc);
    return rc;
}

static int cmd_config(const char *name) {
    SC_HANDLE svc = open_service(name, SERVICE_QUERY_CONFIG);
    if (svc == NULL) {
        return 1;
    }
    DWORD needed = 0;
    QueryServiceConfigA(svc, NULL, 0, &needed);
    QUERY_SERVICE_CONFIGA *cfg = malloc(needed > 0 ? needed : 1);
    int rc = 0;
    if (cfg == NULL || !QueryServiceConfigA(svc, cfg, needed, &needed)) {
        rc = fail("QueryServiceConfigA");
    } else {
        printf("type=0x%lx\n", cfg->dwServiceType);
        printf("start=%lu\n", cfg->dwStartType);
        printf("error=%lu\n", cfg->dwErrorControl);
        printf("path=[%s]\n", cfg->lpBinaryPathName ? cfg->lpBinaryPathName : "(null)");
        printf("account=[%s]\n", cfg->lpServiceStartName ? cfg->lpServiceStartName : "(null)");
        printf("display=[%s]\n", cfg->lpDisplayName ? cfg->lpDisplayName : "(null)");
    }
    free(cfg);
    CloseServiceHandle(svc);
    return rc;
}

/* The number of running processes whose file name is `exe`, or -1 if the list cannot be read. */
static int count_processes(const char *exe) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int count = 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snap, &entry); more; more = Process32Next(snap, &entry)) {
        if (_stricmp(entry.szExeFile, exe) == 0) {
            count++;
        }
    }
    CloseHandle(snap);
    return count;
}

/* Polls until the service is in state `want`; 0 if it got there within `limit` ms. */
static int poll_state(SC_HANDLE svc, DWORD want, DWORD limit, SERVICE_STATUS_PROCESS *sp) {
    DWORD start = GetTickCount();
    for (;;) {
        if (query_status(svc, sp) != 0) {
            return 1;
        }
        if (sp->dwCurrentState == want) {
            return 0;
        }
        if (GetTickCount() - start >= limit) {
            return 1;
        }
        Sleep(10);
    }
}

/* Polls until `count_processes(exe)` is `want`; 0 if it was within `limit` ms. */
static int poll_processes(const char *exe, int want, DWORD limit) {
    DWORD start = GetTickCount();
    while (count_processes(exe) != want) {
        if (GetTickCount() - start >= limit) {
            return 1;
        }
        Sleep(10);
    }
    return 0;
}

static DWORD parse_count(const char *text) {
    return (DWORD)strtoul(text, NULL, 10);
}

static DWORD parse_ms(const char *seconds) {
    return (DWORD)(strtod(seconds, NULL) * 1000.0);
}

static int cmd_startall(int count, char **names) {
    int rc = 0;
    for (int i = 0; i < count; i++) {
        SC_HANDLE svc = open_service(names[i], SERVICE_START);
        if (svc == NULL || !StartServiceA(svc, 0, NULL)) {
            rc = fail(names[i]);
        }
        if (svc != NULL) {
            CloseServiceHandle(svc);
        }
    }
    return rc;
}

static int cmd_restarts(const char *name, const char *count_text, const char *seconds) {
    DWORD limit = parse_ms(seconds);
    int count = atoi(count_text);
    SC_HANDLE svc = open_service(name, SERVICE_START | SERVICE_QUERY_STATUS);
    if (svc == NULL) {
        return 1;
    }
    int rc = 0;
    for (int i = 0; i < count; i++) {
        DWORD error = StartServiceA(svc, 0, NULL) ? 0 : GetLastError();
        SERVICE_STATUS_PROCESS sp;
        memset(&sp, 0, sizeof sp);
        poll_state(svc, SERVICE_STOPPED, limit, &sp);
        printf("start=%d error=%lu state=%lu\n", i + 1, error, sp.dwCurrentState);
        if ((error != 0 && error != ERROR_SERVICE_REQUEST_TIMEOUT) ||
            sp.dwCurrentState != SERVICE_STOPPED) {
            rc = 1;
        }
    }
    CloseServiceHandle(svc);
    return rc;
}

static int cmd_runall(const char *seconds, int count, char **names) {
    DWORD limit = parse_ms(seconds);
    DWORD *start_error = calloc((size_t)count, sizeof *start_error);
    if (start_error == NULL) {
        return fail("calloc");
    }
    for (int i = 0; i < count; i++) {
        SC_HANDLE svc = open_service(names[i], SERVICE_START);
        if (svc == NULL || !StartServiceA(svc, 0, NULL)) {
            start_error[i] = GetLastError();
        }
        if (svc != NULL) {
            CloseServiceHandle(svc);
        }
    }
    int rc = 0;
    DWORD begin = GetTickCount();
    for (int i = 0; i < count; i++) {
        SERVICE_STATUS_PROCESS sp;
        memset(&sp, 0, sizeof sp);
        SC_HANDLE svc = open_service(names[i], SERVICE_QUERY_STATUS);
        if (svc == NULL) {
            rc = 1;
            continue;
        }
        DWORD spent = GetTickCount() - begin;
        if (start_error[i] == 0) {
            poll_state(svc, SERVICE_STOPPED, spent < limit ? limit - spent : 0, &sp);
        } else {
            query_status(svc, &sp);
        }
        CloseServiceHandle(svc);
        printf("svc=%d start_error=%lu state=%lu win32_exit=%lu service_exit=%lu\n", i,
               start_error[i], sp.dwCurrentState, sp.dwWin32ExitCode, sp.dwServiceSpecificExitCode);
    }
    free(start_error);
    return rc;
}

/* The file name of the program the service's image path starts (its first word, quoted or
 * not) into `name`, empty if the configuration cannot be read. */
static void host_file_name(SC_HANDLE svc, char (*name)[MAX_PATH]) {
    (*name)[0] = '\0';
    DWORD needed = 0;
    QueryServiceConfigA(svc, NULL, 0, &needed);
    QUERY_SERVICE_CONFIGA *cfg = malloc(needed > 0 ? needed : 1);
    if (cfg != NULL && QueryServiceConfigA(svc, cfg, needed, &needed)) {
        const char *p = cfg->lpBinaryPathName;
        char end = ' ';
        if (*p == '"') {
            end = '"';
            p++;
        }
        const char *stop = strchr(p, end);
        size_t length = stop != NULL ? (size_t)(stop - p) : strlen(p);
        const char *base = p;
        for (const char *q = p; q < p + length; q++) {
            if (*q == '\\') {
                base = q + 1;
            }
        }
        length -= (size_t)(base - p);
        if (length < MAX_PATH) {
            memcpy(*name, base, length);
            (*name)[length] = '\0';
        }
    } else {
        fail("QueryServiceConfigA");
    }
    free(cfg);
}

/* The number of lines "start" in the file, 0 if it cannot be read. */
static int count_starts(const char *path) {
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        return 0;
    }
    int count = 0;
    char line[64];
    while (fgets(line, sizeof line, f) != NULL) {
        count += strcmp(line, "start\n") == 0 ? 1 : 0;
    }
    fclose(f);
    return count;
}

/* The stopper of a race: sends a stop again and again until one is taken. It starts before
 * StartService is called; until the service runs the service control manager refuses the stop
 * (1062 not active, 1061 still starting), and the first one it takes races the launch of the
 * child. */
struct stopper {
    SC_HANDLE svc;
    DWORD limit;
    SERVICE_STATUS status;
    int attempts; /* the attempt that was taken, 0 if none */
};

static DWORD WINAPI stop_as_soon_as_possible(void *arg) {
    struct stopper *s = arg;
    DWORD start = GetTickCount();
    for (int attempts = 1;; attempts++) {
        if (ControlService(s->svc, SERVICE_CONTROL_STOP, &s->status)) {
            s->attempts = attempts;
            return 0;
        }
        DWORD error = GetLastError();
        if ((error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && error != ERROR_SERVICE_NOT_ACTIVE) ||
            GetTickCount() - start >= s->limit) {
            fprintf(stderr, "svcctl: ControlService stop error=%lu after %d attempts\n", error,
                    attempts);
            return 1;
        }
    }
}

/* One run of the service from start to the end of its host process; prints its facts. With
 * `race` set, the stop is sent at once instead of after the child is seen. */
static void one_run(SC_HANDLE svc, const char *host, int index, const char *child, const char *log,
                    const char *outdir, DWORD limit, int race, const char *ready) {
    int running = 0;
    int child_seen = 0;
    int attempts = 0;
    int stopped = 0;
    int exited = 0;
    int orphans = -1;
    DWORD stop_state = 0;
    DWORD stop_ms = 0;
    SERVICE_STATUS_PROCESS sp;
    SERVICE_STATUS st;
    memset(&st, 0, sizeof st);

    struct stopper stopper;
    memset(&stopper, 0, sizeof stopper);
    stopper.svc = svc;
    stopper.limit = limit;
    HANDLE stopper_thread = NULL;
    if (race) {
        stopper_thread = CreateThread(NULL, 0, stop_as_soon_as_possible, &stopper, 0, NULL);
    }
    if (!StartServiceA(svc, 0, NULL)) {
        fail("StartService");
    } else {
        if (!race) {
            running = poll_state(svc, SERVICE_RUNNING, limit, &sp) == 0;
            child_seen = running && poll_processes(child, 1, limit) == 0;
        }
        /* The file gains one "start" per run, from the first run on. */
        if (ready != NULL) {
            DWORD start = GetTickCount();
            while (count_starts(ready) < index && GetTickCount() - start < limit) {
                Sleep(10);
            }
        }
        if (race && stopper_thread != NULL) {
            WaitForSingleObject(stopper_thread, INFINITE);
            attempts = stopper.attempts;
            st = stopper.status;
        } else if (running) {
            DWORD begin = GetTickCount();
            attempts = ControlService(svc, SERVICE_CONTROL_STOP, &st) ? 1 : 0;
            stop_ms = GetTickCount() - begin;
        }
        if (race || running) {
            stop_state = st.dwCurrentState;
            stopped = poll_state(svc, SERVICE_STOPPED, limit, &sp) == 0;
            orphans = count_processes(child);
        }
        /* Under Wine, StartService returns only once the service runs or has stopped, too
         * late to catch the host's process id in a race: the host is found by its name. */
        exited = host[0] != '\0' && poll_processes(host, 0, limit) == 0;
        /* Only the host starts the child: once the host has ended, no child can come late. */
        if (exited) {
            int late = count_processes(child);
            if (late > orphans) {
                orphans = late;
            }
        }
    }
    if (stopper_thread != NULL) {
        WaitForSingleObject(stopper_thread, INFINITE);
        CloseHandle(stopper_thread);
    }
    char copy[MAX_PATH];
    snprintf(copy, sizeof copy, "%s\\%03d.log", outdir, index);
    int log_copied = exited && CopyFileA(log, copy, FALSE);
    printf("run=%d running=%d child_seen=%d attempts=%d stop_state=%lu stopped=%d exited=%d "
           "orphans=%d log=%d stop_ms=%lu\n",
           index, running, child_seen, attempts, stop_state, stopped, exited, orphans, log_copied,
           stop_ms);
    fflush(stdout);
}

static int cmd_cycles(char **argv, int race, const char *ready) {
    const char *name = argv[0];
    DWORD count = parse_count(argv[1]);
    DWORD limit = parse_ms(argv[5]);
    SC_HANDLE svc = open_service(name, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS |
                                           SERVICE_QUERY_CONFIG);
    if (svc == NULL) {
        return 1;
    }
    char host[MAX_PATH];
    host_file_name(svc, &host);
    for (DWORD i = 1; i <= count; i++) {
        one_run(svc, host, (int)i, argv[2], argv[3], argv[4], limit, race, ready);
    }
    CloseServiceHandle(svc);
    return 0;
}

static int cmd_controls(const char *name, const char *count_text, const char *child) {
    /* Each control with the state it must leave: pause and continue change only the reported
     * state, and interrogate reports it unchanged. */
    static const DWORD sequence[][2] = {
        {SERVICE_CONTROL_PAUSE, SERVICE_PAUSED},
        {SERVICE_CONTROL_INTERROGATE, SERVICE_PAUSED},
        {SERVICE_CONTROL_CONTINUE, SERVICE_RUNNING},
        {SERVICE_CONTROL_INTERROGATE, SERVICE_RUNNING},
    };
    DWORD count = parse_count(count_text);
    SC_HANDLE svc =
        open_service(name, SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE | SERVICE_QUERY_STATUS);
    if (svc == NULL) {
        return 1;
    }
    DWORD answered = 0;
    DWORD right = 0;
    for (DWORD i = 0; i < count; i++) {
        DWORD code = sequence[i % 4][0];
        DWORD want = sequence[i % 4][1];
        SERVICE_STATUS st;
        memset(&st, 0, sizeof st);
        BOOL ok = ControlService(svc, code, &st);
        DWORD error = ok ? 0 : GetLastError();
        SERVICE_STATUS_PROCESS sp;
        memset(&sp, 0, sizeof sp);
        query_status(svc, &sp);
        int children = count_processes(child);
        answered += ok ? 1 : 0;
        if (ok && st.dwCurrentState == want && sp.dwCurrentState == want && children == 1) {
            right++;
        } else {
            printf("control=%lu code=%lu error=%lu reported=%lu queried=%lu children=%d\n", i + 1,
                   code, error, st.dwCurrentState, sp.dwCurrentState, children);
        }
    }
    CloseServiceHandle(svc);
    printf("sent=%lu answered=%lu right=%lu\n", count, answered, right);
    return 0;
}

static int cmd_burst(const char *code_text, const char *count_text, int names, char **name) {
    DWORD code = parse_count(code_text);
    DWORD count = parse_count(count_text);
    SC_HANDLE svc[8];
    if (names > 8) {
        fprintf(stderr, "svcctl: at most 8 services\n");
        return 2;
    }
    for (int i = 0; i < names; i++) {
        svc[i] = open_service(name[i], SERVICE_USER_DEFINED_CONTROL | SERVICE_INTERROGATE);
        if (svc[i] == NULL) {
            return 1;
        }
    }
    DWORD sent = 0;
    DWORD answered = 0;
    for (DWORD round = 0; round < count; round++) {
        for (int i = 0; i < names; i++) {
            SERVICE_STATUS st;
            sent++;
            answered += ControlService(svc[i], code, &st) ? 1 : 0;
        }
    }
    for (int i = 0; i < names; i++) {
        CloseServiceHandle(svc[i]);
    }
    printf("sent=%lu answered=%lu\n", sent, answered);
    return 0;
}

int main(int argc, char **argv) {
    if (argc >= 3 && strcmp(argv[1], "start") == 0) {
        return cmd_start(argc - 2, &argv[2]);
    }
    if (argc == 4 && strcmp(argv[1], "control") == 0) {
        return cmd_control(argv[2], argv[3]);
    }
    if (argc == 3 && strcmp(argv[1], "query") == 0) {
        return cmd_query(argv[2]);
    }
    if (argc == 5 && strcmp(argv[1], "wait") == 0) {
        return cmd_wait(argv[2], argv[3], argv[4]);
    }
    if (argc == 4 && strcmp(argv[1], "watch") == 0) {
        return cmd_watch(argv[2], argv[3]);
    }
    if (argc == 3 && strcmp(argv[1], "config") == 0) {
        return cmd_config(argv[2]);
    }
    if (argc >= 3 && strcmp(argv[1], "startall") == 0) {
        return cmd_startall(argc - 2, &argv[2]);
    }
    if (argc == 5 && strcmp(argv[1], "restarts") == 0) {
        return cmd_restarts(argv[2], argv[3], argv[4]);
    }
    if (argc >= 4 && strcmp(argv[1], "runall") == 0) {
        return cmd_runall(argv[2], argc - 3, &argv[3]);
    }
    if (argc == 8 && strcmp(argv[1], "cycles") == 0) {
        return cmd_cycles(&argv[2], 0, NULL);
    }
    if (argc == 9 && strcmp(argv[1], "saves") == 0) {
        return cmd_cycles(&argv[2], 0, argv[8]);
    }
    if (argc == 8 && strcmp(argv[1], "race") == 0) {
        return cmd_cycles(&argv[2], 1, NULL);
    }
    if (argc == 5 && strcmp(argv[1], "controls") == 0) {
        return cmd_controls(argv[2], argv[3], argv[4]);
    }
    if (argc >= 5 && strcmp(argv[1], "burst") == 0) {
        return cmd_burst(argv[2], argv[3], argc - 4, &argv[4]);
    }
    fprintf(stderr,
            "usage: svcctl start NAME [ARG...] | control NAME CODE | query NAME |\n"
            "              wait NAME STATE SECONDS | watch NAME SECONDS | config NAME |\n"
            "              startall NAME... | restarts NAME COUNT SECONDS |\n"
            "              runall SECONDS NAME... | cycles|race NAME COUNT CHILD LOG OUTDIR "
            "SECONDS |\n"
            "              saves NAME COUNT CHILD LOG OUTDIR SECONDS READY |\n"
            "              controls NAME COUNT CHILD | burst CODE COUNT NAME...\n");
    return 2;
}

/* svcctl: a small service control client for the tests (Wine's sc.exe has no pause, continue,
 * interrogate, user codes or qc).
 *
 *   svcctl start NAME [ARG...]      StartService with the given start arguments
 *   svcctl control NAME CODE        ControlService with any code; prints the returned status
 *   svcctl query NAME               QueryServiceStatusEx
 *   svcctl wait NAME STATE SECONDS  poll until the state is reached; prints the last status
 *   svcctl config NAME              QueryServiceConfigA
 *
 * Output is one key=value line per field; texts are printed in brackets so that leading and
 * trailing blanks show. Any failure prints the failing call and GetLastError to stderr and
 * exits 1.
 */
#include <windows.h>
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
    if (ControlService(svc, (DWORD)code, &st)) {
        print_status(&st);
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
    if (argc == 3 && strcmp(argv[1], "config") == 0) {
        return cmd_config(argv[2]);
    }
    fprintf(stderr, "usage: svcctl start NAME [ARG...] | control NAME CODE | query NAME |\n"
                    "              wait NAME STATE SECONDS | config NAME\n");
    return 2;
}

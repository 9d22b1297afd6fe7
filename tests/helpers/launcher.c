/* launcher: a child that starts a program of its own, for the process tree tests.
 *
 *   launcher start|breakaway wait|exit PROGRAM [ARG...]
 *       Starts PROGRAM with the words after it (joined by blanks, unquoted), with
 *       CREATE_BREAKAWAY_FROM_JOB and a console of its own for "breakaway". Writes "pid=N" (or
 *       "error=N" if it could not start it) to <own exe path>.pid, then waits (at most 120 s),
 *       or exits with 0 as soon as PROGRAM.args exists (probe.exe's record: the program is then
 *       surely running).
 *   launcher kill PID
 *       Ends that process; exit status 0 if it was running and is now ended.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int kill_process(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (process == NULL) {
        return 1;
    }
    int ok = TerminateProcess(process, 1) && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ok ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "kill") == 0) {
        return kill_process(strtoul(argv[2], NULL, 10));
    }
    if (argc < 4) {
        return 2;
    }
    char command[8192] = "";
    for (int i = 3; i < argc; i++) {
        if (strlen(command) + strlen(argv[i]) + 2 > sizeof command) {
            return 2;
        }
        strcat(command, argv[i]);
        strcat(command, " ");
    }
    /* A program that breaks away from the job leaves the console too: a stop's Ctrl+C reaches
     * every process on the child's console. */
    DWORD flags =
        strcmp(argv[1], "breakaway") == 0 ? CREATE_BREAKAWAY_FROM_JOB | CREATE_NEW_CONSOLE : 0;

    char record[MAX_PATH * 4 + 8];
    DWORD n = GetModuleFileNameA(NULL, record, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4) {
        return 90;
    }
    strcat(record, ".pid");

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    BOOL created =
        CreateProcessA(NULL, command, NULL, NULL, FALSE, flags, NULL, NULL, &startup, &info);
    DWORD error = created ? 0 : GetLastError();
    FILE *f = fopen(record, "wb");
    if (f == NULL) {
        return 91;
    }
    if (created) {
        fprintf(f, "pid=%lu\n", info.dwProcessId);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    } else {
        fprintf(f, "error=%lu\n", error);
    }
    fclose(f);
    if (!created) {
        return 3;
    }
    if (strcmp(argv[2], "wait") == 0) {
        Sleep(120 * 1000);
        return 0;
    }
    char program_record[MAX_PATH * 4];
    snprintf(program_record, sizeof program_record, "%s.args", argv[3]);
    for (int tries = 0;
         tries < 100 && GetFileAttributesA(program_record) == INVALID_FILE_ATTRIBUTES; tries++) {
        Sleep(100);
    }
    return 0;
}

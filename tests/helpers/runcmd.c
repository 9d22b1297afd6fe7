/* runcmd CMDFILE [WORKDIR]
 * runcmd -each CMDFILE
 *
 * Runs the command line held in CMDFILE exactly as written there and exits with the child's
 * exit code. Wine rebuilds a Windows command line from Unix argv with its own quoting, so a
 * test that needs exact bytes (quotes, backslashes, Shift-JIS) writes them to a file instead.
 * One trailing LF or CR LF is dropped; nothing else is touched. With WORKDIR the child starts
 * there. The child writes to runcmd's own standard handles.
 *
 * With -each, every line of CMDFILE (ended by LF) is a command line of its own, run one after
 * the other, each followed on standard output by a line "rc=N" with its exit code: many
 * commands for the price of one Wine start-up. Exits 0 once all have run.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Exit codes of runcmd itself, kept apart from anything the child is expected to return. */
#define RUNCMD_USAGE 250
#define RUNCMD_READ 251
#define RUNCMD_DIR 252
#define RUNCMD_CREATE 253

static char *read_command(const char *file) {
    FILE *in = fopen(file, "rb");
    if (in == NULL) {
        return NULL;
    }
    size_t size = 0;
    size_t room = 256;
    char *text = malloc(room);
    size_t got;
    while (text != NULL && (got = fread(text + size, 1, room - size - 1, in)) > 0) {
        size += got;
        if (room - size == 1) {
            room *= 2;
            char *bigger = realloc(text, room);
            if (bigger == NULL) {
                free(text);
            }
            text = bigger;
        }
    }
    fclose(in);
    if (text == NULL) {
        return NULL;
    }
    if (size > 0 && text[size - 1] == '\n') {
        size--;
        if (size > 0 && text[size - 1] == '\r') {
            size--;
        }
    }
    text[size] = '\0';
    return text;
}

/* Runs one command line (which CreateProcessA may modify) and returns its exit code. */
static DWORD run(char *command) {
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    fflush(stdout);
    fflush(stderr);

    /* Wine's start of a new process fails now and then on a loaded machine, before the program
     * runs a single instruction; each failure is said, and the start is tried up to 3 times,
     * unless the error says that the command itself is wrong. */
    PROCESS_INFORMATION pi;
    int tries = 0;
    while (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
        DWORD error = GetLastError();
        fprintf(stderr, "runcmd: CreateProcess error=%lu\n", error);
        fflush(stderr);
        if (++tries == 3 || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_PARAMETER ||
            error == ERROR_BAD_EXE_FORMAT || error == ERROR_FILENAME_EXCED_RANGE) {
            return RUNCMD_CREATE;
        }
        Sleep(200);
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = RUNCMD_CREATE;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

static int run_each(const char *file) {
    char *text = read_command(file);
    if (text == NULL) {
        fprintf(stderr, "runcmd: cannot read %s\n", file);
        return RUNCMD_READ;
    }
    for (char *line = text; *line != '\0';) {
        char *end = strchr(line, '\n');
        char *next = end != NULL ? end + 1 : line + strlen(line);
        if (end != NULL) {
            *end = '\0';
        }
        DWORD code = run(line);
        printf("rc=%lu\n", code);
        fflush(stdout);
        line = next;
    }
    free(text);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "-each") == 0) {
        return run_each(argv[2]);
    }
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: runcmd CMDFILE [WORKDIR] | runcmd -each CMDFILE\n");
        return RUNCMD_USAGE;
    }
    char *command = read_command(argv[1]);
    if (command == NULL) {
        fprintf(stderr, "runcmd: cannot read %s\n", argv[1]);
        return RUNCMD_READ;
    }
    /* CreateProcess looks for a relative program name in the parent's current directory, not
     * in lpCurrentDirectory, so the directory is changed here before the child is made. */
    if (argc == 3 && !SetCurrentDirectoryA(argv[2])) {
        fprintf(stderr, "runcmd: SetCurrentDirectory error=%lu\n", GetLastError());
        return RUNCMD_DIR;
    }
    DWORD code = run(command);
    free(command);
    return (int)code;
}

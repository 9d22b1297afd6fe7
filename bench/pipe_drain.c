/* pipe_drain: the floor under the host's output rows, a pipe and nothing else.
 *
 *   pipe_drain STAMP COMMAND_LINE
 *
 * Starts COMMAND_LINE (bench_child.exe lines N, or blines N) with its standard output and error
 * one anonymous pipe of the size and read size tolvard's host uses, and its input another pipe
 * that nobody writes to, as the host gives them; reads the pipe to its end, throwing away what it
 * reads, and waits for the child. Nothing is logged, split or formatted: what the child's writes
 * cost here is what any pipe with a reader costs on this system, and what they cost under tolvard
 * beyond this is the host's own.
 *
 * STAMP is the child's record of when its first line began and its last ended. Prints
 * write_ms (the child's own time for its lines), done_ms (from its first line to the pipe's end
 * read here), bytes (all it read) and reads (the ReadFile calls that gave some), as key=value
 * lines. Any failure prints the failing step
 * and GetLastError to stderr and exits 1.
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>

/* As tolvard's host: the pipe's size and the reader's buffer (src/host/output.cpp). */
#define PIPE_SIZE (64 * 1024)
static char in[64 * 1024];

static int fail(const char *what) {
    fprintf(stderr, "pipe_drain: %s failed, error %lu\n", what, GetLastError());
    return 1;
}

static double ms_between(long long from, long long to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)(to - from) * 1000.0 / (double)frequency.QuadPart;
}

static int drain(const char *stamp_path, char *command_line) {
    HANDLE read_end, write_end;
    /* The read end stays uninheritable, or the child would hold the pipe open against its own
     * end and the read below would never see it. */
    if (!CreatePipe(&read_end, &write_end, NULL, PIPE_SIZE) ||
        !SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        return fail("CreatePipe");
    }
    HANDLE input_read, input_write;
    if (!CreatePipe(&input_read, &input_write, NULL, 0) ||
        !SetHandleInformation(input_read, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        return fail("CreatePipe of the input");
    }
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input_read;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION child;
    DeleteFileA(stamp_path);
    if (!CreateProcessA(NULL, command_line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child)) {
        return fail("CreateProcess");
    }
    /* The child holds the only write end left: its exit ends the pipe. */
    CloseHandle(write_end);
    CloseHandle(input_read);
    CloseHandle(child.hThread);
    unsigned long long bytes = 0, reads = 0;
    DWORD got = 0;
    while (ReadFile(read_end, in, sizeof in, &got, NULL)) {
        bytes += got;
        reads += got > 0;
    }
    if (GetLastError() != ERROR_BROKEN_PIPE) {
        return fail("ReadFile");
    }
    LARGE_INTEGER ended;
    QueryPerformanceCounter(&ended);
    CloseHandle(read_end);
    CloseHandle(input_write);
    DWORD code = 1;
    if (WaitForSingleObject(child.hProcess, 30000) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(child.hProcess, &code)) {
        return fail("waiting for the child");
    }
    CloseHandle(child.hProcess);
    if (code != 0) {
        fprintf(stderr, "pipe_drain: the child exited with %lu\n", code);
        return 1;
    }
    HANDLE file = CreateFileA(stamp_path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    char text[96];
    DWORD length = 0;
    if (file == INVALID_HANDLE_VALUE || !ReadFile(file, text, sizeof text - 1, &length, NULL)) {
        return fail("reading the child's stamp");
    }
    CloseHandle(file);
    text[length] = '\0';
    long long begin = 0, end = 0;
    if (sscanf(text, "%lld %lld", &begin, &end) != 2) {
        fprintf(stderr, "pipe_drain: the child's stamp reads <%s>\n", text);
        return 1;
    }
    printf("write_ms=%.3f\n", ms_between(begin, end));
    printf("done_ms=%.3f\n", ms_between(begin, ended.QuadPart));
    long long longest = 0;
    unsigned long pid = 0;
    if (sscanf(text, "%lld %lld %lu %lld", &begin, &end, &pid, &longest) == 4 && longest > 0)
        printf("longest_write_ms=%.3f\n", ms_between(0, longest));
    printf("bytes=%llu\n", bytes);
    printf("reads=%llu\n", reads);
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: pipe_drain STAMP COMMAND_LINE\n");
        return 2;
    }
    int rc = drain(argv[1], argv[2]);
    fflush(stdout);
    return rc;
}

/* bench_child: the child both services of the bench run.
 *
 * As soon as it runs it writes "<QueryPerformanceCounter> <process id>\n" to <own exe path>.stamp
 * in one write, so a reader that sees the newline has the whole record, and then sleeps until it
 * is ended. The performance counter is one clock for every process of the machine (under Wine,
 * the host's monotonic clock), so the measuring client can set the stamp against its own reading.
 * Asked to end with Ctrl+C (tolvard's stop), it exits at once; the bare service kills it.
 *
 *   bench_child lines N [FILE]
 *
 * writes N lines of 100 bytes (98 and CR LF), one WriteFile each, to its standard output, or to
 * FILE (made anew), as fast as it can, and exits 0; at the end it writes
 * "<counter before the first line> <counter after the last> <process id>\n" to the .stamp file.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static BOOL WINAPI on_ctrl(DWORD event) {
    (void)event;
    ExitProcess(0);
    return TRUE;
}

/* The lines, then the record of when they began and ended. */
static int lines(long count, const char *to, const char *stamp_path) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (to != NULL) {
        out = CreateFileA(to, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, NULL);
        if (out == INVALID_HANDLE_VALUE) {
            return 93;
        }
    }
    char line[101];
    memset(line, 'x', sizeof line);
    line[98] = '\r';
    line[99] = '\n';
    LARGE_INTEGER begin, end;
    QueryPerformanceCounter(&begin);
    for (long k = 1; k <= count; k++) {
        char number[16];
        int digits = snprintf(number, sizeof number, "line %08ld ", k);
        memcpy(line, number, (size_t)digits);
        DWORD written = 0;
        if (!WriteFile(out, line, 100, &written, NULL) || written != 100) {
            return 94;
        }
    }
    QueryPerformanceCounter(&end);
    if (to != NULL) {
        CloseHandle(out);
    }
    char record[96];
    int length = snprintf(record, sizeof record, "%lld %lld %lu\n", (long long)begin.QuadPart,
                          (long long)end.QuadPart, GetCurrentProcessId());
    HANDLE file = CreateFileA(stamp_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 91;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, record, (DWORD)length, &written, NULL);
    CloseHandle(file);
    return ok && written == (DWORD)length ? 0 : 92;
}

int main(int argc, char **argv) {
    SetConsoleCtrlHandler(on_ctrl, TRUE);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    char path[MAX_PATH * 4 + 8];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4) {
        return 90;
    }
    strcpy(path + n, ".stamp");
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "lines") == 0) {
        return lines(atol(argv[2]), argc == 4 ? argv[3] : NULL, path);
    }
    char record[64];
    int length = snprintf(record, sizeof record, "%lld %lu\n", (long long)now.QuadPart,
                          GetCurrentProcessId());
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 91;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, record, (DWORD)length, &written, NULL);
    CloseHandle(file);
    if (!ok || written != (DWORD)length) {
        return 92;
    }
    Sleep(INFINITE);
    return 0;
}

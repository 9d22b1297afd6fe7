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
 * "<counter before the first line> <counter after the last> <process id> <longest write>\n" to
 * the .stamp file, the longest single WriteFile in counter ticks (0 for blines).
 *
 *   bench_child blines N [FILE]
 *
 * writes the same lines as most programs do, through the C runtime: one fwrite each to stdout
 * (or to FILE) in binary mode, fully buffered in 4096 bytes for the pipe and the file alike,
 * and one fflush after the last, which the second counter reading follows.
 */
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static BOOL WINAPI on_ctrl(DWORD event) {
    (void)event;
    ExitProcess(0);
    return TRUE;
}

/* The filler of every line: 98 bytes and CR LF. */
static void blank_line(char line[101]) {
    memset(line, 'x', 101);
    line[98] = '\r';
    line[99] = '\n';
}

/* Line K of 100 bytes into `line`, made by blank_line. */
static void number_line(char *line, long k) {
    char number[16];
    int digits = snprintf(number, sizeof number, "line %08ld ", k);
    memcpy(line, number, (size_t)digits);
}

/* The record of when the lines began and ended, and the longest single write (in counter ticks,
 * 0 when not measured), in the .stamp file. */
static int stamp(LARGE_INTEGER begin, LARGE_INTEGER end, long long longest,
                 const char *stamp_path) {
    char record[96];
    int length = snprintf(record, sizeof record, "%lld %lld %lu %lld\n", (long long)begin.QuadPart,
                          (long long)end.QuadPart, GetCurrentProcessId(), longest);
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

/* The lines, one WriteFile each, then the record of when they began and ended. */
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
    blank_line(line);
    LARGE_INTEGER begin, end, before, after;
    long long longest = 0;
    QueryPerformanceCounter(&begin);
    for (long k = 1; k <= count; k++) {
        number_line(line, k);
        DWORD written = 0;
        QueryPerformanceCounter(&before);
        if (!WriteFile(out, line, 100, &written, NULL) || written != 100) {
            return 94;
        }
        QueryPerformanceCounter(&after);
        if (after.QuadPart - before.QuadPart > longest) {
            longest = after.QuadPart - before.QuadPart;
        }
    }
    QueryPerformanceCounter(&end);
    if (to != NULL) {
        CloseHandle(out);
    }
    return stamp(begin, end, longest, stamp_path);
}

/* The lines through the C runtime's buffer, then the record. */
static int buffered_lines(long count, const char *to, const char *stamp_path) {
    FILE *out = stdout;
    if (to != NULL) {
        out = fopen(to, "wb");
        if (out == NULL) {
            return 93;
        }
    } else if (_setmode(_fileno(stdout), _O_BINARY) == -1) {
        /* In text mode the runtime would turn each line's LF into CR LF after its CR. */
        return 95;
    }
    /* The runtime's own choice differs between a pipe and a file; one size makes them alike. */
    static char buffer[4096];
    if (setvbuf(out, buffer, _IOFBF, sizeof buffer) != 0) {
        return 95;
    }
    char line[101];
    blank_line(line);
    LARGE_INTEGER begin, end;
    QueryPerformanceCounter(&begin);
    for (long k = 1; k <= count; k++) {
        number_line(line, k);
        if (fwrite(line, 1, 100, out) != 100) {
            return 94;
        }
    }
    if (fflush(out) != 0) {
        return 94;
    }
    QueryPerformanceCounter(&end);
    if (to != NULL && fclose(out) != 0) {
        return 94;
    }
    return stamp(begin, end, 0, stamp_path);
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
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "blines") == 0) {
        return buffered_lines(atol(argv[2]), argc == 4 ? argv[3] : NULL, path);
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

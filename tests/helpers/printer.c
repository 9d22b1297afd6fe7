/* printer: a child that writes to its standard output and standard error, for the tests of the
 * child's output in the log.
 *
 *   printer mixed N           lines "out K" (K odd, to standard output, ended by LF) and
 *                             "err K" (K even, to standard error, ended by CR LF) for
 *                             K = 1..N, each in two writes, then exits 0
 *   printer stdin             "reading stdin", reads standard input to its end, then
 *                             "stdin eof after N bytes" and exits 0; Ctrl+C does not end it:
 *                             it says "Ctrl+C, reading on" and reads on
 *   printer forge             a line with a lone CR in it that would show the rest as a log
 *                             line of tolvard's, and a line coloured by a terminal's escape
 *                             sequences, then exits 0
 *   printer fail N            "failing run 1" and "failing run 2", then "failing run 3" with
 *                             no line end, and exits with code N
 *   printer gate FILE N TAG   "TAG ready", waits until FILE exists, then "TAG K" for
 *                             K = 1..N and "TAG done", makes the file FILE.done, and waits
 *                             to be ended
 *   printer long              lines of 995, 996, 997, 1992 and 2500 letters (a, b, c, d, e),
 *                             each ended by CR LF and written in two writes, the first of at
 *                             most 997 bytes (so a CR may come alone after 996 letters), then
 *                             exits 0
 *   printer sleep MS          waits MS milliseconds, prints nothing
 *   printer bulk N            lines of 100 bytes with LF, "bulk K" and dots, for K = 1..N, as
 *                             fast as it can (in writes of 64 KB), then exits 0
 *
 * Every line is written whole to one handle before the next is begun (in mixed, in two writes),
 * so that where both handles are one pipe the order of the lines in it is the order they were
 * written.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* END is the line end to add: "\r\n", "\n" or "". */
static int put(DWORD which, const char *text, const char *end) {
    char line[512];
    int length = snprintf(line, sizeof line, "%s%s", text, end);
    DWORD written = 0;
    return WriteFile(GetStdHandle(which), line, (DWORD)length, &written, NULL) &&
           written == (DWORD)length;
}

static int say(const char *text) {
    return put(STD_OUTPUT_HANDLE, text, "\r\n");
}

static int write_all(HANDLE to, const char *data, DWORD length) {
    DWORD written = 0;
    return WriteFile(to, data, length, &written, NULL) && written == length;
}

/* Each line goes out in two writes, split at a place that moves from line to line (between CR
 * and LF too), so that a reader that takes what is there finds lines cut anywhere. */
static int mixed(long count) {
    char line[64];
    for (long k = 1; k <= count; k++) {
        int length = snprintf(line, sizeof line, "%s %ld%s", k % 2 ? "out" : "err", k,
                              k % 2 ? "\n" : "\r\n");
        DWORD split = 1 + (DWORD)(k % (length - 1));
        HANDLE to = GetStdHandle(k % 2 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
        if (!write_all(to, line, split) || !write_all(to, line + split, (DWORD)length - split)) {
            return 3;
        }
    }
    return 0;
}

static int long_lines(void) {
    static const int lengths[] = {995, 996, 997, 1992, 2500};
    static char line[2502];
    HANDLE to = GetStdHandle(STD_OUTPUT_HANDLE);
    for (int i = 0; i < 5; i++) {
        DWORD length = (DWORD)lengths[i];
        memset(line, 'a' + i, length);
        memcpy(line + length, "\r\n", 2);
        DWORD first = length + 1 < 997 ? length + 1 : 997;
        if (!write_all(to, line, first) || !write_all(to, line + first, length + 2 - first)) {
            return 3;
        }
    }
    return 0;
}

static BOOL WINAPI read_on(DWORD event) {
    (void)event;
    say("Ctrl+C, reading on");
    return TRUE;
}

static int read_input(void) {
    SetConsoleCtrlHandler(read_on, TRUE);
    say("reading stdin");
    char buffer[4096];
    unsigned long total = 0;
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, NULL) && got > 0) {
        total += got;
    }
    char text[64];
    snprintf(text, sizeof text, "stdin eof after %lu bytes", total);
    say(text);
    return 0;
}

static int gate(const char *file, long count, const char *tag) {
    char text[300];
    snprintf(text, sizeof text, "%.200s ready", tag);
    say(text);
    while (GetFileAttributesA(file) == INVALID_FILE_ATTRIBUTES) {
        Sleep(20);
    }
    for (long k = 1; k <= count; k++) {
        snprintf(text, sizeof text, "%.200s %ld", tag, k);
        say(text);
    }
    snprintf(text, sizeof text, "%.200s done", tag);
    say(text);
    char done[MAX_PATH + 8];
    snprintf(done, sizeof done, "%.*s.done", MAX_PATH, file);
    CloseHandle(
        CreateFileA(done, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    Sleep(INFINITE);
    return 0;
}

static int bulk(long count) {
    static char buffer[65536];
    size_t used = 0;
    for (long k = 1; k <= count; k++) {
        if (used + 100 > sizeof buffer) {
            DWORD written = 0;
            if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, (DWORD)used, &written, NULL))
                return 1;
            used = 0;
        }
        int length = snprintf(buffer + used, 100, "bulk %ld ", k);
        memset(buffer + used + length, '.', 99 - (size_t)length);
        buffer[used + 99] = '\n';
        used += 100;
    }
    DWORD written = 0;
    if (used > 0 &&
        !WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, (DWORD)used, &written, NULL))
        return 1;
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "mixed") == 0) {
        return mixed(atol(argv[2]));
    }
    if (argc == 2 && strcmp(argv[1], "stdin") == 0) {
        return read_input();
    }
    if (argc == 2 && strcmp(argv[1], "forge") == 0) {
        put(STD_OUTPUT_HANDLE, "GET /x\r2026/12/08 10:17:40:Leaving MyService", "\r\n");
        put(STD_OUTPUT_HANDLE, "\x1b[31mred\x1b[0m plain\x07", "\n");
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "fail") == 0) {
        say("failing run 1");
        say("failing run 2");
        put(STD_OUTPUT_HANDLE, "failing run 3", "");
        return atoi(argv[2]);
    }
    if (argc == 5 && strcmp(argv[1], "gate") == 0) {
        return gate(argv[2], atol(argv[3]), argv[4]);
    }
    if (argc == 2 && strcmp(argv[1], "long") == 0) {
        return long_lines();
    }
    if (argc == 3 && strcmp(argv[1], "bulk") == 0) {
        return bulk(atol(argv[2]));
    }
    if (argc == 3 && strcmp(argv[1], "sleep") == 0) {
        Sleep((DWORD)atol(argv[2]));
        return 0;
    }
    fprintf(stderr,
            "usage: printer mixed N | stdin | forge | fail N | gate FILE N TAG | long | sleep MS | "
            "bulk N\n");
    return 2;
}

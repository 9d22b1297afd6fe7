/* probe: a child for the service tests.
 *
 * Writes <own exe path>.args: the ANSI code page, the command line as GetCommandLineA gives it
 * and argv as the C runtime split it, each between < and >, then a last line "end" so a reader
 * knows the record is complete. With a first argument exit:N it then exits with code N. Otherwise
 * it appends a line to <own exe path>.ticks every 200 ms, for at most 120 s, so a test can see
 * whether it still runs. Copy it to another name to get a separate record.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The C runtime must hand over the words as split, with no wildcard expansion. */
int _dowildcard = 0;

#define TICK_MS 200
#define MAX_TICKS (120 * 1000 / TICK_MS)

static char exe_path[MAX_PATH * 4];

static FILE *open_beside(const char *suffix, const char *mode) {
    char path[sizeof exe_path + 16];
    snprintf(path, sizeof path, "%s%s", exe_path, suffix);
    return fopen(path, mode);
}

int main(int argc, char **argv) {
    DWORD n = GetModuleFileNameA(NULL, exe_path, sizeof exe_path);
    if (n == 0 || n >= sizeof exe_path) {
        return 90;
    }
    FILE *rec = open_beside(".args", "wb");
    if (rec == NULL) {
        return 91;
    }
    fprintf(rec, "acp=%u\n", GetACP());
    fprintf(rec, "cmdline=<%s>\n", GetCommandLineA());
    fprintf(rec, "argc=%d\n", argc);
    for (int i = 0; i < argc; i++) {
        fprintf(rec, "argv[%d]=<%s>\n", i, argv[i]);
    }
    fprintf(rec, "end\n");
    fclose(rec);

    if (argc > 1 && strncmp(argv[1], "exit:", 5) == 0) {
        return atoi(argv[1] + 5);
    }
    for (int tick = 1; tick <= MAX_TICKS; tick++) {
        FILE *ticks = open_beside(".ticks", "ab");
        if (ticks != NULL) {
            fprintf(ticks, "tick %d\n", tick);
            fclose(ticks);
        }
        Sleep(TICK_MS);
    }
    return 0;
}

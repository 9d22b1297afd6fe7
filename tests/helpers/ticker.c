/* ticker: a sample program to run as a service. Once a second it appends a numbered line to
 * ticker.log beside its own executable, and prints it (a service host that keeps its output
 * shows it there); it stops by itself after ten minutes. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    char path[MAX_PATH + 16];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return 1;
    }
    char *name = strrchr(path, '\\');
    strcpy(name != NULL ? name + 1 : path, "ticker.log");

    for (int count = 1; count <= 600; count++) {
        FILE *log = fopen(path, "a");
        if (log == NULL) {
            return 1;
        }
        fprintf(log, "ticker: line %d\n", count);
        fclose(log);
        /* Standard output is a pipe under a service host: fully buffered unless flushed. */
        printf("ticker: line %d\n", count);
        fflush(stdout);
        Sleep(1000);
    }
    return 0;
}

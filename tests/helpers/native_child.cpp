// A child for the native process tests. It writes its argument vector, NUL-separated, to the
// file named by TOLVARD_CHILD_RECORD (if set); then "exit:N" as its first argument makes it
// exit with N, and anything else makes it wait to be killed (for at most a minute).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
    const char *record = getenv("TOLVARD_CHILD_RECORD");
    if (record != nullptr) {
        FILE *f = fopen(record, "wb");
        if (f == nullptr)
            return 99;
        for (int i = 0; i < argc; ++i)
            fwrite(argv[i], 1, strlen(argv[i]) + 1, f);
        fclose(f);
    }
    if (argc > 1 && strncmp(argv[1], "exit:", 5) == 0)
        return atoi(argv[1] + 5);
    for (int i = 0; i < 600; ++i)
        usleep(100 * 1000);
    return 0;
}

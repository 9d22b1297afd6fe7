// A child for the native process tests. It writes its argument vector, NUL-separated, to the
// file named by TOLVARD_CHILD_RECORD (if set). A first argument "spawn" starts a grandchild that
// waits to be killed (for at most a minute) and is then passed over. Then "exit:N" as the next
// argument makes it exit with N, and anything else makes it wait to be killed (at most a minute).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void wait_a_minute() {
    for (int i = 0; i < 600; ++i)
        usleep(100 * 1000);
}

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
    int next = 1;
    if (argc > next && strcmp(argv[next], "spawn") == 0) {
        ++next;
        if (fork() == 0) {
            wait_a_minute();
            _exit(0);
        }
    }
    if (argc > next && strncmp(argv[next], "exit:", 5) == 0)
        return atoi(argv[next] + 5);
    wait_a_minute();
    return 0;
}

// A child for the native process tests: [spawn] MODE.
//
// A first argument "spawn" starts a grandchild that waits to be killed (for at most a minute)
// and is then passed over. The mode:
//   exit:N   exits with N at once (once its record is written)
//   save:N   on SIGINT (the stand-in's Ctrl+C) saves for N ms, then exits 0
//   close:N  ignores SIGINT; on SIGTERM (the stand-in's WM_CLOSE) saves for N ms, then exits 0
//   ignore   ignores SIGINT and SIGTERM, and waits to be killed
//   anything else: waits to be killed; SIGINT ends it, as Ctrl+C ends a console program
// Waits last at most a minute. Once its signal handling is in place, the child writes its
// argument vector, NUL-separated, to the file named by TOLVARD_CHILD_RECORD (if set), and then
// appends what happens to the file of that name with ".events": "saving", "saved", "ignored 2"
// (SIGINT), "ignored 15" (SIGTERM). A child killed while it saves leaves "saving" alone.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>

// Counts of SIGINT and SIGTERM received, each by its own handler so none is lost.
static std::atomic<int> got_int;
static std::atomic<int> got_term;

static void on_int(int) {
    ++got_int;
}

static void on_term(int) {
    ++got_term;
}

static std::string events;

static void note(const char *line) {
    if (events.empty())
        return;
    FILE *f = fopen(events.c_str(), "ab");
    if (f != nullptr) {
        fprintf(f, "%s\n", line);
        fclose(f);
    }
}

int main(int argc, char **argv) {
    int next = 1;
    if (argc > next && strcmp(argv[next], "spawn") == 0) {
        ++next;
        if (fork() == 0) {
            for (int i = 0; i < 600; ++i)
                usleep(100 * 1000);
            _exit(0);
        }
    }
    const char *mode = argc > next ? argv[next] : "";
    int save_ms = 0;
    int save_on = 0; // the signal that asks for the save
    bool ignore = strcmp(mode, "ignore") == 0;
    if (strncmp(mode, "save:", 5) == 0) {
        save_ms = atoi(mode + 5);
        save_on = SIGINT;
    } else if (strncmp(mode, "close:", 6) == 0) {
        save_ms = atoi(mode + 6);
        save_on = SIGTERM;
    }
    if (save_on != 0 || ignore) {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        sigemptyset(&action.sa_mask);
        action.sa_handler = on_int;
        sigaction(SIGINT, &action, nullptr);
        action.sa_handler = on_term;
        sigaction(SIGTERM, &action, nullptr);
    }

    const char *record = getenv("TOLVARD_CHILD_RECORD");
    if (record != nullptr) {
        events = std::string(record) + ".events";
        FILE *f = fopen(record, "wb");
        if (f == nullptr)
            return 99;
        for (int i = 0; i < argc; ++i)
            fwrite(argv[i], 1, strlen(argv[i]) + 1, f);
        fclose(f);
    }
    if (strncmp(mode, "exit:", 5) == 0)
        return atoi(mode + 5);
    int seen_int = 0;
    int seen_term = 0;
    for (int ms = 0; ms < 60 * 1000; ++ms) {
        for (int signal : {SIGINT, SIGTERM}) {
            int now = signal == SIGINT ? got_int : got_term;
            int &seen = signal == SIGINT ? seen_int : seen_term;
            if (now == seen)
                continue;
            seen = now;
            if (signal == save_on) {
                note("saving");
                usleep(static_cast<useconds_t>(save_ms) * 1000);
                note("saved");
                return 0;
            }
            note(signal == SIGINT ? "ignored 2" : "ignored 15");
        }
        usleep(1000);
    }
    return 0;
}

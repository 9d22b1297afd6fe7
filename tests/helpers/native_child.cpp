// A child for the native process tests: [spawn] MODE.
//
// A first argument "spawn" starts a grandchild that waits to be killed (for at most a minute)
// and is then passed over. The mode:
//   exit:N   exits with N at once (once its record is written)
//   save:N   on SIGINT (the stand-in's Ctrl+C) saves for N ms, then exits 0
//   close:N  ignores SIGINT; on SIGTERM (the stand-in's WM_CLOSE) saves for N ms, then exits 0
//   ignore   ignores SIGINT and SIGTERM, and waits to be killed
//   lines:N  writes N lines, "out K\n" to fd 1 for odd K and "err K\n" to fd 2 for even K
//            (K = 1..N), then exits 0
//   text:S   writes S to fd 1 with the escapes \n \r \0 \\ and \xHH decoded, then exits 0
//   bytes:N:HH  writes N bytes of hex value HH to fd 1 in one write, then "\n", and exits 0
//   long:N   writes N bytes 'a'..'z' over and over, then "\n", to fd 1, and exits 0
//   flood:N  writes N lines of exactly 100 bytes ("%08d " numbered from 1, filler, "\n") to
//            fd 1 in big writes, and exits 0
//   flood    the same lines without end until SIGINT, then notes "wrote K" (K: the whole lines
//            written) and exits 0
//   stdin    reads fd 0 to its end, writes "eof after N bytes\n" to fd 1, notes "eof" and exits
//            0; SIGINT and SIGTERM are noted as they come ("ignored 2", "ignored 15"), and
//            it reads on
//   late:MS  starts a grandchild that keeps fds 1 and 2, writes "late\n" to fd 1 after MS ms
//            and exits; the child writes "early\n" to fd 1 and exits 0 at once
//   fds      notes "N TARGET" for each of its open descriptors (TARGET as /proc/self/fd/N
//            links to, e.g. "pipe:[1234]", "/dev/null") and exits 0
//   anything else: waits to be killed; SIGINT ends it, as Ctrl+C ends a console program
// Output goes straight to the descriptors with write(2), unbuffered. Waits last at most a minute,
// and so does a flood. Once its signal handling is in place, the child writes its
// argument vector, NUL-separated, to the file named by TOLVARD_CHILD_RECORD (if set), and then
// appends what happens to the file of that name with ".events": "saving", "saved", "ignored 2"
// (SIGINT), "ignored 15" (SIGTERM). A child killed while it saves leaves "saving" alone.
#include <dirent.h>
#include <errno.h>
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

// All of `size` bytes, unless the descriptor fails or a signal stops a write that had written
// nothing; returns how many were written.
static size_t put(int fd, const char *data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

static void put(int fd, const std::string &text) {
    put(fd, text.data(), text.size());
}

static int lines(int n) {
    for (int k = 1; k <= n; ++k)
        put(k % 2 == 1 ? 1 : 2, (k % 2 == 1 ? "out " : "err ") + std::to_string(k) + "\n");
    return 0;
}

static int text(const char *s) {
    std::string out;
    for (; *s != '\0'; ++s) {
        if (*s != '\\' || s[1] == '\0') {
            out += *s;
            continue;
        }
        char c = *++s;
        if (c == 'x' && s[1] != '\0' && s[2] != '\0') {
            out += static_cast<char>(std::stoi(std::string(s + 1, 2), nullptr, 16));
            s += 2;
            continue;
        }
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == '0' ? '\0' : c;
    }
    put(1, out);
    return 0;
}

static int repeated(const char *count_and_byte) {
    char *rest = nullptr;
    long n = strtol(count_and_byte, &rest, 10);
    char byte = static_cast<char>(strtol(*rest == ':' ? rest + 1 : rest, nullptr, 16));
    put(1, std::string(static_cast<size_t>(n), byte) + "\n");
    return 0;
}

static int long_line(long n) {
    std::string out;
    for (long i = 0; i < n; ++i)
        out += static_cast<char>('a' + i % 26);
    put(1, out + "\n");
    return 0;
}

// Lines numbered from `first` on, `count` of them, into `buffer`: each 9 bytes of number and
// blank, 90 of filler and the line end.
static void flood_lines(std::string &buffer, long first, long count) {
    static const std::string filler(90, '=');
    buffer.clear();
    char number[32];
    for (long k = first; k < first + count; ++k) {
        snprintf(number, sizeof number, "%08ld ", k);
        buffer += number;
        buffer += filler;
        buffer += '\n';
    }
}

// Up to `total` lines (0: until SIGINT), 640 to a write.
static int flood(long total) {
    const long per_write = 640;
    std::string buffer;
    size_t bytes = 0;
    alarm(60);
    for (long next = 1; total == 0 ? got_int == 0 : next <= total; next += per_write) {
        long count = total == 0 || total - next + 1 > per_write ? per_write : total - next + 1;
        flood_lines(buffer, next, count);
        // SIGINT cuts a write short (no SA_RESTART): what it wrote is counted, no more.
        size_t done = 0;
        while (done < buffer.size() && (total != 0 || got_int == 0)) {
            ssize_t n = write(1, buffer.data() + done, buffer.size() - done);
            if (n < 0 && errno != EINTR)
                return 1;
            done += n > 0 ? static_cast<size_t>(n) : 0;
        }
        bytes += done;
    }
    if (total == 0)
        note(("wrote " + std::to_string(bytes / 100)).c_str());
    return 0;
}

static int read_stdin() {
    char buffer[4096];
    long total = 0;
    int seen_int = 0;
    int seen_term = 0;
    // A signal that comes with the end may interrupt no read: it is noted before the end.
    auto note_signals = [&] {
        if (got_int != seen_int)
            note("ignored 2");
        if (got_term != seen_term)
            note("ignored 15");
        seen_int = got_int;
        seen_term = got_term;
    };
    for (ssize_t n; (n = read(0, buffer, sizeof buffer)) != 0;) {
        note_signals();
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        total += n;
    }
    note_signals();
    put(1, "eof after " + std::to_string(total) + " bytes\n");
    note("eof");
    return 0;
}

static int late(int ms) {
    if (fork() == 0) {
        usleep(static_cast<useconds_t>(ms) * 1000);
        put(1, "late\n");
        _exit(0);
    }
    put(1, "early\n");
    return 0;
}

static int list_fds() {
    std::string list;
    DIR *dir = opendir("/proc/self/fd");
    while (dirent *entry = dir != nullptr ? readdir(dir) : nullptr) {
        if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(dir))
            continue;
        char target[4096];
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        list += std::string(list.empty() ? "" : "\n") + entry->d_name + " " + target;
    }
    if (dir != nullptr)
        closedir(dir);
    note(list.c_str());
    return 0;
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
    bool flood_until_int = strcmp(mode, "flood") == 0;
    bool input = strcmp(mode, "stdin") == 0;
    if (save_on != 0 || ignore || flood_until_int || input) {
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
    if (strncmp(mode, "lines:", 6) == 0)
        return lines(atoi(mode + 6));
    if (strncmp(mode, "text:", 5) == 0)
        return text(mode + 5);
    if (strncmp(mode, "bytes:", 6) == 0)
        return repeated(mode + 6);
    if (strncmp(mode, "long:", 5) == 0)
        return long_line(atol(mode + 5));
    if (strncmp(mode, "flood:", 6) == 0)
        return flood(atol(mode + 6));
    if (flood_until_int)
        return flood(0);
    if (input)
        return read_stdin();
    if (strncmp(mode, "late:", 5) == 0)
        return late(atoi(mode + 5));
    if (strcmp(mode, "fds") == 0)
        return list_fds();
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

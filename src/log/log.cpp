#include "log/log.h"

#include "cli/args.h"
#include "platform/win.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static HANDLE log_file = INVALID_HANDLE_VALUE;
static HANDLE log_mutex;
static CRITICAL_SECTION log_lock;
[[maybe_unused]] static const bool log_lock_ready = (InitializeCriticalSection(&log_lock), true);

char *log_path(const char *name) {
    char *exe = module_file_name();
    // Cut at the last backslash, but never at the first character. The walk goes forwards so
    // that the second byte of a double-byte character (0x5C in many Shift-JIS ones) is never
    // taken for a backslash.
    char *cut = nullptr;
    for (char *p = exe; *p != '\0';
         p += IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0' ? 2 : 1) {
        if (*p == '\\' && p != exe)
            cut = p;
    }
    if (cut != nullptr)
        *cut = '\0';
    char *path = static_cast<char *>(malloc(strlen(exe) + strlen(name) + 2));
    sprintf(path, "%s\\%s", exe, name);
    free(exe);
    return path;
}

// Writes `n` as `width` decimal digits and returns the end.
static char *put_digits(char *p, int n, int width) {
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + n % 10);
        n /= 10;
    }
    return p + width;
}

void now_text(char (&text)[32]) {
    // The lines of a start come within one second, and localtime costs more than the line's
    // write (glibc reads the zone file's status each call): the text of the last second is
    // kept. msvcrt reads the time zone once per process, so a kept text is never staler than
    // a fresh one would be.
    static __time64_t kept_second = -1;
    static char kept[32] = "0000/00/00 00:00:00";
    // The 64-bit calls: the 32-bit build's time_t ends in 2038, and localtime then fails.
    __time64_t now = _time64(nullptr);
    if (now != kept_second || now < 0) {
        // localtime's result is shared; every caller holds log_lock.
        const struct tm *t = _localtime64(&now);
        if (t == nullptr || t->tm_year + 1900 < 0 || t->tm_year + 1900 > 9999) {
            strcpy(kept, "0000/00/00 00:00:00");
        } else {
            // By hand: snprintf would cost as much as the rest of the line.
            char *p = put_digits(kept, t->tm_year + 1900, 4);
            *p++ = '/';
            p = put_digits(p, t->tm_mon + 1, 2);
            *p++ = '/';
            p = put_digits(p, t->tm_mday, 2);
            *p++ = ' ';
            p = put_digits(p, t->tm_hour, 2);
            *p++ = ':';
            p = put_digits(p, t->tm_min, 2);
            *p++ = ':';
            p = put_digits(p, t->tm_sec, 2);
            *p = '\0';
        }
        kept_second = now;
    }
    memcpy(text, kept, sizeof kept);
}

// The name of the mutex through which the processes that log to `path` take turns: mutex names
// cannot hold a backslash and are limited in length, so it holds a hash of the path (without
// regard to ASCII case, as file names have none).
static void mutex_name(const char *path, char (&name)[32]) {
    uint32_t hash = 2166136261u;
    for (const char *p = path; *p != '\0'; ++p) {
        char c = *p >= 'A' && *p <= 'Z' ? static_cast<char>(*p - 'A' + 'a') : *p;
        hash = (hash ^ static_cast<BYTE>(c)) * 16777619u;
    }
    snprintf(name, sizeof name, "tolvard.log-%08lx", static_cast<unsigned long>(hash));
}

void log_open(void) {
    char *path = log_path("tolvard.log");
    // Services run by one copy of tolvard share this file, each process with a handle of its
    // own. A handle that may only append writes each line at the end the file has at that
    // moment, in one step, so the processes' lines never overwrite each other (with a file
    // position of its own, each would write over the other's lines). Such a handle cannot
    // empty the file, so a first one does that and is closed again.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    EnterCriticalSection(&log_lock);
    if (log_file != INVALID_HANDLE_VALUE)
        CloseHandle(log_file);
    log_file = CreateFileA(path, GENERIC_WRITE, share, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log_file != INVALID_HANDLE_VALUE) {
        CloseHandle(log_file);
        log_file = CreateFileA(path, FILE_APPEND_DATA, share, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    // On Windows a handle that may only append writes at the end in one step; Wine gets the
    // file's size and then writes there, and two processes may do that at once. So the
    // processes that share the log also take turns through a mutex.
    if (log_mutex != nullptr)
        CloseHandle(log_mutex);
    char name[32];
    mutex_name(path, name);
    log_mutex = CreateMutexA(nullptr, FALSE, name);
    LeaveCriticalSection(&log_lock);
    free(path);
}

static void write_line(const char *message) {
    // The time, ":" and the message with each line end as CR LF, in one write so that another
    // process's line can never land inside it.
    char line[32 + 2 * 1024];
    char time_text[32];
    EnterCriticalSection(&log_lock);
    if (log_file != INVALID_HANDLE_VALUE) {
        now_text(time_text);
        size_t length = strlen(time_text);
        memcpy(line, time_text, length);
        line[length++] = ':';
        for (const char *p = message; *p != '\0' && length < sizeof line - 1; ++p) {
            if (*p == '\n')
                line[length++] = '\r';
            line[length++] = *p;
        }
        // Another process that hangs while it holds the mutex must not stop this one: after a
        // while the line is written all the same.
        DWORD turn = log_mutex != nullptr ? WaitForSingleObject(log_mutex, 2000) : WAIT_FAILED;
        DWORD written = 0;
        WriteFile(log_file, line, static_cast<DWORD>(length), &written, nullptr);
        if (turn == WAIT_OBJECT_0 || turn == WAIT_ABANDONED)
            ReleaseMutex(log_mutex);
    }
    LeaveCriticalSection(&log_lock);
}

// Whether the one conversion in `format` is %ld, which takes a long where %d takes an int.
static bool takes_long(const char *format) {
    for (const char *p = strchr(format, '%'); p != nullptr; p = strchr(p + 2, '%')) {
        if (p[1] != '%')
            return p[strspn(p + 1, "-+ #0123456789.") + 1] == 'l';
    }
    return false;
}

void log_msg(const char *format, int value) {
    if (strlen(format) >= 1000)
        return;
    char message[1024];
    if (takes_long(format))
        snprintf(message, sizeof message, format, static_cast<long>(value));
    else
        snprintf(message, sizeof message, format, value);
    write_line(message);
}

void log_text(const char *text) {
    if (strlen(text) >= 1000)
        return;
    write_line(text);
}

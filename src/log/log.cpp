#include "log/log.h"

#include "cli/args.h"
#include "platform/win.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static FILE *log_stream;
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

void log_open(void) {
    char *path = log_path("tolvard.log");
    // A service process has no console, and under Wine its stdout has no descriptor that
    // freopen could reuse, so the log gets a stream of its own rather than reopening stdout.
    FILE *stream = _fsopen(path, "w", _SH_DENYNO);
    free(path);
    EnterCriticalSection(&log_lock);
    if (log_stream != nullptr)
        fclose(log_stream);
    log_stream = stream;
    LeaveCriticalSection(&log_lock);
}

// A line is built in one buffer, the stamp first, and reaches the stream in one fwrite: one
// formatting pass per line, as a plain fprintf would make.
const size_t stamp_length = 19;
const size_t message_room = 1024;
struct Line {
    char text[stamp_length + 1 + message_room];
};

// Stamps `line`, whose message of `length` bytes follows the stamp's place, and writes it.
static void write_line(Line &line, size_t length) {
    EnterCriticalSection(&log_lock);
    if (log_stream != nullptr) {
        char time_text[32];
        now_text(time_text);
        memcpy(line.text, time_text, stamp_length);
        line.text[stamp_length] = ':';
        fwrite(line.text, 1, stamp_length + 1 + length, log_stream);
        fflush(log_stream);
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
    Line line;
    char *message = line.text + stamp_length + 1;
    message[0] = '\0';
    if (takes_long(format))
        snprintf(message, message_room, format, static_cast<long>(value));
    else
        snprintf(message, message_room, format, value);
    write_line(line, strnlen(message, message_room));
}

void log_text(const char *text) {
    size_t length = strlen(text);
    if (length >= 1000)
        return;
    Line line;
    memcpy(line.text + stamp_length + 1, text, length);
    write_line(line, length);
}

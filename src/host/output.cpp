#include "host/output.h"

#include "host/events.h"
#include "log/log.h"
#include "platform/util.h"

#include <string.h>

static const size_t chunk = 64 * 1024;
// What one chunk can make: each byte read gives at most four bytes (a control character's
// "\xHH"; a LF gives "> " and a line end, three), and to the pending line and these come "> "
// and a line end for each piece, which is cut short at most three bytes before capture_piece so
// that no escape is cut in two; the end of the output may add a CR's escape and one more piece.
static const size_t escaped_room = capture_piece + 4 * chunk + 2;
static const size_t out_room = escaped_room + 3 * (escaped_room / (capture_piece - 3) + 2);

// What the service thread and the reader share about one child's output. The reader owns
// `pipe` and the buffers; the flags are read and written under capture_lock. Whichever of the
// two comes last frees the record: the service thread once `ended`, the reader once `abandoned`.
struct Capture {
    HANDLE pipe;
    bool reading;   // the reader waits in ReadFile for more
    bool ended;     // the reader has written its last line and lets go of the record
    bool abandoned; // the service thread no longer waits: the reader writes nothing more
    bool open;      // the pipe has not ended yet
    bool contended; // the log was not to be had at the last try, nor since contended_since
    DWORD contended_since;
    bool cr;        // a CR came last: a LF after it ends the line, anything else not
    size_t pending; // bytes of `line`: a line not yet ended, escaped as it will be written
    char line[capture_piece]; // a piece is written once the next byte would not fit
    // Bytes read and not yet made lines: from `first` to `last`.
    size_t first, last;
    char in[1024 * 1024];
    // Lines are made of `chunk` bytes of `in` at a time (see out_room).
    char out[out_room];
};

// How long the reader tries for its turn at the log before it writes all the same, as the
// log's own lines do.
static const DWORD turn_limit_ms = 2000;

// The pipe's size: what the child may write while the reader is busy writing the log.
static const DWORD pipe_size = 64 * 1024;
// How long a pipe may stay open and empty after the child's tree is gone, and how long the
// reader may take in all, before the service thread gives up on it.
static const DWORD idle_limit_ms = 1000;
static const DWORD finish_limit_ms = 10000;

static CRITICAL_SECTION capture_lock;
[[maybe_unused]] static const bool capture_lock_ready =
    (InitializeCriticalSection(&capture_lock), true);

// The service thread's: the ends it hands to the child, the end of the child's input that it
// keeps, then the reader and its record.
static HANDLE child_input = INVALID_HANDLE_VALUE;
static HANDLE child_output = INVALID_HANDLE_VALUE;
static HANDLE input_kept = INVALID_HANDLE_VALUE;
static HANDLE reader_pipe = INVALID_HANDLE_VALUE;
static HANDLE reader;
static Capture *capture;

static void close_handle(HANDLE *handle) {
    if (*handle != INVALID_HANDLE_VALUE)
        CloseHandle(*handle);
    *handle = INVALID_HANDLE_VALUE;
}

bool capture_prepare(STARTUPINFOA *startup) {
    // Windows before Vista has no list of the handles a child is to inherit: it inherits every
    // inheritable handle of its parent. So the host's own handles (the log, the job, the event)
    // are never inheritable, nor are the ends of the two pipes that the host keeps: the reader
    // would never see the output's end while the child lived, nor the child its input's end
    // while the host's copy was open in it.
    HANDLE read = INVALID_HANDLE_VALUE;
    HANDLE write = INVALID_HANDLE_VALUE;
    // The input is a pipe that nobody writes to and that stays open until the stop, as a
    // console's input stays open while nobody types: a program that reads it waits, and one
    // that takes the end of its input for the end of its parent runs on. The stop ends it,
    // which also answers a batch file's "Terminate batch job (Y/N)?" after Ctrl+C.
    bool made = CreatePipe(&child_input, &input_kept, nullptr, 0) &&
                SetHandleInformation(child_input, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) &&
                CreatePipe(&read, &write, nullptr, pipe_size) &&
                SetHandleInformation(write, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    if (!made) {
        log_msg("fail to capture the child's output error=%d\n", GetLastError());
        close_handle(&child_input);
        close_handle(&input_kept);
        close_handle(&read);
        close_handle(&write);
        return false;
    }
    child_output = write;
    reader_pipe = read;
    startup->dwFlags |= STARTF_USESTDHANDLES;
    startup->hStdInput = child_input;
    // One pipe for both, so that the child's output and errors keep their order.
    startup->hStdOutput = write;
    startup->hStdError = write;
    return true;
}

void capture_end_input() {
    close_handle(&input_kept);
}

// Moves the pending line to `out` as "> " and the line; returns the end.
static char *put_piece(Capture *c, char *out) {
    memcpy(out, "> ", 2);
    memcpy(out + 2, c->line, c->pending);
    out[2 + c->pending] = '\n';
    out += 3 + c->pending;
    c->pending = 0;
    return out;
}

// Adds `text` to the pending line, first writing that out as a piece if `text` would not fit.
static char *put_text(Capture *c, char *out, const char *text, size_t length) {
    if (c->pending + length > capture_piece)
        out = put_piece(c, out);
    memcpy(c->line + c->pending, text, length);
    c->pending += length;
    return out;
}

// Adds one byte of the child's, which ends no line, to the pending line. A log line is text
// that no viewer may break or colour, so a control character (but TAB) is written escaped: a
// lone CR would show what follows it as a line of its own, a host line forged by the child.
static char *put_byte(Capture *c, char *out, char byte) {
    unsigned char b = static_cast<unsigned char>(byte);
    if (b == '\r')
        return put_text(c, out, "\\r", 2);
    if ((b < 0x20 && b != '\t') || b == 0x7f) {
        static const char digits[] = "0123456789ABCDEF";
        const char escape[4] = {'\\', 'x', digits[b >> 4], digits[b & 15]};
        return put_text(c, out, escape, 4);
    }
    return put_text(c, out, &byte, 1);
}

// Turns the next chunk of bytes read into whole log lines at c->out; returns their length.
// LF or CR LF ends a line; NUL is left out, even between a CR and its LF.
static size_t split_lines(Capture *c) {
    size_t size = c->last - c->first < chunk ? c->last - c->first : chunk;
    const char *in = c->in + c->first;
    c->first += size;
    char *out = c->out;
    for (size_t i = 0; i < size; ++i) {
        char byte = in[i];
        if (byte == '\0')
            continue;
        if (byte == '\n') {
            c->cr = false;
            out = put_piece(c, out);
            continue;
        }
        // A CR waits for the next byte: only if it is not a LF is the CR part of the line.
        if (c->cr)
            out = put_byte(c, out, '\r');
        c->cr = byte == '\r';
        if (!c->cr)
            out = put_byte(c, out, byte);
    }
    return static_cast<size_t>(out - c->out);
}

// The last line, without an end, once the output has ended (a CR there ends no line); returns
// the length of what it put at c->out.
static size_t last_line(Capture *c) {
    char *out = c->out;
    if (c->cr)
        out = put_byte(c, out, '\r');
    c->cr = false;
    if (c->pending > 0)
        out = put_piece(c, out);
    return static_cast<size_t>(out - c->out);
}

// Reads what the pipe holds into the room left in c->in, without waiting; returns whether it
// read anything. While the reader waits for the log, this keeps the child's writes going.
static bool drain(Capture *c) {
    DWORD available = 0;
    if (!c->open || !PeekNamedPipe(c->pipe, nullptr, 0, nullptr, &available, nullptr) ||
        available == 0)
        return false;
    if (c->first > 0 && sizeof c->in - c->last < available) {
        memmove(c->in, c->in + c->first, c->last - c->first);
        c->last -= c->first;
        c->first = 0;
    }
    DWORD room = static_cast<DWORD>(sizeof c->in - c->last);
    DWORD got = 0;
    if (room == 0 ||
        !ReadFile(c->pipe, c->in + c->last, available < room ? available : room, &got, nullptr))
        return false;
    c->last += got;
    return got > 0;
}

// Writes the lines unless the service thread has stopped waiting for them: from then on the
// service may have reported its end, and nothing may follow in the log. While another thread
// or process has the log, the pipe is drained meanwhile; once the log has been held for
// turn_limit_ms, the lines are written all the same, and so are the next batches for as long
// as it stays held, each after one try.
static void write_out(Capture *c, size_t length) {
    for (;;) {
        EnterCriticalSection(&capture_lock);
        bool done = c->abandoned || length == 0 || log_lines(c->out, length, false);
        if (done) {
            c->contended = false;
        } else {
            if (!c->contended)
                c->contended_since = GetTickCount();
            c->contended = true;
            done = GetTickCount() - c->contended_since >= turn_limit_ms &&
                   log_lines(c->out, length, true);
        }
        LeaveCriticalSection(&capture_lock);
        if (done)
            return;
        if (!drain(c))
            Sleep(1);
    }
}

static DWORD WINAPI read_output(LPVOID data) {
    Capture *c = static_cast<Capture *>(data);
    while (c->open || c->first < c->last) {
        if (c->first == c->last) {
            c->first = c->last = 0;
            EnterCriticalSection(&capture_lock);
            c->reading = true;
            LeaveCriticalSection(&capture_lock);
            DWORD got = 0;
            // ERROR_BROKEN_PIPE: every write end is closed. A write of no bytes reads as none.
            c->open = ReadFile(c->pipe, c->in, chunk, &got, nullptr) != FALSE;
            c->last = got;
            EnterCriticalSection(&capture_lock);
            c->reading = false;
            LeaveCriticalSection(&capture_lock);
            continue;
        }
        write_out(c, split_lines(c));
    }
    write_out(c, last_line(c));
    CloseHandle(c->pipe);
    EnterCriticalSection(&capture_lock);
    bool abandoned = c->abandoned;
    c->ended = true;
    LeaveCriticalSection(&capture_lock);
    if (abandoned)
        heap_free(c);
    return 0;
}

void capture_start(bool started) {
    // The child has its copies now; the host's would keep the pipe open after the child's end.
    close_handle(&child_input);
    close_handle(&child_output);
    if (!started)
        capture_end_input();
    if (reader_pipe == INVALID_HANDLE_VALUE)
        return;
    capture = started ? static_cast<Capture *>(heap_alloc(sizeof *capture)) : nullptr;
    if (capture != nullptr) {
        capture->pipe = reader_pipe;
        capture->reading = capture->ended = capture->abandoned = false;
        capture->open = true;
        capture->contended = capture->cr = false;
        capture->contended_since = 0;
        capture->pending = capture->first = capture->last = 0;
        reader = CreateThread(nullptr, 0, read_output, capture, 0, nullptr);
    }
    if (started && reader == nullptr) {
        log_msg("fail to capture the child's output error=%d\n",
                capture == nullptr ? ERROR_NOT_ENOUGH_MEMORY : GetLastError());
        heap_free(capture);
        capture = nullptr;
    }
    if (reader == nullptr)
        CloseHandle(reader_pipe);
    reader_pipe = INVALID_HANDLE_VALUE;
}

void capture_finish(void (*tick)(void)) {
    if (reader == nullptr)
        return;
    DWORD begin = GetTickCount();
    DWORD last_tick = begin;
    DWORD idle_since = begin;
    bool ended = false;
    for (;;) {
        ended = WaitForSingleObject(reader, 50) == WAIT_OBJECT_0;
        DWORD now = GetTickCount();
        EnterCriticalSection(&capture_lock);
        ended = ended || capture->ended;
        if (!capture->reading)
            idle_since = now;
        bool give_up =
            !ended && (now - idle_since >= idle_limit_ms || now - begin >= finish_limit_ms);
        capture->abandoned = give_up;
        LeaveCriticalSection(&capture_lock);
        if (ended || give_up)
            break;
        if (now - last_tick >= 1000) {
            last_tick = now;
            tick();
        }
    }
    if (ended) {
        heap_free(capture);
    } else {
        log_msg("child output still open after stop\n", 0);
        event_output_still_open();
    }
    CloseHandle(reader);
    reader = nullptr;
    capture = nullptr;
}

#include "host/output.h"

#include "host/events.h"
#include "log/log.h"
#include "platform/util.h"

#include <string.h>

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
    size_t pending;               // bytes of `line`: a line not yet ended
    char line[capture_piece + 1]; // a full piece may be followed by a CR that ends it
    // Bytes read and not yet made lines: from `first` to `last`.
    size_t first, last;
    char in[1024 * 1024];
    // Lines are made of `chunk` bytes of `in` at a time. Each byte gives at most three (an empty
    // line is "> " and its end), and a pending line at most two pieces and their six more.
    char out[3 * 64 * 1024 + 2 * capture_piece + 6];
};

static const size_t chunk = 64 * 1024;
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

// The service thread's: the ends it hands to the child, then the reader and its record.
static HANDLE child_input = INVALID_HANDLE_VALUE;
static HANDLE child_output = INVALID_HANDLE_VALUE;
static HANDLE reader_pipe = INVALID_HANDLE_VALUE;
static HANDLE reader;
static Capture *capture;

static void close_ends() {
    if (child_input != INVALID_HANDLE_VALUE)
        CloseHandle(child_input);
    if (child_output != INVALID_HANDLE_VALUE)
        CloseHandle(child_output);
    child_input = child_output = INVALID_HANDLE_VALUE;
}

bool capture_prepare(STARTUPINFOA *startup) {
    // Windows before Vista has no list of the handles a child is to inherit: it inherits every
    // inheritable handle of its parent. So the host's own handles (the log, the job, the event)
    // are never inheritable, and the pipe's read end is made so too, or the reader would never
    // see the pipe's end while the child lived.
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read = INVALID_HANDLE_VALUE;
    HANDLE write = INVALID_HANDLE_VALUE;
    if (!CreatePipe(&read, &write, nullptr, pipe_size)) {
        log_msg("fail to capture the child's output error=%d\n", GetLastError());
        return false;
    }
    child_output = write;
    reader_pipe = read;
    // The input is the NUL device, which gives end of file at once: nothing of the child can
    // wait for ever on console input nobody will type, such as a batch file's "Terminate batch
    // job (Y/N)?" after Ctrl+C.
    child_input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (child_input == INVALID_HANDLE_VALUE ||
        !SetHandleInformation(write, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        log_msg("fail to capture the child's output error=%d\n", GetLastError());
        close_ends();
        CloseHandle(reader_pipe);
        reader_pipe = INVALID_HANDLE_VALUE;
        return false;
    }
    startup->dwFlags |= STARTF_USESTDHANDLES;
    startup->hStdInput = child_input;
    // One pipe for both, so that the child's output and errors keep their order.
    startup->hStdOutput = write;
    startup->hStdError = write;
    return true;
}

// Moves the pending line, or as much of it as one log line takes, to `out` as "> " and the
// line; returns the end. A CR that may yet begin a CR LF stays pending.
static char *put_piece(Capture *c, char *out, bool whole) {
    size_t length = c->pending;
    if (!whole && length > 0 && c->line[length - 1] == '\r')
        --length;
    memcpy(out, "> ", 2);
    memcpy(out + 2, c->line, length);
    out[2 + length] = '\n';
    memmove(c->line, c->line + length, c->pending - length);
    c->pending -= length;
    return out + 3 + length;
}

// Turns the next chunk of bytes read into whole log lines at c->out; returns their length.
static size_t split_lines(Capture *c) {
    size_t size = c->last - c->first < chunk ? c->last - c->first : chunk;
    const char *in = c->in + c->first;
    c->first += size;
    char *out = c->out;
    for (size_t i = 0; i < size; ++i) {
        char byte = in[i];
        if (byte == '\n') {
            if (c->pending > 0 && c->line[c->pending - 1] == '\r')
                --c->pending;
            out = put_piece(c, out, true);
        } else if (byte != '\0') {
            // A CR after a full piece waits for the next byte: CR LF would end the line there.
            if (c->pending > capture_piece || (c->pending == capture_piece && byte != '\r'))
                out = put_piece(c, out, false);
            c->line[c->pending++] = byte;
        }
    }
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
    if (c->pending > 0) {
        char *end = c->out;
        if (c->pending > capture_piece)
            end = put_piece(c, end, false);
        end = put_piece(c, end, true);
        write_out(c, static_cast<size_t>(end - c->out));
    }
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
    close_ends();
    if (reader_pipe == INVALID_HANDLE_VALUE)
        return;
    capture = started ? static_cast<Capture *>(heap_alloc(sizeof *capture)) : nullptr;
    if (capture != nullptr) {
        capture->pipe = reader_pipe;
        capture->reading = capture->ended = capture->abandoned = false;
        capture->open = true;
        capture->contended = false;
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

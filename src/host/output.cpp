#include "host/output.h"

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
    size_t pending; // bytes of `line`: a line not yet ended
    char line[capture_piece + 1]; // a full piece may be followed by a CR that ends it
    char in[64 * 1024];
    // Each byte read gives at most three (an empty line is "> " and its end), and a pending
    // line at most two pieces and their six more.
    char out[3 * 64 * 1024 + 2 * capture_piece + 6];
};

// The pipe's size: what the child may write while the reader waits for its turn at the log.
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

// Turns `size` bytes read into whole log lines at c->out; returns their length.
static size_t split_lines(Capture *c, DWORD size) {
    char *out = c->out;
    for (DWORD i = 0; i < size; ++i) {
        char byte = c->in[i];
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

// Writes the lines unless the service thread has stopped waiting for them: from then on the
// service may have reported its end, and nothing may follow in the log.
static void write_out(Capture *c, size_t length) {
    EnterCriticalSection(&capture_lock);
    if (!c->abandoned && length > 0)
        log_lines(c->out, length);
    LeaveCriticalSection(&capture_lock);
}

static DWORD WINAPI read_output(LPVOID data) {
    Capture *c = static_cast<Capture *>(data);
    for (;;) {
        EnterCriticalSection(&capture_lock);
        c->reading = true;
        LeaveCriticalSection(&capture_lock);
        DWORD got = 0;
        BOOL read = ReadFile(c->pipe, c->in, sizeof c->in, &got, nullptr);
        EnterCriticalSection(&capture_lock);
        c->reading = false;
        LeaveCriticalSection(&capture_lock);
        // ERROR_BROKEN_PIPE: every write end is closed. A write of no bytes reads as none.
        if (!read)
            break;
        write_out(c, split_lines(c, got));
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
        capture->pending = 0;
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
    if (ended)
        heap_free(capture);
    else
        log_msg("child output still open after stop\n", 0);
    CloseHandle(reader);
    reader = nullptr;
    capture = nullptr;
}

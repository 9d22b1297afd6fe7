#include "host/events.h"

#include "log/log.h"
#include "platform/util.h"

#include <stdio.h>
#include <string.h>

const EventKind event_kinds[] = {
    {event_id_child_started, EVENTLOG_INFORMATION_TYPE, 4},
    {event_id_stopped_on_request, EVENTLOG_INFORMATION_TYPE, 3},
    {event_id_child_ended_ok, EVENTLOG_INFORMATION_TYPE, 2},
    {event_id_child_killed, EVENTLOG_WARNING_TYPE, 3},
    {event_id_log_elsewhere, EVENTLOG_WARNING_TYPE, 5},
    {event_id_log_lost, EVENTLOG_WARNING_TYPE, 4},
    {event_id_old_log_lost, EVENTLOG_WARNING_TYPE, 4},
    {event_id_output_held, EVENTLOG_WARNING_TYPE, 2},
    {event_id_child_not_started, EVENTLOG_ERROR_TYPE, 5},
    {event_id_child_failed, EVENTLOG_ERROR_TYPE, 3},
};
const size_t event_kind_count = sizeof event_kinds / sizeof event_kinds[0];

// A service that a restart policy starts again and again would otherwise fill the Event Log:
// at most one event a second for each service, across its processes. The earliest tick of the
// service's next event is kept in its own registry key (which goes with the service), with the
// number of events left out that no event has told yet.
static const char event_source[] = "tolvard";
static const char slot_value[] = "NextEventTick";
static const char left_out_value[] = "EventsLeftOut";
static const DWORD event_interval_ms = 1000;
static const DWORD latest_slot_ms = 2000;
// At its end a process waits this long at most for the second of its own last event to pass,
// and this long in all for its writer, so that the last event of a short run is not lost.
static const DWORD finish_hold_ms = 1000;
static const DWORD finish_wait_ms = 2000;
// A command may be 32767 characters; the Event Log takes at most 31839 in a string.
static const size_t string_limit = 2048;
static const int queue_room = 8;
static const int most_data = 3;

struct Pending {
    DWORD id;
    int count;
    char *data[most_data];
    DWORD system_error; // an error whose system text follows data[0], or 0
    // The child's start waits for the first second of the run: a child that ends sooner gives
    // one event, its end, which replaces the start without leaving anything out.
    bool folds;
    DWORD not_before;
};

// The queue between the event functions and the writer, under events_lock. Nobody waits while
// holding it, and the writer reports its events without it.
static CRITICAL_SECTION events_lock;
[[maybe_unused]] static const bool events_lock_ready =
    (InitializeCriticalSection(&events_lock), true);
static struct {
    bool open;
    bool started;
    bool finishing;
    bool writer_failed;
    char service[260];
    Pending queue[queue_room];
    int first;
    int count;
    bool child_started; // told this run
    bool stop_told;     // the child's end by a stop, told this run
    HANDLE thread;
    HANDLE wake; // a semaphore, one count per event queued, and one for the end
    DWORD left_out;
    DWORD failures;
    DWORD first_error;
} events;

static const EventKind *kind_of(DWORD id) {
    for (const EventKind &kind : event_kinds) {
        if (kind.id == id)
            return &kind;
    }
    return nullptr;
}

static void release(Pending *pending) {
    for (int i = 0; i < pending->count; ++i)
        heap_free(pending->data[i]);
    pending->count = 0;
}

// Lock held.
static void count_failure(DWORD error) {
    if (events.failures++ == 0)
        events.first_error = error != 0 ? error : ERROR_GEN_FAILURE;
}

static void add_left_out(DWORD count) {
    EnterCriticalSection(&events_lock);
    events.left_out += count;
    LeaveCriticalSection(&events_lock);
}

DWORD event_slot_wait(DWORD slot, DWORD now) {
    DWORD ahead = slot - now;
    return ahead <= latest_slot_ms ? ahead : 0;
}

// --- The writer ---

// The writer's hold on the service's bound: the service's key (null without one: the bound is
// then this process's alone) and the slot this process set last.
struct Bound {
    HKEY key;
    DWORD slot; // without a key
    bool slot_set;
    DWORD own_slot;
    bool wrote;
};

static DWORD read_value(HKEY key, const char *name, DWORD fallback) {
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return fallback;
    return value;
}

static void write_value(HKEY key, const char *name, DWORD value) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
}

static DWORD current_slot(const Bound *bound, DWORD now) {
    if (bound->key != nullptr)
        return read_value(bound->key, slot_value, now);
    return bound->slot_set ? bound->slot : now;
}

static void set_slot(Bound *bound, DWORD slot) {
    if (bound->key != nullptr)
        write_value(bound->key, slot_value, slot);
    bound->slot = slot;
    bound->slot_set = true;
}

// The system's text for `error` on one line, into `text`.
static void system_text(DWORD error, char (&text)[512]) {
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    if (length == 0 || length >= sizeof text)
        length = static_cast<DWORD>(strlen(strcpy(text, "no text for this error")));
    text[length] = '\0';
    for (char *p = text; *p != '\0'; ++p)
        *p = *p == '\r' || *p == '\n' ? ' ' : *p;
    while (length > 0 && text[length - 1] == ' ')
        text[--length] = '\0';
}

// Reports one event, with the note of the events left out before it, and takes the next second
// of the service for it.
static void report(const char *service, HANDLE *source, Bound *bound, const Pending *pending) {
    const EventKind *kind = kind_of(pending->id);
    const char *strings[most_data + 3];
    char text[512];
    WORD count = 0;
    strings[count++] = service;
    for (int i = 0; i < pending->count; ++i) {
        strings[count++] = pending->data[i];
        if (i == 0 && pending->system_error != 0) {
            system_text(pending->system_error, text);
            strings[count++] = text;
        }
    }
    DWORD stored = bound->key != nullptr ? read_value(bound->key, left_out_value, 0) : 0;
    EnterCriticalSection(&events_lock);
    DWORD left_out = stored + events.left_out;
    events.left_out = 0;
    LeaveCriticalSection(&events_lock);
    char note[160] = "";
    if (left_out == 1)
        strcpy(note, "1 earlier event of this service was left out: tolvard writes at most one "
                     "event a second for each service.");
    else if (left_out > 1)
        snprintf(note, sizeof note,
                 "%lu earlier events of this service were left out: tolvard writes at most one "
                 "event a second for each service.",
                 static_cast<unsigned long>(left_out));
    strings[count++] = note;

    if (*source == nullptr)
        *source = RegisterEventSourceA(nullptr, event_source);
    bool reported =
        *source != nullptr && kind != nullptr &&
        ReportEventA(*source, kind->type, 0, pending->id, nullptr, count, 0, strings, nullptr);
    DWORD error = reported ? 0 : GetLastError();
    DWORD now = GetTickCount();
    set_slot(bound, now + event_interval_ms);
    bound->own_slot = now + event_interval_ms;
    bound->wrote = true;
    EnterCriticalSection(&events_lock);
    if (!reported) {
        count_failure(error);
        // Not told: the next event tells them.
        events.left_out += left_out - stored;
    }
    LeaveCriticalSection(&events_lock);
    if (stored != 0 && reported)
        write_value(bound->key, left_out_value, 0);
}

// At the end: the event held back is reported if its second comes soon and follows this
// process's own last event (a start waits no longer); one held back by another process's event
// (a restart loop) is left out, so that a run never waits for its predecessors.
static void finish_held(const char *service, HANDLE *source, Bound *bound, const Pending *pending) {
    DWORD now = GetTickCount();
    DWORD slot = current_slot(bound, now);
    DWORD wait = event_slot_wait(slot, now);
    if (wait > 0 && bound->wrote && slot == bound->own_slot && wait <= finish_hold_ms) {
        // Taken before the wait, so that a process that starts meanwhile waits for the next.
        set_slot(bound, slot + event_interval_ms);
        Sleep(wait);
        wait = 0;
    }
    if (wait == 0)
        report(service, source, bound, pending);
    else
        add_left_out(1);
}

static HKEY open_parameters(const char *service) {
    char path[320];
    snprintf(path, sizeof path, "SYSTEM\\CurrentControlSet\\Services\\%s\\Parameters", service);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

// The writer thread: reports each event once the service's second has come, holding back the
// newest one meanwhile (a newer one replaces it, and it is left out).
static DWORD WINAPI write_events(LPVOID) {
    char service[sizeof events.service];
    EnterCriticalSection(&events_lock);
    memcpy(service, events.service, sizeof service);
    HANDLE wake = events.wake;
    LeaveCriticalSection(&events_lock);
    Bound bound = {open_parameters(service), 0, false, 0, false};
    HANDLE source = nullptr;
    Pending held = {0, 0, {}, 0, false, 0};
    bool holding = false;
    for (;;) {
        Pending next = {0, 0, {}, 0, false, 0};
        EnterCriticalSection(&events_lock);
        bool got = events.count > 0;
        if (got) {
            next = events.queue[events.first];
            events.first = (events.first + 1) % queue_room;
            --events.count;
        }
        bool finishing = events.finishing;
        LeaveCriticalSection(&events_lock);
        if (got) {
            if (holding) {
                release(&held);
                if (!held.folds)
                    add_left_out(1);
            }
            held = next;
            holding = true;
        }
        DWORD wait = INFINITE;
        if (holding) {
            DWORD now = GetTickCount();
            wait = event_slot_wait(current_slot(&bound, now), now);
            DWORD deferred = held.folds ? event_slot_wait(held.not_before, now) : 0;
            wait = wait > deferred ? wait : deferred;
            if (wait == 0) {
                report(service, &source, &bound, &held);
                release(&held);
                holding = false;
                continue;
            }
        }
        if (got)
            continue;
        // A wait that fails leaves no way to hear of the end: the run ends here.
        if (finishing || WaitForSingleObject(wake, wait) == WAIT_FAILED)
            break;
    }
    if (holding) {
        finish_held(service, &source, &bound, &held);
        release(&held);
    }
    EnterCriticalSection(&events_lock);
    DWORD left_out = events.left_out;
    events.left_out = 0;
    LeaveCriticalSection(&events_lock);
    if (bound.key != nullptr) {
        if (left_out != 0)
            write_value(bound.key, left_out_value,
                        read_value(bound.key, left_out_value, 0) + left_out);
        RegCloseKey(bound.key);
    }
    if (source != nullptr)
        DeregisterEventSource(source);
    return 0;
}

// Makes the writer if there is none yet and wakes it; lock held.
static void wake_writer() {
    if (!events.started || events.writer_failed)
        return;
    if (events.thread == nullptr) {
        events.wake = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
        if (events.wake != nullptr)
            events.thread = CreateThread(nullptr, 0, write_events, nullptr, 0, nullptr);
        if (events.thread == nullptr) {
            count_failure(GetLastError());
            events.writer_failed = true;
            if (events.wake != nullptr)
                CloseHandle(events.wake);
            events.wake = nullptr;
            return;
        }
    }
    ReleaseSemaphore(events.wake, 1, nullptr);
}

// Queues an event with its strings (the service's name and the note come at the writer); one
// that finds no room or memory is left out.
static void put(DWORD id, int count, const char *const *data, DWORD system_error,
                bool folds = false) {
    Pending pending = {id,           0,     {},
                       system_error, folds, folds ? GetTickCount() + event_interval_ms : 0};
    EnterCriticalSection(&events_lock);
    if (!events.open || events.finishing) {
        LeaveCriticalSection(&events_lock);
        return;
    }
    bool whole = true;
    for (int i = 0; i < count; ++i) {
        char *copy = heap_copy_cut(data[i] != nullptr ? data[i] : "", string_limit);
        if (copy == nullptr) {
            whole = false;
            continue;
        }
        // The child command's words each end in a blank, the last one too.
        for (size_t length = strlen(copy); length > 0 && copy[length - 1] == ' ';)
            copy[--length] = '\0';
        pending.data[pending.count++] = copy;
    }
    if (!whole || events.count == queue_room) {
        release(&pending);
        ++events.left_out;
    } else {
        events.queue[(events.first + events.count) % queue_room] = pending;
        ++events.count;
        wake_writer();
    }
    LeaveCriticalSection(&events_lock);
}

void events_open(void) {
    EnterCriticalSection(&events_lock);
    for (int i = 0; i < events.count; ++i)
        release(&events.queue[(events.first + i) % queue_room]);
    events.open = true;
    events.started = false;
    events.finishing = false;
    events.writer_failed = false;
    events.child_started = false;
    events.stop_told = false;
    events.service[0] = '\0';
    events.first = 0;
    events.count = 0;
    events.thread = nullptr;
    events.wake = nullptr;
    events.left_out = 0;
    events.failures = 0;
    events.first_error = 0;
    LeaveCriticalSection(&events_lock);
}

void events_start(const char *service) {
    EnterCriticalSection(&events_lock);
    if (events.open && !events.started) {
        snprintf(events.service, sizeof events.service, "%s", service);
        events.started = true;
        // What came before the start (the log's troubles) goes now.
        if (events.count > 0)
            wake_writer();
    }
    LeaveCriticalSection(&events_lock);
}

void events_finish(void) {
    EnterCriticalSection(&events_lock);
    if (!events.open) {
        LeaveCriticalSection(&events_lock);
        return;
    }
    events.finishing = true;
    HANDLE thread = events.thread;
    if (thread != nullptr)
        ReleaseSemaphore(events.wake, 1, nullptr);
    LeaveCriticalSection(&events_lock);
    bool ended = thread == nullptr || WaitForSingleObject(thread, finish_wait_ms) == WAIT_OBJECT_0;
    EnterCriticalSection(&events_lock);
    // A writer that has not ended in time waits for the event log service, which does not
    // answer: what it holds goes with the process. Without a writer (it could not be made, a
    // failure counted then, or the service never started) the queue goes too.
    if (!ended)
        count_failure(WAIT_TIMEOUT);
    for (int i = 0; i < events.count; ++i)
        release(&events.queue[(events.first + i) % queue_room]);
    events.count = 0;
    // A writer still running keeps its handles; the process ends soon after.
    if (ended && thread != nullptr) {
        CloseHandle(thread);
        CloseHandle(events.wake);
    }
    events.thread = nullptr;
    events.wake = nullptr;
    events.open = false;
    DWORD error = events.failures != 0 ? events.first_error : 0;
    LeaveCriticalSection(&events_lock);
    if (error != 0)
        log_msg("fail to write events to the Event Log error=%d\n", static_cast<int>(error));
}

// Notes what the run has told of the child, for event_stopped; `flag` is one of the two.
static void note_told(bool *flag) {
    EnterCriticalSection(&events_lock);
    *flag = true;
    LeaveCriticalSection(&events_lock);
}

static bool told(const bool *flag) {
    EnterCriticalSection(&events_lock);
    bool was = *flag;
    LeaveCriticalSection(&events_lock);
    return was;
}

void event_child_started(DWORD pid, const char *command) {
    note_told(&events.child_started);
    char number[16];
    snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(pid));
    const char *data[] = {number, command};
    put(event_id_child_started, 2, data, 0, true);
}

void event_child_not_started(DWORD error, const char *command) {
    char number[16];
    snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(error));
    const char *data[] = {number, command};
    put(event_id_child_not_started, 2, data, error);
}

void event_stopped_on_request(DWORD ms) {
    note_told(&events.stop_told);
    char number[16];
    snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(ms));
    const char *data[] = {number};
    put(event_id_stopped_on_request, 1, data, 0);
}

void event_child_killed(DWORD grace_ms) {
    note_told(&events.stop_told);
    char number[16];
    snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(grace_ms));
    const char *data[] = {number};
    put(event_id_child_killed, 1, data, 0);
}

void event_stopped(DWORD exit_code, DWORD service_exit_code) {
    if (!told(&events.child_started) || told(&events.stop_told))
        return;
    if (exit_code == 0) {
        put(event_id_child_ended_ok, 0, nullptr, 0);
    } else if (exit_code == ERROR_SERVICE_SPECIFIC_ERROR) {
        char number[16];
        snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(service_exit_code));
        const char *data[] = {number};
        put(event_id_child_failed, 1, data, 0);
    }
}

void event_log_not_opened(DWORD error, const char *fallback) {
    char number[16];
    snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(error));
    char *log = log_path("tolvard.log");
    char *other = fallback != nullptr ? log_path(fallback) : nullptr;
    const char *data[] = {log, number, other};
    if (fallback != nullptr)
        put(event_id_log_elsewhere, 3, data, 0);
    else
        put(event_id_log_lost, 2, data, 0);
    heap_free(log);
    heap_free(other);
}

// The full path of `name` in the folder "logs", in a new heap text; nullptr without memory.
static char *logs_path(const char *name, const char *extension) {
    char *logs = log_path("logs");
    char *path =
        logs != nullptr
            ? static_cast<char *>(heap_alloc(strlen(logs) + strlen(name) + strlen(extension) + 2))
            : nullptr;
    if (path != nullptr)
        sprintf(path, "%s\\%s%s", logs, name, extension);
    heap_free(logs);
    return path;
}

void event_service_log_not_opened(const char *name, DWORD error, const char *fallback) {
    char number[16];
    snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(error));
    char *log = name != nullptr ? logs_path(name, ".log") : nullptr;
    char *other = fallback != nullptr ? logs_path(fallback, "") : log_path("tolvard.log");
    const char *data[] = {log != nullptr ? log : "logs", number, other};
    if (other != nullptr)
        put(event_id_log_elsewhere, 3, data, 0);
    else
        put(event_id_log_lost, 2, data, 0);
    heap_free(log);
    heap_free(other);
}

void event_old_log_not_kept(DWORD error) {
    char number[16];
    snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(error));
    char *old = log_path("tolvard.old.log");
    const char *data[] = {old, number};
    put(event_id_old_log_lost, 2, data, 0);
    heap_free(old);
}

void event_output_still_open(void) {
    put(event_id_output_held, 0, nullptr, 0);
}

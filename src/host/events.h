// The service's entries in the Windows Event Log: the event source "tolvard" of the Application
// log, whose message file holds the texts (src/res/messages.mc). The event functions only queue
// the event and never wait; a writer thread of their own reports them, at most one a second for
// each service, across the processes of the service too.
#pragma once

#include "platform/win.h"

#include <stddef.h>

/// The events' IDs, as the message table holds them: 1xx information, 2xx warnings, 3xx errors.
enum : DWORD {
    event_id_child_started = 101,
    event_id_stopped_on_request = 102,
    event_id_child_ended_ok = 103,
    event_id_child_killed = 201,
    event_id_log_elsewhere = 202,
    event_id_log_lost = 203,
    event_id_old_log_lost = 204,
    event_id_output_held = 205,
    event_id_child_not_started = 301,
    event_id_child_failed = 302,
};

/// One kind of event: its ID, its type (EVENTLOG_INFORMATION_TYPE, ...), and how many insertion
/// strings it carries, the service's name first and the note of the events left out last.
struct EventKind {
    DWORD id;
    WORD type;
    int strings;
};
extern const EventKind event_kinds[];
extern const size_t event_kind_count;

/// Starts a run of the host: forgets what an earlier run left, and from now on queues the events
/// (until events_start there is no writer: the events wait in the queue).
void events_open(void);

/// The service control manager started the service `service`: the events name it, and its
/// writer thread starts with the first event.
void events_start(const char *service);

/// After the stopped report and the run's last log line: gives the writer 2 s at most to report
/// what is due (an event held back by this process's own event of the last second included),
/// then ends it. What it cannot report is left out and counted for the service's next event.
/// Logs "fail to write events to the Event Log error=N" if a report failed or the writer did
/// not end in time. Nothing is reported of a run that was never started (a console run).
void events_finish(void);

/// Information: the child started, with its process id and command (cut at 2048 bytes). Told
/// once the child has run a second: the end of a child that ends sooner replaces it.
void event_child_started(DWORD pid, const char *command);

/// Error: the child could not be started: the error, the system's text for it and the command.
void event_child_not_started(DWORD error, const char *command);

/// Information: a stop was asked for and the child ended on its own `ms` after it was asked.
void event_stopped_on_request(DWORD ms);

/// Warning: a stop was asked for and the child was killed after the grace time `grace_ms`.
void event_child_killed(DWORD grace_ms);

/// At the stopped report, with its exit codes: for a child that started and was not ended by a
/// stop (those two above tell that), information for one that ended with exit code 0
/// (`exit_code` 0), an error for one that ended with another code (`exit_code`
/// ERROR_SERVICE_SPECIFIC_ERROR, the code in `service_exit_code`); any other exit code was told
/// where it came from, and a run without a child tells nothing here.
void event_stopped(DWORD exit_code, DWORD service_exit_code);

/// Warning: tolvard.log could not be opened (`error`); this run logs to the file `fallback`
/// beside it, or, with `fallback` nullptr, nowhere.
void event_log_not_opened(DWORD error, const char *fallback);

/// Warning: the service's log logs\\`name`.log could not be opened (`error`); this run logs to
/// the file logs\\`fallback`, or, with `fallback` nullptr, to tolvard.log. A null `name` is a
/// lack of memory.
void event_service_log_not_opened(const char *name, DWORD error, const char *fallback);

/// Warning: the old log could not be kept as tolvard.old.log (`error`).
void event_old_log_not_kept(DWORD error);

/// Warning: something outside the child's job still held its output pipe after the stop.
void event_output_still_open(void);

/// How long an event that comes at the tick `now` waits for the service's next slot `slot`, the
/// earliest tick of its next event: 0 once the slot has come. A slot more than 2 s ahead cannot
/// have been set in this boot (no process sets one further ahead): it counts as come.
DWORD event_slot_wait(DWORD slot, DWORD now);

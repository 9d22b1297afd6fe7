// The service host's logs, one time-stamped line per message: "tolvard.log" beside the
// executable, with the host's lines of every service that this copy runs, and each service's
// own log in the folder "logs" beside it, with the host's lines of that service and its child's.
#pragma once

#include <stddef.h>

/// The full path of a file called `name` in the executable's directory, in a new heap text
/// (heap_free); nullptr when there is no memory left.
char *log_path(const char *name);

/// The name of the log of the service `service` in the folder "logs", without its ".log" (or
/// ".old.log"), in a new heap text (heap_free); nullptr when there is no memory left. Bytes a
/// file name cannot hold or that could make two names one (controls, bytes of 0x7F and above,
/// \ / : * ? " < > | and the escape's own % # ~) become %HH, in upper-case hex; so do a
/// trailing dot or blank, the dot of a trailing ".old" (so that no log is another's old file),
/// and the first letter of a device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$,
/// CONOUT$, CLOCK$, with or without an extension). A name longer than 240 characters goes into
/// folders, each of at most 240 of its characters and a "#": "first#\second". Different
/// names (without regard to ASCII case) never give the same file, nor a file and a folder.
char *log_service_name(const char *service);

/// Writes the current local time as "YYYY/MM/DD hh:mm:ss" into `text`.
void now_text(char (&text)[32]);

/// Opens (creates or empties) the log file, shared for reading, writing and deleting with other
/// processes; every line is then appended at the file's end, after what other processes wrote.
/// What the log held is first copied to tolvard.old.log beside it, replacing that file; the log
/// itself stays the same file, so that other processes' open handles go on writing and reading
/// the current log. A log too big to copy at once (over 17 MiB, as an older tolvard could leave)
/// is renamed to tolvard.old.log instead. What cannot be kept stays in the log, which is then
/// not emptied, and two lines say so.
/// A new or existing file may be opened by SYSTEM and Administrators only (and appended to by
/// services run under another account: see log_prepare_service), which such a service's run
/// may neither keep nor empty: it adds its lines after what the file holds. A reparse
/// point or a file with more than one name is deleted and made anew (and a line says so). If
/// tolvard.log cannot be opened and emptied (another process holds it and shares no writing),
/// the run logs to tolvard-PID.log beside it, whose first line says why; if that fails too,
/// every later line is lost.
void log_open(void);

/// Opens the log of the service `service`, as the service control manager names it:
/// logs\NAME.log beside the executable (NAME as log_service_name makes it), appended to across
/// the service's runs. The folder is made when it is missing; neither it nor the file is ever a
/// reparse point or a file with more than one name. The lines written since log_open come first.
/// If the file cannot be opened, the run logs to logs\NAME#PID.log, and tolvard.log says so;
/// if no service log can be opened, the child's lines go to tolvard.log.
void log_open_service(const char *service);

/// Makes ready, for a service `service` run under another account, what it may not make
/// itself: tolvard.log, the folder "logs" and the service's log and old file, with the
/// security of those a run makes, which grants the service's own SID (NT SERVICE\NAME) its own
/// log and old file. Nothing is done where Windows has no service SIDs (XP). Returns 0 or the
/// error of the first that could not be made (or made private).
unsigned long log_prepare_service(const char *service);

/// Writes one line: the time, ":" and `format` with its one %d or %ld conversion taking
/// `value` (pass 0 when there is none). A format of 1000 characters or more is dropped.
/// It goes to tolvard.log and to the service's log; until the service's log is opened, it is
/// kept for it (the first 8 KiB of such lines).
/// Written at once, in turn with the other processes that share the file (after 2 s of waiting
/// for its turn, all the same); safe to call from both service threads.
/// Every file the log writes is bounded: a write that would take it past 16 MiB first keeps
/// what it holds as its old file (NAME.old.log for NAME.log), replacing the one before, and
/// empties it, all in the writer's turn, so each line is whole in one file or the other. If
/// that fails, the file stays as it is, a line says so, and it is tried again a MiB later. A
/// write that fails is counted, and the next line written to that file says how many were not.
void log_msg(const char *format, int value);

/// Like log_msg, but `text` is written as it stands, "%" and all.
void log_text(const char *text);

/// Writes each line of `text` (`length` bytes; each line ends in "\n" and holds no NUL) as a line
/// of the service's log only (of tolvard.log when there is none), as log_text would, all in one
/// turn and one write, so that no other line lands among them; a line of 1000 characters or more is
/// dropped, as is a last line without its "\n". Never waits: returns false, having written nothing,
/// while another thread of this process writes the log or another process has its turn; with
/// `force`, writes all the same in the second case (as log_msg does after 2 s). True also when
/// there is no log to write to.
bool log_lines(const char *text, size_t length, bool force);

/// Hands a line (as log_msg takes it) over to the log without waiting for it: safe while
/// holding a lock that another thread must never wait for behind the log. The lines handed over
/// are written, in the order handed over, by a thread of their own that it starts when none
/// runs, and in any case before the next line that any thread writes (by log_lines, unless it
/// could not have the logs' turns at once); their time is the time they are written. At most
/// 16 KiB of them wait: beyond, a line is counted as not written.
void log_hand_over(const char *format, int value);

/// Like log_hand_over, but starts no writer: for a thread that calls log_flush itself as soon as
/// it has let go of its lock.
void log_hand_over_for_flush(const char *format, int value);

/// Whether lines handed over wait to be written.
bool log_handed_over(void);

/// Writes the lines handed over, waiting for the log as log_msg does.
void log_flush(void);

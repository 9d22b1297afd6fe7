// The service host's log: "tolvard.log" beside the executable, one time-stamped line per message.
#pragma once

#include <stddef.h>

/// The full path of a file called `name` in the executable's directory, in a new heap text
/// (heap_free); nullptr when there is no memory left.
char *log_path(const char *name);

/// Writes the current local time as "YYYY/MM/DD hh:mm:ss" into `text`.
void now_text(char (&text)[32]);

/// Opens (creates or empties) the log file, shared for reading, writing and deleting with other
/// processes; every line is then appended at the file's end, after what other processes wrote.
/// What the log held is first copied to tolvard.old.log beside it, replacing that file (a line
/// says so if it cannot be); the log itself stays the same file, so that other processes' open
/// handles go on writing and reading the current log.
/// A new file may be changed by SYSTEM and Administrators only, and read by Users. A reparse
/// point or a file with more than one name is deleted and made anew (and a line says so). If
/// tolvard.log cannot be opened and emptied (another process holds it and shares no writing),
/// the run logs to tolvard-PID.log beside it, whose first line says why; if that fails too,
/// every later line is lost.
void log_open(void);

/// Writes one line: the time, ":" and `format` with its one %d or %ld conversion taking
/// `value` (pass 0 when there is none). A format of 1000 characters or more is dropped.
/// Written at once, in turn with the other processes that share the file (after 2 s of waiting
/// for its turn, all the same); safe to call from both service threads.
void log_msg(const char *format, int value);

/// Like log_msg, but `text` is written as it stands, "%" and all.
void log_text(const char *text);

/// Writes each line of `text` (`length` bytes; each line ends in "\n" and holds no NUL) as a log
/// line, as log_text would, all in one turn and one write, so that no other line lands among
/// them; a line of 1000 characters or more is dropped, as is a last line without its "\n".
/// Never waits: returns false, having written nothing, while another thread of this process
/// writes the log or another process has its turn; with `force`, writes all the same in the
/// second case (as log_msg does after 2 s). True also when there is no log to write to.
bool log_lines(const char *text, size_t length, bool force);

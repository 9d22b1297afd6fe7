// The service host's log: "tolvard.log" beside the executable, one time-stamped line per message.
#pragma once

/// The full path of a file called `name` in the executable's directory, in a new heap text.
char *log_path(const char *name);

/// Writes the current local time as "YYYY/MM/DD hh:mm:ss" into `text`.
void now_text(char (&text)[32]);

/// Opens (creates or empties) the log file, shared for reading, writing and deleting with other
/// processes; every line is then appended at the file's end, after what other processes wrote.
/// If it cannot be emptied or opened, every later line is lost without a word.
void log_open(void);

/// Writes one line: the time, ":" and `format` with its one %d or %ld conversion taking
/// `value` (pass 0 when there is none). A format of 1000 characters or more is dropped.
/// Flushed at once; safe to call from both service threads.
void log_msg(const char *format, int value);

/// Like log_msg, but `text` is written as it stands, "%" and all.
void log_text(const char *text);

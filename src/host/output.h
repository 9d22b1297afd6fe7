// The child's output: its standard output and standard error, one pipe, written to the log line
// by line by a reader thread of the host. Called from the service thread only.
#pragma once

#include "platform/win.h"

/// The longest piece of a line that one log line takes: with "> " and the line end it stays
/// under the log's 1000 characters. A longer line goes on in the next log line.
const size_t capture_piece = 996;

/// Makes the pipe for the child's standard output and standard error, and the pipe of its
/// standard input, which nobody writes to and which stays open until capture_end_input. Their
/// ends for the child are the only inheritable handles of the host; the host's ends are not.
/// Sets `startup` to hand them to the child. Returns false, with a line logged, if they cannot
/// be made: the child then starts without them, its output going nowhere.
bool capture_prepare(STARTUPINFOA *startup);

/// Closes the host's end of the child's input, so that the child reads its end; once is
/// enough, and later calls do nothing.
void capture_end_input();

/// After the child's creation, successful or not: closes the host's copies of the child's
/// ends, so that the pipe ends when the last process that holds its write end lets go of it
/// (and, if the child was not started, the host's end of its input too),
/// and, if `started`, starts the reader. The reader writes each line of the pipe to the log as
/// "> " and the line: LF or CR LF ends a line, NUL bytes are left out, any other control
/// character but TAB is written escaped (a CR that ends no line as "\r", the others as "\xHH"),
/// a line too long for one log line goes on in the next (never cutting an escape in two), and a
/// last line without an end is written at the end of the pipe. Without a reader (a line says why)
/// the pipe is closed, and the child's writes fail.
void capture_start(bool started);

/// Waits until the reader has written the last line of the pipe, calling `tick` about once a
/// second meanwhile. A pipe that stays open with nothing in it for a second after the child's
/// tree is gone (a process outside the job holds it), or a reader that has not finished after
/// ten seconds, is given up on with the line "child output still open after stop"; the reader
/// then writes nothing more. Does nothing when there is no reader.
void capture_finish(void (*tick)(void));

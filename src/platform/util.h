// Small helpers over the platform that the program's units share: its heap and its own path.
// They are no part of the stand-in: the same code runs on Windows and over the stand-in.
#pragma once

#include "platform/win.h"

#include <stddef.h>

/// `size` bytes (at least one) from the process heap, or nullptr when there is no memory left.
/// Every heap text and array of the program comes from here and goes back through heap_free.
void *heap_alloc(size_t size);

/// Gives back a block from heap_alloc; nullptr is ignored.
void heap_free(void *block);

/// A heap copy of `text`, or nullptr when there is no memory left.
char *heap_copy(const char *text);

/// The executable's full path, of any length up to the system's limit, in a new heap text;
/// nullptr when there is no memory left.
char *module_file_name(void);

/// The last "\" or "/" in `path` that is not its first character, or nullptr. The walk goes
/// forwards so that the second byte of a double-byte character (0x5C in many Shift-JIS ones)
/// is never taken for a backslash.
const char *last_separator(const char *path);

/// Prints "error N: TEXT" and a line break to standard output: N the system error code `code`,
/// TEXT the system's message for it (in the system's language and ANSI code page) on one line:
/// each run of blanks, tabs and line breaks in it as one blank, none at either end. "error N"
/// alone where the system has no text for it. Allocates nothing, so it also serves after a
/// failed allocation.
void print_system_error(DWORD code);

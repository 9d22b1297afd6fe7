// Command front end: the modes of the program and the texts that tie a registration to a later
// service run.
#pragma once

namespace tolvard {
/// Chooses the mode from the argument vector (argv[0] is the executable's full path): usage
/// (never returns), "reg" (registers only if safe_places allows) or "rem" (returns 1, whatever
/// the outcome), or service host mode for a first word with a dot (returns 0).
int main(int argc, char **argv);
} // namespace tolvard

/// Prints the five-line usage text naming `program`, flushes it and ends the process with
/// status 1 at once.
[[noreturn]] void usage(const char *program);

/// 1 if `text` contains a full stop anywhere, otherwise 0.
int has_dot(const char *text);

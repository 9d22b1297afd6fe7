// The command-line rules: how tolvard splits its own command line into words, and how it writes
// words so that they come back whole, both to itself (the service image path) and to a child's
// C runtime (the child command). The command modes and the service host both use them; they
// use nothing of either.
#pragma once

/// The words of `text` after its first word (the program as typed), split by tolvard's rule:
/// blanks and tabs separate words; "..." quotes a stretch, quotes are dropped; \" is a literal
/// quote; every other backslash is kept; "" alone is an empty word; a DBCS lead byte is taken
/// with the byte after it. Returns a new array of `*count` heap texts, null-terminated (free it
/// with free_words); nullptr when there is no memory left.
char **split_command_line(const char *text, int *count);

/// The process's argument vector: argv[0] the module file name, then the words of the command
/// line. Lives as long as the process; nullptr when there is no memory left.
char **build_argv(int *argc);

/// `word` as a field that split_command_line gives back unchanged: words without a blank, tab,
/// quote or "%" (and not empty) are left as they are. New heap text, or nullptr when there is
/// no memory left (as for every text below). A "%" is quoted because the service control
/// manager expands %NAME% in an image path: a value with blanks then stays one word. A word that
/// ends in a lone DBCS lead byte cannot be written so (the byte takes the separator after it); no
/// word split from a real command line ends so except at the very end of the text.
char *quote_field(const char *word);

/// `word` as the Microsoft C runtime's argument parser gives it back unchanged: words without a
/// blank, tab, newline, vertical tab or quote (and not empty) are left as they are. New heap text.
/// As with quote_field, a word that ends in a lone DBCS lead byte cannot be written so.
char *quote_crt_arg(const char *word);

/// Joins `count` words, each followed by exactly one blank, into a new heap text that the caller
/// frees (heap_free); nullptr when there is no memory left. `count` 0 gives the empty text.
char *join_args(int count, char *const *words);

/// The service image path for a registration: `words` written by quote_field and joined.
char *join_image_path(int count, char *const *words);

/// The child command text: `words` written by quote_crt_arg and joined. The C runtime reads the
/// first word, the program, without escapes: it comes back whole if it holds no quote and, when
/// quoted, does not end in a backslash, as no file name does.
char *join_child_command(int count, char *const *words);

/// Frees an array of `count` heap texts (null entries allowed) and the array itself.
void free_words(int count, char **words);

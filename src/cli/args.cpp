#include "cli/args.h"

#include "cli/cli.h"
#include "platform/win.h"

#include <stdlib.h>
#include <string.h>

static char *heap_copy(const char *text) {
    size_t size = strlen(text) + 1;
    return static_cast<char *>(memcpy(malloc(size), text, size));
}

static bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// A lead byte is taken with the byte after it, unless that is the terminator.
static bool is_pair(const char *p) {
    return IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0';
}

char *module_file_name(void) {
    // GetModuleFileNameA returns the size it was given when the path does not fit (and on XP
    // leaves the text unterminated), so grow until the result is shorter than the buffer.
    for (DWORD size = 256;; size *= 2) {
        char *path = static_cast<char *>(malloc(size + 1));
        DWORD length = GetModuleFileNameA(nullptr, path, size);
        if (length < size || size >= 32768) {
            path[length < size ? length : size] = '\0';
            return path;
        }
        free(path);
    }
}

static const char *skip_program_word(const char *p) {
    while (is_blank(*p))
        ++p;
    if (*p == '"') {
        for (++p; *p != '\0' && *p != '"'; p += is_pair(p) ? 2 : 1) {
        }
        return *p == '"' ? p + 1 : p;
    }
    while (*p != '\0' && !is_blank(*p))
        p += is_pair(p) ? 2 : 1;
    return p;
}

// Copies one word into `word` (room for the rest of the text) and returns what follows it.
static const char *take_word(const char *p, char *word) {
    bool quoted = false;
    while (*p != '\0' && (quoted || !is_blank(*p))) {
        if (is_pair(p)) {
            *word++ = *p++;
            *word++ = *p++;
        } else if (p[0] == '\\' && p[1] == '"') {
            *word++ = '"';
            p += 2;
        } else if (*p == '"') {
            quoted = !quoted;
            ++p;
        } else {
            *word++ = *p++;
        }
    }
    *word = '\0';
    return p;
}

char **split_command_line(const char *text, int *count) {
    // No text holds more words than half its length, rounded up.
    size_t room = strlen(text) / 2 + 2;
    char **words = static_cast<char **>(malloc(room * sizeof(char *)));
    char *scratch = static_cast<char *>(malloc(strlen(text) + 1));
    int n = 0;
    for (const char *p = skip_program_word(text);;) {
        while (is_blank(*p))
            ++p;
        if (*p == '\0')
            break;
        p = take_word(p, scratch);
        words[n++] = heap_copy(scratch);
    }
    free(scratch);
    words[n] = nullptr;
    *count = n;
    return words;
}

char **build_argv(int *argc) {
    int count = 0;
    char **words = split_command_line(GetCommandLineA(), &count);
    char **argv = static_cast<char **>(malloc((count + 2) * sizeof(char *)));
    argv[0] = module_file_name();
    memcpy(argv + 1, words, (count + 1) * sizeof(char *));
    free(words);
    *argc = count + 1;
    return argv;
}

static bool needs_quotes(const char *word, const char *specials) {
    if (*word == '\0')
        return true;
    for (const char *p = word; *p != '\0'; p += is_pair(p) ? 2 : 1) {
        if (strchr(specials, *p) != nullptr)
            return true;
    }
    return false;
}

char *quote_field(const char *word) {
    if (!needs_quotes(word, " \t\""))
        return heap_copy(word);
    // Under our own rule a backslash right before a quote makes it literal, so a run of
    // backslashes that ends the field goes after the closing quote, where it stays as it is.
    const char *tail = nullptr;
    for (const char *p = word; *p != '\0'; p += is_pair(p) ? 2 : 1) {
        if (*p != '\\' || is_pair(p))
            tail = nullptr;
        else if (tail == nullptr)
            tail = p;
    }
    if (tail == nullptr)
        tail = word + strlen(word);
    // At worst every character is a quote written as two, plus the two quotes around.
    char *out = static_cast<char *>(malloc(2 * strlen(word) + 3));
    char *end = out;
    *end++ = '"';
    for (const char *p = word; p < tail;) {
        if (is_pair(p)) {
            *end++ = *p++;
            *end++ = *p++;
            continue;
        }
        if (*p == '"')
            *end++ = '\\';
        *end++ = *p++;
    }
    *end++ = '"';
    strcpy(end, tail);
    return out;
}

static char *put_backslashes(char *end, size_t count) {
    memset(end, '\\', count);
    return end + count;
}

char *quote_crt_arg(const char *word) {
    if (!needs_quotes(word, " \t\n\v\""))
        return heap_copy(word);
    // The C runtime halves a run of backslashes that stands before a quote, and an odd one
    // makes that quote literal: double every run before a quote, the closing one included.
    char *out = static_cast<char *>(malloc(2 * strlen(word) + 3));
    char *end = out;
    *end++ = '"';
    size_t backslashes = 0;
    for (const char *p = word;;) {
        if (*p == '\\') {
            ++backslashes;
            ++p;
            continue;
        }
        if (*p == '\0') {
            end = put_backslashes(end, 2 * backslashes);
            break;
        }
        if (*p == '"') {
            end = put_backslashes(end, 2 * backslashes + 1);
        } else {
            end = put_backslashes(end, backslashes);
        }
        if (is_pair(p))
            *end++ = *p++;
        *end++ = *p++;
        backslashes = 0;
    }
    *end++ = '"';
    *end = '\0';
    return out;
}

static char *join_quoted(int count, char *const *words, char *(*quote)(const char *)) {
    // calloc: an optimised build's GCC 12 takes the unwritten array of count 0 for a read of
    // uninitialised memory (-Wmaybe-uninitialized) and -Werror stops the build.
    char **quoted = static_cast<char **>(calloc(count > 0 ? count : 1, sizeof(char *)));
    for (int i = 0; i < count; ++i)
        quoted[i] = quote(words[i]);
    char *text = join_args(count, quoted);
    free_words(count, quoted);
    return text;
}

char *join_image_path(int count, char *const *words) {
    return join_quoted(count, words, quote_field);
}

char *join_child_command(int count, char *const *words) {
    return join_quoted(count, words, quote_crt_arg);
}

void free_words(int count, char **words) {
    for (int i = 0; i < count; ++i)
        free(words[i]);
    free(words);
}

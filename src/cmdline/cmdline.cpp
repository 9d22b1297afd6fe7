#include "cmdline/cmdline.h"

#include "platform/util.h"
#include "platform/win.h"

#include <string.h>

static bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// A lead byte is taken with the byte after it, unless that is the terminator.
static bool is_pair(const char *p) {
    return IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0';
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
    char **words = static_cast<char **>(heap_alloc(room * sizeof(char *)));
    char *scratch = static_cast<char *>(heap_alloc(strlen(text) + 1));
    int n = 0;
    bool whole = words != nullptr && scratch != nullptr;
    for (const char *p = skip_program_word(text); whole;) {
        while (is_blank(*p))
            ++p;
        if (*p == '\0')
            break;
        p = take_word(p, scratch);
        words[n] = heap_copy(scratch);
        whole = words[n++] != nullptr;
    }
    heap_free(scratch);
    if (!whole) {
        free_words(n, words);
        return nullptr;
    }
    words[n] = nullptr;
    *count = n;
    return words;
}

char **build_argv(int *argc) {
    int count = 0;
    char **words = split_command_line(GetCommandLineA(), &count);
    if (words == nullptr)
        return nullptr;
    char **argv = static_cast<char **>(heap_alloc((count + 2) * sizeof(char *)));
    char *program = module_file_name();
    if (argv == nullptr || program == nullptr) {
        heap_free(argv);
        heap_free(program);
        free_words(count, words);
        return nullptr;
    }
    argv[0] = program;
    memcpy(argv + 1, words, (count + 1) * sizeof(char *));
    heap_free(words);
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
    if (!needs_quotes(word, " \t\"%"))
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
    char *out = static_cast<char *>(heap_alloc(2 * strlen(word) + 3));
    if (out == nullptr)
        return nullptr;
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
    char *out = static_cast<char *>(heap_alloc(2 * strlen(word) + 3));
    if (out == nullptr)
        return nullptr;
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

char *join_args(int count, char *const *words) {
    size_t length = 0;
    for (int i = 0; i < count; ++i)
        length += strlen(words[i]) + 1;
    char *text = static_cast<char *>(heap_alloc(length + 1));
    if (text == nullptr)
        return nullptr;
    char *end = text;
    for (int i = 0; i < count; ++i) {
        size_t n = strlen(words[i]);
        memcpy(end, words[i], n);
        end += n;
        *end++ = ' ';
    }
    *end = '\0';
    return text;
}

static char *join_quoted(int count, char *const *words, char *(*quote)(const char *)) {
    char **quoted = static_cast<char **>(heap_alloc((count > 0 ? count : 1) * sizeof(char *)));
    if (quoted == nullptr)
        return nullptr;
    bool whole = true;
    for (int i = 0; i < count; ++i) {
        quoted[i] = quote(words[i]);
        whole = whole && quoted[i] != nullptr;
    }
    char *text = whole ? join_args(count, quoted) : nullptr;
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
        heap_free(words[i]);
    heap_free(words);
}

// Fuzz target: tolvard's command-line splitter over arbitrary bytes. The bytes after the flag
// byte, up to the first byte 0, are the command line. The splitter must give the words of the
// documented rule and must not read past the text (it gets a copy exactly as long as the text,
// so AddressSanitizer sees any read beyond its terminator).
#include "cmdline/cmdline.h"
#include "fuzz.h"

#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::set_code_page(data, size);
    size_t length = size > 0 ? strnlen(reinterpret_cast<const char *>(data) + 1, size - 1) : 0;
    char *text = static_cast<char *>(malloc(length + 1));
    if (length > 0)
        memcpy(text, data + 1, length);
    text[length] = '\0';
    const std::string command_line(text, length);

    int count = -1;
    char **words = split_command_line(text, &count);
    fuzz::Words got;
    for (int i = 0; i < count; ++i) {
        if (words[i] == nullptr)
            fuzz::finding("a word is missing", command_line, got, {});
        got.push_back(words[i]);
    }
    if (count < 0 || words[count] != nullptr)
        fuzz::finding("the word array is not null-terminated", command_line, got, {});
    free_words(count, words);
    free(text);

    fuzz::Words expected = fuzz::reference_split(command_line);
    if (got != expected)
        fuzz::finding("the splitter departs from the rule", command_line, got, expected);
    return 0;
}

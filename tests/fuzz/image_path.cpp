// Fuzz target: the image-path round trip. Any list of words, written after tolvard's own path
// by the image-path writer, must split back into exactly those words, both by our splitter and
// by the rule it documents.
#include "cmdline/cmdline.h"
#include "fuzz.h"
#include "platform/util.h"

// Paths that tolvard.exe may lie at: plain, with blanks (so the writer quotes it), and with
// Shift-JIS characters whose second byte is a backslash or a blank-like 0x40.
static const char *const programs[] = {
    "C:\\t.exe",
    "C:\\Program Files\\t v\\tolvard.exe",
    "C:\\\x95\x5C\\tolvard.exe",
    "C:\\Program Files\\\x95\x5C \x81\x40\\tolvard.exe",
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::set_code_page(data, size);
    fuzz::Words words = fuzz::writable(fuzz::decode_words(data, size));
    const char *program = programs[size > 0 ? (data[0] >> 1) & 3 : 0];

    std::vector<char *> fields = {const_cast<char *>(program)};
    for (std::string &word : words)
        fields.push_back(word.data());
    char *written = join_image_path(static_cast<int>(fields.size()), fields.data());
    const std::string path = written;
    heap_free(written);

    int count = 0;
    char **split = split_command_line(path.c_str(), &count);
    fuzz::Words got(split, split + count);
    free_words(count, split);
    if (got != words)
        fuzz::finding("the image path does not split back into its words", path, got, words);
    fuzz::Words by_rule = fuzz::reference_split(path);
    if (by_rule != words)
        fuzz::finding("the image path departs from the documented rule", path, by_rule, words);
    return 0;
}

// Fuzz target: the child-command round trip. The first word is the program, the rest its
// arguments; written by the child-command writer, the Microsoft C runtime's rule (old msvcrt.dll
// and the later runtimes alike) must give back exactly those words as argv.
#include "cmdline/cmdline.h"
#include "fuzz.h"
#include "platform/util.h"

#include <algorithm>

static bool needs_quotes(const std::string &word) {
    return word.empty() || word.find_first_of(" \t\n\v\"") != std::string::npos;
}

// The C runtime reads argv[0] without escapes, up to the next quote when it is quoted, as
// Windows itself finds the program. A file name holds no quote, and one that ends in a
// backslash names a directory, which cannot be started: such a program word is cut to a name.
static void make_program_name(std::string &word) {
    word.erase(std::remove(word.begin(), word.end(), '"'), word.end());
    for (;;) {
        if (fuzz::ends_in_lone_lead(word)) {
            word.pop_back();
        } else if (needs_quotes(word) && !word.empty() && word.back() == '\\' &&
                   fuzz::last_char(word) == word.size() - 1) {
            word.pop_back();
        } else {
            return;
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::set_code_page(data, size);
    fuzz::Words words = fuzz::writable(fuzz::decode_words(data, size));
    if (words.empty())
        return 0; // no program: nothing to start
    make_program_name(words[0]);

    std::vector<char *> fields;
    for (std::string &word : words)
        fields.push_back(word.data());
    char *written = join_child_command(static_cast<int>(fields.size()), fields.data());
    const std::string command = written;
    heap_free(written);

    for (fuzz::CrtVersion version : {fuzz::crt_msvcrt, fuzz::crt_2008}) {
        fuzz::Words argv = fuzz::reference_crt_argv(command, version);
        if (argv != words)
            fuzz::finding(version == fuzz::crt_msvcrt
                              ? "msvcrt.dll reads other words"
                              : "the C runtime since 2008 reads other words",
                          command, argv, words);
    }
    return 0;
}

// The replay test of a fuzz target, for builds without libFuzzer: runs the target over every
// file of the corpus directories given, then over variants of them made by a fixed sequence of
// small edits with the bytes that matter to the command-line rules. A finding ends the process
// abnormally, which fails the test.
#include "fuzz.h"

#include <dirent.h>

#include <algorithm>
#include <random>

static bool read_file(const std::string &path, std::string &content) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;)
        content.append(buffer, n);
    fclose(f);
    return true;
}

static void run(const std::string &input) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.data()), input.size());
}

// One random edit: a byte inserted, replaced or removed, or the flag byte changed.
static void mutate(std::string &input, std::mt19937 &random) {
    static const char bytes[] = {'\0',   ' ',    '\t',   '"',    '\\',   'a',
                                 '\n',   '\v',   '\x81', '\x95', '\x5C', '\xE0',
                                 '\xFC', '\x40', '\xFF', '\x9F', '\xA0', '.'};
    char byte = bytes[random() % sizeof bytes];
    size_t at = input.empty() ? 0 : random() % (input.size() + 1);
    switch (random() % 4) {
    case 0:
        input.insert(at, 1, byte);
        break;
    case 1:
        if (at < input.size())
            input[at] = byte;
        break;
    case 2:
        if (at < input.size())
            input.erase(at, 1);
        break;
    default:
        if (input.empty())
            input += '\0';
        input[0] = static_cast<char>(random() % 8);
        break;
    }
}

int main(int argc, char **argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        DIR *dir = opendir(argv[i]);
        if (dir == nullptr) {
            fprintf(stderr, "cannot read the corpus %s\n", argv[i]);
            return 1;
        }
        for (dirent *entry; (entry = readdir(dir)) != nullptr;) {
            if (entry->d_name[0] != '.')
                files.push_back(std::string(argv[i]) + "/" + entry->d_name);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> inputs;
    for (const std::string &file : files) {
        std::string content;
        if (!read_file(file, content)) {
            fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        inputs.push_back(content);
    }
    if (inputs.empty()) {
        fprintf(stderr, "no corpus given\n");
        return 1;
    }
    for (const std::string &input : inputs)
        run(input);
    std::mt19937 random(20261208);
    const int variants = 5000;
    for (int i = 0; i < variants; ++i) {
        std::string input = inputs[random() % inputs.size()];
        for (unsigned edits = 1 + random() % 6; edits > 0; --edits)
            mutate(input, random);
        run(input);
    }
    printf("%zu corpus inputs and %d variants replayed\n", inputs.size(), variants);
    return 0;
}

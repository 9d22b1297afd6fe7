// Small helpers shared by the native unit tests.
#pragma once

#include "platform/standin_control.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace test_support {

/// A new empty directory under /tmp.
inline std::string temp_dir() {
    char pattern[] = "/tmp/tolvard-test-XXXXXX";
    const char *dir = mkdtemp(pattern);
    return dir != nullptr ? dir : "";
}

/// A POSIX path as the stand-in's Windows-style paths show it.
inline std::string windows_path(std::string path) {
    for (char &c : path)
        c = c == '/' ? '\\' : c;
    return path;
}

/// The whole content of a file, or "<missing>".
inline std::string read_file(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return "<missing>";
    std::string content;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;)
        content.append(buffer, n);
    fclose(f);
    return content;
}

/// Makes or replaces the file with `content`.
inline void write_file(const std::string &path, const std::string &content) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f != nullptr) {
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
}

/// Words as the native child records its argument vector: each followed by a NUL.
inline std::string nul_separated(std::initializer_list<std::string> words) {
    std::string text;
    for (const std::string &w : words)
        text += w + '\0';
    return text;
}

/// An argument vector over `words` (which must outlive it), null-terminated.
inline std::vector<char *> argv_of(std::vector<std::string> &words) {
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return argv;
}

struct Outcome {
    int status; ///< exit status, or -1 if it did not exit normally
    std::string out;
};

/// Runs `body` in a forked child with standard output sent to a file; returns how the child
/// ended and what it printed. `body` returning ends the child with status 100 + its result.
template <typename Body> Outcome run_in_child(Body body) {
    std::string dir = temp_dir();
    std::string out_path = dir + "/stdout";
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        if (freopen(out_path.c_str(), "w", stdout) == nullptr)
            _exit(98);
        int result = body();
        fflush(stdout);
        _exit(100 + result);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Outcome outcome = {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out_path)};
    unlink(out_path.c_str());
    rmdir(dir.c_str());
    return outcome;
}

} // namespace test_support

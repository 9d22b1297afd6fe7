// The command-line rules and one log line on the native build, with Google Benchmark:
//
//   build/bench-native/bench/micro_bench
//
// The text benchmarks run at 1 KiB, 8 KiB and 32 KiB and fit a complexity curve, so a cost that
// grows faster than the text shows. The log pair writes the same line to the same file, once
// through log_msg and once as a plain formatted write with its flush. That file lies in a
// directory of its own under /tmp, made for the run and removed after it.
#include "cmdline/cmdline.h"
#include "log/log.h"
#include "platform/standin_control.h"
#include "platform/util.h"
#include "platform/win.h"

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

// Repeats `piece` until the text is `size` bytes long.
std::string filled(const std::string &piece, size_t size) {
    std::string text;
    while (text.size() < size)
        text += piece;
    text.resize(size);
    return text;
}

// A command line of every kind of word: plain, quoted with a blank, an escaped quote, a trailing
// backslash, an empty one.
std::string command_line(size_t size) {
    return "tolvard.exe " + filled("alpha \"two words\" say\\\"hi\\\" C:\\dir\\ \"\" ", size);
}

// One word that needs quoting under both rules, with backslash runs before quotes.
std::string quoting_word(size_t size) {
    return filled("ab c\\\"d\\\\\"e\tf", size);
}

void text_sizes(benchmark::internal::Benchmark *b) {
    b->Arg(1 << 10)->Arg(8 << 10)->Arg(32 << 10)->Complexity(benchmark::oN);
}

void finish_text(benchmark::State &state) {
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_split_command_line(benchmark::State &state) {
    std::string text = command_line(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        int count = 0;
        char **words = split_command_line(text.c_str(), &count);
        benchmark::DoNotOptimize(words);
        free_words(count, words);
    }
    finish_text(state);
}
BENCHMARK(BM_split_command_line)->Apply(text_sizes);

template <char *(*quote)(const char *)> void BM_quote(benchmark::State &state) {
    std::string word = quoting_word(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        char *quoted = quote(word.c_str());
        benchmark::DoNotOptimize(quoted);
        heap_free(quoted);
    }
    finish_text(state);
}
BENCHMARK_TEMPLATE(BM_quote, quote_field)->Name("BM_quote_field")->Apply(text_sizes);
BENCHMARK_TEMPLATE(BM_quote, quote_crt_arg)->Name("BM_quote_crt_arg")->Apply(text_sizes);

void BM_join_args(benchmark::State &state) {
    // Words of 15 characters, each joined with its blank: 16 bytes a word.
    std::vector<std::string> texts(static_cast<size_t>(state.range(0)) / 16, "abcdefghijklmno");
    std::vector<char *> words;
    for (std::string &t : texts)
        words.push_back(t.data());
    for (auto _ : state) {
        char *text = join_args(static_cast<int>(words.size()), words.data());
        benchmark::DoNotOptimize(text);
        heap_free(text);
    }
    finish_text(state);
}
BENCHMARK(BM_join_args)->Apply(text_sizes);

const char line_format[] = "MyServiceStart start:%d\n";

void BM_log_msg(benchmark::State &state) {
    log_open();
    int value = 0;
    for (auto _ : state)
        log_msg(line_format, ++value);
}
BENCHMARK(BM_log_msg);

void BM_plain_write_flush(benchmark::State &state) {
    // The log's path is a Windows one: opened as it is, its backslashes would be part of a name.
    char *path = log_path("tolvard.log");
    standin::NativePath native = standin::native_path(path);
    heap_free(path);
    FILE *stream = native.error == 0 ? fopen(native.path.c_str(), "w") : nullptr;
    if (stream == nullptr) {
        state.SkipWithError("cannot open the log file");
        return;
    }
    int value = 0;
    for (auto _ : state) {
        fprintf(stream, line_format, ++value);
        fflush(stream);
    }
    fclose(stream);
}
BENCHMARK(BM_plain_write_flush);

} // namespace

int main(int argc, char **argv) {
    char pattern[] = "/tmp/tolvard-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("micro_bench: mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    // tolvard as if it lay in that directory, so that its log does too.
    std::string exe = "Z:" + dir + "/tolvard.exe";
    for (char &c : exe)
        c = c == '/' ? '\\' : c;
    standin::set_module_file_name(exe.c_str());

    benchmark::Initialize(&argc, argv);
    int status = 1;
    if (!benchmark::ReportUnrecognizedArguments(argc, argv)) {
        benchmark::RunSpecifiedBenchmarks();
        status = 0;
    }
    benchmark::Shutdown();
    // The log's handle may still be open: on Linux the file goes all the same.
    unlink((dir + "/tolvard.log").c_str());
    // log_open keeps what the log held before it empties it.
    unlink((dir + "/tolvard.old.log").c_str());
    if (rmdir(dir.c_str()) != 0) {
        perror(("micro_bench: " + dir).c_str());
        status = 1;
    }
    return status;
}

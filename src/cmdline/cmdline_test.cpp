#include "cmdline/cmdline.h"

#include "platform/test_support.h"
#include "platform/util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

Words split(const std::string &text) {
    int count = -1;
    char **words = split_command_line(text.c_str(), &count);
    Words result;
    for (int i = 0; i < count; ++i)
        result.push_back(words[i]);
    EXPECT_EQ(words[count], nullptr);
    free_words(count, words);
    return result;
}

std::string take(char *heap_text) {
    std::string text = heap_text;
    heap_free(heap_text);
    return text;
}

struct SplitCase {
    UINT code_page;
    const char *command_line;
    Words words;
};

TEST(SplitCommandLine, Rules) {
    const SplitCase cases[] = {
        {0, "", {}},
        {0, "prog", {}},
        {0, "prog a b", {"a", "b"}},
        {0, "  prog \t a\tb  ", {"a", "b"}},
        // The program's own word: quoted up to the closing quote, else up to a blank.
        {0, "\"C:\\My Dir\\prog.exe\" x", {"x"}},
        {0, "\"prog\"x y", {"x", "y"}},
        {0, "\"prog", {}},
        {0, "pr\"og x\" y", {"x y"}},
        // Quoted stretches join the text around them.
        {0, "prog a\"b c\"d", {"ab cd"}},
        {0, "prog \"a b", {"a b"}},
        {0, "prog \"\" x \"\"", {"", "x", ""}},
        {0, "prog a\"\"b", {"ab"}},
        // Backslash-quote is a literal quote, inside and outside a stretch; other backslashes
        // stay as they are, two stay two.
        {0, "prog \\\"a", {"\"a"}},
        {0, "prog \"a\\\"b c\"", {"a\"b c"}},
        {0, "prog \\\\a c:\\web\\", {"\\\\a", "c:\\web\\"}},
        {0, "prog a\\\\\"b c\"", {"a\\\"b", "c"}},
        {0, "prog \"a\\\\\" b\"", {"a\\\" b"}},
        // No wildcard expansion.
        {0, "prog *.* a?c", {"*.*", "a?c"}},
        // A Shift-JIS character whose second byte is 0x5C is one character: that byte neither
        // escapes the quote after it nor ends a word.
        {932, "prog \x95\x5C\" x\"", {"\x95\x5C x"}},
        {0, "prog \x95\x5C\" x\"", {"\x95\"", "x"}},
        {932, "\"\x95\x5C\" x", {"x"}},
        {932, "prog a\x81", {"a\x81"}},
    };
    for (const SplitCase &c : cases) {
        standin::reset();
        standin::set_ansi_code_page(c.code_page);
        EXPECT_EQ(split(c.command_line), c.words) << "command line: " << c.command_line;
    }
    standin::reset();
}

TEST(BuildArgv, ModuleFileNameThenWords) {
    standin::reset();
    standin::set_module_file_name("C:\\tools\\tolvard.exe");
    standin::set_command_line("..\\tolvard  reg \"My Svc\" app.exe");
    int argc = 0;
    char **argv = build_argv(&argc);
    ASSERT_EQ(argc, 4);
    EXPECT_STREQ(argv[0], "C:\\tools\\tolvard.exe");
    EXPECT_STREQ(argv[1], "reg");
    EXPECT_STREQ(argv[2], "My Svc");
    EXPECT_STREQ(argv[3], "app.exe");
    EXPECT_EQ(argv[4], nullptr);
    free_words(argc, argv);
    standin::reset();
}

struct QuoteCase {
    const char *word;
    const char *field; // for our own splitter
    const char *arg;   // for the child's C runtime
};

TEST(Quote, PlainWordsUnchangedOthersQuoted) {
    const QuoteCase cases[] = {
        {"app.exe", "app.exe", "app.exe"},
        {"c:\\web\\", "c:\\web\\", "c:\\web\\"},
        {"100%", "\"100%\"", "100%"},
        {"%ProgramFiles%\\Web\\a.exe", "\"%ProgramFiles%\\Web\\a.exe\"",
         "%ProgramFiles%\\Web\\a.exe"},
        {"", "\"\"", "\"\""},
        {"a b", "\"a b\"", "\"a b\""},
        {"a\tb", "\"a\tb\"", "\"a\tb\""},
        {"a\"b", "\"a\\\"b\"", "\"a\\\"b\""},
        {"a\\\"b", "\"a\\\\\"b\"", "\"a\\\\\\\"b\""},
        {"C:\\My Files\\", "\"C:\\My Files\"\\", "\"C:\\My Files\\\\\""},
        {"a b\\\\", "\"a b\"\\\\", "\"a b\\\\\\\\\""},
        {"a\nb", "a\nb", "\"a\nb\""},
        {"a\vb", "a\vb", "\"a\vb\""},
    };
    standin::reset();
    for (const QuoteCase &c : cases) {
        EXPECT_EQ(take(quote_field(c.word)), c.field) << "word: " << c.word;
        EXPECT_EQ(take(quote_crt_arg(c.word)), c.arg) << "word: " << c.word;
    }
}

TEST(Quote, ShiftJisSecondByteIsNoBackslash) {
    standin::reset();
    standin::set_ansi_code_page(932);
    // 0x95 0x5C is one character: no backslash run ends the field, none stands before a quote.
    EXPECT_EQ(take(quote_field("\x95\x5C \x95\x5C")), "\"\x95\x5C \x95\x5C\"");
    EXPECT_EQ(take(quote_crt_arg("\x95\x5C \x95\x5C")), "\"\x95\x5C \x95\x5C\"");
    EXPECT_EQ(take(quote_crt_arg("\x95\x5C\"")), "\"\x95\x5C\\\"\"");
    standin::set_ansi_code_page(0);
    EXPECT_EQ(take(quote_field("\x95\x5C \x95\x5C")), "\"\x95\x5C \x95\"\x5C");
    standin::reset();
}

// Words built from the characters that matter to the rules, Shift-JIS pairs included.
Words random_words(std::mt19937 &random, int max_words) {
    static const char *const pieces[] = {"a",  "b",    ".", "%",        " ",        "\t",      "\"",
                                         "\\", "\\\\", "*", "\x95\x5C", "\x81\x40", "\x82\xA0"};
    Words words(1 + random() % max_words);
    for (std::string &word : words) {
        for (unsigned n = random() % 9; n > 0; --n)
            word += pieces[random() % (sizeof pieces / sizeof *pieces)];
    }
    return words;
}

TEST(Quote, ImagePathSplitsBackIntoTheSameWords) {
    std::mt19937 random(20261208);
    for (UINT code_page : {0u, 932u}) {
        standin::reset();
        standin::set_ansi_code_page(code_page);
        for (int round = 0; round < 3000; ++round) {
            Words words = random_words(random, 6);
            std::vector<char *> pointers = {const_cast<char *>(
                round % 2 ? "C:\\Program Files\\t v\\tolvard.exe" : "C:\\t.exe")};
            for (std::string &w : words)
                pointers.push_back(w.data());
            std::string path =
                take(join_image_path(static_cast<int>(pointers.size()), pointers.data()));
            ASSERT_EQ(split(path), words)
                << "code page " << code_page << ", image path [" << path << "]";
        }
    }
    standin::reset();
}

// The service control manager expands %NAME% in the image path before the host splits it: a
// value with blanks must come back as one word, and reach the child quoted.
TEST(Quote, ExpandedVariablesStayOneWord) {
    standin::reset();
    setenv("TV_PF", "C:\\Program Files", 1);
    const struct {
        Words words; // EXENAME and ARGV... as typed
        Words expanded;
        const char *child;
    } cases[] = {
        {{"%TV_PF%\\Web\\app.exe", "-p", "100%"},
         {"C:\\Program Files\\Web\\app.exe", "-p", "100%"},
         "\"C:\\Program Files\\Web\\app.exe\" -p 100% "},
        {{"app.exe", "%TV_PF%", "%TV_NOT_SET%", "50%%"},
         {"app.exe", "C:\\Program Files", "%TV_NOT_SET%", "50%%"},
         "app.exe \"C:\\Program Files\" %TV_NOT_SET% 50%% "},
        {{"a.exe", "x%TV_PF%y"},
         {"a.exe", "xC:\\Program Filesy"},
         "a.exe \"xC:\\Program Filesy\" "},
    };
    for (const auto &c : cases) {
        std::vector<char *> pointers = {const_cast<char *>("C:\\t\\tolvard.exe")};
        for (const std::string &w : c.words)
            pointers.push_back(const_cast<char *>(w.c_str()));
        std::string path =
            take(join_image_path(static_cast<int>(pointers.size()), pointers.data()));
        char expanded[1024];
        ASSERT_LT(ExpandEnvironmentStringsA(path.c_str(), expanded, sizeof expanded),
                  sizeof expanded);
        int count = 0;
        char **words = split_command_line(expanded, &count);
        EXPECT_EQ(Words(words, words + count), c.expanded) << path;
        EXPECT_EQ(take(join_child_command(count, words)), c.child) << path;
        free_words(count, words);
    }
    unsetenv("TV_PF");
}

TEST(JoinArgs, EachWordFollowedByOneBlank) {
    char *words[] = {const_cast<char *>("a"), const_cast<char *>("bc"), const_cast<char *>("d"),
                     const_cast<char *>("")};
    const struct {
        int count;
        const char *expected;
    } cases[] = {{0, ""}, {1, "a "}, {3, "a bc d "}, {4, "a bc d  "}};
    for (const auto &c : cases) {
        char *text = join_args(c.count, words);
        EXPECT_STREQ(text, c.expected);
        heap_free(text);
    }
}

TEST(JoinImagePath, PlainWordsAsBefore) {
    standin::reset();
    char *words[] = {const_cast<char *>("C:\\tools\\wrap.exe"), const_cast<char *>("server.exe"),
                     const_cast<char *>("-p"), const_cast<char *>("c:\\web"),
                     const_cast<char *>("Web")};
    EXPECT_EQ(take(join_image_path(5, words)), "C:\\tools\\wrap.exe server.exe -p c:\\web Web ");
    EXPECT_EQ(take(join_child_command(3, words + 1)), "server.exe -p c:\\web ");
}

} // namespace

namespace {

// A real child, started with the command text, gets back exactly the words.
TEST(Quote, ChildCommandReachesTheChildWordForWord) {
    std::mt19937 random(8122026);
    std::string record = test_support::temp_dir() + "/argv";
    setenv("TOLVARD_CHILD_RECORD", record.c_str(), 1);
    for (UINT code_page : {0u, 932u}) {
        standin::reset();
        standin::set_ansi_code_page(code_page);
        for (int round = 0; round < 150; ++round) {
            Words words = random_words(random, 5);
            std::vector<char *> pointers = {const_cast<char *>(CHILD_PROBE),
                                            const_cast<char *>("exit:0")};
            for (std::string &w : words)
                pointers.push_back(w.data());
            std::string command =
                take(join_child_command(static_cast<int>(pointers.size()), pointers.data()));
            STARTUPINFOA startup;
            GetStartupInfoA(&startup);
            PROCESS_INFORMATION info;
            ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                       nullptr, &startup, &info));
            WaitForSingleObject(info.hProcess, INFINITE);
            CloseHandle(info.hProcess);
            CloseHandle(info.hThread);
            std::string expected = std::string(CHILD_PROBE) + '\0' + "exit:0" + '\0';
            for (const std::string &w : words)
                expected += w + '\0';
            ASSERT_EQ(test_support::read_file(record), expected) << "command [" << command << "]";
        }
    }
    unsetenv("TOLVARD_CHILD_RECORD");
    unlink(record.c_str());
    standin::reset();
}

} // namespace

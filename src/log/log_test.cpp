#include "log/log.h"

#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdlib.h>
#include <string>
#include <time.h>
#include <unistd.h>

namespace {

std::string take(char *heap_text) {
    std::string text = heap_text;
    free(heap_text);
    return text;
}

TEST(LogPath, BesideTheExecutable) {
    const std::string long_dir = "C:\\" + std::string(2000, 'd');
    const struct {
        std::string exe;
        std::string expected;
    } cases[] = {
        {"C:\\x.exe", "C:\\tolvard.log"},
        {"C:\\Program Files\\tools\\tolvard.exe", "C:\\Program Files\\tools\\tolvard.log"},
        {"\\\\server\\share\\t.exe", "\\\\server\\share\\tolvard.log"},
        // The first character is never cut, and a name without a backslash is kept whole.
        {"\\x.exe", "\\x.exe\\tolvard.log"},
        {"x.exe", "x.exe\\tolvard.log"},
        {long_dir + "\\tolvard.exe", long_dir + "\\tolvard.log"},
    };
    for (const auto &c : cases) {
        standin::reset();
        standin::set_module_file_name(c.exe.c_str());
        EXPECT_EQ(take(log_path("tolvard.log")), c.expected);
    }
    // Under code page 932 the second byte of a character such as 0x83 0x5C is no separator.
    standin::reset();
    standin::set_ansi_code_page(932);
    standin::set_module_file_name("C:\\tools\\\x83\x5C\x83\x74\x83\x67.exe");
    EXPECT_EQ(take(log_path("tolvard.log")), "C:\\tools\\tolvard.log");
    standin::set_module_file_name("C:\\\x95\x5C\\t.exe");
    EXPECT_EQ(take(log_path("tolvard.log")), "C:\\\x95\x5C\\tolvard.log");
    standin::reset();
}

// The local time as the log must show it.
std::string local_stamp(time_t t) {
    char text[32];
    strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", localtime(&t));
    return text;
}

TEST(NowText, LocalTimeInTheLogsForm) {
    time_t before = time(nullptr);
    char text[32];
    now_text(text);
    time_t after = time(nullptr);
    EXPECT_TRUE(text == local_stamp(before) || text == local_stamp(after))
        << text << " at " << local_stamp(before);
}

TEST(NowText, EveryFieldAtItsWidthAndNoStaleSecond) {
    // A zone east of UTC that needs no zone file, so that the local time differs from UTC.
    std::string saved = getenv("TZ") != nullptr ? getenv("TZ") : "";
    bool had = getenv("TZ") != nullptr;
    setenv("TZ", "JST-9", 1);
    tzset();
    const struct {
        __time64_t time;
        const char *expected;
    } cases[] = {
        {0, "1970/01/01 09:00:00"},
        {1, "1970/01/01 09:00:01"},
        {0, "1970/01/01 09:00:00"},            // back to a second seen before
        {951749999, "2000/02/28 23:59:59"},    // the next second is 29 February
        {951750000, "2000/02/29 00:00:00"},    // a leap day
        {1798729199, "2026/12/31 23:59:59"},   // every field at its largest
        {2147483647, "2038/01/19 12:14:07"},   // the last second of a 32-bit time_t
        {2147483648, "2038/01/19 12:14:08"},   // and past it
        {253402268399, "9999/12/31 23:59:59"}, // the last time four digits can show
        {253402268400, "0000/00/00 00:00:00"}, // year 10000: no stamp of another width
        {253402268399, "9999/12/31 23:59:59"}, // and a good one after it
        {1798729199, "2026/12/31 23:59:59"},
    };
    for (const auto &c : cases) {
        standin::set_clock(&c.time);
        char text[32];
        now_text(text);
        EXPECT_STREQ(text, c.expected) << c.time;
    }
    standin::reset();
    if (had)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// Opens the log in a fresh directory; returns the log file's path.
std::string open_fresh_log() {
    standin::reset();
    std::string dir = test_support::temp_dir();
    standin::set_module_file_name(test_support::windows_path(dir + "/tolvard.exe").c_str());
    log_open();
    return dir + "/tolvard.log";
}

// The log's lines without their time stamps; fails the test on a line of another form.
std::string messages(const std::string &log) {
    static const std::regex line(
        R"((\d{4}/(0[1-9]|1[0-2])/(0[1-9]|[12]\d|3[01]) ([01]\d|2[0-3]):[0-5]\d:[0-5]\d):([^\r\n]*)\r\n)");
    std::string result;
    auto begin = std::sregex_iterator(log.begin(), log.end(), line);
    size_t covered = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
        EXPECT_EQ(static_cast<size_t>(it->position()), covered)
            << "stray bytes in the log: " << log;
        covered = it->position() + it->length();
        result += (*it)[5].str() + "|";
    }
    EXPECT_EQ(covered, log.size()) << "stray bytes at the end of the log: " << log;
    return result;
}

TEST(LogMsg, LinesAndConversions) {
    std::string path = open_fresh_log();
    time_t before = time(nullptr);
    log_msg("stamped\n", 0);
    time_t after = time(nullptr);
    std::string line = test_support::read_file(path);
    EXPECT_TRUE(line == local_stamp(before) + ":stamped\r\n" ||
                line == local_stamp(after) + ":stamped\r\n")
        << line;
    log_open();
    log_msg("main() start:%d\n", 3);
    log_msg("cmdline=\n", 0);
    log_msg("Unrecognized opcode %ld\n", 200);
    log_msg("SetServiceStatus error %ld\n", -1);
    log_msg("%5d|\n", 42);
    log_text("app.exe 100% %d %s \n");
    EXPECT_EQ(messages(test_support::read_file(path)),
              "main() start:3|cmdline=|Unrecognized opcode 200|SetServiceStatus error -1|   42||"
              "app.exe 100% %d %s |");
    unlink(path.c_str());
}

TEST(LogMsg, FormatsOf1000CharactersAreDropped) {
    std::string path = open_fresh_log();
    const struct {
        size_t length;
        bool written;
    } cases[] = {{998, true}, {999, true}, {1000, false}, {1500, false}};
    for (const auto &c : cases) {
        std::string text(c.length - 1, 'x');
        text += '\n';
        log_msg(text.c_str(), 0);
        log_text(text.c_str());
        EXPECT_EQ(messages(test_support::read_file(path)),
                  c.written
                      ? text.substr(0, c.length - 1) + "|" + text.substr(0, c.length - 1) + "|"
                      : "")
            << c.length;
        log_open();
    }
    unlink(path.c_str());
}

TEST(LogOpen, EmptiesTheFileThenOnlyAppendsSharedWithOthers) {
    std::string path = open_fresh_log();
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    auto opens = standin::file_opens();
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].access, GENERIC_WRITE);
    EXPECT_EQ(opens[0].disposition, static_cast<DWORD>(CREATE_ALWAYS));
    EXPECT_EQ(opens[1].access, FILE_APPEND_DATA);
    EXPECT_EQ(opens[1].disposition, static_cast<DWORD>(OPEN_ALWAYS));
    for (const auto &open : opens) {
        EXPECT_EQ(open.share, share);
        EXPECT_EQ(open.path, test_support::windows_path(path));
    }
    log_msg("first run\n", 0);
    log_open();
    log_msg("second run\n", 0);
    EXPECT_EQ(messages(test_support::read_file(path)), "second run|");
    unlink(path.c_str());
}

// The processes of one copy take turns through a mutex named after the log's path.
TEST(LogOpen, OneMutexPerLogPath) {
    const struct {
        const char *exe;
        int log; // cases with the same number have the same log
    } cases[] = {
        {"C:\\tools\\tolvard.exe", 1},  {"c:\\TOOLS\\tolvard.exe", 1}, {"C:\\tools\\other.exe", 1},
        {"C:\\tools2\\tolvard.exe", 2}, {"D:\\tools\\tolvard.exe", 3},
    };
    std::vector<std::string> names;
    for (const auto &c : cases) {
        standin::reset();
        standin::set_module_file_name(c.exe);
        log_open();
        auto made = standin::mutex_names();
        ASSERT_EQ(made.size(), 1u) << c.exe;
        EXPECT_EQ(made[0].find('\\'), std::string::npos) << made[0];
        EXPECT_LT(made[0].size(), 260u);
        for (size_t i = 0; i < names.size(); ++i)
            EXPECT_EQ(names[i] == made[0], cases[i].log == c.log)
                << c.exe << " and " << cases[i].exe;
        names.push_back(made[0]);
    }
    standin::reset();
}

// Another service of the same copy writes to the same file through a handle of its own: each
// line goes after whatever is there by then, never over it.
TEST(LogOpen, LinesGoAfterWhatAnotherProcessWrote) {
    std::string path = open_fresh_log();
    log_msg("one\n", 0);
    FILE *other = fopen(path.c_str(), "ab");
    ASSERT_NE(other, nullptr);
    fputs("2026/12/08 10:15:02:the other service's line\r\n", other);
    fclose(other);
    log_msg("two\n", 0);
    log_text("a text\n");
    EXPECT_EQ(messages(test_support::read_file(path)), "one|the other service's line|two|a text|");
    unlink(path.c_str());
}

TEST(LogOpen, AFileThatCannotBeEmptiedIsNotWrittenTo) {
    const struct {
        int nth; // the CreateFileA call that fails
        size_t opens;
    } cases[] = {{1, 1}, {2, 2}};
    for (const auto &c : cases) {
        std::string path = open_fresh_log();
        FILE *old = fopen(path.c_str(), "wb");
        ASSERT_NE(old, nullptr);
        fputs("old run\r\n", old);
        fclose(old);
        standin::reset();
        standin::set_module_file_name(
            test_support::windows_path(path.substr(0, path.rfind('/')) + "/tolvard.exe").c_str());
        standin::fail(standin::call_CreateFileA, c.nth, ERROR_ACCESS_DENIED);
        log_open();
        log_msg("lost\n", 0);
        EXPECT_EQ(standin::file_opens().size(), c.opens) << c.nth;
        EXPECT_EQ(test_support::read_file(path), c.nth == 1 ? "old run\r\n" : "") << c.nth;
        unlink(path.c_str());
    }
    standin::reset();
}

} // namespace

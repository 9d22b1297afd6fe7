#include "log/log.h"

#include "platform/test_support.h"
#include "platform/util.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <regex>
#include <stdlib.h>
#include <string>
#include <thread>
#include <atomic>
#include <chrono>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

std::string take(char *heap_text) {
    std::string text = heap_text;
    heap_free(heap_text);
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
    ASSERT_EQ(opens.size(), 4u);
    // Then the log and its old file, if there is one, are opened as they are to set their
    // security, which Windows keeps for a file that exists.
    for (size_t i = 2; i < 4; ++i) {
        EXPECT_EQ(opens[i].access, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES);
        EXPECT_EQ(opens[i].disposition, static_cast<DWORD>(OPEN_EXISTING));
        EXPECT_EQ(opens[i].share, share);
    }
    EXPECT_EQ(opens[2].path, test_support::windows_path(path));
    EXPECT_EQ(opens[3].path,
              test_support::windows_path(path.substr(0, path.size() - 4) + ".old.log"));
    EXPECT_EQ(standin::security_sets(),
              std::vector<std::string>{test_support::windows_path(path) + " 0x80000004 " +
                                       "(A;0x0;0x1f01ff;S-1-5-18)(A;0x0;0x1f01ff;S-1-5-32-544)"
                                       "(A;0x0;0x120084;S-1-5-80-0)"});
    opens.resize(2);
    // Opened first as it is (kept and emptied only once it proves to be a plain file of one
    // name), then for appending, and for reading, without which Windows refuses a lock.
    EXPECT_EQ(opens[0].access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(opens[1].access, FILE_READ_DATA | FILE_APPEND_DATA);
    for (const auto &open : opens) {
        EXPECT_EQ(open.disposition, static_cast<DWORD>(OPEN_ALWAYS));
        EXPECT_EQ(open.flags, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
        EXPECT_EQ(open.share, share);
        EXPECT_EQ(open.path, test_support::windows_path(path));
        // SYSTEM and Administrators full control, services appending, no one else, nothing
        // inherited.
        EXPECT_EQ(open.dacl, "(A;0x0;0x1f01ff;S-1-5-18)(A;0x0;0x1f01ff;S-1-5-32-544)"
                             "(A;0x0;0x120084;S-1-5-80-0)");
    }
    log_msg("first run\n", 0);
    log_open();
    log_msg("second run\n", 0);
    EXPECT_EQ(messages(test_support::read_file(path)), "second run|");
    unlink(path.c_str());
}

// The processes that share the log take turns through a lock of one byte far past its end,
// waiting up to 2 s for it before they write all the same.
TEST(LogMsg, TakesTurnsThroughALockOfTheFile) {
    const std::string lock = "lock 0x3 0x7ffffffffffffff0 ";
    const std::string unlock = "unlock 0x7ffffffffffffff0 ok";
    const struct {
        const char *what;
        int busy;    // lock calls that fail before one succeeds; -1: every one
        DWORD error; // of the failing calls
        size_t tries;
        DWORD waited; // ms, on the stand-in's clock
    } cases[] = {
        {"free", 0, 0, 1, 0},
        {"held for three tries", 3, ERROR_LOCK_VIOLATION, 4, 3},
        {"held for ever", -1, ERROR_LOCK_VIOLATION, 2001, 2000},
        {"no locks here", -1, ERROR_NOT_SUPPORTED, 1, 0},
    };
    for (const auto &c : cases) {
        std::string path = open_fresh_log();
        const DWORD start = 1000;
        standin::set_tick_count(&start);
        if (c.busy != 0)
            standin::fail(standin::call_LockFileEx, c.busy < 0 ? 0 : 1, c.error, c.busy);
        log_msg("a line\n", 0);
        EXPECT_EQ(messages(test_support::read_file(path)), "a line|") << c.what;
        std::vector<std::string> locks = standin::file_locks();
        // The first turn was the start's, which emptied the log.
        ASSERT_GE(locks.size(), 2u);
        locks.erase(locks.begin(), locks.begin() + 2);
        ASSERT_EQ(locks.size(), c.tries + (c.busy >= 0 ? 1 : 0)) << c.what;
        for (size_t i = 0; i < c.tries; ++i) {
            bool taken = c.busy >= 0 && i == c.tries - 1;
            EXPECT_EQ(locks[i], lock + (taken ? "ok" : "failed")) << c.what << " try " << i;
        }
        if (c.busy >= 0) {
            EXPECT_EQ(locks.back(), unlock) << c.what;
        }
        EXPECT_EQ(GetTickCount() - start, c.waited) << c.what;
        unlink(path.c_str());
    }
    standin::reset();
}

// A log planted as another name of some other file, or as a link to one, is never written
// through: the name is deleted and a new file made, and the log says so.
TEST(LogOpen, ALinkIsReplacedNotWrittenThrough) {
    const struct {
        const char *what;
        int (*plant)(const char *victim, const char *log);
    } cases[] = {
        {"hard link", [](const char *victim, const char *log) { return link(victim, log); }},
        {"symbolic link", [](const char *victim, const char *log) { return symlink(victim, log); }},
    };
    for (const auto &c : cases) {
        standin::reset();
        std::string dir = test_support::temp_dir();
        std::string victim = dir + "/victim", log = dir + "/tolvard.log";
        FILE *f = fopen(victim.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fputs("what SYSTEM may write, and its planter may not", f);
        fclose(f);
        ASSERT_EQ(c.plant(victim.c_str(), log.c_str()), 0) << c.what;
        standin::set_module_file_name(test_support::windows_path(dir + "/tolvard.exe").c_str());
        log_open();
        log_msg("main() start:4\n", 0);
        EXPECT_EQ(test_support::read_file(victim), "what SYSTEM may write, and its planter may not")
            << c.what;
        EXPECT_EQ(messages(test_support::read_file(log)),
                  "replaced a log file that had another name or was a reparse point|"
                  "main() start:4|")
            << c.what;
        struct stat st;
        ASSERT_EQ(lstat(log.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1) << c.what;
        standin::reset();
        unlink(log.c_str());
        unlink(victim.c_str());
        rmdir(dir.c_str());
    }
}

// Whatever keeps tolvard.log from being opened and emptied, such as a reader that shares no
// writing, the run logs to a name of its own beside it, and says why; the old log stays.
TEST(LogOpen, ALogThatCannotBeMadeOursGivesWayToAnother) {
    const struct {
        const char *what;
        bool held;
        standin::Call call; // made to fail, call_count for none
        int nth;            // 0: every call
        DWORD error;        // the failure's
        const char *log;    // the old tolvard.log afterwards
        const char *other;  // what tolvard-PID.log holds, "<missing>" for no such file
        const char *kept;   // what tolvard.old.log holds
    } cases[] = {
        {"held without sharing", true, standin::call_count, 0, 0, "old run\r\n",
         "fail to open tolvard.log error=32|a line|", "<missing>"},
        {"not to be opened", false, standin::call_CreateFileA, 1, ERROR_SHARING_VIOLATION,
         "old run\r\n", "fail to open tolvard.log error=32|a line|", "<missing>"},
        // Refused for want of access (a service run under another account): appended to.
        {"only to be appended to", false, standin::call_CreateFileA, 1, ERROR_ACCESS_DENIED,
         "old run|fail to open tolvard.log error=5, appending to it|a line|", "<missing>",
         "<missing>"},
        // The first cut is the old log's own, before the copy.
        {"not to be emptied", false, standin::call_SetEndOfFile, 2, ERROR_ACCESS_DENIED,
         "old run\r\n", "fail to open tolvard.log error=5|a line|", "old run\r\n"},
        // The second open is the old log's.
        {"emptied, not to be opened again", false, standin::call_CreateFileA, 3,
         ERROR_ACCESS_DENIED, "", "fail to open tolvard.log error=5|a line|", "old run\r\n"},
        {"nothing to be opened", false, standin::call_CreateFileA, 0, ERROR_ACCESS_DENIED,
         "old run\r\n", "<missing>", "<missing>"},
        {"not to be told what it is", false, standin::call_GetFileInformationByHandle, 1,
         ERROR_ACCESS_DENIED,
         "replaced a log file that had another name or was a reparse point|a line|", "<missing>",
         "<missing>"},
    };
    for (const auto &c : cases) {
        std::string path = open_fresh_log();
        FILE *old = fopen(path.c_str(), "wb");
        ASSERT_NE(old, nullptr);
        fputs("old run\r\n", old);
        fclose(old);
        std::string dir = path.substr(0, path.rfind('/'));
        std::string other = dir + "/tolvard-" + std::to_string(getpid()) + ".log";
        standin::reset();
        standin::set_module_file_name(test_support::windows_path(dir + "/tolvard.exe").c_str());
        if (c.held)
            standin::hold_file(test_support::windows_path(path).c_str());
        if (c.call != standin::call_count)
            standin::fail(c.call, c.nth, c.error);
        log_open();
        log_msg("a line\n", 0);
        // The files' lines without their time stamps; anything else as it stands.
        auto shown = [](const std::string &content) {
            if (content == "old run\r\n" || content == "" || content == "<missing>")
                return content;
            if (content.compare(0, 9, "old run\r\n") == 0)
                return "old run|" + messages(content.substr(9));
            return messages(content);
        };
        EXPECT_EQ(shown(test_support::read_file(path)), c.log) << c.what;
        EXPECT_EQ(shown(test_support::read_file(other)), c.other) << c.what;
        EXPECT_EQ(test_support::read_file(dir + "/tolvard.old.log"), c.kept) << c.what;
        unlink(other.c_str());
        unlink((dir + "/tolvard.old.log").c_str());
        unlink(path.c_str());
        rmdir(dir.c_str());
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

// The log of the run before is kept as tolvard.old.log, byte for byte, whatever its size; the
// log itself stays the same file, so that what others hold open on it goes on with the current
// log: another service's later lines land there, and a reader reads the new run. What cannot be
// kept stays in the log, and the lines go on after it.
TEST(LogOpen, KeepsTheRunBeforeAsTheOldLog) {
    const std::string big = std::string(150 * 1024, 'b') + "\r\n"; // more than one read
    const std::string old_run = "2026/12/08 10:15:02:old run\r\n";
    const struct {
        const char *what;
        std::string before;     // tolvard.log before the start
        std::string old_before; // tolvard.old.log before it, "<missing>" for none
        standin::Call call;     // made to fail, call_count for none
        int nth;
        std::string kept;  // tolvard.old.log after it
        std::string lines; // tolvard.log's messages after it, with "new run" logged
    } cases[] = {
        {"first keep", old_run, "<missing>", standin::call_count, 0, old_run, "new run|"},
        {"an older one replaced", old_run, std::string(500, 'o'), standin::call_count, 0, old_run,
         "new run|"},
        {"a big log", big, "<missing>", standin::call_count, 0, big, "new run|"},
        {"nothing to keep", "", "older\r\n", standin::call_count, 0, "older\r\n", "new run|"},
        {"the old log not to be made", old_run, "<missing>", standin::call_CreateFileA, 2,
         "<missing>",
         "old run|fail to keep tolvard.old.log error=5|what tolvard.log held stays in it|new run|"},
        {"the log not to be read", old_run, "<missing>", standin::call_ReadFile, 1, "",
         "old run|fail to keep tolvard.old.log error=5|what tolvard.log held stays in it|new run|"},
        {"the copy not to be written", old_run, "<missing>", standin::call_WriteFile, 1, "",
         "old run|fail to keep tolvard.old.log error=5|what tolvard.log held stays in it|new run|"},
    };
    for (const auto &c : cases) {
        std::string path = open_fresh_log();
        std::string dir = path.substr(0, path.rfind('/'));
        std::string old = dir + "/tolvard.old.log";
        standin::reset();
        test_support::write_file(path, c.before);
        if (c.old_before != "<missing>")
            test_support::write_file(old, c.old_before);
        // Another service's handle, and a reader's, open on the log from before the start.
        FILE *other = fopen(path.c_str(), "ab");
        FILE *reader = fopen(path.c_str(), "rb");
        ASSERT_TRUE(other != nullptr && reader != nullptr);
        standin::set_module_file_name(test_support::windows_path(dir + "/tolvard.exe").c_str());
        if (c.call != standin::call_count)
            standin::fail(c.call, c.nth, ERROR_ACCESS_DENIED);
        log_open();
        log_msg("new run\n", 0);
        EXPECT_EQ(test_support::read_file(old), c.kept) << c.what;
        EXPECT_EQ(messages(test_support::read_file(path)), c.lines) << c.what;
        fputs("2026/12/08 10:15:02:the other service's line\r\n", other);
        fflush(other);
        EXPECT_EQ(messages(test_support::read_file(path)), c.lines + "the other service's line|")
            << c.what;
        std::string seen;
        rewind(reader);
        for (int ch; (ch = fgetc(reader)) != EOF;)
            seen += static_cast<char>(ch);
        EXPECT_EQ(seen, test_support::read_file(path)) << c.what;
        fclose(other);
        fclose(reader);
        standin::reset();
        unlink(old.c_str());
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
}

// The lines of a batch go in one turn and one write, each stamped as log_text would stamp it;
// a line too long or without its end is dropped, and nothing else with it.
TEST(LogLines, ABatchInOneTurn) {
    const std::string long_line = std::string(999, 'x') + "\n";
    const struct {
        const char *what;
        std::string text;
        std::string lines;
    } cases[] = {
        {"three lines", "> one\n> two\n> \n", "> one|> two|> |"},
        {"a line too long", "> a\n" + long_line + "> b\n", "> a|> b|"},
        {"the longest line", std::string(998, 'y') + "\n", std::string(998, 'y') + "|"},
        {"no end on the last", "> a\n> b", "> a|"},
        {"nothing", "", ""},
    };
    for (const auto &c : cases) {
        std::string path = open_fresh_log();
        EXPECT_TRUE(log_lines(c.text.data(), c.text.size(), false)) << c.what;
        EXPECT_EQ(messages(test_support::read_file(path)), c.lines) << c.what;
        // The first turn was the start's, which emptied the log.
        EXPECT_EQ(standin::file_locks().size(), 4u) << c.what;
        unlink(path.c_str());
    }
    // Without memory for the batch each line still goes whole, in the one turn.
    std::string path = open_fresh_log();
    standin::fail(standin::call_HeapAlloc, 0, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(log_lines("> a\n> b\n", 8, false));
    standin::reset();
    EXPECT_EQ(messages(test_support::read_file(path)), "> a|> b|");
    unlink(path.c_str());
}

// A batch never waits: while another process has the turn it writes nothing and says so, and
// the caller, which drains the child's output meanwhile, tries again; forced, it writes all the
// same, as a line does after its 2 s. Another thread of this process that is writing the log
// makes it wait too.
TEST(LogLines, NeverWaits) {
    const struct {
        const char *what;
        DWORD error; // of the one lock try; 0: it is free
        bool force;
        bool written;
        size_t locks; // the start's two, then this one's
    } cases[] = {
        {"free", 0, false, true, 4},
        {"held", ERROR_LOCK_VIOLATION, false, false, 3},
        {"held, forced", ERROR_LOCK_VIOLATION, true, true, 3},
        {"no locks here", ERROR_NOT_SUPPORTED, false, true, 3},
    };
    for (const auto &c : cases) {
        std::string path = open_fresh_log();
        const DWORD start = 1000;
        standin::set_tick_count(&start);
        if (c.error != 0)
            standin::fail(standin::call_LockFileEx, 1, c.error);
        EXPECT_EQ(log_lines("> a\n", 4, c.force), c.written) << c.what;
        EXPECT_EQ(messages(test_support::read_file(path)), c.written ? "> a|" : "") << c.what;
        EXPECT_EQ(standin::file_locks().size(), c.locks) << c.what;
        EXPECT_EQ(GetTickCount(), start) << c.what << ": no time spent waiting";
        unlink(path.c_str());
    }
    // A line of another thread that waits for its turn holds the log meanwhile.
    std::string path = open_fresh_log();
    standin::fail(standin::call_LockFileEx, 0, ERROR_LOCK_VIOLATION);
    std::atomic<bool> writing{false};
    std::thread other([&] {
        writing = true;
        log_msg("the other thread's line\n", 0);
    });
    while (!writing)
        std::this_thread::yield();
    // The other thread holds the log for its 2 s; a batch tried meanwhile is refused.
    bool refused = false;
    for (int i = 0; i < 1000 && !refused; ++i) {
        refused = !log_lines("> a\n", 4, true);
        if (!refused)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    other.join();
    EXPECT_TRUE(refused);
    standin::reset();
    unlink(path.c_str());
}

} // namespace

namespace {

std::string service_name(const std::string &service) {
    return take(log_service_name(service.c_str()));
}

TEST(LogServiceName, EscapesWhatAFileNameCannotHold) {
    const std::string a240(240, 'a');
    const struct {
        std::string service;
        std::string expected;
    } cases[] = {
        {"Svc", "Svc"},
        {"my service-1.2_x", "my service-1.2_x"},
        // Characters no file name may hold, and those of the escape itself.
        {"a:b*c?d", "a%3Ab%2Ac%3Fd"},
        {"\"<>|/\\", "%22%3C%3E%7C%2F%5C"},
        {"x%41", "x%2541"},
        {"x#y~1", "x%23y%7E1"},
        // Controls and every byte of 0x7F and above.
        {"tab\there\x7F", "tab%09here%7F"},
        {"\xE9t\xC9", "%E9t%C9"},
        // Windows drops a trailing dot or blank; one before the end stays.
        {"name.", "name%2E"},
        {"name ", "name%20"},
        {"a. .", "a. %2E"},
        {".", "%2E"},
        // No log is another's old file.
        {"x.old", "x%2Eold"},
        {"x.OLD", "x%2EOLD"},
        {"x.older", "x.older"},
        {"old", "old"},
        // Device names, with or without an extension or blanks before it.
        {"CON", "%43ON"},
        {"con.txt", "%63on.txt"},
        {"Nul .x", "%4Eul .x"},
        {"AUX", "%41UX"},
        {"PRN", "%50RN"},
        {"COM1", "%43OM1"},
        {"lpt9.log", "%6Cpt9.log"},
        {"CONIN$", "%43ONIN$"},
        {"CONOUT$.a.b", "%43ONOUT$.a.b"},
        {"COM10", "COM10"},
        {"CONX", "CONX"},
        {"xCON", "xCON"},
        {"", "%00"},
        // Past 240 characters, folders of 240 and a "#" each; an escape is never cut in two,
        // and a device name is one in any piece.
        {std::string(256, 'a'), a240 + "#\\" + std::string(16, 'a')},
        {std::string(239, 'a') + ":b", std::string(239, 'a') + "#\\%3Ab"},
        {std::string(238, 'a') + ":b", std::string(238, 'a') + "#\\%3Ab"},
        {a240 + "CON", a240 + "#\\%43ON"},
        {a240 + a240 + "x", a240 + "#\\" + a240 + "#\\x"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(service_name(c.service), c.expected) << c.service;
}

std::string folded(std::string text) {
    for (char &c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

bool device_stem(const std::string &name) {
    std::string stem = folded(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    static const std::regex device("con|prn|aux|nul|com[0-9]|lpt[0-9]|conin\\$|conout\\$|clock\\$");
    return std::regex_match(stem, device);
}

// Every name from pieces that each stress a part of the rule: the files of two different
// names (without regard to case, as Windows compares both) are never one, neither are a log and
// another's old file or a folder, and every name in the path is one Windows keeps as it is.
TEST(LogServiceName, DifferentNamesNeverShareAFile) {
    const std::vector<std::string> pieces = {"a",   "A",    ".",    " ",    ":",
                                             "%",   "%3A",  "#",    "~1",   "CON",
                                             "con", ".old", "\x01", "\xE9", "x.log"};
    std::vector<std::string> names;
    for (const std::string &p : pieces) {
        names.push_back(p);
        for (const std::string &q : pieces) {
            names.push_back(p + q);
            for (const std::string &r : pieces)
                names.push_back(p + q + r);
        }
    }
    for (size_t n : {238, 239, 240, 241, 256})
        for (const std::string &p : pieces)
            names.push_back(std::string(n - 1, 'b') + p);
    std::map<std::string, std::string> owner; // folded path of every file and folder -> name
    for (const std::string &name : names) {
        std::string base = service_name(name);
        std::vector<std::string> paths = {base + ".log", base + ".old.log"};
        for (size_t cut = base.find('\\'); cut != std::string::npos; cut = base.find('\\', cut + 1))
            paths.push_back(base.substr(0, cut));
        for (const std::string &path : paths) {
            auto [it, added] = owner.emplace(folded(path), name);
            // A folder is shared by the names of one beginning; a file never.
            bool folder = path.size() < base.size();
            EXPECT_TRUE(added || folder || folded(it->second) == folded(name))
                << "\"" << name << "\" and \"" << it->second << "\" share " << path;
        }
        std::string file = base + ".old.log";
        size_t start = 0;
        for (;;) {
            size_t end = file.find('\\', start);
            std::string part = file.substr(start, end == std::string::npos ? end : end - start);
            EXPECT_LE(part.size(), 255u) << name;
            EXPECT_FALSE(part.empty() || part.back() == '.' || part.back() == ' ') << name;
            EXPECT_FALSE(device_stem(part)) << name << ": " << part;
            for (unsigned char c : part)
                EXPECT_TRUE(c >= 0x20 && c < 0x7F && strchr("/:*?\"<>|~", c) == nullptr)
                    << name << ": " << part;
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
}

struct ServiceRun {
    std::string dir;
    std::string tolvard_log; // native paths
    std::string service_log;
};

// Opens both logs for the service `service` in a fresh directory, after one host line.
ServiceRun open_service_run(const std::string &service,
                            const std::function<void(const std::string &)> &setup = {}) {
    standin::reset();
    ServiceRun run;
    run.dir = test_support::temp_dir();
    if (setup)
        setup(run.dir);
    // With its drive, as Windows gives the executable's path: the long form needs one.
    standin::set_module_file_name(
        ("Z:" + test_support::windows_path(run.dir + "/tolvard.exe")).c_str());
    log_open();
    log_msg("main() start:%d\n", 4);
    log_open_service(service.c_str());
    run.tolvard_log = run.dir + "/tolvard.log";
    run.service_log = run.dir + "/logs/" + service + ".log";
    return run;
}

void remove_tree(const std::string &dir) {
    std::string command = "rm -rf '" + dir + "'";
    ASSERT_EQ(system(command.c_str()), 0);
}

// The service's log holds the host's lines and the child's, appended across runs; tolvard.log
// the host's alone.
TEST(LogOpenService, EveryLineOfTheServiceAcrossItsRuns) {
    ServiceRun run = open_service_run("Svc");
    log_msg("MyServiceStart start:%d\n", 1);
    const char child[] = "> one\n> two\n";
    EXPECT_TRUE(log_lines(child, sizeof child - 1, false));
    log_msg("main() end\n", 0);
    // The next run of the same service, by the same copy.
    log_open();
    log_msg("main() start:%d\n", 4);
    log_open_service("Svc");
    log_lines("> three\n", 8, false);
    EXPECT_EQ(messages(test_support::read_file(run.tolvard_log)), "main() start:4|");
    EXPECT_EQ(messages(test_support::read_file(run.service_log)),
              "main() start:4|MyServiceStart start:1|> one|> two|main() end|"
              "main() start:4|> three|");
    auto folders = standin::folders_made();
    ASSERT_GE(folders.size(), 1u);
    EXPECT_EQ(folders[0].path, "Z:" + test_support::windows_path(run.dir + "/logs"));
    standin::reset();
    remove_tree(run.dir);
}

// A name past MAX_PATH still gets its log, through the wide calls' long form; so does each
// name that needs an escape, and nothing is written anywhere else.
TEST(LogOpenService, NamesThatNeedTheRule) {
    const struct {
        std::string service;
        std::string file; // under logs
    } cases[] = {
        {"a:b", "a%3Ab.log"},
        {"CON", "%43ON.log"},
        {"what?*", "what%3F%2A.log"},
        {std::string(256, 'n'), std::string(240, 'n') + "#/" + std::string(16, 'n') + ".log"},
    };
    for (const auto &c : cases) {
        ServiceRun run = open_service_run(c.service);
        log_lines("> out\n", 6, false);
        EXPECT_EQ(messages(test_support::read_file(run.dir + "/logs/" + c.file)),
                  "main() start:4|> out|")
            << c.service;
        EXPECT_EQ(messages(test_support::read_file(run.tolvard_log)), "main() start:4|")
            << c.service;
        std::string listing = run.dir + "/listing";
        std::string command =
            "cd '" + run.dir + "' && find . -type f ! -name listing | sort > '" + listing + "'";
        ASSERT_EQ(system(command.c_str()), 0);
        EXPECT_EQ(test_support::read_file(listing), "./logs/" + c.file + "\n./tolvard.log\n")
            << c.service;
        standin::reset();
        remove_tree(run.dir);
    }
}

// A reparse point or a hard link in the place of the folder or the file is never written
// through: the run logs to a file of its own, or to tolvard.log, and says so there.
TEST(LogOpenService, NeverThroughALinkButElsewhereAndSaysWhere) {
    const unsigned long pid = static_cast<unsigned long>(getpid());
    const struct {
        const char *what;
        void (*plant)(const std::string &dir);
        std::string line;      // in tolvard.log
        std::string elsewhere; // the file that holds the service's lines, under the directory
    } cases[] = {
        {"the log a symbolic link",
         [](const std::string &dir) {
             ASSERT_EQ(mkdir((dir + "/logs").c_str(), 0755), 0);
             ASSERT_EQ(symlink((dir + "/victim").c_str(), (dir + "/logs/Svc.log").c_str()), 0);
         },
         "fail to open logs\\Svc.log error=5, logging to logs\\Svc#" + std::to_string(pid) + ".log",
         "logs/Svc#" + std::to_string(pid) + ".log"},
        {"the log a hard link",
         [](const std::string &dir) {
             ASSERT_EQ(mkdir((dir + "/logs").c_str(), 0755), 0);
             ASSERT_EQ(link((dir + "/victim").c_str(), (dir + "/logs/Svc.log").c_str()), 0);
         },
         "fail to open logs\\Svc.log error=5, logging to logs\\Svc#" + std::to_string(pid) + ".log",
         "logs/Svc#" + std::to_string(pid) + ".log"},
        {"the folder a symbolic link",
         [](const std::string &dir) {
             ASSERT_EQ(mkdir((dir + "/elsewhere").c_str(), 0755), 0);
             ASSERT_EQ(symlink((dir + "/elsewhere").c_str(), (dir + "/logs").c_str()), 0);
         },
         "fail to open logs\\Svc.log error=5, logging to tolvard.log", "tolvard.log"},
    };
    for (const auto &c : cases) {
        ServiceRun run = open_service_run("Svc", [&c](const std::string &dir) {
            test_support::write_file(dir + "/victim", "not the log's");
            c.plant(dir);
        });
        log_lines("> out\n", 6, false);
        EXPECT_EQ(test_support::read_file(run.dir + "/victim"), "not the log's") << c.what;
        EXPECT_EQ(messages(test_support::read_file(run.tolvard_log)).find(c.line + "|"),
                  std::string("main() start:4|").size())
            << c.what << ": " << test_support::read_file(run.tolvard_log);
        std::string elsewhere = messages(test_support::read_file(run.dir + "/" + c.elsewhere));
        EXPECT_NE(elsewhere.find("> out|"), std::string::npos) << c.what;
        struct stat st;
        if (lstat((run.dir + "/elsewhere").c_str(), &st) == 0) {
            std::string listing = run.dir + "/listing";
            ASSERT_EQ(system(("ls -A '" + run.dir + "/elsewhere' > '" + listing + "'").c_str()), 0);
            EXPECT_EQ(test_support::read_file(listing), "") << c.what;
        }
        standin::reset();
        remove_tree(run.dir);
    }
}

} // namespace

namespace {

// Whole stamped lines "> line K" from `first` on, up to at least `bytes` bytes.
std::string stamped_lines(size_t bytes, int first = 1) {
    std::string text;
    for (int k = first; text.size() < bytes; ++k)
        text += "2026/12/08 10:15:02:> line " + std::to_string(k) + "\r\n";
    return text;
}

// The messages of a log of many megabytes, one per line, without the regular expression that
// messages() takes (too slow for them); a line not of the form "STAMP:message CR LF" comes out
// as "!! malformed", so that a comparison fails on it.
std::vector<std::string> big_messages(const std::string &log) {
    std::vector<std::string> result;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find("\r\n", at);
        if (end == std::string::npos || end - at < 20 || log[at + 4] != '/' ||
            log[at + 19] != ':') {
            result.push_back("!! malformed");
            break;
        }
        result.push_back(log.substr(at + 20, end - at - 20));
        at = end + 2;
    }
    return result;
}

// The numbers of the "> line K" messages of a log, in order.
std::vector<int> line_numbers(const std::string &log) {
    std::vector<int> numbers;
    for (const std::string &m : big_messages(log)) {
        if (m.rfind("> line ", 0) == 0)
            numbers.push_back(std::stoi(m.substr(7)));
    }
    return numbers;
}

// The log's own lines of a log, without the child's, "|"-separated.
std::string own_lines(const std::string &log) {
    std::string own;
    for (const std::string &m : big_messages(log)) {
        if (m.rfind("> ", 0) != 0)
            own += m + "|";
    }
    return own;
}

// Whether `text` ends with `end`.
bool ends_with(const std::string &text, const std::string &end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Every file and folder of the logs is for SYSTEM and Administrators alone (and services, to
// append to the host's log and open the folder; the service's own SID, to write its own log):
// what the logs make (the host's log, its old file, the `logs` folder, which passes the same on
// to what is made in it, the service's log, and the name of the run's own that stands in for a
// log held by another process), and what an older tolvard made with Users' read, set anew when
// the host opens it; never a file of two names, whose security is another file's too.
TEST(LogOpenService, OnlySystemAndAdministratorsMayOpenTheLogs) {
    const std::string admins = "(A;0x0;0x1f01ff;S-1-5-18)(A;0x0;0x1f01ff;S-1-5-32-544)";
    const std::string file = admins + "(A;0x0;0x120084;S-1-5-80-0)";
    const std::string own = admins + "(A;0x0;0x12019f;" + standin::service_sid("Svc") + ")";
    const std::string folder = "(A;0x3;0x1f01ff;S-1-5-18)(A;0x3;0x1f01ff;S-1-5-32-544)"
                               "(A;0x0;0x120081;S-1-5-80-0)";
    const std::string pid = std::to_string(getpid());
    const struct {
        const char *what;
        void (*setup)(const std::string &dir);
        std::string name; // the end of its Windows path
        bool is_folder;
        bool made; // made by this run, else there before
        bool set;  // its security set anew
    } cases[] = {
        {"a new host's log", nullptr, "\\tolvard.log", false, true, true},
        {"the host's old file kept now",
         [](const std::string &dir) {
             test_support::write_file(dir + "/tolvard.log", "2026/12/08 10:15:02:old run\r\n");
         },
         "\\tolvard.old.log", false, true, true},
        {"a new logs folder", nullptr, "\\logs", true, true, true},
        {"a new service's log", nullptr, "\\logs\\Svc.log", false, true, true},
        {"a name of the run's own",
         [](const std::string &dir) {
             standin::hold_file(("Z:" + test_support::windows_path(dir + "/logs/Svc.log")).c_str());
         },
         "\\logs\\Svc#" + pid + ".log", false, true, true},
        {"an older host's old file",
         [](const std::string &dir) { test_support::write_file(dir + "/tolvard.old.log", "x"); },
         "\\tolvard.old.log", false, false, true},
        {"an older logs folder",
         [](const std::string &dir) { ASSERT_EQ(mkdir((dir + "/logs").c_str(), 0755), 0); },
         "\\logs", true, false, true},
        {"an older service's log",
         [](const std::string &dir) {
             ASSERT_EQ(mkdir((dir + "/logs").c_str(), 0755), 0);
             test_support::write_file(dir + "/logs/Svc.log", "x");
         },
         "\\logs\\Svc.log", false, false, true},
        {"an older service's old file",
         [](const std::string &dir) {
             ASSERT_EQ(mkdir((dir + "/logs").c_str(), 0755), 0);
             test_support::write_file(dir + "/logs/Svc.old.log", "x");
         },
         "\\logs\\Svc.old.log", false, false, true},
        {"an old file of two names",
         [](const std::string &dir) {
             test_support::write_file(dir + "/victim", "x");
             ASSERT_EQ(link((dir + "/victim").c_str(), (dir + "/tolvard.old.log").c_str()), 0);
         },
         "\\tolvard.old.log", false, false, false},
    };
    for (const auto &c : cases) {
        ServiceRun run = open_service_run("Svc", c.setup);
        const std::string &dacl = c.is_folder                                    ? folder
                                  : c.name.find("\\logs\\") != std::string::npos ? own
                                                                                 : file;
        std::vector<std::string> made;
        if (c.is_folder) {
            for (const auto &f : standin::folders_made()) {
                if (ends_with(f.path, c.name))
                    made.push_back(f.dacl);
            }
        } else {
            for (const auto &open : standin::file_opens()) {
                if (ends_with(open.path, c.name) && !open.dacl.empty())
                    made.push_back(open.dacl);
            }
        }
        // Every open that may make it gives the security; only one that makes it uses it.
        if (c.made) {
            EXPECT_FALSE(made.empty()) << c.what;
        }
        for (const auto &d : made)
            EXPECT_EQ(d, dacl) << c.what;
        std::vector<std::string> sets;
        for (const auto &set : standin::security_sets()) {
            if (ends_with(set.substr(0, set.find(' ')), c.name))
                sets.push_back(set.substr(set.find(' ') + 1));
        }
        EXPECT_EQ(sets, c.set ? std::vector<std::string>{"0x80000004 " + dacl}
                              : std::vector<std::string>{})
            << c.what;
        EXPECT_EQ(test_support::read_file(run.tolvard_log).find("private"), std::string::npos)
            << c.what;
        standin::reset();
        remove_tree(run.dir);
    }
}

// A file or folder whose security cannot be set is said once in its log, and the logs go on.
TEST(LogOpenService, SecurityThatCannotBeSetIsSaidOnce) {
    const struct {
        const char *what;
        int nth;   // the first SetSecurityInfo that fails, counted from log_open
        int count; // how many fail from there
        std::string host_lines;
        std::string service_lines; // the host's lines from before it is open are kept in it
    } cases[] = {
        {"the host's log", 1, 1, "fail to make tolvard.log private error=5|main() start:4|",
         "fail to make tolvard.log private error=5|main() start:4|> out|"},
        {"every one", 1, 1000,
         "fail to make tolvard.log private error=5|main() start:4|"
         "fail to make logs private error=5|",
         "fail to make tolvard.log private error=5|main() start:4|"
         "fail to make logs private error=5|> out|"},
        // The host's log, then the logs folder (tolvard.old.log is missing, so never set).
        {"the service's log", 3, 1, "main() start:4|fail to make logs\\Svc.log private error=5|",
         "main() start:4|fail to make logs\\Svc.log private error=5|> out|"},
    };
    for (const auto &c : cases) {
        ServiceRun run = open_service_run("Svc", [&c](const std::string &) {
            standin::fail(standin::call_SetSecurityInfo, c.nth, ERROR_ACCESS_DENIED, c.count);
        });
        log_lines("> out\n", 6, false);
        EXPECT_EQ(messages(test_support::read_file(run.tolvard_log)), c.host_lines) << c.what;
        EXPECT_EQ(messages(test_support::read_file(run.service_log)), c.service_lines) << c.what;
        standin::reset();
        remove_tree(run.dir);
    }
}

// A service's log that would pass 16 MiB is kept as its old file, replacing the one before,
// and starts anew: every line whole, in one file or the other, none lost or doubled. What keeps
// it from being kept leaves it as it is, with a line that says so, tried again a MiB later.
TEST(LogRotation, AFullLogIsKeptAndStartsAnew) {
    const size_t limit = 16u << 20;
    const struct {
        const char *what;
        size_t before;         // bytes in the log before the lines
        std::string fault;     // "", "old held", "log held", "read", "old write"
        bool kept;             // whether the log started anew
        std::string own_lines; // the log's own lines at the end, "|"-separated
    } cases[] = {
        {"under the limit", limit - 4096, "", false, "main() start:4|"},
        {"at the limit", limit - 40, "", true, ""},
        {"the old file held without sharing", limit - 40, "old held", false,
         "main() start:4|fail to keep logs\\Svc.old.log error=32|"},
        {"the log held by a reader without sharing", limit - 40, "log held", false,
         "main() start:4|fail to keep logs\\Svc.old.log error=32|"},
        {"the copy not read", limit - 40, "read", false,
         "main() start:4|fail to keep logs\\Svc.old.log error=5|"},
        {"the copy not written (a full disk)", limit - 40, "old write", false,
         "main() start:4|fail to keep logs\\Svc.old.log error=112|"},
    };
    const std::string lines = stamped_lines(limit);
    for (const auto &c : cases) {
        // Whole lines, at most c.before bytes.
        std::string before = lines.substr(0, lines.rfind("\r\n", c.before - 2) + 2);
        int first = line_numbers(before).back() + 1;
        ServiceRun run = open_service_run("Svc", [&](const std::string &dir) {
            ASSERT_EQ(mkdir((dir + "/logs").c_str(), 0755), 0);
            test_support::write_file(dir + "/logs/Svc.log", before);
            test_support::write_file(dir + "/logs/Svc.old.log", "the one before\r\n");
        });
        std::string windows = "Z:" + test_support::windows_path(run.dir);
        if (c.fault == "old held")
            standin::hold_file((windows + "\\logs\\Svc.old.log").c_str());
        if (c.fault == "log held")
            standin::hold_file((windows + "\\logs\\Svc.log").c_str());
        if (c.fault == "read")
            standin::fail(standin::call_ReadFile, 1, ERROR_ACCESS_DENIED);
        if (c.fault == "old write")
            standin::fail(standin::call_WriteFile, 1, ERROR_DISK_FULL);
        // A reader that shares everything, open from before.
        FILE *reader = fopen(run.service_log.c_str(), "rb");
        ASSERT_NE(reader, nullptr);
        // 100 lines of the child in batches of 10, then 2 MiB more in one line each.
        for (int batch = 0; batch < 10; ++batch) {
            std::string text;
            for (int k = 0; k < 10; ++k)
                text += "> line " + std::to_string(first + batch * 10 + k) + "\n";
            EXPECT_TRUE(log_lines(text.c_str(), text.size(), true)) << c.what;
        }
        std::string log = test_support::read_file(run.service_log);
        std::string old = test_support::read_file(run.dir + "/logs/Svc.old.log");
        std::vector<int> all = line_numbers(c.kept ? old + log : log);
        std::vector<int> expected(first + 99);
        for (size_t k = 0; k < expected.size(); ++k)
            expected[k] = static_cast<int>(k) + 1;
        EXPECT_EQ(all, expected) << c.what << ": every line once, in order";
        EXPECT_EQ(own_lines(c.kept ? old + log : log), c.kept ? "main() start:4|" : c.own_lines)
            << c.what;
        if (c.kept) {
            EXPECT_EQ(old.size(), before.size() + std::string("main() start:4\r\n").size() + 20)
                << c.what << ": the old file is what the log held";
            EXPECT_LT(log.size(), 4096u) << c.what;
        } else if (c.fault.empty()) {
            EXPECT_EQ(old, "the one before\r\n") << c.what;
        }
        EXPECT_LE(test_support::read_file(run.service_log).size(), c.kept ? limit : limit + 8192)
            << c.what;
        // The reader goes on reading the current log from its start.
        rewind(reader);
        std::string seen(log.size() + 1, '\0');
        seen.resize(fread(seen.data(), 1, seen.size(), reader));
        EXPECT_EQ(seen, log) << c.what;
        fclose(reader);
        standin::reset();
        remove_tree(run.dir);
    }
}

// A keeping that failed is tried again once the log has grown by a MiB, and then succeeds.
TEST(LogRotation, AFailedKeepIsTriedAgainAMiBLater) {
    const size_t limit = 16u << 20;
    ServiceRun run = open_service_run("Svc", [&](const std::string &dir) {
        ASSERT_EQ(mkdir((dir + "/logs").c_str(), 0755), 0);
        test_support::write_file(dir + "/logs/Svc.log", stamped_lines(limit - 100));
    });
    standin::fail(standin::call_ReadFile, 1, ERROR_ACCESS_DENIED);
    const std::string line(900, 'x');
    const std::string text = "> " + line + "\n";
    // Past the MiB after the failure: about 1200 lines of 920 bytes.
    for (int k = 0; k < 1300; ++k)
        log_lines(text.c_str(), text.size(), true);
    std::string log = test_support::read_file(run.service_log);
    std::string old = test_support::read_file(run.dir + "/logs/Svc.old.log");
    EXPECT_EQ(own_lines(old), "main() start:4|fail to keep logs\\Svc.old.log error=5|");
    EXPECT_GT(old.size(), limit + (1u << 20)) << "kept a MiB after the failure, not before";
    // Whole lines in each.
    EXPECT_EQ(own_lines(log).find("!!"), std::string::npos);
    const std::string both = old + log;
    size_t count = 0;
    for (size_t at = 0; (at = both.find(line, at)) != std::string::npos; at += line.size())
        ++count;
    EXPECT_EQ(count, 1300u);
    standin::reset();
    remove_tree(run.dir);
}

// A write that fails (a full disk) is counted, and the next line that can be written says how
// many were not, in each log.
TEST(LogRotation, FailedWritesAreCountedAndSaid) {
    ServiceRun run = open_service_run("Svc");
    // The disk full for every write, the notes of the lines lost included, then free again.
    standin::fail(standin::call_WriteFile, 0, ERROR_DISK_FULL);
    log_msg("lost one\n", 0);
    log_msg("lost two\n", 0);
    log_lines("> lost three\n> lost four\n", 26, true);
    log_lines("> lost five\n", 12, true);
    standin::fail(standin::call_WriteFile, 1000000, ERROR_DISK_FULL);
    log_msg("written\n", 0);
    EXPECT_EQ(messages(test_support::read_file(run.tolvard_log)),
              "main() start:4|2 lines could not be written|written|");
    EXPECT_EQ(messages(test_support::read_file(run.service_log)),
              "main() start:4|5 lines could not be written|written|");
    standin::reset();
    remove_tree(run.dir);
}

// A tolvard.log of gigabytes left by an older tolvard is renamed at the start, not copied, so
// the start takes no time in its size; if it cannot be, it stays, and the lines say so.
TEST(LogOpen, AHugeLogIsRenamedNotCopied) {
    const struct {
        const char *what;
        bool held; // tolvard.old.log held without sharing
        std::string lines;
    } cases[] = {
        {"renamed", false, "new run|"},
        {"the old file held", true,
         "fail to keep tolvard.old.log error=32|what tolvard.log held stays in it|"
         "fail to make tolvard.old.log private error=32|new run|"},
    };
    for (const auto &c : cases) {
        standin::reset();
        std::string dir = test_support::temp_dir();
        std::string log = dir + "/tolvard.log";
        std::string windows = "Z:" + test_support::windows_path(dir);
        // 3 GB, sparse: its first line, then nothing.
        test_support::write_file(log, "2026/12/08 10:15:02:old run\r\n");
        ASSERT_EQ(truncate(log.c_str(), 3000000000LL), 0);
        standin::set_module_file_name((windows + "\\tolvard.exe").c_str());
        if (c.held)
            standin::hold_file((windows + "\\tolvard.old.log").c_str());
        log_open();
        log_msg("new run\n", 0);
        EXPECT_EQ(standin::calls(standin::call_ReadFile), 0) << c.what << ": nothing copied";
        EXPECT_EQ(standin::moves(), std::vector<std::string>{windows + "\\tolvard.log -> " +
                                                             windows + "\\tolvard.old.log"})
            << c.what;
        struct stat st;
        if (!c.held) {
            ASSERT_EQ(stat((dir + "/tolvard.old.log").c_str(), &st), 0);
            EXPECT_EQ(st.st_size, 3000000000LL) << c.what;
            EXPECT_EQ(messages(test_support::read_file(log)), c.lines) << c.what;
        } else {
            ASSERT_EQ(stat(log.c_str(), &st), 0);
            EXPECT_GT(st.st_size, 3000000000LL) << c.what << ": the lines after what it held";
            // The lines after the hole: what was written at the end.
            FILE *f = fopen(log.c_str(), "rb");
            ASSERT_NE(f, nullptr);
            fseeko(f, 3000000000LL, SEEK_SET);
            std::string tail;
            for (int ch; (ch = fgetc(f)) != EOF;)
                tail += static_cast<char>(ch);
            fclose(f);
            EXPECT_EQ(messages(tail), c.lines) << c.what;
            // The next line does not try again at once.
            log_msg("later\n", 0);
            EXPECT_EQ(standin::moves().size(), 1u) << c.what;
        }
        standin::reset();
        unlink(log.c_str());
        unlink((dir + "/tolvard.old.log").c_str());
        rmdir(dir.c_str());
    }
}

} // namespace

namespace {

// Lines handed over are never waited for: they wait in order for the next writer, who writes
// them before its own; the reader of the child's output only if it can at once.
TEST(LogHandOver, WrittenInOrderBeforeTheNextLine) {
    ServiceRun run = open_service_run("Svc");
    const std::string both = "main() start:4|";
    // The stand-in's clock, which only its Sleep moves: the 2 s waits for the turn cost nothing.
    const DWORD ticks = 5000;
    standin::set_tick_count(&ticks);
    standin::fail(standin::call_LockFileEx, 0, ERROR_LOCK_VIOLATION);
    int locks = standin::calls(standin::call_LockFileEx);
    log_hand_over_for_flush("Leaving MyService\n", 0);
    log_hand_over_for_flush("Unrecognized opcode %ld\n", 200);
    EXPECT_EQ(standin::calls(standin::call_LockFileEx), locks) << "no try at the turn";
    EXPECT_TRUE(log_handed_over());
    EXPECT_EQ(messages(test_support::read_file(run.service_log)), both);
    // The reader: the turn is taken, so it writes nothing, the lines handed over neither.
    EXPECT_FALSE(log_lines("> child\n", 8, false));
    EXPECT_EQ(messages(test_support::read_file(run.service_log)), both);
    // Forced, after its time: both, in order.
    EXPECT_TRUE(log_lines("> child\n", 8, true));
    EXPECT_FALSE(log_handed_over());
    EXPECT_EQ(messages(test_support::read_file(run.service_log)),
              both + "Leaving MyService|Unrecognized opcode 200|> child|");
    EXPECT_EQ(messages(test_support::read_file(run.tolvard_log)),
              both + "Leaving MyService|Unrecognized opcode 200|");
    // The turn free: the next line of any thread writes them first.
    standin::fail(standin::call_LockFileEx, 1000000, ERROR_LOCK_VIOLATION);
    log_hand_over_for_flush("SetServiceStatus error %ld\n", 6);
    log_msg("exec_proc() end\n", 0);
    const std::string before = both + "Leaving MyService|Unrecognized opcode 200|";
    EXPECT_EQ(messages(test_support::read_file(run.tolvard_log)),
              before + "SetServiceStatus error 6|exec_proc() end|");
    // Beyond 16 KiB waiting, a line is counted, and said.
    const std::string long_line = std::string(900, 'x') + "\n";
    for (int k = 0; k < 20; ++k)
        log_hand_over_for_flush(long_line.c_str(), 0);
    log_flush();
    log_msg("next\n", 0);
    std::string log = messages(test_support::read_file(run.service_log));
    EXPECT_NE(log.find("|2 lines could not be written|next|"), std::string::npos);
    size_t written = 0;
    for (size_t at = 0; (at = log.find(long_line.substr(0, 900) + "|", at)) != std::string::npos;
         at += 900)
        ++written;
    EXPECT_EQ(written, 18u) << "as many as 16 KiB hold";
    // With no other line to come, the writer that log_hand_over starts writes them.
    log_hand_over("Unrecognized opcode %ld\n", 201);
    bool seen = false;
    for (int tries = 0; tries < 500 && !seen; ++tries) {
        seen =
            messages(test_support::read_file(run.tolvard_log)).find("|Unrecognized opcode 201|") !=
            std::string::npos;
        if (!seen)
            usleep(10000);
    }
    EXPECT_TRUE(seen) << "written by the writer of its own";
    EXPECT_FALSE(log_handed_over());
    standin::reset();
    remove_tree(run.dir);
}

} // namespace

namespace {

// A small volume that fills up: what fits is written whole, no line is left half, the lines
// that found no room are counted, and once there is room again the next line says how many.
TEST(LogRotation, ASmallVolumeFillsUp) {
    ServiceRun run = open_service_run("Svc");
    const size_t room = 1000; // bytes left on the volume, for both logs
    standin::set_disk_room(&room);
    std::string text;
    for (int k = 1; k <= 100; ++k)
        text += "> line " + std::to_string(k) + "\n";
    // In batches of ten, as the reader writes them.
    for (size_t at = 0, batch = 0; at < text.size(); ++batch) {
        size_t end = at;
        for (int k = 0; k < 10; ++k)
            end = text.find('\n', end) + 1;
        EXPECT_TRUE(log_lines(text.c_str() + at, end - at, true));
        at = end;
    }
    standin::set_disk_room(nullptr);
    log_msg("exec_proc() end\n", 0);
    const std::string log = test_support::read_file(run.service_log);
    // messages() fails the test on any byte that is no whole line.
    const std::string lines = messages(log);
    std::vector<int> numbers = line_numbers(log);
    ASSERT_FALSE(numbers.empty());
    ASSERT_LT(numbers.size(), 100u) << "the volume was to fill up";
    for (size_t k = 0; k < numbers.size(); ++k)
        EXPECT_EQ(numbers[k], static_cast<int>(k) + 1);
    EXPECT_NE(lines.find("|" + std::to_string(100 - numbers.size()) +
                         " lines could not be written|exec_proc() end|"),
              std::string::npos)
        << lines;
    standin::reset();
    remove_tree(run.dir);
}

} // namespace

namespace {

// The Windows path of `native` under the stand-in's drive Z:, as the log opens it.
std::string z_path(const std::string &native) {
    return "Z:" + test_support::windows_path(native);
}

// How an open of `path` for `access` ends: "ok" or the error.
std::string opening(const std::string &path, DWORD access, DWORD disposition = OPEN_EXISTING) {
    HANDLE file = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "error " + std::to_string(GetLastError());
    CloseHandle(file);
    return "ok";
}

// A run of the service `service` under the token `token` in `dir`: its host lines, one line
// of its child, its end.
void run_as(const std::string &dir, const std::string &service,
            const std::vector<std::string> &token) {
    standin::set_access_token(token);
    standin::set_module_file_name(z_path(dir + "/tolvard.exe").c_str());
    log_open();
    log_msg("main() start:%d\n", 4);
    log_open_service(service.c_str());
    std::string child = "> " + service + "\n";
    log_lines(child.data(), child.size(), false);
    log_msg("main() end\n", 0);
    standin::set_access_token({});
}

// A service that an administrator runs under another account has its own SID and NT
// SERVICE\ALL SERVICES, and none of SYSTEM's or Administrators' rights: what reg made ready
// lets it write its own log and append to tolvard.log, and it can open nothing else of the
// logs; a user can open none of them.
TEST(LogOtherAccount, ItsOwnLogAndNothingOfAnotherService) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    standin::set_module_file_name(z_path(dir + "/tolvard.exe").c_str());
    log_open();
    // Not while this process runs a service: it would take the place of that one's log.
    log_open_service("Other");
    EXPECT_EQ(log_prepare_service("Svc A"), static_cast<unsigned long>(ERROR_BUSY));
    log_open();
    ASSERT_EQ(log_prepare_service("Svc A"), 0u);
    run_as(dir, "Other", {"SY", "BA"});
    const std::string own = standin::service_sid("Svc A");
    const std::vector<std::string> network_service = {"NS", own, "S-1-5-80-0", "AU", "WD"};
    run_as(dir, "Svc A", network_service);
    // Not emptied by a run that may not keep it: the run as SYSTEM's line stays.
    const std::string appending = "fail to open tolvard.log error=5, appending to it|";
    EXPECT_EQ(messages(test_support::read_file(dir + "/tolvard.log")),
              "main() start:4|main() end|" + appending + "main() start:4|main() end|");
    EXPECT_EQ(messages(test_support::read_file(dir + "/logs/Svc A.log")),
              appending + "main() start:4|> Svc A|main() end|");
    EXPECT_EQ(messages(test_support::read_file(dir + "/logs/Other.log")),
              "main() start:4|> Other|main() end|");

    const std::string user = "S-1-5-21-0-0-0-1000";
    const std::vector<std::string> a_user = {user, "BU", "IU", "AU", "WD"};
    const std::string logs = z_path(dir + "/logs");
    const struct {
        std::string path;
        DWORD access;
        DWORD disposition;
        std::string service; // what the service gets
        std::string a_user;  // what a user gets
    } cases[] = {
        {logs + "\\Svc A.log", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, "ok", "error 5"},
        {logs + "\\Svc A.old.log", GENERIC_WRITE, OPEN_EXISTING, "ok", "error 5"},
        {logs + "\\Svc A.log", WRITE_DAC, OPEN_EXISTING, "error 5", "error 5"},
        {logs + "\\Svc A.log", DELETE, OPEN_EXISTING, "error 5", "error 5"},
        {logs + "\\Other.log", FILE_READ_DATA, OPEN_EXISTING, "error 5", "error 5"},
        {logs + "\\Other.log", FILE_APPEND_DATA, OPEN_EXISTING, "error 5", "error 5"},
        {logs + "\\Other.old.log", GENERIC_WRITE, OPEN_ALWAYS, "error 5", "error 5"},
        {logs + "\\Svc B.log", FILE_APPEND_DATA, OPEN_ALWAYS, "error 5", "error 5"},
        {logs, FILE_LIST_DIRECTORY, OPEN_EXISTING, "ok", "error 5"},
        {logs, WRITE_DAC, OPEN_EXISTING, "error 5", "error 5"},
        {z_path(dir + "/tolvard.log"), FILE_APPEND_DATA, OPEN_EXISTING, "ok", "error 5"},
        {z_path(dir + "/tolvard.log"), FILE_READ_DATA, OPEN_EXISTING, "error 5", "error 5"},
        {z_path(dir + "/tolvard.log"), FILE_WRITE_DATA, OPEN_EXISTING, "error 5", "error 5"},
    };
    for (const auto &c : cases) {
        standin::set_access_token(network_service);
        EXPECT_EQ(opening(c.path, c.access, c.disposition), c.service) << c.path;
        standin::set_access_token(a_user);
        EXPECT_EQ(opening(c.path, c.access, c.disposition), c.a_user) << c.path;
    }
    standin::set_access_token({});

    // A service whose log reg did not make ready (registered by an older tolvard) can make
    // none: tolvard.log says so and takes its lines.
    run_as(dir, "Svc B", {"NS", standin::service_sid("Svc B"), "S-1-5-80-0", "AU", "WD"});
    std::string host = messages(test_support::read_file(dir + "/tolvard.log"));
    EXPECT_TRUE(ends_with(host, "main() start:4|fail to open logs\\Svc B.log error=5, logging to "
                                "tolvard.log|> Svc B|main() end|"))
        << host;
    struct stat st;
    EXPECT_NE(stat((dir + "/logs/Svc B.log").c_str(), &st), 0);
    standin::reset();
    remove_tree(dir);
}

// Under another account the service keeps its own full log as SYSTEM would; tolvard.log,
// which it may not keep, takes none of its lines past the limit (they are in its own log).
TEST(LogOtherAccount, BoundedWithoutKeepingTolvardLog) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    standin::set_module_file_name(z_path(dir + "/tolvard.exe").c_str());
    log_open();
    ASSERT_EQ(log_prepare_service("Svc A"), 0u);
    run_as(dir, "Other", {"SY", "BA"});
    const size_t limit = 16u << 20;
    std::string full = stamped_lines(limit - 40);
    test_support::write_file(dir + "/logs/Svc A.log", full);
    std::string host_full = test_support::read_file(dir + "/tolvard.log") + stamped_lines(limit);
    test_support::write_file(dir + "/tolvard.log", host_full);
    run_as(dir, "Svc A", {"NS", standin::service_sid("Svc A"), "S-1-5-80-0", "AU", "WD"});
    EXPECT_TRUE(test_support::read_file(dir + "/logs/Svc A.old.log") == full);
    EXPECT_EQ(messages(test_support::read_file(dir + "/logs/Svc A.log")),
              "fail to open tolvard.log error=5, appending to it|main() start:4|> Svc A|main() "
              "end|");
    EXPECT_TRUE(test_support::read_file(dir + "/tolvard.log") == host_full);
    struct stat st;
    EXPECT_NE(stat((dir + "/tolvard.old.log").c_str(), &st), 0);
    standin::reset();
    remove_tree(dir);
}

} // namespace

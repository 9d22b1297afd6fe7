#include "host/events.h"

#include "log/log.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

const char parameters[] = "SYSTEM\\CurrentControlSet\\Services\\Web\\Parameters";
const std::string one_left_out = "1 earlier event of this service was left out: tolvard writes "
                                 "at most one event a second for each service.";

std::string left_out(int count) {
    return count == 1 ? one_left_out
                      : std::to_string(count) +
                            " earlier events of this service were left out: tolvard writes at "
                            "most one event a second for each service.";
}

struct Reported {
    WORD type;
    DWORD id;
    Strings strings;
    bool operator==(const Reported &other) const {
        return type == other.type && id == other.id && strings == other.strings;
    }
};

std::ostream &operator<<(std::ostream &out, const Reported &r) {
    out << "{" << r.type << ", " << r.id << ",";
    for (const std::string &s : r.strings)
        out << " \"" << s << "\"";
    return out << "}";
}

std::vector<Reported> reported() {
    std::vector<Reported> result;
    for (const standin::ReportedEvent &e : standin::reported_events()) {
        EXPECT_EQ(e.source, "tolvard");
        EXPECT_EQ(e.category, 0);
        result.push_back({e.type, e.id, e.strings});
    }
    return result;
}

DWORD stored(const char *name) {
    DWORD type = 0;
    std::string data;
    if (!standin::registry_value(parameters, name, &type, &data) || type != REG_DWORD ||
        data.size() != 4)
        return 0xFFFFFFFFu;
    DWORD value;
    memcpy(&value, data.data(), 4);
    return value;
}

void store(const char *name, DWORD value) {
    standin::set_registry_value(parameters, name, REG_DWORD,
                                std::string(reinterpret_cast<const char *>(&value), 4));
}

// One run of the service "Web" as the host makes it, with the log beside a tolvard.exe in a
// folder of its own; returns the log's messages.
std::vector<std::string> run(const std::function<void()> &events,
                             const std::function<void()> &setup = {}) {
    std::string dir = test_support::temp_dir();
    standin::reset();
    standin::set_module_file_name(test_support::windows_path(dir + "/tolvard.exe").c_str());
    if (setup)
        setup();
    events_open();
    log_open();
    events_start("Web");
    events();
    events_finish();
    std::string log = test_support::read_file(dir + "/tolvard.log");
    std::vector<std::string> messages;
    static const std::regex line(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d:([^\r\n]*)\r\n)");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator();
         ++it)
        messages.push_back((*it)[1].str());
    unlink((dir + "/tolvard.log").c_str());
    rmdir(dir.c_str());
    return messages;
}

// Each event alone: its type, ID and strings, the service's name first and an empty note last.
TEST(Events, EachWithItsTypeIdAndStrings) {
    const std::string command = "\"C:\\Program Files\\Web\\server.exe\" -p 80";
    const std::string long_command = std::string(3000, 'x');
    const struct {
        const char *what;
        std::function<void()> call;
        std::vector<Reported> expected;
    } cases[] = {
        {"started",
         [&] { event_child_started(1234, command.c_str()); },
         {{EVENTLOG_INFORMATION_TYPE, 101, {"Web", "1234", command, ""}}}},
        // As join_child_command writes it, each word with a blank after it.
        {"started, the command's last blank left out",
         [&] { event_child_started(1234, (command + " ").c_str()); },
         {{EVENTLOG_INFORMATION_TYPE, 101, {"Web", "1234", command, ""}}}},
        {"a long command is cut",
         [&] { event_child_started(7, long_command.c_str()); },
         {{EVENTLOG_INFORMATION_TYPE, 101, {"Web", "7", std::string(2048, 'x') + "...", ""}}}},
        {"not started",
         [&] { event_child_not_started(ERROR_FILE_NOT_FOUND, command.c_str()); },
         {{EVENTLOG_ERROR_TYPE,
           301,
           {"Web", "2", "The system cannot find the file specified.", command, ""}}}},
        {"not started, an error without a text",
         [&] { event_child_not_started(12345, nullptr); },
         {{EVENTLOG_ERROR_TYPE, 301, {"Web", "12345", "no text for this error", "", ""}}}},
        {"stopped on request",
         [] { event_stopped_on_request(312); },
         {{EVENTLOG_INFORMATION_TYPE, 102, {"Web", "312", ""}}}},
        {"killed",
         [] { event_child_killed(2000); },
         {{EVENTLOG_WARNING_TYPE, 201, {"Web", "2000", ""}}}},
        // The start waits for the child's first second: the end replaces it.
        {"ended with 0",
         [] {
             event_child_started(7, "a.exe");
             event_stopped(0, 0);
         },
         {{EVENTLOG_INFORMATION_TYPE, 103, {"Web", ""}}}},
        {"ended with 3",
         [] {
             event_child_started(7, "a.exe");
             event_stopped(ERROR_SERVICE_SPECIFIC_ERROR, 3);
         },
         {{EVENTLOG_ERROR_TYPE, 302, {"Web", "3", ""}}}},
        // A stop was told by the stop, whatever the exit codes (a child that a stop ended
        // reports 0); a launch that failed, where it failed; a run without a child, not at all.
        {"stopped report after a stop",
         [] {
             event_child_started(7, "a.exe");
             event_stopped_on_request(40);
             event_stopped(0, 0);
         },
         {{EVENTLOG_INFORMATION_TYPE, 102, {"Web", "40", ""}}}},
        {"stopped report after a kill",
         [] {
             event_child_started(7, "a.exe");
             event_child_killed(500);
             event_stopped(0, 0);
         },
         {{EVENTLOG_WARNING_TYPE, 201, {"Web", "500", ""}}}},
        {"stopped report after a failed launch",
         [] {
             event_child_not_started(ERROR_FILE_NOT_FOUND, "a.exe");
             event_stopped(ERROR_FILE_NOT_FOUND, 0);
         },
         {{EVENTLOG_ERROR_TYPE,
           301,
           {"Web", "2", "The system cannot find the file specified.", "a.exe", ""}}}},
        {"stopped report without a child", [] { event_stopped(0, 0); }, {}},
        {"output held",
         [] { event_output_still_open(); },
         {{EVENTLOG_WARNING_TYPE, 205, {"Web", ""}}}},
    };
    for (const auto &c : cases) {
        run(c.call);
        EXPECT_EQ(reported(), c.expected) << c.what;
        for (const Reported &r : reported()) {
            auto kind = std::find_if(event_kinds, event_kinds + event_kind_count,
                                     [&](const EventKind &k) { return k.id == r.id; });
            ASSERT_NE(kind, event_kinds + event_kind_count) << r.id;
            EXPECT_EQ(static_cast<int>(r.strings.size()), kind->strings) << c.what;
            EXPECT_EQ(r.type, kind->type) << c.what;
        }
        EXPECT_EQ(standin::open_handles(), 0) << c.what;
    }
    standin::reset();
}

// The log's troubles come at its opening, before the service control manager starts the service:
// they wait for the start, and name the files beside tolvard.exe.
TEST(Events, TheLogsTroublesWaitForTheStart) {
    std::string dir = test_support::temp_dir();
    std::string exe = test_support::windows_path(dir + "/tolvard.exe");
    std::string folder = test_support::windows_path(dir);
    const struct {
        const char *what;
        std::function<void()> call;
        Reported expected;
    } cases[] = {
        {"another log",
         [] { event_log_not_opened(ERROR_SHARING_VIOLATION, "tolvard-77.log"); },
         {EVENTLOG_WARNING_TYPE,
          202,
          {"Web", folder + "\\tolvard.log", "32", folder + "\\tolvard-77.log", ""}}},
        {"no log",
         [] { event_log_not_opened(ERROR_SHARING_VIOLATION, nullptr); },
         {EVENTLOG_WARNING_TYPE, 203, {"Web", folder + "\\tolvard.log", "32", ""}}},
        {"old log not kept",
         [] { event_old_log_not_kept(ERROR_ACCESS_DENIED); },
         {EVENTLOG_WARNING_TYPE, 204, {"Web", folder + "\\tolvard.old.log", "5", ""}}},
    };
    for (const auto &c : cases) {
        standin::reset();
        standin::set_module_file_name(exe.c_str());
        events_open();
        c.call();
        EXPECT_TRUE(standin::reported_events().empty());
        EXPECT_EQ(standin::calls(standin::call_CreateThread), 0) << "no writer before the start";
        events_start("Web");
        events_finish();
        EXPECT_EQ(reported(), std::vector<Reported>{c.expected}) << c.what;
    }
    // A console run is never started: its events go nowhere, and no writer is made.
    standin::reset();
    standin::set_module_file_name(exe.c_str());
    events_open();
    event_log_not_opened(ERROR_SHARING_VIOLATION, nullptr);
    events_finish();
    EXPECT_TRUE(standin::reported_events().empty());
    EXPECT_EQ(standin::calls(standin::call_CreateThread), 0);
    EXPECT_FALSE(standin::registry_key_exists(parameters)) << "nothing kept for a console run";
    // Nor outside a run.
    event_child_killed(500);
    events_start("Web");
    EXPECT_EQ(standin::calls(standin::call_CreateThread), 0);
    rmdir(dir.c_str());
    standin::reset();
}

TEST(EventSlot, WaitsForTheServicesNextSecond) {
    const struct {
        DWORD slot;
        DWORD now;
        DWORD wait;
    } cases[] = {
        {5000, 5000, 0},
        {5000, 5001, 0},
        {5000, 4999, 1},
        {5000, 4000, 1000},
        {5000, 3000, 2000},
        {5000, 2999, 0}, // from another boot
        {5000, 100000, 0},
        {0xFFFFFF00u, 0xFFFFFE00u, 0x100},
        {0x100, 0xFFFFFF00u, 0x200}, // across the wrap of the tick count
        {0xFFFFFF00u, 0x100, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(event_slot_wait(c.slot, c.now), c.wait) << c.slot << " " << c.now;
}

// At most one event a second: a second event waits for the next second; one that comes while
// another waits replaces it and is left out, and the event that goes says how many were.
TEST(EventBound, OneEventASecondAndTheRestCounted) {
    const struct {
        const char *what;
        std::function<void()> events;
        std::vector<Reported> expected;
    } cases[] = {
        {"two at once: the second a second later",
         [] {
             event_child_killed(500);
             event_output_still_open();
         },
         {{EVENTLOG_WARNING_TYPE, 201, {"Web", "500", ""}},
          {EVENTLOG_WARNING_TYPE, 205, {"Web", ""}}}},
        {"three at once: the middle one left out",
         [] {
             event_child_not_started(ERROR_FILE_NOT_FOUND, "a.exe");
             event_output_still_open();
             event_child_killed(500);
         },
         {{EVENTLOG_ERROR_TYPE,
           301,
           {"Web", "2", "The system cannot find the file specified.", "a.exe", ""}},
          {EVENTLOG_WARNING_TYPE, 201, {"Web", "500", one_left_out}}}},
        // The start waits for the run's first second: a child that ends sooner gives its end
        // alone, and nothing is left out.
        {"a start and a quick end: the end alone",
         [] {
             event_child_started(1234, "a.exe");
             event_stopped(ERROR_SERVICE_SPECIFIC_ERROR, 3);
         },
         {{EVENTLOG_ERROR_TYPE, 302, {"Web", "3", ""}}}},
        {"a start, then an end after its second: both",
         [] {
             event_child_started(1234, "a.exe");
             Sleep(1300);
             event_stopped_on_request(40);
         },
         {{EVENTLOG_INFORMATION_TYPE, 101, {"Web", "1234", "a.exe", ""}},
          {EVENTLOG_INFORMATION_TYPE, 102, {"Web", "40", ""}}}},
    };
    for (const auto &c : cases) {
        run(c.events);
        EXPECT_EQ(reported(), c.expected) << c.what;
        std::vector<standin::ReportedEvent> events = standin::reported_events();
        for (size_t i = 1; i < events.size(); ++i)
            EXPECT_GE(events[i].tick - events[i - 1].tick, 1000u) << c.what;
        // The service's next second, kept for its next process: a second after the last report
        // returned (a little after the tick the report was recorded at).
        if (!events.empty()) {
            EXPECT_GE(stored("NextEventTick") - events.back().tick, 1000u) << c.what;
            EXPECT_LE(stored("NextEventTick") - events.back().tick, 1500u) << c.what;
        }
        EXPECT_EQ(stored("EventsLeftOut"), 0xFFFFFFFFu) << c.what;
    }
    standin::reset();
}

// The bound holds across the processes of a service: a process that finds the service's next
// second taken by another leaves its event out (it never waits for another process), and counts
// it in the service's key; the next event that goes says so, and clears the count.
TEST(EventBound, AcrossTheProcessesOfTheService) {
    // Another process of the service took the next second, 1.5 s from now.
    run([] { event_child_killed(500); }, [] { store("NextEventTick", GetTickCount() + 1500); });
    EXPECT_TRUE(reported().empty());
    EXPECT_EQ(stored("EventsLeftOut"), 1u);
    // The next process, once that second has passed, with another left out before it.
    run([] { event_output_still_open(); },
        [] {
            store("NextEventTick", GetTickCount() - 10);
            store("EventsLeftOut", 4);
        });
    EXPECT_EQ(reported(),
              (std::vector<Reported>{{EVENTLOG_WARNING_TYPE, 205, {"Web", left_out(4)}}}));
    EXPECT_EQ(stored("EventsLeftOut"), 0u);
    // Another process took the second after this process's own event: the held event does not
    // wait for it.
    run([] {
        event_child_killed(500);
        // The second after the report is taken once the report has returned.
        while (stored("NextEventTick") == 0xFFFFFFFFu)
            Sleep(1);
        store("NextEventTick", stored("NextEventTick") + 300);
        event_output_still_open();
        // The end comes when that second is less than the 1 s away that the end would wait.
        Sleep(400);
    });
    EXPECT_EQ(reported().size(), 1u);
    EXPECT_EQ(stored("EventsLeftOut"), 1u);
    // A second taken more than 2 s ahead cannot be this boot's: it is passed.
    run([] { event_output_still_open(); }, [] { store("NextEventTick", GetTickCount() + 100000); });
    EXPECT_EQ(reported().size(), 1u);
    // Its own event of this second holds back the run's last one: the process waits for it,
    // and takes the second after it before the wait, so that a new process of the service
    // leaves its own event out meanwhile instead of writing in the same second.
    DWORD taken = 0;
    DWORD first = 0;
    run([&] {
        event_child_killed(500);
        while (stored("NextEventTick") == 0xFFFFFFFFu)
            Sleep(1);
        first = stored("NextEventTick");
        event_output_still_open();
        std::thread end(events_finish);
        // What the end takes while it waits, before its event goes.
        while (standin::reported_events().size() == 1 && taken == 0) {
            if (stored("NextEventTick") != first)
                taken = stored("NextEventTick");
            Sleep(1);
        }
        end.join();
    });
    std::vector<standin::ReportedEvent> events = standin::reported_events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(taken - first, 1000u) << "the second after the held one, taken at once";
    EXPECT_GE(events[1].tick - events[0].tick, 1000u);
    standin::reset();
}

// Without the service's key the bound is the process's own.
TEST(EventBound, WithoutTheKeyWithinTheProcess) {
    run(
        [] {
            event_child_killed(500);
            event_output_still_open();
        },
        [] { standin::fail(standin::call_RegCreateKeyExA, 0, ERROR_ACCESS_DENIED); });
    std::vector<standin::ReportedEvent> events = standin::reported_events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_GE(events[1].tick - events[0].tick, 1000u);
    EXPECT_FALSE(standin::registry_key_exists(parameters));
    standin::reset();
}

// A report that fails changes nothing but the log's one line at the end; what it should have
// told of the events left out is told by the next one.
TEST(Events, FailuresAreLoggedOnceAndChangeNothingElse) {
    // Three events at once: the first goes, the second waits and is replaced by the third,
    // which tells of it.
    const Reported not_started = {
        EVENTLOG_ERROR_TYPE, 301, {"Web", "2", "no text for this error", "a.exe", ""}};
    const Reported failed = {EVENTLOG_WARNING_TYPE, 201, {"Web", "500", one_left_out}};
    const Reported first = {
        EVENTLOG_ERROR_TYPE,
        301,
        {"Web", "2", "The system cannot find the file specified.", "a.exe", ""}};
    const DWORD none = 0xFFFFFFFFu;
    const struct {
        const char *what;
        standin::Call call;
        int nth;
        DWORD error;
        std::vector<Reported> reported;
        const char *line; // nullptr: none
        DWORD kept_count; // left in the service's key for its next event
    } cases[] = {
        {"no source",
         standin::call_RegisterEventSourceA,
         0,
         ERROR_ACCESS_DENIED,
         {},
         "fail to write events to the Event Log error=5",
         1},
        {"reports refused",
         standin::call_ReportEventA,
         0,
         ERROR_INVALID_PARAMETER,
         {},
         "fail to write events to the Event Log error=87",
         1},
        {"no writer thread",
         standin::call_CreateThread,
         1,
         ERROR_NOT_ENOUGH_MEMORY,
         {},
         "fail to write events to the Event Log error=8",
         none},
        {"no semaphore",
         standin::call_CreateSemaphoreA,
         1,
         ERROR_NOT_ENOUGH_MEMORY,
         {},
         "fail to write events to the Event Log error=8",
         none},
        {"no system text",
         standin::call_FormatMessageA,
         1,
         ERROR_ACCESS_DENIED,
         {not_started, failed},
         nullptr,
         none},
        {"the first report refused",
         standin::call_ReportEventA,
         1,
         ERROR_INVALID_PARAMETER,
         {failed},
         "fail to write events to the Event Log error=87",
         none},
        // Its note not told, the count stays for the service's next event.
        {"the last report refused",
         standin::call_ReportEventA,
         2,
         ERROR_INVALID_PARAMETER,
         {first},
         "fail to write events to the Event Log error=87",
         1},
    };
    for (const auto &c : cases) {
        std::vector<std::string> log = run(
            [] {
                event_child_not_started(ERROR_FILE_NOT_FOUND, "a.exe");
                event_output_still_open();
                event_child_killed(500);
            },
            [&] { standin::fail(c.call, c.nth, c.error); });
        EXPECT_EQ(reported(), c.reported) << c.what;
        EXPECT_EQ(log,
                  c.line != nullptr ? std::vector<std::string>{c.line} : std::vector<std::string>{})
            << c.what;
        EXPECT_EQ(stored("EventsLeftOut"), c.kept_count) << c.what;
        EXPECT_EQ(standin::open_handles(), 0) << c.what;
    }
    standin::reset();
}

// An event log service that does not answer delays nothing: the events are queued in bounded
// room, and the end waits 2 s for the writer, then goes on; the events that could not wait are
// counted.
TEST(Events, AnEventLogThatDoesNotAnswerDelaysNothing) {
    std::vector<std::string> log = run([] {
        standin::hold_event_log(true);
        event_child_killed(500);
        while (standin::waiting_reports() == 0)
            Sleep(1);
        // Room for eight; the rest are left out at once.
        for (int i = 0; i < 20; ++i)
            event_output_still_open();
    });
    EXPECT_EQ(log, std::vector<std::string>{"fail to write events to the Event Log error=258"});
    EXPECT_EQ(standin::waiting_reports(), 1) << "the end did not wait for the report";
    EXPECT_TRUE(standin::reported_events().empty());
    // Released, the writer reports its event and goes, reporting nothing more.
    standin::hold_event_log(false);
    for (int i = 0; i < 200 && standin::reported_events().empty(); ++i)
        Sleep(10);
    EXPECT_EQ(reported(),
              (std::vector<Reported>{{EVENTLOG_WARNING_TYPE, 201, {"Web", "500", ""}}}));
    standin::reset();

    // Twenty more while the first waits: eight queued, twelve left out at once; of the eight,
    // the newest goes a second later and tells of the other nineteen.
    run([] {
        standin::hold_event_log(true);
        event_child_killed(500);
        while (standin::waiting_reports() == 0)
            Sleep(1);
        for (int i = 0; i < 20; ++i)
            event_stopped_on_request(static_cast<DWORD>(i));
        standin::hold_event_log(false);
    });
    EXPECT_EQ(reported(), (std::vector<Reported>{
                              {EVENTLOG_WARNING_TYPE, 201, {"Web", "500", ""}},
                              {EVENTLOG_INFORMATION_TYPE, 102, {"Web", "7", left_out(19)}}}));
    standin::reset();
}

// The message table (src/res/messages.mc) and the events agree: the same IDs, the level of each
// ID's hundred, each text naming its service with %1 and using exactly the strings the event
// carries, no more (shown as "%N") and no fewer.
TEST(Events, TheMessageTableHoldsEveryEventWithItsStrings) {
    std::ifstream source(MESSAGES_MC);
    ASSERT_TRUE(source) << MESSAGES_MC;
    std::map<DWORD, std::string> texts;
    std::string line;
    DWORD id = 0;
    bool in_text = false;
    while (std::getline(source, line)) {
        if (in_text && line == ".")
            in_text = false;
        else if (in_text)
            texts[id] += line;
        else if (line.rfind("MessageId=", 0) == 0)
            id = static_cast<DWORD>(std::stoul(line.substr(10)));
        else if (line.rfind("Language=", 0) == 0)
            in_text = true;
    }
    std::set<DWORD> kinds;
    for (size_t i = 0; i < event_kind_count; ++i) {
        const EventKind &kind = event_kinds[i];
        kinds.insert(kind.id);
        ASSERT_EQ(texts.count(kind.id), 1u) << kind.id;
        const std::string &text = texts[kind.id];
        std::set<int> used;
        static const std::regex insertion("%([0-9]+)");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), insertion);
             it != std::sregex_iterator(); ++it)
            used.insert(std::stoi((*it)[1].str()));
        std::set<int> carried;
        for (int n = 1; n <= kind.strings; ++n)
            carried.insert(n);
        EXPECT_EQ(used, carried) << kind.id << ": " << text;
        EXPECT_NE(text.find("service %1"), std::string::npos) << kind.id;
        WORD level = kind.id / 100 == 1   ? EVENTLOG_INFORMATION_TYPE
                     : kind.id / 100 == 2 ? EVENTLOG_WARNING_TYPE
                                          : EVENTLOG_ERROR_TYPE;
        EXPECT_EQ(kind.type, level) << kind.id;
    }
    std::set<DWORD> table;
    for (const auto &[message, text] : texts)
        table.insert(message);
    EXPECT_EQ(table, kinds);
}

} // namespace

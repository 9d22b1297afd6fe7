#include "host/host.h"

#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace {

using standin::Step;

struct HostRun {
    std::vector<std::string> log; // tolvard.log's messages, without time stamps or line ends
    std::vector<std::string> service_log; // logs\Svc.log's messages, likewise
    std::vector<standin::Report> reports;
    std::vector<standin::Launch> launches;
    std::vector<std::string> trace;
    int open_handles;
    std::string child_argv; // NUL-separated, as the child recorded it
    std::string events;     // what the child noted: "saving", "saved", "ignored 2", ...
    long ms;                // from the run's start to its end
};

std::vector<std::string> log_messages(const std::string &log) {
    static const std::regex line(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d:([^\r\n]*)\r\n)");
    std::vector<std::string> messages;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator();
         ++it)
        messages.push_back((*it)[1].str());
    return messages;
}

// The trace without the calls of the Event Log's writer thread, which come in among the others
// at any time (events_test.cpp follows them).
std::vector<std::string> without_event_calls(std::vector<std::string> trace) {
    static const std::regex writer(R"(^(CreateSemaphoreA|ReleaseSemaphore|RegisterEventSourceA|)"
                                   R"(ReportEventA|DeregisterEventSource|FormatMessageA|)"
                                   R"(RegCreateKeyExA\(SYSTEM\\CurrentControlSet\\Services\\|)"
                                   R"(Reg(Query|Set)ValueExA\((NextEventTick|EventsLeftOut)))");
    trace.erase(
        std::remove_if(trace.begin(), trace.end(),
                       [](const std::string &call) { return std::regex_search(call, writer); }),
        trace.end());
    return trace;
}

// The host as the service control manager starts it: argv is the program, the child command
// words and the service name "Svc".
HostRun run_host(std::vector<std::string> child_words, const std::vector<Step> &script,
                 bool gate = false, const std::function<void()> &setup = {},
                 standin::Call gate_at = standin::call_count) {
    std::string dir = test_support::temp_dir();
    std::string record = dir + "/child.argv";
    setenv("TOLVARD_CHILD_RECORD", record.c_str(), 1);
    std::string module = test_support::windows_path(dir + "/tolvard.exe");
    std::vector<std::string> words = {dir + "/tolvard.exe"};
    words.insert(words.end(), child_words.begin(), child_words.end());
    words.push_back("Svc");
    std::vector<char *> argv = test_support::argv_of(words);

    // The reset comes just before the run, with nothing made in between: a handle that the log
    // kept from an earlier run would then meet this run's objects, were handles ever reused.
    standin::reset();
    if (setup)
        setup();
    standin::set_module_file_name(module.c_str());
    standin::arm_dispatcher(script, gate, gate_at);
    auto begin = std::chrono::steady_clock::now();
    run_as_service(static_cast<int>(words.size()), argv.data());
    standin::join_service();
    long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - begin)
                                    .count());

    HostRun run = {log_messages(test_support::read_file(dir + "/tolvard.log")),
                   log_messages(test_support::read_file(dir + "/logs/Svc.log")),
                   standin::reports(),
                   standin::launches(),
                   without_event_calls(standin::trace()),
                   standin::open_handles(),
                   test_support::read_file(record),
                   test_support::read_file(record + ".events"),
                   ms};
    unsetenv("TOLVARD_CHILD_RECORD");
    unlink(record.c_str());
    unlink((record + ".events").c_str());
    unlink((dir + "/tolvard.log").c_str());
    unlink((dir + "/logs/Svc.log").c_str());
    rmdir((dir + "/logs").c_str());
    rmdir(dir.c_str());
    return run;
}

std::vector<DWORD> states(const HostRun &run) {
    std::vector<DWORD> result;
    for (const standin::Report &r : run.reports)
        result.push_back(r.status.dwCurrentState);
    return result;
}

bool logged(const HostRun &run, const std::string &message) {
    return std::find(run.log.begin(), run.log.end(), message) != run.log.end();
}

long position(const HostRun &run, const std::string &message) {
    return std::find(run.log.begin(), run.log.end(), message) - run.log.begin();
}

// The place of a message in the service's log, which holds the child's lines among the host's.
long service_position(const HostRun &run, const std::string &message) {
    return std::find(run.service_log.begin(), run.service_log.end(), message) -
           run.service_log.begin();
}

const std::string child = CHILD_PROBE;

// The grace time as the system holds it, a string of milliseconds.
void set_grace(const char *milliseconds) {
    standin::set_registry_value("SYSTEM\\CurrentControlSet\\Control", "WaitToKillServiceTimeout",
                                REG_SZ, std::string(milliseconds) + '\0');
}

std::vector<DWORD> check_points(const HostRun &run) {
    std::vector<DWORD> result;
    for (const standin::Report &r : run.reports)
        result.push_back(r.status.dwCheckPoint);
    return result;
}

// The trace from the first call of `from` on.
std::vector<std::string> trace_from(const HostRun &run, const std::string &from) {
    auto it = std::find(run.trace.begin(), run.trace.end(), from);
    return std::vector<std::string>(it, run.trace.end());
}

// The log with the milliseconds of "after N ms" taken out.
std::vector<std::string> log_without_ms(const HostRun &run) {
    static const std::regex after(R"(after \d+ ms$)");
    std::vector<std::string> result;
    for (const std::string &line : run.log)
        result.push_back(std::regex_replace(line, after, "after N ms"));
    return result;
}

// Ctrl+C as the stop sends it, and the search for windows with USER32 loaded for it.
const std::vector<std::string> ctrl_c = {"AttachConsole(child)", "SetConsoleCtrlHandler(null,1)",
                                         "GenerateConsoleCtrlEvent(0,0)", "FreeConsole",
                                         "SetConsoleCtrlHandler(null,1)"};
const std::vector<std::string> window_search = {
    "LoadLibraryA(user32.dll)", "GetProcAddress(EnumWindows)",
    "GetProcAddress(GetWindowThreadProcessId)", "GetProcAddress(PostMessageA)", "EnumWindows"};

std::vector<std::string> calls_of(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const std::vector<std::string> &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The trace from the stop's first console call on, with the calls that tried Ctrl+C again while
// the child had no console taken out: how many there are depends on how soon the child ends.
std::vector<std::string> stop_calls(const HostRun &run) {
    std::vector<std::string> calls = trace_from(run, "AttachConsole(child)");
    if (!calls.empty())
        calls.erase(std::remove(calls.begin() + 1, calls.end(), "AttachConsole(child)"),
                    calls.end());
    return calls;
}

TEST(Host, ChildThatEndsOnItsOwn) {
    const struct {
        std::string first_arg;
        DWORD exit_code;
        DWORD service_exit_code;
    } cases[] = {{"exit:0", 0, 0},
                 {"exit:3", ERROR_SERVICE_SPECIFIC_ERROR, 3},
                 {"exit:255", ERROR_SERVICE_SPECIFIC_ERROR, 255}};
    for (const auto &c : cases) {
        HostRun run = run_host({child, c.first_arg}, {});
        const std::vector<std::string> expected_log = {"main() start:4",
                                                       "MyServiceStart start:1",
                                                       "exec_proc() start",
                                                       "cmdline=",
                                                       child + " " + c.first_arg + " ",
                                                       "success CreateProcess",
                                                       "exec_proc() end",
                                                       "main() end"};
        EXPECT_EQ(run.log, expected_log);
        ASSERT_EQ(states(run), (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOPPED}));
        for (const standin::Report &r : run.reports) {
            EXPECT_TRUE(r.ok);
            EXPECT_EQ(r.status.dwServiceType, 0x30u);
            EXPECT_EQ(r.status.dwControlsAccepted, 7u);
            EXPECT_EQ(r.status.dwCheckPoint, 0u);
            EXPECT_EQ(r.status.dwWaitHint, 0u);
        }
        EXPECT_EQ(run.reports[0].status.dwWin32ExitCode, 0u);
        EXPECT_EQ(run.reports[1].status.dwWin32ExitCode, c.exit_code) << c.first_arg;
        EXPECT_EQ(run.reports[1].status.dwServiceSpecificExitCode, c.service_exit_code)
            << c.first_arg;
        EXPECT_EQ(run.open_handles, 0) << "child handles left open";
        EXPECT_EQ(standin::dispatched_name(), "Svc");
        EXPECT_EQ(standin::registered_name(), "Svc");
    }
}

// The log keeps its file and mutex handles in process-wide variables across a reset of the
// stand-in: each later run in the same process must still get a whole log of its own.
TEST(Host, RunsAfterAResetInOneProcessEachWriteAWholeLog) {
    for (const char *code : {"exit:0", "exit:1", "exit:2"}) {
        HostRun run = run_host({child, code}, {});
        const std::vector<std::string> expected_log = {
            "main() start:4",         "MyServiceStart start:1", "exec_proc() start", "cmdline=",
            child + " " + code + " ", "success CreateProcess",  "exec_proc() end",   "main() end"};
        EXPECT_EQ(run.log, expected_log) << code;
    }
}

TEST(Host, ChildStartedAsTheHostWasWithItsExactWords) {
    HostRun run = run_host(
        {child, "exit:0", "100%", "a b", "", "say \"hi\"", "C:\\My Files\\", "c:\\web\\"}, {});
    ASSERT_EQ(run.launches.size(), 1u);
    const standin::Launch &launch = run.launches[0];
    EXPECT_TRUE(launch.application_null);
    // Its standard handles only (see HostOutput.OnlyTheChildsStandardHandlesAreInherited).
    EXPECT_TRUE(launch.inherit_handles);
    // Suspended until it is in the job; a console of its own without a window.
    EXPECT_EQ(launch.flags, static_cast<DWORD>(CREATE_SUSPENDED | CREATE_NO_WINDOW));
    EXPECT_TRUE(launch.environment_null);
    EXPECT_TRUE(launch.directory_null);
    EXPECT_EQ(launch.command_line,
              child +
                  " exit:0 100% \"a b\" \"\" \"say \\\"hi\\\"\" \"C:\\My Files\\\\\" c:\\web\\ ");
    // The logged command is the text the child was given, "%" and all.
    EXPECT_EQ(run.log.at(4), launch.command_line);
    EXPECT_EQ(run.child_argv,
              test_support::nul_separated({child, "exit:0", "100%", "a b", "", "say \"hi\"",
                                           "C:\\My Files\\", "c:\\web\\"}));
}

TEST(Host, ChildThatCannotStart) {
    const struct {
        std::vector<std::string> words;
        std::string logged_command;
    } cases[] = {{{"/nonexistent/app.exe", "x"}, "/nonexistent/app.exe x "},
                 // Only EXENAME: it is the service name, and the child command is empty.
                 {{}, ""}};
    for (const auto &c : cases) {
        HostRun run = run_host(c.words, {});
        ASSERT_EQ(states(run), (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOPPED}));
        EXPECT_EQ(run.reports[1].status.dwWin32ExitCode, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(run.reports[1].status.dwServiceSpecificExitCode, 0u);
        const std::vector<std::string> tail = {
            "cmdline=", c.logged_command, "fail to CreateProcess", "exec_proc() end", "main() end"};
        ASSERT_GE(run.log.size(), tail.size());
        EXPECT_EQ(std::vector<std::string>(run.log.end() - 5, run.log.end()), tail);
        EXPECT_EQ(run.open_handles, 0);
    }
}

// A stop or a shutdown asks first and kills only after the grace time; the handler never waits.
TEST(Host, StopAsksTheChildToEndAndKillsOnlyAfterTheGraceTime) {
    const std::string saved = "saving\nsaved\n";
    const std::vector<std::string> attach = {"AttachConsole(child)"};
    const std::vector<std::string> closed = {"PostMessageA(w1,0x10)"};
    const std::vector<std::string> freed = {"FreeLibrary"};
    const std::vector<std::string> killed = {"TerminateJobObject(0)"};
    const struct {
        DWORD control;
        std::string mode;
        const char *grace;
        standin::Call fault;            // made to fail every time; call_count for none
        bool window;                    // the child has a top-level window
        std::vector<std::string> calls; // the trace from the stop's first console call on
        std::string events;
        std::string how; // the line that says how the child ended
    } cases[] = {
        // A console child that obeys Ctrl+C at once: no window is looked for, USER32 never
        // loaded.
        {SERVICE_CONTROL_STOP, "save:0", "4000", standin::call_count, false, ctrl_c, saved,
         "the child ended on its own after N ms"},
        {SERVICE_CONTROL_SHUTDOWN, "save:0", "4000", standin::call_count, false, ctrl_c, saved,
         "the child ended on its own after N ms"},
        // One that takes longer than the short while gets the search for windows too.
        {SERVICE_CONTROL_STOP, "save:300", "4000", standin::call_count, false,
         calls_of({ctrl_c, window_search, freed}), saved, "the child ended on its own after N ms"},
        // Without the event the stop flag is looked at between short waits.
        {SERVICE_CONTROL_STOP, "save:0", "4000", standin::call_CreateEventA, false, ctrl_c, saved,
         "the child ended on its own after N ms"},
        // No console yet (a child that has only just started, under Wine): the windows at once,
        // then Ctrl+C tried again.
        {SERVICE_CONTROL_STOP, "save:0", "4000", standin::call_count, false,
         calls_of({attach, window_search, freed,
                   std::vector<std::string>(ctrl_c.begin() + 1, ctrl_c.end())}),
         saved, "the child ended on its own after N ms"},
        // A window takes WM_CLOSE as its request.
        {SERVICE_CONTROL_STOP, "close:100", "4000", standin::call_count, true,
         calls_of({ctrl_c, window_search, closed, freed}), "ignored 2\nsaving\nsaved\n",
         "the child ended on its own after N ms"},
        // No console to attach to (a GUI child): WM_CLOSE at once all the same.
        {SERVICE_CONTROL_STOP, "close:100", "4000", standin::call_AttachConsole, true,
         calls_of({attach, window_search, closed, freed}), saved,
         "the child ended on its own after N ms"},
        {SERVICE_CONTROL_STOP, "ignore", "500", standin::call_count, false,
         calls_of({ctrl_c, window_search, freed, killed}), "ignored 2\n",
         "killing the child after the grace time of 500 ms"},
        {SERVICE_CONTROL_SHUTDOWN, "ignore", "500", standin::call_count, false,
         calls_of({ctrl_c, window_search, freed, killed}), "ignored 2\n",
         "killing the child after the grace time of 500 ms"},
        {SERVICE_CONTROL_STOP, "ignore", "500", standin::call_AttachConsole, true,
         calls_of({attach, window_search, closed, freed, killed}), "ignored 15\n",
         "killing the child after the grace time of 500 ms"},
        // Without USER32 the stop goes on without WM_CLOSE, and says so.
        {SERVICE_CONTROL_STOP, "close:100", "500", standin::call_LoadLibraryA, true,
         calls_of({ctrl_c, {"LoadLibraryA(user32.dll)"}, killed}), "ignored 2\n",
         "killing the child after the grace time of 500 ms"},
        {SERVICE_CONTROL_STOP, "close:100", "500", standin::call_GetProcAddress, true,
         calls_of({ctrl_c, std::vector<std::string>(window_search.begin(), window_search.end() - 1),
                   freed, killed}),
         "ignored 2\n", "killing the child after the grace time of 500 ms"},
    };
    for (const auto &c : cases) {
        std::string what = c.mode + " control " + std::to_string(c.control) + " fault " +
                           std::to_string(c.fault) + (c.window ? " window" : "");
        std::vector<Step> script = {{standin::step_wait_child_ready, 0}};
        if (c.window)
            script.push_back({standin::step_add_window, 0});
        script.push_back({standin::step_control, c.control});
        HostRun run = run_host({child, c.mode}, script, false, [&] {
            set_grace(c.grace);
            if (c.fault != standin::call_count)
                standin::fail(c.fault, 0, ERROR_INVALID_HANDLE);
            else if (c.calls[1] == "LoadLibraryA(user32.dll)")
                standin::fail(standin::call_AttachConsole, 1, ERROR_INVALID_HANDLE);
        });
        EXPECT_EQ(run.events, c.events) << what;
        EXPECT_EQ(stop_calls(run), c.calls) << what;
        EXPECT_EQ(std::count(run.trace.begin(), run.trace.end(), "Ctrl+C ended the host"), 0);
        ASSERT_GE(run.reports.size(), 3u) << what;
        EXPECT_EQ(run.reports.front().status.dwCurrentState, SERVICE_RUNNING);
        EXPECT_EQ(run.reports.back().status.dwCurrentState, SERVICE_STOPPED) << what;
        std::vector<DWORD> got = states(run);
        EXPECT_EQ(std::count(got.begin(), got.end(), SERVICE_STOPPED), 1) << what;
        // The handler reports stop pending over the live child, and never waits for it.
        EXPECT_EQ(run.reports[1].status.dwCurrentState, SERVICE_STOP_PENDING) << what;
        EXPECT_EQ(run.reports[1].live_children, 1) << what;
        EXPECT_GT(run.reports[1].status.dwWaitHint, 0u);
        EXPECT_EQ(run.reports.back().job_processes, 0) << what;
        EXPECT_EQ(run.reports.back().status.dwWin32ExitCode, 0u) << what;
        EXPECT_EQ(run.reports.back().status.dwServiceSpecificExitCode, 0u) << what;
        if (c.how.starts_with("killing")) {
            EXPECT_GE(run.ms, 500) << "killed before the grace time was over: " << what;
        }
        long from = position(run, "success CreateProcess") + 1;
        ASSERT_LE(from, static_cast<long>(run.log.size()));
        std::vector<std::string> log = log_without_ms(run);
        std::vector<std::string> stop_lines(log.begin() + from, log.end());
        std::vector<std::string> expected = {"Leaving MyService",
                                             "asking the child to end, grace time " +
                                                 std::string(c.grace) + " ms"};
        bool user32 =
            c.fault != standin::call_LoadLibraryA && c.fault != standin::call_GetProcAddress;
        if (!user32)
            expected.push_back("fail to load user32.dll for WM_CLOSE error=6");
        if (c.window && user32)
            expected.push_back("WM_CLOSE sent to 1 windows");
        if (c.fault == standin::call_AttachConsole)
            expected.push_back("no console for Ctrl+C, error=6");
        expected.insert(expected.end(), {c.how, "exec_proc() end", "main() end"});
        EXPECT_EQ(stop_lines, expected) << what;
        EXPECT_EQ(run.open_handles, 0) << what;
    }
}

// The exit codes become 0 only when the stop ended the child. A child that had already ended
// when the stop came keeps its own code; the service thread is held at the gate in
// GetExitCodeProcess, after its wait woke for the child's end, while the stop comes.
TEST(Host, AStopAfterTheChildEndedKeepsItsExitCode) {
    const std::vector<Step> stop_after_end = {{standin::step_wait_gate, 0},
                                              {standin::step_control, SERVICE_CONTROL_STOP},
                                              {standin::step_open_gate, 0}};
    const std::vector<Step> stop_first = {{standin::step_wait_child_ready, 0},
                                          {standin::step_control, SERVICE_CONTROL_STOP}};
    const struct {
        const char *what;
        std::string mode;
        const std::vector<Step> &script;
        bool gate;
        DWORD exit_code;
        DWORD service_exit_code;
    } cases[] = {
        {"ended with 3, then the stop", "exit:3", stop_after_end, true,
         ERROR_SERVICE_SPECIFIC_ERROR, 3},
        {"ended with 0, then the stop", "exit:0", stop_after_end, true, 0, 0},
        // Ctrl+C ends it, with 130 as a signal's end shows here (0xC000013A on Windows).
        {"ended by the stop's Ctrl+C", "sleep", stop_first, false, 0, 0},
        {"ended by the stop's kill", "ignore", stop_first, false, 0, 0},
    };
    for (const auto &c : cases) {
        HostRun run = run_host(
            {child, c.mode}, c.script, c.gate, [] { set_grace("500"); },
            standin::call_GetExitCodeProcess);
        ASSERT_EQ(states(run).size(), 3u) << c.what;
        EXPECT_EQ(states(run),
                  (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}))
            << c.what;
        EXPECT_EQ(run.reports[2].status.dwWin32ExitCode, c.exit_code) << c.what;
        EXPECT_EQ(run.reports[2].status.dwServiceSpecificExitCode, c.service_exit_code) << c.what;
        EXPECT_EQ(std::count(run.log.begin(), run.log.end(), "Leaving MyService"), 1) << c.what;
        // The stop's tree handling runs only for a stop that came first.
        EXPECT_EQ(logged(run, "asking the child to end, grace time 500 ms"), !c.gate) << c.what;
        EXPECT_EQ(run.open_handles, 0) << c.what;
    }
}

TEST(Host, HandlerAnswersWhileTheStopRunsAndNothingAfterStopped) {
    HostRun run = run_host({child, "ignore"},
                           {{standin::step_wait_child_ready, 0},
                            {standin::step_control, SERVICE_CONTROL_STOP},
                            {standin::step_control, SERVICE_CONTROL_INTERROGATE},
                            {standin::step_control, SERVICE_CONTROL_PAUSE},
                            {standin::step_control, SERVICE_CONTROL_CONTINUE},
                            {standin::step_control, SERVICE_CONTROL_STOP},
                            {standin::step_control, SERVICE_CONTROL_SHUTDOWN},
                            {standin::step_wait_state, SERVICE_STOPPED},
                            {standin::step_control, SERVICE_CONTROL_PAUSE},
                            {standin::step_control, SERVICE_CONTROL_INTERROGATE}},
                           false, [] { set_grace("2500"); });
    std::vector<DWORD> got = states(run);
    ASSERT_GE(got.size(), 9u);
    // Every control during the stop is answered at once with the state as it stands, over the
    // child that still runs; then the service thread's progress, then one stopped, then nothing.
    for (size_t i = 1; i <= 6; ++i) {
        EXPECT_EQ(got[i], SERVICE_STOP_PENDING) << "report " << i;
        EXPECT_EQ(run.reports[i].live_children, 1) << "report " << i;
        EXPECT_EQ(run.reports[i].status.dwCheckPoint, 1u) << "report " << i;
    }
    EXPECT_EQ(got.back(), SERVICE_STOPPED);
    EXPECT_EQ(std::count(got.begin(), got.end(), SERVICE_STOPPED), 1);
    // About once a second through the grace time, with a check point that rises each time.
    std::vector<DWORD> points = check_points(run);
    std::vector<DWORD> progress(points.begin() + 7, points.end() - 1);
    EXPECT_GE(progress.size(), 2u);
    for (size_t i = 0; i < progress.size(); ++i)
        EXPECT_EQ(progress[i], i + 2) << "progress report " << i;
    EXPECT_EQ(std::count(run.log.begin(), run.log.end(), "Leaving MyService"), 1);
    EXPECT_EQ(std::count(run.trace.begin(), run.trace.end(), "TerminateJobObject(0)"), 1);
    EXPECT_EQ(run.open_handles, 0);
}

// The stand-in's clock, which only its Sleep moves on.
void frozen_clock() {
    const DWORD start = 5000;
    standin::set_tick_count(&start);
}

TEST(Host, PauseContinueInterrogateAndUserCodes) {
    HostRun run = run_host({child, "sleep"},
                           {{standin::step_wait_launch, 0},
                            {standin::step_control, SERVICE_CONTROL_PAUSE},
                            {standin::step_control, SERVICE_CONTROL_INTERROGATE},
                            {standin::step_control, SERVICE_CONTROL_CONTINUE},
                            {standin::step_control, SERVICE_CONTROL_INTERROGATE},
                            {standin::step_control, 200},
                            {standin::step_sleep, 1000},
                            {standin::step_control, 128},
                            {standin::step_control, SERVICE_CONTROL_STOP}},
                           false, frozen_clock);
    EXPECT_EQ(states(run), (std::vector<DWORD>{4, 7, 7, 4, 4, 4, 4, 3, 1}));
    // The child runs through every report from the pause to the stop, and is gone at the end.
    std::vector<int> live;
    for (const standin::Report &r : run.reports)
        live.push_back(r.live_children);
    EXPECT_EQ(live, (std::vector<int>{0, 1, 1, 1, 1, 1, 1, 1, 0}));
    // Pause and continue leave the child alone: only the stop asks it to end (Ctrl+C ends it).
    EXPECT_EQ(std::count(run.trace.begin(), run.trace.end(), "GenerateConsoleCtrlEvent(0,0)"), 1);
    EXPECT_EQ(std::count(run.trace.begin(), run.trace.end(), "TerminateJobObject(0)"), 0);
    const std::vector<std::string> expected_tail = {"success CreateProcess",
                                                    "Unrecognized opcode 200",
                                                    "Unrecognized opcode 128",
                                                    "Leaving MyService",
                                                    "asking the child to end, grace time 5000 ms",
                                                    "the child ended on its own after N ms",
                                                    "exec_proc() end",
                                                    "main() end"};
    std::vector<std::string> log = log_without_ms(run);
    ASSERT_GE(log.size(), expected_tail.size());
    EXPECT_EQ(std::vector<std::string>(log.end() - 8, log.end()), expected_tail);
}

// Anyone allowed to send user-defined controls could flood the log: each code is answered,
// but at most one is logged a second, and the next line tells how many were not.
TEST(Host, UnknownCodesLoggedAtMostOnceASecond) {
    const Step burst = {standin::step_control, 200};
    const struct {
        const char *what;
        std::vector<Step> steps; // between the launch and the stop
        std::vector<std::string> lines;
    } cases[] = {
        {"300 at once",
         std::vector<Step>(300, burst),
         {"Unrecognized opcode 200", "Unrecognized opcodes not logged 299"}},
        {"spread out",
         {{standin::step_control, 200},
          {standin::step_sleep, 999},
          {standin::step_control, 201},
          {standin::step_sleep, 1},
          {standin::step_control, 202},
          {standin::step_control, 203},
          {standin::step_sleep, 5000},
          {standin::step_control, 204}},
         {"Unrecognized opcode 200", "Unrecognized opcodes not logged 1", "Unrecognized opcode 202",
          "Unrecognized opcodes not logged 1", "Unrecognized opcode 204"}},
    };
    for (const auto &c : cases) {
        std::vector<Step> script = {{standin::step_wait_launch, 0}};
        script.insert(script.end(), c.steps.begin(), c.steps.end());
        script.push_back({standin::step_control, SERVICE_CONTROL_STOP});
        HostRun run = run_host({child, "sleep"}, script, false, frozen_clock);
        std::vector<std::string> lines;
        for (const std::string &line : run.log) {
            if (line.rfind("Unrecognized", 0) == 0)
                lines.push_back(line);
        }
        EXPECT_EQ(lines, c.lines) << c.what;
        // The count of the last ones comes before the end, not after it.
        EXPECT_LT(position(run, c.lines.back()), position(run, "main() end")) << c.what;
        size_t controls = std::count_if(c.steps.begin(), c.steps.end(), [](const Step &s) {
            return s.kind == standin::step_control;
        });
        // Running, one report per control, and the two stopped ones.
        EXPECT_EQ(run.reports.size(), controls + 3) << c.what;
    }
}

// Every allocation of a run made to fail in turn: the service still reports stopped, with
// ERROR_NOT_ENOUGH_MEMORY when the child could not be started for it. An allocation of the log
// that fails costs the log only.
TEST(Host, NoMemoryIsReportedNotACrash) {
    const std::vector<std::string> whole = run_host({child, "exit:0", "a b"}, {}).log;
    const int allocations = standin::calls(standin::call_HeapAlloc);
    EXPECT_GE(allocations, 6) << "the log's path, the child command's pieces and its log line";
    for (int nth = 1; nth <= allocations; ++nth) {
        HostRun run = run_host({child, "exit:0", "a b"}, {}, false, [nth] {
            standin::fail(standin::call_HeapAlloc, nth, ERROR_NOT_ENOUGH_MEMORY);
        });
        ASSERT_FALSE(run.reports.empty()) << nth;
        const SERVICE_STATUS &last = run.reports.back().status;
        EXPECT_EQ(last.dwCurrentState, SERVICE_STOPPED) << nth;
        if (run.launches.empty()) {
            EXPECT_EQ(last.dwWin32ExitCode, ERROR_NOT_ENOUGH_MEMORY) << nth;
            EXPECT_TRUE(logged(run, "fail to allocate memory")) << nth;
        } else {
            EXPECT_EQ(last.dwWin32ExitCode, 0u) << nth;
            // Only the log's allocations and the reader's spare the child.
            EXPECT_TRUE(
                run.log.empty() || run.log == whole ||
                logged(run, "fail to capture the child's output error=8") ||
                std::any_of(run.log.begin(), run.log.end(),
                            [](const std::string &line) {
                                return line.rfind("fail to open logs\\", 0) == 0 &&
                                       line.find(".log error=8, logging to ") != std::string::npos;
                            }) ||
                std::any_of(run.log.begin(), run.log.end(),
                            [](const std::string &line) {
                                return line.rfind("fail to make ", 0) == 0 && line.size() > 16 &&
                                       line.compare(line.size() - 16, 16, " private error=8") == 0;
                            }))
                << nth;
        }
        EXPECT_EQ(run.open_handles, 0) << nth;
    }
}

TEST(Host, FailedReportsAreLoggedAndIgnored) {
    const struct {
        int failing_report; // 1 running, 2 pause, 3 stop pending
        const char *message;
    } cases[] = {{1, "SetServiceStatus error 6"},
                 {2, "SetServiceStatus error 6"},
                 {3, "SetServiceStatus error 6"}};
    for (const auto &c : cases) {
        HostRun run = run_host({child, "sleep"},
                               {{standin::step_wait_launch, 0},
                                {standin::step_control, SERVICE_CONTROL_PAUSE},
                                {standin::step_control, SERVICE_CONTROL_STOP}},
                               false, [&] {
                                   standin::fail(standin::call_SetServiceStatus, c.failing_report,
                                                 ERROR_INVALID_HANDLE);
                               });
        EXPECT_TRUE(logged(run, c.message)) << "report " << c.failing_report;
        EXPECT_EQ(std::count(run.log.begin(), run.log.end(), c.message), 1);
        EXPECT_TRUE(logged(run, "success CreateProcess"));
        ASSERT_EQ(run.reports.size(), 4u);
        for (size_t i = 0; i < run.reports.size(); ++i)
            EXPECT_EQ(run.reports[i].ok, static_cast<int>(i) + 1 != c.failing_report);
        EXPECT_EQ(run.open_handles, 0);
    }
}

// Without the stopped report the dispatcher would never return.
TEST(Host, FailedStoppedReportEndsTheProcess) {
    std::string dir = test_support::temp_dir();
    test_support::Outcome outcome = test_support::run_in_child([&] {
        standin::reset();
        standin::set_module_file_name(test_support::windows_path(dir + "/tolvard.exe").c_str());
        standin::arm_dispatcher({});
        standin::fail(standin::call_SetServiceStatus, 2, ERROR_INVALID_HANDLE);
        std::vector<std::string> words = {dir + "/tolvard.exe", child, "exit:0", "Svc"};
        std::vector<char *> argv = test_support::argv_of(words);
        run_as_service(4, argv.data());
        return 0;
    });
    EXPECT_EQ(outcome.status, static_cast<int>(ERROR_INVALID_HANDLE));
    std::vector<std::string> log = log_messages(test_support::read_file(dir + "/tolvard.log"));
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
              (std::vector<std::string>{"exec_proc() end", "CtrlHandlerSetServiceStatus error 6"}));
    unlink((dir + "/tolvard.log").c_str());
    rmdir(dir.c_str());
}

TEST(Host, StopBeforeOrDuringTheLaunch) {
    const struct {
        std::vector<Step> script;
        bool gate;
        size_t launches;
    } cases[] = {
        // Before: no child is ever started.
        {{{standin::step_wait_gate, 0},
          {standin::step_control, SERVICE_CONTROL_STOP},
          {standin::step_open_gate, 0}},
         true,
         0},
        // During: the stop waits for the launch, then asks the new child to end.
        {{{standin::step_wait_launch, 0}, {standin::step_control, SERVICE_CONTROL_STOP}}, false, 1},
    };
    for (const auto &c : cases) {
        HostRun run = run_host({child, "save:10"}, c.script, c.gate);
        EXPECT_EQ(run.launches.size(), c.launches);
        EXPECT_EQ(states(run),
                  (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}));
        EXPECT_EQ(run.reports.back().live_children, 0);
        EXPECT_EQ(run.reports.back().status.dwWin32ExitCode, 0u);
        EXPECT_EQ(std::count(run.trace.begin(), run.trace.end(), "TerminateJobObject(0)"), 0);
        long leaving = position(run, "Leaving MyService");
        ASSERT_LT(leaving, static_cast<long>(run.log.size()));
        EXPECT_EQ(run.log.back(), "main() end");
        EXPECT_EQ(run.log[run.log.size() - 2], "exec_proc() end");
        if (c.launches == 0) {
            EXPECT_FALSE(logged(run, "cmdline="));
            // The thread is the writer of the handler's line, which the handler never writes.
            EXPECT_EQ(run.trace,
                      (std::vector<std::string>{"CreateEventA(null)", "CreateThread", "SetEvent"}))
                << "nothing to ask or end";
        }
        EXPECT_EQ(run.open_handles, 0);
    }
}

TEST(Host, GraceTimeIsTheSystemsWaitToKillServiceTimeout) {
    const std::string key = "SYSTEM\\CurrentControlSet\\Control";
    const std::string name = "WaitToKillServiceTimeout";
    const struct {
        DWORD type; // 0: no such key
        std::string data;
        int grace;
    } cases[] = {
        {0, "", 5000},
        {REG_SZ, std::string("2000") + '\0', 2000},
        {REG_SZ, "12000", 12000}, // stored without its NUL
        {REG_SZ, std::string("10") + '\0', 500},
        {REG_SZ, std::string("99999999") + '\0', 180000},
        {REG_SZ, std::string("123456789012345678901234567890") + '\0', 5000}, // too long to read
        {REG_SZ, std::string("20 s") + '\0', 5000},
        {REG_SZ, std::string("") + '\0', 5000},
        {REG_SZ, std::string("-1") + '\0', 5000},
        {REG_DWORD, std::string("\x10\x27\0\0", 4), 5000},
    };
    for (const auto &c : cases) {
        HostRun run = run_host(
            {child, "sleep"},
            {{standin::step_wait_launch, 0}, {standin::step_control, SERVICE_CONTROL_STOP}}, false,
            [&] {
                if (c.type != 0)
                    standin::set_registry_value(key.c_str(), name.c_str(), c.type, c.data);
            });
        EXPECT_TRUE(
            logged(run, "asking the child to end, grace time " + std::to_string(c.grace) + " ms"))
            << c.data;
        EXPECT_EQ(run.open_handles, 0) << "registry key left open";
    }
}

// The kill that fails, as a review showed by injecting the fault, no longer hangs the stop.
TEST(Host, KillThatFailsStillEndsTheStop) {
    const struct {
        standin::Call kill;
        std::function<void()> more;
        std::string line;
    } cases[] = {
        {standin::call_TerminateJobObject, [] {}, "job processes still running after stop"},
        {standin::call_TerminateProcess,
         [] { standin::fail(standin::call_AssignProcessToJobObject, 1, ERROR_ACCESS_DENIED); },
         "child still running after stop"},
    };
    for (const auto &c : cases) {
        HostRun run = run_host(
            {child, "ignore"},
            {{standin::step_wait_child_ready, 0}, {standin::step_control, SERVICE_CONTROL_STOP}},
            false, [&] {
                set_grace("500");
                c.more();
                standin::fail(c.kill, 0, ERROR_ACCESS_DENIED);
            });
        EXPECT_TRUE(logged(run, c.line)) << c.line;
        EXPECT_EQ(run.log[run.log.size() - 2], "exec_proc() end");
        EXPECT_EQ(run.reports.back().status.dwCurrentState, SERVICE_STOPPED);
        std::vector<DWORD> got = states(run);
        EXPECT_EQ(std::count(got.begin(), got.end(), SERVICE_STOPPED), 1);
        // The child holds its output pipe: the reader is given up on, and keeps its end of the
        // pipe until the child goes (with the job's last handle, in the first case, if that
        // works where its termination did not).
        EXPECT_TRUE(logged(run, "child output still open after stop")) << c.line;
        EXPECT_LE(run.open_handles, 1) << c.line;
    }
    // The child that could not be killed goes with the test.
    standin::reset();
}

TEST(Host, ChildRunsInAJobThatAStopEnds) {
    // A child that started a process of its own, stopped by the administrator or ending on its
    // own: either way nothing of it may be left once stopped is reported.
    const struct {
        std::vector<std::string> words;
        std::vector<Step> script;
        std::vector<DWORD> states;
        std::vector<int> job_processes; // at each report
        int terminations;
    } cases[] = {
        // Ctrl+C reaches the whole tree on the child's console.
        {{child, "spawn", "sleep"},
         {{standin::step_wait_job_processes, 2},
          {standin::step_control, SERVICE_CONTROL_PAUSE},
          {standin::step_control, SERVICE_CONTROL_STOP}},
         {4, 7, 3, 1},
         {0, 2, 2, 0},
         0},
        {{child, "spawn", "exit:0"}, {}, {4, 1}, {0, 0}, 1},
        {{child, "spawn", "exit:4"}, {}, {4, 1}, {0, 0}, 1},
    };
    for (const auto &c : cases) {
        HostRun run = run_host(c.words, c.script);
        ASSERT_EQ(states(run), c.states) << c.words[2];
        std::vector<int> job_processes;
        for (const standin::Report &r : run.reports)
            job_processes.push_back(r.job_processes);
        EXPECT_EQ(job_processes, c.job_processes) << c.words[2];
        // Suspended, in the job with its limits, and only then let run.
        const std::vector<std::string> launch = {
            "CreateProcessA(0x8000004)", "CreateThread",
            "CreateJobObjectA(null)",    "SetInformationJobObject(0x2800)",
            "AssignProcessToJobObject",  "ResumeThread"};
        std::vector<std::string> trace = trace_from(run, "CreateProcessA(0x8000004)");
        ASSERT_GE(trace.size(), launch.size());
        EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + 6), launch);
        EXPECT_EQ(std::count(run.trace.begin(), run.trace.end(), "TerminateProcess(0)"), 0);
        EXPECT_EQ(std::count(run.trace.begin(), run.trace.end(), "TerminateJobObject(0)"),
                  c.terminations);
        EXPECT_EQ(run.reports.back().status.dwServiceSpecificExitCode,
                  c.words[2] == "exit:4" ? 4u : 0u);
        EXPECT_FALSE(logged(run, "job processes still running after stop"));
        EXPECT_EQ(run.open_handles, 0);
    }
}

TEST(Host, WithoutAJobTheChildStillStartsAndAStopEndsIt) {
    const struct {
        standin::Call call;
        std::string message;
    } cases[] = {
        {standin::call_CreateJobObjectA,
         "fail to CreateJobObject error=5, stop ends the child only"},
        {standin::call_SetInformationJobObject,
         "fail to CreateJobObject error=5, stop ends the child only"},
        // As for a host that runs in a job of its own before Windows 8.
        {standin::call_AssignProcessToJobObject,
         "fail to AssignProcessToJobObject error=5, stop ends the child only"},
    };
    for (const std::string mode : {"save:10", "ignore"}) {
        for (const auto &c : cases) {
            HostRun run = run_host({child, mode},
                                   {{standin::step_wait_child_ready, 0},
                                    {standin::step_control, SERVICE_CONTROL_PAUSE},
                                    {standin::step_control, SERVICE_CONTROL_STOP}},
                                   false, [&] {
                                       set_grace("500");
                                       standin::fail(c.call, 1, ERROR_ACCESS_DENIED);
                                   });
            ASSERT_EQ(run.launches.size(), 1u);
            EXPECT_TRUE(run.launches[0].created) << c.message;
            // Said after the launch and before the stop's work; a stop taken meanwhile (the
            // child is suspended until it is in the job) may come in between.
            long line = position(run, "success CreateProcess");
            long said = position(run, c.message);
            ASSERT_LT(said, static_cast<long>(run.log.size())) << c.message;
            EXPECT_LT(line, said);
            EXPECT_LT(said, position(run, "asking the child to end, grace time 500 ms"));
            EXPECT_EQ(std::count(run.log.begin(), run.log.end(), c.message), 1);
            EXPECT_EQ(states(run), (std::vector<DWORD>{4, 7, 3, 1}));
            // The child alone is asked, and killed only if it does not end.
            EXPECT_EQ(trace_from(run, "AttachConsole(child)").size() > 0, true);
            EXPECT_EQ(std::count(run.trace.begin(), run.trace.end(), "TerminateProcess(0)"),
                      mode == "ignore" ? 1 : 0)
                << mode;
            EXPECT_EQ(std::count(run.trace.begin(), run.trace.end(), "TerminateJobObject(0)"), 0);
            EXPECT_EQ(std::count(run.trace.begin(), run.trace.end(), "ResumeThread"), 1);
            std::vector<int> live;
            for (const standin::Report &r : run.reports)
                live.push_back(r.live_children);
            EXPECT_EQ(live, (std::vector<int>{0, 1, 1, 0})) << "the child runs until the stop";
            EXPECT_EQ(run.open_handles, 0) << c.message;
        }
    }
}

TEST(Host, ChildThatCannotBeResumedIsEndedAndReported) {
    HostRun run = run_host({child, "sleep"}, {}, false, [] {
        standin::fail(standin::call_ResumeThread, 1, ERROR_ACCESS_DENIED);
    });
    EXPECT_TRUE(logged(run, "fail to ResumeThread error=5"));
    ASSERT_EQ(states(run), (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOPPED}));
    EXPECT_EQ(run.reports[1].status.dwWin32ExitCode, ERROR_ACCESS_DENIED);
    EXPECT_EQ(run.reports[1].live_children, 0);
    EXPECT_EQ(run.reports[1].job_processes, 0);
    EXPECT_EQ(run.open_handles, 0);
}

TEST(Host, FailedHandlerRegistrationEndsTheProcess) {
    std::string dir = test_support::temp_dir();
    test_support::Outcome outcome = test_support::run_in_child([&] {
        standin::reset();
        standin::set_module_file_name(test_support::windows_path(dir + "/tolvard.exe").c_str());
        standin::arm_dispatcher({});
        standin::fail(standin::call_RegisterServiceCtrlHandlerA, 1, ERROR_INVALID_NAME);
        std::vector<std::string> words = {dir + "/tolvard.exe", child, "sleep", "Svc"};
        std::vector<char *> argv = test_support::argv_of(words);
        run_as_service(4, argv.data());
        return 0;
    });
    EXPECT_EQ(outcome.status, static_cast<int>(ERROR_INVALID_NAME));
    std::vector<std::string> log = log_messages(test_support::read_file(dir + "/tolvard.log"));
    EXPECT_EQ(log, (std::vector<std::string>{"main() start:4", "MyServiceStart start:1",
                                             "RegisterServiceCtrlHandler failed 123"}));
    unlink((dir + "/tolvard.log").c_str());
    rmdir(dir.c_str());
}

TEST(Host, ConsoleRunCannotConnect) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    standin::set_module_file_name(test_support::windows_path(dir + "/tolvard.exe").c_str());
    std::vector<std::string> words = {dir + "/tolvard.exe", "reg.bat"};
    std::vector<char *> argv = test_support::argv_of(words);
    run_as_service(2, argv.data());
    EXPECT_EQ(log_messages(test_support::read_file(dir + "/tolvard.log")),
              (std::vector<std::string>{"main() start:2", "StartServiceCtrlDispatcher error=1063",
                                        "main() end"}));
    EXPECT_TRUE(standin::reports().empty());
    EXPECT_TRUE(standin::launches().empty());
    unlink((dir + "/tolvard.log").c_str());
    rmdir(dir.c_str());
}

// The log lines of the child's output, "> " and all, that come before "exec_proc() end" (and so
// before the stopped report); one that comes after it is a fault and shows as "AFTER THE END".
std::vector<std::string> output_lines(const HostRun &run) {
    std::vector<std::string> lines;
    bool ended = false;
    for (const std::string &line : run.service_log) {
        ended = ended || line == "exec_proc() end";
        if (line.compare(0, 2, "> ") == 0)
            lines.push_back(ended ? "AFTER THE END " + line : line);
    }
    return lines;
}

std::string alphabet(size_t length, size_t from = 0) {
    std::string text;
    for (size_t i = from; i < from + length; ++i)
        text += static_cast<char>('a' + i % 26);
    return text;
}

// Each line the child writes on its standard output or error is one log line, in the order
// written; a line too long for one log line goes on in the next, nothing dropped.
TEST(HostOutput, EachLineTheChildWritesIsALogLine) {
    std::vector<std::string> mixed;
    // Odd lines go to the standard output, even ones to the standard error.
    for (int k = 1; k <= 600; ++k)
        mixed.push_back((k % 2 == 1 ? "> out " : "> err ") + std::to_string(k));
    const std::string full(996, 'x');
    const struct {
        std::string mode;
        std::vector<std::string> lines;
    } cases[] = {
        {"text:one\\ntwo\\r\\nthree", {"> one", "> two", "> three"}},
        {"text:\\n\\r\\n", {"> ", "> "}},
        {"text:nul\\0byte\\n\\0", {"> nulbyte"}},
        {"long:996", {"> " + alphabet(996)}},
        {"long:997", {"> " + alphabet(996), "> " + alphabet(1, 996)}},
        {"long:2500",
         {"> " + alphabet(996), "> " + alphabet(996, 996), "> " + alphabet(508, 1992)}},
        // A CR right after a full piece still ends the line with its LF.
        {"text:" + full + "\\r\\nnext\\n", {"> " + full, "> next"}},
        {"lines:600", mixed},
    };
    for (const auto &c : cases) {
        HostRun run = run_host({child, c.mode}, {});
        EXPECT_EQ(output_lines(run), c.lines) << c.mode.substr(0, 40);
        EXPECT_EQ(states(run), (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOPPED}));
        EXPECT_EQ(run.reports.back().status.dwWin32ExitCode, 0u) << c.mode.substr(0, 40);
        EXPECT_EQ(run.open_handles, 0);
    }
}

// A log line is text: a CR that ends no line and every other control character but TAB are
// written escaped, so that the child can neither start a line of its own in a viewer nor send a
// terminal's escape sequences; an escape is never cut in two by a piece's end.
TEST(HostOutput, ControlCharactersAreWrittenEscaped) {
    const std::string x994(994, 'x'), x995(995, 'x'), x996(996, 'x');
    std::string ones(996, ' ');
    for (size_t i = 0; i < ones.size(); i += 4)
        ones.replace(i, 4, "\\x01");
    const struct {
        std::string mode;
        std::vector<std::string> lines;
    } cases[] = {
        // A lone CR would show the rest as a host line of its own.
        {"text:> GET /x\\r2026/12/08 10:17:40:Leaving MyService\\n",
         {"> > GET /x\\r2026/12/08 10:17:40:Leaving MyService"}},
        {"text:\\x1b[31mred\\x1b[0m\\n", {"> \\x1B[31mred\\x1B[0m"}},
        {"text:\\x01\\x1f\\x7f\\x09b\\x0bc\\x0c\\n", {"> \\x01\\x1F\\x7F\tb\\x0Bc\\x0C"}},
        // Bytes above 0x7F, UTF-8 or ANSI, stay as they are.
        {"text:\\xc3\\xa9t\\xe9 \\x80\\xff\\n", {"> \xc3\xa9t\xe9 \x80\xff"}},
        // CR LF ends a line, NUL between them or not; a CR before it is the line's.
        {"text:a\\r\\r\\nb\\r\\0\\nc\\n", {"> a\\r", "> b", "> c"}},
        // A CR at the very end of the output ends no line.
        {"text:end\\r", {"> end\\r"}},
        {"text:one\\n\\r", {"> one", "> \\r"}},
        // An escape that would not fit a piece begins the next.
        {"text:" + x995 + "\\x1by\\n", {"> " + x995, "> \\x1By"}},
        {"text:" + x994 + "\\rz\\n", {"> " + x994 + "\\r", "> z"}},
        {"text:" + x996 + "\\ra\\n", {"> " + x996, "> \\ra"}},
        // A chunk of nothing but control characters: four bytes each, 249 to a piece.
        {"bytes:1000:01",
         {"> " + ones, "> " + ones, "> " + ones, "> " + ones, "> \\x01\\x01\\x01\\x01"}},
    };
    for (const auto &c : cases) {
        HostRun run = run_host({child, c.mode}, {});
        EXPECT_EQ(output_lines(run), c.lines) << c.mode.substr(0, 60);
        EXPECT_EQ(run.reports.back().status.dwWin32ExitCode, 0u) << c.mode.substr(0, 60);
    }
    // More than a whole read of escapes, and of empty lines: the most output a byte can make.
    std::string escapes;
    for (int i = 0; i < 249; ++i)
        escapes += "\\x1B";
    const struct {
        const char *mode;
        size_t lines;
        std::string first;
        size_t bytes; // of all the lines without their "> "
    } floods[] = {{"bytes:200000:1b", 804, "> " + escapes, 800000},
                  {"bytes:70000:0a", 70001, "> ", 0}};
    for (const auto &f : floods) {
        HostRun run = run_host({child, f.mode}, {});
        std::vector<std::string> lines = output_lines(run);
        ASSERT_EQ(lines.size(), f.lines) << f.mode;
        EXPECT_EQ(lines[0], f.first) << f.mode;
        size_t bytes = 0;
        for (const std::string &line : lines)
            bytes += line.size() - 2;
        EXPECT_EQ(bytes, f.bytes) << f.mode;
    }
}

// The child gets the output pipe as its standard output and error and a pipe that nobody
// writes to as its input, and these are the only handles of the host it inherits. The input
// stays open, as a console's does, until the stop has sent Ctrl+C and WM_CLOSE: a child that
// reads it runs until then, and ends on its end.
TEST(HostOutput, TheChildsInputStaysOpenUntilTheStop) {
    const struct {
        bool window;
        std::string events; // what the child noted, in order
    } cases[] = {{false, "ignored 2\neof\n"}, {true, "ignored 2\nignored 15\neof\n"}};
    for (const auto &c : cases) {
        std::vector<Step> script = {{standin::step_wait_child_ready, 0}};
        if (c.window)
            script.push_back({standin::step_add_window, 0});
        script.push_back({standin::step_sleep, 300});
        script.push_back({standin::step_control, SERVICE_CONTROL_STOP});
        HostRun run = run_host({child, "stdin"}, script);
        ASSERT_EQ(run.launches.size(), 1u);
        const standin::Launch &launch = run.launches[0];
        EXPECT_TRUE(launch.inherit_handles);
        std::vector<std::string> inherited = launch.inherited;
        std::sort(inherited.begin(), inherited.end());
        EXPECT_EQ(inherited, (std::vector<std::string>{"pipe-read", "pipe-write"}));
        EXPECT_EQ(launch.std_in, "pipe-read");
        EXPECT_EQ(launch.std_out, "pipe-write");
        EXPECT_EQ(launch.std_err, "pipe-write");
        EXPECT_EQ(run.events, c.events) << c.window;
        ASSERT_GE(run.reports.size(), 3u);
        EXPECT_EQ(run.reports[1].status.dwCurrentState, SERVICE_STOP_PENDING);
        EXPECT_EQ(run.reports[1].live_children, 1) << "the input ended before the stop";
        std::vector<std::string> log = log_without_ms(run);
        long stop = service_position(run, "Leaving MyService");
        long eof = service_position(run, "> eof after 0 bytes");
        EXPECT_LT(stop, eof);
        EXPECT_LT(eof, static_cast<long>(run.service_log.size()));
        EXPECT_EQ(std::count(log.begin(), log.end(), "the child ended on its own after N ms"), 1);
        EXPECT_EQ(run.reports.back().status.dwWin32ExitCode, 0u);
        EXPECT_EQ(run.open_handles, 0);
    }
}

// A stop while the child writes as fast as it can: every line it wrote before it ended is in
// the log, in order, before the stopped report.
TEST(HostOutput, AStopInTheMiddleOfOutputLosesNothing) {
    for (int round = 0; round < 3; ++round) {
        HostRun run = run_host({child, "flood"}, {{standin::step_wait_child_ready, 0},
                                                  {standin::step_sleep, 50},
                                                  {standin::step_control, SERVICE_CONTROL_STOP}});
        std::smatch wrote;
        ASSERT_TRUE(std::regex_search(run.events, wrote, std::regex("wrote (\\d+)"))) << run.events;
        long count = std::stol(wrote[1]);
        std::vector<std::string> lines = output_lines(run);
        ASSERT_EQ(static_cast<long>(lines.size()), count);
        for (long k = 0; k < count; ++k) {
            char number[32];
            snprintf(number, sizeof number, "> %08ld ", k + 1);
            ASSERT_EQ(lines[k].compare(0, 11, number), 0) << lines[k];
            ASSERT_EQ(lines[k].size(), 101u) << lines[k];
        }
        EXPECT_GT(count, 0);
        // The flood ends on Ctrl+C, long before the grace time.
        std::vector<std::string> log = log_without_ms(run);
        EXPECT_EQ(std::count(log.begin(), log.end(), "the child ended on its own after N ms"), 1);
        EXPECT_EQ(states(run).back(), SERVICE_STOPPED);
    }
}

// While another process holds the log's turn, the reader goes on draining the pipe (the child
// writes eight times what the pipe holds), and every line is written once the turn comes, or
// after 2 s all the same.
TEST(HostOutput, TheReaderDrainsWhileTheLogIsHeld) {
    HostRun run = run_host({child, "flood:5000"}, {}, false, [] {
        // The start's turn and its six lines come first, each but the first in both logs and
        // the first kept for the service's: the reader's tries fail after them.
        standin::fail(standin::call_LockFileEx, 14, ERROR_LOCK_VIOLATION, 1500);
    });
    std::vector<std::string> lines = output_lines(run);
    ASSERT_EQ(lines.size(), 5000u);
    for (size_t k = 0; k < lines.size(); ++k) {
        char number[32];
        snprintf(number, sizeof number, "> %08zu ", k + 1);
        ASSERT_EQ(lines[k].compare(0, 11, number), 0) << lines[k];
    }
    EXPECT_GT(standin::calls(standin::call_PeekNamedPipe), 0) << "the pipe was never looked at";
    EXPECT_EQ(states(run), (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOPPED}));
    EXPECT_EQ(run.reports.back().status.dwWin32ExitCode, 0u);
}

// What the child started may write after the child's own end: the host waits for the pipe
// while anything of the tree holds it, and gives up on a holder outside the job.
TEST(HostOutput, WhatOutlivesTheChild) {
    const struct {
        const char *what;
        std::vector<std::string> words;
        bool job;
        std::vector<std::string> lines;
        bool given_up;
    } cases[] = {
        // The job's end takes the grandchild before it writes.
        {"in the job", {child, "late:300"}, true, {"> early"}, false},
        {"without a job", {child, "late:300"}, false, {"> early", "> late"}, false},
        // A grandchild that holds the pipe and never writes nor ends.
        {"held for good", {child, "spawn", "exit:0"}, false, {}, true},
    };
    for (const auto &c : cases) {
        HostRun run = run_host(c.words, {}, false, [&] {
            if (!c.job)
                standin::fail(standin::call_CreateJobObjectA, 1, ERROR_ACCESS_DENIED);
        });
        EXPECT_EQ(output_lines(run), c.lines) << c.what;
        long end = position(run, "exec_proc() end");
        long given_up = position(run, "child output still open after stop");
        EXPECT_EQ(given_up < end, c.given_up) << c.what;
        EXPECT_EQ(states(run), (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOPPED})) << c.what;
        // A reader given up on keeps its end of the pipe while the grandchild holds the other.
        EXPECT_EQ(run.open_handles, c.given_up ? 1 : 0) << c.what;
    }
}

// Without either pipe or the reader, the child still runs; a line says why its output is lost.
TEST(HostOutput, WithoutCaptureTheChildStillRuns) {
    const struct {
        standin::Call call;
        int nth;
        bool before_launch; // the line comes before the child's creation
    } cases[] = {
        {standin::call_CreatePipe, 1, true},
        {standin::call_CreatePipe, 2, true},
        {standin::call_SetHandleInformation, 1, true},
        {standin::call_SetHandleInformation, 2, true},
        {standin::call_CreateThread, 1, false},
    };
    for (const auto &c : cases) {
        HostRun run = run_host({child, "exit:0"}, {}, false,
                               [&] { standin::fail(c.call, c.nth, ERROR_ACCESS_DENIED); });
        long line = position(run, "fail to capture the child's output error=5");
        long created = position(run, "success CreateProcess");
        ASSERT_LT(line, static_cast<long>(run.log.size())) << c.call;
        EXPECT_EQ(line < created, c.before_launch) << c.call;
        ASSERT_EQ(run.launches.size(), 1u);
        EXPECT_EQ(run.launches[0].inherit_handles, !c.before_launch) << c.call;
        EXPECT_EQ(run.reports.back().status.dwWin32ExitCode, 0u) << c.call;
        EXPECT_EQ(run.open_handles, 0) << c.call;
    }
}

} // namespace

namespace {

// What each run tells the Event Log, as the host reports it at the places that happen: the
// first string the service's name, numbers masked where the run decides them.
TEST(HostEvents, EachRunTellsWhatHappened) {
    const struct {
        const char *what;
        std::vector<std::string> words;
        std::vector<Step> script;
        std::vector<std::string> expected; // "TYPE ID|STRING|...", numbers of the run as N
    } cases[] = {
        // A child that ends within its first second: its end alone.
        {"ends with 3", {child, "exit:3"}, {}, {"1 302|Svc|3|"}},
        {"ends with 0", {child, "exit:0"}, {}, {"4 103|Svc|"}},
        // Stopped after its first second: its start, then the stop.
        {"stopped",
         {child, "save:10"},
         {{standin::step_wait_child_ready, 0},
          {standin::step_sleep, 1300},
          {standin::step_control, SERVICE_CONTROL_STOP}},
         {"4 101|Svc|N|" + child + " save:10|", "4 102|Svc|N|"}},
        // Killed: one warning tells both the stop and the kill.
        {"killed",
         {child, "ignore"},
         {{standin::step_wait_child_ready, 0},
          {standin::step_sleep, 1300},
          {standin::step_control, SERVICE_CONTROL_STOP}},
         {"4 101|Svc|N|" + child + " ignore|", "2 201|Svc|500|"}},
    };
    static const std::regex number(R"(\|[0-9]+\|)");
    for (const auto &c : cases) {
        HostRun run = run_host(c.words, c.script, false, [] { set_grace("500"); });
        std::vector<std::string> got;
        for (const standin::ReportedEvent &e : standin::reported_events()) {
            std::string line = std::to_string(e.type) + " " + std::to_string(e.id);
            for (const std::string &s : e.strings)
                line += "|" + s;
            // The process id and the milliseconds, which the run decides; the grace time and
            // the codes are set by the case.
            if (e.id == 101 || e.id == 102)
                line = std::regex_replace(line, number, "|N|",
                                          std::regex_constants::format_first_only);
            got.push_back(line);
        }
        EXPECT_EQ(got, c.expected) << c.what;
        EXPECT_EQ(run.log.back(), "main() end") << c.what;
        EXPECT_EQ(run.open_handles, 0) << c.what;
    }
}

// Apart from the others: under valgrind a failed exec does not reach the stand-in (see the
// memcheck test in CMakeLists.txt).
TEST(HostEvents, AChildThatCannotStart) {
    HostRun run = run_host({"/nonexistent/app.exe", "x"}, {});
    std::vector<standin::ReportedEvent> events = standin::reported_events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[0].id, 301u);
    EXPECT_EQ(events[0].strings,
              (std::vector<std::string>{"Svc", "2", "The system cannot find the file specified.",
                                        "/nonexistent/app.exe x", ""}));
    EXPECT_EQ(run.log.back(), "main() end");
}

} // namespace

namespace {

// While another process holds the log's turn for good, no control waits for the log: the
// handler hands its lines over and returns, and every line of the run is there all the same,
// in the order of what happened, before the stopped report. (The stand-in's clock moves only
// by Sleep, so the writers' 2 s waits for the turn cost the test no time.)
TEST(Host, ControlsNeverWaitForTheLog) {
    const struct {
        const char *what;
        std::vector<DWORD> controls; // before the stop
        bool report_fails;           // the first report of a control fails
        std::vector<std::string> lines;
    } cases[] = {
        {"a stop", {}, false, {}},
        {"an unknown control, then the stop", {200}, false, {"Unrecognized opcode 200"}},
        {"a pause whose report fails, then the stop",
         {SERVICE_CONTROL_PAUSE},
         true,
         {"SetServiceStatus error 6"}},
    };
    for (const auto &c : cases) {
        std::vector<Step> script = {{standin::step_wait_child_ready, 0}};
        for (DWORD control : c.controls)
            script.push_back({standin::step_control, control});
        script.push_back({standin::step_control, SERVICE_CONTROL_STOP});
        HostRun run = run_host({child, "save:0"}, script, false, [&] {
            frozen_clock();
            standin::fail(standin::call_LockFileEx, 0, ERROR_LOCK_VIOLATION);
            if (c.report_fails)
                standin::fail(standin::call_SetServiceStatus, 2, ERROR_INVALID_HANDLE);
        });
        std::vector<standin::HandledControl> handled = standin::handled_controls();
        ASSERT_EQ(handled.size(), c.controls.size() + 1) << c.what;
        for (const standin::HandledControl &h : handled)
            EXPECT_EQ(h.lock_calls, 0) << c.what << ": control " << h.control;
        std::vector<std::string> expected = c.lines;
        expected.insert(expected.end(),
                        {"Leaving MyService", "asking the child to end, grace time 5000 ms",
                         "the child ended on its own after N ms", "exec_proc() end", "main() end"});
        for (const std::vector<std::string> *log : {&run.log, &run.service_log}) {
            std::vector<std::string> lines;
            static const std::regex after(R"(after \d+ ms$)");
            long from = std::find(log->begin(), log->end(), "success CreateProcess") - log->begin();
            ASSERT_LT(from, static_cast<long>(log->size())) << c.what;
            for (auto it = log->begin() + from + 1; it != log->end(); ++it)
                lines.push_back(std::regex_replace(*it, after, "after N ms"));
            EXPECT_EQ(lines, expected) << c.what;
        }
        EXPECT_EQ(states(run).back(), SERVICE_STOPPED) << c.what;
    }
}

} // namespace

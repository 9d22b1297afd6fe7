// The stand-in's processes and jobs: what the native tests trust in place of Windows, so their
// rules are tested against what Windows documents.
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <vector>

namespace {

// The child's argument vector for a command line, as the child recorded it.
std::string child_argv(const std::string &command_line, DWORD *exit_code = nullptr) {
    std::string record = test_support::temp_dir() + "/argv";
    setenv("TOLVARD_CHILD_RECORD", record.c_str(), 1);
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    PROCESS_INFORMATION info;
    std::string text = command_line;
    BOOL created = CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &startup, &info);
    unsetenv("TOLVARD_CHILD_RECORD");
    if (!created)
        return "<not created>";
    EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    if (exit_code != nullptr)
        *exit_code = code;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    std::string argv = test_support::read_file(record);
    unlink(record.c_str());
    return argv;
}

// Waits (up to 10 s) until the process has ended but not been reaped: a zombie.
bool wait_until_ended(DWORD pid) {
    std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    for (int i = 0; i < 1000; ++i) {
        std::string text = test_support::read_file(stat);
        size_t end = text.rfind(')');
        if (end != std::string::npos && text.compare(end, 3, ") Z") == 0)
            return true;
        usleep(10 * 1000);
    }
    return false;
}

// The examples of the Microsoft C runtime's documentation on parsing command-line arguments.
TEST(StandinProcess, ChildSplitsAsTheCRuntime) {
    standin::reset();
    const std::string probe = CHILD_PROBE;
    const struct {
        const char *args;
        std::string argv;
    } cases[] = {
        {"\"a b c\" d e", test_support::nul_separated({"a b c", "d", "e"})},
        {"\"ab\\\"c\" \"\\\\\" d", test_support::nul_separated({"ab\"c", "\\", "d"})},
        {"a\\\\\\b d\"e f\"g h", test_support::nul_separated({"a\\\\\\b", "de fg", "h"})},
        {"a\\\\\\\"b c d", test_support::nul_separated({"a\\\"b", "c", "d"})},
        {"a\\\\\\\\\"b c\" d e", test_support::nul_separated({"a\\\\b c", "d", "e"})},
    };
    for (const auto &c : cases)
        EXPECT_EQ(child_argv("\"" + probe + "\" exit:0 " + c.args),
                  probe + '\0' + "exit:0" + '\0' + c.argv)
            << c.args;
}

TEST(StandinProcess, ExitCodesAndTermination) {
    standin::reset();
    const std::string probe = CHILD_PROBE;
    DWORD code = 1234;
    child_argv(probe + " exit:7", &code);
    EXPECT_EQ(code, 7u);

    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    PROCESS_INFORMATION info;
    std::string text = probe + " sleep";
    ASSERT_TRUE(CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_TRUE(TerminateProcess(info.hProcess, 0));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 0u) << "the code given to TerminateProcess";
    EXPECT_FALSE(TerminateProcess(info.hProcess, 0)) << "already ended";
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(info.hProcess));
    EXPECT_TRUE(CloseHandle(info.hThread));
    EXPECT_FALSE(CloseHandle(info.hProcess));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(standin::open_handles(), 0);

    // A child that has ended, though nobody waited for it yet, keeps its own exit code.
    text = probe + " exit:5";
    ASSERT_TRUE(CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
    ASSERT_TRUE(wait_until_ended(info.dwProcessId));
    EXPECT_FALSE(TerminateProcess(info.hProcess, 0));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 5u);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);

    // A finite wait on a running child times out.
    text = probe + " sleep";
    ASSERT_TRUE(CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 50), WAIT_TIMEOUT);
    EXPECT_TRUE(TerminateProcess(info.hProcess, 9));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 5000), WAIT_OBJECT_0);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
}

TEST(StandinProcess, CreationFailures) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    const std::string not_executable = dir + "/data.exe", not_a_program = dir + "/text.exe";
    for (const std::string &path : {not_executable, not_a_program}) {
        FILE *f = fopen(path.c_str(), "w");
        fputs("\x01\x02 not a program\n", f);
        fclose(f);
    }
    chmod(not_executable.c_str(), 0644);
    chmod(not_a_program.c_str(), 0755);
    const struct {
        std::string command_line;
        DWORD error;
    } cases[] = {{"", ERROR_FILE_NOT_FOUND},
                 {"   ", ERROR_FILE_NOT_FOUND},
                 {"/nonexistent/app.exe", ERROR_FILE_NOT_FOUND},
                 {not_executable, ERROR_ACCESS_DENIED},
                 {not_a_program, ERROR_BAD_EXE_FORMAT}};
    for (const auto &c : cases) {
        SetLastError(0);
        EXPECT_EQ(child_argv(c.command_line), "<not created>") << c.command_line;
        EXPECT_EQ(GetLastError(), c.error) << c.command_line;
    }
    EXPECT_EQ(standin::open_handles(), 0);
    unlink(not_executable.c_str());
    unlink(not_a_program.c_str());
    rmdir(dir.c_str());
}

// The program word is a Windows path like any other: mapped as CreateFileA maps it, and given to
// the child as it was written.
TEST(StandinProcess, ProgramPathsAreMappedAsFilePathsAre) {
    standin::reset();
    const std::string probe = CHILD_PROBE;
    const std::string windows = test_support::windows_path(probe);
    const struct {
        std::string program;
        DWORD error; // 0: runs
    } cases[] = {{windows, 0},
                 {"Z:" + windows, 0},
                 {"\"" + windows + "\"", 0},
                 {"C:" + windows, ERROR_PATH_NOT_FOUND},
                 {"\\\\server" + windows, ERROR_PATH_NOT_FOUND},
                 {windows + "?", ERROR_INVALID_NAME},
                 {"\"\"", ERROR_FILE_NOT_FOUND}};
    for (const auto &c : cases) {
        SetLastError(0);
        std::string argv = child_argv(c.program + " exit:0 x");
        if (c.error != 0) {
            EXPECT_EQ(argv, "<not created>") << c.program;
            EXPECT_EQ(GetLastError(), c.error) << c.program;
            continue;
        }
        std::string word = c.program[0] == '"' ? windows : c.program;
        EXPECT_EQ(argv, test_support::nul_separated({word, "exit:0", "x"})) << c.program;
    }
    auto launches = standin::launches();
    ASSERT_EQ(launches.size(), 7u);
    EXPECT_TRUE(launches[2].created);
    EXPECT_FALSE(launches[3].created);
    EXPECT_EQ(standin::open_handles(), 0);
}

// The state letter of a process in /proc ('T' when stopped), or 0.
char process_state(DWORD pid) {
    std::string text = test_support::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() ? text[end + 2] : 0;
}

// A suspended child stays stopped until its thread is resumed. (It is stopped just after its
// exec: a program short enough may have ended by then, unlike on Windows.)
TEST(StandinProcess, SuspendedUntilResumed) {
    standin::reset();
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    PROCESS_INFORMATION info;
    std::string text = std::string(CHILD_PROBE) + " sleep";
    ASSERT_TRUE(CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                               nullptr, nullptr, &startup, &info));
    EXPECT_EQ(process_state(info.dwProcessId), 'T');
    SetLastError(0);
    EXPECT_EQ(ResumeThread(info.hProcess), static_cast<DWORD>(-1)) << "a process handle";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(process_state(info.dwProcessId), 'T');
    EXPECT_EQ(ResumeThread(info.hThread), 1u);
    char state = 'T';
    for (int i = 0; i < 500 && state == 'T'; ++i) {
        usleep(10 * 1000);
        state = process_state(info.dwProcessId);
    }
    EXPECT_NE(state, 'T') << "still stopped after ResumeThread";
    EXPECT_TRUE(TerminateProcess(info.hProcess, 4));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 5000), WAIT_OBJECT_0);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

// Starts the probe with `arguments`, its group taken over by a new job with `limits`.
HANDLE child_in_job(const std::string &arguments, DWORD limits, PROCESS_INFORMATION &info) {
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION extended = {};
    extended.BasicLimitInformation.LimitFlags = limits;
    EXPECT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &extended,
                                        sizeof extended));
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    std::string text = std::string(CHILD_PROBE) + " " + arguments;
    EXPECT_TRUE(CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                               nullptr, nullptr, &startup, &info));
    EXPECT_TRUE(AssignProcessToJobObject(job, info.hProcess));
    ResumeThread(info.hThread);
    return job;
}

DWORD active_processes(HANDLE job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
    DWORD returned = 0;
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof accounting, &returned))
        return 9999;
    return returned == sizeof accounting ? accounting.ActiveProcesses : 8888;
}

TEST(StandinProcess, ResetEndsChildrenWhoseHandlesAreClosed) {
    // A child that a host left running, its handles closed, must not outlive the test: it
    // would hold the test's output open, and the test runner waits for that to close.
    standin::reset();
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    PROCESS_INFORMATION info;
    std::string line = CHILD_PROBE " sleep";
    ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    ASSERT_EQ(kill(static_cast<pid_t>(info.dwProcessId), 0), 0) << "the child runs";
    standin::reset();
    EXPECT_EQ(kill(static_cast<pid_t>(info.dwProcessId), 0), -1) << "ended and reaped";
    EXPECT_EQ(errno, ESRCH);

    // Nor what a child that has ended, and been reaped, left in its group.
    line = CHILD_PROBE " spawn exit:0";
    ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
    ASSERT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    const pid_t group = static_cast<pid_t>(info.dwProcessId);
    ASSERT_EQ(kill(-group, 0), 0) << "the grandchild runs on in the group";
    standin::reset();
    for (int i = 0; i < 200 && kill(-group, 0) == 0; ++i)
        usleep(10000); // killed, but reaped by init, not by us
    EXPECT_EQ(kill(-group, 0), -1) << "the grandchild is ended";
}

TEST(StandinJob, TerminateCountAndKillOnClose) {
    standin::reset();
    PROCESS_INFORMATION info;
    HANDLE job = child_in_job("sleep", 0, info);
    EXPECT_EQ(active_processes(job), 1u);
    SetLastError(0);
    EXPECT_FALSE(AssignProcessToJobObject(job, info.hProcess)) << "a job takes one process";
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
    SetLastError(0);
    EXPECT_FALSE(QueryInformationJobObject(job, JobObjectExtendedLimitInformation, &accounting,
                                           sizeof accounting, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(TerminateJobObject(job, 7));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 7u) << "the code given to TerminateJobObject";
    EXPECT_EQ(active_processes(job), 0u);
    for (HANDLE h : {job, info.hProcess, info.hThread})
        EXPECT_TRUE(CloseHandle(h));

    // Closing a job ends its processes only with JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE.
    const struct {
        DWORD limits;
        bool ended;
    } cases[] = {{JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK, true},
                 {JOB_OBJECT_LIMIT_BREAKAWAY_OK, false}};
    for (const auto &c : cases) {
        job = child_in_job("sleep", c.limits, info);
        EXPECT_TRUE(CloseHandle(job));
        EXPECT_EQ(WaitForSingleObject(info.hProcess, c.ended ? 5000 : 100),
                  c.ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT)
            << c.limits;
        TerminateProcess(info.hProcess, 0);
        WaitForSingleObject(info.hProcess, 5000);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    EXPECT_EQ(standin::open_handles(), 0);
    auto trace = standin::trace();
    EXPECT_EQ(trace[0], "CreateJobObjectA(null)");
    EXPECT_EQ(trace[1], "SetInformationJobObject(0x0)");
}

// The ids of the job's processes: as many as there is room for; ERROR_MORE_DATA if cut short.
TEST(StandinJob, ProcessIdList) {
    standin::reset();
    PROCESS_INFORMATION info;
    HANDLE job = child_in_job("spawn sleep", JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE, info);
    for (int i = 0; i < 5000 && active_processes(job) < 2; ++i)
        Sleep(1);
    // Room for three ids: the list's last member is an array that runs on past the record.
    const size_t size =
        offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList) + 3 * sizeof(ULONG_PTR);
    std::vector<ULONG_PTR> room(size / sizeof(ULONG_PTR) + 1);
    auto *list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST *>(room.data());
    DWORD returned = 0;
    ASSERT_TRUE(QueryInformationJobObject(job, JobObjectBasicProcessIdList, list,
                                          static_cast<DWORD>(size), &returned));
    EXPECT_EQ(list->NumberOfAssignedProcesses, 2u);
    ASSERT_EQ(list->NumberOfProcessIdsInList, 2u);
    EXPECT_EQ(returned,
              offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList) + 2 * sizeof(ULONG_PTR));
    const ULONG_PTR *ids = list->ProcessIdList;
    std::vector<ULONG_PTR> listed = {ids[0], ids[1]};
    EXPECT_NE(std::find(listed.begin(), listed.end(), info.dwProcessId), listed.end());
    JOBOBJECT_BASIC_PROCESS_ID_LIST one = {};
    SetLastError(0);
    EXPECT_FALSE(
        QueryInformationJobObject(job, JobObjectBasicProcessIdList, &one, sizeof one, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(one.NumberOfAssignedProcesses, 2u);
    EXPECT_EQ(one.NumberOfProcessIdsInList, 1u);
    for (HANDLE h : {job, info.hProcess, info.hThread})
        EXPECT_TRUE(CloseHandle(h));
    standin::reset();
}

// Starts the probe in `mode` with `startup`; the handles of the child are closed, its process
// handle given back in `process` if asked for, else waited for.
bool start_probe(const std::string &mode, BOOL inherit, STARTUPINFOA *startup,
                 HANDLE *process = nullptr) {
    STARTUPINFOA own;
    if (startup == nullptr) {
        GetStartupInfoA(&own);
        own.dwFlags = 0;
        startup = &own;
    }
    PROCESS_INFORMATION info;
    std::string text = std::string(CHILD_PROBE) + " " + mode;
    if (!CreateProcessA(nullptr, text.data(), nullptr, nullptr, inherit, 0, nullptr, nullptr,
                        startup, &info))
        return false;
    CloseHandle(info.hThread);
    if (process != nullptr) {
        *process = info.hProcess;
        return true;
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hProcess);
    return true;
}

// Everything ReadFile gives until it fails, and the error it fails with.
std::string drain(HANDLE read_end, DWORD *error) {
    std::string data;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &n, nullptr) && n > 0)
        data.append(buffer, n);
    *error = GetLastError();
    return data;
}

// What /proc/self/fd/N links to in this process.
std::string fd_target(int fd) {
    char target[4096];
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

// With inherit TRUE the child gets exactly the handles that are inheritable then, each under
// its own descriptor number; with FALSE none; and never a descriptor of the test process that
// is no handle of the program.
TEST(StandinInherit, OnlyInheritableHandlesReachTheChild) {
    std::string dir = test_support::temp_dir();
    const std::string record = dir + "/record";
    const std::string file_path = test_support::windows_path(dir + "/f.txt");
    for (BOOL inherit : {TRUE, FALSE}) {
        standin::reset();
        SECURITY_ATTRIBUTES yes = {sizeof yes, nullptr, TRUE};
        HANDLE a_read, a_write, b_read, b_write;
        ASSERT_TRUE(CreatePipe(&a_read, &a_write, &yes, 0));
        ASSERT_TRUE(CreatePipe(&b_read, &b_write, nullptr, 0));
        EXPECT_TRUE(SetHandleInformation(b_read, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT));
        HANDLE nul = CreateFileA("nul", GENERIC_WRITE, 0, &yes, OPEN_EXISTING, 0, nullptr);
        HANDLE file =
            CreateFileA(file_path.c_str(), GENERIC_WRITE, 0, &yes, CREATE_ALWAYS, 0, nullptr);
        EXPECT_TRUE(SetHandleInformation(file, HANDLE_FLAG_INHERIT, 0));
        HANDLE kept =
            CreateFileA(file_path.c_str(), GENERIC_READ, 0, &yes, OPEN_EXISTING, 0, nullptr);
        int stray = open("/dev/zero", O_RDONLY); // no O_CLOEXEC
        ASSERT_GE(stray, 0);

        setenv("TOLVARD_CHILD_RECORD", record.c_str(), 1);
        ASSERT_TRUE(start_probe("fds", inherit, nullptr));
        unsetenv("TOLVARD_CHILD_RECORD");
        std::map<int, std::string> child; // fd -> target, as the child saw them
        std::string listing = test_support::read_file(record + ".events");
        for (size_t at = 0; at < listing.size();) {
            size_t end = listing.find('\n', at);
            std::string line = listing.substr(at, end - at);
            child[atoi(line.c_str())] = line.substr(line.find(' ') + 1);
            at = end == std::string::npos ? listing.size() : end + 1;
        }
        ASSERT_FALSE(child.empty()) << listing;
        std::map<std::string, int> seen; // the kinds of descriptor 3 and up the child has
        for (const auto &[fd, target] : child) {
            if (fd < 3)
                continue;
            EXPECT_EQ(fd_target(fd), target) << "not the same object under the same number";
            std::string kind = target.rfind("pipe:", 0) == 0 ? "pipe" : target;
            ++seen[kind];
        }
        EXPECT_EQ(seen.count("/dev/zero"), 0u) << "a stray descriptor reached the child";
        if (inherit) {
            EXPECT_EQ(seen["pipe"], 3) << "both ends of a, the read end of b";
            EXPECT_EQ(seen["/dev/null"], 1);
            EXPECT_EQ(seen[dir + "/f.txt"], 1) << "the one file still inheritable";
        } else {
            EXPECT_EQ(seen.count("pipe") + seen.count("/dev/null") + seen.count(dir + "/f.txt"), 0u)
                << listing;
        }
        auto launches = standin::launches();
        ASSERT_EQ(launches.size(), 1u);
        EXPECT_EQ(launches[0].inherited,
                  inherit ? (std::vector<std::string>{"pipe-read", "pipe-write", "pipe-read", "nul",
                                                      "file:" + file_path})
                          : std::vector<std::string>{});
        EXPECT_EQ(launches[0].std_out, "");
        close(stray);
        for (HANDLE h : {a_read, a_write, b_read, b_write, nul, file, kept})
            EXPECT_TRUE(CloseHandle(h));
        EXPECT_EQ(standin::open_handles(), 0);
        unlink(record.c_str());
        unlink((record + ".events").c_str());
    }
    unlink((dir + "/f.txt").c_str());
    rmdir(dir.c_str());
}

// What a thread started by the tests below does: drains a pipe, and returns the error it ends
// with.
std::string drained;
DWORD WINAPI drain_thread(LPVOID read_end) {
    DWORD error = 0;
    drained = drain(static_cast<HANDLE>(read_end), &error);
    return error;
}

// A write end that a running child inherited keeps the reader from the end until the child
// dies; one that was not inheritable does not, once the program closes its own.
TEST(StandinInherit, AChildsWriteEndHoldsOffTheEnd) {
    standin::reset();
    SECURITY_ATTRIBUTES yes = {sizeof yes, nullptr, TRUE};
    HANDLE a_read, a_write, b_read, b_write;
    ASSERT_TRUE(CreatePipe(&a_read, &a_write, &yes, 0));
    ASSERT_TRUE(CreatePipe(&b_read, &b_write, nullptr, 0));
    HANDLE child = nullptr;
    ASSERT_TRUE(start_probe("sleep", TRUE, nullptr, &child));
    EXPECT_TRUE(CloseHandle(a_write));
    EXPECT_TRUE(CloseHandle(b_write));
    DWORD error = 0;
    EXPECT_EQ(drain(b_read, &error), "");
    EXPECT_EQ(error, ERROR_BROKEN_PIPE) << "b's writer never reached the child";
    HANDLE reader = CreateThread(nullptr, 0, drain_thread, a_read, 0, nullptr);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(WaitForSingleObject(reader, 200), WAIT_TIMEOUT) << "the child holds a's writer";
    EXPECT_TRUE(TerminateProcess(child, 1));
    EXPECT_EQ(WaitForSingleObject(reader, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(reader, &code));
    EXPECT_EQ(code, ERROR_BROKEN_PIPE);
    for (HANDLE h : {reader, child, a_read, b_read})
        EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(standin::open_handles(), 0);
}

// STARTF_USESTDHANDLES routes the child's 0, 1 and 2; a std handle that is not inherited is
// closed in the child.
TEST(StandinInherit, StdHandlesRouteTheChildsDescriptors) {
    const struct {
        std::string mode;
        BOOL inherit;
        bool out_inheritable;
        std::string input; // written to the child's stdin pipe; "nul": NUL
        std::string out, err;
        const char *std_in, *std_out;
    } cases[] = {
        {"lines:4", TRUE, true, "nul", "out 1\nout 3\n", "err 2\nerr 4\n", "nul", "pipe-write"},
        {"stdin", TRUE, true, "hello", "eof after 5 bytes\n", "", "pipe-read", "pipe-write"},
        {"stdin", TRUE, true, "nul", "eof after 0 bytes\n", "", "nul", "pipe-write"},
        {"lines:2", TRUE, false, "nul", "", "err 2\n", "nul", "closed"},
        {"lines:2", FALSE, true, "nul", "", "", "closed", "closed"},
        {"text:a\\r\\nb\\0c", TRUE, true, "nul", std::string("a\r\nb\0c", 6), "", "nul",
         "pipe-write"},
        {"long:70000", TRUE, true, "nul", "", "", "nul", "pipe-write"}, // checked below
    };
    for (const auto &c : cases) {
        standin::reset();
        SECURITY_ATTRIBUTES yes = {sizeof yes, nullptr, TRUE};
        SECURITY_ATTRIBUTES out_attributes = {sizeof yes, nullptr, c.out_inheritable};
        HANDLE out_read, out_write, err_read, err_write, in_read = nullptr, in_write = nullptr;
        ASSERT_TRUE(CreatePipe(&out_read, &out_write, &out_attributes, 0));
        ASSERT_TRUE(CreatePipe(&err_read, &err_write, &yes, 0));
        EXPECT_TRUE(SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0));
        EXPECT_TRUE(SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0));
        HANDLE input;
        if (c.input == "nul") {
            input = CreateFileA("NUL", GENERIC_READ, 0, &yes, OPEN_EXISTING, 0, nullptr);
        } else {
            ASSERT_TRUE(CreatePipe(&in_read, &in_write, &yes, 0));
            EXPECT_TRUE(SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0));
            DWORD n = 0;
            EXPECT_TRUE(WriteFile(in_write, c.input.data(), static_cast<DWORD>(c.input.size()), &n,
                                  nullptr));
            EXPECT_TRUE(CloseHandle(in_write));
            input = in_read;
        }
        STARTUPINFOA startup;
        GetStartupInfoA(&startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input;
        startup.hStdOutput = out_write;
        startup.hStdError = err_write;
        HANDLE child = nullptr;
        ASSERT_TRUE(start_probe(c.mode, c.inherit, &startup, &child)) << c.mode;
        for (HANDLE h : {input, out_write, err_write})
            EXPECT_TRUE(CloseHandle(h));
        // The output is read as it comes, while the child runs: a long one fills the pipe.
        HANDLE reader = CreateThread(nullptr, 0, drain_thread, out_read, 0, nullptr);
        DWORD error = 0;
        std::string err = drain(err_read, &error);
        EXPECT_EQ(WaitForSingleObject(reader, 10000), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(child, 10000), WAIT_OBJECT_0);
        if (c.mode == "long:70000") {
            ASSERT_EQ(drained.size(), 70001u);
            EXPECT_EQ(drained.substr(0, 3), "abc");
            EXPECT_EQ(drained.substr(69997), "fgh\n") << "70000 is 26 * 2692 + 8: it ends on h";
        } else {
            EXPECT_EQ(drained, c.out) << c.mode;
        }
        EXPECT_EQ(err, c.err) << c.mode;
        EXPECT_EQ(error, ERROR_BROKEN_PIPE);
        auto launches = standin::launches();
        ASSERT_EQ(launches.size(), 1u);
        EXPECT_EQ(launches[0].std_in, c.std_in) << c.mode;
        EXPECT_EQ(launches[0].std_out, c.std_out) << c.mode;
        EXPECT_EQ(launches[0].std_err, c.inherit ? "pipe-write" : "closed") << c.mode;
        for (HANDLE h : {reader, child, out_read, err_read})
            EXPECT_TRUE(CloseHandle(h));
        EXPECT_EQ(standin::open_handles(), 0) << c.mode;
    }
}

std::atomic<int> thread_runs;
DWORD WINAPI wait_then_return(LPVOID event) {
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    ++thread_runs;
    return 42;
}

TEST(StandinThread, WaitExitCodeAndCloseBeforeTheEnd) {
    standin::reset();
    thread_runs = 0;
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, wait_then_return, go, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 50), WAIT_TIMEOUT);
    HANDLE other = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE both[] = {other, thread};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 50), WAIT_TIMEOUT);
    // A second one whose handle is closed at once runs on.
    HANDLE detached = CreateThread(nullptr, 0, wait_then_return, go, 0, nullptr);
    EXPECT_TRUE(CloseHandle(detached));
    EXPECT_EQ(standin::open_handles(), 3);
    EXPECT_TRUE(SetEvent(go));
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10000), WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    for (int i = 0; i < 1000 && thread_runs < 2; ++i)
        usleep(10 * 1000);
    EXPECT_EQ(thread_runs, 2) << "the detached one ran too";

    // Refused: a suspended start, a child's thread, a fault.
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, wait_then_return, go, CREATE_SUSPENDED, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    PROCESS_INFORMATION info;
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    std::string text = std::string(CHILD_PROBE) + " exit:0";
    ASSERT_TRUE(CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
    EXPECT_FALSE(GetExitCodeThread(info.hThread, &code));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    standin::fail(standin::call_CreateThread, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateThread(nullptr, 0, wait_then_return, go, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(thread_runs, 2);
    for (HANDLE h : {thread, go, other, info.hProcess, info.hThread})
        EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(standin::open_handles(), 0);
}

// A reset with a reader still blocked on a pipe that a running child holds: the child is
// killed, the reader's read ends, and the thread has returned before the reset does.
std::atomic<DWORD> reader_error;
DWORD WINAPI read_once(LPVOID read_end) {
    char buffer[16];
    DWORD n = 0;
    BOOL ok = ReadFile(static_cast<HANDLE>(read_end), buffer, sizeof buffer, &n, nullptr);
    reader_error = ok ? 0u : GetLastError();
    return 0;
}

TEST(StandinThread, ResetEndsAReaderWhoseChildIsStillRunning) {
    standin::reset();
    reader_error = 1;
    SECURITY_ATTRIBUTES yes = {sizeof yes, nullptr, TRUE};
    HANDLE r, w;
    ASSERT_TRUE(CreatePipe(&r, &w, &yes, 0));
    HANDLE child = nullptr;
    ASSERT_TRUE(start_probe("sleep", TRUE, nullptr, &child));
    ASSERT_NE(CreateThread(nullptr, 0, read_once, r, 0, nullptr), nullptr);
    usleep(50 * 1000);
    EXPECT_EQ(reader_error, 1u) << "still reading";
    standin::reset();
    EXPECT_EQ(reader_error, ERROR_BROKEN_PIPE);
}

} // namespace

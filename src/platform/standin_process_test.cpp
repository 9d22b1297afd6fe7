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

#include <algorithm>
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

} // namespace

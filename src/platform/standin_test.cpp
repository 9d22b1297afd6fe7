// The stand-in is what the native tests trust in place of Windows, so its own rules are tested
// against what Windows documents.
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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

TEST(StandinModule, FileNameTruncatesAsWindowsDoes) {
    standin::reset();
    standin::set_module_file_name("C:\\abc.exe");
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, sizeof buffer), 8u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buffer, "C:\\abc.");
    char whole[16];
    EXPECT_EQ(GetModuleFileNameA(nullptr, whole, sizeof whole), 10u);
    EXPECT_STREQ(whole, "C:\\abc.exe");
    standin::reset();
}

} // namespace

// The stand-in's system calls, against what Windows documents of them.
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

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

// Unset, it is the running executable in Windows form, which the path mapping turns back into
// the executable itself.
TEST(StandinModule, DefaultIsTheRunningExecutable) {
    standin::reset();
    standin::set_module_file_name("C:\\other.exe");
    standin::reset();
    char real[4096];
    ssize_t n = readlink("/proc/self/exe", real, sizeof real - 1);
    ASSERT_GT(n, 0);
    real[n] = '\0';
    char name[4096];
    ASSERT_EQ(GetModuleFileNameA(nullptr, name, sizeof name), static_cast<DWORD>(n));
    EXPECT_EQ(std::string(name), test_support::windows_path(real));
    standin::NativePath native = standin::native_path(name);
    EXPECT_EQ(native.error, 0u);
    EXPECT_EQ(native.path, real);
}

TEST(StandinCommandLine, SetOneThenTheProcessOwn) {
    standin::reset();
    std::string own = GetCommandLineA();
    standin::set_command_line("tolvard.exe reg \"My Svc\" app.exe");
    EXPECT_STREQ(GetCommandLineA(), "tolvard.exe reg \"My Svc\" app.exe");
    standin::reset();
    EXPECT_EQ(GetCommandLineA(), own);
    // The process's own: its words from /proc, the program first.
    std::string first = test_support::read_file("/proc/self/cmdline").c_str();
    EXPECT_EQ(own.compare(0, first.size(), first), 0) << own;
}

TEST(StandinCodePage, LeadBytesOfShiftJisOnlyUnder932) {
    const struct {
        BYTE c;
        bool lead_932;
    } cases[] = {{'A', false}, {0x5C, false}, {0x7F, false}, {0x80, false},
                 {0x81, true}, {0x9F, true},  {0xA0, false}, {0xDF, false},
                 {0xE0, true}, {0xFC, true},  {0xFD, false}, {0xFF, false}};
    for (const auto &c : cases) {
        standin::reset();
        EXPECT_FALSE(IsDBCSLeadByte(c.c)) << "1252: " << int(c.c);
        standin::set_ansi_code_page(932);
        EXPECT_EQ(IsDBCSLeadByte(c.c) != FALSE, c.lead_932) << "932: " << int(c.c);
    }
    standin::reset();
    EXPECT_FALSE(IsDBCSLeadByte(0x81)) << "a reset goes back to a single-byte code page";
}

TEST(StandinErrors, TheLastErrorIsPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen_by_other = 1234;
    std::thread other([&] {
        seen_by_other = GetLastError();
        SetLastError(ERROR_INVALID_HANDLE);
    });
    other.join();
    EXPECT_EQ(seen_by_other, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(StandinMessages, FromTheSystemIntoTheCallersBuffer) {
    const DWORD system = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const std::string exists = "The specified service already exists.\r\n"; // 39 characters
    const struct {
        const char *what;
        DWORD flags;
        DWORD code;
        DWORD language;
        DWORD size;
        const char *text; // set for the code first ("": its text taken away); nullptr: Windows'

        DWORD result;
        DWORD error; // the last error after a failure
    } cases[] = {
        {"a known code", system, ERROR_SERVICE_EXISTS, 0, 512, nullptr, 39, 0},
        {"exactly room for the terminator", system, ERROR_SERVICE_EXISTS, 0, 40, nullptr, 39, 0},
        {"one byte short", system, ERROR_SERVICE_EXISTS, 0, 39, nullptr, 0,
         ERROR_INSUFFICIENT_BUFFER},
        {"a code without text", system, 1234, 0, 512, nullptr, 0, ERROR_MR_MID_NOT_FOUND},
        {"a text set for it", system, 1234, 0, 512, "Some text.\r\n", 12, 0},
        {"a known text taken away", system, ERROR_SERVICE_EXISTS, 0, 512, "", 0,
         ERROR_MR_MID_NOT_FOUND},
        {"inserts to be filled", FORMAT_MESSAGE_FROM_SYSTEM, ERROR_SERVICE_EXISTS, 0, 512, nullptr,
         0, ERROR_INVALID_PARAMETER},
        {"a buffer to allocate", system | FORMAT_MESSAGE_ALLOCATE_BUFFER, ERROR_SERVICE_EXISTS, 0,
         512, nullptr, 0, ERROR_INVALID_PARAMETER},
        {"a chosen language", system, ERROR_SERVICE_EXISTS, 1033, 512, nullptr, 0,
         ERROR_INVALID_PARAMETER},
    };
    for (const auto &c : cases) {
        standin::reset();
        if (c.text != nullptr)
            standin::set_message(c.code, *c.text != '\0' ? c.text : nullptr);
        char buffer[512];
        memset(buffer, 'x', sizeof buffer);
        SetLastError(0);
        DWORD result =
            FormatMessageA(c.flags, nullptr, c.code, c.language, buffer, c.size, nullptr);
        EXPECT_EQ(result, c.result) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(GetLastError(), c.error) << c.what;
            EXPECT_EQ(buffer[0], 'x') << c.what << ": nothing written";
        } else {
            std::string expected = c.text != nullptr ? c.text : exists;
            EXPECT_EQ(std::string(buffer), expected) << c.what;
        }
    }
    standin::reset();
    char buffer[512];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             ERROR_ACCESS_DENIED, 0, buffer, sizeof buffer, nullptr),
              19u);
    EXPECT_STREQ(buffer, "Access is denied.\r\n") << "a reset brings Windows' texts back";
    standin::fail(standin::call_FormatMessageA, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             ERROR_ACCESS_DENIED, 0, buffer, sizeof buffer, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY) << "an injected fault";
    standin::reset();
}

TEST(StandinTime, SetClockThenTheRealOne) {
    standin::reset();
    const __time64_t set = 253402268399;
    standin::set_clock(&set);
    __time64_t stored = 0;
    EXPECT_EQ(_time64(&stored), set);
    EXPECT_EQ(stored, set);
    standin::reset();
    time_t before = time(nullptr);
    __time64_t now = _time64(nullptr);
    time_t after = time(nullptr);
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
}

// A critical section is recursive for its owner and keeps every other thread out.
TEST(StandinLocking, CriticalSectionsAreRecursiveAndExclusive) {
    // Static, as the program's are: a section is never deleted.
    static CRITICAL_SECTION cs;
    [[maybe_unused]] static const bool ready = (InitializeCriticalSection(&cs), true);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        EnterCriticalSection(&cs);
        entered = true;
        LeaveCriticalSection(&cs);
    });
    usleep(50 * 1000);
    EXPECT_FALSE(entered) << "another thread entered a held section";
    LeaveCriticalSection(&cs);
    usleep(20 * 1000);
    EXPECT_FALSE(entered) << "entered while the owner still held it once";
    LeaveCriticalSection(&cs);
    other.join();
    EXPECT_TRUE(entered);

    // A try takes a free section, or one this thread holds, and never one another thread holds.
    ASSERT_TRUE(TryEnterCriticalSection(&cs));
    EXPECT_TRUE(TryEnterCriticalSection(&cs)) << "recursive, as Windows' is";
    bool taken_by_other = true;
    std::thread trier([&] { taken_by_other = TryEnterCriticalSection(&cs) != FALSE; });
    trier.join();
    EXPECT_FALSE(taken_by_other);
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    std::thread taker([&] {
        taken_by_other = TryEnterCriticalSection(&cs) != FALSE;
        if (taken_by_other)
            LeaveCriticalSection(&cs);
    });
    taker.join();
    EXPECT_TRUE(taken_by_other);
}

TEST(StandinExit, ExitProcessRunsTheHookThenEndsWithTheStatus) {
    standin::reset();
    standin::set_exit_hook([] {
        printf("hook\n");
        fflush(stdout);
    });
    test_support::Outcome outcome = test_support::run_in_child([] {
        printf("before\n");
        fflush(stdout);
        ExitProcess(7);
        return 0;
    });
    EXPECT_EQ(outcome.status, 7);
    EXPECT_EQ(outcome.out, "before\nhook\n");
    standin::reset();
}

TEST(StandinTicks, ASetClockMovesOnlyBySleep) {
    standin::reset();
    const DWORD start = 0xFFFFFF00u; // wraps, as Windows' does after 49.7 days
    standin::set_tick_count(&start);
    EXPECT_EQ(GetTickCount(), start);
    Sleep(0x200);
    EXPECT_EQ(GetTickCount(), 0x100u);
    EXPECT_EQ(GetTickCount() - start, 0x200u);
    standin::set_tick_count(nullptr);
    DWORD before = GetTickCount();
    Sleep(20);
    EXPECT_GE(GetTickCount() - before, 20u);
    standin::reset();
}

TEST(StandinEnvironment, ExpandsTheVariablesThatAreSet) {
    setenv("TV_A", "C:\\Program Files", 1);
    unsetenv("TV_UNSET");
    const struct {
        const char *text;
        const char *expanded;
    } cases[] = {{"%TV_A%\\x", "C:\\Program Files\\x"},
                 {"%tv_a%", "C:\\Program Files"},
                 {"%TV_%", "%TV_%"},
                 {"%TV_UNSET%", "%TV_UNSET%"},
                 {"100%", "100%"},
                 {"%%TV_A%", "%C:\\Program Files"},
                 {"a%TV_A%b%TV_A%", "aC:\\Program FilesbC:\\Program Files"},
                 {"", ""}};
    for (const auto &c : cases) {
        DWORD needed = ExpandEnvironmentStringsA(c.text, nullptr, 0);
        EXPECT_EQ(needed, strlen(c.expanded) + 1) << c.text;
        std::string small(needed, 'x');
        EXPECT_EQ(ExpandEnvironmentStringsA(c.text, small.data(), needed - 1), needed) << c.text;
        EXPECT_EQ(small, std::string(needed, 'x')) << "nothing copied into too small a buffer";
        char room[128];
        EXPECT_EQ(ExpandEnvironmentStringsA(c.text, room, sizeof room), needed) << c.text;
        EXPECT_STREQ(room, c.expanded);
    }
    unsetenv("TV_A");
}

// Each returns its length without the NUL, or the size needed with it and leaves a buffer that
// is too small alone.
TEST(StandinFolders, SystemAndWindowsFolders) {
    standin::reset();
    const struct {
        UINT (*get)(LPSTR, UINT);
        standin::Call call;
        std::string folder;
    } cases[] = {{GetSystemDirectoryA, standin::call_GetSystemDirectoryA, "C:\\Windows\\System32"},
                 {GetWindowsDirectoryA, standin::call_GetWindowsDirectoryA, "C:\\Windows"}};
    for (const auto &c : cases) {
        UINT length = static_cast<UINT>(c.folder.size());
        EXPECT_EQ(c.get(nullptr, 0), length + 1) << c.folder;
        std::string small(length, 'x');
        EXPECT_EQ(c.get(small.data(), length), length + 1) << c.folder;
        EXPECT_EQ(small, std::string(length, 'x')) << c.folder;
        char room[64];
        EXPECT_EQ(c.get(room, length + 1), length) << c.folder;
        EXPECT_EQ(room, c.folder);
        standin::fail(c.call, 1, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(c.get(room, sizeof room), 0u) << c.folder;
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(c.get(room, sizeof room), length) << "one failure only: " << c.folder;
    }
    standin::reset();
}

TEST(StandinHeap, AllocationsThatCanBeMadeToFail) {
    standin::reset();
    standin::fail(standin::call_HeapAlloc, 2, ERROR_NOT_ENOUGH_MEMORY, 2);
    void *blocks[4];
    for (void *&block : blocks)
        block = HeapAlloc(GetProcessHeap(), 0, 16);
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_EQ(blocks[1], nullptr);
    EXPECT_EQ(blocks[2], nullptr);
    EXPECT_NE(blocks[3], nullptr);
    EXPECT_EQ(HeapAlloc(nullptr, 0, 16), nullptr);
    for (void *block : blocks)
        EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
    EXPECT_EQ(standin::calls(standin::call_HeapAlloc), 5);
    standin::reset();
}

} // namespace

namespace {

TEST(StandinEvents, ManualAndAutoResetWithProcessesInOneWait) {
    standin::reset();
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(manual, nullptr);
    HANDLE both[2] = {automatic, manual};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10), WAIT_TIMEOUT);
    std::thread setter([&] {
        Sleep(20);
        SetEvent(manual);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    setter.join();
    // A manual-reset event stays set; an auto-reset one is taken by the wait that sees it.
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(SetEvent(automatic));
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    // Refusals: wait-all, no handles, a handle that cannot be waited on, a named event, faults.
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
    HANDLE bad[2] = {manual, reinterpret_cast<HANDLE>(3)};
    EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Global\\x"), nullptr);
    standin::fail(standin::call_CreateEventA, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    standin::fail(standin::call_WaitForMultipleObjects, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_FAILED);
    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_TRUE(CloseHandle(automatic));
    EXPECT_EQ(standin::open_handles(), 0);
    // Strictly later readings, whatever the count started at.
    DWORD first = GetTickCount();
    Sleep(5);
    EXPECT_GE(GetTickCount() - first, 5u);
}

TEST(StandinRegistry, ValuesAsStoredUnderKeysThatExist) {
    standin::reset();
    standin::set_registry_value("SYSTEM\\Control", "Value", REG_SZ, std::string("123") + '\0');
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "system\\control", 0, KEY_QUERY_VALUE, &key),
              static_cast<LONG>(ERROR_SUCCESS));
    char data[8];
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "VALUE", nullptr, &type, nullptr, &size), 0);
    EXPECT_EQ(size, 4u);
    size = 2;
    EXPECT_EQ(RegQueryValueExA(key, "value", nullptr, &type, reinterpret_cast<BYTE *>(data), &size),
              static_cast<LONG>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 4u);
    size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "value", nullptr, &type, reinterpret_cast<BYTE *>(data), &size),
              0);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(std::string(data, size), std::string("123") + '\0');
    EXPECT_EQ(RegQueryValueExA(key, "other", nullptr, &type, nullptr, &size),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(standin::open_handles(), 1);
    EXPECT_EQ(RegCloseKey(key), 0);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Other", 0, KEY_QUERY_VALUE, &key),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    // An expandable string comes as it is stored: expanding it is the reader's part.
    standin::set_registry_value("SYSTEM\\Control", "Path", REG_EXPAND_SZ,
                                std::string("%SystemRoot%\\system32") + '\0');
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Control", 0, KEY_QUERY_VALUE, &key), 0);
    size = sizeof data * 4;
    char path[32];
    EXPECT_EQ(RegQueryValueExA(key, "PATH", nullptr, &type, reinterpret_cast<BYTE *>(path), &size),
              0);
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(std::string(path, size), std::string("%SystemRoot%\\system32") + '\0');
    EXPECT_EQ(RegCloseKey(key), 0);
    standin::fail(standin::call_RegOpenKeyExA, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Control", 0, KEY_QUERY_VALUE, &key),
              static_cast<LONG>(ERROR_ACCESS_DENIED));
    standin::reset();
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Control", 0, KEY_QUERY_VALUE, &key),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND))
        << "a reset empties the registry";
}

// Keys made with their parents, values written as given, each handle only with its access.
TEST(StandinRegistry, CreatedKeysAndWrittenValues) {
    standin::reset();
    const char *path = "SYSTEM\\Services\\Web\\Parameters";
    HKEY key;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, &key, &disposition),
              0);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_TRUE(standin::registry_key_exists("system\\services\\web"))
        << "the parents come with it";
    EXPECT_FALSE(standin::registry_key_exists("SYSTEM\\Services\\We"));
    const DWORD seven = 7;
    const char text[] = "Z:\\t\\tolvard-messages.dll";
    EXPECT_EQ(RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                             reinterpret_cast<const BYTE *>(&seven), 4),
              0);
    EXPECT_EQ(RegSetValueExA(key, "File", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(text),
                             sizeof text),
              0);
    EXPECT_EQ(RegSetValueExA(key, "Short", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&seven), 2),
              static_cast<LONG>(ERROR_INVALID_PARAMETER));
    DWORD type = 0;
    DWORD size = sizeof seven;
    DWORD read = 0;
    EXPECT_EQ(RegQueryValueExA(key, "TypesSupported", nullptr, &type,
                               reinterpret_cast<BYTE *>(&read), &size),
              static_cast<LONG>(ERROR_ACCESS_DENIED))
        << "a handle made to set values only";
    EXPECT_EQ(RegCloseKey(key), 0);

    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "system\\services\\WEB\\parameters", 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE, nullptr, &key,
                              &disposition),
              0);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(RegQueryValueExA(key, "typessupported", nullptr, &type,
                               reinterpret_cast<BYTE *>(&read), &size),
              0);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(read, 7u);
    EXPECT_EQ(RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                             reinterpret_cast<const BYTE *>(&seven), 4),
              static_cast<LONG>(ERROR_ACCESS_DENIED))
        << "a handle made to query only";
    EXPECT_EQ(RegCloseKey(key), 0);
    std::string data;
    ASSERT_TRUE(standin::registry_value(path, "File", &type, &data));
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(data, std::string(text, sizeof text));
    EXPECT_FALSE(standin::registry_value(path, "Other", &type, &data));

    // An existing key whose value a test set, and the parent of a created one, open too.
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Services", 0, KEY_QUERY_VALUE, &key), 0);
    EXPECT_EQ(RegCloseKey(key), 0);
    const struct {
        standin::Call call;
        const char *key;
        LPSECURITY_ATTRIBUTES security;
        LONG error;
    } refused[] = {{standin::call_RegCreateKeyExA, path, nullptr, ERROR_ACCESS_DENIED},
                   {standin::call_count, "", nullptr, ERROR_INVALID_PARAMETER},
                   {standin::call_count, path, reinterpret_cast<LPSECURITY_ATTRIBUTES>(8),
                    ERROR_INVALID_PARAMETER}};
    for (const auto &c : refused) {
        if (c.call != standin::call_count)
            standin::fail(c.call, 1, ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, c.key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE, c.security, &key, nullptr),
                  c.error)
            << c.key;
    }
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, &key, nullptr),
              0);
    standin::fail(standin::call_RegSetValueExA, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExA(key, "Other", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&seven), 4),
              static_cast<LONG>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(standin::registry_value(path, "Other", &type, &data));
    EXPECT_EQ(RegCloseKey(key), 0);
    EXPECT_EQ(standin::open_handles(), 0);
    std::vector<std::string> trace = standin::trace();
    EXPECT_EQ(trace[0], "RegCreateKeyExA(SYSTEM\\Services\\Web\\Parameters)");
    EXPECT_EQ(trace[1], "RegSetValueExA(TypesSupported,4)");
    EXPECT_EQ(trace[2], "RegSetValueExA(File,2)");
    standin::reset();
}

// A semaphore's count: each wait takes one, a release adds up to the maximum and no further.
TEST(StandinSemaphore, CountsWaitsAndReleases) {
    standin::reset();
    HANDLE semaphore = CreateSemaphoreA(nullptr, 1, 3, nullptr);
    ASSERT_NE(semaphore, nullptr);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(semaphore, 10), WAIT_TIMEOUT);
    LONG previous = -1;
    EXPECT_TRUE(ReleaseSemaphore(semaphore, 2, &previous));
    EXPECT_EQ(previous, 0);
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 2, &previous));
    EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
    EXPECT_EQ(previous, 0) << "a refused release changes nothing";
    HANDLE both[] = {semaphore, semaphore};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
    // A release wakes a thread that waits.
    DWORD waited = WAIT_FAILED;
    std::thread waiter([&] { waited = WaitForSingleObject(semaphore, 5000); });
    Sleep(20);
    EXPECT_TRUE(ReleaseSemaphore(semaphore, 1, nullptr));
    waiter.join();
    EXPECT_EQ(waited, WAIT_OBJECT_0);
    EXPECT_EQ(CreateSemaphoreA(nullptr, 2, 1, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateSemaphoreA(nullptr, 0, 1, "named"), nullptr);
    standin::fail(standin::call_CreateSemaphoreA, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateSemaphoreA(nullptr, 0, 1, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    standin::fail(standin::call_ReleaseSemaphore, 1, ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, nullptr));
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT) << "a failed release adds nothing";
    EXPECT_TRUE(CloseHandle(semaphore));
    EXPECT_EQ(standin::open_handles(), 0);
    standin::reset();
}

} // namespace

// The stand-in's consoles and windows, against what Windows documents of them: Ctrl+C reaches
// every process on the console the caller is attached to, the caller included, and attaching or
// freeing resets the caller's own handling of it; WM_CLOSE goes to one window's process; the
// window functions are had from USER32 loaded at run time.
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Child {
    PROCESS_INFORMATION info;
    std::string record;
};

// A native test child in `mode`, once its signal handling is in place.
Child start_child(const std::string &mode) {
    Child child = {{}, test_support::temp_dir() + "/argv"};
    setenv("TOLVARD_CHILD_RECORD", child.record.c_str(), 1);
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    std::string line = std::string(CHILD_PROBE) + " " + mode;
    EXPECT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &child.info));
    unsetenv("TOLVARD_CHILD_RECORD");
    for (int i = 0; i < 2000 && test_support::read_file(child.record) == "<missing>"; ++i)
        usleep(1000);
    usleep(5000); // the record is complete soon after it appears
    return child;
}

// What the child noted, once it has ended (or 5 s have passed).
std::string events_at_end(Child &child) {
    WaitForSingleObject(child.info.hProcess, 5000);
    CloseHandle(child.info.hThread);
    CloseHandle(child.info.hProcess);
    std::string events = test_support::read_file(child.record + ".events");
    unlink((child.record + ".events").c_str());
    unlink(child.record.c_str());
    return events;
}

bool ended_the_host() {
    std::vector<std::string> trace = standin::trace();
    return std::find(trace.begin(), trace.end(), "Ctrl+C ended the host") != trace.end();
}

TEST(StandinConsole, CtrlCReachesTheChildAndTheCallerUnlessItIgnoresIt) {
    const struct {
        const char *what;
        bool ignore_before_attach; // the pitfall: attaching forgets it
        bool ignore_after_attach;
        bool ended_host;
    } cases[] = {
        {"ignored after attaching", false, true, false},
        {"ignored before attaching only", true, false, true},
        {"not ignored", false, false, true},
    };
    for (const auto &c : cases) {
        standin::reset();
        Child child = start_child("save:10");
        if (c.ignore_before_attach) {
            EXPECT_TRUE(SetConsoleCtrlHandler(nullptr, TRUE));
        }
        ASSERT_TRUE(AttachConsole(child.info.dwProcessId)) << c.what;
        if (c.ignore_after_attach) {
            EXPECT_TRUE(SetConsoleCtrlHandler(nullptr, TRUE));
        }
        EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
        EXPECT_TRUE(FreeConsole());
        EXPECT_EQ(events_at_end(child), "saving\nsaved\n") << c.what;
        EXPECT_EQ(ended_the_host(), c.ended_host) << c.what;
    }
    standin::reset();
}

TEST(StandinConsole, FreeConsoleForgetsTheIgnoreAndAHandlerCanTakeTheEvent) {
    standin::reset();
    Child child = start_child("ignore");
    ASSERT_TRUE(AttachConsole(child.info.dwProcessId));
    EXPECT_TRUE(SetConsoleCtrlHandler(nullptr, TRUE));
    EXPECT_TRUE(FreeConsole());
    ASSERT_TRUE(AttachConsole(child.info.dwProcessId));
    static int taken;
    taken = 0;
    EXPECT_TRUE(SetConsoleCtrlHandler(
        [](DWORD event) -> BOOL {
            taken += event == CTRL_C_EVENT ? 1 : 0;
            return TRUE;
        },
        TRUE));
    EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    EXPECT_EQ(taken, 1);
    EXPECT_FALSE(ended_the_host());
    EXPECT_TRUE(FreeConsole());
    for (int i = 0; i < 5000 && test_support::read_file(child.record + ".events") == "<missing>";
         ++i)
        usleep(1000);
    TerminateProcess(child.info.hProcess, 0);
    EXPECT_EQ(events_at_end(child), "ignored 2\n");
    standin::reset();
}

TEST(StandinConsole, RefusalsAndFaults) {
    standin::reset();
    Child child = start_child("ignore");
    DWORD pid = child.info.dwProcessId;
    const struct {
        const char *what;
        BOOL (*call)(DWORD pid);
        DWORD error;
    } cases[] = {
        {"no console yet", [](DWORD) { return GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0); },
         ERROR_INVALID_HANDLE},
        {"not a child", [](DWORD) { return AttachConsole(static_cast<DWORD>(getpid())); },
         ERROR_INVALID_PARAMETER},
        {"attached twice", [](DWORD p) { return AttachConsole(p) ? AttachConsole(p) : TRUE; },
         ERROR_ACCESS_DENIED},
        {"a group other than 0", [](DWORD p) { return GenerateConsoleCtrlEvent(CTRL_C_EVENT, p); },
         ERROR_INVALID_PARAMETER},
        {"injected",
         [](DWORD p) {
             FreeConsole();
             standin::fail(standin::call_AttachConsole, 1, ERROR_GEN_FAILURE);
             return AttachConsole(p);
         },
         ERROR_GEN_FAILURE},
    };
    for (const auto &c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.call(pid)) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    TerminateProcess(child.info.hProcess, 0);
    EXPECT_EQ(events_at_end(child), "<missing>") << "no Ctrl+C was sent";
    standin::reset();
}

TEST(StandinWindows, EnumeratedInOrderAndClosedByTheirProcess) {
    standin::reset();
    Child child = start_child("close:10");
    HWND own = standin::add_window(static_cast<DWORD>(getpid()));
    HWND childs = standin::add_window(child.info.dwProcessId);
    std::vector<std::pair<HWND, DWORD>> seen;
    EXPECT_TRUE(EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            DWORD pid = 0;
            EXPECT_EQ(GetWindowThreadProcessId(window, &pid), pid);
            reinterpret_cast<std::vector<std::pair<HWND, DWORD>> *>(data)->push_back({window, pid});
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&seen)));
    EXPECT_EQ(seen, (std::vector<std::pair<HWND, DWORD>>{{own, static_cast<DWORD>(getpid())},
                                                         {childs, child.info.dwProcessId}}));
    // A window of the test itself only takes note; the child's closes the child.
    EXPECT_TRUE(PostMessageA(own, WM_CLOSE, 0, 0));
    EXPECT_TRUE(PostMessageA(childs, WM_CLOSE, 0, 0));
    EXPECT_FALSE(PostMessageA(reinterpret_cast<HWND>(3), WM_CLOSE, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(GetWindowThreadProcessId(reinterpret_cast<HWND>(3), nullptr), 0u);
    EXPECT_EQ(events_at_end(child), "saving\nsaved\n");
    std::vector<std::string> trace = standin::trace();
    EXPECT_EQ(std::vector<std::string>(trace.end() - 4, trace.end()),
              (std::vector<std::string>{"EnumWindows", "PostMessageA(w1,0x10)",
                                        "PostMessageA(w2,0x10)", "PostMessageA(invalid,0x10)"}));
    standin::fail(standin::call_EnumWindows, 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(EnumWindows([](HWND, LPARAM) -> BOOL { return TRUE; }, 0));
    standin::reset();
    // A reset empties the table.
    EXPECT_TRUE(EnumWindows(
        [](HWND, LPARAM) -> BOOL {
            ADD_FAILURE() << "a window outlived the reset";
            return TRUE;
        },
        0));
}

// USER32 loaded at run time gives the window functions themselves; other names fail as
// Windows fails them, and the module is open until it is freed.
TEST(StandinWindows, User32LoadedAtRunTime) {
    standin::reset();
    for (const char *name : {"user32.dll", "USER32.DLL", "User32.dll"}) {
        HMODULE user32 = LoadLibraryA(name);
        ASSERT_NE(user32, nullptr) << name;
        EXPECT_EQ(standin::open_handles(), 1);
        const struct {
            const char *function;
            void (*expected)();
            DWORD error;
        } functions[] = {
            {"EnumWindows", reinterpret_cast<void (*)()>(&EnumWindows), 0},
            {"GetWindowThreadProcessId", reinterpret_cast<void (*)()>(&GetWindowThreadProcessId),
             0},
            {"PostMessageA", reinterpret_cast<void (*)()>(&PostMessageA), 0},
            {"PostMessageW", nullptr, ERROR_PROC_NOT_FOUND},
            {"enumwindows", nullptr, ERROR_PROC_NOT_FOUND},
        };
        for (const auto &f : functions) {
            SetLastError(0);
            FARPROC got = GetProcAddress(user32, f.function);
            EXPECT_EQ(reinterpret_cast<void (*)()>(got), f.expected) << f.function;
            if (f.expected == nullptr) {
                EXPECT_EQ(GetLastError(), f.error) << f.function;
            }
        }
        EXPECT_TRUE(FreeLibrary(user32));
        EXPECT_EQ(standin::open_handles(), 0);
        // Freed, it is no module: neither its functions nor a second free.
        EXPECT_EQ(GetProcAddress(user32, "EnumWindows"), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(FreeLibrary(user32));
    }
    EXPECT_EQ(LoadLibraryA("gdi32.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    // Faults, and the trace.
    standin::reset();
    standin::fail(standin::call_LoadLibraryA, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(LoadLibraryA("user32.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    HMODULE user32 = LoadLibraryA("user32.dll");
    standin::fail(standin::call_GetProcAddress, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetProcAddress(user32, "EnumWindows"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    standin::fail(standin::call_FreeLibrary, 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(FreeLibrary(user32));
    EXPECT_TRUE(FreeLibrary(user32));
    EXPECT_EQ(standin::trace(), (std::vector<std::string>{
                                    "LoadLibraryA(user32.dll)", "LoadLibraryA(user32.dll)",
                                    "GetProcAddress(EnumWindows)", "FreeLibrary", "FreeLibrary"}));
    EXPECT_EQ(standin::calls(standin::call_GetProcAddress), 1);
    standin::reset();
}

} // namespace

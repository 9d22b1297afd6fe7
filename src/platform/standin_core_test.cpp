// The stand-in's core: handles, fault injection and the trace, on which every other test relies.
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Made {
    HANDLE file;
    HANDLE token;
    HANDLE job;
    SC_HANDLE manager;
};

// One handle of each kind that needs no child, the file in `dir`.
Made make_one_of_each(const std::string &dir) {
    std::string path = test_support::windows_path(dir + "/f");
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    return {CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr), token,
            CreateJobObjectA(nullptr, nullptr),
            OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
}

// Whether GetTokenInformation takes `token`.
BOOL token_works(HANDLE token) {
    DWORD needed = 0;
    char room[128];
    return GetTokenInformation(token, TokenUser, room, sizeof room, &needed);
}

// The log keeps its handles across a reset; a handle from before one must never reach an object
// made after it, however many there are.
TEST(StandinHandles, AResetLeavesEveryEarlierHandleInvalidForGood) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    const Made old = make_one_of_each(dir);
    ASSERT_NE(old.file, INVALID_HANDLE_VALUE);
    standin::reset();
    std::vector<Made> made;
    std::vector<HANDLE> now;
    for (int i = 0; i < 50; ++i) {
        made.push_back(make_one_of_each(dir));
        now.insert(now.end(),
                   {made.back().file, made.back().token, made.back().job, made.back().manager});
    }
    for (HANDLE stale : {old.file, old.token, old.job, static_cast<HANDLE>(old.manager)})
        EXPECT_EQ(std::count(now.begin(), now.end(), stale), 0) << stale << " given out again";
    const struct {
        const char *call;
        BOOL result;
    } refused[] = {
        {"CloseHandle(file)", CloseHandle(old.file)},
        {"CloseHandle(token)", CloseHandle(old.token)},
        {"CloseHandle(job)", CloseHandle(old.job)},
        {"CloseServiceHandle", CloseServiceHandle(old.manager)},
        {"WriteFile", WriteFile(old.file, "x", 1, nullptr, nullptr)},
        {"GetTokenInformation", token_works(old.token)},
        {"TerminateJobObject", TerminateJobObject(old.job, 0)},
    };
    for (const auto &r : refused)
        EXPECT_FALSE(r.result) << r.call;
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(old.file));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // What was made after the reset is all still there.
    for (const Made &m : made) {
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(m.file, "x", 1, &written, nullptr));
        EXPECT_TRUE(token_works(m.token));
        EXPECT_TRUE(CloseHandle(m.job));
        EXPECT_TRUE(CloseServiceHandle(m.manager));
        EXPECT_TRUE(CloseHandle(m.file));
        EXPECT_TRUE(CloseHandle(m.token));
    }
    EXPECT_EQ(standin::open_handles(), 0);
    unlink((dir + "/f").c_str());
    rmdir(dir.c_str());
}

// Each handle goes to the calls of its kind only.
TEST(StandinHandles, EachCallTakesItsOwnKinds) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    const Made m = make_one_of_each(dir);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(m.manager)) << "a service control manager handle";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(CloseServiceHandle(static_cast<SC_HANDLE>(m.job)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(WriteFile(m.token, "x", 1, nullptr, nullptr));
    EXPECT_FALSE(token_works(m.file));
    // Only processes can be waited on, and every wait counts.
    const struct {
        HANDLE handle;
        DWORD result;
    } waits[] = {{m.file, WAIT_FAILED},
                 {m.job, WAIT_FAILED},
                 {m.token, WAIT_FAILED},
                 {nullptr, WAIT_FAILED},
                 {INVALID_HANDLE_VALUE, WAIT_FAILED}};
    for (const auto &w : waits)
        EXPECT_EQ(WaitForSingleObject(w.handle, 0), w.result) << w.handle;
    EXPECT_EQ(standin::calls(standin::call_WaitForSingleObject), 5);
    // Files are the log's, kept for the life of the process: not counted.
    EXPECT_EQ(standin::open_handles(), 3);
    EXPECT_TRUE(CloseHandle(m.job));
    EXPECT_TRUE(CloseServiceHandle(m.manager));
    EXPECT_TRUE(CloseHandle(m.token));
    EXPECT_EQ(standin::open_handles(), 0);
    standin::reset();
    unlink((dir + "/f").c_str());
    rmdir(dir.c_str());
}

// Which of five calls fail for a fault set after `before` calls.
TEST(StandinFaults, TheNthCallFromNowFails) {
    const struct {
        int before; // calls made before the fault is set
        int nth;
        std::vector<bool> failed;
    } cases[] = {
        {0, 1, {true, false, false, false, false}}, {0, 3, {false, false, true, false, false}},
        {2, 1, {true, false, false, false, false}}, {2, 2, {false, true, false, false, false}},
        {0, 0, {true, true, true, true, true}},     {0, 6, {false, false, false, false, false}},
        {3, 0, {true, true, true, true, true}},
    };
    for (const auto &c : cases) {
        standin::reset();
        for (int i = 0; i < c.before; ++i)
            CloseHandle(CreateJobObjectA(nullptr, nullptr));
        standin::fail(standin::call_CreateJobObjectA, c.nth, ERROR_NOT_ENOUGH_MEMORY);
        std::vector<bool> failed;
        for (int i = 0; i < 5; ++i) {
            SetLastError(0);
            HANDLE job = CreateJobObjectA(nullptr, nullptr);
            failed.push_back(job == nullptr);
            if (job == nullptr)
                EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
            else
                CloseHandle(job);
        }
        EXPECT_EQ(failed, c.failed) << "before " << c.before << ", nth " << c.nth;
        EXPECT_EQ(standin::calls(standin::call_CreateJobObjectA), c.before + 5);
        EXPECT_EQ(standin::calls(standin::call_CloseHandle),
                  c.before + std::count(failed.begin(), failed.end(), false));
        EXPECT_EQ(standin::calls(standin::call_AssignProcessToJobObject), 0);
    }
    // A reset forgets the fault and the counts.
    standin::reset();
    EXPECT_EQ(standin::calls(standin::call_CreateJobObjectA), 0);
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    EXPECT_NE(job, nullptr);
    CloseHandle(job);
    standin::reset();
}

TEST(StandinTrace, CallsInOrderUntilAReset) {
    standin::reset();
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    HANDLE job = CreateJobObjectA(nullptr, "j");
    CloseServiceHandle(manager);
    CloseServiceHandle(manager);
    CloseHandle(job);
    EXPECT_EQ(standin::trace(), (std::vector<std::string>{
                                    "OpenSCManagerA(null,null,0x1)", "CreateJobObjectA(j)",
                                    "CloseServiceHandle(manager)", "CloseServiceHandle(invalid)"}));
    standin::reset();
    EXPECT_TRUE(standin::trace().empty());
}

} // namespace

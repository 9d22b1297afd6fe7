// The stand-in's files and named mutexes.
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace {

// What a handle of each access and disposition leaves of "old content" after writing "NEW".
TEST(StandinFile, DispositionsAndAppendOnlyWrites) {
    const struct {
        bool exists;
        DWORD access;
        DWORD disposition;
        std::string content;
    } cases[] = {
        {true, GENERIC_WRITE, CREATE_ALWAYS, "NEW"},
        {true, GENERIC_WRITE, OPEN_ALWAYS, "NEW content"},
        {true, FILE_APPEND_DATA, OPEN_ALWAYS, "old contentNEW"},
        {true, FILE_APPEND_DATA, CREATE_ALWAYS, "NEW"},
        {true, GENERIC_WRITE | FILE_APPEND_DATA, OPEN_ALWAYS, "NEW content"},
        {false, GENERIC_WRITE, OPEN_ALWAYS, "NEW"},
        {false, FILE_APPEND_DATA, OPEN_ALWAYS, "NEW"},
    };
    std::string dir = test_support::temp_dir();
    const std::string path = dir + "/f.txt";
    for (const auto &c : cases) {
        standin::reset();
        unlink(path.c_str());
        if (c.exists) {
            FILE *f = fopen(path.c_str(), "wb");
            fputs("old content", f);
            fclose(f);
        }
        HANDLE file = CreateFileA(test_support::windows_path(path).c_str(), c.access,
                                  FILE_SHARE_READ, nullptr, c.disposition, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(file, "NEW", 3, &written, nullptr));
        EXPECT_EQ(written, 3u);
        EXPECT_TRUE(CloseHandle(file));
        EXPECT_EQ(test_support::read_file(path), c.content)
            << c.exists << " " << c.access << " " << c.disposition;
    }
    unlink(path.c_str());
    rmdir(dir.c_str());
    standin::reset();
}

// An append-only handle writes at the end the file has at that moment, whoever made it longer;
// a handle that may write anywhere goes on from its own position.
TEST(StandinFile, AppendOnlyHandlesFollowOtherWriters) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    const std::string path = dir + "/f.txt";
    const std::string windows = test_support::windows_path(path);
    HANDLE positioned =
        CreateFileA(windows.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    HANDLE appender =
        CreateFileA(windows.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(positioned, INVALID_HANDLE_VALUE);
    ASSERT_NE(appender, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteFile(appender, "one,", 4, nullptr, nullptr));
    FILE *other = fopen(path.c_str(), "ab");
    fputs("other,", other);
    fclose(other);
    EXPECT_TRUE(WriteFile(appender, "two,", 4, nullptr, nullptr));
    EXPECT_TRUE(WriteFile(positioned, "ONE", 3, nullptr, nullptr));
    EXPECT_EQ(test_support::read_file(path), "ONE,other,two,");
    EXPECT_TRUE(CloseHandle(appender));
    SetLastError(0);
    EXPECT_FALSE(WriteFile(appender, "x", 1, nullptr, nullptr)) << "a closed handle";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // A failure injected into WriteFile writes nothing.
    standin::fail(standin::call_WriteFile, 1, ERROR_ACCESS_DENIED);
    DWORD written = 99;
    EXPECT_FALSE(WriteFile(positioned, "XYZ", 3, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(test_support::read_file(path), "ONE,other,two,");
    EXPECT_TRUE(CloseHandle(positioned));
    unlink(path.c_str());
    rmdir(dir.c_str());
    standin::reset();
}

TEST(StandinMutex, NamedWaitedOnAtOnceAndReleased) {
    standin::reset();
    HANDLE first = CreateMutexA(nullptr, FALSE, "tolvard.log-1234abcd");
    HANDLE second = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(standin::mutex_names(), (std::vector<std::string>{"tolvard.log-1234abcd", "null"}));
    EXPECT_EQ(WaitForSingleObject(first, 2000), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(first));
    EXPECT_EQ(standin::calls(standin::call_WaitForSingleObject), 0);
    EXPECT_TRUE(CloseHandle(first));
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(first));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_FAILED);
    EXPECT_TRUE(CloseHandle(second));
    standin::reset();
}

} // namespace

// The stand-in's files and its mapping of Windows paths to native ones.
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

namespace {

TEST(StandinPath, WindowsPathsToNativeOnes) {
    const std::string backslash_pair = "\x83\x5C"; // one character under 932, 0x5C second
    const struct {
        std::string windows;
        UINT code_page;
        std::string native; // "" when refused
        DWORD error;
    } cases[] = {
        {"\\tmp\\d\\tolvard.log", 1252, "/tmp/d/tolvard.log", 0},
        {"/tmp/d/tolvard.log", 1252, "/tmp/d/tolvard.log", 0},
        {"\\tmp/d\\x", 1252, "/tmp/d/x", 0},
        {"Z:\\tmp\\d\\tolvard.log", 1252, "/tmp/d/tolvard.log", 0},
        {"z:\\tmp", 1252, "/tmp", 0},
        {"Z:/tmp", 1252, "/tmp", 0},
        {"Z:\\", 1252, "/", 0},
        {"Z:", 1252, "/", 0},
        {"d\\tolvard.log", 1252, "d/tolvard.log", 0},
        {"tolvard.log", 1252, "tolvard.log", 0},
        {"\\tmp\\My Files\\a.b.c", 1252, "/tmp/My Files/a.b.c", 0},
        {"\\tmp\\caf\xE9", 1252, "/tmp/caf\xE9", 0},
        {"\\tmp\\\x81\x40", 932, "/tmp/\x81\x40", 0},
        {"\\tmp\\\x83\x74\\x", 932, "/tmp/\x83\x74/x", 0},
        // Under 1252 the same bytes are two characters, the second a separator.
        {"\\tmp\\" + backslash_pair + "x", 1252, "/tmp/\x83/x", 0},
        {"\\tmp\\" + backslash_pair + "x", 932, "", ERROR_INVALID_NAME},
        {"C:\\tmp\\x", 1252, "", ERROR_PATH_NOT_FOUND},
        {"c:\\tmp\\x", 1252, "", ERROR_PATH_NOT_FOUND},
        {"D:", 1252, "", ERROR_PATH_NOT_FOUND},
        {"Z:tmp", 1252, "", ERROR_PATH_NOT_FOUND},
        {"\\\\server\\share\\x", 1252, "", ERROR_PATH_NOT_FOUND},
        {"//server/share/x", 1252, "", ERROR_PATH_NOT_FOUND},
        {"\\\\?\\Z:\\tmp\\x", 1252, "", ERROR_PATH_NOT_FOUND},
        {"\\\\.\\pipe\\x", 1252, "", ERROR_PATH_NOT_FOUND},
        {"", 1252, "", ERROR_PATH_NOT_FOUND},
        {"\\tmp\\a:b", 1252, "", ERROR_INVALID_NAME},
        {"\\tmp\\a*", 1252, "", ERROR_INVALID_NAME},
        {"\\tmp\\a?", 1252, "", ERROR_INVALID_NAME},
        {"\\tmp\\\"a\"", 1252, "", ERROR_INVALID_NAME},
        {"\\tmp\\a<b>", 1252, "", ERROR_INVALID_NAME},
        {"\\tmp\\a|b", 1252, "", ERROR_INVALID_NAME},
        {"\\tmp\\a\tb", 1252, "", ERROR_INVALID_NAME},
    };
    for (const auto &c : cases) {
        standin::reset();
        standin::set_ansi_code_page(c.code_page);
        standin::NativePath native = standin::native_path(c.windows.c_str());
        EXPECT_EQ(native.path, c.native) << c.windows << " under " << c.code_page;
        EXPECT_EQ(native.error, c.error) << c.windows << " under " << c.code_page;
        EXPECT_EQ(native.path.find('\\'), std::string::npos) << c.windows;
    }
    standin::reset();
}

std::set<std::string> names_in(const std::string &dir) {
    std::set<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (dirent *entry = d != nullptr ? readdir(d) : nullptr)
        names.insert(entry->d_name);
    if (d != nullptr)
        closedir(d);
    return names;
}

// A path the mapping refuses makes no file at all: not in the current directory either.
TEST(StandinFile, RefusedPathsMakeNoFile) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    const struct {
        const char *path;
        DWORD error;
    } cases[] = {{"C:\\tolvard.log", ERROR_PATH_NOT_FOUND},
                 {"\\\\server\\share\\tolvard.log", ERROR_PATH_NOT_FOUND},
                 {"a:b.log", ERROR_PATH_NOT_FOUND},
                 {"tolvard.log:stream", ERROR_INVALID_NAME},
                 {"missing\\tolvard.log", ERROR_PATH_NOT_FOUND}};
    for (const auto &c : cases) {
        SetLastError(0);
        EXPECT_EQ(CreateFileA(c.path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
                  INVALID_HANDLE_VALUE)
            << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
    EXPECT_EQ(names_in("."), (std::set<std::string>{".", ".."}));
    ASSERT_EQ(chdir(here), 0);
    // Each attempt is on record as the program made it.
    auto opens = standin::file_opens();
    ASSERT_EQ(opens.size(), 5u);
    EXPECT_EQ(opens[0].path, "C:\\tolvard.log");
    EXPECT_EQ(opens[4].path, "missing\\tolvard.log");
    rmdir(dir.c_str());
    standin::reset();
}

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

// What the log's safe opening relies on: what a handle tells of its file, a link opened
// itself, emptying, deleting a name, a held file, and locks only through a handle that may
// read or write data.
TEST(StandinFile, InformationDeletionHeldFilesAndLocks) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    std::string file = dir + "/f", hard = dir + "/hard", soft = dir + "/soft";
    FILE *f = fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("twelve bytes", f);
    fclose(f);
    ASSERT_EQ(link(file.c_str(), hard.c_str()), 0);
    ASSERT_EQ(symlink(file.c_str(), soft.c_str()), 0);
    const struct {
        std::string path;
        DWORD flags;
        DWORD attributes;
        DWORD links;
    } infos[] = {
        {file, 0, FILE_ATTRIBUTE_NORMAL, 2},
        {soft, 0, FILE_ATTRIBUTE_NORMAL, 2}, // followed
        {soft, FILE_FLAG_OPEN_REPARSE_POINT, FILE_ATTRIBUTE_REPARSE_POINT, 1},
    };
    for (const auto &c : infos) {
        HANDLE h = CreateFileA(test_support::windows_path(c.path).c_str(), GENERIC_READ, 0, nullptr,
                               OPEN_EXISTING, c.flags, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.path;
        BY_HANDLE_FILE_INFORMATION info;
        ASSERT_TRUE(GetFileInformationByHandle(h, &info)) << c.path;
        EXPECT_EQ(info.dwFileAttributes, c.attributes) << c.path;
        EXPECT_EQ(info.nNumberOfLinks, c.links) << c.path;
        EXPECT_TRUE(CloseHandle(h));
    }
    // A new file where a link stands is refused; an absent one to open is not found.
    EXPECT_EQ(CreateFileA(test_support::windows_path(soft).c_str(), GENERIC_WRITE, 0, nullptr,
                          CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(CreateFileA(test_support::windows_path(dir + "/none").c_str(), GENERIC_WRITE, 0,
                          nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    // Emptying needs a handle that may write data; an append-only one may not.
    const std::string windows_file = test_support::windows_path(file);
    HANDLE append =
        CreateFileA(windows_file.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(SetEndOfFile(append));
    HANDLE writer =
        CreateFileA(windows_file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_TRUE(SetEndOfFile(writer));
    EXPECT_EQ(test_support::read_file(hard), "");

    // Locks: recorded, refused through a handle that may neither read nor write data.
    OVERLAPPED at = {};
    at.Offset = 0x10;
    at.OffsetHigh = 0x1;
    HANDLE reader = CreateFileA(windows_file.c_str(), FILE_READ_DATA | FILE_APPEND_DATA, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(LockFileEx(append, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(
        LockFileEx(reader, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at));
    EXPECT_TRUE(UnlockFileEx(reader, 0, 1, 0, &at));
    EXPECT_EQ(standin::file_locks(),
              (std::vector<std::string>{"lock 0x2 0x100000010 failed", "lock 0x3 0x100000010 ok",
                                        "unlock 0x100000010 ok"}));
    for (HANDLE h : {append, writer, reader})
        EXPECT_TRUE(CloseHandle(h));

    // A held file can be neither opened nor deleted; deleting a name leaves the other names.
    standin::hold_file(windows_file.c_str());
    EXPECT_EQ(
        CreateFileA(windows_file.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFileA(windows_file.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(DeleteFileA(test_support::windows_path(hard).c_str()));
    EXPECT_TRUE(DeleteFileA(test_support::windows_path(soft).c_str()));
    struct stat st;
    EXPECT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_FALSE(DeleteFileA(test_support::windows_path(hard).c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    standin::reset();
    unlink(file.c_str());
    rmdir(dir.c_str());
}

} // namespace

// The stand-in's files and its mapping of Windows paths to native ones.
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>

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
    // The size alone, as the log asks it before each write; a pipe has none.
    HANDLE sized = CreateFileA(test_support::windows_path(file).c_str(), GENERIC_READ, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER size = {-1};
    EXPECT_TRUE(GetFileSizeEx(sized, &size));
    EXPECT_EQ(size.QuadPart, 12);
    EXPECT_TRUE(CloseHandle(sized));
    HANDLE pipe_read = nullptr, pipe_write = nullptr;
    ASSERT_TRUE(CreatePipe(&pipe_read, &pipe_write, nullptr, 0));
    EXPECT_FALSE(GetFileSizeEx(pipe_read, &size));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(pipe_read));
    EXPECT_TRUE(CloseHandle(pipe_write));
    // A new file where a link stands is refused; an absent one to open is not found.
    EXPECT_EQ(CreateFileA(test_support::windows_path(soft).c_str(), GENERIC_WRITE, 0, nullptr,
                          CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(CreateFileA(test_support::windows_path(dir + "/none").c_str(), GENERIC_WRITE, 0,
                          nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    // Emptying needs a handle that may write data; an append-only one may not. (The writer's
    // position is 0: it cuts there.)
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

// Attributes: those a test set, under any case of the name, else the native file's; a missing
// name in a folder that is there is told from a missing folder.
TEST(StandinFile, AttributesOfSetPathsAndNativeOnes) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    test_support::write_file(dir + "/app.exe", "MZ");
    const std::string native = test_support::windows_path(dir);
    standin::set_file_attributes("C:\\Windows", FILE_ATTRIBUTE_DIRECTORY);
    standin::set_file_attributes("C:\\Windows\\System32\\cmd.exe", FILE_ATTRIBUTE_NORMAL);
    standin::set_file_attributes("C:\\Secret", INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED);
    const struct {
        std::string path;
        DWORD attributes;
        DWORD error; // when INVALID_FILE_ATTRIBUTES
    } cases[] = {
        {"C:\\Windows", FILE_ATTRIBUTE_DIRECTORY, 0},
        {"c:\\windows\\SYSTEM32\\CMD.EXE", FILE_ATTRIBUTE_NORMAL, 0},
        {"C:\\Secret", INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED},
        {"C:\\Windows\\notepad.exe", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
        {native, FILE_ATTRIBUTE_DIRECTORY, 0},
        {native + "\\app.exe", FILE_ATTRIBUTE_NORMAL, 0},
        {native + "\\none.exe", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
        {native + "\\none\\app.exe", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
        {native + "\\a|b.exe", INVALID_FILE_ATTRIBUTES, ERROR_INVALID_NAME},
    };
    for (const auto &c : cases) {
        SetLastError(0);
        EXPECT_EQ(GetFileAttributesA(c.path.c_str()), c.attributes) << c.path;
        if (c.attributes == INVALID_FILE_ATTRIBUTES) {
            EXPECT_EQ(GetLastError(), c.error) << c.path;
        }
    }
    EXPECT_EQ(standin::trace().front(), "GetFileAttributesA(C:\\Windows)");
    EXPECT_EQ(standin::trace().size(), std::size(cases));
    standin::fail(standin::call_GetFileAttributesA, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(GetFileAttributesA("C:\\Windows"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(GetFileAttributesA("C:\\Windows"), FILE_ATTRIBUTE_DIRECTORY);
    standin::reset();
    EXPECT_EQ(GetFileAttributesA("C:\\Windows"), INVALID_FILE_ATTRIBUTES) << "kept past a reset";
    unlink((dir + "/app.exe").c_str());
    rmdir(dir.c_str());
}

// Everything ReadFile gives until it fails, and the error it fails with.
std::string drain(HANDLE read_end, DWORD *error) {
    std::string data;
    char buffer[7]; // small, so that reads are cut short
    DWORD n = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &n, nullptr) && n > 0)
        data.append(buffer, n);
    *error = GetLastError();
    return data;
}

TEST(StandinPipe, ReadWriteAndTheEndOnceTheWriterCloses) {
    standin::reset();
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
    EXPECT_EQ(standin::open_handles(), 2) << "both ends are the program's to close";
    DWORD n = 99;
    EXPECT_TRUE(WriteFile(w, "abc", 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    char buffer[16] = {};
    EXPECT_TRUE(ReadFile(r, buffer, 2, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "ab");
    EXPECT_TRUE(ReadFile(r, buffer, sizeof buffer, &n, nullptr)) << "what is there, not more";
    EXPECT_EQ(std::string(buffer, n), "c");
    EXPECT_TRUE(ReadFile(r, buffer, 0, &n, nullptr)) << "nothing asked: no end either";

    // Each end does one thing; overlapped reads are not the stand-in's.
    const struct {
        const char *what;
        BOOL result;
        DWORD error;
    } refused[] = {
        {"read the write end", ReadFile(w, buffer, 1, &n, nullptr), ERROR_ACCESS_DENIED},
        {"write the read end", WriteFile(r, "x", 1, &n, nullptr), ERROR_ACCESS_DENIED},
    };
    for (const auto &c : refused)
        EXPECT_FALSE(c.result) << c.what;
    OVERLAPPED overlapped = {};
    SetLastError(0);
    EXPECT_FALSE(ReadFile(r, buffer, 1, &n, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // Data written before the last writer closed still comes, then the end.
    EXPECT_TRUE(WriteFile(w, "last words", 10, &n, nullptr));
    EXPECT_TRUE(CloseHandle(w));
    DWORD error = 0;
    EXPECT_EQ(drain(r, &error), "last words");
    EXPECT_EQ(error, ERROR_BROKEN_PIPE);
    n = 99;
    EXPECT_FALSE(ReadFile(r, buffer, 1, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(CloseHandle(r));

    // A writer whose reader is gone fails, and the test process lives on (no SIGPIPE).
    ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
    EXPECT_TRUE(CloseHandle(r));
    SetLastError(0);
    EXPECT_FALSE(WriteFile(w, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE)) << "the signal was taken";
    EXPECT_TRUE(CloseHandle(w));
    EXPECT_EQ(standin::open_handles(), 0);
    EXPECT_EQ(standin::trace(), (std::vector<std::string>{"CreatePipe(not inheritable)",
                                                          "CreatePipe(not inheritable)"}));
}

// A reader blocked in ReadFile holds no lock: another thread closes the write end, which is
// what ends the read. Run in a child process with an alarm, so a lock held would fail the test
// rather than hang it.
// PeekNamedPipe tells what a read would find without reading it, and the end as ReadFile does.
TEST(StandinPipe, PeekTellsWhatIsThereWithoutReading) {
    standin::reset();
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
    DWORD available = 99, n = 0;
    EXPECT_TRUE(PeekNamedPipe(r, nullptr, 0, nullptr, &available, nullptr));
    EXPECT_EQ(available, 0u) << "empty, with a writer";
    ASSERT_TRUE(WriteFile(w, "12345", 5, &n, nullptr));
    EXPECT_TRUE(PeekNamedPipe(r, nullptr, 0, nullptr, &available, nullptr));
    EXPECT_EQ(available, 5u);
    EXPECT_TRUE(PeekNamedPipe(r, nullptr, 0, nullptr, &available, nullptr));
    EXPECT_EQ(available, 5u) << "peeking takes nothing";
    CloseHandle(w);
    EXPECT_TRUE(PeekNamedPipe(r, nullptr, 0, nullptr, &available, nullptr))
        << "what was written before the end is still there";
    EXPECT_EQ(available, 5u);
    char buffer[8];
    ASSERT_TRUE(ReadFile(r, buffer, sizeof buffer, &n, nullptr));
    SetLastError(0);
    EXPECT_FALSE(PeekNamedPipe(r, nullptr, 0, nullptr, &available, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    standin::fail(standin::call_PeekNamedPipe, 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(PeekNamedPipe(r, nullptr, 0, nullptr, &available, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(r);
}

TEST(StandinPipe, BlockedReadLetsOtherThreadsCallIn) {
    test_support::Outcome outcome = test_support::run_in_child([] {
        alarm(10);
        standin::reset();
        HANDLE r = nullptr, w = nullptr;
        if (!CreatePipe(&r, &w, nullptr, 4096))
            return 1;
        DWORD error = 0;
        std::string got;
        std::thread reader([&] { got = drain(r, &error); });
        usleep(50 * 1000);
        DWORD n = 0;
        WriteFile(w, "while blocked", 13, &n, nullptr);
        usleep(50 * 1000);
        HANDLE other = CreateFileA("NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        bool others_ok = CloseHandle(other) && CloseHandle(w);
        reader.join();
        printf("%d %s %u", others_ok, got.c_str(), error);
        CloseHandle(r);
        return 0;
    });
    EXPECT_EQ(outcome.status, 100);
    EXPECT_EQ(outcome.out, "1 while blocked 109");
}

// ReadFile moves on from the handle's position, SetFilePointer moves it, and SetEndOfFile cuts
// there: the copy-then-empty of a log, through one handle.
TEST(StandinFile, PositionsReadsAndTheEndOfFile) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    const std::string path = dir + "/f.txt";
    FILE *f = fopen(path.c_str(), "wb");
    fputs("0123456789", f);
    fclose(f);
    HANDLE file = CreateFileA(test_support::windows_path(path).c_str(),
                              GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const LONG none = 7777; // no high part given
    const struct {
        LONG distance;
        LONG high; // `none`: nullptr
        DWORD method;
        DWORD result;
        LONG high_after;
        DWORD error;
        std::string read; // 3 bytes asked, from the position after the call
    } cases[] = {
        {3, none, FILE_BEGIN, 3, none, 0, "345"},
        {-1, none, FILE_CURRENT, 3, none, 0, "345"}, // from 4
        {-3, none, FILE_END, 7, none, 0, "789"},
        {12, none, FILE_BEGIN, 12, none, 0, ""}, // past the end: a read of nothing
        {-5, none, FILE_CURRENT, INVALID_SET_FILE_POINTER, none, ERROR_NEGATIVE_SEEK, "456"},
        {-11, none, FILE_END, INVALID_SET_FILE_POINTER, none, ERROR_NEGATIVE_SEEK, "456"},
        {0, none, 3, INVALID_SET_FILE_POINTER, none, ERROR_INVALID_PARAMETER, "456"},
        {1, 1, FILE_BEGIN, 1, 1, 0, ""},   // 4 GiB + 1
        {-2, -1, FILE_END, 8, 0, 0, "89"}, // a 64-bit -2
        {-6, -1, FILE_CURRENT, 0xFFFFFFFEu, -1, ERROR_NEGATIVE_SEEK, "456"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(SetFilePointer(file, 4, nullptr, FILE_BEGIN), 4u);
        LONG high = c.high;
        SetLastError(12345);
        DWORD result = SetFilePointer(file, c.distance, c.high == none ? nullptr : &high, c.method);
        DWORD error = GetLastError();
        char buffer[3];
        DWORD n = 99;
        EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &n, nullptr));
        std::string where = std::to_string(c.distance) + " " + std::to_string(c.method);
        if (c.error != 0) {
            EXPECT_EQ(result, INVALID_SET_FILE_POINTER) << where;
            EXPECT_EQ(error, c.error) << where;
        } else {
            EXPECT_EQ(result, c.result) << where;
            EXPECT_EQ(error, ERROR_SUCCESS) << where;
            EXPECT_EQ(high, c.high_after) << where;
        }
        EXPECT_EQ(std::string(buffer, n), c.read) << where;
    }

    // The end goes where the handle is; writes land at the handle's position.
    EXPECT_EQ(SetFilePointer(file, 6, nullptr, FILE_BEGIN), 6u);
    EXPECT_TRUE(SetEndOfFile(file));
    EXPECT_EQ(test_support::read_file(path), "012345");
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(file, "XY", 2, &n, nullptr));
    EXPECT_EQ(SetFilePointer(file, 1, nullptr, FILE_BEGIN), 1u);
    EXPECT_TRUE(WriteFile(file, "a", 1, &n, nullptr));
    EXPECT_EQ(test_support::read_file(path), "0a2345XY");

    // Failures injected: nothing read, the position kept.
    standin::fail(standin::call_SetFilePointer, 1, ERROR_LOCK_VIOLATION);
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    standin::fail(standin::call_ReadFile, 1, ERROR_LOCK_VIOLATION);
    char buffer[16];
    n = 99;
    EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "2345XY") << "read on from 2";

    // The copy-then-empty sequence: read it all, back to 0, cut.
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), 0u);
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "0a2345XY");
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), 0u);
    EXPECT_TRUE(SetEndOfFile(file));
    EXPECT_EQ(test_support::read_file(path), "");
    // Further out than the end, SetEndOfFile makes the file longer.
    EXPECT_EQ(SetFilePointer(file, 3, nullptr, FILE_BEGIN), 3u);
    EXPECT_TRUE(SetEndOfFile(file));
    EXPECT_EQ(test_support::read_file(path), std::string(3, '\0'));
    EXPECT_TRUE(CloseHandle(file));

    // A handle opened to write alone reads nothing; a pipe has no position.
    file = CreateFileA(test_support::windows_path(path).c_str(), GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, 0, nullptr);
    SetLastError(0);
    EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(file));
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
    EXPECT_EQ(SetFilePointer(r, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SetEndOfFile(w));
    CloseHandle(r);
    CloseHandle(w);
    unlink(path.c_str());
    rmdir(dir.c_str());
    standin::reset();
}

// NUL by any case of its name: reads find the end at once, writes vanish, no file is made.
TEST(StandinFile, NulReadsNothingAndSwallowsWrites) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    for (const char *name : {"NUL", "nul", "Nul"}) {
        HANDLE nul = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(nul, INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(standin::open_handles(), 1) << name;
        DWORD n = 0;
        EXPECT_TRUE(WriteFile(nul, "swallowed", 9, &n, nullptr)) << name;
        EXPECT_EQ(n, 9u);
        char buffer[8];
        n = 99;
        EXPECT_TRUE(ReadFile(nul, buffer, sizeof buffer, &n, nullptr)) << name;
        EXPECT_EQ(n, 0u) << name;
        EXPECT_TRUE(CloseHandle(nul));
    }
    // A name that only begins so is a file like any other.
    HANDLE file = CreateFileA("NULL", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(names_in("."), (std::set<std::string>{".", "..", "NULL"}));
    unlink("NULL");
    ASSERT_EQ(chdir(here), 0);
    rmdir(dir.c_str());
    EXPECT_EQ(standin::open_handles(), 0);
}

// Inheritance is set by the attributes and by SetHandleInformation, on the handles a child can
// be given; as a child sees it, see the process tests.
TEST(StandinPipe, InheritanceIsSetOnTheHandlesAChildCanGet) {
    standin::reset();
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, &inheritable, 0));
    EXPECT_TRUE(SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetLastError(0);
    EXPECT_FALSE(SetHandleInformation(event, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    standin::fail(standin::call_SetHandleInformation, 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetHandleInformation(w, HANDLE_FLAG_INHERIT, 0));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    standin::fail(standin::call_CreatePipe, 1, ERROR_NOT_ENOUGH_MEMORY);
    HANDLE r2 = nullptr, w2 = nullptr;
    EXPECT_FALSE(CreatePipe(&r2, &w2, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(standin::open_handles(), 3) << "two ends and the event, no more";
    auto trace = standin::trace();
    ASSERT_EQ(trace.size(), 6u);
    EXPECT_EQ(trace[0], "CreatePipe(inheritable)");
    EXPECT_EQ(trace[1], "SetHandleInformation(pipe-read,0x1,0x0)");
    EXPECT_EQ(trace[3], "SetHandleInformation(invalid,0x1,0x1)");
    EXPECT_EQ(trace[4], "SetHandleInformation(pipe-write,0x1,0x0)");
    EXPECT_EQ(trace[5], "CreatePipe(not inheritable)");
    for (HANDLE h : {r, w, event})
        EXPECT_TRUE(CloseHandle(h));
}

} // namespace

namespace {

std::vector<WCHAR> wide(const std::string &text) {
    std::vector<WCHAR> units;
    for (unsigned char c : text)
        units.push_back(c);
    units.push_back(0);
    return units;
}

// The wide calls take the long form past MAX_PATH, as the ANSI ones cannot; folders are made
// one at a time.
TEST(StandinFile, WideCallsAndTheLongForm) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    std::string deep = dir + "/" + std::string(250, 'd');
    std::string windows = "Z:" + test_support::windows_path(deep);
    const struct {
        std::string what;
        std::string path; // as given to CreateDirectoryW
        DWORD error;      // 0: made
    } folders[] = {
        {"long form", "\\\\?\\" + windows, 0},
        {"again", "\\\\?\\" + windows, ERROR_ALREADY_EXISTS},
        {"parent missing", "\\\\?\\" + windows + "\\x\\y", ERROR_PATH_NOT_FOUND},
        {"short form past MAX_PATH", windows + "\\z", ERROR_PATH_NOT_FOUND},
    };
    for (const auto &c : folders) {
        SetLastError(0);
        BOOL made = CreateDirectoryW(wide(c.path).data(), nullptr);
        EXPECT_EQ(made != FALSE, c.error == 0) << c.what;
        EXPECT_EQ(made ? 0u : GetLastError(), c.error) << c.what;
    }
    std::string file = windows + "\\" + std::string(200, 'f') + ".log";
    EXPECT_EQ(CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(CreateFileW(wide(file).data(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE)
        << "the short form, wide or not";
    HANDLE handle = CreateFileW(wide("\\\\?\\" + file).data(), GENERIC_WRITE, 0, nullptr,
                                OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(handle, "x", 1, &written, nullptr));
    CloseHandle(handle);
    std::string native = deep + "/" + std::string(200, 'f') + ".log";
    EXPECT_EQ(test_support::read_file(native), "x");
    EXPECT_EQ(standin::file_opens().back().path, file) << "recorded without the prefix";
    ASSERT_EQ(standin::folders_made().size(), 4u);
    EXPECT_EQ(standin::folders_made()[0].path, windows);
    // A unit that is no byte of the stand-in's code pages.
    std::vector<WCHAR> other = wide("\\\\?\\" + windows + "\\x");
    other[other.size() - 2] = 0x263A;
    EXPECT_FALSE(CreateDirectoryW(other.data(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    standin::fail(standin::call_CreateDirectoryW, 1, ERROR_DISK_FULL);
    EXPECT_FALSE(CreateDirectoryW(wide("\\\\?\\" + windows + "\\w").data(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    unlink(native.c_str());
    rmdir(deep.c_str());
    rmdir(dir.c_str());
    standin::reset();
}

TEST(StandinFile, MultiByteToWideCharByteForUnit) {
    WCHAR out[8];
    const struct {
        const char *text;
        int length;
        int room;
        int result;
        DWORD error;
    } cases[] = {
        {"ab\xE9", -1, 0, 4, 0},
        {"ab\xE9", -1, 8, 4, 0},
        {"ab\xE9", 2, 8, 2, 0},
        {"ab\xE9", -1, 3, 0, ERROR_INSUFFICIENT_BUFFER},
        {nullptr, -1, 8, 0, ERROR_INVALID_PARAMETER},
    };
    for (const auto &c : cases) {
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, c.text, c.length, c.room ? out : nullptr, c.room),
                  c.result);
        EXPECT_EQ(GetLastError(), c.error);
    }
    MultiByteToWideChar(CP_ACP, 0, "ab\xE9", -1, out, 8);
    EXPECT_EQ(out[2], 0xE9);
    EXPECT_EQ(out[3], 0);
}

} // namespace

namespace {

// A small volume: a write that does not fit writes what does and fails as a full disk does.
TEST(StandinFile, ASmallVolume) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    std::string path = dir + "/f";
    HANDLE file = CreateFileA(test_support::windows_path(path).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const size_t room = 6;
    standin::set_disk_room(&room);
    const struct {
        const char *data;
        BOOL ok;
        DWORD written;
        DWORD error;
    } cases[] = {{"abcd", TRUE, 4, 0},
                 {"efgh", FALSE, 2, ERROR_DISK_FULL},
                 {"ij", FALSE, 0, ERROR_DISK_FULL}};
    for (const auto &c : cases) {
        DWORD written = 99;
        SetLastError(0);
        EXPECT_EQ(WriteFile(file, c.data, static_cast<DWORD>(strlen(c.data)), &written, nullptr),
                  c.ok)
            << c.data;
        EXPECT_EQ(written, c.written) << c.data;
        EXPECT_EQ(GetLastError(), c.error) << c.data;
    }
    standin::set_disk_room(nullptr);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "k", 1, &written, nullptr));
    CloseHandle(file);
    EXPECT_EQ(test_support::read_file(path), "abcdefk");
    unlink(path.c_str());
    rmdir(dir.c_str());
    standin::reset();
}

} // namespace

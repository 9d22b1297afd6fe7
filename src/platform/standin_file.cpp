// The stand-in's files, the null device and anonymous pipes, and its one mapping from a Windows
// path to a native one.
#include "platform/standin_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <map>

using namespace standin::internal;

namespace {

void close_file(Object &file);

// Each is a native descriptor, made with O_CLOEXEC: only CreateProcessA passes one on, and only
// to the child it starts. Files are not counted by standin::open_handles: the log keeps its
// handle for the life of the process.
const ObjectType file_type = {"file", false, true, close_file, nullptr, nullptr};
const ObjectType nul_type = {"nul", true, true, close_file, nullptr, nullptr};
const ObjectType pipe_read_type = {"pipe-read", true, true, close_file, nullptr, nullptr};
const ObjectType pipe_write_type = {"pipe-write", true, true, close_file, nullptr, nullptr};
const ObjectType *const io_types[] = {&file_type, &nul_type, &pipe_read_type, &pipe_write_type};

// Names compare without regard to ASCII case, as Windows compares them.
struct NoCase {
    bool operator()(const std::string &a, const std::string &b) const {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};

struct Attributes {
    DWORD attributes;
    DWORD error;
};

// The ANSI forms' limit on a path's length, its terminator included.
const size_t max_path = 260;

struct Files {
    bool disk_limited = false; // set by standin::set_disk_room
    size_t disk_room = 0;
    std::vector<standin::FolderMade> folders_made;
    std::vector<std::string> moves; // "FROM -> TO", as the ANSI forms would take them
    std::map<std::string, Attributes, NoCase> attributes; // set by tests, by Windows path
    std::vector<standin::FileOpen> file_opens;
    std::vector<std::string> held; // Windows paths
    std::vector<std::string> locks;
};

Files &files() {
    static Files f;
    return f;
}

void close_file(Object &file) {
    if (file.fd >= 0)
        close(file.fd);
    file.fd = -1;
}

// The pipe end, NUL or file behind a handle; lock held.
Object *find_io(HANDLE handle) {
    Object *object = find_object(handle, nullptr);
    for (const ObjectType *type : io_types) {
        if (object != nullptr && object->type == type)
            return object;
    }
    return nullptr;
}

// A descriptor of its own for one call on the handle's file, sharing its position, or -1 (the
// error set): as on Windows, a CloseHandle meanwhile on another thread must not let the call
// reach whatever is opened next under the same number.
int held_fd(HANDLE handle, const ObjectType **type = nullptr, DWORD *access = nullptr) {
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *object = find_io(handle);
    if (object == nullptr || object->fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    int fd = fcntl(object->fd, F_DUPFD_CLOEXEC, 3);
    if (fd < 0)
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    if (type != nullptr)
        *type = object->type;
    if (access != nullptr)
        *access = object->access;
    return fd;
}

// A write to a pipe whose read ends are all closed raises SIGPIPE, which would end the whole
// test process; Windows only fails the call. So the signal is held off on this thread, and one
// that the write raised is taken before it is let through again.
ssize_t write_without_sigpipe(int fd, const void *data, size_t size) {
    sigset_t pipe_only, before;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &before);
    ssize_t n = write(fd, data, size);
    int error = errno;
    if (n < 0 && error == EPIPE) {
        struct timespec now = {0, 0};
        sigtimedwait(&pipe_only, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    errno = error;
    return n;
}

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

bool is_held(LPCSTR path) {
    std::lock_guard<std::mutex> lock(state_mutex());
    for (const std::string &held : files().held) {
        if (path != nullptr && held == path)
            return true;
    }
    return false;
}

DWORD error_of(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

// The file behind a handle, with the access it was opened for; -1 if there is none.
int file_fd(HANDLE handle, DWORD *access = nullptr) {
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *file = find_object(handle, &file_type);
    if (file == nullptr)
        return -1;
    if (access != nullptr)
        *access = file->access;
    return file->fd;
}

} // namespace

namespace standin::internal {

void close_descriptors() {
    for (const ObjectType *type : io_types) {
        for (Object *object : objects_of(*type))
            close_file(*object);
    }
}

bool passable(HANDLE handle, Passable *out) {
    Object *object = find_io(handle);
    if (object == nullptr || object->fd < 0)
        return false;
    out->fd = object->fd;
    out->what = object->type == &file_type ? "file:" + object->name : object->type->name;
    out->inherit = object->inherit;
    return true;
}

std::vector<Passable> inheritable() {
    std::vector<Passable> found;
    for (const auto &[value, object] : objects_by_handle()) {
        Passable p;
        if (object->inherit && passable(value, &p))
            found.push_back(p);
    }
    return found;
}

void reset_file() {
    close_descriptors();
    files().attributes.clear();
    files().file_opens.clear();
    files().folders_made.clear();
    files().disk_limited = false;
    files().moves.clear();
    files().held.clear();
    files().locks.clear();
}

} // namespace standin::internal

// --- Files ---

// Both forms of CreateFile; `long_form` lifts the limit of MAX_PATH, as the wide form's
// "\\?\" prefix does.
static HANDLE create_file(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, bool long_form) {
    std::string dacl =
        security != nullptr ? standin::dacl_text(security->lpSecurityDescriptor) : "";
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        files().file_opens.push_back({text_or_null(path), access, share, disposition, flags, dacl});
    }
    if (injected(standin::call_CreateFileA))
        return INVALID_HANDLE_VALUE;
    bool reads = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
    bool writes = (access & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    int mode = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    Object file = {};
    file.type = &file_type;
    file.access = access;
    file.name = text_or_null(path);
    file.inherit = security != nullptr && security->bInheritHandle;
    // "NUL" is a device in every directory, whatever the case of its name.
    if (path != nullptr && strcasecmp(path, "NUL") == 0) {
        file.type = &nul_type;
        file.fd = open("/dev/null", mode | O_CLOEXEC);
        if (file.fd < 0) {
            SetLastError(error_of(errno));
            return INVALID_HANDLE_VALUE;
        }
        std::lock_guard<std::mutex> lock(state_mutex());
        return add_object(file);
    }
    standin::NativePath native = standin::native_path(path);
    if (native.error == 0 && !long_form && strlen(path) >= max_path)
        native.error = ERROR_PATH_NOT_FOUND;
    if (native.error != 0) {
        SetLastError(native.error);
        return INVALID_HANDLE_VALUE;
    }
    if (is_held(path)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    bool exists = lstat(native.path.c_str(), &st) == 0;
    if (exists ? !may_open(native.path, access)
               : disposition != OPEN_EXISTING && !may_make_in(native.path, false)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    int native_flags = mode | O_CLOEXEC;
    if (disposition == CREATE_NEW)
        native_flags |= O_CREAT | O_EXCL;
    else if (disposition != OPEN_EXISTING)
        native_flags |= O_CREAT;
    if (disposition == CREATE_ALWAYS)
        native_flags |= O_TRUNC;
    if ((access & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA)) == FILE_APPEND_DATA)
        native_flags |= O_APPEND;
    // A symbolic link is opened itself, as Windows opens a reparse point: its handle tells what
    // it is and writes nothing.
    if ((flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0 && exists && S_ISLNK(st.st_mode)) {
        if (disposition == CREATE_NEW) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        native_flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
        file.reparse = true;
    }
    file.fd = open(native.path.c_str(), native_flags, 0644);
    if (file.fd < 0) {
        SetLastError(error_of(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (!exists)
        record_security(native.path, security);
    std::lock_guard<std::mutex> lock(state_mutex());
    return add_object(file);
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE) {
    return create_file(path, access, share, security, disposition, flags, false);
}

// A wide path as the stand-in's bytes, without a "\\?\" prefix before a drive (*long_form
// then true); false for a unit that is no byte.
static bool narrow_path(LPCWSTR path, std::string *out, bool *long_form) {
    out->clear();
    *long_form = false;
    if (path == nullptr)
        return true;
    for (const WCHAR *p = path; *p != 0; ++p) {
        if (*p > 0xFF)
            return false;
        *out += static_cast<char>(*p);
    }
    if (out->size() >= 6 && out->compare(0, 4, "\\\\?\\") == 0 && (*out)[5] == ':') {
        out->erase(0, 4);
        *long_form = true;
    }
    return true;
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE) {
    std::string narrow;
    bool long_form;
    if (!narrow_path(path, &narrow, &long_form)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return create_file(path != nullptr ? narrow.c_str() : nullptr, access, share, security,
                       disposition, flags, long_form);
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    std::string narrow;
    bool long_form;
    if (!narrow_path(path, &narrow, &long_form))
        return fail_with(ERROR_INVALID_NAME);
    std::string dacl =
        security != nullptr ? standin::dacl_text(security->lpSecurityDescriptor) : "";
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        files().folders_made.push_back({narrow, dacl});
    }
    if (injected(standin::call_CreateDirectoryW))
        return FALSE;
    standin::NativePath native = standin::native_path(narrow.c_str());
    if (native.error == 0 && !long_form && narrow.size() >= max_path)
        native.error = ERROR_PATH_NOT_FOUND;
    if (native.error != 0)
        return fail_with(native.error);
    struct stat st;
    if (lstat(native.path.c_str(), &st) == 0)
        return fail_with(ERROR_ALREADY_EXISTS);
    if (!may_make_in(native.path, true))
        return fail_with(ERROR_ACCESS_DENIED);
    if (mkdir(native.path.c_str(), 0755) != 0)
        return fail_with(errno == EEXIST ? ERROR_ALREADY_EXISTS : error_of(errno));
    record_security(native.path, security);
    return TRUE;
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    std::string from_narrow, to_narrow;
    bool from_long, to_long;
    if (!narrow_path(from, &from_narrow, &from_long) || !narrow_path(to, &to_narrow, &to_long))
        return fail_with(ERROR_INVALID_NAME);
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        files().moves.push_back(from_narrow + " -> " + to_narrow);
    }
    if (injected(standin::call_MoveFileExW))
        return FALSE;
    standin::NativePath a = standin::native_path(from_narrow.c_str());
    standin::NativePath b = standin::native_path(to_narrow.c_str());
    if (a.error != 0 || b.error != 0)
        return fail_with(a.error != 0 ? a.error : b.error);
    if (is_held(from_narrow.c_str()) || is_held(to_narrow.c_str()))
        return fail_with(ERROR_SHARING_VIOLATION);
    struct stat st;
    bool replacing = lstat(b.path.c_str(), &st) == 0;
    if ((flags & MOVEFILE_REPLACE_EXISTING) == 0 && replacing)
        return fail_with(ERROR_ALREADY_EXISTS);
    if (!may_open(a.path, DELETE) ||
        (replacing ? !may_open(b.path, DELETE) : !may_make_in(b.path, false)))
        return fail_with(ERROR_ACCESS_DENIED);
    if (rename(a.path.c_str(), b.path.c_str()) != 0)
        return fail_with(errno == ENOENT ? ERROR_FILE_NOT_FOUND : error_of(errno));
    move_security(a.path, &b.path);
    return TRUE;
}

int MultiByteToWideChar(UINT, DWORD flags, LPCSTR text, int length, LPWSTR out, int room) {
    if (flags != 0 || text == nullptr || length < -1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t count = length == -1 ? strlen(text) + 1 : static_cast<size_t>(length);
    if (room == 0)
        return static_cast<int>(count);
    if (count > static_cast<size_t>(room)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<BYTE>(text[i]);
    return static_cast<int>(count);
}

BOOL ReadFile(HANDLE handle, LPVOID data, DWORD size, LPDWORD done, LPOVERLAPPED overlapped) {
    if (done != nullptr)
        *done = 0;
    if (injected(standin::call_ReadFile))
        return FALSE;
    if (overlapped != nullptr)
        return fail_with(ERROR_INVALID_PARAMETER);
    const ObjectType *type = nullptr;
    int fd = held_fd(handle, &type);
    if (fd < 0)
        return FALSE;
    ssize_t n;
    while ((n = read(fd, data, size)) < 0 && errno == EINTR) {
    }
    close(fd);
    if (n < 0)
        return fail_with(ERROR_ACCESS_DENIED);
    // The end of a file is a successful read of nothing; the end of an anonymous pipe, all of
    // whose write ends are closed, is an error.
    if (n == 0 && size > 0 && type == &pipe_read_type)
        return fail_with(ERROR_BROKEN_PIPE);
    if (done != nullptr)
        *done = static_cast<DWORD>(n);
    return TRUE;
}

BOOL PeekNamedPipe(HANDLE handle, LPVOID data, DWORD size, LPDWORD read, LPDWORD available,
                   LPDWORD left) {
    if (injected(standin::call_PeekNamedPipe))
        return FALSE;
    if (data != nullptr || size != 0 || read != nullptr || left != nullptr)
        return fail_with(ERROR_INVALID_PARAMETER);
    const ObjectType *type = nullptr;
    int fd = held_fd(handle, &type);
    if (fd < 0)
        return FALSE;
    int count = 0;
    bool ok = type == &pipe_read_type && ioctl(fd, FIONREAD, &count) == 0;
    struct pollfd watch = {fd, POLLIN, 0};
    // Nothing left, and every write end closed: the end of the pipe, as ReadFile sees it.
    bool ended = ok && count == 0 && poll(&watch, 1, 0) == 1 && (watch.revents & POLLHUP) != 0;
    close(fd);
    if (!ok)
        return fail_with(ERROR_INVALID_PARAMETER);
    if (ended)
        return fail_with(ERROR_BROKEN_PIPE);
    if (available != nullptr)
        *available = static_cast<DWORD>(count);
    return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    if (written != nullptr)
        *written = 0;
    if (injected(standin::call_WriteFile))
        return FALSE;
    const ObjectType *type = nullptr;
    int fd = held_fd(handle, &type);
    if (fd < 0)
        return FALSE;
    // A small volume: what fits is written, and the write fails, as a full disk does.
    DWORD room = size;
    bool full = false;
    if (type == &file_type) {
        std::lock_guard<std::mutex> lock(state_mutex());
        if (files().disk_limited && files().disk_room < size) {
            room = static_cast<DWORD>(files().disk_room);
            full = true;
        }
    }
    ssize_t n =
        type == &pipe_write_type ? write_without_sigpipe(fd, data, room) : write(fd, data, room);
    int error = errno;
    close(fd);
    if (n < 0)
        return fail_with(error == EPIPE ? ERROR_NO_DATA : ERROR_ACCESS_DENIED);
    if (type == &file_type) {
        std::lock_guard<std::mutex> lock(state_mutex());
        if (files().disk_limited)
            files().disk_room -= static_cast<size_t>(n);
    }
    if (written != nullptr)
        *written = static_cast<DWORD>(n);
    if (full)
        return fail_with(ERROR_DISK_FULL);
    return TRUE;
}

// What the file open as `handle` is, and whether the handle was opened on a link itself; sets
// the error and returns false for a handle of no file.
static bool stat_of_handle(HANDLE handle, struct stat *st, bool *link) {
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *file = find_object(handle, &file_type);
    if (file == nullptr || file->fd < 0)
        return fail_with(ERROR_INVALID_HANDLE);
    if (fstat(file->fd, st) != 0)
        return fail_with(ERROR_ACCESS_DENIED);
    *link = file->reparse;
    return true;
}

BOOL GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info) {
    if (injected(standin::call_GetFileInformationByHandle))
        return FALSE;
    bool link;
    struct stat st;
    if (!stat_of_handle(handle, &st, &link))
        return FALSE;
    memset(info, 0, sizeof *info);
    info->dwFileAttributes = link                  ? FILE_ATTRIBUTE_REPARSE_POINT
                             : S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY
                                                   : FILE_ATTRIBUTE_NORMAL;
    info->nFileSizeLow = static_cast<DWORD>(st.st_size);
    info->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
    info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    info->nFileIndexLow = static_cast<DWORD>(st.st_ino);
    info->nFileIndexHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_ino) >> 32);
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE handle, LARGE_INTEGER *size) {
    if (injected(standin::call_GetFileSizeEx))
        return FALSE;
    bool link;
    struct stat st;
    if (!stat_of_handle(handle, &st, &link))
        return FALSE;
    size->QuadPart = static_cast<int64_t>(st.st_size);
    return TRUE;
}

DWORD SetFilePointer(HANDLE handle, LONG distance, PLONG distance_high, DWORD method) {
    // Not traced, as the other file calls are not: the log's start would show in every trace.
    if (injected(standin::call_SetFilePointer))
        return INVALID_SET_FILE_POINTER;
    // Without the high part the distance is a signed 32-bit one; with it, the two make one
    // signed 64-bit distance.
    int64_t offset = distance_high == nullptr
                         ? distance
                         : static_cast<int64_t>(static_cast<uint64_t>(*distance_high) << 32 |
                                                static_cast<DWORD>(distance));
    const ObjectType *type = nullptr;
    int fd = held_fd(handle, &type);
    if (fd < 0)
        return INVALID_SET_FILE_POINTER;
    struct stat st;
    int64_t base = method == FILE_BEGIN                        ? 0
                   : method == FILE_CURRENT                    ? lseek(fd, 0, SEEK_CUR)
                   : method == FILE_END && fstat(fd, &st) == 0 ? st.st_size
                                                               : -1;
    DWORD error = ERROR_SUCCESS;
    int64_t target = base + offset;
    if (base < 0 || type == &pipe_read_type || type == &pipe_write_type)
        error = ERROR_INVALID_PARAMETER;
    else if (target < 0)
        error = ERROR_NEGATIVE_SEEK;
    else if (distance_high == nullptr && target > 0xFFFFFFFFll)
        error = ERROR_INVALID_PARAMETER;
    else if (lseek(fd, target, SEEK_SET) < 0)
        error = ERROR_INVALID_PARAMETER;
    close(fd);
    SetLastError(error);
    if (error != ERROR_SUCCESS)
        return INVALID_SET_FILE_POINTER;
    if (distance_high != nullptr)
        *distance_high = static_cast<LONG>(target >> 32);
    return static_cast<DWORD>(target);
}

BOOL SetEndOfFile(HANDLE handle) {
    if (injected(standin::call_SetEndOfFile))
        return FALSE;
    DWORD access = 0;
    const ObjectType *type = nullptr;
    int fd = held_fd(handle, &type, &access);
    if (fd < 0)
        return FALSE;
    off_t at = lseek(fd, 0, SEEK_CUR);
    bool cut = type == &file_type && (access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0 && at >= 0 &&
               ftruncate(fd, at) == 0;
    close(fd);
    return cut ? TRUE : fail_with(ERROR_ACCESS_DENIED);
}

BOOL CreatePipe(PHANDLE read_end, PHANDLE write_end, LPSECURITY_ATTRIBUTES attributes, DWORD size) {
    bool inherit = attributes != nullptr && attributes->bInheritHandle;
    note(std::string("CreatePipe(") + (inherit ? "inheritable" : "not inheritable") + ")");
    if (injected(standin::call_CreatePipe))
        return FALSE;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return fail_with(errno == EMFILE || errno == ENFILE ? ERROR_TOO_MANY_OPEN_FILES
                                                            : ERROR_NOT_ENOUGH_MEMORY);
    // Windows takes the size as a suggestion too; a size the system refuses keeps the default.
    if (size > 0)
        fcntl(fds[1], F_SETPIPE_SZ, size < INT_MAX ? static_cast<int>(size) : INT_MAX);
    Object end = {};
    end.inherit = inherit;
    std::lock_guard<std::mutex> lock(state_mutex());
    end.type = &pipe_read_type;
    end.fd = fds[0];
    *read_end = add_object(end);
    end.type = &pipe_write_type;
    end.fd = fds[1];
    *write_end = add_object(end);
    return TRUE;
}

BOOL SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags) {
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        Object *object = find_io(handle);
        note_locked("SetHandleInformation(" +
                    std::string(object != nullptr ? object->type->name : "invalid") + "," +
                    hex(mask) + "," + hex(flags) + ")");
    }
    if (injected(standin::call_SetHandleInformation))
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *object = find_io(handle);
    if (object == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if (mask & HANDLE_FLAG_INHERIT)
        object->inherit = (flags & HANDLE_FLAG_INHERIT) != 0;
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
    if (injected(standin::call_DeleteFileA))
        return FALSE;
    standin::NativePath native = standin::native_path(path);
    if (native.error != 0)
        return fail_with(native.error);
    if (is_held(path))
        return fail_with(ERROR_SHARING_VIOLATION);
    if (!may_open(native.path, DELETE))
        return fail_with(ERROR_ACCESS_DENIED);
    if (unlink(native.path.c_str()) != 0)
        return fail_with(error_of(errno));
    move_security(native.path, nullptr);
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR path) {
    note("GetFileAttributesA(" + text_or_null(path) + ")");
    if (injected(standin::call_GetFileAttributesA))
        return INVALID_FILE_ATTRIBUTES;
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        auto it = path != nullptr ? files().attributes.find(path) : files().attributes.end();
        if (it != files().attributes.end()) {
            if (it->second.attributes == INVALID_FILE_ATTRIBUTES)
                fail_with(it->second.error);
            return it->second.attributes;
        }
    }
    standin::NativePath native = standin::native_path(path);
    if (native.error != 0) {
        fail_with(native.error);
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat info;
    if (stat(native.path.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    int missing = errno == ENOENT;
    DWORD error = error_of(errno);
    // Windows tells a missing name in a folder that is there from a missing folder.
    std::string folder = native.path.substr(0, native.path.find_last_of('/') + 1);
    if (missing && (folder.empty() || stat(folder.c_str(), &info) == 0))
        error = ERROR_FILE_NOT_FOUND;
    fail_with(error);
    return INVALID_FILE_ATTRIBUTES;
}

static BOOL record_lock(HANDLE handle, const std::string &what, LPOVERLAPPED overlapped,
                        bool fails) {
    DWORD access = 0;
    if (file_fd(handle, &access) < 0 || overlapped == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    // Windows refuses a lock through a handle that may neither read nor write data: an
    // append-only one is not enough.
    if ((access & (GENERIC_READ | GENERIC_WRITE | FILE_READ_DATA | FILE_WRITE_DATA)) == 0) {
        fails = true;
        SetLastError(ERROR_ACCESS_DENIED);
    }
    uint64_t offset = static_cast<uint64_t>(overlapped->OffsetHigh) << 32 | overlapped->Offset;
    char text[64];
    snprintf(text, sizeof text, " 0x%llx", static_cast<unsigned long long>(offset));
    std::lock_guard<std::mutex> lock(state_mutex());
    files().locks.push_back(what + text + (fails ? " failed" : " ok"));
    return fails ? FALSE : TRUE;
}

static thread_local int lock_calls_of_thread;

int standin::internal::thread_lock_calls() {
    return lock_calls_of_thread;
}

BOOL LockFileEx(HANDLE handle, DWORD flags, DWORD, DWORD, DWORD, LPOVERLAPPED overlapped) {
    ++lock_calls_of_thread;
    bool fails = injected(standin::call_LockFileEx);
    return record_lock(handle, "lock " + hex(flags), overlapped, fails);
}

BOOL UnlockFileEx(HANDLE handle, DWORD, DWORD, DWORD, LPOVERLAPPED overlapped) {
    return record_lock(handle, "unlock", overlapped, false);
}

// --- Test controls ---

namespace standin {

NativePath native_path(const char *path) {
    const std::string windows = path != nullptr ? path : "";
    if (windows.empty())
        return {"", ERROR_PATH_NOT_FOUND};
    std::string native;
    size_t i = 0;
    char drive = static_cast<char>(windows[0] | 0x20);
    if (drive >= 'a' && drive <= 'z' && windows.size() >= 2 && windows[1] == ':') {
        // Drive Z: is the root, as Wine sets it up; a path relative to a drive's own current
        // directory ("Z:name") has no native meaning.
        if (drive != 'z' || (windows.size() > 2 && !is_separator(windows[2])))
            return {"", ERROR_PATH_NOT_FOUND};
        native = "/";
        i = windows.size() > 2 ? 3 : 2;
    } else if (windows.size() >= 2 && is_separator(windows[0]) && is_separator(windows[1])) {
        return {"", ERROR_PATH_NOT_FOUND}; // "\\server\share", "\\?\", "\\.\"
    }
    std::lock_guard<std::mutex> lock(state_mutex());
    while (i < windows.size()) {
        char c = windows[i];
        if (internal::is_lead_byte(static_cast<BYTE>(c)) && i + 1 < windows.size()) {
            // Under code page 932 the second byte of a character may be 0x5C: no separator to
            // Windows, but a backslash in a native name, which the stand-in never makes.
            if (windows[i + 1] == '\\')
                return {"", ERROR_INVALID_NAME};
            native.append(windows, i, 2);
            i += 2;
            continue;
        }
        // Characters Windows refuses in names; ':' would name an NTFS stream, which native
        // files do not have.
        if (static_cast<BYTE>(c) < 0x20 || strchr("<>:\"|?*", c) != nullptr)
            return {"", ERROR_INVALID_NAME};
        native += c == '\\' ? '/' : c;
        ++i;
    }
    return {native, 0};
}

std::vector<FileOpen> file_opens() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return files().file_opens;
}

void set_disk_room(const size_t *bytes) {
    std::lock_guard<std::mutex> lock(state_mutex());
    files().disk_limited = bytes != nullptr;
    files().disk_room = bytes != nullptr ? *bytes : 0;
}

std::vector<std::string> moves() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return files().moves;
}

std::vector<FolderMade> folders_made() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return files().folders_made;
}

void set_file_attributes(const char *path, DWORD attributes, DWORD error) {
    std::lock_guard<std::mutex> lock(state_mutex());
    files().attributes[path] = {attributes, error};
}

void hold_file(const char *path) {
    std::lock_guard<std::mutex> lock(state_mutex());
    files().held.push_back(path);
}

std::vector<std::string> file_locks() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return files().locks;
}

} // namespace standin

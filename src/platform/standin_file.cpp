// The stand-in's files, and its one mapping from a Windows path to a native one.
#include "platform/standin_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace standin::internal;

namespace {

void close_file(Object &file);

const ObjectType file_type = {"file", false, true, close_file, nullptr, nullptr};

struct Files {
    std::vector<standin::FileOpen> file_opens;
    std::vector<std::string> held; // Windows paths
    std::vector<std::string> locks;
};

Files &files() {
    static Files f;
    return f;
}

void close_file(Object &file) {
    close(file.fd);
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

void reset_file() {
    for (Object *file : objects_of(file_type))
        close(file->fd);
    files().file_opens.clear();
    files().held.clear();
    files().locks.clear();
}

} // namespace standin::internal

// --- Files ---

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE) {
    std::string dacl =
        security != nullptr ? standin::dacl_text(security->lpSecurityDescriptor) : "";
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        files().file_opens.push_back({text_or_null(path), access, share, disposition, flags, dacl});
    }
    if (injected(standin::call_CreateFileA))
        return INVALID_HANDLE_VALUE;
    standin::NativePath native = standin::native_path(path);
    if (native.error != 0) {
        SetLastError(native.error);
        return INVALID_HANDLE_VALUE;
    }
    if (is_held(path)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    bool reads = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
    bool writes = (access & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    int mode = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
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
    bool link = false;
    struct stat st;
    if ((flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0 && lstat(native.path.c_str(), &st) == 0 &&
        S_ISLNK(st.st_mode)) {
        if (disposition == CREATE_NEW) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        native_flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
        link = true;
    }
    int fd = open(native.path.c_str(), native_flags, 0644);
    if (fd < 0) {
        SetLastError(error_of(errno));
        return INVALID_HANDLE_VALUE;
    }
    Object file = {};
    file.type = &file_type;
    file.fd = fd;
    file.access = access;
    file.reparse = link;
    std::lock_guard<std::mutex> lock(state_mutex());
    return add_object(file);
}

BOOL WriteFile(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    if (written != nullptr)
        *written = 0;
    if (injected(standin::call_WriteFile))
        return FALSE;
    int fd = file_fd(handle);
    if (fd < 0)
        return fail_with(ERROR_INVALID_HANDLE);
    ssize_t n = write(fd, data, size);
    if (n < 0)
        return fail_with(ERROR_ACCESS_DENIED);
    if (written != nullptr)
        *written = static_cast<DWORD>(n);
    return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info) {
    if (injected(standin::call_GetFileInformationByHandle))
        return FALSE;
    bool link;
    int fd;
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        Object *file = find_object(handle, &file_type);
        if (file == nullptr)
            return fail_with(ERROR_INVALID_HANDLE);
        fd = file->fd;
        link = file->reparse;
    }
    struct stat st;
    if (fstat(fd, &st) != 0)
        return fail_with(ERROR_ACCESS_DENIED);
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

BOOL SetEndOfFile(HANDLE handle) {
    if (injected(standin::call_SetEndOfFile))
        return FALSE;
    DWORD access = 0;
    int fd = file_fd(handle, &access);
    if (fd < 0)
        return fail_with(ERROR_INVALID_HANDLE);
    if ((access & (GENERIC_WRITE | FILE_WRITE_DATA)) == 0 || ftruncate(fd, 0) != 0)
        return fail_with(ERROR_ACCESS_DENIED);
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
    return unlink(native.path.c_str()) == 0 ? TRUE : fail_with(error_of(errno));
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

BOOL LockFileEx(HANDLE handle, DWORD flags, DWORD, DWORD, DWORD, LPOVERLAPPED overlapped) {
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

void hold_file(const char *path) {
    std::lock_guard<std::mutex> lock(state_mutex());
    files().held.push_back(path);
}

std::vector<std::string> file_locks() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return files().locks;
}

} // namespace standin

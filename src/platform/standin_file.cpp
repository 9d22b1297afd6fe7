// The stand-in's files and named mutexes, and its one mapping from a Windows path to a native
// one.
#include "platform/standin_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

using namespace standin::internal;

namespace {

void close_file(Object &file);
DWORD wait_for_mutex(HANDLE, DWORD);

const ObjectType file_type = {"file", false, true, close_file, nullptr, nullptr};
const ObjectType mutex_type = {"mutex", false, true, nullptr, wait_for_mutex, nullptr};

struct Files {
    std::vector<standin::FileOpen> file_opens;
    std::vector<std::string> mutex_names;
};

Files &files() {
    static Files f;
    return f;
}

void close_file(Object &file) {
    close(file.fd);
}

// Within the one process of a test there is nobody to take turns with.
DWORD wait_for_mutex(HANDLE, DWORD) {
    return WAIT_OBJECT_0;
}

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

} // namespace

namespace standin::internal {

void reset_file() {
    for (Object *file : objects_of(file_type))
        close(file->fd);
    files().file_opens.clear();
    files().mutex_names.clear();
}

} // namespace standin::internal

// --- Files ---

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD, HANDLE) {
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        files().file_opens.push_back({text_or_null(path), access, share, disposition});
    }
    if (injected(standin::call_CreateFileA))
        return INVALID_HANDLE_VALUE;
    standin::NativePath native = standin::native_path(path);
    if (native.error != 0) {
        SetLastError(native.error);
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (disposition == CREATE_ALWAYS)
        flags |= O_TRUNC;
    if ((access & (GENERIC_WRITE | FILE_APPEND_DATA)) == FILE_APPEND_DATA)
        flags |= O_APPEND;
    int fd = open(native.path.c_str(), flags, 0644);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    Object file = {};
    file.type = &file_type;
    file.fd = fd;
    std::lock_guard<std::mutex> lock(state_mutex());
    return add_object(file);
}

BOOL WriteFile(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    if (written != nullptr)
        *written = 0;
    if (injected(standin::call_WriteFile))
        return FALSE;
    int fd;
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        Object *file = find_object(handle, &file_type);
        if (file == nullptr)
            return fail_with(ERROR_INVALID_HANDLE);
        fd = file->fd;
    }
    ssize_t n = write(fd, data, size);
    if (n < 0)
        return fail_with(ERROR_ACCESS_DENIED);
    if (written != nullptr)
        *written = static_cast<DWORD>(n);
    return TRUE;
}

// --- Named mutexes ---

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name) {
    std::lock_guard<std::mutex> lock(state_mutex());
    files().mutex_names.push_back(text_or_null(name));
    Object mutex = {};
    mutex.type = &mutex_type;
    mutex.name = text_or_null(name);
    return add_object(mutex);
}

BOOL ReleaseMutex(HANDLE handle) {
    std::lock_guard<std::mutex> lock(state_mutex());
    return find_object(handle, &mutex_type) != nullptr ? TRUE : fail_with(ERROR_INVALID_HANDLE);
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

std::vector<std::string> mutex_names() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return files().mutex_names;
}

} // namespace standin

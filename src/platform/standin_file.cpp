// The stand-in's files and named mutexes.
#include "platform/standin_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

using namespace standin::internal;

namespace {

void close_file(Object &file);
DWORD wait_for_mutex(HANDLE, DWORD);

const ObjectType file_type = {"file", false, true, close_file, nullptr};
const ObjectType mutex_type = {"mutex", false, true, nullptr, wait_for_mutex};

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
    std::string native = path;
    for (char &c : native)
        c = c == '\\' ? '/' : c;
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (disposition == CREATE_ALWAYS)
        flags |= O_TRUNC;
    if ((access & (GENERIC_WRITE | FILE_APPEND_DATA)) == FILE_APPEND_DATA)
        flags |= O_APPEND;
    int fd = open(native.c_str(), flags, 0644);
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

std::vector<FileOpen> file_opens() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return files().file_opens;
}

std::vector<std::string> mutex_names() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return files().mutex_names;
}

} // namespace standin

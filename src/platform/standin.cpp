// The stand-in platform: the Win32 subset of tolvard over POSIX, with an in-process service
// control manager and service database for the tests.
#include "platform/standin.h"
#include "platform/standin_control.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

thread_local DWORD last_error;

struct Fault {
    int calls;
    int nth;
    DWORD error;
    bool armed;
};

enum Kind {
    kind_manager,
    kind_service,
    kind_process,
    kind_thread,
    kind_job,
    kind_file,
    kind_mutex
};

// One object behind every handle the stand-in gives out.
struct Object {
    Kind kind;
    DWORD access;
    std::string name;
    pid_t pid; ///< the process; for a file, its descriptor
    bool exited;
    bool terminated;
    DWORD exit_code;
    pid_t group;      // a job's process group, 0 until a process is assigned
    DWORD job_limits; // a job's limit flags
};

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    Fault faults[standin::call_count];
    std::vector<std::string> trace;
    std::string module_file_name;
    bool module_set = false;
    std::string command_line;
    bool command_line_set = false;
    UINT code_page = 1252;
    void (*exit_hook)() = nullptr;
    bool clock_set = false;
    __time64_t clock = 0;

    std::vector<Object *> objects;

    bool armed = false;
    bool gate = false;
    bool at_gate = false;
    std::vector<standin::Step> script;
    std::thread service_thread;
    bool service_returned = false;
    std::string dispatched_name;
    std::string registered_name;
    LPHANDLER_FUNCTION handler = nullptr;
    std::vector<standin::Report> reports;
    std::vector<standin::Launch> launches;
    STARTUPINFOA startup = {};

    std::vector<standin::Service> services;
    std::vector<standin::FileOpen> file_opens;
    std::vector<std::string> mutex_names;
};

State &state() {
    static State s;
    return s;
}

char status_handle_object;
SERVICE_STATUS_HANDLE const status_handle =
    reinterpret_cast<SERVICE_STATUS_HANDLE>(&status_handle_object);

// Counts the call and tells whether it is to fail; then last_error holds the chosen code.
bool injected(standin::Call call) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Fault &f = s.faults[call];
    ++f.calls;
    if (f.armed && (f.nth == 0 || f.nth == f.calls)) {
        last_error = f.error;
        return true;
    }
    return false;
}

BOOL fail_with(DWORD error) {
    last_error = error;
    return FALSE;
}

void note(const std::string &event) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.trace.push_back(event);
}

std::string text_or_null(LPCSTR text) {
    return text == nullptr ? "null" : text;
}

std::string hex(DWORD value) {
    char buffer[16];
    snprintf(buffer, sizeof buffer, "0x%x", value);
    return buffer;
}

Object *new_object(Kind kind) {
    Object *object = new Object{kind, 0, "", 0, false, false, 0, 0, 0};
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.objects.push_back(object);
    return object;
}

// The object behind a handle, if it is a live one of that kind; caller holds the mutex.
Object *find_object(void *handle, Kind kind) {
    for (Object *object : state().objects) {
        if (object == handle && object->kind == kind)
            return object;
    }
    return nullptr;
}

void drop_object(Object *object) {
    std::vector<Object *> &objects = state().objects;
    for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i] == object) {
            objects.erase(objects.begin() + static_cast<long>(i));
            break;
        }
    }
    delete object;
}

// Waits on the condition, for a bounded time: a stand-in that waits for ever would hang the
// test run instead of failing it.
template <typename Predicate>
void wait_for(std::unique_lock<std::mutex> &lock, const char *what, Predicate ready) {
    if (!state().changed.wait_for(lock, std::chrono::seconds(20), ready)) {
        fprintf(stderr, "stand-in: timed out waiting for %s\n", what);
        abort();
    }
}

bool is_lead_byte(BYTE c) {
    if (state().code_page == 932)
        return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    return false;
}

// The child's argument vector as the Microsoft C runtime splits a command line.
std::vector<std::string> crt_split(const char *p) {
    std::vector<std::string> words;
    std::string word;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p == '"') {
        for (++p; *p != '\0' && *p != '"'; ++p)
            word += *p;
        if (*p == '"')
            ++p;
    } else {
        while (*p != '\0' && *p != ' ' && *p != '\t')
            word += *p++;
    }
    if (word.empty() && *p == '\0')
        return words;
    words.push_back(word);
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0')
            break;
        word.clear();
        bool quoted = false;
        while (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) {
            size_t backslashes = 0;
            while (p[backslashes] == '\\')
                ++backslashes;
            if (p[backslashes] == '"') {
                word.append(backslashes / 2, '\\');
                p += backslashes;
                if (backslashes % 2 == 1) {
                    word += '"';
                } else {
                    quoted = !quoted;
                }
                ++p;
            } else if (backslashes > 0) {
                word.append(backslashes, '\\');
                p += backslashes;
            } else if (is_lead_byte(static_cast<BYTE>(*p)) && p[1] != '\0') {
                word.append(p, 2);
                p += 2;
            } else {
                word += *p++;
            }
        }
        words.push_back(word);
    }
    return words;
}

DWORD spawn_error(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOEXEC:
        return ERROR_BAD_EXE_FORMAT;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

// Whether the process has ended, without reaping it.
bool has_ended(pid_t pid, siginfo_t &info) {
    memset(&info, 0, sizeof info);
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid != 0;
}

// Records that the process has ended; caller holds the mutex.
void mark_exited(Object *process, const siginfo_t &info) {
    if (process->exited)
        return;
    process->exited = true;
    if (!process->terminated)
        process->exit_code = info.si_code == CLD_EXITED ? static_cast<DWORD>(info.si_status)
                                                        : 128u + static_cast<DWORD>(info.si_status);
}

// The processes of a group that have not ended (zombies have), from /proc: a grandchild whose
// parent has gone is reaped by someone else, or by no one, so waiting is no way to tell.
int live_in_group(pid_t group) {
    if (group == 0)
        return 0;
    int live = 0;
    DIR *dir = opendir("/proc");
    if (dir == nullptr)
        return 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        std::string path = std::string("/proc/") + entry->d_name + "/stat";
        FILE *f = fopen(path.c_str(), "r");
        if (f == nullptr)
            continue;
        char line[1024];
        size_t n = fread(line, 1, sizeof line - 1, f);
        fclose(f);
        line[n] = 0;
        // "pid (name) state ppid pgrp ...": the name may hold blanks and parentheses.
        char *end_of_name = strrchr(line, ')');
        char state = 0;
        long parent = 0, pgrp = 0;
        if (end_of_name != nullptr &&
            sscanf(end_of_name + 1, " %c %ld %ld", &state, &parent, &pgrp) == 3 && pgrp == group &&
            state != 'Z' && state != 'X')
            ++live;
    }
    closedir(dir);
    return live;
}

// Processes still running in the stand-in's jobs; caller holds the mutex.
int live_in_jobs() {
    int live = 0;
    for (Object *object : state().objects) {
        if (object->kind == kind_job)
            live += live_in_group(object->group);
    }
    return live;
}

// Records that the process is being terminated with `exit_code`, unless it has ended already:
// as on Windows, an ended process cannot be terminated and keeps its own exit code. Returns
// whether it was still running; caller holds the mutex.
bool mark_terminated(Object *process, DWORD exit_code) {
    siginfo_t info;
    if (!process->exited && has_ended(process->pid, info))
        mark_exited(process, info);
    if (process->exited)
        return false;
    process->terminated = true;
    process->exit_code = exit_code;
    return true;
}

} // namespace

// --- System ---

DWORD GetLastError(void) {
    return last_error;
}

void SetLastError(DWORD error) {
    last_error = error;
}

DWORD GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size) {
    State &s = state();
    std::string path;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        path = s.module_file_name;
        if (!s.module_set) {
            char real[4096];
            ssize_t n = readlink("/proc/self/exe", real, sizeof real - 1);
            path.assign(real, n > 0 ? static_cast<size_t>(n) : 0);
            // Shown as Windows shows paths; CreateFileA turns the separators back.
            for (char &c : path)
                c = c == '/' ? '\\' : c;
        }
    }
    if (size == 0)
        return fail_with(ERROR_INSUFFICIENT_BUFFER);
    if (path.size() >= size) {
        memcpy(buffer, path.data(), size - 1);
        buffer[size - 1] = '\0';
        last_error = ERROR_INSUFFICIENT_BUFFER;
        return size;
    }
    memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

LPSTR GetCommandLineA(void) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.command_line_set) {
        FILE *f = fopen("/proc/self/cmdline", "rb");
        std::string raw;
        for (int c; f != nullptr && (c = fgetc(f)) != EOF;)
            raw += static_cast<char>(c);
        if (f != nullptr)
            fclose(f);
        s.command_line.clear();
        for (size_t start = 0; start < raw.size();) {
            std::string word = raw.c_str() + start;
            start += word.size() + 1;
            bool blank = word.empty() || word.find_first_of(" \t") != std::string::npos;
            if (!s.command_line.empty())
                s.command_line += ' ';
            s.command_line += blank ? "\"" + word + "\"" : word;
        }
        s.command_line_set = true;
    }
    return s.command_line.data();
}

void ExitProcess(UINT status) {
    if (state().exit_hook != nullptr)
        state().exit_hook();
    _exit(static_cast<int>(status));
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

BOOL IsDBCSLeadByte(BYTE c) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return is_lead_byte(c) ? TRUE : FALSE;
}

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    cs->opaque = new std::recursive_mutex;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    static_cast<std::recursive_mutex *>(cs->opaque)->lock();
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    static_cast<std::recursive_mutex *>(cs->opaque)->unlock();
}

__time64_t _time64(__time64_t *now) {
    __time64_t t = time(nullptr);
    {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.clock_set)
            t = s.clock;
    }
    if (now != nullptr)
        *now = t;
    return t;
}

struct tm *_localtime64(const __time64_t *time) {
    time_t t = static_cast<time_t>(*time);
    return localtime(&t);
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD, HANDLE) {
    {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.file_opens.push_back({path, access, share, disposition});
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
        last_error = errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    Object *file = new_object(kind_file);
    file->pid = fd;
    return file;
}

BOOL WriteFile(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    if (written != nullptr)
        *written = 0;
    if (injected(standin::call_WriteFile))
        return FALSE;
    int fd;
    {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        Object *file = find_object(handle, kind_file);
        if (file == nullptr)
            return fail_with(ERROR_INVALID_HANDLE);
        fd = file->pid;
    }
    ssize_t n = write(fd, data, size);
    if (n < 0)
        return fail_with(ERROR_ACCESS_DENIED);
    if (written != nullptr)
        *written = static_cast<DWORD>(n);
    return TRUE;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name) {
    {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.mutex_names.push_back(text_or_null(name));
    }
    Object *mutex = new_object(kind_mutex);
    mutex->name = text_or_null(name);
    return mutex;
}

BOOL ReleaseMutex(HANDLE handle) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return find_object(handle, kind_mutex) != nullptr ? TRUE : fail_with(ERROR_INVALID_HANDLE);
}

// --- Service control manager: database ---

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
    note("OpenSCManagerA(" + text_or_null(machine) + "," + text_or_null(database) + "," +
         hex(access) + ")");
    if (injected(standin::call_OpenSCManagerA))
        return nullptr;
    Object *manager = new_object(kind_manager);
    manager->access = access;
    return reinterpret_cast<SC_HANDLE>(manager);
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR display_name, DWORD access,
                         DWORD service_type, DWORD start_type, DWORD error_control,
                         LPCSTR binary_path, LPCSTR load_order_group, LPDWORD tag,
                         LPCSTR dependencies, LPCSTR account, LPCSTR password) {
    note("CreateServiceA(" + text_or_null(name) + ")");
    if (injected(standin::call_CreateServiceA))
        return nullptr;
    State &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    Object *m = find_object(manager, kind_manager);
    if (m == nullptr) {
        last_error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if ((m->access & SC_MANAGER_CREATE_SERVICE) == 0) {
        last_error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    if (name == nullptr || *name == '\0' || strchr(name, '/') != nullptr ||
        strchr(name, '\\') != nullptr) {
        last_error = ERROR_INVALID_NAME;
        return nullptr;
    }
    if (binary_path == nullptr || *binary_path == '\0') {
        last_error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    for (const standin::Service &existing : s.services) {
        if (strcasecmp(existing.name.c_str(), name) == 0) {
            last_error = ERROR_SERVICE_EXISTS;
            return nullptr;
        }
        if (display_name != nullptr &&
            strcasecmp(existing.display_name.c_str(), display_name) == 0) {
            last_error = ERROR_DUPLICATE_SERVICE_NAME;
            return nullptr;
        }
    }
    s.services.push_back({name, display_name != nullptr ? display_name : name, access, service_type,
                          start_type, error_control, binary_path, load_order_group == nullptr,
                          tag == nullptr, dependencies == nullptr, account == nullptr,
                          password == nullptr});
    lock.unlock();
    Object *service = new_object(kind_service);
    service->access = access;
    service->name = name;
    return reinterpret_cast<SC_HANDLE>(service);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    note("OpenServiceA(" + text_or_null(name) + "," + hex(access) + ")");
    if (injected(standin::call_OpenServiceA))
        return nullptr;
    State &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (find_object(manager, kind_manager) == nullptr) {
        last_error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    bool found = false;
    for (const standin::Service &existing : s.services)
        found = found || (name != nullptr && strcasecmp(existing.name.c_str(), name) == 0);
    if (!found) {
        last_error = ERROR_SERVICE_DOES_NOT_EXIST;
        return nullptr;
    }
    lock.unlock();
    Object *service = new_object(kind_service);
    service->access = access;
    service->name = name;
    return reinterpret_cast<SC_HANDLE>(service);
}

BOOL DeleteService(SC_HANDLE handle) {
    note("DeleteService");
    if (injected(standin::call_DeleteService))
        return FALSE;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Object *service = find_object(handle, kind_service);
    if (service == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if ((service->access & DELETE) == 0)
        return fail_with(ERROR_ACCESS_DENIED);
    for (size_t i = 0; i < s.services.size(); ++i) {
        if (strcasecmp(s.services[i].name.c_str(), service->name.c_str()) == 0) {
            s.services.erase(s.services.begin() + static_cast<long>(i));
            return TRUE;
        }
    }
    return fail_with(ERROR_SERVICE_MARKED_FOR_DELETE);
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    State &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    Object *object = find_object(handle, kind_manager);
    if (object == nullptr)
        object = find_object(handle, kind_service);
    std::string what = object == nullptr              ? "invalid"
                       : object->kind == kind_manager ? "manager"
                                                      : "service";
    lock.unlock();
    note("CloseServiceHandle(" + what + ")");
    if (injected(standin::call_CloseServiceHandle))
        return FALSE;
    if (object == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    lock.lock();
    drop_object(object);
    return TRUE;
}

// --- Service control manager: dispatcher ---

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *table) {
    if (injected(standin::call_StartServiceCtrlDispatcherA))
        return FALSE;
    State &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.armed) {
        last_error = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
        return FALSE;
    }
    s.armed = false;
    s.dispatched_name = table[0].lpServiceName;
    s.service_returned = false;
    LPSERVICE_MAIN_FUNCTIONA service_main = table[0].lpServiceProc;
    std::string name = table[0].lpServiceName;
    s.service_thread = std::thread([service_main, name] {
        std::string copy = name;
        char *argv[2] = {copy.data(), nullptr};
        service_main(1, argv);
        State &st = state();
        std::lock_guard<std::mutex> l(st.mutex);
        st.service_returned = true;
        st.changed.notify_all();
    });
    std::vector<standin::Step> script = s.script;
    for (const standin::Step &step : script) {
        switch (step.kind) {
        case standin::step_control: {
            wait_for(lock, "the handler", [&] { return s.handler != nullptr; });
            LPHANDLER_FUNCTION handler = s.handler;
            lock.unlock();
            handler(step.value);
            lock.lock();
            break;
        }
        case standin::step_wait_state:
            wait_for(lock, "a reported state", [&] {
                for (const standin::Report &r : s.reports) {
                    if (r.status.dwCurrentState == step.value)
                        return true;
                }
                return false;
            });
            break;
        case standin::step_wait_launch:
            wait_for(lock, "a launch", [&] { return !s.launches.empty(); });
            break;
        case standin::step_wait_job_processes: {
            // Processes come and go without a word to the stand-in: look until they are there.
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (live_in_jobs() < static_cast<int>(step.value)) {
                if (std::chrono::steady_clock::now() >= deadline) {
                    fprintf(stderr, "stand-in: timed out waiting for processes in a job\n");
                    abort();
                }
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                lock.lock();
            }
            break;
        }
        case standin::step_wait_gate:
            wait_for(lock, "the gate", [&] { return s.at_gate; });
            break;
        case standin::step_open_gate:
            s.gate = false;
            s.changed.notify_all();
            break;
        }
    }
    wait_for(lock, "the stopped report", [&] {
        for (const standin::Report &r : s.reports) {
            if (r.ok && r.status.dwCurrentState == SERVICE_STOPPED)
                return true;
        }
        if (s.service_returned) {
            fprintf(stderr, "stand-in: service main returned without reporting stopped\n");
            abort();
        }
        return false;
    });
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR name, LPHANDLER_FUNCTION handler) {
    if (injected(standin::call_RegisterServiceCtrlHandlerA))
        return nullptr;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (name == nullptr || s.dispatched_name != name) {
        last_error = ERROR_SERVICE_DOES_NOT_EXIST;
        return nullptr;
    }
    s.registered_name = name;
    s.handler = handler;
    s.changed.notify_all();
    return status_handle;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    bool failed = injected(standin::call_SetServiceStatus);
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!failed && handle != status_handle) {
        last_error = ERROR_INVALID_HANDLE;
        failed = true;
    }
    int live = 0;
    for (Object *object : s.objects) {
        siginfo_t info;
        live += object->kind == kind_process && !object->exited && !has_ended(object->pid, info);
    }
    s.reports.push_back({*status, !failed, live, live_in_jobs()});
    s.changed.notify_all();
    return failed ? FALSE : TRUE;
}

// --- Processes ---

void GetStartupInfoA(LPSTARTUPINFOA info) {
    State &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.gate) {
        s.at_gate = true;
        s.changed.notify_all();
        wait_for(lock, "the gate to open", [&] { return !s.gate; });
        s.at_gate = false;
    }
    static char title[] = "tolvard stand-in";
    memset(&s.startup, 0, sizeof s.startup);
    s.startup.cb = sizeof s.startup;
    s.startup.lpTitle = title;
    s.startup.dwFlags = 0x100;
    *info = s.startup;
}

BOOL CreateProcessA(LPCSTR application, LPSTR command_line, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL inherit_handles, DWORD flags, LPVOID environment,
                    LPCSTR current_directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info) {
    State &s = state();
    standin::Launch launch = {application == nullptr,
                              command_line != nullptr ? command_line : "",
                              inherit_handles != FALSE,
                              flags,
                              environment == nullptr,
                              current_directory == nullptr,
                              false,
                              false};
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        launch.startup_as_given =
            startup != nullptr && memcmp(startup, &s.startup, sizeof s.startup) == 0;
    }
    note("CreateProcessA(" + hex(flags) + ")");
    bool failed = injected(standin::call_CreateProcessA);
    DWORD error = last_error;
    pid_t pid = 0;
    if (!failed) {
        std::vector<std::string> words = crt_split(launch.command_line.c_str());
        if (words.empty()) {
            failed = true;
            error = ERROR_FILE_NOT_FOUND;
        } else {
            std::vector<char *> argv;
            for (std::string &w : words)
                argv.push_back(w.data());
            argv.push_back(nullptr);
            // Each child leads a process group of its own, which a job can then take over.
            posix_spawnattr_t attributes;
            posix_spawnattr_init(&attributes);
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
            posix_spawnattr_setpgroup(&attributes, 0);
            int rc = posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), environ);
            posix_spawnattr_destroy(&attributes);
            if (rc != 0) {
                failed = true;
                error = spawn_error(rc);
            } else if (flags & CREATE_SUSPENDED) {
                // posix_spawnp returns after the exec, so this stops the new program itself,
                // before it has done more than begin.
                kill(pid, SIGSTOP);
                siginfo_t info;
                memset(&info, 0, sizeof info);
                while (waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WNOWAIT) == -1 &&
                       errno == EINTR) {
                }
            }
        }
    }
    launch.created = !failed;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.launches.push_back(launch);
        s.changed.notify_all();
    }
    if (failed)
        return fail_with(error);
    Object *process = new_object(kind_process);
    process->pid = pid;
    Object *thread = new_object(kind_thread);
    thread->pid = pid;
    info->hProcess = process;
    info->hThread = thread;
    info->dwProcessId = static_cast<DWORD>(pid);
    info->dwThreadId = static_cast<DWORD>(pid);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    State &s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (find_object(handle, kind_mutex) != nullptr)
            return WAIT_OBJECT_0;
    }
    if (injected(standin::call_WaitForSingleObject))
        return WAIT_FAILED;
    pid_t pid;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        Object *process = find_object(handle, kind_process);
        if (process == nullptr) {
            last_error = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
        if (process->exited)
            return WAIT_OBJECT_0;
        pid = process->pid;
    }
    // WNOWAIT leaves the child a zombie until its handle is closed, so its pid is never reused
    // while a handle could still reach it.
    siginfo_t info;
    int rc;
    if (milliseconds == INFINITE) {
        memset(&info, 0, sizeof info);
        while ((rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT)) == -1 &&
               errno == EINTR) {
        }
    } else {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            memset(&info, 0, sizeof info);
            rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
            if (rc != 0 || info.si_pid != 0 || std::chrono::steady_clock::now() >= deadline)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    Object *process = find_object(handle, kind_process);
    if (rc == -1 || process == nullptr) {
        last_error = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    if (info.si_pid == 0)
        return WAIT_TIMEOUT;
    mark_exited(process, info);
    return WAIT_OBJECT_0;
}

BOOL GetExitCodeProcess(HANDLE handle, LPDWORD exit_code) {
    if (injected(standin::call_GetExitCodeProcess))
        return FALSE;
    if (WaitForSingleObject(handle, 0) == WAIT_FAILED)
        return FALSE;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Object *process = find_object(handle, kind_process);
    *exit_code = process->exited ? process->exit_code : STILL_ACTIVE;
    return TRUE;
}

BOOL TerminateProcess(HANDLE handle, UINT exit_code) {
    note("TerminateProcess(" + std::to_string(exit_code) + ")");
    if (injected(standin::call_TerminateProcess))
        return FALSE;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Object *process = find_object(handle, kind_process);
    if (process == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if (!mark_terminated(process, exit_code))
        return fail_with(ERROR_ACCESS_DENIED);
    kill(process->pid, SIGKILL);
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    if (injected(standin::call_CloseHandle))
        return FALSE;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Object *object = find_object(handle, kind_process);
    if (object == nullptr)
        object = find_object(handle, kind_thread);
    if (object == nullptr)
        object = find_object(handle, kind_job);
    if (object == nullptr)
        object = find_object(handle, kind_file);
    if (object == nullptr)
        object = find_object(handle, kind_mutex);
    if (object == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if (object->kind == kind_process && object->exited)
        waitpid(object->pid, nullptr, 0);
    if (object->kind == kind_job && object->group != 0 &&
        (object->job_limits & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE))
        kill(-object->group, SIGKILL);
    if (object->kind == kind_file)
        close(object->pid);
    drop_object(object);
    return TRUE;
}

DWORD ResumeThread(HANDLE handle) {
    note("ResumeThread");
    if (injected(standin::call_ResumeThread))
        return static_cast<DWORD>(-1);
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Object *thread = find_object(handle, kind_thread);
    if (thread == nullptr) {
        last_error = ERROR_INVALID_HANDLE;
        return static_cast<DWORD>(-1);
    }
    kill(thread->pid, SIGCONT);
    return 1;
}

HANDLE CreateJobObjectA(LPSECURITY_ATTRIBUTES, LPCSTR name) {
    note("CreateJobObjectA(" + text_or_null(name) + ")");
    if (injected(standin::call_CreateJobObjectA))
        return nullptr;
    return new_object(kind_job);
}

BOOL SetInformationJobObject(HANDLE handle, JOBOBJECTINFOCLASS info_class, LPVOID info,
                             DWORD length) {
    if (injected(standin::call_SetInformationJobObject))
        return FALSE;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Object *job = find_object(handle, kind_job);
    if (job == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if (info_class != JobObjectExtendedLimitInformation ||
        length != sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION))
        return fail_with(ERROR_INVALID_PARAMETER);
    job->job_limits =
        static_cast<JOBOBJECT_EXTENDED_LIMIT_INFORMATION *>(info)->BasicLimitInformation.LimitFlags;
    s.trace.push_back("SetInformationJobObject(" + hex(job->job_limits) + ")");
    return TRUE;
}

BOOL QueryInformationJobObject(HANDLE handle, JOBOBJECTINFOCLASS info_class, LPVOID info,
                               DWORD length, LPDWORD returned) {
    if (injected(standin::call_QueryInformationJobObject))
        return FALSE;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Object *job = find_object(handle, kind_job);
    if (job == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if (info_class != JobObjectBasicAccountingInformation ||
        length != sizeof(JOBOBJECT_BASIC_ACCOUNTING_INFORMATION))
        return fail_with(ERROR_INVALID_PARAMETER);
    auto *accounting = static_cast<JOBOBJECT_BASIC_ACCOUNTING_INFORMATION *>(info);
    memset(accounting, 0, sizeof *accounting);
    accounting->ActiveProcesses = static_cast<DWORD>(live_in_group(job->group));
    if (returned != nullptr)
        *returned = length;
    return TRUE;
}

BOOL AssignProcessToJobObject(HANDLE job_handle, HANDLE process_handle) {
    note("AssignProcessToJobObject");
    if (injected(standin::call_AssignProcessToJobObject))
        return FALSE;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Object *job = find_object(job_handle, kind_job);
    Object *process = find_object(process_handle, kind_process);
    if (job == nullptr || process == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    // A group has one leader: the stand-in's jobs take one process, which is all tolvard needs.
    if (job->group != 0)
        return fail_with(ERROR_ACCESS_DENIED);
    job->group = process->pid;
    return TRUE;
}

BOOL TerminateJobObject(HANDLE handle, UINT exit_code) {
    note("TerminateJobObject(" + std::to_string(exit_code) + ")");
    if (injected(standin::call_TerminateJobObject))
        return FALSE;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Object *job = find_object(handle, kind_job);
    if (job == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if (job->group == 0)
        return TRUE;
    for (Object *process : s.objects) {
        if (process->kind == kind_process && process->pid == job->group)
            mark_terminated(process, exit_code);
    }
    kill(-job->group, SIGKILL);
    return TRUE;
}

// --- Test controls ---

namespace standin {

void reset() {
    join_service();
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (Fault &f : s.faults)
        f = Fault{0, 0, 0, false};
    s.trace.clear();
    s.module_set = false;
    s.command_line_set = false;
    s.code_page = 1252;
    s.exit_hook = nullptr;
    s.clock_set = false;
    // A test's children do not outlive it.
    for (Object *object : s.objects) {
        if (object->kind == kind_job && object->group != 0)
            kill(-object->group, SIGKILL);
        if (object->kind == kind_file)
            close(object->pid);
        if (object->kind == kind_process) {
            kill(object->pid, SIGKILL);
            waitpid(object->pid, nullptr, 0);
        }
        delete object;
    }
    s.objects.clear();
    s.armed = false;
    s.gate = false;
    s.at_gate = false;
    s.script.clear();
    s.service_returned = false;
    s.dispatched_name.clear();
    s.registered_name.clear();
    s.handler = nullptr;
    s.reports.clear();
    s.launches.clear();
    s.services.clear();
    s.file_opens.clear();
    s.mutex_names.clear();
}

void fail(Call call, int nth, DWORD error) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.faults[call] = Fault{0, nth, error, true};
}

int calls(Call call) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.faults[call].calls;
}

std::vector<std::string> trace() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.trace;
}

void set_module_file_name(const char *path) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.module_set = path != nullptr;
    s.module_file_name = path != nullptr ? path : "";
}

void set_command_line(const char *text) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.command_line_set = text != nullptr;
    s.command_line = text != nullptr ? text : "";
}

void set_ansi_code_page(UINT code_page) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.code_page = code_page;
}

void set_clock(const __time64_t *now) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.clock_set = now != nullptr;
    s.clock = now != nullptr ? *now : 0;
}

void set_exit_hook(void (*hook)()) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.exit_hook = hook;
}

void arm_dispatcher(const std::vector<Step> &script, bool gate) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.armed = true;
    s.script = script;
    s.gate = gate;
}

void join_service() {
    std::thread thread;
    {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        thread.swap(s.service_thread);
    }
    if (thread.joinable())
        thread.join();
}

std::vector<Report> reports() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.reports;
}

std::string dispatched_name() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.dispatched_name;
}

std::string registered_name() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.registered_name;
}

std::vector<Launch> launches() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.launches;
}

int open_handles() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    int count = 0;
    for (const Object *object : s.objects)
        count += object->kind != kind_file && object->kind != kind_mutex ? 1 : 0;
    return count;
}

std::vector<FileOpen> file_opens() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.file_opens;
}

std::vector<std::string> mutex_names() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.mutex_names;
}

std::vector<Service> services() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.services;
}

void add_service(const char *name) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.services.push_back({name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                          SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "x.exe " + std::string(name),
                          true, true, true, true, true});
}

} // namespace standin

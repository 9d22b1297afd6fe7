// The stand-in's processes, jobs and threads: real POSIX children, each the leader of a process
// group of its own, which a job then takes over; threads of the calling process are std::threads.
#include "platform/standin_internal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <list>
#include <thread>

extern char **environ;

using namespace standin::internal;

namespace {

DWORD wait_for_process(HANDLE handle, DWORD milliseconds);
void close_process(Object &process);
void close_job(Object &job);
bool process_ended(Object &process);

const ObjectType process_type = {"process",        true,         true, close_process,
                                 wait_for_process, process_ended};
const ObjectType thread_type = {"thread", true, true, nullptr, nullptr, nullptr};
const ObjectType job_type = {"job", true, true, close_job, nullptr, nullptr};

DWORD wait_for_host_thread(HANDLE handle, DWORD milliseconds);
bool host_thread_ended(Object &thread);
// A thread of the calling process, made by CreateThread (thread_type is a child's first thread).
const ObjectType host_thread_type = {"host thread",    true, true, nullptr, wait_for_host_thread,
                                     host_thread_ended};

struct HostThread {
    DWORD id;
    bool done;
    DWORD exit_code;
};

struct Processes {
    std::vector<standin::Launch> launches;
    STARTUPINFOA startup = {};
    // Every child not yet reaped, whether its handles are still open or not: its pid, and the
    // group it leads, cannot be reused until it is reaped, so a reset can always end it.
    std::vector<pid_t> unreaped;
    // The group of every child since the last reset, reaped or not: a child that has ended may
    // have left a grandchild in it (holding a pipe, say). A group's id is not given to a new
    // process while a member of the group lives.
    std::vector<pid_t> groups;
    // Every CreateThread thread since the last reset, its handle closed or not.
    std::list<HostThread> threads;
    DWORD thread_ids = 0;
};

Processes &processes() {
    static Processes p;
    return p;
}

// The child's argument vector as the Microsoft C runtime splits a command line; lock held.
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

// What a child gets of the caller's descriptors: `passed` under their own numbers, `std` (-1:
// closed) as 0, 1 and 2 when `use_std`. Each source is a duplicate of the caller's that the
// spawn closes, so that a handle closed meanwhile cannot hand the child something else.
struct Descriptors {
    std::vector<std::pair<int, int>> passed; // duplicate, number in the child
    bool use_std;
    int std[3];
};

// The child's descriptors: the std ones and the inherited ones, and none else of the caller's.
void arrange(posix_spawn_file_actions_t *actions, const Descriptors &d) {
    int highest = 2;
    for (const auto &[source, number] : d.passed) {
        posix_spawn_file_actions_adddup2(actions, source, number);
        highest = number > highest ? number : highest;
    }
    for (int i = 0; d.use_std && i < 3; ++i) {
        if (d.std[i] >= 0)
            posix_spawn_file_actions_adddup2(actions, d.std[i], i);
        else
            posix_spawn_file_actions_addclose(actions, i);
    }
    // Descriptors of the caller made without O_CLOEXEC (the test runner's, a library's) are not
    // the program's handles: Windows would pass none of them.
    for (int fd = 3; fd < highest; ++fd) {
        bool kept = false;
        for (const auto &[source, number] : d.passed)
            kept = kept || number == fd;
        if (!kept)
            posix_spawn_file_actions_addclose(actions, fd);
    }
    posix_spawn_file_actions_addclosefrom_np(actions, highest + 1);
}

// Starts the program of `words` (the first, a Windows path) with them as its argument vector;
// returns 0 or the Windows error.
DWORD spawn(std::vector<std::string> &words, DWORD flags, const Descriptors &descriptors,
            pid_t &pid) {
    if (words.empty() || words[0].empty())
        return ERROR_FILE_NOT_FOUND;
    standin::NativePath program = standin::native_path(words[0].c_str());
    if (program.error != 0)
        return program.error;
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    // Each child leads a process group of its own, which a job can then take over.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    arrange(&actions, descriptors);
    int rc = posix_spawnp(&pid, program.path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0)
        return spawn_error(rc);
    if (flags & CREATE_SUSPENDED) {
        // posix_spawnp returns after the exec, so this stops the new program itself, before it
        // has done more than begin.
        kill(pid, SIGSTOP);
        siginfo_t info;
        memset(&info, 0, sizeof info);
        while (waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WNOWAIT) == -1 &&
               errno == EINTR) {
        }
    }
    return 0;
}

// Whether the process has ended, without reaping it.
bool has_ended(pid_t pid, siginfo_t &info) {
    memset(&info, 0, sizeof info);
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid != 0;
}

// Records that the process has ended; lock held.
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
std::vector<pid_t> live_in_group_ids(pid_t group) {
    std::vector<pid_t> live;
    if (group == 0)
        return live;
    DIR *dir = opendir("/proc");
    if (dir == nullptr)
        return live;
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
            live.push_back(static_cast<pid_t>(atol(entry->d_name)));
    }
    closedir(dir);
    return live;
}

int live_in_group(pid_t group) {
    return static_cast<int>(live_in_group_ids(group).size());
}

// Records that the process is being terminated with `exit_code`, unless it has ended already:
// as on Windows, an ended process cannot be terminated and keeps its own exit code. Returns
// whether it was still running; lock held.
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

DWORD wait_for_process(HANDLE handle, DWORD milliseconds) {
    if (injected(standin::call_WaitForSingleObject))
        return WAIT_FAILED;
    pid_t pid;
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        Object *process = find_object(handle, &process_type);
        if (process == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
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
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *process = find_object(handle, &process_type);
    if (rc == -1 || process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (info.si_pid == 0)
        return WAIT_TIMEOUT;
    mark_exited(process, info);
    return WAIT_OBJECT_0;
}

bool process_ended(Object &process) {
    siginfo_t info;
    if (!process.exited && has_ended(process.pid, info))
        mark_exited(&process, info);
    return process.exited;
}

void close_process(Object &process) {
    if (!process.exited)
        return;
    waitpid(process.pid, nullptr, 0);
    std::vector<pid_t> &unreaped = processes().unreaped;
    for (size_t i = 0; i < unreaped.size(); ++i) {
        if (unreaped[i] == process.pid) {
            unreaped.erase(unreaped.begin() + static_cast<long>(i));
            break;
        }
    }
}

void close_job(Object &job) {
    if (job.group != 0 && (job.job_limits & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE))
        kill(-job.group, SIGKILL);
}

// The record of a CreateThread thread; lock held.
HostThread *host_thread(DWORD id) {
    for (HostThread &t : processes().threads) {
        if (t.id == id)
            return &t;
    }
    return nullptr;
}

bool host_thread_ended(Object &thread) {
    HostThread *t = host_thread(thread.thread);
    return t == nullptr || t->done;
}

DWORD wait_for_host_thread(HANDLE handle, DWORD milliseconds) {
    if (injected(standin::call_WaitForSingleObject))
        return WAIT_FAILED;
    return wait_any(1, &handle, milliseconds);
}

// Gives the record of what the child inherits, with duplicates of the descriptors to pass;
// lock held.
Descriptors descriptors_for(BOOL inherit_handles, const STARTUPINFOA *startup,
                            standin::Launch &launch) {
    Descriptors d = {};
    d.use_std = startup != nullptr && (startup->dwFlags & STARTF_USESTDHANDLES) != 0;
    if (inherit_handles) {
        for (const Passable &p : inheritable()) {
            d.passed.emplace_back(fcntl(p.fd, F_DUPFD_CLOEXEC, 3), p.fd);
            launch.inherited.push_back(p.what);
        }
    }
    if (!d.use_std)
        return d;
    // As on XP, the std handles are handle values copied into the child: one that was not
    // inherited is no handle there, and the child's own attempt to use it fails.
    const HANDLE handles[3] = {startup->hStdInput, startup->hStdOutput, startup->hStdError};
    std::string *records[3] = {&launch.std_in, &launch.std_out, &launch.std_err};
    for (int i = 0; i < 3; ++i) {
        Passable p;
        bool reaches = inherit_handles && passable(handles[i], &p) && p.inherit;
        d.std[i] = reaches ? fcntl(p.fd, F_DUPFD_CLOEXEC, 3) : -1;
        *records[i] = reaches ? p.what : "closed";
    }
    return d;
}

void close_duplicates(const Descriptors &d) {
    for (const auto &[source, number] : d.passed)
        close(source);
    for (int i = 0; d.use_std && i < 3; ++i) {
        if (d.std[i] >= 0)
            close(d.std[i]);
    }
}

} // namespace

namespace standin::internal {

void end_children() {
    // A test's children do not outlive it.
    for (Object *job : objects_of(job_type)) {
        if (job->group != 0)
            kill(-job->group, SIGKILL);
    }
    // Children whose handles the program has closed too: a kill that failed on purpose must
    // not leave one holding the test's output open.
    for (pid_t pid : processes().unreaped) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
    }
    for (pid_t group : processes().groups)
        kill(-group, SIGKILL);
}

void wait_for_threads(std::unique_lock<std::mutex> &lock) {
    wait_until(lock, "the program's threads to end at a reset", [] {
        for (const HostThread &t : processes().threads) {
            if (!t.done)
                return false;
        }
        return true;
    });
    processes().threads.clear();
}

void reset_process() {
    end_children();
    for (pid_t pid : processes().unreaped)
        waitpid(pid, nullptr, 0);
    processes().unreaped.clear();
    processes().groups.clear();
    processes().launches.clear();
}

int live_children() {
    int live = 0;
    for (Object *process : objects_of(process_type)) {
        siginfo_t info;
        live += !process->exited && !has_ended(process->pid, info) ? 1 : 0;
    }
    return live;
}

int live_in_jobs() {
    int live = 0;
    for (Object *job : objects_of(job_type))
        live += live_in_group(job->group);
    return live;
}

size_t launch_count() {
    return processes().launches.size();
}

pid_t newest_child() {
    std::vector<Object *> all = objects_of(process_type);
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (!process_ended(**it))
            return (*it)->pid;
    }
    return 0;
}

bool is_live_child(pid_t pid) {
    for (Object *process : objects_of(process_type)) {
        if (process->pid == pid && !process_ended(*process))
            return true;
    }
    return false;
}

} // namespace standin::internal

// --- Processes ---

void GetStartupInfoA(LPSTARTUPINFOA info) {
    std::unique_lock<std::mutex> lock(state_mutex());
    wait_at_gate(lock, standin::call_count);
    static char title[] = "tolvard stand-in";
    STARTUPINFOA &startup = processes().startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.lpTitle = title;
    startup.dwFlags = 0x100;
    *info = startup;
}

BOOL CreateProcessA(LPCSTR application, LPSTR command_line, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL inherit_handles, DWORD flags, LPVOID environment,
                    LPCSTR current_directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info) {
    standin::Launch launch = {application == nullptr,
                              command_line != nullptr ? command_line : "",
                              inherit_handles != FALSE,
                              flags,
                              environment == nullptr,
                              current_directory == nullptr,
                              false,
                              false,
                              {},
                              "",
                              "",
                              ""};
    std::vector<std::string> words;
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        launch.startup_as_given = startup != nullptr && memcmp(startup, &processes().startup,
                                                               sizeof processes().startup) == 0;
        words = crt_split(launch.command_line.c_str());
    }
    note("CreateProcessA(" + hex(flags) + ")");
    pid_t pid = 0;
    DWORD error = 0;
    if (injected(standin::call_CreateProcessA)) {
        error = GetLastError();
    } else {
        Descriptors descriptors;
        {
            std::lock_guard<std::mutex> lock(state_mutex());
            descriptors = descriptors_for(inherit_handles, startup, launch);
        }
        error = spawn(words, flags, descriptors, pid);
        close_duplicates(descriptors);
    }
    launch.created = error == 0;
    std::lock_guard<std::mutex> lock(state_mutex());
    processes().launches.push_back(launch);
    if (error == 0) {
        processes().unreaped.push_back(pid);
        processes().groups.push_back(pid);
    }
    state_changed().notify_all();
    if (error != 0)
        return fail_with(error);
    Object process = {};
    process.type = &process_type;
    process.pid = pid;
    Object thread = {};
    thread.type = &thread_type;
    thread.pid = pid;
    info->hProcess = add_object(process);
    info->hThread = add_object(thread);
    info->dwProcessId = static_cast<DWORD>(pid);
    info->dwThreadId = static_cast<DWORD>(pid);
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE handle, LPDWORD exit_code) {
    if (injected(standin::call_GetExitCodeProcess))
        return FALSE;
    if (WaitForSingleObject(handle, 0) == WAIT_FAILED)
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *process = find_object(handle, &process_type);
    if (process == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    *exit_code = process->exited ? process->exit_code : STILL_ACTIVE;
    return TRUE;
}

BOOL TerminateProcess(HANDLE handle, UINT exit_code) {
    note("TerminateProcess(" + std::to_string(exit_code) + ")");
    if (injected(standin::call_TerminateProcess))
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *process = find_object(handle, &process_type);
    if (process == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if (!mark_terminated(process, exit_code))
        return fail_with(ERROR_ACCESS_DENIED);
    kill(process->pid, SIGKILL);
    return TRUE;
}

DWORD ResumeThread(HANDLE handle) {
    note("ResumeThread");
    if (injected(standin::call_ResumeThread))
        return static_cast<DWORD>(-1);
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *thread = find_object(handle, &thread_type);
    if (thread == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    kill(thread->pid, SIGCONT);
    return 1;
}

// --- Threads ---

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID arg,
                    DWORD flags, LPDWORD id) {
    note("CreateThread");
    if (injected(standin::call_CreateThread))
        return nullptr;
    if (start == nullptr || (flags & CREATE_SUSPENDED) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(state_mutex());
    Processes &p = processes();
    HostThread &record = p.threads.emplace_back();
    record.id = ++p.thread_ids;
    record.done = false;
    record.exit_code = STILL_ACTIVE;
    DWORD thread_id = record.id;
    // Detached: once it has said it is done, under the lock, it touches nothing of the
    // stand-in's but that lock (never freed), so a reset that waits for `done` is enough, and a
    // test process may end with threads finished but never joined.
    std::thread([start, arg, thread_id] {
        DWORD result = start(arg);
        std::lock_guard<std::mutex> done(state_mutex());
        HostThread *t = host_thread(thread_id);
        t->exit_code = result;
        t->done = true;
        state_changed().notify_all();
    }).detach();
    Object thread = {};
    thread.type = &host_thread_type;
    thread.thread = thread_id;
    if (id != nullptr)
        *id = thread_id;
    return add_object(thread);
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exit_code) {
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *thread = find_object(handle, &host_thread_type);
    if (thread == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    HostThread *t = host_thread(thread->thread);
    *exit_code = t->done ? t->exit_code : STILL_ACTIVE;
    return TRUE;
}

// --- Jobs ---

HANDLE CreateJobObjectA(LPSECURITY_ATTRIBUTES, LPCSTR name) {
    note("CreateJobObjectA(" + text_or_null(name) + ")");
    if (injected(standin::call_CreateJobObjectA))
        return nullptr;
    Object job = {};
    job.type = &job_type;
    std::lock_guard<std::mutex> lock(state_mutex());
    return add_object(job);
}

BOOL SetInformationJobObject(HANDLE handle, JOBOBJECTINFOCLASS info_class, LPVOID info,
                             DWORD length) {
    if (injected(standin::call_SetInformationJobObject))
        return FALSE;
    DWORD limits;
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        Object *job = find_object(handle, &job_type);
        if (job == nullptr)
            return fail_with(ERROR_INVALID_HANDLE);
        if (info_class != JobObjectExtendedLimitInformation ||
            length != sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION))
            return fail_with(ERROR_INVALID_PARAMETER);
        limits = static_cast<JOBOBJECT_EXTENDED_LIMIT_INFORMATION *>(info)
                     ->BasicLimitInformation.LimitFlags;
        job->job_limits = limits;
    }
    note("SetInformationJobObject(" + hex(limits) + ")");
    return TRUE;
}

BOOL QueryInformationJobObject(HANDLE handle, JOBOBJECTINFOCLASS info_class, LPVOID info,
                               DWORD length, LPDWORD returned) {
    if (injected(standin::call_QueryInformationJobObject))
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *job = find_object(handle, &job_type);
    if (job == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if (info_class == JobObjectBasicProcessIdList) {
        auto *list = static_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST *>(info);
        const size_t header = offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList);
        if (length < sizeof *list)
            return fail_with(ERROR_INVALID_PARAMETER);
        std::vector<pid_t> ids = live_in_group_ids(job->group);
        size_t room = (length - header) / sizeof(ULONG_PTR);
        list->NumberOfAssignedProcesses = static_cast<DWORD>(ids.size());
        list->NumberOfProcessIdsInList = static_cast<DWORD>(ids.size() < room ? ids.size() : room);
        for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i)
            list->ProcessIdList[i] = static_cast<ULONG_PTR>(ids[i]);
        if (returned != nullptr)
            *returned =
                static_cast<DWORD>(header + list->NumberOfProcessIdsInList * sizeof(ULONG_PTR));
        return ids.size() > room ? fail_with(ERROR_MORE_DATA) : TRUE;
    }
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
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *job = find_object(job_handle, &job_type);
    Object *process = find_object(process_handle, &process_type);
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
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *job = find_object(handle, &job_type);
    if (job == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if (job->group == 0)
        return TRUE;
    for (Object *process : objects_of(process_type)) {
        if (process->pid == job->group)
            mark_terminated(process, exit_code);
    }
    kill(-job->group, SIGKILL);
    return TRUE;
}

// --- Test controls ---

namespace standin {

std::vector<Launch> launches() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return processes().launches;
}

} // namespace standin

// What the units of the stand-in share: one lock over all of its state, the handle table, fault
// injection, the trace of calls, and each area's reset. The core (standin_core.cpp) holds them;
// each area (standin_AREA.cpp) implements the calls of one part of the Win32 subset. Tests see
// none of this, only platform/standin_control.h.
//
// A new area is one new standin_AREA.cpp with its tests in standin_AREA_test.cpp, its name in the
// area list of CMakeLists.txt, and its reset hook below, called by standin::reset().
#pragma once

#include "platform/standin.h"
#include "platform/standin_control.h"

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace standin::internal {

// --- The lock ---

/// The one lock over the state of every area: each area's state is read and written under it.
std::mutex &state_mutex();

/// Notified (under the lock) by every change that a wait of the stand-in may be waiting for.
std::condition_variable &state_changed();

/// Ends the process with a message that the stand-in timed out waiting for `what`: a stand-in
/// that waits for ever would hang the test run instead of failing it.
[[noreturn]] void timed_out(const char *what);

/// Waits on state_changed() until `ready` holds, for at most 20 s, else timed_out(what).
template <typename Predicate>
void wait_until(std::unique_lock<std::mutex> &lock, const char *what, Predicate ready) {
    if (!state_changed().wait_for(lock, std::chrono::seconds(20), ready))
        timed_out(what);
}

// --- Handles ---

struct Object;

/// What the core needs to know of one kind of object; each area defines its own kinds.
struct ObjectType {
    const char *name; ///< as a trace may show it
    /// Counted by standin::open_handles(): a handle the program is expected to close.
    bool counted;
    /// Whether CloseHandle takes it (service control manager handles have a close of their own).
    bool closable;
    /// What closing it does besides forgetting it, with the lock held; nullptr: nothing.
    void (*close)(Object &object);
    /// WaitForSingleObject on it, called without the lock; nullptr: it cannot be waited on.
    DWORD (*wait)(HANDLE handle, DWORD milliseconds);
    /// Whether it is signalled, for WaitForMultipleObjects, with the lock held; a successful
    /// wait that takes it (an auto-reset event) clears it. nullptr: it cannot be waited on so.
    bool (*signaled)(Object &object);
    /// Whether its state changes only through calls that notify state_changed() (events and
    /// semaphores): a wait on such objects alone sleeps until notified instead of looking again
    /// every millisecond, as it must for processes, which end without a word.
    bool notifies = false;
};

/// One object behind a handle. A plain record: each kind uses the fields it needs.
struct Object {
    const ObjectType *type;
    DWORD access;     ///< a service control manager handle's access
    std::string name; ///< a service's or a named object's name
    pid_t pid;        ///< a process's, or a thread's process
    int fd;           ///< a file's descriptor
    bool reparse;     ///< a file handle opened on a symbolic link itself
    bool exited;      ///< a process has ended and its exit code is known
    bool terminated;  ///< a process was terminated with exit_code
    DWORD exit_code;  ///< a process's
    pid_t group;      ///< a job's process group, 0 until a process is assigned
    DWORD job_limits; ///< a job's limit flags
    bool signaled;    ///< an event's state
    bool manual;      ///< an event resets by hand only
    bool inherit;     ///< a pipe end, NUL or file handle goes to a child that inherits handles
    DWORD thread;     ///< a CreateThread thread's id
};

/// A handle value never given out before in this process, reset or not: a handle kept across a
/// reset is simply invalid, and can never reach an object made after it.
uintptr_t new_handle_value();

/// Puts the object in the table under a new handle value and returns it; caller holds the lock.
HANDLE add_object(const Object &object);

/// The object behind `handle` if it is a live one of `type` (nullptr: of any type); else nullptr.
/// Caller holds the lock; the pointer is good until the object is dropped or the lock released.
Object *find_object(HANDLE handle, const ObjectType *type);

/// Forgets the object behind `handle`; caller holds the lock.
void drop_object(HANDLE handle);

/// Every live object of `type`, oldest first; caller holds the lock.
std::vector<Object *> objects_of(const ObjectType &type);

/// Every live object with its handle, oldest first; caller holds the lock.
std::vector<std::pair<HANDLE, Object *>> objects_by_handle();

// --- Faults and the trace ---

/// Counts a call of `call` and tells whether it is to fail; if so, GetLastError() now gives the
/// chosen error. Waits first at the dispatcher's gate if it is set at `call`. Takes the lock.
bool injected(Call call);

/// Adds an event to the trace; takes the lock (note_locked: caller holds it).
void note(const std::string &event);
void note_locked(const std::string &event);

/// Sets the last error and returns FALSE.
BOOL fail_with(DWORD error);

/// WaitForMultipleObjects without its count of calls: waits until one of the objects is
/// signalled (see ObjectType::signaled), for at most `milliseconds`.
DWORD wait_any(DWORD count, const HANDLE *handles, DWORD milliseconds);

std::string text_or_null(LPCSTR text); ///< "null" for a null text
std::string hex(DWORD value);          ///< "0x1f"

// --- The areas' hooks, for one another ---

/// Before the areas are reset, standin::reset() ends what could keep a CreateThread thread
/// waiting, then waits for those threads; see standin::reset.
/// Processes: kills every child not yet reaped, with its process group; lock held.
void end_children();
/// Files: closes the descriptor of every pipe end, NUL and file, leaving the handles (a late
/// call on one fails); lock held.
void close_descriptors();
/// The Event Log: lets every ReportEventA that waits go on; lock held.
void release_event_log();
/// Processes: waits (bounded, else timed_out) until every CreateThread thread has returned from
/// its start routine, releasing the lock meanwhile, and forgets them.
void wait_for_threads(std::unique_lock<std::mutex> &lock);

/// Each area back to its defaults, called by standin::reset() in this order with the lock held,
/// after the service thread has been joined and before the handle table is emptied. An area
/// ends here what its objects hold outside the process (children, descriptors).
void reset_system();
void reset_scm();
void reset_process();
void reset_file();
/// How many LockFileEx calls the calling thread has made (standin_file.cpp).
int thread_lock_calls();
void reset_console();
void reset_security();

/// Security: the access checks of standin::set_access_token, for the native path `path`.
/// Each takes the lock itself. Records the DACL of a descriptor made with the file or folder
/// (none: nothing known).
void record_security(const std::string &path, LPSECURITY_ATTRIBUTES attributes);
/// Whether the token may open `path` for `access` (true when it does not exist or its
/// security is unknown, or no token is set).
bool may_open(const std::string &path, DWORD access);
/// Whether the token may make a file (`folder` false) or a folder in the folder of `path`.
bool may_make_in(const std::string &path, bool folder);
/// Forgets the security of `path` (deleted), or moves it to `to` (renamed).
void move_security(const std::string &path, const std::string *to);
void reset_eventlog();

/// System: whether `c` begins a double-byte character in the current code page; caller holds
/// the lock.
bool is_lead_byte(BYTE c);

/// Service control manager: waits while the dispatcher's gate is closed, if it is set at `at`
/// (call_count: GetStartupInfoA); see standin::arm_dispatcher.
void wait_at_gate(std::unique_lock<std::mutex> &lock, Call at);

/// Processes: the stand-in's children still running, the processes still running in its jobs,
/// and how many CreateProcessA calls were made; caller holds the lock.
int live_children();
int live_in_jobs();
size_t launch_count();
/// The process id of the newest child still running and its process group, or 0 if there is
/// none; caller holds the lock.
pid_t newest_child();
/// Whether `pid` is a child of the stand-in still running; caller holds the lock.
bool is_live_child(pid_t pid);

/// Files: what a child can be given of a handle: its descriptor, as a description for
/// standin::Launch ("pipe-read", "pipe-write", "nul", "file:NAME"), and whether it is
/// inheritable. passable() is false for a handle that is no pipe end, NUL or file; caller holds
/// the lock for both.
struct Passable {
    int fd;
    std::string what;
    bool inherit;
};
bool passable(HANDLE handle, Passable *out);
/// Every inheritable pipe end, NUL and file handle, oldest first.
std::vector<Passable> inheritable();

/// Console and windows: registers a window of `pid`; caller holds the lock.
HWND add_window_locked(pid_t pid);

} // namespace standin::internal

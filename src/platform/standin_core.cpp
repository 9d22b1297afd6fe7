// The stand-in's core: the lock, the handle table with the calls that take any handle
// (CloseHandle, WaitForSingleObject), fault injection, the trace, and the reset of every area.
#include "platform/standin_internal.h"

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <map>

namespace standin::internal {
namespace {

struct Fault {
    int calls;
    int armed_at; // calls when the fault was set
    int nth;
    int count;
    DWORD error;
    bool armed;
};

struct Core {
    std::mutex mutex;
    std::condition_variable changed;
    Fault faults[call_count];
    std::vector<std::string> trace;
    std::map<uintptr_t, Object> objects; // by handle value, so oldest first
};

Core &core() {
    static Core c;
    return c;
}

// Outside Core and never reset: a handle value is given out once in the life of the process.
std::atomic<uintptr_t> handles_given;

} // namespace

std::mutex &state_mutex() {
    return core().mutex;
}

std::condition_variable &state_changed() {
    return core().changed;
}

void timed_out(const char *what) {
    fprintf(stderr, "stand-in: timed out waiting for %s\n", what);
    abort();
}

uintptr_t new_handle_value() {
    // Multiples of 4, as Windows gives them; never 0 nor INVALID_HANDLE_VALUE.
    return 4 * ++handles_given;
}

HANDLE add_object(const Object &object) {
    uintptr_t value = new_handle_value();
    core().objects.emplace(value, object);
    return reinterpret_cast<HANDLE>(value);
}

Object *find_object(HANDLE handle, const ObjectType *type) {
    auto it = core().objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == core().objects.end() || (type != nullptr && it->second.type != type))
        return nullptr;
    return &it->second;
}

void drop_object(HANDLE handle) {
    core().objects.erase(reinterpret_cast<uintptr_t>(handle));
}

std::vector<Object *> objects_of(const ObjectType &type) {
    std::vector<Object *> found;
    for (auto &[value, object] : core().objects) {
        if (object.type == &type)
            found.push_back(&object);
    }
    return found;
}

bool injected(Call call) {
    std::unique_lock<std::mutex> lock(state_mutex());
    wait_at_gate(lock, call);
    Fault &f = core().faults[call];
    ++f.calls;
    int since = f.calls - f.armed_at;
    if (f.armed && (f.nth == 0 || (since >= f.nth && since < f.nth + f.count))) {
        SetLastError(f.error);
        return true;
    }
    return false;
}

void note(const std::string &event) {
    std::lock_guard<std::mutex> lock(state_mutex());
    note_locked(event);
}

void note_locked(const std::string &event) {
    core().trace.push_back(event);
}

DWORD wait_any(DWORD count, const HANDLE *handles, DWORD milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> lock(state_mutex());
    for (;;) {
        for (DWORD i = 0; i < count; ++i) {
            Object *object = find_object(handles[i], nullptr);
            if (object == nullptr || object->type->signaled == nullptr) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
        }
        bool notified = true;
        for (DWORD i = 0; i < count; ++i) {
            Object *object = find_object(handles[i], nullptr);
            if (object->type->signaled(*object))
                return WAIT_OBJECT_0 + i;
            notified = notified && object->type->notifies;
        }
        auto now = std::chrono::steady_clock::now();
        if (milliseconds != INFINITE && now >= deadline)
            return WAIT_TIMEOUT;
        // Events and semaphores notify when set; processes end without a word, so look again
        // soon.
        if (!notified)
            state_changed().wait_for(lock, std::chrono::milliseconds(1));
        else if (milliseconds != INFINITE)
            state_changed().wait_for(lock, deadline - now);
        else
            state_changed().wait(lock);
    }
}

std::vector<std::pair<HANDLE, Object *>> objects_by_handle() {
    std::vector<std::pair<HANDLE, Object *>> found;
    for (auto &[value, object] : core().objects)
        found.emplace_back(reinterpret_cast<HANDLE>(value), &object);
    return found;
}

BOOL fail_with(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::string text_or_null(LPCSTR text) {
    return text == nullptr ? "null" : text;
}

std::string hex(DWORD value) {
    char buffer[16];
    snprintf(buffer, sizeof buffer, "0x%x", value);
    return buffer;
}

} // namespace standin::internal

using namespace standin::internal;

BOOL CloseHandle(HANDLE handle) {
    if (injected(standin::call_CloseHandle))
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *object = find_object(handle, nullptr);
    if (object == nullptr || !object->type->closable)
        return fail_with(ERROR_INVALID_HANDLE);
    if (object->type->close != nullptr)
        object->type->close(*object);
    drop_object(handle);
    // A wait on it looks again, and fails.
    state_changed().notify_all();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    DWORD (*wait)(HANDLE, DWORD) = nullptr;
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        if (Object *object = find_object(handle, nullptr))
            wait = object->type->wait;
    }
    if (wait != nullptr)
        return wait(handle, milliseconds);
    // Counted as a wait like any other, then refused.
    if (injected(standin::call_WaitForSingleObject))
        return WAIT_FAILED;
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all,
                             DWORD milliseconds) {
    if (injected(standin::call_WaitForMultipleObjects))
        return WAIT_FAILED;
    if (count == 0 || count > 64 || wait_all) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return wait_any(count, handles, milliseconds);
}

namespace standin {

void reset() {
    join_service();
    {
        // A thread of the program's may wait in ReadFile on a pipe: it returns once the children
        // and the stand-in's own descriptors no longer hold a write end, and the thread can then
        // run to its end, calling into the stand-in, before any state it may touch is cleared.
        // One that waits in ReportEventA goes on once the log is released.
        std::unique_lock<std::mutex> lock(state_mutex());
        end_children();
        close_descriptors();
        release_event_log();
        wait_for_threads(lock);
    }
    std::lock_guard<std::mutex> lock(state_mutex());
    Core &c = core();
    for (internal::Fault &f : c.faults)
        f = internal::Fault{0, 0, 0, 0, 0, false};
    c.trace.clear();
    reset_system();
    reset_scm();
    reset_process();
    reset_file();
    reset_console();
    reset_security();
    reset_eventlog();
    c.objects.clear();
}

void fail(Call call, int nth, DWORD error, int count) {
    std::lock_guard<std::mutex> lock(state_mutex());
    internal::Fault &f = core().faults[call];
    f = internal::Fault{f.calls, f.calls, nth, count, error, true};
}

int calls(Call call) {
    std::lock_guard<std::mutex> lock(state_mutex());
    return core().faults[call].calls;
}

std::vector<std::string> trace() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return core().trace;
}

int open_handles() {
    std::lock_guard<std::mutex> lock(state_mutex());
    int count = 0;
    for (const auto &[value, object] : core().objects)
        count += object.type->counted ? 1 : 0;
    return count;
}

} // namespace standin

// The stand-in's service control manager: the service database (OpenSCManagerA and the service
// calls) and the dispatcher, which runs the service main on a thread of its own and plays the
// test's script of controls against it.
#include "platform/standin_internal.h"

#include <chrono>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <thread>

using namespace standin::internal;

namespace {

// Named as the trace of CloseServiceHandle names them.
const ObjectType manager_type = {"manager", true, false, nullptr, nullptr, nullptr};
const ObjectType service_type = {"service", true, false, nullptr, nullptr, nullptr};

struct Scm {
    std::vector<standin::Service> services;

    bool armed = false;
    bool gate = false;
    standin::Call gate_at = standin::call_count; // call_count: GetStartupInfoA
    bool at_gate = false;
    std::vector<standin::Step> script;
    std::thread service_thread;
    bool service_returned = false;
    std::string dispatched_name;
    std::string registered_name;
    LPHANDLER_FUNCTION handler = nullptr;
    uintptr_t status_handle = 0; // of the latest dispatch
    std::vector<standin::Report> reports;
    std::vector<standin::HandledControl> handled;
};

Scm &scm() {
    static Scm s;
    return s;
}

// The database's entry of that name (names are compared without regard to ASCII case); lock held.
std::vector<standin::Service>::iterator service_named(const char *name) {
    std::vector<standin::Service> &services = scm().services;
    for (auto it = services.begin(); it != services.end(); ++it) {
        if (name != nullptr && strcasecmp(it->name.c_str(), name) == 0)
            return it;
    }
    return services.end();
}

SC_HANDLE new_service_handle(const char *name, DWORD access) {
    Object service = {};
    service.type = &service_type;
    service.access = access;
    service.name = name;
    return static_cast<SC_HANDLE>(add_object(service));
}

// Follows one step of the test's script, on the dispatcher's thread.
void play(const standin::Step &step, std::unique_lock<std::mutex> &lock) {
    Scm &s = scm();
    switch (step.kind) {
    case standin::step_control: {
        wait_until(lock, "the handler", [&] { return s.handler != nullptr; });
        LPHANDLER_FUNCTION handler = s.handler;
        lock.unlock();
        int locks_before = standin::internal::thread_lock_calls();
        auto begin = std::chrono::steady_clock::now();
        handler(step.value);
        long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - begin)
                                        .count());
        int locks = standin::internal::thread_lock_calls() - locks_before;
        lock.lock();
        s.handled.push_back({step.value, ms, locks});
        break;
    }
    case standin::step_wait_state:
        wait_until(lock, "a reported state", [&] {
            for (const standin::Report &r : s.reports) {
                if (r.status.dwCurrentState == step.value)
                    return true;
            }
            return false;
        });
        break;
    case standin::step_wait_launch:
        wait_until(lock, "a launch", [] { return launch_count() > 0; });
        break;
    case standin::step_wait_job_processes: {
        // Processes come and go without a word to the stand-in: look until they are there.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (live_in_jobs() < static_cast<int>(step.value)) {
            if (std::chrono::steady_clock::now() >= deadline)
                timed_out("processes in a job");
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            lock.lock();
        }
        break;
    }
    case standin::step_wait_gate:
        wait_until(lock, "the gate", [&] { return s.at_gate; });
        break;
    case standin::step_open_gate:
        s.gate = false;
        state_changed().notify_all();
        break;
    case standin::step_wait_child_ready: {
        // The child writes the file once it is ready; it says nothing to the stand-in.
        const char *record = getenv("TOLVARD_CHILD_RECORD");
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            FILE *f = record != nullptr ? fopen(record, "rb") : nullptr;
            bool written = f != nullptr && fgetc(f) != EOF;
            if (f != nullptr)
                fclose(f);
            if (written)
                break;
            if (std::chrono::steady_clock::now() >= deadline)
                timed_out("the child's record");
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            lock.lock();
        }
        break;
    }
    case standin::step_add_window: {
        // A child may be ready before CreateProcessA has returned: the stand-in stops a
        // suspended one only once it runs, and it may have begun by then.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        pid_t pid = newest_child();
        while (pid == 0) {
            if (std::chrono::steady_clock::now() >= deadline)
                timed_out("a child to own a window");
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            lock.lock();
            pid = newest_child();
        }
        add_window_locked(pid);
        break;
    }
    case standin::step_sleep:
        lock.unlock();
        Sleep(step.value);
        lock.lock();
        break;
    }
}

} // namespace

namespace standin::internal {

void reset_scm() {
    Scm &s = scm();
    s.services.clear();
    s.armed = false;
    s.gate = false;
    s.gate_at = standin::call_count;
    s.at_gate = false;
    s.script.clear();
    s.service_returned = false;
    s.dispatched_name.clear();
    s.registered_name.clear();
    s.handler = nullptr;
    s.status_handle = 0;
    s.reports.clear();
    s.handled.clear();
}

void wait_at_gate(std::unique_lock<std::mutex> &lock, Call at) {
    Scm &s = scm();
    if (!s.gate || s.gate_at != at)
        return;
    s.at_gate = true;
    state_changed().notify_all();
    wait_until(lock, "the gate to open", [&] { return !s.gate; });
    s.at_gate = false;
}

} // namespace standin::internal

// --- The service database ---

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
    note("OpenSCManagerA(" + text_or_null(machine) + "," + text_or_null(database) + "," +
         hex(access) + ")");
    if (injected(standin::call_OpenSCManagerA))
        return nullptr;
    Object manager = {};
    manager.type = &manager_type;
    manager.access = access;
    std::lock_guard<std::mutex> lock(state_mutex());
    return static_cast<SC_HANDLE>(add_object(manager));
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR display_name, DWORD access,
                         DWORD service_type, DWORD start_type, DWORD error_control,
                         LPCSTR binary_path, LPCSTR load_order_group, LPDWORD tag,
                         LPCSTR dependencies, LPCSTR account, LPCSTR password) {
    note("CreateServiceA(" + text_or_null(name) + ")");
    if (injected(standin::call_CreateServiceA))
        return nullptr;
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *m = find_object(manager, &manager_type);
    if (m == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((m->access & SC_MANAGER_CREATE_SERVICE) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (name == nullptr || *name == '\0' || strchr(name, '/') != nullptr ||
        strchr(name, '\\') != nullptr) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (binary_path == nullptr || *binary_path == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    for (const standin::Service &existing : scm().services) {
        if (strcasecmp(existing.name.c_str(), name) == 0) {
            SetLastError(ERROR_SERVICE_EXISTS);
            return nullptr;
        }
        if (display_name != nullptr &&
            strcasecmp(existing.display_name.c_str(), display_name) == 0) {
            SetLastError(ERROR_DUPLICATE_SERVICE_NAME);
            return nullptr;
        }
    }
    scm().services.push_back({name, display_name != nullptr ? display_name : name, access,
                              service_type, start_type, error_control, binary_path,
                              load_order_group == nullptr, tag == nullptr, dependencies == nullptr,
                              account == nullptr, password == nullptr, false, SERVICE_SID_TYPE_NONE,
                              "", ""});
    return new_service_handle(name, access);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    note("OpenServiceA(" + text_or_null(name) + "," + hex(access) + ")");
    if (injected(standin::call_OpenServiceA))
        return nullptr;
    std::lock_guard<std::mutex> lock(state_mutex());
    if (find_object(manager, &manager_type) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (service_named(name) == scm().services.end()) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return new_service_handle(name, access);
}

BOOL DeleteService(SC_HANDLE handle) {
    note("DeleteService");
    if (injected(standin::call_DeleteService))
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *service = find_object(handle, &service_type);
    if (service == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if ((service->access & DELETE) == 0)
        return fail_with(ERROR_ACCESS_DENIED);
    auto entry = service_named(service->name.c_str());
    if (entry == scm().services.end())
        return fail_with(ERROR_SERVICE_MARKED_FOR_DELETE);
    scm().services.erase(entry);
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    std::string what = "invalid";
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        Object *object = find_object(handle, nullptr);
        if (object != nullptr && !object->type->closable)
            what = object->type->name;
    }
    note("CloseServiceHandle(" + what + ")");
    if (injected(standin::call_CloseServiceHandle))
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    if (find_object(handle, &manager_type) == nullptr &&
        find_object(handle, &service_type) == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    drop_object(handle);
    // Windows does not promise that a call that works leaves the last error alone; this one
    // clears it, so a caller that reads the error of an earlier call only after closing shows.
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetServiceObjectSecurity(SC_HANDLE service, SECURITY_INFORMATION what,
                              PSECURITY_DESCRIPTOR descriptor) {
    note("SetServiceObjectSecurity(" + hex(what) + ")");
    if (injected(standin::call_SetServiceObjectSecurity))
        return FALSE;
    std::string dacl = standin::dacl_text(descriptor);
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *s = find_object(service, &service_type);
    if (s == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if ((s->access & WRITE_DAC) == 0)
        return fail_with(ERROR_ACCESS_DENIED);
    if (what != DACL_SECURITY_INFORMATION || descriptor == nullptr)
        return fail_with(ERROR_INVALID_PARAMETER);
    auto it = service_named(s->name.c_str());
    if (it == scm().services.end())
        return fail_with(ERROR_SERVICE_MARKED_FOR_DELETE);
    it->dacl = dacl;
    return TRUE;
}

// --- The dispatcher ---

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *table) {
    if (injected(standin::call_StartServiceCtrlDispatcherA))
        return FALSE;
    std::unique_lock<std::mutex> lock(state_mutex());
    Scm &s = scm();
    if (!s.armed)
        return fail_with(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    s.armed = false;
    s.dispatched_name = table[0].lpServiceName;
    s.service_returned = false;
    s.status_handle = new_handle_value();
    LPSERVICE_MAIN_FUNCTIONA service_main = table[0].lpServiceProc;
    std::string name = table[0].lpServiceName;
    s.service_thread = std::thread([service_main, name] {
        std::string copy = name;
        char *argv[2] = {copy.data(), nullptr};
        service_main(1, argv);
        std::lock_guard<std::mutex> l(state_mutex());
        scm().service_returned = true;
        state_changed().notify_all();
    });
    std::vector<standin::Step> script = s.script;
    for (const standin::Step &step : script)
        play(step, lock);
    wait_until(lock, "the stopped report", [&] {
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
    std::lock_guard<std::mutex> lock(state_mutex());
    Scm &s = scm();
    if (name == nullptr || s.status_handle == 0 || s.dispatched_name != name) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    s.registered_name = name;
    s.handler = handler;
    state_changed().notify_all();
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(s.status_handle);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    bool failed = injected(standin::call_SetServiceStatus);
    std::lock_guard<std::mutex> lock(state_mutex());
    Scm &s = scm();
    if (!failed &&
        (s.status_handle == 0 || reinterpret_cast<uintptr_t>(handle) != s.status_handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        failed = true;
    }
    s.reports.push_back({*status, !failed, live_children(), live_in_jobs()});
    state_changed().notify_all();
    return failed ? FALSE : TRUE;
}

BOOL ChangeServiceConfig2A(SC_HANDLE handle, DWORD info_level, LPVOID info) {
    note("ChangeServiceConfig2A(" + std::to_string(info_level) + ")");
    if (injected(standin::call_ChangeServiceConfig2A))
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *service = find_object(handle, &service_type);
    if (service == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if ((info_level != SERVICE_CONFIG_FAILURE_ACTIONS_FLAG &&
         info_level != SERVICE_CONFIG_DESCRIPTION &&
         info_level != SERVICE_CONFIG_SERVICE_SID_INFO) ||
        info == nullptr)
        return fail_with(ERROR_INVALID_PARAMETER);
    if ((service->access & 0x0002u) == 0) // SERVICE_CHANGE_CONFIG
        return fail_with(ERROR_ACCESS_DENIED);
    auto entry = service_named(service->name.c_str());
    if (entry == scm().services.end())
        return fail_with(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (info_level == SERVICE_CONFIG_DESCRIPTION) {
        const char *text = static_cast<SERVICE_DESCRIPTIONA *>(info)->lpDescription;
        if (text != nullptr)
            entry->description = text;
        return TRUE;
    }
    if (info_level == SERVICE_CONFIG_SERVICE_SID_INFO) {
        entry->sid_type = static_cast<SERVICE_SID_INFO *>(info)->dwServiceSidType;
        return TRUE;
    }
    entry->failure_actions_on_non_crash =
        static_cast<SERVICE_FAILURE_ACTIONS_FLAG *>(info)->fFailureActionsOnNonCrashFailures != 0;
    return TRUE;
}

// --- Test controls ---

namespace standin {

void arm_dispatcher(const std::vector<Step> &script, bool gate, Call gate_at) {
    std::lock_guard<std::mutex> lock(state_mutex());
    scm().armed = true;
    scm().script = script;
    scm().gate = gate;
    scm().gate_at = gate_at;
}

void join_service() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        thread.swap(scm().service_thread);
    }
    if (thread.joinable())
        thread.join();
}

std::vector<Report> reports() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return scm().reports;
}

std::vector<HandledControl> handled_controls() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return scm().handled;
}

std::string dispatched_name() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return scm().dispatched_name;
}

std::string registered_name() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return scm().registered_name;
}

std::vector<Service> services() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return scm().services;
}

void add_service(const char *name) {
    std::lock_guard<std::mutex> lock(state_mutex());
    scm().services.push_back({name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              "x.exe " + std::string(name), true, true, true, true, true, false,
                              SERVICE_SID_TYPE_NONE, "", ""});
}

} // namespace standin

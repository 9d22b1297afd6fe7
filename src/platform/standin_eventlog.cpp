// The stand-in's Event Log: event sources of this machine and the events reported through them,
// recorded for the tests instead of written anywhere. The event log service of Windows answers
// over RPC and may be slow; standin::hold_event_log makes the reports wait as it would.
#include "platform/standin_internal.h"

using namespace standin::internal;

namespace {

const ObjectType source_type = {"event source", true, false, nullptr, nullptr, nullptr};

struct EventLog {
    std::vector<standin::ReportedEvent> events;
    bool held = false;
    int waiting = 0;
};

EventLog &event_log() {
    static EventLog e;
    return e;
}

} // namespace

namespace standin::internal {

void release_event_log() {
    event_log().held = false;
    state_changed().notify_all();
}

void reset_eventlog() {
    EventLog &e = event_log();
    e.events.clear();
    e.held = false;
}

} // namespace standin::internal

HANDLE RegisterEventSourceA(LPCSTR server, LPCSTR source) {
    note("RegisterEventSourceA(" + text_or_null(server) + "," + text_or_null(source) + ")");
    if (injected(standin::call_RegisterEventSourceA))
        return nullptr;
    if (server != nullptr || source == nullptr || *source == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Object object = {};
    object.type = &source_type;
    object.name = source;
    std::lock_guard<std::mutex> lock(state_mutex());
    return add_object(object);
}

BOOL ReportEventA(HANDLE source, WORD type, WORD category, DWORD id, void *, WORD count,
                  DWORD data_size, LPCSTR *strings, LPVOID data) {
    note("ReportEventA(" + hex(type) + "," + std::to_string(id) + "," + std::to_string(count) +
         ")");
    if (injected(standin::call_ReportEventA))
        return FALSE;
    std::unique_lock<std::mutex> lock(state_mutex());
    EventLog &e = event_log();
    ++e.waiting;
    wait_until(lock, "the event log to be released", [&] { return !e.held; });
    --e.waiting;
    Object *object = find_object(source, &source_type);
    if (object == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    bool known_type = type == EVENTLOG_SUCCESS || type == EVENTLOG_ERROR_TYPE ||
                      type == EVENTLOG_WARNING_TYPE || type == EVENTLOG_INFORMATION_TYPE;
    if (!known_type || (count > 0 && strings == nullptr) || data_size != 0 || data != nullptr)
        return fail_with(ERROR_INVALID_PARAMETER);
    standin::ReportedEvent event = {object->name, type, category, id, {}, 0};
    for (WORD i = 0; i < count; ++i) {
        if (strings[i] == nullptr)
            return fail_with(ERROR_INVALID_PARAMETER);
        event.strings.push_back(strings[i]);
    }
    lock.unlock();
    event.tick = GetTickCount();
    lock.lock();
    e.events.push_back(event);
    return TRUE;
}

BOOL DeregisterEventSource(HANDLE source) {
    note("DeregisterEventSource");
    std::lock_guard<std::mutex> lock(state_mutex());
    if (find_object(source, &source_type) == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    drop_object(source);
    return TRUE;
}

namespace standin {

std::vector<ReportedEvent> reported_events() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return event_log().events;
}

void hold_event_log(bool held) {
    std::lock_guard<std::mutex> lock(state_mutex());
    event_log().held = held;
    state_changed().notify_all();
}

int waiting_reports() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return event_log().waiting;
}

} // namespace standin

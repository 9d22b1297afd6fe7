// The stand-in's system calls: errors and their texts, the module file name and command line,
// ExitProcess, Sleep and the tick count, double-byte code pages, the environment, the process heap,
// critical sections, events and semaphores, the registry and the C runtime's time.
#include "platform/standin_internal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <map>
#include <thread>

using namespace standin::internal;

namespace {

thread_local DWORD last_error;

bool event_signaled(Object &event);
DWORD wait_for_event(HANDLE handle, DWORD milliseconds);
const ObjectType event_type = {"event", true, true, nullptr, wait_for_event, event_signaled, true};
bool semaphore_signaled(Object &semaphore);
DWORD wait_for_semaphore(HANDLE handle, DWORD milliseconds);
const ObjectType semaphore_type = {"semaphore",        true, true, nullptr, wait_for_semaphore,
                                   semaphore_signaled, true};
const ObjectType key_type = {"key", true, true, nullptr, nullptr, nullptr};

struct Value {
    DWORD type;
    std::string data;
};

// Registry keys and value names compare without regard to ASCII case.
struct NoCase {
    bool operator()(const std::string &a, const std::string &b) const {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};

// Windows' English texts, as FormatMessageA gives them with FORMAT_MESSAGE_IGNORE_INSERTS.
const std::map<DWORD, std::string> windows_messages = {
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this "
                              "command.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is "
                         "incorrect.\r\n"},
    {ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed "
                                   "service.\r\n"},
    {ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion.\r\n"},
    {ERROR_SERVICE_EXISTS, "The specified service already exists.\r\n"},
    {ERROR_DUPLICATE_SERVICE_NAME, "The name is already in use as either a service name or a "
                                   "service display name.\r\n"},
};

struct System {
    // By key path under HKEY_LOCAL_MACHINE, then by value name.
    std::map<std::string, std::map<std::string, Value, NoCase>, NoCase> registry;
    std::string module_file_name;
    bool module_set = false;
    std::string command_line;
    bool command_line_set = false;
    UINT code_page = 1252;
    void (*exit_hook)() = nullptr;
    bool clock_set = false;
    __time64_t clock = 0;
    bool ticks_set = false;
    DWORD ticks = 0;
    std::map<DWORD, std::string> messages = windows_messages;
};

System &system_state() {
    static System s;
    return s;
}

bool event_signaled(Object &event) {
    bool was = event.signaled;
    if (!event.manual)
        event.signaled = false;
    return was;
}

DWORD wait_for_event(HANDLE handle, DWORD milliseconds) {
    if (injected(standin::call_WaitForSingleObject))
        return WAIT_FAILED;
    return wait_any(1, &handle, milliseconds);
}

// A semaphore keeps its count in `exit_code` and its maximum in `access`.
bool semaphore_signaled(Object &semaphore) {
    if (semaphore.exit_code == 0)
        return false;
    --semaphore.exit_code;
    return true;
}

DWORD wait_for_semaphore(HANDLE handle, DWORD milliseconds) {
    if (injected(standin::call_WaitForSingleObject))
        return WAIT_FAILED;
    return wait_any(1, &handle, milliseconds);
}

// Whether the key `path` exists: created, given a value, or the parent of one that is; lock held.
bool key_exists(const std::string &path) {
    for (const auto &[key, values] : system_state().registry) {
        if (strcasecmp(key.c_str(), path.c_str()) == 0 ||
            (key.size() > path.size() && key[path.size()] == '\\' &&
             strncasecmp(key.c_str(), path.c_str(), path.size()) == 0))
            return true;
    }
    return false;
}

} // namespace

namespace standin::internal {

void reset_system() {
    System &s = system_state();
    s.module_set = false;
    s.command_line_set = false;
    s.code_page = 1252;
    s.exit_hook = nullptr;
    s.clock_set = false;
    s.registry.clear();
    s.ticks_set = false;
    s.messages = windows_messages;
}

bool is_lead_byte(BYTE c) {
    if (system_state().code_page == 932)
        return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    return false;
}

} // namespace standin::internal

DWORD GetLastError(void) {
    return last_error;
}

void SetLastError(DWORD error) {
    last_error = error;
}

DWORD GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size) {
    std::string path;
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        System &s = system_state();
        path = s.module_file_name;
        if (!s.module_set) {
            char real[4096];
            ssize_t n = readlink("/proc/self/exe", real, sizeof real - 1);
            path.assign(real, n > 0 ? static_cast<size_t>(n) : 0);
            // Shown as Windows shows paths; standin::native_path turns the separators back.
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
    std::lock_guard<std::mutex> lock(state_mutex());
    System &s = system_state();
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
    void (*hook)();
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        hook = system_state().exit_hook;
    }
    if (hook != nullptr)
        hook();
    _exit(static_cast<int>(status));
}

void Sleep(DWORD milliseconds) {
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        if (system_state().ticks_set) {
            system_state().ticks += milliseconds;
            milliseconds = 0;
        }
    }
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    else
        std::this_thread::yield();
}

DWORD GetTickCount(void) {
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        if (system_state().ticks_set)
            return system_state().ticks;
    }
    static const auto start = std::chrono::steady_clock::now();
    auto since = std::chrono::steady_clock::now() - start;
    // Not from 0, so that a caller's sums meet the wrap of the count early.
    return 0xFFFF0000u +
           static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

DWORD GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}

extern char **environ;

// The value of the variable `name` in any case of its letters, as Windows finds it; nullptr if
// it is not set.
static const char *environment_value(const std::string &name) {
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (strncasecmp(*entry, name.c_str(), name.size()) == 0 && (*entry)[name.size()] == '=')
            return *entry + name.size() + 1;
    }
    return nullptr;
}

DWORD ExpandEnvironmentStringsA(LPCSTR text, LPSTR buffer, DWORD size) {
    std::string expanded;
    for (const char *p = text; *p != '\0';) {
        const char *end = *p == '%' ? strchr(p + 1, '%') : nullptr;
        const char *value = nullptr;
        if (end != nullptr && end > p + 1)
            value = environment_value(std::string(p + 1, end));
        if (value != nullptr) {
            expanded += value;
            p = end + 1;
        } else {
            expanded += *p++;
        }
    }
    // Windows counts the terminator, and copies nothing into a buffer that is too small.
    DWORD needed = static_cast<DWORD>(expanded.size() + 1);
    if (buffer != nullptr && needed <= size)
        memcpy(buffer, expanded.c_str(), needed);
    return needed;
}

namespace {

// Copies `text` as the two calls do: its length when it fits with its NUL, else the size needed.
UINT folder_text(const char *text, LPSTR buffer, UINT size) {
    UINT length = static_cast<UINT>(strlen(text));
    if (buffer == nullptr || size <= length)
        return length + 1;
    memcpy(buffer, text, length + 1);
    return length;
}

} // namespace

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    if (injected(standin::call_GetSystemDirectoryA))
        return 0;
    return folder_text("C:\\Windows\\System32", buffer, size);
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    if (injected(standin::call_GetWindowsDirectoryA))
        return 0;
    return folder_text("C:\\Windows", buffer, size);
}

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id, LPSTR buffer,
                     DWORD size, va_list *) {
    if (injected(standin::call_FormatMessageA))
        return 0;
    if (flags != (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS) ||
        source != nullptr || language_id != 0 || buffer == nullptr)
        return fail_with(ERROR_INVALID_PARAMETER);
    std::string text;
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        auto it = system_state().messages.find(message_id);
        if (it == system_state().messages.end())
            return fail_with(ERROR_MR_MID_NOT_FOUND);
        text = it->second;
    }
    if (text.size() + 1 > size)
        return fail_with(ERROR_INSUFFICIENT_BUFFER);
    memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

HANDLE GetProcessHeap(void) {
    // Any value but null: the stand-in has one heap.
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x10000));
}

LPVOID HeapAlloc(HANDLE heap, DWORD, SIZE_T size) {
    if (injected(standin::call_HeapAlloc) || heap != GetProcessHeap())
        return nullptr;
    return malloc(size > 0 ? size : 1);
}

BOOL HeapFree(HANDLE heap, DWORD, LPVOID block) {
    if (heap != GetProcessHeap())
        return fail_with(ERROR_INVALID_HANDLE);
    free(block);
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCSTR name) {
    note("CreateEventA(" + text_or_null(name) + ")");
    if (injected(standin::call_CreateEventA))
        return nullptr;
    if (name != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Object event = {};
    event.type = &event_type;
    event.manual = manual_reset != FALSE;
    event.signaled = initial_state != FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    return add_object(event);
}

BOOL SetEvent(HANDLE handle) {
    note("SetEvent");
    if (injected(standin::call_SetEvent))
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *event = find_object(handle, &event_type);
    if (event == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    event->signaled = true;
    state_changed().notify_all();
    return TRUE;
}

LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD, DWORD access, PHKEY result) {
    note("RegOpenKeyExA(" + text_or_null(sub_key) + ")");
    if (injected(standin::call_RegOpenKeyExA))
        return static_cast<LONG>(GetLastError());
    std::lock_guard<std::mutex> lock(state_mutex());
    if (key != HKEY_LOCAL_MACHINE || sub_key == nullptr)
        return ERROR_INVALID_HANDLE;
    if (!key_exists(sub_key))
        return ERROR_FILE_NOT_FOUND;
    Object object = {};
    object.type = &key_type;
    object.name = sub_key;
    object.access = access;
    *result = static_cast<HKEY>(add_object(object));
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD, LPSTR key_class, DWORD options, DWORD access,
                     LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition) {
    note("RegCreateKeyExA(" + text_or_null(sub_key) + ")");
    if (injected(standin::call_RegCreateKeyExA))
        return static_cast<LONG>(GetLastError());
    std::lock_guard<std::mutex> lock(state_mutex());
    if (key != HKEY_LOCAL_MACHINE)
        return ERROR_INVALID_HANDLE;
    if (sub_key == nullptr || *sub_key == '\0' || key_class != nullptr || security != nullptr ||
        options != REG_OPTION_NON_VOLATILE)
        return ERROR_INVALID_PARAMETER;
    bool existed = key_exists(sub_key);
    if (!existed)
        system_state().registry[sub_key];
    if (disposition != nullptr)
        *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    Object object = {};
    object.type = &key_type;
    object.name = sub_key;
    object.access = access;
    *result = static_cast<HKEY>(add_object(object));
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    note("RegQueryValueExA(" + text_or_null(name) + ")");
    if (injected(standin::call_RegQueryValueExA))
        return static_cast<LONG>(GetLastError());
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *object = find_object(key, &key_type);
    if (object == nullptr)
        return ERROR_INVALID_HANDLE;
    if ((object->access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    auto &values = system_state().registry[object->name];
    auto it = values.find(name != nullptr ? name : "");
    if (it == values.end())
        return ERROR_FILE_NOT_FOUND;
    const Value &value = it->second;
    if (type != nullptr)
        *type = value.type;
    DWORD needed = static_cast<DWORD>(value.data.size());
    if (data == nullptr) {
        if (size != nullptr)
            *size = needed;
        return ERROR_SUCCESS;
    }
    if (size == nullptr)
        return ERROR_INVALID_PARAMETER;
    DWORD room = *size;
    *size = needed;
    if (room < needed)
        return ERROR_MORE_DATA;
    memcpy(data, value.data.data(), needed);
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE *data, DWORD size) {
    note("RegSetValueExA(" + text_or_null(name) + "," + std::to_string(type) + ")");
    if (injected(standin::call_RegSetValueExA))
        return static_cast<LONG>(GetLastError());
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *object = find_object(key, &key_type);
    if (object == nullptr)
        return ERROR_INVALID_HANDLE;
    if ((object->access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    if ((data == nullptr && size > 0) || (type == REG_DWORD && size != 4))
        return ERROR_INVALID_PARAMETER;
    std::string stored(reinterpret_cast<const char *>(data), data != nullptr ? size : 0);
    system_state().registry[object->name][name != nullptr ? name : ""] = {type, stored};
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    std::lock_guard<std::mutex> lock(state_mutex());
    if (find_object(key, &key_type) == nullptr)
        return ERROR_INVALID_HANDLE;
    drop_object(key);
    return ERROR_SUCCESS;
}

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG initial, LONG maximum, LPCSTR name) {
    note("CreateSemaphoreA(" + text_or_null(name) + ")");
    if (injected(standin::call_CreateSemaphoreA))
        return nullptr;
    if (name != nullptr || maximum <= 0 || initial < 0 || initial > maximum) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Object semaphore = {};
    semaphore.type = &semaphore_type;
    semaphore.exit_code = static_cast<DWORD>(initial);
    semaphore.access = static_cast<DWORD>(maximum);
    std::lock_guard<std::mutex> lock(state_mutex());
    return add_object(semaphore);
}

BOOL ReleaseSemaphore(HANDLE handle, LONG count, LONG *previous) {
    note("ReleaseSemaphore(" + std::to_string(count) + ")");
    if (injected(standin::call_ReleaseSemaphore))
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *semaphore = find_object(handle, &semaphore_type);
    if (semaphore == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if (count <= 0)
        return fail_with(ERROR_INVALID_PARAMETER);
    if (static_cast<DWORD>(count) > semaphore->access - semaphore->exit_code)
        return fail_with(ERROR_TOO_MANY_POSTS);
    if (previous != nullptr)
        *previous = static_cast<LONG>(semaphore->exit_code);
    semaphore->exit_code += static_cast<DWORD>(count);
    state_changed().notify_all();
    return TRUE;
}

BOOL IsDBCSLeadByte(BYTE c) {
    std::lock_guard<std::mutex> lock(state_mutex());
    return is_lead_byte(c) ? TRUE : FALSE;
}

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    cs->opaque = new std::recursive_mutex;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    static_cast<std::recursive_mutex *>(cs->opaque)->lock();
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    return static_cast<std::recursive_mutex *>(cs->opaque)->try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    static_cast<std::recursive_mutex *>(cs->opaque)->unlock();
}

__time64_t _time64(__time64_t *now) {
    __time64_t t = time(nullptr);
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        if (system_state().clock_set)
            t = system_state().clock;
    }
    if (now != nullptr)
        *now = t;
    return t;
}

struct tm *_localtime64(const __time64_t *time) {
    time_t t = static_cast<time_t>(*time);
    return localtime(&t);
}

namespace standin {

void set_module_file_name(const char *path) {
    std::lock_guard<std::mutex> lock(state_mutex());
    system_state().module_set = path != nullptr;
    system_state().module_file_name = path != nullptr ? path : "";
}

void set_command_line(const char *text) {
    std::lock_guard<std::mutex> lock(state_mutex());
    system_state().command_line_set = text != nullptr;
    system_state().command_line = text != nullptr ? text : "";
}

void set_ansi_code_page(UINT code_page) {
    std::lock_guard<std::mutex> lock(state_mutex());
    system_state().code_page = code_page;
}

void set_clock(const __time64_t *now) {
    std::lock_guard<std::mutex> lock(state_mutex());
    system_state().clock_set = now != nullptr;
    system_state().clock = now != nullptr ? *now : 0;
}

void set_tick_count(const DWORD *ticks) {
    std::lock_guard<std::mutex> lock(state_mutex());
    system_state().ticks_set = ticks != nullptr;
    system_state().ticks = ticks != nullptr ? *ticks : 0;
}

void set_message(DWORD code, const char *text) {
    std::lock_guard<std::mutex> lock(state_mutex());
    if (text != nullptr)
        system_state().messages[code] = text;
    else
        system_state().messages.erase(code);
}

void set_exit_hook(void (*hook)()) {
    std::lock_guard<std::mutex> lock(state_mutex());
    system_state().exit_hook = hook;
}

void set_registry_value(const char *key, const char *name, DWORD type, const std::string &data) {
    std::lock_guard<std::mutex> lock(state_mutex());
    system_state().registry[key][name] = {type, data};
}

bool registry_value(const char *key, const char *name, DWORD *type, std::string *data) {
    std::lock_guard<std::mutex> lock(state_mutex());
    auto &registry = system_state().registry;
    auto values = registry.find(key);
    if (values == registry.end())
        return false;
    auto value = values->second.find(name);
    if (value == values->second.end())
        return false;
    *type = value->second.type;
    *data = value->second.data;
    return true;
}

bool registry_key_exists(const char *key) {
    std::lock_guard<std::mutex> lock(state_mutex());
    return key_exists(key);
}

} // namespace standin

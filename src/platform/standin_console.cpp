// The stand-in's consoles and windows. A child's console is its process group, and Ctrl+C on it
// is SIGINT to the group; a window is an entry in a table that tests fill, and WM_CLOSE posted
// to it is SIGTERM to its process. The window functions are USER32's, which the program loads
// at run time: LoadLibraryA of "user32.dll" gives a module handle whose GetProcAddress gives
// them.
#include "platform/standin_internal.h"

#include <signal.h>
#include <stdio.h>
#include <strings.h>
#include <unistd.h>

using namespace standin::internal;

namespace {

struct Window {
    HWND handle;
    pid_t pid;
};

struct Console {
    pid_t attached = 0; // the group of the console the host is attached to, or 0
    bool ignore_ctrl_c = false;
    std::vector<PHANDLER_ROUTINE> handlers;
    std::vector<Window> windows;
};

const ObjectType module_type = {"module", true, false, nullptr, nullptr, nullptr};

Console &console() {
    static Console c;
    return c;
}

// "w1", "w2", ... in the order of registration, or "invalid".
std::string window_name(HWND handle) {
    const std::vector<Window> &windows = console().windows;
    for (size_t i = 0; i < windows.size(); ++i) {
        if (windows[i].handle == handle) {
            // Not "w" + std::to_string: GCC 12 at -O3 takes that for an overlapping copy.
            char name[24];
            snprintf(name, sizeof name, "w%zu", i + 1);
            return name;
        }
    }
    return "invalid";
}

// What AttachConsole and FreeConsole do to the caller's own handling of Ctrl+C; lock held.
void reset_handling() {
    console().ignore_ctrl_c = false;
    console().handlers.clear();
}

} // namespace

namespace standin::internal {

void reset_console() {
    console().attached = 0;
    reset_handling();
    console().windows.clear();
}

HWND add_window_locked(pid_t pid) {
    HWND handle = reinterpret_cast<HWND>(new_handle_value());
    console().windows.push_back({handle, pid});
    return handle;
}

} // namespace standin::internal

// --- Console ---

BOOL AttachConsole(DWORD pid) {
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        bool child = pid != 0 && static_cast<pid_t>(pid) == newest_child();
        note_locked("AttachConsole(" + (child ? std::string("child") : std::to_string(pid)) + ")");
    }
    if (injected(standin::call_AttachConsole))
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    Console &c = console();
    if (c.attached != 0)
        return fail_with(ERROR_ACCESS_DENIED);
    if (!is_live_child(static_cast<pid_t>(pid)))
        return fail_with(ERROR_INVALID_PARAMETER);
    pid_t group = getpgid(static_cast<pid_t>(pid));
    if (group <= 0)
        return fail_with(ERROR_INVALID_HANDLE);
    c.attached = group;
    reset_handling();
    return TRUE;
}

BOOL FreeConsole(void) {
    note("FreeConsole");
    if (injected(standin::call_FreeConsole))
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    console().attached = 0;
    reset_handling();
    return TRUE;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
    note(std::string("SetConsoleCtrlHandler(") + (routine == nullptr ? "null" : "routine") + "," +
         std::to_string(add) + ")");
    if (injected(standin::call_SetConsoleCtrlHandler))
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    Console &c = console();
    if (routine == nullptr) {
        c.ignore_ctrl_c = add != FALSE;
    } else if (add) {
        c.handlers.push_back(routine);
    } else {
        std::erase(c.handlers, routine);
    }
    return TRUE;
}

BOOL GenerateConsoleCtrlEvent(DWORD event, DWORD process_group) {
    note("GenerateConsoleCtrlEvent(" + std::to_string(event) + "," + std::to_string(process_group) +
         ")");
    if (injected(standin::call_GenerateConsoleCtrlEvent))
        return FALSE;
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        Console &c = console();
        if (c.attached == 0)
            return fail_with(ERROR_INVALID_HANDLE);
        if (event != CTRL_C_EVENT || process_group != 0)
            return fail_with(ERROR_INVALID_PARAMETER);
        kill(-c.attached, SIGINT);
        if (c.ignore_ctrl_c)
            return TRUE;
        handlers = c.handlers;
    }
    // The caller is on the console too. Windows runs its handlers, the newest first, on a thread
    // of their own; if none takes the event, the default one ends the process.
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
        if ((*it)(event))
            return TRUE;
    }
    note("Ctrl+C ended the host");
    return TRUE;
}

// --- Windows ---

BOOL EnumWindows(WNDENUMPROC callback, LPARAM data) {
    note("EnumWindows");
    if (injected(standin::call_EnumWindows))
        return FALSE;
    std::vector<Window> windows;
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        windows = console().windows;
    }
    for (const Window &w : windows) {
        if (!callback(w.handle, data))
            break;
    }
    return TRUE;
}

DWORD GetWindowThreadProcessId(HWND handle, LPDWORD pid) {
    std::lock_guard<std::mutex> lock(state_mutex());
    for (const Window &w : console().windows) {
        if (w.handle == handle) {
            if (pid != nullptr)
                *pid = static_cast<DWORD>(w.pid);
            return static_cast<DWORD>(w.pid);
        }
    }
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
}

BOOL PostMessageA(HWND handle, UINT message, WPARAM, LPARAM) {
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        note_locked("PostMessageA(" + window_name(handle) + "," + hex(message) + ")");
    }
    if (injected(standin::call_PostMessageA))
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    for (const Window &w : console().windows) {
        if (w.handle != handle)
            continue;
        // A window of the test itself only takes note.
        if (message == WM_CLOSE && w.pid != getpid())
            kill(w.pid, SIGTERM);
        return TRUE;
    }
    return fail_with(ERROR_INVALID_WINDOW_HANDLE);
}

// --- DLLs ---

HMODULE LoadLibraryA(LPCSTR name) {
    note("LoadLibraryA(" + text_or_null(name) + ")");
    if (injected(standin::call_LoadLibraryA))
        return nullptr;
    if (name == nullptr || strcasecmp(name, "user32.dll") != 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    Object module = {};
    module.type = &module_type;
    module.name = "user32";
    std::lock_guard<std::mutex> lock(state_mutex());
    return add_object(module);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    std::string what = text_or_null(name);
    note("GetProcAddress(" + what + ")");
    if (injected(standin::call_GetProcAddress))
        return nullptr;
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        if (find_object(module, &module_type) == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
    }
    void (*function)() = nullptr;
    if (what == "EnumWindows")
        function = reinterpret_cast<void (*)()>(&EnumWindows);
    else if (what == "GetWindowThreadProcessId")
        function = reinterpret_cast<void (*)()>(&GetWindowThreadProcessId);
    else if (what == "PostMessageA")
        function = reinterpret_cast<void (*)()>(&PostMessageA);
    if (function == nullptr)
        SetLastError(ERROR_PROC_NOT_FOUND);
    return reinterpret_cast<FARPROC>(function);
}

BOOL FreeLibrary(HMODULE module) {
    note("FreeLibrary");
    if (injected(standin::call_FreeLibrary))
        return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    if (find_object(module, &module_type) == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    drop_object(module);
    return TRUE;
}

// --- Test controls ---

namespace standin {

HWND add_window(DWORD pid) {
    std::lock_guard<std::mutex> lock(state_mutex());
    return add_window_locked(static_cast<pid_t>(pid));
}

} // namespace standin

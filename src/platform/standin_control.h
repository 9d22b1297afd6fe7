// What tests see of the stand-in platform: fault injection, the records of what the program
// asked of the platform, and the script that the stand-in service control manager follows.
// Grouped by area, as the stand-in's units are (src/platform/standin_AREA.cpp).
#pragma once

#include "platform/standin.h"

#include <string>
#include <vector>

namespace standin {

// --- Every area ---

/// The calls that can be made to fail and whose count is kept, by area.
enum Call {
    // Service control manager
    call_OpenSCManagerA,
    call_CreateServiceA,
    call_OpenServiceA,
    call_DeleteService,
    call_CloseServiceHandle,
    call_StartServiceCtrlDispatcherA,
    call_RegisterServiceCtrlHandlerA,
    call_SetServiceStatus,
    call_ChangeServiceConfig2A,
    call_SetServiceObjectSecurity,
    // Processes and jobs
    call_CreateProcessA,
    call_WaitForSingleObject,
    call_GetExitCodeProcess,
    call_TerminateProcess,
    call_ResumeThread,
    call_CreateJobObjectA,
    call_SetInformationJobObject,
    call_QueryInformationJobObject,
    call_AssignProcessToJobObject,
    call_TerminateJobObject,
    call_CreateThread,
    // System
    call_CreateEventA,
    call_SetEvent,
    call_RegOpenKeyExA,
    call_RegQueryValueExA,
    call_RegCreateKeyExA,
    call_RegSetValueExA,
    call_CreateSemaphoreA,
    call_ReleaseSemaphore,
    call_GetSystemDirectoryA,
    call_GetWindowsDirectoryA,
    call_FormatMessageA,
    // Console and windows
    call_AttachConsole,
    call_FreeConsole,
    call_SetConsoleCtrlHandler,
    call_GenerateConsoleCtrlEvent,
    call_EnumWindows,
    call_PostMessageA,
    call_LoadLibraryA,
    call_GetProcAddress,
    call_FreeLibrary,
    call_HeapAlloc,
    // Files
    call_CreateFileA,
    call_WriteFile,
    call_ReadFile,
    call_PeekNamedPipe,
    call_SetFilePointer,
    call_CreatePipe,
    call_SetHandleInformation,
    call_GetFileInformationByHandle,
    call_GetFileSizeEx,
    call_SetEndOfFile,
    call_DeleteFileA,
    call_LockFileEx,
    call_GetFileAttributesA,
    call_CreateDirectoryW,
    call_MoveFileExW,
    // The Event Log
    call_RegisterEventSourceA,
    call_ReportEventA,
    // Security
    call_ConvertStringSecurityDescriptorToSecurityDescriptorA,
    call_OpenProcessToken,
    call_GetNamedSecurityInfoA,
    call_SetSecurityInfo,
    call_GetSecurityInfo,
    call_LookupAccountNameA,
    // Any handle
    call_CloseHandle,
    call_WaitForMultipleObjects,
    call_count
};

/// Back to the defaults, in every area: no faults, empty records and database, dispatcher not
/// armed, single-byte code page, the real module file name and command line; every handle
/// closed, and the children killed. Joins a service thread still running. Handles given out
/// before a reset stay invalid for good: no later object is ever given the same value.
/// Threads made by CreateThread and still running are waited for, after the children have been
/// killed (with their process groups), every pipe end, NUL and file descriptor closed, so a
/// reader in ReadFile sees the end of its pipe, and the Event Log released (see
/// hold_event_log); their handles still work meanwhile, those of
/// closed descriptors failing. One that has not returned after 20 s ends the test process with
/// a message (as every wait of the stand-in does), rather than run on into the next test.
void reset();

/// Makes the `nth` call (1-based, counted from now) of `call` and the `count` - 1 after it fail
/// with `error`; `nth` 0 makes every call fail. Replaces the fault set before for `call`.
void fail(Call call, int nth, DWORD error, int count = 1);

/// How many times `call` was made since the last reset.
int calls(Call call);

/// Every platform call of interest, in order, e.g. "OpenSCManagerA(null,null,0xf003f)",
/// "CloseServiceHandle(manager)", "CreateProcessA(0x8000004)", "TerminateProcess(0)".
std::vector<std::string> trace();

/// Process, thread, job, event, registry key, pipe end, NUL, service control and module handles
/// handed out and not yet closed. Not files: the log keeps its handle for the life of the process.
int open_handles();

// --- System ---

void set_module_file_name(const char *path); ///< nullptr: the running executable's
void set_command_line(const char *text);     ///< nullptr: the running process's
void set_ansi_code_page(UINT code_page);     ///< 932 for Shift-JIS lead bytes, else single-byte
void set_clock(const __time64_t *now);       ///< what _time64 returns; nullptr: the real clock
/// What GetTickCount returns from now on, moved on by each Sleep instead of waiting; nullptr:
/// the real milliseconds since an arbitrary start, and Sleep waits.
void set_tick_count(const DWORD *ticks);
/// FormatMessageA's text for `code` from now on, as stored (give it its CR LF); nullptr: none,
/// so FormatMessageA fails with ERROR_MR_MID_NOT_FOUND. A reset restores Windows' texts.
void set_message(DWORD code, const char *text);
/// Called by ExitProcess just before the process ends (nullptr: nothing).
void set_exit_hook(void (*hook)());
/// Sets a registry value under HKEY_LOCAL_MACHINE\`key` (e.g. "SYSTEM\CurrentControlSet\Control")
/// to `data` as stored, of `type` (REG_SZ data holds its own terminating NUL, or not).
void set_registry_value(const char *key, const char *name, DWORD type, const std::string &data);
/// A value under HKEY_LOCAL_MACHINE\`key` as stored: false if there is none.
bool registry_value(const char *key, const char *name, DWORD *type, std::string *data);
/// Whether the key HKEY_LOCAL_MACHINE\`key` exists.
bool registry_key_exists(const char *key);

// --- Service control manager: the database ---

struct Service {
    std::string name;
    std::string display_name;
    DWORD access;
    DWORD type;
    DWORD start;
    DWORD error_control;
    std::string binary_path;
    bool group_null;
    bool tag_null;
    bool dependencies_null;
    bool account_null;
    bool password_null;
    bool failure_actions_on_non_crash; ///< set by ChangeServiceConfig2A
    DWORD sid_type;                    ///< set by ChangeServiceConfig2A
    std::string description;           ///< set by ChangeServiceConfig2A
    std::string dacl; ///< set by SetServiceObjectSecurity, as standin::dacl_text shows it
};
/// The services in the database, oldest first.
std::vector<Service> services();
/// Adds the service `name` as a program would create it, with an image path of "x.exe NAME".
void add_service(const char *name);

// --- Service control manager: the dispatcher ---

enum StepKind {
    step_control,            ///< deliver control `value` to the handler, on the dispatcher's thread
    step_wait_state,         ///< wait until a status with state `value` has been reported
    step_wait_launch,        ///< wait until CreateProcessA has been called
    step_wait_job_processes, ///< wait until the jobs hold at least `value` running processes
    step_wait_gate,          ///< wait until the service thread waits at the gate
    step_open_gate,          ///< let it through
    step_wait_child_ready,   ///< wait until the file named by TOLVARD_CHILD_RECORD is written
    step_add_window,         ///< register a top-level window of the newest child
    step_sleep,              ///< Sleep(value) on the dispatcher's thread (see set_tick_count)
};
struct Step {
    StepKind kind;
    DWORD value;
};

/// The next StartServiceCtrlDispatcherA connects: it runs the table's service main on a thread
/// of its own with argv { name }, follows `script` on the calling thread, and returns TRUE once
/// the service has reported stopped. Unarmed, it fails with 1063 as in a console.
/// With `gate`, GetStartupInfoA on the service thread waits until step_open_gate; with `gate`
/// and `gate_at` a call of the list above, the first call of `gate_at` waits there instead
/// (before its fault, if one is set), on whichever thread makes it.
void arm_dispatcher(const std::vector<Step> &script, bool gate = false, Call gate_at = call_count);

/// Waits for the service thread to end.
void join_service();

struct Report {
    SERVICE_STATUS status;
    bool ok;
    int live_children; ///< children of the stand-in still running when the report was made
    int job_processes; ///< processes still running in the stand-in's jobs at that moment
};
/// Every SetServiceStatus call, in order, failed ones included.
std::vector<Report> reports();

/// Each control the script delivered: how long the handler took to return (real time) and how
/// many LockFileEx calls it made meanwhile on its own thread (a try at the log's turn).
struct HandledControl {
    DWORD control;
    long ms;
    int lock_calls;
};
std::vector<HandledControl> handled_controls();

/// The service name the dispatcher was given, and the one the handler was registered under.
std::string dispatched_name();
std::string registered_name();

// --- Processes and jobs ---

struct Launch {
    bool application_null;
    std::string command_line;
    bool inherit_handles;
    DWORD flags;
    bool environment_null;
    bool directory_null;
    bool startup_as_given; ///< the record equals what GetStartupInfoA gave
    bool created;
    /// What the child inherited, one entry per handle, oldest handle first: "pipe-read",
    /// "pipe-write", "nul", or "file:NAME" with NAME the path as given to CreateFileA.
    std::vector<std::string> inherited;
    /// The child's descriptors 0, 1 and 2: "" without STARTF_USESTDHANDLES (the caller's own);
    /// with it, the handle as `inherited` names it, or "closed" for one that was not inherited.
    std::string std_in, std_out, std_err;
};
std::vector<Launch> launches();

// --- Console and windows ---

/// Registers a top-level window of process `pid`; EnumWindows lists the windows in this order.
/// In the trace a window is "w1", "w2", ... in the order of registration.
HWND add_window(DWORD pid);

// --- Files ---

/// A Windows path as a native one, or the Windows error for a path that has none.
struct NativePath {
    std::string path;
    DWORD error; ///< 0, ERROR_PATH_NOT_FOUND or ERROR_INVALID_NAME
};
/// The one mapping from a Windows path to a native one, used by every call of the stand-in that
/// takes a path (CreateFileA, DeleteFileA, CreateProcessA's program), and by tests and benches
/// that open a file the program names. "\" and "/" separate; a leading drive "Z:" or "z:" is
/// the root, as under Wine; a path without a drive stays rooted or relative as it is. Any other
/// drive, a drive-relative "Z:name", a UNC path ("\\server\share", "\\?\...") and the empty
/// path fail with ERROR_PATH_NOT_FOUND. A character Windows refuses in a name (< > : " | ? * and
/// controls), and a double-byte character whose second byte is 0x5C under code page 932, fail
/// with ERROR_INVALID_NAME: the native path never holds a backslash.
NativePath native_path(const char *path);

/// Every CreateFileA, in order.
struct FileOpen {
    std::string path;
    DWORD access;
    DWORD share;
    DWORD disposition;
    DWORD flags;
    std::string dacl; ///< the DACL of the security attributes given, as dacl_text shows it
};
std::vector<FileOpen> file_opens();

/// Every CreateDirectoryW, in order: the path as the ANSI form would take it, and the DACL of
/// the security attributes given, as dacl_text shows it.
struct FolderMade {
    std::string path;
    std::string dacl;
};
std::vector<FolderMade> folders_made();

/// A small volume: from now on WriteFile to files writes at most `*bytes` more in all, and a
/// write that does not fit writes what does and fails with ERROR_DISK_FULL, as a full disk
/// does; nullptr: no limit. A reset lifts it.
void set_disk_room(const size_t *bytes);

/// Every MoveFileExW, in order: "FROM -> TO", the paths as the ANSI forms would take them.
std::vector<std::string> moves();

/// What GetFileAttributesA gives for the Windows path `path` (compared without regard to ASCII
/// case, as Windows compares names) until the next reset, e.g. FILE_ATTRIBUTE_NORMAL for a file
/// or FILE_ATTRIBUTE_DIRECTORY for a folder; INVALID_FILE_ATTRIBUTES: it fails with `error`.
/// Such paths need not exist natively, so tests can lay out "C:\Windows" and its like.
void set_file_attributes(const char *path, DWORD attributes, DWORD error = 0);

/// Another process holds the file at this Windows path open and shares nothing: CreateFileA and
/// DeleteFileA of that path fail with ERROR_SHARING_VIOLATION until the next reset.
void hold_file(const char *path);

/// Every LockFileEx and UnlockFileEx, in order: "lock FLAGS OFFSET" or "unlock OFFSET", FLAGS
/// and OFFSET in hex, each followed by " ok" or " failed".
std::vector<std::string> file_locks();

// --- The Event Log ---

struct ReportedEvent {
    std::string source; ///< as registered
    WORD type;
    WORD category;
    DWORD id;
    std::vector<std::string> strings;
    DWORD tick; ///< GetTickCount() when the report was made
};
/// Every ReportEventA that succeeded, in order.
std::vector<ReportedEvent> reported_events();

/// While held, ReportEventA waits (at most 20 s, as every wait of the stand-in) in the calling
/// thread, as when the event log service is slow to answer; released, every waiting one goes on.
void hold_event_log(bool held);

/// How many ReportEventA calls wait at this moment.
int waiting_reports();

// --- Security ---

/// What GetNamedSecurityInfoA gives for the Windows path `path` (compared as written): the
/// descriptor of the SDDL `sddl`, or with `sddl` nullptr the error `error`. Paths never set
/// have what Wine synthesizes for every file and folder: owner the token's user, full control
/// for SYSTEM and that user, read and execute for Everyone.
void set_security(const char *path, const char *sddl, DWORD error = 0);

/// The SID of the token's user, as text (default "S-1-5-21-0-0-0-1000", Wine's user).
void set_token_user(const char *sid);

/// A token of the SIDs `sids` (as S-1-... text or alias, the user first) for the access checks
/// of files and folders; empty (the default): no checks. While set, a file or folder whose
/// security the stand-in knows (made by CreateFileA/W or CreateDirectoryW with a descriptor, or
/// set by SetSecurityInfo) opens only for the access its DACL allows these SIDs, generic rights
/// mapped as for files and SYNCHRONIZE with FILE_READ_ATTRIBUTES always asked, as CreateFile
/// asks them; a file or folder is made in a folder only with FILE_ADD_FILE or
/// FILE_ADD_SUBDIRECTORY there, and deleted or renamed only with DELETE on it. The refusal is
/// ERROR_ACCESS_DENIED. Paths of unknown security allow everything. Owners are not modelled.
void set_access_token(const std::vector<std::string> &sids);

/// The SID that LookupAccountNameA gives "NT SERVICE\`name`", as text: S-1-5-80- and five
/// numbers made from the name in upper case (not the hash Windows uses, but as unique).
std::string service_sid(const char *name);

/// Every SetSecurityInfo that succeeded, in order: "PATH WHAT DACL", PATH the name the handle
/// was opened by, WHAT the security information in hex, DACL as dacl_text shows one.
std::vector<std::string> security_sets();

/// A descriptor's DACL as text: "null" for a null DACL, else "(TYPE;FLAGS;MASK;SID)" per ACE,
/// TYPE A or D, FLAGS and MASK in hex, the SID as S-1-...; "" for no descriptor at all.
std::string dacl_text(PSECURITY_DESCRIPTOR descriptor);

} // namespace standin

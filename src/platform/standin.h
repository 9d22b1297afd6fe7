// Stand-in for the Win32 subset that tolvard uses, for builds other than Windows.
//
// Same names, types, values and error codes as <windows.h>. Processes are real POSIX processes;
// the service control manager and its database live inside the process, and tests drive them
// through platform/standin_control.h. Grouped by area, each implemented in a unit of its own
// (src/platform/standin_AREA.cpp); the calls that take any handle are in standin_core.cpp.
#pragma once

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

// === Every area: types, values and error codes ===

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef void *HANDLE;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef DWORD *LPDWORD;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef BYTE *LPBYTE;
typedef HANDLE HMODULE;
typedef uintptr_t ULONG_PTR;
typedef HANDLE *PHANDLE;
typedef size_t SIZE_T;
typedef uint32_t ULONG;
typedef ULONG *PULONG;
typedef DWORD *PDWORD;
typedef void *HLOCAL;
typedef uint16_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;

#define WINAPI
#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_INVALID_SECURITY_DESCR 1338u
#define ERROR_BUSY 170u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_LOCK_VIOLATION 33u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_NEGATIVE_SEEK 131u
#define ERROR_MR_MID_NOT_FOUND 317u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_DISK_FULL 112u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_TOO_MANY_POSTS 298u
#define ERROR_NO_DATA 232u
#define ERROR_MORE_DATA 234u
#define ERROR_INVALID_WINDOW_HANDLE 1400u
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053u
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063u
#define ERROR_SERVICE_SPECIFIC_ERROR 1066u
#define ERROR_SERVICE_DOES_NOT_EXIST 1060u
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072u
#define ERROR_SERVICE_EXISTS 1073u
#define ERROR_DUPLICATE_SERVICE_NAME 1078u

// === Service control manager (standin_scm.cpp) ===

typedef struct SC_HANDLE__ *SC_HANDLE;
typedef struct SERVICE_STATUS_HANDLE__ *SERVICE_STATUS_HANDLE;

typedef struct _SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

typedef void(WINAPI *LPSERVICE_MAIN_FUNCTIONA)(DWORD argc, LPSTR *argv);
typedef void(WINAPI *LPHANDLER_FUNCTION)(DWORD control);

typedef struct _SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
} SERVICE_TABLE_ENTRYA;

#define DELETE 0x00010000u
#define SC_MANAGER_CONNECT 0x0001u
#define SC_MANAGER_CREATE_SERVICE 0x0002u
#define SC_MANAGER_ALL_ACCESS 0xF003Fu
#define SERVICE_ALL_ACCESS 0xF01FFu
#define SERVICE_WIN32_OWN_PROCESS 0x10u
#define SERVICE_WIN32_SHARE_PROCESS 0x20u
#define SERVICE_WIN32 0x30u
#define SERVICE_DEMAND_START 3u
#define SERVICE_ERROR_NORMAL 1u

#define SERVICE_STOPPED 1u
#define SERVICE_START_PENDING 2u
#define SERVICE_STOP_PENDING 3u
#define SERVICE_RUNNING 4u
#define SERVICE_CONTINUE_PENDING 5u
#define SERVICE_PAUSE_PENDING 6u
#define SERVICE_PAUSED 7u

#define SERVICE_ACCEPT_STOP 1u
#define SERVICE_ACCEPT_PAUSE_CONTINUE 2u
#define SERVICE_ACCEPT_SHUTDOWN 4u

#define SERVICE_CONTROL_STOP 1u
#define SERVICE_CONTROL_PAUSE 2u
#define SERVICE_CONTROL_CONTINUE 3u
#define SERVICE_CONTROL_INTERROGATE 4u
#define SERVICE_CONTROL_SHUTDOWN 5u

/// The service's description, as services.msc shows it.
#define SERVICE_CONFIG_DESCRIPTION 1u
typedef struct _SERVICE_DESCRIPTIONA {
    LPSTR lpDescription;
} SERVICE_DESCRIPTIONA;
/// Whether recovery actions also follow a service's non-crash failures (an exit code reported).
#define SERVICE_CONFIG_FAILURE_ACTIONS_FLAG 4u
typedef struct _SERVICE_FAILURE_ACTIONS_FLAG {
    BOOL fFailureActionsOnNonCrashFailures;
} SERVICE_FAILURE_ACTIONS_FLAG;
/// Whether the service's processes carry its own SID, NT SERVICE\NAME (S-1-5-80-...).
#define SERVICE_CONFIG_SERVICE_SID_INFO 5u
#define SERVICE_SID_TYPE_NONE 0u
#define SERVICE_SID_TYPE_UNRESTRICTED 1u
typedef struct _SERVICE_SID_INFO {
    DWORD dwServiceSidType;
} SERVICE_SID_INFO;

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR display_name, DWORD access,
                         DWORD service_type, DWORD start_type, DWORD error_control,
                         LPCSTR binary_path, LPCSTR load_order_group, LPDWORD tag,
                         LPCSTR dependencies, LPCSTR account, LPCSTR password);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access);
BOOL DeleteService(SC_HANDLE service);
/// Clears the last error when it works (see standin_scm.cpp).
BOOL CloseServiceHandle(SC_HANDLE handle);
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR name, LPHANDLER_FUNCTION handler);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);
/// SERVICE_CONFIG_DESCRIPTION (a null lpDescription leaves it as it is, "" deletes it, as on
/// Windows), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG and SERVICE_CONFIG_SERVICE_SID_INFO; any other
/// level fails with ERROR_INVALID_PARAMETER. All need SERVICE_CHANGE_CONFIG access.
BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD info_level, LPVOID info);

// The rights of a service's DACL that the stand-in's database keeps (see standin::Service).
#define SERVICE_USER_DEFINED_CONTROL 0x0100u
typedef DWORD SECURITY_INFORMATION;
typedef void *PSECURITY_DESCRIPTOR;
BOOL SetServiceObjectSecurity(SC_HANDLE service, SECURITY_INFORMATION what,
                              PSECURITY_DESCRIPTOR descriptor);

// === Any handle (standin_core.cpp) ===

/// Processes, threads, jobs, files, pipes, tokens, events and registry keys; WaitForSingleObject
/// waits on processes, threads made by CreateThread, and events.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
/// Waits until any one of the processes, CreateThread threads and events is signalled (wait_all
/// must be FALSE); returns WAIT_OBJECT_0 + the index of the first one that is.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

// === Processes and jobs (standin_process.cpp) ===

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define STARTF_USESTDHANDLES 0x100u

void GetStartupInfoA(LPSTARTUPINFOA info);
/// With `inherit_handles` the child gets every pipe end, NUL and file handle that is inheritable
/// at that moment, each under its descriptor's number (Windows XP has no list of handles to
/// inherit); without it, none. No other descriptor of the calling process reaches the child.
/// With STARTF_USESTDHANDLES in startup->dwFlags the child's descriptors 0, 1 and 2 are those of
/// hStdInput, hStdOutput and hStdError; a std handle that is not inherited (not inheritable,
/// `inherit_handles` FALSE, or no pipe end, NUL or file) is an invalid handle in the child, as
/// on XP: the descriptor is closed there. Without the flag the child has the caller's 0, 1, 2.
BOOL CreateProcessA(LPCSTR application, LPSTR command_line, LPSECURITY_ATTRIBUTES process_attrs,
                    LPSECURITY_ATTRIBUTES thread_attrs, BOOL inherit_handles, DWORD flags,
                    LPVOID environment, LPCSTR current_directory, LPSTARTUPINFOA startup,
                    LPPROCESS_INFORMATION info);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code);
BOOL TerminateProcess(HANDLE process, UINT exit_code);
DWORD ResumeThread(HANDLE thread);

// Threads of the calling process.
typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID arg);
/// Runs start(arg) on a new thread at once (`flags` with CREATE_SUSPENDED fails with
/// ERROR_INVALID_PARAMETER; `stack` is ignored). The handle is signalled when start returns;
/// closing it earlier lets the thread run on. standin::reset waits for such threads (see there).
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                    LPVOID arg, DWORD flags, LPDWORD id);
/// start's result once it has returned, STILL_ACTIVE before; for CreateThread threads only.
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exit_code);

// Job objects: a job is a process group; the child is made the leader of a group of its own when
// it is created, so everything it starts is in the group from its birth.
#define CREATE_SUSPENDED 0x00000004u
#define CREATE_BREAKAWAY_FROM_JOB 0x01000000u
// A console child's console without a window; the stand-in has no consoles and only records it.
#define CREATE_NO_WINDOW 0x08000000u
#define JOB_OBJECT_LIMIT_BREAKAWAY_OK 0x00000800u
#define JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE 0x00002000u

typedef enum _JOBOBJECTINFOCLASS {
    JobObjectBasicAccountingInformation = 1,
    JobObjectBasicProcessIdList = 3,
    JobObjectExtendedLimitInformation = 9,
} JOBOBJECTINFOCLASS;

/// As on Windows, a list longer than the room given fills the room and fails with
/// ERROR_MORE_DATA.
typedef struct _JOBOBJECT_BASIC_PROCESS_ID_LIST {
    DWORD NumberOfAssignedProcesses;
    DWORD NumberOfProcessIdsInList;
    ULONG_PTR ProcessIdList[1];
} JOBOBJECT_BASIC_PROCESS_ID_LIST;

typedef union _LARGE_INTEGER {
    int64_t QuadPart;
} LARGE_INTEGER;

typedef struct _JOBOBJECT_BASIC_LIMIT_INFORMATION {
    LARGE_INTEGER PerProcessUserTimeLimit;
    LARGE_INTEGER PerJobUserTimeLimit;
    DWORD LimitFlags;
    size_t MinimumWorkingSetSize;
    size_t MaximumWorkingSetSize;
    DWORD ActiveProcessLimit;
    uintptr_t Affinity;
    DWORD PriorityClass;
    DWORD SchedulingClass;
} JOBOBJECT_BASIC_LIMIT_INFORMATION;

typedef struct _IO_COUNTERS {
    uint64_t ReadOperationCount;
    uint64_t WriteOperationCount;
    uint64_t OtherOperationCount;
    uint64_t ReadTransferCount;
    uint64_t WriteTransferCount;
    uint64_t OtherTransferCount;
} IO_COUNTERS;

typedef struct _JOBOBJECT_EXTENDED_LIMIT_INFORMATION {
    JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
    IO_COUNTERS IoInfo;
    size_t ProcessMemoryLimit;
    size_t JobMemoryLimit;
    size_t PeakProcessMemoryUsed;
    size_t PeakJobMemoryUsed;
} JOBOBJECT_EXTENDED_LIMIT_INFORMATION;

typedef struct _JOBOBJECT_BASIC_ACCOUNTING_INFORMATION {
    LARGE_INTEGER TotalUserTime;
    LARGE_INTEGER TotalKernelTime;
    LARGE_INTEGER ThisPeriodTotalUserTime;
    LARGE_INTEGER ThisPeriodTotalKernelTime;
    DWORD TotalPageFaultCount;
    DWORD TotalProcesses;
    DWORD ActiveProcesses;
    DWORD TotalTerminatedProcesses;
} JOBOBJECT_BASIC_ACCOUNTING_INFORMATION;

HANDLE CreateJobObjectA(LPSECURITY_ATTRIBUTES attributes, LPCSTR name);
BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS info_class, LPVOID info, DWORD length);
BOOL QueryInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS info_class, LPVOID info, DWORD length,
                               LPDWORD returned);
BOOL AssignProcessToJobObject(HANDLE job, HANDLE process);
BOOL TerminateJobObject(HANDLE job, UINT exit_code);

// === System (standin_system.cpp) ===

DWORD GetLastError(void);
void SetLastError(DWORD error);
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
LPSTR GetCommandLineA(void);
[[noreturn]] void ExitProcess(UINT status);
/// With a clock set by standin::set_tick_count, Sleep moves it on instead of waiting.
void Sleep(DWORD milliseconds);
DWORD GetTickCount(void);
DWORD GetCurrentProcessId(void);
BOOL IsDBCSLeadByte(BYTE c);
/// %NAME% replaced by the value of the environment variable NAME, whose name compares without
/// regard to ASCII case as on Windows; other text as it stands.
DWORD ExpandEnvironmentStringsA(LPCSTR text, LPSTR buffer, DWORD size);
/// "C:\Windows\System32" and "C:\Windows", as on a default installation: the length without
/// the NUL, or, when `size` is too small, the size needed with it (the buffer left alone).
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);

// The system's message texts: Windows' English ones for the few codes the tests meet (see
// standin::set_message), each ending in CR LF as Windows' do. Only FORMAT_MESSAGE_FROM_SYSTEM
// with FORMAT_MESSAGE_IGNORE_INSERTS, language 0 and the caller's buffer: anything else fails
// with ERROR_INVALID_PARAMETER. A code without text fails with ERROR_MR_MID_NOT_FOUND, a text
// that does not fit with its terminator with ERROR_INSUFFICIENT_BUFFER.
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000u
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id, LPSTR buffer,
                     DWORD size, va_list *arguments);

// The process heap: malloc and free underneath, so that HeapAlloc can be made to fail.
HANDLE GetProcessHeap(void);
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T size);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block);

/// Milliseconds since some fixed moment, wrapping as a DWORD.
DWORD GetTickCount(void);

// Events, unnamed only.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manual_reset, BOOL initial_state,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);

// Semaphores, unnamed only: WaitForSingleObject and WaitForMultipleObjects take one count.
HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES security, LONG initial, LONG maximum, LPCSTR name);
/// Fails with ERROR_TOO_MANY_POSTS, changing nothing, when the count would pass the maximum.
BOOL ReleaseSemaphore(HANDLE semaphore, LONG count, LONG *previous);

// The registry under HKEY_LOCAL_MACHINE: values that tests set (standin::set_registry_value) or
// that the program writes. A key exists once it has been created or a value set under it; its
// parent keys exist with it (RegCreateKeyExA makes them, as Windows does); names compare without
// case. A handle may query with KEY_QUERY_VALUE and set with KEY_SET_VALUE, else
// ERROR_ACCESS_DENIED.
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_DWORD 4u
#define REG_OPTION_NON_VOLATILE 0u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u
LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, DWORD access, PHKEY result);
/// `key_class` and `security` must be null (the default security); `disposition` may be.
LONG RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD reserved, LPSTR key_class, DWORD options,
                     DWORD access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition);
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size);
/// Stores `size` bytes as given (a REG_DWORD must be 4 bytes: ERROR_INVALID_PARAMETER).
LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                    DWORD size);
LONG RegCloseKey(HKEY key);

// Locking
typedef struct _CRITICAL_SECTION {
    void *opaque;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
/// Takes the section if no other thread holds it, as EnterCriticalSection would; else FALSE.
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);

// The C runtime's 64-bit calendar time (msvcrt since Windows XP).
typedef int64_t __time64_t;
__time64_t _time64(__time64_t *now);
struct tm *_localtime64(const __time64_t *time);

// === Console and windows (standin_console.cpp) ===

// Consoles: each child of the stand-in has one, shared by its process group; Ctrl+C on it is
// SIGINT to the group. The host, attached to one, receives the event too: as on Windows,
// unless it ignores Ctrl+C or a handler of its own takes it, the event ends the host (the
// stand-in notes that in the trace instead). AttachConsole and FreeConsole reset what the host
// set with SetConsoleCtrlHandler, as on Windows.
#define CALLBACK
#define CTRL_C_EVENT 0u
typedef BOOL(WINAPI *PHANDLER_ROUTINE)(DWORD event);
BOOL AttachConsole(DWORD pid);
BOOL FreeConsole(void);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add);
BOOL GenerateConsoleCtrlEvent(DWORD event, DWORD process_group);

// Windows: a table of top-level windows that tests register for a process
// (standin::add_window); WM_CLOSE posted to one reaches its process as SIGTERM.
typedef struct HWND__ *HWND;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef BOOL(CALLBACK *WNDENUMPROC)(HWND window, LPARAM data);
#define WM_CLOSE 0x0010u
BOOL EnumWindows(WNDENUMPROC callback, LPARAM data);
DWORD GetWindowThreadProcessId(HWND window, LPDWORD pid);
BOOL PostMessageA(HWND window, UINT message, WPARAM w, LPARAM l);

// DLLs loaded at run time: "user32.dll" (any case) is the one DLL there is, and its functions
// are the three above. A module handle counts as open until FreeLibrary.
typedef intptr_t(WINAPI *FARPROC)();
/// ERROR_MOD_NOT_FOUND for any other name.
HMODULE LoadLibraryA(LPCSTR name);
/// ERROR_PROC_NOT_FOUND for a name it does not export, ERROR_INVALID_HANDLE for a module that is
/// not loaded.
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);

// === Files (standin_file.cpp) ===

// Files: what the log and the capture of a child's output need. A handle with FILE_APPEND_DATA
// but not FILE_WRITE_DATA (nor GENERIC_WRITE) writes at the file's end, as on Windows. The
// name "NUL" (any case) is the null device: reads find the end, writes are swallowed. Every
// handle of this area, pipe ends included, is inheritable iff its security attributes have
// bInheritHandle, and each is a native descriptor that only CreateProcessA passes on.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_READ_DATA 0x1u
#define FILE_WRITE_DATA 0x2u
#define FILE_APPEND_DATA 0x4u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400u
/// The stand-in opens a native symbolic link itself, as Windows opens a reparse point.
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
/// Needed to open a folder, as on Windows.
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_LIST_DIRECTORY 0x1u
#define LOCKFILE_FAIL_IMMEDIATELY 0x1u
#define LOCKFILE_EXCLUSIVE_LOCK 0x2u
typedef struct _OVERLAPPED {
    uintptr_t Internal;
    uintptr_t InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;
typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
/// Reads at the handle's position and moves it on; at the end of a file TRUE with *read 0. On a
/// pipe's read end it blocks until some bytes come (as many as one read gives, up to `size`);
/// once every write end in every process is closed it fails with ERROR_BROKEN_PIPE and *read 0,
/// as Windows does for anonymous pipes. It waits without the stand-in's lock. `overlapped` must
/// be nullptr (ERROR_INVALID_PARAMETER); a handle that may not read: ERROR_ACCESS_DENIED.
BOOL ReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD read, LPOVERLAPPED overlapped);
/// Writes at the handle's position, or at the end for an append-only handle; on a pipe whose
/// read ends are all closed it fails with ERROR_NO_DATA (and no SIGPIPE).
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
/// How many bytes a pipe's read end holds, without reading them (only `available`: the other
/// pointers must be null and `size` 0). The end of the pipe fails with ERROR_BROKEN_PIPE.
BOOL PeekNamedPipe(HANDLE pipe, LPVOID data, DWORD size, LPDWORD read, LPDWORD available,
                   LPDWORD left);
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);
/// The size of the file the handle is open on; a handle of no file: ERROR_INVALID_HANDLE.
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER *size);
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
typedef LONG *PLONG;
/// Moves the handle's position; returns its low 32 bits (the high ones in *distance_high when
/// given), or INVALID_SET_FILE_POINTER with the error set: ERROR_NEGATIVE_SEEK before the start,
/// ERROR_INVALID_PARAMETER past 4 GiB without `distance_high`, or on a pipe (which has no
/// position; Windows leaves that case undefined).
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method);
/// Cuts the file (or makes it longer) at the handle's position; needs a handle that may write
/// data, not only append (ERROR_ACCESS_DENIED).
BOOL SetEndOfFile(HANDLE file);
BOOL DeleteFileA(LPCSTR path);
/// The wide forms: each 16-bit unit below 0x100 stands for the byte of the same value (the
/// stand-in's code pages are of bytes), any other fails with ERROR_INVALID_NAME. A path that
/// begins "\\?\" followed by a drive is taken without that prefix, and, unlike the ANSI
/// forms, may be longer than MAX_PATH; a path of the ANSI forms of MAX_PATH (260) characters
/// or more fails with ERROR_PATH_NOT_FOUND, as on Windows. They are recorded as the ANSI calls
/// are, with the path as the ANSI form would take it, and fail where those are made to.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
/// Makes one folder; an existing one fails with ERROR_ALREADY_EXISTS, a missing parent with
/// ERROR_PATH_NOT_FOUND.
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
#define MOVEFILE_REPLACE_EXISTING 0x1u
/// Renames a file (wide form, as CreateFileW takes paths); an existing target is replaced only
/// with MOVEFILE_REPLACE_EXISTING (else ERROR_ALREADY_EXISTS). A file that another process
/// holds (standin::hold_file, either name) fails with ERROR_SHARING_VIOLATION, as a handle
/// that shares no deletion makes it fail on Windows. Open handles go along with the file.
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
#define CP_ACP 0u
/// Each byte becomes the 16-bit unit of the same value; `flags` must be 0 and `length` -1 (the
/// text with its NUL) or the length. With `room` 0, returns the units needed; with too little
/// room, ERROR_INSUFFICIENT_BUFFER.
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int length, LPWSTR out, int room);
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
/// What standin::set_file_attributes gave the path; any other is looked up through
/// standin::native_path: FILE_ATTRIBUTE_DIRECTORY for a folder, FILE_ATTRIBUTE_NORMAL for a
/// file; a missing one fails with ERROR_FILE_NOT_FOUND, or ERROR_PATH_NOT_FOUND when its folder
/// is missing too (or the path has no native meaning).
DWORD GetFileAttributesA(LPCSTR path);
/// An anonymous pipe: `size` is a suggestion, as on Windows (0: the default).
BOOL CreatePipe(PHANDLE read, PHANDLE write, LPSECURITY_ATTRIBUTES attributes, DWORD size);
#define HANDLE_FLAG_INHERIT 0x1u
/// Only HANDLE_FLAG_INHERIT is kept (other bits of `mask` are ignored), and only on the handles
/// a child can be given: pipe ends, NUL and files; any other handle fails with
/// ERROR_INVALID_HANDLE.
BOOL SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags);
/// Byte-range locks: within the one process of a test there is nobody to contend with, so they
/// are recorded (standin::file_locks) and can be made to fail. As on Windows, a handle that may
/// neither read nor write data is refused.
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                LPOVERLAPPED overlapped);
BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                  LPOVERLAPPED overlapped);

// === The Event Log (standin_eventlog.cpp) ===

// Event sources by name, local only; each report is recorded (standin::reported_events).
#define EVENTLOG_SUCCESS 0x0000u
#define EVENTLOG_ERROR_TYPE 0x0001u
#define EVENTLOG_WARNING_TYPE 0x0002u
#define EVENTLOG_INFORMATION_TYPE 0x0004u
/// `server` must be null (this machine): else ERROR_INVALID_PARAMETER, as for an empty source.
HANDLE RegisterEventSourceA(LPCSTR server, LPCSTR source);
/// One of the four types, `strings` not null when `count` > 0 and no raw data, else
/// ERROR_INVALID_PARAMETER; a handle that is no event source: ERROR_INVALID_HANDLE. While
/// standin::hold_event_log holds the log, it waits (as the event log service can).
BOOL ReportEventA(HANDLE source, WORD type, WORD category, DWORD id, void *user, WORD count,
                  DWORD data_size, LPCSTR *strings, LPVOID data);
BOOL DeregisterEventSource(HANDLE source);

// === Security descriptors, ACLs, SIDs and tokens (standin_security.cpp) ===

// Laid out as Windows lays them out: a SID is its revision, sub-authority count, 6-byte
// authority and 32-bit sub-authorities; an ACL a header followed by its ACEs; an ACE a header,
// the mask and the SID. Descriptors come self-relative, in one block freed with LocalFree.
typedef void *PSID;
typedef struct _ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
} ACL, *PACL;
typedef struct _ACE_HEADER {
    BYTE AceType;
    BYTE AceFlags;
    WORD AceSize;
} ACE_HEADER;
typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    DWORD Mask;
    DWORD SidStart;
} ACCESS_ALLOWED_ACE;
#define ACCESS_ALLOWED_ACE_TYPE 0x0u
#define ACCESS_DENIED_ACE_TYPE 0x1u
#define OBJECT_INHERIT_ACE 0x1u
#define CONTAINER_INHERIT_ACE 0x2u
#define NO_PROPAGATE_INHERIT_ACE 0x4u
#define INHERIT_ONLY_ACE 0x8u
#define INHERITED_ACE 0x10u
#define OWNER_SECURITY_INFORMATION 0x1u
#define DACL_SECURITY_INFORMATION 0x4u
#define PROTECTED_DACL_SECURITY_INFORMATION 0x80000000u
#define SDDL_REVISION_1 1u
#define READ_CONTROL 0x00020000u
#define SYNCHRONIZE 0x00100000u
#define WRITE_DAC 0x00040000u
#define WRITE_OWNER 0x00080000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_ADD_FILE 0x2u
#define FILE_READ_ATTRIBUTES 0x80u
#define FILE_ADD_SUBDIRECTORY 0x4u
#define FILE_WRITE_EA 0x10u
#define FILE_DELETE_CHILD 0x40u
#define FILE_WRITE_ATTRIBUTES 0x100u
#define TOKEN_QUERY 0x8u
typedef enum _SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE, SE_FILE_OBJECT, SE_SERVICE } SE_OBJECT_TYPE;
typedef enum _TOKEN_INFORMATION_CLASS { TokenUser = 1 } TOKEN_INFORMATION_CLASS;
typedef WORD SECURITY_DESCRIPTOR_CONTROL;
#define SE_DACL_PROTECTED 0x1000u
typedef enum _SID_NAME_USE { SidTypeUser = 1, SidTypeWellKnownGroup = 5 } SID_NAME_USE;
#define ERROR_NONE_MAPPED 1332u
typedef struct _SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
} SID_AND_ATTRIBUTES;
typedef struct _TOKEN_USER {
    SID_AND_ATTRIBUTES User;
} TOKEN_USER;

/// The subset of SDDL that tolvard and its tests use: "O:", "G:" (read, then left out) and "D:"
/// (flags P, AI, AR, NO_ACCESS_CONTROL for a null DACL), ACEs of type A or D with the flags
/// OI CI NP IO ID, rights as hex or two-letter codes, SIDs as S-1-... or the usual two-letter
/// aliases.
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR *descriptor,
                                                          PULONG size);
BOOL ConvertSidToStringSidA(PSID sid, LPSTR *text);
/// The descriptor that standin::set_security gave `name`; any other path has Wine's
/// synthesized one (see standin::set_security).
DWORD GetNamedSecurityInfoA(LPCSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                            PSID *owner, PSID *group, PACL *dacl, PACL *sacl,
                            PSECURITY_DESCRIPTOR *descriptor);
BOOL GetAce(PACL acl, DWORD index, LPVOID *ace);
/// The DACL of a descriptor made by ConvertStringSecurityDescriptorToSecurityDescriptorA:
/// *present whether it has one, *dacl nullptr for a null one; *defaulted always FALSE.
BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL *present, PACL *dacl,
                               BOOL *defaulted);
/// Sets the DACL of the file or folder open as `handle` (of SE_FILE_OBJECT only), as
/// standin::security_sets shows. The handle must have been opened with WRITE_DAC, else
/// ERROR_ACCESS_DENIED; a handle that is no open file: ERROR_INVALID_HANDLE; `what` without
/// DACL_SECURITY_INFORMATION or with any owner, group or SACL: ERROR_INVALID_PARAMETER.
DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID owner,
                      PSID group, PACL dacl, PACL sacl);
/// The DACL of the file or folder open as `handle` (`what` DACL_SECURITY_INFORMATION only), as
/// the stand-in knows it (see standin::set_access_token), else Wine's synthesized one; the
/// handle must have READ_CONTROL, else ERROR_ACCESS_DENIED.
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID *owner,
                      PSID *group, PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor);
BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                  SECURITY_DESCRIPTOR_CONTROL *control, LPDWORD revision);
/// Knows the names "NT SERVICE\NAME" (any case) alone, each with a SID of its own,
/// S-1-5-80-... (see standin::service_sid); any other: ERROR_NONE_MAPPED.
BOOL LookupAccountNameA(LPCSTR system, LPCSTR name, PSID sid, LPDWORD sid_size, LPSTR domain,
                        LPDWORD domain_size, SID_NAME_USE *use);
HLOCAL LocalFree(HLOCAL block);
HANDLE GetCurrentProcess(void);
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what, LPVOID info, DWORD size,
                         PDWORD needed);

#include "log/log.h"

#include "host/events.h"
#include "platform/util.h"
#include "platform/win.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

// A file that the log writes: its handle for the lines, its full path (heap text) and that of
// its old file, the lines that could not be written since the last that could, the size at
// which keeping it as its old file last failed (0: none since), and whether this process may
// only append to it (a service run under another account, on tolvard.log).
struct LogFile {
    HANDLE handle;
    char *path;
    char *old_path;
    int dropped;
    uint64_t failed_at;
    bool append_only;
};
// tolvard.log, or the file this run logs to instead.
static LogFile main_log = {INVALID_HANDLE_VALUE, nullptr, nullptr, 0, 0, false};
// The service's own log, and the folders it lies in, held open without sharing their deletion
// for the life of the process, so that nobody can put a junction in their place meanwhile.
static LogFile service_log = {INVALID_HANDLE_VALUE, nullptr, nullptr, 0, 0, false};
static const int max_folders = 8;
static HANDLE service_folders[max_folders];
static int service_folder_count;
// The lines written before the service's log is opened, for it; kept until log_open_service.
static bool keeping = true;
static char kept_lines[8192];
static size_t kept_length;
static CRITICAL_SECTION log_lock;
[[maybe_unused]] static const bool log_lock_ready = (InitializeCriticalSection(&log_lock), true);
// The lines handed over (log_hand_over): their messages, each ended by a NUL, in order, and how
// many found no room. queue_lock is held for a copy at most, never across a wait.
static char queued[16384];
static size_t queued_length;
static int queued_lost;
static CRITICAL_SECTION queue_lock;
[[maybe_unused]] static const bool queue_lock_ready =
    (InitializeCriticalSection(&queue_lock), true);

// The longest stretch of an escaped name in one file or folder name: with a device's escape,
// "#" or ".old.log", well under the 255 characters a name may have.
static const size_t name_piece = 240;

static char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

static bool same_letters(const char *text, size_t length, const char *word) {
    if (strlen(word) != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (upper(text[i]) != word[i])
            return false;
    }
    return true;
}

// Whether Windows takes the name of `length` bytes as a device: its part before the first dot,
// without trailing blanks, is a device's name, whatever follows.
static bool device_name(const char *name, size_t length) {
    const char *dot = static_cast<const char *>(memchr(name, '.', length));
    size_t stem = dot != nullptr ? static_cast<size_t>(dot - name) : length;
    while (stem > 0 && name[stem - 1] == ' ')
        --stem;
    static const char *const devices[] = {"CON",    "PRN",     "AUX",   "NUL",
                                          "CONIN$", "CONOUT$", "CLOCK$"};
    for (const char *device : devices) {
        if (same_letters(name, stem, device))
            return true;
    }
    return stem == 4 && (same_letters(name, 3, "COM") || same_letters(name, 3, "LPT")) &&
           name[3] >= '0' && name[3] <= '9';
}

static char *put_escape(char *out, unsigned char c) {
    static const char hex[] = "0123456789ABCDEF";
    *out++ = '%';
    *out++ = hex[c >> 4];
    *out++ = hex[c & 15];
    return out;
}

// Copies one piece of an escaped name, with its first letter escaped if it is a device's name.
static char *put_piece(char *out, const char *piece, size_t length) {
    if (length > 0 && device_name(piece, length)) {
        out = put_escape(out, static_cast<unsigned char>(piece[0]));
        ++piece;
        --length;
    }
    memcpy(out, piece, length);
    return out + length;
}

char *log_service_name(const char *service) {
    size_t length = strlen(service);
    // Every byte may take three, and each piece a device's escape, "#" and a separator.
    char *escaped = static_cast<char *>(heap_alloc(3 * length + 4));
    char *name =
        static_cast<char *>(heap_alloc(3 * length + 4 + (3 * length / name_piece + 1) * 4));
    if (escaped == nullptr || name == nullptr) {
        heap_free(escaped);
        heap_free(name);
        return nullptr;
    }
    char *end = escaped;
    // An empty name is none that the service control manager gives; it still gets a file.
    if (length == 0)
        end = put_escape(end, 0);
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(service[i]);
        bool last = i + 1 == length;
        // Windows drops a name's trailing dots and blanks; ".old" at the end would make the log
        // of "x.old" the old file of "x"; a "~" could spell another file's short name.
        if (c < 0x20 || c >= 0x7F || strchr("\\/:*?\"<>|%#~", c) != nullptr ||
            (last && (c == '.' || c == ' ')) ||
            (c == '.' && i + 4 == length && same_letters(service + i + 1, 3, "OLD")))
            end = put_escape(end, c);
        else
            *end++ = static_cast<char>(c);
    }
    size_t total = static_cast<size_t>(end - escaped);
    char *out = name;
    for (size_t start = 0; start < total;) {
        size_t size = total - start;
        if (size > name_piece) {
            size = name_piece;
            // An escape stays whole in one piece.
            if (escaped[start + size - 1] == '%')
                size -= 1;
            else if (escaped[start + size - 2] == '%')
                size -= 2;
        }
        out = put_piece(out, escaped + start, size);
        start += size;
        if (start < total) {
            *out++ = '#';
            *out++ = '\\';
        }
    }
    *out = '\0';
    heap_free(escaped);
    return name;
}

char *log_path(const char *name) {
    char *exe = module_file_name();
    if (exe == nullptr)
        return nullptr;
    char *cut = const_cast<char *>(last_separator(exe));
    if (cut != nullptr)
        *cut = '\0';
    char *path = static_cast<char *>(heap_alloc(strlen(exe) + strlen(name) + 2));
    if (path != nullptr)
        sprintf(path, "%s\\%s", exe, name);
    heap_free(exe);
    return path;
}

// Writes `n` as `width` decimal digits and returns the end.
static char *put_digits(char *p, int n, int width) {
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + n % 10);
        n /= 10;
    }
    return p + width;
}

void now_text(char (&text)[32]) {
    // The lines of a start come within one second, and localtime costs more than the line's
    // write (glibc reads the zone file's status each call): the text of the last second is
    // kept. msvcrt reads the time zone once per process, so a kept text is never staler than
    // a fresh one would be.
    static __time64_t kept_second = -1;
    static char kept[32] = "0000/00/00 00:00:00";
    // The 64-bit calls: the 32-bit build's time_t ends in 2038, and localtime then fails.
    __time64_t now = _time64(nullptr);
    if (now != kept_second || now < 0) {
        // localtime's result is shared; every caller holds log_lock.
        const struct tm *t = _localtime64(&now);
        if (t == nullptr || t->tm_year + 1900 < 0 || t->tm_year + 1900 > 9999) {
            strcpy(kept, "0000/00/00 00:00:00");
        } else {
            // By hand: snprintf would cost as much as the rest of the line.
            char *p = put_digits(kept, t->tm_year + 1900, 4);
            *p++ = '/';
            p = put_digits(p, t->tm_mon + 1, 2);
            *p++ = '/';
            p = put_digits(p, t->tm_mday, 2);
            *p++ = ' ';
            p = put_digits(p, t->tm_hour, 2);
            *p++ = ':';
            p = put_digits(p, t->tm_min, 2);
            *p++ = ':';
            p = put_digits(p, t->tm_sec, 2);
            *p = '\0';
        }
        kept_second = now;
    }
    memcpy(text, kept, sizeof kept);
}

static const DWORD log_share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The size past which a log is kept as its old file and starts anew, and how much further a log
// whose keeping failed grows before it is tried again (so that a held old file costs one try,
// and one line, a MiB). A log bigger than the limit and a write (one left by an older tolvard)
// is renamed instead of copied: a copy takes time in its size, a rename none.
static const uint64_t log_limit = 16u << 20;
static const uint64_t retry_step = 1u << 20;
static const uint64_t copy_limit = log_limit + (1u << 20);

static uint64_t size_of(const BY_HANDLE_FILE_INFORMATION &info) {
    return static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
}

// The size of the file of `handle`, asked before every write. Not GetFileInformationByHandle:
// under Wine that also asks for the volume's serial number, half a millisecond a call, against
// a microsecond for the size alone.
static bool size_by_handle(HANDLE handle, uint64_t *size) {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(handle, &value))
        return false;
    *size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

// `path` in its wide form with the "\\?\" prefix, which lifts the limit of MAX_PATH (a
// service's name alone may have 256 characters), in a new heap text; nullptr when there is no
// memory. The prefix takes the path as it stands, so it must be full and plain, as the
// executable's own path is.
static WCHAR *long_path(const char *path) {
    const char *prefix = "";
    const char *rest = path;
    if (path[0] == '\\' && path[1] == '\\' && path[2] != '?' && path[2] != '.') {
        prefix = "\\\\?\\UNC\\";
        rest = path + 2;
    } else if (path[0] != '\0' && path[1] == ':') {
        prefix = "\\\\?\\";
    }
    char *full = static_cast<char *>(heap_alloc(strlen(prefix) + strlen(rest) + 1));
    if (full == nullptr)
        return nullptr;
    strcpy(full, prefix);
    strcat(full, rest);
    int units = MultiByteToWideChar(CP_ACP, 0, full, -1, nullptr, 0);
    WCHAR *wide = units > 0 ? static_cast<WCHAR *>(heap_alloc(units * sizeof(WCHAR))) : nullptr;
    if (wide != nullptr && MultiByteToWideChar(CP_ACP, 0, full, -1, wide, units) != units) {
        heap_free(wide);
        wide = nullptr;
    }
    heap_free(full);
    return wide;
}

// Opens `path` for `access`, creating it with the security `attributes` if it is missing. A
// reparse point is opened itself, never followed. Only a plain file with this one name is ours
// to write: a hard link's other name may be any file on the volume, a file that SYSTEM may write
// and its owner may not. Anything else is deleted (the name only, never what it leads to) and
// made anew, once; *replaced tells that it was.
static HANDLE open_own(const char *path, DWORD access, LPSECURITY_ATTRIBUTES attributes,
                       bool *replaced) {
    for (int tries = 0; tries < 2; ++tries) {
        HANDLE file = CreateFileA(path, access, log_share, attributes, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return file;
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1 &&
            (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ==
                0)
            return file;
        CloseHandle(file);
        *replaced = true;
        if (!DeleteFileA(path))
            return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

// Whether two ACLs hold the same ACEs in the same order.
static bool same_aces(PACL a, PACL b) {
    if (a == nullptr || b == nullptr || a->AceCount != b->AceCount)
        return a == b;
    for (DWORD i = 0; i < a->AceCount; ++i) {
        void *x = nullptr;
        void *y = nullptr;
        if (!GetAce(a, i, &x) || !GetAce(b, i, &y))
            return false;
        WORD size = static_cast<ACE_HEADER *>(x)->AceSize;
        if (size != static_cast<ACE_HEADER *>(y)->AceSize || memcmp(x, y, size) != 0)
            return false;
    }
    return true;
}

// Whether the file or folder at `wide` already has the protected DACL `dacl`.
static bool already_private(const WCHAR *wide, PACL dacl) {
    HANDLE handle =
        CreateFileW(wide, READ_CONTROL | FILE_READ_ATTRIBUTES, log_share, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    PACL found = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool same = GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &found, nullptr, &descriptor) == ERROR_SUCCESS &&
                GetSecurityDescriptorControl(descriptor, &control, &revision) &&
                (control & SE_DACL_PROTECTED) != 0 && same_aces(found, dacl);
    LocalFree(descriptor);
    CloseHandle(handle);
    return same;
}

// Gives the file or folder at `path` the DACL of `attributes` (SYSTEM and Administrators
// alone): Windows keeps the security of what exists when it is opened, and tolvard 1.1.0 let
// Users read its logs. A missing file is left missing; a reparse point or a file of more than
// one name is left as it is, as its security may be another file's (it is never written
// through either). Returns 0 or the error. Lock held.
static DWORD make_private(const char *path, LPSECURITY_ATTRIBUTES attributes) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    // The security is made from a text of ours: only a lack of memory keeps it from being made.
    if (attributes == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (!GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &dacl, &defaulted) ||
        !present)
        return ERROR_INVALID_SECURITY_DESCR;
    WCHAR *wide = long_path(path);
    if (wide == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    HANDLE handle = CreateFileW(wide, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES, log_share,
                                nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD open_error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    // A service run under another account may not change the security, which reg or a run as
    // SYSTEM made: what it may read of it is enough to know that it is already so.
    bool already = open_error == ERROR_ACCESS_DENIED && already_private(wide, dacl);
    heap_free(wide);
    if (handle == INVALID_HANDLE_VALUE) {
        if (already || open_error == ERROR_FILE_NOT_FOUND || open_error == ERROR_PATH_NOT_FOUND)
            return 0;
        return open_error != 0 ? open_error : ERROR_ACCESS_DENIED;
    }
    DWORD error = 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        error = GetLastError() != 0 ? GetLastError() : ERROR_ACCESS_DENIED;
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
             ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || info.nNumberOfLinks == 1))
        error = SetSecurityInfo(handle, SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, dacl, nullptr);
    CloseHandle(handle);
    return error;
}

// The turn at the log among the processes that share it. On Windows an append-only handle
// already writes each line at the end in one piece; Wine gets the file's size and then writes
// there, and two processes may do that at once. The turn is a lock of one byte far past any
// real length of the file: only those who can open the log can take it, and they could spoil
// the log anyway. One try; returns whether the lock was taken.
static bool try_turn(HANDLE file, OVERLAPPED *at) {
    memset(at, 0, sizeof *at);
    at->Offset = 0xFFFFFFF0u;
    at->OffsetHigh = 0x7FFFFFFFu;
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, at) !=
           FALSE;
}

// Waits its turn for at most 2 s: another process that hangs in its turn must not stop this
// one. Returns whether the lock was taken.
static bool take_turn(HANDLE file, OVERLAPPED *at) {
    DWORD start = GetTickCount();
    for (;;) {
        if (try_turn(file, at))
            return true;
        if (GetLastError() != ERROR_LOCK_VIOLATION || GetTickCount() - start >= 2000)
            return false;
        Sleep(1);
    }
}

// Copies what is left to read of `from` to the end of `to`; returns whether all of it went.
static bool copy_rest(HANDLE from, HANDLE to, char *buffer, DWORD size) {
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(from, buffer, size, &got, nullptr))
            return false;
        if (got == 0)
            return true;
        DWORD written = 0;
        if (!WriteFile(to, buffer, got, &written, nullptr) || written != got)
            return false;
    }
}

// Copies the log's content to `old_path`, replacing what was there, and empties the log; the
// file itself stays, so that the handles other processes have open on it (services that share
// this copy of tolvard, readers) keep writing and reading the current log. A rename would take
// their handles along to the old name. Most of the copy is made outside the turn, so that the
// others' lines wait only for what they wrote meanwhile; a line written after the last read
// and before the cut would be lost, so those two happen in one turn. If the copy cannot be
// made, the log is not emptied, and *kept_error tells why.
static BOOL keep_and_empty(HANDLE file, bool keep, const char *old_path,
                           LPSECURITY_ATTRIBUTES attributes, bool *replaced, DWORD *kept_error) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE old = INVALID_HANDLE_VALUE;
    const DWORD size = 64 * 1024;
    char *buffer = nullptr;
    if (keep && GetFileInformationByHandle(file, &info) &&
        (info.nFileSizeLow != 0 || info.nFileSizeHigh != 0)) {
        buffer = old_path != nullptr ? static_cast<char *>(heap_alloc(size)) : nullptr;
        old = buffer != nullptr ? open_own(old_path, GENERIC_WRITE, attributes, replaced)
                                : INVALID_HANDLE_VALUE;
        bool copied =
            old != INVALID_HANDLE_VALUE && SetEndOfFile(old) && copy_rest(file, old, buffer, size);
        if (!copied) {
            *kept_error = buffer == nullptr ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
            if (*kept_error == 0)
                *kept_error = ERROR_GEN_FAILURE;
            if (old != INVALID_HANDLE_VALUE)
                CloseHandle(old);
            old = INVALID_HANDLE_VALUE;
        }
    }
    OVERLAPPED at;
    bool turn = take_turn(file, &at);
    if (old != INVALID_HANDLE_VALUE) {
        if (!copy_rest(file, old, buffer, size))
            *kept_error = GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
        CloseHandle(old);
    }
    heap_free(buffer);
    // What could not be kept stays: the lines go on after it.
    BOOL emptied = *kept_error != 0 ||
                   (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(file));
    DWORD error = GetLastError();
    if (turn)
        UnlockFileEx(file, 0, 1, 0, &at);
    SetLastError(error);
    return emptied;
}

// Empties the log at `path` (with `keep`, its content kept at `old_path` first; a null
// `old_path` is a lack of memory) and opens it for the lines. Services run by one copy of
// tolvard share the file, each process with a handle of its own. A handle that may only append
// writes each line at the end the file has at that moment, in one step, so the processes' lines
// never overwrite each other (with a file position of its own, each would write over the other's
// lines). Such a handle cannot empty the file, so a first one does that and is closed again. The
// line handle may also read: on Windows LockFileEx refuses a handle that may neither read nor write
// data, and reading leaves the appends as they are. *refused tells that the first open was
// refused for want of access.
static HANDLE open_log(const char *path, bool keep, const char *old_path,
                       LPSECURITY_ATTRIBUTES attributes, bool *replaced, DWORD *kept_error,
                       bool *refused) {
    HANDLE file = open_own(path, GENERIC_READ | GENERIC_WRITE, attributes, replaced);
    if (file == INVALID_HANDLE_VALUE) {
        *refused = GetLastError() == ERROR_ACCESS_DENIED;
        return file;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (keep && GetFileInformationByHandle(file, &info) && size_of(info) > copy_limit) {
        // Too big to copy before the service control manager gives up on the start (a log of
        // an older tolvard may hold gigabytes): renamed, which takes no time in its size. If it
        // cannot be, it stays, and the lines go on after what it holds.
        CloseHandle(file);
        WCHAR *wide = long_path(path);
        WCHAR *old_wide = old_path != nullptr ? long_path(old_path) : nullptr;
        if (wide == nullptr || old_wide == nullptr)
            *kept_error = ERROR_NOT_ENOUGH_MEMORY;
        else if (!MoveFileExW(wide, old_wide, MOVEFILE_REPLACE_EXISTING))
            *kept_error = GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
        heap_free(wide);
        heap_free(old_wide);
        return open_own(path, FILE_READ_DATA | FILE_APPEND_DATA, attributes, replaced);
    }
    BOOL emptied = keep_and_empty(file, keep, old_path, attributes, replaced, kept_error);
    DWORD error = GetLastError();
    CloseHandle(file);
    if (!emptied) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return open_own(path, FILE_READ_DATA | FILE_APPEND_DATA, attributes, replaced);
}

// Closes the log `f` and forgets its paths and counts. Lock held.
static void close_log(LogFile *f) {
    if (f->handle != INVALID_HANDLE_VALUE)
        CloseHandle(f->handle);
    f->handle = INVALID_HANDLE_VALUE;
    heap_free(f->path);
    heap_free(f->old_path);
    f->path = nullptr;
    f->old_path = nullptr;
    f->dropped = 0;
    f->failed_at = 0;
    f->append_only = false;
}

// Sets the paths of the log `f` to `path` and its old file's, the same with ".old.log" for its
// ".log" (both nullptr without memory: the log then grows on and is never kept). Lock held.
static void set_paths(LogFile *f, const char *path) {
    size_t length = strlen(path);
    size_t stem = length >= 4 ? length - 4 : length;
    f->path = static_cast<char *>(heap_alloc(length + 1));
    f->old_path = static_cast<char *>(heap_alloc(stem + 9));
    if (f->path == nullptr || f->old_path == nullptr) {
        heap_free(f->path);
        heap_free(f->old_path);
        f->path = nullptr;
        f->old_path = nullptr;
        return;
    }
    memcpy(f->path, path, length + 1);
    memcpy(f->old_path, path, stem);
    memcpy(f->old_path + stem, ".old.log", 9);
}

// Closes the service's log and its folders; the next lines are kept for the next one. Lock held.
static void close_service_log() {
    close_log(&service_log);
    while (service_folder_count > 0)
        CloseHandle(service_folders[--service_folder_count]);
    keeping = true;
    kept_length = 0;
}

// The logs hold whatever the children print (tokens, connection strings): SYSTEM and
// Administrators alone may open them at all, as a reader who may open a log may also hold it
// open. The folders pass the same on to every file and folder made in them.
// A service that an administrator runs under another account (NetworkService, a virtual
// account) has in its token its own SID, NT SERVICE\NAME (reg gives the service one), and NT
// SERVICE\ALL SERVICES (S-1-5-80-0): the latter may append to tolvard.log (never read it) and
// open the folders (not add to them), and each service's own SID may read and write its own
// log and old file, which reg makes for it. Read, because keeping a full log copies it.
static const char file_sddl[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x120084;;;S-1-5-80-0)";
static const char folder_sddl[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x120081;;;S-1-5-80-0)";
static const char service_sddl[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
static const char service_grant[] = "(A;;0x12019f;;;%s)";

// The security that `sddl` says, made once into `*attributes` and kept for the life of the
// process; nullptr while it cannot be made (the system's default then). Lock held.
static LPSECURITY_ATTRIBUTES made_attributes(const char *sddl, SECURITY_ATTRIBUTES *attributes) {
    if (attributes->lpSecurityDescriptor == nullptr) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                                 nullptr))
            attributes->lpSecurityDescriptor = descriptor;
    }
    return attributes->lpSecurityDescriptor != nullptr ? attributes : nullptr;
}

// The security of the files the log makes. Lock held.
static LPSECURITY_ATTRIBUTES log_attributes() {
    static SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
    return made_attributes(file_sddl, &attributes);
}

// The security of the folders the log makes. Lock held.
static LPSECURITY_ATTRIBUTES folder_attributes() {
    static SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
    return made_attributes(folder_sddl, &attributes);
}

// The SID of the service `service`, NT SERVICE\NAME, as S-1-5-80-... in a new heap text;
// nullptr where Windows has no service SIDs (XP), or where no memory is left (*no_memory then
// true).
static char *service_sid(const char *service, bool *no_memory) {
    static const char domain_prefix[] = "NT SERVICE\\";
    char *account = static_cast<char *>(heap_alloc(sizeof domain_prefix + strlen(service)));
    *no_memory = account == nullptr;
    if (account == nullptr)
        return nullptr;
    strcpy(account, domain_prefix);
    strcat(account, service);
    BYTE sid[68]; // SECURITY_MAX_SID_SIZE
    DWORD sid_size = sizeof sid;
    char domain[64];
    DWORD domain_size = sizeof domain;
    SID_NAME_USE use;
    char *text = nullptr;
    char *copy = nullptr;
    if (LookupAccountNameA(nullptr, account, sid, &sid_size, domain, &domain_size, &use) &&
        ConvertSidToStringSidA(sid, &text)) {
        copy = static_cast<char *>(heap_alloc(strlen(text) + 1));
        *no_memory = copy == nullptr;
        if (copy != nullptr)
            strcpy(copy, text);
        LocalFree(text);
    }
    heap_free(account);
    return copy;
}

// Makes into `*attributes` the security of the files of a service's own log: service_sddl,
// with the grant of the service's `sid` when there is one. Returns false without memory.
static bool make_service_attributes(const char *sid, SECURITY_ATTRIBUTES *attributes) {
    size_t room = sizeof service_sddl + sizeof service_grant + (sid != nullptr ? strlen(sid) : 0);
    char *sddl = static_cast<char *>(heap_alloc(room));
    if (sddl == nullptr)
        return false;
    strcpy(sddl, service_sddl);
    if (sid != nullptr)
        snprintf(sddl + strlen(sddl), room - strlen(sddl), service_grant, sid);
    made_attributes(sddl, attributes);
    heap_free(sddl);
    return attributes->lpSecurityDescriptor != nullptr;
}

// The security of the files of this process's service's own log, made by log_open_service;
// nullptr before (the system's default then). Lock held.
static SECURITY_ATTRIBUTES own_attributes = {sizeof own_attributes, nullptr, FALSE};
static LPSECURITY_ATTRIBUTES service_attributes() {
    return own_attributes.lpSecurityDescriptor != nullptr ? &own_attributes : nullptr;
}

// The security of the files of the log `f`. Lock held.
static LPSECURITY_ATTRIBUTES attributes_of(const LogFile *f) {
    return f == &service_log ? service_attributes() : log_attributes();
}

void log_open(void) {
    bool replaced = false;
    DWORD error = 0;
    DWORD kept_error = 0;
    EnterCriticalSection(&log_lock);
    LPSECURITY_ATTRIBUTES attributes = log_attributes();
    close_log(&main_log);
    close_service_log();
    // Made anew for the service that this run names.
    LocalFree(own_attributes.lpSecurityDescriptor);
    own_attributes.lpSecurityDescriptor = nullptr;
    EnterCriticalSection(&queue_lock);
    queued_length = 0;
    queued_lost = 0;
    LeaveCriticalSection(&queue_lock);
    char *path = log_path("tolvard.log");
    char *old_path = log_path("tolvard.old.log");
    bool refused = false;
    if (path != nullptr)
        main_log.handle =
            open_log(path, true, old_path, attributes, &replaced, &kept_error, &refused);
    // A service run under another account may append to tolvard.log and nothing more: it
    // neither keeps nor empties it, which is left to the next run as SYSTEM, and its lines go
    // after what the file holds.
    if (refused) {
        main_log.handle = open_own(path, FILE_APPEND_DATA, attributes, &replaced);
        if (main_log.handle == INVALID_HANDLE_VALUE)
            SetLastError(ERROR_ACCESS_DENIED);
        main_log.append_only = main_log.handle != INVALID_HANDLE_VALUE;
    }
    if (main_log.handle != INVALID_HANDLE_VALUE) {
        set_paths(&main_log, path);
        // What could not be kept is tried again only once the log has grown on.
        BY_HANDLE_FILE_INFORMATION info;
        if (kept_error != 0 && GetFileInformationByHandle(main_log.handle, &info))
            main_log.failed_at = size_of(info);
    }
    // A process that holds the log open and shares no writing (any user who may read it can)
    // would otherwise silence every later run. Windows cannot rename or delete a file that is
    // held without FILE_SHARE_DELETE, so the run logs to a name of its own beside it instead.
    char name[48] = "";
    if (path != nullptr && main_log.handle == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        for (int n = 0; n < 10 && main_log.handle == INVALID_HANDLE_VALUE; ++n) {
            if (n == 0)
                snprintf(name, sizeof name, "tolvard-%lu.log",
                         static_cast<unsigned long>(GetCurrentProcessId()));
            else
                snprintf(name, sizeof name, "tolvard-%lu-%d.log",
                         static_cast<unsigned long>(GetCurrentProcessId()), n);
            char *other = log_path(name);
            if (other != nullptr)
                main_log.handle =
                    open_log(other, false, nullptr, attributes, &replaced, &kept_error, &refused);
            if (main_log.handle != INVALID_HANDLE_VALUE)
                set_paths(&main_log, other);
            heap_free(other);
        }
    }
    // What exists keeps its security when it is opened: the log in use and tolvard.old.log
    // are made private here, once they are what they are to be.
    DWORD private_error = 0;
    const char *private_name = name[0] != '\0' ? name : "tolvard.log";
    if (main_log.handle != INVALID_HANDLE_VALUE && main_log.path != nullptr)
        private_error = make_private(main_log.path, attributes);
    if (private_error == 0 && old_path != nullptr) {
        private_error = make_private(old_path, attributes);
        private_name = "tolvard.old.log";
    }
    heap_free(old_path);
    heap_free(path);
    bool logging = main_log.handle != INVALID_HANDLE_VALUE;
    bool appending = main_log.append_only;
    LeaveCriticalSection(&log_lock);
    if (appending)
        log_msg("fail to open tolvard.log error=%d, appending to it\n", ERROR_ACCESS_DENIED);
    if (error != 0) {
        log_msg("fail to open tolvard.log error=%d\n", static_cast<int>(error));
        event_log_not_opened(error, logging ? name : nullptr);
    }
    if (kept_error != 0) {
        log_msg("fail to keep tolvard.old.log error=%d\n", static_cast<int>(kept_error));
        log_msg("what tolvard.log held stays in it\n", 0);
        event_old_log_not_kept(kept_error);
    }
    if (replaced)
        log_msg("replaced a log file that had another name or was a reparse point\n", 0);
    if (private_error != 0) {
        char line[100];
        snprintf(line, sizeof line, "fail to make %s private error=%lu\n", private_name,
                 static_cast<unsigned long>(private_error));
        log_text(line);
    }
}

// Makes the folder `path` if it is missing and opens it, never through a reparse point: a
// junction could lead the logs anywhere that SYSTEM may write. The handle shares no deletion,
// so that the folder stays what it is while it is open. Lock held.
static HANDLE open_folder(const char *path, LPSECURITY_ATTRIBUTES attributes) {
    WCHAR *wide = long_path(path);
    if (wide == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    if (!CreateDirectoryW(wide, attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
        heap_free(wide);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE folder = CreateFileW(wide, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    heap_free(wide);
    if (folder == INVALID_HANDLE_VALUE)
        return folder;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(folder, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ==
            FILE_ATTRIBUTE_DIRECTORY)
        return folder;
    CloseHandle(folder);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

// Opens the service's log at `path` for appending, made if missing; a reparse point or a file
// with another name is refused (ERROR_ACCESS_DENIED), never written through. Lock held.
static HANDLE open_service_file(const char *path, LPSECURITY_ATTRIBUTES attributes) {
    WCHAR *wide = long_path(path);
    if (wide == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file =
        CreateFileW(wide, FILE_READ_DATA | FILE_APPEND_DATA, log_share, attributes, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    heap_free(wide);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1 &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0)
        return file;
    CloseHandle(file);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

// Sets *private_error to the first error that kept a folder or file from being made private
// and *private_name (heap text) to its name from "logs" on. Lock held.
static void make_service_private(const char *logs, const char *path,
                                 LPSECURITY_ATTRIBUTES attributes, DWORD *private_error,
                                 char **private_name) {
    if (*private_error != 0 || path == nullptr)
        return;
    *private_error = make_private(path, attributes);
    if (*private_error == 0)
        return;
    const char *from = path + strlen(logs) - 4; // "logs..."
    *private_name = static_cast<char *>(heap_alloc(strlen(from) + 1));
    if (*private_name != nullptr)
        strcpy(*private_name, from);
}

// Opens the folders of the service's log `name` (log_service_name's) under `logs` and the log
// in them, or, if the log cannot be opened, a file of this run beside it: NAME#PID.log, which
// no service's log can be ("#" is escaped in names). Sets *error to the first failure and
// *fallback (heap text, the name under "logs") to the file used instead; the folders are made
// with `folder_attributes`, and each folder and file is made private (make_service_private).
// Lock held.
static void open_service_log(const char *logs, const char *name, LPSECURITY_ATTRIBUTES attributes,
                             LPSECURITY_ATTRIBUTES folder_attributes, DWORD *error, char **fallback,
                             DWORD *private_error, char **private_name) {
    size_t room = strlen(logs) + strlen(name) + 48;
    char *path = static_cast<char *>(heap_alloc(room));
    if (path == nullptr) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return;
    }
    strcpy(path, logs);
    HANDLE folder = open_folder(path, folder_attributes);
    const char *piece = name;
    while (folder != INVALID_HANDLE_VALUE && service_folder_count < max_folders) {
        service_folders[service_folder_count++] = folder;
        make_service_private(logs, path, folder_attributes, private_error, private_name);
        const char *cut = strchr(piece, '\\');
        if (cut == nullptr)
            break;
        size_t length = strlen(path);
        snprintf(path + length, room - length, "\\%.*s", static_cast<int>(cut - piece), piece);
        piece = cut + 1;
        folder = open_folder(path, folder_attributes);
    }
    if (folder == INVALID_HANDLE_VALUE) {
        *error = GetLastError() != 0 ? GetLastError() : ERROR_ACCESS_DENIED;
        heap_free(path);
        return;
    }
    size_t folder_length = strlen(path);
    snprintf(path + folder_length, room - folder_length, "\\%s.log", piece);
    service_log.handle = open_service_file(path, attributes);
    if (service_log.handle != INVALID_HANDLE_VALUE) {
        set_paths(&service_log, path);
        make_service_private(logs, service_log.path, attributes, private_error, private_name);
        make_service_private(logs, service_log.old_path, attributes, private_error, private_name);
        heap_free(path);
        return;
    }
    *error = GetLastError() != 0 ? GetLastError() : ERROR_ACCESS_DENIED;
    if (fallback == nullptr) {
        heap_free(path);
        return;
    }
    for (int n = 0; n < 10 && service_log.handle == INVALID_HANDLE_VALUE; ++n) {
        unsigned long pid = static_cast<unsigned long>(GetCurrentProcessId());
        if (n == 0)
            snprintf(path + folder_length, room - folder_length, "\\%s#%lu.log", piece, pid);
        else
            snprintf(path + folder_length, room - folder_length, "\\%s#%lu-%d.log", piece, pid, n);
        service_log.handle = open_service_file(path, attributes);
    }
    if (service_log.handle != INVALID_HANDLE_VALUE) {
        set_paths(&service_log, path);
        make_service_private(logs, service_log.path, attributes, private_error, private_name);
        size_t logs_length = strlen(logs) + 1;
        *fallback = static_cast<char *>(heap_alloc(strlen(path) - logs_length + 1));
        if (*fallback != nullptr)
            strcpy(*fallback, path + logs_length);
    }
    heap_free(path);
}

static void write_lines_to(LogFile *f, const char *lines, size_t length, int count);

void log_open_service(const char *service) {
    DWORD error = 0;
    char *fallback = nullptr;
    DWORD private_error = 0;
    char *private_name = nullptr;
    char *name = log_service_name(service);
    char *logs = log_path("logs");
    bool no_memory = false;
    char *sid = service_sid(service, &no_memory);
    EnterCriticalSection(&log_lock);
    if (own_attributes.lpSecurityDescriptor == nullptr)
        make_service_attributes(sid, &own_attributes);
    if (name == nullptr || logs == nullptr)
        error = ERROR_NOT_ENOUGH_MEMORY;
    else if (service_log.handle == INVALID_HANDLE_VALUE)
        open_service_log(logs, name, service_attributes(), folder_attributes(), &error, &fallback,
                         &private_error, &private_name);
    if (service_log.handle != INVALID_HANDLE_VALUE && keeping && kept_length > 0) {
        int count = 0;
        for (size_t i = 0; i < kept_length; ++i)
            count += kept_lines[i] == '\n';
        write_lines_to(&service_log, kept_lines, kept_length, count);
    }
    keeping = false;
    kept_length = 0;
    LeaveCriticalSection(&log_lock);
    if (error != 0) {
        // The name may be long: the line keeps to the log's length, and the event names it whole.
        char line[1000];
        if (fallback != nullptr)
            snprintf(line, sizeof line,
                     "fail to open logs\\%.300s.log error=%lu, logging to logs\\%.300s\n", name,
                     static_cast<unsigned long>(error), fallback);
        else
            snprintf(line, sizeof line,
                     "fail to open logs\\%.300s.log error=%lu, logging to tolvard.log\n",
                     name != nullptr ? name : "", static_cast<unsigned long>(error));
        log_text(line);
        event_service_log_not_opened(name, error, fallback);
    }
    if (private_error != 0) {
        char line[1000];
        snprintf(line, sizeof line, "fail to make %.600s private error=%lu\n",
                 private_name != nullptr ? private_name : "logs",
                 static_cast<unsigned long>(private_error));
        log_text(line);
    }
    heap_free(private_name);
    heap_free(fallback);
    heap_free(sid);
    heap_free(logs);
    heap_free(name);
}

unsigned long log_prepare_service(const char *service) {
    bool no_memory = false;
    char *sid = service_sid(service, &no_memory);
    if (sid == nullptr)
        return no_memory ? ERROR_NOT_ENOUGH_MEMORY : 0;
    char *name = log_service_name(service);
    char *logs = log_path("logs");
    char *path = log_path("tolvard.log");
    SECURITY_ATTRIBUTES own = {sizeof own, nullptr, FALSE};
    DWORD error = 0;
    DWORD private_error = 0;
    char *private_name = nullptr;
    EnterCriticalSection(&log_lock);
    if (name == nullptr || logs == nullptr || path == nullptr ||
        !make_service_attributes(sid, &own)) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } else if (service_log.handle != INVALID_HANDLE_VALUE) {
        // It would take the place of the log of the service that this process runs.
        error = ERROR_BUSY;
    } else {
        bool replaced = false;
        HANDLE main = open_own(path, FILE_APPEND_DATA, log_attributes(), &replaced);
        if (main == INVALID_HANDLE_VALUE) {
            error = GetLastError() != 0 ? GetLastError() : ERROR_ACCESS_DENIED;
        } else {
            CloseHandle(main);
            private_error = make_private(path, log_attributes());
        }
        if (error == 0)
            open_service_log(logs, name, &own, folder_attributes(), &error, nullptr, &private_error,
                             &private_name);
        if (error == 0 && service_log.old_path != nullptr) {
            HANDLE old = open_service_file(service_log.old_path, &own);
            if (old == INVALID_HANDLE_VALUE)
                error = GetLastError() != 0 ? GetLastError() : ERROR_ACCESS_DENIED;
            else
                CloseHandle(old);
        }
        close_service_log();
    }
    LeaveCriticalSection(&log_lock);
    LocalFree(own.lpSecurityDescriptor);
    heap_free(private_name);
    heap_free(path);
    heap_free(logs);
    heap_free(name);
    heap_free(sid);
    return error != 0 ? error : private_error;
}

// Puts the time, ":" and the message (`length` bytes) with each line end as CR LF at `out`;
// returns the end. `out` must have room for 32 + 2 * length bytes.
static char *put_line(char *out, const char *time_text, const char *message, size_t length) {
    size_t time_length = strlen(time_text);
    memcpy(out, time_text, time_length);
    out += time_length;
    *out++ = ':';
    for (size_t i = 0; i < length; ++i) {
        if (message[i] == '\n')
            *out++ = '\r';
        *out++ = message[i];
    }
    return out;
}

static HANDLE open_service_file(const char *path, LPSECURITY_ATTRIBUTES attributes);

// Whether two handles are one file.
static bool same_file(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// Keeps what the full log `f` holds (`info` its handle's) as its old file and empties it.
// The copy goes through a handle of its own that may cut the file, which stays the same file:
// other processes' handles on it (services of this copy on tolvard.log, readers sharing
// writing) go on with the current log, and a reader that shares no deletion, which would keep
// a rename from happening, is no hindrance. Every step is in the writer's turn, so no line comes
// between the copy and the cut. A log that is too big to copy is renamed, and a handle whose
// file no longer has the log's name (renamed by another process) is replaced by one on the
// file that has it: *retired is then the handle to close once the turn is over. Returns 0, or
// the error that kept it from being kept (the log then stays as it is).
static DWORD keep_full_log(LogFile *f, const BY_HANDLE_FILE_INFORMATION &info, HANDLE *retired) {
    WCHAR *wide = long_path(f->path);
    WCHAR *old_wide = long_path(f->old_path);
    char *buffer = static_cast<char *>(heap_alloc(64 * 1024));
    DWORD error = 0;
    HANDLE cutter = INVALID_HANDLE_VALUE;
    BY_HANDLE_FILE_INFORMATION now;
    if (wide == nullptr || old_wide == nullptr || buffer == nullptr) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        cutter = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, log_share, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (cutter == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(cutter, &now))
            error = GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
    }
    if (error == 0 && !same_file(info, now)) {
        // Another process kept the log by renaming it: the lines go on in the file of its name.
        CloseHandle(cutter);
        cutter = INVALID_HANDLE_VALUE;
        HANDLE fresh = open_service_file(f->path, attributes_of(f));
        if (fresh == INVALID_HANDLE_VALUE) {
            error = GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
        } else {
            *retired = f->handle;
            f->handle = fresh;
        }
    } else if (error == 0 && size_of(info) > copy_limit) {
        CloseHandle(cutter);
        cutter = INVALID_HANDLE_VALUE;
        HANDLE fresh = INVALID_HANDLE_VALUE;
        if (MoveFileExW(wide, old_wide, MOVEFILE_REPLACE_EXISTING))
            fresh = open_service_file(f->path, attributes_of(f));
        if (fresh == INVALID_HANDLE_VALUE) {
            error = GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
        } else {
            *retired = f->handle;
            f->handle = fresh;
        }
    } else if (error == 0) {
        // The old file is written only if it is a plain file of one name, as the log is.
        HANDLE old = CreateFileW(old_wide, GENERIC_WRITE, log_share, attributes_of(f), OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        BY_HANDLE_FILE_INFORMATION old_info;
        bool plain = old != INVALID_HANDLE_VALUE && GetFileInformationByHandle(old, &old_info) &&
                     old_info.nNumberOfLinks == 1 &&
                     (old_info.dwFileAttributes &
                      (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
        if (!plain)
            error = old == INVALID_HANDLE_VALUE && GetLastError() != 0 ? GetLastError()
                                                                       : ERROR_ACCESS_DENIED;
        else if (!SetEndOfFile(old) || !copy_rest(cutter, old, buffer, 64 * 1024))
            error = GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
        if (old != INVALID_HANDLE_VALUE)
            CloseHandle(old);
        if (error == 0 &&
            (SetFilePointer(cutter, 0, nullptr, FILE_BEGIN) != 0 || !SetEndOfFile(cutter)))
            error = GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
    }
    if (cutter != INVALID_HANDLE_VALUE)
        CloseHandle(cutter);
    heap_free(buffer);
    heap_free(old_wide);
    heap_free(wide);
    return error;
}

// Cuts the log `f` back to `size`, the size it had, if its name still leads to the file of its
// handle; in the writer's turn.
static void cut_back(LogFile *f, uint64_t size) {
    WCHAR *wide = long_path(f->path);
    HANDLE cutter =
        wide != nullptr
            ? CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, log_share, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
            : INVALID_HANDLE_VALUE;
    heap_free(wide);
    if (cutter == INVALID_HANDLE_VALUE)
        return;
    BY_HANDLE_FILE_INFORMATION mine;
    BY_HANDLE_FILE_INFORMATION now;
    LONG high = static_cast<LONG>(size >> 32);
    if (GetFileInformationByHandle(f->handle, &mine) && GetFileInformationByHandle(cutter, &now) &&
        same_file(mine, now) &&
        (SetFilePointer(cutter, static_cast<LONG>(size), &high, FILE_BEGIN) !=
             INVALID_SET_FILE_POINTER ||
         GetLastError() == 0))
        SetEndOfFile(cutter);
    CloseHandle(cutter);
}

// The name of `path` for a line: from its folder "logs" on, or its file name alone.
static const char *shown_name(const char *path) {
    const char *logs = strstr(path, "\\logs\\");
    const char *last = last_separator(path);
    return logs != nullptr ? logs + 1 : last != nullptr ? last + 1 : path;
}

// Writes one line of the log's own at the end of `f`, the time and the message; in the turn.
static void write_note(LogFile *f, const char *message) {
    char line[32 + 2 * 1024];
    char time_text[32];
    now_text(time_text);
    char *end = put_line(line, time_text, message, strnlen(message, 1023));
    DWORD written = 0;
    WriteFile(f->handle, line, static_cast<DWORD>(end - line), &written, nullptr);
}

// Writes `length` bytes of `count` whole lines at the end of `f` in one write, in the turn
// (taken, or given up on): first keeps the log as its old file if they would take it past the
// limit, and says how many lines before them could not be written. A write that fails is
// counted, never silent. *retired as keep_full_log's.
static void write_in_turn(LogFile *f, const char *lines, size_t length, int count,
                          HANDLE *retired) {
    // The size before each write: the limit's test, and the cut of a piece a full disk took.
    uint64_t size = 0;
    bool sized = f->path != nullptr && size_by_handle(f->handle, &size);
    if (sized && f->append_only && size + length > log_limit) {
        // Not ours to keep: the lines are in the service's own log, and tolvard.log stays
        // bounded until a run as SYSTEM keeps it.
        f->dropped += count;
        return;
    }
    if (sized && f->old_path != nullptr && size + length > log_limit &&
        (f->failed_at == 0 || size >= f->failed_at + retry_step)) {
        BY_HANDLE_FILE_INFORMATION info;
        DWORD error = GetFileInformationByHandle(f->handle, &info) ? keep_full_log(f, info, retired)
                      : GetLastError() != 0                        ? GetLastError()
                                                                   : ERROR_GEN_FAILURE;
        f->failed_at = error != 0 ? size : 0;
        if (error != 0) {
            char message[1024];
            snprintf(message, sizeof message, "fail to keep %.900s error=%lu\n",
                     shown_name(f->old_path), static_cast<unsigned long>(error));
            write_note(f, message);
        }
        sized = size_by_handle(f->handle, &size);
    }
    if (f->dropped > 0) {
        char message[64];
        snprintf(message, sizeof message, "%d lines could not be written\n", f->dropped);
        char line[128];
        char time_text[32];
        now_text(time_text);
        char *end = put_line(line, time_text, message, strlen(message));
        DWORD written = 0;
        if (WriteFile(f->handle, line, static_cast<DWORD>(end - line), &written, nullptr) &&
            written == static_cast<DWORD>(end - line)) {
            f->dropped = 0;
        } else if (written > 0 && sized) {
            cut_back(f, size);
        }
        sized = sized && size_by_handle(f->handle, &size);
    }
    DWORD written = 0;
    if (!WriteFile(f->handle, lines, static_cast<DWORD>(length), &written, nullptr) ||
        written != length) {
        f->dropped += count;
        // A full disk may take part of the write: the piece is cut off again, so that no line
        // is left half.
        if (written > 0 && sized)
            cut_back(f, size);
    }
}

// Writes `length` bytes of `count` whole lines at the end of `f`, in one write and one turn,
// so that another process's line can never land among them; lock held.
static void write_lines_to(LogFile *f, const char *lines, size_t length, int count) {
    HANDLE file = f->handle;
    OVERLAPPED at;
    bool turn = take_turn(file, &at);
    HANDLE retired = INVALID_HANDLE_VALUE;
    write_in_turn(f, lines, length, count, &retired);
    if (turn)
        UnlockFileEx(file, 0, 1, 0, &at);
    if (retired != INVALID_HANDLE_VALUE)
        CloseHandle(retired);
}

static void write_message(const char *message);
static bool takes_long(const char *format);

// Writes the lines handed over, in order, before any other: with `wait`, each as write_line
// would; without, only if the turns of both logs are free at once, all in them. Returns whether
// none is left. Lock held.
static bool write_handed_over(bool wait) {
    static char taken[sizeof queued];
    EnterCriticalSection(&queue_lock);
    size_t length = queued_length;
    int lost = queued_lost;
    memcpy(taken, queued, length);
    LeaveCriticalSection(&queue_lock);
    if (length == 0 && lost == 0)
        return true;
    LogFile *files[2] = {&main_log, &service_log};
    OVERLAPPED at[2];
    bool turns[2] = {false, false};
    if (!wait) {
        for (int i = 0; i < 2; ++i) {
            HANDLE file = files[i]->handle;
            if (file == INVALID_HANDLE_VALUE)
                continue;
            turns[i] = try_turn(file, &at[i]);
            if (!turns[i] && GetLastError() == ERROR_LOCK_VIOLATION) {
                for (int j = 0; j < i; ++j) {
                    if (turns[j])
                        UnlockFileEx(files[j]->handle, 0, 1, 0, &at[j]);
                }
                return false;
            }
        }
    }
    HANDLE locked[2] = {files[0]->handle, files[1]->handle};
    HANDLE retired[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    for (size_t at_byte = 0; at_byte < length;) {
        const char *message = taken + at_byte;
        at_byte += strlen(message) + 1;
        if (wait) {
            write_message(message);
            continue;
        }
        char line[32 + 2 * 1024];
        char time_text[32];
        now_text(time_text);
        char *end = put_line(line, time_text, message, strnlen(message, 1023));
        size_t size = static_cast<size_t>(end - line);
        for (int i = 0; i < 2; ++i) {
            if (files[i]->handle != INVALID_HANDLE_VALUE)
                write_in_turn(files[i], line, size, 1, &retired[i]);
        }
        if (service_log.handle == INVALID_HANDLE_VALUE && keeping &&
            size <= sizeof kept_lines - kept_length) {
            memcpy(kept_lines + kept_length, line, size);
            kept_length += size;
        }
    }
    for (int i = 0; i < 2; ++i) {
        files[i]->dropped += lost;
        if (turns[i])
            UnlockFileEx(locked[i], 0, 1, 0, &at[i]);
        if (retired[i] != INVALID_HANDLE_VALUE)
            CloseHandle(retired[i]);
    }
    // What was written goes; what was handed over meanwhile stays.
    EnterCriticalSection(&queue_lock);
    memmove(queued, queued + length, queued_length - length);
    queued_length -= length;
    queued_lost -= lost;
    LeaveCriticalSection(&queue_lock);
    return true;
}

// Writes one message as a line of both logs (or keeps it for the service's); lock held.
static void write_message(const char *message) {
    char line[32 + 2 * 1024];
    char time_text[32];
    now_text(time_text);
    // Messages are under 1024 characters, so the line always fits.
    char *end = put_line(line, time_text, message, strnlen(message, 1023));
    size_t length = static_cast<size_t>(end - line);
    if (main_log.handle != INVALID_HANDLE_VALUE)
        write_lines_to(&main_log, line, length, 1);
    if (service_log.handle != INVALID_HANDLE_VALUE) {
        write_lines_to(&service_log, line, length, 1);
    } else if (keeping && length <= sizeof kept_lines - kept_length) {
        memcpy(kept_lines + kept_length, line, length);
        kept_length += length;
    }
}

static void write_line(const char *message) {
    EnterCriticalSection(&log_lock);
    write_handed_over(true);
    write_message(message);
    LeaveCriticalSection(&log_lock);
}

void log_flush(void) {
    EnterCriticalSection(&log_lock);
    write_handed_over(true);
    LeaveCriticalSection(&log_lock);
}

bool log_handed_over(void) {
    EnterCriticalSection(&queue_lock);
    bool waiting = queued_length > 0 || queued_lost > 0;
    LeaveCriticalSection(&queue_lock);
    return waiting;
}

// Whether a writer thread of the lines handed over runs; under queue_lock.
static bool writer_running;

// The writer of the lines handed over: writes them, waiting for the log as any writer does, until
// none is left, then ends; the next line handed over starts another.
static DWORD WINAPI write_handed_over_lines(LPVOID) {
    for (;;) {
        log_flush();
        EnterCriticalSection(&queue_lock);
        bool done = queued_length == 0 && queued_lost == 0;
        if (done)
            writer_running = false;
        LeaveCriticalSection(&queue_lock);
        if (done)
            return 0;
    }
}

// Queues a line handed over; with `wake`, starts a writer if none runs.
static bool format_message(char (&message)[1024], const char *format, int value);
static void queue_line(const char *format, int value, bool wake);

void log_hand_over(const char *format, int value) {
    queue_line(format, value, true);
}

void log_hand_over_for_flush(const char *format, int value) {
    queue_line(format, value, false);
}

static void queue_line(const char *format, int value, bool wake) {
    char message[1024];
    if (!format_message(message, format, value))
        return;
    size_t length = strlen(message) + 1;
    EnterCriticalSection(&queue_lock);
    if (length <= sizeof queued - queued_length) {
        memcpy(queued + queued_length, message, length);
        queued_length += length;
    } else {
        ++queued_lost;
    }
    bool start = wake && !writer_running;
    writer_running = writer_running || start;
    LeaveCriticalSection(&queue_lock);
    // Starting a thread waits for nothing; if it cannot be, the next line of any writer takes
    // these along.
    HANDLE writer =
        start ? CreateThread(nullptr, 0, write_handed_over_lines, nullptr, 0, nullptr) : nullptr;
    if (writer != nullptr) {
        CloseHandle(writer);
    } else if (start) {
        EnterCriticalSection(&queue_lock);
        writer_running = false;
        LeaveCriticalSection(&queue_lock);
    }
}

bool log_lines(const char *text, size_t length, bool force) {
    if (!TryEnterCriticalSection(&log_lock))
        return false;
    // The lines handed over come first, and only if they can come at once.
    if (!write_handed_over(force)) {
        LeaveCriticalSection(&log_lock);
        return false;
    }
    LogFile *f = service_log.handle != INVALID_HANDLE_VALUE ? &service_log : &main_log;
    HANDLE file = f->handle;
    if (file == INVALID_HANDLE_VALUE) {
        LeaveCriticalSection(&log_lock);
        return true;
    }
    // One try at the turn: the caller goes on with its work (draining the child's output)
    // between tries, and after its own time limit forces the write as take_turn would.
    OVERLAPPED at;
    bool turn = try_turn(file, &at);
    if (!turn && GetLastError() == ERROR_LOCK_VIOLATION && !force) {
        LeaveCriticalSection(&log_lock);
        return false;
    }
    int count = 0;
    for (size_t i = 0; i < length; ++i)
        count += text[i] == '\n';
    // Every line doubles at most (each LF gains a CR) and gains a time and ":".
    char *lines = static_cast<char *>(heap_alloc(count * 32 + 2 * length + 1));
    char time_text[32];
    now_text(time_text);
    char *end = lines;
    int batched = 0;
    HANDLE retired = INVALID_HANDLE_VALUE;
    for (size_t start = 0; start < length;) {
        const char *newline = static_cast<const char *>(memchr(text + start, '\n', length - start));
        if (newline == nullptr)
            break;
        size_t size = static_cast<size_t>(newline - (text + start)) + 1;
        if (size < 1000 && lines != nullptr) {
            end = put_line(end, time_text, text + start, size);
            ++batched;
        } else if (size < 1000) {
            // Without room for the whole, each line still goes in one piece, in this turn.
            char line[32 + 2 * 1024];
            char *line_end = put_line(line, time_text, text + start, size);
            write_in_turn(f, line, static_cast<size_t>(line_end - line), 1, &retired);
        }
        start += size;
    }
    if (lines != nullptr && end != lines)
        write_in_turn(f, lines, static_cast<size_t>(end - lines), batched, &retired);
    if (turn)
        UnlockFileEx(file, 0, 1, 0, &at);
    if (retired != INVALID_HANDLE_VALUE)
        CloseHandle(retired);
    LeaveCriticalSection(&log_lock);
    heap_free(lines);
    return true;
}

// Whether the one conversion in `format` is %ld, which takes a long where %d takes an int.
static bool takes_long(const char *format) {
    for (const char *p = strchr(format, '%'); p != nullptr; p = strchr(p + 2, '%')) {
        if (p[1] != '%')
            return p[strspn(p + 1, "-+ #0123456789.") + 1] == 'l';
    }
    return false;
}

// Formats `format` with `value` into `message`; false for a format of 1000 characters or more,
// which is dropped.
static bool format_message(char (&message)[1024], const char *format, int value) {
    if (strlen(format) >= 1000)
        return false;
    if (takes_long(format))
        snprintf(message, sizeof message, format, static_cast<long>(value));
    else
        snprintf(message, sizeof message, format, value);
    return true;
}

void log_msg(const char *format, int value) {
    char message[1024];
    if (format_message(message, format, value))
        write_line(message);
}

void log_text(const char *text) {
    if (strlen(text) >= 1000)
        return;
    write_line(text);
}

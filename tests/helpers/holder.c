/* holder FILE COPY SECONDS [r]
 * holder -mutex NAME COPY SECONDS
 * holder -lock FILE COPY SECONDS
 *
 * Another program that keeps a file open for reading and writing, as an editor or a log viewer
 * might, while a test goes on: opens FILE (sharing reading and writing, not deletion; with "r",
 * sharing reading only, as a hostile reader would) and, every 50 ms, reads it whole through its
 * own handle and, when that changed, writes what it read to COPY (through COPY.tmp, so a reader
 * of COPY never sees half of it). COPY appears as soon as FILE is open. Ends after SECONDS, or
 * as soon as a file COPY.stop exists; exits 0, or 1 if FILE cannot be opened.
 *
 * With -mutex it creates the named mutex NAME and holds it instead, as any user could hold the
 * mutex an older tolvard took turns through; COPY (empty) appears once it is held.
 *
 * With -lock it opens FILE (sharing everything) and holds the lock of the byte through which the
 * services that share a log take turns, as any process that may open the log could; COPY
 * (empty) appears once it is held.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char copy_tmp[MAX_PATH + 8];
static char copy_stop[MAX_PATH + 8];

static void write_copy(const char *copy, const char *data, DWORD size) {
    HANDLE out =
        CreateFileA(copy_tmp, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (out == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(out, data, size, &written, NULL);
    CloseHandle(out);
    MoveFileExA(copy_tmp, copy, MOVEFILE_REPLACE_EXISTING);
}

/* Makes COPY (empty) to say the thing is held, then waits until COPY.stop exists or LIMIT ms
 * have passed. */
static void hold_until_stop(const char *copy, DWORD limit) {
    write_copy(copy, "", 0);
    DWORD start = GetTickCount();
    while (GetFileAttributesA(copy_stop) == INVALID_FILE_ATTRIBUTES &&
           GetTickCount() - start < limit) {
        Sleep(50);
    }
}

static int hold_mutex(const char *name, const char *copy, DWORD limit) {
    HANDLE mutex = CreateMutexA(NULL, TRUE, name);
    if (mutex == NULL || GetLastError() == ERROR_ALREADY_EXISTS) {
        fprintf(stderr, "holder: CreateMutex error=%lu\n", GetLastError());
        return 1;
    }
    hold_until_stop(copy, limit);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}

static int hold_lock(const char *path, const char *copy, DWORD limit) {
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    OVERLAPPED at;
    memset(&at, 0, sizeof at);
    at.Offset = 0xFFFFFFF0u;
    at.OffsetHigh = 0x7FFFFFFFu;
    if (file == INVALID_HANDLE_VALUE || !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
        fprintf(stderr, "holder: cannot lock %s: error=%lu\n", path, GetLastError());
        return 1;
    }
    hold_until_stop(copy, limit);
    UnlockFileEx(file, 0, 1, 0, &at);
    CloseHandle(file);
    return 0;
}

int main(int argc, char **argv) {
    int lock = argc == 5 && strcmp(argv[1], "-lock") == 0;
    int mutex = argc == 5 && strcmp(argv[1], "-mutex") == 0;
    if (mutex || lock) {
        argv++;
        argc--;
    }
    if (argc != 4 && !(argc == 5 && !mutex && !lock && strcmp(argv[4], "r") == 0)) {
        fprintf(stderr, "usage: holder FILE COPY SECONDS [r] | holder -mutex NAME COPY SECONDS | "
                        "holder -lock FILE COPY SECONDS\n");
        return 2;
    }
    snprintf(copy_tmp, sizeof copy_tmp, "%s.tmp", argv[2]);
    snprintf(copy_stop, sizeof copy_stop, "%s.stop", argv[2]);
    DWORD limit = (DWORD)(strtod(argv[3], NULL) * 1000.0);
    if (mutex) {
        return hold_mutex(argv[1], argv[2], limit);
    }
    if (lock) {
        return hold_lock(argv[1], argv[2], limit);
    }
    DWORD share = argc == 5 ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, share, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "holder: CreateFile error=%lu\n", GetLastError());
        return 1;
    }
    size_t room = 1 << 20;
    char *seen = malloc(room);
    char *now = malloc(room);
    if (seen == NULL || now == NULL) {
        return 1;
    }
    DWORD seen_size = (DWORD)-1;
    DWORD start = GetTickCount();
    for (;;) {
        DWORD size = 0;
        SetFilePointer(file, 0, NULL, FILE_BEGIN);
        if (!ReadFile(file, now, (DWORD)room, &size, NULL)) {
            size = 0;
        }
        if (size != seen_size || memcmp(now, seen, size) != 0) {
            write_copy(argv[2], now, size);
            memcpy(seen, now, size);
            seen_size = size;
        }
        if (GetFileAttributesA(copy_stop) != INVALID_FILE_ATTRIBUTES ||
            GetTickCount() - start >= limit) {
            break;
        }
        Sleep(50);
    }
    CloseHandle(file);
    free(seen);
    free(now);
    return 0;
}

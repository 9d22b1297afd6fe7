/* bench_child: the child both services of the bench run.
 *
 * As soon as it runs it writes "<QueryPerformanceCounter> <process id>\n" to <own exe path>.stamp
 * in one write, so a reader that sees the newline has the whole record, and then sleeps until it
 * is ended. The performance counter is one clock for every process of the machine (under Wine,
 * the host's monotonic clock), so the measuring client can set the stamp against its own reading.
 * Asked to end with Ctrl+C (tolvard's stop), it exits at once; the bare service kills it.
 */
#include <windows.h>
#include <stdio.h>

static BOOL WINAPI on_ctrl(DWORD event) {
    (void)event;
    ExitProcess(0);
    return TRUE;
}

int main(void) {
    SetConsoleCtrlHandler(on_ctrl, TRUE);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    char path[MAX_PATH * 4 + 8];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4) {
        return 90;
    }
    strcpy(path + n, ".stamp");
    char record[64];
    int length = snprintf(record, sizeof record, "%lld %lu\n", (long long)now.QuadPart,
                          GetCurrentProcessId());
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 91;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, record, (DWORD)length, &written, NULL);
    CloseHandle(file);
    if (!ok || written != (DWORD)length) {
        return 92;
    }
    Sleep(INFINITE);
    return 0;
}

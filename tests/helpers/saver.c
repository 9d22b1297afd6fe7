/* saver: a console child that has something to save when it is asked to end.
 *
 *   saver save     on Ctrl+C it saves for 300 ms, then exits 0
 *   saver ignore   it ignores Ctrl+C, and runs on until it is killed (at most 120 s)
 *   saver window   ignores Ctrl+C, but has a hidden top-level window, and on WM_CLOSE it saves
 *                  for 300 ms, then exits 0
 *
 * Appends to <own exe path>.saves one line per event: "start" once it is ready for the request,
 * then "saving" when the request comes (or "ignored"), and "saved" once the 300 ms are over and
 * only then exits; a process killed while it saves leaves "saving" without "saved". Meanwhile it
 * appends a line to <own exe path>.ticks every 200 ms, as probe.exe does, so a test can see
 * whether it still runs. Copy it to another name to get a separate record.
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#define SAVE_MS 300
#define TICK_MS 200
#define MAX_TICKS (120 * 1000 / TICK_MS)

static char exe_path[MAX_PATH * 4];
static int ignore;

static void note(const char *suffix, const char *line) {
    char path[sizeof exe_path + 16];
    snprintf(path, sizeof path, "%s%s", exe_path, suffix);
    FILE *f = fopen(path, "ab");
    if (f != NULL) {
        fprintf(f, "%s\n", line);
        fclose(f);
    }
}

static void save_and_exit(void) {
    note(".saves", "saving");
    Sleep(SAVE_MS);
    note(".saves", "saved");
    ExitProcess(0);
}

static BOOL WINAPI on_ctrl(DWORD event) {
    if (event != CTRL_C_EVENT) {
        return FALSE;
    }
    if (ignore) {
        note(".saves", "ignored");
        return TRUE;
    }
    save_and_exit();
    return TRUE;
}

static LRESULT CALLBACK on_message(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_CLOSE) {
        save_and_exit();
    }
    return DefWindowProcA(window, message, w, l);
}

static DWORD WINAPI tick(void *unused) {
    (void)unused;
    char line[32];
    for (int n = 1; n <= MAX_TICKS; n++) {
        snprintf(line, sizeof line, "tick %d", n);
        note(".ticks", line);
        Sleep(TICK_MS);
    }
    ExitProcess(0);
    return 0;
}

int main(int argc, char **argv) {
    DWORD n = GetModuleFileNameA(NULL, exe_path, sizeof exe_path);
    if (n == 0 || n >= sizeof exe_path || argc < 2) {
        return 90;
    }
    HWND window = NULL;
    if (strcmp(argv[1], "window") == 0) {
        WNDCLASSA wc;
        memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = on_message;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "saver";
        if (!RegisterClassA(&wc)) {
            return 91;
        }
        window = CreateWindowA("saver", "saver", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, NULL, NULL,
                               wc.hInstance, NULL);
        if (window == NULL) {
            return 92;
        }
    }
    ignore = strcmp(argv[1], "save") != 0;
    SetConsoleCtrlHandler(on_ctrl, TRUE);
    note(".saves", "start");
    HANDLE ticker = CreateThread(NULL, 0, tick, NULL, 0, NULL);
    if (ticker == NULL) {
        return 93;
    }
    if (window != NULL) {
        MSG msg;
        while (GetMessageA(&msg, NULL, 0, 0) > 0) {
            DispatchMessageA(&msg);
        }
        return 0;
    }
    WaitForSingleObject(ticker, INFINITE);
    return 0;
}

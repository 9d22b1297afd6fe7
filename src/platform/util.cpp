#include "platform/util.h"

#include "platform/win.h"

#include <stdio.h>
#include <string.h>

void *heap_alloc(size_t size) {
    return HeapAlloc(GetProcessHeap(), 0, size > 0 ? size : 1);
}

void heap_free(void *block) {
    if (block != nullptr)
        HeapFree(GetProcessHeap(), 0, block);
}

char *heap_copy(const char *text) {
    size_t size = strlen(text) + 1;
    void *copy = heap_alloc(size);
    return copy != nullptr ? static_cast<char *>(memcpy(copy, text, size)) : nullptr;
}

char *module_file_name(void) {
    // GetModuleFileNameA returns the size it was given when the path does not fit (and on XP
    // leaves the text unterminated), so grow until the result is shorter than the buffer.
    for (DWORD size = 256;; size *= 2) {
        char *path = static_cast<char *>(heap_alloc(size + 1));
        if (path == nullptr)
            return nullptr;
        DWORD length = GetModuleFileNameA(nullptr, path, size);
        if (length < size || size >= 32768) {
            path[length < size ? length : size] = '\0';
            return path;
        }
        heap_free(path);
    }
}

const char *last_separator(const char *path) {
    const char *last = nullptr;
    for (const char *p = path; *p != '\0';
         p += IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0' ? 2 : 1) {
        if ((*p == '\\' || *p == '/') && p != path)
            last = p;
    }
    return last;
}

void print_system_error(DWORD code) {
    // Room for any of Windows' texts; one that does not fit is no text, as FormatMessageA
    // fails rather than cut it.
    char text[1024];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, text, sizeof text, nullptr);
    if (length >= sizeof text)
        length = 0;
    // Most texts end in CR LF, and a few hold more than one line: on our one line each run of
    // blanks and line breaks becomes one blank, and those at either end go.
    DWORD kept = 0;
    for (DWORD i = 0; i < length; ++i) {
        char c = text[i] == '\r' || text[i] == '\n' || text[i] == '\t' ? ' ' : text[i];
        if (c != ' ' || (kept > 0 && text[kept - 1] != ' '))
            text[kept++] = c;
    }
    while (kept > 0 && text[kept - 1] == ' ')
        --kept;
    text[kept] = '\0';
    if (kept > 0)
        printf("error %lu: %s\n", static_cast<unsigned long>(code), text);
    else
        printf("error %lu\n", static_cast<unsigned long>(code));
}

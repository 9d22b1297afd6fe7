/* evrender: renders Event Log entries with their message file, as Event Viewer does.
 *
 *   evrender FILE
 *
 * FILE holds one entry a line, its fields separated by tabs: the message file (a Windows path,
 * its %NAME% expanded as Event Viewer expands EventMessageFile), the event ID, then the entry's
 * insertion strings. The message file is loaded as data (LoadLibraryExA with
 * LOAD_LIBRARY_AS_DATAFILE: nothing in it runs), and the text of the ID is formatted with the
 * strings (FormatMessageA, FORMAT_MESSAGE_FROM_HMODULE and FORMAT_MESSAGE_ARGUMENT_ARRAY). For
 * each line it prints "ID<TAB>text", each line end of the text (CR LF from %n, and the LF that
 * ends the message) written as " | ". A file that cannot be loaded or an ID without a text
 * prints the failing call and GetLastError to stderr and exits 1.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MOST_STRINGS 16

static int fail(const char *call, const char *what) {
    fprintf(stderr, "evrender: %s %s error=%lu\n", call, what, GetLastError());
    return 1;
}

int main(int argc, char **argv) {
    static char line[65536];
    if (argc != 2) {
        fprintf(stderr, "usage: evrender FILE\n");
        return 2;
    }
    FILE *in = fopen(argv[1], "rb");
    if (in == NULL)
        return fail("fopen", argv[1]);
    while (fgets(line, sizeof line, in) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        char *fields[MOST_STRINGS + 2];
        int count = 0;
        for (char *field = line; field != NULL && count < MOST_STRINGS + 2;) {
            char *tab = strchr(field, '\t');
            if (tab != NULL)
                *tab++ = '\0';
            fields[count++] = field;
            field = tab;
        }
        if (count < 2)
            continue;
        char file[MAX_PATH * 4];
        DWORD length = ExpandEnvironmentStringsA(fields[0], file, sizeof file);
        if (length == 0 || length > sizeof file)
            return fail("ExpandEnvironmentStringsA", fields[0]);
        HMODULE module = LoadLibraryExA(file, NULL, LOAD_LIBRARY_AS_DATAFILE);
        if (module == NULL)
            return fail("LoadLibraryExA", file);
        DWORD_PTR strings[MOST_STRINGS];
        for (int i = 2; i < count; ++i)
            strings[i - 2] = (DWORD_PTR)fields[i];
        char *text = NULL;
        DWORD id = (DWORD)strtoul(fields[1], NULL, 10);
        DWORD made = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                        FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                    module, id, 0, (LPSTR)&text, 0, (va_list *)strings);
        if (made == 0)
            return fail("FormatMessageA", fields[1]);
        printf("%lu\t", (unsigned long)id);
        for (const char *p = text; *p != '\0'; ++p) {
            if (*p == '\n')
                printf(" | ");
            else if (*p != '\r')
                putchar(*p);
        }
        printf("\n");
        LocalFree(text);
        FreeLibrary(module);
    }
    fclose(in);
    return 0;
}

/* verinfo: what Windows itself reads from an executable's resources, as Explorer's Properties
 * and PowerShell's VersionInfo do.
 *
 *   verinfo FILE            the version resource through GetFileVersionInfo and VerQueryValue
 *   verinfo FILE manifest   the bytes of manifest resource 1 (type 24) as they are
 *
 * The version resource comes out as one key=value line per field: the fixed part's versions,
 * file type and system, the first translation, then each string of that translation's table
 * (a missing string shows as "(none)"). Any failure prints the failing call and GetLastError
 * to stderr and exits 1.
 */
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char *const string_names[] = {
    "CompanyName",    "FileDescription",  "FileVersion", "InternalName",
    "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion",
};

static int fail(const char *call) {
    fprintf(stderr, "verinfo: %s error=%lu\n", call, GetLastError());
    return 1;
}

static void print_version(const char *key, DWORD high, DWORD low) {
    printf("%s=%lu.%lu.%lu.%lu\n", key, (unsigned long)HIWORD(high), (unsigned long)LOWORD(high),
           (unsigned long)HIWORD(low), (unsigned long)LOWORD(low));
}

static int version_info(const char *file) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(file, &ignored);
    if (size == 0)
        return fail("GetFileVersionInfoSize");
    void *data = malloc(size);
    if (!GetFileVersionInfoA(file, 0, size, data))
        return fail("GetFileVersionInfo");

    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    if (!VerQueryValueA(data, "\\", (void **)&fixed, &length) || length < sizeof *fixed)
        return fail("VerQueryValue \\");
    printf("signature=%08lx\n", (unsigned long)fixed->dwSignature);
    print_version("file_version", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    print_version("product_version", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    printf("file_flags=%lx\n", (unsigned long)(fixed->dwFileFlags & fixed->dwFileFlagsMask));
    printf("file_os=%lx\n", (unsigned long)fixed->dwFileOS);
    printf("file_type=%lu\n", (unsigned long)fixed->dwFileType);

    WORD *translation = NULL;
    if (!VerQueryValueA(data, "\\VarFileInfo\\Translation", (void **)&translation, &length) ||
        length < 2 * sizeof(WORD))
        return fail("VerQueryValue Translation");
    printf("translation=%04x %04x\n", translation[0], translation[1]);

    for (size_t i = 0; i < sizeof string_names / sizeof string_names[0]; ++i) {
        char path[128];
        snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translation[0],
                 translation[1], string_names[i]);
        char *value = NULL;
        if (VerQueryValueA(data, path, (void **)&value, &length) && value != NULL)
            printf("%s=%s\n", string_names[i], value);
        else
            printf("%s=(none)\n", string_names[i]);
    }
    free(data);
    return 0;
}

static int manifest(const char *file) {
    HMODULE module = LoadLibraryExA(file, NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (module == NULL)
        return fail("LoadLibraryEx");
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    if (found == NULL)
        return fail("FindResource");
    DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const void *bytes = loaded != NULL ? LockResource(loaded) : NULL;
    if (bytes == NULL)
        return fail("LoadResource");
    _setmode(_fileno(stdout), _O_BINARY);
    fwrite(bytes, 1, size, stdout);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 2)
        return version_info(argv[1]);
    if (argc == 3 && strcmp(argv[2], "manifest") == 0)
        return manifest(argv[1]);
    fprintf(stderr, "usage: verinfo FILE [manifest]\n");
    return 2;
}

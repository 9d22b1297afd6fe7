#include "install/describe.h"

#include "platform/util.h"

#include <string.h>

// services.msc shows the description in a column and a tooltip: the command is cut well before
// it would fill them.
static const size_t description_command_limit = 200;
static const char source_key[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\tolvard";
static const char message_dll[] = "tolvard-messages.dll";

char *service_description(const char *command) {
    static const char before[] = "Runs ";
    static const char after[] = " (tolvard " TOLVARD_VERSION ")";
    // The child command's words each end in a blank, the last one too.
    char *whole = heap_copy(command);
    size_t length = whole != nullptr ? strlen(whole) : 0;
    while (length > 0 && whole[length - 1] == ' ')
        whole[--length] = '\0';
    char *cut = whole != nullptr ? heap_copy_cut(whole, description_command_limit) : nullptr;
    heap_free(whole);
    char *text = cut != nullptr
                     ? static_cast<char *>(heap_alloc(sizeof before + strlen(cut) + sizeof after))
                     : nullptr;
    if (text != nullptr) {
        strcpy(text, before);
        strcat(text, cut);
        strcat(text, after);
    }
    heap_free(cut);
    return text;
}

DWORD describe_service(SC_HANDLE service, const char *description) {
    SERVICE_DESCRIPTIONA info = {const_cast<char *>(description)};
    return ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &info) ? 0 : GetLastError();
}

static bool is_file(const char *path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Whether the source's key names message files, each of which exists.
static bool message_files_exist(HKEY key) {
    char value[1024];
    DWORD type = 0;
    DWORD size = sizeof value - 1;
    if (RegQueryValueExA(key, "EventMessageFile", nullptr, &type, reinterpret_cast<BYTE *>(value),
                         &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    // The stored text may or may not hold its terminating NUL.
    value[size] = '\0';
    char files[1024];
    DWORD length = ExpandEnvironmentStringsA(value, files, sizeof files);
    if (length == 0 || length > sizeof files)
        return false;
    bool all = files[0] != '\0';
    // Event Viewer takes a list of files, separated by ";".
    for (char *file = files; all && file != nullptr;) {
        char *next = strchr(file, ';');
        if (next != nullptr)
            *next++ = '\0';
        all = *file == '\0' || is_file(file);
        file = next;
    }
    return all;
}

// The DLL beside this executable if it is there, else the executable itself; nullptr when there
// is no memory left.
static char *message_file() {
    char *exe = module_file_name();
    if (exe == nullptr)
        return nullptr;
    const char *cut = last_separator(exe);
    size_t folder = cut != nullptr ? static_cast<size_t>(cut - exe) + 1 : 0;
    char *dll = static_cast<char *>(heap_alloc(folder + sizeof message_dll));
    if (dll != nullptr) {
        memcpy(dll, exe, folder);
        memcpy(dll + folder, message_dll, sizeof message_dll);
    }
    if (dll == nullptr || is_file(dll)) {
        heap_free(exe);
        return dll;
    }
    heap_free(dll);
    return exe;
}

DWORD register_event_source(void) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, source_key, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        bool registered = message_files_exist(key);
        RegCloseKey(key);
        if (registered)
            return 0;
    }
    char *file = message_file();
    if (file == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    LONG error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, source_key, 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (error == ERROR_SUCCESS) {
        // Expandable, as the Event Log documents it; a path that holds "%" is written plain, so
        // that nothing in it is taken for a variable.
        DWORD type = strchr(file, '%') != nullptr ? REG_SZ : REG_EXPAND_SZ;
        DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
        error = RegSetValueExA(key, "EventMessageFile", 0, type, reinterpret_cast<BYTE *>(file),
                               static_cast<DWORD>(strlen(file) + 1));
        if (error == ERROR_SUCCESS)
            error = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                                   reinterpret_cast<const BYTE *>(&types), sizeof types);
        RegCloseKey(key);
    }
    heap_free(file);
    return static_cast<DWORD>(error);
}

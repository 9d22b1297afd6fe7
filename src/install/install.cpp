#include "install/install.h"

#include "install/describe.h"
#include "platform/util.h"
#include "platform/win.h"

#include <stdio.h>
#include <string.h>

// Who may change the places a service runs from, besides the administrator who registers it:
// the system, Administrators, TrustedInstaller (the owner of Windows' own folders) and CREATOR
// OWNER, whose ACE goes to whoever creates a file there, who needed the right to create it.
static const char *const trusted_sids[] = {
    "S-1-5-18", "S-1-5-32-544", "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
    "S-1-3-0"};

// The rights with which someone can put another program in place of a file, or give themself
// that right: a file's generic write covers writing its data and attributes. Judged on the
// program and on the folder that holds it, where adding a file counts too (a DLL beside the
// program is loaded by it).
static const DWORD change_rights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA |
                                   FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                                   WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The rights over a folder further up with which someone can put a folder of their own in the
// place of the one below it: delete what it holds, rename the folder itself away (with the
// folder above), or give themself either. Adding files or folders beside the one below replaces
// nothing: Authenticated Users may add folders to C:\ itself. For a folder GENERIC_WRITE maps to
// no more than adding, GENERIC_ALL to all of it.
static const DWORD replace_rights =
    FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

// The SID of the user running this, as text (LocalFree); nullptr if it cannot be read.
static char *token_user() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;
    // A TOKEN_USER and its SID; no SID is longer than 68 bytes.
    union {
        TOKEN_USER user;
        BYTE room[sizeof(TOKEN_USER) + 68];
    } info;
    DWORD size = 0;
    char *text = nullptr;
    if (!GetTokenInformation(token, TokenUser, &info, sizeof info, &size) ||
        !ConvertSidToStringSidA(info.user.User.Sid, &text))
        text = nullptr;
    CloseHandle(token);
    return text;
}

static bool trusted(PSID sid, const char *user) {
    char *text;
    if (!ConvertSidToStringSidA(sid, &text))
        return false;
    bool found = user != nullptr && strcmp(text, user) == 0;
    for (const char *known : trusted_sids)
        found = found || strcmp(text, known) == 0;
    LocalFree(text);
    return found;
}

// What a place is to the program, and so which rights of others make it unsafe.
enum Role {
    role_file,     // the program: change_rights
    role_holder,   // the folder that holds it: change_rights, also over files made there later
    role_above,    // a folder further up: replace_rights
    role_searched, // a folder searched before the program's: also adding a file
    role_maker,    // the nearest folder above one that is not there yet: also making it
};

// The room for the line that says why a place is unsafe: the longest SID as text has 184 bytes.
static const size_t why_size = 320;

// Writes `lead` ("why: ...") and the rest in words, with the account as a SID (as icacls takes
// it, after a "*").
static void say_why(char *why, const char *lead, const char *reason, PSID sid, const char *rest) {
    char *text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text))
        text = nullptr;
    snprintf(why, why_size, "%s%s%s%s", lead, reason, text != nullptr ? text : "an account", rest);
    LocalFree(text);
}

// Inherit-only entries are judged only where they act. For a folder further up, those that
// reach the folders below it are copied into their DACLs when they are made or the entries set,
// and are judged there, as each folder down to the program is; a folder whose DACL is protected
// takes none of them. Entries that reach only folders and files yet to be made give their maker
// rights over what the maker made, which holds nothing of ours. So a folder further up is
// judged on what applies to itself. Where the program or its folder is not there yet, what it
// will inherit is judged on the folder that will make it.
//
// Whether others than the trusted may change a place of this owner and DACL in `role`; if so,
// writes why (why_size bytes) after `lead`.
static bool unsafe(PSID owner, PACL dacl, const char *user, Role role, bool root, const char *lead,
                   char *why) {
    if (dacl == nullptr) {
        snprintf(why, why_size, "%sits DACL is null, so everyone may change it", lead);
        return true;
    }
    // The owner may always change the DACL.
    if (owner != nullptr && !trusted(owner, user)) {
        say_why(why, lead, "its owner ", owner, " may change its permissions");
        return true;
    }
    DWORD own = role == role_file || role == role_holder ? change_rights
                : role == role_above                     ? replace_rights
                : role == role_searched ? replace_rights | FILE_ADD_FILE | GENERIC_WRITE
                                        : replace_rights | FILE_ADD_SUBDIRECTORY | GENERIC_WRITE;
    // Nobody can delete or rename a drive's root.
    if (root)
        own &= ~static_cast<DWORD>(DELETE);
    bool new_files = role == role_file || role == role_holder || role == role_maker;
    bool new_folders = role == role_maker;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void *found;
        if (!GetAce(dacl, i, &found))
            continue;
        const auto *ace = static_cast<const ACCESS_ALLOWED_ACE *>(found);
        // Deny ACEs can only take rights away, so passing over them errs on the side of
        // refusing.
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        BYTE flags = ace->Header.AceFlags;
        bool inherit_only = (flags & INHERIT_ONLY_ACE) != 0;
        const char *on = nullptr;
        if (!inherit_only && (ace->Mask & own) != 0)
            on = "";
        else if (new_folders && (flags & CONTAINER_INHERIT_ACE) != 0 &&
                 (ace->Mask & change_rights) != 0)
            on = inherit_only ? " on the folders made in it" : "";
        else if (new_files && (flags & OBJECT_INHERIT_ACE) != 0 && (ace->Mask & change_rights) != 0)
            on = inherit_only ? " on the files made in it" : "";
        PSID sid = const_cast<DWORD *>(&ace->SidStart);
        if (on != nullptr && !trusted(sid, user)) {
            char rights[64];
            snprintf(rights, sizeof rights, " the rights 0x%lx%s",
                     static_cast<unsigned long>(ace->Mask), on);
            say_why(why, lead, "an ACE allows ", sid, rights);
            return true;
        }
    }
    return false;
}

// Says that there is no memory left, in the two lines of every failure.
static void say_no_memory() {
    printf("fail to allocate memory\n");
    print_system_error(ERROR_NOT_ENOUGH_MEMORY);
}

static bool is_separator(char c) {
    return c == '\\' || c == '/';
}

// The first separator at or after `p`, or its end; the second byte of a double-byte character
// (0x5C in many Shift-JIS ones) is never taken for a backslash.
static const char *separator_or_end(const char *p) {
    while (*p != '\0' && !is_separator(*p))
        p += IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0' ? 2 : 1;
    return p;
}

static bool is_full_path(const char *path) {
    bool separator_at_2 = path[0] != '\0' && path[1] == ':' && is_separator(path[2]);
    bool unc = is_separator(path[0]) && is_separator(path[1]);
    return separator_at_2 || unc;
}

// The length of a full path's root: "C:\", or "\\server\share\" (all of it without the last
// separator).
static size_t root_length(const char *path) {
    if (!is_separator(path[0]))
        return path[0] != '\0' && path[1] != '\0' && path[2] != '\0' ? 3 : strlen(path);
    const char *end = separator_or_end(path + 2);
    if (*end != '\0')
        end = separator_or_end(end + 1);
    return static_cast<size_t>(end - path) + (*end != '\0' ? 1 : 0);
}

// Takes "." and "..", repeated and trailing separators out of a full path, as Windows does
// before it opens it: the folders above it are then those it really is in.
static void drop_dots(char *path) {
    char *const root = path + root_length(path);
    char *out = root;
    for (const char *in = root; *in != '\0';) {
        const char *end = separator_or_end(in);
        size_t length = static_cast<size_t>(end - in);
        if (length == 2 && in[0] == '.' && in[1] == '.') {
            *out = '\0';
            const char *cut = last_separator(path);
            out = cut != nullptr && cut >= root ? const_cast<char *>(cut) : root;
        } else if (length > 0 && !(length == 1 && in[0] == '.')) {
            if (out > root)
                *out++ = in[-1];
            memmove(out, in, length);
            out += length;
        }
        in = *end != '\0' ? end + 1 : end;
    }
    *out = '\0';
}

// Cuts a full path to its folder: "C:\x.exe" lives in "C:\", not in "C:", the drive's current
// folder. A root stays as it is.
static void cut_to_folder(char *path) {
    char *cut = const_cast<char *>(last_separator(path));
    size_t root = root_length(path);
    if (cut != nullptr && static_cast<size_t>(cut - path) + 1 >= root)
        cut[static_cast<size_t>(cut - path) + 1 == root ? 1 : 0] = '\0';
}

static bool is_missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// One place of a path on the way down from its root, as read.
struct Step {
    size_t end; // where the text of this place ends in the path
    DWORD error;
    PSECURITY_DESCRIPTOR descriptor; // LocalFree; owner and dacl point into it
    PSID owner;
    PACL dacl;
};

// Judges `path` (a full path without dots) in `role`, and every folder above it up to its root
// in the role that they have for it. When part of the path is not there yet, the nearest folder
// above it is judged for the right to make it: a user who may make the folder makes it theirs.
// Prints the refusal for the first place others may change and returns false; prints
// "fail to check" for a place whose security cannot be read, and passes it.
static bool safe_path(char *path, Role role, const char *user) {
    // The root's text keeps its separator ("C:\", not the drive's current folder "C:"); each
    // folder below ends where its name does.
    size_t root = root_length(path);
    size_t count = 1;
    for (const char *p = path + root; *p != '\0'; ++count)
        p = *separator_or_end(p) != '\0' ? separator_or_end(p) + 1 : separator_or_end(p);
    auto *steps = static_cast<Step *>(heap_alloc(count * sizeof(Step)));
    if (steps == nullptr) {
        say_no_memory();
        return false;
    }
    for (size_t k = 0; k < count; ++k) {
        size_t from = k == 0 ? 0 : k == 1 ? root : steps[k - 1].end + 1;
        steps[k].end = k == 0 ? root : static_cast<size_t>(separator_or_end(path + from) - path);
    }
    size_t read = 0;
    while (read < count && (read == 0 || !is_missing(steps[read - 1].error))) {
        Step &step = steps[read++];
        char kept = path[step.end];
        path[step.end] = '\0';
        step.owner = nullptr;
        step.dacl = nullptr;
        step.descriptor = nullptr;
        step.error = GetNamedSecurityInfoA(
            path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            &step.owner, nullptr, &step.dacl, nullptr, &step.descriptor);
        path[step.end] = kept;
    }
    bool safe = true;
    for (size_t k = 0; safe && k < read && !is_missing(steps[k].error); ++k) {
        Role as = k + 1 == count                        ? role
                  : k + 2 == count && role == role_file ? role_holder
                                                        : role_above;
        size_t named = steps[k].end;
        const char *lead = "why: ";
        if (as == role_above && k + 1 < read && is_missing(steps[k + 1].error)) {
            as = role_maker;
            named = steps[k + 1].end;
            lead = "why: it is not there, and in the folder above ";
        }
        char kept = path[named];
        path[named] = '\0';
        // Windows may deny even an administrator the reading of a folder's security: that
        // proves nothing about who else may change it, so it is said and passed.
        char why[why_size];
        if (steps[k].error != ERROR_SUCCESS) {
            printf("fail to check %s error=%lu\n", path,
                   static_cast<unsigned long>(steps[k].error));
            print_system_error(steps[k].error);
        } else if (unsafe(steps[k].owner, steps[k].dacl, user, as, k == 0, lead, why)) {
            printf("fail to reg, others may change %s\n%s\n", path, why);
            safe = false;
        }
        path[named] = kept;
    }
    for (size_t k = 0; k < read; ++k) {
        if (steps[k].error == ERROR_SUCCESS)
            LocalFree(steps[k].descriptor);
    }
    heap_free(steps);
    return safe;
}

// Judges the full path `path` as a program: itself, its folder and every folder above.
static bool safe_program(const char *path, const char *user) {
    char *copy = heap_copy(path);
    if (copy == nullptr) {
        say_no_memory();
        return false;
    }
    drop_dots(copy);
    bool safe = safe_path(copy, role_file, user);
    heap_free(copy);
    return safe;
}

// `folder` and `name` joined by a separator, in a new heap text; nullptr when there is no memory.
static char *joined(const char *folder, const char *name) {
    size_t length = strlen(folder);
    bool separated = length > 0 && last_separator(folder) == folder + length - 1;
    char *text = static_cast<char *>(heap_alloc(length + strlen(name) + 2));
    if (text != nullptr) {
        memcpy(text, folder, length);
        text[length] = '\\';
        strcpy(text + length + (separated ? 0 : 1), name);
    }
    return text;
}

// `text` with %NAME% expanded as the service control manager expands an image path, in a new
// heap text (as it stands if it cannot be expanded); nullptr when there is no memory left.
static char *expanded(const char *text) {
    DWORD size = ExpandEnvironmentStringsA(text, nullptr, 0);
    char *out = static_cast<char *>(heap_alloc(size));
    if (out != nullptr && (size == 0 || ExpandEnvironmentStringsA(text, out, size) - 1 >= size)) {
        heap_free(out);
        return heap_copy(text);
    }
    return out;
}

// The folder that `get` (GetSystemDirectoryA or GetWindowsDirectoryA) gives, in a new heap text.
// nullptr when it cannot be had: said, as `what`, or with *no_memory set after saying so.
static char *system_folder(UINT(WINAPI *get)(LPSTR, UINT), const char *what, bool *no_memory) {
    for (UINT size = 260;; size *= 2) {
        char *folder = static_cast<char *>(heap_alloc(size));
        if (folder == nullptr) {
            say_no_memory();
            *no_memory = true;
            return nullptr;
        }
        UINT length = get(folder, size);
        if (length > 0 && length < size)
            return folder;
        heap_free(folder);
        if (length == 0 || size >= 32768) {
            DWORD error = GetLastError();
            printf("fail to check %s error=%lu\n", what, static_cast<unsigned long>(error));
            print_system_error(error);
            return nullptr;
        }
    }
}

static const char environment_key[] =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// The machine's PATH, the one a service gets, expanded when it is stored to be, into *path (a
// heap text, "" when there is none). Returns 1; 0 after saying that it could not be read
// (*path nullptr); -1 after saying that there is no memory.
static int machine_path(char **path) {
    *path = nullptr;
    HKEY key = nullptr;
    DWORD type = 0;
    DWORD size = 0;
    char *text = nullptr;
    LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, environment_key, 0, KEY_QUERY_VALUE, &key);
    if (error == ERROR_SUCCESS) {
        error = RegQueryValueExA(key, "Path", nullptr, &type, nullptr, &size);
        text = error == ERROR_SUCCESS ? static_cast<char *>(heap_alloc(size + 1)) : nullptr;
        if (error == ERROR_SUCCESS && text != nullptr)
            error = RegQueryValueExA(key, "Path", nullptr, &type, reinterpret_cast<BYTE *>(text),
                                     &size);
        RegCloseKey(key);
    }
    if (error == ERROR_FILE_NOT_FOUND) {
        heap_free(text);
        text = heap_copy(""); // no PATH: nothing more is searched
    } else if (error != ERROR_SUCCESS) {
        heap_free(text);
        printf("fail to check HKLM\\%s\\Path error=%ld\n", environment_key,
               static_cast<long>(error));
        print_system_error(static_cast<DWORD>(error));
        return 0;
    } else if (text != nullptr) {
        // The stored string may or may not hold its terminating NUL; only REG_EXPAND_SZ is
        // expanded by the system, and another type is no PATH at all.
        text[type == REG_SZ || type == REG_EXPAND_SZ ? size : 0] = '\0';
        if (type == REG_EXPAND_SZ) {
            char *full = expanded(text);
            heap_free(text);
            text = full;
        }
    }
    if (text == nullptr) {
        say_no_memory();
        return -1;
    }
    *path = text;
    return 1;
}

// Where a bare EXENAME is looked for, and what was found on the way.
struct Search {
    const char *name;
    const char *user;
    const char *program_folder; // judged with tolvard.exe already
    char **folders;             // each folder looked in, to look in each once
    size_t count;
    size_t room;
    bool found;
    bool refused; // a place others may change, or no memory: said
};

// ASCII letters compare without case, as Windows compares names.
static bool same_name(const char *a, const char *b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a + 32) : *a;
        char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b + 32) : *b;
        if (x != y && !(is_separator(x) && is_separator(y)))
            return false;
    }
    return *a == *b;
}

// Keeps `folder` (a heap text, taken over) in the list; false if it is there already (then it is
// freed) or there is no memory (then the search is refused).
static bool first_look(Search *search, char *folder) {
    for (size_t i = 0; i < search->count; ++i) {
        if (same_name(search->folders[i], folder)) {
            heap_free(folder);
            return false;
        }
    }
    if (search->count == search->room) {
        size_t room = search->room * 2 + 8;
        auto **folders = static_cast<char **>(heap_alloc(room * sizeof(char *)));
        if (folders == nullptr) {
            heap_free(folder);
            say_no_memory();
            search->refused = true;
            return false;
        }
        if (search->count > 0)
            memcpy(folders, search->folders, search->count * sizeof(char *));
        heap_free(search->folders);
        search->folders = folders;
        search->room = room;
    }
    search->folders[search->count++] = folder;
    return true;
}

// look_in's part once the folder is made: `folder` is a heap text, taken over.
static void look_at(Search *search, char *folder) {
    if (!first_look(search, folder))
        return;
    char *candidate = joined(folder, search->name);
    if (candidate == nullptr) {
        say_no_memory();
        search->refused = true;
        return;
    }
    // A folder of the program's name does not stop the search.
    DWORD attributes = GetFileAttributesA(candidate);
    search->found =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    drop_dots(candidate);
    if (search->found) {
        search->refused = !safe_path(candidate, role_file, search->user);
    } else {
        cut_to_folder(candidate);
        if (!same_name(candidate, search->program_folder))
            search->refused = !safe_path(candidate, role_searched, search->user);
    }
    heap_free(candidate);
}

// Looks for the name in `folder` (a full path), or in its `sub` folder when that is not nullptr.
// Found, the program is judged. Not found, the place a copy would go is judged for the right to
// add it: the folder, or the folder under it for a name such as "bin\app.exe".
static void look_in(Search *search, const char *folder, const char *sub = nullptr) {
    if (search->found || search->refused)
        return;
    char *copy = sub != nullptr ? joined(folder, sub) : heap_copy(folder);
    if (copy == nullptr) {
        say_no_memory();
        search->refused = true;
        return;
    }
    drop_dots(copy);
    look_at(search, copy);
}

// A bare EXENAME, or one relative to no folder in particular ("bin\app.exe"), is searched for by
// CreateProcess at each start of the service, in this order: tolvard's own folder, the current
// folder (for a service, the system folder), the system folder, the 16-bit system folder
// (Windows\System), the Windows folder, then the folders of the PATH, which for a service is
// the machine's. The list is made here and each folder judged as it is passed: SearchPathA
// would search as reg itself does, in the administrator's current folder and PATH. What is
// found is judged as a program; every folder searched before it, as a place where a user could
// plant a program that would be found first; every folder of the search when none has it.
static bool safe_search(const char *program, const char *name, const char *system,
                        const char *windows, const char *user) {
    Search search = {name, user, nullptr, nullptr, 0, 0, false, false};
    char *own = heap_copy(program);
    if (own != nullptr) {
        drop_dots(own);
        cut_to_folder(own);
        search.program_folder = own;
        look_in(&search, own);
    }
    if (own == nullptr) {
        say_no_memory();
        search.refused = true;
    }
    if (system != nullptr)
        look_in(&search, system);
    if (windows != nullptr) {
        look_in(&search, windows, "System");
        look_in(&search, windows);
    }
    char *path = nullptr;
    if (!search.found && !search.refused && machine_path(&path) < 0)
        search.refused = true;
    for (char *entry = path; entry != nullptr && *entry != '\0' && !search.refused;) {
        char *end = strchr(entry, ';');
        char *next = end != nullptr ? end + 1 : entry + strlen(entry);
        if (end != nullptr)
            *end = '\0';
        // An entry in quotes is taken without them; one that is no full path is relative to
        // the current folder.
        size_t length = strlen(entry);
        if (length >= 2 && entry[0] == '"' && entry[length - 1] == '"') {
            entry[length - 1] = '\0';
            ++entry;
        }
        if (*entry != '\0' && is_full_path(entry))
            look_in(&search, entry);
        else if (*entry != '\0' && system != nullptr)
            look_in(&search, system, entry);
        entry = next;
    }
    heap_free(path);
    for (size_t i = 0; i < search.count; ++i)
        heap_free(search.folders[i]);
    heap_free(search.folders);
    heap_free(own);
    return !search.refused;
}

// Judges where the service will find `name` (EXENAME expanded): a full path as it is; a path
// from the current folder (".\app.exe", "\app.exe", "C:app.exe") from the service's, which is
// the system folder; anything else along the search.
static bool safe_exename(const char *program, const char *name, const char *user) {
    if (is_full_path(name))
        return safe_program(name, user);
    bool no_memory = false;
    char *system = system_folder(GetSystemDirectoryA, "the system folder", &no_memory);
    char *windows =
        no_memory ? nullptr : system_folder(GetWindowsDirectoryA, "the Windows folder", &no_memory);
    bool safe = !no_memory;
    bool drive = name[0] != '\0' && name[1] == ':';
    bool from_current =
        drive || is_separator(name[0]) ||
        (name[0] == '.' && (is_separator(name[1]) || (name[1] == '.' && is_separator(name[2]))));
    if (safe && from_current && system != nullptr) {
        char *full = nullptr;
        if (drive && (name[0] | 0x20) != (system[0] | 0x20)) {
            // Another drive's current folder, for a service, is its root.
            char root[4] = {name[0], ':', '\\', '\0'};
            full = joined(root, name + 2);
        } else if (drive || !is_separator(name[0])) {
            full = joined(system, name + (drive ? 2 : 0));
        } else {
            char root[4] = {system[0], ':', '\\', '\0'};
            full = joined(root, name + 1);
        }
        safe = full != nullptr && safe_program(full, user);
        if (full == nullptr)
            say_no_memory();
        heap_free(full);
    } else if (safe && !from_current) {
        safe = safe_search(program, name, system, windows, user);
    }
    heap_free(system);
    heap_free(windows);
    return safe;
}

int safe_places(const char *program, const char *exename) {
    char *user = token_user();
    bool safe = safe_program(program, user);
    char *name = safe ? expanded(exename) : nullptr;
    if (safe && name == nullptr) {
        say_no_memory();
        safe = false;
    } else if (safe) {
        safe = safe_exename(program, name, user);
    }
    heap_free(name);
    LocalFree(user);
    return safe ? 1 : 0;
}

// The DACL of a new service on Windows Vista and later ("sc sdshow" of a fresh one; XP's also
// lets Power Users start and stop it) less CR, the right to send user-defined controls, for
// interactive (IU) and service (SU) logons: each such control is logged, so anyone could
// otherwise fill the disk. SYSTEM and Administrators keep every right they had.
static const char service_dacl[] = "D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)"
                                   "(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
                                   "(A;;CCLCSWLORC;;;IU)(A;;CCLCSWLORC;;;SU)";

// Prints "fail to WHAT" and the line that says why: `error`, taken right after the failed call
// (closing a handle may change the last error) and before printing (as may writing).
static void say_failure(const char *what, DWORD error) {
    printf("fail to %s\n", what);
    print_system_error(error);
}

int reg_service(const char *image_path, const char *name, const char *display_name,
                const char *description) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        say_failure("open", GetLastError());
        return 0;
    }
    SC_HANDLE service =
        CreateServiceA(manager, name, display_name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image_path, nullptr, nullptr,
                       nullptr, nullptr, nullptr);
    DWORD error = GetLastError();
    CloseServiceHandle(manager);
    if (service == nullptr) {
        say_failure("CreateService", error);
        return 0;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool secured = ConvertStringSecurityDescriptorToSecurityDescriptorA(
                       service_dacl, SDDL_REVISION_1, &descriptor, nullptr) &&
                   SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, descriptor);
    error = GetLastError();
    LocalFree(descriptor);
    if (!secured) {
        // A service that anyone may flood with controls is not made at all.
        say_failure("SetServiceObjectSecurity", error);
        if (!DeleteService(service))
            say_failure("DeleteService", GetLastError());
    } else {
        // Recovery actions set with `sc failure` then also follow a child that ends with an
        // error (reported as 1066), not only a crash of tolvard. XP has no such setting and
        // refuses it, as does Wine: either way the service works as before, so the result is
        // not looked at.
        SERVICE_FAILURE_ACTIONS_FLAG on_failure = {TRUE};
        ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_failure);
        // The service's processes then carry its own SID, NT SERVICE\NAME, whatever account
        // it runs under: what lets a run under another account write its own log and nobody
        // else's. XP and Wine refuse it alike, and have no use for it.
        SERVICE_SID_INFO own_sid = {SERVICE_SID_TYPE_UNRESTRICTED};
        ChangeServiceConfig2A(service, SERVICE_CONFIG_SERVICE_SID_INFO, &own_sid);
        if (DWORD error = description != nullptr ? describe_service(service, description) : 0)
            say_failure("set the description", error);
    }
    CloseServiceHandle(service);
    // The service runs without them, so neither failure undoes the registration.
    if (DWORD error = secured ? register_event_source() : 0)
        say_failure("register the event source", error);
    return secured ? 1 : 0;
}

int rem_service(const char *name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        say_failure("open", GetLastError());
        return 0;
    }
    SC_HANDLE service = OpenServiceA(manager, name, DELETE);
    if (service == nullptr) {
        say_failure("OpenService", GetLastError());
        CloseServiceHandle(manager);
        return 0;
    }
    BOOL deleted = DeleteService(service);
    if (!deleted)
        say_failure("DeleteService", GetLastError());
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return deleted ? 1 : 0;
}

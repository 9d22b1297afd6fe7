#include "install/install.h"

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
// that right: a file's generic write covers writing its data and attributes.
static const DWORD change_rights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA |
                                   FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                                   WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

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

// The room for the line that says why a place is unsafe: the longest SID as text has 184 bytes.
static const size_t why_size = 320;

// Writes "why: ...", in words, with the account as a SID (as icacls takes it, after a "*").
static void say_why(char *why, const char *reason, PSID sid, const char *rest) {
    char *text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text))
        text = nullptr;
    snprintf(why, why_size, "why: %s%s%s", reason, text != nullptr ? text : "an account", rest);
    LocalFree(text);
}

// Reads the security of `place`: sets *unsafe and, when it is, `why` (why_size bytes), or returns
// the error that kept it from being read.
static DWORD judge(const char *place, const char *user, bool *unsafe, char *why) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoA(place, SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, nullptr, &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return error;
    // A null DACL lets everyone do anything; the owner may always change the DACL.
    *unsafe = dacl == nullptr || (owner != nullptr && !trusted(owner, user));
    if (dacl == nullptr)
        snprintf(why, why_size, "why: its DACL is null, so everyone may change it");
    else if (*unsafe)
        say_why(why, "its owner ", owner, " may change its permissions");
    for (DWORD i = 0; !*unsafe && i < dacl->AceCount; ++i) {
        void *found;
        if (!GetAce(dacl, i, &found))
            continue;
        const auto *ace = static_cast<const ACCESS_ALLOWED_ACE *>(found);
        // Deny ACEs can only take rights away, so passing over them errs on the side of
        // refusing. An inherit-only ACE does not apply to the place itself, but one that files
        // inherit gives its rights over every file made there later.
        BYTE flags = ace->Header.AceFlags;
        bool applies = (flags & INHERIT_ONLY_ACE) == 0 || (flags & OBJECT_INHERIT_ACE) != 0;
        PSID sid = const_cast<DWORD *>(&ace->SidStart);
        if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && applies &&
            (ace->Mask & change_rights) != 0 && !trusted(sid, user)) {
            *unsafe = true;
            char rights[48];
            snprintf(rights, sizeof rights, " the rights 0x%lx%s",
                     static_cast<unsigned long>(ace->Mask),
                     (flags & INHERIT_ONLY_ACE) != 0 ? " on the files made in it" : "");
            say_why(why, "an ACE allows ", sid, rights);
        }
    }
    LocalFree(descriptor);
    return ERROR_SUCCESS;
}

// Judges `path` and its folder, folder first; false after printing the refusal.
static bool safe_file_and_folder(const char *path, const char *user) {
    char *folder = heap_copy(path);
    if (folder == nullptr) {
        printf("fail to allocate memory\n");
        print_system_error(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    // "C:\x.exe" lives in "C:\", not in "C:", the drive's current folder.
    char *cut = const_cast<char *>(last_separator(folder));
    if (cut != nullptr)
        cut[cut == folder + 2 && folder[1] == ':' ? 1 : 0] = '\0';
    const char *places[2] = {cut != nullptr ? folder : nullptr, path};
    bool safe = true;
    for (const char *place : places) {
        bool unsafe = false;
        char why[why_size];
        if (place == nullptr || !safe)
            continue;
        DWORD error = judge(place, user, &unsafe, why);
        // Windows may deny even an administrator the reading of a folder's security: that
        // proves nothing about who else may change it, so it is said and passed. A program
        // that is not there yet (installed after reg) is passed in silence; its folder counts.
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND &&
            error != ERROR_PATH_NOT_FOUND) {
            printf("fail to check %s error=%lu\n", place, static_cast<unsigned long>(error));
            print_system_error(error);
        }
        if (unsafe) {
            printf("fail to reg, others may change %s\n%s\n", place, why);
            safe = false;
        }
    }
    heap_free(folder);
    return safe;
}

static bool is_full_path(const char *path) {
    bool separator_at_2 = path[0] != '\0' && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
    bool unc = (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
    return separator_at_2 || unc;
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

int safe_places(const char *program, const char *exename) {
    char *user = token_user();
    bool safe = safe_file_and_folder(program, user);
    // A bare EXENAME is searched for in tolvard's own folder first, which is judged above.
    char *name = safe ? expanded(exename) : nullptr;
    if (safe && name == nullptr) {
        printf("fail to allocate memory\n");
        print_system_error(ERROR_NOT_ENOUGH_MEMORY);
        safe = false;
    } else if (safe && is_full_path(name)) {
        safe = safe_file_and_folder(name, user);
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

int reg_service(const char *image_path, const char *name, const char *display_name) {
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
    }
    CloseServiceHandle(service);
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

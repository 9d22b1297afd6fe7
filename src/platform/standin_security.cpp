// The stand-in's security: SIDs, ACLs and self-relative security descriptors laid out as
// Windows lays them out, made from the subset of SDDL that tolvard and its tests use; the
// descriptors of named files and folders that tests set; the process token and its user.
#include "platform/standin_internal.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <map>

using namespace standin::internal;

namespace {

const ObjectType token_type = {"token", true, true, nullptr, nullptr, nullptr};

struct NamedSecurity {
    std::string sddl;
    DWORD error;
};

using Bytes = std::vector<uint8_t>;

std::string acl_text(PACL dacl);

struct Ace {
    BYTE type;
    BYTE flags;
    DWORD mask;
    Bytes sid;
};

struct Descriptor {
    Bytes owner; // empty: none
    bool dacl_present = false;
    bool dacl_null = false;
    bool dacl_protected = false;
    std::vector<Ace> aces;
};

struct Security {
    std::map<std::string, NamedSecurity> named;
    std::vector<std::string> sets;
    std::string token_user = "S-1-5-21-0-0-0-1000";
    /// The DACLs of files and folders by native path (see standin::set_access_token).
    std::map<std::string, Descriptor> known;
    std::vector<std::vector<uint8_t>> token; ///< empty: no access checks
};

Security &security() {
    static Security s;
    return s;
}

const struct {
    const char *alias;
    const char *sid;
} sid_aliases[] = {
    {"SY", "S-1-5-18"},     {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"}, {"BG", "S-1-5-32-546"},
    {"PU", "S-1-5-32-547"}, {"WD", "S-1-1-0"},      {"AU", "S-1-5-11"},     {"IU", "S-1-5-4"},
    {"SU", "S-1-5-6"},      {"AN", "S-1-5-7"},      {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"},
    {"CO", "S-1-3-0"},      {"OW", "S-1-3-4"},      {"AC", "S-1-15-2-1"},
};

const struct {
    const char *code;
    DWORD mask;
} right_codes[] = {
    {"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GX", 0x20000000},
    {"RC", 0x20000},    {"SD", 0x10000},    {"WD", 0x40000},    {"WO", 0x80000},
    {"FA", 0x1F01FF},   {"FR", 0x120089},   {"FW", 0x120116},   {"FX", 0x1200A0},
    {"CC", 0x1},        {"DC", 0x2},        {"LC", 0x4},        {"SW", 0x8},
    {"RP", 0x10},       {"WP", 0x20},       {"DT", 0x40},       {"LO", 0x80},
    {"CR", 0x100},
};

const struct {
    const char *code;
    BYTE flag;
} ace_flags[] = {{"OI", OBJECT_INHERIT_ACE},
                 {"CI", CONTAINER_INHERIT_ACE},
                 {"NP", NO_PROPAGATE_INHERIT_ACE},
                 {"IO", INHERIT_ONLY_ACE},
                 {"ID", INHERITED_ACE}};

// "S-1-5-32-544" or an alias as a binary SID; empty if it is neither.
Bytes parse_sid(std::string text) {
    for (const auto &a : sid_aliases) {
        if (text == a.alias)
            text = a.sid;
    }
    if (text.compare(0, 4, "S-1-") != 0)
        return {};
    std::vector<uint64_t> parts;
    for (size_t i = 4; i <= text.size();) {
        size_t end = text.find('-', i);
        if (end == std::string::npos)
            end = text.size();
        std::string part = text.substr(i, end - i);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos)
            return {};
        parts.push_back(strtoull(part.c_str(), nullptr, 10));
        i = end + 1;
    }
    if (parts.empty() || parts.size() > 16)
        return {};
    Bytes sid = {1, static_cast<uint8_t>(parts.size() - 1)};
    for (int shift = 40; shift >= 0; shift -= 8)
        sid.push_back(static_cast<uint8_t>(parts[0] >> shift));
    for (size_t i = 1; i < parts.size(); ++i) {
        DWORD sub = static_cast<DWORD>(parts[i]);
        const auto *bytes = reinterpret_cast<const uint8_t *>(&sub);
        sid.insert(sid.end(), bytes, bytes + 4);
    }
    return sid;
}

std::string sid_text(const uint8_t *sid) {
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i)
        authority = authority << 8 | sid[i];
    // Appended piece by piece: GCC 12 at -O3 takes "S-" + std::to_string(...) for an
    // overlapping copy and fails the Release build.
    std::string text = "S-";
    text += std::to_string(sid[0]);
    text += '-';
    text += std::to_string(authority);
    for (int i = 0; i < sid[1]; ++i) {
        DWORD sub;
        memcpy(&sub, sid + 8 + 4 * i, 4);
        text += '-';
        text += std::to_string(sub);
    }
    return text;
}

bool parse_rights(const std::string &text, DWORD *mask) {
    if (text.compare(0, 2, "0x") == 0) {
        char *end = nullptr;
        *mask = static_cast<DWORD>(strtoul(text.c_str() + 2, &end, 16));
        return *end == '\0' && text.size() > 2;
    }
    *mask = 0;
    if (text.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        bool known = false;
        for (const auto &r : right_codes) {
            if (text.compare(i, 2, r.code) == 0) {
                *mask |= r.mask;
                known = true;
            }
        }
        if (!known)
            return false;
    }
    return true;
}

bool parse_ace(const std::string &text, Ace *ace) {
    std::vector<std::string> fields;
    for (size_t i = 0;;) {
        size_t end = text.find(';', i);
        fields.push_back(text.substr(i, end - i));
        if (end == std::string::npos)
            break;
        i = end + 1;
    }
    if (fields.size() != 6 || !fields[3].empty() || !fields[4].empty())
        return false;
    if (fields[0] != "A" && fields[0] != "D")
        return false;
    ace->type = fields[0] == "A" ? ACCESS_ALLOWED_ACE_TYPE : ACCESS_DENIED_ACE_TYPE;
    ace->flags = 0;
    for (size_t i = 0; i < fields[1].size(); i += 2) {
        bool known = false;
        for (const auto &f : ace_flags) {
            if (fields[1].compare(i, 2, f.code) == 0) {
                ace->flags |= f.flag;
                known = true;
            }
        }
        if (!known)
            return false;
    }
    ace->sid = parse_sid(fields[5]);
    return parse_rights(fields[2], &ace->mask) && !ace->sid.empty();
}

bool parse_sddl(const std::string &text, Descriptor *d) {
    for (size_t i = 0; i < text.size();) {
        if (text.compare(i, 2, "O:") == 0 || text.compare(i, 2, "G:") == 0) {
            // The group is read and left out, as tolvard never asks for it.
            size_t end = text.find_first_of(":", i + 2);
            end = end == std::string::npos ? text.size() : end - 1;
            Bytes sid = parse_sid(text.substr(i + 2, end - i - 2));
            if (sid.empty())
                return false;
            if (text[i] == 'O')
                d->owner = sid;
            i = end;
        } else if (text.compare(i, 2, "D:") == 0) {
            d->dacl_present = true;
            i += 2;
            if (text.compare(i, 17, "NO_ACCESS_CONTROL") == 0) {
                d->dacl_null = true;
                i += 17;
            }
            for (; i < text.size() && text[i] != '('; ++i) {
                if (text[i] == 'P')
                    d->dacl_protected = true;
                else if (text.compare(i, 2, "AI") == 0 || text.compare(i, 2, "AR") == 0)
                    ++i;
                else
                    return false;
            }
            while (i < text.size() && text[i] == '(') {
                size_t end = text.find(')', i);
                Ace ace;
                if (end == std::string::npos || !parse_ace(text.substr(i + 1, end - i - 1), &ace))
                    return false;
                d->aces.push_back(ace);
                i = end + 1;
            }
        } else {
            return false;
        }
    }
    return true;
}

template <typename T> void put(Bytes &bytes, size_t at, T value) {
    memcpy(bytes.data() + at, &value, sizeof value);
}

// The self-relative descriptor in one malloc'd block, as LocalFree frees it.
void *build(const Descriptor &d) {
    Bytes bytes(20, 0);
    bytes[0] = 1; // revision
    WORD control = 0x8000;
    if (!d.owner.empty()) {
        put<DWORD>(bytes, 4, static_cast<DWORD>(bytes.size()));
        bytes.insert(bytes.end(), d.owner.begin(), d.owner.end());
    }
    if (d.dacl_present) {
        control |= 0x0004 | (d.dacl_protected ? 0x1000 : 0);
        if (!d.dacl_null) {
            size_t at = bytes.size();
            put<DWORD>(bytes, 16, static_cast<DWORD>(at));
            bytes.resize(at + sizeof(ACL), 0);
            for (const Ace &ace : d.aces) {
                size_t start = bytes.size();
                bytes.resize(start + 8, 0);
                bytes[start] = ace.type;
                bytes[start + 1] = ace.flags;
                put<WORD>(bytes, start + 2, static_cast<WORD>(8 + ace.sid.size()));
                put<DWORD>(bytes, start + 4, ace.mask);
                bytes.insert(bytes.end(), ace.sid.begin(), ace.sid.end());
            }
            bytes[at] = 2; // ACL revision
            put<WORD>(bytes, at + 2, static_cast<WORD>(bytes.size() - at));
            put<WORD>(bytes, at + 4, static_cast<WORD>(d.aces.size()));
        }
    }
    put<WORD>(bytes, 2, control);
    void *block = malloc(bytes.size());
    memcpy(block, bytes.data(), bytes.size());
    return block;
}

// The owner and DACL of a self-relative descriptor; nullptr where there is none.
void parts_of(const void *descriptor, PSID *owner, PACL *dacl) {
    const auto *bytes = static_cast<const uint8_t *>(descriptor);
    DWORD owner_at, dacl_at;
    memcpy(&owner_at, bytes + 4, 4);
    memcpy(&dacl_at, bytes + 16, 4);
    *owner = owner_at != 0 ? const_cast<uint8_t *>(bytes + owner_at) : nullptr;
    *dacl = dacl_at != 0 ? reinterpret_cast<PACL>(const_cast<uint8_t *>(bytes + dacl_at)) : nullptr;
}

std::string synthesized_sddl() {
    const std::string &user = security().token_user;
    return "O:" + user + "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + user + ")(A;OICI;0x1200a9;;;WD)";
}

char *heap_text(const std::string &text) {
    char *copy = static_cast<char *>(malloc(text.size() + 1));
    memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// The ACEs of `dacl`, as parse_sddl would have read them.
std::vector<Ace> aces_of(PACL dacl) {
    std::vector<Ace> aces;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void *found;
        GetAce(dacl, i, &found);
        const auto *ace = static_cast<const ACCESS_ALLOWED_ACE *>(found);
        const auto *sid = reinterpret_cast<const uint8_t *>(&ace->SidStart);
        aces.push_back({ace->Header.AceType, ace->Header.AceFlags, ace->Mask,
                        Bytes(sid, sid + 8 + 4 * sid[1])});
    }
    return aces;
}

// Generic rights as files map them, with what CreateFile always asks besides.
DWORD file_rights(DWORD access) {
    DWORD mapped = access & 0x0FFFFFFFu;
    if ((access & GENERIC_READ) != 0)
        mapped |= 0x120089;
    if ((access & GENERIC_WRITE) != 0)
        mapped |= 0x120116;
    if ((access & GENERIC_EXECUTE) != 0)
        mapped |= 0x1200A0;
    if ((access & GENERIC_ALL) != 0)
        mapped |= 0x1F01FF;
    return mapped;
}

// Whether the token gets every right of `wanted` from `d`, its ACEs taken in order as Windows
// takes them: a denial of a right not yet granted refuses.
bool grants(const Descriptor &d, DWORD wanted) {
    if (d.dacl_null)
        return true;
    DWORD granted = 0;
    for (const Ace &ace : d.aces) {
        if ((ace.flags & INHERIT_ONLY_ACE) != 0)
            continue;
        bool held = false;
        for (const Bytes &sid : security().token)
            held = held || sid == ace.sid;
        if (!held)
            continue;
        DWORD mask = file_rights(ace.mask);
        if (ace.type == ACCESS_DENIED_ACE_TYPE && (mask & wanted & ~granted) != 0)
            return false;
        if (ace.type == ACCESS_ALLOWED_ACE_TYPE)
            granted |= mask;
    }
    return (wanted & ~granted) == 0;
}

// The token's verdict on `path` for the rights `wanted`; caller holds the lock.
bool token_grants(const std::string &path, DWORD wanted) {
    if (security().token.empty())
        return true;
    auto it = security().known.find(path);
    return it == security().known.end() || grants(it->second, wanted);
}

std::string folder_of(const std::string &path) {
    size_t cut = path.find_last_of('/');
    return cut == std::string::npos || cut == 0 ? "/" : path.substr(0, cut);
}

} // namespace

namespace standin::internal {

void reset_security() {
    security().named.clear();
    security().sets.clear();
    security().token_user = "S-1-5-21-0-0-0-1000";
    security().known.clear();
    security().token.clear();
}

void record_security(const std::string &path, LPSECURITY_ATTRIBUTES attributes) {
    if (attributes == nullptr || attributes->lpSecurityDescriptor == nullptr)
        return;
    const auto *bytes = static_cast<const uint8_t *>(attributes->lpSecurityDescriptor);
    WORD control;
    memcpy(&control, bytes + 2, 2);
    PSID owner;
    PACL dacl;
    parts_of(bytes, &owner, &dacl);
    Descriptor d;
    d.dacl_present = (control & 0x0004) != 0;
    d.dacl_null = d.dacl_present && dacl == nullptr;
    d.dacl_protected = (control & SE_DACL_PROTECTED) != 0;
    d.aces = aces_of(dacl);
    if (!d.dacl_present)
        return;
    std::lock_guard<std::mutex> lock(state_mutex());
    security().known[path] = d;
}

bool may_open(const std::string &path, DWORD access) {
    std::lock_guard<std::mutex> lock(state_mutex());
    return token_grants(path, file_rights(access) | SYNCHRONIZE | FILE_READ_ATTRIBUTES);
}

bool may_make_in(const std::string &path, bool folder) {
    std::lock_guard<std::mutex> lock(state_mutex());
    return token_grants(folder_of(path), folder ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE);
}

void move_security(const std::string &path, const std::string *to) {
    std::lock_guard<std::mutex> lock(state_mutex());
    auto it = security().known.find(path);
    if (it == security().known.end()) {
        if (to != nullptr)
            security().known.erase(*to);
        return;
    }
    if (to != nullptr)
        security().known[*to] = it->second;
    security().known.erase(it);
}

} // namespace standin::internal

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR *descriptor,
                                                          PULONG size) {
    if (injected(standin::call_ConvertStringSecurityDescriptorToSecurityDescriptorA))
        return FALSE;
    Descriptor d;
    if (text == nullptr || descriptor == nullptr || revision != SDDL_REVISION_1 ||
        !parse_sddl(text, &d))
        return fail_with(ERROR_INVALID_PARAMETER);
    *descriptor = build(d);
    if (size != nullptr)
        *size = 0;
    return TRUE;
}

BOOL ConvertSidToStringSidA(PSID sid, LPSTR *text) {
    if (sid == nullptr || text == nullptr)
        return fail_with(ERROR_INVALID_PARAMETER);
    *text = heap_text(sid_text(static_cast<const uint8_t *>(sid)));
    return TRUE;
}

DWORD GetNamedSecurityInfoA(LPCSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION, PSID *owner,
                            PSID *group, PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor) {
    note("GetNamedSecurityInfoA(" + text_or_null(name) + ")");
    if (injected(standin::call_GetNamedSecurityInfoA))
        return GetLastError();
    if (name == nullptr || type != SE_FILE_OBJECT || descriptor == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::string sddl;
    {
        std::lock_guard<std::mutex> lock(state_mutex());
        auto it = security().named.find(name);
        if (it != security().named.end() && it->second.error != 0)
            return it->second.error;
        sddl = it != security().named.end() ? it->second.sddl : synthesized_sddl();
    }
    Descriptor d;
    if (!parse_sddl(sddl, &d))
        return ERROR_INVALID_PARAMETER;
    *descriptor = build(d);
    PSID found_owner;
    PACL found_dacl;
    parts_of(*descriptor, &found_owner, &found_dacl);
    if (owner != nullptr)
        *owner = found_owner;
    if (dacl != nullptr)
        *dacl = found_dacl;
    if (group != nullptr)
        *group = nullptr;
    if (sacl != nullptr)
        *sacl = nullptr;
    return ERROR_SUCCESS;
}

BOOL GetAce(PACL acl, DWORD index, LPVOID *ace) {
    if (acl == nullptr || index >= acl->AceCount)
        return fail_with(ERROR_INVALID_PARAMETER);
    auto *p = reinterpret_cast<uint8_t *>(acl) + sizeof(ACL);
    for (DWORD i = 0; i < index; ++i)
        p += reinterpret_cast<ACE_HEADER *>(p)->AceSize;
    *ace = p;
    return TRUE;
}

HLOCAL LocalFree(HLOCAL block) {
    free(block);
    return nullptr;
}

HANDLE GetCurrentProcess(void) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    if (injected(standin::call_OpenProcessToken))
        return FALSE;
    if (process != GetCurrentProcess() || (access & TOKEN_QUERY) == 0)
        return fail_with(ERROR_ACCESS_DENIED);
    Object object = {};
    object.type = &token_type;
    object.access = access;
    std::lock_guard<std::mutex> lock(state_mutex());
    *token = add_object(object);
    return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what, LPVOID info, DWORD size,
                         PDWORD needed) {
    std::lock_guard<std::mutex> lock(state_mutex());
    if (find_object(token, &token_type) == nullptr)
        return fail_with(ERROR_INVALID_HANDLE);
    if (what != TokenUser)
        return fail_with(ERROR_INVALID_PARAMETER);
    Bytes sid = parse_sid(security().token_user);
    // The SID follows the record in the caller's buffer, as Windows returns it.
    DWORD total = static_cast<DWORD>(sizeof(TOKEN_USER) + sid.size());
    if (needed != nullptr)
        *needed = total;
    if (info == nullptr || size < total)
        return fail_with(ERROR_INSUFFICIENT_BUFFER);
    auto *user = static_cast<TOKEN_USER *>(info);
    auto *sid_at = static_cast<uint8_t *>(info) + sizeof(TOKEN_USER);
    memcpy(sid_at, sid.data(), sid.size());
    user->User.Sid = sid_at;
    user->User.Attributes = 0;
    return TRUE;
}

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL *present, PACL *dacl,
                               BOOL *defaulted) {
    if (descriptor == nullptr || present == nullptr || dacl == nullptr || defaulted == nullptr)
        return fail_with(ERROR_INVALID_PARAMETER);
    WORD control;
    memcpy(&control, static_cast<const uint8_t *>(descriptor) + 2, 2);
    PSID owner;
    parts_of(descriptor, &owner, dacl);
    *present = (control & 0x0004) != 0;
    *defaulted = FALSE;
    return TRUE;
}

// The name that the file or folder open as `handle` was opened by, if the handle has `right`:
// 0, ERROR_INVALID_HANDLE or ERROR_ACCESS_DENIED. Takes the lock, which native_path takes too.
static DWORD file_handle_name(HANDLE handle, DWORD right, std::string *name) {
    std::lock_guard<std::mutex> lock(state_mutex());
    Object *object = find_object(handle, nullptr);
    if (object == nullptr || object->fd < 0 || object->name.empty())
        return ERROR_INVALID_HANDLE;
    if ((file_rights(object->access) & right) == 0)
        return ERROR_ACCESS_DENIED;
    *name = object->name;
    return 0;
}

DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID owner,
                      PSID group, PACL dacl, PACL sacl) {
    if (injected(standin::call_SetSecurityInfo))
        return GetLastError();
    if (type != SE_FILE_OBJECT || (what & DACL_SECURITY_INFORMATION) == 0 || owner != nullptr ||
        group != nullptr || sacl != nullptr)
        return ERROR_INVALID_PARAMETER;
    std::string name;
    if (DWORD error = file_handle_name(handle, WRITE_DAC, &name))
        return error;
    standin::NativePath native = standin::native_path(name.c_str());
    std::lock_guard<std::mutex> lock(state_mutex());
    security().sets.push_back(name + " " + hex(what) + " " + acl_text(dacl));
    if (native.error == 0) {
        Descriptor &d = security().known[native.path];
        d.dacl_present = true;
        d.dacl_null = dacl == nullptr;
        d.dacl_protected = (what & PROTECTED_DACL_SECURITY_INFORMATION) != 0;
        d.aces = aces_of(dacl);
    }
    return ERROR_SUCCESS;
}

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID *owner,
                      PSID *group, PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor) {
    if (injected(standin::call_GetSecurityInfo))
        return GetLastError();
    if (type != SE_FILE_OBJECT || what != DACL_SECURITY_INFORMATION || descriptor == nullptr ||
        owner != nullptr || group != nullptr || sacl != nullptr)
        return ERROR_INVALID_PARAMETER;
    std::string name;
    if (DWORD error = file_handle_name(handle, READ_CONTROL, &name))
        return error;
    standin::NativePath native = standin::native_path(name.c_str());
    std::lock_guard<std::mutex> lock(state_mutex());
    auto it = native.error == 0 ? security().known.find(native.path) : security().known.end();
    Descriptor d;
    if (it != security().known.end())
        d = it->second;
    else if (!parse_sddl(synthesized_sddl(), &d))
        return ERROR_INVALID_PARAMETER;
    d.owner.clear();
    *descriptor = build(d);
    if (dacl != nullptr) {
        PSID no_owner;
        parts_of(*descriptor, &no_owner, dacl);
    }
    return ERROR_SUCCESS;
}

BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                  SECURITY_DESCRIPTOR_CONTROL *control, LPDWORD revision) {
    if (descriptor == nullptr || control == nullptr || revision == nullptr)
        return fail_with(ERROR_INVALID_PARAMETER);
    memcpy(control, static_cast<const uint8_t *>(descriptor) + 2, 2);
    *revision = 1;
    return TRUE;
}

BOOL LookupAccountNameA(LPCSTR system, LPCSTR name, PSID sid, LPDWORD sid_size, LPSTR domain,
                        LPDWORD domain_size, SID_NAME_USE *use) {
    if (injected(standin::call_LookupAccountNameA))
        return FALSE;
    if (system != nullptr || name == nullptr || sid_size == nullptr || domain_size == nullptr ||
        use == nullptr)
        return fail_with(ERROR_INVALID_PARAMETER);
    static const char prefix[] = "NT SERVICE\\";
    if (strncasecmp(name, prefix, sizeof prefix - 1) != 0 || name[sizeof prefix - 1] == '\0')
        return fail_with(ERROR_NONE_MAPPED);
    Bytes found = parse_sid(standin::service_sid(name + sizeof prefix - 1));
    DWORD room = *sid_size;
    DWORD domain_room = *domain_size;
    *sid_size = static_cast<DWORD>(found.size());
    *domain_size = 11; // "NT SERVICE" and its NUL
    if (sid == nullptr || room < found.size() || domain == nullptr || domain_room < 11)
        return fail_with(ERROR_INSUFFICIENT_BUFFER);
    memcpy(sid, found.data(), found.size());
    memcpy(domain, "NT SERVICE", 11);
    *domain_size = 10;
    *use = SidTypeWellKnownGroup;
    return TRUE;
}

namespace standin {

void set_security(const char *path, const char *sddl, DWORD error) {
    std::lock_guard<std::mutex> lock(state_mutex());
    security().named[path] = {sddl != nullptr ? sddl : "", sddl != nullptr ? 0 : error};
}

void set_access_token(const std::vector<std::string> &sids) {
    std::vector<Bytes> token;
    for (const std::string &text : sids)
        token.push_back(parse_sid(text));
    std::lock_guard<std::mutex> lock(state_mutex());
    security().token = token;
}

std::string service_sid(const char *name) {
    std::string text = "S-1-5-80";
    for (uint32_t seed = 1; seed <= 5; ++seed) {
        uint32_t hash = 2166136261u ^ seed;
        for (const char *p = name; *p != '\0'; ++p)
            hash =
                (hash ^ static_cast<uint8_t>(toupper(static_cast<unsigned char>(*p)))) * 16777619u;
        // Two appends: GCC 12 at -O3 takes "-" + std::to_string for an overlapping copy.
        text += '-';
        text += std::to_string(hash);
    }
    return text;
}

void set_token_user(const char *sid) {
    std::lock_guard<std::mutex> lock(state_mutex());
    security().token_user = sid;
}

std::vector<std::string> security_sets() {
    std::lock_guard<std::mutex> lock(state_mutex());
    return security().sets;
}

std::string dacl_text(PSECURITY_DESCRIPTOR descriptor) {
    if (descriptor == nullptr)
        return "";
    PSID owner;
    PACL dacl;
    parts_of(descriptor, &owner, &dacl);
    return acl_text(dacl);
}

} // namespace standin

namespace {

std::string acl_text(PACL dacl) {
    if (dacl == nullptr)
        return "null";
    std::string text;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void *found;
        GetAce(dacl, i, &found);
        const auto *ace = static_cast<const ACCESS_ALLOWED_ACE *>(found);
        text += std::string("(") + (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE ? "A" : "D") +
                ";" + hex(ace->Header.AceFlags) + ";" + hex(ace->Mask) + ";" +
                sid_text(reinterpret_cast<const uint8_t *>(&ace->SidStart)) + ")";
    }
    return text;
}

} // namespace

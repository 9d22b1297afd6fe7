#include "platform/standin_control.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <unistd.h>

namespace {

// The DACL of an SDDL text as dacl_text shows it, or "refused" with the error.
std::string converted(const char *sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return "refused " + std::to_string(GetLastError());
    std::string text = standin::dacl_text(descriptor);
    LocalFree(descriptor);
    return text;
}

TEST(StandinSecurity, SddlToDescriptor) {
    standin::reset();
    const struct {
        const char *sddl;
        const char *dacl;
    } cases[] = {
        {"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)",
         "(A;0x0;0x1f01ff;S-1-5-18)(A;0x0;0x1f01ff;S-1-5-32-544)(A;0x0;0x120089;S-1-5-32-545)"},
        {"O:S-1-5-21-1-2-3-1000D:(A;OICIIO;GA;;;CO)(D;ID;0x40000;;;WD)",
         "(A;0xb;0x10000000;S-1-3-0)(D;0x10;0x40000;S-1-1-0)"},
        {"D:AI(A;OICI;CCLCSWRPWPDTLOCRRC;;;AU)(A;NP;FW;;;IU)",
         "(A;0x3;0x201fd;S-1-5-11)(A;0x4;0x120116;S-1-5-4)"},
        {"D:", ""},
        {"D:NO_ACCESS_CONTROL", "null"},
        {"O:BA", "null"}, // no DACL at all reads as a null one
        // As Windows 10 shows C:\Program Files: a group, and the app-package SIDs.
        {"O:S-1-5-80-1-2G:SYD:PAI(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;S-1-15-2-2)",
         "(A;0x0;0x1200a9;S-1-15-2-1)(A;0xb;0xa0000000;S-1-15-2-2)"},
        {"G:XXD:", "refused 87"},
        {"D:(A;;FA;;;XX)", "refused 87"},
        {"D:(A;;QQ;;;SY)", "refused 87"},
        {"D:(X;;FA;;;SY)", "refused 87"},
        {"D:(A;;FA;;SY)", "refused 87"},
        {"D:(A;;FA;;;S-1-x)", "refused 87"},
        {"Q:", "refused 87"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(converted(c.sddl), c.dacl) << c.sddl;
}

// What the program sees of a path's security: owner and ACEs through the calls it uses.
std::string seen(const char *path) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoA(path, SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, nullptr, &dacl, nullptr, &descriptor);
    if (error != 0)
        return "error " + std::to_string(error);
    std::string text = "O:";
    char *sid = nullptr;
    if (owner != nullptr && ConvertSidToStringSidA(owner, &sid)) {
        text += sid;
        LocalFree(sid);
    }
    text += dacl == nullptr ? " null" : "";
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void *found = nullptr;
        EXPECT_TRUE(GetAce(dacl, i, &found));
        const auto *ace = static_cast<const ACCESS_ALLOWED_ACE *>(found);
        EXPECT_TRUE(ConvertSidToStringSidA(const_cast<DWORD *>(&ace->SidStart), &sid));
        text += " " + std::to_string(ace->Header.AceType) + "/" +
                std::to_string(ace->Header.AceFlags) + "/" + std::to_string(ace->Mask) + "/" + sid;
        LocalFree(sid);
    }
    void *past = nullptr;
    EXPECT_TRUE(dacl == nullptr || !GetAce(dacl, dacl->AceCount, &past));
    LocalFree(descriptor);
    return text;
}

TEST(StandinSecurity, NamedDescriptorsAndTheToken) {
    standin::reset();
    standin::set_security("C:\\tools", "O:SYD:(A;OICI;FA;;;BA)(A;;0x2;;;BU)");
    standin::set_security("C:\\gone", nullptr, ERROR_ACCESS_DENIED);
    standin::set_security("C:\\open", "O:S-1-5-32-544D:NO_ACCESS_CONTROL");
    EXPECT_EQ(seen("C:\\tools"), "O:S-1-5-18 0/3/2032127/S-1-5-32-544 0/0/2/S-1-5-32-545");
    EXPECT_EQ(seen("C:\\gone"), "error 5");
    EXPECT_EQ(seen("C:\\open"), "O:S-1-5-32-544 null");
    // Any other path: what Wine synthesizes, for the token's user.
    const char *wine = "O:S-1-5-21-0-0-0-1000 0/3/2032127/S-1-5-18 0/3/2032127/S-1-5-21-0-0-0-1000 "
                       "0/3/1179817/S-1-1-0";
    EXPECT_EQ(seen("C:\\TOOLS"), wine) << "paths are taken as written";
    EXPECT_EQ(standin::trace(), (std::vector<std::string>{"GetNamedSecurityInfoA(C:\\tools)",
                                                          "GetNamedSecurityInfoA(C:\\gone)",
                                                          "GetNamedSecurityInfoA(C:\\open)",
                                                          "GetNamedSecurityInfoA(C:\\TOOLS)"}));
    standin::fail(standin::call_GetNamedSecurityInfoA, 2, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(seen("C:\\tools"), "O:S-1-5-18 0/3/2032127/S-1-5-32-544 0/0/2/S-1-5-32-545");
    EXPECT_EQ(seen("C:\\tools"), "error 8") << "the second call fails, set or not";
    EXPECT_EQ(seen("C:\\open"), "O:S-1-5-32-544 null");
    standin::set_token_user("S-1-5-21-7-8-9-500");
    EXPECT_EQ(seen("Z:\\x"), "O:S-1-5-21-7-8-9-500 0/3/2032127/S-1-5-18 0/3/2032127/"
                             "S-1-5-21-7-8-9-500 0/3/1179817/S-1-1-0");

    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD needed = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    alignas(8) char room[128];
    ASSERT_LE(needed, sizeof room);
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, room, needed, &needed));
    char *sid = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER *>(room)->User.Sid, &sid));
    EXPECT_STREQ(sid, "S-1-5-21-7-8-9-500");
    LocalFree(sid);
    EXPECT_EQ(standin::open_handles(), 1) << "a token is the program's to close";
    EXPECT_TRUE(CloseHandle(token));
    standin::reset();
}

// A file's DACL set through a handle: only one opened with WRITE_DAC, only the DACL, and what
// was set is what the descriptor held.
TEST(StandinSecurity, SetSecurityInfoThroughAHandle) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    std::string path = test_support::windows_path(dir + "/f.log");
    test_support::write_file(dir + "/f.log", "x");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:P(A;;FA;;;SY)(A;OICI;FR;;;BA)", SDDL_REVISION_1, &descriptor, nullptr));
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    ASSERT_NE(dacl, nullptr);
    const std::string set =
        path + " 0x80000004 (A;0x0;0x1f01ff;S-1-5-18)(A;0x3;0x120089;S-1-5-32-544)";
    HANDLE closed = CreateFileA(path.c_str(), WRITE_DAC, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(closed, INVALID_HANDLE_VALUE);
    CloseHandle(closed);
    const struct {
        const char *what;
        DWORD access; // of the handle; 0: the closed one
        DWORD info;
        bool owner;     // an owner given too
        DWORD injected; // SetSecurityInfo made to fail with it
        DWORD result;
    } cases[] = {
        {"with WRITE_DAC", GENERIC_WRITE | WRITE_DAC,
         DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, false, 0, 0},
        {"without WRITE_DAC", GENERIC_READ | GENERIC_WRITE,
         DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, false, 0, 5},
        {"a closed handle", 0, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
         false, 0, 6},
        {"no DACL asked", WRITE_DAC, OWNER_SECURITY_INFORMATION, false, 0, 87},
        {"an owner too", WRITE_DAC, DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION, true, 0,
         87},
        {"failing", WRITE_DAC, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
         false, ERROR_NOT_ENOUGH_MEMORY, 8},
    };
    for (const auto &c : cases) {
        HANDLE file = closed;
        if (c.access != 0)
            file = CreateFileA(path.c_str(), c.access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << c.what;
        if (c.injected != 0)
            standin::fail(standin::call_SetSecurityInfo, 1, c.injected);
        PSID owner = nullptr;
        if (c.owner)
            owner = dacl; // any non-null pointer: it must be refused before it is read
        EXPECT_EQ(SetSecurityInfo(file, SE_FILE_OBJECT, c.info, owner, nullptr, dacl, nullptr),
                  c.result)
            << c.what;
        EXPECT_EQ(standin::security_sets(),
                  c.result == 0 ? std::vector<std::string>{set} : std::vector<std::string>{})
            << c.what;
        if (file != closed)
            CloseHandle(file);
        standin::reset();
    }
    LocalFree(descriptor);
    unlink((dir + "/f.log").c_str());
    rmdir(dir.c_str());
}

// A path as the wide calls take it.
std::basic_string<WCHAR> wide_of(const std::string &path) {
    return std::basic_string<WCHAR>(path.begin(), path.end());
}

// With a token set, what is made with a descriptor or given one opens only as its DACL allows
// that token, in order, a denial first; a file is made, deleted or renamed only as the folder's
// and the file's DACLs allow; GetSecurityInfo gives back the DACL set, and LookupAccountNameA
// knows a service's SID.
TEST(StandinSecurity, AccessChecksAgainstTheDacls) {
    standin::reset();
    std::string dir = test_support::temp_dir();
    std::string folder = test_support::windows_path(dir + "/logs");
    std::string file = folder + "\\a.log";
    auto made = [](const char *sddl) {
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
            sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr));
        return attributes;
    };
    SECURITY_ATTRIBUTES folder_security = made("D:P(A;;FA;;;SY)(A;;0x120081;;;S-1-5-80-0)");
    SECURITY_ATTRIBUTES file_security =
        made("D:P(D;;0x4;;;S-1-5-80-9)(A;;FA;;;SY)(A;;0x12019f;;;S-1-5-80-9)(A;;FR;;;WD)");
    std::basic_string<WCHAR> wide(folder.begin(), folder.end());
    ASSERT_TRUE(CreateDirectoryW(wide.c_str(), &folder_security));
    HANDLE made_file = CreateFileA(file.c_str(), GENERIC_WRITE, 0, &file_security, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(made_file, INVALID_HANDLE_VALUE);
    CloseHandle(made_file);
    auto opening = [](const std::string &path, DWORD access, DWORD disposition) {
        HANDLE h = CreateFileA(path.c_str(), access, 0, nullptr, disposition,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError();
        CloseHandle(h);
        return static_cast<DWORD>(0);
    };
    const std::vector<std::string> as_system = {"SY"};
    const std::vector<std::string> service = {"NS", "S-1-5-80-9", "S-1-5-80-0", "WD"};
    const std::vector<std::string> anyone = {"S-1-5-21-0-0-0-1000", "WD"};
    const struct {
        const std::vector<std::string> *token;
        std::string path;
        DWORD access;
        DWORD disposition;
        DWORD error;
    } cases[] = {
        {&as_system, file, GENERIC_ALL, OPEN_EXISTING, 0},
        {&service, file, GENERIC_READ | FILE_WRITE_DATA, OPEN_EXISTING, 0},
        {&service, file, FILE_APPEND_DATA, OPEN_EXISTING, 5}, // denied before it is allowed
        {&service, file, WRITE_DAC, OPEN_EXISTING, 5},
        {&anyone, file, GENERIC_READ, OPEN_EXISTING, 0},
        {&anyone, file, FILE_WRITE_DATA, OPEN_EXISTING, 5},
        {&service, folder, FILE_LIST_DIRECTORY, OPEN_EXISTING, 0},
        {&anyone, folder, FILE_LIST_DIRECTORY, OPEN_EXISTING, 5},
        {&service, folder + "\\b.log", GENERIC_WRITE, OPEN_ALWAYS, 5},
        {&as_system, folder + "\\b.log", GENERIC_WRITE, OPEN_ALWAYS, 0},
        {&service, file, DELETE, OPEN_EXISTING, 5},
    };
    for (const auto &c : cases) {
        standin::set_access_token(*c.token);
        EXPECT_EQ(opening(c.path, c.access, c.disposition), c.error) << c.path << " " << c.access;
    }
    standin::set_access_token(service);
    EXPECT_FALSE(DeleteFileA(file.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    std::basic_string<WCHAR> sub = wide_of(folder + "\\sub");
    EXPECT_FALSE(CreateDirectoryW(sub.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(CreateDirectoryW(wide.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "there before refused";

    // What the file's DACL reads back as, through a handle that may read it.
    HANDLE reader = CreateFileA(file.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(reader, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor),
              0u);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0);
    EXPECT_EQ(standin::dacl_text(descriptor),
              standin::dacl_text(file_security.lpSecurityDescriptor));
    LocalFree(descriptor);
    CloseHandle(reader);
    standin::set_access_token({});
    reader = CreateFileA(file.c_str(), FILE_READ_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(GetSecurityInfo(reader, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(reader);

    // Renamed, the file keeps its DACL; SYSTEM may rename it, the service may not.
    std::string moved = folder + "\\moved.log";
    std::basic_string<WCHAR> from = wide_of(file), to = wide_of(moved);
    standin::set_access_token(service);
    EXPECT_FALSE(MoveFileExW(from.c_str(), to.c_str(), 0));
    standin::set_access_token(as_system);
    EXPECT_TRUE(MoveFileExW(from.c_str(), to.c_str(), 0));
    standin::set_access_token(anyone);
    EXPECT_EQ(opening(moved, FILE_WRITE_DATA, OPEN_EXISTING), static_cast<DWORD>(5));
    standin::set_access_token({});

    BYTE sid[68];
    DWORD sid_size = sizeof sid;
    char domain[16];
    DWORD domain_size = sizeof domain;
    SID_NAME_USE use;
    ASSERT_TRUE(
        LookupAccountNameA(nullptr, "nt service\\Web", sid, &sid_size, domain, &domain_size, &use));
    char *text = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidA(sid, &text));
    EXPECT_EQ(std::string(text), standin::service_sid("WEB"));
    EXPECT_EQ(std::string(text).rfind("S-1-5-80-", 0), 0u);
    EXPECT_NE(standin::service_sid("Web"), standin::service_sid("Web2"));
    LocalFree(text);
    sid_size = sizeof sid;
    domain_size = sizeof domain;
    EXPECT_FALSE(LookupAccountNameA(nullptr, "NT AUTHORITY\\SYSTEM", sid, &sid_size, domain,
                                    &domain_size, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NONE_MAPPED));
    LocalFree(folder_security.lpSecurityDescriptor);
    LocalFree(file_security.lpSecurityDescriptor);
    standin::reset();
    std::string command = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(command.c_str()), 0);
}

} // namespace

#include "platform/standin_control.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

} // namespace

#include "install/install.h"

#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using test_support::run_in_child;
using Trace = std::vector<std::string>;

// The failure-actions flag is set too; where the system refuses it (XP, Wine), reg is as silent
// and as successful as without it.
TEST(RegService, CreatesTheServiceAsSpecified) {
    for (bool flag_refused : {false, true}) {
        standin::reset();
        if (flag_refused)
            standin::fail(standin::call_ChangeServiceConfig2A, 1, ERROR_INVALID_PARAMETER);
        test_support::Outcome outcome = run_in_child([&] {
            int result = reg_service("C:\\t\\tolvard.exe app.exe Web ", "Web", "Web");
            // The child's stand-in holds the database: check it here and report through the
            // status.
            std::vector<standin::Service> services = standin::services();
            if (services.size() != 1)
                return 10;
            const standin::Service &s = services[0];
            bool exact = s.name == "Web" && s.display_name == "Web" && s.access == 0xF01FF &&
                         s.type == 0x10 && s.start == 3 && s.error_control == 1 &&
                         s.binary_path == "C:\\t\\tolvard.exe app.exe Web " && s.group_null &&
                         s.tag_null && s.dependencies_null && s.account_null && s.password_null;
            if (!exact)
                return 11;
            if (s.failure_actions_on_non_crash == flag_refused)
                return 14;
            if (standin::open_handles() != 0)
                return 12;
            if (standin::trace() !=
                Trace{"OpenSCManagerA(null,null,0xf003f)", "CreateServiceA(Web)",
                      "CloseServiceHandle(manager)", "SetServiceObjectSecurity(0x4)",
                      "ChangeServiceConfig2A(4)", "CloseServiceHandle(service)"})
                return 13;
            // The default DACL of a new service, but interactive (S-1-5-4) and service
            // (S-1-5-6) logons lack 0x100, the right to send user-defined controls; SYSTEM
            // keeps it and Administrators keep every right.
            if (s.dacl != "(A;0x0;0x201fd;S-1-5-18)(A;0x0;0xf01ff;S-1-5-32-544)"
                          "(A;0x0;0x2008d;S-1-5-4)(A;0x0;0x2008d;S-1-5-6)")
                return 15;
            return result;
        });
        EXPECT_EQ(outcome.status, 101) << "flag refused: " << flag_refused;
        EXPECT_EQ(outcome.out, "") << "success is silent";
    }
}

// Each failure is said in two lines: what failed, then the error and the system's text for it.
// Each call is made to fail with an error of its own, so that a line with another call's error
// (or one read after a later call changed it) shows.
struct FailureCase {
    const char *what;
    standin::Call call; // the call made to fail, or call_count for none
    DWORD error;        // with this error
    bool existing;      // "Web" registered beforehand
    const char *message;
    Trace trace;
};

const char *const denied = "error 5: Access is denied.\n";

TEST(RegService, Failures) {
    const Trace created = {"OpenSCManagerA(null,null,0xf003f)", "CreateServiceA(Web)",
                           "CloseServiceHandle(manager)"};
    Trace unsecured = created;
    unsecured.insert(unsecured.end(), {"SetServiceObjectSecurity(0x4)", "DeleteService",
                                       "CloseServiceHandle(service)"});
    Trace unconverted = created;
    unconverted.insert(unconverted.end(), {"DeleteService", "CloseServiceHandle(service)"});
    const FailureCase cases[] = {
        {"no manager",
         standin::call_OpenSCManagerA,
         ERROR_ACCESS_DENIED,
         false,
         "fail to open\nerror 5: Access is denied.\n",
         {"OpenSCManagerA(null,null,0xf003f)"}},
        {"create refused", standin::call_CreateServiceA, ERROR_DUPLICATE_SERVICE_NAME, false,
         "fail to CreateService\nerror 1078: The name is already in use as either a service name "
         "or a service display name.\n",
         created},
        {"name taken", standin::call_count, 0, true,
         "fail to CreateService\nerror 1073: The specified service already exists.\n", created},
        // A service whose DACL cannot be set is deleted again: nothing is left half made.
        {"DACL refused, an error without text", standin::call_SetServiceObjectSecurity, 1115, false,
         "fail to SetServiceObjectSecurity\nerror 1115\n", unsecured},
        {"DACL not made", standin::call_ConvertStringSecurityDescriptorToSecurityDescriptorA,
         ERROR_INVALID_PARAMETER, false,
         "fail to SetServiceObjectSecurity\nerror 87: The parameter is incorrect.\n", unconverted},
    };
    for (const FailureCase &c : cases) {
        standin::reset();
        if (c.existing)
            standin::add_service("Web");
        if (c.call != standin::call_count)
            standin::fail(c.call, 1, c.error);
        test_support::Outcome outcome = run_in_child([&] {
            int result = reg_service("C:\\t.exe app.exe Web ", "Web", "Web");
            if (standin::trace() != c.trace)
                return 10;
            if (standin::open_handles() != 0)
                return 11;
            // Nothing changed: the one entry there was, or none.
            if (standin::services().size() != (c.existing ? 1u : 0u))
                return 12;
            return result;
        });
        EXPECT_EQ(outcome.status, 100) << c.what;
        EXPECT_EQ(outcome.out, c.message) << c.what;
    }
}

TEST(RegService, ADaclRefusedAndADeleteRefusedAreBothSaid) {
    standin::reset();
    standin::fail(standin::call_SetServiceObjectSecurity, 1, ERROR_ACCESS_DENIED);
    standin::fail(standin::call_DeleteService, 1, ERROR_SERVICE_MARKED_FOR_DELETE);
    test_support::Outcome outcome = run_in_child([] {
        int result = reg_service("C:\\t.exe app.exe Web ", "Web", "Web");
        return standin::open_handles() == 0 ? result : 10;
    });
    EXPECT_EQ(outcome.status, 100);
    EXPECT_EQ(outcome.out, std::string("fail to SetServiceObjectSecurity\n") + denied +
                               "fail to DeleteService\n"
                               "error 1072: The specified service has been marked for deletion.\n");
    standin::reset();
}

// Security descriptors as Windows gives them for folders and files, in SDDL.
const char *const admin = "S-1-5-21-1-2-3-500"; // the user who runs reg
const char *const trusted_installer =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
// What a folder under "Program Files" has.
const std::string program_files = std::string("O:") + trusted_installer +
                                  "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
                                  "(A;OICIIO;GA;;;CO)(A;;FA;;;" +
                                  trusted_installer + ")";
// What a folder made directly under C:\ inherits from the drive's root.
const std::string under_root = "O:BAD:(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)"
                               "(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)";

TEST(SafePlaces, OnlyTheTrustedMayChangeThem) {
    const std::string folder = "O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FX;;;BU)";
    const struct {
        const char *what;
        const char *exename;
        std::vector<std::pair<std::string, std::string>> places; // path, SDDL; "" unreadable
        int safe;
        const char *out;
    } cases[] = {
        {"as Wine has every place", "C:\\web\\app.exe", {}, 1, ""},
        {"under Program Files", "app.exe", {{"C:\\tools", program_files}}, 1, ""},
        {"users may write, as under C:\\",
         "app.exe",
         {{"C:\\tools", under_root}},
         0,
         "fail to reg, others may change C:\\tools\nwhy: an ACE allows S-1-5-11 the rights "
         "0x1301bf\n"},
        {"Users may add files",
         "app.exe",
         {{"C:\\tools", folder + "(A;;0x2;;;BU)"}},
         0,
         "fail to reg, others may change C:\\tools\nwhy: an ACE allows S-1-5-32-545 the rights "
         "0x2\n"},
        {"Everyone full control",
         "app.exe",
         {{"C:\\tools", folder + "(A;OICI;FA;;;WD)"}},
         0,
         "fail to reg, others may change C:\\tools\nwhy: an ACE allows S-1-1-0 the rights "
         "0x1f01ff\n"},
        {"Authenticated Users may delete",
         "app.exe",
         {{"C:\\tools", folder + "(A;;SD;;;AU)"}},
         0,
         "fail to reg, others may change C:\\tools\nwhy: an ACE allows S-1-5-11 the rights "
         "0x10000\n"},
        {"only WRITE_DAC",
         "app.exe",
         {{"C:\\tools", folder + "(A;;WD;;;BU)"}},
         0,
         "fail to reg, others may change C:\\tools\nwhy: an ACE allows S-1-5-32-545 the rights "
         "0x40000\n"},
        {"files made there writable",
         "app.exe",
         {{"C:\\tools", folder + "(A;OIIO;FW;;;BU)"}},
         0,
         "fail to reg, others may change C:\\tools\nwhy: an ACE allows S-1-5-32-545 the rights "
         "0x120116 on the files made in it\n"},
        {"only subfolders writable",
         "app.exe",
         {{"C:\\tools", folder + "(A;CIIO;FW;;;BU)"}},
         1,
         ""},
        {"a deny changes nothing", "app.exe", {{"C:\\tools", folder + "(D;;FA;;;BU)"}}, 1, ""},
        {"another owner",
         "app.exe",
         {{"C:\\tools", "O:S-1-5-21-1-2-3-1001" + folder.substr(4)}},
         0,
         "fail to reg, others may change C:\\tools\nwhy: its owner S-1-5-21-1-2-3-1001 may change "
         "its permissions\n"},
        {"null DACL",
         "app.exe",
         {{"C:\\tools", "O:SYD:NO_ACCESS_CONTROL"}},
         0,
         "fail to reg, others may change C:\\tools\nwhy: its DACL is null, so everyone may change "
         "it\n"},
        {"the admin who runs reg, TrustedInstaller",
         "app.exe",
         {{"C:\\tools", folder + "(A;OICI;FA;;;" + admin + ")(A;;FA;;;" + trusted_installer + ")"}},
         1,
         ""},
        {"another user's full control",
         "app.exe",
         {{"C:\\tools", folder + "(A;OICI;FA;;;S-1-5-21-1-2-3-1001)"}},
         0,
         "fail to reg, others may change C:\\tools\nwhy: an ACE allows S-1-5-21-1-2-3-1001 the "
         "rights 0x1f01ff\n"},
        {"tolvard.exe itself",
         "app.exe",
         {{"C:\\tools", folder}, {"C:\\tools\\tolvard.exe", "O:SYD:(A;;FW;;;BU)"}},
         0,
         "fail to reg, others may change C:\\tools\\tolvard.exe\nwhy: an ACE allows S-1-5-32-545 "
         "the rights 0x120116\n"},
        {"EXENAME's folder",
         "C:\\web\\app.exe",
         {{"C:\\web", under_root}},
         0,
         "fail to reg, others may change C:\\web\nwhy: an ACE allows S-1-5-11 the rights "
         "0x1301bf\n"},
        {"EXENAME's file",
         "C:\\web\\app.exe",
         {{"C:\\web\\app.exe", folder + "(A;;FW;;;IU)"}},
         0,
         "fail to reg, others may change C:\\web\\app.exe\nwhy: an ACE allows S-1-5-4 the rights "
         "0x120116\n"},
        {"EXENAME through a variable",
         "%TV_WEB%\\app.exe",
         {{"D:\\Web Site", under_root}},
         0,
         "fail to reg, others may change D:\\Web Site\nwhy: an ACE allows S-1-5-11 the rights "
         "0x1301bf\n"},
        {"EXENAME in a drive's root",
         "C:\\app.exe",
         {{"C:\\", under_root}},
         0,
         "fail to reg, others may change C:\\\nwhy: an ACE allows S-1-5-11 the rights 0x1301bf\n"},
        {"a bare EXENAME is not a place", "app.exe", {{"app.exe", under_root}}, 1, ""},
        {"unreadable: said and passed",
         "C:\\web\\app.exe",
         {{"C:\\tools", ""}, {"C:\\web", ""}},
         1,
         "fail to check C:\\tools error=5\nerror 5: Access is denied.\n"
         "fail to check C:\\web error=5\nerror 5: Access is denied.\n"},
        {"EXENAME not there yet", "C:\\web\\app.exe", {{"C:\\web\\app.exe", "-"}}, 1, ""},
    };
    setenv("TV_WEB", "D:\\Web Site", 1);
    for (const auto &c : cases) {
        standin::reset();
        standin::set_token_user(admin);
        for (const auto &[path, sddl] : c.places) {
            if (sddl == "")
                standin::set_security(path.c_str(), nullptr, ERROR_ACCESS_DENIED);
            else if (sddl == "-")
                standin::set_security(path.c_str(), nullptr, ERROR_FILE_NOT_FOUND);
            else
                standin::set_security(path.c_str(), sddl.c_str());
        }
        test_support::Outcome outcome = run_in_child([&] {
            int result = safe_places("C:\\tools\\tolvard.exe", c.exename);
            return standin::open_handles() == 0 ? result : 10;
        });
        EXPECT_EQ(outcome.status, 100 + c.safe) << c.what;
        EXPECT_EQ(outcome.out, c.out) << c.what;
    }
    unsetenv("TV_WEB");
    standin::reset();
}

TEST(RemService, DeletesByNameWithDeleteAccessOnly) {
    standin::reset();
    standin::add_service("Web");
    standin::add_service("Other");
    test_support::Outcome outcome = run_in_child([] {
        int result = rem_service("Web");
        if (standin::services().size() != 1 || standin::services()[0].name != "Other")
            return 10;
        if (standin::trace() != Trace{"OpenSCManagerA(null,null,0xf003f)",
                                      "OpenServiceA(Web,0x10000)", "DeleteService",
                                      "CloseServiceHandle(service)", "CloseServiceHandle(manager)"})
            return 11;
        if (standin::open_handles() != 0)
            return 12;
        return result;
    });
    EXPECT_EQ(outcome.status, 101);
    EXPECT_EQ(outcome.out, "");
}

TEST(RemService, Failures) {
    const Trace unopened = {"OpenSCManagerA(null,null,0xf003f)", "OpenServiceA(Web,0x10000)",
                            "CloseServiceHandle(manager)"};
    const FailureCase cases[] = {
        {"no manager",
         standin::call_OpenSCManagerA,
         ERROR_ACCESS_DENIED,
         true,
         "fail to open\nerror 5: Access is denied.\n",
         {"OpenSCManagerA(null,null,0xf003f)"}},
        {"not registered", standin::call_count, 0, false,
         "fail to OpenService\nerror 1060: The specified service does not exist as an installed "
         "service.\n",
         unopened},
        {"open refused", standin::call_OpenServiceA, ERROR_ACCESS_DENIED, true,
         "fail to OpenService\nerror 5: Access is denied.\n", unopened},
        {"delete refused",
         standin::call_DeleteService,
         ERROR_SERVICE_MARKED_FOR_DELETE,
         true,
         "fail to DeleteService\nerror 1072: The specified service has been marked for "
         "deletion.\n",
         {"OpenSCManagerA(null,null,0xf003f)", "OpenServiceA(Web,0x10000)", "DeleteService",
          "CloseServiceHandle(service)", "CloseServiceHandle(manager)"}},
    };
    for (const FailureCase &c : cases) {
        standin::reset();
        if (c.existing)
            standin::add_service("Web");
        if (c.call != standin::call_count)
            standin::fail(c.call, 1, c.error);
        test_support::Outcome outcome = run_in_child([&] {
            int result = rem_service("Web");
            if (standin::trace() != c.trace)
                return 10;
            if (standin::open_handles() != 0)
                return 11;
            if (standin::services().size() != (c.existing ? 1u : 0u))
                return 12;
            return result;
        });
        EXPECT_EQ(outcome.status, 100) << c.what;
        EXPECT_EQ(outcome.out, c.message) << c.what;
    }
}

} // namespace

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

// The failure-actions flag and the service's own SID are set too; where the system refuses
// either (XP, Wine), reg is as silent and as successful as without it.
TEST(RegService, CreatesTheServiceAsSpecified) {
    for (int refused : {0, 1, 2}) { // the ChangeServiceConfig2A refused, 0: none
        bool flag_refused = refused == 1;
        bool sid_refused = refused == 2;
        standin::reset();
        standin::set_module_file_name("C:\\t\\tolvard.exe");
        if (refused != 0)
            standin::fail(standin::call_ChangeServiceConfig2A, refused, ERROR_INVALID_PARAMETER);
        test_support::Outcome outcome = run_in_child([&] {
            int result = reg_service("C:\\t\\tolvard.exe app.exe Web ", "Web", "Web",
                                     "Runs app.exe (tolvard 9)");
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
            if (s.sid_type != (sid_refused ? SERVICE_SID_TYPE_NONE : SERVICE_SID_TYPE_UNRESTRICTED))
                return 17;
            if (s.description != "Runs app.exe (tolvard 9)")
                return 16;
            if (standin::open_handles() != 0)
                return 12;
            // The event source registered, as it was missing.
            if (standin::trace() !=
                Trace{"OpenSCManagerA(null,null,0xf003f)", "CreateServiceA(Web)",
                      "CloseServiceHandle(manager)", "SetServiceObjectSecurity(0x4)",
                      "ChangeServiceConfig2A(4)", "ChangeServiceConfig2A(5)",
                      "ChangeServiceConfig2A(1)", "CloseServiceHandle(service)",
                      "RegOpenKeyExA("
                      "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\tolvard)",
                      "GetFileAttributesA(C:\\t\\tolvard-messages.dll)",
                      "RegCreateKeyExA("
                      "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\tolvard)",
                      "RegSetValueExA(EventMessageFile,2)", "RegSetValueExA(TypesSupported,4)"})
                return 13;
            // The default DACL of a new service, but interactive (S-1-5-4) and service
            // (S-1-5-6) logons lack 0x100, the right to send user-defined controls; SYSTEM
            // keeps it and Administrators keep every right.
            if (s.dacl != "(A;0x0;0x201fd;S-1-5-18)(A;0x0;0xf01ff;S-1-5-32-544)"
                          "(A;0x0;0x2008d;S-1-5-4)(A;0x0;0x2008d;S-1-5-6)")
                return 15;
            return result;
        });
        EXPECT_EQ(outcome.status, 101) << "refused: " << refused;
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
            int result = reg_service("C:\\t.exe app.exe Web ", "Web", "Web", nullptr);
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
        int result = reg_service("C:\\t.exe app.exe Web ", "Web", "Web", nullptr);
        return standin::open_handles() == 0 ? result : 10;
    });
    EXPECT_EQ(outcome.status, 100);
    EXPECT_EQ(outcome.out, std::string("fail to SetServiceObjectSecurity\n") + denied +
                               "fail to DeleteService\n"
                               "error 1072: The specified service has been marked for deletion.\n");
    standin::reset();
}

// The description and the event source are extras: a service without them runs all the same,
// so a failure of either is said and the service stays.
TEST(RegService, ExtrasThatFailAreSaidAndTheServiceStays) {
    const struct {
        const char *what;
        standin::Call call;
        int nth;
        const char *message;
    } cases[] = {
        {"description refused", standin::call_ChangeServiceConfig2A, 3,
         "fail to set the description\nerror 5: Access is denied.\n"},
        {"source key refused", standin::call_RegCreateKeyExA, 1,
         "fail to register the event source\nerror 5: Access is denied.\n"},
        {"source value refused", standin::call_RegSetValueExA, 2,
         "fail to register the event source\nerror 5: Access is denied.\n"},
    };
    for (const auto &c : cases) {
        standin::reset();
        standin::fail(c.call, c.nth, ERROR_ACCESS_DENIED);
        test_support::Outcome outcome = run_in_child([] {
            int result = reg_service("C:\\t.exe app.exe Web ", "Web", "Web", "Runs app.exe");
            if (standin::services().size() != 1)
                return 10;
            return standin::open_handles() == 0 ? result : 11;
        });
        EXPECT_EQ(outcome.status, 101) << c.what;
        EXPECT_EQ(outcome.out, c.message) << c.what;
    }
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

// Windows 10's own security, as Get-Acl shows it.
const std::string ti = trusted_installer;
// Read and execute for the app-package SIDs, on the place and on what is made in it.
const std::string app_packages = "(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)"
                                 "(A;;0x1200a9;;;S-1-15-2-2)(A;OICIIO;GXGR;;;S-1-15-2-2)";
// C:\: Authenticated Users may add folders to the root itself, and modify what they make.
const std::string drive_root = "O:" + ti + "G:" + ti +
                               "D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
                               "(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)";
// C:\Program Files: SYSTEM and Administrators modify, Users read and execute, CREATOR OWNER
// full control over what it makes.
const std::string program_files_root =
    "O:" + ti + "G:" + ti + "D:PAI(A;;FA;;;" + ti + ")(A;CIIO;GA;;;" + ti +
    ")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
    "(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)" +
    app_packages;
// A folder an installer made under it, and a file in that folder.
const std::string installed_folder =
    "O:BAG:SYD:AI(A;ID;FA;;;" + ti + ")(A;CIIOID;GA;;;" + ti +
    ")(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)"
    "(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)(A;ID;0x1200a9;;;AC)"
    "(A;OICIIOID;GXGR;;;AC)(A;ID;0x1200a9;;;S-1-15-2-2)(A;OICIIOID;GXGR;;;S-1-15-2-2)";
const std::string installed_file = "O:BAG:SYD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)"
                                   "(A;ID;0x1200a9;;;AC)(A;ID;0x1200a9;;;S-1-15-2-2)";
// C:\Windows and its System32, System, System32\Wbem and the like.
const std::string windows_folder =
    "O:" + ti + "G:" + ti +
    "D:PAI(A;OICIIO;GA;;;CO)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;BA)"
    "(A;;0x1301bf;;;BA)(A;OICIIO;GXGR;;;BU)(A;;0x1200a9;;;BU)(A;CIIO;GA;;;" +
    ti + ")(A;;FA;;;" + ti + ")" + app_packages;
// A program of Windows' own, such as System32\cmd.exe.
const std::string windows_file = "O:" + ti + "G:" + ti + "D:PAI(A;;FA;;;" + ti +
                                 ")(A;;0x1200a9;;;BA)(A;;0x1200a9;;;SY)(A;;0x1200a9;;;BU)"
                                 "(A;;0x1200a9;;;AC)(A;;0x1200a9;;;S-1-15-2-2)";
// A second drive's root as older Windows made it: Authenticated Users may modify the root
// itself (DELETE included, which no one can use on a root).
const std::string data_root = "O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;;0x1301bf;;;AU)"
                              "(A;OICIIO;SDGXGWGR;;;AU)(A;OICI;0x1200a9;;;BU)";
// A folder or file an administrator locked down.
const std::string locked = "O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

const char *const environment_key =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
// The machine's PATH of a Windows 10 with the Web program's folder added.
const std::string default_path =
    "%SystemRoot%\\system32;%SystemRoot%;%SystemRoot%\\System32\\Wbem;"
    "%SYSTEMROOT%\\System32\\WindowsPowerShell\\v1.0\\;C:\\Program Files\\Web\\bin";
const std::string missing = "-";

// The places of a Windows 10 with tolvard and a Web program under Program Files.
const std::vector<std::pair<std::string, std::string>> windows_10 = {
    {"C:\\", drive_root},
    {"C:\\Program Files", program_files_root},
    {"C:\\Program Files\\tolvard", installed_folder},
    {"C:\\Program Files\\tolvard\\tolvard.exe", installed_file},
    {"C:\\Program Files\\Web", installed_folder},
    {"C:\\Program Files\\Web\\web.exe", installed_file},
    {"C:\\Program Files\\Web\\bin", installed_folder},
    {"C:\\Program Files\\Web\\bin\\web.exe", installed_file},
    {"C:\\Windows", windows_folder},
    {"C:\\Windows\\System32", windows_folder},
    {"C:\\Windows\\System", windows_folder},
    {"C:\\Windows\\System32\\Wbem", windows_folder},
    {"C:\\Windows\\System32\\WindowsPowerShell", windows_folder},
    {"C:\\Windows\\System32\\WindowsPowerShell\\v1.0", windows_folder},
    {"C:\\Windows\\System32\\cmd.exe", windows_file},
    {"D:\\", data_root},
};

struct Layout {
    std::vector<std::pair<std::string, std::string>> places; // path, SDDL or `missing`
    std::vector<std::string> files;                          // the programs that are there
    std::string path;                                        // the machine's PATH
};

// Lays out Windows 10 and then `layout` over it.
void lay_out(const Layout &layout) {
    standin::reset();
    standin::set_token_user(admin);
    for (const auto &places : {windows_10, layout.places}) {
        for (const auto &[path, sddl] : places) {
            if (sddl == missing)
                standin::set_security(path.c_str(), nullptr, ERROR_FILE_NOT_FOUND);
            else
                standin::set_security(path.c_str(), sddl.c_str());
        }
    }
    for (const char *file :
         {"C:\\Windows\\System32\\cmd.exe", "C:\\Program Files\\Web\\bin\\web.exe"})
        standin::set_file_attributes(file, FILE_ATTRIBUTE_NORMAL);
    for (const std::string &file : layout.files)
        standin::set_file_attributes(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    standin::set_registry_value(environment_key, "Path", REG_EXPAND_SZ, layout.path + '\0');
    setenv("SystemRoot", "C:\\Windows", 1);
}

// The calls of the trace that start with one of `prefixes`.
Trace calls_of(const std::vector<std::string> &prefixes) {
    Trace found;
    for (const std::string &call : standin::trace()) {
        for (const std::string &prefix : prefixes) {
            if (call.rfind(prefix, 0) == 0)
                found.push_back(call);
        }
    }
    return found;
}

Trace probes(const std::vector<std::string> &paths) {
    Trace found;
    for (const std::string &path : paths)
        found.push_back("GetFileAttributesA(" + path + ")");
    return found;
}

// Every folder above the places a service runs from is judged up to the root, for the rights
// that let a user put a folder of their own in its place; a bare EXENAME is judged where the
// service will find it, with every folder searched before it.
TEST(SafePlaces, AncestorsAndTheSearchOfABareName) {
    const std::string program = "C:\\Program Files\\tolvard\\tolvard.exe";
    // The folders searched for a bare name in a service, in order, as far as the PATH's Web.
    const std::vector<std::string> searched = {
        "C:\\Program Files\\tolvard",  "C:\\Windows\\System32",
        "C:\\Windows\\System",         "C:\\Windows",
        "C:\\Windows\\System32\\Wbem", "C:\\Windows\\System32\\WindowsPowerShell\\v1.0",
        "C:\\Program Files\\Web\\bin"};
    auto searched_for = [&](const std::string &name, size_t count) {
        std::vector<std::string> paths;
        for (size_t i = 0; i < count && i < searched.size(); ++i)
            paths.push_back(searched[i] + "\\" + name);
        return paths;
    };
    const std::string with_tools = default_path + ";C:\\Tools";
    const std::string tools_first =
        "%SystemRoot%\\system32;%SystemRoot%;C:\\Tools;C:\\Program Files\\Web\\bin";
    const std::string under_c = "O:BAG:SYD:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)"
                                "(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)"
                                "(A;OICIIOID;SDGXGWGR;;;AU)";
    const std::string apps = "D:\\Apps\\Web\\web.exe";
    const struct {
        const char *what;
        std::string program;
        std::string exename;
        Layout layout;
        int safe;
        std::string out;
        std::vector<std::string> probed; // the files looked for, in order
    } cases[] = {
        // A full EXENAME, and the folders above it and above tolvard.exe.
        {"Program Files, a drive's root that users may add folders to",
         program,
         "C:\\Program Files\\Web\\web.exe",
         {{}, {}, default_path},
         1,
         "",
         {}},
        {"the reviewer's case: everyone may replace the locked folder",
         "D:\\Shared\\tools\\tolvard.exe",
         "C:\\Program Files\\Web\\web.exe",
         {{{"D:\\Shared", "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;WD)"},
           {"D:\\Shared\\tools", locked},
           {"D:\\Shared\\tools\\tolvard.exe", locked}},
          {},
          default_path},
         0,
         "fail to reg, others may change D:\\Shared\n"
         "why: an ACE allows S-1-1-0 the rights 0x1f01ff\n",
         {}},
        {"users may delete a folder above (rename it away)",
         program,
         apps,
         {{{"D:\\Apps", locked + "(A;;SD;;;BU)"}, {"D:\\Apps\\Web", locked}}, {}, default_path},
         0,
         "fail to reg, others may change D:\\Apps\n"
         "why: an ACE allows S-1-5-32-545 the rights 0x10000\n",
         {}},
        {"users may delete what a folder above holds",
         program,
         apps,
         {{{"D:\\Apps", locked + "(A;;0x40;;;BU)"}, {"D:\\Apps\\Web", locked}}, {}, default_path},
         0,
         "fail to reg, others may change D:\\Apps\n"
         "why: an ACE allows S-1-5-32-545 the rights 0x40\n",
         {}},
        {"users may change the permissions of a folder above",
         program,
         apps,
         {{{"D:\\Apps", locked + "(A;;WD;;;AU)"}, {"D:\\Apps\\Web", locked}}, {}, default_path},
         0,
         "fail to reg, others may change D:\\Apps\n"
         "why: an ACE allows S-1-5-11 the rights 0x40000\n",
         {}},
        {"users may take a folder above",
         program,
         apps,
         {{{"D:\\Apps", locked + "(A;;WO;;;BU)"}, {"D:\\Apps\\Web", locked}}, {}, default_path},
         0,
         "fail to reg, others may change D:\\Apps\n"
         "why: an ACE allows S-1-5-32-545 the rights 0x80000\n",
         {}},
        {"full control in generic form on a folder above",
         program,
         apps,
         {{{"D:\\Apps", locked + "(A;;GA;;;BU)"}, {"D:\\Apps\\Web", locked}}, {}, default_path},
         0,
         "fail to reg, others may change D:\\Apps\n"
         "why: an ACE allows S-1-5-32-545 the rights 0x10000000\n",
         {}},
        {"another user owns a folder above",
         program,
         apps,
         {{{"D:\\Apps", "O:S-1-5-21-1-2-3-1001" + locked.substr(4)}, {"D:\\Apps\\Web", locked}},
          {},
          default_path},
         0,
         "fail to reg, others may change D:\\Apps\n"
         "why: its owner S-1-5-21-1-2-3-1001 may change its permissions\n",
         {}},
        {"a null DACL above",
         program,
         apps,
         {{{"D:\\Apps", "O:BAD:NO_ACCESS_CONTROL"}, {"D:\\Apps\\Web", locked}}, {}, default_path},
         0,
         "fail to reg, others may change D:\\Apps\n"
         "why: its DACL is null, so everyone may change it\n",
         {}},
        {"a folder above tolvard.exe",
         "C:\\Program Files\\tolvard\\bin\\tolvard.exe",
         "C:\\Program Files\\Web\\web.exe",
         {{{"C:\\Program Files\\tolvard", under_c}, {"C:\\Program Files\\tolvard\\bin", locked}},
          {},
          default_path},
         0,
         "fail to reg, others may change C:\\Program Files\\tolvard\n"
         "why: an ACE allows S-1-5-11 the rights 0x1301bf\n",
         {}},
        // What an inherit-only entry grants is judged where it is copied to; a protected
        // folder takes none of it.
        {"inherit-only rights above, a protected folder below",
         program,
         apps,
         {{{"D:\\Apps", locked + "(A;OICIIO;FA;;;BU)"}, {"D:\\Apps\\Web", locked}},
          {},
          default_path},
         1,
         "",
         {}},
        {"users may add files and folders above, and delete nothing",
         program,
         apps,
         {{{"D:\\Apps", locked + "(A;;0x6;;;BU)(A;;GW;;;BU)"}, {"D:\\Apps\\Web", locked}},
          {},
          default_path},
         1,
         "",
         {}},
        {"a root's DELETE is no right to replace it",
         program,
         "D:\\Web\\web.exe",
         {{{"D:\\Web", locked}}, {}, default_path},
         1,
         "",
         {}},
        {"EXENAME's folder not made yet, and users may make it",
         program,
         "C:\\NewApp\\app.exe",
         {{{"C:\\NewApp", missing}}, {}, default_path},
         0,
         "fail to reg, others may change C:\\NewApp\n"
         "why: it is not there, and in the folder above an ACE allows S-1-5-11 the rights "
         "0xe0010000 on the folders made in it\n",
         {}},
        {"EXENAME's folder not made yet under Program Files",
         program,
         "C:\\Program Files\\NewApp\\app.exe",
         {{{"C:\\Program Files\\NewApp", missing}}, {}, default_path},
         1,
         "",
         {}},
        // A bare EXENAME: where the service will find it.
        {"a hit in System32",
         program,
         "cmd.exe",
         {{}, {}, default_path},
         1,
         "",
         searched_for("cmd.exe", 2)},
        {"a hit in System32 that users may write",
         program,
         "cmd.exe",
         {{{"C:\\Windows\\System32\\cmd.exe", windows_file + "(A;;FW;;;BU)"}}, {}, default_path},
         0,
         "fail to reg, others may change C:\\Windows\\System32\\cmd.exe\n"
         "why: an ACE allows S-1-5-32-545 the rights 0x120116\n",
         searched_for("cmd.exe", 2)},
        {"a hit in a folder of the machine's PATH",
         program,
         "web.exe",
         {{}, {}, default_path},
         1,
         "",
         searched_for("web.exe", 7)},
        {"a hit beside tolvard.exe",
         program,
         "helper.exe",
         {{}, {"C:\\Program Files\\tolvard\\helper.exe"}, default_path},
         1,
         "",
         searched_for("helper.exe", 1)},
        {"a PATH folder that users may write, before the hit",
         program,
         "web.exe",
         {{{"C:\\Tools", under_c}}, {}, tools_first},
         0,
         "fail to reg, others may change C:\\Tools\n"
         "why: an ACE allows S-1-5-11 the rights 0x1301bf\n",
         {"C:\\Program Files\\tolvard\\web.exe", "C:\\Windows\\System32\\web.exe",
          "C:\\Windows\\System\\web.exe", "C:\\Windows\\web.exe", "C:\\Tools\\web.exe"}},
        {"the same folder after the hit",
         program,
         "web.exe",
         {{{"C:\\Tools", under_c}}, {}, with_tools},
         1,
         "",
         searched_for("web.exe", 7)},
        {"a %SystemRoot% entry of the PATH that users may write",
         program,
         "web.exe",
         {{{"C:\\Windows\\System32\\Wbem", windows_folder + "(A;OICI;0x1301bf;;;AU)"}},
          {},
          default_path},
         0,
         "fail to reg, others may change C:\\Windows\\System32\\Wbem\n"
         "why: an ACE allows S-1-5-11 the rights 0x1301bf\n",
         searched_for("web.exe", 5)},
        {"a PATH folder that is gone, and users may make it",
         program,
         "web.exe",
         {{{"C:\\OldApp", missing}},
          {},
          "%SystemRoot%;C:\\OldApp\\bin;C:\\Program Files\\Web\\bin"},
         0,
         "fail to reg, others may change C:\\OldApp\n"
         "why: it is not there, and in the folder above an ACE allows S-1-5-11 the rights "
         "0xe0010000 on the folders made in it\n",
         {"C:\\Program Files\\tolvard\\web.exe", "C:\\Windows\\System32\\web.exe",
          "C:\\Windows\\System\\web.exe", "C:\\Windows\\web.exe", "C:\\OldApp\\bin\\web.exe"}},
        {"a hit whose folder the folder above lets others replace",
         program,
         "web.exe",
         {{{"D:\\Shared", "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;WD)"},
           {"D:\\Shared\\tools", locked},
           {"D:\\Shared\\tools\\web.exe", locked}},
          {"D:\\Shared\\tools\\web.exe"},
          "%SystemRoot%;D:\\Shared\\tools"},
         0,
         "fail to reg, others may change D:\\Shared\n"
         "why: an ACE allows S-1-1-0 the rights 0x1f01ff\n",
         {"C:\\Program Files\\tolvard\\web.exe", "C:\\Windows\\System32\\web.exe",
          "C:\\Windows\\System\\web.exe", "C:\\Windows\\web.exe", "D:\\Shared\\tools\\web.exe"}},
        {"a name found nowhere: every folder searched counts",
         program,
         "none.exe",
         {{{"C:\\Tools", under_c}}, {}, with_tools},
         0,
         "fail to reg, others may change C:\\Tools\n"
         "why: an ACE allows S-1-5-11 the rights 0x1301bf\n",
         [&] {
             std::vector<std::string> all = searched_for("none.exe", 7);
             all.push_back("C:\\Tools\\none.exe");
             return all;
         }()},
        {"a name found nowhere, in tight folders",
         program,
         "none.exe",
         {{}, {}, default_path},
         1,
         "",
         searched_for("none.exe", 7)},
        // Relative names: ".\" from the service's current folder, "bin\x" along the search.
        {"a name from the current folder, which users may add to",
         program,
         ".\\app.exe",
         {{{"C:\\Windows\\System32", windows_folder + "(A;;0x2;;;BU)"}}, {}, default_path},
         0,
         "fail to reg, others may change C:\\Windows\\System32\n"
         "why: an ACE allows S-1-5-32-545 the rights 0x2\n",
         {}},
        {"a relative name along the search",
         program,
         "bin\\web.exe",
         {{}, {}, "%SystemRoot%;C:\\Program Files\\Web"},
         1,
         "",
         {"C:\\Program Files\\tolvard\\bin\\web.exe", "C:\\Windows\\System32\\bin\\web.exe",
          "C:\\Windows\\System\\bin\\web.exe", "C:\\Windows\\bin\\web.exe",
          "C:\\Program Files\\Web\\bin\\web.exe"}},
    };
    for (const auto &c : cases) {
        lay_out(c.layout);
        test_support::Outcome outcome = run_in_child([&] {
            // reg's own PATH is one that Users may write: the service never searches it.
            setenv("PATH", "C:\\Tools", 1);
            int result = safe_places(c.program.c_str(), c.exename.c_str());
            if (calls_of({"GetFileAttributesA("}) != probes(c.probed))
                return 10;
            return standin::open_handles() == 0 ? result : 11;
        });
        EXPECT_EQ(outcome.status, 100 + c.safe) << c.what;
        EXPECT_EQ(outcome.out, c.out) << c.what;
    }
    standin::reset();
}

// The places read, in order: up to the root for tolvard.exe, each folder searched before the
// hit (once, with its own folders above), the machine's PATH only once the search comes to it.
TEST(SafePlaces, WhatIsReadInOrder) {
    const Trace tolvard = {"GetNamedSecurityInfoA(C:\\)",
                           "GetNamedSecurityInfoA(C:\\Program Files)",
                           "GetNamedSecurityInfoA(C:\\Program Files\\tolvard)",
                           "GetNamedSecurityInfoA(C:\\Program Files\\tolvard\\tolvard.exe)"};
    const std::vector<std::string> read = {"GetNamedSecurityInfoA(", "GetFileAttributesA(",
                                           "RegOpenKeyExA("};
    auto joined = [](std::initializer_list<Trace> parts) {
        Trace all;
        for (const Trace &part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    const struct {
        const char *exename;
        Trace read;
    } cases[] = {
        {"C:\\Program Files\\Web\\web.exe",
         joined({tolvard,
                 {"GetNamedSecurityInfoA(C:\\)", "GetNamedSecurityInfoA(C:\\Program Files)",
                  "GetNamedSecurityInfoA(C:\\Program Files\\Web)",
                  "GetNamedSecurityInfoA(C:\\Program Files\\Web\\web.exe)"}})},
        {"cmd.exe", joined({tolvard,
                            {"GetFileAttributesA(C:\\Program Files\\tolvard\\cmd.exe)",
                             "GetFileAttributesA(C:\\Windows\\System32\\cmd.exe)",
                             "GetNamedSecurityInfoA(C:\\)", "GetNamedSecurityInfoA(C:\\Windows)",
                             "GetNamedSecurityInfoA(C:\\Windows\\System32)",
                             "GetNamedSecurityInfoA(C:\\Windows\\System32\\cmd.exe)"}})},
        {"web.exe",
         joined(
             {tolvard,
              {"GetFileAttributesA(C:\\Program Files\\tolvard\\web.exe)",
               "GetFileAttributesA(C:\\Windows\\System32\\web.exe)", "GetNamedSecurityInfoA(C:\\)",
               "GetNamedSecurityInfoA(C:\\Windows)", "GetNamedSecurityInfoA(C:\\Windows\\System32)",
               "GetFileAttributesA(C:\\Windows\\System\\web.exe)", "GetNamedSecurityInfoA(C:\\)",
               "GetNamedSecurityInfoA(C:\\Windows)", "GetNamedSecurityInfoA(C:\\Windows\\System)",
               "GetFileAttributesA(C:\\Windows\\web.exe)", "GetNamedSecurityInfoA(C:\\)",
               "GetNamedSecurityInfoA(C:\\Windows)",
               "RegOpenKeyExA(SYSTEM\\CurrentControlSet\\Control\\Session "
               "Manager\\Environment)",
               "GetFileAttributesA(C:\\Program Files\\Web\\bin\\web.exe)",
               "GetNamedSecurityInfoA(C:\\)", "GetNamedSecurityInfoA(C:\\Program Files)",
               "GetNamedSecurityInfoA(C:\\Program Files\\Web)",
               "GetNamedSecurityInfoA(C:\\Program Files\\Web\\bin)",
               "GetNamedSecurityInfoA(C:\\Program Files\\Web\\bin\\web.exe)"}})},
    };
    for (const auto &c : cases) {
        lay_out({{}, {}, "%SystemRoot%\\system32;%SystemRoot%\\;C:\\Program Files\\Web\\bin\\"});
        test_support::Outcome outcome = run_in_child([&] {
            int result = safe_places("C:\\Program Files\\tolvard\\tolvard.exe", c.exename);
            return calls_of(read) == c.read ? result : 10;
        });
        EXPECT_EQ(outcome.status, 101) << c.exename;
        EXPECT_EQ(outcome.out, "") << c.exename;
    }
    standin::reset();
}

// Each name is judged where Windows will open it: dots taken out, a root kept whole, a name
// relative to the service's current folder (the system folder, or another drive's root) from
// there, a double-byte character whose second byte is 0x5C kept whole.
TEST(SafePlaces, PathsAsWindowsResolvesThem) {
    const struct {
        std::string exename;
        UINT code_page;
        Trace read; // after "C:\" and "C:\t.exe"
    } cases[] = {
        {"C:\\Program Files\\.\\Web\\..\\Web\\\\web.exe",
         1252,
         {"C:\\", "C:\\Program Files", "C:\\Program Files\\Web",
          "C:\\Program Files\\Web\\web.exe"}},
        {"C:\\..\\..\\app.exe", 1252, {"C:\\", "C:\\app.exe"}},
        {"\\\\server\\share\\Web\\web.exe",
         1252,
         {"\\\\server\\share\\", "\\\\server\\share\\Web", "\\\\server\\share\\Web\\web.exe"}},
        {"\\\\server\\share", 1252, {"\\\\server\\share"}},
        {"C:app.exe",
         1252,
         {"C:\\", "C:\\Windows", "C:\\Windows\\System32", "C:\\Windows\\System32\\app.exe"}},
        {"d:app.exe", 1252, {"d:\\", "d:\\app.exe"}},
        {"\\app.exe", 1252, {"C:\\", "C:\\app.exe"}},
        {"..\\app.exe", 1252, {"C:\\", "C:\\Windows", "C:\\Windows\\app.exe"}},
        {"C:\\\x83\x5C\\app.exe", 932, {"C:\\", "C:\\\x83\x5C", "C:\\\x83\x5C\\app.exe"}},
        {"C:\\\x83\x5C\\app.exe", 1252, {"C:\\", "C:\\\x83", "C:\\\x83\\app.exe"}},
    };
    for (const auto &c : cases) {
        standin::reset();
        standin::set_ansi_code_page(c.code_page);
        test_support::Outcome outcome = run_in_child([&] {
            int result = safe_places("C:\\t.exe", c.exename.c_str());
            Trace expected = {"GetNamedSecurityInfoA(C:\\)", "GetNamedSecurityInfoA(C:\\t.exe)"};
            for (const std::string &place : c.read)
                expected.push_back("GetNamedSecurityInfoA(" + place + ")");
            return calls_of({"GetNamedSecurityInfoA("}) == expected ? result : 10;
        });
        EXPECT_EQ(outcome.status, 101) << c.exename;
        EXPECT_EQ(outcome.out, "") << c.exename;
    }
    standin::reset();
}

// Whether `text` is `pattern` with its "PLACE", if any, standing for one piece of a line.
bool matches(const std::string &text, const std::string &pattern) {
    size_t at = pattern.find("PLACE");
    if (at == std::string::npos)
        return text == pattern;
    size_t tail = pattern.size() - at - 5;
    if (text.size() <= at + tail || text.compare(0, at, pattern, 0, at) != 0 ||
        text.compare(text.size() - tail, tail, pattern, at + 5, tail) != 0)
        return false;
    return text.substr(at, text.size() - at - tail).find('\n') == std::string::npos;
}

// What cannot be read is said and passed; what cannot be allocated refuses.
TEST(SafePlaces, WhatCannotBeReadOrMade) {
    const struct {
        const char *what;
        standin::Call call;
        DWORD error;
        int safe;
        std::string out; // "PLACE" stands for whichever place it is
    } cases[] = {
        // Each place, folders above and folders searched alike.
        {"a place's security", standin::call_GetNamedSecurityInfoA, ERROR_ACCESS_DENIED, 1,
         "fail to check PLACE error=5\n"
         "error 5: Access is denied.\n"},
        {"the machine's PATH", standin::call_RegQueryValueExA, ERROR_ACCESS_DENIED, 1,
         "fail to check HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session "
         "Manager\\Environment\\Path error=5\n"
         "error 5: Access is denied.\n"},
        {"the system folder", standin::call_GetSystemDirectoryA, ERROR_NOT_ENOUGH_MEMORY, 1,
         "fail to check the system folder error=8\n"
         "error 8: Not enough memory resources are available to process this command.\n"},
        {"the Windows folder", standin::call_GetWindowsDirectoryA, ERROR_NOT_ENOUGH_MEMORY, 1,
         "fail to check the Windows folder error=8\n"
         "error 8: Not enough memory resources are available to process this command.\n"},
        {"no memory", standin::call_HeapAlloc, ERROR_NOT_ENOUGH_MEMORY, 0,
         "fail to allocate memory\n"
         "error 8: Not enough memory resources are available to process this command.\n"},
    };
    for (const auto &c : cases) {
        // Each call made to fail in turn, until a run goes through with no failure at all;
        // the call must have been made, and failed, at least once before.
        int failed = 0;
        bool through = false;
        for (int nth = 1; !through && nth < 100; ++nth) {
            lay_out({{}, {}, default_path});
            standin::fail(c.call, nth, c.error);
            test_support::Outcome outcome = run_in_child([&] {
                int result = safe_places("C:\\Program Files\\tolvard\\tolvard.exe", "none.exe");
                if (standin::open_handles() != 0)
                    return 10;
                return result + (standin::calls(c.call) < nth ? 2 : 0);
            });
            through = outcome.status == 103;
            failed += through ? 0 : 1;
            EXPECT_EQ(outcome.status, through ? 103 : 100 + c.safe) << c.what << " " << nth;
            EXPECT_TRUE(through ? outcome.out.empty() : matches(outcome.out, c.out))
                << c.what << " " << nth << ": " << outcome.out;
        }
        EXPECT_TRUE(through) << c.what;
        EXPECT_GT(failed, 0) << c.what << ": never called";
    }
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

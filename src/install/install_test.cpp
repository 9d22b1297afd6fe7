#include "install/install.h"

#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <string>
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
            if (standin::trace() != Trace{"OpenSCManagerA(null,null,0xf003f)",
                                          "CreateServiceA(Web)", "CloseServiceHandle(manager)",
                                          "ChangeServiceConfig2A(4)",
                                          "CloseServiceHandle(service)"})
                return 13;
            return result;
        });
        EXPECT_EQ(outcome.status, 101) << "flag refused: " << flag_refused;
        EXPECT_EQ(outcome.out, "") << "success is silent";
    }
}

struct FailureCase {
    const char *what;
    standin::Call call; // the call made to fail, or call_count for none
    bool existing;      // "Web" registered beforehand
    const char *message;
    Trace trace;
};

TEST(RegService, Failures) {
    const FailureCase cases[] = {
        {"no manager",
         standin::call_OpenSCManagerA,
         false,
         "fail to open\n",
         {"OpenSCManagerA(null,null,0xf003f)"}},
        {"create refused",
         standin::call_CreateServiceA,
         false,
         "fail to CreateService\n",
         {"OpenSCManagerA(null,null,0xf003f)", "CreateServiceA(Web)",
          "CloseServiceHandle(manager)"}},
        {"name taken",
         standin::call_count,
         true,
         "fail to CreateService\n",
         {"OpenSCManagerA(null,null,0xf003f)", "CreateServiceA(Web)",
          "CloseServiceHandle(manager)"}},
    };
    for (const FailureCase &c : cases) {
        standin::reset();
        if (c.existing)
            standin::add_service("Web");
        if (c.call != standin::call_count)
            standin::fail(c.call, 1, ERROR_ACCESS_DENIED);
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
    const FailureCase cases[] = {
        {"no manager",
         standin::call_OpenSCManagerA,
         true,
         "fail to open\n",
         {"OpenSCManagerA(null,null,0xf003f)"}},
        {"not registered",
         standin::call_count,
         false,
         "fail to OpenService\n",
         {"OpenSCManagerA(null,null,0xf003f)", "OpenServiceA(Web,0x10000)",
          "CloseServiceHandle(manager)"}},
        {"open refused",
         standin::call_OpenServiceA,
         true,
         "fail to OpenService\n",
         {"OpenSCManagerA(null,null,0xf003f)", "OpenServiceA(Web,0x10000)",
          "CloseServiceHandle(manager)"}},
        {"delete refused",
         standin::call_DeleteService,
         true,
         "fail to DeleteService\n",
         {"OpenSCManagerA(null,null,0xf003f)", "OpenServiceA(Web,0x10000)", "DeleteService",
          "CloseServiceHandle(service)", "CloseServiceHandle(manager)"}},
    };
    for (const FailureCase &c : cases) {
        standin::reset();
        if (c.existing)
            standin::add_service("Web");
        if (c.call != standin::call_count)
            standin::fail(c.call, 1, ERROR_ACCESS_DENIED);
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

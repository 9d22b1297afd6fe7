#include "cli/cli.h"

#include "platform/test_support.h"
#include "platform/util.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using test_support::run_in_child;

TEST(HasDot, AnywhereInTheText) {
    const struct {
        const char *text;
        int expected;
    } cases[] = {{"", 0}, {"app", 0}, {"app.exe", 1}, {".", 1}, {"v1.2", 1}, {"reg", 0}, {"x.", 1}};
    for (const auto &c : cases)
        EXPECT_EQ(has_dot(c.text), c.expected) << c.text;
}

const char usage_text[] = "Usage:\n"
                          "When register new service,\n"
                          "C:\\t\\tolvard.exe reg SVCNAME EXENAME ARGV...\n"
                          "When remove service,\n"
                          "C:\\t\\tolvard.exe rem SVCNAME\n";

// Runs tolvard's main on the given words (argv[0] first) in a child process.
test_support::Outcome run_main(std::vector<std::string> words) {
    return run_in_child([&] {
        std::vector<char *> argv = test_support::argv_of(words);
        return tolvard::main(static_cast<int>(words.size()), argv.data());
    });
}

TEST(Usage, FiveLinesThenExitOne) {
    test_support::Outcome outcome = run_in_child([] {
        usage("C:\\t\\tolvard.exe");
        return 0;
    });
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, usage_text);
}

TEST(Main, MalformedCommandsGiveUsage) {
    standin::reset();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"REG", "Web", "app.exe"},
        {"reg"},
        {"reg", "Web"},
        {"reg", "Web", "app"},
        {"reg", "Web", "app", "x.y"},
        {"rem"},
        {"Rem", "Web"},
        {"install", "Web"},
    };
    // Whatever main asked of the platform before the usage text ended the process shows up
    // in the child's output, after the text.
    standin::set_exit_hook([] {
        for (const std::string &call : standin::trace())
            printf("platform call before usage: %s\n", call.c_str());
        fflush(stdout);
    });
    for (const std::vector<std::string> &words : cases) {
        std::vector<std::string> argv = {"C:\\t\\tolvard.exe"};
        argv.insert(argv.end(), words.begin(), words.end());
        test_support::Outcome outcome = run_main(argv);
        EXPECT_EQ(outcome.status, 1) << words.size() << " words";
        EXPECT_EQ(outcome.out, usage_text);
    }
    standin::reset();
}

TEST(Main, RegStoresTheImagePathAndReturnsOne) {
    standin::reset();
    // No service SID: nothing is made beside the executable.
    standin::fail(standin::call_LookupAccountNameA, 0, ERROR_NONE_MAPPED);
    // main runs in this process here: the database it fills is the one the test reads.
    std::vector<std::string> words = {
        "C:\\Program Files\\tolvard.exe", "reg", "Web", "server.exe", "-p", "c:\\web"};
    std::vector<char *> argv = test_support::argv_of(words);
    EXPECT_EQ(tolvard::main(static_cast<int>(words.size()), argv.data()), 1);
    std::vector<standin::Service> services = standin::services();
    ASSERT_EQ(services.size(), 1u);
    EXPECT_EQ(services[0].name, "Web");
    EXPECT_EQ(services[0].display_name, "Web");
    EXPECT_EQ(services[0].binary_path,
              "\"C:\\Program Files\\tolvard.exe\" server.exe -p c:\\web Web ");
    EXPECT_EQ(services[0].description, "Runs server.exe -p c:\\web (tolvard " TOLVARD_VERSION ")");
    EXPECT_EQ(standin::open_handles(), 0);
    standin::reset();
}

// reg makes ready what a service run under another account may not make: tolvard.log, the
// logs folder, the service's log and its old file, the latter two for its own SID; never
// through a link. A failure is said, and the service stays, as it runs as SYSTEM all the same.
TEST(Main, RegMakesTheLogReadyForAnotherAccount) {
    const struct {
        const char *what;
        bool planted; // "logs" a link to a folder elsewhere
        const char *out;
        bool made;
    } cases[] = {
        {"fresh", false, "", true},
        {"logs a link", true, "fail to prepare the service's log\nerror 5: Access is denied.\n",
         false},
    };
    for (const auto &c : cases) {
        standin::reset();
        std::string dir = test_support::temp_dir();
        std::string elsewhere = test_support::temp_dir();
        if (c.planted) {
            ASSERT_EQ(symlink(elsewhere.c_str(), (dir + "/logs").c_str()), 0);
        }
        std::string exe = "Z:" + test_support::windows_path(dir + "/t.exe");
        standin::set_module_file_name(exe.c_str());
        test_support::Outcome outcome = run_in_child([&exe] {
            std::vector<std::string> words = {exe, "reg", "Web", "app.exe"};
            std::vector<char *> argv = test_support::argv_of(words);
            int status = tolvard::main(static_cast<int>(words.size()), argv.data());
            return standin::services().size() == 1 ? status : 10;
        });
        EXPECT_EQ(outcome.status, 101) << c.what;
        EXPECT_EQ(outcome.out, c.out) << c.what;
        struct stat st;
        EXPECT_EQ(stat((dir + "/tolvard.log").c_str(), &st) == 0, true) << c.what;
        EXPECT_EQ(stat((dir + "/logs/Web.log").c_str(), &st) == 0, c.made) << c.what;
        EXPECT_EQ(stat((dir + "/logs/Web.old.log").c_str(), &st) == 0, c.made) << c.what;
        EXPECT_NE(stat((elsewhere + "/Web.log").c_str(), &st), 0) << c.what;
        std::string command = "rm -rf '" + dir + "' '" + elsewhere + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    standin::reset();
}

TEST(Main, RegInAPlaceOthersMayChangeCreatesNothing) {
    standin::reset();
    standin::set_security("C:\\tools", "O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BU)");
    test_support::Outcome outcome = run_in_child([] {
        std::vector<std::string> words = {"C:\\tools\\tolvard.exe", "reg", "Web", "server.exe"};
        std::vector<char *> argv = test_support::argv_of(words);
        int result = tolvard::main(static_cast<int>(words.size()), argv.data());
        // The folders were judged, and nothing was asked of the service control manager.
        for (const std::string &call : standin::trace()) {
            if (call.rfind("GetNamedSecurityInfoA(", 0) != 0)
                return 10;
        }
        return standin::services().empty() ? result : 11;
    });
    EXPECT_EQ(outcome.status, 101);
    EXPECT_EQ(outcome.out, "fail to reg, others may change C:\\tools\n"
                           "why: an ACE allows S-1-5-32-545 the rights 0x1f01ff\n");
    standin::reset();
}

// Each allocation of reg made to fail in turn, in the order they come: the folder check's and
// the image path's words and pieces (nothing is made), the description's (the service is made
// without one), the event source's (the service is made, and the source's failure said); the
// one after them all is none of reg's, and the service is made whole.
TEST(Main, RegWithoutMemorySaysSoAndCreatesNothing) {
    enum Outcome { nothing, no_description, no_source, no_log, whole };
    std::vector<Outcome> seen;
    std::string dir = test_support::temp_dir();
    for (int nth = 1; seen.empty() || seen.back() != whole; ++nth) {
        ASSERT_LE(nth, 60) << "reg never came through";
        standin::reset();
        standin::set_module_file_name(("Z:" + test_support::windows_path(dir + "/t.exe")).c_str());
        standin::fail(standin::call_HeapAlloc, nth, ERROR_NOT_ENOUGH_MEMORY);
        test_support::Outcome outcome = run_in_child([] {
            std::vector<std::string> words = {"C:\\t\\tolvard.exe", "reg", "Web", "a.exe"};
            std::vector<char *> argv = test_support::argv_of(words);
            int result = tolvard::main(static_cast<int>(words.size()), argv.data());
            std::vector<standin::Service> services = standin::services();
            if (services.empty())
                return result;
            return (services[0].description.empty() ? 2 : 4) + result;
        });
        const std::string no_memory =
            "error 8: Not enough memory resources are available to process this command.\n";
        if (outcome.status == 101 && outcome.out == "fail to allocate memory\n" + no_memory)
            seen.push_back(nothing);
        else if (outcome.status == 103 && outcome.out == "")
            seen.push_back(no_description);
        else if (outcome.status == 105 &&
                 outcome.out == "fail to register the event source\n" + no_memory)
            seen.push_back(no_source);
        else if (outcome.status == 105 &&
                 outcome.out == "fail to prepare the service's log\n" + no_memory)
            seen.push_back(no_log);
        else if (outcome.status == 105 && outcome.out == "")
            seen.push_back(whole);
        else
            FAIL() << nth << ": " << outcome.status << " " << outcome.out;
    }
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    for (Outcome o : {nothing, no_description, no_source, no_log})
        EXPECT_NE(std::count(seen.begin(), seen.end(), o), 0) << o;
    standin::reset();
    std::string command = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(command.c_str()), 0);
}

TEST(Main, RemTakesTheNameAndIgnoresTheRest) {
    standin::reset();
    standin::add_service("Web");
    std::vector<std::string> words = {"C:\\t.exe", "rem", "Web", "extra", "words"};
    std::vector<char *> argv = test_support::argv_of(words);
    EXPECT_EQ(tolvard::main(static_cast<int>(words.size()), argv.data()), 1);
    EXPECT_TRUE(standin::services().empty());
    EXPECT_EQ(standin::trace()[1], "OpenServiceA(Web,0x10000)");
    standin::reset();
}

TEST(Main, FailedCommandsStillReturnOne) {
    standin::reset();
    test_support::Outcome outcome = run_main({"C:\\t.exe", "rem", "Missing"});
    EXPECT_EQ(outcome.status, 101);
    EXPECT_EQ(outcome.out, "fail to OpenService\n"
                           "error 1060: The specified service does not exist as an installed "
                           "service.\n");
    standin::add_service("Web");
    outcome = run_main({"C:\\t.exe", "reg", "Web", "app.exe"});
    EXPECT_EQ(outcome.status, 101);
    EXPECT_EQ(outcome.out,
              "fail to CreateService\nerror 1073: The specified service already exists.\n");
    standin::reset();
}

TEST(Main, DottedFirstWordIsServiceHostMode) {
    for (const char *first : {"reg.bat", "app.exe", "v1.2"}) {
        standin::reset();
        std::string dir = test_support::temp_dir();
        std::string exe = dir + "/tolvard.exe";
        standin::set_module_file_name(test_support::windows_path(exe).c_str());
        test_support::Outcome outcome = run_main({exe, first});
        // Returned 0 from main: the child exits with 100 + 0.
        EXPECT_EQ(outcome.status, 100) << first;
        EXPECT_EQ(outcome.out, "") << first;
        std::string log = test_support::read_file(dir + "/tolvard.log");
        EXPECT_NE(log.find(":main() start:2\r\n"), std::string::npos) << log;
        EXPECT_NE(log.find(":StartServiceCtrlDispatcher error=1063\r\n"), std::string::npos) << log;
        EXPECT_NE(log.find(":main() end\r\n"), std::string::npos) << log;
        unlink((dir + "/tolvard.log").c_str());
        rmdir(dir.c_str());
    }
    standin::reset();
}

} // namespace

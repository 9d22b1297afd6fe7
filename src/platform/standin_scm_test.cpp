// The stand-in's service control manager: the database's rules, and the dispatcher that plays a
// test's script against a service main.
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

SC_HANDLE create(SC_HANDLE manager, const char *name, const char *display_name,
                 const char *binary_path = "x.exe") {
    return CreateServiceA(manager, name, display_name, SERVICE_ALL_ACCESS,
                          SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                          binary_path, nullptr, nullptr, nullptr, nullptr, nullptr);
}

TEST(StandinDatabase, NameRules) {
    const struct {
        const char *name;
        const char *display_name;
        const char *binary_path;
        DWORD error; // 0: created
    } cases[] = {
        {"Other", "Other", "x.exe", 0},
        {"Other", nullptr, "x.exe", 0},
        {"", "Other", "x.exe", ERROR_INVALID_NAME},
        {nullptr, "Other", "x.exe", ERROR_INVALID_NAME},
        {"a/b", "Other", "x.exe", ERROR_INVALID_NAME},
        {"a\\b", "Other", "x.exe", ERROR_INVALID_NAME},
        {"Other", "Other", "", ERROR_INVALID_PARAMETER},
        {"Other", "Other", nullptr, ERROR_INVALID_PARAMETER},
        {"web", "Other", "x.exe", ERROR_SERVICE_EXISTS}, // names know no case
        {"WEB", "Other", "x.exe", ERROR_SERVICE_EXISTS},
        {"Other", "the WEB server", "x.exe", ERROR_DUPLICATE_SERVICE_NAME},
    };
    for (const auto &c : cases) {
        standin::reset();
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        CloseServiceHandle(create(manager, "Web", "The Web Server"));
        SetLastError(0);
        SC_HANDLE service = create(manager, c.name, c.display_name, c.binary_path);
        const std::string name = c.name != nullptr ? c.name : "(null)";
        EXPECT_EQ(service != nullptr, c.error == 0) << name;
        EXPECT_EQ(GetLastError(), c.error) << name;
        std::vector<standin::Service> services = standin::services();
        ASSERT_EQ(services.size(), c.error == 0 ? 2u : 1u) << name;
        if (c.error == 0) {
            EXPECT_EQ(services[1].name, c.name);
            EXPECT_EQ(services[1].display_name, c.display_name != nullptr ? c.display_name : c.name)
                << "without a display name, the name is shown";
        }
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        EXPECT_EQ(standin::open_handles(), 0);
    }
    standin::reset();
}

TEST(StandinDatabase, AccessChecksAndDeletion) {
    standin::reset();
    standin::add_service("Web");
    SC_HANDLE connect_only = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SetLastError(0);
    EXPECT_EQ(create(connect_only, "Other", nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    SetLastError(0);
    EXPECT_EQ(OpenServiceA(connect_only, "Missing", DELETE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    SC_HANDLE no_delete = OpenServiceA(connect_only, "wEB", SERVICE_ALL_ACCESS & ~DELETE);
    ASSERT_NE(no_delete, nullptr) << "names know no case";
    SetLastError(0);
    EXPECT_FALSE(DeleteService(no_delete));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    SC_HANDLE deleter = OpenServiceA(connect_only, "Web", DELETE);
    ASSERT_NE(deleter, nullptr);
    EXPECT_TRUE(DeleteService(deleter));
    EXPECT_TRUE(standin::services().empty());
    SetLastError(0);
    EXPECT_FALSE(DeleteService(deleter)) << "deleted already";
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);

    // A service handle is no manager, and a closed handle is no handle.
    SetLastError(0);
    EXPECT_EQ(OpenServiceA(deleter, "Web", DELETE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(standin::open_handles(), 3);
    for (SC_HANDLE handle : {no_delete, deleter, connect_only}) {
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_TRUE(CloseServiceHandle(handle));
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "a close that works clears the last error";
    }
    EXPECT_EQ(standin::open_handles(), 0);
    SetLastError(0);
    EXPECT_FALSE(DeleteService(deleter));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    standin::reset();
}

// --- The dispatcher ---

// What the service mains below did, for the test to look at once the dispatcher has returned.
struct Seen {
    std::mutex mutex;
    std::vector<DWORD> controls;
    std::vector<bool> on_dispatcher_thread;
    std::vector<bool> past_gate_at_control;
    std::vector<size_t> reports_at_control;
    bool past_gate = false;
    bool stop = false;
    std::thread::id dispatcher;
    SERVICE_STATUS_HANDLE handle = nullptr;
};
Seen seen;

void report(DWORD state) {
    SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, state, 0, 0, 0, 0, 0};
    SERVICE_STATUS_HANDLE handle;
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        handle = seen.handle;
    }
    SetServiceStatus(handle, &status);
}

void WINAPI handler(DWORD control) {
    std::lock_guard<std::mutex> lock(seen.mutex);
    seen.controls.push_back(control);
    seen.on_dispatcher_thread.push_back(std::this_thread::get_id() == seen.dispatcher);
    seen.past_gate_at_control.push_back(seen.past_gate);
    seen.reports_at_control.push_back(standin::reports().size());
    seen.stop = seen.stop || control == SERVICE_CONTROL_STOP;
}

// Registers, passes the gate, reports running, and on a stop control reports stopped a little
// later (and, with a failure injected, twice).
void WINAPI service_main(DWORD, LPSTR *argv) {
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA(argv[0], handler);
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.handle = handle;
    }
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.past_gate = true;
    }
    report(SERVICE_RUNNING);
    for (bool stop = false; !stop; usleep(1000)) {
        std::lock_guard<std::mutex> lock(seen.mutex);
        stop = seen.stop;
    }
    usleep(50 * 1000);
    report(SERVICE_STOPPED);
    usleep(50 * 1000);
    report(SERVICE_STOPPED);
}

BOOL dispatch(const char *name) {
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.controls.clear();
        seen.on_dispatcher_thread.clear();
        seen.past_gate_at_control.clear();
        seen.reports_at_control.clear();
        seen.past_gate = false;
        seen.stop = false;
        seen.dispatcher = std::this_thread::get_id();
        seen.handle = nullptr;
    }
    std::string copy = name;
    SERVICE_TABLE_ENTRYA table[2] = {{copy.data(), service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table);
}

std::vector<DWORD> states(bool ok) {
    std::vector<DWORD> result;
    for (const standin::Report &r : standin::reports()) {
        if (r.ok == ok)
            result.push_back(r.status.dwCurrentState);
    }
    return result;
}

// The failure-actions flag: the one level of ChangeServiceConfig2A, with change access only.
TEST(StandinDatabase, FailureActionsFlag) {
    standin::reset();
    standin::add_service("Web");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE changer = OpenServiceA(manager, "Web", 0x0002); // SERVICE_CHANGE_CONFIG
    SC_HANDLE reader = OpenServiceA(manager, "Web", DELETE);
    SERVICE_FAILURE_ACTIONS_FLAG on = {TRUE};
    const struct {
        SC_HANDLE service;
        DWORD level;
        DWORD error; // 0: done
    } cases[] = {{reader, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, ERROR_ACCESS_DENIED},
                 {changer, 2, ERROR_INVALID_PARAMETER},
                 {manager, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, ERROR_INVALID_HANDLE},
                 {changer, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(standin::services()[0].failure_actions_on_non_crash, false);
        SetLastError(0);
        EXPECT_EQ(ChangeServiceConfig2A(c.service, c.level, &on), c.error == 0 ? TRUE : FALSE);
        EXPECT_EQ(GetLastError(), c.error) << c.level;
    }
    EXPECT_TRUE(standin::services()[0].failure_actions_on_non_crash);
    for (SC_HANDLE handle : {changer, reader, manager})
        CloseServiceHandle(handle);
    standin::reset();
}

// The description: set, left by a null text, emptied by "", with change access only.
TEST(StandinDatabase, Description) {
    standin::reset();
    standin::add_service("Web");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE changer = OpenServiceA(manager, "Web", 0x0002); // SERVICE_CHANGE_CONFIG
    SC_HANDLE reader = OpenServiceA(manager, "Web", DELETE);
    char runs[] = "Runs app.exe (tolvard 1.2.0)";
    char empty[] = "";
    const struct {
        SC_HANDLE service;
        char *text;
        DWORD error; // 0: done
        const char *after;
    } cases[] = {{reader, runs, ERROR_ACCESS_DENIED, ""},
                 {changer, runs, 0, "Runs app.exe (tolvard 1.2.0)"},
                 {changer, nullptr, 0, "Runs app.exe (tolvard 1.2.0)"},
                 {changer, empty, 0, ""}};
    for (const auto &c : cases) {
        SERVICE_DESCRIPTIONA description = {c.text};
        SetLastError(0);
        EXPECT_EQ(ChangeServiceConfig2A(c.service, SERVICE_CONFIG_DESCRIPTION, &description),
                  c.error == 0 ? TRUE : FALSE);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(standin::services()[0].description, c.after);
    }
    EXPECT_FALSE(standin::services()[0].failure_actions_on_non_crash) << "the other level kept";
    standin::fail(standin::call_ChangeServiceConfig2A, 1, ERROR_ACCESS_DENIED);
    SERVICE_DESCRIPTIONA description = {runs};
    EXPECT_FALSE(ChangeServiceConfig2A(changer, SERVICE_CONFIG_DESCRIPTION, &description));
    EXPECT_EQ(standin::services()[0].description, "");
    for (SC_HANDLE handle : {changer, reader, manager})
        CloseServiceHandle(handle);
    standin::reset();
}

TEST(StandinDispatcher, UnarmedItCannotConnect) {
    standin::reset();
    SetLastError(0);
    EXPECT_FALSE(dispatch("Svc"));
    EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_TRUE(standin::reports().empty());
    EXPECT_EQ(standin::dispatched_name(), "");
}

// The script's controls reach the handler in order on the dispatcher's thread, and the
// dispatcher returns only once a stopped report has gone through.
TEST(StandinDispatcher, PlaysTheScriptAndWaitsForTheStoppedReport) {
    standin::reset();
    standin::arm_dispatcher({{standin::step_wait_state, SERVICE_RUNNING},
                             {standin::step_control, SERVICE_CONTROL_PAUSE},
                             {standin::step_control, 200},
                             {standin::step_control, SERVICE_CONTROL_STOP}});
    EXPECT_TRUE(dispatch("Svc"));
    EXPECT_EQ(states(true), (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOPPED}))
        << "returned before the stopped report";
    standin::join_service();
    std::lock_guard<std::mutex> lock(seen.mutex);
    EXPECT_EQ(seen.controls, (std::vector<DWORD>{SERVICE_CONTROL_PAUSE, 200, 1}));
    EXPECT_EQ(seen.on_dispatcher_thread, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(standin::dispatched_name(), "Svc");
    EXPECT_EQ(standin::registered_name(), "Svc");
    EXPECT_EQ(states(true),
              (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOPPED, SERVICE_STOPPED}));
    standin::reset();
}

TEST(StandinDispatcher, AFailedStoppedReportIsNoStop) {
    standin::reset();
    standin::fail(standin::call_SetServiceStatus, 2, ERROR_INVALID_PARAMETER);
    standin::arm_dispatcher({{standin::step_control, SERVICE_CONTROL_STOP}});
    EXPECT_TRUE(dispatch("Svc"));
    EXPECT_EQ(states(false), (std::vector<DWORD>{SERVICE_STOPPED}));
    EXPECT_EQ(states(true), (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOPPED}))
        << "returned on the failed report";
    standin::reset();
}

// The gate holds the service thread in GetStartupInfoA, or in the first call of the one named,
// until the script opens it; the call then goes on as usual.
TEST(StandinDispatcher, TheGateHoldsTheServiceThreadUntilOpened) {
    const struct {
        standin::Call at;
        std::vector<bool> past_gate_at_control;
        std::vector<size_t> reports_at_control;
    } cases[] = {
        {standin::call_count, {false, true}, {0, 1}},
        // Past GetStartupInfoA, held in the running report itself.
        {standin::call_SetServiceStatus, {true, true}, {0, 1}},
    };
    for (const auto &c : cases) {
        standin::reset();
        standin::arm_dispatcher({{standin::step_wait_gate, 0},
                                 {standin::step_control, 128},
                                 {standin::step_open_gate, 0},
                                 {standin::step_wait_state, SERVICE_RUNNING},
                                 {standin::step_control, SERVICE_CONTROL_STOP}},
                                true, c.at);
        EXPECT_TRUE(dispatch("Svc"));
        standin::join_service();
        std::lock_guard<std::mutex> lock(seen.mutex);
        EXPECT_EQ(seen.controls, (std::vector<DWORD>{128, SERVICE_CONTROL_STOP})) << c.at;
        EXPECT_EQ(seen.past_gate_at_control, c.past_gate_at_control) << c.at;
        EXPECT_EQ(seen.reports_at_control, c.reports_at_control) << c.at;
        EXPECT_EQ(states(true),
                  (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOPPED, SERVICE_STOPPED}))
            << c.at;
    }
    standin::reset();
}

// Reports reach the service control manager only through the handle of this dispatch.
TEST(StandinDispatcher, StatusHandlesAndHandlerNames) {
    standin::reset();
    SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
    SetLastError(0);
    EXPECT_FALSE(SetServiceStatus(nullptr, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(RegisterServiceCtrlHandlerA("Svc", handler), nullptr) << "no dispatch yet";
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);

    standin::arm_dispatcher({{standin::step_control, SERVICE_CONTROL_STOP}});
    EXPECT_TRUE(dispatch("Svc"));
    standin::join_service();
    SERVICE_STATUS_HANDLE first = seen.handle;
    EXPECT_NE(first, nullptr);
    SetLastError(0);
    EXPECT_EQ(RegisterServiceCtrlHandlerA("Other", handler), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(states(false), (std::vector<DWORD>{SERVICE_RUNNING})) << "only the one with null";
    EXPECT_EQ(states(true),
              (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOPPED, SERVICE_STOPPED}));

    standin::reset();
    standin::arm_dispatcher({{standin::step_control, SERVICE_CONTROL_STOP}});
    EXPECT_TRUE(dispatch("Svc"));
    standin::join_service();
    EXPECT_NE(seen.handle, first) << "a status handle outlived its reset";
    SetLastError(0);
    EXPECT_FALSE(SetServiceStatus(first, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    standin::reset();
}

// A service main that returns without reporting stopped would leave the dispatcher waiting for
// ever: the stand-in says so and ends the process instead.
TEST(StandinDispatcher, AServiceThatNeverReportsStoppedEndsTheProcess) {
    standin::reset();
    test_support::Outcome outcome = test_support::run_in_child([] {
        standin::arm_dispatcher({});
        SERVICE_TABLE_ENTRYA table[2] = {{const_cast<char *>("Svc"), [](DWORD, LPSTR *) {}},
                                         {nullptr, nullptr}};
        StartServiceCtrlDispatcherA(table);
        return 0;
    });
    EXPECT_EQ(outcome.status, -1) << "the child did not abort";
    standin::reset();
}

} // namespace

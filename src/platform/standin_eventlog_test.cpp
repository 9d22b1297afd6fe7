// The stand-in's Event Log, against what Windows documents of its calls.
#include "platform/test_support.h"

#include <gtest/gtest.h>

namespace {

TEST(StandinEventLog, ReportsAreRecordedWithTheirSourceTypeAndStrings) {
    standin::reset();
    HANDLE source = RegisterEventSourceA(nullptr, "tolvard");
    ASSERT_NE(source, nullptr);
    const char *strings[] = {"Web", "", "C:\\app\\server.exe -p 80"};
    DWORD before = GetTickCount();
    EXPECT_TRUE(
        ReportEventA(source, EVENTLOG_WARNING_TYPE, 0, 201, nullptr, 3, 0, strings, nullptr));
    EXPECT_TRUE(
        ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 101, nullptr, 0, 0, nullptr, nullptr));
    std::vector<standin::ReportedEvent> events = standin::reported_events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].source, "tolvard");
    EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(events[0].id, 201u);
    EXPECT_EQ(events[0].strings,
              (std::vector<std::string>{"Web", "", "C:\\app\\server.exe -p 80"}));
    EXPECT_GE(events[0].tick - before, 0u);
    EXPECT_LE(events[0].tick - before, 1000u);
    EXPECT_TRUE(events[1].strings.empty());
    EXPECT_EQ(standin::open_handles(), 1);
    EXPECT_TRUE(DeregisterEventSource(source));
    EXPECT_EQ(standin::open_handles(), 0);
    EXPECT_EQ(standin::trace(), (std::vector<std::string>{
                                    "RegisterEventSourceA(null,tolvard)", "ReportEventA(0x2,201,3)",
                                    "ReportEventA(0x4,101,0)", "DeregisterEventSource"}));
    standin::reset();
    EXPECT_TRUE(standin::reported_events().empty()) << "a reset forgets the events";
}

TEST(StandinEventLog, RefusedCallsRecordNothing) {
    standin::reset();
    HANDLE source = RegisterEventSourceA(nullptr, "tolvard");
    HANDLE other = CreateSemaphoreA(nullptr, 0, 1, nullptr);
    const char *one[] = {"Web"};
    const char *with_null[] = {"Web", nullptr};
    int data = 0;
    const struct {
        const char *what;
        HANDLE source;
        WORD type;
        WORD count;
        const char **strings;
        void *data;
        DWORD error;
    } cases[] = {
        {"not a source", other, EVENTLOG_ERROR_TYPE, 1, one, nullptr, ERROR_INVALID_HANDLE},
        {"unknown type", source, 3, 1, one, nullptr, ERROR_INVALID_PARAMETER},
        {"strings missing", source, EVENTLOG_ERROR_TYPE, 1, nullptr, nullptr,
         ERROR_INVALID_PARAMETER},
        {"a null string", source, EVENTLOG_ERROR_TYPE, 2, with_null, nullptr,
         ERROR_INVALID_PARAMETER},
        {"raw data", source, EVENTLOG_ERROR_TYPE, 1, one, &data, ERROR_INVALID_PARAMETER},
    };
    for (const auto &c : cases) {
        SetLastError(0);
        EXPECT_FALSE(ReportEventA(c.source, c.type, 0, 1, nullptr, c.count, c.data ? 4 : 0,
                                  c.strings, c.data))
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    standin::fail(standin::call_ReportEventA, 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, one, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(standin::reported_events().empty());

    EXPECT_EQ(RegisterEventSourceA("\\\\other", "tolvard"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegisterEventSourceA(nullptr, ""), nullptr);
    standin::fail(standin::call_RegisterEventSourceA, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegisterEventSourceA(nullptr, "tolvard"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(DeregisterEventSource(source));
    EXPECT_FALSE(DeregisterEventSource(source));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    standin::reset();
}

// A held log keeps each report waiting in its own thread until it is released; a reset releases
// it too, so that a program's thread that waits there can end.
struct Waiter {
    HANDLE source;
    BOOL reported;
};

DWORD WINAPI report_one(LPVOID arg) {
    auto *waiter = static_cast<Waiter *>(arg);
    const char *one[] = {"Web"};
    waiter->reported =
        ReportEventA(waiter->source, EVENTLOG_ERROR_TYPE, 0, 302, nullptr, 1, 0, one, nullptr);
    return 0;
}

TEST(StandinEventLog, AHeldLogKeepsReportsWaiting) {
    for (bool by_reset : {false, true}) {
        standin::reset();
        Waiter waiter = {RegisterEventSourceA(nullptr, "tolvard"), FALSE};
        standin::hold_event_log(true);
        HANDLE thread = CreateThread(nullptr, 0, report_one, &waiter, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        while (standin::waiting_reports() == 0)
            Sleep(1);
        EXPECT_EQ(WaitForSingleObject(thread, 50), WAIT_TIMEOUT) << by_reset;
        EXPECT_TRUE(standin::reported_events().empty());
        if (!by_reset) {
            standin::hold_event_log(false);
            EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
            EXPECT_TRUE(waiter.reported);
            EXPECT_EQ(standin::reported_events().size(), 1u);
        }
        CloseHandle(thread);
        // With the log still held, the reset lets the report go on and waits for its thread.
        standin::reset();
        EXPECT_EQ(standin::waiting_reports(), 0) << by_reset;
        EXPECT_TRUE(waiter.reported) << by_reset;
    }
}

} // namespace

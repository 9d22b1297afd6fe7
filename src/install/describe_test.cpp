#include "install/describe.h"

#include "platform/test_support.h"
#include "platform/util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace {

const char source_key[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\tolvard";

std::string take(char *heap_text) {
    std::string text = heap_text != nullptr ? heap_text : "<null>";
    heap_free(heap_text);
    return text;
}

TEST(ServiceDescription, NamesTheCommandAndTolvardCutSafely) {
    const std::string version = " (tolvard " TOLVARD_VERSION ")";
    const std::string long_command = std::string(199, 'x') + "\x83\x5C" + "y";
    const struct {
        UINT code_page;
        std::string command;
        std::string description;
    } cases[] = {
        {1252, "C:\\app\\server.exe -p 80", "Runs C:\\app\\server.exe -p 80" + version},
        // As join_child_command writes it, each word with a blank after it.
        {1252, "C:\\app\\server.exe -p 80 ", "Runs C:\\app\\server.exe -p 80" + version},
        {1252, "app.exe \"\" ", "Runs app.exe \"\"" + version},
        {1252, "\"C:\\Program Files\\Web\\server.exe\"",
         "Runs \"C:\\Program Files\\Web\\server.exe\"" + version},
        {1252, std::string(200, 'x'), "Runs " + std::string(200, 'x') + version},
        {1252, std::string(201, 'x'), "Runs " + std::string(200, 'x') + "..." + version},
        // Under 932 the 200th and 201st bytes are one character: it goes whole or not at all.
        {932, long_command, "Runs " + std::string(199, 'x') + "..." + version},
        {1252, long_command, "Runs " + std::string(199, 'x') + "\x83..." + version},
    };
    for (const auto &c : cases) {
        standin::reset();
        standin::set_ansi_code_page(c.code_page);
        EXPECT_EQ(take(service_description(c.command.c_str())), c.description) << c.command;
    }
    for (int nth : {1, 2, 3}) {
        standin::reset();
        standin::fail(standin::call_HeapAlloc, nth, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(take(service_description("app.exe")), "<null>") << nth;
    }
    standin::reset();
}

TEST(ServiceDescription, IsSetOnTheService) {
    standin::reset();
    standin::add_service("Web");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "Web", SERVICE_ALL_ACCESS);
    EXPECT_EQ(describe_service(service, "Runs app.exe (tolvard 1.2.0)"), 0u);
    EXPECT_EQ(standin::services()[0].description, "Runs app.exe (tolvard 1.2.0)");
    standin::fail(standin::call_ChangeServiceConfig2A, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(describe_service(service, "Runs other.exe"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(standin::services()[0].description, "Runs app.exe (tolvard 1.2.0)");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    standin::reset();
}

// The source is registered where it is missing or names a message file that is gone, with the
// DLL beside tolvard.exe, or tolvard.exe itself without it; one whose files all exist is left
// as it is (the MSI's, or another copy's).
TEST(EventSource, RegisteredWhenMissingOrItsFileIsGone) {
    std::string dir = test_support::temp_dir();
    std::string folder = test_support::windows_path(dir);
    std::string exe = folder + "\\tolvard.exe";
    std::string dll = folder + "\\tolvard-messages.dll";
    std::string other = folder + "\\other.dll";
    test_support::write_file(dir + "/other.dll", "x");
    setenv("TOLVARD_TEST_FOLDER", folder.c_str(), 1);
    const std::string kept = "kept";
    const struct {
        const char *what;
        bool dll_there;
        DWORD type;       // of the EventMessageFile found; 0: no key
        std::string file; // as found
        DWORD new_type;   // 0: the key is left as it was
        std::string new_file;
    } cases[] = {
        {"no key, the DLL beside", true, 0, "", REG_EXPAND_SZ, dll},
        {"no key, no DLL: tolvard.exe", false, 0, "", REG_EXPAND_SZ, exe},
        {"a file that exists", true, REG_EXPAND_SZ, other, 0, ""},
        {"a file that exists, written plain", true, REG_SZ, other, 0, ""},
        {"a file named through a variable", true, REG_EXPAND_SZ, "%TOLVARD_TEST_FOLDER%\\other.dll",
         0, ""},
        {"a file that is gone", true, REG_EXPAND_SZ, folder + "\\gone.dll", REG_EXPAND_SZ, dll},
        {"one of two files gone", true, REG_EXPAND_SZ, other + ";" + folder + "\\gone.dll",
         REG_EXPAND_SZ, dll},
        {"a folder", true, REG_EXPAND_SZ, folder, REG_EXPAND_SZ, dll},
        {"an empty value", true, REG_EXPAND_SZ, "", REG_EXPAND_SZ, dll},
        {"a value of another type", true, REG_DWORD, "1234", REG_EXPAND_SZ, dll},
        {"no value", true, REG_SZ, "<none>", REG_EXPAND_SZ, dll},
    };
    for (const auto &c : cases) {
        standin::reset();
        standin::set_module_file_name(exe.c_str());
        if (c.dll_there)
            test_support::write_file(dir + "/tolvard-messages.dll", "x");
        else
            unlink((dir + "/tolvard-messages.dll").c_str());
        if (c.file == "<none>")
            standin::set_registry_value(source_key, "CategoryCount", REG_DWORD, "1234");
        else if (c.type != 0)
            standin::set_registry_value(source_key, "EventMessageFile", c.type, c.file + '\0');
        EXPECT_EQ(register_event_source(), 0u) << c.what;
        DWORD type = 0;
        std::string data;
        bool found = standin::registry_value(source_key, "EventMessageFile", &type, &data);
        if (c.new_type == 0) {
            EXPECT_EQ(type, c.type) << c.what;
            EXPECT_EQ(data, c.file + '\0') << c.what;
            EXPECT_EQ(standin::calls(standin::call_RegCreateKeyExA), 0) << c.what;
            continue;
        }
        ASSERT_TRUE(found) << c.what;
        EXPECT_EQ(type, c.new_type) << c.what;
        EXPECT_EQ(data, c.new_file + '\0') << c.what;
        ASSERT_TRUE(standin::registry_value(source_key, "TypesSupported", &type, &data));
        EXPECT_EQ(type, REG_DWORD);
        EXPECT_EQ(data, std::string("\x07\0\0\0", 4)) << "error, warning and information";
        EXPECT_EQ(standin::open_handles(), 0) << c.what;
    }
    // A folder whose name holds "%" is written plain: nothing in it may be taken for a variable.
    standin::reset();
    std::string odd = test_support::temp_dir() + "/a%b%";
    mkdir(odd.c_str(), 0700);
    standin::set_module_file_name(test_support::windows_path(odd + "/tolvard.exe").c_str());
    EXPECT_EQ(register_event_source(), 0u);
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(standin::registry_value(source_key, "EventMessageFile", &type, &data));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data, test_support::windows_path(odd + "/tolvard.exe") + '\0');
    rmdir(odd.c_str());
    rmdir(odd.substr(0, odd.rfind('/')).c_str());
    unsetenv("TOLVARD_TEST_FOLDER");
    unlink((dir + "/tolvard-messages.dll").c_str());
    unlink((dir + "/other.dll").c_str());
    rmdir(dir.c_str());
    standin::reset();
}

TEST(EventSource, FailuresAreReturned) {
    const struct {
        standin::Call call;
        int nth;
        DWORD error;
    } cases[] = {
        {standin::call_RegCreateKeyExA, 1, ERROR_ACCESS_DENIED},
        {standin::call_RegSetValueExA, 1, ERROR_ACCESS_DENIED},
        {standin::call_RegSetValueExA, 2, ERROR_INVALID_PARAMETER},
        {standin::call_HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY}, // the module's name
        {standin::call_HeapAlloc, 2, ERROR_NOT_ENOUGH_MEMORY}, // the DLL's name
    };
    for (const auto &c : cases) {
        standin::reset();
        standin::set_module_file_name("C:\\t\\tolvard.exe");
        standin::fail(c.call, c.nth, c.error);
        EXPECT_EQ(register_event_source(), c.error) << c.call << " " << c.nth;
        EXPECT_EQ(standin::open_handles(), 0);
    }
    standin::reset();
}

} // namespace

#include "platform/util.h"

#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string take(char *heap_text) {
    std::string text = heap_text != nullptr ? heap_text : "<null>";
    heap_free(heap_text);
    return text;
}

TEST(ModuleFileName, LongPathsAreWhole) {
    for (size_t length : {5ul, 255ul, 256ul, 257ul, 1023ul, 2000ul, 32000ul}) {
        standin::reset();
        std::string path = "C:\\" + std::string(length - 3, 'x');
        standin::set_module_file_name(path.c_str());
        EXPECT_EQ(take(module_file_name()), path) << "length " << length;
    }
    // No memory for the first buffer, or for a larger one after it.
    for (int nth : {1, 2}) {
        standin::reset();
        standin::set_module_file_name(("C:\\" + std::string(300, 'x')).c_str());
        standin::fail(standin::call_HeapAlloc, nth, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(take(module_file_name()), "<null>") << nth;
    }
    standin::reset();
}

TEST(LastSeparator, NeverTheFirstCharacterNorASecondByte) {
    const struct {
        UINT code_page;
        const char *path;
        long at; // -1: none
    } cases[] = {
        {1252, "C:\\tools\\t.exe", 8}, {1252, "C:/tools/t.exe", 8},  {1252, "C:\\t.exe", 2},
        {1252, "\\x.exe", -1},         {1252, "x.exe", -1},          {1252, "", -1},
        {1252, "\\\\s\\share", 3},     {932, "C:\\\x95\x5C.exe", 2}, {932, "C:\\a\x95\x5C", 2},
        {1252, "C:\\a\x95\x5C", 5},
    };
    for (const auto &c : cases) {
        standin::reset();
        standin::set_ansi_code_page(c.code_page);
        const char *found = last_separator(c.path);
        EXPECT_EQ(found != nullptr ? found - c.path : -1, c.at) << c.path;
    }
    standin::reset();
}

TEST(HeapCopy, CopiesOrSaysNoMemory) {
    standin::reset();
    EXPECT_EQ(take(heap_copy("a text")), "a text");
    EXPECT_EQ(take(heap_copy("")), "");
    standin::fail(standin::call_HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(take(heap_copy("a text")), "<null>");
    heap_free(nullptr);
    standin::reset();
}

TEST(PrintSystemError, OneLineWithTheSystemsTextOrTheNumberAlone) {
    const std::string fits(1021, 'x');     // with its CR LF and terminator, 1024 bytes
    const std::string too_long(1022, 'x'); // one byte more than the room
    const struct {
        const char *what;
        DWORD code;
        std::string text; // set for the code first; "": Windows' own
        bool fault;       // FormatMessageA made to fail
        std::string out;
    } cases[] = {
        {"a known code", ERROR_SERVICE_EXISTS, "", false,
         "error 1073: The specified service already exists.\n"},
        {"a code without text", 1234, "", false, "error 1234\n"},
        {"lines joined", 1234, "First line.\r\nSecond line.\r\n", false,
         "error 1234: First line. Second line.\n"},
        {"blanks at both ends and inside", 1234, " \r\n Padded\t  text. \r\n\r\n", false,
         "error 1234: Padded text.\n"},
        {"nothing but line breaks", 1234, "\r\n\r\n", false, "error 1234\n"},
        {"inserts kept as written", 1234, "The %1 service.\r\n", false,
         "error 1234: The %1 service.\n"},
        {"the longest that fits", 1234, fits + "\r\n", false, "error 1234: " + fits + "\n"},
        {"one byte too long", 1234, too_long + "\r\n", false, "error 1234\n"},
        {"the call fails", ERROR_ACCESS_DENIED, "", true, "error 5\n"},
        {"the largest code", 0xFFFFFFFFu, "", false, "error 4294967295\n"},
    };
    for (const auto &c : cases) {
        standin::reset();
        if (!c.text.empty())
            standin::set_message(c.code, c.text.c_str());
        if (c.fault)
            standin::fail(standin::call_FormatMessageA, 1, ERROR_NOT_ENOUGH_MEMORY);
        test_support::Outcome outcome = test_support::run_in_child([&] {
            print_system_error(c.code);
            return 0;
        });
        EXPECT_EQ(outcome.status, 100) << c.what;
        EXPECT_EQ(outcome.out, c.out) << c.what;
    }
    standin::reset();
}

} // namespace

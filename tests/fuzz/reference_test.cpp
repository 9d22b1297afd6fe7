// The fuzz targets are only as good as the rules they check against: these pin the reference
// rules and the input decoding to known answers.
#include "fuzz.h"

#include <gtest/gtest.h>

namespace {

using fuzz::Words;

struct CrtCase {
    const char *text;
    Words msvcrt; // the old msvcrt.dll
    Words later;  // the C runtimes since 2008
};

TEST(ReferenceCrtArgv, MicrosoftsExamples) {
    const CrtCase cases[] = {
        {"p \"a b c\" d e", {"p", "a b c", "d", "e"}, {"p", "a b c", "d", "e"}},
        {"p \"ab\\\"c\" \"\\\\\" d", {"p", "ab\"c", "\\", "d"}, {"p", "ab\"c", "\\", "d"}},
        {"p a\\\\\\b d\"e f\"g h",
         {"p", "a\\\\\\b", "de fg", "h"},
         {"p", "a\\\\\\b", "de fg", "h"}},
        {"p a\\\\\\\"b c d", {"p", "a\\\"b", "c", "d"}, {"p", "a\\\"b", "c", "d"}},
        {"p a\\\\\\\\\"b c\" d e", {"p", "a\\\\b c", "d", "e"}, {"p", "a\\\\b c", "d", "e"}},
        // A quote doubled inside a quoted stretch: where the two runtimes part.
        {"p a\"b\"\" c d", {"p", "ab\"", "c", "d"}, {"p", "ab\" c d"}},
        // argv[0] knows no escapes; the rest begins after it even without a blank.
        {"\"C:\\a b\\\"x y", {"C:\\a b\\", "x", "y"}, {"C:\\a b\\", "x", "y"}},
        // A blank first ends an empty argv[0].
        {"  p", {"", "p"}, {"", "p"}},
        {"", {""}, {""}},
        {"p \"\" \t", {"p", ""}, {"p", ""}},
        {"p a\\", {"p", "a\\"}, {"p", "a\\"}},
        {"p \"a", {"p", "a"}, {"p", "a"}},
    };
    standin::reset();
    for (const CrtCase &c : cases) {
        EXPECT_EQ(fuzz::reference_crt_argv(c.text, fuzz::crt_msvcrt), c.msvcrt) << c.text;
        EXPECT_EQ(fuzz::reference_crt_argv(c.text, fuzz::crt_2008), c.later) << c.text;
    }
}

TEST(ReferenceCrtArgv, ShiftJisPairs) {
    standin::reset();
    standin::set_ansi_code_page(932);
    // 0x95 0x5C is one character: its second byte escapes no quote, in argv[0] or after it.
    EXPECT_EQ(fuzz::reference_crt_argv("\"\x95\x5C\" \x95\x5C\"a b\"", fuzz::crt_2008),
              (Words{"\x95\x5C", "\x95\x5C"
                                 "a b"}));
    EXPECT_EQ(fuzz::reference_crt_argv("p a\x81", fuzz::crt_msvcrt), (Words{"p", "a\x81"}));
    standin::set_ansi_code_page(1252);
    EXPECT_EQ(fuzz::reference_crt_argv("p \x95\x5C\"a b\"", fuzz::crt_2008),
              (Words{"p", "\x95\"a", "b"}));
    standin::reset();
}

struct SplitCase {
    UINT code_page;
    const char *text;
    Words words;
};

TEST(ReferenceSplit, TheDocumentedRule) {
    const SplitCase cases[] = {
        {1252, "", {}},
        {1252, "\"C:\\My Dir\\prog.exe\" x", {"x"}},
        {1252, "prog a\"b c\"d \"\" \\\"a c:\\web\\", {"ab cd", "", "\"a", "c:\\web\\"}},
        {1252, "prog a\\\\\"b c\"", {"a\\\"b", "c"}},
        {1252, "prog \"a b", {"a b"}},
        {932, "prog \x95\x5C\" x\"", {"\x95\x5C x"}},
        {932, "\"\x95\x5C\" x", {"x"}},
        {932, "prog a\x81", {"a\x81"}},
    };
    for (const SplitCase &c : cases) {
        standin::reset();
        standin::set_ansi_code_page(c.code_page);
        EXPECT_EQ(fuzz::reference_split(c.text), c.words) << c.text;
    }
    standin::reset();
}

TEST(FuzzInput, DecodesToCodePageAndWords) {
    const struct {
        std::string input;
        UINT code_page;
        Words words;
    } cases[] = {
        {"", 1252, {}},
        {std::string("\0", 1), 1252, {}},
        {std::string("\x01\0", 2), 932, {""}},
        {std::string("\x02"
                     "a\0\0b",
                     5),
         1252,
         {"a", "", "b"}},
        {std::string("\x03"
                     "a\0",
                     3),
         932,
         {"a"}},
        {"\x01\xff\x81", 932, {"\xff\x81"}},
    };
    for (const auto &c : cases) {
        standin::reset();
        const uint8_t *data = reinterpret_cast<const uint8_t *>(c.input.data());
        fuzz::set_code_page(data, c.input.size());
        EXPECT_EQ(IsDBCSLeadByte(0x81) != FALSE, c.code_page == 932);
        EXPECT_EQ(fuzz::decode_words(data, c.input.size()), c.words);
    }
    standin::reset();
}

TEST(FuzzInput, OnlyALoneLeadByteAtTheEndIsCut) {
    standin::reset();
    standin::set_ansi_code_page(932);
    const struct {
        std::string word;
        std::string writable;
    } cases[] = {
        {"", ""},
        {"a\x81", "a"},
        {"\x81\x81", "\x81\x81"},     // a pair
        {"\x81\x81\x81", "\x81\x81"}, // a pair and a lone lead byte
        {"\x95\x5C", "\x95\x5C"},
        {"\x81\x5C\x81", "\x81\x5C"},
        {"\xA0\x81", "\xA0"}, // 0xA0 is no lead byte in 932
    };
    for (const auto &c : cases)
        EXPECT_EQ(fuzz::writable({c.word}), Words{c.writable}) << fuzz::shown(c.word);
    standin::set_ansi_code_page(1252);
    EXPECT_EQ(fuzz::writable({"a\x81"}), Words{"a\x81"});
    standin::reset();
}

} // namespace

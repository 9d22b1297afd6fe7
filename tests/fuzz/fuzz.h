// What the three fuzz targets share: how an input becomes a code page and a list of words, the
// reference rules the targets check our code against, and how a finding is reported.
//
// An input is a flag byte and then the words. Bit 0 of the flag byte selects the ANSI code page
// (1: 932, Shift-JIS lead bytes 0x81-0x9F and 0xE0-0xFC; 0: 1252, no lead bytes); bits 1-2 pick
// the program's own path where a target needs one. After it, every byte 0 ends a word and a last
// run of bytes without one is a word too, so "a\0\0b" is {"a", "", "b"}, "\0" is {""} and an
// input of the flag byte alone has no words. The words thus hold any bytes from 1 to 255.
#pragma once

#include "platform/standin_control.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fuzz {

using Words = std::vector<std::string>;

/// Sets the stand-in's ANSI code page from the flag byte (0 when the input is empty).
inline void set_code_page(const uint8_t *data, size_t size) {
    standin::set_ansi_code_page(size > 0 && (data[0] & 1) != 0 ? 932 : 1252);
}

inline bool is_lead(char c) {
    return IsDBCSLeadByte(static_cast<BYTE>(c)) != FALSE;
}

/// The words after the flag byte, as described above.
inline Words decode_words(const uint8_t *data, size_t size) {
    Words words;
    if (size <= 1)
        return words;
    std::string word;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    if (data[size - 1] != 0)
        words.push_back(word);
    return words;
}

/// Where the last character of `word` begins, reading it from its start (0 if empty).
inline size_t last_char(const std::string &word) {
    size_t last = 0;
    for (size_t i = 0; i < word.size(); i += is_lead(word[i]) && i + 1 < word.size() ? 2 : 1)
        last = i;
    return last;
}

/// Whether `word` ends in a lead byte with no second byte. Such a word cannot be written so
/// that it comes back (the lead byte takes the quote or blank after it as its second byte): the
/// writers document it, and no word split from a real command line ends so, except at the very
/// end of the text. The generators cut that byte off.
inline bool ends_in_lone_lead(const std::string &word) {
    return !word.empty() && last_char(word) == word.size() - 1 && is_lead(word.back());
}

/// `words` with the lone lead byte that ends any of them cut off.
inline Words writable(Words words) {
    for (std::string &word : words) {
        if (ends_in_lone_lead(word))
            word.pop_back();
    }
    return words;
}

/// tolvard's own rule for its command line, written from its documentation: the words after
/// the program's own word.
inline Words reference_split(const std::string &text) {
    Words words;
    size_t i = 0, n = text.size();
    auto blank = [&](size_t at) { return text[at] == ' ' || text[at] == '\t'; };
    auto pair = [&](size_t at) { return is_lead(text[at]) && at + 1 < n; };
    while (i < n && blank(i))
        ++i;
    if (i < n && text[i] == '"') {
        for (++i; i < n && text[i] != '"';)
            i += pair(i) ? 2 : 1;
        if (i < n)
            ++i;
    } else {
        while (i < n && !blank(i))
            i += pair(i) ? 2 : 1;
    }
    for (;;) {
        while (i < n && blank(i))
            ++i;
        if (i == n)
            return words;
        std::string word;
        for (bool quoted = false; i < n && (quoted || !blank(i));) {
            if (pair(i)) {
                word.append(text, i, 2);
                i += 2;
            } else if (text[i] == '\\' && i + 1 < n && text[i + 1] == '"') {
                word += '"';
                i += 2;
            } else if (text[i] == '"') {
                quoted = !quoted;
                ++i;
            } else {
                word += text[i++];
            }
        }
        words.push_back(word);
    }
}

/// Which Microsoft C runtime's reading of a closing quote followed at once by another quote:
/// the old msvcrt.dll gives a literal quote and ends the quoted stretch; the C runtimes since
/// Visual C++ 2008 give a literal quote and stay in it.
enum CrtVersion { crt_msvcrt, crt_2008 };

/// The argument vector that the Microsoft C runtime builds from `text`, argv[0] included.
/// argv[0] is read without escapes: quoted up to the next quote, else up to a blank or tab.
/// After it, 2N backslashes and a quote give N backslashes and open or close a quoted stretch,
/// 2N+1 and a quote give N backslashes and a literal quote, other backslashes are literal, and
/// a lead byte takes the byte after it (unless that ends the text).
inline Words reference_crt_argv(const std::string &text, CrtVersion version) {
    Words argv;
    size_t i = 0, n = text.size();
    auto blank = [&](size_t at) { return text[at] == ' ' || text[at] == '\t'; };
    auto pair = [&](size_t at) { return is_lead(text[at]) && at + 1 < n; };
    std::string program;
    if (i < n && text[i] == '"') {
        for (++i; i < n && text[i] != '"';) {
            size_t step = pair(i) ? 2 : 1;
            program.append(text, i, step);
            i += step;
        }
        if (i < n)
            ++i;
    } else {
        while (i < n && !blank(i)) {
            size_t step = pair(i) ? 2 : 1;
            program.append(text, i, step);
            i += step;
        }
    }
    argv.push_back(program);
    for (;;) {
        while (i < n && blank(i))
            ++i;
        if (i == n)
            return argv;
        std::string word;
        bool quoted = false;
        for (;;) {
            size_t slashes = 0;
            while (i < n && text[i] == '\\') {
                ++slashes;
                ++i;
            }
            bool copy = true;
            if (i < n && text[i] == '"') {
                if (slashes % 2 == 0) {
                    if (quoted && i + 1 < n && text[i + 1] == '"') {
                        ++i; // the second quote is copied
                        if (version == crt_msvcrt)
                            quoted = false;
                    } else {
                        copy = false;
                        quoted = !quoted;
                    }
                }
                slashes /= 2;
            }
            word.append(slashes, '\\');
            if (i == n || (!quoted && blank(i)))
                break;
            if (copy) {
                size_t step = pair(i) ? 2 : 1;
                word.append(text, i, step);
                i += step;
            } else {
                ++i;
            }
        }
        argv.push_back(word);
    }
}

/// Printable form of a text for a finding's report.
inline std::string shown(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        char hex[8];
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            out += static_cast<char>(c);
        } else {
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out + "\"";
}

inline std::string shown(const Words &words) {
    std::string out = "{";
    for (size_t i = 0; i < words.size(); ++i)
        out += (i > 0 ? ", " : "") + shown(words[i]);
    return out + "}";
}

/// A finding: says what differs and ends the process abnormally, which the fuzzer records as a
/// crash with its input and the replay test as a failure.
[[noreturn]] inline void finding(const char *what, const std::string &text, const Words &got,
                                 const Words &expected) {
    fprintf(stderr, "FINDING: %s\n  text     %s\n  got      %s\n  expected %s\n", what,
            shown(text).c_str(), shown(got).c_str(), shown(expected).c_str());
    abort();
}

} // namespace fuzz

// Shared pieces of the fuzz targets: turning fuzz input into C text, a
// scratch folder, and straightforward reference rules that the code under
// test is compared against.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

// Aborts with a message when a property does not hold; libFuzzer then
// reports the input as a crash.
#define FUZZ_CHECK(cond)                                                            \
    do {                                                                            \
        if (!(cond)) {                                                              \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                \
        }                                                                           \
    } while (0)

// The bytes as a C string would see them: cut at the first NUL.
inline std::string c_text(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    return text.substr(0, text.find('\0'));
}

// Splits off the text in front of the first '\n' (the whole input when there
// is none), moving data and size past it and past the '\n'.
inline std::string take_line(const uint8_t *&data, size_t &size) {
    size_t n = 0;
    while (n < size && data[n] != '\n') n++;
    std::string line(reinterpret_cast<const char *>(data), n);
    size_t skip = n < size ? n + 1 : n;
    data += skip;
    size -= skip;
    return line;
}

// A fresh folder under TMPDIR (or /tmp), made once per process and removed
// when the process ends.
const std::string &scratch_dir();

inline bool is_ascii_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

inline bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// "sha256:" and exactly 64 lowercase hexadecimal digits, or "sha512:" and
// exactly 128.
inline bool ref_digest_valid(std::string_view s) {
    bool sha256 = s.size() == 71 && s.substr(0, 7) == "sha256:";
    bool sha512 = s.size() == 135 && s.substr(0, 7) == "sha512:";
    if (!sha256 && !sha512) return false;
    for (char c : s.substr(7))
        if (!is_lower_hex(c)) return false;
    return true;
}

// An algorithm name of the OCI digest grammar, [a-z0-9]+ runs joined by one
// of "+._-", followed by ':' (and anything after it).
inline bool ref_is_digest_reference(std::string_view s) {
    size_t colon = s.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    bool after_separator = true;
    for (char c : s.substr(0, colon)) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        bool separator = c == '+' || c == '.' || c == '_' || c == '-';
        if (!alnum && !separator) return false;
        if (separator && after_separator) return false;
        after_separator = separator;
    }
    return !after_separator;
}

// 8-4-4-4-12 lowercase hexadecimal digits joined by '-'.
inline bool ref_uuid_valid(std::string_view s) {
    if (s.size() != 36) return false;
    for (size_t i = 0; i < s.size(); i++) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !is_lower_hex(s[i])) return false;
    }
    return true;
}

// The registry's repository-name rule, written here from its two halves:
// the form of the text (1 to 255 bytes of letters and digits, with '-', '_',
// '.', '/' neither first nor last and no "//") and the directories it names
// (no "..", and every '/'-separated component a directory of its own: not
// empty, not ".", not "_manifests"). A name must pass both.
inline bool ref_name_form_valid(std::string_view s) {
    if (s.empty() || s.size() > 255) return false;
    if (s.find("//") != std::string_view::npos) return false;
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        if (is_ascii_alnum(c)) continue;
        if (c != '-' && c != '_' && c != '.' && c != '/') return false;
        if (i == 0 || i + 1 == s.size()) return false;
    }
    return true;
}

inline bool ref_name_dirs_valid(std::string_view s) {
    if (s.empty() || s.size() > 255) return false;
    if (s.find("..") != std::string_view::npos) return false;
    for (char c : s)
        if (!is_ascii_alnum(c) && c != '.' && c != '_' && c != '-' && c != '/') return false;
    size_t start = 0;
    while (true) {
        size_t slash = s.find('/', start);
        std::string_view part =
            s.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (part.empty() || part == "." || part == "_manifests") return false;
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

inline bool ref_repo_name_valid(std::string_view s) {
    return ref_name_form_valid(s) && ref_name_dirs_valid(s);
}

// A tag: [A-Za-z0-9_][A-Za-z0-9._-]{0,127}.
inline bool ref_tag_valid(std::string_view s) {
    if (s.empty() || s.size() > 128) return false;
    if (!is_ascii_alnum(s[0]) && s[0] != '_') return false;
    for (char c : s.substr(1))
        if (!is_ascii_alnum(c) && c != '.' && c != '_' && c != '-') return false;
    return true;
}

// What strtoll with base 10 makes of text: leading white space, a sign,
// then digits up to the first other byte; 0 without digits; saturated at
// the 64-bit limits.
inline int64_t ref_decimal(const char *p) {
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    // Accumulated as a negative number, which holds INT64_MIN exactly.
    int64_t value = 0;
    bool saturated = false;
    for (; *p >= '0' && *p <= '9'; p++) {
        int digit = *p - '0';
        if (saturated) continue;
        if (value < (INT64_MIN + digit) / 10) {
            saturated = true;
            continue;
        }
        value = value * 10 - digit;
    }
    if (saturated) return negative ? INT64_MIN : INT64_MAX;
    if (negative) return value;
    return value == INT64_MIN ? INT64_MAX : -value;
}

}  // namespace fuzz

#endif

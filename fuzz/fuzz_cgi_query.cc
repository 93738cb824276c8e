// Query-string decoding: the decoded value of a parameter never exceeds
// its 511 bytes, and it matches a plain rewrite of the rule: the first
// '&'-separated segment whose key equals the name, its value with '+' as a
// space and %XX as a byte, cut at 511 bytes (and, being text, at a %00).
#include <cstdlib>
#include <cstring>
#include <string>

#include "edge/tw_cgi.h"
#include "fuzz/fuzz_support.h"

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string reference_decode(const std::string &value) {
    std::string out;
    for (size_t i = 0; i < value.size() && out.size() < 511;) {
        char c = value[i];
        if (c == '+') {
            out += ' ';
            i++;
        } else if (c == '%' && i + 2 < value.size() && hex_digit(value[i + 1]) >= 0 &&
                   hex_digit(value[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(value[i + 1]) * 16 + hex_digit(value[i + 2]));
            i += 3;
        } else {
            out += c;
            i++;
        }
    }
    return out.substr(0, out.find('\0'));
}

std::string reference_query(const std::string &query, const std::string &name) {
    size_t start = 0;
    while (start < query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        std::string segment = query.substr(start, end - start);
        size_t eq = segment.find('=');
        std::string key = segment.substr(0, eq);
        if (key == name) return eq == std::string::npos ? "" : reference_decode(segment.substr(eq + 1));
        start = end + 1;
    }
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string name = fuzz::c_text(data, size);
    name = name.substr(0, name.find('\n'));
    size_t skip = name.size() < size ? name.size() + 1 : size;
    std::string query = fuzz::c_text(data + skip, size - skip);
    if (query.empty()) return 0;  // the environment fallback is not under test here
    setenv("QUERY_STRING", query.c_str(), 1);

    const char *got = cgi_query(name.c_str());
    FUZZ_CHECK(got != nullptr);
    FUZZ_CHECK(strlen(got) <= 511);
    std::string want = name.empty() ? "" : reference_query(query, name);
    FUZZ_CHECK(want == got);
    // A result stays valid while fewer than eight further calls are made.
    std::string kept = got;
    for (int i = 0; i < 7; i++) cgi_query("x");
    FUZZ_CHECK(kept == got);
    return 0;
}

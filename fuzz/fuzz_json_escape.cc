// The JSON string escapers: json_escape_append never writes past cap, keeps
// its text terminated, cuts only between escapes, and writes valid JSON
// string content that decodes back to a prefix of the input (all of it when
// there is room); json_escape_f writes exactly what json_escape_append
// writes with room to spare.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "edge/tw_cgi.h"
#include "fuzz/fuzz_support.h"
#include "storage/layout.h"
#include "storage/catalog_internal.h"

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes the inside of a JSON string as a JSON parser would, limited to
// the escapes for bytes below 0x80. false when it is not valid content.
bool decode_json_string(const std::string &text, std::string *out) {
    out->clear();
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c < 0x20) return false;
        if (c != '\\') {
            *out += static_cast<char>(c);
            continue;
        }
        if (++i >= text.size()) return false;
        switch (text[i]) {
            case '"': *out += '"'; break;
            case '\\': *out += '\\'; break;
            case '/': *out += '/'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                if (i + 4 >= text.size()) return false;
                int value = 0;
                for (int k = 1; k <= 4; k++) {
                    int h = hex_value(text[i + k]);
                    if (h < 0) return false;
                    value = value * 16 + h;
                }
                if (value >= 0x80) return false;  // never produced for single bytes
                *out += static_cast<char>(value);
                i += 4;
                break;
            }
            default: return false;
        }
    }
    return true;
}

std::string escaped_by_stream(const std::string &text) {
    char *buffer = nullptr;
    size_t length = 0;
    FILE *f = open_memstream(&buffer, &length);
    FUZZ_CHECK(f != nullptr);
    json_escape_f(f, text.c_str());
    FUZZ_CHECK(fclose(f) == 0);
    std::string out(buffer, length);
    free(buffer);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    size_t cap = static_cast<size_t>(data[0]) | (static_cast<size_t>(data[1] & 3) << 8);
    std::string src = fuzz::c_text(data + 2, size - 2);

    std::vector<char> dst(cap > 0 ? cap : 1, 'Z');
    uint64_t w = json_escape_append(cap > 0 ? dst.data() : nullptr, cap, src.c_str());
    if (cap == 0) {
        FUZZ_CHECK(w == 0);
        return 0;
    }
    FUZZ_CHECK(w < cap);
    FUZZ_CHECK(dst[w] == '\0');
    std::string written(dst.data(), w);
    FUZZ_CHECK(written.find('\0') == std::string::npos);
    std::string decoded;
    FUZZ_CHECK(decode_json_string(written, &decoded));
    FUZZ_CHECK(src.compare(0, decoded.size(), decoded) == 0);
    // Six output bytes per input byte at most, plus the escaper's slack.
    if (cap >= 6 * src.size() + 9) FUZZ_CHECK(decoded == src);

    std::vector<char> roomy(6 * src.size() + 9);
    uint64_t whole = json_escape_append(roomy.data(), roomy.size(), src.c_str());
    std::string all(roomy.data(), whole);
    FUZZ_CHECK(all.compare(0, written.size(), written) == 0);
    FUZZ_CHECK(escaped_by_stream(src) == all);
    return 0;
}

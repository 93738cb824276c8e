// The rules of the store's names: repositories, tags, digests and upload
// ids, each written once and used by every topic, by regstore and by the
// endpoints (through reg_storage.h).
#include <cstdio>
#include <cstring>
#include <string_view>

#include "storage/layout.h"

const char *const kStoredAlgorithms[REG_STORED_ALGORITHMS] = {"sha256", "sha512"};

namespace {

constexpr int kUuidLen = REG_UPLOAD_ID_SIZE - 1;
// Both algorithms' prefixes ("sha256:", "sha512:") are this long.
constexpr size_t kDigestPrefixLen = 7;
constexpr size_t kSha256HexLen = 64;
constexpr size_t kSha512HexLen = 128;

bool is_ascii_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool is_lower_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool is_repo_name_byte(char c) {
    return is_ascii_alnum(c) || c == '-' || c == '_' || c == '.' || c == '/';
}

// A component that would not name a directory of its own: "" (a doubled
// '/'), "." (the directory above it) or "_manifests" (it would nest inside
// the manifests directory of the repository above it).
bool is_reserved_component(std::string_view component) {
    return component.empty() || component == "." || component == "_manifests";
}

// One component of an OCI repository name: [a-z0-9]+ runs joined by '.',
// '_', "__" or any run of '-'.
bool oci_component_valid(std::string_view c) {
    size_t i = 0;
    auto alnum_run = [&]() {
        size_t start = i;
        while (i < c.size() && is_lower_alnum(c[i])) i++;
        return i > start;
    };
    if (!alnum_run()) return false;
    while (i < c.size()) {
        if (c[i] == '.') {
            i++;
        } else if (c[i] == '_') {
            i++;
            if (i < c.size() && c[i] == '_') i++;
        } else if (c[i] == '-') {
            while (i < c.size() && c[i] == '-') i++;
        } else {
            return false;
        }
        if (!alnum_run()) return false;
    }
    return true;
}

bool is_dash_position(int i) { return i == 8 || i == 13 || i == 18 || i == 23; }

}  // namespace

int repo_name_valid(const char *name) {
    if (name == nullptr) return 0;
    std::string_view text(name, strnlen(name, REG_REPO_NAME_MAX + 1));
    if (text.empty() || text.size() > REG_REPO_NAME_MAX) return 0;
    for (char c : text)
        if (!is_repo_name_byte(c)) return 0;
    // A separator never begins or ends a name, so no name has a leading or
    // trailing '/', and none begins with a dot.
    if (!is_ascii_alnum(text.front()) || !is_ascii_alnum(text.back())) return 0;
    if (text.find("..") != std::string_view::npos) return 0;
    // Every '/'-separated component must name a directory of its own, so
    // that two different names never land in one directory.
    size_t start = 0;
    for (;;) {
        size_t slash = text.find('/', start);
        if (is_reserved_component(text.substr(start, slash - start))) return 0;
        if (slash == std::string_view::npos) return 1;
        start = slash + 1;
    }
}

int tag_name_valid(const char *tag) {
    if (tag == nullptr) return 0;
    std::string_view text(tag, strnlen(tag, REG_TAG_MAX + 1));
    if (text.empty() || text.size() > REG_TAG_MAX) return 0;
    if (!is_ascii_alnum(text[0]) && text[0] != '_') return 0;
    for (char c : text.substr(1))
        if (!is_ascii_alnum(c) && c != '_' && c != '.' && c != '-') return 0;
    return 1;
}

int hex_digest_valid(const char *hex) {
    if (hex == nullptr) return 0;
    size_t len = 0;
    while (len <= kSha512HexLen && is_lower_hex(hex[len])) len++;
    return hex[len] == '\0' && (len == kSha256HexLen || len == kSha512HexLen) ? 1 : 0;
}

int digest_valid(const char *text) {
    if (text == nullptr) return 0;
    const char *hex = text + kDigestPrefixLen;
    if (strncmp(text, "sha256:", kDigestPrefixLen) == 0)
        return hex_digest_valid(hex) && strlen(hex) == kSha256HexLen ? 1 : 0;
    if (strncmp(text, "sha512:", kDigestPrefixLen) == 0)
        return hex_digest_valid(hex) && strlen(hex) == kSha512HexLen ? 1 : 0;
    return 0;
}

int is_digest_reference(const char *text) {
    if (text == nullptr) return 0;
    // An algorithm: [a-z0-9]+ runs, each separator one of "+._-" between
    // two runs, then the ':'.
    size_t i = 0;
    for (;;) {
        size_t start = i;
        while (is_lower_alnum(text[i])) i++;
        if (i == start) return 0;
        char c = text[i];
        if (c == ':') return 1;
        if (c != '+' && c != '.' && c != '_' && c != '-') return 0;
        i++;
    }
}

const char *digest_hex_part(const char *digest) { return digest + kDigestPrefixLen; }

const char *algo_of_hex(const char *hex) {
    return strlen(hex) == kSha512HexLen ? kStoredAlgorithms[1] : kStoredAlgorithms[0];
}

void digest_string_of_hex(const char *hex, char *out) {
    snprintf(out, REG_DIGEST_STRING_SIZE, "%s:%s", algo_of_hex(hex), hex);
}

int uuid_valid(const char *text) {
    if (text == nullptr) return 0;
    for (int i = 0; i < kUuidLen; i++) {
        char c = text[i];
        if (c == '\0') return 0;
        if (is_dash_position(i) ? c != '-' : !is_lower_hex(c)) return 0;
    }
    return text[kUuidLen] == '\0' ? 1 : 0;
}

void uuid_from_bytes(const unsigned char bytes[16], char *out) {
    static const char digits[] = "0123456789abcdef";
    // Two digits per byte, the low nibble first.
    int nibble = 0;
    for (int i = 0; i < kUuidLen; i++) {
        if (is_dash_position(i)) {
            out[i] = '-';
            continue;
        }
        unsigned char b = bytes[nibble / 2];
        out[i] = digits[nibble % 2 == 0 ? (b & 0x0f) : (b >> 4)];
        nibble++;
    }
    out[kUuidLen] = '\0';
}

void bin_to_hex(const unsigned char *data, uint64_t count, char *out) {
    static const char digits[] = "0123456789abcdef";
    for (uint64_t i = 0; i < count; i++) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 0x0f];
    }
    out[2 * count] = '\0';
}

extern "C" {

int reg_repo_name_valid(const char *name) { return repo_name_valid(name); }

int reg_repo_name_oci(const char *name) {
    if (!repo_name_valid(name)) return 0;
    std::string_view text(name);
    size_t start = 0;
    for (;;) {
        size_t slash = text.find('/', start);
        if (!oci_component_valid(text.substr(start, slash - start))) return 0;
        if (slash == std::string_view::npos) return 1;
        start = slash + 1;
    }
}

int reg_tag_valid(const char *tag) { return tag_name_valid(tag); }

int reg_digest_valid(const char *digest) { return digest_valid(digest); }

int reg_is_digest_reference(const char *reference) { return is_digest_reference(reference); }

}  // extern "C"

int require_ready_repo(const char *repo_name) {
    if (require_ready() != 0) return -1;
    if (repo_name_valid(repo_name)) return 0;
    set_status_error(REG_STATUS_INVALID_NAME, "invalid repository name");
    return -1;
}

// Handing a blob GET's body to the web server: the setting and the line.
#include "endpoint/blob_handoff.h"

#include <cstdio>
#include <cstring>

#include "edge/tw_cgi.h"
#include "endpoint/reply.h"
#include "storage/reg_storage.h"

namespace {

constexpr size_t kPrefixMax = 256;

// The hex digits of a digest string the store keeps ("sha256:" and 64, or
// "sha512:" and 128); NULL for anything else.
const char *digest_hex(const char *digest) {
    return reg_digest_valid(digest) ? strchr(digest, ':') + 1 : nullptr;
}

// An absolute path whose last component is hex and that has no "." or ".."
// component, so that it can only name the file of that digest where the
// storage put it.
bool path_names_blob(const char *path, const char *hex) {
    if (path == nullptr || path[0] != '/') return false;
    size_t len = strlen(path), digits = strlen(hex);
    if (len < digits + 1 || path[len - digits - 1] != '/' ||
        memcmp(path + len - digits, hex, digits) != 0)
        return false;
    for (const char *p = path; *p != '\0';) {
        while (*p == '/') p++;
        const char *end = p;
        while (*end != '\0' && *end != '/') end++;
        size_t n = static_cast<size_t>(end - p);
        if ((n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.')) return false;
        p = end;
    }
    return true;
}

// The nginx prefix: '/' first, then only bytes that need no escaping in a
// URI, so that it stands in the line as configured.
bool prefix_usable(const char *prefix) {
    if (prefix == nullptr || prefix[0] != '/' || strlen(prefix) > kPrefixMax) return false;
    for (const char *p = prefix; *p != '\0'; p++) {
        char c = *p;
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '_' || c == '~' || c == '/' || c == '-';
        if (!plain) return false;
    }
    return true;
}

// The blob file's path with every byte outside [A-Za-z0-9._~/-] as %XX
// into escaped (BLOB_HANDOFF_LINE_MAX bytes), its count of escapes into
// *escapes; false for a digest or path that may not be handed off, and for
// a path whose escaped form does not fit.
bool escaped_blob_path(const char *digest, const char *path, char *escaped, size_t *escapes) {
    const char *hex = digest_hex(digest);
    if (hex == nullptr || !path_names_blob(path, hex)) return false;
    query_escape(path, escaped, BLOB_HANDOFF_LINE_MAX);
    // '%' is not in the plain set, so each '%' of the result starts an
    // escape, and a result shorter than that count says the escape was cut.
    *escapes = 0;
    for (const char *p = escaped; *p != '\0'; p++)
        if (*p == '%') (*escapes)++;
    return strlen(escaped) == strlen(path) + 2 * *escapes;
}

// n, the length snprintf reported for out, when the line fit; else 0 with
// out emptied.
int line_length(int n, char *out, size_t out_size) {
    if (n <= 0 || static_cast<size_t>(n) >= out_size) {
        out[0] = '\0';
        return 0;
    }
    return n;
}

}  // namespace

extern "C" {

blob_handoff_server blob_handoff_server_named(const char *value) {
    if (value == nullptr) return BLOB_HANDOFF_OFF;
    if (strcmp(value, "lighttpd") == 0) return BLOB_HANDOFF_LIGHTTPD;
    if (strcmp(value, "nginx") == 0) return BLOB_HANDOFF_NGINX;
    if (strcmp(value, "apache") == 0) return BLOB_HANDOFF_APACHE;
    return BLOB_HANDOFF_OFF;
}

blob_handoff blob_handoff_configured(void) {
    blob_handoff handoff;
    handoff.server = blob_handoff_server_named(cgi_env("REGISTRY_FILE_HANDOFF", ""));
    handoff.prefix = cgi_env("REGISTRY_FILE_HANDOFF_PREFIX", BLOB_HANDOFF_DEFAULT_PREFIX);
    handoff.ranges = handoff.server == BLOB_HANDOFF_LIGHTTPD && cgi_is_fastcgi_request();
    return handoff;
}

int blob_handoff_request_conditional(void) {
    static const char *const kConditional[] = {"HTTP_IF_MATCH", "HTTP_IF_NONE_MATCH",
                                               "HTTP_IF_MODIFIED_SINCE",
                                               "HTTP_IF_UNMODIFIED_SINCE", "HTTP_IF_RANGE"};
    for (const char *name : kConditional)
        if (cgi_env(name, "")[0] != '\0') return 1;
    return 0;
}

int blob_handoff_line(blob_handoff handoff, const char *digest, const char *path, int64_t size,
                      int whole_reply, char *out, size_t out_size) {
    if (out == nullptr || out_size == 0) return 0;
    out[0] = '\0';
    if (handoff.server == BLOB_HANDOFF_OFF || !whole_reply || size <= 0) return 0;
    char escaped[BLOB_HANDOFF_LINE_MAX];
    size_t escapes = 0;
    if (!escaped_blob_path(digest, path, escaped, &escapes)) return 0;

    int n = -1;
    switch (handoff.server) {
        case BLOB_HANDOFF_LIGHTTPD:
            n = snprintf(out, out_size, "X-Sendfile: %s", escaped);
            break;
        case BLOB_HANDOFF_NGINX: {
            if (!prefix_usable(handoff.prefix)) return 0;
            size_t keep = strlen(handoff.prefix);
            while (keep > 0 && handoff.prefix[keep - 1] == '/') keep--;
            n = snprintf(out, out_size, "X-Accel-Redirect: %.*s%s", static_cast<int>(keep),
                         handoff.prefix, escaped);
            break;
        }
        case BLOB_HANDOFF_APACHE:
            if (escapes > 0) return 0;
            n = snprintf(out, out_size, "X-Sendfile: %s", path);
            break;
        case BLOB_HANDOFF_OFF:
            break;
    }
    return line_length(n, out, out_size);
}

int blob_handoff_range_line(blob_handoff handoff, const char *digest, const char *path,
                            int64_t size, int64_t first, int64_t last, int conditional, char *out,
                            size_t out_size) {
    if (out == nullptr || out_size == 0) return 0;
    out[0] = '\0';
    if (!handoff.ranges || handoff.server != BLOB_HANDOFF_LIGHTTPD || conditional) return 0;
    if (first < 0 || first > last || last >= size) return 0;
    char escaped[BLOB_HANDOFF_LINE_MAX];
    size_t escapes = 0;
    if (!escaped_blob_path(digest, path, escaped, &escapes)) return 0;
    int n = snprintf(out, out_size, "X-Sendfile2: %s %lld-%lld", escaped,
                     static_cast<long long>(first), static_cast<long long>(last));
    return line_length(n, out, out_size);
}

}  // extern "C"

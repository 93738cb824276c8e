// The WWW-Authenticate challenge of an upstream registry: its scheme and
// parameters, read strictly, since the realm it names is where the
// registry then sends its credentials.
#include <cstring>
#include <initializer_list>

#include "mirror/mirror.h"

namespace {

bool tchar(char c) {
    // strchr finds the terminating NUL too: it is no token character.
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool equals_nocase(const char *a, size_t len, const char *b) {
    if (strlen(b) != len) return false;
    for (size_t i = 0; i < len; i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

const char *skip_ows(const char *p) {
    while (*p == ' ' || *p == '\t') p++;
    return p;
}

// Reads a token or a quoted string at p into out (size bytes); the end of
// what was read into *end. false when it does not follow the grammar or
// does not fit.
bool read_value(const char *p, char *out, size_t size, const char **end) {
    size_t n = 0;
    if (*p == '"') {
        p++;
        while (*p != '"') {
            if (*p == '\0') return false;
            if (*p == '\\') {
                p++;
                if (*p == '\0') return false;
            }
            if (n + 1 >= size) return false;
            out[n++] = *p++;
        }
        p++;
    } else {
        // token68 characters too ('/' and '=' at its end).
        while (tchar(*p) || *p == '/' || *p == ':') {
            if (n + 1 >= size) return false;
            out[n++] = *p++;
        }
        if (n == 0) return false;
    }
    out[n] = '\0';
    *end = p;
    return true;
}

bool realm_valid(const char *realm) {
    if (strncmp(realm, "https://", 8) != 0 && strncmp(realm, "http://", 7) != 0) return false;
    const char *host = realm + (realm[4] == 's' ? 8 : 7);
    if (*host == '\0' || *host == '/' || *host == '?' || *host == '#') return false;
    for (const char *p = realm; *p != '\0'; p++)
        if (*p <= ' ' || *p > '~') return false;
    // No user in the URL: credentials go only in the Authorization header.
    const char *end = host + strcspn(host, "/?#");
    for (const char *p = host; p < end; p++)
        if (*p == '@') return false;
    return true;
}

}  // namespace

extern "C" {

int mirror_challenge_parse(const char *value, mirror_challenge *out) {
    if (out == nullptr) return -1;
    memset(out, 0, sizeof *out);
    if (value == nullptr) return -1;
    for (const char *p = value; *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if ((c < 0x20 && c != '\t') || c > 0x7e) return -1;
    }
    const char *p = skip_ows(value);
    const char *scheme = p;
    while (tchar(*p)) p++;
    size_t scheme_len = static_cast<size_t>(p - scheme);
    mirror_auth_scheme kind;
    if (equals_nocase(scheme, scheme_len, "bearer"))
        kind = MIRROR_AUTH_BEARER;
    else if (equals_nocase(scheme, scheme_len, "basic"))
        kind = MIRROR_AUTH_BASIC;
    else
        return -1;
    if (*p != '\0' && *p != ' ' && *p != '\t') return -1;
    p = skip_ows(p);
    bool seen_realm = false, seen_service = false, seen_scope = false;
    char ignored[MIRROR_CHALLENGE_VALUE_MAX];
    while (*p != '\0') {
        const char *key = p;
        while (tchar(*p)) p++;
        size_t key_len = static_cast<size_t>(p - key);
        if (key_len == 0) goto refuse;
        p = skip_ows(p);
        if (*p != '=') goto refuse;
        p = skip_ows(p + 1);
        {
            char *target = ignored;
            bool *seen = nullptr;
            if (equals_nocase(key, key_len, "realm")) {
                target = out->realm;
                seen = &seen_realm;
            } else if (equals_nocase(key, key_len, "service")) {
                target = out->service;
                seen = &seen_service;
            } else if (equals_nocase(key, key_len, "scope")) {
                target = out->scope;
                seen = &seen_scope;
            }
            if (seen != nullptr) {
                if (*seen) goto refuse;
                *seen = true;
            }
            if (!read_value(p, target, MIRROR_CHALLENGE_VALUE_MAX, &p)) goto refuse;
        }
        p = skip_ows(p);
        if (*p == ',') {
            p = skip_ows(p + 1);
            if (*p == '\0') goto refuse;
        } else if (*p != '\0') {
            goto refuse;
        }
    }
    if (kind == MIRROR_AUTH_BEARER && (!seen_realm || !realm_valid(out->realm))) goto refuse;
    // What the token service is told goes into a URL's query: no byte
    // outside printable ASCII, no space.
    for (const char *v : {out->service, out->scope})
        for (const char *q = v; *q != '\0'; q++)
            if (*q < ' ' || *q > '~') goto refuse;
    out->scheme = kind;
    return 0;
refuse:
    memset(out, 0, sizeof *out);
    return -1;
}

}  // extern "C"

// The upstream challenge parser on any text: no read past the text, every
// field terminated inside its buffer, a refusal leaves nothing, and an
// accepted Bearer challenge names an http(s) realm of printable ASCII.
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "mirror/mirror.h"

namespace {

bool printable_no_space(const char *s) {
    for (; *s != '\0'; s++)
        if (*s <= ' ' || *s > '~') return false;
    return true;
}

bool terminated(const char *field) { return memchr(field, '\0', MIRROR_CHALLENGE_VALUE_MAX) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text = fuzz::c_text(data, size);
    mirror_challenge out;
    memset(&out, 0x5a, sizeof out);
    int rc = mirror_challenge_parse(text.c_str(), &out);
    FUZZ_CHECK(rc == 0 || rc == -1);
    FUZZ_CHECK(terminated(out.realm) && terminated(out.service) && terminated(out.scope));
    if (rc != 0) {
        FUZZ_CHECK(out.scheme == MIRROR_AUTH_NONE);
        FUZZ_CHECK(out.realm[0] == '\0' && out.service[0] == '\0' && out.scope[0] == '\0');
        return 0;
    }
    FUZZ_CHECK(out.scheme == MIRROR_AUTH_BASIC || out.scheme == MIRROR_AUTH_BEARER);
    if (out.scheme == MIRROR_AUTH_BEARER) {
        FUZZ_CHECK(strncmp(out.realm, "http://", 7) == 0 || strncmp(out.realm, "https://", 8) == 0);
        FUZZ_CHECK(printable_no_space(out.realm));
    }
    for (const char *v : {out.service, out.scope})
        for (const char *p = v; *p != '\0'; p++) FUZZ_CHECK(*p >= ' ' && *p <= '~');
    return 0;
}

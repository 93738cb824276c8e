// The mirror configuration parser on any bytes: it never reads or writes
// out of bounds, a refusal leaves no mirror and a message, and an accepted
// configuration holds only what the rules allow.
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "mirror/mirror.h"
#include "storage/reg_storage.h"

namespace {

bool printable(const char *s) {
    for (; *s != '\0'; s++)
        if (static_cast<unsigned char>(*s) < 0x20 || static_cast<unsigned char>(*s) > 0x7e) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static mirror_config config;
    char err[MIRROR_ERROR_MAX];
    memset(err, 0, sizeof err);
    // The bytes as they are: NULs and all, not terminated.
    std::string text(reinterpret_cast<const char *>(data), size);
    int rc = mirror_config_parse(text.data(), text.size(), &config, err, sizeof err);
    FUZZ_CHECK(rc == 0 || rc == -1);
    FUZZ_CHECK(memchr(err, '\0', sizeof err) != nullptr);
    if (rc != 0) {
        FUZZ_CHECK(config.count == 0);
        FUZZ_CHECK(err[0] != '\0');
        return 0;
    }
    FUZZ_CHECK(config.count <= MIRROR_ENTRIES_MAX);
    for (size_t i = 0; i < config.count; i++) {
        const mirror_entry &m = config.entries[i];
        size_t plen = strlen(m.prefix);
        if (plen > 0) {
            FUZZ_CHECK(m.prefix[plen - 1] == '/');
            std::string name(m.prefix, plen - 1);
            FUZZ_CHECK(reg_repo_name_valid(name.c_str()));
        }
        FUZZ_CHECK(strncmp(m.upstream, "http://", 7) == 0 || strncmp(m.upstream, "https://", 8) == 0);
        FUZZ_CHECK(printable(m.upstream) && strchr(m.upstream, '@') == nullptr &&
                   strchr(m.upstream, '?') == nullptr && strchr(m.upstream, '#') == nullptr);
        FUZZ_CHECK(m.upstream[strlen(m.upstream) - 1] != '/');
        FUZZ_CHECK(m.tag_ttl_seconds >= 0 && m.tag_ttl_seconds <= MIRROR_TTL_MAX);
        FUZZ_CHECK(printable(m.username) && strchr(m.username, ':') == nullptr);
        FUZZ_CHECK((m.username[0] != '\0') == (m.password_file[0] != '\0'));
        FUZZ_CHECK(printable(m.password_file) && printable(m.ca_file));
        for (size_t j = 0; j < i; j++) FUZZ_CHECK(strcmp(config.entries[j].prefix, m.prefix) != 0);
    }
    return 0;
}

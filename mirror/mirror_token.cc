// Bearer tokens of upstream registries: read from the token service's
// reply, and kept until they expire in a folder only the registry's user
// may enter, so that one request's login serves the next processes too.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <yyjson.h>

#include "digest/digest.h"
#include "mirror/mirror.h"
#include "mirror/mirror_internal.h"
#include "platform/platform.h"

namespace {

// A token is taken as expired this long before the service says.
constexpr int64_t kExpiryMargin = 10;
constexpr size_t kTokenFileMax = 16384;

char s_token_dir[MIRROR_FILE_MAX + 32];

// The cache file of (upstream, scope): its name is the SHA-256 of both, so
// no text of the upstream's reaches a path.
bool cache_path(const char *upstream, const char *scope, std::string *path) {
    const char *dir = mirror_token_dir();
    if (dir[0] == '\0') return false;
    std::string key = std::string(upstream) + "\n" + scope;
    uint8_t raw[DIGEST_MAX_SIZE];
    size_t raw_len = 0;
    if (digest_of_bytes(DIGEST_SHA256, key.data(), key.size(), raw, &raw_len) != 0) return false;
    char hex[2 * DIGEST_MAX_SIZE + 1];
    digest_to_hex(raw, raw_len, hex);
    *path = std::string(dir) + PLAT_SEP_STR + hex;
    return true;
}

}  // namespace

extern "C" void mirror_token_dir_set(const char *storage_root) {
    if (storage_root == nullptr || storage_root[0] == '\0' ||
        strlen(storage_root) >= MIRROR_FILE_MAX) {
        s_token_dir[0] = '\0';
        return;
    }
    snprintf(s_token_dir, sizeof s_token_dir, "%s%smirror-tokens", storage_root, PLAT_SEP_STR);
}

const char *mirror_token_dir(void) { return s_token_dir; }

bool mirror_token_reply_parse(const char *text, size_t len, std::string *token,
                              int64_t *expires_in) {
    if (text == nullptr || token == nullptr || expires_in == nullptr) return false;
    yyjson_doc *doc = yyjson_read(text, len, 0);
    if (doc == nullptr) return false;
    yyjson_val *root = yyjson_doc_get_root(doc);
    bool ok = false;
    if (yyjson_is_obj(root)) {
        yyjson_val *t = yyjson_obj_get(root, "token");
        if (!yyjson_is_str(t) || yyjson_get_len(t) == 0) t = yyjson_obj_get(root, "access_token");
        if (yyjson_is_str(t) && yyjson_get_len(t) > 0 &&
            strlen(yyjson_get_str(t)) == yyjson_get_len(t)) {
            ok = true;
            yyjson_val *e = yyjson_obj_get(root, "expires_in");
            if (e != nullptr) {
                if (yyjson_is_int(e) && yyjson_get_sint(e) > 0)
                    *expires_in = yyjson_get_sint(e);
                else
                    ok = false;
            }
            if (ok) token->assign(yyjson_get_str(t), yyjson_get_len(t));
        }
    }
    yyjson_doc_free(doc);
    return ok;
}

void mirror_token_store(const char *upstream, const char *scope, const char *token,
                        int64_t expires_in) {
    std::string path;
    if (expires_in <= kExpiryMargin || !cache_path(upstream, scope, &path)) return;
    int made = plat_mkdir_private(mirror_token_dir());
    if (made == PLAT_MKDIR_FAILED) return;
    // Written whole under a name of its own, then renamed over the old one.
    char tmp_suffix[48];
    snprintf(tmp_suffix, sizeof tmp_suffix, ".tmp-%lld", static_cast<long long>(plat_process_id()));
    std::string tmp = path + tmp_suffix;
    plat_remove(tmp.c_str());
    FILE *f = plat_fcreate_private(tmp.c_str());
    if (f == nullptr) return;
    char head[32];
    int n = snprintf(head, sizeof head, "%lld\n",
                     static_cast<long long>(plat_time_seconds() + expires_in - kExpiryMargin));
    bool ok = plat_fwrite(head, static_cast<size_t>(n), f) == static_cast<size_t>(n) &&
              plat_fwrite(token, strlen(token), f) == strlen(token);
    if (plat_fclose(f) != 0) ok = false;
    if (!ok || plat_rename(tmp.c_str(), path.c_str()) != 0) plat_remove(tmp.c_str());
}

bool mirror_token_load(const char *upstream, const char *scope, std::string *token) {
    std::string path;
    if (!cache_path(upstream, scope, &path)) return false;
    FILE *f = plat_fopen_regular(path.c_str());
    if (f == nullptr) return false;
    static char text[kTokenFileMax + 1];
    size_t got = plat_fread(text, kTokenFileMax, f);
    plat_fclose(f);
    text[got] = '\0';
    char *end = nullptr;
    long long expires_at = strtoll(text, &end, 10);
    bool ok = end != text && *end == '\n' && expires_at > plat_time_seconds() && end[1] != '\0';
    if (ok) token->assign(end + 1);
    memset(text, 0, sizeof text);
    return ok;
}

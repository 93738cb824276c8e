// The mirror configuration: parsed strictly, checked whole, and refused
// whole when anything in it is off, so that a broken file never leaves a
// registry half a mirror.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

#include "mirror/mirror.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"

namespace {

void fail(char *err, size_t err_size, const char *format, ...) PLAT_PRINTF_FORMAT(3, 4);
void fail(char *err, size_t err_size, const char *format, ...) {
    if (err == nullptr || err_size == 0) return;
    va_list args;
    va_start(args, format);
    vsnprintf(err, err_size, format, args);
    va_end(args);
}

bool printable(const char *s) {
    for (; *s != '\0'; s++)
        if (static_cast<unsigned char>(*s) < 0x20 || static_cast<unsigned char>(*s) > 0x7e)
            return false;
    return true;
}

bool host_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
}

bool path_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '~' || c == '/' || c == '-';
}

// Checks an upstream URL and writes it without a final '/' into out.
bool upstream_valid(const char *url, char *out, char *err, size_t err_size) {
    size_t len = strlen(url);
    if (len == 0 || len >= MIRROR_URL_MAX) {
        fail(err, err_size, "upstream must be 1 to %d bytes", MIRROR_URL_MAX - 1);
        return false;
    }
    const char *p;
    if (strncmp(url, "https://", 8) == 0)
        p = url + 8;
    else if (strncmp(url, "http://", 7) == 0)
        p = url + 7;
    else {
        fail(err, err_size, "upstream must begin with http:// or https://");
        return false;
    }
    const char *host = p;
    if (*p == '[') {
        p++;
        while ((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') || (*p >= 'A' && *p <= 'F') ||
               *p == ':' || *p == '.')
            p++;
        if (*p != ']' || p == host + 1) {
            fail(err, err_size, "upstream has a malformed IPv6 address");
            return false;
        }
        p++;
    } else {
        while (host_char(*p)) p++;
        if (p == host || host[0] == '.' || host[0] == '-' || p[-1] == '-') {
            fail(err, err_size, "upstream has no valid host");
            return false;
        }
    }
    if (*p == ':') {
        p++;
        long port = 0;
        const char *digits = p;
        while (*p >= '0' && *p <= '9' && p - digits < 6) port = port * 10 + (*p++ - '0');
        if (p == digits || port < 1 || port > 65535 || (*p >= '0' && *p <= '9')) {
            fail(err, err_size, "upstream has an invalid port");
            return false;
        }
    }
    if (*p != '\0' && *p != '/') {
        fail(err, err_size, "upstream has an invalid host");
        return false;
    }
    for (const char *q = p; *q != '\0'; q++) {
        if (!path_char(*q)) {
            fail(err, err_size,
                 "upstream may hold only a host, a port and a path of [A-Za-z0-9._~/-]"
                 " (no user, query or fragment)");
            return false;
        }
    }
    snprintf(out, MIRROR_URL_MAX, "%s", url);
    size_t out_len = strlen(out);
    while (out_len > 0 && out[out_len - 1] == '/') out[--out_len] = '\0';
    return true;
}

bool absolute_path_valid(const char *what, const char *path, char *err, size_t err_size) {
    size_t len = strlen(path);
    bool absolute = path[0] == '/' || (len > 2 && path[1] == ':' && (path[2] == '\\' || path[2] == '/'));
    if (len == 0 || len >= MIRROR_FILE_MAX || !absolute || !printable(path)) {
        fail(err, err_size, "%s must be an absolute path of printable ASCII, below %d bytes", what,
             MIRROR_FILE_MAX);
        return false;
    }
    return true;
}

bool prefix_valid(const char *prefix, char *err, size_t err_size) {
    size_t len = strlen(prefix);
    if (len == 0) return true;
    char name[MIRROR_PREFIX_MAX];
    if (len >= MIRROR_PREFIX_MAX || prefix[len - 1] != '/') {
        fail(err, err_size, "prefix must be \"\" or a repository name followed by '/': \"%.64s\"",
             printable(prefix) ? prefix : "?");
        return false;
    }
    memcpy(name, prefix, len - 1);
    name[len - 1] = '\0';
    if (!reg_repo_name_valid(name)) {
        fail(err, err_size, "prefix must be \"\" or a repository name followed by '/': \"%.64s\"",
             printable(prefix) ? prefix : "?");
        return false;
    }
    return true;
}

// One entry of "mirrors" into *out.
bool parse_entry(yyjson_val *obj, size_t index, mirror_entry *out, char *err, size_t err_size) {
    if (!yyjson_is_obj(obj)) {
        fail(err, err_size, "mirrors[%zu] must be an object", index);
        return false;
    }
    memset(out, 0, sizeof *out);
    out->tag_ttl_seconds = MIRROR_TTL_DEFAULT;
    bool have_prefix = false, have_upstream = false;
    char local[MIRROR_ERROR_MAX];
    yyjson_val *key, *value;
    yyjson_obj_iter iter = yyjson_obj_iter_with(obj);
    while ((key = yyjson_obj_iter_next(&iter)) != nullptr) {
        value = yyjson_obj_iter_get_val(key);
        const char *name = yyjson_get_str(key);
        bool is_text = yyjson_is_str(value);
        const char *text = is_text ? yyjson_get_str(value) : "";
        // A NUL inside a string would cut it short: refused.
        if (is_text && strlen(text) != yyjson_get_len(value)) {
            fail(err, err_size, "mirrors[%zu].%s holds a NUL byte", index, name);
            return false;
        }
        local[0] = '\0';
        bool ok = true;
        if (strcmp(name, "prefix") == 0) {
            ok = is_text && !have_prefix && prefix_valid(text, local, sizeof local);
            if (ok) snprintf(out->prefix, sizeof out->prefix, "%s", text);
            have_prefix = true;
        } else if (strcmp(name, "upstream") == 0) {
            ok = is_text && !have_upstream && upstream_valid(text, out->upstream, local, sizeof local);
            have_upstream = true;
        } else if (strcmp(name, "tag_ttl_seconds") == 0) {
            ok = (yyjson_is_uint(value) && yyjson_get_uint(value) <= MIRROR_TTL_MAX) ||
                 (yyjson_is_sint(value) && yyjson_get_sint(value) >= 0 &&
                  yyjson_get_sint(value) <= MIRROR_TTL_MAX);
            if (ok) out->tag_ttl_seconds = static_cast<int64_t>(yyjson_get_num(value));
            else snprintf(local, sizeof local, "must be an integer from 0 to %d", MIRROR_TTL_MAX);
        } else if (strcmp(name, "username") == 0) {
            ok = is_text && text[0] != '\0' && strlen(text) < MIRROR_USER_MAX && printable(text) &&
                 strchr(text, ':') == nullptr;
            if (ok) snprintf(out->username, sizeof out->username, "%s", text);
            else snprintf(local, sizeof local, "must be printable ASCII without ':', 1 to %d bytes",
                          MIRROR_USER_MAX - 1);
        } else if (strcmp(name, "password_file") == 0) {
            ok = is_text && absolute_path_valid("password_file", text, local, sizeof local);
            if (ok) snprintf(out->password_file, sizeof out->password_file, "%s", text);
        } else if (strcmp(name, "ca_file") == 0) {
            ok = is_text && absolute_path_valid("ca_file", text, local, sizeof local);
            if (ok) snprintf(out->ca_file, sizeof out->ca_file, "%s", text);
        } else {
            fail(err, err_size, "mirrors[%zu] has an unknown member \"%.64s\"", index,
                 printable(name) ? name : "?");
            return false;
        }
        if (!ok) {
            fail(err, err_size, "mirrors[%zu].%s is invalid%s%s", index, name,
                 local[0] != '\0' ? ": " : "", local);
            return false;
        }
    }
    if (!have_prefix || !have_upstream) {
        fail(err, err_size, "mirrors[%zu] needs a prefix and an upstream", index);
        return false;
    }
    if ((out->username[0] != '\0') != (out->password_file[0] != '\0')) {
        fail(err, err_size, "mirrors[%zu]: username and password_file go together", index);
        return false;
    }
    return true;
}

// Reads the first line of a password file into out (size bytes): 0 when it
// holds one, -1 otherwise.
int read_first_line(const char *path, char *out, size_t size) {
    FILE *f = plat_fopen_regular(path);
    if (f == nullptr) return -1;
    size_t got = plat_fread(out, size - 1, f);
    plat_fclose(f);
    out[got] = '\0';
    out[strcspn(out, "\r\n")] = '\0';
    return out[0] != '\0' ? 0 : -1;
}

}  // namespace

extern "C" {

int mirror_config_parse(const char *text, size_t len, mirror_config *out, char *err,
                        size_t err_size) {
    if (out == nullptr) return -1;
    memset(out, 0, sizeof *out);
    if (text == nullptr) {
        fail(err, err_size, "no configuration");
        return -1;
    }
    yyjson_doc *doc = yyjson_read(text, len, 0);
    if (doc == nullptr) {
        fail(err, err_size, "the configuration is not valid JSON");
        return -1;
    }
    yyjson_val *root = yyjson_doc_get_root(doc);
    yyjson_val *mirrors = yyjson_is_obj(root) ? yyjson_obj_get(root, "mirrors") : nullptr;
    bool ok = true;
    if (!yyjson_is_obj(root) || yyjson_obj_size(root) != 1 || !yyjson_is_arr(mirrors)) {
        fail(err, err_size, "the configuration must be an object with one member, \"mirrors\", an array");
        ok = false;
    } else if (yyjson_arr_size(mirrors) > MIRROR_ENTRIES_MAX) {
        fail(err, err_size, "at most %d mirrors", MIRROR_ENTRIES_MAX);
        ok = false;
    } else {
        size_t index, count;
        yyjson_val *entry;
        yyjson_arr_foreach(mirrors, index, count, entry) {
            if (!ok) break;
            ok = parse_entry(entry, index, &out->entries[index], err, err_size);
            for (size_t other = 0; ok && other < index; other++) {
                if (strcmp(out->entries[other].prefix, out->entries[index].prefix) == 0) {
                    fail(err, err_size, "mirrors[%zu] repeats the prefix of mirrors[%zu]", index,
                         other);
                    ok = false;
                }
            }
            if (ok) out->count = index + 1;
        }
    }
    yyjson_doc_free(doc);
    if (!ok) memset(out, 0, sizeof *out);
    return ok ? 0 : -1;
}

int mirror_config_load(const char *path, mirror_config *out, char *err, size_t err_size) {
    if (out == nullptr) return -1;
    memset(out, 0, sizeof *out);
    if (path == nullptr || path[0] == '\0') {
        fail(err, err_size, "no configuration file");
        return -1;
    }
    FILE *f = plat_fopen_regular(path);
    if (f == nullptr) {
        fail(err, err_size, "cannot read the mirror configuration %.256s", path);
        return -1;
    }
    char *text = static_cast<char *>(malloc(MIRROR_CONFIG_FILE_MAX + 1));
    if (text == nullptr) {
        plat_fclose(f);
        fail(err, err_size, "out of memory");
        return -1;
    }
    size_t len = plat_fread(text, MIRROR_CONFIG_FILE_MAX + 1, f);
    bool read_failed = ferror(f) != 0;
    plat_fclose(f);
    int rc = -1;
    if (read_failed)
        fail(err, err_size, "cannot read the mirror configuration %.256s", path);
    else if (len > MIRROR_CONFIG_FILE_MAX)
        fail(err, err_size, "the mirror configuration is larger than %d bytes",
             MIRROR_CONFIG_FILE_MAX);
    else
        rc = mirror_config_parse(text, len, out, err, err_size);
    free(text);
    for (size_t i = 0; rc == 0 && i < out->count; i++) {
        const mirror_entry *m = &out->entries[i];
        char line[1024];
        if (m->password_file[0] != '\0' && read_first_line(m->password_file, line, sizeof line) != 0) {
            fail(err, err_size, "mirrors[%zu]: no password in %.256s", i, m->password_file);
            rc = -1;
        }
        memset(line, 0, sizeof line);
        if (rc == 0 && m->ca_file[0] != '\0') {
            FILE *ca = plat_fopen_regular(m->ca_file);
            if (ca == nullptr) {
                fail(err, err_size, "mirrors[%zu]: cannot read ca_file %.256s", i, m->ca_file);
                rc = -1;
            } else {
                plat_fclose(ca);
            }
        }
    }
    if (rc != 0) memset(out, 0, sizeof *out);
    return rc;
}

const mirror_entry *mirror_match(const mirror_config *config, const char *repo,
                                 const char **out_rest) {
    if (config == nullptr || repo == nullptr) return nullptr;
    const mirror_entry *best = nullptr;
    size_t best_len = 0;
    for (size_t i = 0; i < config->count; i++) {
        const mirror_entry *m = &config->entries[i];
        size_t len = strlen(m->prefix);
        if (strncmp(repo, m->prefix, len) != 0 || repo[len] == '\0') continue;
        if (best == nullptr || len > best_len) {
            best = m;
            best_len = len;
        }
    }
    if (best != nullptr && out_rest != nullptr) *out_rest = repo + best_len;
    return best;
}

}  // extern "C"

// The endpoints' side of the mirror: the deployment's configuration, loaded
// once per process and refused whole when broken, and the refusal of writes
// into mirrored repositories.
#include "endpoint/mirror_glue.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "storage/reg_storage.h"

namespace {

mirror_config s_config;
char s_loaded_path[MIRROR_FILE_MAX];
bool s_loaded = false;

}  // namespace

extern "C" {

void endpoint_mirror_log(const char *format, ...) {
    char text[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    char line[3 * sizeof text + 32];
    size_t n = 0;
    static const char hex[] = "0123456789ABCDEF";
    for (const char *p = text; *p != '\0' && n + 4 < sizeof line; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c > 0x7e || c == '%') {
            line[n++] = '%';
            line[n++] = hex[c >> 4];
            line[n++] = hex[c & 15];
        } else {
            line[n++] = static_cast<char>(c);
        }
    }
    line[n] = '\0';
    fprintf(stderr, "registry-mirror: %s\n", line);
    fflush(stderr);
}

const mirror_config *endpoint_mirrors(void) {
    const char *path = cgi_env("REGISTRY_MIRRORS", "");
    if (path[0] == '\0') return nullptr;
    if (s_loaded && strcmp(path, s_loaded_path) == 0) return &s_config;
    s_loaded = false;
    char err[MIRROR_ERROR_MAX];
    if (strlen(path) >= sizeof s_loaded_path ||
        mirror_config_load(path, &s_config, err, sizeof err) != 0) {
        if (strlen(path) >= sizeof s_loaded_path) snprintf(err, sizeof err, "path too long");
        endpoint_mirror_log("the mirror configuration %s is refused: %s", path, err);
        oci_send_error(500, "STORAGE_ERROR", "mirror configuration invalid");
    }
    snprintf(s_loaded_path, sizeof s_loaded_path, "%s", path);
    s_loaded = true;
    return &s_config;
}

const mirror_entry *endpoint_mirror_of(const char *name, const char **rest) {
    const mirror_config *config = endpoint_mirrors();
    if (config == nullptr) return nullptr;
    return mirror_match(config, name, rest);
}

void endpoint_refuse_write_into_mirror(const char *name) {
    const char *rest = nullptr;
    if (endpoint_mirror_of(name, &rest) != nullptr)
        oci_send_error(405, "UNSUPPORTED", "this repository is a mirror");
}

}  // extern "C"

// The choice of the storage root, shared by every program over one store:
// the CGI programs and the command-line tool choose it the same way.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "storage/state.h"

namespace {

constexpr size_t kConfigRootMax = 1023;
constexpr size_t kConfigTextMax = 2047;

void copy_cut(char *out, size_t size, const char *text) {
    size_t len = strnlen(text, size - 1);
    memcpy(out, text, len);
    out[len] = '\0';
}

}  // namespace

void root_from_config_text(const char *text, char *root, size_t size) {
    const char *key = strstr(text, "\"storage_root\":");
    if (key == nullptr) key = strstr(text, "\"registry_storage_root\":");
    if (key == nullptr) return;
    const char *colon = strchr(key, ':');
    const char *open = strchr(colon, '"');
    if (open == nullptr) return;
    const char *close = strchr(open + 1, '"');
    if (close == nullptr) return;
    size_t len = static_cast<size_t>(close - (open + 1));
    if (len > kConfigRootMax || len >= size) return;
    memcpy(root, open + 1, len);
    root[len] = '\0';
}

extern "C" {

void reg_choose_storage_root(char *root, size_t size) {
    if (root == nullptr || size == 0) return;
    memset(root, 0, size);
    const char *env = getenv("REGISTRY_STORAGE_ROOT");
    if (env != nullptr && env[0] != '\0') {
        copy_cut(root, size < REG_ROOT_CHOICE_MAX ? size : REG_ROOT_CHOICE_MAX, env);
    } else {
        FILE *f = plat_fopen("config.json", "rb");
        if (f != nullptr) {
            char text[kConfigTextMax + 1] = {0};
            size_t n = plat_fread(text, kConfigTextMax, f);
            // A file that cannot be read counts as one that does not open:
            // a part of it is no configuration.
            if (ferror(f) != 0) n = 0;
            fclose(f);
            text[n] = '\0';
            root_from_config_text(text, root, size);
        }
    }
    if (root[0] == '\0') copy_cut(root, size, "./registry_storage");
}

}  // extern "C"

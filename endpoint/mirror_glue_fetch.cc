// The fetching programs' side of the mirror: a build without one refuses a
// configured mirror, and the token cache lives under the request's root.
// Apart from mirror_glue.cc, so that a program that only refuses writes
// into a mirror does not link the HTTP client.
#include <cstdlib>
#include <cstring>

#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "endpoint/mirror_glue.h"
#include "storage/reg_storage.h"

extern "C" {

void endpoint_mirror_ready(void) {
    if (endpoint_mirrors() == nullptr) return;
    if (!mirror_available()) {
        endpoint_mirror_log("REGISTRY_MIRRORS is set, but the mirror is not available in this build");
        oci_send_error(500, "STORAGE_ERROR", "mirror not available in this build");
    }
    const char *root = cgi_env("REGISTRY_STORAGE_ROOT", "");
    char chosen[REG_ROOT_CHOICE_MAX];
    if (root[0] == '\0') {
        reg_choose_storage_root(chosen, sizeof chosen);
        root = chosen;
    }
    mirror_token_dir_set(root);
    mirror_timeouts_set(strtol(cgi_env("REGISTRY_MIRROR_CONNECT_TIMEOUT", "0"), nullptr, 10),
                        strtol(cgi_env("REGISTRY_MIRROR_STALL_TIMEOUT", "0"), nullptr, 10));
}

}  // extern "C"

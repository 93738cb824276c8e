// A build without an HTTP client (the Windows build: Debian ships no
// libcurl for mingw-w64): the mirror is absent, and a deployment that
// configures one is refused at start by the programs.
#include "mirror/mirror.h"

extern "C" {

int mirror_available(void) { return 0; }

void mirror_token_dir_set(const char *) {}

void mirror_timeouts_set(long, long) {}

mirror_result mirror_sync_manifest(const mirror_entry *, const char *, const char *, const char *,
                                   char *err, size_t err_size) {
    if (err != nullptr && err_size > 0) err[0] = '\0';
    return MIRROR_UNAVAILABLE;
}

mirror_result mirror_fetch_blob(const mirror_entry *, const char *, const char *, int,
                                const mirror_blob_sink *, char *err, size_t err_size) {
    if (err != nullptr && err_size > 0) err[0] = '\0';
    return MIRROR_UNAVAILABLE;
}

mirror_result mirror_sync_referrers(const mirror_entry *, const char *, const char *, const char *,
                                    const char *, char *err, size_t err_size) {
    if (err != nullptr && err_size > 0) err[0] = '\0';
    return MIRROR_UNAVAILABLE;
}

}  // extern "C"

// sha512_file: the whole file through sha512_update, whichever
// implementation this build uses.
#include <cstdio>

#include "digest/sha512.h"
#include "platform/platform.h"

extern "C" {

int sha512_file(const char *path, uint8_t out[SHA512_DIGEST_SIZE]) {
    FILE *f = plat_fopen(path, "rb");
    if (f == nullptr) return -1;
    sha512_ctx ctx;
    if (sha512_init(&ctx) != 0) {
        fclose(f);
        return -1;
    }
    uint8_t buffer[65536];
    size_t n;
    while ((n = plat_fread(buffer, sizeof buffer, f)) > 0) sha512_update(&ctx, buffer, n);
    int failed = ferror(f);
    fclose(f);
    if (failed) {
        sha512_discard(&ctx);
        return -1;
    }
    sha512_final(&ctx, out);
    return 0;
}

}  // extern "C"

// The algorithm-neutral digest interface: each call goes to the one
// algorithm a context or a call names.
#include "digest/digest.h"

#include <cstring>
#include <initializer_list>

extern "C" {

const char *digest_algo_prefix(digest_algo algo) { return algo == DIGEST_SHA512 ? "sha512:" : "sha256:"; }

size_t digest_algo_size(digest_algo algo) { return algo == DIGEST_SHA512 ? SHA512_DIGEST_SIZE : 32; }

size_t digest_algo_hex_len(digest_algo algo) { return 2 * digest_algo_size(algo); }

int digest_algo_from_prefix(const char *text, digest_algo *algo) {
    for (digest_algo candidate : {DIGEST_SHA256, DIGEST_SHA512}) {
        const char *prefix = digest_algo_prefix(candidate);
        if (strncmp(text, prefix, strlen(prefix)) == 0) {
            *algo = candidate;
            return 0;
        }
    }
    return -1;
}

int digest_init(digest_ctx *ctx, digest_algo algo) {
    ctx->algo = algo;
    switch (algo) {
    case DIGEST_SHA256:
        sha256_init(&ctx->u.sha256);
        return 0;
    case DIGEST_SHA512:
        return sha512_init(&ctx->u.sha512);
    }
    return -1;
}

void digest_update(digest_ctx *ctx, const void *data, uint64_t len) {
    if (ctx->algo == DIGEST_SHA512)
        sha512_update(&ctx->u.sha512, data, len);
    else
        sha256_update(&ctx->u.sha256, data, len);
}

size_t digest_final(digest_ctx *ctx, uint8_t out[DIGEST_MAX_SIZE]) {
    if (ctx->algo == DIGEST_SHA512)
        sha512_final(&ctx->u.sha512, out);
    else
        sha256_final(&ctx->u.sha256, out);
    return digest_algo_size(ctx->algo);
}

void digest_discard(digest_ctx *ctx) {
    // A SHA-256 context holds nothing to release.
    if (ctx->algo == DIGEST_SHA512) sha512_discard(&ctx->u.sha512);
}

int digest_of_bytes(digest_algo algo, const void *data, uint64_t len, uint8_t out[DIGEST_MAX_SIZE],
                    size_t *out_len) {
    digest_ctx ctx;
    if (digest_init(&ctx, algo) != 0) return -1;
    digest_update(&ctx, data, len);
    *out_len = digest_final(&ctx, out);
    return 0;
}

int digest_of_file(digest_algo algo, const char *path, uint8_t out[DIGEST_MAX_SIZE], size_t *out_len) {
    int rc = algo == DIGEST_SHA512 ? sha512_file(path, out) : sha256_file(path, out);
    if (rc != 0) return -1;
    *out_len = digest_algo_size(algo);
    return 0;
}

void digest_to_hex(const uint8_t *raw, size_t size, char *hex) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; i++) {
        hex[2 * i] = digits[raw[i] >> 4];
        hex[2 * i + 1] = digits[raw[i] & 15];
    }
    hex[2 * size] = '\0';
}

}  // extern "C"

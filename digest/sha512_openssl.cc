// SHA-512 through libcrypto's EVP interface: the state is an EVP_MD_CTX.
#include <openssl/evp.h>

#include "digest/sha512.h"

extern "C" {

int sha512_init(sha512_ctx *ctx) {
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    if (md == nullptr || EVP_DigestInit_ex(md, EVP_sha512(), nullptr) != 1) {
        EVP_MD_CTX_free(md);
        ctx->impl = nullptr;
        return -1;
    }
    ctx->impl = md;
    return 0;
}

void sha512_update(sha512_ctx *ctx, const void *data, uint64_t len) {
    // EVP_DigestUpdate takes a size_t; on 64-bit builds that is the whole
    // count, and it cannot fail for a digest that started.
    if (len > 0) EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(ctx->impl), data, static_cast<size_t>(len));
}

void sha512_final(sha512_ctx *ctx, uint8_t out[SHA512_DIGEST_SIZE]) {
    EVP_MD_CTX *md = static_cast<EVP_MD_CTX *>(ctx->impl);
    unsigned int n = 0;
    EVP_DigestFinal_ex(md, out, &n);
    EVP_MD_CTX_free(md);
    ctx->impl = nullptr;
}

void sha512_discard(sha512_ctx *ctx) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(ctx->impl));
    ctx->impl = nullptr;
}

}  // extern "C"

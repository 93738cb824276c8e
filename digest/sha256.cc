// SHA-256 (FIPS 180-4): buffering, closing and file digests, the portable
// compression path, and the run-time choice of compression path.
#include "digest/sha256.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "digest/sha256_internal.h"
#include "platform/platform.h"

#ifdef SHA256_HAVE_SHA_EXTENSIONS_PATH
#include <cpuid.h>
#endif

namespace sha256_internal {

const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

namespace {

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Compresses one 64-byte block into state: sixteen big-endian words
// expanded to the 64-word message schedule, 64 rounds, then the word-wise
// addition into state.
void compress_one_block(uint32_t state[8], const uint8_t block[64]) {
    uint32_t w[64];
    for (int i = 0; i < 16; i++) w[i] = load_be32(block + 4 * i);
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; i++) {
        uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        uint32_t ch = (e & f) ^ (~e & g);
        uint32_t t1 = h + s1 + ch + K[i] + w[i];
        uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        uint32_t t2 = s0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

// The path in use; empty until the first digest chooses one. Constant
// initialised, so nothing runs at program start. Atomic because several
// threads may make the first choice at the same time; they all store the
// same value.
std::atomic<compress_fn> s_compress{nullptr};

compress_fn path_for_this_cpu() {
#ifdef SHA256_HAVE_SHA_EXTENSIONS_PATH
    if (cpu_has_sha_extensions()) return compress_sha_extensions;
#endif
    return compress_portable;
}

}  // namespace

void compress_portable(uint32_t state[8], const uint8_t *blocks, size_t block_count) {
    for (size_t i = 0; i < block_count; i++) compress_one_block(state, blocks + 64 * i);
}

// Asks the CPU itself (CPUID): leaf 1 reports SSSE3 (ECX bit 9) and SSE4.1
// (ECX bit 19), leaf 7 subleaf 0 the SHA extensions (EBX bit 29).
bool cpu_has_sha_extensions() {
#ifdef SHA256_HAVE_SHA_EXTENSIONS_PATH
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool ssse3 = (ecx >> 9) & 1, sse41 = (ecx >> 19) & 1;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool sha = (ebx >> 29) & 1;
    return ssse3 && sse41 && sha;
#else
    return false;
#endif
}

compress_fn chosen_compress() {
    compress_fn chosen = s_compress.load(std::memory_order_relaxed);
    if (chosen == nullptr) {
        chosen = path_for_this_cpu();
        s_compress.store(chosen, std::memory_order_relaxed);
    }
    return chosen;
}

void force_portable(bool portable) {
    s_compress.store(portable ? compress_portable : path_for_this_cpu(), std::memory_order_relaxed);
}

}  // namespace sha256_internal

namespace {

// Compresses the one 64-byte block into state with the chosen path.
void sha256_transform(uint32_t state[8], const uint8_t block[64]) {
    sha256_internal::chosen_compress()(state, block, 1);
}

}  // namespace

extern "C" {

void sha256_init(sha256_ctx *ctx) {
    static const uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memcpy(ctx->state, initial, sizeof initial);
    ctx->bit_count = 0;
    ctx->block_len = 0;
}

// Leaves the context exactly as if every byte had been copied through
// block one at a time (state, bit_count, block_len and the bytes in block),
// but compresses the whole blocks in the middle of the data straight from
// the caller's memory, in one call to the compression path.
void sha256_update(sha256_ctx *ctx, const void *data, uint64_t len) {
    if (len == 0) return;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    // Counting all bits at once gives the same sum modulo 2^64 as counting
    // them piece by piece.
    ctx->bit_count += 8 * len;
    if (ctx->block_len > 0) {
        uint64_t n = 64 - ctx->block_len;
        if (n > len) n = len;
        memcpy(ctx->block + ctx->block_len, p, n);
        ctx->block_len += n;
        p += n;
        len -= n;
        if (ctx->block_len < 64) return;
        sha256_transform(ctx->state, ctx->block);
        ctx->block_len = 0;
    }
    uint64_t whole_blocks = len / 64;
    if (whole_blocks > 0) {
        sha256_internal::chosen_compress()(ctx->state, p, whole_blocks);
        // The last whole block is what block would hold had it passed through.
        memcpy(ctx->block, p + 64 * (whole_blocks - 1), 64);
        p += 64 * whole_blocks;
        len -= 64 * whole_blocks;
    }
    memcpy(ctx->block, p, len);
    ctx->block_len = len;
}

void sha256_final(sha256_ctx *ctx, uint8_t out[32]) {
    uint64_t bits = ctx->bit_count;
    const uint8_t one = 0x80, zero = 0x00;
    sha256_update(ctx, &one, 1);
    while (ctx->block_len != 56) sha256_update(ctx, &zero, 1);
    uint8_t length[8];
    for (int i = 0; i < 8; i++) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    sha256_update(ctx, length, 8);
    for (int i = 0; i < 8; i++) {
        out[4 * i] = static_cast<uint8_t>(ctx->state[i] >> 24);
        out[4 * i + 1] = static_cast<uint8_t>(ctx->state[i] >> 16);
        out[4 * i + 2] = static_cast<uint8_t>(ctx->state[i] >> 8);
        out[4 * i + 3] = static_cast<uint8_t>(ctx->state[i]);
    }
}

int sha256_file(const char *path, uint8_t out[32]) {
    FILE *f = plat_fopen(path, "rb");
    if (f == nullptr) return -1;
    sha256_ctx ctx;
    sha256_init(&ctx);
    uint8_t buffer[65536];
    size_t n;
    while ((n = plat_fread(buffer, sizeof buffer, f)) > 0) sha256_update(&ctx, buffer, n);
    int failed = ferror(f);
    fclose(f);
    if (failed) return -1;
    sha256_final(&ctx, out);
    return 0;
}

void sha256_hmac(const void *key, uint64_t key_len, const void *data, uint64_t len,
                 uint8_t out[32]) {
    uint8_t block[64] = {0};
    if (key_len > sizeof block) {
        sha256_ctx k;
        sha256_init(&k);
        sha256_update(&k, key, key_len);
        sha256_final(&k, block);
    } else if (key_len > 0) {
        memcpy(block, key, static_cast<size_t>(key_len));
    }
    uint8_t pad[64];
    for (size_t i = 0; i < sizeof pad; i++) pad[i] = static_cast<uint8_t>(block[i] ^ 0x36);
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, pad, sizeof pad);
    sha256_update(&ctx, data, len);
    uint8_t inner[32];
    sha256_final(&ctx, inner);
    for (size_t i = 0; i < sizeof pad; i++) pad[i] = static_cast<uint8_t>(block[i] ^ 0x5c);
    sha256_init(&ctx);
    sha256_update(&ctx, pad, sizeof pad);
    sha256_update(&ctx, inner, sizeof inner);
    sha256_final(&ctx, out);
}

}  // extern "C"

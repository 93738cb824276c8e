/*
 * sha256.h - SHA-256 (FIPS 180-4) over memory and files.
 */
#ifndef DIGEST_SHA256_H
#define DIGEST_SHA256_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The state of one digest computation. Holds no resource: drop it freely. */
typedef struct sha256_ctx {
    uint32_t state[8];  /* running hash value */
    uint64_t bit_count; /* message bits absorbed, modulo 2^64 */
    uint8_t block[64];  /* the block being filled */
    uint64_t block_len; /* bytes held in block, 0 to 63 between calls */
} sha256_ctx;

/* Starts a computation: the initial hash value, no bits, an empty block. */
void sha256_init(sha256_ctx *ctx);

/* Absorbs len bytes at data. A len of 0 does nothing and reads nothing. */
void sha256_update(sha256_ctx *ctx, const void *data, uint64_t len);

/* Closes the computation and writes the 32-byte digest to out. The context
 * is spent afterwards; start again with sha256_init. */
void sha256_final(sha256_ctx *ctx, uint8_t out[32]);

/* Digests the whole file at path, read in 64 KiB pieces. 0 with the digest
 * in out; -1 when the file cannot be opened or read, out untouched. */
int sha256_file(const char *path, uint8_t out[32]);

/* HMAC-SHA256 (RFC 2104) of len bytes at data under the key of key_len
 * bytes, written to out (32 bytes): the tag that proves a text came from a
 * holder of the key. A key longer than 64 bytes is hashed first. */
void sha256_hmac(const void *key, uint64_t key_len, const void *data, uint64_t len,
                 uint8_t out[32]);

#ifdef __cplusplus
}
#endif

#endif

/*
 * sha512.h - SHA-512 (FIPS 180-4) over memory and files.
 *
 * On Linux the compression is libcrypto's (its assembly is the fastest this
 * machine has); on Windows it is this module's portable code. Both give the
 * same digests and keep the same contracts.
 */
#ifndef DIGEST_SHA512_H
#define DIGEST_SHA512_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes in a SHA-512 digest. */
#define SHA512_DIGEST_SIZE 64

/* The state of one digest computation. From a successful sha512_init until
 * sha512_final or sha512_discard it owns memory of the implementation;
 * release it with one of those two. */
typedef struct sha512_ctx {
    void *impl; /* the implementation's state; NULL when none is held */
} sha512_ctx;

/* Starts a computation: the initial hash value, no bits. 0 on success; -1
 * when the state cannot be allocated, and then ctx holds nothing. */
int sha512_init(sha512_ctx *ctx);

/* Absorbs len bytes at data. A len of 0 does nothing and reads nothing. */
void sha512_update(sha512_ctx *ctx, const void *data, uint64_t len);

/* Closes the computation, writes the 64-byte digest to out and releases the
 * state. The context is spent afterwards; start again with sha512_init. */
void sha512_final(sha512_ctx *ctx, uint8_t out[SHA512_DIGEST_SIZE]);

/* Releases the state of a computation that will not be closed. Does
 * nothing to a context that holds none (spent, or failed to start). */
void sha512_discard(sha512_ctx *ctx);

/* Digests the whole file at path, read in 64 KiB pieces. 0 with the digest
 * in out; -1 when the file cannot be opened or read, or the state cannot be
 * allocated, out untouched. */
int sha512_file(const char *path, uint8_t out[SHA512_DIGEST_SIZE]);

#ifdef __cplusplus
}
#endif

#endif

/*
 * digest.h - one interface over the content digests the registry knows:
 * "the digest of these bytes in algorithm X", the algorithm named by the
 * prefix of a digest string ("sha256:", "sha512:").
 */
#ifndef DIGEST_DIGEST_H
#define DIGEST_DIGEST_H

#include <stddef.h>
#include <stdint.h>

#include "digest/sha256.h"
#include "digest/sha512.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The largest raw digest of any algorithm here, in bytes (SHA-512's). */
#define DIGEST_MAX_SIZE 64
/* The longest hex form of any algorithm here, in characters, without the
 * prefix and without a terminating NUL. */
#define DIGEST_MAX_HEX_LEN 128

typedef enum digest_algo {
    DIGEST_SHA256,
    DIGEST_SHA512,
} digest_algo;

/* The prefix that names algo in a digest string, colon included:
 * "sha256:" or "sha512:". */
const char *digest_algo_prefix(digest_algo algo);

/* The size of algo's raw digest in bytes: 32 or 64. */
size_t digest_algo_size(digest_algo algo);

/* The number of hex digits in algo's digest string after the prefix: 64 or
 * 128. */
size_t digest_algo_hex_len(digest_algo algo);

/* Reads the algorithm from the prefix of text (a NUL-terminated digest
 * string such as "sha512:<hex>"): 0 with *algo set when text begins with
 * "sha256:" or "sha512:"; -1 otherwise, *algo untouched. Only the prefix is
 * looked at; the hex after it is the caller's to check. */
int digest_algo_from_prefix(const char *text, digest_algo *algo);

/* One digest computation in one algorithm. From a successful digest_init
 * until digest_final or digest_discard it may own memory (SHA-512's state);
 * release it with one of those two. */
typedef struct digest_ctx {
    digest_algo algo;
    union {
        sha256_ctx sha256;
        sha512_ctx sha512;
    } u;
} digest_ctx;

/* Starts a computation in algo. 0 on success; -1 when the state cannot be
 * allocated or algo is not one of digest_algo's values, and then ctx holds
 * nothing to release. */
int digest_init(digest_ctx *ctx, digest_algo algo);

/* Absorbs len bytes at data. A len of 0 does nothing and reads nothing. */
void digest_update(digest_ctx *ctx, const void *data, uint64_t len);

/* Closes the computation, writes the raw digest to out (room for
 * DIGEST_MAX_SIZE bytes) and returns its length, digest_algo_size of the
 * algorithm. Releases the state; start again with digest_init. */
size_t digest_final(digest_ctx *ctx, uint8_t out[DIGEST_MAX_SIZE]);

/* Releases the state of a computation that will not be closed. */
void digest_discard(digest_ctx *ctx);

/* The digest of len bytes at data in algo, written to out (room for
 * DIGEST_MAX_SIZE bytes), its length in *out_len. 0 on success; -1 when
 * digest_init fails, out and *out_len untouched. */
int digest_of_bytes(digest_algo algo, const void *data, uint64_t len, uint8_t out[DIGEST_MAX_SIZE],
                    size_t *out_len);

/* The digest of the whole file at path in algo, as digest_of_bytes writes
 * it. 0 on success; -1 when the file cannot be opened or read or the state
 * cannot be allocated, out and *out_len untouched. */
int digest_of_file(digest_algo algo, const char *path, uint8_t out[DIGEST_MAX_SIZE], size_t *out_len);

/* Writes the lowercase hex of the size bytes at raw to hex followed by a
 * NUL; hex has room for 2 * size + 1 characters. */
void digest_to_hex(const uint8_t *raw, size_t size, char *hex);

#ifdef __cplusplus
}
#endif

#endif

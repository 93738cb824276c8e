// Streamed against one-shot digests, in both algorithms. The input is
// <flags> <count> <count piece sizes> <message>: bit 0 of flags picks
// SHA-512 (else SHA-256), bits 1-2 scale each piece size by 1 to 4 so that
// pieces longer than a 128-byte block occur; pieces of 0 bytes are fed as
// well. The digest of the message fed in those pieces (the rest after the
// last) must equal digest_of_bytes of the whole message.
#include <cstring>

#include "digest/digest.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    digest_algo algo = (data[0] & 1) ? DIGEST_SHA512 : DIGEST_SHA256;
    size_t splits = data[1];
    size_t scale = 1 + ((data[0] >> 1) & 3);
    if (size < 2 + splits) return 0;
    const uint8_t *message = data + 2 + splits;
    size_t len = size - 2 - splits;

    uint8_t whole[DIGEST_MAX_SIZE];
    size_t whole_len = 0;
    FUZZ_CHECK(digest_of_bytes(algo, message, len, whole, &whole_len) == 0);

    digest_ctx ctx;
    FUZZ_CHECK(digest_init(&ctx, algo) == 0);
    size_t at = 0;
    for (size_t i = 0; i < splits && at < len; i++) {
        size_t n = data[2 + i] * scale;
        if (n > len - at) n = len - at;
        digest_update(&ctx, message + at, n);
        at += n;
    }
    digest_update(&ctx, message + at, len - at);
    uint8_t pieces[DIGEST_MAX_SIZE];
    FUZZ_CHECK(digest_final(&ctx, pieces) == whole_len);
    FUZZ_CHECK(whole_len == digest_algo_size(algo));
    FUZZ_CHECK(memcmp(pieces, whole, whole_len) == 0);
    return 0;
}

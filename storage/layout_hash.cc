// The digest of content in the algorithm a digest string names: kept in an
// object file of its own, so that only the programs that hash (uploads,
// manifest puts, the integrity check) link the second algorithm's code.
#include <cstring>

#include "digest/digest.h"
#include "storage/layout.h"

int content_hex_of(const char *like, const void *data, uint64_t len, char *out_hex) {
    digest_algo algo = DIGEST_SHA256;
    if (like != nullptr && strncmp(like, "sha512:", 7) == 0) algo = DIGEST_SHA512;
    uint8_t raw[DIGEST_MAX_SIZE];
    size_t size = 0;
    if (digest_of_bytes(algo, data, len, raw, &size) != 0) return -1;
    digest_to_hex(raw, size, out_hex);
    return 0;
}

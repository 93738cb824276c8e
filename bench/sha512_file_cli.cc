// Prints the SHA-512 of each file named on the command line, computed with
// sha512_file, in the form "<hex>  <path>". scripts/bench times it against
// `openssl dgst -sha512` on the same file. Exit status 1 when a file cannot
// be read.
#include <cstdint>
#include <cstdio>

#include "digest/digest.h"

int main(int argc, char **argv) {
    int status = 0;
    for (int i = 1; i < argc; i++) {
        uint8_t digest[SHA512_DIGEST_SIZE];
        if (sha512_file(argv[i], digest) != 0) {
            fprintf(stderr, "sha512_file_cli: cannot read %s\n", argv[i]);
            status = 1;
            continue;
        }
        char hex[2 * SHA512_DIGEST_SIZE + 1];
        digest_to_hex(digest, sizeof digest, hex);
        printf("%s  %s\n", hex, argv[i]);
    }
    return status;
}

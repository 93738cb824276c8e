// Prints the SHA-256 of each file named on the command line, computed with
// sha256_file, in the form "<hex>  <path>". scripts/bench times it against
// `openssl dgst -sha256` on the same file. Exit status 1 when a file cannot
// be read.
#include <cstdint>
#include <cstdio>

#include "digest/sha256.h"

int main(int argc, char **argv) {
    int status = 0;
    for (int i = 1; i < argc; i++) {
        uint8_t digest[32];
        if (sha256_file(argv[i], digest) != 0) {
            fprintf(stderr, "sha256_file_cli: cannot read %s\n", argv[i]);
            status = 1;
            continue;
        }
        char hex[65];
        for (int b = 0; b < 32; b++) snprintf(hex + 2 * b, 3, "%02x", digest[b]);
        printf("%s  %s\n", hex, argv[i]);
    }
    return status;
}

// Private to the digest module and its tests: the compression paths and the
// choice between them. Not part of the module's interface.
#ifndef DIGEST_SHA256_INTERNAL_H
#define DIGEST_SHA256_INTERNAL_H

#include <cstddef>
#include <cstdint>

namespace sha256_internal {

// The standard's 64 round constants.
extern const uint32_t K[64];

// A compression path: compresses block_count consecutive 64-byte blocks
// starting at blocks into state, in order, with the standard's compression
// function. A block_count of 0 leaves state as it is and reads nothing.
using compress_fn = void (*)(uint32_t state[8], const uint8_t *blocks, size_t block_count);

// The portable compression path: plain C++ for every CPU.
void compress_portable(uint32_t state[8], const uint8_t *blocks, size_t block_count);

// The compression path with the x86 SHA extensions. Call it only when
// cpu_has_sha_extensions() is true; on other builds it does not exist.
#if defined(__x86_64__) || defined(__i386__)
#define SHA256_HAVE_SHA_EXTENSIONS_PATH 1
void compress_sha_extensions(uint32_t state[8], const uint8_t *blocks, size_t block_count);
#endif

// True when this build has the SHA-extensions path and the CPU it runs on
// executes the SHA, SSSE3 and SSE4.1 instructions it needs.
bool cpu_has_sha_extensions();

// The path sha256_update and sha256_final use: chosen on first use (the
// SHA-extensions path where the CPU has them, else the portable one) and
// kept for the life of the process unless a test forces it.
compress_fn chosen_compress();

// Makes sha256_update and sha256_final use the portable path (true), or the
// path the CPU allows (false). For tests and benchmarks only. Both paths
// give the same results, so a switch while a digest is under way does not
// change that digest.
void force_portable(bool portable);

}  // namespace sha256_internal

#endif

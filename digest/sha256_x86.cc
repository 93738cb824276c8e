// The SHA-256 compression path with the x86 SHA extensions. Only this
// function is compiled for those instructions, so the rest of the program
// still runs on CPUs without them; it is called only after the CPU check.
#include "digest/sha256_internal.h"

#ifdef SHA256_HAVE_SHA_EXTENSIONS_PATH

#include <immintrin.h>

namespace sha256_internal {

// The SHA instructions keep the eight working variables in two registers,
// one holding A, B, E, F and the other C, D, G, H, from the highest 32-bit
// lane down. sha256rnds2 runs two rounds: it takes the CDGH and ABEF
// registers and the two schedule words plus constants in the low lanes of a
// third, and returns the new ABEF; the new CDGH is the old ABEF.
// sha256msg1 and sha256msg2 compute the sigma0 and sigma1 parts of four
// schedule words at a time.
__attribute__((target("sha,sse4.1"))) void compress_sha_extensions(uint32_t state[8],
                                                                   const uint8_t *blocks,
                                                                   size_t block_count) {
    // Reverses the bytes of each 32-bit lane: message words are big-endian.
    const __m128i byte_swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);

    // From state order A..H to the two round registers.
    __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state));
    __m128i efgh = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state + 4));
    __m128i badc = _mm_shuffle_epi32(abcd, 0xB1);      // lanes B A D C, lowest first
    __m128i hgfe = _mm_shuffle_epi32(efgh, 0x1B);      // lanes H G F E
    __m128i abef = _mm_alignr_epi8(badc, hgfe, 8);     // lanes F E B A
    __m128i cdgh = _mm_blend_epi16(hgfe, badc, 0xF0);  // lanes H G D C

    for (size_t b = 0; b < block_count; b++) {
        const uint8_t *block = blocks + 64 * b;
        const __m128i abef_before = abef;
        const __m128i cdgh_before = cdgh;

        // w[g % 4] holds schedule words 4g to 4g+3, lowest lane first.
        __m128i w[4];
#pragma GCC unroll 16
        for (int g = 0; g < 16; g++) {
            __m128i &words = w[g % 4];
            if (g < 4) {
                words = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 16 * g)), byte_swap);
            } else {
                // W[t] = sigma1(W[t-2]) + W[t-7] + sigma0(W[t-15]) + W[t-16] for
                // t = 4g..4g+3: words holds W[t-16] here, w[(g+1)%4] W[t-12], the
                // shifted pair W[t-7], and w[(g+3)%4] W[t-4].
                const __m128i &prev1 = w[(g + 3) % 4];
                const __m128i &prev2 = w[(g + 2) % 4];
                __m128i partial = _mm_sha256msg1_epu32(words, w[(g + 1) % 4]);
                partial = _mm_add_epi32(partial, _mm_alignr_epi8(prev1, prev2, 4));
                words = _mm_sha256msg2_epu32(partial, prev1);
            }
            __m128i wk = _mm_add_epi32(words, _mm_loadu_si128(reinterpret_cast<const __m128i *>(K + 4 * g)));
            __m128i next = _mm_sha256rnds2_epu32(cdgh, abef, wk);
            cdgh = abef;
            abef = next;
            wk = _mm_shuffle_epi32(wk, 0x0E);  // the upper two words to the low lanes
            next = _mm_sha256rnds2_epu32(cdgh, abef, wk);
            cdgh = abef;
            abef = next;
        }

        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }

    // Back to state order A..H.
    __m128i abef_up = _mm_shuffle_epi32(abef, 0x1B);  // lanes A B E F
    __m128i cdgh_up = _mm_shuffle_epi32(cdgh, 0x1B);  // lanes C D G H
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_unpacklo_epi64(abef_up, cdgh_up));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state + 4), _mm_unpackhi_epi64(abef_up, cdgh_up));
}

}  // namespace sha256_internal

#endif

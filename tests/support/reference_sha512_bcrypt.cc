// The reference SHA-512 over Windows' CNG (bcrypt.dll), one-shot.
#include <windows.h>
// <windows.h> first: <bcrypt.h> needs its types.
#include <bcrypt.h>

#include <stdexcept>

#include "tests/support/reference_sha512.h"

namespace testing_support {

std::string reference_sha512_hex(const std::string &data) {
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA512_ALGORITHM, nullptr, 0)))
        throw std::runtime_error("BCryptOpenAlgorithmProvider failed");
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char raw[64];
    bool ok = BCRYPT_SUCCESS(BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0));
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(data.data());
    for (size_t left = data.size(); ok && left > 0;) {
        ULONG chunk = left > 0x40000000u ? 0x40000000u : static_cast<ULONG>(left);
        ok = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<unsigned char *>(bytes), chunk, 0));
        bytes += chunk;
        left -= chunk;
    }
    ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, raw, sizeof raw, 0));
    if (hash != nullptr) BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(provider, 0);
    if (!ok) throw std::runtime_error("CNG SHA-512 failed");
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : raw) {
        text += digits[c >> 4];
        text += digits[c & 0x0f];
    }
    return text;
}

}  // namespace testing_support

// The reference SHA-256 over Windows' CNG (bcrypt.dll).
#include <windows.h>
// <windows.h> first: <bcrypt.h> needs its types.
#include <bcrypt.h>

#include <stdexcept>

#include "tests/support/reference_sha256.h"

namespace testing_support {

namespace {

// The algorithm provider, opened once for the process.
BCRYPT_ALG_HANDLE sha256_provider() {
    static BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        if (!BCRYPT_SUCCESS(
                BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
            throw std::runtime_error("BCryptOpenAlgorithmProvider failed");
        return handle;
    }();
    return provider;
}

}  // namespace

ReferenceSha256::ReferenceSha256() : state_(nullptr) {
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(sha256_provider(), &hash, nullptr, 0, nullptr, 0, 0)))
        throw std::runtime_error("BCryptCreateHash failed");
    state_ = hash;
}

ReferenceSha256::~ReferenceSha256() {
    if (state_ != nullptr) BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(state_));
}

void ReferenceSha256::update(const void *data, size_t count) {
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    while (count > 0) {
        ULONG chunk = count > 0x40000000u ? 0x40000000u : static_cast<ULONG>(count);
        BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(state_), const_cast<unsigned char *>(bytes),
                       chunk, 0);
        bytes += chunk;
        count -= chunk;
    }
}

std::string ReferenceSha256::hex() {
    unsigned char raw[32];
    if (!BCRYPT_SUCCESS(
            BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(state_), raw, sizeof raw, 0)))
        throw std::runtime_error("BCryptFinishHash failed");
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : raw) {
        text += digits[c >> 4];
        text += digits[c & 0x0f];
    }
    return text;
}

}  // namespace testing_support

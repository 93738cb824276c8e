// The reference SHA-256 over OpenSSL's EVP interface.
#include <openssl/evp.h>

#include <stdexcept>

#include "tests/support/reference_sha256.h"

namespace testing_support {

ReferenceSha256::ReferenceSha256() : state_(EVP_MD_CTX_new()) {
    if (state_ == nullptr ||
        EVP_DigestInit_ex(static_cast<EVP_MD_CTX *>(state_), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("EVP_DigestInit_ex failed");
}

ReferenceSha256::~ReferenceSha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(state_)); }

void ReferenceSha256::update(const void *data, size_t count) {
    EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(state_), data, count);
}

std::string ReferenceSha256::hex() {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(state_), raw, &len);
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < len; i++) {
        text += digits[raw[i] >> 4];
        text += digits[raw[i] & 0x0f];
    }
    return text;
}

}  // namespace testing_support

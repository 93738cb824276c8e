// The reference SHA-512 over OpenSSL's one-shot EVP_Digest.
#include <openssl/evp.h>

#include <stdexcept>

#include "tests/support/reference_sha512.h"

namespace testing_support {

std::string reference_sha512_hex(const std::string &data) {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), raw, &len, EVP_sha512(), nullptr) != 1 || len != 64)
        throw std::runtime_error("EVP_Digest failed");
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < len; i++) {
        text += digits[raw[i] >> 4];
        text += digits[raw[i] & 0x0f];
    }
    return text;
}

}  // namespace testing_support

// SHA-512 from a library other than the digest module's portable code, for
// the tests: OpenSSL on POSIX (where the module itself uses libcrypto, the
// tests also compare with the sha512sum command), the system's CNG
// (BCrypt) on Windows.
#ifndef TESTS_SUPPORT_REFERENCE_SHA512_H
#define TESTS_SUPPORT_REFERENCE_SHA512_H

#include <string>

namespace testing_support {

// The 128 lowercase hex digits of the SHA-512 of data.
std::string reference_sha512_hex(const std::string &data);

}  // namespace testing_support

#endif

// SHA-256 from a library other than the one under test, so that digests
// the tests expect do not come from the code they test: OpenSSL on POSIX,
// the system's CNG (BCrypt) on Windows.
#ifndef TESTS_SUPPORT_REFERENCE_SHA256_H
#define TESTS_SUPPORT_REFERENCE_SHA256_H

#include <cstddef>
#include <string>

namespace testing_support {

class ReferenceSha256 {
  public:
    ReferenceSha256();
    ~ReferenceSha256();
    ReferenceSha256(const ReferenceSha256 &) = delete;
    ReferenceSha256 &operator=(const ReferenceSha256 &) = delete;

    void update(const void *data, size_t count);
    // The 64 lowercase hex digits of everything given to update; the
    // object is used up.
    std::string hex();

  private:
    void *state_;
};

}  // namespace testing_support

#endif

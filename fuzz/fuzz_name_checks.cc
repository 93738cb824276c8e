// The checks that keep hostile names out of the storage's paths: digest
// strings of both algorithms and what begins like one, upload ids, repository names (the one rule, as the storage and
// the request edge apply it) and tags, each compared with a plain rewrite of
// its rule.
#include <string>

#include "edge/oci_common.h"
#include "fuzz/fuzz_support.h"
#include "storage/layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text = fuzz::c_text(data, size);
    const char *p = text.c_str();
    FUZZ_CHECK(digest_valid(p) == (fuzz::ref_digest_valid(text) ? 1 : 0));
    FUZZ_CHECK(uuid_valid(p) == (fuzz::ref_uuid_valid(text) ? 1 : 0));
    FUZZ_CHECK(repo_name_valid(p) == (fuzz::ref_repo_name_valid(text) ? 1 : 0));
    FUZZ_CHECK(tag_name_valid(p) == (fuzz::ref_tag_valid(text) ? 1 : 0));
    FUZZ_CHECK(oci_valid_repo_name(p) == (fuzz::ref_repo_name_valid(text) ? 1 : 0));
    FUZZ_CHECK(is_digest_reference(p) == (fuzz::ref_is_digest_reference(text) ? 1 : 0));
    // The same text behind each algorithm's prefix exercises the digest rule
    // on its digits; a valid digest's hex part names its algorithm by length.
    for (const char *prefix : {"sha256:", "sha512:"}) {
        std::string digest = prefix + text;
        int valid = digest_valid(digest.c_str());
        FUZZ_CHECK(valid == (fuzz::ref_digest_valid(digest) ? 1 : 0));
        if (valid) {
            const char *hex = digest_hex_part(digest.c_str());
            FUZZ_CHECK(hex_digest_valid(hex) == 1);
            FUZZ_CHECK(digest.compare(0, 6, algo_of_hex(hex)) == 0);
            char rebuilt[REG_DIGEST_STRING_SIZE];
            digest_string_of_hex(hex, rebuilt);
            FUZZ_CHECK(digest == rebuilt);
        }
    }
    return 0;
}

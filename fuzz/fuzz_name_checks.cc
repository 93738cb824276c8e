// The checks that keep hostile names out of the storage's paths: digest
// strings, upload ids, repository names (the one rule, as the storage and
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
    // The same text behind a "sha256:" prefix exercises the digest rule on
    // its 64 digits.
    std::string digest = "sha256:" + text;
    FUZZ_CHECK(digest_valid(digest.c_str()) == (fuzz::ref_digest_valid(digest) ? 1 : 0));
    return 0;
}

// The storage's writes for fetched content: cached blobs that commit only
// when their digest matches, manifests stored under the digest they were
// fetched as (what they name need not be stored), and the age of a tag.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "storage/reg_storage.h"
#include "tests/support/process.h"
#include "tests/support/storage_fixture.h"

namespace {

using testing_support::reference_sha256_hex;

class FetchedStore : public testing_support::StorageRootTest {
  protected:
    int64_t uploads() {
        const char *stats = reg_storage_get_stats_json();
        std::string s = stats != nullptr ? stats : "";
        size_t at = s.find("\"active_uploads\":");
        return at == std::string::npos ? -1 : std::stoll(s.substr(at + 17));
    }
};

TEST_F(FetchedStore, CachedBlobCommitsOnlyItsOwnBytes) {
    const std::string bytes = "the bytes of a fetched blob";
    const std::string digest = "sha256:" + reference_sha256_hex(bytes);
    struct Case {
        const char *what;
        std::string written;
        bool commits;
    } cases[] = {
        {"the whole blob in pieces", bytes, true},
        {"a cut transfer", bytes.substr(0, 10), false},
        {"a wrong byte", std::string(bytes).replace(3, 1, "X"), false},
        {"more than the blob", bytes + "!", false},
        {"nothing", "", false},
    };
    // Each case ended three ways: the commit alone; a verify, then the
    // commit; a verify, then an abort.
    const char *const ways[] = {"commit", "verify, commit", "verify, abort"};
    for (const Case &c : cases) {
        for (int way = 0; way < 3; way++) {
            std::string what = std::string(c.what) + " (" + ways[way] + ")";
            reg_blob_delete(digest.c_str());
            reg_blob_cache cache;
            ASSERT_EQ(reg_blob_cache_begin(digest.c_str(), &cache), 0) << reg_storage_last_error();
            // Nothing is in the store while the bytes come.
            EXPECT_EQ(reg_blob_exists(digest.c_str()), 0) << what;
            for (size_t at = 0; at < c.written.size(); at += 7)
                ASSERT_EQ(reg_blob_cache_write(&cache, c.written.data() + at,
                                               std::min<size_t>(7, c.written.size() - at)),
                          0);
            int rc = 0;
            if (way > 0) {
                rc = reg_blob_cache_verify(&cache);
                EXPECT_EQ(rc, c.commits ? 0 : -1) << what;
                // Verified bytes are not in the store before the commit.
                EXPECT_EQ(reg_blob_exists(digest.c_str()), 0) << what;
            }
            if (way == 2) {
                if (rc == 0) reg_blob_cache_abort(&cache);
            } else if (rc == 0) {
                rc = reg_blob_cache_commit(&cache);
                EXPECT_EQ(rc, c.commits ? 0 : -1) << what;
            }
            bool stored = c.commits && way != 2;
            EXPECT_EQ(reg_blob_exists(digest.c_str()), stored ? 1 : 0) << what;
            if (!c.commits) {
                EXPECT_EQ(reg_storage_last_status(), REG_STATUS_INVALID_DIGEST) << what;
            }
            EXPECT_EQ(uploads(), 0) << what << ": the upload file stays";
        }
    }
}

// A blob of many MiB, whose bytes are handed on to the disk in steps while
// they come, commits every byte in order.
TEST_F(FetchedStore, LargeCachedBlobCommitsEveryByte) {
    std::string bytes(20 * 1024 * 1024 + 123, '\0');
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::string digest = "sha256:" + reference_sha256_hex(bytes);
    reg_blob_cache cache;
    ASSERT_EQ(reg_blob_cache_begin(digest.c_str(), &cache), 0) << reg_storage_last_error();
    const size_t piece = 1024 * 1024 + 7;
    for (size_t at = 0; at < bytes.size(); at += piece)
        ASSERT_EQ(reg_blob_cache_write(&cache, bytes.data() + at, std::min(piece, bytes.size() - at)), 0);
    ASSERT_EQ(reg_blob_cache_commit(&cache), 0) << reg_storage_last_error();
    reg_opened blob;
    ASSERT_EQ(reg_blob_open(digest.c_str(), &blob), 0);
    std::string stored(bytes.size() + 1, '\0');
    size_t got = fread(&stored[0], 1, stored.size(), blob.file);
    fclose(blob.file);
    stored.resize(got);
    EXPECT_TRUE(stored == bytes) << "stored " << stored.size() << " of " << bytes.size() << " bytes";
    EXPECT_EQ(uploads(), 0);
}

TEST_F(FetchedStore, CachedBlobAbortLeavesNothingAndTwoWritersLeaveOneCopy) {
    const std::string bytes(100000, 'z');
    const std::string digest = "sha256:" + reference_sha256_hex(bytes);
    reg_blob_cache a, b;
    ASSERT_EQ(reg_blob_cache_begin(digest.c_str(), &a), 0);
    ASSERT_EQ(reg_blob_cache_write(&a, bytes.data(), 5), 0);
    reg_blob_cache_abort(&a);
    EXPECT_EQ(uploads(), 0);
    EXPECT_EQ(reg_blob_exists(digest.c_str()), 0);
    ASSERT_EQ(reg_blob_cache_begin(digest.c_str(), &a), 0);
    ASSERT_EQ(reg_blob_cache_begin(digest.c_str(), &b), 0);
    ASSERT_EQ(reg_blob_cache_write(&a, bytes.data(), bytes.size()), 0);
    ASSERT_EQ(reg_blob_cache_write(&b, bytes.data(), bytes.size()), 0);
    EXPECT_EQ(reg_blob_cache_commit(&a), 0);
    EXPECT_EQ(reg_blob_cache_commit(&b), 0) << reg_storage_last_error();
    EXPECT_EQ(reg_blob_get_size(digest.c_str()), static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(uploads(), 0);
}

TEST_F(FetchedStore, CachedBlobRefusesWhatTheStoreDoesNotTake) {
    reg_blob_cache cache;
    for (const char *bad : {"sha256:abc", "md5:00", "", "sha256:../../x"}) {
        EXPECT_EQ(reg_blob_cache_begin(bad, &cache), -1) << bad;
        EXPECT_EQ(reg_storage_last_status(), REG_STATUS_INVALID_DIGEST) << bad;
    }
    EXPECT_EQ(reg_blob_cache_begin(nullptr, &cache), -1);
    EXPECT_EQ(uploads(), 0);
}

const char kImage[] =
    R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
    R"("config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"sha256:)"
    "1111111111111111111111111111111111111111111111111111111111111111"
    R"(","size":2},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"sha256:)"
    "2222222222222222222222222222222222222222222222222222222222222222"
    R"(","size":3}]})";

TEST_F(FetchedStore, FetchedManifestIsStoredOnlyUnderItsDigest) {
    const std::string body = kImage;
    const std::string digest = "sha256:" + reference_sha256_hex(body);
    const std::string other = "sha256:" + std::string(64, 'e');
    const char *type = "application/vnd.oci.image.manifest.v1+json";
    struct Case {
        const char *what;
        std::string reference;
        std::string expected;
        std::string body;
        const char *type;
        int rc;
        reg_status status;
    } cases[] = {
        {"another digest expected", "v1", other, body, type, -1, REG_STATUS_INVALID_DIGEST},
        {"a reference of another digest", other, digest, body, type, -1, REG_STATUS_INVALID_DIGEST},
        {"a changed body", "v1", digest, body + " ", type, -1, REG_STATUS_INVALID_DIGEST},
        {"not a manifest", "v1", "sha256:" + reference_sha256_hex("{}"), "{}", type, -1,
         REG_STATUS_INVALID_MANIFEST},
        {"a type that contradicts the document", "v1", digest, body,
         "application/vnd.oci.image.index.v1+json", -1, REG_STATUS_INVALID_MANIFEST},
        {"by tag, its blobs not stored", "v1", digest, body, type, 0, REG_STATUS_OK},
        {"by digest", digest, digest, body, type, 0, REG_STATUS_OK},
    };
    for (const Case &c : cases) {
        char out[REG_DIGEST_STRING_SIZE] = "";
        int rc = reg_manifest_put_fetched("hub/app", c.reference.c_str(), c.body.data(),
                                          c.body.size(), c.type, c.expected.c_str(), out);
        EXPECT_EQ(rc, c.rc) << c.what << ": " << reg_storage_last_error();
        if (rc != 0) {
            EXPECT_EQ(reg_storage_last_status(), c.status) << c.what;
            continue;
        }
        EXPECT_EQ(out, digest) << c.what;
        char got_type[REG_CONTENT_TYPE_SIZE], got_digest[REG_DIGEST_STRING_SIZE];
        const char *stored = reg_manifest_get("hub/app", c.reference.c_str(), got_type, got_digest);
        ASSERT_NE(stored, nullptr) << c.what;
        EXPECT_EQ(std::string(stored), body) << c.what;
        EXPECT_STREQ(got_type, type) << c.what;
    }
    // A push of the same document is still refused: its blobs are not there.
    char out[REG_DIGEST_STRING_SIZE], subject[REG_DIGEST_STRING_SIZE];
    EXPECT_EQ(reg_manifest_put_typed("hub/app", "v2", body.data(), body.size(), type, out, subject), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_UNKNOWN_REFERENCE);
}

TEST_F(FetchedStore, TagAgeAndConfirmation) {
    const std::string body = kImage;
    const std::string digest = "sha256:" + reference_sha256_hex(body);
    int64_t age = -1;
    EXPECT_EQ(reg_tag_age("hub/app", "v1", &age), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_NOT_FOUND);
    EXPECT_EQ(reg_tag_confirm("hub/app", "v1"), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_NOT_FOUND);
    char out[REG_DIGEST_STRING_SIZE];
    ASSERT_EQ(reg_manifest_put_fetched("hub/app", "v1", body.data(), body.size(), nullptr,
                                       digest.c_str(), out),
              0)
        << reg_storage_last_error();
    ASSERT_EQ(reg_tag_age("hub/app", "v1", &age), 0);
    EXPECT_LE(age, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    ASSERT_EQ(reg_tag_age("hub/app", "v1", &age), 0);
    EXPECT_GE(age, 2);
    ASSERT_EQ(reg_tag_confirm("hub/app", "v1"), 0);
    ASSERT_EQ(reg_tag_age("hub/app", "v1", &age), 0);
    EXPECT_LE(age, 1);
    for (const char *bad : {"../x", "", "a b"}) {
        EXPECT_EQ(reg_tag_age("hub/app", bad, &age), -1) << bad;
        EXPECT_EQ(reg_tag_confirm("hub/app", bad), -1) << bad;
    }
    EXPECT_EQ(reg_tag_age("../app", "v1", &age), -1);
}

}  // namespace

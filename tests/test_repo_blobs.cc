// The blobs a repository holds: the links that say so, how uploads' owners
// (the endpoints), mounts and manifests make them, the check a manifest
// meets where blobs are scoped to repositories, the links made afterwards
// for an older store, and what gc and fsck do with links to blobs gone.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "storage/reg_storage.h"
#include "tests/support/invariants.h"
#include "tests/support/process.h"
#include "tests/support/reference_sha512.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

std::string digest_of(const std::string &data) { return "sha256:" + reference_sha256_hex(data); }

std::string image(const std::string &config, const std::string &layer) {
    return "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
           "\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" +
           digest_of(config) + "\",\"size\":" + std::to_string(config.size()) +
           "},\"layers\":[{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar\",\"digest\":\"" +
           digest_of(layer) + "\",\"size\":" + std::to_string(layer.size()) + "}]}";
}

const std::string kConfig = "{\"architecture\":\"amd64\"}";
const std::string kLayer = random_bytes(3000, 5);
const std::string kOther = random_bytes(2000, 6);

class RepoBlobs : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = dir_ / "root";
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }
    void TearDown() override {
        reg_storage_scope_blobs(0);
        reg_storage_cleanup();
        EXPECT_EQ(join_lines(store_invariant_violations(root_)), "");
    }

    void store(const std::string &data) {
        char id[REG_UPLOAD_ID_SIZE], digest[REG_DIGEST_STRING_SIZE];
        ASSERT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
        ASSERT_EQ(reg_blob_append_chunk(id, data.data(), data.size()), 0);
        ASSERT_EQ(reg_blob_finish_upload(id, digest_of(data).c_str(), digest), 0)
            << reg_storage_last_error();
    }
    int put(const std::string &repo, const std::string &body) {
        char digest[REG_DIGEST_STRING_SIZE], subject[REG_DIGEST_STRING_SIZE];
        return reg_manifest_put_typed(repo.c_str(), "v1", body.data(), body.size(), nullptr,
                                      digest, subject);
    }
    int holds(const std::string &repo, const std::string &data) {
        return reg_repo_holds_blob(repo.c_str(), digest_of(data).c_str());
    }
    std::string link_path(const std::string &repo, const std::string &data) const {
        std::string hex = reference_sha256_hex(data);
        return root_ + "/repositories/" + repo + "/_manifests/blobs/sha256/" + hex.substr(0, 2) +
               "/" + hex;
    }
    void age_everything(int64_t seconds) {
        auto then = fs::file_time_type::clock::now() - std::chrono::seconds(seconds);
        for (const auto &e : fs::recursive_directory_iterator(root_))
            if (e.is_regular_file()) fs::last_write_time(e.path(), then);
    }

    ScratchDir dir_;
    std::string root_;
};

TEST_F(RepoBlobs, ALinkSaysWhichRepositoryHoldsAStoredBlob) {
    EXPECT_EQ(reg_repo_blob_link("team/app", digest_of(kLayer).c_str()), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_NOT_FOUND) << "the blob is not stored";
    store(kLayer);
    EXPECT_EQ(holds("team/app", kLayer), 0);
    ASSERT_EQ(reg_repo_blob_link("team/app", digest_of(kLayer).c_str()), 0)
        << reg_storage_last_error();
    EXPECT_EQ(read_whole_file(link_path("team/app", kLayer)), digest_of(kLayer));
    EXPECT_EQ(holds("team/app", kLayer), 1);
    EXPECT_EQ(holds("team", kLayer), 0) << "a repository above holds nothing of it";
    EXPECT_EQ(holds("other", kLayer), 0);
    // Linking again changes nothing; a blob deleted is held by no one.
    EXPECT_EQ(reg_repo_blob_link("team/app", digest_of(kLayer).c_str()), 0);
    ASSERT_EQ(reg_blob_delete(digest_of(kLayer).c_str()), 0);
    EXPECT_EQ(holds("team/app", kLayer), 0);

    // SHA-512 content is held under its own algorithm.
    char id[REG_UPLOAD_ID_SIZE], stored[REG_DIGEST_STRING_SIZE];
    const std::string sha512 = "sha512:" + reference_sha512_hex(kOther);
    ASSERT_EQ(reg_blob_start_upload(id), 0);
    ASSERT_EQ(reg_blob_append_chunk(id, kOther.data(), kOther.size()), 0);
    ASSERT_EQ(reg_blob_finish_upload(id, sha512.c_str(), stored), 0) << reg_storage_last_error();
    ASSERT_EQ(reg_repo_blob_link("team/app", sha512.c_str()), 0) << reg_storage_last_error();
    EXPECT_EQ(reg_repo_holds_blob("team/app", sha512.c_str()), 1);
    EXPECT_EQ(reg_repo_holds_blob("other", sha512.c_str()), 0);
}

TEST_F(RepoBlobs, HostileNamesAndDigestsAreRefused) {
    store(kLayer);
    const std::string good = digest_of(kLayer);
    struct Case {
        const char *repo;
        std::string digest;
        reg_status status;
    } cases[] = {
        {"../escape", good, REG_STATUS_INVALID_NAME},
        {"a/_manifests", good, REG_STATUS_INVALID_NAME},
        {"app", "sha256:../../x", REG_STATUS_INVALID_DIGEST},
        {"app", "sha384:" + std::string(96, 'a'), REG_STATUS_INVALID_DIGEST},
        {"app", "sha512:" + reference_sha256_hex(kLayer), REG_STATUS_INVALID_DIGEST},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.repo) + " " + c.digest);
        EXPECT_EQ(reg_repo_blob_link(c.repo, c.digest.c_str()), -1);
        EXPECT_EQ(reg_storage_last_status(), c.status);
        EXPECT_EQ(reg_repo_holds_blob(c.repo, c.digest.c_str()), -1);
        EXPECT_EQ(reg_storage_last_status(), c.status);
    }
    EXPECT_FALSE(fs::exists(root_ + "/repositories/a"));
    EXPECT_FALSE(fs::exists(root_ + "/escape"));
}

TEST_F(RepoBlobs, AManifestNamesOnlyBlobsItsRepositoryHoldsWhenScoped) {
    store(kConfig);
    store(kLayer);
    const std::string body = image(kConfig, kLayer);
    reg_storage_scope_blobs(1);
    EXPECT_EQ(put("tenant", body), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_UNKNOWN_REFERENCE);
    EXPECT_FALSE(fs::exists(root_ + "/repositories/tenant")) << "a refused put stores nothing";
    ASSERT_EQ(reg_repo_blob_link("tenant", digest_of(kConfig).c_str()), 0);
    EXPECT_EQ(put("tenant", body), -1) << "the layer is still another's";
    ASSERT_EQ(reg_repo_blob_link("tenant", digest_of(kLayer).c_str()), 0);
    EXPECT_EQ(put("tenant", body), 0) << reg_storage_last_error();

    // Shared blobs: the manifest's blobs become its repository's.
    reg_storage_scope_blobs(0);
    EXPECT_EQ(put("shared", body), 0) << reg_storage_last_error();
    EXPECT_EQ(holds("shared", kConfig), 1);
    EXPECT_EQ(holds("shared", kLayer), 1);
}

TEST_F(RepoBlobs, BackfillLinksWhatEachRepositorysManifestsName) {
    store(kConfig);
    store(kLayer);
    store(kOther);
    ASSERT_EQ(put("one", image(kConfig, kLayer)), 0);
    ASSERT_EQ(put("two/deep", image(kConfig, kOther)), 0);
    // A store whose repositories kept no links.
    fs::remove_all(root_ + "/repositories/one/_manifests/blobs");
    fs::remove_all(root_ + "/repositories/two/deep/_manifests/blobs");
    uint64_t made = 0;
    ASSERT_EQ(reg_repo_blob_links_backfill(&made), 0) << reg_storage_last_error();
    EXPECT_EQ(made, 4u);
    EXPECT_EQ(holds("one", kLayer), 1);
    EXPECT_EQ(holds("one", kOther), 0);
    EXPECT_EQ(holds("two/deep", kOther), 1);
    EXPECT_EQ(holds("two/deep", kConfig), 1);
    ASSERT_EQ(reg_repo_blob_links_backfill(&made), 0);
    EXPECT_EQ(made, 0u) << "nothing is made twice";
}

TEST_F(RepoBlobs, GcRemovesOldLinksToBlobsGoneAndFsckReportsThem) {
    store(kLayer);
    store(kOther);
    ASSERT_EQ(reg_repo_blob_link("app", digest_of(kLayer).c_str()), 0);
    ASSERT_EQ(reg_repo_blob_link("app", digest_of(kOther).c_str()), 0);
    ASSERT_EQ(reg_blob_delete(digest_of(kLayer).c_str()), 0);

    reg_fsck_report report{};
    ASSERT_EQ(reg_fsck(0, &report), 0) << reg_storage_last_error();
    ASSERT_EQ(report.count, 1u);
    EXPECT_EQ(report.problems[0].kind, REG_FSCK_LINK_DANGLING);
    EXPECT_NE(std::string(report.problems[0].detail).find(digest_of(kLayer)), std::string::npos);
    reg_fsck_report_free(&report);

    // Young links stay (a commit and its link may be on their way); old
    // ones to blobs gone go, and a link to a blob stored stays.
    reg_gc_options options{};
    options.grace_seconds = 3600;
    options.expiry_seconds = 86400;
    reg_gc_report gc{};
    ASSERT_EQ(reg_gc(&options, &gc), 0) << reg_storage_last_error();
    EXPECT_EQ(gc.count, 0u);
    reg_gc_report_free(&gc);
    EXPECT_TRUE(fs::exists(link_path("app", kLayer)));
    age_everything(7200);
    // Aged, the other blob is an orphan too; keep it by naming it.
    ASSERT_EQ(reg_blob_delete(digest_of(kOther).c_str()), 0);
    store(kOther);
    ASSERT_EQ(reg_gc(&options, &gc), 0) << reg_storage_last_error();
    ASSERT_EQ(gc.count, 1u);
    EXPECT_EQ(gc.items[0].kind, REG_GC_BLOB_LINK);
    EXPECT_EQ(std::string(gc.items[0].name), "app@" + digest_of(kLayer));
    reg_gc_report_free(&gc);
    EXPECT_FALSE(fs::exists(link_path("app", kLayer)));
    EXPECT_EQ(holds("app", kOther), 1);

    // A link that holds another digest is corrupt; repair moves it aside.
    write_whole_file(link_path("app", kOther), digest_of(kLayer));
    ASSERT_EQ(reg_fsck(1, &report), 0) << reg_storage_last_error();
    ASSERT_EQ(report.count, 1u);
    EXPECT_EQ(report.problems[0].kind, REG_FSCK_LINK_CORRUPT);
    reg_fsck_report_free(&report);
    EXPECT_FALSE(fs::exists(link_path("app", kOther)));
}

}  // namespace

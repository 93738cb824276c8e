// Storage statistics: what counts as a repository, tag, blob and upload.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "storage/reg_storage.h"
#include "storage/layout.h"
#include "storage/stats_internal.h"
#include "tests/support/process.h"
#include "tests/support/storage_fixture.h"

using testing_support::reference_sha256_hex;
using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace fs = std::filesystem;

namespace {

struct Stats {
    int repos = 0;
    int tags = 0;
    int blobs = 0;
    long long blob_bytes = 0;
    int uploads = 0;
    long long upload_bytes = 0;

    Stats &operator+=(const Stats &o) {
        repos += o.repos;
        tags += o.tags;
        blobs += o.blobs;
        blob_bytes += o.blob_bytes;
        uploads += o.uploads;
        upload_bytes += o.upload_bytes;
        return *this;
    }
};

// The statistics document as it must read, built from the numbers.
std::string stats_doc(const Stats &s) {
    char text[512];
    snprintf(text, sizeof text,
             "{\"version\":\"1.0.0\",\"repositories\":%d,\"tags\":%d,\"blobs\":%d,"
             "\"blob_bytes\":%lld,\"active_uploads\":%d,\"upload_bytes\":%lld}",
             s.repos, s.tags, s.blobs, s.blob_bytes, s.uploads, s.upload_bytes);
    return text;
}

std::string current_stats() {
    const char *doc = reg_storage_get_stats_json();
    return doc != nullptr ? doc : std::string("NULL: ") + reg_storage_last_error();
}

using StatsTest = testing_support::StorageRootTest;

TEST_F(StatsTest, FreshStorageCountsNothing) {
    EXPECT_EQ(current_stats(),
              "{\"version\":\"1.0.0\",\"repositories\":0,\"tags\":0,\"blobs\":0,"
              "\"blob_bytes\":0,\"active_uploads\":0,\"upload_bytes\":0}");
}

TEST_F(StatsTest, MissingDirectoriesCountAsEmpty) {
    for (const char *d : {"blobs", "repositories", "uploads"}) fs::remove_all(root_ + "/" + d);
    EXPECT_EQ(current_stats(), stats_doc({}));
    int32_t blobs = -1;
    int64_t upload_bytes = -1;
    EXPECT_EQ(count_blobs(&blobs), 0);
    EXPECT_EQ(blobs, 0);
    EXPECT_EQ(count_uploads(&upload_bytes), 0);
    EXPECT_EQ(upload_bytes, 0);
    EXPECT_EQ(count_repos(), 0);
    EXPECT_EQ(count_tags(), 0);
}

TEST_F(StatsTest, FailsWhenNotReady) {
    reg_storage_cleanup();
    EXPECT_EQ(reg_storage_get_stats_json(), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
}

// ---- What each kind of entry adds ------------------------------------------------

enum class Kind { kFile, kDir };

struct Placement {
    const char *label;
    const char *path;  // below the root
    Kind kind;
    size_t bytes;      // size of a file
    Stats adds;
};

const Placement kPlacements[] = {
    {"blob", "blobs/sha256/ab/ab11", Kind::kFile, 10, {.blobs = 1, .blob_bytes = 10}},
    {"empty_blob", "blobs/sha256/cd/cd22", Kind::kFile, 0, {.blobs = 1}},
    {"blob_in_oddly_named_fanout", "blobs/sha256/not-hex/x", Kind::kFile, 3,
     {.blobs = 1, .blob_bytes = 3}},
    {"file_directly_in_sha256", "blobs/sha256/stray", Kind::kFile, 4, {}},
    {"dir_in_fanout", "blobs/sha256/ef/subdir", Kind::kDir, 0, {}},
    {"file_in_dir_in_fanout", "blobs/sha256/01/deeper/blob", Kind::kFile, 6, {}},
    {"upload", "uploads/0f1e2d3c-0000-4000-8000-000000000000.part", Kind::kFile, 7,
     {.uploads = 1, .upload_bytes = 7}},
    {"empty_upload_of_any_name", "uploads/notes.txt", Kind::kFile, 0, {.uploads = 1}},
    {"dir_in_uploads", "uploads/sub", Kind::kDir, 0, {}},
    // Repositories and tags count as the catalog and the tag list show them:
    // a directory without _manifests is no repository.
    {"repository_dir_only", "repositories/empty-repo", Kind::kDir, 0, {}},
    {"file_in_repositories", "repositories/README", Kind::kFile, 5, {}},
    {"tag", "repositories/r1/_manifests/tags/v1/current/link", Kind::kFile, 71,
     {.repos = 1, .tags = 1}},
    {"tag_with_empty_link", "repositories/r2/_manifests/tags/v2/current/link", Kind::kFile, 0,
     {.repos = 1, .tags = 1}},
    {"tag_without_link", "repositories/r3/_manifests/tags/v1/current", Kind::kDir, 0,
     {.repos = 1}},
    {"tag_link_is_a_dir", "repositories/r4/_manifests/tags/v1/current/link", Kind::kDir, 0,
     {.repos = 1}},
    {"file_in_tags", "repositories/r5/_manifests/tags/v1", Kind::kFile, 71, {.repos = 1}},
    {"tag_of_nested_repository", "repositories/ns/app/_manifests/tags/v1/current/link",
     Kind::kFile, 71, {.repos = 1, .tags = 1}},
    {"nested_repository_beside_its_parent", "repositories/p/_manifests/tags/v1/current/link",
     Kind::kFile, 71, {.repos = 1, .tags = 1}},
    {"repository_nested_in_the_one_above", "repositories/p/q/_manifests/tags/v1/current/link",
     Kind::kFile, 71, {.repos = 1, .tags = 1}},
};

void place(const std::string &root, const Placement &p) {
    fs::path path = fs::path(root) / p.path;
    if (p.kind == Kind::kDir) {
        fs::create_directories(path);
        return;
    }
    fs::create_directories(path.parent_path());
    write_whole_file(path.string(), std::string(p.bytes, 's'));
}

void PrintTo(const Placement &p, std::ostream *os) { *os << p.label; }

class PlacementTable : public StatsTest, public ::testing::WithParamInterface<Placement> {};

TEST_P(PlacementTable, AddsWhatItsKindCounts) {
    place(root_, GetParam());
    EXPECT_EQ(current_stats(), stats_doc(GetParam().adds));
}

INSTANTIATE_TEST_SUITE_P(Entries, PlacementTable, ::testing::ValuesIn(kPlacements),
                         [](const auto &info) { return std::string(info.param.label); });

TEST_F(StatsTest, CountsAddUpOverEveryKindOfEntry) {
    Stats expected;
    for (const Placement &p : kPlacements) {
        place(root_, p);
        expected += p.adds;
    }
    EXPECT_EQ(current_stats(), stats_doc(expected));
    // Each call walks the tree again.
    fs::remove(root_ + "/" + kPlacements[0].path);
    expected.blobs -= kPlacements[0].adds.blobs;
    expected.blob_bytes -= kPlacements[0].adds.blob_bytes;
    EXPECT_EQ(current_stats(), stats_doc(expected));
}

TEST_F(StatsTest, LargeFilesAreSummedInSixtyFourBits) {
    // Sparse files of 3 GiB each: their sum overflows 32 bits.
    const long long size = 3LL << 30;
    for (const char *p : {"blobs/sha256/ab/big", "uploads/big.part"}) {
        fs::path path = fs::path(root_) / p;
        fs::create_directories(path.parent_path());
        write_whole_file(path.string(), "");
        fs::resize_file(path, size);
    }
    EXPECT_EQ(current_stats(), stats_doc({.blobs = 1, .blob_bytes = size, .uploads = 1,
                                          .upload_bytes = size}));
}

// ---- Through the storage's own operations ----------------------------------------

TEST_F(StatsTest, FollowsUploadsBlobsAndManifests) {
    const std::string data = "layer bytes";
    char id[REG_UPLOAD_ID_SIZE];
    ASSERT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
    ASSERT_EQ(reg_blob_append_chunk(id, data.data(), data.size()), 0) << reg_storage_last_error();
    EXPECT_EQ(current_stats(), stats_doc({.uploads = 1, .upload_bytes = (long long)data.size()}));

    const std::string digest = "sha256:" + reference_sha256_hex(data);
    char out_digest[72];
    ASSERT_EQ(reg_blob_finish_upload(id, digest.c_str(), out_digest), 0)
        << reg_storage_last_error();
    Stats expected{.blobs = 1, .blob_bytes = (long long)data.size()};
    EXPECT_EQ(current_stats(), stats_doc(expected));

    const std::string body = "{\"config\":{\"digest\":\"" + digest +
                             "\"},\"layers\":[{\"digest\":\"" + digest + "\"}]}";
    for (const char *tag : {"v1", "latest"})
        ASSERT_EQ(reg_manifest_put("app", tag, body.data(), body.size(), nullptr, out_digest), 0)
            << reg_storage_last_error();
    ASSERT_EQ(reg_manifest_put("lib/nested", "v1", body.data(), body.size(), nullptr, out_digest),
              0)
        << reg_storage_last_error();
    expected.repos = 2;  // app and lib/nested, as the catalog lists them
    expected.tags = 3;
    EXPECT_EQ(current_stats(), stats_doc(expected));

    // Deleting every tag deletes the manifest, but the repository stays.
    ASSERT_EQ(reg_manifest_delete("app", "v1"), 0) << reg_storage_last_error();
    ASSERT_EQ(reg_manifest_delete("app", "latest"), 0) << reg_storage_last_error();
    expected.tags = 1;
    EXPECT_EQ(current_stats(), stats_doc(expected));
}

// Hundreds of repositories with a tag each and hundreds of uploads: every
// one is counted, as the catalog lists them, and du counts every upload.
TEST_F(StatsTest, CountsEveryEntryHoweverMany) {
    const int kRepos = 600, kUploads = 600;
    const std::string link = "sha256:" + reference_sha256_hex("x");
    for (int i = 1; i <= kRepos; i++) {
        char name[32];
        snprintf(name, sizeof name, "many/r%03d", i);
        fs::path tag = fs::path(root_) / "repositories" / name / "_manifests/tags/v1/current/link";
        fs::create_directories(tag.parent_path());
        write_whole_file(tag.string(), link);
    }
    for (int i = 0; i < kUploads; i++)
        write_whole_file(root_ + "/uploads/u" + std::to_string(i) + ".part", "");
    EXPECT_EQ(current_stats(), stats_doc({.repos = kRepos, .tags = kRepos, .uploads = kUploads}));
    reg_du_report du;
    ASSERT_EQ(reg_du(&du), 0) << reg_storage_last_error();
    EXPECT_EQ(du.uploads, static_cast<uint64_t>(kUploads));
    EXPECT_EQ(du.count, static_cast<uint64_t>(kRepos));
    reg_du_report_free(&du);
}


TEST_F(StatsTest, DocumentOverwritesTheResultFromItsFirstByte) {
    memset(s_result, 'x', 4096);
    const char *doc = reg_storage_get_stats_json();
    ASSERT_EQ(doc, s_result);
    EXPECT_EQ(std::string(doc), stats_doc({}));
}

}  // namespace

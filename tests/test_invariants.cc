// The invariant checker that the fault, crash and concurrency tests share:
// a store written by the storage passes, and each kind of damage is named.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "storage/reg_storage.h"
#include "tests/support/invariants.h"
#include "tests/support/process.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const std::string kBlob = random_bytes(4000, 7);
const std::string kOther = random_bytes(100, 8);

std::string digest_of(const std::string &bytes) { return "sha256:" + reference_sha256_hex(bytes); }

const std::string kManifest = "{\"config\":{\"digest\":\"" + digest_of(kBlob) + "\"}}";

// A root with one blob, one finished upload left open and one tagged
// manifest, all written by the storage.
class StoreFixture : public ::testing::Test {
  public:
    void SetUp() override {
        ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
        for (const std::string *bytes : {&kBlob, &kOther}) {
            char id[REG_UPLOAD_ID_SIZE], digest[REG_DIGEST_STRING_SIZE];
            ASSERT_EQ(reg_blob_start_upload(id), 0);
            ASSERT_EQ(reg_blob_append_chunk(id, bytes->data(), bytes->size()), 0);
            ASSERT_EQ(reg_blob_finish_upload(id, digest_of(*bytes).c_str(), digest), 0);
        }
        ASSERT_EQ(reg_blob_start_upload(open_upload), 0);
        char digest[REG_DIGEST_STRING_SIZE];
        ASSERT_EQ(reg_manifest_put("lib/app", "latest", kManifest.data(), kManifest.size(),
                                   nullptr, digest),
                  0)
            << reg_storage_last_error();
    }
    void TearDown() override { reg_storage_cleanup(); }

    std::string blob_path(const std::string &bytes) const {
        std::string hex = reference_sha256_hex(bytes);
        return root + "/blobs/sha256/" + hex.substr(0, 2) + "/" + hex;
    }
    std::string manifests() const { return root + "/repositories/lib/app/_manifests"; }
    std::string body_path() const { return manifests() + "/" + reference_sha256_hex(kManifest); }
    std::string tag_link() const { return manifests() + "/tags/latest/current/link"; }
    std::string revision_link() const {
        return manifests() + "/revisions/sha256/" + reference_sha256_hex(kManifest) + "/link";
    }

    ScratchDir scratch;
    std::string root = scratch / "root";
    char open_upload[37] = {};
};

TEST_F(StoreFixture, AStoreWrittenByTheStoragePassesAndIsCounted) {
    StoreCheck check = check_store(root, {true, true});
    EXPECT_TRUE(check.violations.empty()) << join_lines(check.violations);
    EXPECT_TRUE(check.temporaries.empty());
    EXPECT_EQ(check.blobs, 2);
    EXPECT_EQ(check.uploads, 1);
    EXPECT_EQ(check.manifests, 1);
    EXPECT_EQ(check.tags, 1);
    EXPECT_EQ(check.revisions, 1);
}

TEST_F(StoreFixture, ARootThatIsNotThereHoldsNothing) {
    EXPECT_TRUE(store_invariant_violations(scratch / "absent").empty());
}

struct Damage {
    const char *name;
    std::function<void(StoreFixture &)> apply;
    const char *expected;  // part of the violation's text
};

class Damaged : public StoreFixture, public ::testing::WithParamInterface<Damage> {};

TEST_P(Damaged, IsReportedAsAViolation) {
#ifdef _WIN32
    // Symbolic links need a privilege on Windows that tests do not have.
    if (std::string(GetParam().expected).find("another kind") != std::string::npos)
        GTEST_SKIP() << "no symbolic links without SeCreateSymbolicLinkPrivilege";
#endif
    GetParam().apply(*this);
    std::vector<std::string> violations = check_store(root, {true, true}).violations;
    ASSERT_EQ(violations.size(), 1u) << join_lines(violations);
    EXPECT_NE(violations[0].find(GetParam().expected), std::string::npos) << violations[0];
}

const Damage kDamages[] = {
    {"blob_rewritten", [](StoreFixture &f) { write_whole_file(f.blob_path(kBlob), kOther); },
     "blob does not hold its digest's bytes"},
    {"blob_cut_short",
     [](StoreFixture &f) { fs::resize_file(f.blob_path(kBlob), kBlob.size() - 1); },
     "blob does not hold its digest's bytes"},
    {"blob_in_another_fan_out",
     [](StoreFixture &f) {
         std::string hex = reference_sha256_hex(kBlob);
         std::string other = hex.substr(0, 2) == "00" ? "01" : "00";
         fs::create_directories(f.root + "/blobs/sha256/" + other);
         fs::rename(f.blob_path(kBlob), f.root + "/blobs/sha256/" + other + "/" + hex);
     },
     "unexpected file"},
    {"blob_as_symbolic_link",
     [](StoreFixture &f) {
         std::string path = f.blob_path(kBlob);
         fs::remove(path);
         fs::create_symlink(f.blob_path(kOther), path);
     },
     "unexpected entry of another kind"},
    {"manifest_body_rewritten",
     [](StoreFixture &f) { write_whole_file(f.body_path(), kManifest + " "); },
     "manifest body does not hold its digest's bytes"},
    {"tag_link_with_line_end",
     [](StoreFixture &f) { write_whole_file(f.tag_link(), digest_of(kManifest) + "\n"); },
     "link is not a whole digest string (72 bytes)"},
    {"tag_link_empty", [](StoreFixture &f) { write_whole_file(f.tag_link(), ""); },
     "link is not a whole digest string (0 bytes)"},
    {"revision_link_names_another_digest",
     [](StoreFixture &f) { write_whole_file(f.revision_link(), digest_of(kOther)); },
     "revision link names another digest"},
    {"tag_without_its_manifest", [](StoreFixture &f) { fs::remove(f.body_path()); },
     "whose manifest body is absent"},
    {"stray_file_in_the_root", [](StoreFixture &f) { write_whole_file(f.root + "/notes", "x"); },
     "notes: unexpected file"},
    {"stray_directory_in_uploads",
     [](StoreFixture &f) { fs::create_directory(f.root + "/uploads/x.part"); },
     "uploads/x.part: unexpected directory"},
    {"upload_with_a_malformed_id",
     [](StoreFixture &f) { write_whole_file(f.root + "/uploads/ABC.part", ""); },
     "uploads/ABC.part: unexpected file"},
    {"tag_outside_the_tag_grammar",
     [](StoreFixture &f) {
         fs::create_directories(f.manifests() + "/tags/-bad/current");
     },
     "tags/-bad: unexpected directory"},
    {"file_written_beside_the_root",
     [](StoreFixture &f) { write_whole_file(f.scratch / "escaped", "x"); },
     "outside the storage root"},
};

INSTANTIATE_TEST_SUITE_P(Kinds, Damaged, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(StoreFixture, ATagRaceCanBeReportedInsteadOfFailing) {
    fs::remove(body_path());
    StoreCheckOptions options;
    options.dangling_tag_is_violation = false;
    StoreCheck check = check_store(root, options);
    EXPECT_TRUE(check.violations.empty()) << join_lines(check.violations);
    ASSERT_EQ(check.dangling_tags.size(), 1u);
    EXPECT_NE(check.dangling_tags[0].find("tags/latest/current/link"), std::string::npos);
}

TEST_F(StoreFixture, TemporariesAreListedNotViolations) {
    std::string pid = std::to_string(getpid());
    write_whole_file(tag_link() + ".tmp-" + pid + "-3", "sha256:");
    write_whole_file(body_path() + ".ct.tmp-" + pid + "-4", "");
    write_whole_file(root + "/config.json.tmp-" + pid + "-1", "{");
    StoreCheck check = check_store(root);
    EXPECT_TRUE(check.violations.empty()) << join_lines(check.violations);
    EXPECT_EQ(check.temporaries.size(), 3u) << join_lines(check.temporaries);
}

}  // namespace

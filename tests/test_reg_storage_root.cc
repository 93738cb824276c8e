// Storage root, error state, file primitives and the blob store.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "storage/reg_storage.h"
#include "storage/layout.h"
#include "tests/support/process.h"
#include "tests/support/storage_fixture.h"

using testing_support::path_exists;
using testing_support::read_whole_file;
using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace {

const char kConfig[] =
    "{\n  \"schemaVersion\": 2,\n  \"title\": \"tarnwick-registry-storage\",\n"
    "  \"version\": \"1.0.0\",\n  \"maxUploadSize\": -1\n}\n";

const std::string kHexA(64, 'a');
const std::string kDigestA = "sha256:" + kHexA;
const std::string kHexB = "ab" + std::string(62, '0');
const std::string kDigestB = "sha256:" + kHexB;
const std::string kHexC = "ab" + std::string(62, '1');
const std::string kDigestC = "sha256:" + kHexC;

size_t entries_in(const std::string &dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(dir)) n++;
    return n;
}

class StorageTest : public testing_support::StorageRootTest {
  protected:
    std::string blob_path(const std::string &hex) const {
        return testing_support::join_path(blob_fan(hex), hex);
    }
    std::string blob_fan(const std::string &hex) const {
        return root_ + PLAT_SEP_STR "blobs" PLAT_SEP_STR "sha256" PLAT_SEP_STR + hex.substr(0, 2);
    }
    void place_blob(const std::string &hex, const std::string &data) const {
        testing_support::make_dir(blob_fan(hex));
        write_whole_file(blob_path(hex), data);
    }

};

TEST_F(StorageTest, FreshRootHoldsExactlyTheTopLevelLayout) {
    EXPECT_EQ(read_whole_file(root_ + "/config.json"), kConfig);
    EXPECT_EQ(read_whole_file(root_ + "/config.json").size(), 110u);
    for (const char *d : {"/blobs", "/blobs/sha256", "/repositories", "/uploads"})
        EXPECT_TRUE(dir_exists((root_ + d).c_str())) << d;
    EXPECT_EQ(entries_in(root_), 4u);
    EXPECT_EQ(entries_in(root_ + "/blobs"), 1u);
    EXPECT_EQ(entries_in(root_ + "/blobs/sha256"), 0u);
    EXPECT_STREQ(reg_storage_last_error(), "");
}

TEST_F(StorageTest, SecondInitLeavesAnEditedConfigAlone) {
    write_whole_file(root_ + "/config.json", "edited by hand");
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0);
    EXPECT_EQ(read_whole_file(root_ + "/config.json"), "edited by hand");
}

TEST_F(StorageTest, DirectoryNamedConfigJsonFailsInitialisation) {
    std::string other = dir_ / "other";
    ASSERT_EQ(testing_support::make_dir(other), 0);
    ASSERT_EQ(testing_support::make_dir(other + "/config.json"), 0);
    EXPECT_EQ(reg_storage_init(other.c_str()), -1);
    EXPECT_STREQ(reg_storage_last_error(), "write config.json failed");
    EXPECT_EQ(reg_blob_exists(kDigestA.c_str()), -1);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
}

TEST_F(StorageTest, EmptyRootWhileReadyKeepsTheOldRoot) {
    for (const char *root : {static_cast<const char *>(nullptr), ""}) {
        EXPECT_EQ(reg_storage_init(root), -1);
        EXPECT_STREQ(reg_storage_last_error(), "storage root dir is empty");
        EXPECT_EQ(reg_blob_exists(kDigestA.c_str()), 0);
        EXPECT_STREQ(s_root, root_.c_str());
    }
}

TEST_F(StorageTest, RootLengthLimit) {
    // 3499 characters proceed to directory creation (which fails on a name
    // component longer than the file system allows); 3500 are refused first.
    std::string long_root = root_ + "/" + std::string(3499 - root_.size() - 1, 'r');
    ASSERT_EQ(long_root.size(), 3499u);
    EXPECT_EQ(reg_storage_init(long_root.c_str()), -1);
    EXPECT_EQ(std::string(reg_storage_last_error()).rfind("mkdirs failed: ", 0), 0u);
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0);
    std::string too_long = long_root + "r";
    EXPECT_EQ(reg_storage_init(too_long.c_str()), -1);
    EXPECT_STREQ(reg_storage_last_error(), "storage root dir too long (max 3499 chars)");
    EXPECT_EQ(s_ready, 0);
}

TEST_F(StorageTest, TrailingSeparatorOfTheRoot) {
    struct Case {
        std::string given, kept;
    } cases[] = {
        {root_ + PLAT_SEP_STR, root_},
        {root_ + PLAT_SEP_STR PLAT_SEP_STR, root_ + PLAT_SEP_STR},
        {root_, root_},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(reg_storage_init(c.given.c_str()), 0) << c.given;
        EXPECT_EQ(std::string(s_root), c.kept);
        char path[4096];
        place_blob(kHexA, "x");
        ASSERT_EQ(reg_blob_get_filepath(kDigestA.c_str(), path, sizeof path), 0);
        EXPECT_EQ(read_whole_file(path), "x");
    }
    EXPECT_EQ(reg_storage_init(PLAT_SEP_STR), -1);
    EXPECT_STREQ(reg_storage_last_error(), "mkdirs failed: ");
}

TEST_F(StorageTest, LongFailureMessageIsCutAt1023) {
    std::string blocker = dir_ / "file";
    write_whole_file(blocker, "");
    std::string root = blocker + "/" + std::string(2000, 'x');
    EXPECT_EQ(reg_storage_init(root.c_str()), -1);
    std::string msg = reg_storage_last_error();
    EXPECT_EQ(msg.size(), 1023u);
    EXPECT_EQ(msg, ("mkdirs failed: " + root).substr(0, 1023));
}

TEST(StorageUninitialised, NullTestComesBeforeReadiness) {
    reg_storage_cleanup();
    const std::string digest = "sha256:" + std::string(64, 'a');
    EXPECT_EQ(reg_blob_exists(nullptr), -1);
    EXPECT_STREQ(reg_storage_last_error(), "digest is NULL");
    EXPECT_EQ(reg_blob_exists(digest.c_str()), -1);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
    char buf[8];
    EXPECT_EQ(reg_blob_get_filepath(digest.c_str(), buf, 0), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
    EXPECT_EQ(reg_blob_delete(digest.c_str()), -1);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
    EXPECT_EQ(reg_blob_get_size(digest.c_str()), -1);
}

TEST_F(StorageTest, InvalidDigestsAreRefusedByEveryBlobOperation) {
    const std::string bad[] = {
        "SHA256:" + kHexA,         "sha256:" + std::string(63, 'a'),
        "sha256:" + kHexA + "a",   "sha256:A" + std::string(63, 'a'),
        "sha256:" + kHexA + "\n",  "sha256:" + std::string(63, 'a') + "g",
        "sha256:" + std::string(63, 'a') + "\xc3", "",
    };
    char path[4096];
    for (const auto &d : bad) {
        EXPECT_EQ(digest_valid(d.c_str()), 0) << d;
        EXPECT_EQ(reg_blob_exists(d.c_str()), -1) << d;
        EXPECT_STREQ(reg_storage_last_error(), "invalid digest");
        EXPECT_EQ(reg_blob_get_size(d.c_str()), -1);
        EXPECT_EQ(reg_blob_get_filepath(d.c_str(), path, sizeof path), -1);
        EXPECT_STREQ(reg_storage_last_error(), "invalid digest");
        EXPECT_EQ(reg_blob_delete(d.c_str()), -1);
        EXPECT_STREQ(reg_storage_last_error(), "invalid digest");
    }
    EXPECT_EQ(digest_valid(nullptr), 0);
    EXPECT_EQ(digest_valid(kDigestA.c_str()), 1);
}

TEST_F(StorageTest, BlobLookups) {
    EXPECT_EQ(reg_blob_exists(kDigestA.c_str()), 0);
    set_error("earlier");
    EXPECT_EQ(reg_blob_get_size(kDigestA.c_str()), -1);
    EXPECT_STREQ(reg_storage_last_error(), "earlier");

    place_blob(kHexA, "hello");
    place_blob(kHexB, "");
    EXPECT_EQ(reg_blob_exists(kDigestA.c_str()), 1);
    EXPECT_EQ(reg_blob_get_size(kDigestA.c_str()), 5);
    EXPECT_EQ(reg_blob_get_size(kDigestB.c_str()), 0);

    std::string expect = blob_path(kHexA);
    char path[4096];
    memset(path, 'z', sizeof path);
    EXPECT_EQ(reg_blob_get_filepath(kDigestA.c_str(), path, expect.size()), -1);
    EXPECT_STREQ(reg_storage_last_error(), "path buffer too small");
    EXPECT_EQ(path[0], 'z');
    ASSERT_EQ(reg_blob_get_filepath(kDigestA.c_str(), path, expect.size() + 1), 0);
    EXPECT_EQ(std::string(path), expect);

    EXPECT_EQ(reg_blob_get_filepath(kDigestC.c_str(), path, sizeof path), -1);
    EXPECT_EQ(std::string(reg_storage_last_error()), "blob not found: " + kDigestC);
}

TEST_F(StorageTest, DirectoryAtBlobPathIsNoBlob) {
    testing_support::make_dir(root_ + "/blobs/sha256/aa");
    testing_support::make_dir(blob_path(kHexA));
    EXPECT_EQ(reg_blob_exists(kDigestA.c_str()), 0);
    EXPECT_GE(reg_blob_get_size(kDigestA.c_str()), 0);
    char path[4096];
    EXPECT_EQ(reg_blob_get_filepath(kDigestA.c_str(), path, sizeof path), -1);
    EXPECT_EQ(reg_blob_delete(kDigestA.c_str()), -1);
    EXPECT_EQ(std::string(reg_storage_last_error()), "blob not found: " + kDigestA);
    EXPECT_TRUE(dir_exists(blob_path(kHexA).c_str()));
}

TEST_F(StorageTest, DeleteRemovesAnEmptyFanOutDirectoryOnly) {
    place_blob(kHexB, "b");
    place_blob(kHexC, "c");
    std::string fan = root_ + "/blobs/sha256/ab";
    ASSERT_EQ(reg_blob_delete(kDigestB.c_str()), 0);
    EXPECT_FALSE(path_exists(blob_path(kHexB)));
    EXPECT_TRUE(dir_exists(fan.c_str()));
    ASSERT_EQ(reg_blob_delete(kDigestC.c_str()), 0);
    EXPECT_FALSE(path_exists(fan));
    EXPECT_EQ(reg_blob_delete(kDigestC.c_str()), -1);
    EXPECT_EQ(std::string(reg_storage_last_error()), "blob not found: " + kDigestC);
}

TEST_F(StorageTest, MkdirsRules) {
    EXPECT_EQ(mkdirs(""), -1);
    EXPECT_EQ(mkdirs(std::string(4096, 'a').c_str()), -1);
    std::string deep = dir_ / "a//b/c/";
    EXPECT_EQ(mkdirs(deep.c_str()), 0);
    EXPECT_TRUE(dir_exists((dir_ / "a/b/c").c_str()));
    EXPECT_EQ(mkdirs(deep.c_str()), 0);

    std::string file = dir_ / "plain";
    write_whole_file(file, "x");
    EXPECT_EQ(mkdirs(file.c_str()), 0);
    EXPECT_EQ(mkdirs((file + "/below").c_str()), -1);

    // 4095 characters are attempted: the levels that fit the file system
    // are made before the overlong component fails.
    std::string long_path = dir_ / "long/" + std::string(4095 - (dir_ / "long/").size(), 'n');
    ASSERT_EQ(long_path.size(), 4095u);
    EXPECT_EQ(mkdirs(long_path.c_str()), -1);
    EXPECT_TRUE(dir_exists((dir_ / "long").c_str()));
}

TEST_F(StorageTest, FilePrimitives) {
    std::string f = dir_ / "f";
    write_whole_file(f, "content");
    ASSERT_EQ(write_file(f.c_str(), "", 0), 0);
    EXPECT_EQ(read_whole_file(f), "");
    ASSERT_EQ(write_file(f.c_str(), "abc", 3), 0);
    EXPECT_EQ(read_whole_file(f), "abc");
    EXPECT_EQ(file_exists(f.c_str()), 1);
    EXPECT_EQ(dir_exists(f.c_str()), 0);
    EXPECT_EQ(file_size(f.c_str()), 3);
    EXPECT_EQ(write_file((dir_ / "missing/f").c_str(), "abc", 3), -1);

    EXPECT_EQ(remove_file((dir_ / "absent").c_str()), 0);
    std::string d = dir_ / "d";
    testing_support::make_dir(d);
    EXPECT_EQ(remove_file(d.c_str()), 0);
    EXPECT_TRUE(dir_exists(d.c_str()));
    EXPECT_EQ(remove_file(f.c_str()), 0);
    EXPECT_FALSE(path_exists(f));
    EXPECT_EQ(file_size(f.c_str()), -1);
}

TEST_F(StorageTest, AtomicWriteReplacesWholeAndLeavesNoTemporaryFile) {
    std::string f = dir_ / "link";
    write_whole_file(f, "old content");
    ASSERT_EQ(write_file_atomic(f.c_str(), "new", 3), 0);
    EXPECT_EQ(read_whole_file(f), "new");
    EXPECT_EQ(entries_in(dir_.path()), 2u);  // "root" and "link"

    std::string d = dir_ / "dir";
    testing_support::make_dir(d);
    EXPECT_EQ(write_file_atomic(d.c_str(), "x", 1), -1);
    EXPECT_TRUE(dir_exists(d.c_str()));
    EXPECT_EQ(entries_in(dir_.path()), 3u);
}

TEST(StorageHelpers, BinToHexAndPathJoin) {
    const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
    char hex[7];
    bin_to_hex(bytes, 3, hex);
    EXPECT_STREQ(hex, "00abff");
    bin_to_hex(bytes, 0, hex);
    EXPECT_STREQ(hex, "");

    char out[8];
    path_join(out, sizeof out, "ab", "cd");
    EXPECT_STREQ(out, "ab" PLAT_SEP_STR "cd");
    path_join(out, sizeof out, "", "cd");
    EXPECT_STREQ(out, PLAT_SEP_STR "cd");
    path_join(out, sizeof out, "abcd", "efgh");
    EXPECT_STREQ(out, "abcd" PLAT_SEP_STR "ef");
}

}  // namespace

// Directory listing, whole-file reading and text duplication.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "storage/reg_storage_internal.h"
#include "tests/support/process.h"

using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace {

// Fills dir with `files` regular files and `dirs` subdirectories.
void populate(const std::string &dir, int files, int dirs) {
    for (int i = 0; i < files; i++) write_whole_file(dir + "/f" + std::to_string(i), "x");
    for (int i = 0; i < dirs; i++) testing_support::make_dir(dir + "/d" + std::to_string(i));
}

// A record that already holds a previous listing, so that a call which
// forgets to reset it shows.
std::unique_ptr<dir_list> used_record() {
    auto list = std::make_unique<dir_list>();
    memset(list.get(), 0x5a, sizeof *list);
    list->count = 7;
    list->truncated = 1;
    return list;
}

struct ListCase {
    const char *name;
    int files, dirs;
    const char *suffix;  // appended to the listed directory's path
    int rc, count, truncated;
};

class ListDirTable : public ::testing::TestWithParam<ListCase> {};

TEST_P(ListDirTable, CountsAndTruncation) {
    const ListCase &c = GetParam();
    ScratchDir scratch;
    std::string dir = scratch / "d";
    ASSERT_EQ(testing_support::make_dir(dir), 0);
    populate(dir, c.files, c.dirs);
    write_whole_file(scratch / "plain", "not a directory");

    auto list = used_record();
    EXPECT_EQ(list_dir((scratch.path() + c.suffix).c_str(), list.get()), c.rc);
    EXPECT_EQ(list->count, c.count);
    EXPECT_EQ(list->truncated, c.truncated);

    // Every entry listed is one of the directory's own, each only once.
    std::set<std::string> seen;
    for (int i = 0; i < list->count; i++) {
        std::string name = list->entries[i].name;
        EXPECT_TRUE(seen.insert(name).second) << name;
        EXPECT_EQ(list->entries[i].is_dir, name[0] == 'd' ? 1 : 0) << name;
        EXPECT_NE(name, ".");
        EXPECT_NE(name, "..");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Listing, ListDirTable,
    ::testing::Values(ListCase{"Empty", 0, 0, "/d", 0, 0, 0},
                      ListCase{"FilesAndDirs", 3, 2, "/d", 0, 5, 0},
                      ListCase{"Exactly512", 500, 12, "/d", 0, 512, 0},
                      ListCase{"Over512IsTruncated", 501, 12, "/d", 0, 512, 1},
                      ListCase{"TrailingSeparator", 3, 2, "/d/", 0, 5, 0},
                      ListCase{"RegularFile", 0, 0, "/plain", -1, 0, 0},
                      ListCase{"Absent", 0, 0, "/missing", -1, 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ListDir, LongNamesAreStoredWhole) {
    ScratchDir scratch;
    std::string name(255, 'n');
    write_whole_file(scratch / name, "");
    auto list = used_record();
    ASSERT_EQ(list_dir(scratch.path().c_str(), list.get()), 0);
    ASSERT_EQ(list->count, 1);
    EXPECT_EQ(std::string(list->entries[0].name), name);
    EXPECT_EQ(list->entries[0].is_dir, 0);
}

struct ReadCase {
    const char *name;
    std::string content;
    uint64_t capacity;
    std::string expected;  // the text before the terminator
    uint64_t expected_len;
};

class ReadFileTable : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadFileTable, ReadsAtMostCapacityLessOneAndTerminates) {
    const ReadCase &c = GetParam();
    ScratchDir scratch;
    write_whole_file(scratch / "f", c.content);
    std::string buffer(c.capacity + 8, '#');
    uint64_t len = 12345;
    ASSERT_EQ(read_file((scratch / "f").c_str(), buffer.data(), c.capacity, &len), 0);
    EXPECT_EQ(len, c.expected_len);
    EXPECT_EQ(buffer.substr(0, len), c.expected);
    EXPECT_EQ(buffer[len], '\0');
    // Nothing beyond the capacity is touched.
    EXPECT_EQ(buffer.substr(c.capacity), std::string(8, '#'));
}

INSTANTIATE_TEST_SUITE_P(
    Reading, ReadFileTable,
    ::testing::Values(ReadCase{"CutToCapacityLessOne", "0123456789", 5, "0123", 4},
                      ReadCase{"ExactFit", "0123456789", 11, "0123456789", 10},
                      ReadCase{"CapacityOne", "0123456789", 1, "", 0},
                      ReadCase{"Empty", "", 16, "", 0},
                      ReadCase{"EmbeddedNulCounted", std::string("ab\0cd", 5), 16,
                               std::string("ab\0cd", 5), 5}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ReadFile, MissingOrDirectoryLeavesBufferAndCountAlone) {
    ScratchDir scratch;
    testing_support::make_dir(scratch / "dir");
    for (const char *name : {"missing", "dir"}) {
        char buffer[8] = "abcdefg";
        uint64_t len = 99;
        EXPECT_EQ(read_file((scratch / name).c_str(), buffer, sizeof buffer, &len), -1) << name;
        EXPECT_EQ(len, 99u) << name;
        EXPECT_STREQ(buffer, "abcdefg") << name;
    }
}

TEST(ReadFile, CountIsOptional) {
    ScratchDir scratch;
    write_whole_file(scratch / "f", "link");
    char buffer[16];
    ASSERT_EQ(read_file((scratch / "f").c_str(), buffer, sizeof buffer, nullptr), 0);
    EXPECT_STREQ(buffer, "link");
}

TEST(Xstrdup, CopiesIntoFreshMemory) {
    for (const char *text : {"", "library/alpine"}) {
        char *copy = xstrdup(text);
        ASSERT_NE(copy, nullptr);
        EXPECT_NE(copy, text);
        EXPECT_STREQ(copy, text);
        free(copy);
    }
}

}  // namespace

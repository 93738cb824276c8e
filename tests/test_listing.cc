// Directory listing, whole-file reading and text duplication.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "storage/layout.h"
#include "tests/support/process.h"

using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace {

// Fills dir with `files` regular files and `dirs` subdirectories.
void populate(const std::string &dir, int files, int dirs) {
    for (int i = 0; i < files; i++) write_whole_file(dir + "/f" + std::to_string(i), "x");
    for (int i = 0; i < dirs; i++) testing_support::make_dir(dir + "/d" + std::to_string(i));
}

// A listing that already holds entries, so that a call which forgets to
// empty it shows.
std::vector<listed_entry> used_listing() { return {{"stale", false}, {"old", true}}; }

struct ListCase {
    const char *name;
    int files, dirs;
    const char *suffix;  // appended to the listed directory's path
    int rc;              // of list_all
    int or_absent;       // of list_or_absent
    size_t count;
};

class ListAllTable : public ::testing::TestWithParam<ListCase> {};

TEST_P(ListAllTable, ListsEveryEntryOrTellsWhyNot) {
    const ListCase &c = GetParam();
    ScratchDir scratch;
    std::string dir = scratch / "d";
    ASSERT_EQ(testing_support::make_dir(dir), 0);
    populate(dir, c.files, c.dirs);
    write_whole_file(scratch / "plain", "not a directory");
    std::string listed = scratch.path() + c.suffix;

    std::vector<listed_entry> entries = used_listing();
    EXPECT_EQ(list_all(listed.c_str(), &entries), c.rc);
    EXPECT_EQ(entries.size(), c.count);
    // Every entry listed is one of the directory's own, each only once.
    std::set<std::string> seen;
    for (const listed_entry &e : entries) {
        EXPECT_TRUE(seen.insert(e.name).second) << e.name;
        EXPECT_EQ(e.is_dir, e.name[0] == 'd') << e.name;
        EXPECT_NE(e.name, ".");
        EXPECT_NE(e.name, "..");
    }

    entries = used_listing();
    EXPECT_EQ(list_or_absent(listed.c_str(), &entries), c.or_absent);
    EXPECT_EQ(entries.size(), c.count);
}

// No listing stops at a capacity: every caller sees every entry, however
// many there are.
INSTANTIATE_TEST_SUITE_P(
    Listing, ListAllTable,
    ::testing::Values(ListCase{"Empty", 0, 0, "/d", 0, LISTED, 0},
                      ListCase{"FilesAndDirs", 3, 2, "/d", 0, LISTED, 5},
                      ListCase{"Over512", 501, 12, "/d", 0, LISTED, 513},
                      ListCase{"ThousandsOfEntries", 2500, 100, "/d", 0, LISTED, 2600},
                      ListCase{"TrailingSeparator", 3, 2, "/d/", 0, LISTED, 5},
                      ListCase{"RegularFile", 0, 0, "/plain", -1, LISTED_FAILED, 0},
                      ListCase{"Absent", 0, 0, "/missing", -1, LISTED_ABSENT, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ListAll, LongNamesAreListedWhole) {
    ScratchDir scratch;
    std::string name(255, 'n');
    write_whole_file(scratch / name, "");
    std::vector<listed_entry> entries;
    ASSERT_EQ(list_all(scratch.path().c_str(), &entries), 0);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, name);
    EXPECT_FALSE(entries[0].is_dir);
}

TEST(CountFiles, CountsEveryFileAndItsBytesButNoDirectory) {
    ScratchDir scratch;
    std::string dir = scratch / "d";
    ASSERT_EQ(testing_support::make_dir(dir), 0);
    populate(dir, 700, 3);
    int64_t count = 0, bytes = 0;
    EXPECT_EQ(count_files(dir.c_str(), &count, &bytes), LISTED);
    EXPECT_EQ(count, 700);
    EXPECT_EQ(bytes, 700);
    count = bytes = 0;
    EXPECT_EQ(count_files((scratch / "missing").c_str(), &count, &bytes), LISTED_ABSENT);
    EXPECT_EQ(count, 0);
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

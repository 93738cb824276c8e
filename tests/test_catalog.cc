// Tag list, repository catalog, JSON escaping and byte-order sorting.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform_fault.h"
#include "storage/reg_storage.h"
#include "storage/layout.h"
#include "storage/catalog_internal.h"
#include "tests/support/process.h"
#include "tests/support/storage_fixture.h"

using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace fs = std::filesystem;

// ---- Allocation failures -------------------------------------------------
//
// This executable runs on the fault-injecting platform, which counts every
// C++ allocation of the program and the platform's own (platform_fault.h):
// a test makes one chosen allocation fail and sees whether everything
// allocated during a call was freed again.

namespace {

const std::string kDigest = "sha256:" + std::string(64, 'a');
const char kNotReady[] = "not initialized - call reg_storage_init first";

std::string escaped(const char *src) {
    std::vector<char> out(64 + 6 * strlen(src));
    uint64_t n = json_escape_append(out.data(), out.size(), src);
    EXPECT_EQ(out[n], '\0');
    return std::string(out.data(), n);
}

// ---- json_escape_append ------------------------------------------------

struct EscapeCase {
    const char *label;
    const char *input;
    const char *expected;
};

const EscapeCase kEscapeCases[] = {
    {"plain", "library/alpine-3.19_x", "library/alpine-3.19_x"},
    {"empty", "", ""},
    {"quote", "a\"b", "a\\\"b"},
    {"backslash", "a\\b", "a\\\\b"},
    {"named_controls", "\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
    {"byte_1", "x\x01y", "x\\u0001y"},
    {"byte_31", "\x1f", "\\u001f"},
    {"byte_11", "\x0b", "\\u000b"},
    {"slash_and_del_raw", "/\x7f", "/\x7f"},
    {"high_bytes_raw", "caf\xc3\xa9\xff\x80", "caf\xc3\xa9\xff\x80"},
};

void PrintTo(const EscapeCase &c, std::ostream *os) { *os << c.label; }

class EscapeTable : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTable, WritesEachByteByTheEscapeTable) {
    EXPECT_EQ(escaped(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Bytes, EscapeTable, ::testing::ValuesIn(kEscapeCases),
                         [](const auto &info) { return std::string(info.param.label); });

TEST(JsonEscapeAppend, NullSourceIsEmpty) {
    char out[16];
    memset(out, 'X', sizeof out);
    EXPECT_EQ(json_escape_append(out, sizeof out, nullptr), 0u);
    EXPECT_EQ(out[0], '\0');
}

struct CapCase {
    uint64_t cap;
    const char *input;
    const char *expected;  // what is appended before the NUL
};

// A byte is handled only while more than 8 bytes remain, so an escape is
// never cut in the middle.
const CapCase kCapCases[] = {
    {1, "abc", ""},
    {8, "abc", ""},
    {9, "abc", "a"},
    {10, "abc", "ab"},
    {11, "abc", "abc"},
    {9, "\x01\x01", "\\u0001"},
    {14, "\x01\x01", "\\u0001"},
    {15, "\x01\x01", "\\u0001\\u0001"},
    {10, "a\"b", "a\\\""},
    {10, "\"\"\"", "\\\""},
    {11, "\"\"\"", "\\\"\\\""},
};

TEST(JsonEscapeAppend, StopsBetweenEscapesWhenRoomRunsOut) {
    for (const CapCase &c : kCapCases) {
        SCOPED_TRACE(testing::Message() << "cap " << c.cap << " input " << c.input);
        char out[64];
        memset(out, 'X', sizeof out);
        uint64_t n = json_escape_append(out, c.cap, c.input);
        EXPECT_EQ(std::string(out, n), c.expected);
        EXPECT_LT(n, c.cap);
        EXPECT_EQ(out[n], '\0');
        // Nothing is written past the NUL, let alone past cap.
        for (size_t i = n + 1; i < sizeof out; i++) ASSERT_EQ(out[i], 'X') << "byte " << i;
    }
}

TEST(JsonEscapeAppend, ZeroCapWritesNothing) {
    char out[4] = {'X', 'X', 'X', 'X'};
    EXPECT_EQ(json_escape_append(out, 0, "abc"), 0u);
    EXPECT_EQ(std::string(out, 4), "XXXX");
}

// ---- sort_str ------------------------------------------------------------

struct SortCase {
    const char *label;
    std::vector<std::string> input;
    std::vector<std::string> expected;
};

const SortCase kSortCases[] = {
    {"numbers_as_text", {"1.9", "1.10", "1.2"}, {"1.10", "1.2", "1.9"}},
    {"upper_case_first", {"b", "a", "B", "A", "_"}, {"A", "B", "_", "a", "b"}},
    {"high_bytes_last", {"\xc3\xa9", "z", "\x01"}, {"\x01", "z", "\xc3\xa9"}},
    {"prefix_first", {"latest-1", "latest", "late"}, {"late", "latest", "latest-1"}},
    {"already_sorted", {"a", "b", "c"}, {"a", "b", "c"}},
    {"reversed", {"e", "d", "c", "b", "a"}, {"a", "b", "c", "d", "e"}},
    {"single", {"only"}, {"only"}},
    {"none", {}, {}},
};

void PrintTo(const SortCase &c, std::ostream *os) { *os << c.label; }

class SortTable : public ::testing::TestWithParam<SortCase> {};

TEST_P(SortTable, SortsInByteOrder) {
    std::vector<std::string> texts = GetParam().input;
    std::vector<char *> names;
    for (auto &t : texts) names.push_back(t.data());
    sort_str(names.data(), static_cast<int32_t>(names.size()));
    std::vector<std::string> got(names.begin(), names.end());
    EXPECT_EQ(got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Orders, SortTable, ::testing::ValuesIn(kSortCases),
                         [](const auto &info) { return std::string(info.param.label); });

TEST(SortStr, KeepsEqualNamesInTheirOrder) {
    char b1[] = "b", a1[] = "a", b2[] = "b", a2[] = "a";
    char *names[] = {b1, a1, b2, a2};
    sort_str(names, 4);
    EXPECT_EQ(names[0], a1);
    EXPECT_EQ(names[1], a2);
    EXPECT_EQ(names[2], b1);
    EXPECT_EQ(names[3], b2);
}

TEST(StrCmp, ComparesBytesAsUnsigned) {
    EXPECT_LT(str_cmp("Z", "a"), 0);
    EXPECT_GT(str_cmp("\x80", "z"), 0);
    EXPECT_EQ(str_cmp("same", "same"), 0);
    EXPECT_LT(str_cmp("abc", "abcd"), 0);
}

// ---- json_append_name_array: staying valid when the buffer runs out --------

struct ArrayCase {
    uint64_t cap;
    std::vector<std::string> names;
    const char *expected;
};

// The tail `"aa","bb","cc"]}` needs 17 bytes with its NUL, but each name goes
// in only with the escaper's room of 8 bytes after it, so the last name
// needs cap 21.
const ArrayCase kArrayCases[] = {
    {64, {"aa", "bb", "cc"}, "\"aa\",\"bb\",\"cc\"]}"},
    {21, {"aa", "bb", "cc"}, "\"aa\",\"bb\",\"cc\"]}"},
    {20, {"aa", "bb", "cc"}, "\"aa\",\"bb\"]}"},
    {12, {"aa", "bb", "cc"}, "\"aa\"]}"},
    {11, {"aa", "bb", "cc"}, "\"aa\"]}"},
    {10, {"aa", "bb", "cc"}, "]}"},
    // A later name that would fit is left out too: the document holds a
    // leading run of the sorted names.
    {20, {"aa", "bbbbbbbbb", "c"}, "\"aa\"]}"},
    // The escaped length counts, not the raw one.
    {20, {"\x01\x01"}, "]}"},
    {21, {"\x01\x01"}, "\"\\u0001\\u0001\"]}"},
    {3, {"aa"}, "]}"},
    {64, {}, "]}"},
};

TEST(JsonAppendNameArray, LeavesOutNamesThatNoLongerFitWhole) {
    for (const ArrayCase &c : kArrayCases) {
        SCOPED_TRACE(testing::Message() << "cap " << c.cap << ", " << c.names.size() << " names");
        std::vector<std::string> texts = c.names;
        std::vector<char *> names;
        for (auto &t : texts) names.push_back(t.data());
        char out[64];
        memset(out, 'X', sizeof out);
        uint64_t n = json_append_name_array(out, c.cap, names.data(),
                                            static_cast<int32_t>(names.size()));
        EXPECT_EQ(std::string(out, n), c.expected);
        ASSERT_LT(n, c.cap);
        EXPECT_EQ(out[n], '\0');
        for (size_t i = n + 1; i < sizeof out; i++) ASSERT_EQ(out[i], 'X') << "byte " << i;
    }
}

TEST(JsonAppendNameArray, TooSmallForTheClosingWritesOnlyTheNul) {
    char a[] = "a";
    char *names[] = {a};
    char out[4] = {'X', 'X', 'X', 'X'};
    EXPECT_EQ(json_append_name_array(out, 2, names, 1), 0u);
    EXPECT_EQ(std::string(out, 4), std::string("\0XXX", 4));
    EXPECT_EQ(json_append_name_array(out, 0, names, 1), 0u);
    EXPECT_EQ(std::string(out, 4), std::string("\0XXX", 4));
}

// ---- Fixture over a scratch storage root ------------------------------------

class CatalogTest : public testing_support::StorageRootTest {
  protected:
    std::string repos() const { return root_ + "/repositories"; }
    std::string tags_dir(const std::string &repo) const {
        return repos() + "/" + repo + "/_manifests/tags";
    }
    // A tag placed straight on disk, with the given link text.
    void place_tag(const std::string &repo, const std::string &tag,
                   const std::string &link = kDigest) const {
        std::string current = tags_dir(repo) + "/" + tag + "/current";
        fs::create_directories(current);
        write_whole_file(current + "/link", link);
    }
    void make_dir(const std::string &path) const { fs::create_directories(path); }

    static std::string tag_doc(const std::string &name, const std::string &tags) {
        return "{\"name\":\"" + name + "\",\"tags\":[" + tags + "]}";
    }
    static std::string tags_of(const char *repo) {
        const char *doc = reg_tags_list_json(repo);
        return doc != nullptr ? doc : std::string("NULL: ") + reg_storage_last_error();
    }
    static std::string catalog(int32_t n, const char *last) {
        const char *doc = reg_catalog_json(n, last);
        return doc != nullptr ? doc : std::string("NULL: ") + reg_storage_last_error();
    }

};

// ---- Tag list ------------------------------------------------------------------

// Repositories in which nothing counts as a tag, each set up by a different
// path on disk.
struct NoTagCase {
    const char *label;
    const char *repo;
    void (*setup)(const std::string &tags_dir);
};

const NoTagCase kNoTagCases[] = {
    {"never_used", "never/used", [](const std::string &) {}},
    {"no_tags_dir", "lonely",
     [](const std::string &tags) {
         fs::create_directories(fs::path(tags).parent_path());
     }},
    {"empty_tags_dir", "bare",
     [](const std::string &tags) { fs::create_directories(tags); }},
    {"file_under_tags", "filed",
     [](const std::string &tags) {
         fs::create_directories(tags);
         write_whole_file(tags + "/v1", kDigest);
     }},
    {"tag_dir_without_current", "nocurrent",
     [](const std::string &tags) { fs::create_directories(tags + "/v1"); }},
    {"current_without_link", "nolink",
     [](const std::string &tags) {
         fs::create_directories(tags + "/v1/current");
     }},
    {"link_is_a_directory", "dirlink",
     [](const std::string &tags) {
         fs::create_directories(tags + "/v1/current/link");
     }},
};

void PrintTo(const NoTagCase &c, std::ostream *os) { *os << c.label; }

class NoTagTable : public CatalogTest, public ::testing::WithParamInterface<NoTagCase> {};

TEST_P(NoTagTable, ListsNoTagsWithoutFailing) {
    GetParam().setup(tags_dir(GetParam().repo));
    EXPECT_EQ(tags_of(GetParam().repo), tag_doc(GetParam().repo, ""));
}

INSTANTIATE_TEST_SUITE_P(Layouts, NoTagTable, ::testing::ValuesIn(kNoTagCases),
                         [](const auto &info) { return std::string(info.param.label); });

// Windows file systems take names that differ only in case for one; there
// the upper-case name is another word.
#ifdef _WIN32
#define UPPER_CASE_TAG "Later"
#else
#define UPPER_CASE_TAG "Latest"
#endif

TEST_F(CatalogTest, TagListHasOnlyDirectoriesWithReadableLinksInByteOrder) {
    for (const char *tag : {"latest", "1.9", "1.10", UPPER_CASE_TAG, "v2"}) place_tag("app", tag);
    place_tag("app", "empty-link", "");
    place_tag("app", "odd-link", "not a digest\n");
    write_whole_file(tags_dir("app") + "/stray-file", kDigest);
    make_dir(tags_dir("app") + "/no-link/current");
    EXPECT_EQ(tags_of("app"),
              tag_doc("app", "\"1.10\",\"1.9\",\"" UPPER_CASE_TAG "\",\"empty-link\",\"latest\","
                             "\"odd-link\",\"v2\""));
}

TEST_F(CatalogTest, TagListEscapesNamesFromDisk) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows file names hold no '\"', '\\' or control characters";
#endif
    place_tag("app", "a\"b\\c");
    place_tag("app", "\x01x");
    place_tag("app", "caf\xc3\xa9");
    place_tag("app", "tab\there");
    EXPECT_EQ(tags_of("app"),
              tag_doc("app", "\"\\u0001x\",\"a\\\"b\\\\c\",\"caf\xc3\xa9\",\"tab\\there\""));
}

TEST_F(CatalogTest, TagListFollowsManifestPutsAndDeletes) {
    const std::string body =
        "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + kDigest + "\"},\"layers\":[]}";
    char digest[REG_DIGEST_STRING_SIZE];
    for (const char *tag : {"v1", "v0.9", "stable"})
        ASSERT_EQ(reg_manifest_put("team/app", tag, body.data(), body.size(), nullptr, digest), 0)
            << reg_storage_last_error();
    EXPECT_EQ(tags_of("team/app"), tag_doc("team/app", "\"stable\",\"v0.9\",\"v1\""));
    ASSERT_EQ(reg_manifest_delete("team/app", "v0.9"), 0) << reg_storage_last_error();
    // The emptied tag directory stays, but without its link it is no tag.
    EXPECT_EQ(tags_of("team/app"), tag_doc("team/app", "\"stable\",\"v1\""));
}

TEST_F(CatalogTest, TagListHoldsAFullListingOfLongNames) {
    // 512 tags of 200 bytes each: far below the result buffer, all listed.
    std::vector<std::string> expected;
    for (int i = 0; i < 512; i++) {
        char prefix[8];
        snprintf(prefix, sizeof prefix, "%03d", i);
        std::string tag = prefix + std::string(197, 'x');
        place_tag("big", tag);
        expected.push_back("\"" + tag + "\"");
    }
    std::string tags;
    for (size_t i = 0; i < expected.size(); i++) tags += (i ? "," : "") + expected[i];
    EXPECT_EQ(tags_of("big"), tag_doc("big", tags));
}

struct TagListFailure {
    const char *label;
    const char *repo;
    bool ready;
    const char *message;
};

const std::string kNameTooLong(256, 'a');

const TagListFailure kTagListFailures[] = {
    {"null_name", nullptr, true, "repo_name is NULL"},
    {"null_name_before_ready_test", nullptr, false, "repo_name is NULL"},
    {"not_ready", "app", false, kNotReady},
    {"empty_name", "", true, "invalid repository name"},
    {"dot_dot", "a/../b", true, "invalid repository name"},
    {"space", "my app", true, "invalid repository name"},
    {"high_byte", "caf\xc3\xa9", true, "invalid repository name"},
    {"too_long", kNameTooLong.c_str(), true, "invalid repository name"},
};

void PrintTo(const TagListFailure &c, std::ostream *os) { *os << c.label; }

class TagListFailureTable : public CatalogTest,
                            public ::testing::WithParamInterface<TagListFailure> {};

TEST_P(TagListFailureTable, FailsWithItsMessage) {
    const TagListFailure &c = GetParam();
    if (!c.ready) reg_storage_cleanup();
    strcpy(s_result, "untouched");
    EXPECT_EQ(reg_tags_list_json(c.repo), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), c.message);
    EXPECT_STREQ(s_result, "untouched");
}

INSTANTIATE_TEST_SUITE_P(Arguments, TagListFailureTable, ::testing::ValuesIn(kTagListFailures),
                         [](const auto &info) { return std::string(info.param.label); });

// ---- Catalog --------------------------------------------------------------------

struct PageCase {
    int32_t n;
    const char *last;
    const char *names;  // the names in the document, as JSON
};

const PageCase kPageCases[] = {
    {0, nullptr, "\"alpha\",\"beta\",\"gamma\""},
    {-3, "", "\"alpha\",\"beta\",\"gamma\""},
    {2, nullptr, "\"alpha\",\"beta\""},
    {2, "", "\"alpha\",\"beta\""},
    {0, "alpha", "\"beta\",\"gamma\""},
    {1, "alpha", "\"beta\""},
    {0, "b", "\"beta\",\"gamma\""},
    {5, "beta", "\"gamma\""},
    {0, "gamma", ""},
    {0, "zeta", ""},
    {1, "gamma", ""},
    {0, "a", "\"alpha\",\"beta\",\"gamma\""},
    {3, nullptr, "\"alpha\",\"beta\",\"gamma\""},
    {2, "alpha", "\"beta\",\"gamma\""},
};

void PrintTo(const PageCase &c, std::ostream *os) {
    *os << "n " << c.n << ", last " << (c.last != nullptr ? c.last : "NULL");
}

class PageTable : public CatalogTest, public ::testing::WithParamInterface<PageCase> {};

TEST_P(PageTable, ShowsThePageAfterLast) {
    for (const char *repo : {"gamma", "alpha", "beta"})
        make_dir(repos() + "/" + repo + "/_manifests");
    const PageCase &c = GetParam();
    EXPECT_EQ(catalog(c.n, c.last), std::string("{\"repositories\":[") + c.names + "]}");
}

INSTANTIATE_TEST_SUITE_P(Paging, PageTable, ::testing::ValuesIn(kPageCases));

// Pages of a tag list over tags a, b, d and e, with c deleted (its
// directory left without a link) and a stray file f: a page holds the next
// n tags after last, a deleted tag is skipped wherever it falls, and the
// next marker is set only when a tag follows the page.
struct TagPageCase {
    int32_t n;
    const char *last;
    const char *names;  // the tags in the document, as JSON
    const char *next;
};

const TagPageCase kTagPageCases[] = {
    {2, nullptr, "\"a\",\"b\"", "b"},
    {1, "a", "\"b\"", "b"},
    {2, "b", "\"d\",\"e\"", ""},
    {1, "c", "\"d\"", "d"},
    {1, "b", "\"d\"", "d"},
    {3, nullptr, "\"a\",\"b\",\"d\"", "d"},
    {4, nullptr, "\"a\",\"b\",\"d\",\"e\"", ""},
    {-1, nullptr, "\"a\",\"b\",\"d\",\"e\"", ""},
    {2, "e", "", ""},
    {2, "0", "\"a\",\"b\"", "b"},
};

void PrintTo(const TagPageCase &c, std::ostream *os) {
    *os << "n " << c.n << ", last " << (c.last != nullptr ? c.last : "NULL");
}

class TagPageTable : public CatalogTest, public ::testing::WithParamInterface<TagPageCase> {};

TEST_P(TagPageTable, ShowsTheTagsAfterLastAndWhetherMoreFollow) {
    for (const char *tag : {"e", "a", "d", "b"}) place_tag("app", tag);
    make_dir(tags_dir("app") + "/c/current");
    write_whole_file(tags_dir("app") + "/f", kDigest);
    const TagPageCase &c = GetParam();
    char next[64] = "untouched";
    const char *doc = reg_tags_list_page("app", c.n, c.last, next, sizeof next);
    ASSERT_NE(doc, nullptr) << reg_storage_last_error();
    EXPECT_EQ(std::string(doc), tag_doc("app", c.names));
    EXPECT_STREQ(next, c.next);
}

INSTANTIATE_TEST_SUITE_P(Paging, TagPageTable, ::testing::ValuesIn(kTagPageCases));

TEST_F(CatalogTest, CatalogOfAnEmptyStoreHasNoNames) {
    EXPECT_EQ(catalog(0, nullptr), "{\"repositories\":[]}");
    fs::remove(repos());
    EXPECT_EQ(catalog(0, nullptr), "{\"repositories\":[]}");
}

// A repository is a directory with a _manifests directory, at any depth;
// directories without one only hold repositories (or nothing).
TEST_F(CatalogTest, CatalogListsEveryRepositoryAtAnyDepth) {
    const std::string body = "{\"config\":{\"digest\":\"" + kDigest + "\"}}";
    char digest[REG_DIGEST_STRING_SIZE];
    ASSERT_EQ(reg_manifest_put("library/alpine", "3.19", body.data(), body.size(), nullptr, digest),
              0)
        << reg_storage_last_error();
    ASSERT_EQ(reg_manifest_put("gone", "v1", body.data(), body.size(), nullptr, digest), 0)
        << reg_storage_last_error();
    ASSERT_EQ(reg_manifest_delete("gone", "v1"), 0) << reg_storage_last_error();
    make_dir(repos() + "/Zeta/_manifests");  // upper case sorts first
    make_dir(repos() + "/no-manifests");
    make_dir(repos() + "/library/_manifests");  // a repository that holds another
    make_dir(repos() + "/a/b/c/d/_manifests");
    write_whole_file(repos() + "/README", "not a repository");
#ifdef _WIN32
    // Windows file names hold no '"' or control characters.
    make_dir(repos() + "/odd name");
    make_dir(repos() + "/odd name/_manifests");
    const char *odd_json = "odd name";
#else
    make_dir(repos() + "/odd\x01\"name/_manifests");
    const char *odd_json = "odd\\u0001\\\"name";
#endif
    EXPECT_EQ(catalog(0, nullptr),
              std::string("{\"repositories\":[\"Zeta\",\"a/b/c/d\",\"gone\",\"library\","
                          "\"library/alpine\",\"") +
                  odd_json + "\"]}");
}

TEST_F(CatalogTest, CatalogFailsWhenNotReady) {
    reg_storage_cleanup();
    EXPECT_EQ(reg_catalog_json(0, nullptr), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), kNotReady);
}

TEST_F(CatalogTest, EachDocumentOverwritesTheResultFromItsFirstByte) {
    place_tag("one", "v1");
    std::string long_doc = tags_of("one");
    EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[\"one\"]}");
    EXPECT_EQ(long_doc, tag_doc("one", "\"v1\""));
}

// ---- Out of memory ------------------------------------------------------------------

// Fails the first, then the second, ... allocation a document makes, until
// one run makes no allocation that could fail: each failure must give the
// whole document or NULL with a message, and free whatever the call
// allocated.
class OomTable : public CatalogTest, public ::testing::WithParamInterface<bool> {};

TEST_P(OomTable, EveryAllocationFailureFailsAndFreesEverything) {
    const bool catalog_doc = GetParam();
    for (const char *name : {"t1", "t2", "t3", "t4"}) {
        place_tag("app", name);
        place_tag(name, "v1");
    }
    auto run = [&] { return catalog_doc ? reg_catalog_json(0, nullptr) : reg_tags_list_json("app"); };
    const std::string complete = run();
    int failures = 0;
    for (uint64_t k = 1;; k++) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        plat_fault_alloc_arm(k);
        const char *doc = run();
        plat_fault_alloc_stop();
        if (!plat_fault_alloc_failed()) {
            ASSERT_NE(doc, nullptr);
            EXPECT_EQ(std::string(doc), complete);
            break;
        }
        // A failure that the code under test copes with leaves the document
        // whole.
        if (doc != nullptr) {
            EXPECT_EQ(std::string(doc), complete);
            continue;
        }
        failures++;
        // The platform's own allocation for a directory enumeration fails
        // as a listing that could not be made.
        const std::string message = reg_storage_last_error();
        EXPECT_TRUE(message == "out of memory" || message.rfind("cannot ", 0) == 0) << message;
        EXPECT_NE(plat_fault_allocs_live(), UINT64_MAX) << "too many allocations to watch";
        EXPECT_EQ(plat_fault_allocs_live(), 0u) << "allocations made during the call were not freed";
    }
    EXPECT_GT(failures, 4) << "the document was built without allocating per name";
    // With memory back, no name is missing.
    EXPECT_EQ(run(), complete);
    EXPECT_NE(complete.find("\"t4\""), std::string::npos) << complete;
}

INSTANTIATE_TEST_SUITE_P(Allocations, OomTable, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "catalog" : "tags"; });

TEST_F(CatalogTest, SuccessfulDocumentsFreeEverything) {
    for (const char *name : {"t1", "t2", "t3"}) {
        place_tag("app", name);
        place_tag(name, "v1");
    }
    plat_fault_alloc_arm(0);
    bool tags_ok = reg_tags_list_json("app") != nullptr;
    bool catalog_ok = reg_catalog_json(0, nullptr) != nullptr;
    plat_fault_alloc_stop();
    EXPECT_TRUE(tags_ok);
    EXPECT_TRUE(catalog_ok);
    EXPECT_GT(plat_fault_allocs(), 0u) << "the allocations were not watched";
    EXPECT_NE(plat_fault_allocs_live(), UINT64_MAX);
    EXPECT_EQ(plat_fault_allocs_live(), 0u);
}

}  // namespace

// SHA-512 and the algorithm-neutral digest interface: known answers, splits
// around the 128-byte block, agreement with sha512sum on files, and the
// algorithm table (prefixes, sizes) over both algorithms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "digest/digest.h"
#include "digest/sha512.h"
#include "tests/support/process.h"
#include "tests/support/reference_sha512.h"

using testing_support::random_bytes;
using testing_support::reference_sha256_hex;
using testing_support::reference_sha512_hex;
using testing_support::run_process;
using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace {

std::string to_hex(const uint8_t *raw, size_t size) {
    std::vector<char> hex(2 * size + 1);
    digest_to_hex(raw, size, hex.data());
    return hex.data();
}

// Digests data with sha512_update calls of the given sizes (their sum must
// be data.size()).
std::string sha512_in_pieces(const std::string &data, const std::vector<size_t> &pieces) {
    sha512_ctx ctx;
    EXPECT_EQ(sha512_init(&ctx), 0);
    size_t at = 0;
    for (size_t n : pieces) {
        sha512_update(&ctx, data.data() + at, n);
        at += n;
    }
    uint8_t out[SHA512_DIGEST_SIZE];
    sha512_final(&ctx, out);
    EXPECT_EQ(ctx.impl, nullptr) << "final releases the state";
    return to_hex(out, sizeof out);
}

std::string sha512_at_once(const std::string &data) { return sha512_in_pieces(data, {data.size()}); }

// data cut into pieces of size piece, the last one shorter.
std::vector<size_t> pieces_of(size_t total, size_t piece) {
    std::vector<size_t> pieces;
    for (size_t at = 0; at < total; at += piece) pieces.push_back(std::min(piece, total - at));
    return pieces;
}

struct KnownAnswer {
    const char *name;
    std::string message;
    const char *digest;
};

// The standard's example messages with their published SHA-512 digests.
const KnownAnswer kKnownAnswers[] = {
    {"empty", "",
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
     "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
    {"abc", "abc",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
     "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c335"
     "96fd15c13b1b07f9aa1d3bea57789ca031ad85c7a71dd70354ec631238ca3445"},
    {"896 bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
     "mnopqrstnopqrstu",
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
     "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
    {"one million a", std::string(1000000, 'a'),
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
     "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
};

TEST(Sha512, KnownAnswersInOneCallByteByByteAndInBlockSizedPieces) {
    for (const KnownAnswer &k : kKnownAnswers) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(sha512_at_once(k.message), k.digest);
        EXPECT_EQ(sha512_in_pieces(k.message, pieces_of(k.message.size(), 1)), k.digest);
        EXPECT_EQ(sha512_in_pieces(k.message, pieces_of(k.message.size(), 127)), k.digest);
    }
}

// Messages of every length from 0 to 300 bytes and around the lengths where
// the closing bytes change shape (111 bytes close in one block, 112 to 127
// need a block for the length field, 128 fills one), each fed in pieces of
// every size from 1 to its length: all equal to the one-shot digest. The
// one-shot digest of each length differs from that of its neighbours, so a
// closing that ignored the last byte or the length would show.
TEST(Sha512, StreamedInPiecesOfEverySizeEqualsOneShot) {
    std::vector<size_t> lengths;
    for (size_t len = 0; len <= 300; len++) lengths.push_back(len);
    for (size_t len : {383, 384, 385, 511, 512, 513, 1000}) lengths.push_back(len);
    std::string previous;
    for (size_t len : lengths) {
        SCOPED_TRACE(len);
        std::string data = random_bytes(len, 7);  // each a prefix of the longest
        std::string once = sha512_at_once(data);
        EXPECT_NE(once, previous);
        previous = once;
        for (size_t piece = 1; piece <= len; piece++) {
            ASSERT_EQ(sha512_in_pieces(data, pieces_of(len, piece)), once) << "pieces of " << piece;
        }
    }
}

TEST(Sha512, RandomLengthsAndSplitsEqualReference) {
    std::mt19937 rng(512);
    for (int round = 0; round < 200; round++) {
        size_t len = rng() % 5000;
        std::string data = random_bytes(len, round);
        std::vector<size_t> pieces;
        for (size_t left = len; left > 0;) {
            size_t n = std::min<size_t>(left, rng() % 300);
            pieces.push_back(n);  // pieces of 0 bytes are part of the test
            left -= n;
        }
        std::string want = reference_sha512_hex(data);
        ASSERT_EQ(sha512_in_pieces(data, pieces), want) << "round " << round;
        ASSERT_EQ(sha512_at_once(data), want) << "round " << round;
    }
}

TEST(Sha512, DiscardReleasesAndLeavesNothingHeld) {
    sha512_ctx ctx;
    ASSERT_EQ(sha512_init(&ctx), 0);
    sha512_update(&ctx, "abc", 3);
    sha512_discard(&ctx);
    EXPECT_EQ(ctx.impl, nullptr);
    sha512_discard(&ctx);  // a second discard of a spent context does nothing
    EXPECT_EQ(ctx.impl, nullptr);
}

// sha512sum's hex for the file at path; "" on Windows, which has no such
// command.
std::string sha512sum_of(const std::string &path) {
#ifdef _WIN32
    (void)path;
    return "";
#else
    testing_support::ProcessResult r = run_process("/usr/bin/sha512sum", {path}, {});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    return r.out.substr(0, 128);
#endif
}

// sha512_file reads in 64 KiB pieces: sizes below, at and across that.
// Compared with the reference library, and with the sha512sum command where
// it runs (not under Wine: see the large-file case below).
class Sha512FileTest : public ::testing::TestWithParam<size_t> {
  protected:
    ScratchDir dir_;
};

TEST_P(Sha512FileTest, DigestOfFileEqualsReferenceAndSha512sum) {
    std::string data = random_bytes(GetParam(), static_cast<unsigned>(GetParam()) + 5);
    std::string path = dir_ / "blob";
    write_whole_file(path, data);
    uint8_t out[SHA512_DIGEST_SIZE];
    ASSERT_EQ(sha512_file(path.c_str(), out), 0);
    EXPECT_EQ(to_hex(out, sizeof out), reference_sha512_hex(data));
    std::string expected = sha512sum_of(path);
    if (!expected.empty()) {
        EXPECT_EQ(to_hex(out, sizeof out), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Sha512FileTest,
                         ::testing::Values(0, 1, 111, 112, 128, 65535, 65536, 65537, 3 * 65536 + 100,
                                           5000000));

// A file made and digested with sha512sum outside this test, named by
// SHA512_CHECK_FILE with its hex in SHA512_CHECK_HEX: how the Windows build
// under Wine is checked against sha512sum run on Linux
// (tests/e2e/windows/sha512_file_wine.sh, with a 1 GiB file).
TEST(Sha512FileLarge, DigestEqualsSha512sumTakenOutside) {
    const char *path = getenv("SHA512_CHECK_FILE");
    const char *hex = getenv("SHA512_CHECK_HEX");
    if (path == nullptr || hex == nullptr) GTEST_SKIP() << "SHA512_CHECK_FILE and SHA512_CHECK_HEX not set";
    uint8_t out[SHA512_DIGEST_SIZE];
    ASSERT_EQ(sha512_file(path, out), 0) << path;
    EXPECT_EQ(to_hex(out, sizeof out), hex);
}

TEST(Sha512FileFailure, UnopenableFileFailsAndLeavesOutputAlone) {
    ScratchDir dir;
    for (const std::string &path : {dir / "absent", dir / "absent/blob", dir.path()}) {
        SCOPED_TRACE(path);
        uint8_t out[SHA512_DIGEST_SIZE];
        memset(out, 0xA5, sizeof out);
        EXPECT_EQ(sha512_file(path.c_str(), out), -1);
        for (uint8_t byte : out) ASSERT_EQ(byte, 0xA5);
    }
}

// ---- the algorithm-neutral interface, a table over both algorithms ----

struct AlgoCase {
    digest_algo algo;
    const char *prefix;
    size_t size;
    const char *abc_hex;  // the standard's digest of "abc"
};

const AlgoCase kAlgos[] = {
    {DIGEST_SHA256, "sha256:", 32, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {DIGEST_SHA512, "sha512:", 64,
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
     "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
};

TEST(DigestAlgo, PrefixSizeAndHexLengthOfEachAlgorithm) {
    for (const AlgoCase &c : kAlgos) {
        SCOPED_TRACE(c.prefix);
        EXPECT_STREQ(digest_algo_prefix(c.algo), c.prefix);
        EXPECT_EQ(digest_algo_size(c.algo), c.size);
        EXPECT_EQ(digest_algo_hex_len(c.algo), 2 * c.size);
        EXPECT_LE(digest_algo_size(c.algo), size_t{DIGEST_MAX_SIZE});
        EXPECT_LE(digest_algo_hex_len(c.algo), size_t{DIGEST_MAX_HEX_LEN});
    }
}

TEST(DigestAlgo, FromPrefixReadsOnlyTheNamesItKnows) {
    struct Case {
        const char *text;
        int rc;
        digest_algo algo;
    };
    const Case cases[] = {
        {"sha256:", 0, DIGEST_SHA256},
        {"sha256:abcd", 0, DIGEST_SHA256},
        {"sha512:", 0, DIGEST_SHA512},
        {"sha512:00ff", 0, DIGEST_SHA512},
        {"", -1, DIGEST_SHA256},
        {"sha256", -1, DIGEST_SHA256},
        {"sha512", -1, DIGEST_SHA256},
        {"SHA512:00", -1, DIGEST_SHA256},
        {"sha384:00", -1, DIGEST_SHA256},
        {"md5:00", -1, DIGEST_SHA256},
        {" sha512:00", -1, DIGEST_SHA256},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        // Started from each algorithm in turn, so that an output left
        // untouched and one written show apart.
        for (digest_algo before : {DIGEST_SHA256, DIGEST_SHA512}) {
            digest_algo algo = before;
            EXPECT_EQ(digest_algo_from_prefix(c.text, &algo), c.rc);
            EXPECT_EQ(algo, c.rc == 0 ? c.algo : before);
        }
    }
}

TEST(DigestCtx, EachAlgorithmGivesItsKnownAnswerStreamedAndAtOnce) {
    for (const AlgoCase &c : kAlgos) {
        SCOPED_TRACE(c.prefix);
        digest_ctx ctx;
        ASSERT_EQ(digest_init(&ctx, c.algo), 0);
        digest_update(&ctx, "a", 1);
        digest_update(&ctx, "", 0);
        digest_update(&ctx, "bc", 2);
        uint8_t out[DIGEST_MAX_SIZE];
        ASSERT_EQ(digest_final(&ctx, out), c.size);
        EXPECT_EQ(to_hex(out, c.size), c.abc_hex);

        size_t len = 0;
        ASSERT_EQ(digest_of_bytes(c.algo, "abc", 3, out, &len), 0);
        EXPECT_EQ(len, c.size);
        EXPECT_EQ(to_hex(out, len), c.abc_hex);
    }
}

TEST(DigestCtx, DiscardOfEitherAlgorithmReleasesItsState) {
    for (const AlgoCase &c : kAlgos) {
        digest_ctx ctx;
        ASSERT_EQ(digest_init(&ctx, c.algo), 0);
        digest_update(&ctx, "abc", 3);
        digest_discard(&ctx);  // leak-checked under the sanitizer build
    }
    digest_ctx ctx;
    ASSERT_EQ(digest_init(&ctx, DIGEST_SHA512), 0);
    digest_discard(&ctx);
    EXPECT_EQ(ctx.u.sha512.impl, nullptr);
}

TEST(DigestOfFile, EachAlgorithmAgreesWithItsOwnFunctionAndFailsOnMissingFile) {
    ScratchDir dir;
    std::string data = random_bytes(200000, 11);
    std::string path = dir / "blob";
    write_whole_file(path, data);
    for (const AlgoCase &c : kAlgos) {
        SCOPED_TRACE(c.prefix);
        uint8_t out[DIGEST_MAX_SIZE];
        size_t len = 0;
        ASSERT_EQ(digest_of_file(c.algo, path.c_str(), out, &len), 0);
        ASSERT_EQ(len, c.size);
        std::string want = c.algo == DIGEST_SHA512 ? reference_sha512_hex(data) : reference_sha256_hex(data);
        EXPECT_EQ(to_hex(out, len), want);

        size_t untouched = 12345;
        EXPECT_EQ(digest_of_file(c.algo, (dir / "absent").c_str(), out, &untouched), -1);
        EXPECT_EQ(untouched, 12345u);
    }
}

TEST(DigestToHex, LowercaseDigitsAndTerminatingNul) {
    const uint8_t raw[] = {0x00, 0x01, 0x7f, 0x80, 0xab, 0xff};
    char hex[2 * sizeof raw + 2];
    memset(hex, 'x', sizeof hex);
    digest_to_hex(raw, sizeof raw, hex);
    EXPECT_STREQ(hex, "00017f80abff");
    EXPECT_EQ(hex[sizeof hex - 1], 'x');
}

}  // namespace

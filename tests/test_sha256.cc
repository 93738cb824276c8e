// SHA-256 digest: known answers, block boundaries, split-independence and
// agreement with a reference library (OpenSSL, or CNG on Windows) on both compression paths, and file digests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "digest/sha256_internal.h"
#include "tests/support/process.h"

using testing_support::path_exists;
using testing_support::random_bytes;
using testing_support::read_whole_file;
using testing_support::reference_sha256_hex;
using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace {

std::string to_hex(const uint8_t digest[32]) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (int i = 0; i < 32; i++) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
}

// Digests data with sha256_update calls of the given sizes (their sum must
// be data.size()).
std::string digest_in_pieces(const std::string &data, const std::vector<size_t> &pieces) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    size_t at = 0;
    for (size_t n : pieces) {
        sha256_update(&ctx, data.data() + at, n);
        at += n;
    }
    uint8_t out[32];
    sha256_final(&ctx, out);
    return to_hex(out);
}

std::string digest_at_once(const std::string &data) { return digest_in_pieces(data, {data.size()}); }

// Expects two contexts to be in the same observable state.
void expect_same_context(const sha256_ctx &got, const sha256_ctx &want) {
    for (int i = 0; i < 8; i++) EXPECT_EQ(got.state[i], want.state[i]) << "state word " << i;
    EXPECT_EQ(got.bit_count, want.bit_count);
    EXPECT_EQ(got.block_len, want.block_len);
    EXPECT_EQ(0, memcmp(got.block, want.block, sizeof got.block)) << "bytes of block differ";
}

enum class Path { accelerated, portable };

std::string path_name(const ::testing::TestParamInfo<Path> &info) {
    return info.param == Path::accelerated ? "Accelerated" : "Portable";
}

// Runs each test with sha256_update and sha256_final on one compression
// path. The accelerated one is skipped on CPUs without SHA extensions.
class Sha256PathTest : public ::testing::TestWithParam<Path> {
  protected:
    void SetUp() override {
        if (GetParam() == Path::accelerated && !sha256_internal::cpu_has_sha_extensions())
            GTEST_SKIP() << "this CPU has no SHA extensions";
        sha256_internal::force_portable(GetParam() == Path::portable);
    }
    void TearDown() override { sha256_internal::force_portable(false); }
};

INSTANTIATE_TEST_SUITE_P(BothPaths, Sha256PathTest,
                         ::testing::Values(Path::accelerated, Path::portable), path_name);

struct KnownAnswer {
    const char *name;
    std::string message;
    const char *digest;
};

// The standard's example messages with their published digests.
const KnownAnswer kKnownAnswers[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"896 bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
     "mnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"one million a", std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

TEST_P(Sha256PathTest, KnownAnswersInOneCallAndByteByByte) {
    for (const KnownAnswer &k : kKnownAnswers) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(digest_at_once(k.message), k.digest);
        EXPECT_EQ(digest_in_pieces(k.message, std::vector<size_t>(k.message.size(), 1)), k.digest);
    }
}

// Around the lengths where the closing bytes change shape: 55 bytes close
// in one block, 56 to 63 need a block for the length, 64 is compressed
// while absorbed and the closing bytes form a block of their own.
TEST_P(Sha256PathTest, LengthsAroundBlockBoundariesMatchReference) {
    for (size_t len : {55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 191, 192, 193}) {
        SCOPED_TRACE(len);
        std::string data = random_bytes(len, static_cast<unsigned>(len));
        EXPECT_EQ(digest_at_once(data), reference_sha256_hex(data));
    }
}

TEST_P(Sha256PathTest, ClosingLeavesTheContextAsTheBytesThroughBlockDescribe) {
    for (size_t len : {0, 55, 56, 63, 64, 65}) {
        SCOPED_TRACE(len);
        std::string data = random_bytes(len, 7);
        sha256_ctx ctx;
        sha256_init(&ctx);
        sha256_update(&ctx, data.data(), data.size());
        EXPECT_EQ(ctx.block_len, len % 64);
        EXPECT_EQ(ctx.bit_count, 8 * len);
        uint8_t out[32];
        sha256_final(&ctx, out);
        EXPECT_EQ(to_hex(out), reference_sha256_hex(data));
        // The closing bytes (0x80, zeros, 8 length bytes) went through the
        // same buffering and end on a block boundary: one block for the
        // length when len % 64 <= 55, else two.
        size_t padded = (len + 8) / 64 * 64 + 64;
        EXPECT_EQ(ctx.block_len, 0u);
        EXPECT_EQ(ctx.bit_count, 8 * padded);
    }
}

// Random sizes of update calls: many zero and short ones, sizes around the
// block length, and now and then a large one, so that pieces start and end
// at every offset within a block.
std::vector<size_t> random_split(size_t total, std::mt19937_64 &rng) {
    std::vector<size_t> pieces;
    while (total > 0) {
        size_t n;
        switch (rng() % 6) {
            case 0: n = 0; break;
            case 1: n = 1 + rng() % 8; break;
            case 2: n = 60 + rng() % 9; break;
            case 3: n = 64 * (1 + rng() % 4); break;
            case 4: n = rng() % 300; break;
            default: n = rng() % 5000; break;
        }
        n = std::min(n, total);
        pieces.push_back(n);
        total -= n;
    }
    if (rng() % 2) pieces.push_back(0);
    return pieces;
}

TEST_P(Sha256PathTest, RandomLengthsAndSplitsMatchReference) {
    std::mt19937_64 rng(20240611);
    for (int trial = 0; trial < 400; trial++) {
        size_t len = trial < 300 ? rng() % 1100 : rng() % 200000;
        std::string data = random_bytes(len, static_cast<unsigned>(trial));
        std::vector<size_t> pieces = random_split(len, rng);
        SCOPED_TRACE(::testing::Message() << "trial " << trial << ", " << len << " bytes in "
                                          << pieces.size() << " calls");
        ASSERT_EQ(digest_in_pieces(data, pieces), reference_sha256_hex(data));
    }
}

// After every call the context holds exactly what feeding the same bytes
// one at a time (each one copied through block) leaves: the same state,
// bit count, block length and block bytes, also when whole blocks are
// compressed straight from the caller's memory.
TEST_P(Sha256PathTest, ContextAfterEachCallEqualsByteByByteFeeding) {
    std::mt19937_64 rng(77);
    for (int trial = 0; trial < 40; trial++) {
        size_t len = rng() % 3000;
        std::string data = random_bytes(len, 1000u + static_cast<unsigned>(trial));
        sha256_ctx pieces_ctx, bytes_ctx;
        // The same leftover bytes in both blocks: init leaves block alone.
        memset(&pieces_ctx, 0x11, sizeof pieces_ctx);
        memset(&bytes_ctx, 0x11, sizeof bytes_ctx);
        sha256_init(&pieces_ctx);
        sha256_init(&bytes_ctx);
        size_t at = 0;
        for (size_t n : random_split(len, rng)) {
            sha256_update(&pieces_ctx, data.data() + at, n);
            for (size_t i = 0; i < n; i++) sha256_update(&bytes_ctx, data.data() + at + i, 1);
            at += n;
            SCOPED_TRACE(::testing::Message() << "trial " << trial << ", after " << at << " bytes");
            expect_same_context(pieces_ctx, bytes_ctx);
            if (HasFailure()) return;
        }
    }
}

// HMAC-SHA256: the known answers of RFC 4231 (a short key, a key shorter
// than its data, a key longer than a block, which is hashed first) and a
// key of exactly one block, which is used as it is.
TEST(Sha256Hmac, KnownAnswers) {
    struct Case {
        std::string key, data, mac;
    };
    const Case cases[] = {
        {std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {std::string(64, 'k'), "exactly one block of key",
         "baa93ea4ccc7062ed6870c5e7937dbd35ad7791df4e29df9addeb429ff491acf"},
        {"", "", "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
    };
    for (const Case &c : cases) {
        uint8_t out[32];
        sha256_hmac(c.key.data(), c.key.size(), c.data.data(), c.data.size(), out);
        EXPECT_EQ(to_hex(out), c.mac) << c.data;
    }
}

TEST(Sha256Update, CountOfZeroReadsNothingAndChangesNothing) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, "abcdefghij", 10);
    sha256_ctx before = ctx;
    sha256_update(&ctx, nullptr, 0);
    expect_same_context(ctx, before);
}

// The two compression paths agree on arbitrary states, not only on the
// initial hash value, and over runs of several blocks in one call.
TEST(Sha256Compress, AcceleratedPathEqualsPortablePath) {
#ifdef SHA256_HAVE_SHA_EXTENSIONS_PATH
    if (!sha256_internal::cpu_has_sha_extensions()) GTEST_SKIP() << "this CPU has no SHA extensions";
    std::mt19937_64 rng(5);
    for (size_t blocks : {0, 1, 2, 3, 16, 257}) {
        SCOPED_TRACE(blocks);
        std::string data = random_bytes(64 * blocks + 1, static_cast<unsigned>(blocks));
        uint32_t portable[8], accelerated[8];
        for (uint32_t &word : portable) word = static_cast<uint32_t>(rng());
        memcpy(accelerated, portable, sizeof portable);
        // From an odd address: the caller's data need not be aligned.
        const uint8_t *from = reinterpret_cast<const uint8_t *>(data.data()) + 1;
        sha256_internal::compress_portable(portable, from, blocks);
        sha256_internal::compress_sha_extensions(accelerated, from, blocks);
        EXPECT_EQ(0, memcmp(portable, accelerated, sizeof portable));
    }
#else
    GTEST_SKIP() << "this build has no SHA-extensions path";
#endif
}

// The kernel's view of the CPU, read independently of the module's check.
bool cpuinfo_lists_sha_ni() {
    std::string cpuinfo = read_whole_file("/proc/cpuinfo");
    return cpuinfo.find(" sha_ni") != std::string::npos;
}

TEST(Sha256Compress, FirstUseChoosesTheAcceleratedPathWhenTheCpuHasIt) {
    if (!path_exists("/proc/cpuinfo")) GTEST_SKIP() << "no /proc/cpuinfo to compare with";
    sha256_internal::force_portable(false);
#ifdef SHA256_HAVE_SHA_EXTENSIONS_PATH
    sha256_internal::compress_fn expected = cpuinfo_lists_sha_ni()
                                                ? sha256_internal::compress_sha_extensions
                                                : sha256_internal::compress_portable;
#else
    sha256_internal::compress_fn expected = sha256_internal::compress_portable;
#endif
    EXPECT_EQ(sha256_internal::chosen_compress(), expected);
    EXPECT_EQ(sha256_internal::cpu_has_sha_extensions(), expected != sha256_internal::compress_portable);
}

// sha256_file reads in 64 KiB pieces: sizes below, at and across that.
class Sha256FileTest : public ::testing::TestWithParam<size_t> {
  protected:
    ScratchDir dir_;
};

TEST_P(Sha256FileTest, DigestOfFileEqualsDigestOfItsBytes) {
    std::string data = random_bytes(GetParam(), static_cast<unsigned>(GetParam()) + 3);
    std::string path = dir_ / "blob";
    write_whole_file(path, data);
    uint8_t out[32];
    ASSERT_EQ(sha256_file(path.c_str(), out), 0);
    EXPECT_EQ(to_hex(out), reference_sha256_hex(data));
}

INSTANTIATE_TEST_SUITE_P(Sizes, Sha256FileTest,
                         ::testing::Values(0, 1, 65535, 65536, 65537, 3 * 65536, 3 * 65536 + 100,
                                           1000000));

TEST(Sha256FileFailure, UnopenableOrUnreadableFileFailsAndLeavesOutputAlone) {
    ScratchDir dir;
    struct Case {
        const char *name;
        std::string path;
    };
    std::vector<Case> cases = {
        {"missing file", dir / "absent"},
        {"missing parent", dir / "absent/blob"},
        {"directory", dir.path()},
    };
    // Opens as a regular file, but reading its offset 0 (an unmapped
    // address of the reading process) fails with an I/O error.
    if (path_exists("/proc/self/mem")) cases.push_back({"read fails", "/proc/self/mem"});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t out[32];
        memset(out, 0xA5, sizeof out);
        EXPECT_EQ(sha256_file(c.path.c_str(), out), -1);
        for (uint8_t byte : out) ASSERT_EQ(byte, 0xA5);
    }
}

}  // namespace

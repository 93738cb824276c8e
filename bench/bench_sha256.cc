// SHA-256 throughput over 64 KiB and 1 MiB buffers: our digest on the
// accelerated and on the portable compression path, and OpenSSL's, each a
// whole digest (init, one update over the buffer, final) per iteration.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

#include "digest/sha256.h"
#include "digest/sha256_internal.h"

namespace {

std::vector<uint8_t> random_buffer(size_t size) {
    std::mt19937_64 rng(size);
    std::vector<uint8_t> buffer(size);
    for (uint8_t &byte : buffer) byte = static_cast<uint8_t>(rng());
    return buffer;
}

enum class Path { accelerated, portable };

void bm_ours(benchmark::State &state, Path path) {
    if (path == Path::accelerated && !sha256_internal::cpu_has_sha_extensions()) {
        state.SkipWithError("this CPU has no SHA extensions");
        return;
    }
    sha256_internal::force_portable(path == Path::portable);
    const std::vector<uint8_t> buffer = random_buffer(static_cast<size_t>(state.range(0)));
    uint8_t out[32];
    for (auto _ : state) {
        sha256_ctx ctx;
        sha256_init(&ctx);
        sha256_update(&ctx, buffer.data(), buffer.size());
        sha256_final(&ctx, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    sha256_internal::force_portable(false);
}

void bm_openssl(benchmark::State &state) {
    const std::vector<uint8_t> buffer = random_buffer(static_cast<size_t>(state.range(0)));
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    const EVP_MD *md = EVP_sha256();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int out_len = 0;
    for (auto _ : state) {
        if (EVP_DigestInit_ex(ctx, md, nullptr) != 1 ||
            EVP_DigestUpdate(ctx, buffer.data(), buffer.size()) != 1 ||
            EVP_DigestFinal_ex(ctx, out, &out_len) != 1) {
            state.SkipWithError("OpenSSL digest failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

constexpr int64_t k64KiB = 64 << 10;
constexpr int64_t k1MiB = 1 << 20;

BENCHMARK_CAPTURE(bm_ours, accelerated, Path::accelerated)->Arg(k64KiB)->Arg(k1MiB);
BENCHMARK_CAPTURE(bm_ours, portable, Path::portable)->Arg(k64KiB)->Arg(k1MiB);
BENCHMARK(bm_openssl)->Arg(k64KiB)->Arg(k1MiB);

}  // namespace

BENCHMARK_MAIN();

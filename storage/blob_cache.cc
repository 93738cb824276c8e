// Cached blobs: bytes the registry fetched itself, written piece by piece
// into an upload whose id goes nowhere, and committed into the blob store
// only when their digest is the one they were fetched under.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "digest/digest.h"
#include "platform/platform.h"
#include "storage/layout.h"
#include "storage/reg_storage.h"
#include "storage/state.h"
#include "storage/uploads_internal.h"

namespace {

// A large blob's bytes are handed on to the disk in steps this large while
// it arrives, so that the commit's sync does not find the whole blob still
// to write (and hold up every other sync on the disk meanwhile).
constexpr uint64_t kWritebackStep = 8 * 1024 * 1024;

// Releases what the cache holds and removes its upload file.
void release(reg_blob_cache *cache, bool remove_upload) {
    if (cache->file != nullptr) {
        plat_fclose(cache->file);
        cache->file = nullptr;
    }
    if (cache->hash != nullptr) {
        digest_ctx *ctx = static_cast<digest_ctx *>(cache->hash);
        digest_discard(ctx);
        free(ctx);
        cache->hash = nullptr;
    }
    if (remove_upload && cache->path[0] != '\0') remove_file(cache->path);
    cache->path[0] = '\0';
}

}  // namespace

extern "C" {

int reg_blob_cache_begin(const char *expected_digest, reg_blob_cache *out) {
    if (expected_digest == nullptr || out == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready() != 0) return -1;
    digest_algo algo;
    if (!digest_valid(expected_digest) || digest_algo_from_prefix(expected_digest, &algo) != 0) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "invalid expected digest");
        return -1;
    }
    digest_ctx *ctx = static_cast<digest_ctx *>(calloc(1, sizeof *ctx));
    if (ctx == nullptr || digest_init(ctx, algo) != 0) {
        free(ctx);
        set_error("out of memory");
        return -1;
    }
    // The id goes nowhere: no client can append to, finish or cancel it.
    char id[REG_UPLOAD_ID_SIZE];
    if (reg_blob_start_upload(id) != 0) {
        digest_discard(ctx);
        free(ctx);
        return -1;
    }
    reg_blob_cache cache;
    memset(&cache, 0, sizeof cache);
    cache.hash = ctx;
    upload_path_for_uuid(id, cache.path, sizeof cache.path);
    snprintf(cache.expected, sizeof cache.expected, "%s", expected_digest);
    cache.file = plat_fopen_append_existing(cache.path);
    if (cache.file == nullptr) {
        set_error("cannot open upload: %s", id);
        release(&cache, true);
        return -1;
    }
    *out = cache;
    return 0;
}

int reg_blob_cache_write(reg_blob_cache *cache, const void *data, uint64_t len) {
    if (cache == nullptr || (data == nullptr && len > 0)) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (cache->file == nullptr || cache->hash == nullptr || cache->failed) {
        set_error("write error storing blob");
        return -1;
    }
    if (len == 0) return 0;
    uint64_t before = cache->written;
    size_t written = plat_fwrite(data, static_cast<size_t>(len), cache->file);
    digest_update(static_cast<digest_ctx *>(cache->hash), data, written);
    cache->written += written;
    // A write that passes a step starts the write-out from the step it
    // began in: every byte is covered, and pages already on their way are
    // left as they are.
    uint64_t step_start = before / kWritebackStep * kWritebackStep;
    bool passed_step = cache->written / kWritebackStep != before / kWritebackStep;
    if (written < len || ferror(cache->file) != 0 ||
        (passed_step &&
         plat_fstart_writeback(cache->file, step_start, cache->written - step_start) != 0)) {
        cache->failed = 1;
        set_error("write error storing blob");
        return -1;
    }
    return 0;
}

int reg_blob_cache_verify(reg_blob_cache *cache) {
    if (cache == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (cache->verified) return 0;
    if (cache->file == nullptr || cache->hash == nullptr) {
        set_error("write error storing blob");
        release(cache, true);
        return -1;
    }
    bool failed = cache->failed != 0;
    if (plat_fclose(cache->file) != 0) failed = true;
    cache->file = nullptr;
    digest_ctx *ctx = static_cast<digest_ctx *>(cache->hash);
    digest_algo algo = ctx->algo;
    uint8_t raw[DIGEST_MAX_SIZE];
    size_t raw_len = digest_final(ctx, raw);
    free(ctx);
    cache->hash = nullptr;
    if (failed) {
        set_error("write error storing blob");
        release(cache, true);
        return -1;
    }
    char computed[8 + 2 * DIGEST_MAX_SIZE + 1];
    snprintf(computed, sizeof computed, "%s", digest_algo_prefix(algo));
    digest_to_hex(raw, raw_len, computed + strlen(computed));
    if (strcmp(computed, cache->expected) != 0) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "digest mismatch: expected %s, got %s",
                         cache->expected, computed);
        release(cache, true);
        return -1;
    }
    cache->verified = 1;
    return 0;
}

int reg_blob_cache_commit(reg_blob_cache *cache) {
    if (reg_blob_cache_verify(cache) != 0) return -1;
    int rc = commit_verified_upload(cache->path, cache->expected);
    // A commit that failed part-way leaves nothing behind either.
    release(cache, rc != 0);
    cache->verified = 0;
    return rc;
}

void reg_blob_cache_abort(reg_blob_cache *cache) {
    if (cache != nullptr) release(cache, true);
}

}  // extern "C"

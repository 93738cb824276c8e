// regstore's blob and upload commands: files and standard input streamed
// through upload sessions, blobs streamed out with their digest checked.
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "digest/digest.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tools/regstore_cli.h"

namespace regstore {

namespace {



// The heap buffer one transfer moves its chunks through.
std::unique_ptr<char[]> chunk_buffer() { return std::make_unique<char[]>(kChunkSize); }

// How streaming into an upload ended.
enum class StreamEnd { kDone, kStorageFailed, kReadFailed, kInterrupted };

// Appends everything the input holds to upload id in chunks, feeding each
// chunk to ctx (when given) and to the progress line. *appended counts the
// bytes the storage accepted.
StreamEnd stream_into_upload(const char *id, Input &in, digest_ctx *ctx, Progress &progress,
                             uint64_t *appended) {
    auto buffer = chunk_buffer();
    *appended = 0;
    for (;;) {
        size_t n = in.read(buffer.get(), kChunkSize);
        if (InterruptGuard::caught() != 0) return StreamEnd::kInterrupted;
        if (n == 0) return in.failed() ? StreamEnd::kReadFailed : StreamEnd::kDone;
        if (ctx != nullptr) digest_update(ctx, buffer.get(), n);
        if (reg_blob_append_chunk(id, buffer.get(), n) != 0) return StreamEnd::kStorageFailed;
        *appended += n;
        progress.advance(n);
    }
}

// Throws away an upload that the tool itself started and can no longer
// finish. The storage's message of the original failure is kept by the
// caller before this runs.
void cancel_own_upload(const char *id) { reg_blob_cancel_upload(id); }

// Where blob get writes: standard output, or a file that appears under its
// name only once it is complete and verified. A regular file (or a name not
// yet taken) is written through a temporary file beside it and renamed into
// place; anything else that is not a directory (a device, a FIFO) is written
// directly, since renaming over it would replace the special file.
class Output {
  public:
    ~Output() { abandon(); }

    bool open(const std::string &name) {
        name_ = name;
        if (name == "-") {
            plat_set_binary(stdout);
            file_ = stdout;
            return true;
        }
        errno = 0;
        plat_attr attr;
        bool exists = plat_stat(name.c_str(), &attr) == 0;
        if (exists && attr.is_dir) {
            fail("cannot write %s: it is a directory", name.c_str());
            return false;
        }
        if (exists && !is_regular_file(name)) {
            return open_file(plat_fopen(name.c_str(), "wb"), name);
        }
        temp_ = name + ".regstore-" + std::to_string(plat_process_id()) + ".tmp";
        return open_file(plat_fcreate_new(temp_.c_str()), name);
    }

    bool write(const void *data, size_t n) { return plat_fwrite(data, n, file_) == n; }

    // Completes the output. false with the failure reported.
    bool commit() {
        if (file_ == stdout) {
            file_ = nullptr;
            if (fflush(stdout) != 0 || ferror(stdout) != 0) {
                fail("write error on standard output");
                return false;
            }
            return true;
        }
        FILE *f = file_;
        file_ = nullptr;
        if (plat_fclose(f) != 0) {
            fail("write error on %s", name_.c_str());
            discard_temp();
            return false;
        }
        if (!temp_.empty()) {
            if (plat_rename(temp_.c_str(), name_.c_str()) != 0) {
                fail("cannot rename %s to %s", temp_.c_str(), name_.c_str());
                discard_temp();
                return false;
            }
            temp_.clear();
        }
        return true;
    }

    // Gives up: the temporary file goes; standard output and special files
    // keep what they received.
    void abandon() {
        if (file_ != nullptr && file_ != stdout) plat_fclose(file_);
        file_ = nullptr;
        discard_temp();
    }

    const std::string &label() const {
        static const std::string kStdout = "standard output";
        return name_ == "-" ? kStdout : name_;
    }

  private:
    static bool is_regular_file(const std::string &name) {
        FILE *probe = plat_fopen_regular(name.c_str());
        if (probe == nullptr) return false;
        plat_fclose(probe);
        return true;
    }

    bool open_file(FILE *f, const std::string &shown) {
        if (f == nullptr) {
            if (errno != 0) fail("cannot create %s: %s", shown.c_str(), strerror(errno));
            else fail("cannot create %s", shown.c_str());
            temp_.clear();
            return false;
        }
        file_ = f;
        return true;
    }

    void discard_temp() {
        if (temp_.empty()) return;
        plat_remove(temp_.c_str());
        temp_.clear();
    }

    std::string name_;
    std::string temp_;
    FILE *file_ = nullptr;
};

}  // namespace

// ---- blob -------------------------------------------------------------------

int cmd_blob_put(const Invocation &inv) {
    std::string algorithm = inv.value_or("algorithm", "sha256");
    digest_algo algo = DIGEST_SHA256;
    if (digest_algo_from_prefix((algorithm + ":").c_str(), &algo) != 0)
        return fail("unknown digest algorithm: %s (sha256 or sha512)", algorithm.c_str());
    Input in;
    if (!in.open(inv.args[0])) return kExitFailed;
    InterruptGuard guard;
    char id[REG_UPLOAD_ID_SIZE];
    if (reg_blob_start_upload(id) != 0) return fail_storage();

    digest_ctx ctx;
    if (digest_init(&ctx, algo) != 0) {
        cancel_own_upload(id);
        return fail("out of memory");
    }
    Progress progress(in.known_size());
    uint64_t appended = 0;
    StreamEnd end = stream_into_upload(id, in, &ctx, progress, &appended);
    progress.finish();
    if (end != StreamEnd::kDone) {
        digest_discard(&ctx);
        std::string message = reg_storage_last_error();
        cancel_own_upload(id);
        if (end == StreamEnd::kInterrupted) return InterruptGuard::fail_interrupted("upload cancelled");
        if (end == StreamEnd::kReadFailed) return in.fail_read();
        return fail("%s", message.c_str());
    }

    uint8_t raw[DIGEST_MAX_SIZE];
    size_t raw_size = digest_final(&ctx, raw);
    std::string digest = digest_string(algo, raw, raw_size);
    char stored[REG_DIGEST_STRING_SIZE];
    if (reg_blob_finish_upload(id, digest.c_str(), stored) != 0) {
        std::string message = reg_storage_last_error();
        cancel_own_upload(id);
        return fail("%s", message.c_str());
    }
    printf("%s\n", stored);
    return kExitOk;
}

int cmd_blob_stat(const Invocation &inv) {
    const char *digest = inv.args[0].c_str();
    static reg_opened blob;
    if (reg_blob_open(digest, &blob) != 0) return fail_storage();
    plat_fclose(blob.file);
    printf("digest: %s\nsize: %lld\npath: %s\n", digest, static_cast<long long>(blob.size),
           blob.path);
    return kExitOk;
}

// Copies the blob to standard output or a file, checking while it copies
// that the bytes still have the digest they are stored under: a blob file
// damaged on disk is reported, never passed on as good.
int cmd_blob_get(const Invocation &inv) {
    const char *digest = inv.args[0].c_str();
    static reg_opened blob;
    if (reg_blob_open(digest, &blob) != 0) return fail_storage();
    FILE *src = blob.file;
    const char *path = blob.path;
    std::unique_ptr<FILE, int (*)(FILE *)> src_guard(src, plat_fclose);

    Output out;
    if (!out.open(inv.value_or("output", "-"))) return kExitFailed;
    InterruptGuard guard;
    Progress progress(blob.size);
    digest_algo algo = algo_of_digest(digest);
    digest_ctx ctx;
    if (digest_init(&ctx, algo) != 0) return fail("out of memory");
    // The state is released on every way out.
    std::unique_ptr<digest_ctx, void (*)(digest_ctx *)> hashing(&ctx, digest_discard);
    auto buffer = chunk_buffer();
    for (;;) {
        size_t n = plat_fread(buffer.get(), kChunkSize, src);
        if (InterruptGuard::caught() != 0) {
            progress.finish();
            out.abandon();
            return InterruptGuard::fail_interrupted("output incomplete");
        }
        if (n == 0) break;
        digest_update(&ctx, buffer.get(), n);
        if (!out.write(buffer.get(), n)) {
            progress.finish();
            out.abandon();
            return fail("write error on %s", out.label().c_str());
        }
        progress.advance(n);
    }
    progress.finish();
    if (ferror(src) != 0) {
        out.abandon();
        return fail("read error on %s", path);
    }
    uint8_t raw[DIGEST_MAX_SIZE];
    size_t raw_size = digest_final(hashing.release(), raw);
    std::string actual = digest_string(algo, raw, raw_size);
    if (actual != digest) {
        out.abandon();
        return fail("blob %s is damaged: its file %s has the digest %s", digest, path,
                    actual.c_str());
    }
    return out.commit() ? kExitOk : kExitFailed;
}

int cmd_blob_rm(const Invocation &inv) {
    if (reg_blob_delete(inv.args[0].c_str()) != 0) return fail_storage();
    return kExitOk;
}

// ---- upload -----------------------------------------------------------------

int cmd_upload_start(const Invocation &) {
    char id[REG_UPLOAD_ID_SIZE];
    if (reg_blob_start_upload(id) != 0) return fail_storage();
    printf("%s\n", id);
    return kExitOk;
}

int cmd_upload_append(const Invocation &inv) {
    const char *id = inv.args[0].c_str();
    // An empty append asks the storage whether the upload is there, before
    // any input is read (or standard input consumed).
    static const char kNothing = 0;
    if (reg_blob_append_chunk(id, &kNothing, 0) != 0) return fail_storage();
    Input in;
    if (!in.open(inv.args[1])) return kExitFailed;

    InterruptGuard guard;
    Progress progress(in.known_size());
    uint64_t appended = 0;
    StreamEnd end = stream_into_upload(id, in, nullptr, progress, &appended);
    progress.finish();
    if (end == StreamEnd::kDone) return kExitOk;
    // The upload belongs to the user: it stays, and they learn how much of
    // the input it received.
    int rc = end == StreamEnd::kInterrupted ? InterruptGuard::fail_interrupted("upload kept")
             : end == StreamEnd::kReadFailed ? in.fail_read()
                                             : fail_storage();
    fail("upload %s received %llu bytes of %s", id, static_cast<unsigned long long>(appended),
         in.label().c_str());
    return rc;
}

int cmd_upload_finish(const Invocation &inv) {
    char stored[REG_DIGEST_STRING_SIZE];
    if (reg_blob_finish_upload(inv.args[0].c_str(), inv.args[1].c_str(), stored) != 0) {
        return fail_storage();
    }
    printf("%s\n", stored);
    return kExitOk;
}

int cmd_upload_cancel(const Invocation &inv) {
    if (reg_blob_cancel_upload(inv.args[0].c_str()) != 0) return fail_storage();
    return kExitOk;
}

}  // namespace regstore

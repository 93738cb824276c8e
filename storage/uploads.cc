// Upload sessions: an upload is one file, <root>/uploads/<id>.part, that
// grows chunk by chunk and enters the blob store by a single rename once its
// SHA-256 digest matches the one the uploader declared.
#include <cstdio>
#include <cstring>

#include "digest/digest.h"
#include "platform/platform.h"
#include "storage/layout.h"
#include "storage/uploads_internal.h"

namespace {

constexpr int kMaxStartAttempts = 16;
// Bytes moved per read and write when an upload takes a stream.
constexpr size_t kAppendPiece = 1 << 20;
// Renames tried when the fan-out directory vanishes under the commit.
constexpr int kMaxCommitAttempts = 8;

// Any entry at path, whatever its kind: a name already taken.
bool entry_exists(const char *path) {
    plat_attr a;
    return plat_stat(path, &a) == 0;
}

// Creates the upload file of uuid empty, refusing to touch one that exists.
// 0 created; 1 the name is taken by an existing entry; -1 other failure.
int create_upload_file(const char *uuid, char *path, uint64_t size) {
    upload_path_for_uuid(uuid, path, size);
    FILE *f = plat_fcreate_new(path);
    if (f == nullptr) return entry_exists(path) ? 1 : -1;
    if (plat_fclose(f) != 0) {
        plat_remove(path);
        return -1;
    }
    return 0;
}

// Writes the upload file's bytes through to stable storage, so that the
// rename that follows can never publish a blob path naming a short file.
// The file is opened for update, never created or truncated.
bool sync_upload_file(const char *path) {
    FILE *f = plat_fopen(path, "r+b");
    if (f == nullptr) return false;
    bool synced = plat_fsync(f) == 0;
    if (plat_fclose(f) != 0) synced = false;
    return synced;
}

}  // namespace

int commit_verified_upload(const char *upload_path, const char *expected_digest) {
    char blob_path[REG_PATH_MAX];
    blob_path_for_digest(expected_digest, blob_path, sizeof blob_path);
    if (file_exists(blob_path)) {
        // The same content is stored already; the stored file stays as it is.
        remove_file(upload_path);
    } else {
        char fan[REG_PATH_MAX];
        blob_fan_dir(expected_digest, fan, sizeof fan);
        if (mkdirs(fan) != 0) {
            set_error("mkdirs blob dir failed");
            return -1;
        }
        if (!sync_upload_file(upload_path)) {
            set_error("sync upload failed");
            return -1;
        }
        // On POSIX the rename replaces a blob that another process committed
        // since the check above; both hold the same verified bytes. Where a
        // rename cannot replace a file that is open (Windows without POSIX
        // rename semantics: the other commit may still hold the blob it has
        // just renamed, or a reader may be sending it), the rename fails
        // with the blob in place: that blob holds the same verified bytes,
        // so this commit is done too and its upload file goes. Another
        // process that deletes the last blob of this fan-out directory
        // removes the directory, perhaps just before the rename; the rename
        // then finds no directory, and the directory is made again.
        for (int attempt = 1; plat_rename(upload_path, blob_path) != 0; attempt++) {
            if (file_exists(blob_path)) {
                remove_file(upload_path);
                break;
            }
            if (attempt == kMaxCommitAttempts || dir_exists(fan) || mkdirs(fan) != 0) {
                set_error("rename to CAS failed: %s", blob_path);
                return -1;
            }
        }
        // Make the new directory entries durable: the blob inside its
        // fan-out directory, and the fan-out directory inside its
        // algorithm's directory.
        char algo[REG_PATH_MAX];
        blob_algo_dir(algo_of_hex(digest_hex_part(expected_digest)), algo, sizeof algo);
        if (plat_sync_dir(fan) != 0 || plat_sync_dir(algo) != 0) {
            set_error("sync blob dir failed: %s", fan);
            return -1;
        }
    }
    return 0;
}

namespace {

// Copies what in delivers, up to max_bytes or its end, to the end of the
// open file f in pieces of bounded size, feeding each piece to hash when
// given. The count written goes to *out_count. 0 done; -1 a write failed
// (*write_failed set) or the input reported a read error.
int copy_stream(FILE *in, uint64_t max_bytes, FILE *f, digest_ctx *hash, uint64_t *out_count,
                bool *write_failed) {
    // One piece at a time through a buffer of fixed size: the body's length
    // sets only how long this takes, never how much memory it holds.
    static char piece[kAppendPiece];
    *write_failed = false;
    uint64_t left = max_bytes;
    while (left > 0) {
        size_t want = left < kAppendPiece ? static_cast<size_t>(left) : kAppendPiece;
        size_t got = plat_fread(piece, want, in);
        if (got > 0) {
            size_t written = plat_fwrite(piece, got, f);
            *out_count += written;
            if (hash != nullptr) digest_update(hash, piece, written);
            if (written < got || ferror(f) != 0) {
                *write_failed = true;
                return -1;
            }
            left -= got;
        }
        if (got < want) return ferror(in) != 0 ? -1 : 0;
    }
    return 0;
}

// Takes the exclusive lock of the upload file that f has open (path), the
// turn of one request on one upload: appends, the finishing hash, commit
// and cancel each run alone. 0 locked; -1 with the message set and f
// closed: the upload went meanwhile (committed or cancelled by the holder
// before, REG_STATUS_NOT_FOUND), or the lock failed.
int lock_upload(FILE *f, const char *path, const char *uuid) {
    int locked = plat_lock_file(f, path, 1);
    if (locked == 0) return 0;
    plat_fclose(f);
    if (locked == PLAT_LOCK_GONE)
        set_status_error(REG_STATUS_NOT_FOUND, "upload not found: %s", uuid);
    else
        set_error("cannot lock upload: %s", uuid);
    return -1;
}

// Opens the upload file at path for appending, without creating it, and
// takes its lock. The stream, or NULL with the message: an upload that is
// not there (or went meanwhile) is REG_STATUS_NOT_FOUND; one that is there
// but does not open or lock is a failure of the store, not a session the
// client lost.
FILE *open_locked_upload(const char *path, const char *uuid) {
    FILE *f = plat_fopen_append_existing(path);
    if (f == nullptr) {
        if (file_presence(path) == 0)
            set_status_error(REG_STATUS_NOT_FOUND, "upload not found: %s", uuid);
        else
            set_error("cannot open upload: %s", uuid);
        return nullptr;
    }
    return lock_upload(f, path, uuid) == 0 ? f : nullptr;
}

// "<algo>:<hex>" of a digest computed in algo, for the comparison with the
// digest the client named (which is in the same algorithm).
void computed_digest_string(digest_algo algo, const uint8_t *raw, size_t raw_size,
                            char out[REG_DIGEST_STRING_SIZE]) {
    char hex[REG_HEX_SIZE];
    digest_to_hex(raw, raw_size, hex);
    snprintf(out, REG_DIGEST_STRING_SIZE, "%s%s", digest_algo_prefix(algo), hex);
}

}  // namespace

int uuid_make(char *out) {
    unsigned char bytes[16];
    if (plat_random_bytes(bytes, sizeof bytes) != 0) return -1;
    uuid_from_bytes(bytes, out);
    return 0;
}

// The tests that every operation on an existing upload makes after its
// NULL test: the storage is ready, then the id is well-formed.
static int require_ready_with_valid_id(const char *upload_uuid) {
    if (require_ready() != 0) return -1;
    if (!uuid_valid(upload_uuid)) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "invalid upload uuid");
        return -1;
    }
    return 0;
}

extern "C" {

int reg_blob_start_upload(char *out_upload_uuid) {
    if (out_upload_uuid == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "out_upload_uuid is NULL");
        return -1;
    }
    if (require_ready() != 0) return -1;
    // An id is the only key to its session that a URL carries, so it comes
    // from the operating system's random source and cannot be guessed. A
    // drawn id whose file already exists belongs to someone else and is
    // replaced by the next.
    char path[REG_PATH_MAX];
    for (int attempt = 0; attempt < kMaxStartAttempts; attempt++) {
        if (uuid_make(out_upload_uuid) != 0) {
            set_error("random source failed");
            return -1;
        }
        int rc = create_upload_file(out_upload_uuid, path, sizeof path);
        if (rc == 0) return 0;
        if (rc < 0) break;
    }
    set_error("cannot create upload file: %s", path);
    return -1;
}

int reg_blob_append_chunk(const char *upload_uuid, const void *data, uint64_t data_len) {
    if (upload_uuid == nullptr || data == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "upload_uuid/data is NULL");
        return -1;
    }
    if (require_ready_with_valid_id(upload_uuid) != 0) return -1;
    char path[REG_PATH_MAX];
    upload_path_for_uuid(upload_uuid, path, sizeof path);
    if (!file_exists(path)) {
        set_status_error(REG_STATUS_NOT_FOUND, "upload not found: %s", upload_uuid);
        return -1;
    }
    // Opened without creating: an upload cancelled meanwhile by another
    // process is not brought back to life as a new, partial file.
    FILE *f = plat_fopen_append_existing(path);
    if (f == nullptr) {
        set_status_error(REG_STATUS_NOT_FOUND, "upload not found: %s", upload_uuid);
        return -1;
    }
    // The upload's lock, held until the close has written the chunk: a
    // finish that hashes meanwhile waits for it, and one that committed or
    // removed the upload first leaves nothing to append to.
    if (lock_upload(f, path, upload_uuid) != 0) return -1;
    bool failed = false;
    size_t count = static_cast<size_t>(data_len);
    if constexpr (sizeof(size_t) < sizeof(uint64_t)) failed = data_len != count;
    if (!failed) {
        size_t written = plat_fwrite(data, count, f);
        failed = ferror(f) != 0 || written < count;
    }
    // A small chunk may sit in the stream's buffer until the close; if it
    // cannot be written then, the chunk is lost and the append has failed.
    if (plat_fclose(f) != 0) failed = true;
    if (failed) {
        set_error("write error appending chunk");
        return -1;
    }
    return 0;
}

int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest,
                           char *out_digest) {
    if (upload_uuid == nullptr || expected_digest == nullptr || out_digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready_with_valid_id(upload_uuid) != 0) return -1;
    if (!digest_valid(expected_digest)) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "invalid expected digest");
        return -1;
    }
    char upload_path[REG_PATH_MAX];
    upload_path_for_uuid(upload_uuid, upload_path, sizeof upload_path);
    // The upload's lock is held from before the hash until the upload has
    // left its name: an append waits for it and then finds the upload gone,
    // and an append that held it first is in the hash.
    FILE *lock = open_locked_upload(upload_path, upload_uuid);
    if (lock == nullptr) return -1;

    // The upload is hashed in the algorithm the client named.
    digest_algo algo = DIGEST_SHA256;
    digest_algo_from_prefix(expected_digest, &algo);
    uint8_t raw[DIGEST_MAX_SIZE];
    size_t raw_size = 0;
    if (digest_of_file(algo, upload_path, raw, &raw_size) != 0) {
        set_error("hashing upload failed");
        plat_fclose(lock);
        return -1;
    }
    char computed[REG_DIGEST_STRING_SIZE];
    computed_digest_string(algo, raw, raw_size, computed);
    if (strcmp(computed, expected_digest) != 0) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "digest mismatch: expected %s, got %s", expected_digest, computed);
        // Retired before it goes: the upload's session is over either way.
        plat_retire_file(lock, 1);
        remove_file(upload_path);
        plat_fclose(lock);
        return -1;
    }

    // Retired before the commit moves or removes it: an append waiting on
    // another host, whose cache may still show the upload at its name, then
    // finds it gone instead of writing into the blob. A commit that fails
    // leaves the upload for another finish, and the mark is withdrawn; if
    // even that fails, the upload can no longer be finished, and a client
    // that tries is told it is unknown and starts again.
    if (plat_retire_file(lock, 1) != 0) {
        set_error("cannot mark upload: %s", upload_uuid);
        plat_fclose(lock);
        return -1;
    }
    if (commit_verified_upload(upload_path, expected_digest) != 0) {
        if (file_presence(upload_path) == 1) plat_retire_file(lock, 0);
        plat_fclose(lock);
        return -1;
    }
    plat_fclose(lock);
    snprintf(out_digest, REG_DIGEST_STRING_SIZE, "%s", expected_digest);
    return 0;
}

int64_t reg_blob_upload_size(const char *upload_uuid) {
    if (upload_uuid == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "upload_uuid is NULL");
        return -1;
    }
    if (require_ready_with_valid_id(upload_uuid) != 0) return -1;
    char path[REG_PATH_MAX];
    upload_path_for_uuid(upload_uuid, path, sizeof path);
    plat_attr a;
    int queried = plat_stat(path, &a);
    if (queried == PLAT_STAT_FAILED) {
        set_error("cannot query upload: %s", upload_uuid);
        return -1;
    }
    if (queried != 0 || a.is_dir) {
        set_status_error(REG_STATUS_NOT_FOUND, "upload not found: %s", upload_uuid);
        return -1;
    }
    return a.size;
}

int reg_blob_append_stream(const char *upload_uuid, FILE *in, uint64_t max_bytes,
                           uint64_t *out_appended) {
    if (upload_uuid == nullptr || in == nullptr || out_appended == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    *out_appended = 0;
    if (require_ready_with_valid_id(upload_uuid) != 0) return -1;
    char path[REG_PATH_MAX];
    upload_path_for_uuid(upload_uuid, path, sizeof path);
    // The lock is held while the body arrives and until the close has
    // written it; see reg_blob_append_chunk.
    FILE *f = open_locked_upload(path, upload_uuid);
    if (f == nullptr) return -1;
    bool write_failed = false;
    bool read_failed = copy_stream(in, max_bytes, f, nullptr, out_appended, &write_failed) != 0 &&
                       !write_failed;
    if (plat_fclose(f) != 0) write_failed = true;
    if (write_failed) {
        set_error("write error appending chunk");
        return -1;
    }
    if (read_failed) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "read error on input");
        return -1;
    }
    return 0;
}

int reg_blob_put_stream(FILE *in, int64_t length, const char *expected_digest, char *out_digest,
                        uint64_t *out_received) {
    if (in == nullptr || expected_digest == nullptr || out_digest == nullptr ||
        out_received == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    *out_received = 0;
    if (require_ready() != 0) return -1;
    if (!digest_valid(expected_digest)) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "invalid expected digest");
        return -1;
    }
    // An upload of its own that no client can name: its id goes nowhere,
    // so nothing else writes to it, and the digest taken on the way is the
    // digest of the file.
    char id[REG_UPLOAD_ID_SIZE];
    if (reg_blob_start_upload(id) != 0) return -1;
    char path[REG_PATH_MAX];
    upload_path_for_uuid(id, path, sizeof path);
    FILE *f = plat_fopen_append_existing(path);
    if (f == nullptr) {
        set_error("cannot open upload: %s", id);
        remove_file(path);
        return -1;
    }
    digest_algo algo = DIGEST_SHA256;
    digest_algo_from_prefix(expected_digest, &algo);
    digest_ctx hash;
    if (digest_init(&hash, algo) != 0) {
        set_error("cannot start the hash of the blob");
        plat_fclose(f);
        remove_file(path);
        return -1;
    }
    bool write_failed = false;
    uint64_t limit = length >= 0 ? static_cast<uint64_t>(length) : UINT64_MAX;
    int copied = copy_stream(in, limit, f, &hash, out_received, &write_failed);
    if (plat_fclose(f) != 0) write_failed = true;
    int rc = -1;
    bool hashed = false;
    if (write_failed) {
        set_error("write error storing blob");
    } else if (copied != 0) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "read error on input");
    } else if (length >= 0 && *out_received != static_cast<uint64_t>(length)) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "input ended after %llu of %lld bytes",
                         static_cast<unsigned long long>(*out_received),
                         static_cast<long long>(length));
    } else {
        uint8_t raw[DIGEST_MAX_SIZE];
        size_t raw_size = digest_final(&hash, raw);
        hashed = true;
        char computed[REG_DIGEST_STRING_SIZE];
        computed_digest_string(algo, raw, raw_size, computed);
        if (strcmp(computed, expected_digest) != 0) {
            set_status_error(REG_STATUS_INVALID_DIGEST, "digest mismatch: expected %s, got %s",
                             expected_digest, computed);
        } else {
            rc = commit_verified_upload(path, expected_digest);
        }
    }
    if (!hashed) digest_discard(&hash);
    // Whatever did not become a blob goes; a commit that failed part-way
    // leaves nothing the client could finish either.
    if (rc != 0) remove_file(path);
    if (rc == 0) snprintf(out_digest, REG_DIGEST_STRING_SIZE, "%s", expected_digest);
    return rc;
}

int reg_blob_cancel_upload(const char *upload_uuid) {
    if (upload_uuid == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "upload_uuid is NULL");
        return -1;
    }
    if (require_ready_with_valid_id(upload_uuid) != 0) return -1;
    char path[REG_PATH_MAX];
    upload_path_for_uuid(upload_uuid, path, sizeof path);
    // Removed under the upload's lock, after an append or finish that holds
    // it; an upload already gone is cancelled.
    FILE *lock = plat_fopen_append_existing(path);
    if (lock == nullptr) {
        if (file_presence(path) == 0) return 0;
        set_error("cancel failed");
        return -1;
    }
    int locked = plat_lock_file(lock, path, 1);
    if (locked == PLAT_LOCK_GONE) {
        plat_fclose(lock);
        return 0;
    }
    bool failed = locked != 0 || plat_retire_file(lock, 1) != 0 || remove_file(path) != 0;
    plat_fclose(lock);
    if (failed) {
        set_error("cancel failed");
        return -1;
    }
    return 0;
}

}  // extern "C"

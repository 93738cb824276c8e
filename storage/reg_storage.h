/*
 * reg_storage.h - the registry storage library.
 *
 * A content-addressed blob store, upload sessions, manifests with revision
 * and tag links, tag lists, the repository catalog and statistics, kept in a
 * directory tree under one storage root on the local file system.
 *
 * Conventions shared by every function below:
 * - Operations return 0 for success and -1 for failure, or a pointer that is
 *   NULL on failure. Before a failure they leave a message that
 *   reg_storage_last_error() returns; success leaves the message alone.
 * - Tests run in one order: NULL arguments first, then that the storage is
 *   initialised ("not initialized - call reg_storage_init first"), then the
 *   form of the arguments, and only then the disk.
 * - A digest string is "sha256:" and 64 lowercase hexadecimal digits.
 * - Documents returned as const char * live in one shared 1 MiB result
 *   buffer and stay valid until the next call that writes it (manifest get,
 *   tag list, catalog, statistics).
 * - One thread at a time; several processes may share one root, and the
 *   storage takes no locks.
 */
#ifndef STORAGE_REG_STORAGE_H
#define STORAGE_REG_STORAGE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Root and error state ------------------------------------------- */

/* Makes root the storage root: creates it with blobs/sha256, repositories
 * and uploads beneath it, and writes the informational config.json when
 * none is there. A NULL or empty root fails ("storage root dir is empty")
 * and changes nothing. Otherwise a ready storage is torn down first, so any
 * later failure leaves it not ready. Fails for a root of more than 3499
 * characters, a directory that cannot be made ("mkdirs failed: %s") or a
 * config.json that cannot be written. Success empties the error text. */
int reg_storage_init(const char *root_dir);

/* Forgets the root: the storage is not ready afterwards. Nothing on disk
 * changes; the error text stays. */
void reg_storage_cleanup(void);

/* The message of the most recent failure; never NULL. */
const char *reg_storage_last_error(void);

/* ---- Blob store ------------------------------------------------------ */

/* 1 when the blob file of digest exists, 0 when it does not (no message),
 * -1 for a NULL or invalid digest or an uninitialised storage. */
int reg_blob_exists(const char *digest);

/* The size in bytes of the blob file of digest, or -1. A blob that is not
 * there gives -1 without a new message. */
int64_t reg_blob_get_size(const char *digest);

/* Copies the path of the blob file of digest, with its NUL, into
 * out_path of out_size bytes. Fails when the blob is absent ("blob not
 * found: %s") or the path does not fit ("path buffer too small"); the
 * buffer is written only on success. */
int reg_blob_get_filepath(const char *digest, char *out_path, uint64_t out_size);

/* Deletes the blob file of digest and its fan-out directory when that is
 * left empty. Fails when the blob is absent or cannot be removed. Manifests
 * that reference the blob are not consulted. */
int reg_blob_delete(const char *digest);

/* ---- Upload sessions ------------------------------------------------- */

/* Starts an upload: draws a new upload id from the operating system's
 * random source (36 characters, written with its NUL into out_upload_uuid,
 * which holds at least 37 bytes; "random source failed" when it fails) and
 * creates its empty upload file. An existing upload file is never
 * truncated: an id whose file exists is replaced by a fresh one, up to 16
 * draws ("cannot create upload file: %s"). */
int reg_blob_start_upload(char *out_upload_uuid);

/* Appends data_len bytes at the end of the upload's file. The upload must
 * have been started ("upload not found: %s"); data must not be NULL, also
 * for 0 bytes. After a write failure the bytes already written stay. */
int reg_blob_append_chunk(const char *upload_uuid, const void *data, uint64_t data_len);

/* Verifies that the upload's bytes have the SHA-256 digest
 * expected_digest and moves them into the blob store under it; writes the
 * digest string into out_digest (at least 72 bytes). A mismatch removes
 * the upload ("digest mismatch: expected %s, got %s"). Content that is
 * already stored leaves the stored blob as it is and removes the upload.
 * The bytes are on stable storage before the blob path names them. */
int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest,
                           char *out_digest);

/* Throws an upload away. An id without an upload file succeeds. */
int reg_blob_cancel_upload(const char *upload_uuid);

/* ---- Manifest store -------------------------------------------------- */

/* Validates body (body_len bytes of strict JSON: an object with a
 * config.digest and, when present, an array of layers each with a digest)
 * and stores it in repository repo_name under the digest of its bytes,
 * with its content type (the Docker v2 manifest type when NULL or empty)
 * and a revision link. A reference that does not begin with "sha256:" is a
 * tag ([A-Za-z0-9_][A-Za-z0-9._-]{0,127}, else "invalid tag: %s"), which is
 * made to name the manifest. A body of more than 1048575 bytes is refused
 * ("manifest too large: %llu bytes (max 1048575)"). Every file is replaced
 * atomically, and a link only after what it names. Writes the manifest's
 * digest string into out_digest (at least 72 bytes). */
int reg_manifest_put(const char *repo_name, const char *reference, const void *body,
                     uint64_t body_len, const char *content_type, char *out_digest);

/* Returns the body of the manifest that reference (a tag or a digest
 * string) names in repo_name, as NUL-terminated text in the shared result
 * buffer; its content type goes into out_content_type (at least 128 bytes)
 * and its digest string into out_digest (at least 72 bytes). A stored
 * body too large to return whole is refused, not cut. NULL on failure. */
const char *reg_manifest_get(const char *repo_name, const char *reference,
                             char *out_content_type, char *out_digest);

/* Removes a tag, or the revision link of a digest; the manifest's own
 * files go once no tag names it any more. */
int reg_manifest_delete(const char *repo_name, const char *reference);

/* ---- Tag list, catalog, statistics ------------------------------------ */

/* {"name":"<repo>","tags":[...]} with the repository's tags in byte order,
 * in the shared result buffer. A repository that does not exist has no
 * tags. NULL on failure. */
const char *reg_tags_list_json(const char *repo_name);

/* {"repositories":[...]}: the repository directories in byte order, the
 * page after last (NULL or empty: from the start) of at most n names (0 or
 * less: no limit), in the shared result buffer. NULL on failure. */
const char *reg_catalog_json(int32_t n, const char *last);

/* {"version":"1.0.0","repositories":R,"tags":T,"blobs":B,"blob_bytes":BB,
 * "active_uploads":U,"upload_bytes":UB} in the shared result buffer; NULL
 * when the storage is not initialised. */
const char *reg_storage_get_stats_json(void);

#ifdef __cplusplus
}
#endif

#endif

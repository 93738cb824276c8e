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
 * - A digest string is "sha256:" and 64 lowercase hexadecimal digits, or
 *   "sha512:" and 128 of them; content is kept by the algorithm of its digest.
 * - Output buffers have the sizes named below (REG_DIGEST_STRING_SIZE and
 *   the rest); a caller passes at least that many bytes. A digest string is
 *   written with its NUL and nothing after it (72 bytes for "sha256:", 136
 *   for "sha512:").
 * - Documents returned as const char * live in one shared 1 MiB result
 *   buffer and stay valid until the next call that writes it (manifest get,
 *   tag list, catalog, statistics).
 * - One thread at a time; several processes may share one root, and the
 *   storage takes no locks.
 */
#ifndef STORAGE_REG_STORAGE_H
#define STORAGE_REG_STORAGE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Sizes callers must respect -------------------------------------- */

#define REG_DIGEST_STRING_SIZE 136 /* the longest digest string (sha512: and 128 hex digits) and its NUL */
#define REG_UPLOAD_ID_SIZE 37     /* an upload id (36 characters) and its NUL */
#define REG_CONTENT_TYPE_SIZE 128 /* a stored content type and its NUL */
#define REG_RAW_DIGEST_SIZE 64    /* the bytes of the longest digest (SHA-512) */
#define REG_PATH_MAX 4096         /* every path the storage builds, NUL included */
#define REG_REPO_NAME_MAX 255     /* bytes of a repository name */
#define REG_TAG_MAX 128           /* bytes of a tag */

/* ---- Status of a failure ----------------------------------------------- */

/* What kind of failure the most recent failing call met, beside its
 * message, so that a caller (an HTTP endpoint) answers for the right
 * reason: 404 for what is not there, 400 for what the caller got wrong,
 * 500 for what went wrong on the disk. */
typedef enum reg_status {
    REG_STATUS_OK = 0,
    REG_STATUS_NOT_READY,         /* the storage is not initialised */
    REG_STATUS_INVALID_ARGUMENT,  /* NULL, a malformed upload id, a bad root */
    REG_STATUS_INVALID_NAME,      /* a repository name or tag outside the rules */
    REG_STATUS_INVALID_DIGEST,    /* not a digest string, or not the content's digest */
    REG_STATUS_INVALID_MANIFEST,  /* a manifest document that is not acceptable */
    REG_STATUS_UNKNOWN_REFERENCE, /* a manifest names a blob or manifest not stored */
    REG_STATUS_TOO_LARGE,         /* a document above its size limit */
    REG_STATUS_NOT_FOUND,         /* the blob, upload, tag, manifest or repository is not there */
    REG_STATUS_IO_ERROR           /* the file system failed, or the store is damaged */
} reg_status;

/* The status of the most recent failure; REG_STATUS_OK after a successful
 * reg_storage_init and before any failure. Success leaves it alone, like the
 * message. */
reg_status reg_storage_last_status(void);

/* ---- Choosing the root, names ------------------------------------------ */

/* Capacity of the root that reg_choose_storage_root writes, NUL included. */
#define REG_ROOT_CHOICE_MAX 1024

/* Chooses the storage root every program over one store agrees on, into
 * root (size bytes, at most 1023 characters kept): REGISTRY_STORAGE_ROOT
 * when set and not empty; else the value of "storage_root", else of
 * "registry_storage_root", in ./config.json (first 2047 bytes, a plain
 * string of at most 1023 bytes); else "./registry_storage". Touches no
 * storage state. */
void reg_choose_storage_root(char *root, size_t size);

/* 1 when name may name a repository of the store, the one rule of the
 * registry's endpoints, regstore and the storage: 1 to 255 bytes of
 * [A-Za-z0-9._/-], beginning and ending with a letter or digit (so no
 * leading or trailing '/'), no empty component, no ".." anywhere, no
 * component "." or "_manifests". Every operation that takes a repository
 * name applies it. */
int reg_repo_name_valid(const char *name);

/* 1 when name is a repository name of the OCI distribution grammar, the
 * rule for creating new repositories: components of [a-z0-9]+ joined by
 * '.', '_', "__" or runs of '-', separated by single '/', at most 255
 * bytes; also valid under reg_repo_name_valid. Else 0 (also NULL). */
int reg_repo_name_oci(const char *name);

/* 1 for a tag [A-Za-z0-9_][A-Za-z0-9._-]{0,127}, else 0 (also NULL). */
int reg_tag_valid(const char *tag);

/* 1 for a digest string the store keeps ("sha256:" and 64 lowercase hex
 * digits, or "sha512:" and 128), else 0 (also NULL). */
int reg_digest_valid(const char *digest);

/* 1 when reference begins like a digest string (an algorithm name and a
 * ':'), valid or not, so that it is never taken as a tag; else 0. */
int reg_is_digest_reference(const char *reference);

/* ---- Blobs a repository holds (repo_blobs.cc) ---------------------------
 *
 * Blobs are stored once for the whole store. A repository also records
 * which of them it holds: those its uploads committed, those mounted into
 * it, and those its manifests name. Where tenants must not read each
 * other's blobs, a blob is reachable through a repository only when the
 * repository holds it. */

/* Records that repo_name holds the stored blob of digest: a link file under
 * the repository, replaced atomically like every link (a link already there
 * is left as it is). A blob that is not stored: "blob not found: %s"
 * (REG_STATUS_NOT_FOUND). 0 / -1. */
int reg_repo_blob_link(const char *repo_name, const char *digest);

/* Removes the record that repo_name holds the blob of digest; the blob
 * stays for the repositories that hold it too. No record: "blob not found:
 * %s" (REG_STATUS_NOT_FOUND). 0 / -1. */
int reg_repo_blob_unlink(const char *repo_name, const char *digest);

/* 1 when repo_name holds the blob of digest and the blob is stored, 0 when
 * not, -1 (with the message) for a name or digest outside the rules or
 * when the store cannot tell. */
int reg_repo_holds_blob(const char *repo_name, const char *digest);

/* While on, reg_manifest_put_typed refuses a manifest that names a blob its
 * repository does not hold ("blob unknown: %s", REG_STATUS_UNKNOWN_REFERENCE);
 * while off (the start), a manifest's stored blobs are linked into its
 * repository as it is stored, where they were not yet. */
void reg_storage_scope_blobs(int on);

/* Links into every repository the stored blobs that its manifests name
 * (config, layers, an artifact's blobs), where the link is missing: the
 * links of a store whose repositories did not record them. The count of
 * links made goes to *out_made. 0, or -1 with the message (a directory
 * that does not list whole, a link that cannot be written). */
int reg_repo_blob_links_backfill(uint64_t *out_made);

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

/* Empties the error text and sets the status to REG_STATUS_OK, so that a
 * caller that serves one request after another in one process starts each
 * without the failure of the one before. The root stays as it is. */
void reg_storage_forget_error(void);

/* Bytes of a secret of the store (reg_storage_secret). */
#define REG_SECRET_SIZE 32

/* The secret named purpose ([a-z0-9-], 1 to 64 bytes) of this store, into
 * out (REG_SECRET_SIZE bytes): the key that programs sharing the root use
 * to sign what they hand out and check what comes back (the form tokens of
 * the browsable pages). Kept in <root>/secrets/<purpose>, a directory and a
 * file only the user the programs run as may read (POSIX modes 0700 and
 * 0600); made on first use from the operating system's random source
 * ("random source failed") through a private temporary renamed into
 * place. Processes that find it missing at once take turns on a lock
 * (<root>/secrets/.lock): one makes it, and every one gives the secret
 * the file keeps. A secret file of another
 * size is damaged (REG_STATUS_IO_ERROR) and is not replaced. 0 / -1. */
int reg_storage_secret(const char *purpose, uint8_t out[REG_SECRET_SIZE]);

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

/* An open stored file with what one lookup learnt of it. */
typedef struct reg_opened {
    FILE *file;   /* open for binary reading at its first byte; the caller closes it */
    int64_t size; /* its size in bytes, read from the open file */
    char digest[REG_DIGEST_STRING_SIZE];
    char content_type[REG_CONTENT_TYPE_SIZE]; /* a blob: "application/octet-stream" */
    /* Where the file lies, for a web server that is told to send it itself;
     * the caller never opens it again. */
    char path[REG_PATH_MAX];
} reg_opened;

/* Opens the blob of digest: the file, its size and its path from one
 * lookup, so that a reply's headers and its bytes come from the same file
 * even when the blob is deleted meanwhile. Anything that is not a regular
 * file at the blob's path (absent, a directory, a FIFO) is
 * REG_STATUS_NOT_FOUND ("blob not found: %s"); a file that cannot be opened
 * for another reason is REG_STATUS_IO_ERROR. out is filled only on success. */
int reg_blob_open(const char *digest, reg_opened *out);

/* The size of the blob of digest from one query of its file, into
 * *out_size, for a reply that sends no bytes (HEAD). Anything that is not a
 * regular file at the blob's path is REG_STATUS_NOT_FOUND ("blob not found:
 * %s"), as for reg_blob_open; a query that fails otherwise is
 * REG_STATUS_IO_ERROR. */
int reg_blob_stat(const char *digest, int64_t *out_size);

/* Deletes the blob file of digest and its fan-out directory when that is
 * left empty. Fails when the blob is absent or cannot be removed. Manifests
 * that reference the blob are not consulted. */
int reg_blob_delete(const char *digest);

/* ---- Upload sessions ------------------------------------------------- */

/* Requests on one upload take turns, also between processes and hosts that
 * share the storage root: an append, a finish and a cancel each hold the
 * upload's lock (plat_lock_file on its file) from before they look at its
 * bytes until they are done, and wait while another holds it. An append
 * that held it first is in the digest a finish takes; one that comes after
 * the finish or a cancel finds the upload gone (REG_STATUS_NOT_FOUND) and
 * writes nothing; "cannot lock upload: %s" when the lock itself fails. */

/* Starts an upload: draws a new upload id from the operating system's
 * random source (36 characters, written with its NUL into out_upload_uuid,
 * which holds at least REG_UPLOAD_ID_SIZE bytes; "random source failed" when it fails) and
 * creates its empty upload file. An existing upload file is never
 * truncated: an id whose file exists is replaced by a fresh one, up to 16
 * draws ("cannot create upload file: %s"). */
int reg_blob_start_upload(char *out_upload_uuid);

/* Appends data_len bytes at the end of the upload's file. The upload must
 * have been started ("upload not found: %s"); data must not be NULL, also
 * for 0 bytes. After a write failure the bytes already written stay. */
int reg_blob_append_chunk(const char *upload_uuid, const void *data, uint64_t data_len);

/* Verifies that the upload's bytes have the digest expected_digest (in its
 * algorithm, SHA-256 or SHA-512) and moves them into the blob store under it; writes the
 * digest string into out_digest (REG_DIGEST_STRING_SIZE bytes). A mismatch removes
 * the upload ("digest mismatch: expected %s, got %s"). Content that is
 * already stored leaves the stored blob as it is and removes the upload.
 * The bytes are on stable storage before the blob path names them. */
int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest,
                           char *out_digest);

/* Throws an upload away. An id without an upload file succeeds, also one
 * that a finish holding the lock has just committed. */
int reg_blob_cancel_upload(const char *upload_uuid);

/* The count of bytes an upload holds so far, or -1 ("upload not found: %s"
 * for an id without an upload file, REG_STATUS_NOT_FOUND). */
int64_t reg_blob_upload_size(const char *upload_uuid);

/* Appends what the stream in delivers, up to max_bytes bytes or its end,
 * to the end of the upload's file, in pieces of bounded size: a body of any
 * length passes without being held in memory. The count of bytes appended
 * goes to *out_appended (not NULL), also after a failure; the caller
 * compares it with what it expected. Fails for an upload that was not
 * started, when the stream reports a read error ("read error on input",
 * REG_STATUS_INVALID_ARGUMENT) or when a write fails; bytes already
 * appended stay. The upload's lock is held while the body arrives. */
int reg_blob_append_stream(const char *upload_uuid, FILE *in, uint64_t max_bytes,
                           uint64_t *out_appended);

/* Stores a whole blob from a stream in one pass, as a monolithic upload
 * does: the bytes go into an upload of its own (no client knows its id, so
 * nothing else writes to it) while their digest (in the algorithm of
 * expected_digest) is taken on the way, so the file need not be read again
 * before it is committed like
 * reg_blob_finish_upload commits. length is the count of bytes the stream
 * must deliver, or -1 to read to its end; the count received goes to
 * *out_received. A stream that ends early ("input ended after %llu of %lld
 * bytes") or reports a read error fails with REG_STATUS_INVALID_ARGUMENT, a
 * digest that differs with REG_STATUS_INVALID_DIGEST; on any failure the
 * upload is removed. out_digest as in reg_blob_finish_upload. */
int reg_blob_put_stream(FILE *in, int64_t length, const char *expected_digest, char *out_digest,
                        uint64_t *out_received);

/* A blob written in pieces by the registry itself (a mirror's fetch), into
 * an upload of its own that no client can name, hashed on the way in the
 * algorithm of expected_digest. Nothing enters the blob store until
 * reg_blob_cache_commit finds the digest of every byte written equal to
 * expected_digest. The caller fills no field. */
typedef struct reg_blob_cache {
    FILE *file;
    char path[REG_PATH_MAX];
    char expected[REG_DIGEST_STRING_SIZE];
    uint64_t written;
    int failed;  /* a write failed: the commit refuses */
    int verified; /* reg_blob_cache_verify found the digest: only the commit is left */
    void *hash;  /* the digest computation, owned until verify, commit or abort */
} reg_blob_cache;

/* Starts a cached blob of expected_digest (a digest string the store
 * takes, else REG_STATUS_INVALID_DIGEST): an upload file under an id that
 * goes nowhere. out is filled only on success and must then be ended by
 * reg_blob_cache_commit or reg_blob_cache_abort. */
int reg_blob_cache_begin(const char *expected_digest, reg_blob_cache *out);

/* Appends len bytes at data to the cached blob and its digest. A failed
 * write ("write error storing blob") marks it so that the commit refuses. */
int reg_blob_cache_write(reg_blob_cache *cache, const void *data, uint64_t len);

/* Checks the cached blob before it is committed: closes its file and
 * finishes its digest. 0 when every write succeeded and the bytes have
 * expected_digest (the blob is then ready for reg_blob_cache_commit, or
 * reg_blob_cache_abort; nothing is in the blob store yet, and a process that
 * ends here leaves only an upload file no client can name); otherwise the
 * failure as reg_blob_cache_commit reports it, and the cached blob is ended
 * (its upload file gone). Lets a caller end its client's reply once the
 * bytes are known good and before the slower durable commit. */
int reg_blob_cache_verify(reg_blob_cache *cache);

/* Ends the cached blob: when every write succeeded and the bytes have
 * expected_digest (checked here unless reg_blob_cache_verify did), commits them into the blob store as
 * reg_blob_finish_upload does (content stored already stays as it is, so
 * two writers of one blob leave one copy); otherwise
 * REG_STATUS_INVALID_DIGEST ("digest mismatch: expected %s, got %s") or the
 * write's failure. The upload file is gone afterwards either way. */
int reg_blob_cache_commit(reg_blob_cache *cache);

/* Throws a cached blob away: its upload file and its digest state go. */
void reg_blob_cache_abort(reg_blob_cache *cache);

/* ---- Manifest store -------------------------------------------------- */

/* Validates body (body_len bytes of strict JSON: an object with a
 * config.digest and, when present, an array of layers each with a digest)
 * and stores it in repository repo_name under the digest of its bytes,
 * with its content type (the Docker v2 manifest type when NULL or empty)
 * and a revision link: its SHA-512 digest when reference is a "sha512:"
 * digest string, its SHA-256 digest otherwise. A reference that does not
 * begin like a digest string ("<algorithm>:") is a tag
 * ([A-Za-z0-9_][A-Za-z0-9._-]{0,127}, else "invalid tag: %s"), which is
 * made to name the manifest. A body of more than 1048575 bytes is refused
 * ("manifest too large: %llu bytes (max 1048575)"). Every file is replaced
 * atomically, and a link only after what it names. Writes the manifest's
 * digest string into out_digest (REG_DIGEST_STRING_SIZE bytes). */
int reg_manifest_put(const char *repo_name, const char *reference, const void *body,
                     uint64_t body_len, const char *content_type, char *out_digest);

/* Returns the body of the manifest that reference (a tag or a digest
 * string) names in repo_name, as NUL-terminated text in the shared result
 * buffer; its content type goes into out_content_type (REG_CONTENT_TYPE_SIZE bytes)
 * and its digest string into out_digest (REG_DIGEST_STRING_SIZE bytes). A stored
 * body too large to return whole is refused, not cut. NULL on failure. */
const char *reg_manifest_get(const char *repo_name, const char *reference,
                             char *out_content_type, char *out_digest);

/* Removes a tag, or the revision link of a digest (a revision link that
 * cannot be removed fails: "delete revision link failed"); once no tag
 * names the manifest any more, its revision link and then its referrer
 * link, body and content type go, best effort. */
int reg_manifest_delete(const char *repo_name, const char *reference);

/* Removes the tag only: the manifest it named stays, reachable by its
 * digest, as the registry API's DELETE of a tag asks. REG_STATUS_NOT_FOUND
 * when the tag is not there. */
int reg_tag_delete(const char *repo_name, const char *tag);

/* Removes the manifest of digest from repo_name, as the registry API's
 * DELETE of a digest asks: first every tag that names it (so that no tag
 * is left naming a manifest that is gone), then its revision link, its
 * referrer link, its body and content type. REG_STATUS_NOT_FOUND when the
 * repository holds no revision of digest. Fails without removing anything
 * when the tags cannot all be read. */
int reg_manifest_remove(const char *repo_name, const char *digest);

/* The largest manifest reg_manifest_put_typed stores, in bytes. */
#define REG_MANIFEST_MAX 4194304

/* Stores a manifest of any kind registry clients push, checked by its media
 * type: content_type when given and not empty, else the document's own
 * "mediaType" (a document whose "mediaType" differs from content_type is
 * refused). An OCI or Docker image manifest (and an artifact manifest) must
 * have a config descriptor and a layers array of descriptors whose blobs
 * are stored (a config of the empty descriptor may be absent; a layer with
 * "urls" is fetched from elsewhere and need not be stored); an OCI image
 * index or Docker manifest list must have a manifests array whose manifests
 * are stored in repo_name. A missing blob or manifest fails with
 * REG_STATUS_UNKNOWN_REFERENCE; a body above REG_MANIFEST_MAX bytes with
 * REG_STATUS_TOO_LARGE before it is read; other defects with
 * REG_STATUS_INVALID_MANIFEST. A digest reference must equal the body's
 * digest in the reference's algorithm (REG_STATUS_INVALID_DIGEST), and the
 * manifest is stored under it; a tag stores it under its SHA-256. The bytes are stored exactly as given,
 * with their media type, as reg_manifest_put stores them; a "subject"
 * descriptor is recorded so that reg_referrers_json finds the manifest,
 * whether the subject is stored or not, and its digest goes into
 * out_subject (REG_DIGEST_STRING_SIZE bytes; "" without a subject). out_digest as in
 * reg_manifest_put. */
int reg_manifest_put_typed(const char *repo_name, const char *reference, const void *body,
                           uint64_t body_len, const char *content_type, char *out_digest,
                           char *out_subject);

/* Finds the manifest that reference (a tag or a digest string) names in
 * repo_name without reading it: its body file's path into out_path
 * (path_size bytes), its size into *out_size, its content type into
 * out_content_type (REG_CONTENT_TYPE_SIZE bytes) and its digest string into
 * out_digest (REG_DIGEST_STRING_SIZE bytes). For bodies of any size up to
 * REG_MANIFEST_MAX, which the caller streams. REG_STATUS_NOT_FOUND when the
 * tag, the revision or the body is not there. */
int reg_manifest_locate(const char *repo_name, const char *reference, char *out_path,
                        uint64_t path_size, char *out_content_type, char *out_digest,
                        int64_t *out_size);

/* Opens the manifest that reference (a tag or a digest string) names in
 * repo_name, as reg_blob_open opens a blob: its body file (of any size up
 * to REG_MANIFEST_MAX, whoever stored it), its size, its digest and its
 * stored content type (the Docker v2 manifest type when none is stored or
 * it is not fit for a header line). A digest must have its revision link in
 * the repository. REG_STATUS_NOT_FOUND when the tag, the revision or the
 * body is not there. out is filled only on success. */
int reg_manifest_open(const char *repo_name, const char *reference, reg_opened *out);

/* Stores a manifest fetched from elsewhere (a mirror's upstream) in
 * repo_name under reference (a tag or a digest string), as
 * reg_manifest_put_typed stores it, with two differences: the body's digest
 * must equal expected_digest (REG_STATUS_INVALID_DIGEST), whatever the
 * reference, and the blobs and manifests it names need not be stored (they
 * are fetched when a client asks for them). The document must still be a
 * manifest of a kind reg_manifest_put_typed takes (REG_STATUS_INVALID_MANIFEST).
 * out_digest as in reg_manifest_put. */
int reg_manifest_put_fetched(const char *repo_name, const char *reference, const void *body,
                             uint64_t body_len, const char *content_type,
                             const char *expected_digest, char *out_digest);

/* The age in seconds of tag's link in repo_name, from its modification time
 * (when it was last written or confirmed by reg_tag_confirm), into
 * *out_seconds (0 for a time in the future). REG_STATUS_NOT_FOUND when the
 * tag is not there. */
int reg_tag_age(const char *repo_name, const char *tag, int64_t *out_seconds);

/* Marks tag's link in repo_name as confirmed now (its modification time),
 * without changing what it names. REG_STATUS_NOT_FOUND when it is not there. */
int reg_tag_confirm(const char *repo_name, const char *tag);

/* ---- Tag list, catalog, statistics ------------------------------------ */

/* {"name":"<repo>","tags":[...]} with the repository's tags in byte order,
 * in the shared result buffer. A repository that does not exist has no
 * tags. NULL on failure. */
const char *reg_tags_list_json(const char *repo_name);

/* {"repositories":[...]}: the repository directories in byte order, the
 * page after last (NULL or empty: from the start) of at most n names (0 or
 * less: no limit), in the shared result buffer. NULL on failure. */
const char *reg_catalog_json(int32_t n, const char *last);

/* {"name":"<repo>","tags":[...]}: the page of the repository's tags, in byte
 * order, that follows last (NULL or empty: from the first) with at most n
 * tags (n < 0: all of them; 0: none), in the shared result buffer. Every
 * tag is seen, however many there are. When tags follow the page, the last
 * tag of the page goes into out_next (next_size bytes), else "" (a page cut
 * short by the result buffer also sets it). A repository without manifests
 * directory is REG_STATUS_NOT_FOUND. NULL on failure, also when the tags
 * directory cannot be listed whole. */
const char *reg_tags_list_page(const char *repo_name, int32_t n, const char *last,
                               char *out_next, uint64_t next_size);

/* {"repositories":[...]}: the page of every repository name in the store
 * (a directory under repositories with a _manifests directory, at any
 * depth, so "library/alpine" is listed as such), in byte order, after last,
 * with at most n names (n < 0: all; 0: none), and out_next as for
 * reg_tags_list_page. NULL on failure. */
const char *reg_catalog_page(int32_t n, const char *last, char *out_next, uint64_t next_size);

/* The catalog page as reg_catalog_page gives it, of only those repository
 * names for which keep(name, context) gives non-zero (the others are left
 * out before the page is cut: the page holds up to n kept names, and
 * out_next names a kept one). NULL on failure, also when keep is NULL. */
const char *reg_catalog_page_where(int32_t n, const char *last,
                                   int (*keep)(const char *name, void *context), void *context,
                                   char *out_next, uint64_t next_size);

/* An OCI image index of the manifests of repo_name whose "subject" is
 * digest: for each one a descriptor with its mediaType, digest, size, its
 * artifactType (else its config's mediaType) and its annotations; only
 * those of artifact type artifact_type when that is given and not empty.
 * In the shared result buffer (REG_STATUS_TOO_LARGE when it does not fit).
 * A repository or subject without referrers gives an empty index. */
const char *reg_referrers_json(const char *repo_name, const char *digest,
                               const char *artifact_type);

/* What a page about a repository shows beside its name. */
typedef struct reg_repo_summary_info {
    uint64_t tags;     /* tags whose link is there */
    int64_t last_push; /* the newest modification time of a tag link or revision
                          link, seconds since 1970-01-01 UTC; 0 when it has none */
} reg_repo_summary_info;

/* Counts the tags of repo_name and finds the time of its last push: the
 * newest of the modification times of its tag links and revision links (a
 * push writes them; a tag moved or confirmed counts as pushed then). One
 * attribute query per tag and revision, no link is read. A repository
 * without a manifests directory is REG_STATUS_NOT_FOUND; a tags or
 * revisions directory that does not list whole is REG_STATUS_IO_ERROR.
 * out is filled only on success. */
int reg_repo_summary(const char *repo_name, reg_repo_summary_info *out);

/* The count of referrer links of digest in repo_name (the manifests whose
 * subject is digest, as reg_referrers_json lists them without reading
 * them; a link whose manifest is gone meanwhile is counted) into
 * *out_count: one directory listing. A subject without referrers has 0.
 * -1 with the message for a name or digest outside the rules, or a
 * directory that does not list whole. */
int reg_referrers_count(const char *repo_name, const char *digest, uint64_t *out_count);

/* {"version":"1.0.0","repositories":R,"tags":T,"blobs":B,"blob_bytes":BB,
 * "active_uploads":U,"upload_bytes":UB} in the shared result buffer: R the
 * repositories as the catalog lists them (at any depth), T the tags of
 * those repositories whose link holds a digest, B and BB the blob files and
 * their bytes, U and UB the upload files and their bytes, every entry
 * counted however many there are. NULL when the storage is not initialised
 * or the store cannot be walked whole. */
const char *reg_storage_get_stats_json(void);

/* ---- Operating the store: garbage collection, integrity, usage --------- */

/* Defaults of reg_gc_options, in seconds: the grace period of blobs and
 * manifests (a push in progress stores its blobs first and its manifest
 * last, within this time), and the age after which an upload or a
 * temporary file that has not changed is taken as abandoned. */
#define REG_GC_GRACE_DEFAULT 3600
#define REG_GC_EXPIRY_DEFAULT 86400

/* What reg_gc is asked to do. */
typedef struct reg_gc_options {
    int64_t grace_seconds;   /* a blob or manifest modified less than this long ago stays */
    int64_t expiry_seconds;  /* an upload or temporary unchanged for this long goes */
    int32_t dry_run;         /* non-zero: decide everything, remove nothing */
    int32_t delete_untagged; /* non-zero: manifests that no tag reaches go too */
} reg_gc_options;

/* The kinds of what reg_gc removes. */
typedef enum reg_gc_kind {
    REG_GC_BLOB,      /* name: the digest string */
    REG_GC_MANIFEST,  /* name: "<repository>@<digest string>" */
    REG_GC_UPLOAD,    /* name: the path below the root, "/"-separated */
    REG_GC_TEMPORARY, /* name: the path below the root, "/"-separated */
    REG_GC_BLOB_LINK  /* a repository's link to a blob no longer stored;
                         name: "<repository>@<digest string>" */
} reg_gc_kind;

typedef struct reg_gc_item {
    reg_gc_kind kind;
    int64_t bytes; /* the file's size (a manifest: its body and content type) */
    char *name;
} reg_gc_item;

/* What one run of reg_gc did. The arrays belong to the report; free it
 * with reg_gc_report_free. */
typedef struct reg_gc_report {
    reg_gc_item *items;         /* removed (with dry_run: to be removed), in order */
    uint64_t count;
    int64_t bytes;              /* the sum of the items' bytes */
    uint64_t manifests_read;    /* manifest bodies read in the mark phase, each once */
    uint64_t blobs_marked;      /* distinct blobs that a kept manifest names */
    uint64_t kept_young;        /* unmarked blobs and manifests kept by the grace period */
    uint64_t failures;          /* removals that failed; a later run retries them */
} reg_gc_report;

/* Collects garbage while the registry serves. Marks every blob that a
 * manifest of any repository names (config, layers, an artifact's blobs)
 * and, with delete_untagged, keeps only the manifests that a tag reaches
 * directly or through index children (recursively), with the subjects of
 * kept manifests and the manifests whose subject is kept (the referrers a
 * client can list); without it every stored manifest is kept. Then it
 * removes: unkept manifests (body, content type, revision and referrer
 * links), unmarked blobs, upload files and temporaries of atomic
 * replacement unchanged for expiry_seconds, and empty blob fan-out
 * directories. Nothing modified less than grace_seconds before the run
 * started is removed; ages are compared as finely as the file system
 * stamps them, so that with a grace of 0 every unnamed blob goes except
 * one modified since the run started.
 *
 * Without locks, each removal is made safe against a concurrent push: a
 * manifest being stored sets the modification time of every blob and
 * manifest it names before it checks that they exist; reg_gc moves a file
 * aside (<name>.sweep-<pid>), looks at its time again, and puts back one
 * touched meanwhile. A file left aside by an interrupted run is put back
 * (or, when its name was taken again, removed) by the next run. A manifest
 * is removed only when, just before, no tag names it and it is not young;
 * its revision link goes first.
 *
 * Fails before removing anything (REG_STATUS_IO_ERROR) when a directory
 * does not list whole or a manifest body is there but cannot be read or
 * parsed (what it names is unknown; regstore fsck finds it). Individual
 * removals that fail are counted in failures and the run goes on; the
 * result is then -1 with the first failure's message, and the report is
 * filled all the same. out is always filled (empty on an early failure). */
int reg_gc(const reg_gc_options *options, reg_gc_report *out);

/* Frees what a report holds and empties it; a NULL report is ignored. */
void reg_gc_report_free(reg_gc_report *report);

/* The kinds of problems reg_fsck reports. */
typedef enum reg_fsck_kind {
    REG_FSCK_BLOB_CORRUPT,     /* a blob whose bytes do not have its name's digest */
    REG_FSCK_MANIFEST_CORRUPT, /* a manifest body whose bytes do not have its digest, or not JSON */
    REG_FSCK_LINK_CORRUPT,     /* a tag, revision, referrer or blob link that is not the right digest string */
    REG_FSCK_LINK_DANGLING,    /* a well-formed link whose manifest body (or blob) is not stored */
    REG_FSCK_REFERENCE_MISSING,/* a manifest names a blob or index child that is not stored */
    REG_FSCK_STRAY,            /* an entry outside the store's layout */
    REG_FSCK_UNREADABLE        /* a file or directory that cannot be read */
} reg_fsck_kind;

typedef struct reg_fsck_problem {
    reg_fsck_kind kind;
    int32_t repaired; /* 1 moved to quarantine or removed by --repair */
    char *path;       /* below the root, "/"-separated */
    char *detail;     /* what is wrong, and what the repair did */
} reg_fsck_problem;

typedef struct reg_fsck_report {
    reg_fsck_problem *problems;
    uint64_t count;
    uint64_t blobs;        /* blobs re-hashed */
    uint64_t manifests;    /* manifest bodies re-hashed */
    uint64_t links;        /* links checked */
    int64_t bytes_hashed;
} reg_fsck_report;

/* Checks the whole store: re-hashes every blob and manifest body, reads
 * every tag, revision and referrer link, looks up what each manifest names,
 * and reports entries outside the layout. With repair non-zero, corrupt
 * blobs, manifest bodies (with their content type) and corrupt links are
 * moved to <root>/quarantine/<their path below the root> (a name taken
 * there gets ".1", ".2", ...), never deleted; well-formed links whose
 * manifest body is not stored are removed, except those naming a body
 * quarantined in this run, which go to quarantine too. 0 when the check
 * ran (count tells whether it found problems), -1 when it could not run
 * (storage not ready, out of memory). out is always filled. */
int reg_fsck(int32_t repair, reg_fsck_report *out);

/* Frees what a report holds and empties it; a NULL report is ignored. */
void reg_fsck_report_free(reg_fsck_report *report);

/* Space used by one repository. */
typedef struct reg_du_repo {
    char *name;
    uint64_t manifests;     /* manifest bodies */
    int64_t manifest_bytes; /* their bytes */
    uint64_t blobs;         /* distinct stored blobs its manifests name */
    int64_t blob_bytes;     /* their bytes */
} reg_du_repo;

typedef struct reg_du_report {
    reg_du_repo *repos;       /* in byte order of their names */
    uint64_t count;
    uint64_t blobs;           /* distinct stored blobs any manifest names, each once */
    int64_t blob_bytes;
    uint64_t stored_blobs;    /* every blob file of the store */
    int64_t stored_blob_bytes;
    uint64_t uploads;         /* upload files */
    int64_t upload_bytes;
} reg_du_report;

/* Measures the space of every repository: a blob counts once in each
 * repository whose manifests name it, and once in the store's total.
 * 0, or -1 when the store cannot be walked whole. out is always filled. */
int reg_du(reg_du_report *out);

/* Frees what a report holds and empties it; a NULL report is ignored. */
void reg_du_report_free(reg_du_report *report);

#ifdef __cplusplus
}
#endif

#endif

/*
 * reg_storage_internal.h - module-private state and helpers of the storage
 * module, shared by its source files and reachable by its tests. None of
 * these functions writes a message unless its contract says so; their
 * callers choose the words.
 */
#ifndef STORAGE_REG_STORAGE_INTERNAL_H
#define STORAGE_REG_STORAGE_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"
#include "storage/reg_storage.h"

#define REG_ROOT_MAX 3500       /* s_root: at most 3499 characters */
#define REG_ERROR_MAX 1024      /* s_error */
#define REG_RESULT_MAX 1048576  /* s_result */
#define REG_PATH_MAX 4096       /* every path buffer */
#define REG_DIR_LIST_MAX 512    /* entries of one listing */
#define REG_DIR_NAME_MAX 512    /* bytes of one listed name, NUL included */
#define REG_DIGEST_STRING_LEN 71 /* "sha256:" and 64 hex digits: a link's whole text */
#define REG_LINK_CAPACITY 128    /* a link file is read with at most 127 bytes */

/* ---- Module state (root.cc) ------------------------------------------ */
extern char s_root[REG_ROOT_MAX];
extern int32_t s_ready;
extern char s_error[REG_ERROR_MAX];
extern char s_result[REG_RESULT_MAX];

extern reg_status s_status;

/* Formats a message into s_error, cut after 1023 characters; the status is
 * REG_STATUS_IO_ERROR. */
void set_error(const char *format, ...) PLAT_PRINTF_FORMAT(1, 2);

/* Formats a message into s_error like set_error, with status. */
void set_status_error(reg_status status, const char *format, ...) PLAT_PRINTF_FORMAT(2, 3);

/* 0 when ready; otherwise sets "not initialized - call reg_storage_init
 * first" and gives -1. */
int require_ready(void);

/* ---- Root choice (config.cc) ------------------------------------------- */

/* The storage root that config.json text names: the value of the first
 * "storage_root": key, else of the first "registry_storage_root": key (the
 * key in double quotes directly followed by ':'), taken as the text between
 * the first two double quotes after that ':', raw (escapes are not decoded).
 * Written with its NUL into root (size bytes) only when it is at most 1023
 * bytes long and fits; otherwise root is left as it was. text ends at its
 * NUL. */
void root_from_config_text(const char *text, char *root, size_t size);

/* ---- Paths and files (root.cc) ----------------------------------------- */

/* "<first><sep><second>" into out, cut after size-1 characters, always
 * terminated. No separator is collapsed and no empty part is special. */
void path_join(char *out, uint64_t size, const char *first, const char *second);

/* Creates path and every missing directory above it. 0 when the directory
 * (or any entry of that name) exists afterwards, -1 otherwise; an empty
 * path or one of 4096 characters or more gives -1. */
int mkdirs(const char *path);

/* 1 when an entry exists at path and is not a directory, else 0. */
int file_exists(const char *path);
/* Like file_exists, but -1 when the query failed for another reason than
 * absence, so that "not there" (0) can be told from "cannot tell". */
int file_presence(const char *path);
/* 1 when an entry exists at path and is a directory, else 0. */
int dir_exists(const char *path);
/* The entry's size as the platform reports it, or -1. */
int64_t file_size(const char *path);

/* Creates or truncates path and writes count bytes. 0 / -1; after a
 * failure the file may remain, empty or partly written. */
int write_file(const char *path, const void *data, uint64_t count);

/* Replaces path atomically with count bytes: writes a temporary file in the
 * same directory, flushes it to stable storage, renames it over path and
 * syncs the directory, so a reader or a crash sees the old content or the
 * new, never a part, and the new content survives a power cut once this
 * returns 0. -1 on failure: path is unchanged and no temporary file of this
 * call remains, except when only the final directory sync failed, when path
 * already holds the whole new content. */
int write_file_atomic(const char *path, const void *data, uint64_t count);

/* 0 when path was removed or is not a file (absent, a directory); -1 when
 * the removal failed. */
int remove_file(const char *path);

/* 1 for "sha256:" followed by exactly 64 of [0-9a-f], else 0 (also NULL). */
int digest_valid(const char *text);

/* Writes 2*count lowercase hex digits and a NUL into out. */
void bin_to_hex(const unsigned char *data, uint64_t count, char *out);

/* <root>/blobs/sha256, the directory of the fan-out directories. */
void blob_algo_dir(char *out, uint64_t size);
/* <root>/blobs/sha256/<xx>, the fan-out directory of a valid digest string. */
void blob_fan_dir(const char *digest, char *out, uint64_t size);
/* The blob path <root>/blobs/sha256/<xx>/<hex> of a valid digest string. */
void blob_path_for_digest(const char *digest, char *out, uint64_t size);

/* ---- Uploads (uploads.cc) ---------------------------------------------- */

/* Writes the upload id of 16 bytes into out (37 bytes): two hex digits per
 * byte, the low nibble first, '-' at 8, 13, 18 and 23. */
void uuid_from_bytes(const unsigned char bytes[16], char *out);
/* Draws a new upload id from plat_random_bytes into out (37 bytes). 0, or -1
 * when the source failed (out is then unchanged). */
int uuid_make(char *out);
/* 1 when text is an upload id (36 characters, '-' at 8, 13, 18, 23,
 * [0-9a-f] elsewhere), else 0. */
int uuid_valid(const char *text);
/* <root>/uploads/<id>.part into out. */
void upload_path_for_uuid(const char *uuid, char *out, uint64_t size);

/* ---- Listing and reading (listing.cc) --------------------------------- */

typedef struct dir_entry {
    char name[REG_DIR_NAME_MAX];
    int32_t is_dir;
} dir_entry;

typedef struct dir_list {
    dir_entry entries[REG_DIR_LIST_MAX];
    int32_t count;
    int32_t truncated;
} dir_list;

/* Lists directory into list (at most 512 entries; truncated set when more
 * were there, or when the enumeration failed part-way, so that entries may
 * be missing). 0 listed, -1 not a directory or cannot be enumerated;
 * count and truncated are 0 after a failure. */
int list_dir(const char *directory, dir_list *list);

/* Reads at most capacity-1 bytes of path into buffer and terminates them;
 * stores the count in *out_len unless NULL. 0 / -1 (nothing written on an
 * open failure). */
int read_file(const char *path, char *buffer, uint64_t capacity, uint64_t *out_len);

/* A heap copy of text (not NULL), or NULL when memory is exhausted. */
char *xstrdup(const char *text);

#ifdef __cplusplus
#include <array>
#include <new>
#include <unordered_set>
#include <string>
#include <vector>

/* Runs body and gives its result; when memory runs out inside it, sets
 * "out of memory" and gives on_failure instead, so that no exception leaves
 * the library's C interface. */
template <typename T, typename Body>
T unless_out_of_memory(T on_failure, Body body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
        return on_failure;
    }
}

/* One entry of a whole listing. */
struct listed_entry {
    std::string name;
    bool is_dir;
};

/* Lists every entry of directory ("." and ".." left out), however many
 * there are, into *out (emptied first). 0 when the listing is whole; -1
 * when directory is not a directory, cannot be enumerated, or the
 * enumeration failed part-way (what was gathered stays in *out, but is not
 * to be taken as all there is). */
int list_all(const char *directory, std::vector<listed_entry> *out);

/* Reads the whole file at path into *out. 0, or -1 when it does not open,
 * a read fails, or it holds more than limit bytes (*out is then cut). */
int read_whole_file(const char *path, uint64_t limit, std::string *out);

/* Adds to *names every repository at or below directory dir, whose name so
 * far is prefix (empty at the top): a directory whose listing holds a
 * _manifests directory is a repository, and a repository may hold others
 * ("library" and "library/alpine"). depth is 1 at the top. 0, or -1 when a
 * directory does not list whole. (catalog.cc) */
int collect_repositories(const std::string &dir, const std::string &prefix, int depth,
                         std::vector<std::string> *names);

/* ---- Walking the store (store_walk.cc) -------------------------------- */

/* A SHA-256 digest as its 32 raw bytes: the key of the sets of blobs and
 * manifests that garbage collection, the integrity check and the usage
 * report keep. */
typedef std::array<uint8_t, 32> digest_key;

struct digest_key_hash {
    size_t operator()(const digest_key &k) const {
        size_t h = 0;
        for (int i = 0; i < 8; i++) h = (h << 8) | k[static_cast<size_t>(i)];
        return h;
    }
};
typedef std::unordered_set<digest_key, digest_key_hash> digest_set;

/* The key of 64 lowercase hex digits (not checked). */
digest_key key_of_hex(const char *hex);
/* The 64 hex digits of key. */
std::string hex_of_key(const digest_key &key);
/* 1 for exactly 64 of [0-9a-f], else 0. */
int is_hex_digest(const std::string &text);

/* What one manifest names, whatever its kind: blobs (config, layers, an
 * artifact's blobs), manifests of the same repository (an index's
 * manifests) and its subject. Every descriptor whose digest is a valid
 * sha256 digest string is taken; others are passed over. */
struct manifest_refs {
    std::vector<digest_key> blobs;
    std::vector<digest_key> manifests;
    bool has_subject = false;
    digest_key subject{};
};

/* Parses body (len bytes) and fills *out. 0, or -1 when it is not a JSON
 * object. */
int manifest_references(const char *body, size_t len, manifest_refs *out);

/* One manifest body file of a repository as a directory listing found it. */
struct stored_manifest {
    std::string repo;
    digest_key key;
};

/* Every repository of the store with the manifest bodies (files named by 64
 * hex digits) of its _manifests directory. 0, or -1 with the message when a
 * directory does not list whole. */
int list_stored_manifests(std::vector<std::string> *repos, std::vector<stored_manifest> *out);

/* "<name>.tmp-<digits>-<digits>": the temporary of an atomic replacement. */
int is_temporary_name(const std::string &name);

/* "<name>.sweep-<digits>": a file that a garbage collection moved aside
 * before removing it; *original gets <name>. */
int is_swept_name(const std::string &name, std::string *original);
#endif

/* ---- Manifests (manifests.cc) ----------------------------------------- */

/* 1 when name (1 to 255 bytes of [A-Za-z0-9._/-]) names a directory of its
 * own under repositories: no "..", no empty component (leading, trailing or
 * doubled '/'), no component "." or "_manifests". Else 0 (also NULL). */
int repo_name_valid(const char *name);
/* Writes the 64 lowercase hex digits of the SHA-256 of len bytes of data,
 * and a NUL, into out_hex (65 bytes). (manifests.cc) */
void sha256_hex_of(const void *data, uint64_t len, char *out_hex);
/* 0 when the storage is ready and repo_name passes repo_name_valid;
 * otherwise the message ("invalid repository name") and -1. */
int require_ready_repo(const char *repo_name);
/* 1 for a tag [A-Za-z0-9_][A-Za-z0-9._-]{0,127}, which stays inside the
 * repository's tags directory; else 0 (also NULL). */
int tag_name_valid(const char *tag);
/* The hex digest (65 bytes) that reference names: a digest string must be
 * valid ("invalid digest reference"); a tag must be valid ("invalid tag:
 * %s") and have a link that is exactly a digest string ("tag not found:
 * %s:%s", "corrupt tag link: %s:%s"). 0 / -1 with the message. */
int manifest_resolve(const char *repo_name, const char *reference, char *out_hex);
/* 1 when a tag link of the repository names hex, or when it cannot be
 * proved that none does: the tags directory exists but cannot be listed, its
 * listing is incomplete, or a tag link is there but cannot be read. Else 0. */
int manifest_has_tag_for(const char *repo_name, const char *hex);
/* Path builders, each cut at size like path_join: <root>/repositories, and
 * beneath <root>/repositories/<repo>/_manifests the body <hex>, its
 * content type <hex>.ct, revisions/sha256/<hex>[/link], tags and
 * tags/<tag>/current/link. */
void repos_dir(char *out, uint64_t size);
/* <root>/repositories/<repo>/_manifests */
void manifests_dir(const char *repo_name, char *out, uint64_t size);
void manifest_body_path(const char *repo_name, const char *hex, char *out, uint64_t size);
void manifest_ct_path(const char *repo_name, const char *hex, char *out, uint64_t size);
void manifest_rev_dir(const char *repo_name, const char *hex, char *out, uint64_t size);
void manifest_rev_path(const char *repo_name, const char *hex, char *out, uint64_t size);

/* 0 when repo_name holds the revision link of the manifest hex (digest is
 * the same as "sha256:<hex>", for the messages); -1 with REG_STATUS_NOT_FOUND
 * when it does not, or with an I/O failure when it cannot be queried. */
int require_revision_link(const char *repo_name, const char *hex, const char *digest);
void manifest_tags_dir(const char *repo_name, char *out, uint64_t size);
void manifest_tag_path(const char *repo_name, const char *tag, char *out, uint64_t size);
/* _manifests/referrers/sha256/<subject hex>, and in it the referrer link
 * <hex>, which holds the digest string of a manifest whose subject is that
 * digest. */
void manifest_referrers_dir(const char *repo_name, const char *subject_hex, char *out,
                            uint64_t size);
void manifest_referrer_path(const char *repo_name, const char *subject_hex, const char *hex,
                            char *out, uint64_t size);

/* Writes a checked manifest's files in the order that lets a reader trust
 * every link it finds: body, content type, revision link, the referrer
 * link when subject_hex is given and not empty, then the tag link when
 * reference is a tag. Each file is replaced atomically. Sets the message. */
int store_manifest(const char *repo_name, const char *reference, const void *body,
                   uint64_t body_len, const char *content_type, const char *hex,
                   const char *subject_hex);

/* ---- Tag list and catalog (catalog.cc) -------------------------------- */

/* Appends src (NULL: empty) to dst as the inside of a JSON string: '"' and
 * '\\' get a backslash, 8, 9, 10, 12 and 13 become \b \t \n \f \r, other
 * bytes below 32 become \u00xx, every other byte is copied as it is. A byte
 * is handled only while w + 8 < cap (w: bytes written so far), so the text
 * is cut between escapes, never inside one; a NUL follows when w < cap (with
 * cap of 8 or less only the NUL). Returns w, the NUL not counted. */
uint64_t json_escape_append(char *dst, uint64_t cap, const char *src);

/* Byte-order comparison (strcmp): negative, 0 or positive. */
int str_cmp(const char *a, const char *b);

/* Sorts names[0..name_count) ascending by str_cmp; stable (insertion). */
void sort_str(char **names, int32_t name_count);

/* Writes into dst (cap bytes) names[0..count) as JSON strings separated by
 * commas, then "]}" and a NUL: the end of a document whose opening "[" the
 * caller has written. A name goes in only whole and only while the closing
 * still fits after it; the first name that does not fit is left out with
 * every later one, so the text stays valid JSON and holds a leading run of
 * the names. With cap below 3 only a NUL is written (cap > 0). Returns the
 * bytes written, the NUL not counted. */
uint64_t json_append_name_array(char *dst, uint64_t cap, char *const *names, int32_t count);

/* ---- Statistics (stats.cc) --------------------------------------------- */

/* Directories directly under <root>/repositories. */
int32_t count_repos(void);
/* Tags with a readable link file, over every repository directory directly
 * under <root>/repositories. */
int32_t count_tags(void);
/* Files in the fan-out directories of <root>/blobs/sha256: their number goes
 * to *out_count, the sum of their sizes is the result. */
int64_t count_blobs(int32_t *out_count);
/* Files directly under <root>/uploads: the sum of their sizes goes to
 * *out_bytes, their number is the result. */
int32_t count_uploads(int64_t *out_bytes);

#endif

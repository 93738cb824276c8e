/*
 * layout.h - the store's on-disk format, written once: the rules of every
 * name (repositories, tags, digests, upload ids, temporaries and files set
 * aside), the path of every file and directory, the one link reader and
 * writer, the one whole directory listing, the file primitives every write
 * goes through, and what a stored manifest names. The middle floor of the
 * storage: it uses the state (storage/state.h) and never calls a topic;
 * every topic, regstore (through reg_storage.h) and the endpoints use these
 * rules instead of their own. Private to the storage library and its tests.
 *
 * The tree below the root:
 *   config.json                          informational, never read back
 *   blobs/<algo>/<xx>/<hex>              a blob, <xx> the first two hex digits
 *   uploads/<id>.part                    an upload in progress
 *   repositories/<name>/_manifests/      a repository (name of 1..n components)
 *     <hex>, <hex>.ct                    a manifest body and its content type
 *     revisions/<algo>/<hex>/link        the manifest is in the repository
 *     tags/<tag>/current/link            the tag names a manifest
 *     referrers/<algo>/<subject hex>/<hex>   the manifest's subject is that digest
 *     blobs/<algo>/<xx>/<hex>            the repository holds that blob: its upload
 *                                        committed it, it was mounted into it, or
 *                                        a manifest of the repository names it
 *   quarantine/<path below the root>     what fsck --repair moved aside
 *   secrets/<purpose>                    a key of the store's programs (0600)
 * Content is kept by the algorithm of its digest: <algo> is "sha256" (a
 * <hex> of 64 digits) or "sha512" (128 digits). The length of a hex digest
 * tells its algorithm, so a manifest body named <hex> and a referrer link
 * named <hex> need no directory of their own per algorithm. A link file
 * holds exactly a digest string ("<algo>:" and the hex digits, 71 or 135
 * bytes, no line end). Every file is replaced atomically through a
 * temporary "<name>.tmp-<pid>-<n>" beside it; garbage collection sets a
 * file aside as "<name>.sweep-<pid>" before it removes it.
 */
#ifndef STORAGE_LAYOUT_H
#define STORAGE_LAYOUT_H

#include <stddef.h>
#include <stdint.h>

#include "storage/state.h"

#define REG_HEX_SIZE 129         /* the hex digits of the longest digest (128) and a NUL */
#define REG_LINK_CAPACITY 160    /* a link file is read with at most 159 bytes */

/* The algorithms content is kept under, each with the directory name that
 * is also its digest strings' prefix without the ':'. */
#define REG_STORED_ALGORITHMS 2
extern const char *const kStoredAlgorithms[REG_STORED_ALGORITHMS]; /* "sha256", "sha512" */

/* ---- Names (layout_names.cc) ------------------------------------------- */

/* The one repository-name rule of the registry: 1 to REG_REPO_NAME_MAX
 * bytes of [A-Za-z0-9._/-]; the first and the last byte alphanumeric (so no
 * leading or trailing '/'); no empty component ("//"); no ".." anywhere (so
 * no ".." component); no component "." or "_manifests" (which would nest
 * inside the manifests directory of the repository above). 1 or 0 (also
 * NULL). */
int repo_name_valid(const char *name);

/* 0 when the storage is ready and repo_name passes repo_name_valid;
 * otherwise the message ("invalid repository name") and -1. */
int require_ready_repo(const char *repo_name);

/* 1 for a tag [A-Za-z0-9_][A-Za-z0-9._-]{0,127}, which stays inside the
 * repository's tags directory; else 0 (also NULL). */
int tag_name_valid(const char *tag);

/* 1 for "sha256:" followed by exactly 64 of [0-9a-f], or "sha512:"
 * followed by exactly 128 of them; else 0 (also NULL). */
int digest_valid(const char *text);

/* 1 when text starts like a digest reference, an algorithm name
 * ([a-z0-9]+ runs joined by one of "+._-") and a ':', whether or not the
 * algorithm is one the store keeps or the rest is valid: a reference that
 * does so is never a tag (a tag holds no ':'). */
int is_digest_reference(const char *text);

/* The hex digits of a valid digest string (what follows its ':'). */
const char *digest_hex_part(const char *digest);

/* 1 for a hex digest the store keeps: exactly 64 or 128 of [0-9a-f]
 * (also for NULL: 0). */
int hex_digest_valid(const char *hex);

/* The algorithm of a valid hex digest, by its length: "sha256" or
 * "sha512". */
const char *algo_of_hex(const char *hex);

/* Writes "<algo>:<hex>" of a valid hex digest into out
 * (REG_DIGEST_STRING_SIZE bytes). */
void digest_string_of_hex(const char *hex, char *out);

/* 1 when text is an upload id (36 characters, '-' at 8, 13, 18, 23,
 * [0-9a-f] elsewhere), else 0. */
int uuid_valid(const char *text);

/* Writes the upload id of 16 bytes into out (REG_UPLOAD_ID_SIZE bytes): two
 * hex digits per byte, the low nibble first, '-' at 8, 13, 18 and 23. */
void uuid_from_bytes(const unsigned char bytes[16], char *out);

/* Writes 2*count lowercase hex digits and a NUL into out. */
void bin_to_hex(const unsigned char *data, uint64_t count, char *out);


/* ---- Paths (layout_paths.cc) ------------------------------------------- */
/* Every builder writes into out (size bytes), cut like path_join. Digests
 * and names are taken as valid: callers check them first. */

/* "<first><sep><second>" into out, cut after size-1 characters, always
 * terminated. No separator is collapsed and no empty part is special. */
void path_join(char *out, uint64_t size, const char *first, const char *second);

/* <root>/blobs/<algo>, the directory of one algorithm's fan-out
 * directories (algo one of kStoredAlgorithms). */
void blob_algo_dir(const char *algo, char *out, uint64_t size);
/* <root>/blobs/<algo>/<xx>, the fan-out directory of a valid digest string. */
void blob_fan_dir(const char *digest, char *out, uint64_t size);
/* <root>/blobs/<algo>/<xx>/<hex> of a valid digest string. */
void blob_path_for_digest(const char *digest, char *out, uint64_t size);

/* <root>/uploads */
void uploads_dir(char *out, uint64_t size);
/* <root>/uploads/<id>.part */
void upload_path_for_uuid(const char *uuid, char *out, uint64_t size);

/* <root>/repositories */
void repos_dir(char *out, uint64_t size);
/* <root>/secrets */
void secrets_dir(char *out, uint64_t size);
/* <root>/repositories/<repo>/_manifests */
void manifests_dir(const char *repo_name, char *out, uint64_t size);
/* _manifests/<hex>: the body; _manifests/<hex>.ct: its content type. */
void manifest_body_path(const char *repo_name, const char *hex, char *out, uint64_t size);
void manifest_ct_path(const char *repo_name, const char *hex, char *out, uint64_t size);
/* _manifests/revisions/<algo>: the revision links of one algorithm. */
void manifest_revisions_dir(const char *repo_name, const char *algo, char *out, uint64_t size);
/* _manifests/revisions/<algo>/<hex> and its link. */
void manifest_rev_dir(const char *repo_name, const char *hex, char *out, uint64_t size);
void manifest_rev_path(const char *repo_name, const char *hex, char *out, uint64_t size);
/* _manifests/tags, _manifests/tags/<tag>/current and its link. */
void manifest_tags_dir(const char *repo_name, char *out, uint64_t size);
void manifest_tag_dir(const char *repo_name, const char *tag, char *out, uint64_t size);
void manifest_tag_path(const char *repo_name, const char *tag, char *out, uint64_t size);
/* _manifests/referrers/<algo>/<subject hex>, and in it the referrer link
 * <hex>, which holds the digest string of a manifest whose subject is that
 * digest. */
void manifest_referrers_dir(const char *repo_name, const char *subject_hex, char *out,
                            uint64_t size);
void manifest_referrer_path(const char *repo_name, const char *subject_hex, const char *hex,
                            char *out, uint64_t size);

/* The digest string of "{}", the blob of the empty descriptor: artifacts
 * without a config name it, and clients need not push it, so a manifest
 * may name it without its being stored. */
extern const char kEmptyJsonDigest[];

/* The content type a manifest stored without one is served with. */
extern const char kDefaultManifestType[];

/* _manifests/blobs, _manifests/blobs/<algo>/<xx> and the link there that
 * says repo_name holds the blob of a valid hex digest. */
void repo_blobs_dir(const char *repo_name, char *out, uint64_t size);
void repo_blob_fan_dir(const char *repo_name, const char *hex, char *out, uint64_t size);
void repo_blob_link_path(const char *repo_name, const char *hex, char *out, uint64_t size);

/* ---- Files (layout_files.cc) ------------------------------------------- */

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

/* Reads at most capacity-1 bytes of path into buffer and terminates them;
 * stores the count in *out_len unless NULL. 0 / -1 (nothing written on an
 * open failure). */
int read_file(const char *path, char *buffer, uint64_t capacity, uint64_t *out_len);

/* A heap copy of text (not NULL), or NULL when memory is exhausted. */
char *xstrdup(const char *text);

/* Reads the stored content type of the manifest hex of repo_name into out
 * (REG_CONTENT_TYPE_SIZE bytes); one that is absent, empty, unreadable or
 * not fit for a header line (printable ASCII) gives fallback. */
void read_manifest_type(const char *repo_name, const char *hex, const char *fallback, char *out);

/* 1 when type may be stored and sent back as a header line: 1 to
 * REG_CONTENT_TYPE_SIZE-1 bytes of printable ASCII. */
int content_type_storable(const char *type);

/* ---- Links (layout_links.cc) ------------------------------------------- */

/* What the one link reader found. */
typedef enum link_state {
    LINK_OK,         /* the file holds exactly a valid digest string */
    LINK_ABSENT,     /* no file there (a deleted tag leaves its directory without one) */
    LINK_CORRUPT,    /* a file that is not exactly a digest string */
    LINK_UNREADABLE  /* a file that is there but cannot be read, or cannot tell */
} link_state;

/* Reads the link file at path; with LINK_OK its hex digits (64 or 128)
 * and a NUL go into out_hex (REG_HEX_SIZE bytes). The whole file must be the digest
 * string: a NUL byte or a line end after it makes it corrupt. */
link_state read_link(const char *path, char *out_hex);

/* Replaces the link file at path atomically with "<algo>:<hex>" of a
 * valid hex digest. 0 / -1. */
int write_link(const char *path, const char *hex);

/* The hex digest (REG_HEX_SIZE bytes) that reference names in repo_name: a
 * digest string must be valid ("invalid digest reference",
 * REG_STATUS_INVALID_DIGEST); a tag must be valid ("invalid tag: %s") and
 * have a link that is exactly a digest string ("tag not found: %s:%s",
 * REG_STATUS_NOT_FOUND; "corrupt tag link: %s:%s"). 0 / -1 with the
 * message. */
int manifest_resolve(const char *repo_name, const char *reference, char *out_hex);

/* ---- Listings (layout_listing.cc) -------------------------------------- */

#ifdef __cplusplus
#include <array>
#include <string>
#include <unordered_set>
#include <vector>

/* One entry of a whole listing. */
struct listed_entry {
    std::string name;
    bool is_dir;
};

/* The one directory listing: every entry of directory ("." and ".." left
 * out), however many there are, into *out (emptied first). 0 when the
 * listing is whole; -1 when directory is not a directory, cannot be
 * enumerated, or the enumeration failed part-way (what was gathered stays
 * in *out, but is not to be taken as all there is). */
int list_all(const char *directory, std::vector<listed_entry> *out);

/* Results of list_or_absent. */
#define LISTED 0
#define LISTED_ABSENT 1
#define LISTED_FAILED (-1)

/* Like list_all, but tells an absent directory (LISTED_ABSENT, *out empty)
 * from one that does not list whole (LISTED_FAILED): only a query that
 * finds no entry of that name after the listing failed means absence, so
 * that a failing disk never makes a directory look empty. */
int list_or_absent(const char *directory, std::vector<listed_entry> *out);

/* Reads the whole file at path into *out. 0, or -1 when it does not open,
 * a read fails, or it holds more than limit bytes (*out is then cut).
 * (layout_files.cc) */
int read_whole_file(const char *path, uint64_t limit, std::string *out);

/* One tag of a repository as its link was found. */
struct tag_link {
    std::string name;
    link_state state;
    std::string hex; /* with LINK_OK */
};

/* Every tag directory of repo_name with what its link holds, in no order.
 * A repository without a tags directory has none (0). -1 when the tags
 * directory does not list whole, or cannot be told absent. */
int read_tags(const char *repo_name, std::vector<tag_link> *out);

/* The tags of repo_name as the tag list shows them, in byte order: every
 * tag whose link is there and readable (a corrupt link is still a tag,
 * which fsck reports). A repository without tags has none. -1 with the
 * message when the tags do not list whole or a link that is there cannot
 * be read. */
int list_tags(const char *repo_name, std::vector<std::string> *names);

/* As list_tags, but only the tags after last in byte order (last NULL or
 * empty: from the first), at most limit of them (limit < 0: all). The tag
 * directories are listed and sorted by name first, and only the links of
 * the tags it walks past are read: a page of n tags costs about n reads,
 * however many tags the repository holds. A link that cannot be read
 * fails the call only when the walk reaches it. */
int list_tags_after(const char *repo_name, const char *last, int64_t limit,
                    std::vector<std::string> *names);

/* 1 when a tag of the repository names hex, or when it cannot be proved
 * that none does: the tags do not list whole, or a tag link is there but
 * cannot be read. Else 0. */
int manifest_has_tag_for(const char *repo_name, const char *hex);

/* Every repository name of the store, at any depth (a directory with a
 * _manifests directory is a repository, and a repository may hold others:
 * "library" and "library/alpine"), in byte order. A store without a
 * repositories directory has none. 0, or -1 when a directory does not list
 * whole. */
int list_repositories(std::vector<std::string> *names);

/* Counts every file (not directory) directly in directory into *count and
 * adds their sizes to *bytes (a size that cannot be queried adds nothing).
 * LISTED, LISTED_ABSENT (nothing counted) or LISTED_FAILED. */
int count_files(const char *directory, int64_t *count, int64_t *bytes);

/* "<name>.tmp-<digits>-<digits>": the temporary of an atomic replacement. */
int is_temporary_name(const std::string &name);

/* "<name>.sweep-<digits>": a file that a garbage collection moved aside
 * before removing it; *original gets <name>. */
int is_swept_name(const std::string &name, std::string *original);

/* "<path>.sweep-<pid of this process>": where gc sets a file aside. */
std::string swept_name(const std::string &path);

/* "<id>.part" of a valid upload id: an upload file's name. */
int is_upload_file_name(const std::string &name);

/* 1 when name is the file name of a blob of algo (one of
 * kStoredAlgorithms) in the fan-out directory fan: a hex digest of that
 * algorithm that begins with the fan-out directory's two digits. */
int is_blob_file_name(const char *algo, const std::string &fan, const std::string &name);

/* "<hex>.ct": the name of a manifest's content-type file. */
int is_content_type_name(const std::string &name);

/* ---- What manifests name (layout_manifests.cc) ------------------------- */

/* A digest as its raw bytes (32 of SHA-256 or 64 of SHA-512): the key of
 * the sets of blobs and manifests that garbage collection, the integrity
 * check and the usage report keep. The two algorithms never share a key. */
struct digest_key {
    uint8_t size = 0; /* bytes in use: 32 or 64 */
    std::array<uint8_t, 64> bytes{};
    bool operator==(const digest_key &other) const {
        return size == other.size && bytes == other.bytes;
    }
};

struct digest_key_hash {
    size_t operator()(const digest_key &k) const {
        size_t h = k.size;
        for (int i = 0; i < 8; i++) h = (h << 8) | k.bytes[static_cast<size_t>(i)];
        return h;
    }
};
typedef std::unordered_set<digest_key, digest_key_hash> digest_set;

/* (layout_hash.cc) Writes the lowercase hex digits of the digest of len
 * bytes of data, in the algorithm of the digest string like (64 digits for
 * "sha256:", 128 for "sha512:"; like may be NULL or a tag: then SHA-256),
 * and a NUL, into out_hex (REG_HEX_SIZE bytes). 0, or -1 when the hash
 * cannot be taken. */
int content_hex_of(const char *like, const void *data, uint64_t len, char *out_hex);

/* The key of a valid hex digest (64 or 128 lowercase digits; not checked). */
digest_key key_of_hex(const char *hex);
/* The hex digits of key. */
std::string hex_of_key(const digest_key &key);
/* "<algo>:<hex>" of key. */
std::string digest_string_of_key(const digest_key &key);
/* 1 for a hex digest the store keeps (hex_digest_valid), else 0. */
int is_hex_digest(const std::string &text);

/* What one manifest names, whatever its kind: blobs (config, layers, an
 * artifact's blobs), manifests of the same repository (an index's
 * manifests) and its subject. Every descriptor whose digest is a valid
 * digest string is taken; others are passed over. */
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

/* Every repository of the store (in byte order) with the manifest bodies
 * (files named by a hex digest) of its _manifests directory. 0, or -1 with
 * the message when a directory does not list whole. */
int list_stored_manifests(std::vector<std::string> *repos, std::vector<stored_manifest> *out);

/* Reads the manifest body hex of repo_name whole (at most REG_MANIFEST_MAX
 * bytes) into *out. 0 / -1. */
int read_manifest_body(const char *repo_name, const char *hex, std::string *out);
#endif

#endif

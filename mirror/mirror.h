/*
 * mirror.h - the registry as a pull-through cache of upstream registries.
 *
 * A repository whose name begins with a configured prefix is a mirror of
 * the upstream repository named by the rest: what a client asks for and
 * the store lacks is fetched from the upstream, verified against its
 * digest and stored through the storage's verified writes
 * (reg_manifest_put_fetched, reg_blob_cache_*), never otherwise. This is
 * the only module that makes outgoing network requests (libcurl).
 *
 * Configuration (the file REGISTRY_MIRRORS names), JSON:
 *   {"mirrors": [
 *     {"prefix": "hub/", "upstream": "https://registry-1.example",
 *      "tag_ttl_seconds": 300, "username": "reader",
 *      "password_file": "/etc/registry/hub.pass",
 *      "ca_file": "/etc/registry/upstream-ca.pem"}
 *   ]}
 * A pull of <prefix><rest> goes to the upstream repository <rest>; the
 * prefix "" makes the whole registry a mirror.
 *
 * The module reads no environment: the endpoints hand it the deployment's
 * settings (mirror_timeouts_set, mirror_token_dir_set).
 */
#ifndef MIRROR_MIRROR_H
#define MIRROR_MIRROR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Sizes callers must respect -------------------------------------- */

#define MIRROR_PREFIX_MAX 256     /* a prefix and its NUL */
#define MIRROR_URL_MAX 1024       /* an upstream or realm URL and its NUL */
#define MIRROR_USER_MAX 256       /* a user name and its NUL */
#define MIRROR_FILE_MAX 1024      /* a configured file's path and its NUL */
#define MIRROR_ENTRIES_MAX 32     /* mirrors in one configuration */
#define MIRROR_ERROR_MAX 512      /* an error message and its NUL */
#define MIRROR_CONFIG_FILE_MAX 65536 /* bytes of a configuration file */
#define MIRROR_TTL_DEFAULT 300    /* tag_ttl_seconds when absent */
#define MIRROR_TTL_MAX 31536000   /* the largest tag_ttl_seconds taken (a year) */
#define MIRROR_CHALLENGE_VALUE_MAX 1024 /* a challenge parameter and its NUL */

/* ---- Configuration ---------------------------------------------------- */

typedef struct mirror_entry {
    char prefix[MIRROR_PREFIX_MAX];   /* "" or a repository name and a final '/' */
    char upstream[MIRROR_URL_MAX];    /* http(s)://host[:port][/path], no final '/' */
    int64_t tag_ttl_seconds;
    char username[MIRROR_USER_MAX];   /* "" for anonymous */
    char password_file[MIRROR_FILE_MAX]; /* "" when none */
    char ca_file[MIRROR_FILE_MAX];    /* "" for the system's CAs */
} mirror_entry;

typedef struct mirror_config {
    mirror_entry entries[MIRROR_ENTRIES_MAX];
    size_t count;
} mirror_config;

/* Parses len bytes of text as a mirror configuration into *out, checking
 * everything: strict JSON; an object whose only member is "mirrors", an
 * array of at most MIRROR_ENTRIES_MAX objects with only the members above;
 * "prefix" (required) "" or a name under reg_repo_name_valid followed by
 * '/', no two alike; "upstream" (required) "http://" or "https://", a host
 * of letters, digits, '.', '-' (or an IPv6 address in brackets), an
 * optional port 1-65535 and an optional path of [A-Za-z0-9._~/-], without
 * user, query or fragment (a final '/' is dropped); "tag_ttl_seconds" an
 * integer 0 to MIRROR_TTL_MAX; "username" printable ASCII without ':';
 * "password_file" (only with a username, and a username needs one) and
 * "ca_file" absolute paths of printable ASCII. 0 when valid; -1 with a
 * message in err (err_size bytes) and *out emptied otherwise. Touches no
 * file. */
int mirror_config_parse(const char *text, size_t len, mirror_config *out, char *err,
                        size_t err_size);

/* Reads the configuration file at path (a regular file of at most
 * MIRROR_CONFIG_FILE_MAX bytes), parses it as mirror_config_parse does and
 * checks that every password_file holds a password on its first line and
 * every ca_file can be read. 0 when all holds; -1 with a message in err
 * and *out emptied otherwise. */
int mirror_config_load(const char *path, mirror_config *out, char *err, size_t err_size);

/* The mirror whose prefix begins repo (the longest such prefix), with
 * *out_rest pointing into repo after it; NULL when none does or nothing
 * would be left of the name. */
const mirror_entry *mirror_match(const mirror_config *config, const char *repo,
                                 const char **out_rest);

/* ---- Upstream authentication challenges ------------------------------- */

typedef enum mirror_auth_scheme {
    MIRROR_AUTH_NONE = 0,
    MIRROR_AUTH_BASIC,
    MIRROR_AUTH_BEARER
} mirror_auth_scheme;

typedef struct mirror_challenge {
    mirror_auth_scheme scheme;
    char realm[MIRROR_CHALLENGE_VALUE_MAX];
    char service[MIRROR_CHALLENGE_VALUE_MAX];
    char scope[MIRROR_CHALLENGE_VALUE_MAX];
} mirror_challenge;

/* Parses the value of a WWW-Authenticate header: a scheme ("Basic" or
 * "Bearer", in any case) and a comma-separated list of key=value
 * parameters, each value a token or a quoted string (with backslash
 * escapes). For Bearer, realm must be an http:// or https:// URL of
 * printable ASCII without spaces; service and scope are optional. A value
 * that does not fit, a control byte or a byte above 0x7e anywhere, a
 * parameter named twice or anything that does not follow the grammar is
 * refused. 0 and *out filled; -1 and *out emptied otherwise. */
int mirror_challenge_parse(const char *value, mirror_challenge *out);

/* ---- Fetching -------------------------------------------------------- */

/* Names the storage root under which the token cache lives
 * (<root>/mirror-tokens, a folder only the registry's user may enter).
 * Until it is called (or with NULL or ""), tokens are kept for the process
 * only. */
void mirror_token_dir_set(const char *storage_root);

#define MIRROR_CONNECT_TIMEOUT_DEFAULT 5
#define MIRROR_STALL_TIMEOUT_DEFAULT 30

/* The timeouts of the fetches that follow, in seconds: to connect
 * (MIRROR_CONNECT_TIMEOUT_DEFAULT) and without a byte before a transfer is
 * abandoned (MIRROR_STALL_TIMEOUT_DEFAULT). A value outside 1 to 3600
 * keeps the default. */
void mirror_timeouts_set(long connect_seconds, long stall_seconds);



/* What a fetch came to. */
typedef enum mirror_result {
    MIRROR_OK = 0,        /* the store holds what was asked for, current */
    MIRROR_NOT_FOUND,     /* the upstream says it has no such thing */
    MIRROR_UNREACHABLE,   /* no answer in time, a 5xx, or a refused login */
    MIRROR_BAD_REPLY,     /* the upstream's bytes are not what was asked for */
    MIRROR_FAILED,        /* the store failed, or the fetch cannot be made */
    MIRROR_UNAVAILABLE    /* this build has no mirror */
} mirror_result;

/* 1 when this build can fetch from upstreams, 0 when it leaves the mirror
 * out (the Windows build). */
int mirror_available(void);

/* Makes the store hold the manifest that reference (a tag or a digest
 * string) names in the mirrored repository repo (whose upstream name is
 * rest), current as the mirror's rules have it: a digest already stored,
 * or a tag younger than the mirror's tag_ttl_seconds, asks nothing; a tag
 * that is absent or older is asked of the upstream with a HEAD first, is
 * only confirmed (reg_tag_confirm) when the upstream names the digest it
 * names already, and is otherwise fetched by digest, verified and stored
 * with the tag. A reference that is neither a tag nor a well-formed digest,
 * or a rest outside the name rule, is MIRROR_NOT_FOUND without a request.
 * A message for the error log goes into err. The storage must be ready. */
mirror_result mirror_sync_manifest(const mirror_entry *mirror, const char *repo,
                                   const char *rest, const char *reference, char *err,
                                   size_t err_size);

#define MIRROR_REFERRERS_MAX 256 /* referrer manifests fetched for one list */
#define MIRROR_ARTIFACT_TYPE_MAX 256 /* an artifactType filter and its NUL */

/* Makes the store hold the referrers that the mirror's upstream repository
 * rest lists for the manifest digest: the upstream's referrers list
 * (/v2/<rest>/referrers/<digest>, with ?artifactType=<artifact_type> when
 * that is not "" or NULL) is asked every time (a list is one small
 * request), or, when the upstream answers 404 to it, the index under the
 * tag <alg>-<hex> that upstreams without the list keep. Each listed
 * manifest that repo does not hold (at most MIRROR_REFERRERS_MAX of them)
 * is fetched by digest, verified and stored as mirror_sync_manifest stores
 * one, so the store's referrers of digest include it. A listed digest that
 * is not well formed, or a referrer that is not what it was listed as, is
 * skipped (a note in err). MIRROR_NOT_FOUND when the upstream has neither
 * list, or digest, rest or artifact_type is not one an upstream is asked
 * for (no request then); MIRROR_UNREACHABLE when it does not answer the
 * list or a referrer; MIRROR_OK otherwise. The storage must be ready. */
mirror_result mirror_sync_referrers(const mirror_entry *mirror, const char *repo,
                                    const char *rest, const char *digest,
                                    const char *artifact_type, char *err, size_t err_size);

/* Where the bytes of a blob fetched for a client go. begin is called once,
 * when the upstream has answered 200, with the blob's size (-1 when the
 * upstream did not tell it), before any byte; a result other than 0 ends
 * the fetch. write is called with each piece in order; a result other than
 * 0 (the client went away) stops the calls, and the blob is still fetched
 * and stored. When the upstream told the size and the blob is being
 * stored, the last piece is written only once the digest of every byte
 * matched, so that a wrong blob never reaches the client whole (its reply
 * ends short). end (may be NULL) is called once when every byte came and
 * their digest matched, before the blob is made durable in the store: the
 * client's reply can end there, without waiting for the commit. */
typedef struct mirror_blob_sink {
    void *cookie;
    int (*begin)(void *cookie, int64_t size);
    int (*write)(void *cookie, const void *data, size_t len);
    void (*end)(void *cookie);
} mirror_blob_sink;

/* Fetches the blob of digest from the mirror's upstream repository rest,
 * handing its bytes to sink as they arrive while they are hashed and
 * written to a cached blob (reg_blob_cache_*), which is committed only when
 * every byte came and the digest matches (verified, then sink's end, then
 * the durable commit): a cut or wrong transfer stores
 * nothing (MIRROR_BAD_REPLY, or MIRROR_UNREACHABLE for a stall, after
 * begin). With with_body 0 only the upstream's size is asked (HEAD),
 * handed to begin, and nothing is stored. A digest that is not well formed
 * is MIRROR_NOT_FOUND without a request. A message for the error log goes
 * into err. The storage must be ready. */
mirror_result mirror_fetch_blob(const mirror_entry *mirror, const char *rest,
                                const char *digest, int with_body,
                                const mirror_blob_sink *sink, char *err, size_t err_size);

#ifdef __cplusplus
}
#endif

#endif

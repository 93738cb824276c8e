/*
 * oci_common.h - registry glue shared by the endpoints: the storage
 * bootstrap, registry error and JSON replies, the repository-name rule and
 * the split of a request path at a marker.
 */
#ifndef EDGE_OCI_COMMON_H
#define EDGE_OCI_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include "access/access.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Makes the storage ready for the request and forgets the failure of an
 * earlier request (reg_storage_forget_error). The root is the request's
 * REGISTRY_STORAGE_ROOT (cgi_env) when set, else the one
 * reg_choose_storage_root chooses; the storage is initialised with it once
 * and again only when a request names another root. 0 when ready, -1 when
 * the storage failed; a later call after a failure tries again. */
int oci_init_storage(void);

/* 1 when the deployment has made the registry read-only: the environment
 * variable REGISTRY_READ_ONLY is set to anything but "", "0", "false", "no"
 * or "off" (in any case). Else 0. */
int oci_read_only(void);

/* In a read-only registry, answers a request of any method but GET and
 * HEAD with 405 UNSUPPORTED "the registry is read-only" and ends the
 * request, before the storage is touched, so that nothing changes on disk.
 * Returns otherwise. */
void oci_refuse_write_if_read_only(const char *method);

/* A registry error reply: status without reason phrase, the API version
 * line, the JSON content type and {"errors":[{"code":...,"message":...}]}
 * with a final LF ("UNKNOWN" / "Unknown error" for NULL), after reading
 * away what is left of the request body (at most 64 MiB,
 * cgi_body_discard). Ends the request (cgi_end_request): a CGI process
 * exits with status 0. */
void oci_send_error(int status, const char *code, const char *message)
    __attribute__((noreturn));

/* A JSON success reply: status, the API version line, the JSON content
 * type, then body ("{}" when NULL or empty) and an LF. Returns. */
void oci_send_json(int status, const char *body);

/* 1 when name is a repository name under the store's one rule
 * (reg_repo_name_valid: 1 to 255 bytes of [A-Za-z0-9] and '-', '_', '.',
 * '/', those four neither first nor last, no "//", no "..", no component
 * "." or "_manifests"), else 0. */
int oci_valid_repo_name(const char *name);

/* Splits path after an optional leading "/v2/" at the first marker: the
 * text before it into name (which must fit and pass oci_valid_repo_name),
 * the text after it (leading '/' skipped, one trailing '/' dropped) into
 * rest when given. 1 split, 0 rejected. */
int oci_parse_repo_marker(const char *path, const char *marker, char *name, size_t name_size,
                          char *rest, size_t rest_size);

/* ---- Routing ------------------------------------------------------------ */

/* The resource a request path under /v2 names. */
typedef enum oci_route_kind {
    OCI_ROUTE_NONE,         /* no resource of the API */
    OCI_ROUTE_BASE,         /* /v2/ */
    OCI_ROUTE_CATALOG,      /* /v2/_catalog */
    OCI_ROUTE_TAGS,         /* /v2/<name>/tags/list */
    OCI_ROUTE_MANIFEST,     /* /v2/<name>/manifests/<reference> */
    OCI_ROUTE_BLOB,         /* /v2/<name>/blobs/<digest> */
    OCI_ROUTE_UPLOAD_START, /* /v2/<name>/blobs/uploads/ */
    OCI_ROUTE_UPLOAD,       /* /v2/<name>/blobs/uploads/<id> */
    OCI_ROUTE_REFERRERS     /* /v2/<name>/referrers/<digest> */
} oci_route_kind;

/* Capacities of the route's texts, NUL included. */
#define OCI_NAME_MAX 256
#define OCI_REFERENCE_MAX 256

typedef struct oci_route {
    oci_route_kind kind;
    char name[OCI_NAME_MAX];           /* the repository name as it stands in the path */
    char reference[OCI_REFERENCE_MAX]; /* digest, tag or upload id; "" where none */
    int name_fits;                     /* 1 when name and reference fit uncut */
    int name_valid;                    /* 1 when the name fits and passes oci_valid_repo_name */
} oci_route;

/* Classifies path (PATH_INFO) into *out and returns its kind. Leading '/'
 * and "v2" are required ("/v2" and "/v2/" alone are the base); one trailing
 * '/' is allowed. The resource is found from the right: the last component
 * is the reference, the one before it (empty components skipped) the marker
 * ("manifests", "blobs", "referrers"; "blobs/uploads" before an upload id;
 * "tags/list" and "blobs/uploads" end the path), and everything before the
 * marker's '/' is the repository name, which may itself hold "blobs" or
 * "manifests" components. A kind other than OCI_ROUTE_NONE comes with
 * name_valid telling whether the name is usable. */
oci_route_kind oci_route_path(const char *path, oci_route *out);

/* ---- Request values ------------------------------------------------------- */

/* Parses a Content-Range value "<first>-<last>" of decimal byte positions
 * (a leading "bytes " or "bytes=" and a trailing "/<total>" allowed) into
 * *first and *last. 1 parsed, with first <= last and both within 63 bits; 0
 * for anything else. */
int oci_parse_content_range(const char *text, int64_t *first, int64_t *last);

/* Parses the query value n (a page size) into *n: 1 with -1 for an empty
 * value (no limit), with the number for decimal digits (larger than
 * 2147483647 taken as that); 0 for anything else. */
int oci_parse_page_size(const char *text, int32_t *n);

/* ---- Replies for storage failures ---------------------------------------- */

/* The registry error reply for the storage's last failure, by its status:
 * not found 404 with not_found_code and not_found_message; an invalid name
 * 400 NAME_INVALID; an invalid digest or a mismatch 400 DIGEST_INVALID; an
 * invalid manifest 400 MANIFEST_INVALID; a manifest naming what is not
 * stored 400 MANIFEST_BLOB_UNKNOWN; a document too large 413 SIZE_INVALID;
 * an invalid argument 400 with invalid_code (the client's upload or body was
 * unusable); the 4xx replies carry the storage's message. Every other
 * failure is 500 STORAGE_ERROR with a fixed message, so that no path of the
 * server reaches a client. Ends the request. */
void oci_send_storage_error(const char *not_found_code, const char *not_found_message,
                            const char *invalid_code) __attribute__((noreturn));

/* ---- Access ------------------------------------------------------------- */

/* What the access policy says of one request. */
typedef enum oci_access_result {
    OCI_ACCESS_ALLOWED, /* go on */
    OCI_ACCESS_NO_USER, /* refused, and the request has no user: 401 with a challenge */
    OCI_ACCESS_REFUSED  /* refused to the request's user: 403 */
} oci_access_result;

/* 1 when the request has an access policy: REGISTRY_ACCESS_POLICY is set
 * and not empty (in the CGI environment, or passed with the request by a
 * FastCGI server). Without one every request is allowed, as before
 * policies. */
int oci_access_policy_in_force(void);

/* The policy's decision for the request's user (REMOTE_USER as the web
 * server authenticated it; none when unset or empty) on action in
 * repository name: OCI_ACCESS_ALLOWED without a policy. A broken policy
 * refuses everything, and its message goes to standard error (the web
 * server's error log) on the line "registry-access-policy broken: ...". */
oci_access_result oci_access_decide(access_action action, const char *name);

/* The decision for GET /v2/: allowed to every user, and to a request
 * without one when the policy grants such requests anything (or when there
 * is no policy); else OCI_ACCESS_NO_USER. */
oci_access_result oci_access_decide_base(void);

/* The request's policy, for a caller that decides for many repositories
 * at once (the catalog) with access_may and the request's user: NULL when
 * no policy is in force; else the policy (broken, or NULL when memory ran
 * out, grants nothing), looked at once. */
const access_policy *oci_access_policy(void);

/* The challenge line of the request's policy, "WWW-Authenticate: Basic
 * realm="<realm>"", into line (size bytes; cut to fit). The realm is the
 * one of the policy the request's last decision came from ("registry"
 * before any). */
void oci_access_challenge_line(char *line, size_t size);

/* A refusal's reply, ending the request: for OCI_ACCESS_NO_USER 401
 * UNAUTHORIZED with "WWW-Authenticate: Basic realm="<the policy's realm>"",
 * else 403 DENIED. */
void oci_send_access_refused(oci_access_result result) __attribute__((noreturn));

/* The header line "Docker-Distribution-API-Version: registry/2.0". */
extern const char oci_api_version_line[];

#ifdef __cplusplus
}
#endif

#endif

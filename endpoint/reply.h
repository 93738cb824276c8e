/*
 * reply.h - pieces the registry's CGI programs share when they answer:
 * the head of a success reply, the request's route, query numbers, and the
 * sending of a stored file as the body.
 */
#ifndef ENDPOINT_REPLY_H
#define ENDPOINT_REPLY_H

#include <stdint.h>
#include <stdio.h>

#include "edge/oci_common.h"
#include "platform/platform.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Refuses a write in a read-only registry (oci_refuse_write_if_read_only),
 * bootstraps the storage (500 STORAGE_ERROR "Failed to initialize registry
 * storage" when it fails) and routes PATH_INFO into *route. */
void endpoint_start(oci_route *route);

/* Starts a success reply: the status line with its reason phrase and the API
 * version line. Other header lines and cgi_headers_end follow. */
void reply_begin(int status, const char *reason);

/* One header line formatted like printf (at most 2047 bytes). */
void reply_header(const char *format, ...) PLAT_PRINTF_FORMAT(1, 2);

/* Ends the headers of a reply without a body: "Content-Length: 0", the empty
 * line, and the flush. */
void reply_end_empty(void);

/* The query parameter n as a page size: -1 when absent or empty (no
 * limit), else a number of 0 to 2147483647 (larger numbers are taken as
 * that). Answers 400 PAGINATION_NUMBER_INVALID for anything that is not a
 * decimal number. */
int32_t query_page_size(void);

/* Writes text to out with every byte outside [A-Za-z0-9._~/-] as %XX, for a
 * query value inside a Link header (at most out_size-1 bytes, cut whole). */
void query_escape(const char *text, char *out, size_t out_size);

/* A 200 reply with the JSON document doc (and a line end) as its body, sent
 * only when with_body is set; when next is not empty, a Link header to the
 * next page: <path?n=<n>&last=<next>>; rel="next" (without n when n < 0). */
void reply_json_page(const char *doc, const char *path, int32_t n, const char *next,
                     int with_body);

/* Writes one access line for a write the program carried out to standard
 * error, which the web server keeps in its error log: who (REMOTE_USER as
 * the web server checked it, "-" for none), from where (REMOTE_ADDR), what
 * (action, such as "blob.put"), in which repository, and which digest and
 * reference (a tag or an upload id; "-" for NULL or empty):
 *   registry-access user=alice addr=127.0.0.1 action=manifest.put
 *   repository=app digest=sha256:... reference=v1
 * (one line). In every value a space, control byte, byte above 0x7e, '%'
 * and '"' is written as %XX, so a name cannot break the line or forge
 * another field. */
void reply_access_line(const char *action, const char *name, const char *digest,
                       const char *reference);

/* Writes the access line of a refused request (reply_access_line's
 * fields without digest and reference, action the action's name, and
 * result=denied at the end). */
void reply_access_refused_line(access_action action, const char *name);

/* Asks the access policy whether the request's user may carry out action
 * in repository name (oci_access_decide) and returns when allowed (always
 * without a policy). Otherwise writes the access line of the refusal
 * (reply_access_line's fields, with action the action's name, and
 * result=denied) and answers 401 or 403 (oci_send_access_refused), ending
 * the request before anything was changed or read of a body. */
void endpoint_require_access(access_action action, const char *name);

/* 1 when blob digest may be reached through repository name (HEAD, GET, a
 * mount from it), else 0. This is the one place where, while an access
 * policy is in force, the repository's hold of the blob is to be asked, so
 * that a tenant cannot read another tenant's blob by its digest through a
 * repository of their own: with a policy, only a blob the repository
 * holds (reg_repo_holds_blob: its upload committed it, it was mounted into
 * it, or one of its manifests names it) is reachable; without one, every
 * stored blob is reachable through every repository. */
int endpoint_blob_reachable(const char *name, const char *digest);

/* Copies count bytes of f from its current position to standard output, in
 * the kernel where it can (a pipe or socket) and through a buffer
 * otherwise; stops early at the file's end, and when a write fails (the
 * reader went away). */
void send_file_bytes(FILE *f, int64_t offset, int64_t count);

#ifdef __cplusplus
}
#endif

#endif

/*
 * v2_blob.h - the blob endpoint: HEAD, GET (one byte range) and DELETE of
 * /v2/<name>/blobs/sha256:<hex>, one request per process.
 */
#ifndef ENDPOINT_V2_BLOB_H
#define ENDPOINT_V2_BLOB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Answers the request described by the CGI environment on standard
 * output. When name and digest are both given and non-empty they take the
 * place of PATH_INFO (the name is then not checked). Returns 0 after a
 * successful reply; every error reply ends the request (cgi_end_request:
 * in a CGI process, exit status 0). */
int handle_v2_blob(const char *name, const char *digest);

/* The byte range that a Range header value asks of a blob of size bytes.
 * Without "bytes=" and a '-' after it the whole blob is meant: *first 0,
 * *last size-1 (0 for an empty blob), *partial 0. Otherwise *partial is 1
 * and the numbers in front of and after the first '-' are read like strtoll
 * (an absent last number keeps size-1), a first below 0 is raised to 0 and
 * a last at or past the end is lowered to size-1. A '-' right after
 * "bytes=" asks for a suffix, the last N bytes, N read like strtoll after
 * the '-': *first size-N (0 when N is at least size), *last size-1; N of 0
 * or less, or an empty blob, is unsatisfiable. 0 when the range can be
 * served, -1 when first then lies past last or a suffix is empty (416). */
int blob_range_parse(const char *range, int64_t size, int64_t *first, int64_t *last,
                     int *partial);

#ifdef __cplusplus
}
#endif

#endif

/*
 * oci_common.h - registry glue shared by the endpoints: the storage
 * bootstrap, registry error and JSON replies, the repository-name rule and
 * the split of a request path at a marker.
 */
#ifndef EDGE_OCI_COMMON_H
#define EDGE_OCI_COMMON_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Chooses the storage root once per process (reg_choose_storage_root) and
 * initialises the storage with it. 0 when ready
 * (also on every later call after a success), -1 when the storage failed;
 * a later call after a failure tries again. */
int oci_init_storage(void);

/* A registry error reply: status without reason phrase, the API version
 * line, the JSON content type and {"errors":[{"code":...,"message":...}]}
 * with a final LF ("UNKNOWN" / "Unknown error" for NULL). Ends the process
 * with exit status 0. */
void oci_send_error(int status, const char *code, const char *message)
    __attribute__((noreturn));

/* A JSON success reply: status, the API version line, the JSON content
 * type, then body ("{}" when NULL or empty) and an LF. Returns. */
void oci_send_json(int status, const char *body);

/* 1 when name is a repository name of 1 to 255 bytes of [A-Za-z0-9] and
 * '-', '_', '.', '/' (those four neither first nor last, no "//"), else 0. */
int oci_valid_repo_name(const char *name);

/* Splits path after an optional leading "/v2/" at the first marker: the
 * text before it into name (which must fit and pass oci_valid_repo_name),
 * the text after it (leading '/' skipped, one trailing '/' dropped) into
 * rest when given. 1 split, 0 rejected. */
int oci_parse_repo_marker(const char *path, const char *marker, char *name, size_t name_size,
                          char *rest, size_t rest_size);

#ifdef __cplusplus
}
#endif

#endif

/*
 * mirror_glue.h - how the endpoints meet the mirror: the deployment's
 * mirror configuration, the refusal of writes into a mirrored repository,
 * and the error log's mirror lines.
 */
#ifndef ENDPOINT_MIRROR_GLUE_H
#define ENDPOINT_MIRROR_GLUE_H

#include "mirror/mirror.h"
#include "platform/platform.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The mirror configuration that REGISTRY_MIRRORS (cgi_env) names, loaded
 * with mirror_config_load once per process and again when the request
 * names another file; NULL when REGISTRY_MIRRORS is unset or empty. A file
 * that does not load fails closed: a line in the error log says why, and
 * the request is answered 500 STORAGE_ERROR "mirror configuration invalid"
 * (the request ends), whatever it asked. */
const mirror_config *endpoint_mirrors(void);

/* The mirror of repository name (mirror_match), with *rest the upstream's
 * name, or NULL when the registry has none or name is not mirrored. */
const mirror_entry *endpoint_mirror_of(const char *name, const char **rest);

/* Answers 405 UNSUPPORTED "this repository is a mirror" and ends the
 * request when name is a mirrored repository; returns otherwise. */
void endpoint_refuse_write_into_mirror(const char *name);

/* In a program that fetches, at the start of every request: when
 * REGISTRY_MIRRORS is set, the configuration is loaded (endpoint_mirrors:
 * a broken one ends the request); when this build has no mirror
 * (mirror_available), a line in the error log and 500 STORAGE_ERROR
 * "mirror not available in this build" (the request ends).
 * Otherwise points the mirror's token cache at the request's storage root
 * (mirror_token_dir_set) and hands it the timeouts REGISTRY_MIRROR_CONNECT_TIMEOUT
 * and REGISTRY_MIRROR_STALL_TIMEOUT (seconds; unset or invalid: the
 * defaults). */
void endpoint_mirror_ready(void);

/* One line "registry-mirror: <text>" in the error log (standard error),
 * every byte outside printable ASCII written as %XX. */
void endpoint_mirror_log(const char *format, ...) PLAT_PRINTF_FORMAT(1, 2);

#ifdef __cplusplus
}
#endif

#endif

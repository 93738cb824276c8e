/*
 * oci_common_internal.h - module-private helpers of the registry glue,
 * shared by its source file and reachable by its tests and fuzz targets.
 */
#ifndef EDGE_OCI_COMMON_INTERNAL_H
#define EDGE_OCI_COMMON_INTERNAL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The storage root that config.json text names: the value of the first
 * "storage_root": key, else of the first "registry_storage_root": key (the
 * key in double quotes directly followed by ':'), taken as the text between
 * the first two double quotes after that ':', raw (escapes are not decoded).
 * Written with its NUL into root (size bytes) only when it is at most 1023
 * bytes long and fits; otherwise root is left as it was. text ends at its
 * NUL. */
void root_from_config_text(const char *text, char *root, size_t size);

#ifdef __cplusplus
}
#endif

#endif

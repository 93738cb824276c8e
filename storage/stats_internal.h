/*
 * stats_internal.h - the counts behind the statistics document, private to
 * that topic and reachable by its tests. Each walks its part of the store
 * whole; -1 when a directory there does not list whole.
 */
#ifndef STORAGE_STATS_INTERNAL_H
#define STORAGE_STATS_INTERNAL_H

#include <stdint.h>

/* Repositories as the catalog lists them, at any depth. */
int32_t count_repos(void);
/* Tags as the tag list lists them (a readable link), over every repository
 * the catalog lists. */
int32_t count_tags(void);
/* Files in the fan-out directories of <root>/blobs/<algo>, over both
 * algorithms: their number goes
 * to *out_count, the sum of their sizes is the result. */
int64_t count_blobs(int32_t *out_count);
/* Files directly under <root>/uploads: the sum of their sizes goes to
 * *out_bytes, their number is the result. */
int32_t count_uploads(int64_t *out_bytes);

#endif

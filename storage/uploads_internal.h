/*
 * uploads_internal.h - the upload topic's private pieces that its tests
 * reach: where upload ids draw their bytes.
 */
#ifndef STORAGE_UPLOADS_INTERNAL_H
#define STORAGE_UPLOADS_INTERNAL_H

#include <stddef.h>

/* Where upload ids draw their bytes: plat_random_bytes, unless a test puts
 * a predictable source in its place. 0 filled, -1 failed. */
extern int (*s_random_source)(void *buf, size_t count);

/* Draws a new upload id from s_random_source into out (REG_UPLOAD_ID_SIZE
 * bytes). 0, or -1 when the source failed (out is then unchanged). */
int uuid_make(char *out);

#endif

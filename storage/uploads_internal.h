/*
 * uploads_internal.h - the upload topic's private pieces that its tests
 * reach: the drawing of an upload id.
 */
#ifndef STORAGE_UPLOADS_INTERNAL_H
#define STORAGE_UPLOADS_INTERNAL_H

#include <stddef.h>

/* Draws a new upload id from plat_random_bytes into out (REG_UPLOAD_ID_SIZE
 * bytes). 0, or -1 when the source failed (out is then unchanged). */
int uuid_make(char *out);

#endif

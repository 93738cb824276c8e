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

/* Moves an upload file whose bytes have the digest expected_digest into
 * the blob store under it: the bytes reach stable storage before the blob
 * path names them. Content that is stored already stays as it is and the
 * upload goes. The caller has verified the bytes. Sets the message. */
int commit_verified_upload(const char *upload_path, const char *expected_digest);

#endif

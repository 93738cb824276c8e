/*
 * repo_blobs_internal.h - what the manifest store asks of the blobs a
 * repository holds (repo_blobs.cc). Private to the storage library.
 */
#ifndef STORAGE_REPO_BLOBS_INTERNAL_H
#define STORAGE_REPO_BLOBS_INTERNAL_H

/* Links the stored blob of a valid hex digest into repo_name when the link
 * is not there yet. 0 / -1 with the message. */
int link_blob_into(const char *repo_name, const char *hex);

/* 1 when repo_name holds the blob of a valid digest string and the blob is
 * stored, 0 when not, -1 with the message. */
int repo_holds_blob(const char *repo_name, const char *digest);

#endif

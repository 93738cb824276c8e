/*
 * mirror_internal.h - the mirror module's private pieces that its tests
 * reach: the token service's reply and the token cache.
 */
#ifndef MIRROR_MIRROR_INTERNAL_H
#define MIRROR_MIRROR_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include <string>

/* Reads a token service's JSON reply (len bytes): the "token", else the
 * "access_token" member, a non-empty string, into *token; "expires_in", a
 * positive integer of seconds, into *expires_in (left as it is when
 * absent). false for anything else. */
bool mirror_token_reply_parse(const char *text, size_t len, std::string *token,
                              int64_t *expires_in);

/* The folder of the token cache: <storage root>/mirror-tokens of the root
 * given to mirror_token_dir_set; "" when none was given (tokens are then
 * kept for the process only). */
const char *mirror_token_dir(void);

/* Keeps token for (upstream, scope) until expires_in seconds from now
 * (a little less), in a file only the registry's user may read, in a folder
 * only it may enter. Best effort: a cache that cannot be written is
 * skipped. */
void mirror_token_store(const char *upstream, const char *scope, const char *token,
                        int64_t expires_in);

/* The cached token for (upstream, scope) when one is there and has not
 * expired; false otherwise. */
bool mirror_token_load(const char *upstream, const char *scope, std::string *token);

#endif

/*
 * catalog_internal.h - the JSON writing of the tag list and the catalog,
 * private to that topic and reachable by its tests.
 */
#ifndef STORAGE_CATALOG_INTERNAL_H
#define STORAGE_CATALOG_INTERNAL_H

#include <stdint.h>

/* Appends src (NULL: empty) to dst as the inside of a JSON string: '"' and
 * '\\' get a backslash, 8, 9, 10, 12 and 13 become \b \t \n \f \r, other
 * bytes below 32 become \u00xx, every other byte is copied as it is. A byte
 * is handled only while w + 8 < cap (w: bytes written so far), so the text
 * is cut between escapes, never inside one; a NUL follows when w < cap (with
 * cap of 8 or less only the NUL). Returns w, the NUL not counted. */
uint64_t json_escape_append(char *dst, uint64_t cap, const char *src);

/* Byte-order comparison (strcmp): negative, 0 or positive. */
int str_cmp(const char *a, const char *b);

/* Sorts names[0..name_count) ascending by str_cmp; stable (insertion). */
void sort_str(char **names, int32_t name_count);

/* Writes into dst (cap bytes) names[0..count) as JSON strings separated by
 * commas, then "]}" and a NUL: the end of a document whose opening "[" the
 * caller has written. A name goes in only whole and only while the closing
 * still fits after it; the first name that does not fit is left out with
 * every later one, so the text stays valid JSON and holds a leading run of
 * the names. With cap below 3 only a NUL is written (cap > 0). Returns the
 * bytes written, the NUL not counted. */
uint64_t json_append_name_array(char *dst, uint64_t cap, char *const *names, int32_t count);

#endif

/*
 * tw_cgi_internal.h - module-private helpers of the CGI module, shared by
 * its source files and reachable by its tests.
 */
#ifndef EDGE_TW_CGI_INTERNAL_H
#define EDGE_TW_CGI_INTERNAL_H

#ifdef __cplusplus
extern "C" {
#endif

/* The value of the hexadecimal digit c: '0'-'9' give 0-9, 'a'-'f' and
 * 'A'-'F' give 10-15; every other byte (those from 128 up included) gives
 * -1. */
int hexval(int c);

#ifdef __cplusplus
}
#endif

#endif

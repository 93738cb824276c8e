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

/* Starts a request of a FastCGI responder: params (the request's
 * "NAME=value" variables, NULL-terminated) become what cgi_env reads, the
 * binary mode of standard output is set again for the request's stream,
 * and cgi_end_request ends the request instead of the process. */
void cgi_request_begin(char **params);

/* Ends what cgi_request_begin started: cgi_env reads the process's
 * environment again. */
void cgi_request_finish(void);

/* Serves FastCGI requests on the listening socket that is standard input,
 * one at a time, calling handle for each with standard input and output
 * bound to the request's streams, until the server closes the socket or
 * an accept fails. Returns the process's exit status. */
int fcgi_serve_requests(void (*handle)(void));

/* Ends the output of the FastCGI request being served (its error and
 * output streams, which sends the server the request's end), leaving the
 * request's variables in place until its handler returns. */
void fcgi_reply_close(void);

#ifdef __cplusplus
}

/* Thrown by cgi_end_request in a FastCGI responder and caught by its loop:
 * unwinds the handler of a request whose reply is complete. */
struct cgi_request_end {};

extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif

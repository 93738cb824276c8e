/*
 * tw_cgi.h - the CGI side of a request: reading the environment, the query
 * string and the body, and writing reply heads and simple replies on
 * standard output.
 *
 * A reply is written as: cgi_header_status first, then the other header
 * writers in the order the lines are to appear, then cgi_headers_end, then
 * the body. Every header line ends in CR LF; standard output is in binary
 * mode from the first header writer on. Writes are not checked.
 */
#ifndef EDGE_TW_CGI_H
#define EDGE_TW_CGI_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "platform/platform.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Puts standard output into binary mode, once per request. */
void tw_stdout_bin(void);

/* Runs handle for the request this process was started for, and returns
 * the process's exit status (0). A process that a FastCGI server started
 * (standard input is a listening socket, plat_stdin_is_listener) is a
 * FastCGI responder instead: it calls handle for one request after
 * another, each with standard input reading the request's body, standard
 * output writing its reply and cgi_env reading its variables, until the
 * server stops it. Nothing a request set in this module stays for the
 * next. The choice costs one system call; a CGI process starts no FastCGI
 * library. */
int cgi_serve(void (*handle)(void));

/* 1 while the process serves a FastCGI request, 0 in a CGI process. */
int cgi_is_fastcgi_request(void);

/* Ends the current request after its reply has been written: flushes
 * standard output, then ends the process (exit 0) in a CGI process, or
 * only the request in a FastCGI responder (the handler is unwound and the
 * responder goes on with the next request). */
void cgi_end_request(void) __attribute__((noreturn));

/* Called before the last bytes of a reply are written by a handler that has
 * work left after its reply: in a CGI process, the web server's request to
 * stop, which it sends once the reply is all in or the client went away,
 * is ignored from now on (plat_ignore_stop_request); nothing in a FastCGI
 * responder, which the server must still be able to stop. */
void cgi_work_after_reply(void);

/* Ends the reply on the wire while the handler goes on with work the client
 * need not wait for: flushes standard output; in a CGI process, detaches it
 * (cgi_work_after_reply, then plat_stdout_detach: the web server sees the
 * output end); in a FastCGI responder, closes the request's output streams,
 * which tells the server the request is complete (its variables stay
 * readable until the handler returns). What the handler writes to standard
 * output afterwards goes nowhere. */
void cgi_reply_close(void);

/* The request variable name (the CGI environment, or the variables of the
 * current FastCGI request) when set and non-empty, else def, else "". In a
 * FastCGI request, names beginning with "REGISTRY_" (the deployment's
 * settings) that the request does not carry, or carries empty, are read
 * from the responder's own environment; every other name only from the
 * request. The text must not be changed or freed and lives until the
 * request ends. */
const char *cgi_env(const char *name, const char *def);

/* REQUEST_METHOD, "GET" when unset or empty. */
const char *cgi_method(void);

/* PATH_INFO, "/" when unset or empty. */
const char *cgi_path_info(void);

/* 1 when the method begins with "PO", else 0. */
int cgi_is_post(void);

/* 1 when the method begins with "HEAD", else 0. */
int cgi_is_head(void);

/* The decoded value of query parameter name ('+' and %XX decoded, cut at
 * 511 bytes), "" when absent. Without a QUERY_STRING the environment
 * variable of that name is returned undecoded, unless it holds both ';' and
 * ':'. Results live in eight static slots used in turn: a result stays valid
 * for eight further calls. Never NULL. */
const char *cgi_query(const char *name);

/* The decoded value of field name in form, an
 * application/x-www-form-urlencoded body (NUL-terminated), decoded as
 * cgi_query decodes a query value (the first matching field, cut at 511
 * bytes), into out (size bytes, cut to fit); "" when absent. Nothing when
 * out is NULL or size is 0. */
void cgi_form_value(const char *form, const char *name, char *out, size_t size);

/* The request body in a new buffer followed by one NUL (the caller frees
 * it), its length in *length unless NULL (0 with NULL); NULL when there is
 * no body. Read whole from the file named by POST_BODY_FILE when that is a
 * regular file that opens (a directory, FIFO or device counts as not
 * opening), else at most CONTENT_LENGTH bytes from standard input (fewer
 * when it ends early). A body file or CONTENT_LENGTH beyond 2147483647
 * bytes, a CONTENT_LENGTH that is not a positive number, and a read error
 * give NULL. */
char *cgi_read_post(size_t *length);

/* The request body as a stream, for bodies of any length. */
typedef struct cgi_body {
    FILE *stream;   /* where the body's bytes come from */
    int64_t length; /* its length in bytes; -1 when it runs to the stream's end */
    int owned;      /* 1 when cgi_body_close closes the stream */
} cgi_body;

/* Opens the request body: the file named by POST_BODY_FILE when that is a
 * regular file that opens (length: its size), else standard input in binary
 * mode with CONTENT_LENGTH as its length (decimal digits, 64-bit); without
 * CONTENT_LENGTH a body sent with "Transfer-Encoding: chunked" runs to the
 * end of standard input (length -1), any other request has none (0).
 * -1 for a CONTENT_LENGTH that is not a number of bytes. */
int cgi_body_open(cgi_body *body);

/* Closes what cgi_body_open opened; standard input stays open. */
void cgi_body_close(cgi_body *body);

/* Reads the whole body into a new buffer followed by one NUL (the caller
 * frees it); its length goes to *length. A body of more than limit bytes is
 * not kept: NULL with *too_large set (an announced length is refused
 * before anything is read). NULL without *too_large when memory runs out or
 * reading the body fails (a read error). A body that ends early gives the
 * bytes that came. */
char *cgi_body_read_all(cgi_body *body, uint64_t limit, size_t *length, int *too_large);

/* Reads and throws away what is left of a request body on standard input,
 * at most limit bytes, up to its end: a program that answers before it has
 * read the body lets the web server finish handing it over (Apache and
 * fcgiwrap drop the reply when the program closes its input early). Does
 * nothing for a request without a body (no CONTENT_LENGTH above 0 and not
 * chunked), a body from POST_BODY_FILE, or a terminal on standard input. */
void cgi_body_discard(uint64_t limit);

/* "Status: %d %s", or "Status: %d" when reason is NULL or empty. */
void cgi_header_status(int code, const char *reason);

/* "Content-Type: %s". */
void cgi_header_ct(const char *type);

/* line, unchanged. */
void cgi_header_extra(const char *line);

/* "Content-Type: application/json; charset=utf-8". */
void cgi_header_json(void);

/* "Content-Type: text/html; charset=utf-8". */
void cgi_header_html(void);

/* "Content-Type: text/plain; charset=utf-8". */
void cgi_header_text(void);

/* The empty line that ends the headers; flushes standard output and sets
 * binary mode on it again. */
void cgi_headers_end(void);

/* A plain-text error reply with status, then ends the request
 * (cgi_end_request). */
void cgi_die_text(int status, const char *message) __attribute__((noreturn));

/* A JSON error reply {"errors":[{"code":"ERROR","message":...}]} with
 * status, then ends the request (cgi_end_request). */
void cgi_die_json(int status, const char *message) __attribute__((noreturn));

/* Writes text to out as the inside of a JSON string (no quotes); NULL
 * writes nothing. */
void json_escape_f(FILE *out, const char *text);

/* Copies src (NULL: empty) into dst, cut at size-1 bytes, NUL-terminated;
 * nothing when dst is NULL or size is 0. */
void tw_strlcpy(char *dst, const char *src, size_t size);

/* vsnprintf into buf; returns the length kept, at most size-1 (0 and
 * nothing written when buf is NULL or size is 0). */
int tw_snprintf(char *buf, size_t size, const char *format, ...)
    PLAT_PRINTF_FORMAT(3, 4);

/* Joins first and second into out of size bytes, cut silently at size-1.
 * A missing or empty part gives the other one unchanged. Otherwise first,
 * then PLAT_SEP unless first ends in '/' or '\\' (and only when it fits
 * with a byte after it), then second without its leading '/' and '\\';
 * without room for the separator nothing of second is appended. Nothing
 * when out is NULL or size is 0. */
void tw_path_join(char *out, size_t size, const char *first, const char *second);

#ifdef __cplusplus
}
#endif

#endif

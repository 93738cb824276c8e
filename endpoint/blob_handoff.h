/*
 * blob_handoff.h - handing a blob GET's body to the web server.
 *
 * A blob GET answers its status and headers itself. When the deployment
 * says the web server takes a file hand-off, the program then names the
 * blob file in one more header line instead of sending the bytes, and the
 * web server sends the file from the page cache itself: one process and
 * one copy fewer for large blobs.
 *
 * The deployment says so in the programs' environment (read with cgi_env):
 *   REGISTRY_FILE_HANDOFF         "lighttpd", "nginx" or "apache"; unset,
 *                                 empty, "off" and every other value mean
 *                                 off: the program sends every body itself,
 *                                 byte for byte as without the setting.
 *   REGISTRY_FILE_HANDOFF_PREFIX  nginx only: the URI prefix of the internal
 *                                 location that serves the blob store
 *                                 (default BLOB_HANDOFF_DEFAULT_PREFIX).
 *
 * Only a reply that the web server sends exactly as the program would is
 * handed off: a 200 of the whole, non-empty blob to a request without a
 * conditional header, and under lighttpd's FastCGI module, which takes the
 * byte range from the program (X-Sendfile2), a 206 as well. Each server
 * answers If-None-Match, If-Modified-Since and the like for a file it sends
 * itself (304, 412), and lighttpd, nginx and Apache read a Range header by
 * rules of their own (suffix ranges, several ranges), so conditional GETs,
 * the empty blob and every other ranged GET keep their body from the
 * program. The web server's configuration keeps
 * its own Range handling off and takes away the Last-Modified header it
 * would add, where it can: mod_xsendfile adds it after Apache's mod_headers
 * has run (deploy/).
 *
 * The line names the path that the storage gave for a digest the program
 * validated; it is refused (no hand-off) unless the path is absolute, ends
 * in that digest's hex digits and holds no "." or ".." component. The web
 * server's own limit to the blob store folder is the second wall.
 */
#ifndef ENDPOINT_BLOB_HANDOFF_H
#define ENDPOINT_BLOB_HANDOFF_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The web server that takes the hand-off, and the line it reads:
 *   BLOB_HANDOFF_LIGHTTPD  "X-Sendfile: <path>", every byte of the path
 *                          outside [A-Za-z0-9._~/-] as %XX (lighttpd
 *                          decodes it). lighttpd 1.4's CGI module reads
 *                          X-Sendfile only, not X-Sendfile2.
 *   BLOB_HANDOFF_NGINX     "X-Accel-Redirect: <prefix><path>", the prefix
 *                          without its trailing '/', the path encoded as
 *                          for lighttpd (nginx decodes the URI).
 *   BLOB_HANDOFF_APACHE    "X-Sendfile: <path>" for mod_xsendfile, which
 *                          takes the path as it stands in version 0.12 and
 *                          decodes it in later ones: only a path of
 *                          [A-Za-z0-9._~/-] alone, which reads the same
 *                          both ways, is handed off. */
typedef enum blob_handoff_server {
    BLOB_HANDOFF_OFF = 0,
    BLOB_HANDOFF_LIGHTTPD,
    BLOB_HANDOFF_NGINX,
    BLOB_HANDOFF_APACHE
} blob_handoff_server;

/* The prefix of the nginx hand-off when REGISTRY_FILE_HANDOFF_PREFIX is
 * unset or empty. */
#define BLOB_HANDOFF_DEFAULT_PREFIX "/.registry-blobs/"

/* Capacity of a hand-off line, NUL included, for a path that fits the blob
 * endpoint's 1024-byte path buffer and a prefix of at most 256 bytes. */
#define BLOB_HANDOFF_LINE_MAX 4096

/* What the deployment configured. */
typedef struct blob_handoff {
    blob_handoff_server server;
    const char *prefix; /* nginx's URI prefix; never NULL */
    int ranges;         /* 1 when the server also takes a byte range of the
                           file: lighttpd's FastCGI module, which reads
                           X-Sendfile2 (its CGI module does not) */
} blob_handoff;

/* The server a REGISTRY_FILE_HANDOFF value names: exactly "lighttpd",
 * "nginx" or "apache"; BLOB_HANDOFF_OFF for NULL and any other value. */
blob_handoff_server blob_handoff_server_named(const char *value);

/* REGISTRY_FILE_HANDOFF and REGISTRY_FILE_HANDOFF_PREFIX (its default when
 * unset or empty), read with cgi_env; ranges is 1 for lighttpd while the
 * program serves a FastCGI request (cgi_is_fastcgi_request). The prefix
 * text stays valid for the request. */
blob_handoff blob_handoff_configured(void);

/* 1 when the request (read with cgi_env) carries a non-empty If-Match,
 * If-None-Match, If-Modified-Since, If-Unmodified-Since or If-Range header,
 * which a web server would act on for a file it sends; else 0. */
int blob_handoff_request_conditional(void);

/* Writes into out (out_size bytes) the header line, without CR LF, that
 * hands the blob file at path to the web server, for a reply that is a 200
 * of the whole blob of size bytes (whole_reply 1: no range served, no
 * conditional header). Returns the line's length, or 0 with out holding ""
 * (when out_size > 0) when the body is not handed off: handoff.server is
 * off; whole_reply is 0; size is not above 0; digest is not a digest string
 * the store keeps ("sha256:" and 64 lowercase hex digits, or "sha512:" and
 * 128); path is NULL, does not start with '/' (a relative storage root, or
 * a Windows path), does not end in "/<the hex digits>", or holds a "." or ".." component; for nginx a prefix
 * that does not start with '/', holds a byte outside [A-Za-z0-9._~/-] or is
 * longer than 256 bytes; for Apache a path byte outside [A-Za-z0-9._~/-];
 * or a line that does not fit out. */
int blob_handoff_line(blob_handoff handoff, const char *digest, const char *path, int64_t size,
                      int whole_reply, char *out, size_t out_size);

/* Writes into out (out_size bytes) the line, without CR LF, that hands
 * bytes first to last of the blob file at path (a 206 of a blob of size
 * bytes) to the web server: "X-Sendfile2: <path encoded as for lighttpd>
 * <first>-<last>". lighttpd sends exactly that range under the program's
 * status and headers. Returns the line's length, or 0 with out holding ""
 * (when out_size > 0) when the range is not handed off: handoff.ranges is 0
 * or the server is not lighttpd; conditional is set (the request carries a
 * header blob_handoff_request_conditional names); the range does not lie
 * within the blob (0 <= first <= last < size); for every digest or path
 * blob_handoff_line refuses; or a line that does not fit out. */
int blob_handoff_range_line(blob_handoff handoff, const char *digest, const char *path,
                            int64_t size, int64_t first, int64_t last, int conditional, char *out,
                            size_t out_size);

#ifdef __cplusplus
}
#endif

#endif

/*
 * html.h - writing stored and requested text into an HTML page: the one
 * escaper of the registry's pages, for each context a value can stand in.
 *
 * Every text that comes from outside (names, tags, labels, annotations,
 * environment, history, header values) goes through one of these before it
 * reaches a page. Attribute values are always written inside double quotes.
 */
#ifndef EDGE_HTML_H
#define EDGE_HTML_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How a text is escaped. */
typedef enum html_context {
    /* Text between tags: '&' '<' '>' '"' '\'' as character references; a
     * control byte other than tab, line feed and carriage return (which
     * HTML does not allow) as U+FFFD. */
    HTML_TEXT,
    /* A double-quoted attribute value: as HTML_TEXT, and tab, line feed and
     * carriage return as numeric references too, so that the value keeps
     * them (a tooltip's lines) and no quote or byte ends the attribute. */
    HTML_ATTRIBUTE,
    /* A path of a URL inside a double-quoted href or action: every byte
     * outside [A-Za-z0-9._~/:@-] as %XX, so that nothing of the text is
     * markup or changes the URL's structure ('?', '#', '%', '&', quotes,
     * spaces). For names and digests that were validated first. */
    HTML_URL_PATH
} html_context;

/* Writes text (NULL: nothing) to out, escaped for context. */
void html_write(FILE *out, html_context context, const char *text);

/* Writes text escaped for context into buf (size bytes, always terminated
 * when size > 0, an escape never cut in two) and returns the length the
 * whole escaped text needs, without the NUL, like snprintf: the result
 * is whole when it is below size. */
size_t html_escape(html_context context, const char *text, char *buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif

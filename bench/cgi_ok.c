/* A CGI program that answers every request with an empty 200 reply and
 * nothing else: served through the same web server configuration, it shows
 * how many requests per second one process per request allows at most. */
#include <stdio.h>

int main(void) {
    fputs("Status: 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n", stdout);
    return 0;
}

// Builds without a FastCGI library (Windows) run every program as a CGI
// program; plat_stdin_is_listener never sends a request here.
#include <cstdio>

#include "edge/tw_cgi_internal.h"

extern "C" void fcgi_reply_close(void) {}

extern "C" int fcgi_serve_requests(void (*)(void)) {
    fputs("FastCGI is not available in this build\n", stderr);
    return 1;
}

// The blob endpoint program: one CGI request per process, or one request
// after another as a FastCGI responder.
#include "edge/tw_cgi.h"
#include "endpoint/v2_blob.h"

static void answer_request(void) { handle_v2_blob(nullptr, nullptr); }

int main(void) { return cgi_serve(answer_request); }

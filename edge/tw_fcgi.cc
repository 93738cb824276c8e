// The FastCGI responder loop, on Debian's libfcgi: the same handler that a
// CGI process runs once runs here for one request after another.
//
// Each request gets standard streams of its own: stdin and stdout are bound
// to stdio streams over the request's FastCGI streams for the time of the
// request, so the handlers read bodies and write replies exactly as they do
// in a CGI process, and no buffered byte or error flag of one request can
// reach the next (the streams are closed with the request).
#include <fcgiapp.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "edge/tw_cgi.h"
#include "edge/tw_cgi_internal.h"
#include "platform/platform.h"

namespace {

// The stdio buffer of a request's reply; libfcgi cuts it into records.
constexpr size_t kReplyBuffer = 65536;

// The request being served, for fcgi_reply_close.
FCGX_Request *s_current;

ptrdiff_t read_request_body(void *cookie, char *buffer, size_t size) {
    auto *request = static_cast<FCGX_Request *>(cookie);
    int want = size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    int got = FCGX_GetStr(buffer, want, request->in);
    return got < 0 ? -1 : got;
}

ptrdiff_t write_reply(void *cookie, const char *buffer, size_t size) {
    auto *request = static_cast<FCGX_Request *>(cookie);
    size_t done = 0;
    while (done < size) {
        size_t left = size - done;
        int piece = left > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
        int put = FCGX_PutStr(buffer + done, piece, request->out);
        if (put < 0) return done > 0 ? static_cast<ptrdiff_t>(done) : -1;
        done += static_cast<size_t>(put);
    }
    return static_cast<ptrdiff_t>(size);
}

// Runs handle for one accepted request with the process's stdin and stdout
// standing for the request's streams, and puts them back afterwards.
void serve_one(FCGX_Request *request, void (*handle)(void), char *reply_buffer) {
    FILE *body = plat_stream_open(request, read_request_body, nullptr);
    FILE *reply = plat_stream_open(request, nullptr, write_reply);
    plat_std_streams process_streams;
    if (body == nullptr || reply == nullptr ||
        plat_bind_std_streams(body, reply, &process_streams) != 0) {
        // Out of memory before anything of the request ran: the server
        // answers for a request that ends without a reply.
        if (body != nullptr) fclose(body);
        if (reply != nullptr) fclose(reply);
        return;
    }
    setvbuf(reply, reply_buffer, _IOFBF, kReplyBuffer);
    s_current = request;
    cgi_request_begin(request->envp);
    try {
        handle();
    } catch (const cgi_request_end &) {
        // The reply is complete; the request ends here.
    }
    fflush(reply);
    s_current = nullptr;
    cgi_request_finish();
    plat_restore_std_streams(&process_streams);
    fclose(body);
    fclose(reply);
}

}  // namespace

extern "C" void fcgi_reply_close(void) {
    if (s_current == nullptr) return;
    fflush(stdout);
    // The second of the two writers to close sends FCGI_END_REQUEST; a
    // second close (FCGX_Finish_r's) does nothing.
    FCGX_FClose(s_current->err);
    FCGX_FClose(s_current->out);
}

extern "C" int fcgi_serve_requests(void (*handle)(void)) {
    if (FCGX_Init() != 0) return 1;
    FCGX_Request request;
    if (FCGX_InitRequest(&request, 0, 0) != 0) return 1;
    static char reply_buffer[kReplyBuffer];
    while (FCGX_Accept_r(&request) >= 0) {
        serve_one(&request, handle, reply_buffer);
        FCGX_Finish_r(&request);
    }
    FCGX_Free(&request, 1);
    return 0;
}

// The exact replies of the blob endpoint, built independently of the code
// under test, for tests that compare a CGI process's output byte for byte.
#ifndef TESTS_SUPPORT_CGI_REPLIES_H
#define TESTS_SUPPORT_CGI_REPLIES_H

#include <string>

namespace testing_support {

inline const std::string kApiVersionLine = "Docker-Distribution-API-Version: registry/2.0\r\n";
inline const std::string kJsonTypeLine = "Content-Type: application/json; charset=utf-8\r\n";

// A registry error reply: status without reason phrase, the API version
// line, the JSON content type, the empty line and the error body.
inline std::string error_reply(int status, const std::string &code, const std::string &message) {
    return "Status: " + std::to_string(status) + "\r\n" + kApiVersionLine + kJsonTypeLine +
           "\r\n" + "{\"errors\":[{\"code\":\"" + code + "\",\"message\":\"" + message +
           "\"}]}\n";
}

// The header lines every successful HEAD and GET of a blob carries after
// its status (and Content-Range) line, up to and including the empty line;
// length is the count of body bytes (for HEAD, the blob's size). A GET whose
// body the web server sends has its hand-off line (without CR LF) last.
inline std::string blob_headers(const std::string &digest, size_t length,
                                const std::string &handoff_line = "") {
    return kApiVersionLine + "Docker-Content-Digest: " + digest + "\r\nEtag: \"" + digest +
           "\"\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(length) + "\r\nCache-Control: public, max-age=31536000, immutable\r\n" +
           (handoff_line.empty() ? "" : handoff_line + "\r\n") + "\r\n";
}

}  // namespace testing_support

#endif

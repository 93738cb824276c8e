// The exact replies of the blob endpoint, built independently of the code
// under test, for tests that compare a CGI process's output byte for byte.
#ifndef TESTS_SUPPORT_CGI_REPLIES_H
#define TESTS_SUPPORT_CGI_REPLIES_H

#include <cctype>
#include <map>
#include <string>

namespace testing_support {

// A CGI program's reply as a test reads it: the status from its "Status:"
// line, the header lines by lower-case name, and the body after the empty
// line.
struct CgiReply {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string head;                            // the header lines as written
    std::string body;

    std::string header(const std::string &name) const {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
    bool has(const std::string &name) const { return headers.count(name) != 0; }
    // The registry error code of an error body.
    std::string code() const {
        size_t at = body.find("\"code\":\"");
        if (at == std::string::npos) return "";
        at += 8;
        return body.substr(at, body.find('"', at) - at);
    }
};

// Splits out, a CGI program's standard output, into its reply. Output
// without an empty line after the headers is all body (status 0).
inline CgiReply parse_cgi_reply(const std::string &out) {
    CgiReply r;
    size_t end = out.find("\r\n\r\n");
    if (end == std::string::npos) {
        r.body = out;
        return r;
    }
    r.head = out.substr(0, end + 2);
    r.body = out.substr(end + 4);
    size_t pos = 0;
    while (pos < end) {
        size_t eol = out.find("\r\n", pos);
        std::string line = out.substr(pos, eol - pos);
        pos = eol + 2;
        size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        for (char &c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        std::string value =
            colon != std::string::npos && colon + 2 <= line.size() ? line.substr(colon + 2) : "";
        if (name == "status") r.status = std::stoi(value);
        r.headers[name] = value;
    }
    return r;
}

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

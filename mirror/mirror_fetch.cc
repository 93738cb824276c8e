// Fetching from an upstream registry with libcurl: manifests (a HEAD for
// the digest first, the body by digest), blobs streamed to the client while
// they are hashed and cached, and the upstream's login (basic, or a bearer
// token from the realm its challenge names).
//
// libcurl is loaded when the first fetch needs it (plat_library_open), not
// linked: with its own dependencies (GnuTLS through LDAP, Kerberos, SSH)
// loading it costs a program tens of milliseconds at every start, and the
// blob and manifest programs mostly answer from the store.
// Calls go through a table of the functions, so no type-checking macros.
#define CURL_DISABLE_TYPECHECK 1
#include <curl/curl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <yyjson.h>

#include "digest/digest.h"
#include "mirror/mirror.h"
#include "mirror/mirror_internal.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"

namespace {

// The libcurl functions this module calls, from the loaded library.
struct CurlApi {
    CURLcode (*global_init)(long flags);
    CURL *(*easy_init)(void);
    CURLcode (*easy_setopt)(CURL *curl, CURLoption option, ...);
    CURLcode (*easy_perform)(CURL *curl);
    void (*easy_cleanup)(CURL *curl);
    void (*easy_reset)(CURL *curl);
    const char *(*easy_strerror)(CURLcode code);
    curl_slist *(*slist_append)(curl_slist *list, const char *text);
    void (*slist_free_all)(curl_slist *list);
};
CurlApi g_curl;
int g_curl_state;  // 0 not tried, 1 loaded, -1 failed

// Debian's libcurl (libcurl4, the OpenSSL flavour) under its soname.
constexpr char kCurlLibrary[] = "libcurl.so.4";

template <typename F>
bool bind(void *library, const char *name, F *out) {
    void *symbol = plat_library_symbol(library, name);
    if (symbol == nullptr) return false;
    *out = reinterpret_cast<F>(symbol);
    return true;
}

// Loads libcurl once per process; false when it is not there whole.
bool curl_loaded() {
    if (g_curl_state != 0) return g_curl_state > 0;
    void *lib = plat_library_open(kCurlLibrary);
    CurlApi api{};
    bool ok = lib != nullptr && bind(lib, "curl_global_init", &api.global_init) &&
              bind(lib, "curl_easy_init", &api.easy_init) &&
              bind(lib, "curl_easy_setopt", &api.easy_setopt) &&
              bind(lib, "curl_easy_perform", &api.easy_perform) &&
              bind(lib, "curl_easy_cleanup", &api.easy_cleanup) &&
              bind(lib, "curl_easy_reset", &api.easy_reset) &&
              bind(lib, "curl_easy_strerror", &api.easy_strerror) &&
              bind(lib, "curl_slist_append", &api.slist_append) &&
              bind(lib, "curl_slist_free_all", &api.slist_free_all) &&
              api.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (ok) g_curl = api;
    g_curl_state = ok ? 1 : -1;
    return ok;
}

long s_connect_timeout = MIRROR_CONNECT_TIMEOUT_DEFAULT;
long s_stall_timeout = MIRROR_STALL_TIMEOUT_DEFAULT;
constexpr size_t kTokenMax = 8192;
// libcurl's largest receive buffer.
constexpr long kReceiveBuffer = 512 * 1024;
// libcurl hands a body on in pieces of at most 16 KiB whatever its buffer;
// a blob's bytes are gathered into pieces this large before they are
// hashed, written to the cache and sent, so a large blob costs a few
// hundred writes instead of some hundred thousand.
constexpr size_t kBlobPiece = 1024 * 1024;
constexpr size_t kTokenReplyMax = 65536;

const char kIndexAccept[] = "Accept: application/vnd.oci.image.index.v1+json";

const char kManifestAccept[] =
    "Accept: application/vnd.oci.image.manifest.v1+json, "
    "application/vnd.oci.image.index.v1+json, "
    "application/vnd.docker.distribution.manifest.v2+json, "
    "application/vnd.docker.distribution.manifest.list.v2+json, "
    "application/vnd.oci.artifact.manifest.v1+json";

void note(char *err, size_t err_size, const char *format, ...) PLAT_PRINTF_FORMAT(3, 4);
void note(char *err, size_t err_size, const char *format, ...) {
    if (err == nullptr || err_size == 0) return;
    va_list args;
    va_start(args, format);
    vsnprintf(err, err_size, format, args);
    va_end(args);
}

// One reply of the upstream, as its headers and body arrive.
struct Reply {
    long status = 0;
    int64_t content_length = -1;
    char digest[REG_DIGEST_STRING_SIZE] = "";
    char content_type[REG_CONTENT_TYPE_SIZE] = "";
    char challenge[2048] = "";
    // A body kept in memory (manifests, tokens), at most body_max bytes.
    std::string body;
    size_t body_max = 0;
    bool body_too_large = false;
    // A blob streamed on: the sink and the cache.
    const mirror_blob_sink *sink = nullptr;
    bool sink_alive = true;
    bool begun = false;
    bool refused = false; // begin or the cache refused: the transfer ends
    reg_blob_cache cache{};
    bool caching = false;
    uint64_t received = 0;
    bool overlong = false;
    const char *blob_digest = nullptr;
    std::string pending;  // received, not yet handed on (below kBlobPiece)

    void reset_headers() {
        status = 0;
        content_length = -1;
        digest[0] = content_type[0] = challenge[0] = '\0';
    }
};

// A header value without its leading blanks and its line end, when line is
// "<name>: ..." (name in any case); nullptr otherwise.
std::string header_value(const char *line, size_t len, const char *name) {
    size_t name_len = strlen(name);
    if (len <= name_len || line[name_len] != ':' || strncasecmp(line, name, name_len) != 0)
        return std::string();
    size_t start = name_len + 1;
    while (start < len && (line[start] == ' ' || line[start] == '\t')) start++;
    size_t end = len;
    while (end > start && (line[end - 1] == '\r' || line[end - 1] == '\n' || line[end - 1] == ' '))
        end--;
    return std::string(line + start, end - start);
}

bool header_text_fit(const std::string &v, size_t size) {
    if (v.empty() || v.size() >= size) return false;
    for (char c : v)
        if (c < ' ' || c > '~') return false;
    return true;
}

size_t on_header(char *data, size_t size, size_t count, void *user) {
    Reply *r = static_cast<Reply *>(user);
    size_t len = size * count;
    // A status line starts a new reply (after a redirect or an interim one).
    if (len > 5 && strncmp(data, "HTTP/", 5) == 0) {
        r->reset_headers();
        const char *sp = static_cast<const char *>(memchr(data, ' ', len));
        if (sp != nullptr) r->status = strtol(sp + 1, nullptr, 10);
        return len;
    }
    std::string v;
    if (!(v = header_value(data, len, "Docker-Content-Digest")).empty()) {
        if (header_text_fit(v, sizeof r->digest)) snprintf(r->digest, sizeof r->digest, "%s", v.c_str());
    } else if (!(v = header_value(data, len, "Content-Type")).empty()) {
        if (header_text_fit(v, sizeof r->content_type))
            snprintf(r->content_type, sizeof r->content_type, "%s", v.c_str());
    } else if (!(v = header_value(data, len, "Content-Length")).empty()) {
        char *end = nullptr;
        long long n = strtoll(v.c_str(), &end, 10);
        if (end != v.c_str() && *end == '\0' && n >= 0) r->content_length = n;
    } else if (!(v = header_value(data, len, "WWW-Authenticate")).empty()) {
        // The first challenge that parses is kept.
        mirror_challenge c;
        if (r->challenge[0] == '\0' && v.size() < sizeof r->challenge &&
            mirror_challenge_parse(v.c_str(), &c) == 0)
            snprintf(r->challenge, sizeof r->challenge, "%s", v.c_str());
    }
    return len;
}

// Starts handing a 200 reply's blob on: the client's headers, the cache.
bool begin_blob(Reply *r) {
    r->begun = true;
    if (r->sink != nullptr && r->sink->begin != nullptr &&
        r->sink->begin(r->sink->cookie, r->content_length) != 0) {
        r->refused = true;
        return false;
    }
    if (r->blob_digest != nullptr) {
        if (reg_blob_cache_begin(r->blob_digest, &r->cache) != 0) {
            // The client is still served; nothing is stored.
            r->caching = false;
        } else {
            r->caching = true;
        }
    }
    return true;
}

// Writes gathered bytes of a blob to the cache; a cache that fails is
// dropped (the client is still served, nothing is stored).
void cache_piece(Reply *r, const char *data, size_t len) {
    if (len == 0 || !r->caching) return;
    if (reg_blob_cache_write(&r->cache, data, len) != 0) {
        reg_blob_cache_abort(&r->cache);
        r->caching = false;
    }
}

void send_piece(Reply *r, const char *data, size_t len) {
    if (len == 0 || !r->sink_alive || r->sink->write == nullptr) return;
    if (r->sink->write(r->sink->cookie, data, len) != 0) r->sink_alive = false;
}

// Hands the gathered bytes of a blob on: to the cache and to the client.
void flush_pending(Reply *r) {
    cache_piece(r, r->pending.data(), r->pending.size());
    send_piece(r, r->pending.data(), r->pending.size());
    r->pending.clear();
}

size_t on_body(char *data, size_t size, size_t count, void *user) {
    Reply *r = static_cast<Reply *>(user);
    size_t len = size * count;
    // Only the body of the final 200 counts; a refusal's body is dropped.
    if (r->status != 200) return len;
    if (r->sink != nullptr) {
        if (!r->begun && !begin_blob(r)) return 0;
        r->received += len;
        if (r->content_length >= 0 && r->received > static_cast<uint64_t>(r->content_length)) {
            r->overlong = true;
            return 0;
        }
        if (r->pending.capacity() < kBlobPiece) r->pending.reserve(kBlobPiece);
        r->pending.append(data, len);
        // The last piece of a blob whose size the upstream told stays
        // back: it goes to the client only once the digest matched.
        bool last = r->content_length >= 0 && r->received == static_cast<uint64_t>(r->content_length);
        if (r->pending.size() >= kBlobPiece && !last) flush_pending(r);
        return len;
    }
    if (r->body.size() + len > r->body_max) {
        r->body_too_large = true;
        return 0;
    }
    r->body.append(data, len);
    return len;
}

// The state of one program's fetches from one upstream.
struct Session {
    const mirror_entry *mirror = nullptr;
    CURL *curl = nullptr;
    std::string password;
    std::string token;  // a bearer token, for token_scope
    std::string token_scope;
    bool use_basic = false;
};

bool read_password(const mirror_entry *m, std::string *out) {
    if (m->password_file[0] == '\0') return true;
    FILE *f = plat_fopen_regular(m->password_file);
    if (f == nullptr) return false;
    char line[1024];
    size_t got = plat_fread(line, sizeof line - 1, f);
    plat_fclose(f);
    line[got] = '\0';
    line[strcspn(line, "\r\n")] = '\0';
    *out = line;
    memset(line, 0, sizeof line);
    return !out->empty();
}

bool token_valid(const std::string &t) {
    if (t.empty() || t.size() > kTokenMax) return false;
    for (char c : t)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              (c != '\0' && strchr("-._~+/=", c) != nullptr)))
            return false;
    return true;
}

void url_escape(const std::string &in, std::string *out) {
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : in) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            (c != 0 && strchr("-._~", c) != nullptr)) {
            out->push_back(static_cast<char>(c));
        } else {
            out->push_back('%');
            out->push_back(hex[c >> 4]);
            out->push_back(hex[c & 15]);
        }
    }
}

// Sets what every request of the session has: the timeouts, the protocols,
// the CA, redirects.
void common_options(Session &s, Reply &r, curl_slist *headers) {
    CURL *c = s.curl;
    g_curl.easy_reset(c);
    g_curl.easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    g_curl.easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    g_curl.easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    g_curl.easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    g_curl.easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    g_curl.easy_setopt(c, CURLOPT_CONNECTTIMEOUT, s_connect_timeout);
    g_curl.easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    g_curl.easy_setopt(c, CURLOPT_LOW_SPEED_TIME, s_stall_timeout);
    g_curl.easy_setopt(c, CURLOPT_USERAGENT, "tarnwick-registry-mirror");
    // Large pieces: fewer writes to the client and the cache per blob.
    g_curl.easy_setopt(c, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    // No proxy from the environment: in a CGI process that holds request
    // headers (HTTP_*), and the upstream is named by the configuration alone.
    g_curl.easy_setopt(c, CURLOPT_PROXY, "");
    if (s.mirror->ca_file[0] != '\0') g_curl.easy_setopt(c, CURLOPT_CAINFO, s.mirror->ca_file);
    g_curl.easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
    g_curl.easy_setopt(c, CURLOPT_HEADERDATA, &r);
    g_curl.easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    g_curl.easy_setopt(c, CURLOPT_WRITEDATA, &r);
    g_curl.easy_setopt(c, CURLOPT_HTTPHEADER, headers);
}

// Asks the realm of a bearer challenge for a token, with the configured
// credentials when there are any.
mirror_result fetch_token(Session &s, const mirror_challenge &ch, const std::string &scope,
                          char *err, size_t err_size) {
    std::string url = ch.realm;
    url += strchr(ch.realm, '?') != nullptr ? '&' : '?';
    bool first = true;
    if (ch.service[0] != '\0') {
        url += "service=";
        url_escape(ch.service, &url);
        first = false;
    }
    const std::string &wanted = ch.scope[0] != '\0' ? std::string(ch.scope) : scope;
    if (!wanted.empty()) {
        if (!first) url += '&';
        url += "scope=";
        url_escape(wanted, &url);
    }
    Reply r;
    r.body_max = kTokenReplyMax;
    common_options(s, r, nullptr);
    g_curl.easy_setopt(s.curl, CURLOPT_URL, url.c_str());
    if (s.mirror->username[0] != '\0') {
        g_curl.easy_setopt(s.curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        g_curl.easy_setopt(s.curl, CURLOPT_USERNAME, s.mirror->username);
        g_curl.easy_setopt(s.curl, CURLOPT_PASSWORD, s.password.c_str());
    }
    CURLcode rc = g_curl.easy_perform(s.curl);
    if (rc != CURLE_OK) {
        note(err, err_size, "token service %s: %s", ch.realm, g_curl.easy_strerror(rc));
        return MIRROR_UNREACHABLE;
    }
    if (r.status != 200) {
        note(err, err_size, "token service %s answered %ld", ch.realm, r.status);
        return MIRROR_UNREACHABLE;
    }
    std::string token;
    int64_t expires_in = 60;
    if (!mirror_token_reply_parse(r.body.data(), r.body.size(), &token, &expires_in) ||
        !token_valid(token)) {
        note(err, err_size, "token service %s sent no usable token", ch.realm);
        return MIRROR_BAD_REPLY;
    }
    s.token = token;
    s.token_scope = wanted;
    mirror_token_store(s.mirror->upstream, wanted.c_str(), token.c_str(), expires_in);
    return MIRROR_OK;
}

// Makes one request (GET or HEAD) of url, logging in as the upstream's
// challenge asks once: basic with the configured credentials, or a bearer
// token for scope. r holds the final reply.
mirror_result request(Session &s, bool head, const std::string &url, const char *accept,
                      const std::string &scope, Reply &r, char *err, size_t err_size) {
    if (s.token.empty() || s.token_scope != scope) {
        std::string cached;
        if (mirror_token_load(s.mirror->upstream, scope.c_str(), &cached) && token_valid(cached)) {
            s.token = cached;
            s.token_scope = scope;
        }
    }
    for (int attempt = 0; attempt < 2; attempt++) {
        curl_slist *headers = nullptr;
        if (accept != nullptr) headers = g_curl.slist_append(headers, accept);
        std::string auth;
        if (!s.token.empty() && s.token_scope == scope) {
            auth = "Authorization: Bearer " + s.token;
            headers = g_curl.slist_append(headers, auth.c_str());
        }
        r.reset_headers();
        common_options(s, r, headers);
        g_curl.easy_setopt(s.curl, CURLOPT_URL, url.c_str());
        if (head) g_curl.easy_setopt(s.curl, CURLOPT_NOBODY, 1L);
        if (s.use_basic) {
            g_curl.easy_setopt(s.curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
            g_curl.easy_setopt(s.curl, CURLOPT_USERNAME, s.mirror->username);
            g_curl.easy_setopt(s.curl, CURLOPT_PASSWORD, s.password.c_str());
        }
        CURLcode rc = g_curl.easy_perform(s.curl);
        g_curl.slist_free_all(headers);
        if (!auth.empty()) std::fill(auth.begin(), auth.end(), '\0');
        if (rc == CURLE_WRITE_ERROR && (r.body_too_large || r.overlong)) {
            note(err, err_size, "%s: the upstream sent more than it may", url.c_str());
            return MIRROR_BAD_REPLY;
        }
        if (rc == CURLE_WRITE_ERROR && r.refused) {
            note(err, err_size, "%s: the reply could not be started", url.c_str());
            return MIRROR_FAILED;
        }
        if (rc != CURLE_OK) {
            note(err, err_size, "%s: %s", url.c_str(), g_curl.easy_strerror(rc));
            // Bytes that stopped coming after the client's reply began: the
            // transfer is cut; nothing is stored.
            return MIRROR_UNREACHABLE;
        }
        if (r.status == 401 && attempt == 0 && !r.begun) {
            mirror_challenge ch;
            if (r.challenge[0] == '\0' || mirror_challenge_parse(r.challenge, &ch) != 0) {
                note(err, err_size, "%s: 401 without a challenge this registry can answer",
                     url.c_str());
                return MIRROR_UNREACHABLE;
            }
            if (ch.scheme == MIRROR_AUTH_BASIC) {
                if (s.mirror->username[0] == '\0') {
                    note(err, err_size, "%s: the upstream asks for a login and none is configured",
                         url.c_str());
                    return MIRROR_UNREACHABLE;
                }
                s.use_basic = true;
                continue;
            }
            s.token.clear();
            mirror_result got = fetch_token(s, ch, scope, err, err_size);
            if (got != MIRROR_OK) return got;
            continue;
        }
        break;
    }
    if (r.status == 200) return MIRROR_OK;
    if (r.status == 404) {
        note(err, err_size, "%s: the upstream has no such thing", url.c_str());
        return MIRROR_NOT_FOUND;
    }
    note(err, err_size, "%s: the upstream answered %ld", url.c_str(), r.status);
    if (r.status >= 500 || r.status == 401 || r.status == 403 || r.status == 429)
        return MIRROR_UNREACHABLE;
    return MIRROR_BAD_REPLY;
}

// Starts a session with the upstream of m; false when it cannot be made.
bool session_open(Session &s, const mirror_entry *m, char *err, size_t err_size) {
    s.mirror = m;
    if (!curl_loaded()) {
        note(err, err_size, "the HTTP client (%s) could not be loaded", kCurlLibrary);
        return false;
    }
    if ((s.curl = g_curl.easy_init()) == nullptr) {
        note(err, err_size, "the HTTP client could not start");
        return false;
    }
    if (!read_password(m, &s.password)) {
        note(err, err_size, "no password in %s", m->password_file);
        g_curl.easy_cleanup(s.curl);
        s.curl = nullptr;
        return false;
    }
    return true;
}

void session_close(Session &s) {
    if (s.curl != nullptr) g_curl.easy_cleanup(s.curl);
    s.curl = nullptr;
    std::fill(s.password.begin(), s.password.end(), '\0');
}

std::string scope_of(const char *rest) { return std::string("repository:") + rest + ":pull"; }

std::string url_of(const mirror_entry *m, const char *rest, const char *kind, const char *reference) {
    return std::string(m->upstream) + "/v2/" + rest + "/" + kind + "/" + reference;
}

bool is_digest(const char *reference) {
    digest_algo algo;
    return digest_algo_from_prefix(reference, &algo) == 0;
}

// A digest string of a known algorithm: its prefix and exactly its count of
// lowercase hex digits. What goes into an upstream's URL is nothing else.
bool digest_well_formed(const char *text) {
    digest_algo algo;
    if (digest_algo_from_prefix(text, &algo) != 0) return false;
    const char *hex = text + strlen(digest_algo_prefix(algo));
    size_t n = 0;
    for (; hex[n] != '\0'; n++)
        if (!((hex[n] >= '0' && hex[n] <= '9') || (hex[n] >= 'a' && hex[n] <= 'f'))) return false;
    return n == digest_algo_hex_len(algo);
}

// A reference an upstream is asked for: a well-formed digest or a tag.
bool reference_well_formed(const char *reference) {
    return is_digest(reference) ? digest_well_formed(reference) : reg_tag_valid(reference) == 1;
}

// The digest string of body in the algorithm of like (a digest string).
std::string digest_like(const char *like, const std::string &body) {
    digest_algo algo;
    if (digest_algo_from_prefix(like, &algo) != 0) algo = DIGEST_SHA256;
    uint8_t raw[DIGEST_MAX_SIZE];
    size_t raw_len = 0;
    if (digest_of_bytes(algo, body.data(), body.size(), raw, &raw_len) != 0) return std::string();
    char hex[2 * DIGEST_MAX_SIZE + 1];
    digest_to_hex(raw, raw_len, hex);
    return std::string(digest_algo_prefix(algo)) + hex;
}

// GETs the manifest by digest and stores it in repo under reference.
mirror_result fetch_and_store(Session &s, const char *repo, const char *rest, const char *reference,
                              const char *digest, char *err, size_t err_size) {
    Reply r;
    r.body_max = REG_MANIFEST_MAX;
    mirror_result got = request(s, false, url_of(s.mirror, rest, "manifests", digest),
                                kManifestAccept, scope_of(rest), r, err, err_size);
    if (got != MIRROR_OK) return got;
    if (digest_like(digest, r.body) != digest) {
        note(err, err_size, "%s@%s: the upstream sent a manifest of another digest", rest, digest);
        return MIRROR_BAD_REPLY;
    }
    char stored[REG_DIGEST_STRING_SIZE];
    if (reg_manifest_put_fetched(repo, reference, r.body.data(), r.body.size(), r.content_type,
                                 digest, stored) != 0) {
        note(err, err_size, "%s@%s: not stored: %s", rest, digest, reg_storage_last_error());
        reg_status st = reg_storage_last_status();
        return st == REG_STATUS_IO_ERROR || st == REG_STATUS_NOT_READY ? MIRROR_FAILED
                                                                       : MIRROR_BAD_REPLY;
    }
    return MIRROR_OK;
}

mirror_result sync_manifest(Session &s, const char *repo, const char *rest, const char *reference,
                            char *err, size_t err_size) {
    const mirror_entry *m = s.mirror;
    if (is_digest(reference)) return fetch_and_store(s, repo, rest, reference, reference, err, err_size);
    // A tag: asked for its digest first, and fetched only when that moved.
    Reply head;
    mirror_result got = request(s, true, url_of(m, rest, "manifests", reference), kManifestAccept,
                                scope_of(rest), head, err, err_size);
    if (got != MIRROR_OK) return got;
    char local[REG_DIGEST_STRING_SIZE] = "", type[REG_CONTENT_TYPE_SIZE], path[REG_PATH_MAX];
    int64_t size = 0;
    bool have_local = reg_manifest_locate(repo, reference, path, sizeof path, type, local, &size) == 0;
    if (head.digest[0] != '\0' && digest_well_formed(head.digest)) {
        if (have_local && strcmp(local, head.digest) == 0)
            return reg_tag_confirm(repo, reference) == 0 ? MIRROR_OK : MIRROR_FAILED;
        return fetch_and_store(s, repo, rest, reference, head.digest, err, err_size);
    }
    // An upstream that names no digest: the body by tag, stored under the
    // digest of its bytes (the only check left).
    Reply r;
    r.body_max = REG_MANIFEST_MAX;
    got = request(s, false, url_of(m, rest, "manifests", reference), kManifestAccept,
                  scope_of(rest), r, err, err_size);
    if (got != MIRROR_OK) return got;
    std::string digest =
        digest_like(digest_well_formed(r.digest) ? r.digest : "sha256:", r.body);
    if (digest_well_formed(r.digest) && digest != r.digest) {
        note(err, err_size, "%s:%s: the upstream sent a manifest of another digest", rest, reference);
        return MIRROR_BAD_REPLY;
    }
    char stored[REG_DIGEST_STRING_SIZE];
    if (reg_manifest_put_fetched(repo, reference, r.body.data(), r.body.size(), r.content_type,
                                 digest.c_str(), stored) != 0) {
        note(err, err_size, "%s:%s: not stored: %s", rest, reference, reg_storage_last_error());
        return MIRROR_BAD_REPLY;
    }
    return MIRROR_OK;
}

// The digests an image index lists (its "manifests"), well formed, in
// order, at most MIRROR_REFERRERS_MAX; false when body is not an index.
bool index_digests(const std::string &body, std::vector<std::string> *out, size_t *skipped) {
    yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
    if (doc == nullptr) return false;
    yyjson_val *list = yyjson_obj_get(yyjson_doc_get_root(doc), "manifests");
    bool ok = yyjson_is_arr(list);
    size_t i, n;
    yyjson_val *entry;
    if (ok) {
        yyjson_arr_foreach(list, i, n, entry) {
            const char *d = yyjson_get_str(yyjson_obj_get(entry, "digest"));
            if (d == nullptr || !digest_well_formed(d) || out->size() >= MIRROR_REFERRERS_MAX) {
                (*skipped)++;
                continue;
            }
            out->push_back(d);
        }
    }
    yyjson_doc_free(doc);
    return ok;
}

// An artifactType filter passed on to an upstream: printable ASCII without
// blanks (a media type), short.
bool artifact_type_fit(const char *type) {
    size_t n = 0;
    for (; type[n] != '\0'; n++)
        if (type[n] <= ' ' || type[n] > '~') return false;
    return n < MIRROR_ARTIFACT_TYPE_MAX;
}

mirror_result sync_referrers(Session &s, const char *repo, const char *rest, const char *digest,
                             const char *artifact_type, char *err, size_t err_size) {
    std::string url = url_of(s.mirror, rest, "referrers", digest);
    if (artifact_type[0] != '\0') {
        url += "?artifactType=";
        url_escape(artifact_type, &url);
    }
    Reply list;
    list.body_max = REG_MANIFEST_MAX;
    mirror_result got = request(s, false, url, kIndexAccept, scope_of(rest), list, err, err_size);
    if (got == MIRROR_NOT_FOUND) {
        // No referrers list upstream: the index kept under the tag
        // <alg>-<hex>, when there is one.
        std::string tag = digest;
        tag[tag.find(':')] = '-';
        list = Reply();
        list.body_max = REG_MANIFEST_MAX;
        got = request(s, false, url_of(s.mirror, rest, "manifests", tag.c_str()), kIndexAccept,
                      scope_of(rest), list, err, err_size);
    }
    if (got != MIRROR_OK) return got;
    std::vector<std::string> digests;
    size_t skipped = 0;
    if (!index_digests(list.body, &digests, &skipped)) {
        note(err, err_size, "%s: the upstream's referrers of %s are not an index", rest, digest);
        return MIRROR_BAD_REPLY;
    }
    char problem[MIRROR_ERROR_MAX] = "";
    for (const std::string &d : digests) {
        char type[REG_CONTENT_TYPE_SIZE], have[REG_DIGEST_STRING_SIZE], path[REG_PATH_MAX];
        int64_t size = 0;
        if (reg_manifest_locate(repo, d.c_str(), path, sizeof path, type, have, &size) == 0) continue;
        got = fetch_and_store(s, repo, rest, d.c_str(), d.c_str(), problem, sizeof problem);
        if (got == MIRROR_UNREACHABLE || got == MIRROR_FAILED) {
            note(err, err_size, "%s", problem);
            return got;
        }
        // A referrer that is not what it was listed as stays out.
        if (got != MIRROR_OK) skipped++;
    }
    if (skipped > 0)
        note(err, err_size, "%s: %zu of the upstream's referrers of %s skipped%s%s", rest, skipped,
             digest, problem[0] != '\0' ? ": " : "", problem);
    return MIRROR_OK;
}

}  // namespace

extern "C" {

int mirror_available(void) { return 1; }

void mirror_timeouts_set(long connect_seconds, long stall_seconds) {
    s_connect_timeout = connect_seconds >= 1 && connect_seconds <= 3600
                            ? connect_seconds
                            : MIRROR_CONNECT_TIMEOUT_DEFAULT;
    s_stall_timeout =
        stall_seconds >= 1 && stall_seconds <= 3600 ? stall_seconds : MIRROR_STALL_TIMEOUT_DEFAULT;
}

mirror_result mirror_sync_manifest(const mirror_entry *mirror, const char *repo, const char *rest,
                                   const char *reference, char *err, size_t err_size) {
    if (mirror == nullptr || repo == nullptr || rest == nullptr || reference == nullptr)
        return MIRROR_FAILED;
    if (err != nullptr && err_size > 0) err[0] = '\0';
    if (!reference_well_formed(reference) || !reg_repo_name_valid(rest)) {
        note(err, err_size, "not a reference an upstream is asked for");
        return MIRROR_NOT_FOUND;
    }
    // What the store holds and is current asks nothing of the upstream.
    if (is_digest(reference)) {
        char type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE], path[REG_PATH_MAX];
        int64_t size = 0;
        if (reg_manifest_locate(repo, reference, path, sizeof path, type, digest, &size) == 0)
            return MIRROR_OK;
    } else {
        int64_t age = 0;
        if (reg_tag_age(repo, reference, &age) == 0 && age < mirror->tag_ttl_seconds) return MIRROR_OK;
    }
    Session s;
    if (!session_open(s, mirror, err, err_size)) return MIRROR_FAILED;
    mirror_result got = sync_manifest(s, repo, rest, reference, err, err_size);
    session_close(s);
    return got;
}

mirror_result mirror_fetch_blob(const mirror_entry *mirror, const char *rest, const char *digest,
                                int with_body, const mirror_blob_sink *sink, char *err,
                                size_t err_size) {
    if (mirror == nullptr || rest == nullptr || digest == nullptr || sink == nullptr)
        return MIRROR_FAILED;
    if (err != nullptr && err_size > 0) err[0] = '\0';
    if (!digest_well_formed(digest) || !reg_repo_name_valid(rest)) {
        note(err, err_size, "not a digest an upstream is asked for");
        return MIRROR_NOT_FOUND;
    }
    Session s;
    if (!session_open(s, mirror, err, err_size)) return MIRROR_FAILED;
    Reply r;
    std::string url = url_of(mirror, rest, "blobs", digest);
    mirror_result got;
    if (!with_body) {
        got = request(s, true, url, nullptr, scope_of(rest), r, err, err_size);
        if (got == MIRROR_OK && (!sink->begin || sink->begin(sink->cookie, r.content_length) != 0))
            got = MIRROR_FAILED;
        session_close(s);
        return got;
    }
    r.sink = sink;
    r.blob_digest = digest;
    got = request(s, false, url, nullptr, scope_of(rest), r, err, err_size);
    // The last piece of a transfer that ended well is cached now and sent
    // only when the digest matched: a wrong blob reaches no client whole.
    // Of a transfer that did not end well, the client gets no more (its
    // reply ends short).
    std::string last;
    if (got == MIRROR_OK) {
        last.swap(r.pending);
        cache_piece(&r, last.data(), last.size());
    }
    // A 200 without a body still answers the client.
    if (got == MIRROR_OK && !r.begun && !begin_blob(&r)) got = MIRROR_FAILED;
    if (got == MIRROR_OK && r.content_length >= 0 &&
        r.received != static_cast<uint64_t>(r.content_length)) {
        note(err, err_size, "%s: %llu of %lld bytes came", url.c_str(),
             static_cast<unsigned long long>(r.received), static_cast<long long>(r.content_length));
        got = MIRROR_BAD_REPLY;
    }
    if (r.caching) {
        if (got == MIRROR_OK) {
            // The bytes are known good before they are durable: the
            // client's reply ends first, the commit (a sync) after it.
            bool good = reg_blob_cache_verify(&r.cache) == 0;
            if (good) send_piece(&r, last.data(), last.size());
            if (good && sink->end != nullptr) sink->end(sink->cookie);
            if (!good || reg_blob_cache_commit(&r.cache) != 0) {
                note(err, err_size, "%s: not stored: %s", url.c_str(), reg_storage_last_error());
                got = reg_storage_last_status() == REG_STATUS_INVALID_DIGEST ? MIRROR_BAD_REPLY
                                                                             : MIRROR_FAILED;
            }
        } else {
            reg_blob_cache_abort(&r.cache);
        }
    } else if (got == MIRROR_OK) {
        // Nothing is cached, so nothing is checked: the client's own check
        // of the digest is the only one.
        send_piece(&r, last.data(), last.size());
        if (sink->end != nullptr) sink->end(sink->cookie);
        note(err, err_size, "%s: served but not stored: %s", url.c_str(), reg_storage_last_error());
        got = MIRROR_FAILED;
    }
    session_close(s);
    return got;
}

mirror_result mirror_sync_referrers(const mirror_entry *mirror, const char *repo, const char *rest,
                                    const char *digest, const char *artifact_type, char *err,
                                    size_t err_size) {
    if (mirror == nullptr || repo == nullptr || rest == nullptr || digest == nullptr)
        return MIRROR_FAILED;
    if (err != nullptr && err_size > 0) err[0] = '\0';
    if (artifact_type == nullptr) artifact_type = "";
    if (!digest_well_formed(digest) || !reg_repo_name_valid(rest) ||
        !artifact_type_fit(artifact_type)) {
        note(err, err_size, "not a referrers list an upstream is asked for");
        return MIRROR_NOT_FOUND;
    }
    Session s;
    if (!session_open(s, mirror, err, err_size)) return MIRROR_FAILED;
    mirror_result got = sync_referrers(s, repo, rest, digest, artifact_type, err, err_size);
    session_close(s);
    return got;
}

}  // extern "C"

// The one HTML escaper of the registry's pages (see html.h).
#include "edge/html.h"

#include <cstring>

namespace {

// The replacement of byte c in context into piece (at least 8 bytes); its
// length, or 0 when c stands for itself.
size_t replacement(html_context context, unsigned char c, char *piece) {
    static const char digits[] = "0123456789ABCDEF";
    if (context == HTML_URL_PATH) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '_' || c == '~' || c == '/' || c == ':' || c == '@' ||
                     c == '-';
        if (plain) return 0;
        piece[0] = '%';
        piece[1] = digits[c >> 4];
        piece[2] = digits[c & 0x0f];
        return 3;
    }
    const char *entity = nullptr;
    switch (c) {
        case '&': entity = "&amp;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        case '"': entity = "&quot;"; break;
        case '\'': entity = "&#39;"; break;
        case '\t': entity = context == HTML_ATTRIBUTE ? "&#9;" : nullptr; break;
        case '\n': entity = context == HTML_ATTRIBUTE ? "&#10;" : nullptr; break;
        case '\r': entity = context == HTML_ATTRIBUTE ? "&#13;" : nullptr; break;
        default:
            if (c < 0x20 || c == 0x7f) entity = "\xEF\xBF\xBD";  // U+FFFD
            break;
    }
    if (entity == nullptr) return 0;
    size_t n = strlen(entity);
    memcpy(piece, entity, n);
    return n;
}

}  // namespace

extern "C" {

void html_write(FILE *out, html_context context, const char *text) {
    if (text == nullptr) return;
    const char *run = text;
    for (const char *p = text; *p != '\0'; p++) {
        char piece[8];
        size_t n = replacement(context, static_cast<unsigned char>(*p), piece);
        if (n == 0) continue;
        if (p > run) fwrite(run, 1, static_cast<size_t>(p - run), out);
        fwrite(piece, 1, n, out);
        run = p + 1;
    }
    if (*run != '\0') fputs(run, out);
}

size_t html_escape(html_context context, const char *text, char *buf, size_t size) {
    size_t need = 0, kept = 0;
    bool cut = buf == nullptr || size == 0;
    for (const char *p = text != nullptr ? text : ""; *p != '\0'; p++) {
        char piece[8];
        size_t n = replacement(context, static_cast<unsigned char>(*p), piece);
        if (n == 0) {
            piece[0] = *p;
            n = 1;
        }
        need += n;
        if (cut) continue;
        if (kept + n >= size) {
            cut = true;
            continue;
        }
        memcpy(buf + kept, piece, n);
        kept += n;
    }
    if (buf != nullptr && size > 0) buf[kept] = '\0';
    return need;
}

}  // extern "C"

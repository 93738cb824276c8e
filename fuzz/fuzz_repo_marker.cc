// The split of a request path into a repository name and the text after a
// marker: the split never writes past the buffers it is given, and it
// agrees with a plain rewrite of the rule: leading '/' and "v2/" skipped,
// the name in front of the first marker (non-empty, fitting, passing the
// edge's name rule), the rest after the marker and its '/' run, cut to fit,
// one trailing '/' dropped.
#include <cstring>
#include <string>
#include <vector>

#include "edge/oci_common.h"
#include "fuzz/fuzz_support.h"

namespace {

const char *const kMarkers[] = {"/blobs/", "/manifests/", "/tags/", "/"};

struct Split {
    bool accepted = false;
    std::string name, rest;
};

Split reference_split(std::string path, const std::string &marker, size_t name_size,
                      size_t rest_size) {
    Split out;
    size_t start = path.find_first_not_of('/');
    path = start == std::string::npos ? "" : path.substr(start);
    if (path.compare(0, 3, "v2/") == 0)
        path = path.substr(3);
    else if (path == "v2")
        path.clear();
    size_t at = path.find(marker);
    if (at == std::string::npos || at == 0 || at >= name_size) return out;
    out.name = path.substr(0, at);
    if (!fuzz::ref_repo_name_valid(out.name)) return out;
    out.accepted = true;
    if (rest_size == 0) return out;
    std::string after = path.substr(at + marker.size());
    size_t first = after.find_first_not_of('/');
    after = first == std::string::npos ? "" : after.substr(first);
    if (after.size() > rest_size - 1) after.resize(rest_size - 1);
    if (!after.empty() && after.back() == '/') after.pop_back();
    out.rest = after;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const std::string marker = kMarkers[data[0] % 4];
    size_t name_size = static_cast<size_t>(data[1]) + 2;  // 2 to 257 bytes
    size_t rest_size = data[2];                           // 0: no remainder buffer
    std::string path = fuzz::c_text(data + 3, size - 3);

    // Exactly sized heap buffers, so that a write past them is caught.
    std::vector<char> name(name_size, 'N');
    std::vector<char> rest(rest_size > 0 ? rest_size : 1, 'R');
    char *rest_arg = rest_size > 0 ? rest.data() : nullptr;
    int rc = oci_parse_repo_marker(path.c_str(), marker.c_str(), name.data(), name_size, rest_arg,
                                   rest_size);

    Split want = reference_split(path, marker, name_size, rest_size);
    FUZZ_CHECK(rc == 0 || rc == 1);
    FUZZ_CHECK((rc == 1) == want.accepted);
    FUZZ_CHECK(memchr(name.data(), '\0', name_size) != nullptr);
    if (rc == 1) {
        FUZZ_CHECK(name.data() == want.name);
        FUZZ_CHECK(oci_valid_repo_name(name.data()) == 1);
        if (rest_arg != nullptr) FUZZ_CHECK(rest.data() == want.rest);
    }
    return 0;
}

// The storage root taken from config.json text: whatever the text, the
// value is the text between the first two double quotes after the first
// "storage_root": (else "registry_storage_root":) key, at most 1023 bytes
// and fitting the buffer, and nothing is written past the buffer.
#include <cstring>
#include <string>
#include <vector>

#include "storage/layout.h"
#include "fuzz/fuzz_support.h"

namespace {

std::string reference_root(const std::string &text, size_t size) {
    size_t key = text.find("\"storage_root\":");
    if (key == std::string::npos) key = text.find("\"registry_storage_root\":");
    if (key == std::string::npos) return "";
    size_t colon = text.find(':', key);
    size_t open = text.find('"', colon);
    if (open == std::string::npos) return "";
    size_t close = text.find('"', open + 1);
    if (close == std::string::npos) return "";
    std::string value = text.substr(open + 1, close - open - 1);
    if (value.size() > 1023 || value.size() >= size) return "";
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    // The program reads at most 2047 bytes of the file; the buffer is 1024
    // bytes there, smaller here when the first byte asks for it.
    size_t root_size = data[0] < 128 ? 1024 : static_cast<size_t>(data[0] - 127);
    std::string text = fuzz::c_text(data + 1, size - 1 < 2047 ? size - 1 : 2047);

    std::vector<char> root(root_size, '\0');
    root_from_config_text(text.c_str(), root.data(), root_size);
    FUZZ_CHECK(memchr(root.data(), '\0', root_size) != nullptr);
    FUZZ_CHECK(root.data() == reference_root(text, root_size));
    return 0;
}

#include "fuzz/fuzz_support.h"

#include <filesystem>
#include <stdexcept>

namespace fuzz {

namespace {

std::string make_scratch_dir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base ? base : "/tmp") + "/regfuzz-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

void remove_scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(scratch_dir(), ec);
}

}  // namespace

const std::string &scratch_dir() {
    static const std::string dir = [] {
        std::string made = make_scratch_dir();
        return made;
    }();
    static const bool registered = (atexit(remove_scratch_dir), true);
    (void)registered;
    return dir;
}

}  // namespace fuzz

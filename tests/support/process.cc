// Test support shared by every platform: whole files, reference digests,
// pseudo-random bytes.
#include "tests/support/process.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "tests/support/reference_sha256.h"

namespace testing_support {

std::string read_whole_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_whole_file(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

int make_dir(const std::string &path) {
    std::error_code ec;
    return std::filesystem::create_directory(std::filesystem::path(path), ec) ? 0 : -1;
}

std::string reference_sha256_hex(const std::string &data) {
    ReferenceSha256 digest;
    digest.update(data.data(), data.size());
    return digest.hex();
}

std::string unix_line_ends(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    return out;
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>(rng() & 0xff);
    return s;
}

}  // namespace testing_support

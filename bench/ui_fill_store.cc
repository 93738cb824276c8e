// Fills a store for bench/ui_side_by_side.sh through the storage library, in
// one process: IMAGES images (each its own configuration and layer) in
// repository REPO under TAGS tags, tag<NNNNN> naming image NNNNN mod IMAGES.
//
//   ui_fill_store ROOT REPO IMAGES TAGS
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "storage/reg_storage.h"

namespace {

std::string digest_of(const std::string &data) {
    uint8_t raw[32];
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data.data(), data.size());
    sha256_final(&ctx, raw);
    static const char hex[] = "0123456789abcdef";
    std::string out = "sha256:";
    for (uint8_t b : raw) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

bool put_blob(const std::string &data) {
    reg_blob_cache cache;
    if (reg_blob_cache_begin(digest_of(data).c_str(), &cache) != 0) return false;
    if (reg_blob_cache_write(&cache, data.data(), data.size()) != 0) {
        reg_blob_cache_abort(&cache);
        return false;
    }
    return reg_blob_cache_commit(&cache) == 0;
}

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "ui_fill_store: %s: %s\n", what, reg_storage_last_error());
    exit(1);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        fputs("usage: ui_fill_store ROOT REPO IMAGES TAGS\n", stderr);
        return 2;
    }
    const char *repo = argv[2];
    int images = atoi(argv[3]), tags = atoi(argv[4]);
    if (images <= 0 || tags < 0) return 2;
    if (reg_storage_init(argv[1]) != 0) fail("init");
    const char type[] = "application/vnd.oci.image.manifest.v1+json";
    std::vector<std::string> manifests;
    srand(1);
    for (int i = 0; i < images; i++) {
        char config[512];
        snprintf(config, sizeof config,
                 "{\"architecture\":\"amd64\",\"os\":\"linux\",\"created\":\"2026-01-%02dT10:00:00Z\","
                 "\"config\":{\"Env\":[\"PATH=/usr/bin\"],\"Cmd\":[\"/bin/sh\"],"
                 "\"Labels\":{\"image\":\"%d\"}},\"history\":[{\"created_by\":\"ADD layer %d /\"}]}",
                 i % 28 + 1, i, i);
        std::string layer(static_cast<size_t>(4096 + i * 512), '\0');
        for (char &c : layer) c = static_cast<char>(rand());
        if (!put_blob(config) || !put_blob(layer)) fail("blob");
        std::string m = std::string("{\"schemaVersion\":2,\"mediaType\":\"") + type +
                        "\",\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\","
                        "\"digest\":\"" + digest_of(config) + "\",\"size\":" +
                        std::to_string(std::string(config).size()) +
                        "},\"layers\":[{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar+gzip\","
                        "\"digest\":\"" + digest_of(layer) + "\",\"size\":" +
                        std::to_string(layer.size()) + "}]}";
        manifests.push_back(m);
    }
    for (int t = 0; t < tags; t++) {
        char tag[32];
        snprintf(tag, sizeof tag, "tag%05d", t);
        const std::string &m = manifests[static_cast<size_t>(t % images)];
        char digest[REG_DIGEST_STRING_SIZE], subject[REG_DIGEST_STRING_SIZE];
        if (reg_manifest_put_typed(repo, tag, m.data(), m.size(), type, digest, subject) != 0)
            fail(tag);
    }
    return 0;
}

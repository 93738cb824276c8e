// regstore's manifest commands and the commands that print the storage's
// JSON documents (statistics, catalog, tag list).
#include <cstring>
#include <memory>
#include <string>

#include "digest/digest.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tools/regstore_cli.h"

namespace regstore {

namespace {

// Prints one of the storage's JSON documents with a line end, so that the
// output stays JSON for the next program in a pipe.
int print_document(const char *document) {
    if (document == nullptr) return fail_storage();
    printf("%s\n", document);
    return kExitOk;
}

}  // namespace

int cmd_init(const Invocation &inv) {
    printf("%s\n", inv.root.c_str());
    return kExitOk;
}

int cmd_stats(const Invocation &) { return print_document(reg_storage_get_stats_json()); }

int cmd_catalog(const Invocation &inv) {
    // The parser has checked the form of --n.
    int32_t n = 0;
    parse_count(inv.value_or("n", "0"), &n);
    std::string last = inv.value_or("last", "");
    return print_document(reg_catalog_json(n, last.c_str()));
}

int cmd_tags(const Invocation &inv) { return print_document(reg_tags_list_json(inv.args[0].c_str())); }

// Stores a manifest document from a file or standard input, under the
// repository-name rule the registry's web endpoints apply too, so that what
// an operator stores here can be pulled over HTTP. A body longer than the
// plain put takes is refused before it is read whole.
int cmd_manifest_put(const Invocation &inv) {
    const std::string &repo = inv.args[0];
    const std::string &reference = inv.args[1];
    if (!reg_repo_name_valid(repo.c_str())) return fail("invalid repository name: %s", repo.c_str());

    Input in;
    if (!in.open(inv.args[2])) return kExitFailed;
    auto body = std::make_unique<char[]>(kManifestMax + 1);
    size_t len = in.read(body.get(), kManifestMax + 1);
    if (in.failed()) return in.fail_read();
    if (len > kManifestMax) {
        return fail("manifest in %s is too large: more than %zu bytes", in.label().c_str(),
                    kManifestMax);
    }

    std::string type = inv.value_or("type", "");
    char digest[REG_DIGEST_STRING_SIZE];
    if (reg_manifest_put(repo.c_str(), reference.c_str(), body.get(), len,
                         type.empty() ? nullptr : type.c_str(), digest) != 0) {
        return fail_storage();
    }
    printf("%s\n", digest);
    return kExitOk;
}

// Writes the manifest body exactly as stored, whoever stored it (a body
// pushed over HTTP may be larger than the storage hands back whole): the
// open file is read whole, up to the store's limit, and checked against the
// digest it is stored under before it is passed on, so a body changed on
// disk is reported, not printed.
int cmd_manifest_get(const Invocation &inv) {
    const std::string &repo = inv.args[0];
    const std::string &reference = inv.args[1];
    static reg_opened manifest;
    if (reg_manifest_open(repo.c_str(), reference.c_str(), &manifest) != 0) return fail_storage();
    std::unique_ptr<FILE, int (*)(FILE *)> file(manifest.file, plat_fclose);
    if (manifest.size < 0 || manifest.size > REG_MANIFEST_MAX)
        return fail("manifest %s@%s is damaged: its body holds %lld bytes, more than a manifest may",
                    repo.c_str(), reference.c_str(), static_cast<long long>(manifest.size));
    size_t len = static_cast<size_t>(manifest.size);
    std::string body(len, '\0');
    size_t got = len > 0 ? plat_fread(body.data(), len, file.get()) : 0;
    if (got != len || ferror(file.get()) != 0)
        return fail("cannot read manifest %s@%s", repo.c_str(), reference.c_str());

    digest_algo algo = algo_of_digest(manifest.digest);
    uint8_t raw[DIGEST_MAX_SIZE];
    size_t raw_size = 0;
    if (digest_of_bytes(algo, body.data(), len, raw, &raw_size) != 0) return fail("out of memory");
    std::string actual = digest_string(algo, raw, raw_size);
    if (actual != manifest.digest) {
        return fail("manifest %s@%s is damaged: its body has the digest %s, not %s", repo.c_str(),
                    reference.c_str(), actual.c_str(), manifest.digest);
    }

    plat_set_binary(stdout);
    if (inv.has("verbose"))
        fprintf(stderr, "content-type: %s\ndigest: %s\n", manifest.content_type, manifest.digest);
    if (fwrite(body.data(), 1, len, stdout) != len || fflush(stdout) != 0) {
        return fail("write error on standard output");
    }
    return kExitOk;
}

int cmd_manifest_rm(const Invocation &inv) {
    if (reg_manifest_delete(inv.args[0].c_str(), inv.args[1].c_str()) != 0) return fail_storage();
    return kExitOk;
}

}  // namespace regstore

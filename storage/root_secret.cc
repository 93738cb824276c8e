// The secrets of a store: keys the programs that share a root use to sign
// what they hand out, made once from the random source and kept where only
// their user may read them.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "storage/layout.h"
#include "storage/reg_storage.h"
#include "storage/state.h"

namespace {

bool purpose_valid(const char *purpose) {
    size_t n = 0;
    for (; purpose[n] != '\0'; n++) {
        char c = purpose[n];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
        if (n >= 64) return false;
    }
    return n > 0;
}

// Reads the secret file at path: 1 with the secret in out, 0 when there is
// none, -1 when it is there but unusable (the message is set).
int read_secret(const std::string &path, uint8_t out[REG_SECRET_SIZE]) {
    FILE *f = nullptr;
    plat_attr attr;
    int rc = plat_open_regular_file(path.c_str(), &f, &attr);
    if (rc == PLAT_OPEN_NOT_FILE) return 0;
    if (rc != PLAT_OPEN_DONE) {
        set_error("cannot open secret: %s", path.c_str());
        return -1;
    }
    uint8_t bytes[REG_SECRET_SIZE + 1];
    size_t got = plat_fread(bytes, sizeof bytes, f);
    plat_fclose(f);
    if (got != REG_SECRET_SIZE) {
        set_error("damaged secret (%zu bytes): %s", got, path.c_str());
        return -1;
    }
    memcpy(out, bytes, REG_SECRET_SIZE);
    return 1;
}

// Makes the secret file at path from the random source (written whole,
// then renamed into place) and reads it back: 1 with the secret in out, -1
// on failure (the message is set). The caller holds the secrets' lock.
int make_secret(const std::string &path, uint8_t out[REG_SECRET_SIZE]) {
    uint8_t fresh[REG_SECRET_SIZE];
    if (plat_random_bytes(fresh, sizeof fresh) != 0) {
        set_error("random source failed");
        return -1;
    }
    char tmp_name[64];
    snprintf(tmp_name, sizeof tmp_name, ".tmp-%lld-%u", static_cast<long long>(plat_process_id()),
             static_cast<unsigned>(fresh[0]) << 8 | fresh[1]);
    std::string tmp = path + tmp_name;
    FILE *f = plat_fcreate_private(tmp.c_str());
    if (f == nullptr) {
        set_error("cannot create secret: %s", tmp.c_str());
        return -1;
    }
    bool written = plat_fwrite(fresh, sizeof fresh, f) == sizeof fresh;
    written = plat_fsync(f) == 0 && written;
    written = plat_fclose(f) == 0 && written;
    if (!written || plat_rename(tmp.c_str(), path.c_str()) != 0) {
        plat_remove(tmp.c_str());
        set_error("cannot write secret: %s", path.c_str());
        return -1;
    }
    int found = read_secret(path, out);
    if (found == 0) set_error("secret vanished: %s", path.c_str());
    return found > 0 ? 1 : -1;
}

}  // namespace

extern "C" {

int reg_storage_secret(const char *purpose, uint8_t out[REG_SECRET_SIZE]) {
    if (purpose == nullptr || out == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready() != 0) return -1;
    if (!purpose_valid(purpose)) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "invalid secret name");
        return -1;
    }
    char dir[REG_PATH_MAX];
    secrets_dir(dir, sizeof dir);
    std::string path = std::string(dir) + PLAT_SEP_STR + purpose;
    int found = read_secret(path, out);
    if (found != 0) return found > 0 ? 0 : -1;
    if (plat_mkdir_private(dir) == PLAT_MKDIR_FAILED) {
        set_error("cannot make the secrets directory: %s", dir);
        return -1;
    }
    // Processes that find no secret at once take turns through a lock on
    // a file beside the secrets: the first makes the secret, the others
    // then read it. Without the turns, each would rename its own into
    // place and some would go on signing with one that is replaced.
    std::string lock_path = std::string(dir) + PLAT_SEP_STR + ".lock";
    FILE *lock = plat_fopen(lock_path.c_str(), "ab");
    if (lock == nullptr) {
        set_error("cannot open the secrets' lock: %s", lock_path.c_str());
        return -1;
    }
    if (plat_lock_file(lock, lock_path.c_str(), 1) != 0) {
        plat_fclose(lock);
        set_error("cannot lock the secrets: %s", lock_path.c_str());
        return -1;
    }
    found = read_secret(path, out);
    if (found == 0) found = make_secret(path, out);
    plat_fclose(lock);
    return found > 0 ? 0 : -1;
}

}  // extern "C"

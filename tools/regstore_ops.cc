// regstore's commands for operating a store: garbage collection, the
// integrity check and the space report. The storage decides and acts; these
// only print what it reports.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tools/regstore_cli.h"

namespace regstore {

bool parse_duration(const std::string &text, int64_t *seconds) {
    if (text.empty()) return false;
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') digits++;
    if (digits == 0 || digits > 12) return false;
    std::string unit = text.substr(digits);
    int64_t scale = 0;
    if (unit.empty() || unit == "s") scale = 1;
    else if (unit == "m") scale = 60;
    else if (unit == "h") scale = 3600;
    else if (unit == "d") scale = 86400;
    else return false;
    *seconds = static_cast<int64_t>(std::stoll(text.substr(0, digits))) * scale;
    return true;
}

namespace {

// "1.5 MiB": a byte count for people.
std::string human_bytes(int64_t bytes) {
    static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        value /= 1024.0;
        unit++;
    }
    char text[32];
    if (unit == 0)
        snprintf(text, sizeof text, "%" PRId64 " B", bytes);
    else
        snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

const char *gc_kind_name(reg_gc_kind kind) {
    switch (kind) {
        case REG_GC_BLOB: return "blob";
        case REG_GC_MANIFEST: return "manifest";
        case REG_GC_UPLOAD: return "upload";
        case REG_GC_TEMPORARY: return "temporary";
        case REG_GC_BLOB_LINK: return "blob link";
    }
    return "?";
}

const char *fsck_kind_name(reg_fsck_kind kind) {
    switch (kind) {
        case REG_FSCK_BLOB_CORRUPT: return "corrupt blob";
        case REG_FSCK_MANIFEST_CORRUPT: return "corrupt manifest";
        case REG_FSCK_LINK_CORRUPT: return "corrupt link";
        case REG_FSCK_LINK_DANGLING: return "dangling link";
        case REG_FSCK_REFERENCE_MISSING: return "missing reference";
        case REG_FSCK_STRAY: return "stray entry";
        case REG_FSCK_UNREADABLE: return "unreadable";
    }
    return "?";
}

// A JSON string of text (names of the store are printable ASCII; anything
// else is escaped all the same).
std::string json_string(const char *text) {
    std::string out = "\"";
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += static_cast<char>(*p);
        } else if (*p < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", *p);
            out += esc;
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out + "\"";
}

}  // namespace

int cmd_gc(const Invocation &inv) {
    reg_gc_options options{};
    options.grace_seconds = REG_GC_GRACE_DEFAULT;
    options.expiry_seconds = REG_GC_EXPIRY_DEFAULT;
    // The parser has checked the form of both durations.
    if (inv.has("grace")) parse_duration(inv.value_or("grace", ""), &options.grace_seconds);
    if (inv.has("expire")) parse_duration(inv.value_or("expire", ""), &options.expiry_seconds);
    options.dry_run = inv.has("dry-run") ? 1 : 0;
    options.delete_untagged = inv.has("delete-untagged") ? 1 : 0;

    reg_gc_report report{};
    int rc = reg_gc(&options, &report);
    const char *verb = options.dry_run ? "would remove" : "removed";
    uint64_t counts[REG_GC_BLOB_LINK + 1] = {};
    for (uint64_t i = 0; i < report.count; i++) {
        const reg_gc_item &item = report.items[i];
        counts[item.kind]++;
        printf("%s %s %s (%" PRId64 " bytes)\n", verb, gc_kind_name(item.kind), item.name,
               item.bytes);
    }
    // Links of repositories to blobs gone are named only when there were
    // any, so the line reads as before for a store without them.
    std::string links = counts[REG_GC_BLOB_LINK] == 0
                            ? ""
                            : ", " + std::to_string(counts[REG_GC_BLOB_LINK]) + " blob links";
    printf("%s %" PRIu64 " blobs, %" PRIu64 " manifests, %" PRIu64 " uploads, %" PRIu64
           " temporaries%s: %" PRId64 " bytes (%s)%s\n",
           verb, counts[REG_GC_BLOB], counts[REG_GC_MANIFEST], counts[REG_GC_UPLOAD],
           counts[REG_GC_TEMPORARY], links.c_str(), report.bytes,
           human_bytes(report.bytes).c_str(), options.dry_run ? "; nothing was removed" : "");
    printf("read %" PRIu64 " manifests, %" PRIu64 " blobs in use, %" PRIu64
           " kept by the grace period\n",
           report.manifests_read, report.blobs_marked, report.kept_young);
    reg_gc_report_free(&report);
    fflush(stdout);
    if (rc != 0) return fail_storage();
    return kExitOk;
}

int cmd_fsck(const Invocation &inv) {
    int32_t repair = inv.has("repair") ? 1 : 0;
    reg_fsck_report report{};
    int rc = reg_fsck(repair, &report);
    for (uint64_t i = 0; i < report.count; i++) {
        const reg_fsck_problem &p = report.problems[i];
        printf("%s: %s: %s%s\n", p.path, fsck_kind_name(p.kind), p.detail,
               p.repaired ? " [repaired]" : "");
    }
    printf("checked %" PRIu64 " blobs, %" PRIu64 " manifests, %" PRIu64 " links (%s hashed): %"
           PRIu64 " problems\n",
           report.blobs, report.manifests, report.links, human_bytes(report.bytes_hashed).c_str(),
           report.count);
    uint64_t problems = report.count;
    reg_fsck_report_free(&report);
    fflush(stdout);
    if (rc != 0) return fail_storage();
    return problems == 0 ? kExitOk : kExitFailed;
}

int cmd_link_blobs(const Invocation &) {
    uint64_t made = 0;
    int rc = reg_repo_blob_links_backfill(&made);
    printf("made %" PRIu64 " blob links\n", made);
    fflush(stdout);
    return rc != 0 ? fail_storage() : kExitOk;
}

int cmd_du(const Invocation &inv) {
    reg_du_report report{};
    if (reg_du(&report) != 0) {
        reg_du_report_free(&report);
        return fail_storage();
    }
    bool json = inv.has("json") || plat_is_terminal(stdout) == 0;
    if (json) {
        std::string out = "{\"repositories\":[";
        for (uint64_t i = 0; i < report.count; i++) {
            const reg_du_repo &r = report.repos[i];
            char numbers[256];
            snprintf(numbers, sizeof numbers,
                     ",\"manifests\":%" PRIu64 ",\"manifest_bytes\":%" PRId64
                     ",\"blobs\":%" PRIu64 ",\"blob_bytes\":%" PRId64 "}",
                     r.manifests, r.manifest_bytes, r.blobs, r.blob_bytes);
            out += (i > 0 ? ",{\"name\":" : "{\"name\":") + json_string(r.name) + numbers;
        }
        char totals[512];
        snprintf(totals, sizeof totals,
                 "],\"store\":{\"blobs\":%" PRIu64 ",\"blob_bytes\":%" PRId64
                 ",\"stored_blobs\":%" PRIu64 ",\"stored_blob_bytes\":%" PRId64
                 ",\"unreferenced_blobs\":%" PRIu64 ",\"unreferenced_blob_bytes\":%" PRId64
                 ",\"uploads\":%" PRIu64 ",\"upload_bytes\":%" PRId64 "}}",
                 report.blobs, report.blob_bytes, report.stored_blobs, report.stored_blob_bytes,
                 report.stored_blobs - report.blobs, report.stored_blob_bytes - report.blob_bytes,
                 report.uploads, report.upload_bytes);
        printf("%s%s\n", out.c_str(), totals);
    } else {
        printf("%-40s %10s %12s %8s %12s\n", "REPOSITORY", "MANIFESTS", "SIZE", "BLOBS", "SIZE");
        for (uint64_t i = 0; i < report.count; i++) {
            const reg_du_repo &r = report.repos[i];
            printf("%-40s %10" PRIu64 " %12s %8" PRIu64 " %12s\n", r.name, r.manifests,
                   human_bytes(r.manifest_bytes).c_str(), r.blobs,
                   human_bytes(r.blob_bytes).c_str());
        }
        printf("%-40s %10s %12s %8" PRIu64 " %12s\n", "(store, each blob once)", "", "",
               report.blobs, human_bytes(report.blob_bytes).c_str());
        printf("%-40s %10s %12s %8" PRIu64 " %12s\n", "(unreferenced blobs)", "", "",
               report.stored_blobs - report.blobs,
               human_bytes(report.stored_blob_bytes - report.blob_bytes).c_str());
        printf("%-40s %10s %12s %8" PRIu64 " %12s\n", "(uploads)", "", "", report.uploads,
               human_bytes(report.upload_bytes).c_str());
    }
    reg_du_report_free(&report);
    return kExitOk;
}

}  // namespace regstore

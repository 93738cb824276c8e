// regstore - fill, inspect and clean a registry's storage from the shell.
//
// One subcommand per job (regstore blob put FILE, regstore tags REPO, ...)
// over the storage library's public interface. The storage root is chosen
// exactly as the registry's web endpoint chooses it, unless --root says
// otherwise. Exit status: 0 success, 1 failure, 2 usage error.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tools/regstore_cli.h"

namespace regstore {
namespace {

struct OptionSpec {
    const char *name;  // long name, used as --name
    char short_name;   // 0 when there is none
    bool takes_value;
    bool is_count = false;  // the value must be a whole number, 0 to INT32_MAX
    bool is_duration = false;  // the value must be a duration (parse_duration)
};

struct Command {
    const char *group;     // "" for a command of its own, else blob, upload, manifest
    const char *name;
    const char *synopsis;  // everything after "regstore "
    const char *summary;   // one line for the command lists
    const char *details;   // the body of the command's --help
    size_t arg_count;      // positional arguments, exactly (or up to arg_count + optional_args)
    std::vector<OptionSpec> options;
    int (*run)(const Invocation &);
    size_t optional_args = 0;  // positional arguments that may follow the required ones
    bool uses_storage = true;  // false: runs without a storage root
};

const char kRootHelp[] =
    "The storage root is --root DIR when given, else REGISTRY_STORAGE_ROOT, else\n"
    "\"storage_root\" or \"registry_storage_root\" in ./config.json, else\n"
    "./registry_storage: the same choice the registry's web endpoint makes.\n";

const std::vector<Command> &commands() {
    static const std::vector<Command> kCommands = {
        {"", "init", "init", "create the storage root and its layout",
         "Creates the storage root with blobs/sha256, repositories, uploads and\n"
         "config.json, as far as they are missing, and prints the root. Every other\n"
         "command needs a root that exists.\n",
         0, {}, cmd_init},
        {"", "stats", "stats", "print counts and sizes of the storage (JSON)",
         "Prints the storage statistics as one JSON document: repositories, tags,\n"
         "blobs, blob_bytes, active_uploads and upload_bytes.\n",
         0, {}, cmd_stats},
        {"", "catalog", "catalog [--n N] [--last NAME]", "list repositories (JSON)",
         "Prints {\"repositories\":[...]} with the repository directories in byte\n"
         "order. --last NAME starts the page after NAME; --n N limits it to N names\n"
         "(0, the default, means no limit).\n",
         0, {{"n", 0, true, true}, {"last", 0, true}}, cmd_catalog},
        {"", "tags", "tags REPO", "list a repository's tags (JSON)",
         "Prints {\"name\":\"REPO\",\"tags\":[...]} with the tags in byte order. A\n"
         "repository that does not exist has no tags.\n",
         1, {}, cmd_tags},
        {"", "gc", "gc [--dry-run] [--grace DURATION] [--expire DURATION] [--delete-untagged]",
         "remove what no manifest or tag reaches, while serving",
         "Marks every blob that a manifest of any repository names (config, layers,\n"
         "an artifact's blobs) and removes the other blobs; with --delete-untagged,\n"
         "also the manifests that no tag reaches directly or through an index (the\n"
         "children of a kept index, the subjects of kept manifests and the manifests\n"
         "that refer to a kept one stay). Nothing modified within the grace period\n"
         "(--grace, default 1h) is removed, so a push in progress loses nothing.\n"
         "Upload files and temporaries unchanged for longer than --expire (default\n"
         "24h) go too. Prints each removal and the bytes freed; --dry-run removes\n"
         "nothing and prints the same. A DURATION is a number of seconds, or one\n"
         "followed by s, m, h or d. Safe while the registry serves.\n",
         0,
         {{"dry-run", 'n', false},
          {"grace", 0, true, false, true},
          {"expire", 0, true, false, true},
          {"delete-untagged", 0, false}},
         cmd_gc},
        {"", "fsck", "fsck [--repair]", "check every blob, manifest and link",
         "Re-hashes every blob and manifest body, checks every tag, revision and\n"
         "referrer link and what each manifest names, and reports each problem with\n"
         "its path below the root. --repair moves corrupt blobs, manifests and links\n"
         "to <root>/quarantine/ (nothing is deleted) and removes links that name no\n"
         "stored manifest. Exit status 0 when the store is sound, 1 when problems\n"
         "were found (repaired or not).\n",
         0, {{"repair", 0, false}}, cmd_fsck},
        {"", "du", "du [--json]", "space per repository",
         "Prints the space each repository takes: its manifests, and the blobs its\n"
         "manifests name (a blob counts once in each repository that names it),\n"
         "then the store's total with each blob once, the blobs no manifest names\n"
         "and the uploads. A table on a terminal; JSON otherwise or with --json.\n",
         0, {{"json", 0, false}}, cmd_du},
        {"", "link-blobs", "link-blobs", "record which blobs each repository holds",
         "Links into every repository the stored blobs its manifests name, where the\n"
         "link is missing, and prints how many links it made. Run it once on a store\n"
         "whose repositories did not record their blobs, before serving it with an\n"
         "access policy: with a policy a blob is reachable only through repositories\n"
         "that hold it. Safe while the registry serves.\n",
         0, {}, cmd_link_blobs},
        {"blob", "put", "blob put FILE|- [--algorithm sha256|sha512]",
         "store a file or standard input as a blob",
         "Streams FILE (or standard input for -) through an upload, computing its\n"
         "digest on the way (SHA-256, or SHA-512 with --algorithm sha512), stores\n"
         "it as a blob and prints its digest string. Content already stored is kept\n"
         "as it is. A large transfer shows its progress on standard error when that\n"
         "is a terminal.\n",
         1, {{"algorithm", 0, true}}, cmd_blob_put},
        {"blob", "stat", "blob stat DIGEST", "print a blob's size and path",
         "Prints the blob's digest, size in bytes and file path, one per line.\n", 1, {},
         cmd_blob_stat},
        {"blob", "get", "blob get DIGEST [-o FILE]", "write a blob to standard output or FILE",
         "Writes the blob's bytes to standard output, or to FILE with -o (--output).\n"
         "The bytes are checked against DIGEST on the way; a damaged blob fails and\n"
         "FILE then does not receive it. A large transfer shows its progress on\n"
         "standard error when that is a terminal.\n",
         1, {{"output", 'o', true}}, cmd_blob_get},
        {"blob", "rm", "blob rm DIGEST", "delete a blob",
         "Deletes the blob. Manifests that refer to it are not consulted.\n", 1, {},
         cmd_blob_rm},
        {"upload", "start", "upload start", "start an upload and print its id",
         "Starts an empty upload and prints its id, for upload append, finish and\n"
         "cancel.\n",
         0, {}, cmd_upload_start},
        {"upload", "append", "upload append ID FILE|-", "append a file or standard input",
         "Appends the bytes of FILE (or standard input for -) to the upload ID.\n", 2, {},
         cmd_upload_append},
        {"upload", "finish", "upload finish ID DIGEST", "verify an upload and store its blob",
         "Checks that the upload's bytes have DIGEST and moves them into the blob\n"
         "store; prints the digest. A mismatch throws the upload away.\n",
         2, {}, cmd_upload_finish},
        {"upload", "cancel", "upload cancel ID", "throw an upload away",
         "Removes the upload ID. An upload that is not there is no failure.\n", 1, {},
         cmd_upload_cancel},
        {"manifest", "put", "manifest put REPO REF FILE|- [--type CONTENT-TYPE]",
         "store a manifest under a tag or digest",
         "Stores the manifest document in FILE (or standard input for -) in\n"
         "repository REPO and prints its digest string. REF is a tag, which is made\n"
         "to name the manifest, or a digest string (no tag is written). --type sets\n"
         "the content type (default: the Docker v2 manifest type).\n",
         3, {{"type", 0, true}}, cmd_manifest_put},
        {"manifest", "get", "manifest get REPO REF [--verbose]", "print a manifest",
         "Writes the manifest body that REF (a tag or digest string) names in REPO\n"
         "to standard output, exactly as stored. --verbose (-v) also prints its\n"
         "content type and digest on standard error.\n",
         2, {{"verbose", 'v', false}}, cmd_manifest_get},
        {"manifest", "rm", "manifest rm REPO REF", "remove a tag or a manifest revision",
         "Removes the tag, or the revision of the digest string, REF from REPO. The\n"
         "manifest's files go once no tag names it any more.\n",
         2, {}, cmd_manifest_rm},
        {"access", "check", "access check USER|anonymous pull|push|delete REPO [--policy FILE]",
         "tell whether the policy lets a user act on a repository",
         "Reads the access policy (--policy FILE, else the file REGISTRY_ACCESS_POLICY\n"
         "names) and prints whether USER (anonymous: a request without a user) may\n"
         "pull, push or delete in repository REPO, and which rule granted it, or\n"
         "that no rule did. A broken policy grants nothing; its problems are printed.\n"
         "Exit status 0 allowed, 1 denied (or a broken policy).\n",
         3, {{"policy", 0, true}}, cmd_access_check, 0, false},
        {"access", "lint", "access lint [FILE]", "check an access policy",
         "Reads the access policy FILE (else the file REGISTRY_ACCESS_POLICY names)\n"
         "and reports each problem with its line, column and place in the document.\n"
         "Exit status 0 when the policy is sound, 1 when it has problems (a registry\n"
         "would then deny every request).\n",
         0, {}, cmd_access_lint, 1, false},
        {"access", "compile", "access compile [FILE]", "write a policy's compiled form beside it",
         "Checks the access policy FILE (else the file REGISTRY_ACCESS_POLICY names)\n"
         "and writes FILE.compiled beside it: the rules as the registry's programs\n"
         "decide with them, which a CGI program reads in a few pages instead of\n"
         "parsing the policy at every request. It holds the policy's size and time;\n"
         "after an edit of the policy it is ignored (the policy is parsed again)\n"
         "until it is compiled again. A broken policy is reported as by lint, and\n"
         "nothing is written. Exit status 0 written, 1 not.\n",
         0, {}, cmd_access_compile, 1, false},
    };
    return kCommands;
}

const char *const kGroups[] = {"blob", "upload", "manifest", "access"};

bool is_group(const std::string &word) {
    for (const char *g : kGroups) {
        if (word == g) return true;
    }
    return false;
}

const Command *find_command(const std::string &group, const std::string &name) {
    for (const Command &c : commands()) {
        if (group == c.group && name == c.name) return &c;
    }
    return nullptr;
}

// ---- Help and usage texts ---------------------------------------------------

void print_command_list(FILE *to, const std::string &group) {
    for (const Command &c : commands()) {
        if (!group.empty() && group != c.group) continue;
        std::string head = c.synopsis;
        if (head.size() > 34) {
            fprintf(to, "  %s\n  %-34s %s\n", head.c_str(), "", c.summary);
        } else {
            fprintf(to, "  %-34s %s\n", head.c_str(), c.summary);
        }
    }
}

void print_top_help(FILE *to) {
    fputs("usage: regstore [--root DIR] <command> [<args>]\n\n"
          "Fills, inspects and cleans a registry's storage from the shell.\n\n"
          "Commands:\n",
          to);
    print_command_list(to, "");
    fputs("\nOptions:\n"
          "  --root DIR    use DIR as the storage root\n"
          "  -h, --help    show this help; 'regstore <command> --help' for one command\n\n",
          to);
    fputs(kRootHelp, to);
    fputs("\nExit status: 0 success, 1 failure, 2 usage error.\n", to);
}

void print_group_help(FILE *to, const std::string &group) {
    fprintf(to, "usage: regstore [--root DIR] %s <command> [<args>]\n\nCommands:\n",
            group.c_str());
    print_command_list(to, group);
}

void print_command_help(FILE *to, const Command &c) {
    fprintf(to, "usage: regstore [--root DIR] %s\n\n%s\n%s", c.synopsis, c.details, kRootHelp);
}

// A usage error: the problem, the usage line of the level it belongs to and
// where to read more, on standard error. Gives kExitUsage.
int usage_error(const std::string &problem, const std::string &usage, const std::string &help) {
    if (!problem.empty()) fprintf(stderr, "regstore: %s\n", problem.c_str());
    fprintf(stderr, "usage: regstore %s\nTry 'regstore %s--help' for more.\n", usage.c_str(),
            help.c_str());
    return kExitUsage;
}

int command_usage_error(const Command &c, const std::string &problem) {
    std::string help = c.group[0] != '\0' ? std::string(c.group) + " " + c.name + " "
                                          : std::string(c.name) + " ";
    return usage_error(problem, std::string("[--root DIR] ") + c.synopsis, help);
}

// ---- Command-line parsing -----------------------------------------------------

enum class Parsed { kRun, kHelp, kUsage };

const OptionSpec *find_option(const Command &c, const std::string &token) {
    for (const OptionSpec &o : c.options) {
        if (token == std::string("--") + o.name) return &o;
        if (o.short_name != 0 && token.size() == 2 && token[0] == '-' && token[1] == o.short_name) {
            return &o;
        }
    }
    return nullptr;
}

// Splits the words after the command into options and positional
// arguments. On kUsage, *problem says what is wrong.
Parsed parse_command_line(const Command &c, const std::vector<std::string> &words,
                          Invocation *inv, std::string *problem) {
    // Asking for help wins over every mistake in the rest of the line.
    for (const std::string &w : words) {
        if (w == "--") break;
        if (w == "-h" || w == "--help") return Parsed::kHelp;
    }
    bool options_done = false;
    for (size_t i = 0; i < words.size(); i++) {
        const std::string &w = words[i];
        if (options_done || w == "-" || w.empty() || w[0] != '-') {
            inv->args.push_back(w);
            continue;
        }
        if (w == "--") {
            options_done = true;
            continue;
        }
        std::string token = w;
        std::string value;
        bool inline_value = false;
        size_t eq = w.find('=');
        if (w.rfind("--", 0) == 0 && eq != std::string::npos) {
            token = w.substr(0, eq);
            value = w.substr(eq + 1);
            inline_value = true;
        }
        const OptionSpec *o = find_option(c, token);
        if (o == nullptr) {
            *problem = "unknown option '" + token + "'";
            return Parsed::kUsage;
        }
        if (!o->takes_value) {
            if (inline_value) {
                *problem = "option '" + token + "' takes no value";
                return Parsed::kUsage;
            }
        } else if (!inline_value) {
            if (i + 1 >= words.size()) {
                *problem = "option '" + token + "' needs a value";
                return Parsed::kUsage;
            }
            value = words[++i];
        }
        int32_t count = 0;
        if (o->is_count && !parse_count(value, &count)) {
            *problem = "option '--" + std::string(o->name) +
                       "' wants a whole number from 0 to 2147483647, not '" + value + "'";
            return Parsed::kUsage;
        }
        int64_t seconds = 0;
        if (o->is_duration && !parse_duration(value, &seconds)) {
            *problem = "option '--" + std::string(o->name) +
                       "' wants a duration such as 3600, 90s, 30m, 1h or 2d, not '" + value + "'";
            return Parsed::kUsage;
        }
        inv->options[o->name] = value;
    }
    if (inv->args.size() < c.arg_count) {
        *problem = "missing argument";
        return Parsed::kUsage;
    }
    if (inv->args.size() > c.arg_count + c.optional_args) {
        *problem = "unexpected argument '" + inv->args[c.arg_count + c.optional_args] + "'";
        return Parsed::kUsage;
    }
    return Parsed::kRun;
}

// ---- The storage root -------------------------------------------------------

// Makes the storage ready at root. Only init may create a root: any other
// command on a root that is not there fails, so that a mistyped --root or a
// wrong working directory is reported instead of answered from a new, empty
// storage.
int open_storage(const std::string &root, bool may_create) {
    plat_attr attr;
    if (!may_create && (plat_stat(root.c_str(), &attr) != 0 || !attr.is_dir)) {
        return fail("no storage root at %s (regstore init creates one)", root.c_str());
    }
    if (reg_storage_init(root.c_str()) != 0) return fail_storage();
    return kExitOk;
}

int run(int argc, char **argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    size_t i = 0;
    std::string root;
    bool root_given = false;
    const std::string top_usage = "[--root DIR] <command> [<args>]";

    // Global options, before the command.
    while (i < words.size() && !words[i].empty() && words[i][0] == '-') {
        const std::string &w = words[i];
        if (w == "-h" || w == "--help") {
            print_top_help(stdout);
            return kExitOk;
        }
        if (w == "--root" || w.rfind("--root=", 0) == 0) {
            if (w == "--root") {
                if (i + 1 >= words.size()) return usage_error("option '--root' needs a value", top_usage, "");
                root = words[++i];
            } else {
                root = w.substr(strlen("--root="));
            }
            if (root.empty()) return usage_error("option '--root' needs a directory", top_usage, "");
            root_given = true;
            i++;
            continue;
        }
        return usage_error("unknown option '" + w + "'", top_usage, "");
    }
    if (i >= words.size()) return usage_error("missing command", top_usage, "");

    std::string group;
    std::string name = words[i++];
    if (is_group(name)) {
        group = name;
        const std::string group_usage = "[--root DIR] " + group + " <command> [<args>]";
        if (i >= words.size()) return usage_error("missing " + group + " command", group_usage, group + " ");
        name = words[i++];
        if (name == "-h" || name == "--help") {
            print_group_help(stdout, group);
            return kExitOk;
        }
        if (find_command(group, name) == nullptr) {
            return usage_error("unknown " + group + " command '" + name + "'", group_usage, group + " ");
        }
    } else if (find_command("", name) == nullptr) {
        return usage_error("unknown command '" + name + "'", top_usage, "");
    }
    const Command &command = *find_command(group, name);

    Invocation inv;
    std::string problem;
    std::vector<std::string> rest(words.begin() + static_cast<std::ptrdiff_t>(i), words.end());
    switch (parse_command_line(command, rest, &inv, &problem)) {
    case Parsed::kHelp:
        print_command_help(stdout, command);
        return kExitOk;
    case Parsed::kUsage:
        return command_usage_error(command, problem);
    case Parsed::kRun:
        break;
    }

    // The access policy is no part of the store.
    if (!command.uses_storage) return command.run(inv);
    if (root_given) {
        inv.root = root;
    } else {
        char chosen[1024];
        reg_choose_storage_root(chosen, sizeof chosen);
        inv.root = chosen;
    }
    int rc = open_storage(inv.root, command.run == cmd_init);
    if (rc != kExitOk) return rc;
    return command.run(inv);
}

}  // namespace
}  // namespace regstore

int main(int argc, char **argv) { return regstore::run(argc, argv); }

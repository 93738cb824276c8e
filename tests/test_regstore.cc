// regstore run as a process: every subcommand's main path and failures, the
// storage-root choice, help and usage errors, the progress line on a
// terminal and cleanup after an interruption.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "storage/reg_storage.h"
#include "tests/support/process.h"
#include "tests/support/reference_sha512.h"

using testing_support::ChildEnd;
using testing_support::path_exists;
using testing_support::ProcessResult;
using testing_support::random_bytes;
using testing_support::read_whole_file;
using testing_support::reference_sha256_hex;
using testing_support::reference_sha512_hex;
using testing_support::run_process;
using testing_support::ScratchDir;
using testing_support::wait_for_child;
using testing_support::write_whole_file;

namespace fs = std::filesystem;

namespace {

using Args = std::vector<std::string>;

// More than two of the tool's 4 MiB chunks, and not a multiple of one.
constexpr size_t kLargeSize = 9 * 1024 * 1024 + 12345;

std::string digest_of(const std::string &data) { return "sha256:" + reference_sha256_hex(data); }

std::string join(const Args &args) {
    std::string s;
    for (const auto &a : args) s += (s.empty() ? "" : " ") + a;
    return s;
}

size_t entries_in(const std::string &dir) {
    if (!fs::is_directory(dir)) return 0;
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// A storage root made by `regstore init` in a scratch folder, which is also
// the tool's working directory.
class Regstore : public ::testing::Test {
  protected:
    void SetUp() override { ok({"init"}); }

    std::string root() const { return dir_ / "root"; }
    std::string file(const std::string &name) const { return dir_ / name; }

    ProcessResult run(const Args &args, const std::string &stdin_data = "") {
        return run_process(REGSTORE_PATH, args, {{"REGISTRY_STORAGE_ROOT", root()}}, dir_.path(),
                           stdin_data);
    }
    // Runs a command that must succeed quietly; gives its standard output.
    std::string ok(const Args &args, const std::string &stdin_data = "") {
        ProcessResult r = run(args, stdin_data);
        EXPECT_EQ(r.exit_status, 0) << join(args) << ": " << r.err;
        EXPECT_EQ(r.err, "") << join(args);
        return r.out;
    }
    // Runs a command that must fail with exactly this message.
    void expect_failure(const Args &args, const std::string &message,
                        const std::string &stdin_data = "") {
        ProcessResult r = run(args, stdin_data);
        EXPECT_EQ(r.exit_status, 1) << join(args);
        EXPECT_EQ(r.out, "") << join(args);
        EXPECT_EQ(r.err, "regstore: " + message + "\n") << join(args);
    }
    // Stores data through `blob put FILE`; gives the printed digest.
    std::string put_blob(const std::string &data) {
        write_whole_file(file("put.bin"), data);
        std::string out = ok({"blob", "put", "put.bin"});
        EXPECT_EQ(out, digest_of(data) + "\n");
        return out.substr(0, out.size() - 1);
    }
    std::string blob_path(const std::string &digest) const {
        std::string hex = digest.substr(7);
        return root() + "/blobs/" + digest.substr(0, 6) + "/" + hex.substr(0, 2) + "/" + hex;
    }
    std::string stats() { return ok({"stats"}); }

    ScratchDir dir_;
};

// The statistics document for counts of blobs and uploads only.
std::string stats_doc(int repos, int tags, int blobs, long long blob_bytes, int uploads,
                      long long upload_bytes) {
    return "{\"version\":\"1.0.0\",\"repositories\":" + std::to_string(repos) +
           ",\"tags\":" + std::to_string(tags) + ",\"blobs\":" + std::to_string(blobs) +
           ",\"blob_bytes\":" + std::to_string(blob_bytes) +
           ",\"active_uploads\":" + std::to_string(uploads) +
           ",\"upload_bytes\":" + std::to_string(upload_bytes) + "}\n";
}

// ---- help and usage -------------------------------------------------------------

// Every command, as the words that name it.
const std::vector<Args> kCommands = {
    {"init"},           {"stats"},           {"catalog"},          {"tags"},
    {"blob", "put"},    {"blob", "stat"},    {"blob", "get"},      {"blob", "rm"},
    {"upload", "start"}, {"upload", "append"}, {"upload", "finish"}, {"upload", "cancel"},
    {"manifest", "put"}, {"manifest", "get"}, {"manifest", "rm"},
};

TEST(RegstoreHelp, EveryLevelAnswersHelpOnStandardOutput) {
    ScratchDir dir;
    std::vector<std::pair<Args, std::string>> cases = {
        {{"--help"}, "usage: regstore [--root DIR] <command> [<args>]\n"},
        {{"-h"}, "usage: regstore [--root DIR] <command> [<args>]\n"},
        {{"--root", "x", "--help"}, "usage: regstore [--root DIR] <command> [<args>]\n"},
        {{"blob", "--help"}, "usage: regstore [--root DIR] blob <command> [<args>]\n"},
        {{"upload", "-h"}, "usage: regstore [--root DIR] upload <command> [<args>]\n"},
        {{"manifest", "--help"}, "usage: regstore [--root DIR] manifest <command> [<args>]\n"},
    };
    for (const Args &words : kCommands) {
        Args args = words;
        args.push_back("--help");
        cases.push_back({args, "usage: regstore [--root DIR] " + join(words)});
        // Help wins over arguments that would be wrong.
        Args late = words;
        late.insert(late.end(), {"x", "y", "z", "--bogus", "-h"});
        cases.push_back({late, "usage: regstore [--root DIR] " + join(words)});
    }
    for (const auto &[args, first_line] : cases) {
        ProcessResult r = run_process(REGSTORE_PATH, args, {}, dir.path());
        EXPECT_EQ(r.exit_status, 0) << join(args);
        EXPECT_EQ(r.out.rfind(first_line, 0), 0u) << join(args) << ":\n" << r.out;
        EXPECT_EQ(r.err, "") << join(args);
    }
    // Help never creates a storage root.
    EXPECT_EQ(entries_in(dir.path()), 0u);
}

TEST(RegstoreHelp, TopLevelHelpListsEveryCommand) {
    ScratchDir dir;
    ProcessResult r = run_process(REGSTORE_PATH, {"--help"}, {}, dir.path());
    for (const Args &words : kCommands) {
        EXPECT_NE(r.out.find("\n  " + join(words)), std::string::npos) << join(words);
    }
}

TEST(RegstoreUsage, MistakesExitTwoWithUsageOnStandardError) {
    ScratchDir dir;
    const std::string digest = "sha256:" + std::string(64, '0');
    struct Case {
        Args args;
        std::string problem;  // the first line on standard error
        std::string usage;    // the usage line that follows
    } cases[] = {
        {{}, "missing command", "[--root DIR] <command> [<args>]"},
        {{"frob"}, "unknown command 'frob'", "[--root DIR] <command> [<args>]"},
        {{"--bogus", "stats"}, "unknown option '--bogus'", "[--root DIR] <command> [<args>]"},
        {{"--root"}, "option '--root' needs a value", "[--root DIR] <command> [<args>]"},
        {{"--root", "", "stats"}, "option '--root' needs a directory",
         "[--root DIR] <command> [<args>]"},
        {{"stats", "--root", "x"}, "unknown option '--root'", "[--root DIR] stats"},
        {{"blob"}, "missing blob command", "[--root DIR] blob <command> [<args>]"},
        {{"blob", "frob"}, "unknown blob command 'frob'", "[--root DIR] blob <command> [<args>]"},
        {{"upload", "put"}, "unknown upload command 'put'",
         "[--root DIR] upload <command> [<args>]"},
        {{"stats", "extra"}, "unexpected argument 'extra'", "[--root DIR] stats"},
        {{"tags"}, "missing argument", "[--root DIR] tags REPO"},
        {{"blob", "put"}, "missing argument", "[--root DIR] blob put FILE|- [--algorithm sha256|sha512]"},
        {{"blob", "get", digest, "-o"}, "option '-o' needs a value",
         "[--root DIR] blob get DIGEST [-o FILE]"},
        {{"blob", "rm", digest, digest}, "unexpected argument '" + digest + "'",
         "[--root DIR] blob rm DIGEST"},
        {{"upload", "finish", "id"}, "missing argument", "[--root DIR] upload finish ID DIGEST"},
        {{"catalog", "--n"}, "option '--n' needs a value", "[--root DIR] catalog [--n N] [--last NAME]"},
        {{"catalog", "--n", "-1"},
         "option '--n' wants a whole number from 0 to 2147483647, not '-1'",
         "[--root DIR] catalog [--n N] [--last NAME]"},
        {{"catalog", "--n=2x"}, "option '--n' wants a whole number from 0 to 2147483647, not '2x'",
         "[--root DIR] catalog [--n N] [--last NAME]"},
        {{"catalog", "--n", "2147483648"},
         "option '--n' wants a whole number from 0 to 2147483647, not '2147483648'",
         "[--root DIR] catalog [--n N] [--last NAME]"},
        {{"manifest", "get", "r", "t", "--verbose=yes"}, "option '--verbose' takes no value",
         "[--root DIR] manifest get REPO REF [--verbose]"},
        {{"manifest", "put", "r", "t", "f", "--tpye", "x"}, "unknown option '--tpye'",
         "[--root DIR] manifest put REPO REF FILE|- [--type CONTENT-TYPE]"},
    };
    for (const Case &c : cases) {
        ProcessResult r = run_process(REGSTORE_PATH, c.args, {}, dir.path());
        EXPECT_EQ(r.exit_status, 2) << join(c.args);
        EXPECT_EQ(r.out, "") << join(c.args);
        EXPECT_EQ(r.err.rfind("regstore: " + c.problem + "\nusage: regstore " + c.usage + "\nTry 'regstore ",
                              0),
                  0u)
            << join(c.args) << ":\n"
            << r.err;
    }
    // A usage error touches no disk: no default storage root appeared.
    EXPECT_EQ(entries_in(dir.path()), 0u);
}

// ---- the storage root ---------------------------------------------------------

TEST(RegstoreRoot, ChosenLikeTheWebEndpointUnlessRootIsGiven) {
    struct Case {
        const char *what;
        bool env;             // REGISTRY_STORAGE_ROOT=from-env
        const char *config;   // ./config.json, or nullptr
        Args global;          // options before the command
        std::string expected; // the root init prints (and creates, under the cwd)
    } cases[] = {
        {"environment first", true, R"({"storage_root": "from-config"})", {}, "from-env"},
        {"storage_root in config.json", false, R"({"storage_root": "from-config"})", {},
         "from-config"},
        {"registry_storage_root in config.json", false,
         R"({"registry_storage_root": "from-config2"})", {}, "from-config2"},
        {"the default", false, nullptr, {}, "./registry_storage"},
        {"config.json without a root setting", false, R"({"other": 1})", {},
         "./registry_storage"},
        {"--root over the environment", true, nullptr, {"--root", "from-option"}, "from-option"},
        {"--root=DIR over config.json", false, R"({"storage_root": "from-config"})",
         {"--root=from-option"}, "from-option"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        if (c.config != nullptr) write_whole_file(dir / "config.json", c.config);
        std::map<std::string, std::string> env;
        if (c.env) env["REGISTRY_STORAGE_ROOT"] = "from-env";
        Args args = c.global;
        args.push_back("init");
        ProcessResult r = run_process(REGSTORE_PATH, args, env, dir.path());
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.out, c.expected + "\n");
        EXPECT_TRUE(fs::is_directory(dir / c.expected + "/blobs/sha256"));
        EXPECT_TRUE(fs::is_directory(dir / c.expected + "/repositories"));
        EXPECT_TRUE(fs::is_directory(dir / c.expected + "/uploads"));
        // The same choice serves the next command: stats answers from it.
        args.back() = "stats";
        r = run_process(REGSTORE_PATH, args, env, dir.path());
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.out, stats_doc(0, 0, 0, 0, 0, 0));
    }
}

TEST(RegstoreRoot, OnlyInitCreatesARoot) {
    ScratchDir dir;
    const std::string digest = "sha256:" + std::string(64, 'a');
    const std::vector<Args> commands = {
        {"stats"}, {"catalog"}, {"tags", "repo"}, {"blob", "stat", digest},
        {"blob", "rm", digest}, {"upload", "start"}, {"manifest", "get", "repo", "v1"},
    };
    for (const Args &args : commands) {
        ProcessResult r =
            run_process(REGSTORE_PATH, args, {{"REGISTRY_STORAGE_ROOT", dir / "typo"}}, dir.path());
        EXPECT_EQ(r.exit_status, 1) << join(args);
        EXPECT_EQ(r.err, "regstore: no storage root at " + (dir / "typo") +
                             " (regstore init creates one)\n")
            << join(args);
    }
    EXPECT_FALSE(path_exists(dir / "typo"));
    // A regular file where the root should be is no root either.
    write_whole_file(dir / "plain", "x");
    ProcessResult r = run_process(REGSTORE_PATH, {"--root", dir / "plain", "stats"}, {}, dir.path());
    EXPECT_EQ(r.exit_status, 1);
    // init of a root that cannot be made reports the storage's message.
    r = run_process(REGSTORE_PATH, {"--root", dir / "plain/sub", "init"}, {}, dir.path());
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "regstore: mkdirs failed: " + (dir / "plain/sub") + "\n");
}

// ---- blobs --------------------------------------------------------------------

TEST_F(Regstore, BlobRoundTripThroughFileAndStandardInput) {
    const std::string data = random_bytes(kLargeSize, 1);
    const std::string digest = put_blob(data);
    EXPECT_EQ(read_whole_file(blob_path(digest)), data);
    // Nothing on standard error when it is not a terminal: no progress line.
    EXPECT_EQ(stats(), stats_doc(0, 0, 1, static_cast<long long>(data.size()), 0, 0));

    EXPECT_EQ(ok({"blob", "stat", digest}), "digest: " + digest + "\nsize: " +
                                                std::to_string(data.size()) +
                                                "\npath: " + blob_path(digest) + "\n");
    EXPECT_EQ(ok({"blob", "get", digest}), data);
    EXPECT_EQ(ok({"blob", "get", digest, "-o", "out.bin"}), "");
    EXPECT_EQ(read_whole_file(file("out.bin")), data);
    // -o replaces an existing file and leaves no temporary file beside it.
    write_whole_file(file("old.bin"), "previous content");
    EXPECT_EQ(ok({"blob", "get", "--output=old.bin", digest}), "");
    EXPECT_EQ(read_whole_file(file("old.bin")), data);
    // "-o -" is standard output.
    EXPECT_EQ(ok({"blob", "get", digest, "-o", "-"}), data);

    // The same bytes from standard input: same digest, stored once, and the
    // upload of the second put is gone.
    EXPECT_EQ(ok({"blob", "put", "-"}, data), digest + "\n");
    EXPECT_EQ(stats(), stats_doc(0, 0, 1, static_cast<long long>(data.size()), 0, 0));

    EXPECT_EQ(ok({"blob", "rm", digest}), "");
    EXPECT_FALSE(path_exists(blob_path(digest)));
    expect_failure({"blob", "stat", digest}, "blob not found: " + digest);
    expect_failure({"blob", "rm", digest}, "blob not found: " + digest);
    expect_failure({"blob", "get", digest}, "blob not found: " + digest);
    EXPECT_EQ(entries_in(dir_.path()), 4u);  // root, put.bin, out.bin, old.bin
}

// SHA-512 content through every command that reads or writes it: a blob
// stored and read back under its sha512 digest, a manifest put by a sha512
// reference that names it, and the store-wide walks (gc, fsck, du, stats)
// over a store that holds both algorithms.
TEST_F(Regstore, Sha512ContentThroughEveryCommand) {
    const std::string config = "{\"architecture\":\"amd64\"}";
    write_whole_file(file("config.json"), config);
    const std::string config_digest = "sha512:" + reference_sha512_hex(config);
    EXPECT_EQ(ok({"blob", "put", "config.json", "--algorithm", "sha512"}), config_digest + "\n");
    EXPECT_EQ(read_whole_file(blob_path(config_digest)), config);
    EXPECT_EQ(ok({"blob", "get", config_digest}), config);
    expect_failure({"blob", "put", "config.json", "--algorithm", "md5"},
                   "unknown digest algorithm: md5 (sha256 or sha512)");

    const std::string manifest =
        "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
        "\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" +
        config_digest + "\",\"size\":" + std::to_string(config.size()) + "},\"layers\":[]}";
    const std::string manifest_digest = "sha512:" + reference_sha512_hex(manifest);
    write_whole_file(file("manifest.json"), manifest);
    EXPECT_EQ(ok({"manifest", "put", "app", manifest_digest, "manifest.json"}),
              manifest_digest + "\n");
    EXPECT_EQ(ok({"manifest", "get", "app", manifest_digest}), manifest);
    const std::string sha256_blob = put_blob("beside it");
    const std::string orphan = "sha512:" + reference_sha512_hex("orphan");
    EXPECT_EQ(ok({"blob", "put", "-", "--algorithm", "sha512"}, "orphan"), orphan + "\n");

    // gc keeps what the manifest names and removes the blobs nothing names,
    // of either algorithm.
    ProcessResult gc = run({"gc", "--grace", "0s"});
    EXPECT_EQ(gc.exit_status, 0) << gc.err;
    EXPECT_NE(gc.out.find(orphan), std::string::npos) << gc.out;
    EXPECT_NE(gc.out.find(sha256_blob), std::string::npos) << gc.out;
    EXPECT_FALSE(path_exists(blob_path(orphan)));
    EXPECT_TRUE(path_exists(blob_path(config_digest)));
    EXPECT_EQ(ok({"manifest", "get", "app", manifest_digest}), manifest);
    EXPECT_EQ(stats(), stats_doc(1, 0, 1, static_cast<long long>(config.size()), 0, 0));
    ProcessResult du = run({"du", "--json"});
    EXPECT_EQ(du.exit_status, 0) << du.err;
    EXPECT_NE(du.out.find("\"name\":\"app\",\"manifests\":1,\"manifest_bytes\":" +
                          std::to_string(manifest.size())),
              std::string::npos)
        << du.out;
    ProcessResult sound = run({"fsck"});
    EXPECT_EQ(sound.exit_status, 0) << sound.out << sound.err;

    // A damaged SHA-512 blob is found by fsck under its own algorithm.
    write_whole_file(blob_path(config_digest), "{\"architecture\":\"arm64\"}");
    ProcessResult damaged = run({"fsck"});
    EXPECT_EQ(damaged.exit_status, 1);
    EXPECT_NE(damaged.out.find("bytes have the digest sha512:" +
                               reference_sha512_hex("{\"architecture\":\"arm64\"}")),
              std::string::npos)
        << damaged.out;
    EXPECT_EQ(run({"blob", "get", config_digest}).exit_status, 1);
}

TEST_F(Regstore, BlobPutOfEmptyAndSmallInputs) {
    for (const std::string &data : {std::string(), std::string("a"), random_bytes(4 << 20, 2)}) {
        SCOPED_TRACE(data.size());
        const std::string digest = put_blob(data);
        EXPECT_EQ(ok({"blob", "put", "-"}, data), digest + "\n");
        EXPECT_EQ(ok({"blob", "get", digest}), data);
    }
    EXPECT_EQ(entries_in(root() + "/uploads"), 0u);
}

TEST_F(Regstore, BlobFailuresNameTheCause) {
    const std::string absent = "sha256:" + std::string(64, '0');
    fs::create_directory(file("a-dir"));
    struct Case {
        Args args;
        std::string message;
    } cases[] = {
        {{"blob", "stat", "sha256:XYZ"}, "invalid digest"},
        {{"blob", "stat", "SHA256:" + std::string(64, '0')}, "invalid digest"},
        {{"blob", "get", "sha256:" + std::string(63, '0')}, "invalid digest"},
        {{"blob", "rm", "md5:0123"}, "invalid digest"},
        {{"blob", "stat", absent}, "blob not found: " + absent},
        {{"blob", "get", absent, "-o", "never.bin"}, "blob not found: " + absent},
        {{"blob", "rm", absent}, "blob not found: " + absent},
        {{"blob", "put", "missing.bin"}, "cannot open missing.bin: No such file or directory"},
        {{"blob", "put", "a-dir"}, "cannot open a-dir: Is a directory"},
    };
    for (const Case &c : cases) expect_failure(c.args, c.message);
    // A failed put leaves no upload behind, and nothing was created.
    EXPECT_EQ(stats(), stats_doc(0, 0, 0, 0, 0, 0));
    EXPECT_FALSE(path_exists(file("never.bin")));
}

TEST_F(Regstore, BlobGetOfADamagedBlobFailsAndWritesNoFile) {
    const std::string data = random_bytes(5 << 20, 3);
    const std::string digest = put_blob(data);
    std::string damaged = data;
    damaged[4 << 20] ^= 0x01;
    write_whole_file(blob_path(digest), damaged);
    const std::string message = "blob " + digest + " is damaged: its file " + blob_path(digest) +
                                " has the digest " + digest_of(damaged);

    ProcessResult r = run({"blob", "get", digest, "-o", "copy.bin"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "regstore: " + message + "\n");
    EXPECT_FALSE(path_exists(file("copy.bin")));
    // An existing target keeps its old content.
    write_whole_file(file("keep.bin"), "keep");
    r = run({"blob", "get", digest, "-o", "keep.bin"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(read_whole_file(file("keep.bin")), "keep");
    // On standard output the bytes are gone already, but the status says so.
    r = run({"blob", "get", digest});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "regstore: " + message + "\n");
    EXPECT_EQ(entries_in(dir_.path()), 3u);  // root, put.bin, keep.bin
}

TEST_F(Regstore, BlobGetIntoADirectoryFails) {
    const std::string digest = put_blob("abc");
    fs::create_directory(file("d"));
    expect_failure({"blob", "get", digest, "-o", "d"}, "cannot write d: it is a directory");
    expect_failure({"blob", "get", digest, "-o", "no/such/dir/x"},
                   "cannot create no/such/dir/x: No such file or directory");
}

// ---- uploads ------------------------------------------------------------------

TEST_F(Regstore, UploadInPiecesFromFilesAndStandardInput) {
    const std::string id_text = ok({"upload", "start"});
    ASSERT_EQ(id_text.size(), 37u);
    const std::string id = id_text.substr(0, 36);
    for (size_t i = 0; i < id.size(); i++) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        EXPECT_TRUE(dash ? id[i] == '-' : std::isxdigit(static_cast<unsigned char>(id[i])) &&
                                             !std::isupper(static_cast<unsigned char>(id[i])))
            << id;
    }
    const std::string a = random_bytes(kLargeSize, 4), b = "tail from standard input";
    write_whole_file(file("a.bin"), a);
    EXPECT_EQ(ok({"upload", "append", id, "a.bin"}), "");
    EXPECT_EQ(ok({"upload", "append", id, "-"}, b), "");
    EXPECT_EQ(ok({"upload", "append", id, "-"}, ""), "");  // nothing appended
    EXPECT_EQ(stats(), stats_doc(0, 0, 0, 0, 1, static_cast<long long>(a.size() + b.size())));

    const std::string digest = digest_of(a + b);
    EXPECT_EQ(ok({"upload", "finish", id, digest}), digest + "\n");
    EXPECT_EQ(ok({"blob", "get", digest}), a + b);
    EXPECT_EQ(stats(), stats_doc(0, 0, 1, static_cast<long long>(a.size() + b.size()), 0, 0));
    // The finished upload is gone.
    expect_failure({"upload", "append", id, "-"}, "upload not found: " + id, "more");
    expect_failure({"upload", "finish", id, digest}, "upload not found: " + id);
}

TEST_F(Regstore, UploadCancelThrowsTheBytesAway) {
    const std::string id = ok({"upload", "start"}).substr(0, 36);
    ok({"upload", "append", id, "-"}, "some bytes");
    EXPECT_EQ(ok({"upload", "cancel", id}), "");
    EXPECT_EQ(stats(), stats_doc(0, 0, 0, 0, 0, 0));
    // Cancelling again is no failure: the upload is gone either way.
    EXPECT_EQ(ok({"upload", "cancel", id}), "");
}

TEST_F(Regstore, UploadFailuresNameTheCause) {
    const std::string id = ok({"upload", "start"}).substr(0, 36);
    const std::string never = "00000000-0000-0000-0000-000000000000";
    const std::string good = digest_of("abc");
    const std::string empty = digest_of("");
    struct Case {
        Args args;
        std::string message;
    } cases[] = {
        {{"upload", "append", never, "-"}, "upload not found: " + never},
        {{"upload", "append", "not-an-id", "-"}, "invalid upload uuid"},
        {{"upload", "append", id.substr(0, 35), "-"}, "invalid upload uuid"},
        {{"upload", "append", id, "missing.bin"}, "cannot open missing.bin: No such file or directory"},
        {{"upload", "finish", never, good}, "upload not found: " + never},
        {{"upload", "finish", id, "sha256:ABC"}, "invalid expected digest"},
        {{"upload", "finish", "X" + id.substr(1), good}, "invalid upload uuid"},
        {{"upload", "cancel", "nope"}, "invalid upload uuid"},
    };
    for (const Case &c : cases) expect_failure(c.args, c.message, "data");
    // A wrong digest throws the upload away, naming both digests.
    expect_failure({"upload", "finish", id, good},
                   "digest mismatch: expected " + good + ", got " + empty);
    EXPECT_EQ(stats(), stats_doc(0, 0, 0, 0, 0, 0));
}

// ---- manifests, tags, catalog -------------------------------------------------------

std::string manifest_json(const std::string &config_digest, const std::string &note) {
    return "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + config_digest +
           "\"},\"layers\":[],\"annotations\":{\"note\":\"" + note + "\"}}";
}

TEST_F(Regstore, ManifestPutGetTagsAndRemove) {
    const std::string config = put_blob("{}");
    const std::string m1 = manifest_json(config, "one"), m2 = manifest_json(config, "two");
    write_whole_file(file("m1.json"), m1);
    EXPECT_EQ(ok({"manifest", "put", "library/demo", "v1", "m1.json"}), digest_of(m1) + "\n");
    EXPECT_EQ(ok({"manifest", "put", "library/demo", "latest", "-", "--type",
                  "application/vnd.oci.image.manifest.v1+json"},
                 m2),
              digest_of(m2) + "\n");
    // A digest reference stores the manifest without a tag.
    EXPECT_EQ(ok({"manifest", "put", "other", digest_of(m1), "m1.json"}), digest_of(m1) + "\n");

    EXPECT_EQ(ok({"manifest", "get", "library/demo", "v1"}), m1);
    ProcessResult r = run({"manifest", "get", "library/demo", "latest", "--verbose"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, m2);
    EXPECT_EQ(r.err, "content-type: application/vnd.oci.image.manifest.v1+json\ndigest: " +
                         digest_of(m2) + "\n");
    r = run({"manifest", "get", "-v", "other", digest_of(m1)});
    EXPECT_EQ(r.out, m1);
    EXPECT_EQ(r.err, "content-type: application/vnd.docker.distribution.manifest.v2+json\n"
                     "digest: " + digest_of(m1) + "\n");

    EXPECT_EQ(ok({"tags", "library/demo"}), "{\"name\":\"library/demo\",\"tags\":[\"latest\",\"v1\"]}\n");
    EXPECT_EQ(ok({"tags", "other"}), "{\"name\":\"other\",\"tags\":[]}\n");
    EXPECT_EQ(ok({"tags", "never/used"}), "{\"name\":\"never/used\",\"tags\":[]}\n");

    EXPECT_EQ(ok({"manifest", "rm", "library/demo", "v1"}), "");
    EXPECT_EQ(ok({"tags", "library/demo"}), "{\"name\":\"library/demo\",\"tags\":[\"latest\"]}\n");
    expect_failure({"manifest", "get", "library/demo", "v1"}, "tag not found: library/demo:v1");
    expect_failure({"manifest", "rm", "library/demo", "v1"}, "tag not found: library/demo:v1");
    // regstore reads through the endpoints' lookup: a digest the repository
    // no longer holds is not found there.
    expect_failure({"manifest", "get", "library/demo", digest_of(m1)},
                   "manifest not found: library/demo@" + digest_of(m1));
}

TEST_F(Regstore, CatalogPagesThroughRepositories) {
    write_whole_file(file("m.json"), manifest_json(put_blob("{}"), "x"));
    for (const char *repo : {"gamma", "alpha", "beta/sub"}) {
        ok({"manifest", "put", repo, "v1", "m.json"});
    }
    struct Case {
        Args options;
        std::string names;
    } cases[] = {
        {{}, "\"alpha\",\"beta/sub\",\"gamma\""},
        {{"--n", "0"}, "\"alpha\",\"beta/sub\",\"gamma\""},
        {{"--n", "2"}, "\"alpha\",\"beta/sub\""},
        {{"--last", "alpha", "--n", "1"}, "\"beta/sub\""},
        {{"--last=b"}, "\"beta/sub\",\"gamma\""},
        {{"--last", "gamma"}, ""},
        {{"--last", ""}, "\"alpha\",\"beta/sub\",\"gamma\""},
    };
    for (const Case &c : cases) {
        Args args = {"catalog"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        EXPECT_EQ(ok(args), "{\"repositories\":[" + c.names + "]}\n") << join(args);
    }
}

TEST_F(Regstore, ManifestFailuresNameTheCause) {
    const std::string config = put_blob("{}");
    write_whole_file(file("good.json"), manifest_json(config, "ok"));
    write_whole_file(file("bad.json"), "{\"config\":");
    write_whole_file(file("nolayer.json"),
                     "{\"config\":{\"digest\":\"" + config + "\"},\"layers\":[{\"size\":1}]}");
    write_whole_file(file("huge.json"), std::string(1048576, ' '));
    struct Case {
        Args args;
        std::string message;
    } cases[] = {
        // Names the storage refuses, and names the web endpoint would refuse.
        {{"manifest", "put", "a..b", "v1", "good.json"}, "invalid repository name: a..b"},
        {{"manifest", "put", "a//b", "v1", "good.json"}, "invalid repository name: a//b"},
        {{"manifest", "put", "repo/", "v1", "good.json"}, "invalid repository name: repo/"},
        {{"manifest", "put", "has space", "v1", "good.json"}, "invalid repository name: has space"},
        {{"manifest", "get", "a..b", "v1"}, "invalid repository name"},
        {{"manifest", "rm", "a..b", "v1"}, "invalid repository name"},
        {{"tags", "a..b"}, "invalid repository name"},
        {{"manifest", "put", "repo", "v1", "missing.json"},
         "cannot open missing.json: No such file or directory"},
        {{"manifest", "put", "repo", "v1", "bad.json"}, "manifest JSON parse failed"},
        {{"manifest", "put", "repo", "v1", "nolayer.json"}, "manifest layer 0 missing valid digest"},
        {{"manifest", "put", "repo", "v1", "huge.json"},
         "manifest in huge.json is too large: more than 1048575 bytes"},
        {{"manifest", "get", "repo", "sha256:123"}, "invalid digest reference"},
        {{"manifest", "get", "repo", "v1"}, "tag not found: repo:v1"},
    };
    for (const Case &c : cases) expect_failure(c.args, c.message);
    EXPECT_EQ(stats(), stats_doc(0, 0, 1, 2, 0, 0));
}

TEST_F(Regstore, ManifestGetOfADamagedBodyFails) {
    const std::string m = manifest_json(put_blob("{}"), "original");
    const std::string digest = ok({"manifest", "put", "repo", "v1", "-"}, m).substr(0, 71);
    const std::string body = root() + "/repositories/repo/_manifests/" + digest.substr(7);
    const std::string changed = manifest_json(digest_of("{}"), "changed!");
    write_whole_file(body, changed);
    expect_failure({"manifest", "get", "repo", "v1"},
                   "manifest repo@v1 is damaged: its body has the digest " + digest_of(changed) +
                       ", not " + digest);
}

// A manifest larger than the plain put takes, stored as a push over HTTP
// stores it: regstore reads it back whole, through the same lookup as the
// endpoint, and fsck and du read it too.
TEST_F(Regstore, ManifestGetReadsWhatAPushStored) {
    const std::string config = put_blob("{}");
    const std::string body =
        "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
        "\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" +
        config + "\",\"size\":2},\"layers\":[],\"annotations\":{\"pad\":\"" +
        std::string(2 << 20, 'p') + "\"}}";
    ASSERT_EQ(reg_storage_init(root().c_str()), 0) << reg_storage_last_error();
    char digest[REG_DIGEST_STRING_SIZE], subject[REG_DIGEST_STRING_SIZE];
    ASSERT_EQ(reg_manifest_put_typed("big", "v1", body.data(), body.size(), nullptr, digest,
                                     subject),
              0)
        << reg_storage_last_error();
    reg_storage_cleanup();
    EXPECT_EQ(ok({"manifest", "get", "big", "v1"}), body);
    EXPECT_EQ(ok({"manifest", "get", "big", digest}), body);
    ProcessResult r = run({"fsck"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    r = run({"du"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("\"name\":\"big\",\"manifests\":1,\"manifest_bytes\":" +
                         std::to_string(body.size())),
              std::string::npos)
        << r.out.substr(0, 200);
}

// ---- progress on a terminal -----------------------------------------------------

// Runs regstore with standard error on a pseudo-terminal and standard output
// in a file; gives what the terminal showed.
std::string run_on_terminal(const Args &args, const std::string &root, const std::string &out) {
    std::vector<std::string> argv_text = {REGSTORE_PATH, "--root", root};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) return "forkpty failed";
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string shown;
    char buf[4096];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) shown.append(buf, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR) continue;
        else break;  // EIO once the child has gone
    }
    close(master);
    ChildEnd end = wait_for_child(pid);
    if (!end.exited || end.code != 0) shown += "<exit status not 0>";
    return shown;
}

TEST_F(Regstore, ProgressLineOnlyOnATerminal) {
    const std::string data = random_bytes(kLargeSize, 5);
    write_whole_file(file("big.bin"), data);
    const std::string digest = digest_of(data);

    std::string shown = run_on_terminal({"blob", "put", file("big.bin")}, root(), file("put.out"));
    EXPECT_EQ(read_whole_file(file("put.out")), digest + "\n");
    EXPECT_NE(shown.find("\r4.0 MiB / 9.0 MiB (44%)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\r9.0 MiB / 9.0 MiB (100%)"), std::string::npos) << shown;
    EXPECT_EQ(shown.substr(shown.size() - 2), "\r\n") << shown;  // the line is ended

    shown = run_on_terminal({"blob", "get", digest, "-o", file("got.bin")}, root(), file("get.out"));
    EXPECT_EQ(read_whole_file(file("got.bin")), data);
    EXPECT_NE(shown.find("\r9.0 MiB / 9.0 MiB (100%)"), std::string::npos) << shown;

    // Small transfers draw nothing, even on a terminal.
    write_whole_file(file("small.bin"), "small");
    EXPECT_EQ(run_on_terminal({"blob", "put", file("small.bin")}, root(), file("small.out")), "");

    // Not a terminal: no progress at all.
    ProcessResult r = run({"blob", "get", digest, "-o", "again.bin"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
}

// ---- interruption ----------------------------------------------------------------

// A blob put reading from a pipe is stopped by SIGTERM after its first chunk
// reached the upload: it cancels the upload and says so.
TEST_F(Regstore, InterruptedPutCancelsItsUpload) {
    int in_pipe[2], err_pipe[2];
    ASSERT_EQ(pipe(in_pipe), 0);
    ASSERT_EQ(pipe(err_pipe), 0);
    std::string program = REGSTORE_PATH, opt = "--root", r = root(), b = "blob", p = "put", dash = "-";
    char *argv[] = {program.data(), opt.data(), r.data(), b.data(), p.data(), dash.data(), nullptr};
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
        execv(argv[0], argv);
        _exit(127);
    }
    close(in_pipe[0]);
    close(err_pipe[1]);
    signal(SIGPIPE, SIG_IGN);
    const std::string chunk = random_bytes(4 << 20, 6);
    size_t written = 0;
    while (written < chunk.size()) {
        ssize_t n = write(in_pipe[1], chunk.data() + written, chunk.size() - written);
        ASSERT_GT(n, 0);
        written += static_cast<size_t>(n);
    }
    // Wait until the first chunk sits in the upload file.
    const std::string uploads = root() + "/uploads";
    bool appended = false;
    for (int i = 0; i < 3000 && !appended; i++) {
        for (const auto &e : fs::directory_iterator(uploads)) {
            if (e.is_regular_file() && e.file_size() == chunk.size()) appended = true;
        }
        if (!appended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(appended);
    kill(pid, SIGTERM);
    close(in_pipe[1]);  // the read it waits in ends
    std::string err;
    char buf[4096];
    ssize_t n;
    while ((n = read(err_pipe[0], buf, sizeof buf)) > 0) err.append(buf, static_cast<size_t>(n));
    close(err_pipe[0]);
    ChildEnd end = wait_for_child(pid);
    ASSERT_TRUE(end.exited) << "ended by signal " << end.signal;
    EXPECT_EQ(end.code, 128 + SIGTERM);
    EXPECT_EQ(err, "regstore: interrupted; upload cancelled\n");
    EXPECT_EQ(entries_in(uploads), 0u);
    EXPECT_EQ(entries_in(root() + "/blobs/sha256"), 0u);
}

}  // namespace

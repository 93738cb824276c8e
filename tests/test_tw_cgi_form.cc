// Query string, request body, method tests, the replies that end the
// process and the path join of the CGI module.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "edge/tw_cgi_internal.h"
#include "tests/support/process.h"

using namespace std::string_literals;
using testing_support::random_bytes;
using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace {

// Sets or unsets one environment variable for the life of the object and
// puts the old state back afterwards.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        const char *old = getenv(name);
        had_value_ = old != nullptr;
        if (had_value_) old_value_ = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_value_)
            setenv(name_.c_str(), old_value_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    std::string name_;
    std::string old_value_;
    bool had_value_ = false;
};

// Exit status a child uses when the work it was given returned.
constexpr int kReturned = 42;

struct ChildOutcome {
    int exit_status = -1;  // exit code, or 128 + signal number
    std::string out;       // everything the child wrote on standard output
};

// Runs work in a forked child whose standard output is a pipe read here
// and whose standard input is a pipe fed with stdin_data. A child still
// running after 20 seconds is ended by SIGALRM (a hang shows as 142).
ChildOutcome run_in_child(const std::function<void()> &work, const std::string &stdin_data = "") {
    signal(SIGPIPE, SIG_IGN);
    fflush(stdout);
    fflush(stderr);
    int out_pipe[2], in_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(in_pipe) != 0) return {};
    pid_t pid = fork();
    if (pid < 0) return {};
    if (pid == 0) {
        alarm(20);
        dup2(out_pipe[1], 1);
        dup2(in_pipe[0], 0);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(in_pipe[0]);
        close(in_pipe[1]);
        work();
        fflush(stdout);
        _exit(kReturned);
    }
    close(out_pipe[1]);
    close(in_pipe[0]);
    std::thread feeder([fd = in_pipe[1], &stdin_data] {
        size_t done = 0;
        while (done < stdin_data.size()) {
            ssize_t n = write(fd, stdin_data.data() + done, stdin_data.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        close(fd);
    });
    ChildOutcome outcome;
    char chunk[65536];
    ssize_t n;
    while ((n = read(out_pipe[0], chunk, sizeof chunk)) > 0) outcome.out.append(chunk, n);
    close(out_pipe[0]);
    feeder.join();
    outcome.exit_status = testing_support::wait_for_child(pid).status();
    return outcome;
}

// A request body as text that shows the bytes, the length and whether the
// NUL follows them: "none (length L)" or "body[L]=<bytes>".
std::string describe_body(const char *body, size_t length) {
    if (body == nullptr) return "none (length " + std::to_string(length) + ")";
    std::string text = "body[" + std::to_string(length) + "]=" + std::string(body, length);
    if (body[length] != '\0') text += " (no NUL after the body)";
    return text;
}

// ---- Method tests ----------------------------------------------------------

TEST(CgiMethod, PostAndHeadByTheLeadingLetters) {
    struct Case {
        const char *method;  // nullptr: unset
        int post, head;
    } cases[] = {
        {"POST", 1, 0},  {"PUT", 0, 0},     {"PATCH", 0, 0}, {"HEAD", 0, 1},
        {"GET", 0, 0},   {nullptr, 0, 0},   {"", 0, 0},      {"POSTX", 1, 0},
        {"HEADER", 0, 1}, {"HEA", 0, 0},    {"P", 0, 0},     {"post", 0, 0},
        {"head", 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.method != nullptr ? c.method : "(unset)");
        ScopedEnv method("REQUEST_METHOD", c.method);
        EXPECT_EQ(cgi_is_post(), c.post);
        EXPECT_EQ(cgi_is_head(), c.head);
    }
}

TEST(Hexval, HexDigitsOnlyOverAllBytes) {
    for (int c = 0; c < 256; c++) {
        SCOPED_TRACE(c);
        char digit[2] = {static_cast<char>(c), '\0'};
        int expected = isxdigit(c) ? static_cast<int>(strtol(digit, nullptr, 16)) : -1;
        EXPECT_EQ(hexval(c), expected);
    }
}

// ---- Query string ----------------------------------------------------------

TEST(CgiQuery, DecodesTheFirstMatchingSegment) {
    struct Case {
        const char *query;
        const char *name;
        std::string expected;
    } cases[] = {
        {"a=1&b=x%20y+z&c", "b", "x y z"},
        {"a=1&b=x%20y+z&c", "a", "1"},
        {"a=1&b=x%20y+z&c", "c", ""},
        {"a=1&b=x%20y+z&c", "d", ""},
        {"a=1&b=x%20y+z&c", "A", ""},
        {"a=1&a=2", "a", "1"},
        {"v=50%4", "v", "50%4"},
        {"v=%zz1", "v", "%zz1"},
        {"v=%", "v", "%"},
        {"v=%4g%g4", "v", "%4g%g4"},
        {"v=%41%62c%4a%4A", "v", "AbcJJ"},
        {"v=%25%2B+", "v", "%+ "},
        {"v=a%00b", "v", "a"},
        {"v=%c3%a9", "v", "\xc3\xa9"},
        {"&&x=1&", "x", "1"},
        {"x=&y=2", "x", ""},
        {"=5&x=6", "x", "6"},
        {"ab=1&a=2", "a", "2"},
        {"a=1", "ab", ""},
        {"a==b", "a", "=b"},
        {"k%20=1", "k%20", "1"},
        {"k%20=1", "k ", ""},
        {"x", "x", ""},
        {"x&x=2", "x", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.query) + " ? " + c.name);
        ScopedEnv query("QUERY_STRING", c.query);
        const char *result = cgi_query(c.name);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(std::string(result), c.expected);
    }
}

TEST(CgiFormValue, DecodesTheFieldOfABodyAndCutsToFit) {
    struct Case {
        const char *form, *name, *value;
    };
    const Case cases[] = {
        {"token=123.abc", "token", "123.abc"},
        {"a=1&token=x%2By+z&token=second", "token", "x+y z"},
        {"tokens=no&xtoken=no", "token", ""},
        {"token", "token", ""},
        {"", "token", ""},
        {"token=%zz%4", "token", "%zz%4"},
    };
    for (const Case &c : cases) {
        char out[64] = "untouched";
        cgi_form_value(c.form, c.name, out, sizeof out);
        EXPECT_STREQ(out, c.value) << c.form;
    }
    char small[4];
    cgi_form_value("token=abcdef", "token", small, sizeof small);
    EXPECT_STREQ(small, "abc");
    char kept[4] = "x";
    cgi_form_value("token=abc", "token", kept, 0);
    EXPECT_STREQ(kept, "x");
    cgi_form_value(nullptr, "token", kept, sizeof kept);
    EXPECT_STREQ(kept, "");
}

TEST(CgiQuery, MissingOrEmptyNameGivesEmptyText) {
    ScopedEnv query("QUERY_STRING", "=1&a=2");
    for (const char *name : {static_cast<const char *>(nullptr), ""}) {
        const char *result = cgi_query(name);
        ASSERT_NE(result, nullptr);
        EXPECT_STREQ(result, "");
    }
}

TEST(CgiQuery, DecodedValueIsCutAt511Bytes) {
    struct Case {
        std::string raw_value;
        size_t decoded_length;
        char byte;
    } cases[] = {
        {std::string(600, 'q'), 511, 'q'},
        {std::string(511, 'q'), 511, 'q'},
        {std::string(512, 'q'), 511, 'q'},
        {std::string(510, 'q'), 510, 'q'},
        {[] {
             std::string encoded;
             for (int i = 0; i < 600; i++) encoded += "%41";
             return encoded;
         }(),
         511, 'A'},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.raw_value.size());
        ScopedEnv query("QUERY_STRING", ("v=" + c.raw_value + "&w=1").c_str());
        EXPECT_EQ(std::string(cgi_query("v")), std::string(c.decoded_length, c.byte));
    }
}

TEST(CgiQuery, EightResultsStayValidAndTheNinthReusesTheFirstSlot) {
    std::string query_text;
    for (int i = 0; i < 9; i++) query_text += "n" + std::to_string(i) + "=v" + std::to_string(i) + "&";
    ScopedEnv query("QUERY_STRING", query_text.c_str());
    std::vector<const char *> results;
    for (int i = 0; i < 8; i++) {
        results.push_back(cgi_query(("n" + std::to_string(i)).c_str()));
        EXPECT_STREQ(cgi_query(""), "");  // takes no slot
    }
    for (int i = 0; i < 8; i++) EXPECT_EQ(std::string(results[i]), "v" + std::to_string(i));
    const char *ninth = cgi_query("n8");
    EXPECT_EQ(ninth, results[0]);
    EXPECT_STREQ(results[0], "v8");
    for (int i = 1; i < 8; i++) EXPECT_EQ(std::string(results[i]), "v" + std::to_string(i));
}

TEST(CgiQuery, WithoutQueryStringReadsTheEnvironmentUndecoded) {
    constexpr const char *kName = "TW_FORM_TEST_PARAM";
    struct Case {
        const char *query;  // nullptr: unset
        const char *variable;
        const char *expected;
    } cases[] = {
        {nullptr, "a%20b+c", "a%20b+c"},
        {"", "a%20b+c", "a%20b+c"},
        {nullptr, "x;y:z", ""},
        {nullptr, "x:y;", ""},
        {nullptr, "x;y", "x;y"},
        {nullptr, "C:\\data", "C:\\data"},
        {nullptr, nullptr, ""},
        {nullptr, "", ""},
        {"other=1", "value", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.query ? c.query : "(unset)") + " / " +
                     (c.variable ? c.variable : "(unset)"));
        ScopedEnv query("QUERY_STRING", c.query);
        ScopedEnv variable(kName, c.variable);
        const char *result = cgi_query(kName);
        ASSERT_NE(result, nullptr);
        EXPECT_STREQ(result, c.expected);
        if (c.expected[0] != '\0') {
            EXPECT_EQ(result, getenv(kName));  // the environment's own text
        }
    }
}

// ---- Request body ----------------------------------------------------------

TEST(CgiReadPost, BodyFileIsReadWhole) {
    ScratchDir dir;
    ScopedEnv length_var("CONTENT_LENGTH", nullptr);
    std::string big = random_bytes(100000, 7);
    struct Case {
        const char *label;
        std::string content;
    } cases[] = {
        {"text", "hello"},
        {"empty", ""},
        {"NUL and CR LF inside", "a\0b\r\nc"s},
        {"100000 random bytes", big},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        std::string path = dir / "body";
        write_whole_file(path, c.content);
        ScopedEnv body_file("POST_BODY_FILE", path.c_str());
        size_t length = 99;
        char *body = cgi_read_post(&length);
        EXPECT_EQ(describe_body(body, length),
                  "body[" + std::to_string(c.content.size()) + "]=" + c.content);
        free(body);
    }
}

TEST(CgiReadPost, LengthMayBeOmitted) {
    ScratchDir dir;
    std::string path = dir / "body";
    write_whole_file(path, "abc");
    ScopedEnv body_file("POST_BODY_FILE", path.c_str());
    char *body = cgi_read_post(nullptr);
    ASSERT_NE(body, nullptr);
    EXPECT_STREQ(body, "abc");
    free(body);
}

// Where the body comes from: POST_BODY_FILE when it names a regular file that
// opens, else CONTENT_LENGTH bytes of standard input. Each case runs in a
// child so that standard input can be a pipe; what the body reader left of
// standard input is reported after "|rest=".
TEST(CgiReadPost, BodySourceAndLimits) {
    ScratchDir dir;
    write_whole_file(dir / "file", "from the file");
    ASSERT_EQ(mkdir((dir / "directory").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    // Sparse files whose lengths do not fit a signed 32-bit number; the
    // second one wraps to 3 when cut to 32 bits.
    for (const auto &[name, size] : {std::pair<const char *, off_t>{"over_int32", 2147483648LL},
                                     std::pair<const char *, off_t>{"wraps_to_3", 4294967299LL}}) {
        int fd = open((dir / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        close(fd);
    }
    std::string big = random_bytes(200000, 11);

    struct Case {
        const char *label;
        std::optional<std::string> body_file;       // nullopt: unset
        std::optional<std::string> content_length;  // nullopt: unset
        std::string stdin_data;
        std::string expected;
    } cases[] = {
        // Standard input.
        {"exact", std::nullopt, "5", "hello", "body[5]=hello|rest="},
        {"short read", std::nullopt, "10", "abc", "body[3]=abc|rest="},
        {"no more than announced", std::nullopt, "3", "abcdef", "body[3]=abc|rest=def"},
        {"binary bytes", std::nullopt, "5", "a\r\n\0\xff"s, "body[5]=a\r\n\0\xff|rest="s},
        {"leading blanks", std::nullopt, " 2", "xyz", "body[2]=xy|rest=z"},
        {"digits then text", std::nullopt, "2abc", "xyz", "body[2]=xy|rest=z"},
        {"big body", std::nullopt, std::to_string(big.size()), big,
         "body[" + std::to_string(big.size()) + "]=" + big + "|rest="},
        {"zero", std::nullopt, "0", "xyz", "none (length 0)|rest=xyz"},
        {"negative", std::nullopt, "-5", "xyz", "none (length 0)|rest=xyz"},
        {"no digits", std::nullopt, "abc", "xyz", "none (length 0)|rest=xyz"},
        {"unset", std::nullopt, std::nullopt, "xyz", "none (length 0)|rest=xyz"},
        {"empty", std::nullopt, "", "xyz", "none (length 0)|rest=xyz"},
        {"INT32_MAX + 1", std::nullopt, "2147483648", "xyz", "none (length 0)|rest=xyz"},
        {"2^32 + 3 (wraps to 3)", std::nullopt, "4294967299", "xyz", "none (length 0)|rest=xyz"},
        {"beyond long", std::nullopt, "99999999999999999999", "xyz", "none (length 0)|rest=xyz"},
        // The body file wins over standard input.
        {"regular file", dir / "file", "3", "xyz", "body[13]=from the file|rest=xyz"},
        // A body file that does not open, or is not a regular file, falls
        // back to standard input.
        {"file name empty", "", "3", "xyz", "body[3]=xyz|rest="},
        {"missing file", dir / "missing", "3", "xyz", "body[3]=xyz|rest="},
        {"directory", dir / "directory", "3", "xyz", "body[3]=xyz|rest="},
        {"FIFO", dir / "fifo", "3", "xyz", "body[3]=xyz|rest="},
        {"device", "/dev/null", "3", "xyz", "body[3]=xyz|rest="},
        {"missing file, no length", dir / "missing", std::nullopt, "xyz",
         "none (length 0)|rest=xyz"},
        // A body file too long for a signed 32-bit length is refused.
        {"file over INT32_MAX", dir / "over_int32", "3", "xyz", "none (length 0)|rest=xyz"},
        {"file of 2^32 + 3 bytes", dir / "wraps_to_3", "3", "xyz", "none (length 0)|rest=xyz"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        ChildOutcome outcome = run_in_child(
            [&c] {
                if (c.body_file)
                    setenv("POST_BODY_FILE", c.body_file->c_str(), 1);
                else
                    unsetenv("POST_BODY_FILE");
                if (c.content_length)
                    setenv("CONTENT_LENGTH", c.content_length->c_str(), 1);
                else
                    unsetenv("CONTENT_LENGTH");
                size_t length = 99;
                char *body = cgi_read_post(&length);
                std::string report = describe_body(body, length) + "|rest=";
                free(body);
                char chunk[4096];
                size_t n;
                while ((n = fread(chunk, 1, sizeof chunk, stdin)) > 0) report.append(chunk, n);
                fwrite(report.data(), 1, report.size(), stdout);
            },
            c.stdin_data);
        EXPECT_EQ(outcome.exit_status, kReturned);
        EXPECT_EQ(outcome.out, c.expected);
    }
}

// ---- Replies ---------------------------------------------------------------

TEST(CgiReplies, BytesAndEndOfProcess) {
    struct Case {
        const char *label;
        std::function<void()> write_reply;
        std::string expected;
        int exit_status;  // 0: ended the process; kReturned: returned
    } cases[] = {
        {"html content type", [] { cgi_header_html(); },
         "Content-Type: text/html; charset=utf-8\r\n", kReturned},
        {"text content type", [] { cgi_header_text(); },
         "Content-Type: text/plain; charset=utf-8\r\n", kReturned},
        {"die text", [] { cgi_die_text(404, "no such page \"x\"\\"); },
         "Status: 404\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nno such page \"x\"\\\n", 0},
        {"die text without message", [] { cgi_die_text(500, nullptr); },
         "Status: 500\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n\n", 0},
        {"die json", [] { cgi_die_json(400, "bad \"x\"\\\t\x01\xc8/"); },
         "Status: 400\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
         "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"bad \\\"x\\\"\\\\\\t\\u0001\xc8/\"}]}\n",
         0},
        {"die json without message", [] { cgi_die_json(503, nullptr); },
         "Status: 503\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
         "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"error\"}]}\n",
         0},
        {"die json with empty message", [] { cgi_die_json(409, ""); },
         "Status: 409\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
         "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"\"}]}\n",
         0},
        {"send json", [] { oci_send_json(200, "{\"tags\":[\"a\\\\b\"]}"); },
         "Status: 200\r\nDocker-Distribution-API-Version: registry/2.0\r\n"
         "Content-Type: application/json; charset=utf-8\r\n\r\n{\"tags\":[\"a\\\\b\"]}\n",
         kReturned},
        {"send json empty body", [] { oci_send_json(201, ""); },
         "Status: 201\r\nDocker-Distribution-API-Version: registry/2.0\r\n"
         "Content-Type: application/json; charset=utf-8\r\n\r\n{}\n",
         kReturned},
        {"send json without body", [] { oci_send_json(202, nullptr); },
         "Status: 202\r\nDocker-Distribution-API-Version: registry/2.0\r\n"
         "Content-Type: application/json; charset=utf-8\r\n\r\n{}\n",
         kReturned},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        ChildOutcome outcome = run_in_child(c.write_reply);
        EXPECT_EQ(outcome.exit_status, c.exit_status);
        EXPECT_EQ(outcome.out, c.expected);
    }
}

// A reply written before an ending one reaches the output whole, ahead of it.
TEST(CgiReplies, DieFlushesWhatCameBefore) {
    ChildOutcome outcome = run_in_child([] {
        fputs("earlier ", stdout);
        cgi_die_text(418, "teapot");
    });
    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_EQ(outcome.out,
              "earlier Status: 418\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nteapot\n");
}

// ---- Path join -------------------------------------------------------------

TEST(TwPathJoin, JoinsWithOneSeparatorAndCutsSilently) {
    struct Case {
        const char *first;
        const char *second;
        size_t size;
        const char *expected;
    } cases[] = {
        {"a", "b", 32, "a/b"},
        {"a/", "/b", 32, "a/b"},
        {"a", "\\\\b", 32, "a/b"},
        {"a", "/\\/b", 32, "a/b"},
        {"a\\", "b", 32, "a\\b"},
        {"", "b", 32, "b"},
        {nullptr, "b", 32, "b"},
        {nullptr, "/b", 32, "/b"},
        {"a", "", 32, "a"},
        {"a", nullptr, 32, "a"},
        {"a/", nullptr, 32, "a/"},
        {nullptr, nullptr, 32, ""},
        {"x/y", "z//w/", 32, "x/y/z//w/"},
        {"a", "//", 32, "a/"},
        {"a", "b", 2, "a"},
        {"a", "b", 3, "a/"},
        {"a", "b", 4, "a/b"},
        {"ab", "cd", 4, "ab/"},
        {"ab", "cd", 5, "ab/c"},
        {"abc", "d", 3, "ab"},
        {"ab/", "cd", 4, "ab/"},
        {"ab/", "cd", 5, "ab/c"},
        {"a", "b", 1, ""},
        {"", "bcd", 3, "bc"},
        {"abcd", "", 3, "ab"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.first ? c.first : "(none)") + " + " +
                     (c.second ? c.second : "(none)") + " in " + std::to_string(c.size));
        char out[64];
        memset(out, '#', sizeof out);
        tw_path_join(out, c.size, c.first, c.second);
        EXPECT_STREQ(out, c.expected);
        EXPECT_EQ(std::string(out + c.size, sizeof out - c.size), std::string(sizeof out - c.size, '#'))
            << "written past the size";
    }
}

TEST(TwPathJoin, NoBufferOrSizeZeroWritesNothing) {
    char out[4] = {'#', '#', '#', '#'};
    tw_path_join(out, 0, "a", "b");
    EXPECT_EQ(std::string(out, sizeof out), "####");
    tw_path_join(nullptr, 16, "a", "b");  // must not crash
}

}  // namespace

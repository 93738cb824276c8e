// CGI environment, reply heads, JSON string writer and bounded copies.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "edge/tw_cgi.h"
#include "tests/support/process.h"

using testing_support::run_in_child;

namespace {

TEST(CgiEnv, UnsetAndEmptyAreAlike) {
    testing_support::set_env("TW_TEST_VAR", nullptr);
    EXPECT_STREQ(cgi_env("TW_TEST_VAR", "dflt"), "dflt");
    EXPECT_STREQ(cgi_env("TW_TEST_VAR", nullptr), "");
    testing_support::set_env("TW_TEST_VAR", "");
    EXPECT_STREQ(cgi_env("TW_TEST_VAR", "dflt"), "dflt");
    testing_support::set_env("TW_TEST_VAR", "value");
    EXPECT_STREQ(cgi_env("TW_TEST_VAR", "dflt"), "value");
    testing_support::set_env("TW_TEST_VAR", nullptr);

    testing_support::set_env("REQUEST_METHOD", "");
    testing_support::set_env("PATH_INFO", nullptr);
    EXPECT_STREQ(cgi_method(), "GET");
    EXPECT_STREQ(cgi_path_info(), "/");
    testing_support::set_env("REQUEST_METHOD", "DELETE");
    testing_support::set_env("PATH_INFO", "/v2/x");
    EXPECT_STREQ(cgi_method(), "DELETE");
    EXPECT_STREQ(cgi_path_info(), "/v2/x");
    testing_support::set_env("REQUEST_METHOD", nullptr);
    testing_support::set_env("PATH_INFO", nullptr);
}

TEST(CgiHeaders, WritersPutOutExactLinesInCallOrder) {
    auto r = run_in_child([] {
        cgi_header_status(404, nullptr);
        cgi_header_status(200, "");
        cgi_header_status(206, "Partial Content");
        cgi_header_ct("text/x");
        cgi_header_extra("X-A: b");
        cgi_header_json();
        cgi_headers_end();
        fputs("body", stdout);
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out,
              "Status: 404\r\nStatus: 200\r\nStatus: 206 Partial Content\r\n"
              "Content-Type: text/x\r\nX-A: b\r\n"
              "Content-Type: application/json; charset=utf-8\r\n\r\nbody");
}

TEST(JsonEscape, EveryClassOfByte) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"plain/text", "plain/text"},
        {"\"", "\\\""},
        {"\\", "\\\\"},
        {"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
        {"\x01", "\\u0001"},
        {"\x1f", "\\u001f"},
        {"\x7f\xc8\xff", "\x7f\xc8\xff"},
        {"", ""},
    };
    for (const auto &c : cases) {
        auto r = run_in_child([&] { json_escape_f(stdout, c.in.c_str()); });
        EXPECT_EQ(r.out, c.out) << c.in;
    }
    auto r = run_in_child([] { json_escape_f(stdout, nullptr); });
    EXPECT_EQ(r.out, "");
}

TEST(BoundedCopies, StrlcpyCutsSilently) {
    char buf[8];
    memset(buf, 'z', sizeof buf);
    tw_strlcpy(buf, "abcdefghij", 8);
    EXPECT_STREQ(buf, "abcdefg");
    tw_strlcpy(buf, "abc", 1);
    EXPECT_STREQ(buf, "");
    memset(buf, 'z', sizeof buf);
    tw_strlcpy(buf, "abc", 0);
    EXPECT_EQ(buf[0], 'z');
    tw_strlcpy(buf, nullptr, sizeof buf);
    EXPECT_STREQ(buf, "");
    tw_strlcpy(nullptr, "abc", 8);  // writes nothing, does not crash
}

TEST(BoundedCopies, SnprintfReportsWhatWasKept) {
    struct Case {
        size_t size;
        const char *text;
        int result;
        const char *kept;
    } cases[] = {
        {8, "abcdefghijklmnopqrst", 7, "abcdefg"},
        {8, "abcdefg", 7, "abcdefg"},
        {8, "abc", 3, "abc"},
        {1, "abc", 0, ""},
    };
    for (const auto &c : cases) {
        char buf[32];
        EXPECT_EQ(tw_snprintf(buf, c.size, "%s", c.text), c.result) << c.text;
        EXPECT_STREQ(buf, c.kept);
    }
    char buf[4] = "xyz";
    EXPECT_EQ(tw_snprintf(buf, 0, "%s", "abc"), 0);
    EXPECT_STREQ(buf, "xyz");
    EXPECT_EQ(tw_snprintf(nullptr, 8, "%s", "abc"), 0);
}

}  // namespace

// Routing of request paths and the parsing of request values.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "edge/oci_common.h"

namespace {

struct RouteCase {
    const char *path;
    oci_route_kind kind;
    const char *name;
    const char *reference;
    int name_valid;
};

const RouteCase kRoutes[] = {
    {"/v2", OCI_ROUTE_BASE, "", "", 0},
    {"/v2/", OCI_ROUTE_BASE, "", "", 0},
    {"//v2/", OCI_ROUTE_BASE, "", "", 0},
    {"/v2x/", OCI_ROUTE_NONE, "", "", 0},
    {"/", OCI_ROUTE_NONE, "", "", 0},
    {"/v2/_catalog", OCI_ROUTE_CATALOG, "", "", 0},
    {"/v2/_catalog/", OCI_ROUTE_CATALOG, "", "", 0},
    {"/v2/library/alpine/tags/list", OCI_ROUTE_TAGS, "library/alpine", "", 1},
    {"/v2/a/tags/list/", OCI_ROUTE_TAGS, "a", "", 1},
    {"/v2/tags/list", OCI_ROUTE_TAGS, "", "", 0},
    {"/v2/a/manifests/latest", OCI_ROUTE_MANIFEST, "a", "latest", 1},
    {"/v2/a/b/manifests/sha256:ab", OCI_ROUTE_MANIFEST, "a/b", "sha256:ab", 1},
    // Markers are found from the right: "blobs" and "manifests" may be
    // components of a repository name.
    {"/v2/blobs/manifests/manifests/v1", OCI_ROUTE_MANIFEST, "blobs/manifests", "v1", 1},
    {"/v2/x/blobs/y/blobs/sha256:ab", OCI_ROUTE_BLOB, "x/blobs/y", "sha256:ab", 1},
    {"/v2/x/manifests/y/blobs/sha256:ab", OCI_ROUTE_BLOB, "x/manifests/y", "sha256:ab", 1},
    {"/v2/x/blobs/sha256:ab/", OCI_ROUTE_BLOB, "x", "sha256:ab", 1},
    {"/v2/x/blobs//sha256:ab", OCI_ROUTE_BLOB, "x", "sha256:ab", 1},
    {"/v2/x/blobs/uploads/", OCI_ROUTE_UPLOAD_START, "x", "", 1},
    {"/v2/x/blobs/uploads", OCI_ROUTE_UPLOAD_START, "x", "", 1},
    {"/v2/x/y/blobs/uploads/0123", OCI_ROUTE_UPLOAD, "x/y", "0123", 1},
    {"/v2/x/blobs/uploads/0123/", OCI_ROUTE_UPLOAD, "x", "0123", 1},
    {"/v2/x/referrers/sha256:ab", OCI_ROUTE_REFERRERS, "x", "sha256:ab", 1},
    {"/v2/x//y/manifests/v1", OCI_ROUTE_MANIFEST, "x//y", "v1", 0},
    {"/v2/-x/manifests/v1", OCI_ROUTE_MANIFEST, "-x", "v1", 0},
    {"/v2/manifests/v1", OCI_ROUTE_MANIFEST, "", "v1", 0},
    {"/v2/x/unknown/v1", OCI_ROUTE_NONE, "", "", 0},
    {"/v2/x", OCI_ROUTE_NONE, "", "", 0},
    {"/v2/x/manifests", OCI_ROUTE_NONE, "", "", 0},
    {"/v2/x/tags/other", OCI_ROUTE_NONE, "", "", 0},
};

TEST(Route, ClassifiesEveryPathFromTheRight) {
    for (const RouteCase &c : kRoutes) {
        SCOPED_TRACE(c.path);
        oci_route r;
        EXPECT_EQ(oci_route_path(c.path, &r), c.kind);
        EXPECT_EQ(r.kind, c.kind);
        if (c.kind == OCI_ROUTE_NONE || c.kind == OCI_ROUTE_BASE || c.kind == OCI_ROUTE_CATALOG)
            continue;
        EXPECT_STREQ(r.name, c.name);
        EXPECT_STREQ(r.reference, c.reference);
        EXPECT_EQ(r.name_valid, c.name_valid);
    }
}

TEST(Route, NamesAndReferencesThatDoNotFitAreNeverValid) {
    std::string name(255, 'a');
    oci_route r;
    EXPECT_EQ(oci_route_path(("/v2/" + name + "/manifests/v1").c_str(), &r), OCI_ROUTE_MANIFEST);
    EXPECT_EQ(r.name_valid, 1);
    EXPECT_EQ(oci_route_path(("/v2/" + name + "a/manifests/v1").c_str(), &r), OCI_ROUTE_MANIFEST);
    EXPECT_EQ(r.name_valid, 0);
    EXPECT_EQ(r.name_fits, 0);
    EXPECT_EQ(oci_route_path(("/v2/a/manifests/" + std::string(256, 'v')).c_str(), &r),
              OCI_ROUTE_MANIFEST);
    EXPECT_EQ(r.name_valid, 0) << "a cut reference must not pass as another one";
    EXPECT_EQ(oci_route_path(nullptr, &r), OCI_ROUTE_NONE);
}

struct RangeCase {
    const char *text;
    int ok;
    int64_t first, last;
};

TEST(ContentRange, ParsesFirstAndLastByte) {
    const RangeCase cases[] = {
        {"0-99", 1, 0, 99},
        {"100-100", 1, 100, 100},
        {"bytes 5-9", 1, 5, 9},
        {"bytes=5-9", 1, 5, 9},
        {"5-9/100", 1, 5, 9},
        {"9223372036854775806-9223372036854775807", 1, 9223372036854775806LL, INT64_MAX},
        {"9223372036854775808-9223372036854775809", 0, 0, 0},
        {"9-5", 0, 0, 0},
        {"-5", 0, 0, 0},
        {"5-", 0, 0, 0},
        {"5", 0, 0, 0},
        {"", 0, 0, 0},
        {"a-b", 0, 0, 0},
        {"5-9x", 0, 0, 0},
        {" 5-9", 0, 0, 0},
        {"+5-9", 0, 0, 0},
    };
    for (const RangeCase &c : cases) {
        SCOPED_TRACE(c.text);
        int64_t first = -7, last = -7;
        EXPECT_EQ(oci_parse_content_range(c.text, &first, &last), c.ok);
        if (c.ok) {
            EXPECT_EQ(first, c.first);
            EXPECT_EQ(last, c.last);
        } else {
            EXPECT_EQ(first, -7) << "nothing is written on failure";
        }
    }
    int64_t a, b;
    EXPECT_EQ(oci_parse_content_range(nullptr, &a, &b), 0);
}

TEST(PageSize, ParsesDecimalCountsOnly) {
    const struct {
        const char *text;
        int ok;
        int32_t n;
    } cases[] = {
        {"", 1, -1},       {"0", 1, 0},           {"7", 1, 7},
        {"0010", 1, 10},   {"2147483647", 1, INT32_MAX},
        {"99999999999999999999", 1, INT32_MAX},   {"-1", 0, 0},
        {"1e3", 0, 0},     {" 1", 0, 0},          {"x", 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        int32_t n = -7;
        EXPECT_EQ(oci_parse_page_size(c.text, &n), c.ok);
        if (c.ok) {
            EXPECT_EQ(n, c.n);
        }
    }
}

}  // namespace

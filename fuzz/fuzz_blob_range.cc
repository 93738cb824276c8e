// The byte range of a blob GET: whatever the Range header and the blob
// size, a range that is served lies inside the blob, its byte count cannot
// overflow, and the numbers are read as strtoll reads them.
#include <cstring>
#include <string>

#include "endpoint/v2_blob.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    // The first byte picks the blob size among those the size lookup can
    // give: -1 when it fails, else 0 up to the signed 64-bit limit.
    static const int64_t kSizes[] = {0, 1, 2, 100, 65536, 65537, -1, INT64_MAX, INT64_MAX - 1,
                                     4294967296LL};
    int64_t blob_size = kSizes[data[0] % (sizeof kSizes / sizeof kSizes[0])];
    std::string range = fuzz::c_text(data + 1, size - 1);

    int64_t first = -7, last = -7;
    int partial = -7;
    int rc = blob_range_parse(range.c_str(), blob_size, &first, &last, &partial);

    const char *dash = range.compare(0, 6, "bytes=") == 0 ? strchr(range.c_str() + 6, '-') : nullptr;
    bool applies = dash != nullptr;
    FUZZ_CHECK(rc == 0 || rc == -1);
    FUZZ_CHECK(partial == (applies ? 1 : 0));
    if (!applies) {
        FUZZ_CHECK(rc == 0);
        FUZZ_CHECK(first == 0);
        FUZZ_CHECK(last == (blob_size > 0 ? blob_size - 1 : 0));
        return 0;
    }
    if (dash == range.c_str() + 6) {
        // A suffix: the last N bytes, none for N of 0 or less or an empty blob.
        int64_t count = fuzz::ref_decimal(dash + 1);
        bool served = count > 0 && blob_size > 0;
        FUZZ_CHECK(rc == (served ? 0 : -1));
        if (served) {
            FUZZ_CHECK(first == (count >= blob_size ? 0 : blob_size - count));
            FUZZ_CHECK(last == blob_size - 1);
        }
        return 0;
    }
    int64_t want_first = fuzz::ref_decimal(range.c_str() + 6);
    if (want_first < 0) want_first = 0;
    int64_t want_last = dash[1] != '\0' ? fuzz::ref_decimal(dash + 1)
                                        : (blob_size > 0 ? blob_size - 1 : 0);
    if (want_last >= blob_size) want_last = blob_size - 1;
    bool satisfiable = want_first <= want_last;
    FUZZ_CHECK(rc == (satisfiable ? 0 : -1));
    if (rc == 0) {
        FUZZ_CHECK(first == want_first);
        FUZZ_CHECK(last == want_last);
        // A served range lies inside the blob, so last - first + 1 is a
        // positive count that fits.
        FUZZ_CHECK(blob_size > 0);
        FUZZ_CHECK(0 <= first && first <= last && last < blob_size);
    }
    return 0;
}

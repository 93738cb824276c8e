// The blob endpoint program: one CGI request per process.
#include "endpoint/v2_blob.h"

int main(void) { return handle_v2_blob(nullptr, nullptr); }

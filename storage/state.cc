// The storage's state: the root, whether it is ready, and the status and
// message of the most recent failure.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "storage/state.h"

char s_root[REG_ROOT_MAX];
int32_t s_ready;
char s_error[REG_ERROR_MAX];
char s_result[REG_RESULT_MAX];
reg_status s_status;
int32_t s_blobs_scoped = 0;


void set_error(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vsnprintf(s_error, sizeof s_error, format, ap);
    va_end(ap);
    s_status = REG_STATUS_IO_ERROR;
}

void set_status_error(reg_status status, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vsnprintf(s_error, sizeof s_error, format, ap);
    va_end(ap);
    s_status = status;
}

int require_ready(void) {
    if (s_ready) return 0;
    set_status_error(REG_STATUS_NOT_READY, "not initialized - call reg_storage_init first");
    return -1;
}

extern "C" {

void reg_storage_cleanup(void) {
    s_ready = 0;
    s_root[0] = '\0';
}

const char *reg_storage_last_error(void) { return s_error; }

reg_status reg_storage_last_status(void) { return s_status; }

void reg_storage_forget_error(void) {
    s_error[0] = '\0';
    s_status = REG_STATUS_OK;
}

}  // extern "C"

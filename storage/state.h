/*
 * state.h - the storage's process-wide state: the root, whether it is ready,
 * and the status and message of the most recent failure. The lowest floor of
 * the storage: the layout and every topic read it, and it reads nothing
 * above it. Private to the storage library and its tests.
 *
 * None of the storage's helpers writes a message unless its contract says
 * so; their callers choose the words.
 */
#ifndef STORAGE_STATE_H
#define STORAGE_STATE_H

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"
#include "storage/reg_storage.h"

#define REG_ROOT_MAX 3500      /* s_root: at most 3499 characters */
#define REG_ERROR_MAX 1024     /* s_error */
#define REG_RESULT_MAX 1048576 /* s_result */

extern char s_root[REG_ROOT_MAX];
extern int32_t s_ready;
extern char s_error[REG_ERROR_MAX];
/* The shared result buffer of the documents the storage returns as text. */
extern char s_result[REG_RESULT_MAX];
extern reg_status s_status;
/* Whether a blob is reachable only through the repositories that hold it
 * (reg_storage_scope_blobs). */
extern int32_t s_blobs_scoped;

/* Formats a message into s_error, cut after 1023 characters; the status is
 * REG_STATUS_IO_ERROR. */
void set_error(const char *format, ...) PLAT_PRINTF_FORMAT(1, 2);

/* Formats a message into s_error like set_error, with status. */
void set_status_error(reg_status status, const char *format, ...) PLAT_PRINTF_FORMAT(2, 3);

/* 0 when ready; otherwise sets "not initialized - call reg_storage_init
 * first" and gives -1. */
int require_ready(void);

/* The storage root that config.json text names: the value of the first
 * "storage_root": key, else of the first "registry_storage_root": key (the
 * key in double quotes directly followed by ':'), taken as the text between
 * the first two double quotes after that ':', raw (escapes are not decoded).
 * Written with its NUL into root (size bytes) only when it is at most 1023
 * bytes long and fits; otherwise root is left as it was. text ends at its
 * NUL. (state_root_choice.cc) */
void root_from_config_text(const char *text, char *root, size_t size);

#ifdef __cplusplus
#include <new>

/* Runs body and gives its result; when memory runs out inside it, sets
 * "out of memory" and gives on_failure instead, so that no exception leaves
 * the library's C interface. */
template <typename T, typename Body>
T unless_out_of_memory(T on_failure, Body body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
        return on_failure;
    }
}
#endif

#endif

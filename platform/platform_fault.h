/*
 * platform_fault.h - fault injection into the platform layer, for tests.
 *
 * Only a build of the platform compiled with PLAT_FAULT_INJECTION (the
 * tests' platform_faulty library) has these functions; the platform library
 * of the programs contains none of this.
 *
 * Every call of the platform that can fail counts once: attribute query,
 * directory creation and removal, file removal, rename, each kind of open
 * and create, write, sync, close, directory sync, seek, each step of a
 * directory listing, and each lock or retirement of a locked file. Once
 * armed with k, the k-th counted call fails the way the platform reports
 * that kind of failure: a query or a removal gives -1, a lock gives
 * PLAT_LOCK_FAILED, an open gives NULL, a write accepts only the first half of its bytes, a
 * close closes the stream and then reports -1, a listing step reports a
 * failed enumeration. Calls that cannot fail (the separator test, the clock,
 * the process id, stream modes) are not counted.
 *
 * One process, one thread: the counters are plain process-wide variables.
 */
#ifndef PLATFORM_PLATFORM_FAULT_H
#define PLATFORM_PLATFORM_FAULT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The kinds of counted calls. */
typedef enum plat_fault_op {
    PLAT_OP_STAT,
    PLAT_OP_MKDIR,
    PLAT_OP_RMDIR,
    PLAT_OP_REMOVE,
    PLAT_OP_RENAME,
    PLAT_OP_OPEN,
    PLAT_OP_CREATE,
    PLAT_OP_WRITE,
    PLAT_OP_SYNC,
    PLAT_OP_CLOSE,
    PLAT_OP_SYNC_DIR,
    PLAT_OP_SEEK,
    PLAT_OP_LIST,
    PLAT_OP_RANDOM,
    PLAT_OP_LOCK,
    PLAT_OP_KINDS
} plat_fault_op;

/* Disarms injection and starts counting calls from 0 again. */
void plat_fault_reset(void);

/* Starts counting calls from 0 and arms injection: the k-th call from now
 * (k from 1) fails; with persistent non-zero every call after it fails too,
 * as on a disk that has gone bad. k of 0 only counts. */
void plat_fault_arm(uint64_t k, int persistent);

/* Starts counting calls from 0 and arms an interleaving instead of a
 * failure: step runs once, just before the k-th call from now, which then
 * proceeds normally. It puts what another process might do between two
 * steps of an operation. The platform calls that step makes are neither
 * counted nor failed. */
void plat_fault_interleave(uint64_t k, void (*step)(void));

/* Calls counted since the last reset or arm. */
uint64_t plat_fault_calls(void);

/* Failures injected since the last reset or arm. */
uint64_t plat_fault_injected(void);

/* The kind of the first failure injected since the last reset or arm;
 * PLAT_OP_KINDS when none was. */
plat_fault_op plat_fault_first_kind(void);

/* A short lower-case name of a kind ("rename", "open", ...); "none" for
 * PLAT_OP_KINDS. */
const char *plat_fault_kind_name(plat_fault_op kind);

/* Counts one call of the given kind; 1 when that call must fail, else 0.
 * Called by the platform's entry points before they do anything. */
int plat_fault_hit(plat_fault_op kind);

#ifdef __cplusplus
}
#endif

#endif

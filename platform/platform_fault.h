/*
 * platform_fault.h - fault injection into the platform layer, for tests.
 *
 * Only a build of the platform compiled with PLAT_FAULT_INJECTION (the
 * tests' platform_faulty library) has these functions; the platform library
 * of the programs contains none of this.
 *
 * Every call of the platform that can fail counts once: attribute query,
 * directory creation and removal, file removal, rename, each kind of open
 * and create (a stream over functions too), read, write, sync, close,
 * directory sync, seek, each step of a directory listing, a draw of random
 * bytes, and each lock or retirement of a locked file. Once armed with k,
 * the k-th counted call fails the way the platform reports that kind of
 * failure: a query or a removal gives -1, a lock gives PLAT_LOCK_FAILED, an
 * open gives NULL, a read delivers at most the first half of its bytes and
 * sets the stream's error indicator, a write accepts only the first half of
 * its bytes, a close closes the stream and then reports -1, a listing step
 * reports a failed enumeration, a draw gives -1. Reads count on every
 * stream, standard input included: a request body that breaks off is a
 * failure its handler must survive as much as a file of the store that
 * cannot be read. Calls that cannot fail (the separator test, the clock,
 * the process id, stream modes, binding the standard streams) are not
 * counted.
 *
 * Beside the counter, hooks let a test watch or steer single kinds of
 * calls: the syncs (plat_fault_observe_sync), the random source
 * (plat_fault_random_source) and memory allocation (plat_fault_alloc_arm).
 *
 * One process, one thread: the counters are plain process-wide variables.
 */
#ifndef PLATFORM_PLATFORM_FAULT_H
#define PLATFORM_PLATFORM_FAULT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

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
    PLAT_OP_READ,
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

/* Watches the syncs: observer runs at each plat_fsync (f the stream, dir
 * NULL) and each plat_sync_dir (f NULL, dir the path) that the counter
 * lets through, before anything is synced. When it returns non-zero the
 * call fails as a failed sync does (-1, nothing synced). NULL removes the
 * observer. Neither plat_fault_reset nor plat_fault_arm changes it. */
void plat_fault_observe_sync(int (*observer)(FILE *f, const char *dir));

/* Makes source the random source of plat_random_bytes (NULL: the
 * operating system's again): a call that the counter lets through gives
 * what source gives and the bytes it wrote. For a test that must know
 * which bytes a draw gives. Neither plat_fault_reset nor plat_fault_arm
 * changes it. */
void plat_fault_random_source(int (*source)(void *buf, size_t count));

/* For the platform's entry points: 1 when the sync observer refuses the
 * sync of f or dir, else 0 (also without an observer). */
int plat_fault_sync_refused(FILE *f, const char *dir);

/* For plat_random_bytes: 1 when a source set by plat_fault_random_source
 * drew the bytes, its result in *result; 0 when none is set. */
int plat_fault_scripted_random(void *buf, size_t count, int *result);

/* Memory allocation. This build replaces the C++ allocation functions of
 * the program (operator new and delete in their plain, array and nothrow
 * forms; over-aligned ones excepted), and the platform makes its own
 * allocations (the state of a directory listing) with them, so that every
 * allocation of the storage's containers and strings and of the platform
 * passes one counter. An allocation that fails throws std::bad_alloc, or
 * gives NULL in the nothrow form, as when memory runs out; a platform call
 * whose allocation fails reports its ordinary failure (plat_dir_open gives
 * NULL). The C library's own allocations (a stream's buffer) do not pass
 * here. */

/* Starts counting allocations from 0 and watching which of them are freed
 * again: the k-th allocation from now (k from 1) fails, once; k of 0 only
 * counts and watches. */
void plat_fault_alloc_arm(uint64_t k);

/* Stops counting, watching and failing allocations; what was seen stays
 * readable below until the next plat_fault_alloc_arm. */
void plat_fault_alloc_stop(void);

/* Allocations counted since the last plat_fault_alloc_arm. */
uint64_t plat_fault_allocs(void);

/* 1 when the armed allocation failure happened, else 0. */
int plat_fault_alloc_failed(void);

/* Allocations made while watching that were not freed while watching;
 * UINT64_MAX when more were live at once than can be watched (4096). */
uint64_t plat_fault_allocs_live(void);

#ifdef __cplusplus
}
#endif

#endif

// The fault counter and the test hooks behind the platform's entry points
// in a build with PLAT_FAULT_INJECTION. Never part of the programs'
// platform library.
#include "platform/platform_fault.h"

#include <cstdlib>
#include <new>

#ifndef PLAT_FAULT_INJECTION
#error "platform_fault.cc belongs only to a build with PLAT_FAULT_INJECTION"
#endif

namespace {

uint64_t g_calls;
uint64_t g_fail_at;  // 0: never
int g_persistent;
uint64_t g_injected;
plat_fault_op g_first_kind = PLAT_OP_KINDS;
uint64_t g_step_at;  // 0: never
void (*g_step)(void);
bool g_in_step;

int (*g_sync_observer)(FILE *, const char *);
int (*g_random_source)(void *, size_t);

void start_counting(uint64_t fail_at, int persistent) {
    g_calls = 0;
    g_fail_at = fail_at;
    g_persistent = persistent;
    g_injected = 0;
    g_first_kind = PLAT_OP_KINDS;
    g_step_at = 0;
    g_step = nullptr;
}

// ---- Allocations ----------------------------------------------------------

constexpr int kWatchedMax = 4096;

bool g_alloc_counting;
uint64_t g_allocs;
uint64_t g_alloc_fail_at;  // 0: never
bool g_alloc_failed;
void *g_watched[kWatchedMax];
int g_watched_count;
bool g_watched_overflow;

// Counts one allocation while counting; true when it must fail.
bool alloc_fails() {
    if (!g_alloc_counting) return false;
    g_allocs++;
    if (g_alloc_fail_at == 0 || g_allocs != g_alloc_fail_at) return false;
    g_alloc_failed = true;
    return true;
}

void watch(void *p) {
    if (!g_alloc_counting || p == nullptr) return;
    if (g_watched_count == kWatchedMax) {
        g_watched_overflow = true;
        return;
    }
    g_watched[g_watched_count++] = p;
}

void unwatch(void *p) {
    if (!g_alloc_counting || p == nullptr) return;
    for (int i = 0; i < g_watched_count; i++) {
        if (g_watched[i] == p) {
            g_watched[i] = g_watched[--g_watched_count];
            return;
        }
    }
}

// NULL when the allocation is to fail or memory ran out.
void *allocate(size_t size) {
    if (alloc_fails()) return nullptr;
    void *p = malloc(size == 0 ? 1 : size);
    watch(p);
    return p;
}

void release(void *p) {
    unwatch(p);
    free(p);
}

void *allocate_or_throw(size_t size) {
    void *p = allocate(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

extern "C" {

void plat_fault_reset(void) { start_counting(0, 0); }

void plat_fault_arm(uint64_t k, int persistent) { start_counting(k, persistent != 0); }

void plat_fault_interleave(uint64_t k, void (*step)(void)) {
    start_counting(0, 0);
    g_step_at = k;
    g_step = step;
}

uint64_t plat_fault_calls(void) { return g_calls; }

uint64_t plat_fault_injected(void) { return g_injected; }

plat_fault_op plat_fault_first_kind(void) { return g_first_kind; }

const char *plat_fault_kind_name(plat_fault_op kind) {
    static const char *const kNames[PLAT_OP_KINDS] = {
        "stat", "mkdir", "rmdir", "remove", "rename", "open", "create", "write",
        "sync", "close", "sync_dir", "seek", "list", "random", "read", "lock"};
    return kind >= 0 && kind < PLAT_OP_KINDS ? kNames[kind] : "none";
}

int plat_fault_hit(plat_fault_op kind) {
    if (g_in_step) return 0;
    g_calls++;
    if (g_step != nullptr && g_calls == g_step_at) {
        g_in_step = true;
        g_step();
        g_in_step = false;
    }
    bool fail = g_fail_at != 0 && (g_calls == g_fail_at || (g_persistent && g_calls > g_fail_at));
    if (!fail) return 0;
    if (g_injected++ == 0) g_first_kind = kind;
    return 1;
}

void plat_fault_observe_sync(int (*observer)(FILE *f, const char *dir)) {
    g_sync_observer = observer;
}

int plat_fault_sync_refused(FILE *f, const char *dir) {
    return g_sync_observer != nullptr && g_sync_observer(f, dir) != 0 ? 1 : 0;
}

void plat_fault_random_source(int (*source)(void *buf, size_t count)) {
    g_random_source = source;
}

int plat_fault_scripted_random(void *buf, size_t count, int *result) {
    if (g_random_source == nullptr) return 0;
    *result = g_random_source(buf, count);
    return 1;
}

void plat_fault_alloc_arm(uint64_t k) {
    g_alloc_counting = true;
    g_allocs = 0;
    g_alloc_fail_at = k;
    g_alloc_failed = false;
    g_watched_count = 0;
    g_watched_overflow = false;
}

void plat_fault_alloc_stop(void) {
    g_alloc_counting = false;
    g_alloc_fail_at = 0;
}

uint64_t plat_fault_allocs(void) { return g_allocs; }

int plat_fault_alloc_failed(void) { return g_alloc_failed ? 1 : 0; }

uint64_t plat_fault_allocs_live(void) {
    return g_watched_overflow ? UINT64_MAX : static_cast<uint64_t>(g_watched_count);
}

}  // extern "C"

// The program's C++ allocation functions. The other forms of the standard
// library (sized deletion) end in these.
void *operator new(size_t size) { return allocate_or_throw(size); }
void *operator new[](size_t size) { return allocate_or_throw(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return allocate(size); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return allocate(size); }
void operator delete(void *p) noexcept { release(p); }
void operator delete[](void *p) noexcept { release(p); }
void operator delete(void *p, size_t) noexcept { release(p); }
void operator delete[](void *p, size_t) noexcept { release(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { release(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { release(p); }

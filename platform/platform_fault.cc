// The fault counter behind the platform's entry points in a build with
// PLAT_FAULT_INJECTION. Never part of the programs' platform library.
#include "platform/platform_fault.h"

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

void start_counting(uint64_t fail_at, int persistent) {
    g_calls = 0;
    g_fail_at = fail_at;
    g_persistent = persistent;
    g_injected = 0;
    g_first_kind = PLAT_OP_KINDS;
    g_step_at = 0;
    g_step = nullptr;
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
        "stat", "mkdir", "rmdir", "remove", "rename", "open", "create",
        "write", "sync", "close", "sync_dir", "seek", "list", "random", "lock"};
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

}  // extern "C"

#include "platform/faults.h"

namespace {
thread_local int g_calls[CALL_COUNT];
thread_local int g_fail_at[CALL_COUNT];
} // namespace

void FaultsReset() {
    for (int i = 0; i < CALL_COUNT; i++) {
        g_calls[i] = 0;
        g_fail_at[i] = 0;
    }
}

void FaultsArm(PlatformCall call, int k) { g_fail_at[call] = k; }

int FaultsCalls(PlatformCall call) { return g_calls[call]; }

bool FaultsHit(PlatformCall call) {
    g_calls[call]++;
    return g_fail_at[call] != 0 && g_calls[call] == g_fail_at[call];
}

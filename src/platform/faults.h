// Fault injection for tests: make the k-th call of one platform service fail.
//
// Only builds with PXCM_FAULTS defined (the library the tests link) carry
// the hooks; the shipped libraries have none. The plan and the counters are
// per thread, so tests on different threads do not disturb each other.
#ifndef PXCM_PLATFORM_FAULTS_H
#define PXCM_PLATFORM_FAULTS_H

enum PlatformCall {
    CALL_OPEN_FILE,
    CALL_OPEN_MEMORY,
    CALL_SEEK,
    CALL_READ,
    CALL_GET_INFO,
    CALL_CLOSE,
    CALL_BLOCK_ALLOC,
    CALL_BLOCK_LOCK,
    CALL_HEAP_ALLOC,
    CALL_FILE_READ,
    CALL_FILE_REWIND,
    CALL_COUNT
};

// Forget every plan and set every counter to 0.
void FaultsReset();
// Make the k-th call (counted from 1, after the last reset) of `call` fail.
void FaultsArm(PlatformCall call, int k);
// How many calls of `call` were made since the last reset.
int FaultsCalls(PlatformCall call);
// Counts one call of `call`; true when it is the one to fail.
bool FaultsHit(PlatformCall call);

#endif

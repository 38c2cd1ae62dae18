#include <cpuid.h>
#include <x86intrin.h>

#include "kernels/kernels.h"

namespace varnesk {

int BitTest(int32_t index, const uint32_t* words) {
    uint32_t i = static_cast<uint32_t>(index);
    return static_cast<int>((words[i >> 5] >> (i & 31)) & 1u);
}

int BitTestAndSet(int32_t index, uint32_t* words) {
    uint32_t i = static_cast<uint32_t>(index);
    uint32_t mask = 1u << (i & 31);
    int old = (words[i >> 5] & mask) != 0;
    words[i >> 5] |= mask;
    return old;
}

int BitTestAndClear(int32_t index, uint32_t* words) {
    uint32_t i = static_cast<uint32_t>(index);
    uint32_t mask = 1u << (i & 31);
    int old = (words[i >> 5] & mask) != 0;
    words[i >> 5] &= ~mask;
    return old;
}

int32_t GetCpuId(char* vendor, int32_t* family, int32_t* model, int32_t* stepping) {
    *family = *model = *stepping = 0;
    vendor[0] = vendor[1] = vendor[2] = vendor[3] = 0;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(0, eax, ebx, ecx, edx);
    const unsigned regs[3] = {ebx, edx, ecx};
    for (int r = 0; r < 3; ++r)
        for (int b = 0; b < 4; ++b) vendor[r * 4 + b] = static_cast<char>((regs[r] >> (8 * b)) & 0xFF);
    vendor[12] = 0;
    if (eax == 0) return 0;
    __cpuid(1, eax, ebx, ecx, edx);
    *stepping = static_cast<int32_t>(eax & 0xF);
    *model = static_cast<int32_t>((eax >> 4) & 0xF);
    *family = static_cast<int32_t>((eax >> 8) & 0xF);
    return *family;
}

void KernelContext::ResetCycleTimers() {
    for (int i = 0; i < 5; ++i) timerStart[i] = timerTotal[i] = 0;
}

void KernelContext::StartCycleTimer(int timer) {
    unsigned aux;
    timerStart[timer] = __rdtscp(&aux);
}

void KernelContext::StopCycleTimer(int timer) {
    unsigned aux;
    uint64_t now = __rdtscp(&aux);
    if (now >= timerStart[timer]) timerTotal[timer] += now - timerStart[timer];
}

uint64_t KernelContext::ReadCycleTimer(int timer) const { return timerTotal[timer]; }

}  // namespace varnesk

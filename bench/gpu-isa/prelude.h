// The OpenCL built-ins for clang's own OpenCL C front end, which comes without
// libclc: included before gpu/sieve.cl when bench/gpu-isa.sh compiles it to
// NVIDIA (nvptx64) and AMD (amdgcn) machine code. Each one is written so that
// clang emits the single instruction a vendor's driver uses for it (mul.hi.u64,
// clz.b64, popc, atom.global.add, ...), so that the counts are those of the
// kernels and not of a stand-in.
//
// Not clang's __nvvm_mulhi_ull or __builtin_clzll: they take "long long",
// which OpenCL C makes 128 bits wide, and the walk then compiles to a loop
// without a single multiply. __builtin_clzl / __builtin_popcountl take
// "long", 64 bits in OpenCL C.
//
// Only integer built-ins, scalar, and the work-item functions; a kernel that
// calls one missing here fails in ptxas on an unresolved function: add it.

#define GPU_ISA_OVL __attribute__((overloadable))

// ---------------------------------------------------------------- integers

GPU_ISA_OVL ulong mul_hi(ulong a, ulong b) { return (ulong)(((unsigned __int128)a * b) >> 64); }
GPU_ISA_OVL long mul_hi(long a, long b) { return (long)(((__int128)a * b) >> 64); }
GPU_ISA_OVL uint mul_hi(uint a, uint b) { return (uint)(((ulong)a * b) >> 32); }
GPU_ISA_OVL int mul_hi(int a, int b) { return (int)(((long)a * b) >> 32); }
GPU_ISA_OVL ulong mad_hi(ulong a, ulong b, ulong c) { return mul_hi(a, b) + c; }
GPU_ISA_OVL uint mad_hi(uint a, uint b, uint c) { return mul_hi(a, b) + c; }
GPU_ISA_OVL uint mul24(uint a, uint b) { return (a & 0xffffffu) * (b & 0xffffffu); }
GPU_ISA_OVL uint mad24(uint a, uint b, uint c) { return (a & 0xffffffu) * (b & 0xffffffu) + c; }

GPU_ISA_OVL ulong clz(ulong x) { return x ? (ulong)__builtin_clzl(x) : 64; }
GPU_ISA_OVL long clz(long x) { return x ? (long)__builtin_clzl((ulong)x) : 64; }
GPU_ISA_OVL uint clz(uint x) { return x ? (uint)__builtin_clz(x) : 32; }
GPU_ISA_OVL int clz(int x) { return x ? (int)__builtin_clz((uint)x) : 32; }
GPU_ISA_OVL ulong popcount(ulong x) { return (ulong)__builtin_popcountl(x); }
GPU_ISA_OVL uint popcount(uint x) { return (uint)__builtin_popcount(x); }
GPU_ISA_OVL uint rotate(uint x, uint n) { return (x << (n & 31)) | (x >> ((32 - n) & 31)); }
GPU_ISA_OVL ulong rotate(ulong x, ulong n) { return (x << (n & 63)) | (x >> ((64 - n) & 63)); }

GPU_ISA_OVL uint min(uint a, uint b) { return a < b ? a : b; }
GPU_ISA_OVL int min(int a, int b) { return a < b ? a : b; }
GPU_ISA_OVL ulong min(ulong a, ulong b) { return a < b ? a : b; }
GPU_ISA_OVL long min(long a, long b) { return a < b ? a : b; }
GPU_ISA_OVL uint max(uint a, uint b) { return a > b ? a : b; }
GPU_ISA_OVL int max(int a, int b) { return a > b ? a : b; }
GPU_ISA_OVL ulong max(ulong a, ulong b) { return a > b ? a : b; }
GPU_ISA_OVL long max(long a, long b) { return a > b ? a : b; }

GPU_ISA_OVL ulong upsample(uint hi, uint lo) { return ((ulong)hi << 32) | lo; }
GPU_ISA_OVL uint upsample(ushort hi, ushort lo) { return ((uint)hi << 16) | lo; }

// ---------------------------------------------------------------- atomics
// OpenCL 1.2's atomics are relaxed. clang's nvptx64 target takes no
// __atomic_* (it makes library calls of them); its __sync_* give the driver's
// atom.global.* with no fence. On amdgcn __sync_* would add fences.

#if defined(__NVPTX__)
#define GPU_ISA_ADD(p, v) __sync_fetch_and_add(p, v)
#define GPU_ISA_SUB(p, v) __sync_fetch_and_sub(p, v)
#define GPU_ISA_XCHG(p, v) __sync_lock_test_and_set(p, v)
#define GPU_ISA_OR(p, v) __sync_fetch_and_or(p, v)
#define GPU_ISA_CMPXCHG(p, e, v) __sync_val_compare_and_swap(p, e, v)
#define GPU_ISA_MIN_uint(p, v) __sync_fetch_and_umin(p, v)
#define GPU_ISA_MAX_uint(p, v) __sync_fetch_and_umax(p, v)
#define GPU_ISA_MIN_int(p, v) __sync_fetch_and_min(p, v)
#define GPU_ISA_MAX_int(p, v) __sync_fetch_and_max(p, v)
#else
#define GPU_ISA_ADD(p, v) __atomic_fetch_add(p, v, __ATOMIC_RELAXED)
#define GPU_ISA_SUB(p, v) __atomic_fetch_sub(p, v, __ATOMIC_RELAXED)
#define GPU_ISA_XCHG(p, v) __atomic_exchange_n(p, v, __ATOMIC_RELAXED)
#define GPU_ISA_OR(p, v) __atomic_fetch_or(p, v, __ATOMIC_RELAXED)
#define GPU_ISA_CMPXCHG(p, e, v) \
    (__atomic_compare_exchange_n(p, &e, v, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED), e)
#define GPU_ISA_MIN_uint(p, v) __atomic_fetch_min(p, v, __ATOMIC_RELAXED)
#define GPU_ISA_MAX_uint(p, v) __atomic_fetch_max(p, v, __ATOMIC_RELAXED)
#define GPU_ISA_MIN_int(p, v) __atomic_fetch_min(p, v, __ATOMIC_RELAXED)
#define GPU_ISA_MAX_int(p, v) __atomic_fetch_max(p, v, __ATOMIC_RELAXED)
#endif

#define GPU_ISA_ATOMICS(SPACE, T)                                                                           \
    GPU_ISA_OVL T atomic_inc(volatile SPACE T* p) { return GPU_ISA_ADD(p, (T)1); }                          \
    GPU_ISA_OVL T atomic_dec(volatile SPACE T* p) { return GPU_ISA_SUB(p, (T)1); }                          \
    GPU_ISA_OVL T atomic_add(volatile SPACE T* p, T v) { return GPU_ISA_ADD(p, v); }                        \
    GPU_ISA_OVL T atomic_sub(volatile SPACE T* p, T v) { return GPU_ISA_SUB(p, v); }                        \
    GPU_ISA_OVL T atomic_xchg(volatile SPACE T* p, T v) { return GPU_ISA_XCHG(p, v); }                      \
    GPU_ISA_OVL T atomic_or(volatile SPACE T* p, T v) { return GPU_ISA_OR(p, v); }                          \
    GPU_ISA_OVL T atomic_min(volatile SPACE T* p, T v) { return GPU_ISA_MIN_##T(p, v); }                    \
    GPU_ISA_OVL T atomic_max(volatile SPACE T* p, T v) { return GPU_ISA_MAX_##T(p, v); }                    \
    GPU_ISA_OVL T atomic_cmpxchg(volatile SPACE T* p, T e, T v) { return GPU_ISA_CMPXCHG(p, e, v); }
GPU_ISA_ATOMICS(__global, uint)
GPU_ISA_ATOMICS(__global, int)
GPU_ISA_ATOMICS(__local, uint)
GPU_ISA_ATOMICS(__local, int)
#undef GPU_ISA_ATOMICS

// ---------------------------------------------------------------- work items
// No global offset: the host launches without one.

#if defined(__NVPTX__)

GPU_ISA_OVL size_t get_local_id(uint d) {
    return d == 0 ? __nvvm_read_ptx_sreg_tid_x() : d == 1 ? __nvvm_read_ptx_sreg_tid_y() : d == 2 ? __nvvm_read_ptx_sreg_tid_z() : 0;
}
GPU_ISA_OVL size_t get_local_size(uint d) {
    return d == 0 ? __nvvm_read_ptx_sreg_ntid_x() : d == 1 ? __nvvm_read_ptx_sreg_ntid_y() : d == 2 ? __nvvm_read_ptx_sreg_ntid_z() : 1;
}
GPU_ISA_OVL size_t get_group_id(uint d) {
    return d == 0 ? __nvvm_read_ptx_sreg_ctaid_x() : d == 1 ? __nvvm_read_ptx_sreg_ctaid_y() : d == 2 ? __nvvm_read_ptx_sreg_ctaid_z() : 0;
}
GPU_ISA_OVL size_t get_num_groups(uint d) {
    return d == 0 ? __nvvm_read_ptx_sreg_nctaid_x() : d == 1 ? __nvvm_read_ptx_sreg_nctaid_y() : d == 2 ? __nvvm_read_ptx_sreg_nctaid_z() : 1;
}
GPU_ISA_OVL void barrier(cl_mem_fence_flags flags) { __nvvm_bar_sync(0); }

#elif defined(__AMDGCN__)

GPU_ISA_OVL size_t get_local_id(uint d) {
    return d == 0 ? __builtin_amdgcn_workitem_id_x() : d == 1 ? __builtin_amdgcn_workitem_id_y() : d == 2 ? __builtin_amdgcn_workitem_id_z() : 0;
}
GPU_ISA_OVL size_t get_local_size(uint d) {
    return d == 0 ? __builtin_amdgcn_workgroup_size_x() : d == 1 ? __builtin_amdgcn_workgroup_size_y() : d == 2 ? __builtin_amdgcn_workgroup_size_z() : 1;
}
GPU_ISA_OVL size_t get_group_id(uint d) {
    return d == 0 ? __builtin_amdgcn_workgroup_id_x() : d == 1 ? __builtin_amdgcn_workgroup_id_y() : d == 2 ? __builtin_amdgcn_workgroup_id_z() : 0;
}
// The dispatch packet's grid size (hsa_kernel_dispatch_packet_t, bytes 12, 16, 20).
GPU_ISA_OVL size_t get_num_groups(uint d) {
    if (d > 2) return 1;
    const __constant uint* packet = (const __constant uint*)__builtin_amdgcn_dispatch_ptr();
    const size_t size = get_local_size(d);
    return (packet[3 + d] + size - 1) / size;
}
GPU_ISA_OVL void barrier(cl_mem_fence_flags flags) {
    __builtin_amdgcn_fence(__ATOMIC_RELEASE, "workgroup");
    __builtin_amdgcn_s_barrier();
    __builtin_amdgcn_fence(__ATOMIC_ACQUIRE, "workgroup");
}

#else
#error "bench/gpu-isa/prelude.h: compile for nvptx64 or amdgcn"
#endif

GPU_ISA_OVL size_t get_global_id(uint d) { return get_group_id(d) * get_local_size(d) + get_local_id(d); }
GPU_ISA_OVL size_t get_global_size(uint d) { return get_num_groups(d) * get_local_size(d); }
GPU_ISA_OVL size_t get_global_offset(uint d) { return 0; }
GPU_ISA_OVL uint get_work_dim(void) { return 1; }

#undef GPU_ISA_OVL

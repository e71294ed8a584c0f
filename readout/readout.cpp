#include "readout/readout.h"

#include "readout/readout_fast.h"
#include "readout/row_kernels.h"

namespace {

bool processorRuns(SimdLevel level) {
    switch (level) {
        case SimdLevel::Scalar:
            return true;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
        // The feature bits also cover the system: AVX2 counts only when it saves
        // the wide registers.
        case SimdLevel::Sse2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("sse2");
        case SimdLevel::Avx2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2");
        case SimdLevel::Avx512:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx2");
#else
        case SimdLevel::Sse2:
        case SimdLevel::Avx2:
        case SimdLevel::Avx512:
            return false;
#endif
    }
    return false;
}

const RowKernels *builtKernels(SimdLevel level) {
    switch (level) {
        case SimdLevel::Scalar:
            return &portableRowKernels();
        case SimdLevel::Sse2:
            return sse2RowKernels();
        case SimdLevel::Avx2:
            return avx2RowKernels();
        case SimdLevel::Avx512:
            return avx512RowKernels();
    }
    return nullptr;
}

const RowKernels *availableKernels(SimdLevel level) {
    const RowKernels *kernels = builtKernels(level);
    return kernels != nullptr && processorRuns(level) ? kernels : nullptr;
}

SimdLevel chooseLevel() {
    for (SimdLevel level : {SimdLevel::Avx512, SimdLevel::Avx2, SimdLevel::Sse2}) {
        if (availableKernels(level) != nullptr) {
            return level;
        }
    }
    return SimdLevel::Scalar;
}

// Chosen when the module loads, before a host can call it: the readout then
// takes no initialisation guard (a lock) on its way. The tables are constants.
const RowKernels *const kBestKernels = availableKernels(chooseLevel());

}  // namespace

const char *simdLevelName(SimdLevel level) {
    switch (level) {
        case SimdLevel::Scalar:
            return "scalar";
        case SimdLevel::Sse2:
            return "sse2";
        case SimdLevel::Avx2:
            return "avx2";
        case SimdLevel::Avx512:
            return "avx512";
    }
    return "?";
}

bool simdLevelBuilt(SimdLevel level) { return builtKernels(level) != nullptr; }

bool simdLevelAvailable(SimdLevel level) { return availableKernels(level) != nullptr; }

SimdLevel bestSimdLevel() { return chooseLevel(); }

bool readFrameWith(SimdLevel level, uint32_t mode, const ReadoutWindow &window, const uint8_t *raw,
                   uint16_t *image) {
    const RowKernels *kernels = availableKernels(level);
    if (kernels == nullptr) {
        return false;
    }
    readFrameFast(*kernels, mode, window, raw, image);
    return true;
}

void readFrame(uint32_t mode, const ReadoutWindow &window, const uint8_t *raw, uint16_t *image) {
#if defined(QM_FORCE_REFERENCE_READOUT)
    readFrameReference(mode, window, raw, image);
#else
    readFrameFast(*kBestKernels, mode, window, raw, image);
#endif
}

#include "readout/row_kernels_portable.h"

#include "readout/row_kernels.h"

const RowKernels &portableRowKernels() {
    static constexpr RowKernels kKernels{
        .copy = copyRowPortable,
        .pairSum = pairSumRowPortable,
        .cells2x2 = cellsRowPortable<2, 2>,
        .cells4x4 = cellsRowPortable<4, 4>,
        .cells2x4 = cellsRowPortable<2, 4>,
    };
    return kKernels;
}

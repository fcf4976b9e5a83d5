// Runs a test body once with each set of kernels this CPU can take, so that
// the AVX2 and portable paths are tested where the CPU has faster ones too.
#pragma once

#include <gtest/gtest.h>

#include "kernel_list.h"

namespace vorik_test {

// Calls `body(kernels)` with each runnable set in use in turn, its name in
// the messages of any failure; the set in use before is in use again after.
template <typename Body>
void on_every_kernel(Body body) {
    const vorik::detail::Kernels& before = vorik::detail::kernels_in_use();
    for (const vorik::detail::Kernels& kernels : vorik::detail::runnable_kernels()) {
        SCOPED_TRACE(testing::Message() << kernels.name << " kernels");
        vorik::detail::use_kernels(kernels);
        body(kernels);
    }
    vorik::detail::use_kernels(before);
}

}  // namespace vorik_test

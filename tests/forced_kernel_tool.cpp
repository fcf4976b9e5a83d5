// vorik with the kernels that the environment variable VORIK_TEST_KERNEL
// names, for the end-to-end tests: they run the tool's whole comparison with
// each set of kernels the CPU can run, not only the fastest. Built for the
// tests alone; the shipped tool reads no environment variable.
//
// Without the variable it lists the sets the CPU can run, one a line,
// fastest first: the first is the one vorik runs.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "comparison.h"
#include "kernel_list.h"

namespace {

constexpr char KERNEL_VARIABLE[] = "VORIK_TEST_KERNEL";
constexpr int EXIT_NO_SUCH_KERNELS = 2;

}  // namespace

int main(int argc, char** argv) {
    const char* wanted = std::getenv(KERNEL_VARIABLE);
    if (wanted == nullptr) {
        for (const vorik::detail::Kernels& kernels : vorik::detail::runnable_kernels()) {
            std::printf("%s\n", kernels.name);
        }
        return EXIT_SUCCESS;
    }
    for (const vorik::detail::Kernels& kernels : vorik::detail::runnable_kernels()) {
        if (std::string_view(kernels.name) == wanted) {
            vorik::detail::use_kernels(kernels);
            return vorik::run_comparison(argc, argv);
        }
    }
    std::fprintf(stderr, "%s=%s: no such kernels run on this CPU\n", KERNEL_VARIABLE, wanted);
    return EXIT_NO_SUCH_KERNELS;
}

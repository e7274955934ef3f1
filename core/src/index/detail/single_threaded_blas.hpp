#pragma once

#include <cblas.h>

namespace tvdb {

// The BLAS runs on the thread that calls it (and on the workers a caller starts itself); an
// OpenBLAS pool of its own would compete with them, so the library is told once to stay
// single-threaded before its first use.
inline void keep_blas_single_threaded() {
    static const bool configured = [] {
        openblas_set_num_threads(1);
        return true;
    }();
    (void)configured;
}

}  // namespace tvdb

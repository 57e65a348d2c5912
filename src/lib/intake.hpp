// Taking a NumPy float64 array in as the dense, row-major signal matrix that
// every model reads. The array is only read during the call; later changes to
// it cannot reach a built engine.
#pragma once

#include "common/result.hpp"
#include "lib/signature.hpp"

#include <cstdint>
#include <vector>

namespace marbolt::py {

struct SignalMatrix {
    std::vector<double> data;  // n * d entries, element (i, j) at i * d + j
    std::uint64_t n = 0;
    std::uint64_t d = 0;
};

// The array kind: a NumPy array whose dtype is equivalent to float64 (by
// NumPy's own test, so a byte-swapped float64 is refused too). Anything else
// gets the wrong-type TypeError, without an argument prefix.
bool check_float64_array(PyObject* o);
bool to_array(const BoundArgs& a, std::size_t i, PyObject*& out);

// Shape, size and budget checks, then a bit-exact copy in logical row-major
// order whatever the array's strides. `array` must pass check_float64_array.
Result<SignalMatrix> as_matrix(PyObject* array);

}  // namespace marbolt::py

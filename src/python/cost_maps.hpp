#pragma once
#include <Python.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <vector>

#include "../weave/evaluation/evaluate.hpp"

namespace gwpy {

// Row-major private copy of a caller's cost map (any memory order or strides).
struct OwnedCostMap {
  size_t rows = 0, cols = 0;
  std::vector<double> cells;
  weave::CostMap view() const { return weave::CostMap{rows, cols, cells.data()}; }
};

// Copies a two-dimensional float64 array; NaN cells are refused with a
// ValueError naming `argument`, and so are negative ones when `non_negative`.
OwnedCostMap copy_cost_map(PyObject* obj, const char* argument, bool non_negative = false);

// A caller's cost map for the length of one call, cells taken as they are. A
// C-contiguous float64 array is read in place (the reference keeps it alive);
// any other layout is copied once.
class BorrowedCostMap {
 public:
  explicit BorrowedCostMap(PyObject* obj);
  BorrowedCostMap(const BorrowedCostMap&) = delete;  // the view may point into copy_
  BorrowedCostMap& operator=(const BorrowedCostMap&) = delete;
  weave::CostMap view() const { return view_; }

 private:
  nanobind::ndarray<const double, nanobind::ndim<2>, nanobind::c_contig, nanobind::device::cpu> array_;
  OwnedCostMap copy_;
  weave::CostMap view_;
};

// A new C-contiguous float64 array that owns `cells`.
PyObject* new_array(std::vector<double>&& cells, size_t rows, size_t cols);

}  // namespace gwpy

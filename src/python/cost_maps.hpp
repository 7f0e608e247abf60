#pragma once
#include <Python.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "../weave/evaluation/evaluate.hpp"

namespace gwpy {

// Row-major private copy of a caller's cost map (any memory order or strides).
struct OwnedCostMap {
  size_t rows = 0, cols = 0;
  std::vector<double> cells;
  weave::CostMap view() const { return weave::CostMap{rows, cols, cells.data()}; }
};

// A caller's cost map for the length of one call, cells taken as they are. A
// C-contiguous float64 or float32 array is read in place (the reference keeps
// it alive); any other layout is copied once, as float64. Its impassable
// blocks are found as edges reach them, once per call.
class BorrowedCostMap {
 public:
  explicit BorrowedCostMap(PyObject* obj);
  BorrowedCostMap(const BorrowedCostMap&) = delete;  // the view may point into copy_
  BorrowedCostMap& operator=(const BorrowedCostMap&) = delete;
  weave::CostMap view() const { return view_; }
  size_t rows() const { return view_.rows; }
  size_t cols() const { return view_.cols; }
  // Lets the view carry what the network must join besides its terminals. The
  // existing network's cells cost nothing: they are zeroed (in a copy, made
  // only when one of them holds a cost).
  void attach(const weave::Attachments* attachments);

 private:
  template <class T>
  using Contiguous = nanobind::ndarray<const T, nanobind::ndim<2>, nanobind::c_contig, nanobind::device::cpu>;
  Contiguous<double> array64_;
  Contiguous<float> array32_;
  OwnedCostMap copy_;
  std::unique_ptr<weave::ImpassableBlocks> blocks_;
  weave::CostMap view_;
};

// A borrowed cost map for a search: NaN cells and negative costs are refused
// with a ValueError naming `argument` (a search over negative steps never ends).
std::unique_ptr<BorrowedCostMap> searchable_cost_map(PyObject* obj, const char* argument);

// The existing network and regions of a call, from its keyword arguments
// `existing` (an array of row-major cell indices, or None) and `regions` (a
// list of such arrays, or None); null when neither is given. Cells must lie on
// the map and regions must not be empty (ValueError naming the argument).
std::unique_ptr<weave::Attachments> to_attachments(PyObject* existing, PyObject* regions, size_t rows,
                                                   size_t cols);

// A new C-contiguous float64 array that owns `cells`.
PyObject* new_array(std::vector<double>&& cells, size_t rows, size_t cols);

}  // namespace gwpy

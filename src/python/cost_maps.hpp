#pragma once
#include <Python.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../weave/evaluation/evaluate.hpp"

namespace gwpy {
namespace nb = nanobind;

// Row-major private copy of a caller's cost map (any memory order or strides).
struct OwnedCostMap {
  size_t rows = 0, cols = 0;
  std::vector<double> cells;
  weave::CostMap view() const { return weave::CostMap{rows, cols, cells.data()}; }
};

// How a caller's array becomes a cost map. Every entry that takes a cost map
// goes through CostMapView, the one place that gives its cells a meaning: NaN,
// masked and `nodata` cells are impassable (+inf, as an infinite cost is), and
// a negative cost (-inf too) is refused with a ValueError naming the first one.
struct CostRules {
  std::optional<double> nodata;  // cells of this value are impassable
  bool searchable = false;       // a search needs one passable cell
  bool any_array = false;        // lists and integer arrays too, not only float32/float64 arrays
};

// A caller's cost map for the length of one call. A C-contiguous float64 or
// float32 array without NaN, masked or nodata cells is read in place (the
// reference keeps it alive); any other is copied once, as float64, with its
// impassable cells set to +inf. An array checked before (the same live object,
// read without nodata) is not scanned again, so a map handed from call to call
// costs one scan; cells changed in place after that are taken as they are. Its impassable blocks are found as
// edges reach them, once per call. `source` begins each error message ("argument 'cost_map'", or a file's
// name).
class CostMapView {
 public:
  CostMapView(PyObject* obj, const std::string& source, const CostRules& rules = {});
  CostMapView(const CostMapView&) = delete;  // the view may point into copy_
  CostMapView& operator=(const CostMapView&) = delete;
  weave::CostMap view() const { return view_; }
  size_t rows() const { return view_.rows; }
  size_t cols() const { return view_.cols; }
  // Lets the view carry what the network must join besides its terminals. The
  // existing network's cells cost nothing: they are zeroed (in a copy, made
  // only when one of them holds a cost).
  void attach(const weave::Attachments* attachments);
  // The cells as a NumPy array: the array read in place, or the copy (which
  // leaves this view empty).
  nb::object release_array();

 private:
  template <class T>
  using Contiguous = nanobind::ndarray<const T, nanobind::ndim<2>, nanobind::c_contig, nanobind::device::cpu>;
  void read(nb::handle cells);
  void apply(const CostRules& rules, const std::string& source, nb::handle mask);
  void own_cells();
  nb::object source_;  // the array the view reads in place, if it does
  Contiguous<double> array64_;
  Contiguous<float> array32_;
  OwnedCostMap copy_;
  std::unique_ptr<weave::ImpassableBlocks> blocks_;
  weave::CostMap view_;
};

// A cost map for a search, whose steps must all cost something finite and
// positive-or-zero: as above, and a map without one passable cell is refused.
std::unique_ptr<CostMapView> searchable_cost_map(PyObject* obj, const char* argument);

// The existing network and regions of a call, from its keyword arguments
// `existing` (an array of row-major cell indices, or None) and `regions` (a
// list of such arrays, or None); null when neither is given. Cells must lie on
// the map and regions must not be empty (ValueError naming the argument).
std::unique_ptr<weave::Attachments> to_attachments(PyObject* existing, PyObject* regions, size_t rows,
                                                   size_t cols);

// A new C-contiguous float64 array that owns `cells`.
PyObject* new_array(std::vector<double>&& cells, size_t rows, size_t cols);

}  // namespace gwpy

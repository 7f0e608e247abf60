#include "cost_maps.hpp"

#include <nanobind/ndarray.h>

#include <cmath>
#include <string>

#include "convert.hpp"

namespace gwpy {

namespace {
template <class T>
using CostArray = nb::ndarray<const T, nb::ndim<2>, nb::device::cpu>;

template <class T>
OwnedCostMap copy_strided(const CostArray<T>& array) {
  OwnedCostMap map{array.shape(0), array.shape(1), {}};
  map.cells.resize(map.rows * map.cols);
  const T* data = array.data();
  const int64_t row_stride = array.stride(0), col_stride = array.stride(1);
  for (size_t x = 0; x < map.rows; ++x)
    for (size_t y = 0; y < map.cols; ++y)
      map.cells[x * map.cols + y] = static_cast<double>(
          data[static_cast<int64_t>(x) * row_stride + static_cast<int64_t>(y) * col_stride]);
  return map;
}

OwnedCostMap copy_cells(PyObject* obj) {
  CostArray<double> array64;
  if (nb::try_cast(nb::handle(obj), array64, /*convert=*/false)) return copy_strided(array64);
  CostArray<float> array32;
  if (nb::try_cast(nb::handle(obj), array32, /*convert=*/false)) return copy_strided(array32);
  raise_cannot_convert(obj, "ndarray[float64 or float32, ndim=2]");
}

// The first cell that is NaN or negative, as a message; empty when there is none.
std::string refused_cells(const weave::CostMap& map) {
  const uint64_t count = map.rows * map.cols;
  for (uint64_t cell = 0; cell < count; ++cell) {
    const double cost = map.at(cell);
    if (cost >= 0.0) continue;
    if (std::isnan(cost)) return "the cost map contains NaN";
    return "the cost map contains negative costs";
  }
  return {};
}

}  // namespace

BorrowedCostMap::BorrowedCostMap(PyObject* obj) {
  if (nb::try_cast(nb::handle(obj), array64_, /*convert=*/false)) {
    view_ = weave::CostMap{array64_.shape(0), array64_.shape(1), array64_.data()};
  } else if (nb::try_cast(nb::handle(obj), array32_, /*convert=*/false)) {
    view_ = weave::CostMap{array32_.shape(0), array32_.shape(1), nullptr, array32_.data()};
  } else {
    copy_ = copy_cells(obj);
    view_ = copy_.view();
  }
  if (view_.rows == 0 || view_.cols == 0) return;  // no cells, nothing to block
  blocks_ = std::make_unique<weave::ImpassableBlocks>(view_.rows, view_.cols);
  view_.blocks = blocks_.get();
}

std::unique_ptr<BorrowedCostMap> searchable_cost_map(PyObject* obj, const char* argument) {
  auto map = std::make_unique<BorrowedCostMap>(obj);
  const std::string refused = refused_cells(map->view());
  if (!refused.empty()) raise(PyExc_ValueError, "argument '" + std::string(argument) + "': " + refused);
  return map;
}

PyObject* new_array(std::vector<double>&& cells, size_t rows, size_t cols) {
  auto* owned = new std::vector<double>(std::move(cells));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<double>*>(p); });
  size_t shape[2] = {rows, cols};
  nb::ndarray<nb::numpy, double, nb::ndim<2>> array(owned->data(), 2, shape, owner);
  return array.cast().release().ptr();
}

}  // namespace gwpy

#include "cost_maps.hpp"

#include <nanobind/ndarray.h>

#include <cmath>
#include <string>

#include "convert.hpp"

namespace gwpy {

namespace {
using CostArray = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;

OwnedCostMap copy_cells(PyObject* obj) {
  CostArray array;
  if (!nb::try_cast(nb::handle(obj), array, /*convert=*/false))
    raise_cannot_convert(obj, "ndarray[float64, ndim=2]");
  OwnedCostMap map{array.shape(0), array.shape(1), {}};
  map.cells.resize(map.rows * map.cols);
  const double* data = array.data();
  const int64_t row_stride = array.stride(0), col_stride = array.stride(1);
  for (size_t x = 0; x < map.rows; ++x)
    for (size_t y = 0; y < map.cols; ++y)
      map.cells[x * map.cols + y] =
          data[static_cast<int64_t>(x) * row_stride + static_cast<int64_t>(y) * col_stride];
  return map;
}

}  // namespace

OwnedCostMap copy_cost_map(PyObject* obj, const char* argument, bool non_negative) {
  OwnedCostMap map = copy_cells(obj);
  for (double cost : map.cells) {
    if (std::isnan(cost))
      raise(PyExc_ValueError, "argument '" + std::string(argument) + "': the cost map contains NaN");
    if (non_negative && cost < 0.0)
      raise(PyExc_ValueError,
            "argument '" + std::string(argument) + "': the cost map contains negative costs");
  }
  return map;
}

BorrowedCostMap::BorrowedCostMap(PyObject* obj) {
  if (nb::try_cast(nb::handle(obj), array_, /*convert=*/false)) {
    view_ = weave::CostMap{array_.shape(0), array_.shape(1), array_.data()};
  } else {
    copy_ = copy_cells(obj);
    view_ = copy_.view();
  }
}

PyObject* new_array(std::vector<double>&& cells, size_t rows, size_t cols) {
  auto* owned = new std::vector<double>(std::move(cells));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<double>*>(p); });
  size_t shape[2] = {rows, cols};
  nb::ndarray<nb::numpy, double, nb::ndim<2>> array(owned->data(), 2, shape, owner);
  return array.cast().release().ptr();
}

}  // namespace gwpy

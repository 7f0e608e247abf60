#include "cost_maps.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
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

void BorrowedCostMap::attach(const weave::Attachments* attachments) {
  view_.attachments = attachments;
  if (!attachments) return;
  const bool priced = std::any_of(attachments->existing.begin(), attachments->existing.end(),
                                  [&](uint64_t cell) { return view_.at(cell) != 0.0; });
  if (!priced) return;
  if (copy_.cells.empty()) {
    copy_.rows = view_.rows, copy_.cols = view_.cols;
    copy_.cells.resize(view_.rows * view_.cols);
    for (uint64_t cell = 0; cell < copy_.cells.size(); ++cell) copy_.cells[cell] = view_.at(cell);
  }
  for (uint64_t cell : attachments->existing) copy_.cells[cell] = 0.0;
  view_ = copy_.view();
  blocks_ =
      std::make_unique<weave::ImpassableBlocks>(view_.rows, view_.cols);  // of the cells as they are now
  view_.blocks = blocks_.get();
  view_.attachments = attachments;
}

namespace {

std::vector<uint64_t> to_cell_indices(PyObject* obj, uint64_t count, const std::string& argument) {
  nb::ndarray<const int64_t, nb::ndim<1>, nb::device::cpu> array;
  if (!nb::try_cast(nb::handle(obj), array, /*convert=*/true))
    raise(PyExc_TypeError,
          "argument '" + argument + "': expected a 1-D array of cell indices, got " + type_name(obj));
  std::vector<uint64_t> cells;
  cells.reserve(array.shape(0));
  for (size_t i = 0; i < array.shape(0); ++i) {
    const int64_t cell = array(i);
    if (cell < 0 || static_cast<uint64_t>(cell) >= count)
      raise(PyExc_ValueError, "argument '" + argument + "': cell index " + std::to_string(cell) +
                                  " lies outside the map of " + std::to_string(count) + " cells");
    cells.push_back(static_cast<uint64_t>(cell));
  }
  std::sort(cells.begin(), cells.end());
  cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
  return cells;
}

}  // namespace

std::unique_ptr<weave::Attachments> to_attachments(PyObject* existing, PyObject* regions, size_t rows,
                                                   size_t cols) {
  const bool has_existing = existing && existing != Py_None, has_regions = regions && regions != Py_None;
  if (!has_existing && !has_regions) return nullptr;
  auto attachments = std::make_unique<weave::Attachments>();
  attachments->cols = cols;
  if (has_existing) attachments->existing = to_cell_indices(existing, rows * cols, "existing");
  if (has_regions) {
    nb::sequence list;
    if (!nb::try_cast(nb::handle(regions), list) || PyUnicode_Check(regions))
      raise(PyExc_TypeError,
            "argument 'regions': expected a list of cell-index arrays, got " + type_name(regions));
    const size_t count = nb::len(list);
    for (size_t r = 0; r < count; ++r) {
      const std::string name = "regions[" + std::to_string(r) + "]";
      attachments->regions.push_back(to_cell_indices(nb::object(list[r]).ptr(), rows * cols, name));
      if (attachments->regions.back().empty())
        raise(PyExc_ValueError, "argument '" + name + "': the region is empty");
    }
  }
  return attachments;
}

PyObject* new_array(std::vector<double>&& cells, size_t rows, size_t cols) {
  auto* owned = new std::vector<double>(std::move(cells));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<double>*>(p); });
  size_t shape[2] = {rows, cols};
  nb::ndarray<nb::numpy, double, nb::ndim<2>> array(owned->data(), 2, shape, owner);
  return array.cast().release().ptr();
}

}  // namespace gwpy

#include "cost_maps.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "convert.hpp"
#include "register.hpp"

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

constexpr double kImpassable = std::numeric_limits<double>::infinity();

// What one cell of a caller's map means. The one rule: NaN and nodata are
// impassable, a negative cost is refused, anything else (+inf too) is a cost.
enum class CellMeaning { Cost, Impassable, Refused };

CellMeaning meaning(double cost, const std::optional<double>& nodata) {
  if (std::isnan(cost) || (nodata && cost == *nodata)) return CellMeaning::Impassable;
  return cost < 0.0 ? CellMeaning::Refused : CellMeaning::Cost;
}

// The mask of a masked array, read with its strides; empty when there is none.
class CellMask {
 public:
  CellMask() = default;
  CellMask(nb::handle mask, size_t rows, size_t cols) : cols_(cols) {
    if (!nb::try_cast(mask, mask_, /*convert=*/true) || mask_.shape(0) != rows || mask_.shape(1) != cols)
      raise(PyExc_ValueError, "the mask of the cost map does not match its shape");
    active_ = true;
  }
  bool operator()(uint64_t cell) const {
    if (!active_) return false;
    const int64_t x = static_cast<int64_t>(cell / cols_), y = static_cast<int64_t>(cell % cols_);
    return mask_.data()[x * mask_.stride(0) + y * mask_.stride(1)];
  }

 private:
  nb::ndarray<const bool, nb::ndim<2>, nb::device::cpu> mask_;
  size_t cols_ = 0;
  bool active_ = false;
};

bool is_masked(nb::handle obj) {
  if (!PyObject_HasAttrString(obj.ptr(), "mask")) return false;  // a plain array: no import needed
  return nb::cast<bool>(nb::module_::import_("numpy.ma").attr("isMaskedArray")(obj));
}

// Any array-like as a two-dimensional float32 or float64 NumPy array.
nb::object float_array(nb::handle obj, const std::string& source) {
  const nb::module_ numpy = nb::module_::import_("numpy");
  nb::object array = numpy.attr("asarray")(obj);
  const nb::object dtype = array.attr("dtype");
  if (!dtype.equal(numpy.attr("dtype")("float64")) && !dtype.equal(numpy.attr("dtype")("float32")))
    array = array.attr("astype")(numpy.attr("float64"));
  if (nb::cast<size_t>(array.attr("ndim")) != 2)
    raise(PyExc_ValueError, source + ": the cost map must be two-dimensional, got shape " +
                                std::string(nb::repr(array.attr("shape")).c_str()));
  return array;
}

// Names the first negative cell, `first`, and how many there are.
std::string negative_cost_message(const std::string& source, const weave::CostMap& map, uint64_t first,
                                  const std::optional<double>& nodata, const CellMask& masked) {
  uint64_t count = 0;
  for (uint64_t cell = first; cell < map.rows * map.cols; ++cell)
    count += !masked(cell) && meaning(map.at(cell), nodata) == CellMeaning::Refused;
  return source + ": the cost map holds negative costs (first at (row, column) (" +
         std::to_string(first / map.cols) + ", " + std::to_string(first % map.cols) +
         "): " + std::string(nb::repr(nb::float_(map.at(first))).c_str()) + "; " + std::to_string(count) +
         (count == 1 ? " negative cell)" : " negative cells)");
}

}  // namespace

CostMapView::CostMapView(PyObject* obj, const std::string& source, const CostRules& rules) {
  nb::object cells = nb::borrow(obj), mask;
  if (is_masked(cells)) {
    const nb::module_ ma = nb::module_::import_("numpy.ma");
    mask = ma.attr("getmaskarray")(cells);
    cells = ma.attr("getdata")(cells);
  }
  if (rules.any_array) cells = float_array(cells, source);
  read(cells);
  apply(rules, source, mask);
  if (view_.rows == 0 || view_.cols == 0) return;  // no cells, nothing to block
  blocks_ = std::make_unique<weave::ImpassableBlocks>(view_.rows, view_.cols);
  view_.blocks = blocks_.get();
}

void CostMapView::read(nb::handle cells) {
  if (nb::try_cast(cells, array64_, /*convert=*/false)) {
    view_ = weave::CostMap{array64_.shape(0), array64_.shape(1), array64_.data()};
    source_ = nb::borrow(cells);
  } else if (nb::try_cast(cells, array32_, /*convert=*/false)) {
    view_ = weave::CostMap{array32_.shape(0), array32_.shape(1), nullptr, array32_.data()};
    source_ = nb::borrow(cells);
  } else {
    copy_ = copy_cells(cells.ptr());
    view_ = copy_.view();
  }
}

void CostMapView::apply(const CostRules& rules, const std::string& source, nb::handle mask) {
  const CellMask masked = mask.is_valid() ? CellMask(mask, view_.rows, view_.cols) : CellMask();
  const uint64_t count = view_.rows * view_.cols;
  bool rewrite = false, passable = false;
  for (uint64_t cell = 0; cell < count; ++cell) {
    if (masked(cell)) {
      rewrite = true;
      continue;
    }
    const double cost = view_.at(cell);
    switch (meaning(cost, rules.nodata)) {
      case CellMeaning::Refused:
        raise(PyExc_ValueError, negative_cost_message(source, view_, cell, rules.nodata, masked));
      case CellMeaning::Impassable:
        rewrite = true;
        break;
      case CellMeaning::Cost:
        passable = passable || cost < kImpassable;
        break;
    }
  }
  if (rules.searchable && count > 0 && !passable)
    raise(PyExc_ValueError,
          source + ": no cell of the cost map is passable (every cell is NaN, nodata or inf)");
  if (!rewrite) return;
  own_cells();
  for (uint64_t cell = 0; cell < count; ++cell)
    if (masked(cell) || meaning(copy_.cells[cell], rules.nodata) == CellMeaning::Impassable)
      copy_.cells[cell] = kImpassable;
}

// Makes the view read a private copy of its cells, if it does not already.
void CostMapView::own_cells() {
  if (!source_.is_valid()) return;
  copy_.rows = view_.rows, copy_.cols = view_.cols;
  copy_.cells.resize(view_.rows * view_.cols);
  for (uint64_t cell = 0; cell < copy_.cells.size(); ++cell) copy_.cells[cell] = view_.at(cell);
  view_ = copy_.view();
  source_ = nb::object();
  array64_ = {}, array32_ = {};
}

nb::object CostMapView::release_array() {
  if (source_.is_valid()) return source_;
  return nb::steal(new_array(std::move(copy_.cells), copy_.rows, copy_.cols));
}

std::unique_ptr<CostMapView> searchable_cost_map(PyObject* obj, const char* argument) {
  return std::make_unique<CostMapView>(obj, "argument '" + std::string(argument) + "'", [] {
    CostRules rules;
    rules.searchable = true;
    return rules;
  }());
}

void CostMapView::attach(const weave::Attachments* attachments) {
  view_.attachments = attachments;
  if (!attachments) return;
  const bool priced = std::any_of(attachments->existing.begin(), attachments->existing.end(),
                                  [&](uint64_t cell) { return view_.at(cell) != 0.0; });
  if (!priced) return;
  own_cells();
  for (uint64_t cell : attachments->existing) copy_.cells[cell] = 0.0;
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

namespace {

// The cost map as every native entry reads it, for Python code that keeps,
// stores or hands on the map: the array itself when it needs no change.
PyObject* checked_cost_map(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"cost_map", "nodata", "source", nullptr};
    PyObject *cost_obj = nullptr, *nodata_obj = Py_None;
    const char* source = "argument 'cost_map'";
    parse_args(args, kwargs, "O|$Os:checked_cost_map", keywords, &cost_obj, &nodata_obj, &source);
    CostRules rules;
    rules.any_array = true;
    if (nodata_obj != Py_None) rules.nodata = convert_arg("nodata", [&] { return read_f64(nodata_obj); });
    CostMapView map(cost_obj, source, rules);
    return map.release_array().release().ptr();
  });
}

PyMethodDef checked_cost_map_def = keyword_def<checked_cost_map>(
    "checked_cost_map", "checked_cost_map(cost_map, *, nodata=None, source=\"argument 'cost_map'\")\n--\n\n");

}  // namespace

void register_cost_map_functions(nb::module_& module) { add_function(module, &checked_cost_map_def); }

}  // namespace gwpy

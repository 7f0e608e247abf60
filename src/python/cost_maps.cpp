#include "cost_maps.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>

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

// One pass over the cells: whether any needs a closer look (NaN, nodata or
// negative) and whether one is passable. Blocks without an early exit inside
// run about a third faster than one loop over every cell.
struct CellSummary {
  bool special = false;
  bool passable = false;
};

template <class T>
CellSummary summarise(const T* cells, uint64_t count, const std::optional<double>& nodata) {
  constexpr uint64_t kBlock = 256;
  const double nodata_value = nodata.value_or(std::numeric_limits<double>::quiet_NaN());
  CellSummary summary;
  for (uint64_t start = 0; start < count; start += kBlock) {
    int special = 0, passable = 0;
    for (uint64_t cell = start, end = std::min(count, start + kBlock); cell < end; ++cell) {
      const double cost = static_cast<double>(cells[cell]);
      special |= !(cost >= 0.0) | (cost == nodata_value);
      passable |= cost < kImpassable;
    }
    summary.special = summary.special || special != 0;
    summary.passable = summary.passable || passable != 0;
  }
  return summary;
}

[[noreturn]] void raise_impassable(const std::string& source) {
  raise(PyExc_ValueError,
        source + ": no cell of the cost map is passable (every cell is NaN, nodata or inf)");
}

// Arrays that passed the check as they are, by identity, with whether a cell of
// theirs is passable: a map handed from call to call is checked once, not by
// every call. The weak reference tells a live array from a freed one whose
// address came back; an array changed in place after its check is not seen.
struct CheckedArray {
  nb::object reference;  // weak
  bool passable;
};

std::unordered_map<PyObject*, CheckedArray>& checked_arrays() {
  static auto* arrays = new std::unordered_map<PyObject*, CheckedArray>();  // lives as long as the module
  return *arrays;
}

PyObject* referent(const nb::object& reference) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* object = nullptr;
  if (PyWeakref_GetRef(reference.ptr(), &object) < 0) PyErr_Clear();
  Py_XDECREF(object);  // only compared, never used
  return object;
#else
  return PyWeakref_GetObject(reference.ptr());
#endif
}

std::optional<bool> checked_before(nb::handle array) {
  const auto& arrays = checked_arrays();
  const auto found = arrays.find(array.ptr());
  if (found == arrays.end() || referent(found->second.reference) != array.ptr()) return std::nullopt;
  return found->second.passable;
}

void remember_checked(nb::handle array, bool passable) {
  auto& arrays = checked_arrays();
  if (arrays.size() >= 64)
    std::erase_if(arrays, [](const auto& entry) { return referent(entry.second.reference) != entry.first; });
  PyObject* reference = PyWeakref_NewRef(array.ptr(), nullptr);
  if (!reference) {
    PyErr_Clear();  // an object without weak references is checked every time
    return;
  }
  arrays.insert_or_assign(array.ptr(), CheckedArray{nb::steal(reference), passable});
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
  const bool plain = !mask.is_valid() && !rules.nodata && source_.is_valid();
  if (plain) {
    if (const auto passable = checked_before(source_)) {
      if (rules.searchable && !*passable) raise_impassable(source);
      return;
    }
  }
  const CellMask masked = mask.is_valid() ? CellMask(mask, view_.rows, view_.cols) : CellMask();
  const uint64_t count = view_.rows * view_.cols;
  const CellSummary summary = view_.data32 ? summarise(view_.data32, count, rules.nodata)
                                           : summarise(view_.data, count, rules.nodata);
  bool rewrite = mask.is_valid(), passable = summary.passable;
  if (summary.special) {  // some cell is NaN, nodata or negative: find out which
    passable = false;
    for (uint64_t cell = 0; cell < count; ++cell) {
      if (masked(cell)) continue;
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
  } else if (rewrite) {
    passable = false;
    for (uint64_t cell = 0; cell < count && !passable; ++cell)
      passable = !masked(cell) && view_.at(cell) < kImpassable;
  }
  if (rules.searchable && count > 0 && !passable) raise_impassable(source);
  if (!rewrite) {
    if (plain) remember_checked(source_, passable);
    return;
  }
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
  const bool passable =
      std::any_of(copy_.cells.begin(), copy_.cells.end(), [](double c) { return c < kImpassable; });
  nb::object array = nb::steal(new_array(std::move(copy_.cells), copy_.rows, copy_.cols));
  remember_checked(array, passable);
  return array;
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

#pragma once
#include <cmath>

namespace evocore {

// Strict weak orderings over doubles that place NaN after every number, so
// sorts stay well defined when scores or distances are not numbers.

// Ascending: a before b.
inline bool ascending_nan_last(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

// Descending (fitness ranking, highest first): a before b.
inline bool descending_nan_last(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a > b); }

}  // namespace evocore

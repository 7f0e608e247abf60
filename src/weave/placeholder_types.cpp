#include "types.hpp"

// The hive generator lives with the machines that use it (ntsim/machine/hive_shape.h); the
// benchmarks keep their names for it.
#pragma once
#include "ntsim/machine/hive_shape.h"

namespace bench {
using ntsim::shape::HiveCounts;
using ntsim::shape::HiveShape;
using ntsim::shape::MakeShapedHive;
using ntsim::shape::Random;
}  // namespace bench

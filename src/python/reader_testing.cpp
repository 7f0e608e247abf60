#include "records.hpp"

namespace gwpy {

// Read-then-write round trips, so that tests see exactly what the reader accepted.
void register_reader_testing(nb::module_& module) {
  module.def(
      "_read_config", [](nb::handle obj) { return write_record(read_record<ConfigRecord>(obj)); },
      nb::arg("obj"));
  module.def(
      "_roundtrip_structure", [](nb::handle obj) { return write_record(read_record<GenomeDTO>(obj)); },
      nb::arg("obj"));
}

}  // namespace gwpy

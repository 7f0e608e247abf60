#include "classes.hpp"
#include "convert.hpp"

namespace gwpy {

void register_species_class(nb::module_& module) {
  auto cls = nb::class_<PySpecies>(module, "Species", nb::is_final());
  add_no_constructor(cls, "Species");
  cls.def_prop_ro("members", [](const PySpecies& s) { return genome_list_object(s.snapshot.members); })
      .def_prop_ro("representative", [](const PySpecies& s) {
        // A new handle to a full copy: changing it reaches neither species nor population.
        return PyGenome{GenomeHandle::make(s.snapshot.representative.clone())};
      });
}

}  // namespace gwpy

// vela_experiment_tracking.entities.project: a project, bound to the client that tracks it.
#include "runtime.hpp"

namespace {

py::object Project_init(const rt::Args& a) {
    py::handle self = a[0];
    rt::super(a, self).attr("__init__")(a[1], a[2]);
    py::setattr(self, "client", a[3]);
    return py::none();
}

}  // namespace

VELA_MODULE(project) {
    module.import_from("vela_experiment_tracking.entities.labeled_record", {"LabeledRecord"});

    rt::ClassBuilder(module, "Project", py::make_tuple(module.get("LabeledRecord")),
                     "A project: a name, a description and the client it is tracked with.")
        .method({"__init__",
                 {rt::param("self"), rt::param("name"), rt::param("description"), rt::param("client", py::none())},
                 Project_init})
        .build();
}

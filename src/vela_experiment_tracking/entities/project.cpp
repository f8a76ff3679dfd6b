// vela_experiment_tracking.entities.project: a project, bound to the client that tracks it.
#include "runtime.hpp"

namespace {

py::object Project_init(const rt::Args& a) {
    py::handle self = a[0];
    rt::super(a, self).attr("__init__")(a[1], a[2]);
    py::setattr(self, "client", a[3]);
    return py::none();
}

// The experiments tagged with this project's name on its server.
py::object Project_list_experiments(const rt::Args& a) {
    py::handle self = a[0];
    return self.attr("client").attr("list_experiments")(self.attr("name"));
}

// This project's iterations of an experiment (an Experiment, or its id), all pages, newest first. Other
// projects may keep runs in the same experiment: only the runs tagged with this project are its own.
py::object Project_list_iterations(const rt::Args& a) {
    py::handle self = a[0], experiment = a[1], filter_string = a[2];
    py::object experiment_id = py::getattr(experiment, "experiment_id", experiment);
    py::object runs = self.attr("client").attr("list_iterations")(experiment_id, filter_string);
    py::list own;
    for (py::handle run : runs)
        if (rt::equals(run.attr("data").attr("tags").attr("get")(a.global("EXP_STORE_PROJECT_NAME")), self.attr("name")))
            own.append(run);
    return std::move(own);
}

}  // namespace

VELA_MODULE(project) {
    module.import_from("vela_experiment_tracking.entities.labeled_record", {"LabeledRecord"});
    module.import_from("vela_experiment_tracking.model.tags", {"EXP_STORE_PROJECT_NAME"});

    auto self = rt::param("self");
    rt::ClassBuilder(module, "Project", py::make_tuple(module.get("LabeledRecord")),
                     "A project: a name, a description and the client it is tracked with.")
        .method({"__init__", {self, rt::param("name"), rt::param("description"), rt::param("client", py::none())},
                 Project_init})
        .method({"list_experiments", {self}, Project_list_experiments,
                 "The experiments of this project on the tracking server."})
        .method({"list_iterations", {self, rt::param("experiment"), rt::param("filter_string", py::str(""))},
                 Project_list_iterations,
                 "The iterations (runs) of an experiment, newest first; filter_string as MLflow's run search takes it."})
        .build();
}

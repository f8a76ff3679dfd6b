// vela_experiment_tracking.entities.experiment: the handle on one experiment.
#include "runtime.hpp"

namespace {

py::object Experiment_init(const rt::Args& a) {
    py::handle self = a[0], name = a[1], description = a[2], experiment_id = a[3], project = a[4];
    rt::super(a, self).attr("__init__")(name, description);
    py::setattr(self, "experiment_id", experiment_id);
    py::setattr(self, "project", project);
    py::object stored = self.attr("project");
    py::object client = rt::truthy(stored) ? py::object(stored.attr("client")) : py::object(py::none());
    py::setattr(self, "client", client);
    return py::none();
}

// The server's REST error becomes the package's, with the original as its context.
py::object Experiment_get_iteration_meta(const rt::Args& a) {
    py::handle self = a[0], iteration_id = a[1];
    try {
        return self.attr("client").attr("get_iteration")(py::arg("iteration_id") = iteration_id);
    } catch (py::error_already_set& e) {
        if (!e.matches(a.global("MLFlowRestException"))) throw;
        py::object original = e.value();
        rt::raise_instance(a.global("RestException")(original.attr("json")), original);
    }
}

py::object Experiment_get_iteration(const rt::Args& a) {
    py::object iteration = py::module_::import("vela_experiment_tracking.entities.iteration").attr("Iteration");
    return iteration(py::arg("experiment") = a[0]);
}

}  // namespace

VELA_MODULE(experiment) {
    module.import_from("typing", {"Optional"});
    module.import_from("vela_experiment_tracking.tracking.client", {"Client"});
    module.import_from("vela_experiment_tracking.entities.project", {"Project"});
    module.import_from("vela_experiment_tracking.exception", {"RestException"});
    module.import_from("vela_experiment_tracking.entities.labeled_record", {"LabeledRecord"});
    module.import_from_as("mlflow.exceptions", "RestException", "MLFlowRestException");

    py::object optional = module.get("Optional");
    py::object str = rt::builtin("str");
    auto self = rt::param("self");
    rt::ClassBuilder(module, "Experiment", py::make_tuple(module.get("LabeledRecord")))
        .method({"__init__",
                 {self, rt::param("name"), rt::param("description"),
                  rt::param("experiment_id", py::none()).annotated(optional[str]),
                  rt::param("project", py::none()).annotated(optional[module.get("Project")])},
                 Experiment_init})
        .method({"get_iteration_meta", {self, rt::param("iteration_id").as_text()}, Experiment_get_iteration_meta,
                 "Gets iteration meta data using iteration_id.\n"
                 ":param str iteration_id: Iteration ID.\n"
                 ":return Run Iteration: Iteration meta of given iteration_id."})
        .method({"get_iteration", {self}, Experiment_get_iteration,
                 "Create iteration under given experiment name.\n"
                 ":return: Iteration: That was created."})
        .build();
}

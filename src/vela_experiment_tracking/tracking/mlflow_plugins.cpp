// vela_experiment_tracking.tracking.mlflow_plugins: what MLflow's fluent API asks us, through its
// plugin entry points, when it starts a run of its own (mlflow.start_run, autolog): the
// experiment of the last init and the project tag. MLflow loads this module while it is
// itself being imported, so it imports nothing of MLflow and finds the package's context only
// once something else loaded it.
#include "runtime.hpp"

namespace {

// The user of the last init in this process, or None before any.
py::object init_user(const rt::Args& a) {
    py::object context = a.global("sys").attr("modules").attr("get")("vela_experiment_tracking.context");
    if (context.is_none()) return py::none();
    py::object client = context.attr("current_client");
    if (!rt::truthy(client)) return py::none();
    return client.attr("user");
}

py::object active_attribute(const rt::Args& a, const char* name) {
    py::object user = init_user(a);
    if (user.is_none()) return user;
    return py::getattr(user, name, py::none());
}

py::object InitExperimentProvider_in_context(const rt::Args& a) {
    py::object experiment = active_attribute(a, "active_experiment");
    return py::bool_(!experiment.is_none() && rt::truthy(py::getattr(experiment, "experiment_id", py::none())));
}

py::object InitExperimentProvider_get_experiment_id(const rt::Args& a) {
    return py::str(active_attribute(a, "active_experiment").attr("experiment_id"));
}

py::object ProjectRunContext_in_context(const rt::Args& a) {
    py::object project = active_attribute(a, "active_project");
    return py::bool_(!project.is_none() && rt::truthy(py::getattr(project, "name", py::none())));
}

py::object ProjectRunContext_tags(const rt::Args& a) {
    py::dict tags;
    tags[a.global("EXP_STORE_PROJECT_NAME")] = py::str(active_attribute(a, "active_project").attr("name"));
    return std::move(tags);
}

// The runs MLflow starts after an init are attributed to the user the iterations are: the
// login's, or without one the terminal user (who is "anonymous" where LOGNAME is unset, as in
// a container, while MLflow would ask the system and say "root").
py::object InitUserRunContext_in_context(const rt::Args& a) { return py::bool_(!init_user(a).is_none()); }

py::object InitUserRunContext_tags(const rt::Args& a) {
    py::dict tags;
    tags[a.global("MLFLOW_USER")] = py::str(init_user(a).attr("username"));
    return std::move(tags);
}

}  // namespace

VELA_MODULE(mlflow_plugins) {
    module.import("sys");
    module.import_from("vela_experiment_tracking.model.tags", {"EXP_STORE_PROJECT_NAME"});
    module.set("MLFLOW_USER", py::str("mlflow.user"));  // MLflow's tag, named here: MLflow is not imported

    auto self = rt::param("self");
    rt::ClassBuilder(module, "InitExperimentProvider", py::tuple(),
                     "MLflow's default experiment, once an init found one: the experiment it returned.")
        .method({"in_context", {self}, InitExperimentProvider_in_context})
        .method({"get_experiment_id", {self}, InitExperimentProvider_get_experiment_id})
        .build();

    rt::ClassBuilder(module, "ProjectRunContext", py::tuple(),
                     "Tags every run MLflow starts with the project of the last init.")
        .method({"in_context", {self}, ProjectRunContext_in_context})
        .method({"tags", {self}, ProjectRunContext_tags})
        .build();

    rt::ClassBuilder(module, "InitUserRunContext", py::tuple(),
                     "Attributes every run MLflow starts after an init to the user of that init.")
        .method({"in_context", {self}, InitUserRunContext_in_context})
        .method({"tags", {self}, InitUserRunContext_tags})
        .build();
}

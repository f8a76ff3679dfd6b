// vela_experiment_tracking.entities.iteration: one iteration of an experiment, a run
// on the tracking server.
#include "runtime.hpp"

#include <algorithm>

namespace {

constexpr size_t MAX_BATCH = 1000;  // the most entries of one kind the server takes in one request

[[noreturn]] void refuse(const rt::Args& a, py::handle message) {
    rt::raise_instance(a.global("ExperimentTrackingException")(
        py::arg("message") = message, py::arg("error_code") = a.global("INVALID_PARAMETER_VALUE")));
}

py::object run_id(py::handle self) { return self.attr("iteration_id"); }

py::object step_or_zero(py::handle step) {
    return step.is_none() ? py::int_(0) : py::reinterpret_borrow<py::object>(step);
}

// {key: value}, for the one-item forms of the logging calls.
py::dict single(py::handle key, py::handle value) {
    py::dict item;
    item[key] = value;
    return item;
}

// MLflow entities from a mapping: make(key, value) for each item.
template <class Make>
py::list entries_of(py::handle mapping, Make make) {
    py::list entries;
    for (py::handle item : mapping.attr("items")()) entries.append(make(item[py::int_(0)], item[py::int_(1)]));
    return entries;
}

// A nested iteration names its parent, as MLflow's own UI expects too.
py::dict start_tags(const rt::Args& a, py::handle user, py::handle parent) {
    py::dict tags;
    tags[a.global("MLFLOW_USER")] = user.attr("username");
    if (!parent.is_none()) {
        tags[a.global("EXP_STORE_PARENT_RUN_ID")] = parent.attr("iteration_id");
        tags[a.global("MLFLOW_PARENT_RUN_ID")] = parent.attr("iteration_id");
    }
    return tags;
}

py::object Iteration_init(const rt::Args& a) {
    py::handle self = a[0], experiment = a[1], name = a[2];
    py::object client = experiment.attr("client");
    if (!rt::truthy(client))
        refuse(a, py::str("The experiment is not bound to a tracking client: start it with init()."));
    py::object mlflow = a.global("create_mlflow_client")(client.attr("tracking_uri"));
    py::object user = client.attr("user");
    py::object stack = user.attr("active_iteration_stack");
    py::object parent = rt::truthy(stack) ? py::object(stack[py::int_(-1)]) : py::none();

    py::dict tags = start_tags(a, user, parent);
    if (!name.is_none()) tags[a.global("EXP_STORE_RUN_NAME")] = name;
    py::object run = mlflow.attr("create_run")(experiment.attr("experiment_id"), py::arg("tags") = tags,
                                               py::arg("run_name") = name);
    py::object info = run.attr("info");
    if (name.is_none()) mlflow.attr("set_tag")(info.attr("run_id"), a.global("EXP_STORE_RUN_NAME"), info.attr("run_name"));

    rt::super(a, self).attr("__init__")(info.attr("run_name"), py::none());
    py::setattr(self, "_Iteration__run_id", info.attr("run_id"));
    py::setattr(self, "_Iteration__status", info.attr("status"));
    py::setattr(self, "experiment", experiment);
    py::setattr(self, "parent", parent);
    py::setattr(self, "params", py::dict());
    py::setattr(self, "_Iteration__mlflow", mlflow);
    py::setattr(self, "_Iteration__user", user);
    stack.attr("append")(self);
    return py::none();
}

py::object Iteration_iteration_id(const rt::Args& a) { return a[0].attr("_Iteration__run_id"); }

py::object Iteration_status(const rt::Args& a) { return a[0].attr("_Iteration__status"); }

// Sends entries in batches the server accepts.
void log_batch(py::handle self, const char* kind, py::list entries) {
    py::object mlflow = self.attr("_Iteration__mlflow");
    for (size_t start = 0; start < entries.size(); start += MAX_BATCH) {
        py::object chunk = entries[py::slice(static_cast<py::ssize_t>(start),
                                             static_cast<py::ssize_t>(std::min(start + MAX_BATCH, entries.size())), 1)];
        mlflow.attr("log_batch")(run_id(self), py::arg(kind) = chunk);
    }
}

py::object Iteration_log_params(const rt::Args& a) {
    py::handle self = a[0], params = a[1];
    py::list entries = entries_of(params, [&](py::handle key, py::handle value) {
        return a.global("Param")(py::str(key), py::str(value));
    });
    py::object logged = self.attr("params");
    if (rt::truthy(a.global("_validate_keys_already_exists")(entries, logged))) {
        py::list repeated;
        for (py::handle entry : entries)
            if (rt::contains(logged, entry.attr("key"))) repeated.append(entry.attr("key"));
        refuse(a, rt::cat({py::str("Parameters already logged for this iteration: "), py::str(", ").attr("join")(repeated)}));
    }
    log_batch(self, "params", entries);
    for (py::handle entry : entries) logged[entry.attr("key")] = entry.attr("value");
    return py::none();
}

py::object Iteration_log_param(const rt::Args& a) { return a[0].attr("log_params")(single(a[1], a[2])); }

py::object Iteration_log_metrics(const rt::Args& a) {
    py::handle self = a[0], metrics = a[1], step = a[2];
    py::object timestamp = py::int_(static_cast<long long>(a.global("time").attr("time")().cast<double>() * 1000));
    py::object at_step = step_or_zero(step);
    log_batch(self, "metrics", entries_of(metrics, [&](py::handle key, py::handle value) {
                  return a.global("Metric")(py::str(key), rt::builtin("float")(value), timestamp, at_step);
              }));
    return py::none();
}

// One value goes through the server's single-metric call, which is cheaper than a batch.
py::object Iteration_log_metric(const rt::Args& a) {
    py::handle self = a[0], key = a[1], value = a[2], step = a[3];
    self.attr("_Iteration__mlflow").attr("log_metric")(run_id(self), py::str(key), rt::builtin("float")(value),
                                                       py::arg("step") = step_or_zero(step));
    return py::none();
}

py::object Iteration_set_tags(const rt::Args& a) {
    log_batch(a[0], "tags", entries_of(a[1], [&](py::handle key, py::handle value) {
                  return a.global("RunTag")(py::str(key), py::str(value));
              }));
    return py::none();
}

py::object Iteration_set_tag(const rt::Args& a) { return a[0].attr("set_tags")(single(a[1], a[2])); }

py::object Iteration_log_artifact(const rt::Args& a) {
    py::handle self = a[0];
    self.attr("_Iteration__mlflow").attr("log_artifact")(run_id(self), a[1], a[2]);
    return py::none();
}

py::object Iteration_end(const rt::Args& a) {
    py::handle self = a[0], status = a[1];
    self.attr("_Iteration__mlflow").attr("set_terminated")(run_id(self), status);
    py::setattr(self, "_Iteration__status", status);
    py::object stack = self.attr("_Iteration__user").attr("active_iteration_stack");
    if (rt::contains(stack, self)) stack.attr("remove")(self);
    return py::none();
}

py::object Iteration_enter(const rt::Args& a) { return py::reinterpret_borrow<py::object>(a[0]); }

// Finished on success, failed on an exception; the exception goes on.
py::object Iteration_exit(const rt::Args& a) {
    a[0].attr("end")(a[1].is_none() ? "FINISHED" : "FAILED");
    return py::none();
}

}  // namespace

VELA_MODULE(iteration) {
    module.import("time");
    module.import_from("mlflow.entities", {"Metric", "Param", "RunTag"});
    module.import_from("mlflow.protos.databricks_pb2", {"INVALID_PARAMETER_VALUE"});
    module.import_from("mlflow.utils.mlflow_tags", {"MLFLOW_USER", "MLFLOW_PARENT_RUN_ID"});
    module.import_from("vela_experiment_tracking.entities.labeled_record", {"LabeledRecord"});
    module.import_from("vela_experiment_tracking.exception", {"ExperimentTrackingException"});
    module.import_from("vela_experiment_tracking.model.tags", {"EXP_STORE_RUN_NAME", "EXP_STORE_PARENT_RUN_ID"});
    module.import_from("vela_experiment_tracking.tracking.client", {"create_mlflow_client"});
    module.import_from("vela_experiment_tracking.utils.validation", {"_validate_keys_already_exists"});

    auto self = rt::param("self");
    rt::ClassBuilder(module, "Iteration", py::make_tuple(module.get("LabeledRecord")),
                     "One iteration of an experiment: a run on the tracking server, started when it is made.")
        .method({"__init__", {self, rt::param("experiment"), rt::param("name", py::none())}, Iteration_init})
        .property({"iteration_id", Iteration_iteration_id, nullptr, "The run's id on the tracking server."})
        .property({"status", Iteration_status, nullptr, "RUNNING until ended, then how it ended."})
        .method({"log_param", {self, rt::param("key"), rt::param("value")}, Iteration_log_param,
                 "Log one parameter; a key logged before is refused."})
        .method({"log_params", {self, rt::param("params")}, Iteration_log_params,
                 "Log a mapping of parameters in one request; keys logged before are refused."})
        .method({"log_metric", {self, rt::param("key"), rt::param("value"), rt::param("step", py::none())},
                 Iteration_log_metric, "Log one metric value, at a step (0 if none is given)."})
        .method({"log_metrics", {self, rt::param("metrics"), rt::param("step", py::none())}, Iteration_log_metrics,
                 "Log a mapping of metric values in one request."})
        .method({"set_tag", {self, rt::param("key"), rt::param("value")}, Iteration_set_tag, "Set one tag."})
        .method({"set_tags", {self, rt::param("tags")}, Iteration_set_tags, "Set a mapping of tags in one request."})
        .method({"log_artifact", {self, rt::param("local_path"), rt::param("artifact_path", py::none())},
                 Iteration_log_artifact, "Upload a local file as an artifact of the run."})
        .method({"end", {self, rt::param("status", py::str("FINISHED"))}, Iteration_end,
                 "End the run with that status (FINISHED, FAILED or KILLED)."})
        .method({"__enter__", {self}, Iteration_enter})
        .method({"__exit__", {self, rt::param("exc_type"), rt::param("exc_value"), rt::param("traceback")},
                 Iteration_exit})
        .build();
}

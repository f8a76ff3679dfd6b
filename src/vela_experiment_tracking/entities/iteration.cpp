// vela_experiment_tracking.entities.iteration: one iteration of an experiment, a run
// on the tracking server.
#include "runtime.hpp"

#include <algorithm>

namespace {

[[noreturn]] void refuse(const rt::Args& a, py::handle message) {
    rt::raise_instance(a.global("ExperimentTrackingException")(
        py::arg("message") = message, py::arg("error_code") = a.global("INVALID_PARAMETER_VALUE")));
}

py::object run_id(py::handle self) { return self.attr("iteration_id"); }

// {key: value}, for the one-item forms of the logging calls.
py::dict single(py::handle key, py::handle value) {
    py::dict item;
    item[key] = value;
    return item;
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

// The logging calls validate at once and hand their records to the process's sender, which sends them
// in the background; `synchronous=True` (or VELA_LOG_SYNCHRONOUS) waits for the server as well.
py::object sender(const rt::Args& a) { return a.global("get_sender")(); }

py::object server_of(py::handle self) { return self.attr("experiment").attr("client").attr("tracking_uri"); }

py::object now_ms(const rt::Args& a) {
    return py::int_(static_cast<long long>(a.global("time").attr("time")().cast<double>() * 1000));
}

// A parameter keeps its first value: logging it again with another value is refused, with the same one
// it is a no-op on the server.
py::object Iteration_log_params(const rt::Args& a) {
    py::handle self = a[0], params = a[1], synchronous = a[2];
    py::object logged = self.attr("params");
    py::dict texts;
    py::list repeated;
    for (py::handle item : params.attr("items")()) {
        py::str key(item[py::int_(0)]), value(item[py::int_(1)]);
        texts[key] = value;
        if (rt::contains(logged, key) && !rt::equals(logged[key], value)) repeated.append(key);
    }
    if (rt::truthy(repeated))
        refuse(a, rt::cat({py::str("Parameters already logged for this iteration: "), py::str(", ").attr("join")(repeated)}));
    sender(a).attr("log_params")(server_of(self), run_id(self), texts, py::arg("synchronous") = synchronous);
    logged.attr("update")(texts);
    return py::none();
}

py::object Iteration_log_param(const rt::Args& a) {
    return a[0].attr("log_params")(single(a[1], a[2]), py::arg("synchronous") = a[3]);
}

py::object Iteration_log_metrics(const rt::Args& a) {
    py::handle self = a[0];
    sender(a).attr("log_metrics")(server_of(self), run_id(self), a[1], now_ms(a), a[2], py::arg("synchronous") = a[3]);
    return py::none();
}

py::object Iteration_log_metric(const rt::Args& a) {
    py::handle self = a[0];
    sender(a).attr("log_metric")(server_of(self), run_id(self), a[1], a[2], now_ms(a), a[3],
                                py::arg("synchronous") = a[4]);
    return py::none();
}

py::object Iteration_set_tags(const rt::Args& a) {
    py::handle self = a[0];
    sender(a).attr("set_tags")(server_of(self), run_id(self), a[1], py::arg("synchronous") = a[2]);
    return py::none();
}

py::object Iteration_set_tag(const rt::Args& a) {
    return a[0].attr("set_tags")(single(a[1], a[2]), py::arg("synchronous") = a[3]);
}

// Waits for the run's records to reach the server (see Sender.flush).
py::object Iteration_flush(const rt::Args& a) { return sender(a).attr("flush")(run_id(a[0]), a[1]); }

py::object Iteration_log_artifact(const rt::Args& a) {
    py::handle self = a[0];
    self.attr("_Iteration__mlflow").attr("log_artifact")(run_id(self), a[1], a[2]);
    return py::none();
}

// Waits (bounded: VELA_LOG_FLUSH_TIMEOUT) for the run's records; what the server refused is raised once
// the run has ended.
py::object flush_before_end(const rt::Args& a, py::handle self) {
    try {
        self.attr("flush")();
    } catch (py::error_already_set& e) {
        if (!e.matches(a.global("ExperimentTrackingException"))) throw;
        return e.value();
    }
    return py::object();
}

py::object Iteration_end(const rt::Args& a) {
    py::handle self = a[0], status = a[1];
    py::object refused = flush_before_end(a, self);
    self.attr("_Iteration__mlflow").attr("set_terminated")(run_id(self), status);
    py::setattr(self, "_Iteration__status", status);
    py::object stack = self.attr("_Iteration__user").attr("active_iteration_stack");
    if (rt::contains(stack, self)) stack.attr("remove")(self);
    if (refused) rt::raise_instance(refused);
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
    module.import_from("mlflow.protos.databricks_pb2", {"INVALID_PARAMETER_VALUE"});
    module.import_from("mlflow.utils.mlflow_tags", {"MLFLOW_USER", "MLFLOW_PARENT_RUN_ID"});
    module.import_from("vela_experiment_tracking.entities.labeled_record", {"LabeledRecord"});
    module.import_from("vela_experiment_tracking.exception", {"ExperimentTrackingException"});
    module.import_from("vela_experiment_tracking.model.tags", {"EXP_STORE_RUN_NAME", "EXP_STORE_PARENT_RUN_ID"});
    module.import_from("vela_experiment_tracking.tracking.client", {"create_mlflow_client"});
    module.import_from("vela_experiment_tracking.tracking.sender", {"get_sender"});

    auto self = rt::param("self");
    auto synchronous = rt::param("synchronous", py::none());
    rt::ClassBuilder(module, "Iteration", py::make_tuple(module.get("LabeledRecord")),
                     "One iteration of an experiment: a run on the tracking server, started when it is made.")
        .method({"__init__", {self, rt::param("experiment"), rt::param("name", py::none())}, Iteration_init})
        .property({"iteration_id", Iteration_iteration_id, nullptr, "The run's id on the tracking server."})
        .property({"status", Iteration_status, nullptr, "RUNNING until ended, then how it ended."})
        .method({"log_param", {self, rt::param("key"), rt::param("value"), synchronous}, Iteration_log_param,
                 "Log one parameter; a key logged before with another value is refused."})
        .method({"log_params", {self, rt::param("params"), synchronous}, Iteration_log_params,
                 "Log a mapping of parameters; keys logged before with other values are refused."})
        .method({"log_metric",
                 {self, rt::param("key"), rt::param("value"), rt::param("step", py::none()), synchronous},
                 Iteration_log_metric, "Log one metric value, at a step (0 if none is given)."})
        .method({"log_metrics", {self, rt::param("metrics"), rt::param("step", py::none()), synchronous},
                 Iteration_log_metrics, "Log a mapping of metric values."})
        .method({"set_tag", {self, rt::param("key"), rt::param("value"), synchronous}, Iteration_set_tag,
                 "Set one tag."})
        .method({"set_tags", {self, rt::param("tags"), synchronous}, Iteration_set_tags, "Set a mapping of tags."})
        .method({"flush", {self, rt::param("timeout", py::none())}, Iteration_flush,
                 "Wait until the run's logged records are on the tracking server: True, or False when the wait "
                 "ended first. Records the server refused raise ExperimentTrackingException."})
        .method({"log_artifact", {self, rt::param("local_path"), rt::param("artifact_path", py::none())},
                 Iteration_log_artifact, "Upload a local file as an artifact of the run."})
        .method({"end", {self, rt::param("status", py::str("FINISHED"))}, Iteration_end,
                 "End the run with that status (FINISHED, FAILED or KILLED)."})
        .method({"__enter__", {self}, Iteration_enter})
        .method({"__exit__", {self, rt::param("exc_type"), rt::param("exc_value"), rt::param("traceback")},
                 Iteration_exit})
        .build();
}

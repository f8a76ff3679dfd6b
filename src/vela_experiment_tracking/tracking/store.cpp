// vela_experiment_tracking.tracking.store: MLflow's REST store, with the writes to the tracking server
// that init resolved going through the package's journal and background sender.
//
// MLflow builds its store for an http(s) address through its `mlflow.tracking_store` plugins, which it
// registers after its own schemes: every such address gets this store. For the server of the last init
// its writes (log_batch, log_metric, log_param, set_tag, delete_tag, update_run_info, log_inputs,
// log_outputs) are queued and return at once, and a read of a run first waits, bounded, for the run's
// queued writes; for any other address, and before any init, every call is MLflow's own. The server is
// compared at each call: MLflow keeps the store it built for an address, which may be before init.
// MLflow loads this module while it is itself being imported: the package's modules are looked up when
// a call needs them.
#include "runtime.hpp"

namespace {

constexpr double READ_WAIT_SECONDS = 10;  // at most, for a run's queued writes before reading it
constexpr size_t KNOWN_RUNS = 256;        // runs kept as last seen, the oldest dropped first

py::object loaded(const rt::Args& a, const char* name) { return a.global("sys").attr("modules").attr("get")(name); }

// The address init resolved, when `uri` is on that server (and MLflow's writes there are durable);
// else None.
py::object durable_server(const rt::Args& a, py::handle uri) {
    py::object context = loaded(a, "vela_experiment_tracking.context");
    if (context.is_none()) return py::none();
    py::object client = context.attr("current_client");
    if (!rt::truthy(client) || client.attr("tracking_uri").is_none()) return py::none();
    py::object sender = a.global("importlib").attr("import_module")("vela_experiment_tracking.tracking.sender");
    if (!rt::truthy(sender.attr("same_server")(client.attr("tracking_uri"), uri))) return py::none();
    return rt::str(client.attr("tracking_uri")).attr("rstrip")("/");
}

// The process's sender when this store's server is the one the last init resolved; else None.
py::object durable_sender(const rt::Args& a, py::handle self) {
    if (durable_server(a, self.attr("store_uri")).is_none()) return py::none();
    return loaded(a, "vela_experiment_tracking.tracking.sender").attr("get_sender")();
}

py::object durable_server_of(const rt::Args& a) { return durable_server(a, a[0]); }

py::object DurableRestStore_init(const rt::Args& a) {
    py::handle self = a[0];
    rt::super(a, self).attr("__init__")(a[1]);
    py::setattr(self, "store_uri", rt::str(a[2]).attr("rstrip")("/"));
    py::setattr(self, "_known_runs", py::dict());
    return py::none();
}

py::object DurableRestStore_log_batch(const rt::Args& a) {
    py::handle self = a[0];
    py::object sender = durable_sender(a, self);
    if (sender.is_none()) return rt::super(a, self).attr("log_batch")(a[1], a[2], a[3], a[4]);
    sender.attr("log_batch")(self.attr("store_uri"), a[1], a[2], a[3], a[4]);
    return py::none();
}

// log_metric, log_param, set_tag: one entity, as a batch of one.
template <int Slot>
py::object log_one(const rt::Args& a, const char* name) {
    py::handle self = a[0];
    py::object sender = durable_sender(a, self);
    if (sender.is_none()) return rt::super(a, self).attr(name)(a[1], a[2]);
    py::list entities[3];
    entities[Slot].append(a[2]);
    sender.attr("log_batch")(self.attr("store_uri"), a[1], entities[0], entities[1], entities[2]);
    return py::none();
}

py::object DurableRestStore_log_metric(const rt::Args& a) { return log_one<0>(a, "log_metric"); }
py::object DurableRestStore_log_param(const rt::Args& a) { return log_one<1>(a, "log_param"); }
py::object DurableRestStore_set_tag(const rt::Args& a) { return log_one<2>(a, "set_tag"); }

py::object DurableRestStore_delete_tag(const rt::Args& a) {
    py::handle self = a[0];
    py::object sender = durable_sender(a, self);
    if (sender.is_none()) return rt::super(a, self).attr("delete_tag")(a[1], a[2]);
    sender.attr("delete_tag")(self.attr("store_uri"), a[1], a[2]);
    return py::none();
}

// A run's end is a record too: its status and end time go in order after its other writes.
py::object DurableRestStore_update_run_info(const rt::Args& a) {
    py::handle self = a[0], run_status = a[2];
    py::object sender = durable_sender(a, self);
    if (sender.is_none()) return rt::super(a, self).attr("update_run_info")(a[1], a[2], a[3], a[4]);
    py::object status = run_status.is_none() ? py::none() : a.global("RunStatus").attr("to_string")(run_status);
    sender.attr("update_run")(self.attr("store_uri"), a[1], status, a[3], a[4]);
    return py::none();
}

// MLflow's other writes about a run whose answer carries nothing (its inputs, its outputs) are queued
// with the body MLflow made; every other request is MLflow's own.
py::object DurableRestStore_call_endpoint(const rt::Args& a) {
    py::handle self = a[0], api = a[1], json_body = a[2], endpoint = a[3], response = a[5];
    bool queued = rt::truthy(a.global("QUEUED_REQUESTS").attr("__contains__")(api)) && endpoint.is_none();
    py::object sender = queued ? durable_sender(a, self) : py::none();
    if (sender.is_none()) return rt::super(a, self).attr("_call_endpoint")(api, json_body, endpoint, a[4], response);
    py::object run_id = a.global("json").attr("loads")(json_body)["run_id"];
    py::object path = self.attr("_METHOD_TO_INFO")[api][py::int_(0)];
    sender.attr("post_request")(self.attr("store_uri"), run_id, path, json_body);
    return response.is_none() ? api.attr("Response")() : py::reinterpret_borrow<py::object>(response);
}

// A run as this store last saw it, for MLflow's printing of its address (see get_run).
void remember_run(py::handle self, py::handle run) {
    py::dict runs = self.attr("_known_runs");
    runs[run.attr("info").attr("run_id")] = run;
    if (py::len(runs) > KNOWN_RUNS) runs.attr("pop")(rt::builtin("next")(rt::builtin("iter")(runs)));
}

// The run this process starts: its owner ends it, or sync does when the process died first.
py::object DurableRestStore_create_run(const rt::Args& a) {
    py::handle self = a[0];
    py::object run = rt::super(a, self).attr("create_run")(a[1], a[2], a[3], a[4], a[5]);
    py::object sender = durable_sender(a, self);
    if (!sender.is_none()) {
        sender.attr("open_run")(self.attr("store_uri"), run.attr("info").attr("run_id"), py::arg("owner") = true);
        remember_run(self, run);
    }
    return run;
}

// Reads of a run see its writes: they wait (bounded) for the run's queued ones first.
void wait_for_writes(py::handle sender, py::handle run_id) {
    if (!sender.is_none()) sender.attr("wait")(run_id, READ_WAIT_SECONDS);
}

// MLflow reads a run to print its address ("View run ... at") when it ends it, before it
// writes the end, and to find where its artifacts go before it uploads one: those reads are
// answered with the run as last seen, which has all they need, so that neither waits for the
// server (a read would, through an outage, for minutes).
bool reads_what_never_changes() {
    return rt::equals(rt::caller_name(), py::str("_log_url")) ||
           rt::equals(rt::caller_name(1), py::str("_get_artifact_repo"));
}

py::object DurableRestStore_get_run(const rt::Args& a) {
    py::handle self = a[0], run_id = a[1];
    py::object sender = durable_sender(a, self);
    if (!sender.is_none() && reads_what_never_changes()) {
        py::object known = self.attr("_known_runs").attr("get")(run_id);
        if (!known.is_none()) return known;
    }
    wait_for_writes(sender, run_id);
    py::object run = rt::super(a, self).attr("get_run")(run_id);
    if (!sender.is_none()) remember_run(self, run);
    return run;
}

py::object DurableRestStore_get_metric_history(const rt::Args& a) {
    wait_for_writes(durable_sender(a, a[0]), a[1]);
    return rt::super(a, a[0]).attr("get_metric_history")(a[1], *a.varargs(), **a.kwargs());
}

py::object DurableRestStore_search_runs(const rt::Args& a) {
    wait_for_writes(durable_sender(a, a[0]), py::none());
    return rt::super(a, a[0]).attr("_search_runs")(*a.varargs(), **a.kwargs());
}

// The builder MLflow calls for an http(s) address.
py::object build_store(const rt::Args& a) {
    py::object credentials = a.global("functools").attr("partial")(a.global("get_default_host_creds"), a[0]);
    return a.global("DurableRestStore")(credentials, a[0]);
}

}  // namespace

VELA_MODULE(store) {
    module.import("functools");
    module.import("importlib");
    module.import("json");
    module.import("sys");
    module.import_from("mlflow.entities", {"RunStatus"});
    module.import_from("mlflow.protos.service_pb2", {"LogInputs", "LogOutputs"});
    module.import_from("mlflow.store.tracking.rest_store", {"RestStore"});
    module.import_from("mlflow.utils.credentials", {"get_default_host_creds"});

    module.set("QUEUED_REQUESTS", py::make_tuple(module.get("LogInputs"), module.get("LogOutputs")));

    auto self = rt::param("self"), run_id = rt::param("run_id");
    rt::ClassBuilder(module, "DurableRestStore", py::make_tuple(module.get("RestStore")),
                     "MLflow's REST store; the writes to the server of the last init go through the journal.")
        .method({"__init__", {self, rt::param("get_host_creds"), rt::param("store_uri")}, DurableRestStore_init})
        .method({"log_batch", {self, run_id, rt::param("metrics"), rt::param("params"), rt::param("tags")},
                 DurableRestStore_log_batch})
        .method({"log_metric", {self, run_id, rt::param("metric")}, DurableRestStore_log_metric})
        .method({"log_param", {self, run_id, rt::param("param")}, DurableRestStore_log_param})
        .method({"set_tag", {self, run_id, rt::param("tag")}, DurableRestStore_set_tag})
        .method({"delete_tag", {self, run_id, rt::param("key")}, DurableRestStore_delete_tag})
        .method({"update_run_info", {self, run_id, rt::param("run_status"), rt::param("end_time"), rt::param("run_name")},
                 DurableRestStore_update_run_info})
        .method({"create_run", {self, rt::param("experiment_id"), rt::param("user_id"), rt::param("start_time"),
                                rt::param("tags"), rt::param("run_name")},
                 DurableRestStore_create_run})
        .method({"get_run", {self, run_id}, DurableRestStore_get_run})
        .method({"get_metric_history", {self, run_id, rt::var_args(), rt::var_kwargs()},
                 DurableRestStore_get_metric_history})
        .method({"_call_endpoint", {self, rt::param("api"), rt::param("json_body", py::none()),
                                    rt::param("endpoint", py::none()), rt::param("retry_timeout_seconds", py::none()),
                                    rt::param("response_proto", py::none())},
                 DurableRestStore_call_endpoint})
        .method({"_search_runs", {self, rt::var_args(), rt::var_kwargs()}, DurableRestStore_search_runs})
        .build();
    module.def({"durable_server", {rt::param("uri")}, durable_server_of,
                "The tracking URI init resolved, without a final slash, when `uri` is on that server; else None."});
    module.def({"build_store", {rt::param("store_uri"), rt::param("artifact_uri", py::none())}, build_store,
                "MLflow's tracking store for an http(s) address."});
}

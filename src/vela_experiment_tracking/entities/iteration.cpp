// vela_experiment_tracking.entities.iteration: one iteration of an experiment, a run
// on the tracking server.
#include "runtime.hpp"
#include "../tracking/sender/calls.hpp"

#include <algorithm>
#include <chrono>

namespace {

constexpr double EXIT_DEADLINE_SECONDS = 30;

[[noreturn]] void refuse(const rt::Args& a, py::handle message) {
    rt::raise_instance(a.global("ExperimentTrackingException")(
        py::arg("message") = message, py::arg("error_code") = a.global("INVALID_PARAMETER_VALUE")));
}

py::object run_id(py::handle self) { return rt::attr(self, "_Iteration__run_id"); }

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

// A list of the items of any sequence (a copy).
py::list list_of(py::handle items) {
    PyObject* copy = PySequence_List(items.ptr());
    if (!copy) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(copy);
}

// Removes that very object (not one equal to it) from a sequence, if there.
void remove_item(py::handle items, py::handle item) {
    py::list copy = list_of(items);
    for (size_t i = copy.size(); i-- > 0;)
        if (py::handle(copy[i]).is(item)) {
            if (PyObject_DelItem(items.ptr(), py::int_(i).ptr()) < 0) throw py::error_already_set();
            return;
        }
}

py::object project_of(py::handle experiment) {
    py::object project = py::getattr(experiment, "project", py::none());
    if (!rt::truthy(project)) return py::none();
    return project;
}

// Tags a run carries from its start (or its resumption): project, name, parent, the caller's.
py::dict run_tags(const rt::Args& a, py::handle experiment, py::handle name, py::handle parent, py::handle extra) {
    py::dict tags;
    py::object project = project_of(experiment);
    if (!project.is_none()) {
        py::object project_name = py::getattr(project, "name", py::none());
        if (!project_name.is_none()) tags[a.global("EXP_STORE_PROJECT_NAME")] = py::str(project_name);
    }
    if (!name.is_none()) tags[a.global("EXP_STORE_RUN_NAME")] = name;
    if (!parent.is_none()) {  // a nested iteration names its parent, as MLflow's own UI expects too
        tags[a.global("EXP_STORE_PARENT_RUN_ID")] = parent.attr("iteration_id");
        tags[a.global("MLFLOW_PARENT_RUN_ID")] = parent.attr("iteration_id");
    }
    if (!extra.is_none())
        for (py::handle item : extra.attr("items")()) tags[py::str(item[py::int_(0)])] = py::str(item[py::int_(1)]);
    return tags;
}

// Processes that start together (the ranks of one training, say) write the same experiment tag at
// once, and the server may refuse all but one of the writes as a duplicate. What matters is that the
// tag is there: a failed write is checked against the server and made once more if it is missing (a
// value another process wrote first stays).
void set_experiment_tag(const rt::Args& a, py::handle mlflow, py::handle experiment_id, py::handle key,
                        py::handle value) {
    try {
        mlflow.attr("set_experiment_tag")(experiment_id, key, value);
    } catch (py::error_already_set& e) {
        if (!e.matches(a.global("MlflowException"))) throw;
        py::object held = mlflow.attr("get_experiment")(experiment_id).attr("tags").attr("get")(key);
        if (held.is_none()) mlflow.attr("set_experiment_tag")(experiment_id, key, value);
    }
}

// An experiment tagged with another project keeps its tag (that project lists it); this one's runs
// still carry their own project tag. Warned once per process.
bool held_by_another_project(const rt::Args& a, py::handle mlflow, py::handle experiment, py::handle project) {
    py::object key = a.global("EXP_STORE_PROJECT_NAME"), name = py::getattr(project, "name", py::none());
    py::object held = mlflow.attr("get_experiment")(experiment.attr("experiment_id")).attr("tags").attr("get")(key);
    if (held.is_none() || name.is_none() || rt::equals(held, py::str(name))) return false;
    a.global("logger").attr("warning")(rt::cat({py::str("Experiment '"), experiment.attr("name"),
                                                py::str("' belongs to project '"), held,
                                                py::str("'; it keeps that project, and the iterations of project '"),
                                                name, py::str("' in it carry their own project tag.")}));
    return true;
}

// The project and descriptions go on the experiment once per process and set of values, so
// the UI and searches can filter experiments by project.
void tag_experiment(const rt::Args& a, py::handle mlflow, py::handle experiment, py::handle tracking_uri) {
    py::object project = project_of(experiment);
    py::list tags;
    auto add = [&](py::object key, py::object value) {
        if (!value.is_none()) tags.append(py::make_tuple(key, py::str(value)));
    };
    if (!project.is_none()) {
        add(a.global("EXP_STORE_PROJECT_NAME"), py::getattr(project, "name", py::none()));
        add(a.global("EXP_STORE_PROJECT_DESCRIPTION"), py::getattr(project, "description", py::none()));
    }
    add(a.global("EXP_STORE_EXPERIMENT_DESCRIPTION"), experiment.attr("description"));
    if (tags.empty()) return;
    py::object experiment_id = experiment.attr("experiment_id");
    py::object done = a.global("context").attr("tagged_experiments");
    py::tuple key = py::make_tuple(tracking_uri, experiment_id, py::tuple(tags));
    if (rt::contains(done, key)) return;
    done.attr("add")(key);
    if (!project.is_none() && held_by_another_project(a, mlflow, experiment, project)) return;
    for (py::handle tag : tags) set_experiment_tag(a, mlflow, experiment_id, tag[py::int_(0)], tag[py::int_(1)]);
}

// The innermost iteration of this thread whose `with` block is open, or None.
py::object enclosing_iteration(py::handle thread_open) {
    py::list open = list_of(thread_open);
    for (size_t i = open.size(); i-- > 0;)
        if (rt::truthy(open[i].attr("_Iteration__entered"))) return open[i];
    return py::none();
}

// Ends an iteration; a failure is logged, and the iteration is no longer counted as open.
void end_quietly(const rt::Args& a, py::handle iteration, py::handle status) {
    try {
        iteration.attr("end")(status);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        a.global("logger").attr("debug")(rt::cat({py::str("Could not end iteration "), iteration.attr("iteration_id"),
                                                  py::str(": "), py::repr(e.value())}));
        iteration.attr("_forget")();
    }
}

// A top-level iteration started where no `with` block of this thread is open (a notebook cell
// run again, a script starting the next one) ends the ones this thread left open: they finished.
void end_left_open(const rt::Args& a, py::handle thread_open) {
    py::list left = list_of(thread_open);
    for (size_t i = left.size(); i-- > 0;) end_quietly(a, left[i], py::str("FINISHED"));
}

// The run carries what MLflow's own start of a run records (its source, its git commit: MLflow's run
// context providers), below the package's tags and the user.
py::object start_run(const rt::Args& a, py::handle mlflow, py::handle experiment, py::handle user, py::handle name,
                      py::dict own_tags) {
    py::dict tags = a.global("resolve_tags")(own_tags);
    tags[a.global("MLFLOW_USER")] = user.attr("username");
    py::object run = mlflow.attr("create_run")(experiment.attr("experiment_id"), py::arg("tags") = tags,
                                               py::arg("run_name") = name);
    py::object info = run.attr("info");
    if (name.is_none()) mlflow.attr("set_tag")(info.attr("run_id"), a.global("EXP_STORE_RUN_NAME"), info.attr("run_name"));
    return run;
}

// An existing run of this experiment, running again.
py::object resume_run(const rt::Args& a, py::handle mlflow, py::handle experiment, py::handle iteration_id,
                      py::handle name, py::dict tags) {
    py::object run = mlflow.attr("get_run")(iteration_id);
    if (!rt::equals(py::str(run.attr("info").attr("experiment_id")), py::str(experiment.attr("experiment_id"))))
        refuse(a, rt::cat({py::str("Iteration "), iteration_id, py::str(" belongs to another experiment.")}));
    mlflow.attr("update_run")(iteration_id, py::arg("status") = "RUNNING", py::arg("name") = name);
    py::list entries = entries_of(tags, [&](py::handle key, py::handle value) { return a.global("RunTag")(key, value); });
    if (!entries.empty()) mlflow.attr("log_batch")(iteration_id, py::arg("tags") = entries);
    return run;
}

// Open in this thread: the parent lookup, the user's stack, the process's list for the end
// at exit, and MLflow's active run of this thread, so fluent calls and autolog land in it.
void open_iteration(const rt::Args& a, py::handle self, py::handle run, py::handle thread_open) {
    thread_open.attr("append")(self);
    py::setattr(self, "_Iteration__thread_open", thread_open);
    self.attr("_Iteration__user").attr("active_iteration_stack").attr("append")(self);
    a.global("context").attr("open_iterations").attr("append")(self);
    py::object fluent_stack = a.global("fluent").attr("_active_run_stack").attr("get")();
    py::object active_run = a.global("fluent").attr("ActiveRun")(run);
    fluent_stack.attr("append")(active_run);
    py::setattr(self, "_Iteration__fluent_stack", fluent_stack);
    py::setattr(self, "_Iteration__active_run", active_run);
}

// The logging calls validate at once and hand their records to the process's sender, which sends them
// in the background; `synchronous=True` (or VELA_LOG_SYNCHRONOUS) waits for the server as well.
py::object sender(const rt::Args& a) {
    PyObject* made = PyObject_CallNoArgs(a.global("get_sender").ptr());
    if (!made) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(made);
}

// The server the run was started on, read once: each logging call then touches as few objects as it can,
// which is what a call costs a training loop that finds them cold.
py::object logging_server(py::handle self) { return rt::attr(self, "_Iteration__server"); }

py::object Iteration_init(const rt::Args& a) {
    py::handle self = a[0], experiment = a[1], name = a[2], extra_tags = a[3], iteration_id = a[4];
    py::object client = experiment.attr("client");
    if (!rt::truthy(client))
        refuse(a, py::str("The experiment is not bound to a tracking client: start it with init()."));
    py::object mlflow = a.global("create_mlflow_client")(client.attr("tracking_uri"));
    py::object user = client.attr("user");
    py::object thread_open = a.global("context").attr("thread_iterations").attr("open");
    py::object parent = a[5].is_none() ? enclosing_iteration(thread_open) : py::reinterpret_borrow<py::object>(a[5]);
    if (parent.is_none()) end_left_open(a, thread_open);

    tag_experiment(a, mlflow, experiment, client.attr("tracking_uri"));
    py::dict tags = run_tags(a, experiment, name, parent, extra_tags);
    bool resumed = !iteration_id.is_none();
    py::object run = resumed ? resume_run(a, mlflow, experiment, iteration_id, name, tags)
                             : start_run(a, mlflow, experiment, user, name, tags);
    py::object info = run.attr("info");

    py::object run_name = name.is_none() ? py::object(info.attr("run_name")) : py::reinterpret_borrow<py::object>(name);
    rt::super(a, self).attr("__init__")(run_name, py::none());
    py::setattr(self, "_Iteration__run_id", info.attr("run_id"));
    py::setattr(self, "_Iteration__status", py::str("RUNNING"));
    py::setattr(self, "experiment", experiment);
    py::setattr(self, "parent", parent);
    py::setattr(self, "params", resumed ? py::dict(run.attr("data").attr("params")) : py::dict());
    py::setattr(self, "_Iteration__mlflow", mlflow);
    py::setattr(self, "_Iteration__user", user);
    py::setattr(self, "_Iteration__entered", py::int_(0));
    // the run's journal is made now, with the run, not in the training loop's first logging call
    py::setattr(self, "_Iteration__server", client.attr("tracking_uri"));
    py::setattr(self, "_Iteration__owner", py::bool_(!resumed));
    if (resumed)
        sender(a).attr("open_run")(logging_server(self), run_id(self));
    else  // a journal it leaves ends the run when uploaded: its process died
        sender(a).attr("open_run")(logging_server(self), run_id(self), py::arg("owner") = true);
    open_iteration(a, self, run, thread_open);
    return py::none();
}

py::object Iteration_iteration_id(const rt::Args& a) { return run_id(a[0]); }

// As the server has it; what this process last set when the server cannot be asked.
py::object Iteration_status(const rt::Args& a) {
    py::handle self = a[0];
    try {
        py::object status = self.attr("_Iteration__mlflow").attr("get_run")(run_id(self)).attr("info").attr("status");
        py::setattr(self, "_Iteration__status", status);
        return status;
    } catch (py::error_already_set& e) {
        if (!e.matches(a.global("MlflowException"))) throw;
        return self.attr("_Iteration__status");
    }
}

py::object now_ms() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return py::int_(static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()));
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
    rt::call_method(sender(a), "log_params", {logging_server(self), run_id(self), texts},
                    {{"synchronous", synchronous}});
    logged.attr("update")(texts);
    return py::none();
}

py::object Iteration_log_param(const rt::Args& a) {
    return rt::call_method(a[0], "log_params", {single(a[1], a[2])}, {{"synchronous", a[3]}});
}

// The package's own sender is called natively; any other (a subclass, a test's substitute) by its methods.
py::object Iteration_log_metrics(const rt::Args& a) {
    py::handle self = a[0];
    py::object to = sender(a);
    if (sender::is_native_sender(to))
        sender::log_metrics(to, logging_server(self), run_id(self), a[1], now_ms(), a[2], a[3]);
    else
        rt::call_method(to, "log_metrics", {logging_server(self), run_id(self), a[1], now_ms(), a[2]},
                        {{"synchronous", a[3]}});
    return py::none();
}

py::object Iteration_log_metric(const rt::Args& a) {
    py::handle self = a[0];
    py::object to = sender(a);
    if (sender::is_native_sender(to))
        sender::log_metric(to, logging_server(self), run_id(self), a[1], a[2], now_ms(), a[3], a[4]);
    else
        rt::call_method(to, "log_metric", {logging_server(self), run_id(self), a[1], a[2], now_ms(), a[3]},
                        {{"synchronous", a[4]}});
    return py::none();
}

py::object Iteration_set_tags(const rt::Args& a) {
    py::handle self = a[0];
    rt::call_method(sender(a), "set_tags", {logging_server(self), run_id(self), a[1]}, {{"synchronous", a[2]}});
    return py::none();
}

py::object Iteration_set_tag(const rt::Args& a) {
    py::handle self = a[0];
    py::object to = sender(a);
    if (sender::is_native_sender(to))
        sender::set_tag(to, logging_server(self), run_id(self), a[1], a[2], a[3]);
    else
        rt::call_method(to, "set_tag", {logging_server(self), run_id(self), a[1], a[2]}, {{"synchronous", a[3]}});
    return py::none();
}

// Waits for the run's records to reach the server (see Sender.flush).
py::object Iteration_flush(const rt::Args& a) { return sender(a).attr("flush")(run_id(a[0]), a[1]); }

py::object Iteration_log_artifact(const rt::Args& a) {
    py::handle self = a[0];
    self.attr("_Iteration__mlflow").attr("log_artifact")(run_id(self), a[1], a[2]);
    return py::none();
}

py::object Iteration_log_artifacts(const rt::Args& a) {
    py::handle self = a[0];
    self.attr("_Iteration__mlflow").attr("log_artifacts")(run_id(self), a[1], a[2]);
    return py::none();
}

// log_dict, log_text, log_figure: MLflow's client call of that name, (run, content, artifact_file).
template <const char* Call>
py::object log_as_artifact(const rt::Args& a) {
    py::handle self = a[0];
    self.attr("_Iteration__mlflow").attr(Call)(run_id(self), a[1], a[2]);
    return py::none();
}
constexpr char LOG_DICT[] = "log_dict";
constexpr char LOG_TEXT[] = "log_text";
constexpr char LOG_FIGURE[] = "log_figure";

// No longer open anywhere: not a parent candidate, not MLflow's active run, not ended at exit.
py::object Iteration_forget(const rt::Args& a) {
    py::handle self = a[0];
    remove_item(self.attr("_Iteration__user").attr("active_iteration_stack"), self);
    remove_item(self.attr("_Iteration__thread_open"), self);
    remove_item(a.global("context").attr("open_iterations"), self);
    remove_item(self.attr("_Iteration__fluent_stack"), self.attr("_Iteration__active_run"));
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

// The end is a record of the run, queued after its others, and waited for with them (bounded), so that
// whoever reads the run next sees it ended, while the end returns when the server is down. A client or
// sender that is not the package's own (a test's substitute) is asked to end the run as MLflow's is.
py::object Iteration_end(const rt::Args& a) {
    py::handle self = a[0], status = a[1];
    py::object to = sender(a), mlflow = self.attr("_Iteration__mlflow");
    bool queued = sender::is_native_sender(to) && rt::is_instance(mlflow, a.global("MlflowClient"));
    if (queued) to.attr("update_run")(logging_server(self), run_id(self), status);
    py::object refused = flush_before_end(a, self);
    if (!queued) mlflow.attr("set_terminated")(run_id(self), status);
    py::setattr(self, "_Iteration__status", status);
    self.attr("_forget")();
    if (refused) rt::raise_instance(refused);
    return py::none();
}

// Inside its `with` block an iteration is the parent of the ones started in the block.
void count_entered(py::handle self, long change) {
    long entered = self.attr("_Iteration__entered").cast<long>();
    py::setattr(self, "_Iteration__entered", py::int_(std::max(0L, entered + change)));
}

py::object Iteration_enter(const rt::Args& a) {
    count_entered(a[0], +1);
    return py::reinterpret_borrow<py::object>(a[0]);
}

// Finished on success, failed on an exception; the exception goes on.
py::object Iteration_exit(const rt::Args& a) {
    count_entered(a[0], -1);
    a[0].attr("end")(a[1].is_none() ? "FINISHED" : "FAILED");
    return py::none();
}

// At interpreter exit the iterations still open finished, or failed when an unhandled exception
// ends the interpreter. Each request gets one short try, and all of them a deadline.
py::object end_open_iterations(const rt::Args& a) {
    py::object context = a.global("context");
    py::str status(rt::truthy(context.attr("exiting_on_exception")) ? "FAILED" : "FINISHED");
    py::object environ = a.global("os").attr("environ");
    environ["MLFLOW_HTTP_REQUEST_MAX_RETRIES"] = "0";
    environ["MLFLOW_HTTP_REQUEST_TIMEOUT"] = "5";
    py::object monotonic = a.global("time").attr("monotonic");
    double deadline = monotonic().cast<double>() + EXIT_DEADLINE_SECONDS;
    py::list open = list_of(context.attr("open_iterations"));
    for (size_t i = open.size(); i-- > 0 && monotonic().cast<double>() < deadline;) {
        // a run this process attached to (a rank resuming it by id) is its starter's to end
        if (rt::truthy(py::getattr(open[i], "_Iteration__owner", py::bool_(true)))) end_quietly(a, open[i], status);
        else open[i].attr("_forget")();
    }
    return py::none();
}

py::object ExitStatusHook_init(const rt::Args& a) {
    py::setattr(a[0], "previous", a[1]);
    return py::none();
}

// An unhandled exception reaches the hook just before the interpreter ends; at the
// interactive prompt it does not end anything.
py::object ExitStatusHook_call(const rt::Args& a) {
    py::handle self = a[0];
    if (!py::hasattr(a.global("sys"), "ps1")) py::setattr(a.global("context"), "exiting_on_exception", py::bool_(true));
    return self.attr("previous")(a[1], a[2], a[3]);
}

}  // namespace

VELA_MODULE(iteration) {
    module.import("atexit");
    module.import("logging");
    module.import("os");
    module.import("sys");
    module.import("time");
    module.import_from("mlflow.entities", {"Metric", "Param", "RunTag"});
    module.import_from("mlflow.exceptions", {"MlflowException"});
    module.import_from("mlflow.tracking", {"MlflowClient"});
    module.import_from("mlflow.tracking.context.registry", {"resolve_tags"});
    module.import_from("mlflow.protos.databricks_pb2", {"INVALID_PARAMETER_VALUE"});
    module.import_as("mlflow.tracking.fluent", "fluent");
    module.import_from("mlflow.utils.mlflow_tags", {"MLFLOW_USER", "MLFLOW_PARENT_RUN_ID"});
    module.import_as("vela_experiment_tracking.context", "context");
    module.import_from("vela_experiment_tracking.entities.labeled_record", {"LabeledRecord"});
    module.import_from("vela_experiment_tracking.exception", {"ExperimentTrackingException"});
    module.import_from("vela_experiment_tracking.model.tags",
                       {"EXP_STORE_RUN_NAME", "EXP_STORE_PARENT_RUN_ID", "EXP_STORE_PROJECT_NAME",
                        "EXP_STORE_PROJECT_DESCRIPTION", "EXP_STORE_EXPERIMENT_DESCRIPTION"});
    module.import_from("vela_experiment_tracking.tracking.client", {"create_mlflow_client"});
    module.import_from("vela_experiment_tracking.tracking.sender", {"get_sender"});
    module.import_from("vela_experiment_tracking.utils.validation", {"_validate_keys_already_exists"});
    module.create_logger();

    auto self = rt::param("self");
    auto synchronous = rt::param("synchronous", py::none());
    rt::ClassBuilder(module, "Iteration", py::make_tuple(module.get("LabeledRecord")),
                     "One iteration of an experiment: a run on the tracking server, started (or resumed, given\n"
                     "its id) when it is made, and MLflow's active run in this thread until it ends.\n\n"
                     "It nests under the iteration whose `with` block is open in this thread, or under `parent`.\n"
                     "Otherwise the iterations this thread left open are ended first.")
        .method({"__init__",
                 {self, rt::param("experiment"), rt::param("name", py::none()), rt::param("tags", py::none()),
                  rt::param("iteration_id", py::none()), rt::param("parent", py::none())},
                 Iteration_init})
        .property({"iteration_id", Iteration_iteration_id, nullptr, "The run's id on the tracking server."})
        .property({"status", Iteration_status, nullptr, "The run's status on the tracking server."})
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
        .method({"log_artifacts", {self, rt::param("local_dir"), rt::param("artifact_path", py::none())},
                 Iteration_log_artifacts, "Upload the files of a local directory, subdirectories included."})
        .method({"log_dict", {self, rt::param("dictionary"), rt::param("artifact_file")}, log_as_artifact<LOG_DICT>,
                 "Save a mapping as a JSON or YAML artifact (chosen by the file's extension)."})
        .method({"log_text", {self, rt::param("text"), rt::param("artifact_file")}, log_as_artifact<LOG_TEXT>,
                 "Save a text as an artifact."})
        .method({"log_figure", {self, rt::param("figure"), rt::param("artifact_file")}, log_as_artifact<LOG_FIGURE>,
                 "Save a matplotlib or plotly figure as an artifact."})
        .method({"end", {self, rt::param("status", py::str("FINISHED"))}, Iteration_end,
                 "End the run with that status (FINISHED, FAILED or KILLED)."})
        .method({"_forget", {self}, Iteration_forget})
        .method({"__enter__", {self}, Iteration_enter})
        .method({"__exit__", {self, rt::param("exc_type"), rt::param("exc_value"), rt::param("traceback")},
                 Iteration_exit})
        .build();

    module.def({"end_open_iterations", {}, end_open_iterations,
                "End the iterations still open: FAILED when the interpreter ends on an unhandled exception."});
    rt::ClassBuilder(module, "ExitStatusHook", py::tuple(),
                     "sys.excepthook's stand-in: notes that the interpreter ends on an exception, then hands over.")
        .method({"__init__", {self, rt::param("previous")}, ExitStatusHook_init})
        .method({"__call__", {self, rt::param("exc_type"), rt::param("exc_value"), rt::param("traceback")},
                 ExitStatusHook_call})
        .build();

    module.get("atexit").attr("register")(module.get("end_open_iterations"));
    py::object sys = module.get("sys");
    sys.attr("excepthook") = module.get("ExitStatusHook")(sys.attr("excepthook"));
}

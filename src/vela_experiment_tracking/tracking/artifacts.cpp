// vela_experiment_tracking.tracking.artifacts: MLflow's repository for the artifacts its tracking
// server keeps (mlflow-artifacts:), with a run's uploads to the server that init resolved going
// through the journal and background sender.
//
// MLflow builds the repository of an address through its `mlflow.artifact_repository` plugins, which
// it registers after its own schemes. For a run's artifacts on the server of the last init, an upload
// copies the file beside the journal and returns; the sender puts it on the server in order with the
// run's other records, through outages, and `sync` does for a process that ended first. A listing or
// a download first waits, bounded, for the run's queued records. Any other address, and any other
// artifact (a logged model's, say), is MLflow's own. MLflow loads this module while it is itself
// being imported: the package's modules are looked up when a call needs them.
#include "runtime.hpp"

namespace {

constexpr double READ_WAIT_SECONDS = 10;  // at most, for a run's queued records before reading its artifacts

py::object module_named(const rt::Args& a, const char* name) {
    return a.global("importlib").attr("import_module")(name);
}

py::object process_sender(const rt::Args& a) {
    return module_named(a, "vela_experiment_tracking.tracking.sender").attr("get_sender")();
}

// (tracking URI, run id, path of the artifacts on the server after that URI) when this repository
// holds a run's artifacts on the server of the last init; else None.
py::object durable_run(const rt::Args& a, py::handle self) {
    py::object artifact_uri = self.attr("artifact_uri");
    py::object server = module_named(a, "vela_experiment_tracking.tracking.store").attr("durable_server")(artifact_uri);
    if (server.is_none()) return py::none();
    std::string root = server.cast<std::string>(), artifacts = artifact_uri.cast<std::string>();
    if (artifacts.compare(0, root.size() + 1, root + "/") != 0) return py::none();
    py::object path = py::str(artifacts.substr(root.size()));
    py::object match = a.global("RUN_ARTIFACTS").attr("match")(path);
    if (match.is_none()) return py::none();
    return py::make_tuple(server, match.attr("group")(1), path);
}

py::object DurableArtifactRepository_log_artifact(const rt::Args& a) {
    py::handle self = a[0], local_file = a[1], artifact_path = a[2];
    a.global("verify_artifact_path")(artifact_path);
    py::object run = durable_run(a, self);
    if (!run.is_none()) {
        py::object folder = rt::truthy(artifact_path) ? py::reinterpret_borrow<py::object>(artifact_path) : py::str("");
        py::object name = a.global("os").attr("path").attr("basename")(local_file);
        py::object address = a.global("posixpath").attr("join")(run[py::int_(2)], folder, name);
        if (rt::truthy(process_sender(a).attr("log_artifact")(run[py::int_(0)], run[py::int_(1)], address, local_file)))
            return py::none();
    }
    return rt::super(a, self).attr("log_artifact")(local_file, artifact_path);
}

// Reads see the run's uploads: they wait (bounded) for its queued records first.
void wait_for_uploads(const rt::Args& a, py::handle self) {
    py::object run = durable_run(a, self);
    if (!run.is_none()) process_sender(a).attr("wait")(run[py::int_(1)], READ_WAIT_SECONDS);
}

py::object DurableArtifactRepository_list_artifacts(const rt::Args& a) {
    wait_for_uploads(a, a[0]);
    return rt::super(a, a[0]).attr("list_artifacts")(a[1]);
}

py::object DurableArtifactRepository_download_artifacts(const rt::Args& a) {
    wait_for_uploads(a, a[0]);
    return rt::super(a, a[0]).attr("download_artifacts")(*a.varargs(), **a.kwargs());
}

}  // namespace

VELA_MODULE(artifacts) {
    module.import("importlib");
    module.import("os");
    module.import("posixpath");
    module.import("re");
    module.import_from("mlflow.store.artifact.artifact_repo", {"verify_artifact_path"});
    module.import_from("mlflow.store.artifact.mlflow_artifacts_repo", {"MlflowArtifactsRepository"});
    // A run's artifacts as the server keeps them by default: <experiment>/<run id>/artifacts
    module.set("RUN_ARTIFACTS", module.get("re").attr("compile")(
                                    "/api/2\\.0/mlflow-artifacts/artifacts/[^/]+/([0-9a-f]{32})/artifacts(?:/|$)"));

    auto self = rt::param("self");
    rt::ClassBuilder(module, "DurableArtifactRepository", py::make_tuple(module.get("MlflowArtifactsRepository")),
                     "MLflow's repository of the tracking server's artifacts; a run's uploads to the server of the "
                     "last init go through the journal.")
        .method({"log_artifact", {self, rt::param("local_file"), rt::param("artifact_path", py::none())},
                 DurableArtifactRepository_log_artifact})
        .method({"list_artifacts", {self, rt::param("path", py::none())}, DurableArtifactRepository_list_artifacts})
        .method({"download_artifacts", {self, rt::var_args(), rt::var_kwargs()},
                 DurableArtifactRepository_download_artifacts})
        .build();
}

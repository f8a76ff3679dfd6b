// vela_experiment_tracking.tracking.initialize: init, the start of tracking.
#include "runtime.hpp"

namespace {

constexpr const char* DELETED_EXPERIMENT =
    "Cannot set a deleted experiment '%s' as the active experiment. You can restore the experiment, or permanently "
    "delete the  experiment to create a new one.";

// MLflow's answer when an experiment of that name exists already.
bool already_exists(const py::error_already_set& e) {
    py::object code = rt::builtin("getattr")(e.value(), "error_code", py::none());
    return rt::equals(code, py::str("RESOURCE_ALREADY_EXISTS"));
}

// An address init cannot use is named as such, before any request: none at all (on the cloud
// platform, the variable that should hold it), one without a scheme, one of the UI or the API.
void require_usable_address(const rt::Args& a, py::handle address, bool cloud) {
    py::object problem;
    if (!rt::truthy(address) && cloud)
        problem = rt::cat({py::str("on the cloud platform ("), a.global("ENV_VELA_CLOUD_ENVIRONMENT"), py::str(" and "),
                           a.global("ENV_PLATFORM_TOKEN_ENDPOINT"), py::str(" are set) the address comes from "),
                           a.global("ENV_EXP_TRACKING_SERVER_URI"), py::str(", which is not set")});
    else
        problem = a.global("address_problem")(address);
    if (problem.is_none()) return;
    rt::raise_instance(a.global("ServerNotAccessibleException")(
        py::arg("message") = rt::cat({py::str("No usable tracking server address: "), problem, py::str(".")}),
        py::arg("error_code") = a.global("INVALID_PARAMETER_VALUE")));
}

// MLflow retries a failing API for minutes before it says anything; init asks the API once
// itself, bounded (a stand-in for MLflow's client talks to no server, and is not asked).
void require_answering_api(const rt::Args& a, py::handle client, py::handle address) {
    if (!rt::is_instance(client, a.global("MlflowClient"))) return;
    a.global("check_tracking_api")(address, a.global("BearerAuth")());
}

py::object init(const rt::Args& a) {
    py::handle project_arg = a[0], experiment_arg = a[1], use_if_exists = a[2], tracking_uri = a[3],
               authenticator = a[4];
    py::object logger = a.global("logger");
    py::object os = a.global("os");

    py::object using_default_experiment = rt::compare(experiment_arg, a.global("DEFAULT_EXPERIMENT_NAME"), Py_EQ);

    py::object previous_authenticator = py::none();
    if (rt::truthy(a.global("context").attr("current_client")))
        previous_authenticator = a.global("context").attr("current_client").attr("authenticator");
    py::handle chosen = rt::truthy(authenticator) ? authenticator : py::handle(previous_authenticator);
    py::object current_client = a.global("Client")(a.global("check_authentication")(chosen));
    a.global("context").attr("current_client").attr("update")(current_client);
    py::object current_user = current_client.attr("user");

    py::object project = py::reinterpret_borrow<py::object>(project_arg);
    py::object experiment = py::reinterpret_borrow<py::object>(experiment_arg);
    if (!rt::is_instance(project, a.global("Project"))) project = a.global("Project")(project, py::none());
    if (!rt::is_instance(experiment, a.global("Experiment"))) experiment = a.global("Experiment")(experiment, py::none());
    py::object project_name = project.attr("name"), project_description = project.attr("description");
    py::object experiment_name = experiment.attr("name"), experiment_description = experiment.attr("description");

    if (!rt::truthy(project_name))
        rt::raise_instance(a.global("ExperimentTrackingException")(
            py::arg("message") = "Must specify `project_name`.",
            py::arg("error_code") = a.global("INVALID_PARAMETER_VALUE")));

    bool cloud = rt::truthy(a.global("is_cloud")());
    py::object uri = cloud ? os.attr("getenv")(a.global("ENV_EXP_TRACKING_SERVER_URI"))
                           : py::reinterpret_borrow<py::object>(tracking_uri);
    py::setattr(current_client, "tracking_uri", uri);
    py::object resolved_tracking_uri = current_client.attr("tracking_uri");
    logger.attr("debug")(rt::cat({py::str("Using tracking server uri: "), resolved_tracking_uri}));
    require_usable_address(a, resolved_tracking_uri, cloud);
    py::object address = resolved_tracking_uri.attr("rstrip")("/");
    if (!rt::truthy(a.global("is_server_up")(address))) {
        py::str message = rt::cat({py::str("Unable to communicate with Experiment Tracking server. Please make sure the "
                                           "server at '"),
                                   address, py::str("' is running, and the address is correct.")});
        py::object detail = a.global("probe_detail")(address);  // what the probe found, when it was ours
        if (!detail.is_none()) message = rt::cat({message, py::str(" The server "), detail, py::str(".")});
        rt::raise_instance(a.global("ServerNotAccessibleException")(message));
    }

    py::object client = a.global("create_mlflow_client")(current_client.attr("tracking_uri"));
    project = a.global("Project")(project_name, project_description, current_client);
    if (rt::truthy(using_default_experiment)) return project;
    require_answering_api(a, client, address);

    py::object found = client.attr("get_experiment_by_name")(experiment_name);
    py::object server_experiment;
    if (!rt::truthy(found)) {
        try {
            py::object experiment_id = client.attr("create_experiment")(experiment_name);
            server_experiment = client.attr("get_experiment")(experiment_id);
            logger.attr("debug")(rt::cat({py::str("New experiment created with name: "), experiment_name,
                                          py::str(" and ID: "), server_experiment.attr("experiment_id")}));
        } catch (py::error_already_set& e) {
            // another process created it between our lookup and our creation: use theirs
            if (!already_exists(e)) throw;
            found = client.attr("get_experiment_by_name")(experiment_name);
            if (!rt::truthy(found)) throw;
        }
    }
    if (rt::truthy(found)) {
        if (!rt::truthy(use_if_exists))
            rt::raise(PyExc_Exception, rt::cat({py::str("Experiment already exists with name: "), found.attr("name")}));
        logger.attr("debug")(rt::cat({py::str("Re-using experiment with name: "), experiment_name, py::str(" and ID: "),
                                      found.attr("experiment_id")}));
        server_experiment = found;
    }

    if (rt::truthy(rt::compare(server_experiment.attr("lifecycle_stage"), a.global("LifecycleStage").attr("ACTIVE"), Py_NE)))
        rt::raise_instance(a.global("ExperimentTrackingException")(
            py::arg("message") = py::str(DELETED_EXPERIMENT).attr("__mod__")(server_experiment.attr("name")),
            py::arg("error_code") = a.global("INVALID_PARAMETER_VALUE")));

    py::object active_experiment = a.global("Experiment")(server_experiment.attr("name"), experiment_description,
                                                          server_experiment.attr("experiment_id"), project);
    py::setattr(current_user, "active_experiment", active_experiment);
    py::setattr(current_user, "active_project", project);
    return active_experiment;
}

}  // namespace

VELA_MODULE(initialize) {
    module.import("logging");
    module.import("os");
    module.import_from("typing", {"Union"});
    module.import_from("mlflow.entities", {"LifecycleStage"});
    module.import_from("mlflow.protos.databricks_pb2", {"INVALID_PARAMETER_VALUE"});
    module.import_from("vela_experiment_tracking.auth.authenticator", {"Authenticator"});
    module.import_from("vela_experiment_tracking.auth.lookup", {"check_authentication"});
    module.import_from("vela_experiment_tracking.auth.user", {"User"});
    module.import_from("vela_experiment_tracking.constants", {"DEFAULT_EXPERIMENT_NAME"});
    module.import_from("vela_experiment_tracking.exception",
                       {"ExperimentTrackingException", "ServerNotAccessibleException"});
    module.import_from("vela_experiment_tracking.entities.experiment", {"Experiment"});
    module.import_from("vela_experiment_tracking.entities.project", {"Project"});
    module.import_from("vela_experiment_tracking.tracking.client", {"Client", "create_mlflow_client"});
    module.import_from("vela_experiment_tracking.constants", {"DEFAULT_TRACK_SERVER", "ENV_EXP_TRACKING_SERVER_URI"});
    module.import_from("vela_experiment_tracking.utils.validation", {"is_server_up", "is_cloud"});
    module.import_from("mlflow.tracking", {"MlflowClient"});
    module.import_from("vela_experiment_tracking.constants", {"ENV_VELA_CLOUD_ENVIRONMENT", "ENV_PLATFORM_TOKEN_ENDPOINT"});
    module.import_from("vela_experiment_tracking.tracking.client", {"BearerAuth"});
    module.import_from("vela_experiment_tracking.utils.addresses", {"address_problem", "check_tracking_api", "probe_detail"});
    module.import_from_as("vela_experiment_tracking", "context", "context");
    module.create_logger();

    py::object Union = module.get("Union");
    py::object Project = module.get("Project"), Experiment = module.get("Experiment");
    py::object default_server = module.get("DEFAULT_TRACK_SERVER");
    std::string doc =
        "Start an experiment and set the given experiment as an active experiment.\n"
        ":param project: Case sensitive name of the project to be created.\n"
        ":param experiment: Case sensitive name of the experiment to be created.\n"
        ":param use_if_exists: Use same experiment if already exists.\n"
        ":param tracking_uri: Tracking server URI.If not specified, http://localhost:5000 will be used.\n"
        ":param authenticator: Authenticator details.\n"
        ".. note:: If Authenticator is not specified, will try to resolve from the\n"
        "previous init() call. If it fails, it will assume the open communication.";
    module.def({"init",
                {rt::param("project").annotated(Union[py::make_tuple(rt::builtin("str"), Project)]),
                 rt::param("experiment", module.get("DEFAULT_EXPERIMENT_NAME"))
                     .annotated(Union[py::make_tuple(rt::builtin("str"), Experiment)]),
                 rt::param("use_if_exists", py::bool_(true)),
                 rt::param("tracking_uri", default_server).as_text(),
                 rt::param("authenticator", py::none()).annotated(module.get("Authenticator"))},
                init, doc.c_str(), Union[py::make_tuple(Project, Experiment)]});
}

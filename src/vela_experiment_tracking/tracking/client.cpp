// vela_experiment_tracking.tracking.client: the package's tracking client and MLflow's.
#include "runtime.hpp"

namespace {

py::object Client_init(const rt::Args& a) {
    py::handle self = a[0], authenticator = a[1];
    py::setattr(self, "authenticator", authenticator);
    py::object user = rt::truthy(authenticator) ? authenticator.attr("user")
                                                 : a.global("User").attr("create_terminal_user")();
    py::setattr(self, "user", user);
    py::setattr(self, "tracking_uri", py::none());
    return py::none();
}

py::object Client_get_iteration(const rt::Args& a) {
    py::handle self = a[0], iteration_id = a[1];
    return a.global("create_mlflow_client")(self.attr("tracking_uri")).attr("get_run")(iteration_id);
}

// While a login is in effect, MLflow asks our request-auth provider for every
// request, so a long run keeps sending a valid access token.
py::object create_mlflow_client(const rt::Args& a) {
    py::object environ = a.global("os").attr("environ");
    py::object auth_variable = a.global("ENV_MLFLOW_TRACKING_AUTH");
    if (rt::contains(environ, a.global("ENV_MLFLOW_TRACKING_TOKEN")) && !rt::contains(environ, auth_variable))
        environ[auth_variable] = a.global("REQUEST_AUTH_PROVIDER_NAME");
    return a.global("MlflowClient")(py::arg("tracking_uri") = a[0]);
}

// A requests auth hook: the current authenticator's token, asked at each request.
py::object BearerAuth_call(const rt::Args& a) {
    py::handle request = a[1];
    py::object context = py::module_::import("vela_experiment_tracking.context");
    py::object authenticator = context.attr("current_client").attr("authenticator");
    if (rt::truthy(authenticator))
        request.attr("headers")["Authorization"] = rt::cat({py::str("Bearer "), authenticator.attr("token")()});
    return py::reinterpret_borrow<py::object>(request);
}

py::object RequestAuthProvider_get_name(const rt::Args& a) { return a.global("REQUEST_AUTH_PROVIDER_NAME"); }

py::object RequestAuthProvider_get_auth(const rt::Args& a) { return a.global("BearerAuth")(); }

}  // namespace

VELA_MODULE(client) {
    module.import("os");
    module.import_from("requests.auth", {"AuthBase"});
    module.import_from("mlflow.tracking", {"MlflowClient"});
    module.import_from_as("mlflow.tracking.request_auth.abstract_request_auth_provider", "RequestAuthProvider",
                          "MlflowRequestAuthProvider");
    module.import_from("vela_experiment_tracking.auth.user", {"User"});
    module.import_from("vela_experiment_tracking.constants",
                       {"ENV_MLFLOW_TRACKING_TOKEN", "ENV_MLFLOW_TRACKING_AUTH", "REQUEST_AUTH_PROVIDER_NAME"});

    auto self = rt::param("self");
    rt::ClassBuilder(module, "Client", py::tuple(),
                     "The package's tracking client: the authenticator in use, its user and the server address.")
        .method({"__init__", {self, rt::param("authenticator")}, Client_init})
        .method({"get_iteration", {self, rt::param("iteration_id")}, Client_get_iteration,
                 "The run of that id, from the tracking server."})
        .build();

    module.def({"create_mlflow_client", {rt::param("tracking_uri")}, create_mlflow_client,
                "MLflow's tracking client for the server at that address."});

    rt::ClassBuilder(module, "BearerAuth", py::make_tuple(module.get("AuthBase")),
                     "Puts the current access token on a request.")
        .method({"__call__", {self, rt::param("request")}, BearerAuth_call})
        .build();

    rt::ClassBuilder(module, "RequestAuthProvider", py::make_tuple(module.get("MlflowRequestAuthProvider")),
                     "MLflow's hook for the package's access tokens.")
        .method({"get_name", {self}, RequestAuthProvider_get_name})
        .method({"get_auth", {self}, RequestAuthProvider_get_auth})
        .build();
}

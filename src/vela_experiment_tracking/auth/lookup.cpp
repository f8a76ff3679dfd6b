// vela_experiment_tracking.auth.lookup: settle the authenticator and export its credentials.
#include "runtime.hpp"

namespace {

// Holds a lock while alive.
class Holding {
public:
    explicit Holding(py::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }
    ~Holding() {
        if (!rt::holds_gil()) return;  // the interpreter is ending this thread: no Python here
        try {
            lock_.attr("release")();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("releasing the login lock");
        }
    }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

private:
    py::object lock_;
};

// Concurrent calls (several threads starting tracking with one authenticator) take
// turns, so one of them logs in and the others find it authenticated.
py::object check_authentication(const rt::Args& a) {
    Holding turn(a.global("_login_lock"));
    py::object authenticator = py::reinterpret_borrow<py::object>(a[0]);
    if (!rt::truthy(authenticator)) authenticator = a.global("check_auth_env_configs")();
    if (!rt::truthy(authenticator)) return authenticator;

    py::object class_name = authenticator.attr("__class__").attr("__name__");
    a.global("logger").attr("debug")(rt::cat({py::str("Using "), class_name}));
    if (!rt::truthy(authenticator.attr("is_authenticated"))) {
        a.global("logger").attr("debug")(rt::cat({py::str("Authenticating using "), class_name}));
        authenticator.attr("authenticate")();
    }
    py::object username = authenticator.attr("user").attr("username");
    py::object token;
    try {
        token = authenticator.attr("token")();
    } catch (py::error_already_set& e) {
        // The provider ended the earlier login (revoked or expired): this start logs in anew.
        if (!e.matches(a.global("vela_authn").attr("LoginRequiredError"))) throw;
        a.global("logger").attr("debug")(rt::cat({py::str("Login ended, authenticating again using "), class_name}));
        authenticator.attr("authenticate")();
        username = authenticator.attr("user").attr("username");
        token = authenticator.attr("token")();
    }
    py::object environ = a.global("os").attr("environ");
    environ[a.global("ENV_MLFLOW_TRACKING_TOKEN")] = token;
    environ[a.global("ENV_LOGNAME")] = username;
    a.global("logger").attr("debug")(
        rt::cat({py::str("Using username:"), username, py::str(" using "), class_name}));
    return authenticator;
}

}  // namespace

VELA_MODULE(lookup) {
    module.import("logging");
    module.import("os");
    module.import_from("typing", {"Optional"});
    module.import_from("vela_experiment_tracking.auth.authenticator", {"Authenticator"});
    module.import_from("vela_experiment_tracking.config", {"check_auth_env_configs"});
    module.import_from("vela_experiment_tracking.constants", {"ENV_MLFLOW_TRACKING_TOKEN", "ENV_LOGNAME"});
    module.create_logger();
    module.import("vela_authn");
    module.set("_login_lock", py::module_::import("threading").attr("RLock")());

    module.def({"check_authentication", {rt::param("authenticator")}, check_authentication,
                "Check for authenticator configurations. If available, sets token and username.\n"
                "1. If authenticator is passed, then authenticate\n"
                "2. If not specified, check for previous authenticator, or else check for env variables\n"
                "3. At last, If authenticator is available, retrieve new token and username",
                module.get("Optional")[module.get("Authenticator")]});
}

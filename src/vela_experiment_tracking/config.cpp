// vela_experiment_tracking.config: the login that the environment describes.
#include "runtime.hpp"

namespace {

bool is_set(const rt::Args& a, py::handle name) {
    return rt::contains(a.global("os").attr("environ"), name);
}

py::object variable(const rt::Args& a, py::handle name) { return a.global("os").attr("environ").attr("get")(name); }

[[noreturn]] void incomplete(const rt::Args& a, const char* login, py::handle missing) {
    rt::raise_instance(a.global("ExperimentTrackingException")(
        rt::cat({py::str("The environment configures the "), py::str(login), py::str(" login only in part: "), missing,
                 py::str(" is not set.")})));
}

// The cloud platform's login, from its refresh token and endpoints.
py::object platform_login(const rt::Args& a) {
    py::object refresh_token = a.global("ENV_PLATFORM_REFRESH_TOKEN");
    py::object token_endpoint = a.global("ENV_PLATFORM_TOKEN_ENDPOINT");
    py::object userinfo_endpoint = a.global("ENV_PLATFORM_USERINFO_ENDPOINT");
    for (py::handle required : {refresh_token, token_endpoint, userinfo_endpoint})
        if (!is_set(a, required)) incomplete(a, "cloud platform", required);
    return a.global("ZELTAuthenticator")(variable(a, refresh_token), variable(a, token_endpoint),
                                         variable(a, userinfo_endpoint),
                                         variable(a, a.global("ENV_PLATFORM_CLIENT_ID")));
}

// The browser login at an issuer: registered on the fly, or with a client id and secret.
py::object browser_login(const rt::Args& a) {
    py::object client_id = a.global("ENV_OIDC_CLIENT_ID"), client_secret = a.global("ENV_OIDC_CLIENT_SECRET");
    bool fixed_client = is_set(a, client_id) || is_set(a, client_secret);
    if (fixed_client)
        for (py::handle required : {client_id, client_secret})
            if (!is_set(a, required)) incomplete(a, "browser", required);
    py::object hostname = a.global("os").attr("environ").attr("get")(a.global("ENV_OIDC_HOSTNAME"), "localhost");
    return a.global("OIDCAuthenticator")(variable(a, a.global("ENV_OIDC_ISSUER")), hostname,
                                         py::arg("dcr_enabled") = !fixed_client,
                                         py::arg("client_id") = variable(a, client_id),
                                         py::arg("client_secret") = variable(a, client_secret));
}

py::object check_auth_env_configs(const rt::Args& a) {
    for (const char* name : {"ENV_PLATFORM_REFRESH_TOKEN", "ENV_PLATFORM_USERINFO_ENDPOINT", "ENV_PLATFORM_CLIENT_ID"})
        if (is_set(a, a.global(name))) return platform_login(a);
    if (is_set(a, a.global("ENV_OIDC_ISSUER"))) return browser_login(a);
    return py::none();
}

}  // namespace

VELA_MODULE(config) {
    module.import("os");
    module.import_from("vela_experiment_tracking.auth.authenticator", {"OIDCAuthenticator", "ZELTAuthenticator"});
    module.import_from("vela_experiment_tracking.constants",
                       {"ENV_PLATFORM_REFRESH_TOKEN", "ENV_PLATFORM_TOKEN_ENDPOINT", "ENV_PLATFORM_USERINFO_ENDPOINT",
                        "ENV_PLATFORM_CLIENT_ID", "ENV_OIDC_ISSUER", "ENV_OIDC_HOSTNAME", "ENV_OIDC_CLIENT_ID",
                        "ENV_OIDC_CLIENT_SECRET"});
    module.import_from("vela_experiment_tracking.exception", {"ExperimentTrackingException"});

    module.def({"check_auth_env_configs", {}, check_auth_env_configs,
                "The authenticator that the environment describes: the cloud platform's login when its refresh "
                "token is configured, the browser login when an issuer is, else None."});
}

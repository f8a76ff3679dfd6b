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
    const char* login = rt::truthy(a.global("remembering_enabled")()) ? "RememberedZELTAuthenticator" : "ZELTAuthenticator";
    return a.global(login)(variable(a, refresh_token), variable(a, token_endpoint),
                                         variable(a, userinfo_endpoint),
                                         variable(a, a.global("ENV_PLATFORM_CLIENT_ID")));
}

// The browser login at an issuer: registered on the fly, or with a client id and secret, or
// with a client id alone (a public client). Without a browser it turns to the device login
// when it starts, and when the browser fails to start, where the provider offers one.
py::object browser_login(const rt::Args& a, bool device_fallback) {
    py::object client_id = a.global("ENV_OIDC_CLIENT_ID"), client_secret = a.global("ENV_OIDC_CLIENT_SECRET");
    bool fixed_client = is_set(a, client_id);
    if (is_set(a, client_secret) && !fixed_client) incomplete(a, "browser", client_id);
    py::object secret = fixed_client ? variable(a, client_secret) : py::object(py::none());
    if (fixed_client && secret.is_none()) secret = py::str("");  // a public client has no secret
    py::object hostname = a.global("os").attr("environ").attr("get")(a.global("ENV_OIDC_HOSTNAME"), "localhost");
    bool remembered = device_fallback || rt::truthy(a.global("remembering_enabled")());
    py::object login = a.global(remembered ? "RememberedOIDCAuthenticator" : "OIDCAuthenticator")(
        variable(a, a.global("ENV_OIDC_ISSUER")), hostname, py::arg("dcr_enabled") = !fixed_client,
        py::arg("client_id") = variable(a, client_id), py::arg("client_secret") = secret);
    if (device_fallback) py::setattr(login, "device_fallback", py::bool_(true));
    py::setattr(login, "device_if_browser_fails", py::bool_(true));
    return login;
}

py::object device_login(const rt::Args& a) {
    return a.global("DeviceAuthenticator")(variable(a, a.global("ENV_OIDC_ISSUER")),
                                           py::arg("client_id") = variable(a, a.global("ENV_OIDC_CLIENT_ID")),
                                           py::arg("client_secret") = variable(a, a.global("ENV_OIDC_CLIENT_SECRET")));
}

// Whether BROWSER names something that can run here: one of its choices (separated as the
// path is) is a browser Python knows or a command on the path.
bool browser_variable_usable(const rt::Args& a, py::handle value) {
    py::object os = a.global("os");
    for (py::handle choice : py::str(value).attr("split")(os.attr("pathsep"))) {
        py::object words;
        try {
            words = a.global("shlex").attr("split")(choice);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
            continue;
        }
        if (py::len(words) == 0) continue;
        py::object command = words[py::int_(0)];
        if (!a.global("shutil").attr("which")(command).is_none()) return true;
    }
    return false;
}

// No browser can be opened here, or the one there is cannot reach this host's loopback
// (a remote shell without a display), or BROWSER names one that cannot start.
bool without_browser(const rt::Args& a) {
    py::object environ = a.global("os").attr("environ");
    py::object chosen = environ.attr("get")("BROWSER");
    if (rt::truthy(chosen) && !browser_variable_usable(a, chosen)) return true;
    if (!rt::contains(environ, py::str("BROWSER")) && rt::contains(environ, py::str("SSH_CONNECTION")) &&
        !rt::contains(environ, py::str("DISPLAY")) && !rt::contains(environ, py::str("WAYLAND_DISPLAY")))
        return true;
    py::object webbrowser = a.global("webbrowser");
    try {
        webbrowser.attr("get")();
    } catch (py::error_already_set& e) {
        if (!e.matches(webbrowser.attr("Error"))) throw;
        return true;
    }
    return false;
}

// The login at an issuer: the device login when asked for, else the browser login
// (which turns to the device login when no browser can be opened).
py::object issuer_login(const rt::Args& a) {
    py::object chosen = variable(a, a.global("ENV_OIDC_LOGIN"));
    py::object way = chosen.is_none() ? py::str("") : py::str(chosen).attr("strip")().attr("lower")();
    if (rt::equals(way, py::str("device"))) return device_login(a);
    if (rt::equals(way, py::str("browser"))) return browser_login(a, false);
    if (!rt::equals(way, py::str("")))
        rt::raise_instance(a.global("ExperimentTrackingException")(
            rt::cat({a.global("ENV_OIDC_LOGIN"), py::str(" must be browser or device, not "), py::repr(chosen)})));
    return browser_login(a, without_browser(a));
}

py::object check_auth_env_configs(const rt::Args& a) {
    for (const char* name : {"ENV_PLATFORM_REFRESH_TOKEN", "ENV_PLATFORM_USERINFO_ENDPOINT", "ENV_PLATFORM_CLIENT_ID"})
        if (is_set(a, a.global(name))) return platform_login(a);
    if (is_set(a, a.global("ENV_OIDC_ISSUER"))) return issuer_login(a);
    return py::none();
}

}  // namespace

VELA_MODULE(config) {
    module.import("os");
    module.import("webbrowser");
    module.import("shlex");
    module.import("shutil");
    module.import_from("vela_experiment_tracking.auth.authenticator", {"OIDCAuthenticator", "ZELTAuthenticator"});
    module.import_from("vela_experiment_tracking.auth.device", {"DeviceAuthenticator"});
    module.import_from("vela_experiment_tracking.auth.remembered",
                       {"RememberedOIDCAuthenticator", "RememberedZELTAuthenticator", "remembering_enabled"});
    module.import_from("vela_experiment_tracking.constants",
                       {"ENV_PLATFORM_REFRESH_TOKEN", "ENV_PLATFORM_TOKEN_ENDPOINT", "ENV_PLATFORM_USERINFO_ENDPOINT",
                        "ENV_PLATFORM_CLIENT_ID", "ENV_OIDC_ISSUER", "ENV_OIDC_HOSTNAME", "ENV_OIDC_CLIENT_ID",
                        "ENV_OIDC_CLIENT_SECRET", "ENV_OIDC_LOGIN"});
    module.import_from("vela_experiment_tracking.exception", {"ExperimentTrackingException"});

    module.def({"check_auth_env_configs", {}, check_auth_env_configs,
                "The authenticator that the environment describes: the cloud platform's login when its refresh "
                "token is configured, the browser or device login when an issuer is, else None; remembered for the "
                "next process unless VELA_REMEMBER_LOGIN is 0."});
}

// vela_experiment_tracking.constants: names of environment variables and defaults.
#include "runtime.hpp"

VELA_MODULE(constants) {
    auto constant = [&](const char* name, const char* value) { module.set(name, py::str(value)); };

    // Variables the package reads and writes
    constant("ENV_LOGNAME", "LOGNAME");  // the tracking client attributes runs to this login name
    constant("ENV_BCK_LOGNAME", "VELA_BCK_LOGNAME");
    constant("ENV_MLFLOW_TRACKING_TOKEN", "MLFLOW_TRACKING_TOKEN");
    constant("ENV_EXP_TRACKING_SERVER_URI", "VELA_TRACKING_SERVER_URI");
    constant("ENV_VELA_CLOUD_ENVIRONMENT", "VELA_CLOUD_ENVIRONMENT");
    constant("ENV_PLATFORM_TOKEN_ENDPOINT", "VELA_PLATFORM_TOKEN_ENDPOINT");

    // The cloud platform's login
    constant("ENV_PLATFORM_REFRESH_TOKEN", "VELA_PLATFORM_REFRESH_TOKEN");
    constant("ENV_PLATFORM_USERINFO_ENDPOINT", "VELA_PLATFORM_USERINFO_ENDPOINT");
    constant("ENV_PLATFORM_CLIENT_ID", "VELA_PLATFORM_CLIENT_ID");

    // The browser login
    constant("ENV_OIDC_ISSUER", "VELA_OIDC_ISSUER");
    constant("ENV_OIDC_HOSTNAME", "VELA_OIDC_HOSTNAME");
    constant("ENV_OIDC_CLIENT_ID", "VELA_OIDC_CLIENT_ID");
    constant("ENV_OIDC_CLIENT_SECRET", "VELA_OIDC_CLIENT_SECRET");
    constant("ENV_OIDC_LOGIN", "VELA_OIDC_LOGIN");  // "browser" or "device"; unset: the browser, else the device

    // The remembered login: on unless "0"; the one this process logged in with, for its workers
    constant("ENV_REMEMBER_LOGIN", "VELA_REMEMBER_LOGIN");
    constant("ENV_REMEMBERED_LOGIN", "VELA_REMEMBERED_LOGIN");
    constant("ENV_TOKEN_SERVER_URI", "VELA_TOKEN_SERVER_URI");  // the server init resolved, for workers

    // MLflow's choice of request-auth provider, and ours
    constant("ENV_MLFLOW_TRACKING_AUTH", "MLFLOW_TRACKING_AUTH");
    constant("REQUEST_AUTH_PROVIDER_NAME", "vela");

    constant("DEFAULT_EXPERIMENT_NAME", "Default");
    constant("DEFAULT_TRACK_SERVER", "http://localhost:5000");
    constant("ANON_USER", "anonymous");
}

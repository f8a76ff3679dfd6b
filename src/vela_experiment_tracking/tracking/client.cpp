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

// The process's client, which init updates (the context module imports this one,
// so it is looked up when needed).
py::object current_client() {
    return py::module_::import("vela_experiment_tracking.context").attr("current_client");
}

// The server that init resolved is the one our tokens are for; init's client
// takes over the new client's state (address still unset), and this sets it.
void scope_tokens_to(const rt::Args& a, py::handle tracking_uri) {
    py::object current = current_client();
    if (rt::truthy(current) && current.attr("tracking_uri").is_none()) {
        py::setattr(current, "tracking_uri", tracking_uri);
        a.global("os").attr("environ")[a.global("ENV_TOKEN_SERVER_URI")] = tracking_uri;  // for worker processes
    }
}

// The next page's token; None at the end, and for anything that is not a new page token,
// so a server (or a stand-in) that keeps answering the same token cannot loop us forever.
py::object next_page_token(py::handle page, py::handle previous) {
    py::object token = page.attr("token");
    bool valid = PyUnicode_CheckExact(token.ptr()) && rt::truthy(token) && !(previous && rt::equals(token, previous));
    return valid ? token : py::none();
}

// Every item of a paged MLflow search: search(page_token) gives one page.
template <class Search>
py::list all_pages(Search search) {
    py::list items;
    py::object token = py::none();
    do {
        py::object page = search(token);
        for (py::handle item : page) items.append(item);
        token = next_page_token(page, token.is_none() ? py::handle() : py::handle(token));
    } while (!token.is_none());
    return items;
}

py::object Client_list_iterations(const rt::Args& a) {
    py::handle self = a[0], experiment_id = a[1], filter_string = a[2];
    py::object mlflow = a.global("create_mlflow_client")(self.attr("tracking_uri"));
    return all_pages([&](py::handle token) {
        return mlflow.attr("search_runs")(py::make_tuple(experiment_id), py::arg("filter_string") = filter_string,
                                          py::arg("page_token") = token);
    });
}

// `tags."key" = 'value'`, quoted with a quote the value does not hold; None when it holds both.
py::object tag_filter(py::handle key, py::handle value) {
    py::str text(value);
    const char* quote = !rt::contains(text, py::str("'")) ? "'" : !rt::contains(text, py::str("\"")) ? "\"" : nullptr;
    if (!quote) return py::none();
    return rt::cat({py::str("tags.\""), key, py::str("\" = "), py::str(quote), text, py::str(quote)});
}

// The experiments on the server; with a project name, those tagged with that project.
py::object Client_list_experiments(const rt::Args& a) {
    py::handle self = a[0], project_name = a[1];
    py::object key = a.global("EXP_STORE_PROJECT_NAME");
    py::object filter = project_name.is_none() ? py::object(py::none()) : tag_filter(key, project_name);
    py::object mlflow = a.global("create_mlflow_client")(self.attr("tracking_uri"));
    py::list experiments = all_pages([&](py::handle token) {
        return mlflow.attr("search_experiments")(py::arg("filter_string") = filter, py::arg("page_token") = token);
    });
    if (project_name.is_none() || !filter.is_none()) return experiments;
    py::list tagged;  // a name the filter language cannot quote: compared here
    for (py::handle experiment : experiments)
        if (rt::equals(experiment.attr("tags").attr("get")(key), project_name)) tagged.append(experiment);
    return tagged;
}

// MLflow's fluent API (mlflow.log_metric, autolog, log_model) then talks to the same server;
// the model registry too, which MLflow would otherwise look for in a local database.
void follow_in_fluent_api(const rt::Args& a, py::handle tracking_uri) {
    if (tracking_uri.is_none()) return;
    a.global("set_tracking_uri")(tracking_uri);
    a.global("set_registry_uri")(tracking_uri);
}

// While a login is in effect, MLflow asks our request-auth provider for every
// request, so a long run keeps sending a valid access token.
py::object create_mlflow_client(const rt::Args& a) {
    follow_in_fluent_api(a, a[0]);
    py::object environ = a.global("os").attr("environ");
    py::object auth_variable = a.global("ENV_MLFLOW_TRACKING_AUTH");
    if (rt::contains(environ, a.global("ENV_MLFLOW_TRACKING_TOKEN")) && !rt::contains(environ, auth_variable))
        environ[auth_variable] = a.global("REQUEST_AUTH_PROVIDER_NAME");
    scope_tokens_to(a, a[0]);
    return a.global("MlflowClient")(py::arg("tracking_uri") = a[0]);
}

// The authenticator whose tokens the requests carry: the one of the last init, or None.
// A worker process without an init renews from the login its parent remembered.
py::object current_authenticator(const rt::Args&) {
    py::object current = current_client();
    py::object authenticator = current.attr("authenticator");
    if (rt::truthy(authenticator)) return authenticator;
    if (rt::truthy(current)) return py::none();
    return py::module_::import("vela_experiment_tracking.auth.remembered").attr("inherited_login")();
}

// (scheme, host, port) of an address, the port filled in from the scheme; None without a host.
py::object origin_of(const rt::Args& a, py::handle address) {
    if (!rt::is_instance(address, rt::builtin("str"))) return py::none();
    py::object parts = a.global("urllib").attr("parse").attr("urlsplit")(address);
    py::object scheme = parts.attr("scheme").attr("lower")(), host = parts.attr("hostname");
    if (host.is_none()) return py::none();
    py::object port;
    try {
        port = parts.attr("port");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::none();  // a port out of range: no origin of ours
    }
    if (port.is_none()) {
        if (rt::equals(scheme, py::str("https"))) port = py::int_(443);
        else if (rt::equals(scheme, py::str("http"))) port = py::int_(80);
    }
    return py::make_tuple(scheme, host, port);
}

// The origin that receives our tokens: the tracking server init resolved, or None.
py::object token_origin(const rt::Args& a) {
    py::object current = current_client();
    py::object tracking_uri = current.attr("tracking_uri");
    if (tracking_uri.is_none() && !rt::truthy(current))  // a worker: the server its parent resolved
        tracking_uri = a.global("os").attr("environ").attr("get")(a.global("ENV_TOKEN_SERVER_URI"));
    return origin_of(a, tracking_uri);
}

// A requests auth hook: the current authenticator's token, asked at each request,
// for the tracking server only. Other hosts get nothing of ours: not even the token
// that MLflow copies from the exported variable onto every request. (A worker with no
// login of its own keeps that token for its parent's server.)
py::object BearerAuth_call(const rt::Args& a) {
    py::handle self = a[0], request = a[1];
    py::object origin = a.global("token_origin")();
    py::object headers = request.attr("headers");
    if (!origin.is_none() && rt::equals(origin_of(a, request.attr("url")), origin)) {
        py::object authenticator = a.global("current_authenticator")();
        if (!authenticator.is_none()) {
            headers["Authorization"] = rt::cat({py::str("Bearer "), authenticator.attr("token")()});
            request.attr("register_hook")("response", self.attr("retry_refused"));
        }
        return py::reinterpret_borrow<py::object>(request);
    }
    py::object exported = a.global("os").attr("environ").attr("get")(a.global("ENV_MLFLOW_TRACKING_TOKEN"));
    if (!exported.is_none() &&
        rt::equals(headers.attr("get")("Authorization"), rt::cat({py::str("Bearer "), exported})))
        headers.attr("__delitem__")("Authorization");
    return py::reinterpret_borrow<py::object>(request);
}

// A 401 from the tracking server: the token it refused is renewed and the request
// sent once more, so a token that expired during an outage (or a suspend) loses nothing.
py::object BearerAuth_retry_refused(const rt::Args& a) {
    py::handle response = a[1];
    py::object authenticator = a.global("current_authenticator")();
    if (!rt::equals(response.attr("status_code"), py::int_(401)) || authenticator.is_none())
        return py::reinterpret_borrow<py::object>(response);
    py::object sent = response.attr("request").attr("headers").attr("get")("Authorization", "");
    py::object refused = sent[py::slice(7, PY_SSIZE_T_MAX, 1)];
    py::object provider = rt::builtin("getattr")(authenticator, "_Authenticator__token_provider", py::none());
    py::object expire = rt::builtin("getattr")(provider, "expire", py::none());
    if (!expire.is_none()) expire(refused);
    py::object token = authenticator.attr("token")();
    if (rt::equals(token, refused)) return py::reinterpret_borrow<py::object>(response);

    response.attr("content");  // read to the end, so the connection can be reused
    response.attr("close")();
    py::object retry = response.attr("request").attr("copy")();
    retry.attr("headers")["Authorization"] = rt::cat({py::str("Bearer "), token});
    py::object answer = response.attr("connection").attr("send")(retry, **a.kwargs());
    answer.attr("history").attr("append")(response);
    py::setattr(answer, "request", retry);
    return answer;
}

py::object RequestAuthProvider_get_name(const rt::Args& a) { return a.global("REQUEST_AUTH_PROVIDER_NAME"); }

py::object RequestAuthProvider_get_auth(const rt::Args& a) { return a.global("BearerAuth")(); }

}  // namespace

VELA_MODULE(client) {
    module.import("os");
    module.import("urllib.parse");
    module.import_from("requests.auth", {"AuthBase"});
    module.import_from("mlflow.tracking", {"MlflowClient", "set_tracking_uri", "set_registry_uri"});
    module.import_from_as("mlflow.tracking.request_auth.abstract_request_auth_provider", "RequestAuthProvider",
                          "MlflowRequestAuthProvider");
    module.import_from("vela_experiment_tracking.auth.user", {"User"});
    module.import_from("vela_experiment_tracking.model.tags", {"EXP_STORE_PROJECT_NAME"});
    module.import_from("vela_experiment_tracking.constants",
                       {"ENV_MLFLOW_TRACKING_TOKEN", "ENV_MLFLOW_TRACKING_AUTH", "REQUEST_AUTH_PROVIDER_NAME",
                        "ENV_TOKEN_SERVER_URI"});

    auto self = rt::param("self");
    rt::ClassBuilder(module, "Client", py::tuple(),
                     "The package's tracking client: the authenticator in use, its user and the server address.")
        .method({"__init__", {self, rt::param("authenticator")}, Client_init})
        .method({"get_iteration", {self, rt::param("iteration_id")}, Client_get_iteration,
                 "The run of that id, from the tracking server."})
        .method({"list_iterations", {self, rt::param("experiment_id"), rt::param("filter_string", py::str(""))},
                 Client_list_iterations, "The runs of that experiment, all pages, newest first."})
        .method({"list_experiments", {self, rt::param("project_name", py::none())}, Client_list_experiments,
                 "The active experiments on the server; with a project name, that project's."})
        .build();

    module.def({"create_mlflow_client", {rt::param("tracking_uri")}, create_mlflow_client,
                "MLflow's tracking client for the server at that address."});

    rt::ClassBuilder(module, "BearerAuth", py::make_tuple(module.get("AuthBase")),
                     "Puts the current access token on a request.")
        .method({"__call__", {self, rt::param("request")}, BearerAuth_call})
        .method({"retry_refused", {self, rt::param("response"), rt::var_kwargs()}, BearerAuth_retry_refused,
                 "Response hook: a refused token is renewed and the request sent once more."})
        .build();

    module.def({"current_authenticator", {}, current_authenticator,
                "The authenticator whose tokens requests carry: the one of the last init, or None."});
    module.def({"token_origin", {}, token_origin,
                "(scheme, host, port) of the tracking server that receives our tokens, or None."});

    rt::ClassBuilder(module, "RequestAuthProvider", py::make_tuple(module.get("MlflowRequestAuthProvider")),
                     "MLflow's hook for the package's access tokens.")
        .method({"get_name", {self}, RequestAuthProvider_get_name})
        .method({"get_auth", {self}, RequestAuthProvider_get_auth})
        .build();
}

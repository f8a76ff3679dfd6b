// vela_experiment_tracking.auth.authenticator: the authenticators.
#include "runtime.hpp"

namespace {

constexpr int WAIT_SECONDS = 300;
constexpr int ANSWER_SECONDS = 30;  // the whole of one answer of the cloud platform's endpoints

py::object environ(const rt::Args& a) { return a.global("os").attr("environ"); }

// The base's authenticate, given the user and the token provider under the
// keywords the base class names.
py::object hand_over(const rt::Args& a, py::handle user, py::handle provider) {
    py::object Authenticator = a.global("Authenticator");
    py::dict result;
    result[Authenticator.attr("USER_KEY")] = user;
    result[Authenticator.attr("TOKEN_PROVIDER_KEY")] = provider;
    return rt::super(a, a[0]).attr("authenticate")(**result);
}

// ---- Authenticator ---------------------------------------------------------

py::object Authenticator_init(const rt::Args& a) {
    py::handle self = a[0];
    py::setattr(self, "_Authenticator__user", py::none());
    py::setattr(self, "_Authenticator__token_provider", py::none());
    return py::none();
}

// The login name of before a login is kept in the backup variable and put back
// by the next login; the exported token is dropped.
py::object Authenticator_cleanup(const rt::Args& a) {
    py::object logname = a.global("ENV_LOGNAME"), backup = a.global("ENV_BCK_LOGNAME");
    if (rt::contains(environ(a), logname)) {
        if (rt::contains(environ(a), backup)) {
            environ(a)[logname] = environ(a)[backup];
            environ(a).attr("__delitem__")(backup);
        } else {
            environ(a)[backup] = environ(a)[logname];
        }
    }
    py::object token = a.global("ENV_MLFLOW_TRACKING_TOKEN");
    if (rt::contains(environ(a), token)) environ(a).attr("__delitem__")(token);
    // MLflow's choice of our request-auth provider goes with the token
    py::object auth = a.global("ENV_MLFLOW_TRACKING_AUTH");
    if (rt::equals(environ(a).attr("get")(auth), a.global("REQUEST_AUTH_PROVIDER_NAME"))) environ(a).attr("__delitem__")(auth);
    return py::none();
}

py::object Authenticator_is_authenticated(const rt::Args& a) {
    return py::bool_(rt::truthy(a[0].attr("_Authenticator__user")));
}

py::object Authenticator_set_is_authenticated(const rt::Args&) {
    rt::raise(PyExc_AttributeError, "Cannot change is_authenticated value!");
}

py::object Authenticator_authenticate(const rt::Args& a) {
    py::handle self = a[0];
    const py::dict& kwargs = a.kwargs();
    py::setattr(self, "_Authenticator__user", kwargs[self.attr("USER_KEY")]);
    py::setattr(self, "_Authenticator__token_provider", kwargs[self.attr("TOKEN_PROVIDER_KEY")]);
    return self.attr("_Authenticator__user");
}

py::object Authenticator_token(const rt::Args& a) {
    py::object provider = a[0].attr("_Authenticator__token_provider");
    if (provider.is_none()) rt::raise(PyExc_LookupError, "Token provider is not initialized!");
    return rt::str(provider.attr("token")());
}

py::object Authenticator_user(const rt::Args& a) {
    py::object user = a[0].attr("_Authenticator__user");
    if (user.is_none()) rt::raise(PyExc_LookupError, "User is not found!, please login first!");
    return user;
}

py::object Authenticator_set_user(const rt::Args&) { rt::raise(PyExc_AttributeError, "Assigning user not allowed!"); }

// ---- OIDCAuthenticator -----------------------------------------------------

py::object OIDCAuthenticator_init(const rt::Args& a) {
    py::handle self = a[0], url = a[1], hostname = a[2], dcr_enabled = a[3], client_id = a[4], client_secret = a[5];
    py::setattr(self, "url", url);
    py::setattr(self, "hostname", hostname);
    if (rt::truthy(dcr_enabled)) {
        if (!client_id.is_none() || !client_secret.is_none())
            rt::raise(PyExc_ValueError, "When dcr_enabled is enabled, client_id and client_secret should be empty!");
    } else if (client_id.is_none() || client_secret.is_none()) {
        rt::raise(PyExc_ValueError, "When dcr_enabled is disabled, client_id and client_secret should not be empty!");
    }
    py::setattr(self, "dcr_enabled", dcr_enabled);
    py::setattr(self, "client_id", client_id);
    py::setattr(self, "client_secret", client_secret);
    rt::super(a, self).attr("__init__")(*a.varargs(), **a.kwargs());
    return py::none();
}

struct Login {
    py::object provider_config;
    py::object refresh_token;
    py::object username;
};

// Tell the user where to log in when no browser could be opened.
void show_login_address(py::handle address) {
    auto stderr_ = py::reinterpret_borrow<py::object>(PySys_GetObject("stderr"));
    if (!stderr_ || stderr_.is_none()) return;
    py::object shown = py::module_::import("vela_experiment_tracking.utils.addresses").attr("printable")(address, 4000);
    stderr_.attr("write")(rt::cat({py::str("Could not open a web browser. To log in, open this address: "), shown,
                                   py::str("\n")}));
    stderr_.attr("flush")();
}

// An item from the listener; an exception put there by the handler ends the login. When
// none comes in time the error says so (it is still the queue's empty-queue error).
py::object take(const rt::Args& a, py::handle queue, bool browser_opened) {
    py::object item;
    try {
        item = queue.attr("get")(py::arg("timeout") = WAIT_SECONDS);
    } catch (py::error_already_set& e) {
        if (!e.matches(py::module_::import("queue").attr("Empty"))) throw;
        rt::raise_instance(a.global("LoginTimeout")(rt::cat(
            {py::str("The browser login got no answer within "), py::int_(WAIT_SECONDS), py::str(" s"),
             py::str(browser_opened ? ": the login was not completed in the browser. Log in again."
                                    : ", and no web browser could be opened here: open the login address shown in a "
                                      "browser on this machine, or use the device login (VELA_OIDC_LOGIN=device) "
                                      "where the identity provider offers it.")})));
    }
    if (rt::is_instance(item, PyExc_BaseException)) rt::raise_instance(item);
    return item;
}

// A host name as the listener binds it and the redirect address names it: an IPv6
// literal stands in brackets there.
bool is_ipv6_literal(py::handle hostname) { return rt::contains(py::str(hostname), py::str(":")); }

py::object redirect_host(py::handle hostname) {
    if (!is_ipv6_literal(hostname)) return py::reinterpret_borrow<py::object>(hostname);
    return rt::cat({py::str("["), hostname, py::str("]")});
}

// Steps 7 to 20 of a login: everything that runs while the listener serves.
Login browser_login(const rt::Args& a, py::handle client, py::handle state, py::handle nonce, py::handle queue,
                    py::handle server, py::handle thread) {
    py::handle self = a[0];
    py::object logger = a.global("logger");
    py::object hostname = self.attr("hostname");
    py::object port = server.attr("server_port");
    logger.attr("debug")(rt::cat({py::str("Handler started listening 'http://"), hostname, py::str("':"), port}));
    py::list redirect_uris;
    redirect_uris.append(rt::cat({py::str("http://"), redirect_host(hostname), py::str(":"), port, py::str("/callback")}));

    py::object provider_config = client.attr("provider_config")(self.attr("url"));
    if (rt::truthy(self.attr("dcr_enabled"))) {
        client.attr("register")(provider_config[py::str("registration_endpoint")],
                                py::arg("redirect_uris") = redirect_uris);
    } else {
        py::object registration = a.global("RegistrationResponse")(
            py::arg("client_id") = self.attr("client_id"), py::arg("client_secret") = self.attr("client_secret"),
            py::arg("redirect_uris") = redirect_uris);
        client.attr("store_registration_info")(registration);
    }

    py::dict request_args;
    request_args["client_id"] = client.attr("client_id");
    request_args["response_type"] = "code";
    request_args["scope"] = py::list(py::make_tuple(py::str("openid")));
    request_args["nonce"] = nonce;
    request_args["redirect_uri"] = client.attr("registration_response")[py::str("redirect_uris")][py::int_(0)];
    request_args["state"] = state;
    // PKCE (S256): a code is redeemed only with the verifier that stays in this process,
    // so a code that another party obtained and delivered to the listener is worthless.
    py::object challenge = client.attr("add_code_challenge")();  // (request arguments, verifier), read by index
    request_args.attr("update")(challenge[py::int_(0)]);
    py::setattr(client, "code_verifier", challenge[py::int_(1)]);
    py::object auth_req = client.attr("construct_AuthorizationRequest")(py::arg("request_args") = request_args);
    logger.attr("debug")(rt::cat({py::str("auth_req: "), auth_req}));
    py::object login_url = auth_req.attr("request")(client.attr("authorization_endpoint"));

    py::object opened = a.global("webbrowser").attr("open")(login_url, py::arg("new") = 0, py::arg("autoraise") = true);
    bool failed = opened.is(py::bool_(false));
    if (failed && rt::truthy(py::getattr(self, "device_if_browser_fails", py::bool_(false))) &&
        rt::truthy(provider_config.attr("get")("device_authorization_endpoint")))
        rt::raise_instance(a.global("_BrowserFailed")());  // the login turns to the device login
    if (failed) show_login_address(login_url);

    Login login{provider_config, take(a, queue, !failed), py::none()};
    login.username = take(a, queue, !failed);
    thread.attr("join")(WAIT_SECONDS);
    logger.attr("debug")(rt::cat({py::str("Handler stopped listening '0.0.0.0':"), port}));
    server.attr("shutdown")();
    // the listening socket is closed now, not when the server object is collected
    if (rt::is_instance(server, a.global("socketserver").attr("BaseServer"))) server.attr("server_close")();
    return login;
}

// The listening sockets of one login: the one the login names, and on `localhost`
// its twin on the other loopback address.
struct Listener {
    py::object server, twin;
};

// Both serving loops are told to end at once, so stopping waits for one poll, not two.
void stop(const rt::Args& a, const Listener& listener) {
    py::object twin_stopper = py::none();
    if (!listener.twin.is_none()) {
        twin_stopper = a.global("Thread")(py::arg("target") = listener.twin.attr("shutdown"));
        py::setattr(twin_stopper, "daemon", py::bool_(true));
        twin_stopper.attr("start")();
    }
    listener.server.attr("shutdown")();
    if (!twin_stopper.is_none()) twin_stopper.attr("join")();
}

void close(const Listener& listener) {
    for (py::handle server : {listener.server, listener.twin})
        if (!server.is_none()) server.attr("server_close")();
}

// Each connection is served in a daemon thread of its own, so a connection that
// idles (until the handler's timeout) delays no other and keeps no process alive.
py::object serve_apart(const rt::Args& a) {
    py::handle server = a[0], request = a[1], client_address = a[2];
    py::object serve_one = a.global("socketserver").attr("ThreadingMixIn").attr("process_request_thread");
    a.global("Thread")(py::arg("target") = serve_one, py::arg("args") = py::make_tuple(server, request, client_address),
                       py::arg("daemon") = true)
        .attr("start")();
    return py::none();
}

// Stops the servers of one login; the handler calls it once the browser is answered.
py::object stop_listening(const rt::Args& a) {
    for (py::handle server : a.varargs()) server.attr("shutdown")();
    return py::none();
}

// On `localhost` the browser may connect to either loopback address, so the port is
// held on ::1 as well: otherwise another process could bind it there and receive the
// redirect. Returns the serving twin, or None when there is no IPv6 loopback. A listener
// that is no socket server (a test's substitute) has no port to hold: it gets no twin.
py::object loopback_twin(const rt::Args& a) {
    py::handle server = a[0], hostname = a[1];
    if (!rt::equals(py::str(hostname).attr("lower")().attr("rstrip")("."), py::str("localhost"))) return py::none();
    if (!rt::is_instance(server, a.global("socketserver").attr("TCPServer"))) return py::none();
    py::object socket = a.global("socket"), errno_ = a.global("errno");
    py::dict namespace_;
    namespace_["address_family"] = socket.attr("AF_INET6");
    py::object v6_server = py::type::of(py::type::of(server))("LoopbackV6Server", py::make_tuple(py::type::of(server)),
                                                              namespace_);
    py::object twin;
    try {
        twin = v6_server(py::make_tuple("::1", server.attr("server_port")), server.attr("RequestHandlerClass"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        py::object code = e.value().attr("errno");
        if (rt::equals(code, errno_.attr("EADDRNOTAVAIL")) || rt::equals(code, errno_.attr("EAFNOSUPPORT"))) return py::none();
        throw;
    }
    py::setattr(twin, "process_request", a.global("_serve_apart").attr("__get__")(twin));
    py::object thread = a.global("Thread")(py::arg("target") = twin.attr("serve_forever"));
    py::setattr(thread, "daemon", py::bool_(true));
    thread.attr("start")();
    return twin;
}

constexpr int LISTEN_ATTEMPTS = 20;

// The listener on (hostname, a port the system chooses), with its twin where one is
// needed; a port that another process holds on ::1 is given up for a new one.
Listener listen(const rt::Args& a, py::handle hostname, py::handle handler) {
    py::object server_class = a.global("HTTPServer");
    if (is_ipv6_literal(hostname)) {  // "::1": a listener of the IPv6 family
        py::dict namespace_;
        namespace_["address_family"] = a.global("socket").attr("AF_INET6");
        server_class = py::type::of(server_class)("HTTPServerV6", py::make_tuple(server_class), namespace_);
    }
    for (int attempt = 1;; ++attempt) {
        py::object server = server_class(py::make_tuple(hostname, 0), handler);
        py::setattr(server, "process_request", a.global("_serve_apart").attr("__get__")(server));
        try {
            Listener listener{server, a.global("_loopback_twin")(server, hostname)};
            py::object stop_both = a.global("functools").attr("partial")(a.global("_stop_listening"), server);
            if (!listener.twin.is_none()) {
                stop_both = a.global("functools").attr("partial")(a.global("_stop_listening"), server, listener.twin);
                py::setattr(listener.twin, "stop_listening", stop_both);
            }
            py::setattr(server, "stop_listening", stop_both);
            return listener;
        } catch (py::error_already_set& e) {
            server.attr("server_close")();
            bool taken = e.matches(PyExc_OSError) &&
                         rt::equals(e.value().attr("errno"), a.global("errno").attr("EADDRINUSE"));
            if (!taken || attempt == LISTEN_ATTEMPTS) throw;
        }
    }
}

// The protocol library logs an ERROR for every login whose id token names the client as
// its audience ("Issuer <client id> not in keyjar"): the client has no keys of its own to
// look up there, and the token is verified with the provider's. That line is dropped while
// the login runs; the library's other errors are not.
py::object AudienceKeyFilter_init(const rt::Args& a) {
    py::setattr(a[0], "client", a[1]);
    return py::none();
}

py::object AudienceKeyFilter_filter(const rt::Args& a) {
    py::handle self = a[0], record = a[1];
    py::object client_id = rt::builtin("getattr")(self.attr("client"), "client_id", py::none());
    if (client_id.is_none()) return py::bool_(true);
    py::str expected = rt::cat({py::str("Issuer \""), client_id, py::str("\" not in keyjar")});
    return py::bool_(!rt::equals(record.attr("getMessage")(), expected));
}

struct Filtered {
    py::object logger, filter;
    Filtered(py::object logger_, py::object filter_) : logger(std::move(logger_)), filter(std::move(filter_)) {
        logger.attr("addFilter")(filter);
    }
    ~Filtered() {
        if (!rt::holds_gil()) return;
        try {
            logger.attr("removeFilter")(filter);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("removing a log filter");
        }
    }
    Filtered(const Filtered&) = delete;
    Filtered& operator=(const Filtered&) = delete;
};

// The browser could not be started, and the provider offers the device login: that logs
// in instead. This login has cleaned up already, so the device login does not again.
py::object device_login_instead(const rt::Args& a, py::handle self) {
    py::object device = py::module_::import("vela_experiment_tracking.auth.device");
    py::object secret = self.attr("client_secret");
    py::object login = device.attr("DeviceAuthenticator")(self.attr("url"), py::arg("client_id") = self.attr("client_id"),
                                                         py::arg("client_secret") = secret);
    py::setattr(login, "cleanup", a.global("_cleaned_up_already"));
    login.attr("authenticate")();
    py::setattr(self, "login_kind", py::str("device"));
    return hand_over(a, login.attr("user"), login.attr("_Authenticator__token_provider"));
}

py::object cleaned_up_already(const rt::Args&) { return py::none(); }

py::object OIDCAuthenticator_authenticate(const rt::Args& a) {
    py::handle self = a[0];
    self.attr("cleanup")();
    // the protocol library's debug lines carry the client's secret and tokens
    rt::QuietLogger quiet("oic");
    py::object client = a.global("Client")(py::arg("client_authn_method") = a.global("CLIENT_AUTHN_METHOD"));
    py::object state = a.global("rndstr")();
    py::object nonce = a.global("rndstr")();
    py::object queue = a.global("Queue")();
    Filtered audience(a.global("logging").attr("getLogger")("oic.oauth2.message"), a.global("_AudienceKeyFilter")(client));
    py::object handler = a.global("get_disposable_handler")(client, state, queue);
    Listener listener = listen(a, self.attr("hostname"), handler);
    py::object server = listener.server;
    py::object thread = a.global("Thread")(py::arg("target") = server.attr("serve_forever"));
    py::setattr(thread, "daemon", py::bool_(true));  // an interrupted login must not keep the process alive
    thread.attr("start")();

    Login login;
    bool browser_failed = false;
    try {
        login = browser_login(a, client, state, nonce, queue, server, thread);
    } catch (py::error_already_set& e) {
        // failed or interrupted (Ctrl-C): stop listening at once
        stop(a, listener);
        thread.attr("join")();
        close(listener);
        if (!e.matches(a.global("_BrowserFailed"))) throw;
        browser_failed = true;
    } catch (std::exception&) {
        stop(a, listener);
        thread.attr("join")();
        close(listener);
        throw;
    }
    if (browser_failed) return device_login_instead(a, self);
    if (!listener.twin.is_none()) {
        listener.twin.attr("shutdown")();
        listener.twin.attr("server_close")();
    }

    py::object provider = a.global("vela_authn").attr("TokenProvider")(
        py::arg("refresh_token") = login.refresh_token, py::arg("client_id") = client.attr("client_id"),
        py::arg("token_endpoint_url") = login.provider_config[py::str("token_endpoint")]);
    return hand_over(a, a.global("User")(login.username), provider);
}

// ---- ZELTAuthenticator -----------------------------------------------------

py::object ZELTAuthenticator_init(const rt::Args& a) {
    py::handle self = a[0];
    py::setattr(self, "_access_token", py::none());
    py::setattr(self, "_refresh_token", a[1]);
    py::setattr(self, "_token_endpoint", a[2]);
    py::setattr(self, "_userinfo_endpoint", a[3]);
    py::setattr(self, "_client_id", a[4]);
    rt::super(a, self).attr("__init__")(*a.varargs(), **a.kwargs());
    return py::none();
}

// A value as it must stand in a form body: characters with a meaning there
// (& = + % space, and anything outside ASCII) are percent-encoded.
py::object form_value(py::handle value) { return rt::percent_encode(rt::str(value)); }

// "<what> failed for the endpoint: <url>, status: <status>!" unless the answer is 200.
void require_ok(const rt::Args& a, py::handle response, const char* what, py::handle endpoint) {
    py::object status = response.attr("status_code");
    if (!rt::equals(status, py::int_(200)))
        rt::raise_instance(a.global("ExperimentTrackingException")(rt::cat(
            {py::str(what), py::str(" failed for the endpoint: "), endpoint, py::str(", status: "), status, py::str("!")})));
}

// requests.request(method, url, **keywords), the whole answer within ANSWER_SECONDS: an
// endpoint that trickles its answer passes every per-read time-out, and would hold init.
py::object answer(const rt::Args& a, const char* method, py::handle url, py::dict keywords) {
    py::object requests = a.global("requests");
    py::object response;
    if (!rt::call_within(ANSWER_SECONDS, requests.attr("request"), py::make_tuple(method, url), keywords, response))
        rt::raise_instance(requests.attr("exceptions").attr("Timeout")(
            rt::cat({py::str("No complete answer from "), url, py::str(" within "), py::int_(ANSWER_SECONDS), py::str(" s")})));
    return response;
}

py::object ZELTAuthenticator_authenticate(const rt::Args& a) {
    py::handle self = a[0];
    self.attr("cleanup")();

    py::str body = rt::cat({py::str("refresh_token="), form_value(self.attr("_refresh_token")),
                            py::str("&grant_type=refresh_token&client_id="), form_value(self.attr("_client_id"))});
    py::dict headers;
    headers["Content-Type"] = "application/x-www-form-urlencoded";
    py::object token_endpoint = self.attr("_token_endpoint");
    py::dict keywords;
    keywords["headers"] = headers;
    keywords["data"] = body;
    py::object response = answer(a, "POST", token_endpoint, keywords);
    require_ok(a, response, "Authentication", token_endpoint);
    py::object tokens = response.attr("json")();
    py::setattr(self, "_access_token", tokens[py::str("access_token")]);
    py::setattr(self, "_refresh_token", tokens[py::str("refresh_token")]);

    headers["Authorization"] = rt::cat({py::str("Bearer "), self.attr("_access_token")});
    py::object userinfo_endpoint = self.attr("_userinfo_endpoint");
    py::dict info_keywords;
    info_keywords["headers"] = headers;
    py::object info = answer(a, "GET", userinfo_endpoint, info_keywords);
    require_ok(a, info, "User info request", userinfo_endpoint);
    py::object claims = info.attr("json")();
    py::object username;
    if (rt::contains(claims, py::str("preferred_username")))
        username = claims[py::str("preferred_username")];
    else if (rt::contains(claims, py::str("email")))
        username = claims[py::str("email")];
    else
        rt::raise_instance(a.global("ExperimentTrackingException")(
            rt::cat({py::str("Couldn't find 'preferred_username', 'email' attributes in the userinfo response for the "
                             "endpoint: "),
                     userinfo_endpoint, py::str(", status: "), info.attr("status_code")})));

    py::object provider = a.global("vela_authn").attr("TokenProvider")(
        py::arg("refresh_token") = self.attr("_refresh_token"), py::arg("client_id") = self.attr("_client_id"),
        py::arg("token_endpoint_url") = token_endpoint);
    return hand_over(a, a.global("User")(username), provider);
}

}  // namespace

VELA_MODULE(authenticator) {
    module.import("logging");
    module.import("os");
    module.import("webbrowser");
    module.import_from("abc", {"ABC", "abstractmethod"});
    module.import_from("http.server", {"HTTPServer"});
    module.import_from("queue", {"Queue"});
    module.import_from("threading", {"Thread"});
    module.import("vela_authn");
    module.import("requests");
    module.import_from("oic", {"rndstr"});
    module.import_from("oic.oic", {"Client"});
    module.import_from("oic.oic.message", {"RegistrationResponse"});
    module.import_from("oic.utils.authn.client", {"CLIENT_AUTHN_METHOD"});
    module.import_from("vela_experiment_tracking.auth.user", {"User"});
    module.import_from("vela_experiment_tracking.auth.utils", {"get_disposable_handler"});
    module.import_from("vela_experiment_tracking.constants", {"ENV_LOGNAME", "ENV_MLFLOW_TRACKING_TOKEN", "ENV_BCK_LOGNAME"});
    module.import_from("vela_experiment_tracking.exception", {"ExperimentTrackingException"});
    module.import_from("vela_experiment_tracking.constants", {"ENV_MLFLOW_TRACKING_AUTH", "REQUEST_AUTH_PROVIDER_NAME"});
    module.import("errno");
    module.import("functools");
    module.import("socket");
    module.import("socketserver");
    module.create_logger();

    py::object User = module.get("User");
    py::object str = rt::builtin("str");
    py::object boolean = rt::builtin("bool");
    auto self = rt::param("self");

    rt::ClassBuilder(module, "Authenticator", py::make_tuple(module.get("ABC")), "Abstract class for Authentication.")
        .value("USER_KEY", py::str("USER_KEY"))
        .value("TOKEN_PROVIDER_KEY", py::str("TOKEN_PROVIDER_KEY"))
        .method({"__init__", {self, rt::var_args(), rt::var_kwargs()}, Authenticator_init})
        .static_method({"cleanup", {}, Authenticator_cleanup, "Clearing-up previous authentication envs."})
        .property({"is_authenticated", Authenticator_is_authenticated, Authenticator_set_is_authenticated,
                   "Returns True if authenticated. False, otherwise.", boolean})
        .abstract_method({"authenticate", {self, rt::var_kwargs()}, Authenticator_authenticate,
                          "Start authentication flow.\n"
                          "Implementations MUST call this method once authentication is successful",
                          User})
        .method({"token", {self}, Authenticator_token, "Retrieve access token.", str})
        .property({"user", Authenticator_user, Authenticator_set_user, "Retrieve user name.", User})
        .build();

    rt::ClassBuilder(module, "OIDCAuthenticator", py::make_tuple(module.get("Authenticator")),
                     "Implementation for OIDC Authentication")
        .method({"__init__",
                 {self, rt::param("url"), rt::param("hostname", py::str("localhost")),
                  rt::param("dcr_enabled", py::bool_(true)), rt::param("client_id", py::none()),
                  rt::param("client_secret", py::none()), rt::var_args(), rt::var_kwargs()},
                 OIDCAuthenticator_init})
        .method({"authenticate", {self, rt::var_kwargs()}, OIDCAuthenticator_authenticate, nullptr, User})
        .build();

    rt::ClassBuilder(module, "LoginTimeout",
                     py::make_tuple(module.get("ExperimentTrackingException"), py::module_::import("queue").attr("Empty")),
                     "The browser login got no answer in time.")
        .build();
    rt::ClassBuilder(module, "_BrowserFailed", py::make_tuple(py::handle(PyExc_Exception)),
                     "The browser could not be started: the login turns to the device login.")
        .build();
    rt::ClassBuilder(module, "_AudienceKeyFilter", py::tuple(),
                     "Drops the protocol library's error that the client's own id has no keys.")
        .method({"__init__", {self, rt::param("client")}, AudienceKeyFilter_init})
        .method({"filter", {self, rt::param("record")}, AudienceKeyFilter_filter})
        .build();
    module.def({"_cleaned_up_already", {}, cleaned_up_already, "The clean-up of a login that has cleaned up already."});

    module.def({"_serve_apart", {rt::param("server"), rt::param("request"), rt::param("client_address")}, serve_apart,
                "Serve one connection of a login's listener in a daemon thread of its own."});
    module.def({"_stop_listening", {rt::var_args("servers")}, stop_listening, "Stop the servers of one login."});
    module.def({"_loopback_twin", {rt::param("server"), rt::param("hostname")}, loopback_twin,
                "Hold and serve the listener's port on ::1 too, when the login names localhost."});

    rt::ClassBuilder(module, "ZELTAuthenticator", py::make_tuple(module.get("Authenticator")),
                     "Implementation for VELA ZELT Cloud Authentication")
        .method({"__init__",
                 {self, rt::param("refresh_token"), rt::param("token_endpoint"), rt::param("userinfo_endpoint"),
                  rt::param("client_id", py::none()), rt::var_args(), rt::var_kwargs()},
                 ZELTAuthenticator_init})
        .method({"authenticate", {self, rt::var_kwargs()}, ZELTAuthenticator_authenticate, nullptr, User})
        .build();
}

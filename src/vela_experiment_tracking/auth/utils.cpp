// vela_experiment_tracking.auth.utils: the redirect handler of the browser login.
#include "runtime.hpp"

namespace {

constexpr const char* PAGE = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>{title}</title></head>"
                             "<body><h1>{title}</h1><p>{text}</p></body></html>";

void answer(py::handle handler, int status, const char* title, py::handle text, const rt::Args& a) {
    py::object escape = a.global("html").attr("escape");
    py::str page = py::str(PAGE).format(py::arg("title") = escape(title), py::arg("text") = escape(text));
    py::bytes body = page.attr("encode")("utf-8");
    handler.attr("send_response")(status);
    handler.attr("send_header")("Content-Type", "text/html; charset=utf-8");
    handler.attr("send_header")("Content-Length", py::len(body));
    handler.attr("send_header")("Cache-Control", "no-store");
    handler.attr("end_headers")();
    handler.attr("wfile").attr("write")(body);
}

// The first value of a query parameter, or None.
py::object query_value(py::handle query, const char* name) {
    py::object values = query.attr("get")(name);
    return values.is_none() ? py::none() : py::object(values[py::int_(0)]);
}

// Puts the login's items on the queue (before the browser sees the page, so whoever
// waits has them by then), answers the browser and lets the listener end:
// serve_forever() returns once shutdown() is called from another thread (called
// from the handler itself it would wait for itself). The login may have given the
// server a stop_listening that stops all of its listening sockets.
void finish(py::handle handler, int status, const char* title, py::handle text,
            std::initializer_list<py::handle> items, const rt::Args& a) {
    for (py::handle item : items) handler.attr("queue").attr("put")(item);
    answer(handler, status, title, text, a);
    py::object server = handler.attr("server");
    py::object stop = rt::builtin("getattr")(server, "stop_listening", server.attr("shutdown"));
    py::object stopper = a.global("threading").attr("Thread")(py::arg("target") = stop, py::arg("daemon") = true);
    stopper.attr("start")();
}

constexpr size_t MAX_ERROR_TEXT = 200;

// Text from the provider's redirect as it may appear in a message: printable
// characters only, at most MAX_ERROR_TEXT of them.
py::str printable(py::handle text) {
    std::u32string kept;
    for (py::handle c : py::str(text)) {
        if (kept.size() == MAX_ERROR_TEXT) return py::str(rt::cat({py::str(py::cast(kept)), py::str("...")}));
        if (rt::truthy(c.attr("isprintable")())) kept += py::cast<std::u32string>(c);
    }
    return py::str(py::cast(kept));
}

// The user's name: preferred_username, else email, else the subject, which every
// provider returns (many release the other two only for the profile and email scopes).
py::object username_of(py::handle claims) {
    for (const char* claim : {"preferred_username", "email"})
        if (rt::contains(claims, py::str(claim))) return claims[py::str(claim)];
    return claims[py::str("sub")];
}

// Code -> tokens -> user name, with the client authentication the registration gave.
// (The login that runs this listener keeps the protocol library's debug lines quiet.)
py::tuple exchange_code(py::handle handler, py::handle query_string, const rt::Args& a) {
    py::object client = handler.attr("client");
    py::object state = handler.attr("state");
    client.attr("parse_response")(a.global("AuthorizationResponse"), py::arg("info") = query_string,
                                  py::arg("sformat") = "urlencoded");
    py::object registration = client.attr("registration_response");
    py::object method = registration.attr("get")("token_endpoint_auth_method", "client_secret_basic");
    if (!rt::truthy(rt::builtin("getattr")(client, "client_secret", py::none())))
        method = py::str("none");  // a client without a secret is a public client
    py::dict request_args;
    py::object verifier = rt::builtin("getattr")(client, "code_verifier", py::none());
    if (!verifier.is_none()) request_args["code_verifier"] = verifier;  // PKCE
    py::object authn_method = method;
    if (rt::equals(method, py::str("none"))) {  // a public client names itself in the request
        request_args["client_id"] = client.attr("client_id");
        authn_method = py::str("");
    }
    py::object tokens = client.attr("do_access_token_request")(
        py::arg("state") = state, py::arg("request_args") = request_args, py::arg("authn_method") = authn_method);
    if (rt::contains(tokens, py::str("error")))
        rt::raise_instance(a.global("ExperimentTrackingException")(
            rt::cat({py::str("The identity provider refused the login: "), tokens[py::str("error")]})));
    py::object refresh_token = tokens[py::str("refresh_token")];
    py::object claims = client.attr("do_user_info_request")(py::arg("state") = state, py::arg("method") = "GET");
    py::object username = username_of(claims);
    a.global("vela_authn").attr("remember_client")(client.attr("client_id"), client.attr("client_secret"), method);
    return py::make_tuple(refresh_token, username);
}

py::object DisposableHandler_do_GET(const rt::Args& a) {
    py::handle self = a[0];
    py::object parse = a.global("urllib").attr("parse");
    py::object url = parse.attr("urlsplit")(self.attr("path"));
    if (!rt::equals(url.attr("path"), py::str("/callback")) || !rt::equals(self.attr("command"), py::str("GET"))) {
        answer(self, 404, "Not found", py::str("There is nothing here."), a);
        return py::none();
    }
    py::object query = parse.attr("parse_qs")(url.attr("query"));
    py::object state = query_value(query, "state");
    py::object error = query_value(query, "error");
    // Only the login's own answers count: an answer without its state, error answers
    // included, could come from any local process.
    bool state_matches = !state.is_none() && rt::truthy(a.global("hmac").attr("compare_digest")(
                                                 state.attr("encode")(), py::str(self.attr("state")).attr("encode")()));
    if (!state_matches) {
        answer(self, 400, "Login failed", py::str("The login answer does not belong to this login. Please try again."), a);
        return py::none();
    }
    // connections are served at once: only the first answer of the login is taken
    if (!rt::truthy(self.attr("answered").attr("acquire")(py::arg("blocking") = false))) {
        answer(self, 400, "Login failed", py::str("This login has been answered already."), a);
        return py::none();
    }
    if (!error.is_none()) {
        py::object description = query_value(query, "error_description");
        py::str reason = printable(error);
        if (!description.is_none()) reason = rt::cat({reason, py::str(": "), printable(description)});
        py::str refusal = rt::cat({py::str("The identity provider refused the login: "), reason});
        finish(self, 400, "Login failed", refusal, {a.global("ExperimentTrackingException")(refusal)}, a);
        return py::none();
    }
    py::tuple login;
    try {
        login = exchange_code(self, url.attr("query"), a);
    } catch (py::error_already_set& e) {
        finish(self, 500, "Login failed", py::str("The login could not be completed. Please try again."), {e.value()}, a);
        return py::none();
    }
    finish(self, 200, "Login complete", py::str("You are logged in. You can close this window."), {login[0], login[1]}, a);
    return py::none();
}

// Requests are not logged: the callback's query holds the authorization code.
py::object DisposableHandler_log_message(const rt::Args&) { return py::none(); }

py::object get_disposable_handler(const rt::Args& a) {
    py::dict attributes;
    attributes["client"] = a[0];
    attributes["state"] = a[1];
    attributes["queue"] = a[2];
    attributes["answered"] = a.global("threading").attr("Lock")();
    attributes["__module__"] = a.global("__name__");
    py::object base = a.global("DisposableHandler");
    return py::type::of(base)("DisposableHandler", py::make_tuple(base), attributes);
}

}  // namespace

VELA_MODULE(utils) {
    module.import("hmac");
    module.import("html");
    module.import("threading");
    module.import("urllib.parse");
    module.import_from("http.server", {"BaseHTTPRequestHandler"});
    module.import("vela_authn");
    module.import_from("oic.oic.message", {"AuthorizationResponse"});
    module.import_from("vela_experiment_tracking.exception", {"ExperimentTrackingException"});

    rt::FunctionSpec do_request{"do_GET", {rt::param("self")}, DisposableHandler_do_GET};
    rt::ClassBuilder handler(module, "DisposableHandler", py::make_tuple(module.get("BaseHTTPRequestHandler")),
                             "Answers the browser's redirect of one login, then lets the listener end.");
    handler.method(do_request);
    for (const char* verb : {"do_POST", "do_PUT", "do_DELETE", "do_PATCH", "do_HEAD"}) {
        do_request.name = verb;
        handler.method(do_request);
    }
    handler.method({"log_message", {rt::param("self"), rt::param("format"), rt::var_args()}, DisposableHandler_log_message});
    // a connection that sends no complete request within this many seconds is closed
    handler.value("timeout", py::int_(5));
    handler.build();

    module.def({"get_disposable_handler",
                {rt::param("client"), rt::param("state"), rt::param("queue")},
                get_disposable_handler,
                "A request-handler class for one login: it answers the redirect to /callback and puts the refresh "
                "token, then the user name, on the queue."});
}

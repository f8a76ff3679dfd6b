// vela_experiment_tracking.auth.device: the device login, for hosts without a
// browser. The user opens the provider's verification address on any device and
// enters a short code there; meanwhile this process polls the token endpoint.
#include "runtime.hpp"

#include <algorithm>
#include <cmath>

namespace {

constexpr const char* DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code";
constexpr double DEFAULT_INTERVAL = 5.0;   // seconds between polls when the provider names none
constexpr double MIN_INTERVAL = 1.0;       // a provider's interval is taken within these bounds
constexpr double SLOW_DOWN_STEP = 5.0;     // added to the interval at each slow_down
constexpr double MAX_INTERVAL = 60.0;      // the longest wait, whatever the provider or the network says
constexpr double DEFAULT_LIFETIME = 600.0;  // seconds a device code lives when the provider names none
constexpr double MAX_LIFETIME = 1800.0;     // a longer one is not believed
constexpr int REQUEST_TIMEOUT = 30;        // per read, and for a whole answer

[[noreturn]] void fail(const rt::Args& a, py::handle message) {
    rt::raise_instance(a.global("ExperimentTrackingException")(message));
}

py::object json_or_empty(py::handle response) {
    try {
        py::object body = response.attr("json")();
        if (rt::is_instance(body, rt::builtin("dict"))) return body;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    return py::dict();
}

// A number of seconds the provider gives, within [least, most]; otherwise when it gives none
// or no usable one (not a number, not positive, or not finite: 1e400 reads as infinity).
double seconds(py::handle body, const char* name, double otherwise, double least, double most) {
    py::object value = body.attr("get")(name);
    if (rt::is_instance(value, rt::builtin("bool")) ||
        (!rt::is_instance(value, rt::builtin("int")) && !rt::is_instance(value, rt::builtin("float"))))
        return otherwise;
    double number = 0;
    try {
        number = py::float_(value).cast<double>();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OverflowError)) throw;
        return most;  // an integer too large for a float
    }
    if (std::isnan(number) || number <= 0) return otherwise;
    return std::min(most, std::max(least, number));
}

// The provider's answer, all of it within REQUEST_TIMEOUT seconds: one that trickles in
// a byte at a time ends as a time-out, as a silent one does.
py::object answer(const rt::Args& a, const char* method, py::handle url, py::dict keywords) {
    py::object requests = a.global("requests");
    keywords["timeout"] = REQUEST_TIMEOUT;
    py::object response;
    if (!rt::call_within(REQUEST_TIMEOUT, requests.attr(method), py::make_tuple(url), keywords, response))
        rt::raise_instance(requests.attr("exceptions").attr("Timeout")(
            rt::cat({py::str("No complete answer from "), url, py::str(" within "), py::int_(REQUEST_TIMEOUT), py::str(" s")})));
    return response;
}

// The client's authentication at the provider: basic with a secret, else public. The
// client names itself in the body either way, as many providers want for this grant.
py::object client_auth(py::handle self, py::dict& data) {
    py::object client = self.attr("_client");
    py::object id = client[py::int_(0)], secret = client[py::int_(1)];
    data["client_id"] = id;
    if (!rt::truthy(secret)) return py::none();
    return py::make_tuple(rt::percent_encode(rt::str(id), ""), rt::percent_encode(rt::str(secret), ""));
}

py::object DeviceAuthenticator_init(const rt::Args& a) {
    py::handle self = a[0];
    py::setattr(self, "url", a[1]);
    py::setattr(self, "client_id", a[2]);
    py::setattr(self, "client_secret", a[3]);
    py::setattr(self, "scope", a[4]);
    rt::super(a, self).attr("__init__")(*a.varargs(), **a.kwargs());
    return py::none();
}

py::object discover(const rt::Args& a, py::handle url) {
    py::object address = rt::cat({py::str(url).attr("rstrip")("/"), py::str("/.well-known/openid-configuration")});
    py::object response = answer(a, "get", address, py::dict());
    if (!rt::equals(response.attr("status_code"), py::int_(200)))
        fail(a, rt::cat({py::str("The identity provider's discovery document is not available at "), address,
                         py::str(", status: "), response.attr("status_code")}));
    return json_or_empty(response);
}

// A public client for the device grant, registered on the fly.
py::tuple register_client(const rt::Args& a, py::handle self, py::handle config) {
    py::object endpoint = config.attr("get")("registration_endpoint");
    if (!rt::truthy(endpoint))
        fail(a, rt::cat({py::str("The device login needs a client id: the identity provider at "), self.attr("url"),
                         py::str(" registers no clients. Set "), a.global("ENV_OIDC_CLIENT_ID"),
                         py::str(" to a client registered there for the device login.")}));
    py::dict metadata;
    metadata["client_name"] = "vela_experiment_tracking";
    metadata["grant_types"] = py::make_tuple(DEVICE_GRANT, "refresh_token");
    metadata["response_types"] = py::list();
    metadata["token_endpoint_auth_method"] = "none";
    py::dict keywords;
    keywords["json"] = metadata;
    py::object response = answer(a, "post", endpoint, keywords);
    py::object body = json_or_empty(response);
    if (!rt::contains(py::make_tuple(200, 201), response.attr("status_code")) || !rt::truthy(body.attr("get")("client_id")))
        fail(a, rt::cat({py::str("The identity provider at "), self.attr("url"),
                         py::str(" refused to register a client for the device login (status "),
                         response.attr("status_code"), py::str(": "),
                         a.global("printable")(body.attr("get")("error", "no reason given"), 100),
                         py::str("): it may not offer the device grant to clients that register themselves. Set "),
                         a.global("ENV_OIDC_CLIENT_ID"), py::str(" to a client registered there for the device login.")}));
    return py::make_tuple(body[py::str("client_id")], body.attr("get")("client_secret"));
}

// Tell the user where to go, once: in a notebook as a link (its standard error is shown in
// the same cell), else on standard error. What the provider sent is shown as printable text.
py::object show_device_code(const rt::Args& a) {
    py::object printable = a.global("printable");
    py::object address = printable(a[0], 500), code = printable(a[1], 64);
    py::object complete = rt::truthy(a[2]) ? printable(a[2], 500) : py::object(py::none());
    if (!rt::truthy(a.global("_show_in_notebook")(address, code, complete))) {
        py::list lines;
        lines.append(rt::cat({py::str("To log in, open "), address, py::str(" and enter the code "), code}));
        if (!complete.is_none()) lines.append(rt::cat({py::str("or open "), complete}));
        py::handle err = PySys_GetObject("stderr");
        if (err && !err.is_none()) {
            err.attr("write")(rt::cat({py::str("\n").attr("join")(lines), py::str("\n")}));
            err.attr("flush")();
        }
    }
    return py::none();
}

// The prompt as a link in a notebook's kernel; False where there is none (or the address is no web address).
py::object show_in_notebook(const rt::Args& a) {
    py::handle address = a[0], code = a[1], complete = a[2];
    py::object ipython = a.global("sys").attr("modules").attr("get")("IPython");
    if (ipython.is_none()) return py::bool_(false);
    py::object shell = ipython.attr("get_ipython")();
    if (shell.is_none() || !py::hasattr(shell, "kernel")) return py::bool_(false);
    py::object target = rt::truthy(complete) ? py::reinterpret_borrow<py::object>(complete)
                                             : py::reinterpret_borrow<py::object>(address);
    py::object scheme = a.global("urllib").attr("parse").attr("urlsplit")(target).attr("scheme");
    if (!rt::equals(scheme, py::str("https")) && !rt::equals(scheme, py::str("http"))) return py::bool_(false);
    py::object escape = a.global("html").attr("escape");
    py::str link = rt::cat({py::str("To log in, open <a href=\""), escape(target), py::str("\" target=\"_blank\">"),
                            escape(address), py::str("</a> and enter the code <b>"), escape(code), py::str("</b>")});
    py::module_::import("IPython.display").attr("display")(py::module_::import("IPython.display").attr("HTML")(link));
    return py::bool_(true);
}

py::object ask_for_code(const rt::Args& a, py::handle self, py::handle config) {
    py::object endpoint = config.attr("get")("device_authorization_endpoint");
    if (!rt::truthy(endpoint))
        fail(a, rt::cat({py::str("The identity provider at "), self.attr("url"),
                         py::str(" offers no device login (its discovery names no device_authorization_endpoint): "
                                 "log in with a browser instead (unset "),
                         a.global("ENV_OIDC_LOGIN"), py::str(").")}));
    py::dict data;
    data["scope"] = self.attr("scope");
    py::dict keywords;
    keywords["data"] = data;
    keywords["auth"] = client_auth(self, data);
    py::object response = answer(a, "post", endpoint, keywords);
    py::object grant = json_or_empty(response);
    for (const char* field : {"device_code", "user_code"})
        if (!rt::equals(response.attr("status_code"), py::int_(200)) || !rt::truthy(grant.attr("get")(field)))
            fail(a, rt::cat({py::str("The identity provider refused the device login: "),
                             grant.attr("get")("error", response.attr("status_code"))}));
    return grant;
}

// Poll the token endpoint at the provider's interval until the user has approved,
// denied, or let the code expire. Network faults and provider errors slow the polling.
py::object poll_for_tokens(const rt::Args& a, py::handle self, py::handle token_endpoint, py::handle grant) {
    py::object clock = a.global("time");
    py::object requests = a.global("requests");
    py::object network_errors = py::make_tuple(requests.attr("exceptions").attr("ConnectionError"),
                                               requests.attr("exceptions").attr("Timeout"));
    double interval = seconds(grant, "interval", DEFAULT_INTERVAL, MIN_INTERVAL, MAX_INTERVAL);
    double deadline = clock.attr("monotonic")().cast<double>() +
                      seconds(grant, "expires_in", DEFAULT_LIFETIME, MIN_INTERVAL, MAX_LIFETIME);
    py::dict data;
    data["grant_type"] = DEVICE_GRANT;
    data["device_code"] = grant[py::str("device_code")];
    py::object auth = client_auth(self, data);
    py::str expired("The device login code expired before the login was approved. Please log in again.");
    for (;;) {
        // never past the code's expiry: a wait longer than the code lives ends with it
        double left = deadline - clock.attr("monotonic")().cast<double>();
        if (left > 0) clock.attr("sleep")(std::min(interval, left));
        if (clock.attr("monotonic")().cast<double>() >= deadline) fail(a, expired);
        py::object response;
        py::dict keywords;
        keywords["data"] = data;
        keywords["auth"] = auth;
        try {
            response = answer(a, "post", token_endpoint, keywords);
        } catch (py::error_already_set& e) {
            if (!e.matches(network_errors)) throw;
            interval = std::min(interval * 2, MAX_INTERVAL);
            continue;
        }
        py::object body = json_or_empty(response);
        if (rt::equals(response.attr("status_code"), py::int_(200)) && rt::truthy(body.attr("get")("access_token")))
            return body;
        py::object error = body.attr("get")("error");
        if (rt::equals(error, py::str("authorization_pending"))) continue;
        // a 429 (too many requests) asks to slow down as slow_down does
        if (rt::equals(error, py::str("slow_down")) || rt::equals(response.attr("status_code"), py::int_(429))) {
            interval = std::min(interval + SLOW_DOWN_STEP, MAX_INTERVAL);
            continue;
        }
        if (rt::equals(error, py::str("access_denied"))) fail(a, py::str("The device login was denied."));
        if (rt::equals(error, py::str("expired_token"))) fail(a, expired);
        if (error.is_none() && response.attr("status_code").cast<int>() >= 500) {  // a provider fault passes
            interval = std::min(interval * 2, MAX_INTERVAL);
            continue;
        }
        fail(a, rt::cat({py::str("The identity provider refused the device login: "),
                         error.is_none() ? py::object(response.attr("status_code")) : error}));
    }
}

// The user's name from userinfo: the device grant issues no id token.
py::object who_is(const rt::Args& a, py::handle config, py::handle access_token) {
    py::object endpoint = config.attr("get")("userinfo_endpoint");
    if (!rt::truthy(endpoint)) fail(a, py::str("The identity provider offers no userinfo endpoint."));
    py::dict headers;
    headers["Authorization"] = rt::cat({py::str("Bearer "), access_token});
    py::dict keywords;
    keywords["headers"] = headers;
    py::object response = answer(a, "get", endpoint, keywords);
    if (!rt::equals(response.attr("status_code"), py::int_(200)))
        fail(a, rt::cat({py::str("User info request failed for the endpoint: "), endpoint, py::str(", status: "),
                         response.attr("status_code")}));
    py::object claims = json_or_empty(response);
    for (const char* claim : {"preferred_username", "email", "sub"})
        if (rt::truthy(claims.attr("get")(claim))) return claims[py::str(claim)];
    fail(a, rt::cat({py::str("Couldn't find 'preferred_username', 'email' attributes in the userinfo response for "
                             "the endpoint: "),
                     endpoint}));
}

py::object hand_over(const rt::Args& a, py::handle self, py::handle user, py::handle provider) {
    py::object Authenticator = a.global("Authenticator");
    py::dict result;
    result[Authenticator.attr("USER_KEY")] = user;
    result[Authenticator.attr("TOKEN_PROVIDER_KEY")] = provider;
    return rt::super(a, self).attr("authenticate")(**result);
}

py::object DeviceAuthenticator_authenticate(const rt::Args& a) {
    py::handle self = a[0];
    self.attr("cleanup")();
    py::object id = a.global("login_id")("oidc", self.attr("url"), self.attr("client_id"));
    py::object remembered = a.global("silent_login")(id);
    if (!remembered.is_none()) return hand_over(a, self, remembered[py::int_(0)], remembered[py::int_(1)]);

    py::object config = discover(a, self.attr("url"));
    if (!rt::truthy(config.attr("get")("device_authorization_endpoint")))  // said before a client is registered for it
        fail(a, rt::cat({py::str("The identity provider at "), self.attr("url"),
                         py::str(" offers no device login (its discovery names no device_authorization_endpoint): "
                                 "log in with a browser instead (unset "),
                         a.global("ENV_OIDC_LOGIN"), py::str(").")}));
    py::tuple client = rt::truthy(self.attr("client_id"))
                           ? py::make_tuple(self.attr("client_id"), self.attr("client_secret"))
                           : register_client(a, self, config);
    py::setattr(self, "_client", client);
    py::object grant = ask_for_code(a, self, config);
    a.global("show_device_code")(grant.attr("get")("verification_uri", grant.attr("get")("verification_url")),
                                 grant[py::str("user_code")], grant.attr("get")("verification_uri_complete"));
    py::object token_endpoint = config[py::str("token_endpoint")];
    py::object tokens = poll_for_tokens(a, self, token_endpoint, grant);
    if (!rt::truthy(tokens.attr("get")("refresh_token")))
        fail(a, py::str("The identity provider gave no refresh token for the device login."));
    py::object username = who_is(a, config, tokens[py::str("access_token")]);
    a.global("logger").attr("debug")(rt::cat({py::str("Device login approved for "), username}));

    py::object vela_authn = a.global("vela_authn");
    py::object secret = client[1];
    vela_authn.attr("remember_client")(client[0], secret, rt::truthy(secret) ? "client_secret_basic" : "none");
    py::object provider = vela_authn.attr("TokenProvider")(py::arg("refresh_token") = tokens[py::str("refresh_token")],
                                                           py::arg("client_id") = client[0],
                                                           py::arg("token_endpoint_url") = token_endpoint);
    py::object user = a.global("User")(username);
    py::dict about;
    about["kind"] = "device";
    about["issuer"] = self.attr("url");
    a.global("remember_login")(id, user, provider, about);
    return hand_over(a, self, user, provider);
}

// Whether the provider at `url` offers the device login; False when it cannot be asked.
py::object offers_device_login(const rt::Args& a) {
    try {
        return py::bool_(rt::truthy(discover(a, a[0]).attr("get")("device_authorization_endpoint")));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::bool_(false);
    }
}

}  // namespace

VELA_MODULE(device) {
    module.import("html");
    module.import("logging");
    module.import("sys");
    module.import("time");
    module.import("urllib.parse");
    module.import("requests");
    module.import("vela_authn");
    module.import_from("vela_experiment_tracking.auth.authenticator", {"Authenticator"});
    module.import_from("vela_experiment_tracking.auth.remembered", {"login_id", "silent_login", "remember_login"});
    module.import_from("vela_experiment_tracking.auth.user", {"User"});
    module.import_from("vela_experiment_tracking.constants", {"ENV_OIDC_CLIENT_ID", "ENV_OIDC_LOGIN"});
    module.import_from("vela_experiment_tracking.exception", {"ExperimentTrackingException"});
    module.import_from("vela_experiment_tracking.utils.addresses", {"printable"});
    module.create_logger();

    auto self = rt::param("self");
    module.def({"show_device_code",
                {rt::param("verification_uri"), rt::param("user_code"), rt::param("verification_uri_complete", py::none())},
                show_device_code, "Show the user where to log in and which code to enter."});
    module.def({"_show_in_notebook", {rt::param("verification_uri"), rt::param("user_code"),
                                      rt::param("verification_uri_complete")},
                show_in_notebook, "Show the prompt as a link in a notebook; False where there is no notebook."});
    module.def({"offers_device_login", {rt::param("url")}, offers_device_login,
                "Whether the identity provider at that address offers the device login."});

    rt::ClassBuilder(module, "DeviceAuthenticator", py::make_tuple(module.get("Authenticator")),
                     "Logs in with the device login: the user approves on any device with a browser.")
        .method({"__init__",
                 {self, rt::param("url"), rt::param("client_id", py::none()), rt::param("client_secret", py::none()),
                  rt::param("scope", py::str("openid profile email")), rt::var_args(), rt::var_kwargs()},
                 DeviceAuthenticator_init})
        .method({"authenticate", {self, rt::var_kwargs()}, DeviceAuthenticator_authenticate, nullptr,
                 module.get("User")})
        .build();
}

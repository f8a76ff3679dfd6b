// vela_authn: access tokens from a refresh token, renewed shortly before they expire.
#include "runtime.hpp"

#include <algorithm>

namespace {

constexpr double DEFAULT_LIFETIME = 60.0;  // seconds, when the endpoint names none
constexpr double MAX_RENEW_MARGIN = 30.0;  // renew at most this long before expiry...
constexpr double RENEW_FRACTION = 0.2;     // ...and at most this share of the lifetime before it
constexpr int REQUEST_TIMEOUT = 30;

// Credentials a login recorded for a client id; they stay in this process's memory.
py::object remember_client(const rt::Args& a) {
    py::handle client_id = a[0], client_secret = a[1], method = a[2];
    a.global("_client_credentials")[client_id] = py::make_tuple(client_secret, method);
    return py::none();
}

py::object TokenProvider_init(const rt::Args& a) {
    py::handle self = a[0];
    py::setattr(self, "_refresh_token", a[1]);
    py::setattr(self, "client_id", a[2]);
    py::setattr(self, "token_endpoint_url", a[3]);
    py::setattr(self, "_access_token", py::none());
    py::setattr(self, "_renew_at", py::float_(0.0));
    py::setattr(self, "_lock", a.global("threading").attr("Lock")());
    py::setattr(self, "requests_made", py::int_(0));
    return py::none();
}

double now(const rt::Args& a) { return a.global("time").attr("monotonic")().cast<double>(); }

// The refresh request authenticates the client as its registration says; a
// client without a recorded secret refreshes as a public client.
py::tuple refresh_request(const rt::Args& a, py::handle self) {
    py::dict data;
    data["grant_type"] = "refresh_token";
    data["refresh_token"] = self.attr("_refresh_token");
    py::object client_id = self.attr("client_id");
    py::object credentials = a.global("_client_credentials").attr("get")(client_id);
    py::object auth = py::none(), secret = py::none(), method = py::none();
    if (!credentials.is_none()) {
        secret = credentials[py::int_(0)];
        method = credentials[py::int_(1)];
    }
    if (rt::truthy(secret) && rt::equals(method, py::str("client_secret_post"))) {
        data["client_id"] = client_id;
        data["client_secret"] = secret;
    } else if (rt::truthy(secret) && !rt::equals(method, py::str("none"))) {
        py::object quote = a.global("requests").attr("utils").attr("quote");
        auth = py::make_tuple(quote(py::str(client_id), py::arg("safe") = ""), quote(py::str(secret), py::arg("safe") = ""));
    } else if (!client_id.is_none()) {
        data["client_id"] = client_id;
    }
    return py::make_tuple(data, auth);
}

void refresh(const rt::Args& a, py::handle self) {
    py::tuple request = refresh_request(a, self);
    py::object url = self.attr("token_endpoint_url");
    py::object response = a.global("requests").attr("post")(url, py::arg("data") = request[0], py::arg("auth") = request[1],
                                                            py::arg("timeout") = REQUEST_TIMEOUT);
    py::setattr(self, "requests_made", py::int_(self.attr("requests_made").cast<long>() + 1));
    py::object status = response.attr("status_code");
    if (!rt::equals(status, py::int_(200)))
        rt::raise_instance(a.global("TokenRefreshError")(
            rt::cat({py::str("Token refresh failed for the endpoint: "), url, py::str(", status: "), status})));
    py::object body = response.attr("json")();
    py::setattr(self, "_access_token", body[py::str("access_token")]);
    py::object rotated = body.attr("get")("refresh_token");
    if (rt::truthy(rotated)) py::setattr(self, "_refresh_token", rotated);
    py::object expires_in = body.attr("get")("expires_in");
    double lifetime = expires_in.is_none() ? DEFAULT_LIFETIME : py::float_(expires_in).cast<double>();
    double margin = std::min(MAX_RENEW_MARGIN, lifetime * RENEW_FRACTION);
    py::setattr(self, "_renew_at", py::float_(now(a) + lifetime - margin));
}

// Holds a threading.Lock for the lifetime of the guard.
struct Locked {
    py::object lock;
    explicit Locked(py::object l) : lock(std::move(l)) { lock.attr("acquire")(); }
    ~Locked() {
        if (!rt::holds_gil()) return;
        try {
            lock.attr("release")();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("releasing the token lock");
        }
    }
};

py::object TokenProvider_token(const rt::Args& a) {
    py::handle self = a[0];
    Locked guard(self.attr("_lock"));
    if (self.attr("_access_token").is_none() || now(a) >= self.attr("_renew_at").cast<double>()) refresh(a, self);
    return self.attr("_access_token");
}

}  // namespace

VELA_MODULE(vela_authn) {
    module.import("threading");
    module.import("time");
    module.import("requests");
    module.set("_client_credentials", py::dict());

    module.def({"remember_client",
                {rt::param("client_id"), rt::param("client_secret"),
                 rt::param("token_endpoint_auth_method", py::str("client_secret_basic"))},
                remember_client,
                "Record a client's credentials in this process's memory, for refreshing its tokens."});

    rt::ClassBuilder(module, "TokenRefreshError", py::make_tuple(py::handle(PyExc_Exception)),
                     "The token endpoint refused to renew the access token.")
        .build();

    rt::ClassBuilder(module, "TokenProvider", py::tuple(),
                     "Issues the access token in effect, renewing it from the refresh token shortly before it "
                     "expires.")
        .method({"__init__",
                 {rt::param("self"), rt::param("refresh_token"), rt::param("client_id"), rt::param("token_endpoint_url")},
                 TokenProvider_init})
        .method({"token", {rt::param("self")}, TokenProvider_token, "The access token in effect."})
        .build();
}

// vela_authn: access tokens from a refresh token, renewed shortly before they expire.
//
// One renewal is in flight at a time; while it runs, or after it failed, callers keep
// the token in effect as long as it is valid. A failed renewal is retried with backoff.
// A refused refresh token ends the login for good: every later call says to log in again.
#include "runtime.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>

namespace {

constexpr double DEFAULT_LIFETIME = 60.0;            // seconds, when the endpoint names none
constexpr double MAX_LIFETIME = 366.0 * 24 * 3600;   // a longer one is not believed
constexpr double MAX_RENEW_MARGIN = 30.0;            // renew at most this long before expiry...
constexpr double RENEW_FRACTION = 0.2;               // ...and at most this share of the lifetime before it
constexpr double FIRST_BACKOFF = 1.0;                // seconds before retrying a failed renewal,
constexpr double MAX_BACKOFF = 30.0;                 // doubling up to this
constexpr double CONNECT_TIMEOUT = 5.0, READ_TIMEOUT = 15.0;
constexpr double ANSWER_DEADLINE = CONNECT_TIMEOUT + READ_TIMEOUT;  // seconds for all of one answer
constexpr double WAIT_FOR_RENEWAL = ANSWER_DEADLINE + 5.0;

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
    py::setattr(self, "store", a[4]);
    py::setattr(self, "_access_token", py::none());
    for (const char* moment : {"_renew_at", "_renew_at_wall", "_expires_at", "_expires_at_wall", "_retry_at"})
        py::setattr(self, moment, py::float_(0.0));
    py::setattr(self, "_failures", py::int_(0));
    py::setattr(self, "_last_error", py::none());
    py::setattr(self, "_login_required", py::none());
    py::setattr(self, "_lock", a.global("threading").attr("Lock")());  // held by the renewal in flight
    py::setattr(self, "requests_made", py::int_(0));
    return py::none();
}

// Both clocks: the monotonic one stops while the machine is suspended, the wall
// clock does not, so a deadline counts as reached when either says so.
struct Now {
    double mono, wall;
};

Now now(const rt::Args& a) {
    py::object time = a.global("time");
    return {time.attr("monotonic")().cast<double>(), time.attr("time")().cast<double>()};
}

double number(py::handle self, const char* name) { return self.attr(name).cast<double>(); }

bool reached(py::handle self, const Now& t, const char* mono, const char* wall) {
    return t.mono >= number(self, mono) || t.wall >= number(self, wall);
}

bool valid(py::handle self, const Now& t) {
    return !self.attr("_access_token").is_none() && !reached(self, t, "_expires_at", "_expires_at_wall");
}

[[noreturn]] void refresh_error(const rt::Args& a, py::handle message) {
    rt::raise_instance(a.global("TokenRefreshError")(message));
}

// application/x-www-form-urlencoded, as client credentials are encoded before
// they go into a Basic authorization header.
py::str form_encode(py::handle value) { return rt::percent_encode(rt::str(value), ""); }

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
        auth = py::make_tuple(form_encode(client_id), form_encode(secret));
    } else if (!client_id.is_none()) {
        data["client_id"] = client_id;
    }
    return py::make_tuple(data, auth);
}

// The provider's error code when its answer is a JSON object naming one, else None.
py::object error_code(py::handle response) {
    try {
        py::object body = response.attr("json")();
        if (rt::is_instance(body, rt::builtin("dict"))) return body.attr("get")("error");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    return py::none();
}

py::object post(const rt::Args& a, py::handle self, py::handle url) {
    py::tuple request = refresh_request(a, self);
    py::object requests = a.global("requests");
    py::setattr(self, "requests_made", py::int_(self.attr("requests_made").cast<long>() + 1));
    py::dict keywords;
    keywords["data"] = request[0];
    keywords["auth"] = request[1];
    keywords["timeout"] = py::make_tuple(CONNECT_TIMEOUT, READ_TIMEOUT);
    // The whole answer by a deadline: an endpoint that trickles it passes every per-read timeout.
    double deadline = a.global("ANSWER_DEADLINE").cast<double>();
    try {
        py::object response;
        if (rt::call_within(deadline, requests.attr("post"), py::make_tuple(url), keywords, response)) return response;
    } catch (py::error_already_set& e) {
        if (!e.matches(requests.attr("exceptions").attr("RequestException"))) throw;
        refresh_error(a, rt::cat({py::str("Token refresh failed for the endpoint: "), url,
                                  py::str(", no answer: "), py::type::of(e.value()).attr("__name__")}));
    }
    refresh_error(a, rt::cat({py::str("Token refresh failed for the endpoint: "), url,
                              py::str(", no complete answer within "), py::float_(deadline), py::str(" s")}));
}

// The lifetime the endpoint gave, in seconds; an unusable one is an error.
double lifetime_of(const rt::Args& a, py::handle body, py::handle url) {
    py::object expires_in = body.attr("get")("expires_in");
    if (expires_in.is_none()) return DEFAULT_LIFETIME;
    double seconds = NAN;
    if (!rt::is_instance(expires_in, rt::builtin("bool"))) {
        try {
            seconds = py::float_(expires_in).cast<double>();
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError) && !e.matches(PyExc_OverflowError)) throw;
        }
    }
    if (!std::isfinite(seconds) || seconds <= 0 || seconds > MAX_LIFETIME)
        refresh_error(a, rt::cat({py::str("The token endpoint "), url, py::str(" gave an unusable expires_in: "),
                                  rt::builtin("repr")(expires_in)[py::slice(0, 40, 1)]}));
    return seconds;
}

void take_answer(const rt::Args& a, py::handle self, py::handle body, py::handle url) {
    if (!rt::is_instance(body, rt::builtin("dict")))
        refresh_error(a, rt::cat({py::str("The token endpoint "), url, py::str(" answered with a JSON value that is "
                                                                                 "not an object")}));
    py::object access_token = body.attr("get")("access_token");
    if (!rt::is_instance(access_token, rt::builtin("str")) || !rt::truthy(access_token))
        refresh_error(a, rt::cat({py::str("The token endpoint "), url, py::str(" answered without an access token")}));
    double lifetime = lifetime_of(a, body, url);
    py::setattr(self, "_access_token", access_token);
    py::object rotated = body.attr("get")("refresh_token");
    if (rt::is_instance(rotated, rt::builtin("str")) && rt::truthy(rotated)) py::setattr(self, "_refresh_token", rotated);
    double margin = std::min(MAX_RENEW_MARGIN, lifetime * RENEW_FRACTION);
    Now t = now(a);
    py::setattr(self, "_expires_at", py::float_(t.mono + lifetime));
    py::setattr(self, "_expires_at_wall", py::float_(t.wall + lifetime));
    py::setattr(self, "_renew_at", py::float_(t.mono + lifetime - margin));
    py::setattr(self, "_renew_at_wall", py::float_(t.wall + lifetime - margin));
}

void refresh(const rt::Args& a, py::handle self) {
    py::object url = self.attr("token_endpoint_url");
    py::object response = post(a, self, url);
    py::object status = response.attr("status_code");
    if (!rt::equals(status, py::int_(200))) {
        if (rt::equals(error_code(response), py::str("invalid_grant")))
            rt::raise_instance(a.global("LoginRequiredError")(py::str(
                "The identity provider refused the refresh token (invalid_grant): the login has expired or was "
                "revoked. Please log in again.")));
        refresh_error(a, rt::cat({py::str("Token refresh failed for the endpoint: "), url, py::str(", status: "), status}));
    }
    py::object body;
    try {
        body = response.attr("json")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        refresh_error(a, rt::cat({py::str("The token endpoint "), url, py::str(" answered with a body that is not JSON")}));
    }
    take_answer(a, self, body, url);
}

// Runs body inside `with manager:`; an error leaves through __exit__ and is raised on.
template <class Body>
void within(py::handle manager, Body&& body) {
    py::object exit = manager.attr("__exit__");
    manager.attr("__enter__")();
    try {
        body();
    } catch (py::error_already_set& e) {
        py::object trace = e.trace() ? e.trace() : py::none();
        exit(e.type(), e.value(), trace);
        throw;
    }
    exit(py::none(), py::none(), py::none());
}

// The access token in effect as other processes can take it over: the token and its
// renewal and expiry moments on the wall clock, the one clock processes share; None
// before the first renewal.
py::object access_in_effect(const rt::Args&, py::handle self) {
    py::object access_token = self.attr("_access_token");
    if (access_token.is_none()) return py::none();
    py::dict access;
    access["access_token"] = access_token;
    access["renew_at"] = self.attr("_renew_at_wall");
    access["expires_at"] = self.attr("_expires_at_wall");
    return std::move(access);
}

py::object TokenProvider_access_in_effect(const rt::Args& a) { return access_in_effect(a, a[0]); }

// A moment as access_in_effect writes it: a finite float (an integer of any size, from a damaged
// record, is none).
bool finite_number(py::handle value) {
    return rt::is_instance(value, rt::builtin("float")) && std::isfinite(value.cast<double>());
}

// Takes over an access token another process renewed (from access_in_effect), unless it
// is the one this process is replacing (a server refused it) or due itself. Its moments
// stay those of the renewing process, so all processes renew at the same time, where the
// first renews and the others take its token; each renewing on its own would rotate the
// refresh token under the others and make the provider revoke their access tokens.
bool adopt(const rt::Args& a, py::handle self, py::handle shared) {
    if (!rt::is_instance(shared, rt::builtin("dict"))) return false;
    py::object access_token = shared.attr("get")("access_token");
    py::object renew_at = shared.attr("get")("renew_at"), expires_at = shared.attr("get")("expires_at");
    if (!rt::is_instance(access_token, rt::builtin("str")) || !rt::truthy(access_token) ||
        rt::equals(access_token, self.attr("_access_token")) || !finite_number(renew_at) || !finite_number(expires_at))
        return false;
    Now t = now(a);
    double renew_wall = renew_at.cast<double>(), expires_wall = expires_at.cast<double>();
    if (!(t.wall < renew_wall && renew_wall <= expires_wall && expires_wall <= t.wall + MAX_LIFETIME)) return false;
    py::setattr(self, "_access_token", access_token);
    py::setattr(self, "_renew_at_wall", py::float_(renew_wall));
    py::setattr(self, "_expires_at_wall", py::float_(expires_wall));
    py::setattr(self, "_renew_at", py::float_(t.mono + renew_wall - t.wall));
    py::setattr(self, "_expires_at", py::float_(t.mono + expires_wall - t.wall));
    return true;
}

// With a store, the remembered login is shared with other processes: under its lock, a
// refresh token another process rotated is taken over, and so is the access token it
// renewed when the store keeps it (has shared_access); else this process renews and
// saves the outcome.
void renew(const rt::Args& a, py::handle self) {
    py::object store = self.attr("store");
    if (store.is_none()) return refresh(a, self);
    py::object shared_access = py::getattr(store, "shared_access", py::none());
    within(store.attr("lock")(), [&] {
        if (!shared_access.is_none() && adopt(a, self, shared_access())) return;  // the next renewal reads the rest
        py::object stored = store.attr("load")();
        if (!stored.is_none() && !rt::equals(stored, self.attr("_refresh_token")))
            py::setattr(self, "_refresh_token", stored);
        try {
            refresh(a, self);
        } catch (py::error_already_set& e) {
            if (e.matches(a.global("LoginRequiredError"))) store.attr("forget")();
            throw;
        }
        if (shared_access.is_none())
            store.attr("save")(self.attr("_refresh_token"));
        else
            store.attr("save")(self.attr("_refresh_token"), access_in_effect(a, self));
    });
}

// One renewal, by the caller that holds the lock. A failure is remembered and
// retried after a backoff; the valid token in effect is kept meanwhile.
py::object renew_now(const rt::Args& a, py::handle self) {
    bool had_valid = valid(self, now(a));
    try {
        renew(a, self);
    } catch (py::error_already_set& e) {
        if (e.matches(a.global("LoginRequiredError"))) {
            py::setattr(self, "_login_required", py::str(e.value()));
            throw;
        }
        if (!e.matches(a.global("TokenRefreshError"))) throw;
        long failures = self.attr("_failures").cast<long>() + 1;
        double backoff = std::min(MAX_BACKOFF, FIRST_BACKOFF * std::pow(2.0, std::min(failures - 1, 10L)));
        py::setattr(self, "_failures", py::int_(failures));
        py::setattr(self, "_retry_at", py::float_(now(a).mono + backoff));
        py::setattr(self, "_last_error", py::str(e.value()));
        if (had_valid) return self.attr("_access_token");
        throw;
    }
    py::setattr(self, "_failures", py::int_(0));
    py::setattr(self, "_retry_at", py::float_(0.0));
    py::setattr(self, "_last_error", py::none());
    return self.attr("_access_token");
}

struct Release {
    py::handle lock;
    ~Release() {
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
    py::object lock = self.attr("_lock");
    for (int round = 0;; ++round) {
        py::object required = self.attr("_login_required");
        if (!required.is_none()) rt::raise_instance(a.global("LoginRequiredError")(required));
        Now t = now(a);
        bool usable = valid(self, t);
        bool due = !usable || reached(self, t, "_renew_at", "_renew_at_wall");
        if (!due) return self.attr("_access_token");
        bool backing_off = t.mono < number(self, "_retry_at") && !self.attr("_last_error").is_none();
        if (backing_off) {
            if (usable) return self.attr("_access_token");
            refresh_error(a, self.attr("_last_error"));
        }
        if (rt::truthy(lock.attr("acquire")(py::arg("blocking") = false))) {
            Release release{lock};
            return renew_now(a, self);
        }
        if (usable) return self.attr("_access_token");  // another thread renews it
        // No valid token: wait for the renewal in flight and take its outcome.
        if (round > 0) refresh_error(a, py::str("The token renewal in progress did not finish in time"));
        if (rt::truthy(lock.attr("acquire")(py::arg("timeout") = WAIT_FOR_RENEWAL))) lock.attr("release")();
    }
}

// The tracking server refused this access token: unless a newer one is in effect
// already, the next token() renews.
py::object TokenProvider_expire(const rt::Args& a) {
    py::handle self = a[0], access_token = a[1];
    if (!rt::equals(self.attr("_access_token"), access_token)) return py::none();
    for (const char* moment : {"_renew_at", "_renew_at_wall", "_expires_at", "_expires_at_wall"})
        py::setattr(self, moment, py::float_(0.0));
    return py::none();
}

}  // namespace

VELA_MODULE(vela_authn) {
    module.import("threading");
    module.import("time");
    module.import("requests");
    module.set("_client_credentials", py::dict());
    module.set("ANSWER_DEADLINE", py::float_(ANSWER_DEADLINE));

    module.def({"remember_client",
                {rt::param("client_id"), rt::param("client_secret"),
                 rt::param("token_endpoint_auth_method", py::str("client_secret_basic"))},
                remember_client,
                "Record a client's credentials in this process's memory, for refreshing its tokens."});

    rt::ClassBuilder(module, "TokenRefreshError", py::make_tuple(py::handle(PyExc_Exception)),
                     "The token endpoint refused to renew the access token.")
        .build();

    rt::ClassBuilder(module, "LoginRequiredError", py::make_tuple(module.get("TokenRefreshError")),
                     "The identity provider refused the refresh token: the user must log in again.")
        .build();

    rt::ClassBuilder(module, "TokenProvider", py::tuple(),
                     "Issues the access token in effect, renewing it from the refresh token shortly before it "
                     "expires.")
        .method({"__init__",
                 {rt::param("self"), rt::param("refresh_token"), rt::param("client_id"), rt::param("token_endpoint_url"),
                  rt::param("store", py::none())},
                 TokenProvider_init})
        .method({"token", {rt::param("self")}, TokenProvider_token, "The access token in effect."})
        .method({"access_in_effect", {rt::param("self")}, TokenProvider_access_in_effect,
                 "The access token in effect with its renewal and expiry times (seconds since the epoch), for "
                 "other processes sharing this login; None before the first renewal."})
        .method({"expire", {rt::param("self"), rt::param("access_token")}, TokenProvider_expire,
                 "Treat this access token as expired (a server refused it): the next token() renews it, unless a "
                 "newer one is in effect already."})
        .build();
}

// vela_experiment_tracking.utils.addresses: what is wrong with a tracking server's address,
// why a server did not answer, and whether its API answers. Text that comes from a peer or
// the user is shown as printable characters only. (The probe of validation notes here why
// it found no server, so this module imports nothing of MLflow.)
#include "runtime.hpp"

#include <cmath>

namespace {

constexpr const char* API_CHECK_PATH = "/api/2.0/mlflow/experiments/get-by-name?experiment_name=Default";
constexpr double API_CHECK_SECONDS = 30.0;  // the whole check, retries included
constexpr double API_REQUEST_SECONDS = 10.0;
constexpr double FIRST_RETRY_SECONDS = 1.0;
constexpr size_t MOST_NOTED_PROBES = 64;

py::object printable(const rt::Args& a) {
    py::handle text = a[0];
    Py_ssize_t limit = a[1].cast<Py_ssize_t>();
    py::str kept = py::str("").attr("join")(rt::builtin("filter")(rt::builtin("str").attr("isprintable"), rt::str(text)));
    if (py::len(kept) <= static_cast<size_t>(limit)) return std::move(kept);
    return rt::cat({kept[py::slice(0, limit, 1)], py::str("...")});
}

// The server's base address for an address copied from the UI or the REST API; None when it is none of those.
py::object base_of(const rt::Args& a, py::handle parts) {
    py::object path = parts.attr("path");
    for (const char* api : {"/api/2.0/", "/ajax-api/2.0/", "/api/3.0/"}) {
        py::object at = path.attr("find")(api);
        if (at.cast<long>() >= 0)
            return a.global("urllib").attr("parse").attr("urlunsplit")(
                py::make_tuple(parts.attr("scheme"), parts.attr("netloc"), path[py::slice(0, at.cast<long>(), 1)], "", ""));
    }
    if (rt::truthy(parts.attr("fragment")))
        return a.global("urllib").attr("parse").attr("urlunsplit")(
            py::make_tuple(parts.attr("scheme"), parts.attr("netloc"), path.attr("rstrip")("/"), "", ""));
    return py::none();
}

// None for an http(s) address of a server; else what is wrong with it, and what to give instead.
py::object address_problem(const rt::Args& a) {
    py::handle address = a[0];
    py::object shown = a.global("printable")(address);
    if (!rt::is_instance(address, rt::builtin("str")) || !rt::truthy(address))
        return py::str("no address is given");
    py::object parse = a.global("urllib").attr("parse");
    py::object parts = parse.attr("urlsplit")(address);
    py::object scheme = parts.attr("scheme").attr("lower")();
    if (!rt::contains(py::make_tuple("http", "https"), scheme) || !rt::truthy(parts.attr("netloc"))) {
        bool bare = !rt::contains(address, py::str("://"));
        if (bare)
            return rt::cat({py::str("'"), shown, py::str("' has no scheme: give 'http://"), shown,
                            py::str("' (or https://)")});
        return rt::cat({py::str("'"), shown, py::str("' is not an http or https address")});
    }
    py::object base = base_of(a, parts);
    if (!base.is_none()) {
        const char* what = rt::truthy(parts.attr("fragment")) ? "a page of the MLflow UI" : "an address of MLflow's REST API";
        return rt::cat({py::str("'"), shown, py::str("' is "), py::str(what), py::str(", not the server's: give '"),
                        a.global("printable")(base), py::str("'")});
    }
    return py::none();
}

py::object reason_of_error(const rt::Args& a, py::error_already_set& e, py::handle timeout);
py::object reason_of_status(py::handle status);

// Why a probe found no server (its answer's status, or its network error), kept per
// address for the message that follows it; an answer of 200 clears it.
py::object note_probe(const rt::Args& a) {
    py::handle address = a[0], outcome = a[1], timeout = a[2];
    py::object noted = a.global("_noted_probes");
    if (py::len(noted) >= MOST_NOTED_PROBES) noted.attr("clear")();
    py::object reason = py::none();
    if (rt::is_instance(outcome, PyExc_BaseException)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(outcome.ptr())), outcome.ptr());
        py::error_already_set error;
        reason = reason_of_error(a, error, timeout);
    } else if (!outcome.is_none() && !rt::equals(outcome, py::int_(200))) {
        reason = reason_of_status(outcome);
    }
    if (reason.is_none())
        noted.attr("pop")(address, py::none());
    else
        noted[address] = reason;
    return py::none();
}

py::object probe_detail(const rt::Args& a) { return a.global("_noted_probes").attr("get")(a[0]); }

// The reason an answer or an error gives for "no server here".
py::object reason_of_error(const rt::Args& a, py::error_already_set& e, py::handle timeout) {
    py::object exceptions = a.global("requests").attr("exceptions");
    if (e.matches(exceptions.attr("Timeout")))
        return rt::cat({py::str("gave no answer within "), rt::str(timeout), py::str(" s")});
    if (e.matches(exceptions.attr("ConnectionError"))) {
        py::object text = rt::str(e.value());
        for (const char* cause : {"Connection refused", "Name or service not known", "Temporary failure in name resolution",
                                  "No route to host", "Network is unreachable", "CERTIFICATE_VERIFY_FAILED"})
            if (rt::contains(text, py::str(cause))) return rt::cat({py::str("could not be reached: "), py::str(cause)});
        return py::str("could not be reached");
    }
    return py::none();
}

py::object reason_of_status(py::handle status) { return rt::cat({py::str("answered HTTP "), status}); }

// The TLS settings MLflow's own requests use, for ours to the same server.
void mlflow_tls(const rt::Args& a, py::dict& keywords) {
    py::object environ = a.global("os").attr("environ");
    py::object insecure = environ.attr("get")("MLFLOW_TRACKING_INSECURE_TLS", "");
    py::object server_cert = environ.attr("get")("MLFLOW_TRACKING_SERVER_CERT_PATH");
    py::object client_cert = environ.attr("get")("MLFLOW_TRACKING_CLIENT_CERT_PATH");
    if (rt::equals(py::str(insecure).attr("lower")(), py::str("true")))
        keywords["verify"] = false;
    else if (rt::truthy(server_cert))
        keywords["verify"] = server_cert;
    if (rt::truthy(client_cert)) keywords["cert"] = client_cert;
}

// One GET of the address: SimpleNamespace(ok, status, reason).
py::object probe_server(const rt::Args& a) {
    py::handle address = a[0], timeout = a[1];
    py::object result = a.global("types").attr("SimpleNamespace")(py::arg("ok") = false, py::arg("status") = py::none(),
                                                                  py::arg("reason") = py::none());
    try {
        py::object response = a.global("requests").attr("get")(address, py::arg("timeout") = timeout);
        py::object status = response.attr("status_code");
        result.attr("status") = status;
        result.attr("ok") = py::bool_(rt::equals(status, py::int_(200)));
        if (!rt::truthy(result.attr("ok"))) result.attr("reason") = reason_of_status(status);
    } catch (py::error_already_set& e) {
        py::object reason = reason_of_error(a, e, timeout);
        if (reason.is_none()) throw;
        result.attr("reason") = reason;
    }
    return result;
}

// Whether the server's REST API answers: a server whose front page answers may still fail
// every API call (a broken database, a proxy in front of nothing). Retries 5xx, 429 and
// network faults for at most API_CHECK_SECONDS in all, logging each retry at INFO, then
// raises ServerNotAccessibleException naming the address and the last status or fault.
py::object check_tracking_api(const rt::Args& a) {
    py::handle address = a[0], auth = a[1];
    py::object clock = a.global("time"), logger = a.global("logger");
    py::str url = rt::cat({py::str(address).attr("rstrip")("/"), py::str(API_CHECK_PATH)});
    double started = clock.attr("monotonic")().cast<double>();
    double budget = a.global("API_CHECK_SECONDS").cast<double>();
    double wait = FIRST_RETRY_SECONDS;
    py::object reason = py::none();
    for (int attempt = 1;; ++attempt) {
        double left = started + budget - clock.attr("monotonic")().cast<double>();
        double seconds = std::max(0.5, std::min(API_REQUEST_SECONDS, left));
        py::dict keywords;
        keywords["timeout"] = py::make_tuple(std::min(5.0, seconds), seconds);
        keywords["auth"] = auth;
        keywords["allow_redirects"] = false;
        mlflow_tls(a, keywords);
        py::object response;
        try {
            if (!rt::call_within(seconds + 1, a.global("requests").attr("get"), py::make_tuple(url), keywords, response))
                reason = rt::cat({py::str("gave no complete answer within "), py::int_(static_cast<long>(seconds)),
                                  py::str(" s")});
        } catch (py::error_already_set& e) {
            reason = reason_of_error(a, e, py::int_(static_cast<long>(seconds)));
            if (reason.is_none()) throw;
        }
        if (response) {
            py::object status = response.attr("status_code");
            long code = status.cast<long>();
            if (code < 500 && code != 429) return py::none();
            reason = reason_of_status(status);
        }
        double elapsed = clock.attr("monotonic")().cast<double>() - started;
        if (elapsed + wait >= budget)
            rt::raise_instance(py::module_::import("vela_experiment_tracking.exception")
                                   .attr("ServerNotAccessibleException")(rt::cat(
                {py::str("The tracking server at '"), a.global("printable")(address),
                 py::str("' answers, but its API does not: it "), reason, py::str(" to GET "), py::str(API_CHECK_PATH),
                 py::str(" ("), py::int_(attempt), py::str(" tries in "), py::int_(std::lround(elapsed)),
                 py::str(" s). Check the server's log, and that this is the server's base address.")})));
        logger.attr("info")(rt::cat({py::str("The tracking server's API at "), a.global("printable")(address),
                                     py::str(" "), reason, py::str("; trying again in "),
                                     py::int_(static_cast<long>(wait)), py::str(" s (try "), py::int_(attempt + 1),
                                     py::str(")")}));
        clock.attr("sleep")(wait);
        wait *= 2;
    }
}

}  // namespace

VELA_MODULE(addresses) {
    module.import("logging");
    module.import("os");
    module.import("time");
    module.import("types");
    module.import("urllib.parse");
    module.import("requests");
    module.create_logger();
    module.set("API_CHECK_SECONDS", py::float_(API_CHECK_SECONDS));
    module.set("_noted_probes", py::dict());

    module.def({"printable", {rt::param("text"), rt::param("limit", py::int_(200))}, printable,
                "The text's printable characters (no control or escape sequences), cut to `limit`."});
    module.def({"address_problem", {rt::param("address")}, address_problem,
                "What is wrong with a tracking server's address (no scheme, a UI or API address), or None."});
    module.def({"note_probe", {rt::param("address"), rt::param("outcome"), rt::param("timeout", py::none())},
                note_probe, "Keep what a probe of the address found: its answer's status, or its network error."});
    module.def({"probe_detail", {rt::param("address")}, probe_detail,
                "Why the last probe of that address found no server, or None."});
    module.def({"probe_server", {rt::param("address"), rt::param("timeout", py::int_(10))}, probe_server,
                "One GET of the address: SimpleNamespace(ok, status, reason)."});
    module.def({"check_tracking_api", {rt::param("address"), rt::param("auth", py::none())}, check_tracking_api,
                "Raise ServerNotAccessibleException unless the server's REST API answers within about 30 s."});
}

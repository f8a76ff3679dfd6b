// vela_experiment_tracking.utils.validation: the server probe and environment tests.
#include "runtime.hpp"

namespace {

py::object validate_keys_already_exists(const rt::Args& a) {
    py::handle new_params = a[0], old_params = a[1];
    py::list found;
    for (py::handle param : new_params) {
        py::object key = param.attr("key");
        if (rt::contains(old_params.attr("keys")(), key)) found.append(param.attr("key"));
    }
    return py::bool_(py::len(found) > 0);
}

// Only a 200 answer counts; a refused connection or a time-out means the server is down.
py::object is_server_up(const rt::Args& a) {
    py::handle address = a[0], timeout = a[1];
    py::object requests = a.global("requests");
    // what the probe found is noted for the message that follows a failed probe
    py::object note = a.global("note_probe");
    try {
        py::object response = requests.attr("get")(address, py::arg("timeout") = timeout);
        note(address, response.attr("status_code"), timeout);
        return py::bool_(rt::equals(response.attr("status_code"), py::int_(200)));
    } catch (py::error_already_set& e) {
        py::object exceptions = requests.attr("exceptions");
        if (e.matches(exceptions.attr("ConnectionError")) || e.matches(exceptions.attr("Timeout"))) {
            note(address, e.value(), timeout);
            return py::bool_(false);
        }
        throw;
    }
}

// Presence of both variables decides; their values are never read.
py::object is_cloud(const rt::Args& a) {
    for (const char* name : {"ENV_VELA_CLOUD_ENVIRONMENT", "ENV_PLATFORM_TOKEN_ENDPOINT"})
        if (!rt::contains(a.global("os").attr("environ"), a.global(name))) return py::bool_(false);
    return py::bool_(true);
}

}  // namespace

VELA_MODULE(validation) {
    module.import("os");
    module.import("requests");
    module.import_from("vela_experiment_tracking.constants", {"ENV_VELA_CLOUD_ENVIRONMENT", "ENV_PLATFORM_TOKEN_ENDPOINT"});
    module.import_from("vela_experiment_tracking.utils.addresses", {"note_probe"});

    py::object integer = rt::builtin("int"), boolean = rt::builtin("bool");

    module.def({"_validate_keys_already_exists", {rt::param("new_params"), rt::param("old_params")},
                validate_keys_already_exists});
    module.def({"is_server_up",
                {rt::param("address").as_text(), rt::param("timeout", py::int_(10)).annotated(integer)},
                is_server_up,
                "Checks if an Experiment Tracking server is running.\n"
                ":param address: full URL of the Experiment Tracking server to connect to\n"
                ":param timeout: timeout if the server has not issued a response in this many seconds\n"
                ":return: bool: True if server is accessible, False otherwise\n"
                ":example:\n"
                "    >>> is_server_up(\"http://localhost:5000\")",
                boolean});
    module.def({"is_cloud", {}, is_cloud, nullptr, boolean});
}

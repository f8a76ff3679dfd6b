// vela_experiment_tracking.exception: the exceptions users of the package catch.
#include "runtime.hpp"

namespace {

// The server's decoded error body, kept as `json`, with a readable message
// "<ERROR_CODE>: <message>".
py::object RestException_init(const rt::Args& a) {
    py::handle self = a[0], json = a[1];
    py::setattr(self, "json", json);
    py::object error_code = py::str("INTERNAL_ERROR");
    py::object message = rt::cat({py::str("Response: "), json});
    if (rt::is_instance(json, a.global("Mapping"))) {
        if (rt::truthy(json.attr("get")("error_code"))) error_code = json.attr("get")("error_code");
        if (rt::contains(json, py::str("message"))) message = json[py::str("message")];
    }
    py::object code = a.global("INTERNAL_ERROR");
    try {
        code = a.global("ErrorCode").attr("Value")(py::str(error_code));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    rt::super(a, self).attr("__init__")(rt::cat({error_code, py::str(": "), message}),
                                                                 py::arg("error_code") = code);
    return py::none();
}

py::object RestException_reduce(const rt::Args& a) {
    py::handle self = a[0];
    return py::make_tuple(py::type::of(self), py::make_tuple(self.attr("json")));
}

}  // namespace

VELA_MODULE(exception) {
    module.import_from("collections.abc", {"Mapping"});
    module.import_from("mlflow.exceptions", {"MlflowException"});
    module.import_from("mlflow.protos.databricks_pb2", {"ErrorCode", "INTERNAL_ERROR"});

    rt::ClassBuilder(module, "ExperimentTrackingException", py::make_tuple(module.get("MlflowException")),
                     "A failure of the experiment-tracking service, with an MLflow error code.")
        .build();

    rt::ClassBuilder(module, "ServerNotAccessibleException", py::make_tuple(module.get("ExperimentTrackingException")),
                     "The tracking server does not answer at the configured address.")
        .build();

    rt::ClassBuilder(module, "RestException", py::make_tuple(module.get("ExperimentTrackingException")),
                     "An error reply of the tracking server; `json` holds its decoded body.")
        .method({"__init__", {rt::param("self"), rt::param("json")}, RestException_init})
        .method({"__reduce__", {rt::param("self")}, RestException_reduce})
        .build();
}

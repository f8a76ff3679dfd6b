// A call whose whole answer must arrive by a deadline: a network peer that trickles its
// answer a byte at a time passes every per-read timeout, so the call runs in a daemon
// thread and the caller stops waiting at the deadline (the thread ends with its socket's
// own timeouts, and keeps no process alive).
#include "runtime.hpp"

namespace rt {

namespace {

// The thread's work: the call, its outcome ("result" or "error", value) put in the box.
py::object deliver(const Args& a) {
    py::handle box = a[0], function = a[1], args = a[2], kwargs = a[3], done = a[4];
    try {
        box.attr("append")(py::make_tuple("result", function(*py::reinterpret_borrow<py::tuple>(args),
                                                             **py::reinterpret_borrow<py::dict>(kwargs))));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        box.attr("append")(py::make_tuple("error", e.value()));
    }
    done.attr("set")();
    return py::none();
}

}  // namespace

bool call_within(double seconds, py::handle function, py::tuple args, py::dict kwargs, py::object& result) {
    py::object threading = py::module_::import("threading");
    static const FunctionSpec deliver_definition{"_deliver",
                                   {param("box"), param("function"), param("args"), param("kwargs"), param("done")},
                                   deliver};
    py::object target = make_function(deliver_definition, py::dict(), "_deliver");
    py::list box;
    py::object done = threading.attr("Event")();
    py::object work = py::module_::import("functools").attr("partial")(target, box, function, args, kwargs, done);
    threading.attr("Thread")(py::arg("target") = work, py::arg("daemon") = true,
                             py::arg("name") = "vela-answer-within")
        .attr("start")();
    if (!truthy(done.attr("wait")(seconds))) return false;
    py::tuple outcome = box[0];
    if (equals(outcome[0], py::str("error"))) raise_instance(outcome[1]);
    result = outcome[1];
    return true;
}

}  // namespace rt

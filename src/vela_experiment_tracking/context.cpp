// vela_experiment_tracking.context: what one init leaves for the next in this process,
// and the iterations open in it.
#include "runtime.hpp"

namespace {

py::object ContextClient_init(const rt::Args& a) {
    py::handle self = a[0];
    rt::super(a, self).attr("__init__")(py::none());
    py::setattr(self, "is_set_up", py::bool_(false));
    return py::none();
}

// Takes over the other client's state, its authenticator included.
py::object ContextClient_update(const rt::Args& a) {
    py::handle self = a[0], client = a[1];
    self.attr("__dict__").attr("update")(client.attr("__dict__"));
    py::setattr(self, "is_set_up", py::bool_(true));
    return py::none();
}

py::object ContextClient_bool(const rt::Args& a) { return py::bool_(rt::truthy(a[0].attr("is_set_up"))); }

// Runs once in every thread that touches it.
py::object ThreadIterations_init(const rt::Args& a) {
    py::setattr(a[0], "open", py::list());
    return py::none();
}

}  // namespace

VELA_MODULE(context) {
    module.import("threading");
    module.import_from("vela_experiment_tracking.tracking.client", {"Client"});

    rt::ClassBuilder(module, "ContextClient", py::make_tuple(module.get("Client")),
                     "The process's client: false until an init set it up.")
        .method({"__init__", {rt::param("self")}, ContextClient_init})
        .method({"update", {rt::param("self"), rt::param("client")}, ContextClient_update,
                 "Take over the state of another client."})
        .method({"__bool__", {rt::param("self")}, ContextClient_bool})
        .build();

    rt::ClassBuilder(module, "ThreadIterations", py::make_tuple(module.get("threading").attr("local")),
                     "The iterations started in the current thread and not ended yet, oldest first.")
        .method({"__init__", {rt::param("self")}, ThreadIterations_init})
        .build();

    module.set("current_client", module.get("ContextClient")());
    module.set("thread_iterations", module.get("ThreadIterations")());
    // Every iteration of the process not ended yet, ended at interpreter exit.
    module.set("open_iterations", py::list());
    // Set when the interpreter ends on an unhandled exception: the open iterations then failed.
    module.set("exiting_on_exception", py::bool_(false));
    // Experiments whose project and description tags this process has written.
    module.set("tagged_experiments", py::set());
}

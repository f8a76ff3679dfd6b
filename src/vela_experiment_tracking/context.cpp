// vela_experiment_tracking.context: what one init leaves for the next in this process.
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

}  // namespace

VELA_MODULE(context) {
    module.import_from("vela_experiment_tracking.tracking.client", {"Client"});

    rt::ClassBuilder(module, "ContextClient", py::make_tuple(module.get("Client")),
                     "The process's client: false until an init set it up.")
        .method({"__init__", {rt::param("self")}, ContextClient_init})
        .method({"update", {rt::param("self"), rt::param("client")}, ContextClient_update,
                 "Take over the state of another client."})
        .method({"__bool__", {rt::param("self")}, ContextClient_bool})
        .build();

    module.set("current_client", module.get("ContextClient")());
}

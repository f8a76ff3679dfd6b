// vela_experiment_tracking.auth.user: the person on whose behalf the client works.
#include "runtime.hpp"

namespace {

py::object User_init(const rt::Args& a) {
    py::handle self = a[0], username = a[1];
    py::setattr(self, "username", username);
    self.attr("_set_name")(username);
    py::setattr(self, "active_iteration_stack", py::list());
    py::setattr(self, "active_experiment", py::none());
    py::setattr(self, "active_project", py::none());
    return py::none();
}

// john.p.smith@example.org -> "John Smith": first and last dotted piece of the local part.
py::object User_set_name(const rt::Args& a) {
    py::handle self = a[0];
    py::object local_part = self.attr("username").attr("split")("@")[py::int_(0)];
    py::object names = local_part.attr("split")(".");
    py::object first = names[py::int_(0)];
    py::object last = py::len(names) > 1 ? py::object(names[py::int_(-1)]) : py::str("");
    py::setattr(self, "name", rt::cat({first, py::str(" "), last}).attr("strip")().attr("title")());
    return py::none();
}

py::object User_create_terminal_user(const rt::Args& a) {
    py::object username = a.global("os").attr("getenv")(a.global("ENV_LOGNAME"), a.global("ANON_USER"));
    return a.global("User")(username);
}

}  // namespace

VELA_MODULE(user) {
    module.import("os");
    module.import_from("vela_experiment_tracking.constants", {"ANON_USER", "ENV_LOGNAME"});

    rt::ClassBuilder(module, "User", py::tuple(),
                     "Represents a user of this system.\n\n"
                     "A User instance is created on hydration, and remains alive for the lifetime of the application.")
        .method({"__init__", {rt::param("self"), rt::param("username").as_text()}, User_init,
                 ":param username: Username", py::none()})
        .method({"_set_name", {rt::param("self"), rt::param("username")}, User_set_name})
        .static_method({"create_terminal_user", {}, User_create_terminal_user})
        .build();
}

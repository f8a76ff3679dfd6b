// The cross-process lock of a remembered login (see lock.hpp).
#include "lock.hpp"

#include "records.hpp"

namespace remembered {

py::object StoreLock_init(const rt::Args& a) {
    py::setattr(a[0], "path", a[1]);
    py::setattr(a[0], "_fd", py::none());
    return py::none();
}

// A store that cannot be read or written (a full disk, a removed directory) costs the
// remembering only, never the login in use: store_fault logs it and it is passed over.
// A lock file that is a link is refused instead: opened without following it, and said.
py::object StoreLock_enter(const rt::Args& a) {
    py::handle self = a[0];
    if (self.attr("path").is_none()) return py::reinterpret_borrow<py::object>(self);
    py::object os = a.global("os");
    int flags = open_flags(a, {"O_RDWR", "O_CREAT", "O_NOFOLLOW", "O_CLOEXEC"});
    try {
        py::object fd = os.attr("open")(self.attr("path"), flags, 0600);
        try {
            a.global("fcntl").attr("flock")(fd, a.global("fcntl").attr("LOCK_EX"));
        } catch (std::exception&) {
            os.attr("close")(fd);
            throw;
        }
        py::setattr(self, "_fd", fd);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_OSError) && rt::equals(e.value().attr("errno"), a.global("errno").attr("ELOOP"))) {
            py::object path = self.attr("path");
            py::str message = rt::cat({path, py::str(" is a symbolic link, not a lock file: the remembered login is "
                                                     "not used until it is removed (rm "),
                                       path, py::str(").")});
            warn_once(a, rt::cat({path, py::str(":lock")}), message);
            rt::raise(PyExc_PermissionError, message);
        }
        if (!store_fault(a, e, "locked")) throw;
    }
    return py::reinterpret_borrow<py::object>(self);
}

py::object StoreLock_exit(const rt::Args& a) {
    py::handle self = a[0];
    py::object fd = self.attr("_fd");
    if (fd.is_none()) return py::bool_(false);
    py::setattr(self, "_fd", py::none());
    a.global("os").attr("close")(fd);  // closing the last descriptor releases the lock
    return py::bool_(false);
}

}  // namespace remembered

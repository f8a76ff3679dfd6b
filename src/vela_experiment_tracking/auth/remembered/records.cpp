// Reading, checking and writing a remembered login's record (see records.hpp).
#include "records.hpp"

namespace remembered {

int open_flags(const rt::Args& a, std::initializer_list<const char*> names) {
    int flags = 0;
    for (const char* name : names) flags |= py::getattr(a.global("os"), name, py::int_(0)).cast<int>();
    return flags;
}

bool store_fault(const rt::Args& a, py::error_already_set& e, const char* what) {
    py::object keyring = a.global("keyring");
    py::object errors = keyring.is_none() ? py::object(py::none()) : py::getattr(keyring, "errors", py::none());
    py::object keyring_error = errors.is_none() ? py::object(py::none()) : py::getattr(errors, "KeyringError", py::none());
    bool keyring_fault = !keyring_error.is_none() && e.matches(keyring_error);
    if (!e.matches(PyExc_OSError) && !keyring_fault) return false;
    a.global("logger").attr("debug")(rt::cat({py::str("The remembered login could not be "), py::str(what),
                                              py::str(": "), py::type::of(e.value()).attr("__name__")}));
    return true;
}

void warn_once(const rt::Args& a, py::handle key, py::handle message) {
    py::object warned = a.global("_warned");
    if (rt::contains(warned, key)) return;
    warned.attr("add")(key);
    a.global("logger").attr("warning")(message);
}

py::object read_record_file(const rt::Args& a, py::handle path) {
    py::object os = a.global("os");
    py::object fd;
    try {
        fd = os.attr("open")(path, open_flags(a, {"O_RDONLY", "O_NOFOLLOW", "O_CLOEXEC", "O_NONBLOCK"}));
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_FileNotFoundError)) return py::none();
        if (!e.matches(PyExc_OSError)) throw;
        if (rt::equals(e.value().attr("errno"), a.global("errno").attr("ELOOP")))
            warn_once(a, rt::cat({path, py::str(":link")}),
                      rt::cat({py::str("Refused the remembered login "), path,
                               py::str(": it is a symbolic link, not a file of yours. Remove it (rm "), path,
                               py::str(") and log in again.")}));
        return py::none();
    }
    py::object file = os.attr("fdopen")(fd, "r", py::arg("encoding") = "utf-8");
    py::object status = os.attr("fstat")(fd);
    long mode = status.attr("st_mode").cast<long>();
    py::object owner = status.attr("st_uid"), me = os.attr("getuid")();
    py::object text = py::none();
    if (!rt::truthy(a.global("stat").attr("S_ISREG")(mode))) {
        warn_once(a, rt::cat({path, py::str(":kind")}),
                  rt::cat({py::str("Refused the remembered login "), path,
                           py::str(": it is not a regular file. Remove it and log in again.")}));
    } else if (!rt::equals(owner, me)) {
        warn_once(a, rt::cat({path, py::str(":owner")}),
                  rt::cat({py::str("Refused the remembered login "), path, py::str(": it belongs to user id "), owner,
                           py::str(", not to you (user id "), me, py::str("). Remove it (rm "), path,
                           py::str(") and log in again.")}));
    } else if ((mode & 077) != 0) {
        // Its refresh token may have been copied already: the record is no login any more.
        bool removed = true;
        try {
            os.attr("unlink")(path);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;
            removed = false;
        }
        warn_once(a, rt::cat({path, py::str(":mode")}),
                  rt::cat({py::str("Refused the remembered login "), path, py::str(": other users could read or write it "
                                                                                    "(mode "),
                           py::str("{:04o}").format(mode & 07777),
                           py::str("), so its refresh token may have been copied. "),
                           py::str(removed ? "It has been deleted: log in again"
                                           : "Delete it and log in again"),
                           py::str(", and end that login's sessions at the identity provider if others use this "
                                   "machine.")}));
    } else {
        text = file.attr("read")();
    }
    file.attr("close")();
    return text;
}

void write_record_file(const rt::Args& a, py::handle path, py::handle text) {
    py::object os = a.global("os");
    py::tuple made = a.global("tempfile").attr("mkstemp")(py::arg("dir") = os.attr("path").attr("dirname")(path),
                                                        py::arg("prefix") = ".", py::arg("suffix") = ".tmp");
    py::object fd = made[0], temporary = made[1];
    try {
        py::object file = os.attr("fdopen")(fd, "w", py::arg("encoding") = "utf-8");
        file.attr("write")(text);
        file.attr("flush")();
        os.attr("fsync")(file.attr("fileno")());
        file.attr("close")();
        os.attr("replace")(temporary, path);
    } catch (std::exception&) {
        py::object remove = os.attr("unlink");
        try {
            remove(temporary);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;
        }
        throw;
    }
}

namespace {

bool text_value(py::handle value, bool empty_allowed = false) {
    return rt::is_instance(value, rt::builtin("str")) && (empty_allowed || rt::truthy(value));
}

}  // namespace

py::object damage_of(const rt::Args&, py::handle record) {
    if (!rt::is_instance(record, rt::builtin("dict"))) return py::str("it is not a record");
    py::object get = record.attr("get");
    for (const char* field : {"refresh_token", "token_endpoint", "username"})
        if (!text_value(get(field))) return rt::cat({py::str(field), py::str(" is missing or not text")});
    for (const char* field : {"client_id", "client_secret"}) {
        py::object value = get(field);
        if (!value.is_none() && !text_value(value, true)) return rt::cat({py::str(field), py::str(" is not text")});
    }
    py::object endpoint = get("token_endpoint").attr("lower")();
    if (!rt::truthy(endpoint.attr("startswith")("https://")) && !rt::truthy(endpoint.attr("startswith")("http://")))
        return py::str("token_endpoint is not an http(s) address");
    if (!rt::contains(py::make_tuple("none", "client_secret_basic", "client_secret_post"), get("auth_method", "none")))
        return py::str("auth_method is not one this package knows");
    return py::none();
}

}  // namespace remembered

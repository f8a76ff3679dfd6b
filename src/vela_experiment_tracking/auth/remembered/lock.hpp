// The cross-process lock of a remembered login (vela_experiment_tracking.auth.remembered's
// _StoreLock): an exclusive flock on a private lock file, and a holder of such a lock.
#pragma once

#include "runtime.hpp"

namespace remembered {

// Holds a lock (a store's, from LoginStore.lock or login_lock) while alive.
struct Held {
    py::object lock;
    explicit Held(py::object taken) : lock(std::move(taken)) { lock.attr("__enter__")(); }
    ~Held() {
        if (!rt::holds_gil()) return;
        try {
            lock.attr("__exit__")(py::none(), py::none(), py::none());
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("releasing a remembered login's lock");
        }
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
};

// _StoreLock(path): __init__, __enter__ and __exit__. A path of None locks nothing.
py::object StoreLock_init(const rt::Args& a);
py::object StoreLock_enter(const rt::Args& a);
py::object StoreLock_exit(const rt::Args& a);

}  // namespace remembered

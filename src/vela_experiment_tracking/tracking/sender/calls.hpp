// The Sender's logging calls for other modules' native code: an iteration reaches its run's queue
// through them without a Python call, when the sender it is given is the package's own.
#pragma once

#include "runtime.hpp"

namespace sender {

// Whether `object` is exactly the package's Sender (not a subclass or a substitute), whose calls below
// then do what its methods do.
bool is_native_sender(py::handle object);

void log_metric(py::handle self, py::handle uri, py::handle run_id, py::handle key, py::handle value,
                py::handle timestamp, py::handle step, py::handle synchronous);
void log_metrics(py::handle self, py::handle uri, py::handle run_id, py::handle metrics, py::handle timestamp,
                 py::handle step, py::handle synchronous);
void set_tag(py::handle self, py::handle uri, py::handle run_id, py::handle key, py::handle value,
             py::handle synchronous);

}  // namespace sender

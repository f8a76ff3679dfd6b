// The logging calls' checks, and the records they make from the caller's values.
#pragma once

#include "runtime.hpp"
#include "record.hpp"

#include <cstdint>
#include <string>

namespace sender {

// Raises ExperimentTrackingException(message, INVALID_PARAMETER_VALUE), read from the module of `a`.
[[noreturn]] void refuse(const rt::Args& a, const std::string& message);

std::string checked_key(const rt::Args& a, py::handle key, const char* kind);
std::string checked_text(const rt::Args& a, py::handle value, const char* kind, const std::string& key, size_t most);
int64_t checked_step(const rt::Args& a, py::handle step);  // None: 0
int64_t checked_timestamp(const rt::Args& a, py::handle timestamp);

Record metric(const rt::Args& a, py::handle key, py::handle value, int64_t timestamp, int64_t step);
Record text_record(const rt::Args& a, Kind kind, py::handle key, py::handle value);

}  // namespace sender

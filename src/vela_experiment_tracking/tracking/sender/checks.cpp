// The logging calls' checks: a record is made from the caller's values only when MLflow would take it, and
// the call raises otherwise, so nothing the server would refuse is queued.
#include "checks.hpp"

#include <cmath>

namespace sender {
namespace {

std::string shown(py::handle value) { return py::repr(value).cast<std::string>().substr(0, 100); }

bool is_name_character(Py_UCS4 c) {
    return c == '_' || c == '-' || c == '.' || c == ' ' || c == ':' || c == '/' || Py_UNICODE_ISALNUM(c);
}

// A name that a file system would not read as another name: no empty, "." or ".." parts.
bool resolves_to_itself(const std::string& name) {
    size_t start = 0;
    while (true) {
        size_t end = name.find('/', start);
        std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

double checked_value(const rt::Args& a, py::handle value, const std::string& key);

}  // namespace

[[noreturn]] void refuse(const rt::Args& a, const std::string& message) {
    rt::raise_instance(a.global("ExperimentTrackingException")(
        py::arg("message") = py::str(message), py::arg("error_code") = a.global("INVALID_PARAMETER_VALUE")));
}

// The names MLflow accepts for metrics, parameters and tags, checked here so that the call raises.
std::string checked_key(const rt::Args& a, py::handle key, const char* kind) {
    py::str name(key);
    Py_ssize_t length = PyUnicode_GetLength(name.ptr());
    bool valid = length > 0 && static_cast<size_t>(length) <= MAX_KEY;
    for (Py_ssize_t i = 0; valid && i < length; ++i) valid = is_name_character(PyUnicode_ReadChar(name.ptr(), i));
    std::string text = name.cast<std::string>();
    if (valid && resolves_to_itself(text)) return text;
    refuse(a, std::string("Invalid ") + kind + " name " + shown(name) +
                  ": names have 1 to 250 characters, which are alphanumerics, underscores (_), dashes (-), "
                  "periods (.), spaces ( ), colons (:) and slashes (/), and must not read as another path.");
}

std::string checked_text(const rt::Args& a, py::handle value, const char* kind, const std::string& key,
                         size_t most) {
    py::str text(value);
    if (static_cast<size_t>(PyUnicode_GetLength(text.ptr())) > most)
        refuse(a, std::string("The value of ") + kind + " '" + key + "' is longer than " + std::to_string(most) +
                      " characters.");
    return text.cast<std::string>();
}

namespace {
double checked_value(const rt::Args& a, py::handle value, const std::string& key) {
    if (!PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr()) && !value.is_none()) {
        double number = PyFloat_AsDouble(value.ptr());
        if (!(number == -1.0 && PyErr_Occurred())) return number;
        PyErr_Clear();
    }
    refuse(a, "Invalid value " + shown(value) + " for metric '" + key + "': a metric's value is a number.");
}
}  // namespace

int64_t checked_step(const rt::Args& a, py::handle step) {
    if (step.is_none()) return 0;
    py::object whole;
    if (PyFloat_Check(step.ptr())) {
        double value = PyFloat_AS_DOUBLE(step.ptr());
        if (std::isfinite(value) && value == std::floor(value))
            whole = py::reinterpret_steal<py::object>(PyLong_FromDouble(value));
    } else if (!PyBool_Check(step.ptr())) {
        whole = py::reinterpret_steal<py::object>(PyNumber_Index(step.ptr()));
    }
    long long result = 0;
    int overflow = 0;
    if (whole) result = PyLong_AsLongLongAndOverflow(whole.ptr(), &overflow);
    if (!whole || overflow || PyErr_Occurred()) {
        PyErr_Clear();
        refuse(a, "Invalid step " + shown(step) + ": a step is a whole number within 64 bits.");
    }
    return result;
}

int64_t checked_timestamp(const rt::Args& a, py::handle timestamp) {
    int64_t value = checked_step(a, timestamp);
    if (value < 0) refuse(a, "Invalid timestamp " + shown(timestamp) + ": milliseconds since the epoch.");
    return value;
}

Record metric(const rt::Args& a, py::handle key, py::handle value, int64_t timestamp, int64_t step) {
    Record record;
    record.kind = Kind::Metric;
    record.key = checked_key(a, key, "metric");
    record.value = checked_value(a, value, record.key);
    record.timestamp = timestamp;
    record.step = step;
    return record;
}

Record text_record(const rt::Args& a, Kind kind, py::handle key, py::handle value) {
    Record record;
    record.kind = kind;
    const char* name = kind == Kind::Param ? "parameter" : "tag";
    record.key = checked_key(a, key, name);
    record.text = checked_text(a, value, name, record.key,
                               kind == Kind::Param ? MAX_PARAM_VALUE : MAX_TAG_VALUE);
    return record;
}

}  // namespace sender

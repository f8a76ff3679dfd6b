// The sender's requests: batches to MLflow's runs/log-batch endpoint, a run's other writes, and
// artifact uploads to its artifact proxy.
#include "request.hpp"

#include <cmath>
#include <cstdio>

namespace sender {
namespace {

void json_text(std::string& out, const std::string& text) {
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

void json_double(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "\"NaN\"";
    } else if (std::isinf(value)) {
        out += value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
    } else {
        char digits[32];
        std::snprintf(digits, sizeof digits, "%.17g", value);
        out += digits;
    }
}

// MLflow's codes for a request whose records are wrong: sending them again changes nothing.
bool about_the_records(const std::string& code) {
    return code == "INVALID_PARAMETER_VALUE" || code == "MALFORMED_REQUEST" || code == "INVALID_STATE";
}

// Deleting a tag the run does not have: the server says so with not-found.
bool tag_gone(int status, const std::string& code, const std::string& url) {
    return status == 404 && code == "RESOURCE_DOES_NOT_EXIST" && url.find("/runs/delete-tag") != std::string::npos;
}

// The answer's JSON object, or None when the answer is no JSON object (a proxy's page, say).
py::object json_object(py::handle response) {
    try {
        py::object answer = response.attr("json")();
        if (py::isinstance<py::dict>(answer)) return answer;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return py::none();
}

std::string text_item(py::handle answer, const char* key) {
    if (answer.is_none() || !answer.contains(key)) return "";
    return py::str(answer[key]).cast<std::string>();
}

// What to tell the user about an answer that keeps the records waiting.
std::string hint(int status) {
    if (status == 401 || status == 403) return ": the login is not accepted there";
    if (status == 404) return ": no tracking server at that address";
    if (status >= 300 && status < 400) return ": a redirect, as a login page or a proxy gives";
    return "";
}

Outcome classify(py::handle response, const std::string& url) {
    int status = response.attr("status_code").cast<int>();
    py::object answer = json_object(response);
    std::string code = text_item(answer, "error_code");
    std::string shown = "HTTP " + std::to_string(status) + (code.empty() ? "" : " " + code);
    if (status >= 200 && status < 300) {
        if (!answer.is_none()) return {Outcome::Delivered, ""};
        return {Outcome::Retry, shown + ": an answer that is not the tracking server's"};
    }
    if ((status == 400 && about_the_records(code)) || tag_gone(status, code, url))
        return {Outcome::Refused, "HTTP 400: " + text_item(answer, "message").substr(0, 500)};
    if (status == 413) return {Outcome::TooLarge, shown + ": too large, sent again in smaller batches"};
    return {Outcome::Retry, shown + hint(status)};
}

// No retry makes a malformed server address usable.
bool is_bad_address(py::error_already_set& e) {
    py::object errors = py::module_::import("requests.exceptions");
    for (const char* name : {"MissingSchema", "InvalidSchema", "InvalidURL"})
        if (e.matches(errors.attr(name))) return true;
    return false;
}

// A request that could not be sent at all: a bad address is final, anything else is tried again.
Outcome not_sent(py::error_already_set& e) {
    std::string reason = py::str(py::type::handle_of(e.value()).attr("__name__"));
    if (is_bad_address(e)) return {Outcome::Refused, reason + ": " + py::str(e.value()).cast<std::string>()};
    // the user has to act: the text says so (it carries no token)
    if (e.matches(py::module_::import("vela_authn").attr("LoginRequiredError")))
        reason += ": " + py::str(e.value()).cast<std::string>();
    return {Outcome::Retry, reason};
}

}  // namespace

std::vector<Record*> cut(std::deque<Record>& queue, size_t most, uint64_t one_by_one_to, bool metrics_only) {
    std::vector<Record*> batch;
    size_t metrics = 0, params = 0, tags = 0, bytes = 0;
    for (Record& r : queue) {
        if (r.state != Record::Waiting) continue;
        if (metrics_only && r.kind != Kind::Metric) break;
        if (!batched(r.kind)) {
            if (batch.empty()) batch.push_back(&r);  // a request of its own
            break;
        }
        if (batch.size() >= std::min(most, MAX_ENTRIES)) break;
        if (!batch.empty() && r.seq <= one_by_one_to) break;
        size_t& count = r.kind == Kind::Metric ? metrics : r.kind == Kind::Param ? params : tags;
        size_t limit = r.kind == Kind::Metric ? MAX_METRICS : r.kind == Kind::Param ? MAX_PARAMS : MAX_TAGS;
        size_t size = r.key.size() + r.text.size() + 80;
        if (count >= limit || (!batch.empty() && bytes + size > MAX_BODY)) break;
        ++count;
        bytes += size;
        batch.push_back(&r);
        if (r.seq <= one_by_one_to) break;
    }
    return batch;
}

std::string endpoint(const std::vector<Record*>& batch) {
    Kind kind = batch.front()->kind;
    return kind == Kind::DeleteTag  ? "/api/2.0/mlflow/runs/delete-tag"
           : kind == Kind::Update   ? "/api/2.0/mlflow/runs/update"
           : kind == Kind::Artifact || kind == Kind::Request ? batch.front()->key
                                    : "/api/2.0/mlflow/runs/log-batch";
}

std::string batch_body(const std::string& run_id, const std::vector<Record*>& batch) {
    const Record& first = *batch.front();
    if (first.kind == Kind::Request) return first.text;
    if (first.kind == Kind::DeleteTag || first.kind == Kind::Update) {
        std::string body = "{\"run_id\":";
        json_text(body, run_id);
        if (first.kind == Kind::DeleteTag) {
            body += ",\"key\":";
            json_text(body, first.key);
        }
        if (first.kind == Kind::Update && !first.text.empty()) {
            body += ",\"status\":";
            json_text(body, first.text);
            body += ",\"end_time\":" + std::to_string(first.timestamp);
        }
        if (first.kind == Kind::Update && !first.key.empty()) {
            body += ",\"run_name\":";
            json_text(body, first.key);
        }
        return body + "}";
    }
    std::string metrics, params, tags;
    for (const Record* r : batch) {
        std::string& out = r->kind == Kind::Metric ? metrics : r->kind == Kind::Param ? params : tags;
        out += out.empty() ? "[" : ",";
        out += "{\"key\":";
        json_text(out, r->key);
        out += ",\"value\":";
        if (r->kind == Kind::Metric) {
            json_double(out, r->value);
            out += ",\"timestamp\":" + std::to_string(r->timestamp) + ",\"step\":" + std::to_string(r->step);
        } else {
            json_text(out, r->text);
        }
        out += '}';
    }
    std::string body = "{\"run_id\":";
    json_text(body, run_id);
    if (!metrics.empty()) body += ",\"metrics\":" + metrics + "]";
    if (!params.empty()) body += ",\"params\":" + params + "]";
    if (!tags.empty()) body += ",\"tags\":" + tags + "]";
    body += '}';
    return body;
}

Outcome post(py::handle session, py::handle auth, const std::string& url, const std::string& body) {
    try {
        py::dict headers;
        headers["Content-Type"] = "application/json";
        py::object response = session.attr("post")(url, py::arg("data") = py::bytes(body),
                                                    py::arg("headers") = headers, py::arg("auth") = auth,
                                                    py::arg("timeout") = py::make_tuple(5, 30),
                                                    py::arg("allow_redirects") = false);
        return classify(response, url);
    } catch (py::error_already_set& e) {
        return not_sent(e);
    }
}

Outcome put_file(py::handle session, py::handle auth, const std::string& url, const std::string& path) {
    py::object file;
    try {
        file = py::module_::import("io").attr("open")(path, "rb");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return {Outcome::Refused, "its copy to upload is gone (" + py::str(e.value()).cast<std::string>() + ")"};
    }
    Outcome outcome{Outcome::Retry, ""};
    try {
        py::dict headers;
        py::object type = py::module_::import("mimetypes").attr("guess_type")(url)[py::int_(0)];
        headers["Content-Type"] = type.is_none() ? py::str("application/octet-stream") : py::str(type);
        py::object response = session.attr("put")(url, py::arg("data") = file, py::arg("headers") = headers,
                                                   py::arg("auth") = auth, py::arg("timeout") = py::make_tuple(5, 300),
                                                   py::arg("allow_redirects") = false);
        int status = response.attr("status_code").cast<int>();
        // the artifact proxy confirms with an empty answer; a login page's has a body
        bool confirmed = status >= 200 && status < 300 && py::len(response.attr("content")) == 0;
        outcome = confirmed ? Outcome{Outcome::Delivered, ""} : classify(response, url);
        if (outcome.kind == Outcome::TooLarge) outcome.kind = Outcome::Refused;  // a file is not split
    } catch (py::error_already_set& e) {
        outcome = not_sent(e);
    }
    file.attr("close")();
    return outcome;
}

std::string origin(const std::string& url) {
    size_t scheme = url.find("://");
    size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) authority = authority.substr(at + 1);
    return url.substr(0, start) + authority;
}

}  // namespace sender

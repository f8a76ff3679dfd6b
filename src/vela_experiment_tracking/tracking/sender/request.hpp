// One batch request: which records go in it, its body, and what the server's answer means.
#pragma once

#include "runtime.hpp"
#include "record.hpp"

#include <deque>
#include <string>
#include <vector>

namespace sender {

struct Outcome {
    enum Kind {
        Delivered,  // the server confirmed the batch
        Refused,    // the server refused a record of it: final for that record
        TooLarge,   // the request was too large for the server or a proxy before it: sent again, split
        Retry,      // anything else: kept and sent again later
    } kind;
    std::string reason;
};

// The first waiting records that one request takes, in order, within the server's limits and `most`;
// from `one_by_one_to` back only one (a refused batch's records are sent alone, to find the refused
// ones). With `metrics_only` (beside requests in flight) it stops at the first record of another kind.
std::vector<Record*> cut(std::deque<Record>& queue, size_t most, uint64_t one_by_one_to, bool metrics_only);

// The path of the batch's request: a batch of metrics, parameters and tags, or one record of its own.
std::string endpoint(const std::vector<Record*>& batch);

// MLflow's batch request: {"run_id": ..., "metrics": [...], "params": [...], "tags": [...]}; a tag's
// deletion or a run's update as MLflow's requests of those.
std::string batch_body(const std::string& run_id, const std::vector<Record*>& batch);

// Posts the batch with the session (the GIL held) and tells what the answer means. Only MLflow's own
// JSON answer confirms a batch; a refusal is final only when it is about the records.
Outcome post(py::handle session, py::handle auth, const std::string& url, const std::string& body);

// Uploads an artifact's file (the GIL held), as MLflow's artifact proxy takes it.
Outcome put_file(py::handle session, py::handle auth, const std::string& url, const std::string& path);

// The address without userinfo, which may hold a password, and without its path.
std::string origin(const std::string& url);

}  // namespace sender

// A logged record as the sender keeps it, and the server's limits on a batch of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sender {

// Metrics, parameters and tags go in batches; a tag's deletion, an update of the run (its status and
// end time, `text` and `timestamp`, or its name, `key`), an artifact (its address on the server after
// the tracking URI, `key`, and the private copy of its file, `text`) and another of MLflow's requests
// about the run (its path, `key`, and body, `text`) are requests of their own, in the same order.
enum class Kind : char {
    Metric = 'm', Param = 'p', Tag = 't', DeleteTag = 'd', Update = 'u', Artifact = 'f', Request = 'q'
};

// The requests a Request record may hold: MLflow's own about a run, on the run's server.
inline bool about_a_run(const std::string& path) { return path.rfind("/api/2.0/mlflow/runs/", 0) == 0; }

inline bool batched(Kind kind) { return kind == Kind::Metric || kind == Kind::Param || kind == Kind::Tag; }

struct Record {
    Kind kind = Kind::Metric;
    uint64_t seq = 0;  // the run's count of records, from 1
    int64_t timestamp = 0;
    int64_t step = 0;
    double value = 0;
    std::string key;
    std::string text;  // a parameter's or a tag's value, an artifact's file, a request's body
    bool journaled = false;  // its line is in the run's journal
    enum State : unsigned char { Waiting, InFlight, Done } state = Waiting;  // in the sender's queue
};

// What one batch request of the server takes.
constexpr size_t MAX_ENTRIES = 1000;
constexpr size_t MAX_METRICS = 1000;
constexpr size_t MAX_PARAMS = 100;
constexpr size_t MAX_TAGS = 100;
constexpr size_t MAX_BODY = 900000;  // the server refuses requests over 1 MB
constexpr size_t MAX_KEY = 250;
constexpr size_t MAX_PARAM_VALUE = 6000;
constexpr size_t MAX_TAG_VALUE = 8000;

}  // namespace sender

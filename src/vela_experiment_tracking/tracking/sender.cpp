// vela_experiment_tracking.tracking.sender: iterations' metrics, parameters and tags, sent in the
// background.
//
// A logging call validates its input, appends the record to the run's journal (a write-ahead file
// under the user's cache directory) and to an in-memory queue, and returns. A native thread per sender
// sends the queues in MLflow's batch requests, in order per run, retries through outages with capped
// backoff, and marks in the journal what the server confirmed. What a process leaves behind,
// `python -m vela_experiment_tracking sync` uploads later. The queue, the journal and the requests are
// the files of the sender/ folder; this one is the module's Python face.
#include "runtime.hpp"
#include "sender/calls.hpp"
#include "sender/checks.hpp"
#include "sender/engine.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace {

using sender::Clock;
using sender::checked_key;
using sender::checked_step;
using sender::checked_text;
using sender::checked_timestamp;
using sender::metric;
using sender::refuse;
using sender::text_record;
using sender::Engine;
using sender::Kind;
using sender::Record;

constexpr int EXIT_GIVES_UP_AFTER = 3;  // failed attempts in a row: at exit, the server is down
constexpr double MOST_SECONDS = 1e7;    // any longer wait is as good as forever
constexpr double MOST_RECORDS = 1e9;
constexpr char MODULE_NAME[] = "vela_experiment_tracking.tracking.sender";
constexpr char ENGINE_CAPSULE[] = "vela_experiment_tracking.tracking.sender.Engine";

void release_engine(PyObject* capsule) {
    auto* engine = static_cast<Engine*>(PyCapsule_GetPointer(capsule, ENGINE_CAPSULE));
    // A forked child has a copy of the engine without its thread: that copy is left alone.
    if (engine && engine->pid() == getpid()) delete engine;
}

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }

Engine& engine_of(py::handle self) {
    py::object capsule = rt::attr(self, "_Sender__engine");
    void* engine = PyCapsule_GetPointer(capsule.ptr(), ENGINE_CAPSULE);
    if (!engine) throw py::error_already_set();
    return *static_cast<Engine*>(engine);
}

// ---- settings, read through os.environ when a run opens (the synchronous switch at each call) ---

py::object env_value(const rt::Args& a, const char* variable) {
    return a.global("os").attr("environ").attr("get")(a.global(variable));
}

bool env_flag(const rt::Args& a, const char* variable) {
    py::object value = env_value(a, variable);
    if (value.is_none()) return false;
    std::string text = text_of(value);
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text == "1" || text == "true" || text == "yes" || text == "on";
}

// A number of seconds or records, within [low, high]; NaN counts as low.
double bounded(py::handle value, double low, double high) {
    double number = rt::builtin("float")(value).cast<double>();
    return std::isnan(number) ? low : std::min(high, std::max(low, number));
}

double env_number(const rt::Args& a, const char* variable, const char* fallback, double low, double high) {
    py::object value = env_value(a, variable);
    try {
        if (!value.is_none()) return bounded(value, low, high);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    return bounded(a.global(fallback), low, high);
}

double flush_timeout(const rt::Args& a, py::handle timeout) {
    return timeout.is_none() ? env_number(a, "ENV_LOG_FLUSH_TIMEOUT", "DEFAULT_FLUSH_TIMEOUT", 0, MOST_SECONDS)
                             : bounded(timeout, 0, MOST_SECONDS);
}

// $XDG_CACHE_HOME (when absolute), else ~/.cache, then vela_experiment_tracking/journal.
std::string journal_path(const rt::Args& a) {
    py::object path = a.global("os").attr("path");
    py::object cache = a.global("os").attr("environ").attr("get")("XDG_CACHE_HOME");
    if (!rt::truthy(cache) || !rt::truthy(path.attr("isabs")(cache)))
        cache = path.attr("join")(path.attr("expanduser")("~"), ".cache");
    return text_of(path.attr("join")(cache, "vela_experiment_tracking", "journal"));
}

// The journal directory for runs opened now: none when memory only is asked for or it cannot be made.
std::string journal_directory(const rt::Args& a) {
    if (env_flag(a, "ENV_LOG_MEMORY_ONLY")) return "";
    std::string path = journal_path(a);
    if (path.empty() || path[0] != '/') path = "";  // never relative to wherever the process runs
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0700);  // missing levels, private as the cache directory should be
    if (!path.empty() && sender::make_private_directory(path)) return path;
    a.global("logger").attr("warning")(
        py::str("Cannot use " + path + " for the logging journal; records are kept in memory only."));
    return "";
}

void prepare_run(const rt::Args& a, Engine& engine, const std::string& run_id) {
    if (engine.knows(run_id)) return;
    auto memory_records = static_cast<size_t>(
        env_number(a, "ENV_LOG_MEMORY_RECORDS", "DEFAULT_MEMORY_RECORDS", 1, MOST_RECORDS));
    engine.configure(journal_directory(a), memory_records);
}

std::string run_uri(py::handle tracking_uri) {
    std::string uri = text_of(tracking_uri);
    while (!uri.empty() && uri.back() == '/') uri.pop_back();
    return uri;
}

void warn(const rt::Args& a, const std::string& warning) {
    if (!warning.empty()) a.global("logger").attr("warning")(py::str(warning));
}

// ---- logging calls -------------------------------------------------------------------------------

// Waits for the run's records; false when the wait ended first. Refusals of the server raise.
bool flush_run(const rt::Args& a, Engine& engine, const std::string* run_id, py::handle timeout,
               int give_up_after_failures = 0) {
    double stall = flush_timeout(a, timeout);
    auto deadline = Clock::time_point::max();
    if (!timeout.is_none())
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(stall));
    bool settled = engine.flush(run_id, deadline, std::chrono::duration<double>(stall), give_up_after_failures);
    std::vector<std::string> refusals = engine.take_refusals(run_id);
    if (!refusals.empty()) {
        std::string message = "The tracking server refused " + std::to_string(refusals.size()) + " record(s):";
        for (const std::string& reason : refusals) message += "\n  " + reason;
        refuse(a, message);
    }
    return settled;
}

// The logging calls' common end: the records go to the run's queue, opened on its first record.
void append(const rt::Args& a, py::handle self, py::handle tracking_uri, py::handle run, Record* records,
            size_t count, py::handle synchronous) {
    Engine& engine = engine_of(self);
    std::string run_id = text_of(run), warning;
    if (!engine.append(run_id, nullptr, records, count, warning)) {
        std::string uri = run_uri(tracking_uri);
        prepare_run(a, engine, run_id);
        engine.append(run_id, &uri, records, count, warning);
    }
    warn(a, warning);
    bool wait = synchronous.is_none() ? env_flag(a, "ENV_LOG_SYNCHRONOUS") : rt::truthy(synchronous);
    if (!wait) return;
    // a synchronous call gives up on a server that is down after MLflow's own number of retries
    int attempts = 1 + static_cast<int>(env_number(a, "ENV_MLFLOW_HTTP_REQUEST_MAX_RETRIES",
                                                   "DEFAULT_MLFLOW_HTTP_REQUEST_MAX_RETRIES", 0, 100));
    if (!flush_run(a, engine, &run_id, py::none(), attempts))
        refuse(a, "The tracking server did not confirm the records of run " + run_id +
                      " (it does not answer, or not in time); they stay queued and are sent when it answers.");
}

py::object Sender_init(const rt::Args& a) {
    py::handle self = a[0];
    py::object session = a.global("requests").attr("Session")();
    // MLflow's own variables for the server's certificate
    if (env_flag(a, "ENV_MLFLOW_TRACKING_INSECURE_TLS")) session.attr("verify") = py::bool_(false);
    py::object ca = env_value(a, "ENV_MLFLOW_TRACKING_SERVER_CERT_PATH");
    if (rt::truthy(ca)) session.attr("verify") = ca;
    py::object cert = env_value(a, "ENV_MLFLOW_TRACKING_CLIENT_CERT_PATH");
    if (rt::truthy(cert)) session.attr("cert") = cert;
    py::object auth = a.global("BearerAuth")();
    py::setattr(self, "session", session);
    py::setattr(self, "auth", auth);
    py::setattr(self, "_Sender__pid", py::int_(getpid()));
    auto* engine = new Engine(session, auth, a.global("logger"));
    PyObject* capsule = PyCapsule_New(engine, ENGINE_CAPSULE, release_engine);
    if (!capsule) {
        delete engine;
        throw py::error_already_set();
    }
    py::setattr(self, "_Sender__engine", py::reinterpret_steal<py::object>(capsule));
    return py::none();
}

py::object Sender_open_run(const rt::Args& a) {
    Engine& engine = engine_of(a[0]);
    std::string run_id = text_of(a[2]);
    prepare_run(a, engine, run_id);
    warn(a, engine.open(run_uri(a[1]), run_id, rt::truthy(a[3])));
    return py::none();
}

py::object Sender_log_metric(const rt::Args& a) {
    Record record = metric(a, a[3], a[4], checked_timestamp(a, a[5]), checked_step(a, a[6]));
    append(a, a[0], a[1], a[2], &record, 1, a[7]);
    return py::none();
}

py::object Sender_log_metrics(const rt::Args& a) {
    int64_t timestamp = checked_timestamp(a, a[4]), step = checked_step(a, a[5]);
    std::vector<Record> records;
    for (py::handle item : a[3].attr("items")())
        records.push_back(metric(a, item[py::int_(0)], item[py::int_(1)], timestamp, step));
    append(a, a[0], a[1], a[2], records.data(), records.size(), a[6]);
    return py::none();
}

py::object log_texts(const rt::Args& a, Kind kind) {
    std::vector<Record> records;
    for (py::handle item : a[3].attr("items")()) records.push_back(text_record(a, kind, item[py::int_(0)], item[py::int_(1)]));
    append(a, a[0], a[1], a[2], records.data(), records.size(), a[4]);
    return py::none();
}

py::object Sender_log_params(const rt::Args& a) { return log_texts(a, Kind::Param); }

py::object Sender_set_tags(const rt::Args& a) { return log_texts(a, Kind::Tag); }

py::object Sender_set_tag(const rt::Args& a) {
    Record record = text_record(a, Kind::Tag, a[3], a[4]);
    append(a, a[0], a[1], a[2], &record, 1, a[5]);
    return py::none();
}

// MLflow's entities (Metric, Param, RunTag), as its client's log_batch takes them.
py::object Sender_log_batch(const rt::Args& a) {
    std::vector<Record> records;
    for (py::handle m : a[3])
        records.push_back(metric(a, m.attr("key"), m.attr("value"), checked_timestamp(a, m.attr("timestamp")),
                                 checked_step(a, m.attr("step"))));
    for (py::handle p : a[4]) records.push_back(text_record(a, Kind::Param, p.attr("key"), p.attr("value")));
    for (py::handle t : a[5]) records.push_back(text_record(a, Kind::Tag, t.attr("key"), t.attr("value")));
    if (!records.empty()) append(a, a[0], a[1], a[2], records.data(), records.size(), a[6]);
    return py::none();
}

py::object Sender_delete_tag(const rt::Args& a) {
    Record record;
    record.kind = Kind::DeleteTag;
    record.key = checked_key(a, a[3], "tag");
    append(a, a[0], a[1], a[2], &record, 1, a[4]);
    return py::none();
}

// A run's status (with its end time) or its name, in order with its other records.
py::object Sender_update_run(const rt::Args& a) {
    Record record;
    record.kind = Kind::Update;
    if (!a[3].is_none()) {
        record.text = text_of(a[3]);
        record.timestamp = a[4].is_none() ? a.global("time").attr("time_ns")().cast<int64_t>() / 1000000
                                          : checked_timestamp(a, a[4]);
    }
    if (!a[5].is_none()) record.key = checked_text(a, a[5], "run name", "", sender::MAX_TAG_VALUE);
    append(a, a[0], a[1], a[2], &record, 1, a[6]);
    return py::none();
}

// A private copy of the file beside the journals, which the sender uploads and then removes; empty
// when there is no journal to keep it (memory only), no room, or no such file (MLflow's own upload
// then says so).
std::string copy_for_upload(const rt::Args& a, py::handle local_file) {
    std::string journals = journal_directory(a), copies = sender::copies_directory(journals);
    if (journals.empty() || !sender::make_private_directory(copies)) return "";
    std::string source = a.global("os").attr("fsencode")(local_file).cast<std::string>();
    if (source.find('\0') != std::string::npos) return "";  // no such file, as open() says
    py::gil_scoped_release nogil;  // a large file takes a while
    return sender::keep_copy(copies, source);
}

// An artifact's file for the run, to `artifact` (its address on the server after the tracking URI).
py::object Sender_log_artifact(const rt::Args& a) {
    std::string copy = copy_for_upload(a, a[4]);
    if (copy.empty()) return py::bool_(false);
    Record record;
    record.kind = Kind::Artifact;
    record.key = text_of(a[3]);
    record.text = copy;
    append(a, a[0], a[1], a[2], &record, 1, a[5]);
    return py::bool_(true);
}

// Another of MLflow's requests about the run (its inputs, its outputs), with the body MLflow made.
py::object Sender_post_request(const rt::Args& a) {
    Record record;
    record.kind = Kind::Request;
    record.key = text_of(a[3]);
    if (!sender::about_a_run(record.key)) refuse(a, "Not a request about a run: " + record.key);
    record.text = text_of(a[4]);
    append(a, a[0], a[1], a[2], &record, 1, a[5]);
    return py::none();
}

py::object Sender_flush(const rt::Args& a) {
    Engine& engine = engine_of(a[0]);
    if (a[1].is_none()) return py::bool_(flush_run(a, engine, nullptr, a[2]));
    std::string run_id = text_of(a[1]);
    return py::bool_(flush_run(a, engine, &run_id, a[2]));
}

// Waits at most `timeout` seconds in all for the run's queued records (or every run's); refusals stay for
// flush(). True when all were settled.
py::object Sender_wait(const rt::Args& a) {
    Engine& engine = engine_of(a[0]);
    auto wait = std::chrono::duration<double>(bounded(a[2], 0, MOST_SECONDS));
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(wait);
    if (a[1].is_none()) return py::bool_(engine.flush(nullptr, deadline, wait));
    std::string run_id = text_of(a[1]);
    return py::bool_(engine.flush(&run_id, deadline, wait));
}

py::object same_server(const rt::Args& a) { return py::bool_(sender::same_origin(text_of(a[0]), text_of(a[1]))); }

py::object Sender_pending(const rt::Args& a) {
    Engine& engine = engine_of(a[0]);
    if (a[1].is_none()) return py::int_(engine.pending(nullptr).records);
    std::string run_id = text_of(a[1]);
    return py::int_(engine.pending(&run_id).records);
}

// ---- the end, and what ended processes left ------------------------------------------------------

// Waits (bounded, and not through an outage) for the records, stops the thread for good, and tells on
// standard error exactly what is kept and what is lost. Returns the records not delivered.
uint64_t close_engine(const rt::Args& a, Engine& engine, py::handle timeout) {
    std::chrono::duration<double> wait(flush_timeout(a, timeout));
    engine.flush(nullptr, Clock::now() + std::chrono::duration_cast<Clock::duration>(wait), wait, EXIT_GIVES_UP_AFTER);
    std::string directory = engine.directory();
    engine.close_for_good();
    Engine::Count left = engine.pending(nullptr);
    uint64_t kept = left.records - left.unjournaled, lost = left.unjournaled + left.dropped;
    std::string message;
    if (kept > 0)
        message += "vela_experiment_tracking: " + std::to_string(kept) + " logged record(s) of " +
                   std::to_string(left.runs) + " run(s) were not confirmed by the tracking server; they are kept in " +
                   directory + ". Upload them with: python -m vela_experiment_tracking sync\n";
    if (lost > 0)
        message += "vela_experiment_tracking: " + std::to_string(lost) +
                   " logged record(s) are lost: they were not confirmed and had no place in a journal (" +
                   (left.dropped > 0 ? "the memory bound VELA_LOG_MEMORY_RECORDS was full, " : "") +
                   "memory only, or the journal could not be written).\n";
    if (!message.empty()) a.global("sys").attr("stderr").attr("write")(py::str(message));
    return left.records + left.dropped;
}

py::object Sender_close(const rt::Args& a) { return py::int_(close_engine(a, engine_of(a[0]), a[1])); }

// The server whose journals this process may upload: the one the login is for. Empty without a login,
// when no token is sent with the upload.
std::string login_server(const rt::Args& a) {
    py::object client = a.global("context").attr("current_client");
    if (!rt::truthy(client) || !rt::truthy(client.attr("authenticator"))) return "";
    py::object uri = client.attr("tracking_uri");
    if (uri.is_none()) uri = env_value(a, "ENV_EXP_TRACKING_SERVER_URI");
    if (!rt::truthy(uri)) uri = a.global("DEFAULT_TRACK_SERVER");
    if (client.attr("tracking_uri").is_none()) client.attr("tracking_uri") = uri;  // the auth hook's scope
    return run_uri(uri);
}

std::vector<std::string> journal_files(const std::string& directory) {
    std::vector<std::string> paths;
    if (DIR* folder = !directory.empty() && directory[0] == '/' ? ::opendir(directory.c_str()) : nullptr) {
        while (dirent* entry = ::readdir(folder)) {
            std::string name = entry->d_name;
            if (name.size() > 8 && name.compare(name.size() - 8, 8, ".journal") == 0) paths.push_back(directory + "/" + name);
        }
        ::closedir(folder);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Uploads the journals that ended processes left for the login's server: (records uploaded, records
// left, damaged lines skipped). Journals of other servers wait for a login to them.
py::object Sender_sync(const rt::Args& a) {
    Engine& engine = engine_of(a[0]);
    std::string server = login_server(a), directory = journal_path(a);
    std::map<std::string, uint64_t> elsewhere;  // records waiting, by server
    uint64_t queued = 0, waiting = 0, damaged = 0;
    for (const std::string& path : journal_files(directory)) {
        Engine::Adopted found = engine.adopt(path, server.empty() ? nullptr : &server);
        damaged += found.damaged;
        if (found.taken) queued += found.records;
        else if (!found.uri.empty()) elsewhere[sender::origin(found.uri)] += found.records;
        else waiting += found.records;
    }
    for (const auto& [origin, records] : elsewhere) {
        waiting += records;
        a.global("logger").attr("warning")(py::str(std::to_string(records) + " record(s) in journals of " + origin +
                                                   " wait for a login to that server; they are kept."));
    }
    engine.resume();
    // A timeout given bounds the whole upload; without one it goes on while records go out. Either way a server
    // that keeps failing ends it: what is left stays for the next sync.
    std::chrono::duration<double> wait(flush_timeout(a, a[1]));
    auto deadline = a[1].is_none() ? Clock::time_point::max() : Clock::now() + std::chrono::duration_cast<Clock::duration>(wait);
    engine.flush(nullptr, deadline, wait, EXIT_GIVES_UP_AFTER);
    for (const std::string& reason : engine.take_refusals(nullptr)) a.global("logger").attr("warning")(py::str(reason));
    engine.close_for_good();
    auto [delivered, refused] = engine.settled_counts();
    uint64_t left = queued - std::min(queued, delivered + refused);
    if (damaged > 0)
        a.global("logger").attr("warning")(py::str(std::to_string(damaged) + " damaged journal line(s) were skipped; "
                                                   "the journals that hold them are kept in " + directory + "."));
    return py::make_tuple(delivered, left + waiting, damaged);
}

// ---- the process's sender ------------------------------------------------------------------------

// The process's sender, made on first use (and anew in a forked child, whose parent's thread is not there).
py::object get_sender(const rt::Args& a) {
    py::object sender = a.global("_sender");
    if (sender.is_none() || !rt::equals(rt::attr(sender, "_Sender__pid"), py::int_(getpid()))) {
        sender = a.global("Sender")();
        py::module_::import(MODULE_NAME).attr("_sender") = sender;
    }
    return sender;
}

// Registered with atexit: every sender's thread ends before the interpreter does, users' own included.
py::object at_exit(const rt::Args& a) {
    sender::for_each_engine([&](Engine& engine) {
        if (!engine.closed()) close_engine(a, engine, py::none());
    });
    return py::none();
}

// Registered with os.register_at_fork: a forked child must not inherit a sender thread midway (it
// could hold a lock the child then waits for), so the threads end before and start again after.
py::object before_fork(const rt::Args&) {
    sender::for_each_engine([](Engine& engine) { engine.pause(); });
    return py::none();
}

py::object after_fork_in_parent(const rt::Args&) {
    sender::for_each_engine([](Engine& engine) { engine.unpause(); });
    return py::none();
}

// A call of the Sender's method `body`, made from another module's native code.
void call_body(rt::Body body, py::handle self, std::initializer_list<py::handle> args) {
    py::object module = py::reinterpret_steal<py::object>(PyImport_GetModule(py::str(MODULE_NAME).ptr()));
    if (!module) throw py::error_already_set();
    rt::Args bound(PyModule_GetDict(module.ptr()), py::type::handle_of(self));
    bound.value(0) = py::reinterpret_borrow<py::object>(self);
    size_t i = 1;
    for (py::handle arg : args) bound.value(i++) = py::reinterpret_borrow<py::object>(arg);
    body(bound);
}

}  // namespace

namespace sender {

bool is_native_sender(py::handle object) {
    py::object module = py::reinterpret_steal<py::object>(PyImport_GetModule(py::str(MODULE_NAME).ptr()));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return py::type::handle_of(object).is(rt::attr(module, "Sender"));
}

void log_metric(py::handle self, py::handle uri, py::handle run_id, py::handle key, py::handle value,
                py::handle timestamp, py::handle step, py::handle synchronous) {
    call_body(Sender_log_metric, self, {uri, run_id, key, value, timestamp, step, synchronous});
}

void log_metrics(py::handle self, py::handle uri, py::handle run_id, py::handle metrics, py::handle timestamp,
                 py::handle step, py::handle synchronous) {
    call_body(Sender_log_metrics, self, {uri, run_id, metrics, timestamp, step, synchronous});
}

void set_tag(py::handle self, py::handle uri, py::handle run_id, py::handle key, py::handle value,
             py::handle synchronous) {
    call_body(Sender_set_tag, self, {uri, run_id, key, value, synchronous});
}

}  // namespace sender

VELA_MODULE(sender) {
    module.import("atexit");
    module.import("logging");
    module.import("os");
    module.import("sys");
    module.import("time");
    module.import("requests");
    module.import_from("mlflow.protos.databricks_pb2", {"INVALID_PARAMETER_VALUE"});
    module.import_from("vela_experiment_tracking", {"context"});
    module.import_from("vela_experiment_tracking.constants", {"DEFAULT_TRACK_SERVER", "ENV_EXP_TRACKING_SERVER_URI"});
    module.import_from("vela_experiment_tracking.exception", {"ExperimentTrackingException"});
    module.import_from("vela_experiment_tracking.tracking.client", {"BearerAuth"});
    module.create_logger();

    module.set("ENV_LOG_SYNCHRONOUS", py::str("VELA_LOG_SYNCHRONOUS"));
    module.set("ENV_LOG_MEMORY_ONLY", py::str("VELA_LOG_MEMORY_ONLY"));
    module.set("ENV_LOG_MEMORY_RECORDS", py::str("VELA_LOG_MEMORY_RECORDS"));
    module.set("ENV_LOG_FLUSH_TIMEOUT", py::str("VELA_LOG_FLUSH_TIMEOUT"));
    module.set("ENV_MLFLOW_TRACKING_INSECURE_TLS", py::str("MLFLOW_TRACKING_INSECURE_TLS"));
    module.set("ENV_MLFLOW_TRACKING_SERVER_CERT_PATH", py::str("MLFLOW_TRACKING_SERVER_CERT_PATH"));
    module.set("ENV_MLFLOW_TRACKING_CLIENT_CERT_PATH", py::str("MLFLOW_TRACKING_CLIENT_CERT_PATH"));
    module.set("ENV_MLFLOW_HTTP_REQUEST_MAX_RETRIES", py::str("MLFLOW_HTTP_REQUEST_MAX_RETRIES"));
    module.set("DEFAULT_MLFLOW_HTTP_REQUEST_MAX_RETRIES", py::int_(7));
    module.set("DEFAULT_MEMORY_RECORDS", py::int_(100000));
    module.set("DEFAULT_FLUSH_TIMEOUT", py::float_(30.0));
    module.set("_sender", py::none());

    auto self = rt::param("self");
    auto uri = rt::param("tracking_uri"), run_id = rt::param("run_id");
    auto synchronous = rt::param("synchronous", py::none());
    rt::ClassBuilder(module, "Sender", py::tuple(),
                     "Sends iterations' records to the tracking server from a background thread, through a "
                     "journal on disk.")
        .method({"__init__", {self}, Sender_init})
        .method({"open_run", {self, uri, run_id, rt::param("owner", py::bool_(false))}, Sender_open_run,
                 "Ready a run for logging (its journal, the sending thread), so that its first record costs "
                 "the caller no more than the others. The owner is the process that started the run: a "
                 "journal it leaves ends the run as KILLED when uploaded."})
        .method({"log_metric",
                 {self, uri, run_id, rt::param("key"), rt::param("value"), rt::param("timestamp"),
                  rt::param("step", py::none()), synchronous},
                 Sender_log_metric, "Queue one metric value (milliseconds timestamp; step 0 if none)."})
        .method({"log_metrics", {self, uri, run_id, rt::param("metrics"), rt::param("timestamp"),
                                 rt::param("step", py::none()), synchronous},
                 Sender_log_metrics, "Queue a mapping of metric values, all or none."})
        .method({"log_params", {self, uri, run_id, rt::param("params"), synchronous}, Sender_log_params,
                 "Queue a mapping of parameters, all or none."})
        .method({"set_tags", {self, uri, run_id, rt::param("tags"), synchronous}, Sender_set_tags,
                 "Queue a mapping of tags, all or none."})
        .method({"set_tag", {self, uri, run_id, rt::param("key"), rt::param("value"), synchronous}, Sender_set_tag,
                 "Queue one tag."})
        .method({"log_batch", {self, uri, run_id, rt::param("metrics", py::tuple()), rt::param("params", py::tuple()),
                               rt::param("tags", py::tuple()), synchronous},
                 Sender_log_batch, "Queue MLflow's Metric, Param and RunTag entities, all or none."})
        .method({"delete_tag", {self, uri, run_id, rt::param("key"), synchronous}, Sender_delete_tag,
                 "Queue the deletion of a tag."})
        .method({"update_run", {self, uri, run_id, rt::param("status", py::none()), rt::param("end_time", py::none()),
                                rt::param("run_name", py::none()), synchronous},
                 Sender_update_run, "Queue a change of the run's status (ended now, unless end_time is given) or name."})
        .method({"log_artifact", {self, uri, run_id, rt::param("artifact"), rt::param("local_file"), synchronous},
                 Sender_log_artifact,
                 "Queue the upload of a file as the run's artifact at `artifact`, its address on the server "
                 "after the tracking URI; a copy is kept beside the journal until the server has it. False "
                 "when no copy can be kept (memory only): the caller uploads it itself."})
        .method({"post_request", {self, uri, run_id, rt::param("endpoint"), rt::param("body"), synchronous},
                 Sender_post_request,
                 "Queue another of MLflow's requests about the run: its path on the server (under "
                 "/api/2.0/mlflow/runs/) and its JSON body."})
        .method({"flush", {self, rt::param("run_id", py::none()), rt::param("timeout", py::none())}, Sender_flush,
                 "Wait until the run's records (or all) are on the server: True, or False when the wait ended "
                 "first. Without a timeout the wait ends after VELA_LOG_FLUSH_TIMEOUT seconds without "
                 "progress. Records the server refused raise ExperimentTrackingException."})
        .method({"wait", {self, rt::param("run_id", py::none()), rt::param("timeout", py::float_(10.0))}, Sender_wait,
                 "Wait at most timeout seconds in all for the run's queued records (or all): True when they are "
                 "on the server. Refusals are left for flush()."})
        .method({"pending", {self, rt::param("run_id", py::none())}, Sender_pending,
                 "How many records of the run (or of all runs) the server has not confirmed yet."})
        .method({"close", {self, rt::param("timeout", py::none())}, Sender_close,
                 "Wait for the records (at most the flush timeout in all, and not through an outage), stop the "
                 "thread, and tell on standard error what is kept and what is lost. Returns the records not "
                 "delivered."})
        .method({"sync", {self, rt::param("timeout", py::none())}, Sender_sync,
                 "Upload the journals that ended processes left for the login's server: (records uploaded, "
                 "records left, damaged journal lines skipped)."})
        .build();

    module.def({"get_sender", {}, get_sender, "The process's sender, made on first use."});
    module.def({"same_server", {rt::param("a"), rt::param("b")}, same_server,
                "Whether two addresses name the same server (scheme, host and port, in any case)."});
    module.def({"_at_exit", {}, at_exit});
    module.def({"_before_fork", {}, before_fork});
    module.def({"_after_fork_in_parent", {}, after_fork_in_parent});
    module.get("atexit").attr("register")(module.get("_at_exit"));
    module.get("os").attr("register_at_fork")(py::arg("before") = module.get("_before_fork"),
                                              py::arg("after_in_parent") = module.get("_after_fork_in_parent"));
}

// The sender's engine. Callers append under the mutex and return; a few threads per engine send the
// runs' records, runs side by side round robin, and take the GIL only for the request. A run's metrics
// may go in several requests at once (their order does not matter to the server); its parameters,
// tags, deletions and updates go in order, each after what was logged before it.
#include "engine.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace sender {
namespace {

constexpr double BACKOFF_FIRST = 0.25;  // seconds
constexpr double BACKOFF_CAP = 10.0;
constexpr size_t READ_BACK = 1 << 20;  // bytes read back from a journal at once
// Requests in flight per engine: a server takes several times more metrics a second from four
// connections than from one, which waits for each answer.
constexpr size_t SENDERS = 4;

std::mutex engines_mutex;
std::vector<Engine*> engines;  // of this process

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

// An artifact's copy to upload is one the run's journal keeps: directly in the copies' folder beside
// it, as the sender made it, and no other file of the user's that a damaged line might name.
bool is_kept_copy(const Run& run, const std::string& path) {
    if (!run.journal) return false;
    const std::string& journal = run.journal->path();
    std::string copies = copies_directory(journal.substr(0, journal.rfind('/'))) + "/";
    return path.compare(0, copies.size(), copies) == 0 && path.find('/', copies.size()) == std::string::npos &&
           path.size() > copies.size() && path[copies.size()] != '.';
}

// Why a record read from a journal is not sent as it says (a damaged or forged line); empty when it is.
std::string untrusted(const Run& run, const Record& r) {
    if (r.kind == Kind::Artifact && !is_kept_copy(run, r.text))
        return "its copy to upload is not one the journal keeps";
    if (r.kind == Kind::Request && !about_a_run(r.key)) return "not a request about a run";
    return "";
}

std::string refusal(const Record& r, const std::string& reason) {
    const std::string& name = r.kind == Kind::Update && !r.text.empty() ? r.text : r.key;
    const char* kind = r.kind == Kind::Metric      ? "metric"
                       : r.kind == Kind::Param     ? "parameter"
                       : r.kind == Kind::DeleteTag ? "the deletion of tag"
                       : r.kind == Kind::Update    ? "the update of the run to"
                       : r.kind == Kind::Artifact  ? "artifact"
                       : r.kind == Kind::Request   ? "the request"
                                                   : "tag";
    return std::string("The tracking server refused ") + kind + " '" + name + "': " + reason;
}

}  // namespace

bool same_origin(const std::string& a, const std::string& b) {
    std::string x = origin(a), y = origin(b);
    return x.size() == y.size() &&
           std::equal(x.begin(), x.end(), y.begin(), [](char c, char d) { return std::tolower(c) == std::tolower(d); });
}

void for_each_engine(const std::function<void(Engine&)>& action) {
    std::vector<Engine*> now;
    {
        std::lock_guard<std::mutex> lock(engines_mutex);
        now = engines;
    }
    for (Engine* engine : now)
        if (engine->pid() == getpid()) action(*engine);
}

Engine::Engine(py::object session, py::object auth, py::object logger)
    : session_(std::move(session)), auth_(std::move(auth)), logger_(std::move(logger)), pid_(getpid()),
      random_(static_cast<unsigned>(pid_)) {
    std::lock_guard<std::mutex> lock(engines_mutex);
    engines.push_back(this);
}

Engine::~Engine() {
    stop();
    std::lock_guard<std::mutex> lock(engines_mutex);
    engines.erase(std::remove(engines.begin(), engines.end(), this), engines.end());
}

bool Engine::closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
}

bool Engine::knows(std::string_view run_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return runs_.find(run_id) != runs_.end();
}

std::string Engine::directory() {
    std::lock_guard<std::mutex> lock(mutex_);
    return directory_;
}

void Engine::configure(std::string directory, size_t memory_limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    directory_ = std::move(directory);
    memory_limit_ = std::max<size_t>(memory_limit, 1);
}

std::string Engine::open(const std::string& uri, const std::string& run_id, bool owner) {
    std::string warning;
    std::lock_guard<std::mutex> lock(mutex_);
    if (owner && runs_.find(run_id) == runs_.end()) {
        auto run = std::make_unique<Run>();
        run->owner = true;
        run->uri = uri;
        run->run_id = run_id;
        order_.push_back(run.get());
        runs_.emplace(run_id, std::move(run));
    }
    open_run(run_id, &uri, warning);
    start_thread();
    return warning;
}

bool Engine::append(std::string_view run_id, const std::string* uri, Record* records, size_t count,
                    std::string& warning) {
    std::lock_guard<std::mutex> lock(mutex_);
    Run* run = open_run(run_id, uri, warning);
    if (!run) return false;
    for (size_t i = 0; i < count; ++i) add(*run, std::move(records[i]), warning);
    start_thread();
    if (idle_ > 0) work_.notify_one();
    return true;
}

// The run, opened on its first use when its server is given; null when it is not.
Run* Engine::open_run(std::string_view run_id, const std::string* uri, std::string& warning) {
    auto found = runs_.find(run_id);
    if (found != runs_.end()) {
        Run& run = *found->second;
        if (!run.journal && !run.journal_failed && !directory_.empty() && (run.pending() == 0 || run.next_seq == 1))
            open_journal(run, warning);
        return &run;
    }
    if (!uri) return nullptr;
    auto run = std::make_unique<Run>();
    run->uri = *uri;
    run->run_id = run_id;
    if (!directory_.empty()) open_journal(*run, warning);
    Run& added = *run;
    runs_.emplace(run_id, std::move(run));
    order_.push_back(&added);
    return &added;
}

void Engine::open_journal(Run& run, std::string& warning) {
    run.journal = Journal::create(directory_, run.uri, run.run_id, run.owner);
    // a later journal of the run starts where the settled records end
    if (run.journal && run.done_seq > 0 && !run.journal->append(ack_line(run.done_seq))) run.journal.reset();
    if (!run.journal) {
        run.journal_failed = true;
        warning = "Cannot write the journal of run " + run.run_id + " in " + directory_ + " (" +
                  std::strerror(errno) + "); its records are kept in memory only.";
    }
}

void Engine::add(Run& run, Record&& record, std::string& warning) {
    bool room = memory_records_ < memory_limit_;
    bool journal = run.journal && !run.journal_failed;
    if (!journal && !room) {
        if (run.dropped++ == 0)
            warning = "The records of run " + run.run_id + " have nowhere to go: " + std::to_string(memory_limit_) +
                      " records wait in memory (VELA_LOG_MEMORY_RECORDS) and " +
                      (run.journal_failed ? "its journal cannot be written" : "no journal is kept") +
                      ". Records are dropped, and counted, until the server takes the waiting ones.";
        return;
    }
    record.seq = run.next_seq++;
    off_t offset = journal ? run.journal->size() : 0;
    if (journal) {
        record.journaled = run.journal->append(record_line(record));
        if (!record.journaled) {
            run.journal_failed = true;
            warning = "Cannot write the journal of run " + run.run_id + " (" + std::strerror(errno) +
                      "); its records are kept in memory only from now on.";
            if (!room) {
                --run.next_seq;
                ++run.dropped;
                return;
            }
        }
    }
    if (run.spilled && record.journaled) return;  // read back from the journal in its turn
    if (run.spilled) {
        run.held.push_back(std::move(record));
        ++memory_records_;
    } else if (room) {
        run.memory.push_back(std::move(record));
        ++memory_records_;
        ++run.waiting;
    } else {
        run.spilled = true;
        run.spill_from = offset;
    }
}

bool Engine::flush(const std::string* run_id, Clock::time_point deadline, std::chrono::duration<double> stall,
                   int give_up_after_failures) {
    std::map<Run*, uint64_t> targets;
    uint64_t seen = 0;
    auto last_progress = Clock::now();
    for (bool first = true;; first = false) {
        {
            py::gil_scoped_release nogil;
            std::unique_lock<std::mutex> lock(mutex_);
            if (first) {
                for (auto& entry : runs_)
                    if (!run_id || entry.first == *run_id) targets[entry.second.get()] = entry.second->next_seq - 1;
                seen = progress_count_;
            }
            if (settled(targets)) return true;
            if (!running_) return false;
            if (give_up_after_failures > 0)
                for (auto& target : targets)
                    if (outages_[target.first->uri].failures >= give_up_after_failures) return false;
            auto now = Clock::now();
            if (progress_count_ != seen) seen = progress_count_, last_progress = now;
            auto until = std::min(deadline, last_progress + std::chrono::duration_cast<Clock::duration>(stall));
            if (now >= until) return false;
            progress_.wait_until(lock, std::min(until, now + std::chrono::milliseconds(100)));
        }
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

bool Engine::settled(const std::map<Run*, uint64_t>& targets) {
    for (auto& target : targets)
        if (target.first->done_seq < target.second) return false;
    return true;
}

std::vector<std::string> Engine::take_refusals(const std::string* run_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> reasons;
    for (auto& entry : runs_) {
        Run& run = *entry.second;
        if (run_id && entry.first != *run_id) continue;
        reasons.insert(reasons.end(), run.refused.begin(), run.refused.end());
        run.refused.clear();
        if (run.pending() == 0 && run.damaged == 0 && run.journal) {
            run.journal->remove();
            run.journal.reset();
        }
    }
    return reasons;
}

Engine::Count Engine::pending(const std::string* run_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Count count;
    for (auto& entry : runs_) {
        const Run& run = *entry.second;
        if (run_id && entry.first != *run_id) continue;
        count.dropped += run.dropped;
        count.damaged += run.damaged;
        if (run.pending() == 0) continue;
        count.records += run.pending();
        count.runs += 1;
        for (const std::deque<Record>* queue : {&run.memory, &run.held})
            for (const Record& r : *queue) count.unjournaled += r.journaled ? 0 : 1;
    }
    return count;
}

std::pair<uint64_t, uint64_t> Engine::settled_counts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {delivered_, refused_};
}

Engine::Adopted Engine::adopt(const std::string& path, const std::string* server) {
    Adopted adopted;
    std::unique_ptr<Journal> journal = Journal::adopt(path);
    if (!journal) return adopted;
    std::string run_id;
    bool owner = false, ended = false;
    int64_t last_time = 0;
    uint64_t acked = 0, last = 0;
    std::vector<uint64_t> entries;  // the records' numbers: a damaged line's is missing
    off_t whole = 0;  // where the last whole line ends
    while (whole < journal->size()) {
        std::string bytes = journal->read(whole, READ_BACK);
        LineReader reader(bytes);
        for (Line line; reader.next(line);) {
            if (line.kind == Line::Header && adopted.uri.empty())
                adopted.uri = line.uri, run_id = line.run_id, owner = line.owner;
            if (line.kind == Line::Ack) acked = std::max(acked, line.record.seq);
            if (line.kind != Line::Entry) continue;
            last = std::max(last, line.record.seq);
            entries.push_back(line.record.seq);
            last_time = std::max(last_time, line.record.timestamp);
            ended = ended || (line.record.kind == Kind::Update && !line.record.text.empty());
        }
        adopted.damaged += reader.damaged();
        size_t consumed = reader.consumed();
        if (consumed == 0 && bytes.size() == READ_BACK) consumed = bytes.size(), ++adopted.damaged;  // no line ends
        if (consumed == 0) break;  // a last line that a crash cut short
        whole += static_cast<off_t>(consumed);
    }
    adopted.records = static_cast<uint64_t>(
        std::count_if(entries.begin(), entries.end(), [&](uint64_t seq) { return seq > acked; }));
    if (adopted.uri.empty() || (server && !same_origin(adopted.uri, *server))) return adopted;
    adopted.taken = true;
    journal->truncate(whole);  // the confirmations to come start on a line of their own
    if (owner && !ended && last > 0) {
        // its process died without ending the run: it ends as stopped, at the time of its last record
        Record end;
        end.kind = Kind::Update;
        end.seq = ++last;
        end.text = "KILLED";
        end.timestamp = last_time > 0 ? last_time : journal->modified_ms();
        if (journal->append(record_line(end))) ++adopted.records;
        else --last;
    }
    auto run = std::make_unique<Run>();
    run->uri = adopted.uri;
    run->run_id = run_id;
    run->next_seq = last + 1;
    run->done_seq = std::min(acked, last);
    run->spilled = run->pending() > 0;  // read back from the start, the confirmed records skipped
    run->journal = std::move(journal);
    std::lock_guard<std::mutex> lock(mutex_);
    if (run->pending() == 0 && adopted.damaged == 0) {
        run->journal->remove();
        return adopted;
    }
    run->damaged = adopted.damaged;
    run->adopted = true;
    order_.push_back(run.get());
    runs_.emplace(path, std::move(run));
    return adopted;
}

void Engine::resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    start_thread();
    work_.notify_one();
}

void Engine::stop() {
    join_thread();
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    close_journals();
    progress_.notify_all();
}

void Engine::close_for_good() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
    }
    stop();
}

void Engine::pause() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paused_ = true;
    }
    join_thread();
}

void Engine::unpause() {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = false;
    for (Run* run : order_)
        if (run->pending() > 0) {
            start_thread();
            break;
        }
}

// The journals of settled runs are removed; the others stay for sync.
void Engine::close_journals() {
    for (auto& entry : runs_) {
        Run& run = *entry.second;
        if (run.journal && run.pending() == 0 && run.damaged == 0) run.journal->remove();
        run.journal.reset();
    }
}

void Engine::join_thread() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        work_.notify_all();
    }
    if (threads_.empty() || pid_ != getpid()) return;
    {
        std::unique_ptr<py::gil_scoped_release> nogil;  // a sender may wait for the GIL to end its request
        if (rt::holds_gil()) nogil = std::make_unique<py::gil_scoped_release>();
        for (std::thread& thread : threads_) thread.join();
    }
    threads_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
}

void Engine::start_thread() {
    if (running_ || finished_ || paused_ || pid_ != getpid()) return;
    stopping_ = false;
    running_ = true;
    for (size_t i = 0; i < SENDERS; ++i) threads_.emplace_back([this] { run_thread(); });
}

void Engine::run_thread() {
    std::unique_lock<std::mutex> lock(mutex_);
    bool interpreter_awaited = false;
    while (!stopping_) {
        Run* run = next_run();
        if (!run) {
            ++idle_;
            work_.wait(lock);
            --idle_;
            interpreter_awaited = false;  // what it waited for was another burst
            continue;
        }
        if (!sendable(*run)) {
            run->reading_back = true;
            read_back(*run, lock);
            run->reading_back = false;
            continue;
        }
        if (!interpreter_awaited && run->in_flight == 0 && run->memory.size() < MAX_ENTRIES) {
            // The request needs the GIL anyway: waiting for it before cutting lets a loop that holds it
            // finish its burst of records, which then go in one request instead of two.
            lock.unlock();
            { py::gil_scoped_acquire gil; }
            lock.lock();
            interpreter_awaited = true;
            continue;
        }
        interpreter_awaited = false;
        // the records stay where they are meanwhile, marked in flight: no other sender takes them
        std::vector<Record*> batch = cut(run->memory, run->batch_limit, run->one_by_one_to, run->in_flight > 0);
        bool ordered = false;
        for (Record* r : batch) r->state = Record::InFlight, ordered = ordered || r->kind != Kind::Metric;
        run->waiting -= batch.size();
        ++run->in_flight;
        run->ordered_in_flight = run->ordered_in_flight || ordered;
        if (idle_ > 0) work_.notify_one();  // another sender may take the run's next batch
        lock.unlock();
        Outcome outcome = send(*run, batch);
        lock.lock();
        --run->in_flight;
        if (ordered) run->ordered_in_flight = false;
        settle(*run, batch, outcome);
        if (outcome.kind == Outcome::Retry) work_.wait_for(lock, backoff(*run), [&] { return stopping_; });
    }
}

// Whether a batch of the run can be cut now: its first waiting record is in memory, and the requests
// of the run in flight let it go beside them. A second request goes beside the first only for a
// backlog: a loop that logs a little at a time is sent a little at a time, one request after another.
bool Engine::sendable(const Run& run) const {
    if (run.waiting == 0 || (run.in_flight > 0 && run.waiting < MAX_ENTRIES / 2)) return false;
    for (const Record& r : run.memory) {
        if (r.state != Record::Waiting) continue;
        return run.in_flight == 0 || (!run.ordered_in_flight && r.kind == Kind::Metric);
    }
    return false;
}

// The next run with records to send, round robin.
Run* Engine::next_run() {
    for (size_t i = 0; i < order_.size(); ++i) {
        Run* run = order_[(cursor_ + i) % order_.size()];
        if (run->in_flight >= SENDERS || run->pending() == 0) continue;
        bool more_to_read = !run->reading_back && run->in_flight == 0 && (run->spilled || !run->held.empty());
        if (sendable(*run) || more_to_read) {
            cursor_ = (cursor_ + i + 1) % order_.size();
            return run;
        }
    }
    return nullptr;
}

// Loads the next spilled records from the journal, reading without the lock (only this thread reads,
// and the bytes before the journal's end do not change); then the records held in memory after them.
void Engine::read_back(Run& run, std::unique_lock<std::mutex>& lock) {
    if (!run.spilled) {
        run.waiting += run.held.size();
        for (; !run.held.empty(); run.held.pop_front()) run.memory.push_back(std::move(run.held.front()));
        return;
    }
    off_t from = run.spill_from, end = run.journal->size();
    uint64_t done = run.done_seq;
    lock.unlock();
    std::string bytes = run.journal->read(from, std::min<size_t>(READ_BACK, static_cast<size_t>(end - from)));
    LineReader reader(bytes);
    std::vector<Record> loaded;
    Line line;
    while (loaded.size() < 4 * MAX_ENTRIES && reader.next(line))
        if (line.kind == Line::Entry && line.record.seq > done) loaded.push_back(std::move(line.record));
    lock.lock();
    for (Record& r : loaded) run.memory.push_back(std::move(r));
    memory_records_ += loaded.size();
    run.waiting += loaded.size();
    if (!run.adopted) run.damaged += reader.damaged();
    size_t consumed = reader.consumed();
    if (consumed == 0 && bytes.size() == READ_BACK) consumed = bytes.size(), run.damaged += !run.adopted;
    run.spill_from = from + static_cast<off_t>(consumed);
    if (run.spill_from >= run.journal->size() || consumed == 0) run.spilled = false;
    if (!run.spilled && run.memory.empty() && run.held.empty() && run.pending() > 0) {
        // what is left of the journal cannot be read: nothing more will come of it
        run.done_seq = run.next_seq - 1;
        ++progress_count_;
        progress_.notify_all();
    }
}

// One request, with the GIL held only here.
Outcome Engine::send(const Run& run, const std::vector<Record*>& batch) {
    const Record& first = *batch.front();
    std::string refused = untrusted(run, first);
    bool artifact = first.kind == Kind::Artifact;
    std::string body = artifact || !refused.empty() ? "" : batch_body(run.run_id, batch);
    py::gil_scoped_acquire gil;
    Outcome outcome = !refused.empty() ? Outcome{Outcome::Refused, refused}
                      : artifact       ? put_file(session_, auth_, run.uri + first.key, first.text)
                                       : post(session_, auth_, run.uri + endpoint(batch), body);
    try {
        report(run, outcome, batch);
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("logging in the tracking sender");
    }
    return outcome;
}

// Warnings: once when an outage starts, once with a count when it ends, once per run for refusals.
void Engine::report(const Run& run, const Outcome& outcome, const std::vector<Record*>& batch) {
    int failures;
    Clock::time_point started;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Outage& outage = outages_[run.uri];
        failures = outcome.kind == Outcome::Retry ? ++outage.failures : std::exchange(outage.failures, 0);
        if (outcome.kind == Outcome::Retry && failures == 1) outage.started = Clock::now();
        started = outage.started;
    }
    std::string server = origin(run.uri);
    if (outcome.kind == Outcome::Retry) {
        if (failures > 1) return;
        logger_.attr("warning")(py::str("The tracking server at " + server + " does not take records now (" +
                                        outcome.reason + "); they are kept and sent when it answers again."));
        return;
    }
    if (failures > 0) {
        double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        logger_.attr("warning")(py::str("The tracking server at " + server + " answers again after " +
                                        seconds_text(seconds) + " s and " + std::to_string(failures) +
                                        " failed attempts; the records kept meanwhile are being sent."));
    }
    if (outcome.kind == Outcome::TooLarge)
        logger_.attr("debug")(py::str("A batch of " + std::to_string(batch.size()) + " records was too large (" +
                                      outcome.reason + ")"));
    if (outcome.kind != Outcome::Refused || batch.size() != 1) return;
    std::string reason = refusal(*batch.front(), outcome.reason);
    logger_.attr("debug")(py::str(reason));
    if (!run.refusal_told)
        logger_.attr("warning")(py::str(reason + " (run " + run.run_id +
                                        "; further refusals of this run are counted and raised by flush() and end())"));
}

void Engine::settle(Run& run, const std::vector<Record*>& batch, const Outcome& outcome) {
    bool again = outcome.kind == Outcome::Retry || outcome.kind == Outcome::TooLarge ||
                 (outcome.kind == Outcome::Refused && batch.size() > 1);
    if (outcome.kind == Outcome::TooLarge) run.batch_limit = std::max<size_t>(1, batch.size() / 2);
    if (outcome.kind == Outcome::Refused && batch.size() > 1)
        run.one_by_one_to = std::max(run.one_by_one_to, batch.back()->seq);  // find the refused ones
    for (Record* r : batch) r->state = again ? Record::Waiting : Record::Done;
    if (!again && batch.front()->kind == Kind::Artifact && is_kept_copy(run, batch.front()->text))
        ::unlink(batch.front()->text.c_str());  // the server has the file, or will never take it
    if (again) {
        run.waiting += batch.size();
        work_.notify_one();
        return;
    }
    if (outcome.kind == Outcome::Refused) {
        run.refused.push_back(refusal(*batch.front(), outcome.reason));
        run.refusal_told = true;
    }
    (outcome.kind == Outcome::Delivered ? delivered_ : refused_) += batch.size();
    uint64_t done = run.done_seq;
    for (; !run.memory.empty() && run.memory.front().state == Record::Done; run.memory.pop_front()) {
        done = run.memory.front().seq;
        --memory_records_;
    }
    if (done == run.done_seq) return;  // an earlier request of the run is still in flight
    run.done_seq = done;
    if (run.journal && !run.journal_failed && !run.journal->append(ack_line(done))) run.journal_failed = true;
    ++progress_count_;
    progress_.notify_all();
}

std::chrono::duration<double> Engine::backoff(const Run& run) {
    int failures = std::max(1, outages_[run.uri].failures);
    double delay = std::min(BACKOFF_CAP, BACKOFF_FIRST * std::pow(2.0, std::min(failures - 1, 16)));
    std::uniform_real_distribution<double> jitter(0.75, 1.25);
    return std::chrono::duration<double>(delay * jitter(random_));
}

}  // namespace sender

// The sender's engine: each run's queue and journal, and the thread that sends them.
#pragma once

#include "runtime.hpp"
#include "journal.hpp"
#include "record.hpp"
#include "request.hpp"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace sender {

using Clock = std::chrono::steady_clock;

struct Run {
    std::string uri;  // the tracking server
    std::string run_id;
    bool owner = false;                // this process started the run
    std::unique_ptr<Journal> journal;  // none: memory only
    bool journal_failed = false;       // no more lines are written to it
    std::deque<Record> memory;         // in order; the front ones may be in flight
    bool spilled = false;              // records from spill_from on are in the journal only
    off_t spill_from = 0;
    std::deque<Record> held;  // after the spilled ones: records the journal could not take
    uint64_t next_seq = 1;
    uint64_t done_seq = 0;       // records 1..done_seq were confirmed or refused
    uint64_t one_by_one_to = 0;  // after a refused batch: its records go one per request
    size_t batch_limit = MAX_ENTRIES;  // lowered when a batch was too large
    size_t in_flight = 0;              // requests of this run being sent
    size_t waiting = 0;                // records in memory not in flight nor settled
    bool ordered_in_flight = false;    // one of them holds more than metrics: the next waits for it
    bool reading_back = false;
    std::vector<std::string> refused;  // the server's reasons, until a flush reports them
    bool refusal_told = false;
    uint64_t dropped = 0;  // records that had nowhere to go
    uint64_t damaged = 0;  // damaged journal lines skipped
    bool adopted = false;  // left by an ended process: its damage was counted when it was read

    uint64_t pending() const { return next_seq - 1 - done_seq; }
};

class Engine {
public:
    Engine(py::object session, py::object auth, py::object logger);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    pid_t pid() const { return pid_; }
    bool closed();  // for good
    bool knows(std::string_view run_id);
    std::string directory();

    // Settings read from the environment by the caller, for runs opened from now on.
    void configure(std::string directory, size_t memory_limit);
    // Readies a run: its journal, and the thread that sends. Returns a warning to log, if any.
    // `owner`: this process started the run, and a journal it leaves ends the run when uploaded.
    std::string open(const std::string& uri, const std::string& run_id, bool owner = false);
    // Appends records of one run, never waiting: past the memory bound they are read back from the
    // journal later, or, with no journal to take them, dropped and counted. A run not open yet is
    // opened only with its server's address (`uri`); without it, false and nothing is appended.
    bool append(std::string_view run_id, const std::string* uri, Record* records, size_t count,
                std::string& warning);
    // Waits (without the GIL) until the run's records, or every run's, are settled. With a deadline the
    // wait ends there; without one it ends after `stall` without progress. True when all were settled.
    // Signal handlers run meanwhile, so Ctrl-C ends the wait.
    bool flush(const std::string* run_id, Clock::time_point deadline, std::chrono::duration<double> stall,
               int give_up_after_failures = 0);
    // The server's reasons for refusing records of the run (or of all runs), taken once; a settled
    // run's journal is removed, and the next record starts a new one.
    std::vector<std::string> take_refusals(const std::string* run_id);

    struct Count {
        uint64_t records = 0;  // not confirmed yet
        size_t runs = 0;
        uint64_t unjournaled = 0;  // of those, in memory only
        uint64_t dropped = 0;      // besides those: records that had nowhere to go
        uint64_t damaged = 0;      // damaged journal lines skipped
    };
    Count pending(const std::string* run_id);
    // Records settled since the engine was made: (delivered, refused).
    std::pair<uint64_t, uint64_t> settled_counts();

    struct Adopted {
        std::string uri;  // empty: in use, unreadable, or its header damaged
        uint64_t records = 0, damaged = 0;
        bool taken = false;
    };
    // Reads a journal that an ended process left. When its server has the origin `server` (any, when
    // null), its records are sent after resume().
    Adopted adopt(const std::string& path, const std::string* server);
    void resume();

    // Stops the threads (waiting for the requests in flight) and closes the journals, removing settled ones.
    void stop();
    // No thread starts after this: the interpreter is about to end.
    void close_for_good();
    // Around a fork: the thread ends before (a forked child must not inherit a lock it holds), and
    // starts again after, in the parent.
    void pause();
    void unpause();

private:
    Run* open_run(std::string_view run_id, const std::string* uri, std::string& warning);
    void open_journal(Run& run, std::string& warning);
    void add(Run& run, Record&& record, std::string& warning);
    static bool settled(const std::map<Run*, uint64_t>& targets);
    void start_thread();
    void join_thread();
    void run_thread();
    Run* next_run();
    bool sendable(const Run& run) const;
    void read_back(Run& run, std::unique_lock<std::mutex>& lock);
    Outcome send(const Run& run, const std::vector<Record*>& batch);
    void report(const Run& run, const Outcome& outcome, const std::vector<Record*>& batch);
    void settle(Run& run, const std::vector<Record*>& batch, const Outcome& outcome);
    std::chrono::duration<double> backoff(const Run& run);
    void close_journals();

    py::object session_, auth_, logger_;  // used with the GIL only
    pid_t pid_;

    std::mutex mutex_;  // never held while taking the GIL
    std::condition_variable work_, progress_;
    std::map<std::string, std::unique_ptr<Run>, std::less<>> runs_;  // by run id (by path, for adopted journals)
    std::vector<Run*> order_;
    size_t cursor_ = 0;
    size_t memory_records_ = 0;
    size_t memory_limit_ = 100000;
    std::string directory_;
    uint64_t progress_count_ = 0;
    uint64_t delivered_ = 0, refused_ = 0;
    size_t idle_ = 0;  // senders waiting for work
    bool stopping_ = false, running_ = false, finished_ = false, paused_ = false;
    std::vector<std::thread> threads_;

    struct Outage {
        int failures = 0;  // failed attempts in a row
        Clock::time_point started;
    };
    std::map<std::string, Outage, std::less<>> outages_;  // by server, under the mutex
    std::minstd_rand random_;
};

// Whether two addresses name the same server: scheme, host and port, in any case.
bool same_origin(const std::string& a, const std::string& b);

// Every engine of this process, for the interpreter's exit and for forks.
void for_each_engine(const std::function<void(Engine&)>& action);

}  // namespace sender

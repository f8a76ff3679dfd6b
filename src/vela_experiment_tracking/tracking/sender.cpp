// vela_experiment_tracking.tracking.sender: iterations' metrics, parameters and tags, sent in the
// background.
//
// A logging call validates its input, appends the record to the run's journal (a write-ahead file
// under the user's cache directory) and to an in-memory queue, and returns. One native thread per
// process sends the queue in MLflow's batch requests, in order per run, retries through outages with
// capped backoff, and marks in the journal what the server confirmed. What a process leaves behind,
// `python -m vela_experiment_tracking sync` uploads later.
#include "runtime.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// What one batch request of the server takes.
constexpr size_t MAX_ENTRIES = 1000;
constexpr size_t MAX_METRICS = 1000;
constexpr size_t MAX_PARAMS = 100;
constexpr size_t MAX_TAGS = 100;
constexpr size_t MAX_BODY = 900000;  // the server refuses requests over 1 MB
constexpr size_t MAX_KEY = 250;
constexpr size_t MAX_PARAM_VALUE = 6000;
constexpr size_t MAX_TAG_VALUE = 8000;

constexpr double BACKOFF_FIRST = 0.25;  // seconds
constexpr double BACKOFF_CAP = 10.0;
constexpr int EXIT_GIVES_UP_AFTER = 3;  // failed attempts in a row: at exit, the server is down
constexpr size_t SPILL_READ = 1 << 20;  // bytes read back from a journal at once

// ---- records and their journal lines ----------------------------------------------------------

enum class Kind : char { Metric = 'm', Param = 'p', Tag = 't' };

struct Record {
    Kind kind = Kind::Metric;
    uint64_t seq = 0;
    int64_t timestamp = 0;
    int64_t step = 0;
    double value = 0;
    std::string key;
    std::string text;  // a parameter's or a tag's value
};

template <typename Integer>
void put_number(std::string& out, Integer number) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

void put_text(std::string& out, const std::string& text) {
    put_number(out, text.size());
    out += ':';
    out += text;
}

std::string format_double(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

// The exact bits as a hexadecimal float ("-0x1.8p1", "0x1p0"), which strtod reads back. Written by hand:
// printf's machinery spans dozens of pages of the C library, each a cost to a training loop whose logging
// call finds it cold.
void put_double(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::signbit(value)) out += '-';
    if (std::isinf(value)) {
        out += "inf";
        return;
    }
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    auto exponent = static_cast<int>((bits >> 52) & 0x7ff);
    uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    int power = exponent != 0 ? exponent - 1023 : (fraction != 0 ? -1022 : 0);
    out += exponent != 0 ? "0x1" : "0x0";
    if (fraction != 0) out += '.';
    for (int shift = 48; fraction != 0; shift -= 4) {  // up to the last digit that is not 0
        out += "0123456789abcdef"[(fraction >> shift) & 0xf];
        fraction &= (uint64_t{1} << shift) - 1;  // the bits still to write
    }
    out += 'p';
    put_number(out, power);
}

// "<kind> <seq> <timestamp> <step> <value> <n>:<key><n>:<text>\n"; texts are length-prefixed, so
// any content reads back as written. Made in `line`, whose room is kept from call to call.
void journal_line(const Record& r, std::string& line) {
    line.clear();
    line += static_cast<char>(r.kind);
    for (int64_t number : {static_cast<int64_t>(r.seq), r.timestamp, r.step}) {
        line += ' ';
        put_number(line, number);
    }
    line += ' ';
    put_double(line, r.value);
    line += ' ';
    put_text(line, r.key);
    put_text(line, r.text);
    line += '\n';
}

std::string ack_line(uint64_t seq) { return "a " + std::to_string(seq) + "\n"; }

std::string header_line(const std::string& uri, const std::string& run_id) {
    std::string line = "vela-journal 1 ";
    put_text(line, uri);
    put_text(line, run_id);
    line += '\n';
    return line;
}

// Reads the journal's lines from a buffer; stops at a line cut short by a crash.
class LineReader {
public:
    LineReader(const char* begin, const char* end) : p_(begin), end_(end) {}

    enum class Line { Record, Ack, Header, End };

    // The next complete line: Record fills `record`, Ack fills `record.seq`, Header fills uri and run id.
    Line next(Record& record, std::string& uri, std::string& run_id) {
        const char* start = p_;
        Line line = parse(record, uri, run_id);
        if (line == Line::End) p_ = start;
        return line;
    }

    const char* position() const { return p_; }

private:
    Line parse(Record& r, std::string& uri, std::string& run_id) {
        if (p_ >= end_) return Line::End;
        if (*p_ == 'a') {
            ++p_;
            return space() && unsigned_number(r.seq) && newline() ? Line::Ack : Line::End;
        }
        if (*p_ == 'v') {
            static const char magic[] = "vela-journal 1 ";
            size_t n = sizeof magic - 1;
            if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, magic, n) != 0) return Line::End;
            p_ += n;
            return text(uri) && text(run_id) && newline() ? Line::Header : Line::End;
        }
        if (*p_ != 'm' && *p_ != 'p' && *p_ != 't') return Line::End;
        r.kind = static_cast<Kind>(*p_++);
        bool ok = space() && unsigned_number(r.seq) && space() && signed_number(r.timestamp) && space() &&
                  signed_number(r.step) && space() && real(r.value) && space() && text(r.key) && text(r.text) &&
                  newline();
        return ok ? Line::Record : Line::End;
    }

    bool space() { return p_ < end_ && *p_++ == ' '; }
    bool newline() { return p_ < end_ && *p_++ == '\n'; }

    std::string token() {
        const char* start = p_;
        while (p_ < end_ && *p_ != ' ' && *p_ != '\n' && *p_ != ':') ++p_;
        return std::string(start, p_);
    }

    bool unsigned_number(uint64_t& out) {
        std::string t = token();
        if (t.empty() || t.size() > 20) return false;
        char* stop = nullptr;
        out = std::strtoull(t.c_str(), &stop, 10);
        return *stop == '\0';
    }

    bool signed_number(int64_t& out) {
        std::string t = token();
        if (t.empty() || t.size() > 21) return false;
        char* stop = nullptr;
        out = std::strtoll(t.c_str(), &stop, 10);
        return *stop == '\0';
    }

    bool real(double& out) {
        std::string t = token();
        if (t.empty()) return false;
        char* stop = nullptr;
        out = std::strtod(t.c_str(), &stop);
        return *stop == '\0';
    }

    bool text(std::string& out) {
        uint64_t size = 0;
        if (!unsigned_number(size) || p_ >= end_ || *p_++ != ':') return false;
        if (size > static_cast<uint64_t>(end_ - p_)) return false;
        out.assign(p_, static_cast<size_t>(size));
        p_ += size;
        return true;
    }

    const char* p_;
    const char* end_;
};

// ---- the journal files -----------------------------------------------------------------------

// One run's write-ahead file: readable by its owner only, locked while a process writes to it.
// A journal this process creates is written through a shared mapping of its current megabyte, so an
// append is a copy into the page cache (the kernel keeps it if the process is killed) and no system
// call; the space is reserved ahead (fallocate), so a full disk fails the reservation instead of a
// write into the mapping. Where that is not possible, it appends with write(). A killed process
// leaves zeros after the last line, which adopt() cuts off. The next megabyte is readied by the
// engine's journal thread (hand_over), and the one left behind unmapped there (take_retired), so
// that a logging call rarely makes a system call of the journal's.
class Journal {
public:
    Journal(int fd, std::string path, off_t size) : fd_(fd), path_(std::move(path)), size_(size) {}
    ~Journal() { close(); }
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // A new journal in `directory`; nullptr (and errno) when it cannot be made.
    static std::unique_ptr<Journal> create(const std::string& directory, const std::string& uri,
                                           const std::string& run_id) {
        std::string stem = directory + "/" + file_stem(run_id) + "." + std::to_string(getpid());
        for (int n = 0; n < 1000; ++n) {
            std::string path = stem + "." + std::to_string(n) + ".journal";
            int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0 && errno == EEXIST) continue;
            if (fd < 0) return nullptr;
            ::flock(fd, LOCK_EX | LOCK_NB);
            auto journal = std::make_unique<Journal>(fd, path, 0);
            journal->map_window(0);  // else it appends with write()
            if (!journal->append(header_line(uri, run_id))) return nullptr;
            return journal;
        }
        return nullptr;
    }

    // An existing journal that no living process holds, with a line cut short by a crash removed.
    static std::unique_ptr<Journal> adopt(const std::string& path) {
        int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return nullptr;
        struct stat info;
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
            ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<Journal>(fd, path, info.st_size);
    }

    bool append(const std::string& bytes) {
        if (window_ && copy_into_windows(bytes)) return true;
        return write_at_end(bytes);
    }

    std::string read(off_t from, size_t most) const {
        std::string bytes(most, '\0');
        size_t got = 0;
        while (got < most) {
            ssize_t n = ::pread(fd_, &bytes[got], most - got, from + static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        bytes.resize(got);
        return bytes;
    }

    void truncate(off_t size) {
        if (window_) unmap();
        if (::ftruncate(fd_, size) == 0) size_ = size;
    }

    void remove() {
        ::unlink(path_.c_str());
        close();
    }

    // Closes the file, cutting off the space reserved past the last line.
    void close() {
        if (fd_ < 0) return;
        if (window_) unmap();
        ::close(fd_);
        fd_ = -1;
    }

    off_t size() const { return size_; }
    const std::string& path() const { return path_; }
    int fd() const { return fd_; }
    uint64_t serial() const { return serial_; }

    // Where the megabyte after the current one starts, from half of the current one on until one is
    // handed over; -1 otherwise.
    off_t wanted_window() const {
        off_t next = window_start_ + WINDOW;
        return window_ && !next_window_ && next != not_ahead_ && size_ - window_start_ >= WINDOW / 2 ? next : -1;
    }

    // The window at `start` could not be readied ahead (a full disk, say): the writer makes it.
    void not_ahead(off_t start) { not_ahead_ = start; }

    // Reserves and maps the megabyte at `start` of the open file `fd`; nullptr when it cannot. Each
    // page's first write is a page fault that costs up to milliseconds (a page cache page is made and
    // the file system told): all of them are taken here, so the writer's copies never fault.
    static char* map_at(int fd, off_t start) {
        if (::fallocate(fd, 0, start, WINDOW) != 0) return nullptr;
        void* window = ::mmap(nullptr, WINDOW, PROT_READ | PROT_WRITE, MAP_SHARED, fd, start);
        if (window == MAP_FAILED) return nullptr;
        if (::madvise(window, WINDOW, MADV_POPULATE_WRITE) != 0) (void)*static_cast<volatile char*>(window);
        return static_cast<char*>(window);
    }

    static void unmap_window(char* window) {
        if (window) ::munmap(window, WINDOW);
    }

    // Takes a window map_at() made for `start`; false when it is no longer wanted (it stays the giver's).
    bool hand_over(char* window, off_t start) {
        if (wanted_window() != start) return false;
        next_window_ = window;
        return true;
    }

    // The window the writer has left behind, for the taker to unmap; nullptr if none.
    char* take_retired() { return std::exchange(retired_, nullptr); }

private:
    // Run ids are MLflow's hex ids; anything else is made safe for a file name.
    static std::string file_stem(const std::string& run_id) {
        std::string stem;
        for (char c : run_id.substr(0, 64))
            stem += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') ? c : '_';
        return stem.empty() ? "run" : stem;
    }

    static constexpr off_t WINDOW = 1 << 20;

    // Maps the megabyte starting at `start`, reserving its space first.
    bool map_window(off_t start) {
        window_ = map_at(fd_, start);
        window_start_ = start;
        return window_ != nullptr;
    }

    bool copy_into_windows(const std::string& bytes) {
        const char* p = bytes.data();
        size_t left = bytes.size();
        off_t at = size_;
        while (left > 0) {
            if (at == window_start_ + WINDOW) {
                char* next = std::exchange(next_window_, nullptr);
                if (!next) next = map_at(fd_, at);  // not readied in time: made here
                if (!next) {
                    unmap();  // back to write(), from the last whole line
                    return false;
                }
                unmap_window(std::exchange(retired_, window_));  // one left behind before: unmapped here
                window_ = next;
                window_start_ = at;
            }
            size_t n = std::min(left, static_cast<size_t>(window_start_ + WINDOW - at));
            std::memcpy(window_ + (at - window_start_), p, n);
            p += n;
            left -= n;
            at += static_cast<off_t>(n);
        }
        size_ = at;
        return true;
    }

    // Leaves the mapping: the file ends at the last whole line again.
    void unmap() {
        for (char* window : {window_, next_window_, retired_}) unmap_window(window);
        window_ = next_window_ = retired_ = nullptr;
        (void)!::ftruncate(fd_, size_);
    }

    bool write_at_end(const std::string& bytes) {
        const char* p = bytes.data();
        size_t left = bytes.size();
        off_t at = size_;
        while (left > 0) {
            ssize_t n = ::pwrite(fd_, p, left, at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                // a partial line would hide the lines after it: cut it off again
                if (at != size_) (void)!::ftruncate(fd_, size_);
                return false;
            }
            p += n;
            left -= static_cast<size_t>(n);
            at += n;
        }
        size_ = at;
        return true;
    }

    int fd_;
    std::string path_;
    off_t size_;  // where the last whole line ends
    char* window_ = nullptr;  // the mapped megabyte; none when appending with write()
    off_t window_start_ = 0;
    char* next_window_ = nullptr;  // the megabyte after it, when readied
    char* retired_ = nullptr;      // the megabyte before it, until unmapped
    off_t not_ahead_ = -1;         // a window that could not be readied ahead
    uint64_t serial_ = ++journals_made;  // tells a journal from a later one at the same address

    static inline std::atomic<uint64_t> journals_made{0};
};

// The directory of the journals, made private to the user; false when it cannot be trusted.
bool make_private_directory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) return false;
    return (info.st_mode & 077) == 0 || ::chmod(path.c_str(), 0700) == 0;
}

// ---- one run's queue ---------------------------------------------------------------------------

// The blocks of the queues, faulted in ahead by the journals' thread. A loop logging through an outage
// grows its queue by a page every few dozen records, and a fresh page's first touch is a fault that can
// cost the loop's step a millisecond. The blocks are kept once made (as many as the queues once held).
class BlockPool {
public:
    static constexpr size_t BLOCK = 512;  // a deque's block of records; also its first maps
    BlockPool() { add_locked(make_chunk()); }
    ~BlockPool() {
        for (void* chunk : chunks_) ::munmap(chunk, CHUNK);
    }
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    void* take() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!free_) add_locked(make_chunk());  // not readied in time: made here
        Free* block = std::exchange(free_, free_->next);
        free_count_.fetch_sub(1, std::memory_order_relaxed);
        return block;
    }

    void give(void* block) {
        std::lock_guard<std::mutex> lock(mutex_);
        free_ = new (block) Free{free_};
        free_count_.fetch_add(1, std::memory_order_relaxed);
    }

    // Fewer than half a chunk's blocks are left: the journals' thread should make another.
    bool low() const { return free_count_.load(std::memory_order_relaxed) < BLOCKS / 2; }

    void refill() {
        void* chunk = make_chunk();
        std::lock_guard<std::mutex> lock(mutex_);
        add_locked(chunk);
    }

private:
    struct Free {
        Free* next;
    };
    static constexpr size_t CHUNK = 256 * 1024, BLOCKS = CHUNK / BLOCK;

    static void* make_chunk() {
        void* chunk = ::mmap(nullptr, CHUNK, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (chunk == MAP_FAILED) throw std::bad_alloc();
        (void)::madvise(chunk, CHUNK, MADV_POPULATE_WRITE);
        return chunk;
    }

    void add_locked(void* chunk) {
        chunks_.push_back(chunk);
        for (size_t i = BLOCKS; i-- > 0;) free_ = new (static_cast<char*>(chunk) + i * BLOCK) Free{free_};
        free_count_.fetch_add(BLOCKS, std::memory_order_relaxed);
    }

    std::mutex mutex_;
    Free* free_ = nullptr;
    std::atomic<size_t> free_count_{0};
    std::vector<void*> chunks_;
};

// Takes a queue's blocks from the pool; anything larger (a long queue's map) from the heap.
template <typename T>
struct PoolAllocator {
    using value_type = T;
    BlockPool* pool;

    explicit PoolAllocator(BlockPool* p) : pool(p) {}
    template <typename U>
    PoolAllocator(const PoolAllocator<U>& other) : pool(other.pool) {}

    T* allocate(size_t n) {
        if (n * sizeof(T) <= BlockPool::BLOCK) return static_cast<T*>(pool->take());
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) {
        if (n * sizeof(T) <= BlockPool::BLOCK) pool->give(p);
        else ::operator delete(p);
    }
    template <typename U>
    bool operator==(const PoolAllocator<U>& other) const { return pool == other.pool; }
    template <typename U>
    bool operator!=(const PoolAllocator<U>& other) const { return pool != other.pool; }
};

using RecordQueue = std::deque<Record, PoolAllocator<Record>>;

struct Run {
    explicit Run(BlockPool& pool) : memory(PoolAllocator<Record>(&pool)), held(PoolAllocator<Record>(&pool)) {}

    std::string uri;  // the tracking server
    std::string run_id;
    std::unique_ptr<Journal> journal;  // none: memory only
    RecordQueue memory;                // in order; the front ones may be in flight
    RecordQueue held;                  // kept in memory while the journal failed during a spill
    bool spilled = false;              // records from spill_from on are in the journal only
    off_t spill_from = 0;
    uint64_t next_seq = 1;
    uint64_t done_seq = 0;        // records 1..done_seq were confirmed or refused
    uint64_t one_by_one_to = 0;   // after a refused batch: its records go one per request
    std::vector<std::string> refused;  // the server's reasons, until a flush reports them
    bool journal_failed = false;

    uint64_t pending() const { return next_seq - 1 - done_seq; }
};

struct Outcome {
    enum Kind { Delivered, Refused, Retry } kind;
    std::string reason;
};

// ---- the engine: queue, journals and the sender thread ---------------------------------------

class Engine {
public:
    Engine(py::object session, py::object auth, py::object logger)
        : session_(std::move(session)), auth_(std::move(auth)), logger_(std::move(logger)), pid_(getpid()) {}

    ~Engine() {
        stop();
        py::gil_scoped_acquire gil;  // drop the Python references with the interpreter's lock
        session_ = py::object();
        auth_ = py::object();
        logger_ = py::object();
    }

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    pid_t pid() const { return pid_; }

    bool knows(const std::string& run_id) {
        std::lock_guard<std::mutex> lock(mutex_);
        return runs_.count(run_id) != 0;
    }

    std::string directory() {
        std::lock_guard<std::mutex> lock(mutex_);
        return directory_;
    }

    // Starts sending adopted journals.
    void resume() {
        std::lock_guard<std::mutex> lock(mutex_);
        start_thread();
        work_.notify_one();
    }

    // Settings read from the environment by the caller, for runs opened from now on.
    void configure(std::string directory, size_t memory_limit) {
        std::lock_guard<std::mutex> lock(mutex_);
        directory_ = std::move(directory);
        memory_limit_ = std::max<size_t>(memory_limit, 1);
    }

    // Readies a run: its journal, and the thread that sends. Returns a warning to log, if any.
    std::string open(const std::string& uri, const std::string& run_id) {
        std::string warning;
        std::lock_guard<std::mutex> lock(mutex_);
        open_run(run_id, &uri, warning);
        start_thread();
        return warning;
    }

    // Appends records of one run, all or none; called with the GIL, which is released only while the
    // memory-only queue is full. Without the server's address (null uri) a run not open yet is not
    // opened: false, and nothing is appended.
    bool append(std::string_view run_id, const std::string* uri, Record* records, size_t count,
                std::string& warning) {
        std::unique_lock<std::mutex> lock(mutex_);
        Run* found = open_run(run_id, uri, warning);
        if (!found) return false;
        Run& run = *found;
        if (!run.journal && memory_records_ + count > memory_limit_ && running_) {
            lock.unlock();
            wait_for_room(count);
            lock.lock();
        }
        for (size_t i = 0; i < count; ++i) add(run, std::move(records[i]), warning);
        if (run.journal && run.journal->wanted_window() >= 0) windows_wanted_ = true;
        if (blocks_.low()) windows_wanted_ = true;
        start_thread();
        if (idle_) work_.notify_one();
        if (windows_wanted_) windows_.notify_one();
        return true;
    }

    // Waits (without the GIL) until the run's records, or every run's, are settled. With a deadline the
    // wait ends there; without one it ends after `stall` without progress. True when all were settled.
    // Signal handlers run meanwhile, so Ctrl-C ends the wait.
    bool flush(const std::string* run_id, Clock::time_point deadline, std::chrono::duration<double> stall,
               int give_up_after_failures = 0) {
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
                if (give_up_after_failures > 0 && failures_in_a_row_ >= give_up_after_failures) return false;
                auto now = Clock::now();
                if (progress_count_ != seen) seen = progress_count_, last_progress = now;
                auto until = std::min(deadline, last_progress + std::chrono::duration_cast<Clock::duration>(stall));
                if (now >= until) return false;
                progress_.wait_until(lock, std::min(until, now + std::chrono::milliseconds(100)));
            }
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

    // The server's reasons for refusing records of the run (or of all runs), taken once; a settled
    // run's journal is removed, and the next record starts a new one.
    std::vector<std::string> take_refusals(const std::string* run_id) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> reasons;
        for (auto& entry : runs_) {
            Run& run = *entry.second;
            if (run_id && entry.first != *run_id) continue;
            reasons.insert(reasons.end(), run.refused.begin(), run.refused.end());
            run.refused.clear();
            if (run.pending() == 0 && run.journal) {
                run.journal->remove();
                run.journal.reset();
            }
        }
        return reasons;
    }

    struct Count {
        uint64_t records = 0;
        size_t runs = 0;
        bool journaled = true;
    };

    Count pending(const std::string* run_id) {
        std::lock_guard<std::mutex> lock(mutex_);
        Count count;
        for (auto& entry : runs_) {
            if (run_id && entry.first != *run_id) continue;
            if (entry.second->pending() == 0) continue;
            count.records += entry.second->pending();
            count.runs += 1;
            if (!entry.second->journal) count.journaled = false;
        }
        return count;
    }

    // Takes over a journal that an ended process left, to be sent after resume(); its server, or empty
    // when the journal is in use or unreadable.
    std::string adopt(const std::string& path) {
        std::unique_ptr<Journal> journal = Journal::adopt(path);
        if (!journal) return "";
        std::string uri, run_id;
        uint64_t acked = 0, first = 0, last = 0;
        off_t first_record = -1, good_end = 0;
        for (off_t at = 0; at < journal->size();) {
            std::string bytes = journal->read(at, SPILL_READ);
            LineReader reader(bytes.data(), bytes.data() + bytes.size());
            Record record;
            LineReader::Line line;
            while ((line = reader.next(record, uri, run_id)) != LineReader::Line::End) {
                off_t line_start = good_end;
                good_end = at + (reader.position() - bytes.data());
                if (line == LineReader::Line::Ack) acked = std::max(acked, record.seq);
                if (line == LineReader::Line::Record) {
                    last = std::max(last, record.seq);
                    if (first_record < 0) first_record = line_start, first = record.seq;
                }
            }
            off_t consumed = reader.position() - bytes.data();
            if (consumed == 0) break;  // a line cut short by the crash, or garbage: the rest is lost
            at += consumed;
        }
        if (run_id.empty()) return "";
        if (good_end < journal->size()) journal->truncate(good_end);
        std::lock_guard<std::mutex> lock(mutex_);
        auto run = std::make_unique<Run>(blocks_);
        run->uri = uri;
        run->run_id = run_id;
        run->done_seq = std::min(std::max(acked, first > 0 ? first - 1 : 0), last);
        run->next_seq = last + 1;
        run->spilled = last > acked;
        run->spill_from = first_record < 0 ? good_end : first_record;
        run->journal = std::move(journal);
        if (run->pending() == 0) {
            run->journal->remove();
            return uri;
        }
        order_.push_back(run.get());
        runs_.emplace(path, std::move(run));
        return uri;
    }

    // Stops the thread (waiting for a request in flight) and closes the journals, removing settled ones.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            work_.notify_all();
            windows_.notify_all();
        }
        if (keeper_.joinable() && pid_ == getpid()) keeper_.join();
        if (thread_.joinable() && pid_ == getpid()) {
            if (rt::holds_gil()) {
                py::gil_scoped_release nogil;
                thread_.join();
            } else {
                thread_.join();
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        for (auto& entry : runs_) {
            Run& run = *entry.second;
            if (run.journal && run.pending() == 0) run.journal->remove();
            run.journal.reset();
        }
        progress_.notify_all();
    }

    // No thread starts after this: the interpreter is about to end.
    void close_for_good() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        stop();
    }

private:
    // The run, opened on its first use when its server is given; null when it is not.
    Run* open_run(std::string_view run_id, const std::string* uri, std::string& warning) {
        auto found = runs_.find(run_id);
        if (found != runs_.end()) {
            Run& run = *found->second;
            if (!run.journal && !run.journal_failed && !directory_.empty() && run.pending() == 0)
                open_journal(run, warning);
            return &run;
        }
        if (!uri) return nullptr;
        auto run = std::make_unique<Run>(blocks_);
        run->uri = *uri;
        run->run_id = run_id;
        if (!directory_.empty()) open_journal(*run, warning);
        Run& added = *run;
        runs_.emplace(run_id, std::move(run));
        order_.push_back(&added);
        return &added;
    }

    void open_journal(Run& run, std::string& warning) {
        run.journal = Journal::create(directory_, run.uri, run.run_id);
        // a later journal of the run starts where the settled records end
        if (run.journal && run.done_seq > 0 && !run.journal->append(ack_line(run.done_seq))) run.journal.reset();
        if (!run.journal) {
            run.journal_failed = true;
            warning = "Cannot write the journal of run " + run.run_id + " in " + directory_ + " (" +
                      std::strerror(errno) + "); its records are kept in memory only.";
        }
    }

    void add(Run& run, Record record, std::string& warning) {
        record.seq = run.next_seq++;
        off_t offset = run.journal ? run.journal->size() : 0;
        if (run.journal) journal_line(record, line_);
        if (run.journal && !run.journal->append(line_)) {
            warning = "Cannot write the journal of run " + run.run_id + " (" + std::strerror(errno) +
                      "); its records are kept in memory only from now on.";
            run.journal_failed = true;
            if (!run.spilled) run.journal.reset();  // a spilled journal is still read back
        }
        bool in_journal_only = run.journal && !run.journal_failed;
        if (run.spilled && in_journal_only) return;  // read back from the journal in its turn
        if (run.spilled || !run.held.empty()) {
            run.held.push_back(std::move(record));
        } else if (in_journal_only && memory_records_ >= memory_limit_) {
            run.spilled = true;
            run.spill_from = offset;
        } else {
            run.memory.push_back(std::move(record));
            ++memory_records_;
        }
    }

    static bool settled(const std::map<Run*, uint64_t>& targets) {
        for (auto& target : targets)
            if (target.first->done_seq < target.second) return false;
        return true;
    }

    void wait_for_room(size_t count) {
        while (true) {
            {
                py::gil_scoped_release nogil;
                std::unique_lock<std::mutex> lock(mutex_);
                auto room = [&] { return memory_records_ + count <= memory_limit_ || !running_; };
                if (room_.wait_for(lock, std::chrono::milliseconds(100), room)) return;
            }
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

    void start_thread() {
        if (running_ || finished_ || pid_ != getpid()) return;
        if (thread_.joinable()) thread_.join();  // ended by an earlier stop()
        if (keeper_.joinable()) keeper_.join();
        stopping_ = false;
        running_ = true;
        thread_ = std::thread([this] { run_thread(); });
        keeper_ = std::thread([this] { keep_journals(); });
    }

    void run_thread() {
        py::gil_scoped_acquire keep_thread_state;  // one Python thread state for the thread's life
        py::gil_scoped_release nogil;
        std::unique_lock<std::mutex> lock(mutex_);
        bool interpreter_awaited = false;
        while (!stopping_) {
            Run* run = next_run();
            if (!run) {
                idle_ = true;
                work_.wait(lock);
                idle_ = false;
                continue;
            }
            if (run->memory.empty()) {
                read_back(*run, lock);
                continue;
            }
            if (!interpreter_awaited && run->memory.size() < MAX_ENTRIES) {
                // The request needs the interpreter's lock anyway: waiting for it before cutting lets a loop that
                // holds it finish its burst of records, which then go in one request instead of two.
                lock.unlock();
                { py::gil_scoped_acquire gil; }
                lock.lock();
                interpreter_awaited = true;
                continue;
            }
            interpreter_awaited = false;
            std::vector<const Record*> batch = cut(*run);
            std::string url = run->uri + "/api/2.0/mlflow/runs/log-batch";
            std::string run_id = run->run_id;
            lock.unlock();
            std::string body = batch_body(run_id, batch);
            Outcome outcome = post(url, body, batch);
            lock.lock();
            settle(*run, batch, outcome);
            if (outcome.kind == Outcome::Retry) work_.wait_for(lock, backoff(), [&] { return stopping_; });
        }
    }

    // The journals' thread, apart from the sender's, which waits for the server and the interpreter:
    // it never takes the GIL, so the next window (and the queues' next blocks) are ready in time even
    // while the training loop holds it.
    void keep_journals() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            windows_.wait(lock, [&] { return stopping_ || windows_wanted_; });
            if (stopping_) return;
            ready_windows(lock);
        }
    }

    // Refills the queues' blocks when they run low, reserves and maps the journals' next megabytes, and
    // unmaps the ones left behind, all with the lock released: a logging call crossing into the next
    // megabyte then finds it ready.
    void ready_windows(std::unique_lock<std::mutex>& lock) {
        if (blocks_.low()) {
            lock.unlock();
            blocks_.refill();
            lock.lock();
        }
        struct Ahead {
            Run* run;
            uint64_t serial;
            int fd;  // a duplicate: the journal may be closed meanwhile
            off_t start;
            char* window;
        };
        std::vector<Ahead> ahead;
        std::vector<char*> retired;
        windows_wanted_ = false;
        for (Run* run : order_) {
            Journal* journal = run->journal.get();
            if (!journal) continue;
            if (char* window = journal->take_retired()) retired.push_back(window);
            off_t start = journal->wanted_window();
            int fd = start >= 0 ? ::fcntl(journal->fd(), F_DUPFD_CLOEXEC, 0) : -1;
            if (fd >= 0) ahead.push_back({run, journal->serial(), fd, start, nullptr});
        }
        if (ahead.empty() && retired.empty()) return;
        lock.unlock();
        for (char* window : retired) Journal::unmap_window(window);
        for (Ahead& a : ahead) a.window = Journal::map_at(a.fd, a.start);
        lock.lock();
        for (Ahead& a : ahead) {
            Journal* journal = a.run->journal.get();
            bool same = journal && journal->serial() == a.serial;
            if (same && !a.window) journal->not_ahead(a.start);
            if (!(same && a.window && journal->hand_over(a.window, a.start))) Journal::unmap_window(a.window);
            ::close(a.fd);
        }
    }

    // The next run with records to send, round robin.
    Run* next_run() {
        for (size_t i = 0; i < order_.size(); ++i) {
            Run* run = order_[(cursor_ + i) % order_.size()];
            if (run->pending() > 0 && (!run->memory.empty() || run->spilled || !run->held.empty())) {
                cursor_ = (cursor_ + i + 1) % order_.size();
                return run;
            }
        }
        return nullptr;
    }

    // Loads the next spilled records from the journal, reading without the lock (only the sender thread
    // reads, and the bytes before the journal's end do not change).
    void read_back(Run& run, std::unique_lock<std::mutex>& lock) {
        if (!run.spilled) {  // records held in memory while the journal could not be written
            while (!run.held.empty()) {
                run.memory.push_back(std::move(run.held.front()));
                run.held.pop_front();
                ++memory_records_;
            }
            return;
        }
        off_t from = run.spill_from, end = run.journal->size();
        uint64_t done = run.done_seq;
        lock.unlock();
        std::string bytes = run.journal->read(from, std::min<size_t>(SPILL_READ, static_cast<size_t>(end - from)));
        LineReader reader(bytes.data(), bytes.data() + bytes.size());
        std::vector<Record> loaded;
        Record record;
        std::string uri, run_id;
        LineReader::Line line;
        while (loaded.size() < 4 * MAX_ENTRIES && (line = reader.next(record, uri, run_id)) != LineReader::Line::End)
            if (line == LineReader::Line::Record && record.seq > done) loaded.push_back(record);
        off_t consumed = reader.position() - bytes.data();
        lock.lock();
        for (Record& r : loaded) run.memory.push_back(std::move(r));
        memory_records_ += loaded.size();
        run.spill_from = from + consumed;
        if (run.spill_from >= run.journal->size() || consumed == 0) run.spilled = false;
        if (consumed == 0 && loaded.empty() && run.memory.empty() && run.held.empty()) {
            // unreadable rest of a journal: nothing more will come from it
            run.done_seq = run.next_seq - 1;
            ++progress_count_;
            progress_.notify_all();
        }
    }

    // The front records that one request takes: within the server's limits, in order.
    std::vector<const Record*> cut(const Run& run) const {
        std::vector<const Record*> batch;
        size_t metrics = 0, params = 0, tags = 0, bytes = 0;
        for (const Record& r : run.memory) {
            if (batch.size() >= MAX_ENTRIES) break;
            if (!batch.empty() && r.seq <= run.one_by_one_to) break;
            size_t& count = r.kind == Kind::Metric ? metrics : r.kind == Kind::Param ? params : tags;
            size_t limit = r.kind == Kind::Metric ? MAX_METRICS : r.kind == Kind::Param ? MAX_PARAMS : MAX_TAGS;
            size_t size = r.key.size() + r.text.size() + 80;
            if (count >= limit || (!batch.empty() && bytes + size > MAX_BODY)) break;
            ++count;
            bytes += size;
            batch.push_back(&r);
            if (r.seq <= run.one_by_one_to) break;
        }
        return batch;
    }

    static void json_text(std::string& out, const std::string& text) {
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

    static void json_double(std::string& out, double value) {
        if (std::isnan(value)) out += "\"NaN\"";
        else if (std::isinf(value)) out += value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
        else out += format_double(value);
    }

    // MLflow's batch request: {"run_id": ..., "metrics": [...], "params": [...], "tags": [...]}
    static std::string batch_body(const std::string& run_id, const std::vector<const Record*>& batch) {
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

    // One request, with the interpreter's lock held only here.
    Outcome post(const std::string& url, const std::string& body, const std::vector<const Record*>& batch) {
        py::gil_scoped_acquire gil;
        Outcome outcome = request(url, body);
        try {
            report(url, outcome, batch);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("logging in the tracking sender");
        }
        return outcome;
    }

    Outcome request(const std::string& url, const std::string& body) {
        try {
            py::dict headers;
            headers["Content-Type"] = "application/json";
            py::object response = session_.attr("post")(url, py::arg("data") = py::bytes(body),
                                                        py::arg("headers") = headers, py::arg("auth") = auth_,
                                                        py::arg("timeout") = py::make_tuple(5, 30));
            int status = response.attr("status_code").cast<int>();
            if (status >= 200 && status < 300) return {Outcome::Delivered, ""};
            std::string code = error_code(response);
            if (status >= 500 || status == 401 || status == 408 || status == 429 || is_transient(code))
                return {Outcome::Retry, "HTTP " + std::to_string(status) + (code.empty() ? "" : " " + code)};
            return {Outcome::Refused, "HTTP " + std::to_string(status) + ": " + server_message(response)};
        } catch (py::error_already_set& e) {
            std::string reason = py::str(py::type::handle_of(e.value()).attr("__name__"));
            if (is_bad_address(e)) return {Outcome::Refused, reason + ": " + py::str(e.value()).cast<std::string>()};
            // the user has to act: the text says so (it carries no token)
            if (e.matches(py::module_::import("vela_authn").attr("LoginRequiredError")))
                reason += ": " + py::str(e.value()).cast<std::string>();
            return {Outcome::Retry, reason};
        }
    }

    // No retry makes a malformed server address usable.
    static bool is_bad_address(py::error_already_set& e) {
        py::object errors = py::module_::import("requests.exceptions");
        for (const char* name : {"MissingSchema", "InvalidSchema", "InvalidURL"})
            if (e.matches(errors.attr(name))) return true;
        return false;
    }

    // An overloaded server answers some faults of its own (a full database pool) as bad requests.
    static bool is_transient(const std::string& code) {
        return code == "BAD_REQUEST" || code == "INTERNAL_ERROR" || code == "TEMPORARILY_UNAVAILABLE" ||
               code == "REQUEST_LIMIT_EXCEEDED" || code == "RESOURCE_EXHAUSTED";
    }

    static std::string error_code(py::handle response) {
        try {
            py::object answer = response.attr("json")();
            if (py::isinstance<py::dict>(answer) && answer.contains("error_code"))
                return py::str(answer["error_code"]).cast<std::string>();
        } catch (py::error_already_set&) {
        }
        return "";
    }

    static std::string server_message(py::handle response) {
        try {
            py::object answer = response.attr("json")();
            if (py::isinstance<py::dict>(answer) && answer.contains("message"))
                return py::str(answer["message"]).cast<std::string>();
        } catch (py::error_already_set&) {
        }
        return py::str(response.attr("text")).cast<std::string>().substr(0, 500);
    }

    // Warnings: once when an outage starts, once with a count when it ends, and one per refused record.
    void report(const std::string& url, const Outcome& outcome, const std::vector<const Record*>& batch) {
        if (outcome.kind == Outcome::Retry) {
            if (++failures_in_a_row_ == 1) {
                outage_started_ = Clock::now();
                logger_.attr("warning")(py::str("The tracking server at " + origin(url) + " does not take records now (" +
                                                outcome.reason +
                                                "); they are kept and sent when it answers again."));
            }
            return;
        }
        if (failures_in_a_row_ > 0) {
            double seconds = std::chrono::duration<double>(Clock::now() - outage_started_).count();
            char text[64];
            std::snprintf(text, sizeof text, "%.1f", seconds);
            logger_.attr("warning")(py::str("The tracking server at " + origin(url) + " answers again after " + text +
                                            " s and " + std::to_string(failures_in_a_row_.load()) +
                                            " failed attempts; " + std::to_string(waiting_records()) +
                                            " records kept meanwhile are being sent."));
            failures_in_a_row_ = 0;
        }
        if (outcome.kind == Outcome::Refused && batch.size() == 1)
            logger_.attr("warning")(py::str(refusal(*batch.front(), outcome.reason)));
    }

    uint64_t waiting_records() {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t count = 0;
        for (auto& entry : runs_) count += entry.second->pending();
        return count;
    }

    static std::string refusal(const Record& r, const std::string& reason) {
        const char* kind = r.kind == Kind::Metric ? "metric" : r.kind == Kind::Param ? "parameter" : "tag";
        return std::string("The tracking server refused ") + kind + " '" + r.key + "': " + reason;
    }

    // Without userinfo, which may hold a password.
    static std::string origin(const std::string& url) {
        size_t scheme = url.find("://");
        size_t start = scheme == std::string::npos ? 0 : scheme + 3;
        size_t end = url.find('/', start);
        std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
        size_t at = authority.rfind('@');
        if (at != std::string::npos) authority = authority.substr(at + 1);
        return url.substr(0, start) + authority;
    }

    void settle(Run& run, const std::vector<const Record*>& batch, const Outcome& outcome) {
        if (outcome.kind == Outcome::Retry) return;
        if (outcome.kind == Outcome::Refused && batch.size() > 1) {
            run.one_by_one_to = batch.back()->seq;  // find the refused ones, and deliver the rest
            return;
        }
        if (outcome.kind == Outcome::Refused) run.refused.push_back(refusal(*batch.front(), outcome.reason));
        uint64_t last = batch.back()->seq;
        for (size_t i = 0; i < batch.size(); ++i) run.memory.pop_front();
        memory_records_ -= batch.size();
        run.done_seq = last;
        if (run.journal && !run.journal->append(ack_line(last))) run.journal_failed = true;
        ++progress_count_;
        progress_.notify_all();
        room_.notify_all();
    }

    std::chrono::duration<double> backoff() {
        int failures = std::max(1, failures_in_a_row_.load());
        double delay = std::min(BACKOFF_CAP, BACKOFF_FIRST * std::pow(2.0, std::min(failures - 1, 16)));
        std::uniform_real_distribution<double> jitter(0.75, 1.25);
        return std::chrono::duration<double>(delay * jitter(random_));
    }

    py::object session_, auth_, logger_;  // used with the GIL only
    pid_t pid_;

    BlockPool blocks_;  // outlives the runs' queues
    std::mutex mutex_;  // never held while taking the GIL
    std::string line_;  // the journal line being written, with the mutex
    std::condition_variable work_, progress_, room_, windows_;
    std::map<std::string, std::unique_ptr<Run>, std::less<>> runs_;  // by run id (by path, for adopted journals)
    std::vector<Run*> order_;
    size_t cursor_ = 0;
    size_t memory_records_ = 0;
    size_t memory_limit_ = 100000;
    std::string directory_;
    uint64_t progress_count_ = 0;
    bool idle_ = false, stopping_ = false, running_ = false, finished_ = false;
    bool windows_wanted_ = false;  // a journal nears the end of its mapped megabyte, or the blocks run low
    std::thread thread_;
    std::thread keeper_;  // readies the journals' windows

    std::atomic<int> failures_in_a_row_{0};  // written by the sender thread only
    Clock::time_point outage_started_;
    std::minstd_rand random_{static_cast<unsigned>(getpid())};
};

// ---- the Python side --------------------------------------------------------------------------

const char ENGINE_CAPSULE[] = "vela_experiment_tracking.tracking.sender.Engine";

void release_engine(PyObject* capsule) {
    auto* engine = static_cast<Engine*>(PyCapsule_GetPointer(capsule, ENGINE_CAPSULE));
    // A forked child has a copy of the engine without its thread: that copy is left alone.
    if (engine && engine->pid() == getpid()) delete engine;
}

Engine& engine_of(py::handle self) {
    py::object capsule = rt::attr(self, "_Sender__engine");
    void* engine = PyCapsule_GetPointer(capsule.ptr(), ENGINE_CAPSULE);
    if (!engine) throw py::error_already_set();
    return *static_cast<Engine*>(engine);
}

[[noreturn]] void refuse(const rt::Args& a, const std::string& message) {
    rt::raise_instance(a.global("ExperimentTrackingException")(
        py::arg("message") = py::str(message), py::arg("error_code") = a.global("INVALID_PARAMETER_VALUE")));
}

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }

std::string shown(py::handle value) { return py::repr(value).cast<std::string>().substr(0, 100); }

bool is_name_character(Py_UCS4 c) {
    return c == '_' || c == '-' || c == '.' || c == ' ' || c == ':' || c == '/' || Py_UNICODE_ISALNUM(c);
}

// A name that a file system would not read as another name: no empty, "." or ".." parts.
bool resolves_to_itself(const std::string& name) {
    if (name.compare(0, 2, "..") == 0) return false;
    size_t start = 0;
    while (true) {
        size_t end = name.find('/', start);
        std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

// The names MLflow accepts for metrics, parameters and tags, checked here so that the call raises.
std::string checked_key(const rt::Args& a, py::handle key, const char* kind) {
    py::str name(key);
    Py_ssize_t length = PyUnicode_GetLength(name.ptr());
    bool valid = length > 0 && static_cast<size_t>(length) <= MAX_KEY;
    int unicode_kind = PyUnicode_KIND(name.ptr());
    const void* data = PyUnicode_DATA(name.ptr());
    for (Py_ssize_t i = 0; valid && i < length; ++i) valid = is_name_character(PyUnicode_READ(unicode_kind, data, i));
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

double checked_value(const rt::Args& a, py::handle value, const std::string& key) {
    if (!PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr()) && !value.is_none()) {
        double number = PyFloat_AsDouble(value.ptr());
        if (!(number == -1.0 && PyErr_Occurred())) return number;
        PyErr_Clear();
    }
    refuse(a, "Invalid value " + shown(value) + " for metric '" + key + "': a metric's value is a number.");
}

int64_t checked_step(const rt::Args& a, py::handle step) {
    if (step.is_none()) return 0;
    PyObject* whole = nullptr;
    if (PyFloat_Check(step.ptr())) {
        double value = PyFloat_AS_DOUBLE(step.ptr());
        if (std::isfinite(value) && value == std::floor(value)) whole = PyLong_FromDouble(value);
    } else if (!PyBool_Check(step.ptr())) {
        whole = PyNumber_Index(step.ptr());
    }
    long long result = 0;
    int overflow = 0;
    if (whole) {
        result = PyLong_AsLongLongAndOverflow(whole, &overflow);
        Py_DECREF(whole);
    }
    if (!whole || overflow || PyErr_Occurred()) {
        PyErr_Clear();
        refuse(a, "Invalid step " + shown(step) + ": a step is a whole number within 64 bits.");
    }
    return result;
}

bool flag(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text == "1" || text == "true" || text == "yes" || text == "on";
}

// os.environ's key for a variable's name: encoded once for each name object the module holds (kept, as
// the interpreter keeps interned names), so a rebound constant gets a key of its own.
PyObject* environ_key(py::handle name) {
    static std::vector<std::pair<PyObject*, PyObject*>> keys;
    auto known = std::find_if(keys.begin(), keys.end(), [&](const auto& key) { return key.first == name.ptr(); });
    if (known != keys.end()) return known->second;
    PyObject* key = PyUnicode_EncodeFSDefault(rt::str(name).ptr());
    if (!key) throw py::error_already_set();
    keys.emplace_back(py::reinterpret_borrow<py::object>(name).release().ptr(), key);
    return key;
}

// os.environ's own table of encoded names and values, which its writes keep, or null for an environ of
// another kind; found again whenever os.environ is another object. The last one is kept, so its address
// names no other object.
PyObject* environ_table(py::handle environ) {
    static PyObject* seen = nullptr;
    static PyObject* table = nullptr;
    if (environ.ptr() == seen) return table;
    PyObject* found = PyObject_GetAttrString(environ.ptr(), "_data");
    if (found && !PyDict_Check(found)) Py_CLEAR(found);
    if (!found && PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    Py_XSETREF(seen, py::reinterpret_borrow<py::object>(environ).release().ptr());
    Py_XSETREF(table, found);
    return table;
}

// Read from os.environ's table: no Python code runs, so the logging calls that read it do not hand the
// interpreter to another thread midway, and a lookup reads one slot of the table where getenv reads
// every variable, each a page to touch.
bool env_flag(const rt::Args& a, const char* variable) {
    py::object environ = rt::attr(a.global("os"), "environ");
    PyObject* table = environ_table(environ);
    if (!table) {  // an environ of another kind: asked as a mapping
        py::object value = environ.attr("get")(a.global(variable));
        return !value.is_none() && flag(text_of(value));
    }
    PyObject* value = PyDict_GetItemWithError(table, environ_key(a.global(variable)));  // borrowed
    if (!value && PyErr_Occurred()) throw py::error_already_set();
    return value && PyBytes_Check(value) && flag(std::string(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)));
}

// A number of seconds or records, within [low, high]; NaN counts as low.
double bounded(py::handle value, double low, double high) {
    double number = rt::builtin("float")(value).cast<double>();
    return std::isnan(number) ? low : std::min(high, std::max(low, number));
}

double env_number(const rt::Args& a, const char* variable, const char* fallback, double low, double high) {
    py::object value = a.global("os").attr("environ").attr("get")(a.global(variable));
    try {
        if (!value.is_none()) return bounded(value, low, high);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    return bounded(a.global(fallback), low, high);
}

constexpr double MOST_SECONDS = 1e7;   // any longer wait is as good as forever
constexpr double MOST_RECORDS = 1e9;

double flush_timeout(const rt::Args& a, py::handle timeout) {
    return timeout.is_none() ? env_number(a, "ENV_LOG_FLUSH_TIMEOUT", "DEFAULT_FLUSH_TIMEOUT", 0, MOST_SECONDS)
                             : bounded(timeout, 0, MOST_SECONDS);
}

// $XDG_CACHE_HOME (when absolute), else ~/.cache, then vela_experiment_tracking/journal.
std::string journal_path(const rt::Args& a) {
    py::object os = a.global("os");
    py::object cache = os.attr("environ").attr("get")("XDG_CACHE_HOME");
    if (!rt::truthy(cache) || !rt::truthy(os.attr("path").attr("isabs")(cache)))
        cache = os.attr("path").attr("join")(os.attr("path").attr("expanduser")("~"), ".cache");
    return text_of(os.attr("path").attr("join")(cache, "vela_experiment_tracking", "journal"));
}

// The journal directory for runs opened now: none when memory only is asked for or it cannot be made.
std::string journal_directory(const rt::Args& a) {
    if (env_flag(a, "ENV_LOG_MEMORY_ONLY")) return "";
    std::string path = journal_path(a);
    if (path.empty() || path[0] != '/') path = "";  // never relative to wherever the process runs
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0700);  // missing levels, private as the cache directory should be
    if (!path.empty() && make_private_directory(path)) return path;
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

// A str's UTF-8 text in place, without a copy; any other value as str() gives it, kept in `storage`.
std::string_view text_view(py::handle value, std::string& storage) {
    if (!PyUnicode_CheckExact(value.ptr())) return storage = text_of(value);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!data) throw py::error_already_set();
    return {data, static_cast<size_t>(size)};
}

// The logging calls' common end. An open run's records go straight to its queue: the call builds no
// string and reads no setting, which is what a training loop's step pays for on every page it touches.
void append(const rt::Args& a, py::handle self, py::handle tracking_uri, py::handle run, Record* records,
            size_t count, py::handle synchronous) {
    Engine& engine = engine_of(self);
    std::string storage, warning;
    std::string_view id = text_view(run, storage);
    if (!engine.append(id, nullptr, records, count, warning)) {
        std::string run_id(id), uri = run_uri(tracking_uri);
        prepare_run(a, engine, run_id);
        engine.append(run_id, &uri, records, count, warning);
    }
    warn(a, warning);
    bool wait = synchronous.is_none() ? env_flag(a, "ENV_LOG_SYNCHRONOUS") : rt::truthy(synchronous);
    if (!wait) return;
    std::string run_id(id);
    // a synchronous call gives up on a server that is down after MLflow's own number of retries
    int attempts = 1 + static_cast<int>(env_number(a, "ENV_MLFLOW_HTTP_REQUEST_MAX_RETRIES",
                                                   "DEFAULT_MLFLOW_HTTP_REQUEST_MAX_RETRIES", 0, 100));
    if (!flush_run(a, engine, &run_id, py::none(), attempts))
        refuse(a, "The tracking server did not confirm the records of run " + run_id +
                      " (it does not answer, or not in time); they stay queued and are sent when it answers.");
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
    record.text = checked_text(a, value, name, record.key, kind == Kind::Param ? MAX_PARAM_VALUE : MAX_TAG_VALUE);
    return record;
}

int64_t checked_timestamp(const rt::Args& a, py::handle timestamp) {
    int64_t value = checked_step(a, timestamp);
    if (value < 0) refuse(a, "Invalid timestamp " + shown(timestamp) + ": milliseconds since the epoch.");
    return value;
}

py::object Sender_init(const rt::Args& a) {
    py::handle self = a[0];
    py::object session = a.global("requests").attr("Session")();
    py::object environ = a.global("os").attr("environ");
    // MLflow's own variables for the server's certificate
    if (env_flag(a, "ENV_MLFLOW_TRACKING_INSECURE_TLS")) session.attr("verify") = py::bool_(false);
    py::object ca = environ.attr("get")(a.global("ENV_MLFLOW_TRACKING_SERVER_CERT_PATH"));
    if (rt::truthy(ca)) session.attr("verify") = ca;
    py::object cert = environ.attr("get")(a.global("ENV_MLFLOW_TRACKING_CLIENT_CERT_PATH"));
    if (rt::truthy(cert)) session.attr("cert") = cert;
    py::object auth = a.global("BearerAuth")();
    py::setattr(self, "session", session);
    py::setattr(self, "auth", auth);
    py::setattr(self, "_Sender__pid", a.global("os").attr("getpid")());
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
    warn(a, engine.open(run_uri(a[1]), run_id));
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

py::object Sender_flush(const rt::Args& a) {
    Engine& engine = engine_of(a[0]);
    if (a[1].is_none()) return py::bool_(flush_run(a, engine, nullptr, a[2]));
    std::string run_id = text_of(a[1]);
    return py::bool_(flush_run(a, engine, &run_id, a[2]));
}

py::object Sender_pending(const rt::Args& a) {
    Engine& engine = engine_of(a[0]);
    if (a[1].is_none()) return py::int_(engine.pending(nullptr).records);
    std::string run_id = text_of(a[1]);
    return py::int_(engine.pending(&run_id).records);
}

// At the end: waits (bounded, and not through an outage) for the records, stops the thread, and tells
// on standard error what is left and how to upload it.
py::object Sender_close(const rt::Args& a) {
    Engine& engine = engine_of(a[0]);
    // At exit the whole wait is bounded, also while records still go out: what is left stays in the journal.
    std::chrono::duration<double> wait(flush_timeout(a, a[1]));
    engine.flush(nullptr, Clock::now() + std::chrono::duration_cast<Clock::duration>(wait), wait, EXIT_GIVES_UP_AFTER);
    Engine::Count before = engine.pending(nullptr);
    std::string directory = engine.directory();
    engine.close_for_good();
    Engine::Count left = engine.pending(nullptr);
    if (left.records > 0) {
        std::string what = std::to_string(left.records) + " logged record(s) of " + std::to_string(left.runs) +
                           " run(s) were not confirmed by the tracking server";
        std::string message = before.journaled
                                  ? "vela_experiment_tracking: " + what + "; they are kept in " + directory +
                                        ". Upload them with: python -m vela_experiment_tracking sync\n"
                                  : "vela_experiment_tracking: " + what + " and are lost (kept in memory only).\n";
        a.global("sys").attr("stderr").attr("write")(py::str(message));
    }
    return py::int_(left.records);
}

// Uploads every journal that ended processes left; (records uploaded, records left).
py::object Sender_sync(const rt::Args& a) {
    Engine& engine = engine_of(a[0]);
    std::string directory = journal_path(a);
    std::vector<std::string> paths;
    if (DIR* folder = directory[0] == '/' ? ::opendir(directory.c_str()) : nullptr) {
        while (dirent* entry = ::readdir(folder)) {
            std::string name = entry->d_name;
            if (name.size() > 8 && name.compare(name.size() - 8, 8, ".journal") == 0) paths.push_back(directory + "/" + name);
        }
        ::closedir(folder);
    }
    std::sort(paths.begin(), paths.end());
    py::object client = a.global("context").attr("current_client");
    for (const std::string& path : paths) {
        std::string uri = engine.adopt(path);
        // the auth hook sends tokens to the server the client names
        if (!uri.empty() && client.attr("tracking_uri").is_none()) client.attr("tracking_uri") = py::str(uri);
    }
    uint64_t queued = engine.pending(nullptr).records;
    engine.resume();
    // A timeout given bounds the whole upload; without one it goes on while records go out. Either way a server
    // that keeps failing ends it: what is left stays for the next sync.
    std::chrono::duration<double> wait(flush_timeout(a, a[1]));
    auto deadline = a[1].is_none() ? Clock::time_point::max() : Clock::now() + std::chrono::duration_cast<Clock::duration>(wait);
    engine.flush(nullptr, deadline, wait, EXIT_GIVES_UP_AFTER);
    std::vector<std::string> refusals = engine.take_refusals(nullptr);
    for (const std::string& reason : refusals) a.global("logger").attr("warning")(py::str(reason));
    engine.close_for_good();
    uint64_t left = engine.pending(nullptr).records;
    return py::make_tuple(queued - left, left);
}

// Counts the forks this process has come from: a sender made before the last one is its parent's.
std::atomic<unsigned> forks{0};

// The process's sender, made on first use (and anew in a forked child, whose parent's thread is not there).
py::object get_sender(const rt::Args& a) {
    // the sender this function made, and when: its check then costs no Python int and no system call
    static PyObject* made = nullptr;
    static unsigned made_after = 0;
    py::object sender = a.global("_sender");
    if (sender.ptr() == made && made_after == forks.load(std::memory_order_relaxed)) return sender;
    if (sender.is_none() || !rt::equals(rt::attr(sender, "_Sender__pid"), py::int_(getpid()))) {
        sender = a.global("Sender")();
        py::module_::import(text_of(a.global("__name__")).c_str()).attr("_sender") = sender;
    }
    Py_XSETREF(made, py::object(sender).release().ptr());  // kept alive: its address names no other object
    made_after = forks.load(std::memory_order_relaxed);
    return sender;
}

// Registered with atexit: the thread must end before the interpreter does.
py::object at_exit(const rt::Args& a) {
    py::object sender = a.global("_sender");
    if (!sender.is_none() && rt::equals(sender.attr("_Sender__pid"), a.global("os").attr("getpid")()))
        sender.attr("close")();
    return py::none();
}

// `python -m vela_experiment_tracking sync`
py::object command_line(const rt::Args& a) {
    py::list argv = rt::builtin("list")(a[0]);
    py::object sys = a.global("sys");
    if (argv.size() != 1 || !rt::equals(argv[0], py::str("sync"))) {
        sys.attr("stderr").attr("write")(py::str(
            "usage: python -m vela_experiment_tracking sync\n"
            "  sync  upload the records that ended processes left in their journals\n"));
        return py::int_(2);
    }
    py::object authenticator = a.global("check_authentication")(py::none());
    a.global("context").attr("current_client").attr("update")(a.global("Client")(authenticator));
    py::tuple counts = a.global("Sender")().attr("sync")();
    sys.attr("stdout").attr("write")(rt::cat({py::str("Uploaded "), counts[0], py::str(" record(s); "), counts[1],
                                              py::str(" left.\n")}));
    return py::int_(rt::truthy(counts[1]) ? 1 : 0);
}

}  // namespace

VELA_MODULE(sender) {
    module.import("atexit");
    module.import("logging");
    module.import("os");
    module.import("sys");
    module.import("requests");
    module.import_from("mlflow.protos.databricks_pb2", {"INVALID_PARAMETER_VALUE"});
    module.import_from("vela_experiment_tracking", {"context"});
    module.import_from("vela_experiment_tracking.auth.lookup", {"check_authentication"});
    module.import_from("vela_experiment_tracking.exception", {"ExperimentTrackingException"});
    module.import_from("vela_experiment_tracking.tracking.client", {"BearerAuth", "Client"});
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
        .method({"open_run", {self, uri, run_id}, Sender_open_run,
                 "Ready a run for logging (its journal, the sending thread), so that its first record costs "
                 "the caller no more than the others."})
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
        .method({"flush", {self, rt::param("run_id", py::none()), rt::param("timeout", py::none())}, Sender_flush,
                 "Wait until the run's records (or all) are on the server: True, or False when the wait ended "
                 "first. Without a timeout the wait ends after VELA_LOG_FLUSH_TIMEOUT seconds without "
                 "progress. Records the server refused raise ExperimentTrackingException."})
        .method({"pending", {self, rt::param("run_id", py::none())}, Sender_pending,
                 "How many records of the run (or of all runs) the server has not confirmed yet."})
        .method({"close", {self, rt::param("timeout", py::none())}, Sender_close,
                 "Wait for the records (at most the flush timeout in all, and not through an outage), stop the thread, and tell on "
                 "standard error what is left. Returns that count."})
        .method({"sync", {self, rt::param("timeout", py::none())}, Sender_sync,
                 "Upload the journals that ended processes left: (records uploaded, records left)."})
        .build();

    module.def({"get_sender", {}, get_sender, "The process's sender, made on first use."});
    ::pthread_atfork(nullptr, nullptr, [] { forks.fetch_add(1, std::memory_order_relaxed); });
    module.def({"_at_exit", {}, at_exit});
    module.def({"main", {rt::param("argv")}, command_line, "The command line: `sync`."});
    module.get("atexit").attr("register")(module.get("_at_exit"));
}


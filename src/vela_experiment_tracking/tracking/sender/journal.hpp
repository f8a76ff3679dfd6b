// A run's write-ahead journal: one line per record, per confirmation and for the run's header, each
// line checked by its own CRC-32, so that damage costs the damaged lines only.
#pragma once

#include "record.hpp"

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

namespace sender {

std::string record_line(const Record& record);
std::string ack_line(uint64_t seq);
// The process that writes it started the run (`owner`), or attached to it.
std::string header_line(const std::string& uri, const std::string& run_id, bool owner);

struct Line {
    enum Kind { Header, Entry, Ack } kind = Entry;
    Record record;            // Entry: the record; Ack: record.seq, the last one confirmed
    std::string uri, run_id;  // Header
    bool owner = false;       // Header
};

// Reads journal bytes line by line. A line whose checksum or form is wrong is counted and skipped, and
// reading goes on after it; bytes after the last newline (a line a crash cut short) are left unread.
class LineReader {
public:
    explicit LineReader(std::string_view bytes) : bytes_(bytes) {}
    bool next(Line& line);  // false at the end
    size_t consumed() const { return at_; }  // bytes of the lines read
    uint64_t damaged() const { return damaged_; }

private:
    std::string_view bytes_;
    size_t at_ = 0;
    uint64_t damaged_ = 0;
};

// A journal file, readable by its owner only, locked while a process writes to it. Lines are written
// with pwrite at the journal's own end: what another process does to the file (truncating it, say)
// cannot fault this one, and a line that cannot be written whole is cut off again.
class Journal {
public:
    Journal(int fd, std::string path, off_t size) : fd_(fd), path_(std::move(path)), size_(size) {}
    ~Journal() { close(); }
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // A new journal in `directory`; nullptr (and errno) when it cannot be made.
    static std::unique_ptr<Journal> create(const std::string& directory, const std::string& uri,
                                           const std::string& run_id, bool owner);
    // An existing journal that no living process holds; nullptr when in use, foreign or unreadable.
    static std::unique_ptr<Journal> adopt(const std::string& path);

    bool append(const std::string& line);
    std::string read(off_t from, size_t most) const;
    void truncate(off_t size);
    void remove();
    void close();

    off_t size() const { return size_; }
    int64_t modified_ms() const;  // when the file was last written, in ms since the epoch
    const std::string& path() const { return path_; }

private:
    int fd_;
    std::string path_;
    off_t size_;  // where the last whole line ends
};

// The directory of the journals, made private to the user; false when it cannot be trusted.
bool make_private_directory(const std::string& path);

// The folder beside the journals in `journals` where copies of artifacts wait for their upload.
inline std::string copies_directory(const std::string& journals) { return journals + "/files"; }

// A private copy of the file `source` in `directory`: its path, or empty when the file cannot be
// read or the copy not written whole.
std::string keep_copy(const std::string& directory, const std::string& source);

}  // namespace sender

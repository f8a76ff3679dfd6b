// Journal lines and files.
//
// A line is its fields separated by tabs, then a tab and the CRC-32 of what precedes it in eight hex
// digits, then a newline. Texts escape backslash, tab, newline, carriage return and NUL, so a newline
// only ever ends a line. A metric's value is written as an exact hexadecimal float.
#include "journal.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <vector>

namespace sender {
namespace {

constexpr char MAGIC[] = "vela-journal";
constexpr char VERSION[] = "2";

constexpr std::array<uint32_t, 256> crc_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

// CRC-32 as zlib computes it.
uint32_t crc32(std::string_view bytes) {
    static constexpr std::array<uint32_t, 256> table = crc_table();
    uint32_t c = 0xffffffffu;
    for (unsigned char byte : bytes) c = table[(c ^ byte) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

template <typename Number>
void put_number(std::string& out, Number number) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

void put_value(std::string& out, double value) {
    char digits[40];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value, std::chars_format::hex).ptr);
}

void put_text(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\0': out += "\\0"; break;
            default: out += c;
        }
    }
}

// `payload`, its checksum and the newline.
std::string sealed(std::string payload) {
    static constexpr char hex[] = "0123456789abcdef";
    uint32_t crc = crc32(payload);
    payload += '\t';
    for (int shift = 28; shift >= 0; shift -= 4) payload += hex[(crc >> shift) & 0xf];
    payload += '\n';
    return payload;
}

std::vector<std::string_view> fields(std::string_view payload) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t tab; (tab = payload.find('\t', start)) != std::string_view::npos; start = tab + 1)
        parts.push_back(payload.substr(start, tab - start));
    parts.push_back(payload.substr(start));
    return parts;
}

template <typename Number>
bool read_number(std::string_view text, Number& out) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

bool read_value(std::string_view text, double& out) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out, std::chars_format::hex);
    return error == std::errc() && end == text.data() + text.size();
}

bool read_text(std::string_view text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case '\\': out += '\\'; break;
            case 't': out += '\t'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case '0': out += '\0'; break;
            default: return false;
        }
    }
    return true;
}

// The line's payload when its checksum holds.
bool verified(std::string_view line, std::string_view& payload) {
    if (line.size() < 9 || line[line.size() - 9] != '\t') return false;
    uint32_t crc = 0;
    std::string_view digits = line.substr(line.size() - 8);
    auto [end, error] = std::from_chars(digits.data(), digits.data() + 8, crc, 16);
    if (error != std::errc() || end != digits.data() + 8) return false;
    payload = line.substr(0, line.size() - 9);
    return crc32(payload) == crc;
}

bool parse(std::string_view payload, Line& line) {
    std::vector<std::string_view> parts = fields(payload);
    if (parts[0] == MAGIC) {
        line.kind = Line::Header;
        line.owner = parts.size() == 5 && parts[4] == "owner";
        return parts.size() == 5 && parts[1] == VERSION && read_text(parts[2], line.uri) &&
               read_text(parts[3], line.run_id);
    }
    if (parts[0] == "a") {
        line.kind = Line::Ack;
        return parts.size() == 2 && read_number(parts[1], line.record.seq);
    }
    Record& r = line.record;
    line.kind = Line::Entry;
    if (parts.size() != 7 || parts[0].size() != 1) return false;
    r.kind = static_cast<Kind>(parts[0][0]);
    if (!batched(r.kind) && r.kind != Kind::DeleteTag && r.kind != Kind::Update && r.kind != Kind::Artifact &&
        r.kind != Kind::Request)
        return false;
    r.journaled = true;
    return read_number(parts[1], r.seq) && read_number(parts[2], r.timestamp) && read_number(parts[3], r.step) &&
           read_value(parts[4], r.value) && read_text(parts[5], r.key) && read_text(parts[6], r.text);
}

}  // namespace

std::string record_line(const Record& r) {
    std::string payload(1, static_cast<char>(r.kind));
    for (int64_t number : {static_cast<int64_t>(r.seq), r.timestamp, r.step}) {
        payload += '\t';
        put_number(payload, number);
    }
    payload += '\t';
    put_value(payload, r.value);
    payload += '\t';
    put_text(payload, r.key);
    payload += '\t';
    put_text(payload, r.text);
    return sealed(std::move(payload));
}

std::string ack_line(uint64_t seq) {
    std::string payload = "a\t";
    put_number(payload, seq);
    return sealed(std::move(payload));
}

std::string header_line(const std::string& uri, const std::string& run_id, bool owner) {
    std::string payload = std::string(MAGIC) + "\t" + VERSION + "\t";
    put_text(payload, uri);
    payload += '\t';
    put_text(payload, run_id);
    payload += owner ? "\towner" : "\tattached";
    return sealed(std::move(payload));
}

bool LineReader::next(Line& line) {
    while (at_ < bytes_.size()) {
        if (bytes_[at_] == '\0') {  // a hole another process left by truncating the file: no line there
            ++at_;
            continue;
        }
        size_t end = bytes_.find('\n', at_);
        if (end == std::string_view::npos) return false;
        std::string_view text = bytes_.substr(at_, end - at_), payload;
        at_ = end + 1;
        if (verified(text, payload) && parse(payload, line)) return true;
        ++damaged_;
    }
    return false;
}

std::unique_ptr<Journal> Journal::create(const std::string& directory, const std::string& uri,
                                         const std::string& run_id, bool owner) {
    std::string stem;  // run ids are hex; anything else is made safe for a file name
    for (char c : run_id.substr(0, 64))
        stem += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') ? c : '_';
    stem = directory + "/" + (stem.empty() ? "run" : stem) + "." + std::to_string(getpid());
    for (int n = 0; n < 1000; ++n) {
        std::string path = stem + "." + std::to_string(n) + ".journal";
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return nullptr;
        ::flock(fd, LOCK_EX | LOCK_NB);
        auto journal = std::make_unique<Journal>(fd, path, 0);
        if (!journal->append(header_line(uri, run_id, owner))) {
            int error = errno;
            journal->remove();
            errno = error;
            return nullptr;
        }
        return journal;
    }
    errno = EEXIST;
    return nullptr;
}

std::unique_ptr<Journal> Journal::adopt(const std::string& path) {
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

bool Journal::append(const std::string& line) {
    if (fd_ < 0) return false;
    size_t written = 0;
    while (written < line.size()) {
        ssize_t n = ::pwrite(fd_, line.data() + written, line.size() - written, size_ + static_cast<off_t>(written));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = n < 0 ? errno : ENOSPC;
            if (written > 0) (void)!::ftruncate(fd_, size_);  // a partial line would read as damage
            errno = error;
            return false;
        }
        written += static_cast<size_t>(n);
    }
    size_ += static_cast<off_t>(written);
    return true;
}

std::string Journal::read(off_t from, size_t most) const {
    std::string bytes(most, '\0');
    size_t got = 0;
    while (fd_ >= 0 && got < most) {
        ssize_t n = ::pread(fd_, &bytes[got], most - got, from + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

int64_t Journal::modified_ms() const {
    struct stat info;
    if (fd_ < 0 || ::fstat(fd_, &info) != 0) return 0;
    return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
}

void Journal::truncate(off_t size) {
    if (fd_ >= 0 && ::ftruncate(fd_, size) == 0) size_ = size;
}

void Journal::remove() {
    ::unlink(path_.c_str());
    close();
}

void Journal::close() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

bool make_private_directory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) return false;
    return (info.st_mode & 077) == 0 || ::chmod(path.c_str(), 0700) == 0;
}

namespace {

// A file descriptor, closed when it goes out of scope.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

bool copy_all(int from, int to) {
    char buffer[1 << 16];
    for (;;) {
        ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got == 0;
        for (ssize_t put = 0; put < got;) {
            ssize_t wrote = ::write(to, buffer + put, static_cast<size_t>(got - put));
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) return false;
            put += wrote;
        }
    }
}

}  // namespace

std::string keep_copy(const std::string& directory, const std::string& source) {
    Descriptor from{::open(source.c_str(), O_RDONLY | O_CLOEXEC)};
    if (from.fd < 0) return "";
    std::string path = directory + "/artifact-XXXXXX";
    Descriptor to{::mkostemp(path.data(), O_CLOEXEC)};  // readable by its owner only
    if (to.fd < 0) return "";
    if (copy_all(from.fd, to.fd)) return path;
    ::unlink(path.c_str());
    return "";
}

}  // namespace sender

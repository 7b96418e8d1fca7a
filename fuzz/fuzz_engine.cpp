// libFuzzer target for the engine. Each input is a mode, an initial file and a
// sequence of operations on one AsyncFileCore over a file in /dev/shm or on a
// disk ($TMPDIR or /tmp). Every operation also runs on a model that keeps the
// bytes on disk, the stream position, the pending writes, the line read-ahead
// and the cached size, and the two must agree on every result, every error
// message and, after every operation, on tell(), read_position() and the bytes
// on disk. Any difference aborts with a report.
//
// The facts the binding places calls by are checked against what the calls
// then do: read_if_cached() gives what read() would, or changes nothing but
// handing the pending writes over; when line_is_buffered(), write_stays_buffered()
// or lines_stay_buffered() promise no I/O, the call reads nothing, lands no byte
// and makes no system call that can wait (the wait gate counts them). A step
// that drops the file from the page cache makes read_if_cached() find it cold.
//
// The model follows the documented rules, so it is deliberately plain: writes
// of up to 131072 bytes gather until they would pass 262144; bytes land at the
// position, or at the end in append modes; read_line serves from a block of
// 262144 bytes read at the position, which leaves the position at the block's
// end; a read to the end stops at the size measured since the last open, seek
// or truncate.
//
// Positional reads and writes run as the binding runs them beside the object: the pending writes
// go out first, then pread/pwrite on the descriptor, which leave the position alone (a pwrite in
// an append mode lands at the end, as Linux has it), and the read-ahead is forgotten after a
// pwrite. A read cut into pieces (SplitRead) reads them in any order and must give what read()
// gives, leaving the position where read() leaves it.
//
// Half the runs set reads to follow lines, as the asyncio front does. Then the
// other reads, writes, seeks, truncate, bytes_to_end, read_if_cached and
// restore_position first give the unread rest of read_line's block back (the
// position moves back over it and the block is dropped); tell and
// read_position subtract it; and read_line at the end of the file reads again
// rather than remembering the end. Those runs also take the size for a hint:
// reads to the end go on to the end of the file, past the size measured.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "async_file_core.hpp"
#include "engine_errors.hpp"
#include "positional_io.hpp"
#include "split_read.hpp"

namespace {

constexpr std::uint64_t kNoCount = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kSinkLimit = std::uint64_t{1} << 40; // larger reads are refused
constexpr std::size_t kLargestFile = 4 << 20;                // no step grows the file beyond this
constexpr std::size_t kSizes[] = {0,      1,      2,      63,     4095,   8191,   8192,
                                  8193,   65535,  65536,  65537,  131071, 131072, 131073,
                                  262143, 262144, 262145, 300000, 524288, 524289};
constexpr const char *kModes[] = {"rb", "r+b", "wb", "w+b", "ab", "a+b", "r", "w+", "+a"};

// ---- reporting -----------------------------------------------------------------

[[noreturn]] void mismatch(const char *step, const std::string &what) {
    std::fprintf(stderr, "engine and model disagree in %s: %s\n", step, what.c_str());
    std::abort();
}

std::string shown(std::string_view bytes) {
    std::string text = std::to_string(bytes.size()) + " bytes \"";
    text.append(bytes.substr(0, 40));
    return text + (bytes.size() > 40 ? "...\"" : "\"");
}

// What an operation gave back: its value as text, or its error message.
struct Outcome {
    bool threw = false;
    std::string text;

    bool operator==(const Outcome &) const = default;
    std::string describe() const { return threw ? "error \"" + text + "\"" : shown(text); }
};

template <typename Call> Outcome outcome_of(Call &&call) {
    try {
        return {false, call()};
    } catch (const std::exception &error) {
        return {true, error.what()};
    }
}

void expect_same(const char *step, const Outcome &engine, const Outcome &model) {
    if (!(engine == model)) {
        mismatch(step, "engine " + engine.describe() + ", model " + model.describe());
    }
}

// ---- sinks ---------------------------------------------------------------------

class StringSink final : public ReadSink {
public:
    char *reserve(std::size_t size) override {
        if (bytes.size() < size) {
            bytes.resize(size);
        }
        return bytes.data();
    }
    std::size_t max_size() const override { return kSinkLimit; }

    std::string bytes;
};

class LineList final : public LineSink {
public:
    void add(std::string_view line) override {
        text += std::to_string(line.size()) + ":" + std::string(line);
    }

    std::string text;
};

// Counts the engine's system calls that can wait.
class CountingGate final : public WaitGate {
public:
    void before_wait() noexcept override { ++waits; }
    void after_wait() noexcept override {}

    int waits = 0;
};

// ---- data ----------------------------------------------------------------------

// Letters with newlines at a period chosen by the seed: no newline at all, short
// lines, or lines longer than the read-ahead block. Byte i depends on i + seed
// alone, so each period's bytes are made once and sliced.
std::string pattern(std::size_t size, std::uint8_t seed) {
    static constexpr std::size_t kPeriods[] = {0, 7, 81, 300000};
    // The largest size from any seed.
    constexpr std::size_t kLongest = kSizes[std::size(kSizes) - 1] + 256;
    static std::vector<std::string> made;
    if (made.empty()) {
        for (const std::size_t period : kPeriods) {
            std::string bytes(kLongest, '\0');
            for (std::size_t i = 0; i < kLongest; ++i) {
                const bool newline = period != 0 && i % period == period - 1;
                bytes[i] = newline ? '\n' : static_cast<char>('a' + i % 26);
            }
            made.push_back(std::move(bytes));
        }
    }
    return made[seed % 4].substr(seed, size);
}

std::string file_bytes(const std::string &path) {
    std::string bytes;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        mismatch("reading the file back", "cannot open it");
    }
    char chunk[65536];
    for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;) {
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return bytes;
}

void write_file(const std::string &path, const std::string &bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        std::fprintf(stderr, "cannot prepare %s\n", path.c_str());
        std::abort();
    }
    ::close(fd);
}

// ---- the model -------------------------------------------------------------------

class Model {
public:
    Model(std::string_view mode, std::string initial, bool follow)
        : disk(std::move(initial)), follows_lines(follow) {
        const auto value = static_cast<int>(AsyncFileCore::parse_mode(mode).first);
        const int plain = value % 3; // read, write or append
        const bool update = value >= 3;
        reads = plain == 0 || update;
        writes = plain != 0 || update;
        appends = plain == 2;
        empties_at_open = plain == 1;
    }

    const std::string &bytes_on_disk() const { return disk; }
    bool is_open() const { return open; }
    bool readable() const { return reads; }
    bool writable() const { return writes; }
    // The furthest that writing or cutting at the position could take the file.
    std::size_t reach() const {
        return std::max(static_cast<std::size_t>(position), disk.size()) + pending.size();
    }

    void do_open() {
        do_close();
        if (empties_at_open) {
            disk.clear();
        }
        open = true;
        position = appends ? static_cast<std::int64_t>(disk.size()) : 0;
        drop_read_ahead();
        size_known = false;
    }

    void do_close() {
        if (open) {
            hand_over_pending();
            open = false;
        }
    }

    std::uint64_t write(std::string_view data) {
        require_open();
        if (!writes) {
            throw std::runtime_error("File not open for writing");
        }
        return_read_ahead();
        if (data.size() > AsyncFileCore::kDirectWrite) {
            hand_over_pending();
            land(data);
        } else {
            if (pending.size() + data.size() > AsyncFileCore::kWriteBufferLimit) {
                hand_over_pending();
            }
            pending += data;
        }
        return data.size();
    }

    void writelines(const std::vector<std::string> &lines) {
        require_open();
        if (!writes) {
            throw std::runtime_error("File not open for writing");
        }
        return_read_ahead();
        std::uint64_t total = 0;
        for (const std::string &line : lines) {
            total += line.size();
            write(line);
        }
        if (total > AsyncFileCore::kWritelinesFlush) {
            hand_over_pending();
        }
    }

    std::int64_t seek(std::int64_t offset, int whence) {
        require_open();
        hand_over_pending();
        return_read_ahead();
        std::int64_t base = 0;
        if (whence == SEEK_CUR) {
            base = position;
        } else if (whence == SEEK_END) {
            base = static_cast<std::int64_t>(disk.size());
        } else if (whence != SEEK_SET) {
            throw std::runtime_error("Seek failed");
        }
        if (base + offset < 0) {
            throw std::runtime_error("Seek failed");
        }
        position = base + offset;
        drop_read_ahead();
        size_known = false;
        return position;
    }

    std::int64_t tell() const {
        require_open();
        return position - unread_ahead() + static_cast<std::int64_t>(pending.size());
    }

    std::string read(std::optional<std::uint64_t> count) {
        require_open();
        hand_over_pending();
        return_read_ahead();
        if (!count) {
            return read_to_end();
        }
        refuse_unrepresentable(*count);
        if (*count <= AsyncFileCore::kSmallRead && !reads) {
            throw std::runtime_error("pread failed");
        }
        return read_stream(*count);
    }

    std::string read1(std::optional<std::uint64_t> count) {
        require_open();
        hand_over_pending();
        return_read_ahead();
        const std::uint64_t wanted = count.value_or(AsyncFileCore::kRead1Default);
        refuse_unrepresentable(wanted);
        return read_stream(wanted);
    }

    std::string readinto(std::size_t count) {
        require_open();
        hand_over_pending();
        return_read_ahead();
        return read_stream(count);
    }

    std::string read_line(std::optional<std::uint64_t> limit) {
        require_open();
        hand_over_pending();
        if (follows_lines) {
            line_eof = false;
        }
        const std::uint64_t wanted = limit.value_or(kNoCount);
        std::string line;
        while (line.size() < wanted) {
            if (block_pos >= block.size() && !refill()) {
                break;
            }
            const std::size_t avail = static_cast<std::size_t>(
                std::min<std::uint64_t>(block.size() - block_pos, wanted - line.size()));
            const std::size_t newline = block.find('\n', block_pos);
            const bool ends = newline < block_pos + avail;
            const std::size_t take = ends ? newline - block_pos + 1 : avail;
            line.append(block, block_pos, take);
            block_pos += take;
            if (ends) {
                break;
            }
        }
        return line;
    }

    std::string read_lines() {
        require_open();
        hand_over_pending();
        return_read_ahead();
        std::string lines;
        // Where the size is a hint, lines are read to the end without measuring it.
        std::string rest = follows_lines ? read_stream(kNoCount) : read_to_end();
        for (std::size_t start = 0; start < rest.size();) {
            const std::size_t end = std::min(rest.find('\n', start), rest.size() - 1) + 1;
            lines += std::to_string(end - start) + ":" + rest.substr(start, end - start);
            start = end;
        }
        return lines;
    }

    void truncate(std::optional<std::uint64_t> size) {
        require_open();
        hand_over_pending();
        return_read_ahead();
        const std::uint64_t length = size.value_or(static_cast<std::uint64_t>(position));
        if (!writes ||
            length > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw std::runtime_error("Truncate failed");
        }
        disk.resize(static_cast<std::size_t>(length), '\0');
        size_known = false;
    }

    void flush() {
        require_open();
        hand_over_pending();
    }

    std::string pread(std::uint64_t count, std::uint64_t offset) {
        require_open();
        hand_over_pending();
        if (!reads) {
            throw std::runtime_error("pread failed");
        }
        if (offset >= disk.size()) {
            return {};
        }
        return disk.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(count));
    }

    std::uint64_t pwrite(std::string_view data, std::uint64_t offset) {
        require_open();
        hand_over_pending();
        if (!writes) {
            throw std::runtime_error("pwrite failed");
        }
        if (data.empty()) { // lands nothing, so a file shorter than the offset keeps its size
            return_read_ahead();
            return 0;
        }
        ++landings;
        const std::size_t at = appends ? disk.size() : static_cast<std::size_t>(offset);
        if (disk.size() < at + data.size()) {
            disk.resize(at + data.size(), '\0');
        }
        disk.replace(at, data.size(), data);
        return_read_ahead();
        return data.size();
    }

    // read_if_cached() that found the bytes cold: the checks and the hand-over, nothing read.
    std::string skip_read(std::optional<std::uint64_t> count) {
        require_open();
        hand_over_pending();
        return_read_ahead();
        if (count) {
            refuse_unrepresentable(*count);
        }
        return {};
    }

    std::int64_t read_position() const {
        require_open();
        return position - unread_ahead();
    }

    std::int64_t refill_position() const {
        require_open();
        return position;
    }

    bool restore_position(std::int64_t to) {
        require_open();
        if (to < 0) {
            return false;
        }
        return_read_ahead();
        position = to;
        return true;
    }

    std::uint64_t bytes_to_end() {
        require_open();
        hand_over_pending();
        return_read_ahead();
        measure_if_unknown();
        return position < cached_size ? static_cast<std::uint64_t>(cached_size - position) : 0;
    }

    // Counters of what touched the file: refills of the read-ahead and runs of bytes landed.
    int refills = 0;
    int landings = 0;

private:
    void require_open() const {
        if (!open) {
            throw std::runtime_error("File not open");
        }
    }

    static void refuse_unrepresentable(std::uint64_t count) {
        if (count > kSinkLimit) {
            throw std::length_error("read length exceeds the largest possible result");
        }
    }

    void drop_read_ahead() {
        block.clear();
        block_pos = 0;
        line_eof = false;
    }

    std::int64_t unread_ahead() const {
        return follows_lines ? static_cast<std::int64_t>(block.size() - block_pos) : 0;
    }

    // When reads follow lines, the position moves back over the unread rest of the block.
    void return_read_ahead() {
        if (follows_lines) {
            position -= unread_ahead();
            drop_read_ahead();
        }
    }

    void hand_over_pending() {
        if (!pending.empty()) {
            land(pending);
            pending.clear();
        }
    }

    // Bytes handed to the file: at the end in append modes, else at the position.
    void land(std::string_view bytes) {
        ++landings;
        std::size_t at = appends ? disk.size() : static_cast<std::size_t>(position);
        if (disk.size() < at + bytes.size()) {
            disk.resize(at + bytes.size(), '\0');
        }
        disk.replace(at, bytes.size(), bytes);
        position = static_cast<std::int64_t>(at + bytes.size());
    }

    std::string read_stream(std::uint64_t count) {
        const auto at = static_cast<std::size_t>(position);
        if (!reads || at >= disk.size()) {
            return {};
        }
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(count, disk.size() - at));
        position += static_cast<std::int64_t>(take);
        return disk.substr(at, take);
    }

    void measure_if_unknown() {
        if (!size_known) {
            cached_size = static_cast<std::int64_t>(disk.size());
            size_known = true;
        }
    }

    std::string read_to_end() {
        measure_if_unknown();
        if (follows_lines) {
            return read_stream(kNoCount); // the size is a hint: on to the end of the file
        }
        if (position >= cached_size) {
            return {};
        }
        return read_stream(static_cast<std::uint64_t>(cached_size - position));
    }

    bool refill() {
        if (line_eof) {
            return false;
        }
        ++refills;
        block = read_stream(AsyncFileCore::kLineBlock);
        block_pos = 0;
        line_eof = block.empty();
        return !block.empty();
    }

    std::string disk;             // the file's bytes
    bool follows_lines;           // set_reads_follow_lines(true)
    bool reads = false;           // the descriptor is open for reading
    bool writes = false;          // ... and for writing
    bool appends = false;         // bytes land at the end whatever the position
    bool empties_at_open = false; // "w" modes
    bool open = false;
    std::int64_t position = 0; // the stream's position
    std::string pending;       // accepted, not yet handed to the file
    std::string block;         // the read-ahead block
    std::size_t block_pos = 0; // next byte of block that read_line returns
    bool line_eof = false;     // the last refill read nothing
    bool size_known = false;
    std::int64_t cached_size = 0;
};

// ---- choices -------------------------------------------------------------------

std::size_t pick_size(FuzzedDataProvider &input) {
    return input.ConsumeBool() ? input.PickValueInArray(kSizes)
                               : input.ConsumeIntegralInRange<std::size_t>(0, 300);
}

std::optional<std::uint64_t> pick_count(FuzzedDataProvider &input, std::uint64_t low,
                                        std::uint64_t high) {
    switch (input.ConsumeIntegralInRange(0, 5)) {
    case 0:
        return std::nullopt;
    case 1:
        return input.PickValueInArray({kSinkLimit, kSinkLimit + 1, kNoCount});
    default:
        return input.ConsumeIntegralInRange(low, high);
    }
}

std::string text_of(std::int64_t value) { return std::to_string(value); }

std::vector<std::string> pick_lines(FuzzedDataProvider &input) {
    std::vector<std::string> lines(input.ConsumeIntegralInRange<std::size_t>(0, 4));
    for (std::string &line : lines) {
        line = pattern(pick_size(input), input.ConsumeIntegral<std::uint8_t>());
    }
    return lines;
}

std::size_t total_size(const std::vector<std::string> &lines) {
    std::size_t total = 0;
    for (const std::string &line : lines) {
        total += line.size();
    }
    return total;
}

// What touched the file so far: the model's refills and landings, the engine's waits.
struct Io {
    int refills, landings, waits;
    bool operator==(const Io &) const = default;
};

Io io_so_far(const Model &model, const CountingGate &gate) {
    return {model.refills, model.landings, gate.waits};
}

void expect_no_io(const char *step, bool promised, const Io &before, const Io &after) {
    if (promised && !(before == after)) {
        mismatch(step, "promised no I/O, yet " + std::to_string(after.refills - before.refills) +
                           " refills, " + std::to_string(after.landings - before.landings) +
                           " landings, " + std::to_string(after.waits - before.waits) + " waits");
    }
}

// Writes the file's dirty pages out and drops all its pages from the page cache.
void drop_from_page_cache(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        ::fsync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

// Where the object stands after every step, as tell() and read_position() say,
// which change nothing: a step that misplaces the position shows at once, not
// only when a later step happens to read or write there.
void check_position(const char *step, const AsyncFileCore &engine, const Model &model) {
    expect_same(
        step,
        outcome_of([&] { return text_of(engine.tell()) + " " + text_of(engine.read_position()); }),
        outcome_of([&] { return text_of(model.tell()) + " " + text_of(model.read_position()); }));
}

// The size of the file after every step, and its bytes now and then: reading
// them back costs more than the step itself.
void check_disk(const char *step, const std::string &path, const Model &model, bool whole) {
    struct stat status{};
    ::stat(path.c_str(), &status);
    const std::string &expected = model.bytes_on_disk();
    if (static_cast<std::size_t>(status.st_size) != expected.size() ||
        (whole && file_bytes(path) != expected)) {
        mismatch(step, "file holds " + shown(file_bytes(path)) + ", model " + shown(expected));
    }
}

// ---- the run -------------------------------------------------------------------

// /dev/shm keeps runs fast; on a disk file system read_if_cached() finds bytes cached or cold
// (tmpfs answers no read without waiting).
std::string scratch_path(bool on_disk) {
    const char *temporary = std::getenv("TMPDIR");
    const char *directory = !on_disk && access("/dev/shm", W_OK) == 0 ? "/dev/shm" : temporary;
    return std::string(directory ? directory : "/tmp") + "/larkspan-fuzz-" +
           std::to_string(::getpid());
}

// parse_mode keeps the b and + anywhere and wants exactly one r, w or a besides.
void check_parse_mode(std::string_view mode) {
    std::string letters(mode);
    std::erase(letters, 'b');
    std::erase(letters, '+');
    const std::size_t plain = letters.size() == 1 ? std::string_view("rwa").find(letters[0]) : 3;
    // An error message is a C string, so it ends at a NUL in the mode.
    Outcome want{true, ("Invalid file mode: " + std::string(mode)).c_str()};
    if (plain < 3) {
        const std::size_t value = plain + (mode.find('+') != mode.npos ? 3 : 0);
        want = {false, std::to_string(value) + (mode.find('b') != mode.npos ? "b" : "")};
    }
    expect_same("parse_mode", outcome_of([&] {
                    const auto [open_mode, binary] = AsyncFileCore::parse_mode(mode);
                    return std::to_string(static_cast<int>(open_mode)) + (binary ? "b" : "");
                }),
                want);
}

// pread and pwrite as the binding makes them beside the object's other calls.
std::string positional_read(AsyncFileCore &engine, std::uint64_t count, std::uint64_t offset) {
    if (engine.descriptor() < 0) {
        throw NotOpenError();
    }
    engine.flush_write_buffer();
    const int fd = engine.descriptor();
    StringSink sink;
    const std::uint64_t room =
        first_room(fd, engine.is_regular_file(), count, offset, AsyncFileCore::kSmallRead);
    const auto length = read_positionally(
        sink, count, room, offset, [&](char *destination, std::size_t size, std::uint64_t at) {
            return std::optional(read_at(fd, destination, size, at));
        });
    return sink.bytes.substr(0, *length);
}

std::uint64_t positional_write(AsyncFileCore &engine, std::string_view data, std::uint64_t offset) {
    if (engine.descriptor() < 0) {
        throw NotOpenError();
    }
    engine.flush_write_buffer();
    std::size_t written = 0;
    do { // an empty write asks the kernel too, which refuses a descriptor not open for writing
        const std::size_t taken =
            write_at(engine.descriptor(), data.substr(written), offset + written);
        if (taken == 0) {
            break;
        }
        written += taken;
    } while (written < data.size());
    engine.forget_read_ahead();
    return written;
}

// read(count) cut into pieces of `piece` bytes, read in the order `order` gives, as the binding
// cuts a large read; the position is left after the bytes that arrived in one run.
std::string split_read(AsyncFileCore &engine, std::uint64_t count, std::size_t piece,
                       FuzzedDataProvider &input) {
    engine.bytes_to_end();
    const std::int64_t start = engine.read_position();
    const auto size = file_size(engine.descriptor()).value_or(0);
    const auto from = static_cast<std::uint64_t>(start);
    const std::uint64_t wanted = std::min(count, size > from ? size - from : 0);
    SplitRead plan(from, wanted, piece);
    std::string bytes(static_cast<std::size_t>(wanted), '\0');
    std::vector<std::size_t> order(plan.pieces());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    for (std::size_t i = order.size(); i > 1; --i) {
        std::swap(order[i - 1], order[input.ConsumeIntegralInRange<std::size_t>(0, i - 1)]);
    }
    for (const std::size_t index : order) {
        plan.read_piece(engine.descriptor(), bytes.data(), index);
    }
    const SplitRead::Outcome outcome = plan.outcome();
    if (outcome.error_number != 0) {
        throw IoError("Read failed", outcome.error_number);
    }
    engine.restore_position(start + static_cast<std::int64_t>(outcome.arrived));
    return bytes.substr(0, static_cast<std::size_t>(outcome.arrived));
}

void run(FuzzedDataProvider &input) {
    check_parse_mode(input.ConsumeRandomLengthString(6));
    const char *mode = input.PickValueInArray(kModes);
    const std::string path = scratch_path(input.ConsumeBool());
    const std::string initial = pattern(pick_size(input), input.ConsumeIntegral<std::uint8_t>());
    write_file(path, initial);
    const bool follow = input.ConsumeBool();

    Model model(mode, initial, follow);
    CountingGate gate;
    std::optional<AsyncFileCore> engine(std::in_place, path, mode);
    engine->set_wait_gate(&gate);
    engine->set_reads_follow_lines(follow);
    engine->set_size_is_a_hint(follow);
    engine->open();
    model.do_open();
    std::int64_t mark = 0; // the last read_position(), for restore_position()

    for (int step = 0; step < 48 && input.remaining_bytes() > 0; ++step) {
        Outcome got, want;
        const char *name = "";
        switch (input.ConsumeIntegralInRange(0, 27)) {
        case 0:
        case 1: {
            name = "write";
            const std::string data =
                pattern(pick_size(input), input.ConsumeIntegral<std::uint8_t>());
            if (model.reach() + data.size() > kLargestFile) {
                continue;
            }
            got = outcome_of([&] { return std::to_string(engine->write(data)); });
            want = outcome_of([&] { return std::to_string(model.write(data)); });
            break;
        }
        case 2: {
            name = "writelines";
            const std::vector<std::string> lines = pick_lines(input);
            if (model.reach() + total_size(lines) > kLargestFile) {
                continue;
            }
            const std::vector<std::string_view> views(lines.begin(), lines.end());
            got = outcome_of([&] { return engine->writelines(views), std::string(); });
            want = outcome_of([&] { return model.writelines(lines), std::string(); });
            break;
        }
        case 3: {
            name = "seek";
            const auto offset = input.ConsumeIntegralInRange<std::int64_t>(-300000, 1 << 20);
            const int whence = input.PickValueInArray({SEEK_SET, SEEK_CUR, SEEK_END, -1, 7});
            got = outcome_of([&] { return text_of(engine->seek(offset, whence)); });
            want = outcome_of([&] { return text_of(model.seek(offset, whence)); });
            break;
        }
        case 4:
            name = "tell";
            got = outcome_of([&] { return text_of(engine->tell()); });
            want = outcome_of([&] { return text_of(model.tell()); });
            break;
        case 5:
        case 6: {
            name = "read";
            const auto count = input.ConsumeBool() ? pick_count(input, 0, AsyncFileCore::kSmallRead)
                                                   : pick_count(input, 8193, 600000);
            got = outcome_of([&] {
                StringSink sink;
                const std::size_t length = engine->read(count, sink);
                return sink.bytes.substr(0, length);
            });
            want = outcome_of([&] { return model.read(count); });
            break;
        }
        case 7: {
            name = "read1";
            const auto count = pick_count(input, 0, 600000);
            got = outcome_of([&] {
                StringSink sink;
                const std::size_t length = engine->read1(count, sink);
                return sink.bytes.substr(0, length);
            });
            want = outcome_of([&] { return model.read1(count); });
            break;
        }
        case 8: {
            name = "readinto";
            std::string buffer(input.ConsumeIntegralInRange<std::size_t>(0, 300000), '\0');
            got = outcome_of([&] {
                const std::size_t length = engine->readinto(buffer);
                return buffer.substr(0, length);
            });
            want = outcome_of([&] { return model.readinto(buffer.size()); });
            break;
        }
        case 9:
        case 10: {
            name = "read_line";
            const auto limit = pick_count(input, 0, 300000);
            got = outcome_of([&] { return std::string(engine->read_line(limit)); });
            want = outcome_of([&] { return model.read_line(limit); });
            break;
        }
        case 11: {
            name = "read_lines";
            got = outcome_of([&] {
                LineList lines;
                engine->read_lines(std::nullopt, lines);
                return lines.text;
            });
            want = outcome_of([&] { return model.read_lines(); });
            break;
        }
        case 12: {
            name = "truncate";
            const auto size = pick_count(input, 0, kLargestFile);
            if (size ? *size != kNoCount && *size > kLargestFile : model.reach() > kLargestFile) {
                continue;
            }
            got = outcome_of([&] { return engine->truncate(size), std::string(); });
            want = outcome_of([&] { return model.truncate(size), std::string(); });
            break;
        }
        case 13:
            name = "flush";
            got = outcome_of([&] { return engine->flush(), std::string(); });
            want = outcome_of([&] { return model.flush(), std::string(); });
            break;
        case 14:
            name = "close";
            got = outcome_of([&] { return engine->close(), std::string(); });
            want = outcome_of([&] { return model.do_close(), std::string(); });
            break;
        case 15: {
            name = "read_if_cached";
            const auto count = pick_count(input, 0, 600000); // none: to the end
            got = outcome_of([&] {
                StringSink sink;
                const auto length = engine->read_if_cached(count, sink);
                return length ? "+" + sink.bytes.substr(0, *length) : std::string("-");
            });
            const bool found = !got.threw && got.text.starts_with('+');
            want = outcome_of(
                [&] { return found ? "+" + model.read(count) : "-" + model.skip_read(count); });
            break;
        }
        case 16: {
            name = "restore_position";
            const auto to = input.ConsumeBool() ? mark
                                                : input.ConsumeIntegralInRange<std::int64_t>(
                                                      -2, static_cast<std::int64_t>(model.reach()));
            got = outcome_of([&] { return text_of(engine->restore_position(to)); });
            want = outcome_of([&] { return text_of(model.restore_position(to)); });
            break;
        }
        case 17:
            name = "read_position and refill_position";
            got = outcome_of([&] {
                mark = engine->read_position();
                return text_of(mark) + " " + text_of(engine->refill_position());
            });
            want = outcome_of([&] {
                return text_of(model.read_position()) + " " + text_of(model.refill_position());
            });
            break;
        case 18: {
            name = "read_line when line_is_buffered";
            const auto limit = pick_count(input, 0, 300000);
            const bool buffered = engine->line_is_buffered(limit);
            const bool pending = engine->pending_bytes() != 0;
            const Io before = io_so_far(model, gate);
            got = outcome_of([&] { return std::string(engine->read_line(limit)); });
            want = outcome_of([&] { return model.read_line(limit); });
            const Io after = io_so_far(model, gate);
            // Pending writes go out first; past them a buffered line makes no I/O at all.
            expect_no_io(name, buffered && !pending, before, after);
            if (buffered && after.refills != before.refills) {
                mismatch(name, "a buffered line refilled the read-ahead");
            }
            break;
        }
        case 19: {
            name = "write when write_stays_buffered";
            const std::string data =
                pattern(pick_size(input), input.ConsumeIntegral<std::uint8_t>());
            if (model.reach() + data.size() > kLargestFile) {
                continue;
            }
            const bool buffered = engine->write_stays_buffered(data.size());
            const Io before = io_so_far(model, gate);
            got = outcome_of([&] { return std::to_string(engine->write(data)); });
            want = outcome_of([&] { return std::to_string(model.write(data)); });
            expect_no_io(name, buffered, before, io_so_far(model, gate));
            break;
        }
        case 20: {
            name = "writelines when lines_stay_buffered";
            const std::vector<std::string> lines = pick_lines(input);
            const std::size_t total = total_size(lines);
            if (model.reach() + total > kLargestFile) {
                continue;
            }
            std::size_t longest = 0;
            for (const std::string &line : lines) {
                longest = std::max(longest, line.size());
            }
            const bool buffered = engine->lines_stay_buffered(total, longest);
            const std::vector<std::string_view> views(lines.begin(), lines.end());
            const Io before = io_so_far(model, gate);
            got = outcome_of([&] { return engine->writelines(views), std::string(); });
            want = outcome_of([&] { return model.writelines(lines), std::string(); });
            expect_no_io(name, buffered, before, io_so_far(model, gate));
            break;
        }
        case 21:
            name = "bytes_to_end";
            got = outcome_of([&] { return std::to_string(engine->bytes_to_end()); });
            want = outcome_of([&] { return std::to_string(model.bytes_to_end()); });
            break;
        case 22: {
            name = "sync";
            const bool data_only = input.ConsumeBool();
            got = outcome_of([&] { return engine->sync(data_only), std::string(); });
            want = outcome_of([&] { return model.flush(), std::string(); });
            break;
        }
        case 23:
            drop_from_page_cache(path);
            continue;
        case 24: {
            name = "pread";
            const auto count = pick_count(input, 0, 600000).value_or(0);
            const auto offset = input.ConsumeIntegralInRange<std::uint64_t>(0, model.reach() + 10);
            got = outcome_of([&] { return positional_read(*engine, count, offset); });
            want = outcome_of([&] { return model.pread(count, offset); });
            break;
        }
        case 25: {
            name = "pwrite";
            const std::string data =
                pattern(pick_size(input), input.ConsumeIntegral<std::uint8_t>());
            const auto offset = input.ConsumeIntegralInRange<std::uint64_t>(0, model.reach() + 10);
            if (std::max<std::uint64_t>(offset, model.reach()) + data.size() > kLargestFile) {
                continue;
            }
            got = outcome_of([&] { return text_of(positional_write(*engine, data, offset)); });
            want = outcome_of([&] { return text_of(model.pwrite(data, offset)); });
            break;
        }
        case 26: {
            name = "read in pieces";
            if (model.is_open() && !model.readable()) {
                continue; // refused before it is cut
            }
            const std::uint64_t count = input.ConsumeIntegralInRange<std::uint64_t>(0, 600000);
            const std::size_t piece = input.PickValueInArray<std::size_t>({1000, 4096, 65537});
            got = outcome_of([&] { return split_read(*engine, count, piece, input); });
            // As the split job does, bytes_to_end() first: it hands the pending writes and the
            // read-ahead over, and measures the size for the reads to the end that follow.
            want = outcome_of([&] { return model.bytes_to_end(), model.read(count); });
            break;
        }
        default:
            name = "open";
            got = outcome_of([&] { return engine->open(), std::string(); });
            want = outcome_of([&] { return model.do_open(), std::string(); });
            break;
        }
        expect_same(name, got, want);
        if (engine->seekable() != model.is_open() || engine->writable() != model.writable()) {
            mismatch(name, "seekable or writable");
        }
        check_position(name, *engine, model);
        check_disk(name, path, model, !model.is_open() || step % 8 == 7);
    }

    // Half the runs end by destruction, which hands pending bytes over as close does.
    const bool destroy = input.ConsumeBool();
    // Half move the object there and back first: the object moved to carries on where it stood,
    // pending bytes included, and each one moved from closes nothing when it goes.
    if (input.ConsumeBool()) {
        AsyncFileCore moved(std::move(*engine));
        engine.reset();
        engine.emplace(std::move(moved));
        check_position("move", *engine, model);
        check_disk("move", path, model, true);
    }
    if (!destroy) {
        expect_same("final close", outcome_of([&] { return engine->close(), std::string(); }), {});
    }
    engine.reset();
    model.do_close();
    check_disk(destroy ? "destruction" : "final close", path, model, true);
    ::unlink(path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    run(input);
    return 0;
}

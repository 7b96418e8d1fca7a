// The rules that every operation below keeps:
//
// - Pending writes go out first. Bytes accepted by write() wait in
//   write_buffer; every operation that touches the stream hands them over
//   through flush_write_buffer() before it reads, moves, flushes, cuts or
//   closes. tell() is the one exception: it adds write_len to the position.
// - Bytes reach the file through the descriptor, never through stdio's own
//   buffer: hand_over() drops stdio's read-ahead, writes, and repositions the
//   stream after the bytes. So stdio only ever holds input, reads need no
//   flush first, and a failed write loses nothing that could be retried.
// - Positional reads bypass stdio as well. Rather than repositioning the
//   stream after each one, they leave the new position in deferred_position;
//   position() reports it, and settle_position() moves the stream there before
//   anything that reads through the stream or writes to the descriptor.
// - Every system call that can wait on a device or another process runs
//   inside a Waiting section, which tells the wait gate, if any; nothing in
//   such a section touches a sink or anything else a caller owns.
// - Only read_line() consumes the read-ahead block, and only open and a
//   successful seek discard it. Every other operation works from the stream
//   position, which after a refill lies at the end of the block.
// - When reads follow lines, every operation but read_line() first calls
//   return_read_ahead(): a regular file's position moves back over the unread
//   rest of the block (deferred, no system call) and the block is dropped;
//   from a pipe, reads take the rest before reading on. tell() subtracts it.
//   LineReadAhead holds the block and this mode.
// - The cached size is set by measure_size() alone and cleared by open, a
//   successful seek and a successful truncate. Writes leave it alone.
// - A failed read is never taken for the end of the file. The reads that go
//   through the stream or the descriptor note the failure in read_failure and
//   stop there, as at an end; the operation then raises it, unless it delivered
//   bytes first: those are returned, and the next read raises it. Streams opened
//   without reading are the exception: their reads deliver nothing, as ever.

#include "async_file_core.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <stdexcept>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

#include "engine_errors.hpp"
#include "positional_io.hpp"
#include "span_sink.hpp"
#include "submitted_write.hpp"

namespace {

// Whether stdio holds bytes read ahead of the stream's position: glibc's buffer pointers tell;
// elsewhere it may.
bool holds_input(std::FILE *stream) {
#ifdef __GLIBC__
    return stream->_IO_read_ptr < stream->_IO_read_end;
#else
    (void)stream;
    return true;
#endif
}

constexpr std::size_t kLineReserve = 1024;
// A stream read with a large count starts with this much room and doubles,
// so memory follows what arrives rather than what was asked for.
constexpr std::size_t kFirstStreamChunk = 1 << 22;

std::string remove_every(std::string text, char unwanted) {
    std::erase(text, unwanted);
    return text;
}

// The bytes from `start` up to and including the newline found by memchr.
std::size_t length_through(const char *start, const void *newline) {
    return static_cast<std::size_t>(static_cast<const char *>(newline) - start) + 1;
}

// Brackets a system call that can wait, so the gate's owner can let others run meanwhile.
// errno is kept across the gate, whose owner may make calls of its own.
class Waiting {
public:
    explicit Waiting(WaitGate *gate) : gate_(gate) {
        if (gate_ != nullptr) {
            gate_->before_wait();
        }
    }
    Waiting(const Waiting &) = delete;
    Waiting &operator=(const Waiting &) = delete;
    ~Waiting() {
        if (gate_ != nullptr) {
            const int saved = errno;
            gate_->after_wait();
            errno = saved;
        }
    }

private:
    WaitGate *gate_;
};

// The room of another sink past its first `offset` bytes, so a read can go on after bytes
// already stored.
class OffsetSink final : public ReadSink {
public:
    OffsetSink(ReadSink &inner, std::size_t offset) : inner_(inner), offset_(offset) {}
    char *reserve(std::size_t size) override { return inner_.reserve(offset_ + size) + offset_; }
    std::size_t max_size() const override { return inner_.max_size() - offset_; }

private:
    ReadSink &inner_;
    std::size_t offset_;
};

constexpr std::uint64_t kUntilInputEnds = std::numeric_limits<std::uint64_t>::max();

std::size_t to_size(std::uint64_t count) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, SIZE_MAX));
}

} // namespace

AsyncFileCore::AsyncFileCore(const std::string &filename, const std::string &mode)
    : filename(filename), open_mode(OpenMode::Read), mode(mode) {
    std::tie(open_mode, binary) = parse_mode(mode);
}

AsyncFileCore::~AsyncFileCore() { close_no_throw(); }

static_assert(std::is_nothrow_move_constructible_v<AsyncFileCore>);

std::pair<OpenMode, bool> AsyncFileCore::parse_mode(std::string_view mode) {
    const bool binary = mode.find('b') != std::string_view::npos;
    const std::string letter = remove_every(remove_every(std::string(mode), 'b'), '+');
    int value;
    if (letter == "r") {
        value = static_cast<int>(OpenMode::Read);
    } else if (letter == "w") {
        value = static_cast<int>(OpenMode::Write);
    } else if (letter == "a") {
        value = static_cast<int>(OpenMode::Append);
    } else {
        throw std::invalid_argument("Invalid file mode: " + std::string(mode));
    }
    if (mode.find('+') != std::string_view::npos) {
        value += 3;
    }
    return {static_cast<OpenMode>(value), binary};
}

const char *AsyncFileCore::fopen_mode_string(OpenMode open_mode, bool binary) {
    static constexpr const char *kText[] = {"r", "w", "a", "r+", "w+", "a+"};
    static constexpr const char *kBinary[] = {"rb", "wb", "ab", "r+b", "w+b", "a+b"};
    const auto index = static_cast<std::size_t>(open_mode);
    return binary ? kBinary[index] : kText[index];
}

// ---- lifecycle ---------------------------------------------------------

void AsyncFileCore::open() {
    if (filename.find('\0') != std::string::npos) {
        // fopen would silently open the path cut at the NUL.
        throw std::invalid_argument("embedded null byte");
    }
    // Reopening flushes and closes the earlier stream, so nothing leaks or is dropped.
    close();

    auto buffer = std::make_unique_for_overwrite<char[]>(kStdioBuffer);
    // Owned here until every allocation has succeeded, so a failure closes it.
    std::unique_ptr<std::FILE, StreamCloser> stream;
    int error_number = 0;
    {
        const Waiting waiting(wait_gate);
        stream.reset(std::fopen(filename.c_str(), fopen_mode_string(open_mode, binary)));
        error_number = errno;
    }
    if (!stream) {
        throw_open_error(error_number);
    }
    take_stream(std::move(stream), std::move(buffer));
}

void AsyncFileCore::open_descriptor(int descriptor) {
    close();
    auto buffer = std::make_unique_for_overwrite<char[]>(kStdioBuffer);
    std::unique_ptr<std::FILE, StreamCloser> stream(
        ::fdopen(descriptor, fopen_mode_string(open_mode, binary)));
    if (!stream) {
        throw_open_error(errno);
    }
    take_stream(std::move(stream), std::move(buffer));
}

void AsyncFileCore::throw_open_error(int error_number) const {
    throw OpenError("Failed to open file: " + filename + " - " + std::strerror(error_number),
                    error_number, filename);
}

void AsyncFileCore::take_stream(std::unique_ptr<std::FILE, StreamCloser> stream,
                                std::unique_ptr<char[]> buffer) {
    struct stat status;
    {
        const Waiting waiting(wait_gate);
        regular_file = ::fstat(fileno(stream.get()), &status) == 0 && S_ISREG(status.st_mode);
    }
    file_device = regular_file ? static_cast<std::uint64_t>(status.st_dev) : 0;
    read_ahead.attach(regular_file);
    if (read_ahead.reads_once()) {
        // A pipe's reads return what has arrived; stdio must then hold none of it back, or a
        // read from the descriptor would pass those bytes by.
        std::setvbuf(stream.get(), nullptr, _IONBF, 0);
    } else {
        // glibc ignores the size when given no buffer, so the stream gets one of ours.
        std::setvbuf(stream.get(), buffer.get(), _IOFBF, kStdioBuffer);
    }
    if (!buffers_on_demand) {
        read_scratch.reserve(kBufferCapacity);
        write_buffer.reserve(kBufferCapacity);
        read_ahead.reserve(kBufferCapacity);
    }
    stdio_buffer = std::move(buffer);
    file = std::move(stream);
    // Append streams start where the writes land, as Python's own files do (glibc
    // starts "a+" at 0); others where the descriptor stands (0 for a path just
    // opened). The seek also gives stdio a known offset, so tell() makes no system
    // call until something moves the stream.
    const bool appends = open_mode == OpenMode::Append || open_mode == OpenMode::AppendUpdate;
    {
        const Waiting waiting(wait_gate);
        std::fseek(file.get(), 0, appends ? SEEK_END : SEEK_CUR);
    }
    write_len = 0;
    deferred_position.reset();
    reset_position_state();
}

void AsyncFileCore::close() {
    if (file == nullptr) {
        return;
    }
    flush_write_buffer();
    release_stream();
}

void AsyncFileCore::close_even_if_flush_fails() {
    if (file == nullptr) {
        return;
    }
    try {
        flush_write_buffer();
    } catch (const IoError &) {
        // The bytes that could not go out go with the stream, and the flush's failure is the
        // one reported, whatever fclose then says.
        write_len = 0;
        release_stream_no_throw();
        throw;
    }
    release_stream();
}

void AsyncFileCore::release_stream() {
    // stdio gives the stream up whatever fclose returns.
    int result;
    int error_number;
    {
        const Waiting waiting(wait_gate);
        result = std::fclose(file.release());
        error_number = errno;
    }
    stdio_buffer.reset();
    if (result != 0) {
        throw IoError("Failed to close file: " + filename, error_number);
    }
    read_scratch.release();
    write_buffer.release();
    read_ahead.release();
    line_assembly.release();
    reset_position_state(); // the read-ahead block is gone with its array
}

// The one place that swallows errors: a destructor has nobody to report to.
void AsyncFileCore::close_no_throw() noexcept {
    if (file == nullptr) {
        return;
    }
    try {
        flush_write_buffer();
    } catch (...) { // NOLINT(bugprone-empty-catch): the one place that swallows errors
    }
    release_stream_no_throw();
}

void AsyncFileCore::release_stream_no_throw() noexcept {
    try {
        release_stream();
    } catch (const IoError &) { // NOLINT(bugprone-empty-catch): the destructor's, see above
        // fclose failed, and the stream is released all the same; its failure has nobody to go to.
    }
}

void AsyncFileCore::measure_size() {
    if (regular_file) {
        // The size fseek to the end would give (glibc takes it from fstat), without the read of
        // the file's last block that fseek makes on its way there. stdio drops what it read ahead,
        // as after the fseeks, so the read that follows sees the file as it is now; only then,
        // since the flush also makes stdio forget its offset, and every ftell after it an lseek.
        std::optional<std::uint64_t> size;
        {
            const Waiting waiting(wait_gate);
            if (holds_input(file.get())) {
                std::fflush(file.get());
            }
            size = file_size(fileno(file.get()));
        }
        if (size) {
            cached_size = static_cast<std::int64_t>(*size);
            size_known = true;
            return;
        }
    }
    settle_position();
    const Waiting waiting(wait_gate);
    const long position = std::ftell(file.get());
    std::fseek(file.get(), 0, SEEK_END);
    cached_size = std::ftell(file.get());
    std::fseek(file.get(), position, SEEK_SET);
    size_known = true;
}

// ---- shared steps --------------------------------------------------------

void AsyncFileCore::require_open() const {
    if (file == nullptr) {
        throw NotOpenError();
    }
}

void AsyncFileCore::require_writable() const {
    if (open_mode == OpenMode::Read) {
        // Accepting the bytes would only make every later flush fail.
        throw ModeError("File not open for writing", "write");
    }
}

// The read-ahead and the size cache describe the old position; drop both.
void AsyncFileCore::reset_position_state() {
    read_ahead.drop();
    size_known = false;
    read_failure = 0; // it belongs to the old position; a read from the new one finds its own
}

// A count the result could never hold is refused, even where fewer bytes would arrive.
void AsyncFileCore::require_representable(std::uint64_t count, const ReadSink &sink) {
    if (count > sink.max_size()) {
        throw std::length_error("read length exceeds the largest possible result");
    }
}

long AsyncFileCore::position() const {
    return deferred_position ? *deferred_position : std::ftell(file.get());
}

void AsyncFileCore::settle_position() {
    if (deferred_position) {
        const Waiting waiting(wait_gate);
        std::fseek(file.get(), *deferred_position, SEEK_SET);
        deferred_position.reset();
    }
}

// From the position to the recorded size, measured when the cache is invalid.
// ftell fails on pipes and terminals, and measure_size records that failure:
// such a stream has no size to read up to, so it is read until its input ends.
std::uint64_t AsyncFileCore::bytes_to_recorded_end() {
    if (!size_known) {
        measure_size();
    }
    const long start = position();
    if (start < 0 || cached_size < 0) {
        return kUntilInputEnds;
    }
    return start < cached_size ? static_cast<std::uint64_t>(cached_size - start) : 0;
}

// ---- reading -------------------------------------------------------------

std::size_t AsyncFileCore::read(std::optional<std::uint64_t> count, ReadSink &sink) {
    require_open();
    flush_write_buffer();
    return_read_ahead();
    report_read_failure(false);
    if (!count) {
        return reporting_failure(
            after_read_ahead(kUntilInputEnds, sink,
                             [&](std::uint64_t, ReadSink &rest) { return read_to_end(rest); }));
    }
    require_representable(*count, sink);
    return reporting_failure(
        after_read_ahead(*count, sink, [&](std::uint64_t wanted, ReadSink &rest) {
            // A stream read once has no position to pread at.
            if (wanted <= kSmallRead && !read_ahead.reads_once()) {
                return read_at_position(static_cast<std::size_t>(wanted), rest);
            }
            return read_through_stream(wanted, rest);
        }));
}

std::size_t AsyncFileCore::read1(std::optional<std::uint64_t> count, ReadSink &sink) {
    require_open();
    flush_write_buffer();
    return_read_ahead();
    report_read_failure(false);
    const std::uint64_t wanted = count.value_or(kRead1Default);
    require_representable(wanted, sink);
    if (!read_ahead.lent().empty()) {
        // At most one read: the bytes already read ahead are it.
        return after_read_ahead(wanted, sink, [](std::uint64_t, ReadSink &) { return 0; });
    }
    if (read_ahead.reads_once()) {
        const std::size_t room = to_size(std::min(wanted, kRead1Default));
        return reporting_failure(read_once(sink.reserve(room), room));
    }
    return reporting_failure(read_through_stream(wanted, sink));
}

// One read from the descriptor, retried only when a signal interrupted it; a failure reads
// nothing and is noted.
std::size_t AsyncFileCore::read_once(char *destination, std::size_t count) {
    settle_position();
    ssize_t got;
    int failure = 0;
    {
        const Waiting waiting(wait_gate);
        do {
            got = ::read(fileno(file.get()), destination, count);
        } while (got < 0 && errno == EINTR);
        failure = got < 0 ? errno : 0;
    }
    note_read_failure(failure);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

std::size_t AsyncFileCore::readinto(std::span<char> destination) {
    require_open();
    flush_write_buffer();
    return_read_ahead();
    report_read_failure(false);
    if (destination.empty()) {
        return 0;
    }
    SpanSink sink(destination);
    return reporting_failure(
        after_read_ahead(destination.size(), sink, [&](std::uint64_t wanted, ReadSink &rest) {
            return read_from_stream(rest.reserve(to_size(wanted)), to_size(wanted));
        }));
}

// ---- the read-ahead when reads follow lines -----------------------------------------

// A regular file's position moves back over what read_line() left unread.
void AsyncFileCore::return_read_ahead() {
    if (const std::uint64_t back = read_ahead.give_back(); back != 0) {
        deferred_position = position() - static_cast<long>(back);
    }
}

// Up to `count` bytes: those left in the read-ahead block first, then `read` of the rest
// (`read` gets the count still wanted and a sink that stores after the block's bytes).
template <typename Read>
std::size_t AsyncFileCore::after_read_ahead(std::uint64_t count, ReadSink &sink, Read &&read) {
    const std::string_view lent = read_ahead.lent();
    const std::size_t taken = to_size(std::min<std::uint64_t>(count, lent.size()));
    if (taken == 0) {
        return read(count, sink);
    }
    std::memcpy(sink.reserve(taken), lent.data(), taken);
    read_ahead.consume(taken);
    if (taken == count) {
        return taken;
    }
    OffsetSink rest(sink, taken);
    return taken + read(count == kUntilInputEnds ? count : count - taken, rest);
}

// glibc keeps a stream at end of file once it has seen the end, but the file
// may have grown since; every read asks the file again, as Python's files do.
// A failure ends the read like the end of the file, and is noted; a signal
// that interrupted it does not count as one.
std::size_t AsyncFileCore::read_from_stream(char *destination, std::size_t count) {
    settle_position();
    std::size_t got = 0;
    int failure = 0;
    {
        const Waiting waiting(wait_gate);
        do {
            std::clearerr(file.get());
            got += std::fread(destination + got, 1, count - got, file.get());
            failure = got < count && std::ferror(file.get()) ? errno : 0;
        } while (failure == EINTR);
    }
    note_read_failure(failure);
    return got;
}

void AsyncFileCore::note_read_failure(int failure) {
    // A stream opened without reading delivers nothing, and is not failing for that.
    if (failure != 0 && open_mode != OpenMode::Write && open_mode != OpenMode::Append) {
        read_failure = failure;
    }
}

void AsyncFileCore::report_read_failure(bool delivered) {
    if (read_failure != 0 && !delivered) {
        const int failure = std::exchange(read_failure, 0);
        throw IoError(std::string("Read failed: ") + std::strerror(failure), failure);
    }
}

// Reads the descriptor at the object's position, past stdio's buffer, and
// leaves the stream to be moved after the bytes read when it is next needed.
std::size_t AsyncFileCore::read_at_position(std::size_t count, ReadSink &sink) {
    const long start = position();
    char *destination = sink.reserve(count);
    ssize_t got;
    {
        const Waiting waiting(wait_gate);
        got = ::pread(fileno(file.get()), destination, count, start);
    }
    if (got < 0) {
        throw IoError("pread failed", errno);
    }
    deferred_position = start + got;
    return static_cast<std::size_t>(got);
}

std::size_t AsyncFileCore::read_through_stream(std::uint64_t count, ReadSink &sink) {
    const std::size_t limit = to_size(count);
    std::size_t room = std::min(limit, kFirstStreamChunk);
    std::size_t got = 0;
    for (;;) {
        char *destination = sink.reserve(room);
        const std::size_t wanted = room - got;
        const std::size_t arrived = read_from_stream(destination + got, wanted);
        got += arrived;
        if (arrived < wanted || got == limit) {
            return got;
        }
        room = limit - room < room ? limit : room * 2;
    }
}

std::size_t AsyncFileCore::read_to_end(ReadSink &sink) {
    const std::uint64_t remaining = bytes_to_recorded_end();
    if (remaining == kUntilInputEnds) {
        return read_through_stream(remaining, sink);
    }
    std::size_t got = 0;
    if (remaining != 0) {
        got = read_from_stream(sink.reserve(to_size(remaining)), to_size(remaining));
    }
    if (!size_is_a_hint || got < remaining) {
        return got;
    }
    return got + read_past_recorded_end(sink, got);
}

// The recorded size was only a hint: /proc and sysfs report 0 or a page for files that hold
// more, and a file may have grown. Reads go on until the input ends, as Python's readall does;
// a first small read into the stack costs the sink no growth when, as usual, nothing follows.
std::size_t AsyncFileCore::read_past_recorded_end(ReadSink &sink, std::size_t stored) {
    char probe[kSmallRead];
    const std::size_t more = read_from_stream(probe, sizeof probe);
    if (more != 0) {
        std::memcpy(sink.reserve(stored + more) + stored, probe, more);
    }
    if (more < sizeof probe) {
        return more;
    }
    OffsetSink rest(sink, stored + more);
    return more + read_through_stream(kUntilInputEnds, rest);
}

// ---- lines ----------------------------------------------------------------

bool AsyncFileCore::refill_line_buffer() {
    if (read_ahead.end_seen() || read_failure != 0) {
        return false;
    }
    const std::span<char> room = read_ahead.refill_room(kLineBlock);
    const std::size_t got = read_ahead.reads_once() ? read_once(room.data(), room.size())
                                                    : read_from_stream(room.data(), room.size());
    // After a failure the next refill asks again.
    read_ahead.refilled(got, read_failure != 0);
    return got != 0;
}

std::string_view AsyncFileCore::read_line(std::optional<std::uint64_t> limit) {
    require_open();
    flush_write_buffer();
    report_read_failure(false);
    const std::string_view line = assemble_line(limit);
    report_read_failure(!line.empty());
    return line;
}

std::string_view AsyncFileCore::assemble_line(std::optional<std::uint64_t> limit) {
    const std::uint64_t wanted = limit.value_or(std::numeric_limits<std::uint64_t>::max());
    if (wanted == 0 || (read_ahead.unread().empty() && !refill_line_buffer())) {
        return {};
    }

    // Fast path: the line ends inside the block, so the caller reads it in place.
    std::string_view block = read_ahead.unread();
    std::size_t available = to_size(std::min<std::uint64_t>(block.size(), wanted));
    const void *newline = std::memchr(block.data(), '\n', available);
    if (newline != nullptr || available == wanted) {
        const std::size_t take = newline ? length_through(block.data(), newline) : available;
        read_ahead.consume(take);
        return block.substr(0, take);
    }

    // The line runs past the block: gather it across refills.
    line_assembly.resize(0);
    line_assembly.reserve(std::max(kLineReserve, available));
    for (;;) {
        const std::size_t held = line_assembly.size();
        line_assembly.resize(held + available);
        std::memcpy(line_assembly.data() + held, block.data(), available);
        read_ahead.consume(available);
        if (newline != nullptr || line_assembly.size() == wanted || !refill_line_buffer()) {
            break;
        }
        block = read_ahead.unread();
        available = to_size(std::min<std::uint64_t>(block.size(), wanted - line_assembly.size()));
        newline = std::memchr(block.data(), '\n', available);
        if (newline != nullptr) {
            available = length_through(block.data(), newline);
        }
    }
    return {line_assembly.data(), line_assembly.size()};
}

// Hands every line that ends inside read_scratch[0, end) to the sink and
// returns where the unfinished rest begins.
std::size_t AsyncFileCore::emit_complete_lines(std::size_t end, LineSink &sink) {
    const char *bytes = read_scratch.data();
    std::size_t start = 0;
    while (const void *newline = std::memchr(bytes + start, '\n', end - start)) {
        const std::size_t next = length_through(bytes, newline);
        sink.add({bytes + start, next - start});
        start = next;
    }
    return start;
}

// Reads the rest in chunks through read_scratch rather than in one piece, so
// the memory stays small and warm; the lines are the same either way.
void AsyncFileCore::read_lines(std::optional<std::uint64_t> /*hint*/, LineSink &sink) {
    require_open();
    flush_write_buffer();
    return_read_ahead();
    report_read_failure(false);
    report_read_failure(read_rest_as_lines(sink));
}

// Returns whether any bytes arrived.
bool AsyncFileCore::read_rest_as_lines(LineSink &sink) {
    // Where the size is a hint, the chunks are read until the input ends (see
    // read_past_recorded_end).
    std::uint64_t remaining = size_is_a_hint ? kUntilInputEnds : bytes_to_recorded_end();
    if (remaining == 0) {
        return false;
    }
    const std::string_view lent = read_ahead.lent();
    read_scratch.resize(std::max(read_scratch.size(), lent.size() + kBufferCapacity));
    std::size_t held = 0; // an unfinished line at the front of read_scratch
    bool delivered = !lent.empty();
    if (!lent.empty()) {
        // A stream without a position: the lines start with what was read ahead.
        std::memcpy(read_scratch.data(), lent.data(), lent.size());
        read_ahead.consume(lent.size());
        held = lent.size();
    }
    for (;;) {
        if (read_scratch.size() - held < kStdioBuffer) {
            read_scratch.resize(read_scratch.size() * 2); // a line nearly as long as the chunk
        }
        // Whole multiples of stdio's buffer go from the descriptor straight into
        // the chunk in one read; a remainder would cost a second, buffered one.
        const std::size_t room = (read_scratch.size() - held) / kStdioBuffer * kStdioBuffer;
        const std::size_t wanted = to_size(std::min<std::uint64_t>(remaining, room));
        const std::size_t got = read_from_stream(read_scratch.data() + held, wanted);
        delivered = delivered || got != 0;
        remaining -= got;
        const std::size_t end = held + got;
        const std::size_t start = emit_complete_lines(end, sink);
        held = end - start;
        if (got < wanted || remaining == 0) {
            if (held != 0) {
                sink.add({read_scratch.data() + start, held});
            }
            return delivered;
        }
        std::memmove(read_scratch.data(), read_scratch.data() + start, held);
    }
}

// ---- writing ---------------------------------------------------------------

// Writes to the descriptor rather than through fwrite: glibc empties its
// buffer when a write fails, so bytes it had accepted could never be retried.
// Advances by what the kernel takes, stops at the first error, and moves the
// stream after the bytes written, so tell() reports what landed.
std::size_t AsyncFileCore::hand_over(const char *data, std::size_t size, int &failure) {
    // Drops stdio's read-ahead and brings the descriptor back to the stream's
    // position; stdio then no longer trusts its cached offset either.
    settle_position();
    const Waiting waiting(wait_gate);
    if (std::fflush(file.get()) != 0) {
        failure = errno;
        return 0;
    }
    const int fd = fileno(file.get());
    std::size_t written = write_as_one_request(fd, data, size);
    while (written < size) {
        const ssize_t taken = ::write(fd, data + written, size - written);
        if (taken > 0) {
            written += static_cast<std::size_t>(taken);
        } else if (taken == 0 || errno != EINTR) {
            failure = taken == 0 ? EIO : errno;
            break;
        }
    }
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end >= 0) {
        std::fseek(file.get(), end, SEEK_SET);
    }
    return written;
}

// What a large write handed to the kernel in one request took, with the descriptor moved after
// it; 0 when it did not go that way. A failed request leaves the whole write to write(2), whose
// failure is the one builtin files report. Not for O_APPEND, where the kernel picks the offset.
std::size_t AsyncFileCore::write_as_one_request(int fd, const char *data, std::size_t size) const {
    if (!submits_large_writes || !regular_file || size < kSubmittedWrite) {
        return 0;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    const off_t offset = ::lseek(fd, 0, SEEK_CUR);
    if (flags < 0 || (flags & O_APPEND) != 0 || offset < 0) {
        return 0;
    }
    const std::optional<ssize_t> taken = write_submitted(fd, data, size, offset);
    if (!taken || *taken <= 0) {
        return 0;
    }
    ::lseek(fd, offset + *taken, SEEK_SET);
    return static_cast<std::size_t>(*taken);
}

void AsyncFileCore::flush_write_buffer() {
    if (write_len == 0) {
        return;
    }
    int failure = 0;
    const std::size_t taken = hand_over(write_buffer.data(), write_len, failure);
    if (taken != write_len) {
        // The write may have taken some of the data; keep only the rest pending,
        // so a retry never writes a byte twice.
        std::memmove(write_buffer.data(), write_buffer.data() + taken, write_len - taken);
        write_len -= taken;
        throw IoError("Failed to flush write buffer", failure);
    }
    write_len = 0;
}

void AsyncFileCore::write_directly(std::string_view data) {
    int failure = 0;
    if (hand_over(data.data(), data.size(), failure) != data.size()) {
        throw IoError("Failed to write complete data", failure);
    }
}

std::uint64_t AsyncFileCore::write(std::string_view data) {
    require_open();
    require_writable();
    return_read_ahead();
    const std::size_t count = data.size();
    if (count > kDirectWrite) {
        flush_write_buffer();
        write_directly(data);
        return count;
    }
    if (write_len + count > kWriteBufferLimit) {
        flush_write_buffer();
    }
    write_buffer.reserve(kBufferCapacity); // made here when buffers come on demand
    if (write_buffer.size() < write_len + count) {
        write_buffer.resize(write_len + count);
    }
    std::memcpy(write_buffer.data() + write_len, data.data(), count);
    write_len += count;
    return count;
}

void AsyncFileCore::writelines(std::span<const std::string_view> lines) {
    require_open();
    require_writable();
    return_read_ahead();
    std::uint64_t total = 0;
    for (const std::string_view line : lines) {
        total += line.size();
    }
    for (const std::string_view line : lines) {
        write(line);
    }
    if (total > kWritelinesFlush) {
        flush_write_buffer();
    }
}

// ---- positioning -------------------------------------------------------------

std::int64_t AsyncFileCore::seek(std::int64_t offset, int whence) {
    require_open();
    flush_write_buffer();
    return_read_ahead();
    if (whence == SEEK_SET && regular_file && 0 <= offset) {
        if (offset > position()) {
            move_descriptor_to(offset); // the file system's say on how far a file may go
        }
        // The stream moves when it is next used, as after a positional read.
        deferred_position = offset;
    } else {
        if (whence == SEEK_CUR) {
            settle_position();
        }
        // A failed seek leaves the object where it was, deferred position included.
        const Waiting waiting(wait_gate);
        if (std::fseek(file.get(), offset, whence) != 0) {
            throw IoError("Seek failed", errno);
        }
        deferred_position.reset();
    }
    reset_position_state();
    return position();
}

// Not by fseek, which reads from the block boundary before the target to the target (or a whole
// buffer) before it moves: a wait on storage for bytes nobody asked for, on every forward seek to
// an unaligned place. The descriptor moves alone, after stdio dropped what it read ahead.
void AsyncFileCore::move_descriptor_to(std::int64_t offset) {
    int failure = 0;
    {
        const Waiting waiting(wait_gate);
        if (std::fflush(file.get()) != 0 || ::lseek(fileno(file.get()), offset, SEEK_SET) < 0) {
            failure = errno;
        }
    }
    if (failure != 0) {
        throw IoError("Seek failed", failure);
    }
}

// SEEK_DATA and SEEK_HOLE, which stdio does not know: the descriptor finds the place, and the
// stream moves there before its next use. stdio first gives back what it read ahead, so that
// nothing it holds refers to where the descriptor stood (a later fflush would seek back from
// the new place by the bytes it held).
std::int64_t AsyncFileCore::seek_by_descriptor(std::int64_t offset, int whence) {
    require_open();
    flush_write_buffer();
    return_read_ahead();
    settle_position();
    off_t landed = -1;
    int failure;
    {
        const Waiting waiting(wait_gate);
        if (std::fflush(file.get()) == 0) {
            landed = ::lseek(fileno(file.get()), offset, whence);
        }
        failure = errno;
    }
    if (landed < 0) {
        throw IoError("Seek failed", failure);
    }
    deferred_position = landed;
    reset_position_state();
    return landed;
}

std::int64_t AsyncFileCore::tell() const {
    require_open();
    const long position = this->position();
    if (position == -1) {
        throw IoError("Tell failed", errno);
    }
    return position - static_cast<std::int64_t>(read_ahead.lent().size()) +
           static_cast<std::int64_t>(write_len);
}

void AsyncFileCore::flush() {
    require_open();
    flush_write_buffer();
    const Waiting waiting(wait_gate);
    if (std::fflush(file.get()) != 0) {
        throw IoError("Flush failed", errno);
    }
}

void AsyncFileCore::truncate(std::optional<std::uint64_t> size) {
    flush();
    return_read_ahead();
    const long position = this->position();
    if (!size && position < 0) {
        throw IoError("Truncate failed", errno); // no position to cut at: ftell's verdict
    }
    const auto length = size ? static_cast<off_t>(*size) : static_cast<off_t>(position);
    int result;
    {
        const Waiting waiting(wait_gate);
        result = ::ftruncate(fileno(file.get()), length);
    }
    if (result != 0) {
        throw IoError("Truncate failed", errno);
    }
    size_known = false;
}

bool AsyncFileCore::isatty() const {
    require_open();
    const Waiting waiting(wait_gate);
    return ::isatty(fileno(file.get())) != 0;
}

// ---- durability -----------------------------------------------------------------

void AsyncFileCore::sync(bool data_only) {
    flush();
    int result;
    {
        const Waiting waiting(wait_gate);
        result = data_only ? ::fdatasync(fileno(file.get())) : ::fsync(fileno(file.get()));
    }
    if (result != 0) {
        throw IoError("Sync failed", errno);
    }
}

// ---- facts for placing calls -------------------------------------------------------

std::int64_t AsyncFileCore::read_position() const {
    require_open();
    const long position = this->position();
    return position < 0 ? position : position - static_cast<long>(read_ahead.lent().size());
}

std::int64_t AsyncFileCore::refill_position() const {
    require_open();
    return position();
}

bool AsyncFileCore::write_stays_buffered(std::uint64_t count) const {
    return count <= kDirectWrite && write_len + count <= kWriteBufferLimit;
}

// Each write() of the lines then only copies, and the total stays below the final flush.
bool AsyncFileCore::lines_stay_buffered(std::uint64_t total, std::uint64_t longest) const {
    return longest <= kDirectWrite && write_len + total <= kWriteBufferLimit;
}

bool AsyncFileCore::line_is_buffered(std::optional<std::uint64_t> limit) const {
    const std::uint64_t wanted = limit.value_or(std::numeric_limits<std::uint64_t>::max());
    if (wanted == 0) {
        return true;
    }
    const std::string_view block = read_ahead.unread();
    if (block.empty()) {
        return read_ahead.end_seen();
    }
    const std::size_t available = to_size(std::min<std::uint64_t>(block.size(), wanted));
    return available == wanted || std::memchr(block.data(), '\n', available) != nullptr;
}

std::uint64_t AsyncFileCore::bytes_to_end() {
    require_open();
    flush_write_buffer();
    return_read_ahead();
    return bytes_to_recorded_end(); // nothing is left ahead of a regular file's position
}

std::optional<std::size_t> AsyncFileCore::read_if_cached(std::optional<std::uint64_t> limit,
                                                         ReadSink &sink) {
    require_open();
    flush_write_buffer();
    return_read_ahead();
    report_read_failure(false);
    if (limit) {
        require_representable(*limit, sink);
    }
    // A read that does not happen leaves the size cache as it found it: read() later measures
    // the file as it then is, with the writes made meanwhile.
    const bool measured_before = size_known;
    // Without a limit, the bytes read() would return: to the end of the input, or of the size
    // recorded where that is no hint.
    const std::uint64_t count = limit            ? *limit
                                : size_is_a_hint ? kUntilInputEnds
                                                 : bytes_to_recorded_end();
    const std::optional<std::size_t> got = read_without_waiting(count, sink);
    if (!got) {
        size_known = measured_before;
    } else if (!limit && !size_known) {
        // The read found where the file ends, which is the size read() would have measured.
        record_end_found(*got);
    }
    return got;
}

// Where a read to the end found the end: after the last byte it took or, when it took none, where
// fstat puts it, since the position may lie past the end. Still unknown when fstat fails.
void AsyncFileCore::record_end_found(std::size_t taken) {
    if (taken != 0) {
        cached_size = position();
    } else if (const std::optional<std::uint64_t> size = file_size(fileno(file.get()))) {
        cached_size = static_cast<std::int64_t>(*size);
    } else {
        return;
    }
    size_known = true;
}

std::optional<std::size_t> AsyncFileCore::read_without_waiting(std::uint64_t count,
                                                               ReadSink &sink) {
    const int fd = fileno(file.get());
    const long start = position();
    if (!regular_file || start < 0) {
        return std::nullopt;
    }
    std::size_t wanted = to_size(count);
    if (count > kSmallRead) {
        // Room for what the file holds now, not for a count far beyond its end.
        const auto size = file_size(fd);
        if (!size) {
            return std::nullopt;
        }
        const auto from = static_cast<std::uint64_t>(start);
        wanted = to_size(std::min(count, *size > from ? *size - from : 0));
    }
    auto got = cache_probe.read(fd, sink.reserve(wanted), wanted, start);
    if (got && *got == wanted && wanted < count) {
        // The file may have grown since fstat: the end is where nothing more is there at once.
        char probe;
        if (read_at_if_cached(fd, &probe, 1, start + static_cast<long>(wanted)) != 0u) {
            got.reset();
        }
    }
    if (got) {
        deferred_position = start + static_cast<long>(*got);
    }
    return got;
}

bool AsyncFileCore::restore_position(std::int64_t position) {
    require_open();
    if (!regular_file || position < 0) {
        return false;
    }
    return_read_ahead();
    deferred_position = static_cast<long>(position);
    read_failure = 0; // the reads from there find their own
    return true;
}

void AsyncFileCore::forget_read_ahead() {
    if (file == nullptr || !regular_file) {
        return;
    }
    return_read_ahead();
    // glibc serves a seek inside its buffer from the buffer; a flush of an input stream drops it
    // and moves the descriptor back to the stream's position (an lseek, no data).
    std::fflush(file.get());
}

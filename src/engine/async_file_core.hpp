#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "byte_buffer.hpp"
#include "cache_probe.hpp"
#include "line_read_ahead.hpp"
#include "line_sink.hpp"
#include "read_sink.hpp"
#include "wait_gate.hpp"

// How the stream is opened. Each update mode is its plain mode plus 3.
enum class OpenMode : std::int32_t {
    Read = 0,
    Write = 1,
    Append = 2,
    ReadUpdate = 3,
    WriteUpdate = 4,
    AppendUpdate = 5,
};

// A file over one stdio stream, with a write-gathering buffer, a line
// read-ahead block and a cached size layered above it. Works on byte strings
// and reports every failure by throwing.
class AsyncFileCore {
public:
    static constexpr std::size_t kBufferCapacity = 0x40000; // each of the three arrays
    static constexpr std::size_t kLineBlock = 0x40000;      // one read-ahead refill
    static constexpr std::size_t kStdioBuffer = 0x10000;    // the stream's own buffer
    static constexpr std::uint64_t kSmallRead = 8192;       // largest positional read
    static constexpr std::uint64_t kRead1Default = 0x40000; // read1() without a count
    static constexpr std::uint64_t kDirectWrite = 0x20000;  // larger writes skip the buffer
    static constexpr std::uint64_t kWriteBufferLimit = 0x40000;
    static constexpr std::uint64_t kWritelinesFlush = 0x80000;
    static constexpr std::uint64_t kSubmittedWrite = 0x80000; // see submit_large_writes

    AsyncFileCore(const std::string &filename, const std::string &mode);
    ~AsyncFileCore();
    // The object moved from is left closed, so its destructor closes nothing.
    AsyncFileCore(AsyncFileCore &&) noexcept = default;
    AsyncFileCore(const AsyncFileCore &) = delete;
    AsyncFileCore &operator=(const AsyncFileCore &) = delete;
    AsyncFileCore &operator=(AsyncFileCore &&) = delete;

    static std::pair<OpenMode, bool> parse_mode(std::string_view mode);
    static const char *fopen_mode_string(OpenMode open_mode, bool binary);

    void open();
    // Opens a stream over `descriptor` at its current offset; the stream owns it from then on.
    // When no stream can be made over it (OpenError), it stays the caller's.
    void open_descriptor(int descriptor);
    // Leaves the stream open when the pending writes cannot go out, so that they can be retried.
    void close();
    // Releases the stream whatever the flush of the pending writes does, as Python's own files
    // do; the flush's failure, when there is one, is thrown afterwards and the bytes are dropped.
    void close_even_if_flush_fails();
    const std::string &get_filename() const { return filename; }
    const std::string &get_mode() const { return mode; }

    // Reading: each returns the number of bytes stored into the sink.
    std::size_t read(std::optional<std::uint64_t> count, ReadSink &sink);
    std::size_t read1(std::optional<std::uint64_t> count, ReadSink &sink);
    std::size_t readinto(std::span<char> destination);

    // The view stays valid until the next call on this object.
    std::string_view read_line(std::optional<std::uint64_t> limit);
    // Every line from the position to the recorded size (to the end of the
    // input on a pipe); `hint` is accepted and has no effect.
    void read_lines(std::optional<std::uint64_t> hint, LineSink &sink);

    std::uint64_t write(std::string_view data);
    void writelines(std::span<const std::string_view> lines);
    void flush_write_buffer();

    std::int64_t seek(std::int64_t offset, int whence);
    // For the whence values that stdio does not know, SEEK_DATA and SEEK_HOLE; its errors as
    // seek's.
    std::int64_t seek_by_descriptor(std::int64_t offset, int whence);
    std::int64_t tell() const;
    void flush();
    void truncate(std::optional<std::uint64_t> size);
    bool isatty() const;
    bool seekable() const { return file != nullptr; }
    bool writable() const { return open_mode != OpenMode::Read; }

    // Brackets every system call that can wait; null (the default) for none.
    void set_wait_gate(WaitGate *gate) { wait_gate = gate; }

    // With `follow` set, reads, writes, seeks from the current position and tell() take up where
    // read_line() left off, as Python's own files do, rather than after the read-ahead block; and
    // read_line() at the end of the input asks the file again each time, since it may have grown.
    // Set before open().
    void set_reads_follow_lines(bool follow) { read_ahead.set_follows_reads(follow); }

    // With `hint` set, read() without a count and read_lines() read until the input ends, as
    // Python's own files do, and take the recorded size for a hint: files in /proc and sysfs report
    // 0 or a page whatever they hold. Without it they stop at the recorded size.
    void set_size_is_a_hint(bool hint) { size_is_a_hint = hint; }

    // With `on_demand` set, open() reserves none of the three buffers: the write buffer is made
    // at the first write, the line and chunk buffers at their first refill, so a file opened to
    // be read once never takes and gives back their 768 KiB (brk calls and fresh pages, half the
    // cost of a cached open, read and close). Set before open().
    void set_buffers_on_demand(bool on_demand) { buffers_on_demand = on_demand; }

    // With `submit` set, a write to a regular file of at least kSubmittedWrite bytes goes to the
    // kernel as one asynchronous request (write_submitted), for storage that serves requests side
    // by side; stdio and write(2) carry out the rest of it, and every write where that is refused.
    void submit_large_writes(bool submit) { submits_large_writes = submit; }

    // Hands the pending writes over, then asks the file system to make the file's bytes (and,
    // unless `data_only`, its metadata) durable.
    void sync(bool data_only);

    // ---- facts for deciding where a call may run; none of these touches the file ----

    int descriptor() const { return file ? fileno(file.get()) : -1; }
    bool is_regular_file() const { return regular_file; }
    // The device holding a regular file (st_dev), as fstat told at open; 0 for other streams.
    std::uint64_t device() const { return file_device; }
    std::uint64_t pending_bytes() const { return write_len; }
    // Where the next read through the stream or by position starts.
    std::int64_t read_position() const;
    // Where read_line() reads when the read-ahead block holds no whole line: past the block.
    std::int64_t refill_position() const;
    // write() of `count` bytes only copies them into the write buffer.
    bool write_stays_buffered(std::uint64_t count) const;
    // writelines() of lines totalling `total` bytes, none longer than `longest`, only copies them.
    bool lines_stay_buffered(std::uint64_t total, std::uint64_t longest) const;
    // read_line() is served from the read-ahead block, or ends at the end of input, without a
    // refill (pending writes aside).
    bool line_is_buffered(std::optional<std::uint64_t> limit) const;

    // From the position to the recorded size, measuring it first when unknown; the largest
    // uint64 for a stream that has no size (read until its input ends).
    std::uint64_t bytes_to_end();

    // Up to `limit` bytes from the read position of a regular file (all to the end of the input
    // when nullopt), the bytes read() would return, served only when the kernel has every one of
    // them in memory; nullopt when it would have to wait for storage, with nothing consumed.
    // Where the system cannot tell, nullopt too.
    std::optional<std::size_t> read_if_cached(std::optional<std::uint64_t> limit, ReadSink &sink);

    // Puts a regular file's read position back to `position`, an earlier read_position(), so
    // bytes read by a call whose result nobody took are read again. The size cache stays as it
    // is, and so does the read-ahead block unless reads follow lines (it lies past the old
    // position then). False, changing nothing, where the file has no such position (a pipe,
    // FIFO, socket or device).
    bool restore_position(std::int64_t position);

    // Forgets what a regular file's stream holds read ahead of the position (the line block when
    // reads follow lines, and stdio's own buffer), so the next read asks the file again: a write
    // by position may have changed those bytes since. The position stays where reads take up.
    void forget_read_ahead();

private:
    void require_open() const;
    void require_writable() const;
    static void require_representable(std::uint64_t count, const ReadSink &sink);
    struct StreamCloser {
        void operator()(std::FILE *stream) const { std::fclose(stream); }
    };
    [[noreturn]] void throw_open_error(int error_number) const;
    void take_stream(std::unique_ptr<std::FILE, StreamCloser> stream,
                     std::unique_ptr<char[]> buffer);
    std::size_t hand_over(const char *data, std::size_t size, int &failure);
    std::size_t write_as_one_request(int fd, const char *data, std::size_t size) const;
    void reset_position_state();
    void measure_size();
    bool refill_line_buffer();
    long position() const;
    void settle_position();
    std::uint64_t bytes_to_recorded_end();
    // The preadv2(RWF_NOWAIT) behind read_if_cached; nullopt when the kernel would wait.
    std::optional<std::size_t> read_without_waiting(std::uint64_t count, ReadSink &sink);
    void record_end_found(std::size_t taken);
    std::size_t read_from_stream(char *destination, std::size_t count);
    void note_read_failure(int failure);
    // Throws the failure noted by a read, unless that read `delivered` bytes.
    void report_read_failure(bool delivered);
    // What a read operation delivered, once any failure it met without delivering is thrown.
    template <typename Count> Count reporting_failure(Count delivered) {
        report_read_failure(delivered != 0);
        return delivered;
    }
    std::string_view assemble_line(std::optional<std::uint64_t> limit);
    bool read_rest_as_lines(LineSink &sink);
    std::size_t read_at_position(std::size_t count, ReadSink &sink);
    std::size_t read_through_stream(std::uint64_t count, ReadSink &sink);
    std::size_t read_to_end(ReadSink &sink);
    std::size_t read_past_recorded_end(ReadSink &sink, std::size_t stored);
    std::size_t emit_complete_lines(std::size_t end, LineSink &sink);
    void write_directly(std::string_view data);
    void release_stream();
    void release_stream_no_throw() noexcept;
    void close_no_throw() noexcept;
    std::size_t read_once(char *destination, std::size_t count);
    void return_read_ahead();
    void move_descriptor_to(std::int64_t offset);
    template <typename Read>
    std::size_t after_read_ahead(std::uint64_t count, ReadSink &sink, Read &&read);

    std::string filename;        // path for fopen, as given
    OpenMode open_mode;          // from parse_mode
    bool binary = false;         // the mode string holds a b
    std::string mode;            // the mode string, as given
    ByteBuffer read_scratch;     // chunks of the rest while read_lines splits them
    ByteBuffer write_buffer;     // its first write_len bytes are pending
    LineReadAhead read_ahead;    // read_line's block, and what reads following lines make of it
    std::uint64_t write_len = 0; // pending bytes; at most kWriteBufferLimit
    bool size_known = false;     // cached_size is valid
    bool submits_large_writes = false;
    bool buffers_on_demand = false;
    std::int64_t cached_size = 0;

    // The stream's buffer, declared before the stream so that it outlives it: stdio uses it
    // until fclose.
    std::unique_ptr<char[]> stdio_buffer;
    std::unique_ptr<std::FILE, StreamCloser> file; // the open stream; null while closed
    bool regular_file = false;                     // any position from 0 up is valid
    std::uint64_t file_device = 0;                 // see device()
    // Where the stream must move before its next use.
    std::optional<long> deferred_position;
    CacheProbe cache_probe;        // read_if_cached's, which remembers a miss
    ByteBuffer line_assembly;      // a line that spans refills, gathered for read_line
    WaitGate *wait_gate = nullptr; // told around each call that can wait; may be null
    bool size_is_a_hint = false;   // see set_size_is_a_hint()
    int read_failure = 0; // errno of a failed read whose operation delivered bytes; 0 for none
};

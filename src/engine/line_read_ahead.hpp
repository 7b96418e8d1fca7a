#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "byte_buffer.hpp"

// The block that read_line() reads ahead into, and the one mode that decides what the other
// operations make of its unread rest.
//
// - By default the block is read_line()'s alone. After a refill the stream's position lies at the
//   block's end, every other operation works from there and leaves the block be, and an end of
//   input that a refill met is remembered until the block is dropped.
// - When reads follow lines, as in Python's own files, every other operation takes up where
//   read_line() left off. First it has the unread rest given back (give_back()): a stream with a
//   position moves back over it and the block is dropped; a stream without one (a pipe) keeps it
//   for the reads to take before reading on (lent()). tell() subtracts what is lent. An end of
//   input is never remembered, since the file may grow, and a stream without a position is read
//   once per refill (reads_once()).
//
// The mode is set before the stream is opened; attach() tells which kind of stream it is.
class LineReadAhead {
public:
    void set_follows_reads(bool follow) { follows_reads_ = follow; }
    // A new stream; whether it has a position (a regular file) decides how the rest goes back.
    void attach(bool stream_has_position) { stream_has_position_ = stream_has_position; }

    // When reads follow lines, a stream without a position answers a refill or read1() with what
    // has arrived, as Python's files do, rather than waiting for a whole block: a line that has
    // come down a pipe must not wait for 256 KiB more or for the writer to close.
    bool reads_once() const { return follows_reads_ && !stream_has_position_; }

    // Bytes read from the stream that its position does not count as read yet: the unread rest
    // when reads follow lines, none otherwise.
    std::string_view lent() const { return follows_reads_ ? unread() : std::string_view(); }

    // Before every operation but read_line() when reads follow lines: how far a stream with a
    // position moves back over the unread rest, which is dropped; 0 when the rest stays lent.
    std::uint64_t give_back() {
        if (!follows_reads_) {
            return 0;
        }
        at_end_ = false;
        const std::uint64_t unread = len_ - pos_;
        if (unread == 0 || !stream_has_position_) {
            return 0;
        }
        pos_ = 0;
        len_ = 0;
        return unread;
    }

    // ---- the block --------------------------------------------------------------------

    std::string_view unread() const { return {block_.data() + pos_, len_ - pos_}; }
    void consume(std::size_t count) { pos_ += count; }
    // A refill would find nothing: the last one met the end of input, which is remembered.
    bool end_seen() const { return at_end_ && !follows_reads_; }
    // Where a refill reads to, at least `block` bytes.
    std::span<char> refill_room(std::size_t block) {
        if (block_.size() < block) {
            block_.resize(block);
        }
        return {block_.data(), block_.size()};
    }
    // A refill that read `got` bytes; one that failed has not met the end.
    void refilled(std::size_t got, bool failed) {
        len_ = got;
        pos_ = 0;
        at_end_ = got == 0 && !failed;
    }
    void drop() {
        pos_ = 0;
        len_ = 0;
        at_end_ = false;
    }
    void reserve(std::size_t capacity) { block_.reserve(capacity); }
    // Drops the block and gives its memory back.
    void release() {
        block_.release();
        drop();
    }

private:
    ByteBuffer block_;                 // its bytes [pos_, len_) are unread
    std::uint64_t pos_ = 0;            // next unread byte; <= len_
    std::uint64_t len_ = 0;            // valid bytes; <= block_.size()
    bool at_end_ = false;              // the last refill read nothing without failing
    bool follows_reads_ = false;       // see set_follows_reads()
    bool stream_has_position_ = false; // see attach()
};

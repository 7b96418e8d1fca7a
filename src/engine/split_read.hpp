#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "storage.hpp"

// One large read from a regular file on storage that waits, carried out as positional pieces kept
// in flight together: a network or FUSE file system serves concurrent requests side by side, and
// a disk given many requests at once reads ahead of a single reader. The bytes and the position it
// leaves are those of one read of the same range: the result is the run of bytes that arrived
// from the start on, up to the first piece that came back short or failed.
class SplitRead {
public:
    // How a read on `storage` is cut: `piece` bytes each, at most `depth` of them in flight, and
    // only reads of at least `least` bytes; a piece of 0 where reads are not cut.
    struct Shape {
        std::size_t piece;
        std::size_t depth;
        std::uint64_t least;
    };
    static Shape shape_for(Storage storage);

    struct Piece {
        std::uint64_t offset; // in the file
        std::size_t length;   // asked for
        std::size_t got = 0;  // arrived, from the offset on
        int error_number = 0; // the failure that stopped it, or 0
    };

    // [start, start + length) of the file cut into pieces of `piece` bytes.
    SplitRead(std::uint64_t start, std::uint64_t length, std::size_t piece);

    std::uint64_t start() const { return start_; }
    std::uint64_t length() const { return length_; }
    std::size_t pieces() const { return pieces_.size(); }
    Piece &piece(std::size_t index) { return pieces_[index]; }

    // Reads piece `index` of `fd` into `destination`, the memory of the whole range, until it is
    // full, the file ends, or a read fails; touches nothing else, so the pieces may run at once.
    void read_piece(int fd, char *destination, std::size_t index);

    // The bytes that arrived in one run from the start, and the failure that ended the run short
    // (0 when the run ends at the end of the range or of the file).
    struct Outcome {
        std::uint64_t arrived;
        int error_number;
    };
    Outcome outcome() const;

private:
    std::uint64_t start_;
    std::uint64_t length_;
    std::vector<Piece> pieces_;
};

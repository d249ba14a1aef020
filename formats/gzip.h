// gzip decompression (RFC 1952 members holding RFC 1951 deflate data), so that a compressed
// file reads the same way under every host: MATLAB's MEX interface has no zlib, and a build
// dependency for a few hundred lines of decoder is not worth it.
//
// No host dependency. Input comes in through a reader and output leaves through a sink, a
// chunk at a time, so memory stays bounded whatever the size of the stream: a 32 KiB window
// and a buffer of output, besides the reader's own.
#ifndef ZELMOR_FORMATS_GZIP_H
#define ZELMOR_FORMATS_GZIP_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace zelmor::formats {

// Fills at most `capacity` bytes of `buffer` and returns how many; 0 only at the end of the input.
using ByteReader = std::function<std::size_t(unsigned char* buffer, std::size_t capacity)>;
// Takes the next `size` bytes of output.
using ByteSink = std::function<void(const char* data, std::size_t size)>;

// Data that are not a well-formed gzip stream. truncated(): the input ended inside a member
// (its deflate data or its trailer), as a copy cut short leaves it.
class GzipError : public std::runtime_error {
public:
    GzipError(bool truncated, const std::string& message) : std::runtime_error(message), truncated_(truncated) {}
    bool truncated() const noexcept { return truncated_; }

private:
    bool truncated_;
};

// Whether `data` begins with gzip's two magic bytes, 0x1f 0x8b.
bool startsLikeGzip(const unsigned char* data, std::size_t size);

// Decompresses the whole input into `emit`: one gzip member or several, one after the other (as
// `gzip -d` reads them), each checked against the CRC-32 and length of its trailer. Raises
// GzipError on anything else, data after the last member included; what was emitted before the
// error stands, so the caller decides what a partial output means. Exceptions from `read` and
// `emit` pass through.
void gunzip(const ByteReader& read, const ByteSink& emit);

// The CRC-32 of gzip's trailer (polynomial 0xEDB88320), continued from `crc` (0 to start).
std::uint32_t crc32(std::uint32_t crc, const unsigned char* data, std::size_t size);

}  // namespace zelmor::formats

#endif  // ZELMOR_FORMATS_GZIP_H

#include "gzip.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace zelmor::formats {

namespace {

// The farthest a deflate match reaches back, and so the output a decoder must keep.
constexpr std::size_t kWindowSize = 32768;
constexpr std::size_t kOutputChunk = std::size_t{1} << 20;
constexpr std::size_t kInputChunk = std::size_t{1} << 16;
constexpr int kMaxCodeLength = 15;
// Codes this long or shorter decode with one table look-up; longer ones are rare.
constexpr int kFastBits = 10;
constexpr int kLiteralLengthCodes = 288;
constexpr int kEndOfBlock = 256;

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtraBits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                               2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                             33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                             1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtraBits[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block gives the lengths of its code-length code.
constexpr std::uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Eight tables for eight bytes at a step: table k gives the CRC of a byte followed by k zeros.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;
constexpr CrcTables crcTables() {
    CrcTables tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        tables[0][n] = c;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t n = 0; n < 256; ++n) {
            tables[k][n] = (tables[k - 1][n] >> 8) ^ tables[0][tables[k - 1][n] & 0xFFu];
        }
    }
    return tables;
}
constexpr CrcTables kCrcTables = crcTables();

std::uint32_t littleEndian32(const unsigned char* data) {
    return static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
           static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
}

[[noreturn]] void corrupt(const char* what) {
    throw GzipError(false, std::string("the gzip data are corrupt: ") + what);
}

[[noreturn]] void endedEarly() {
    throw GzipError(true, "the gzip data end early: the file is cut short");
}

// The compressed stream as bits, least significant first, as deflate packs them.
class BitInput {
public:
    explicit BitInput(const ByteReader& read) : read_(read), buffer_(new unsigned char[kInputChunk]) {}

    // The next `count` (at most 32) bits, not taken; past the end of the input they read as
    // zeros, so that a short last code still decodes.
    std::uint32_t peek(int count) {
        if (bitCount_ < count) refill();
        return static_cast<std::uint32_t>(bits_ & ((std::uint64_t{1} << count) - 1));
    }

    void skip(int count) {
        if (bitCount_ < count) {
            refill();
            if (bitCount_ < count) endedEarly();
        }
        bits_ >>= count;
        bitCount_ -= count;
    }

    std::uint32_t take(int count) {
        const std::uint32_t value = peek(count);
        skip(count);
        return value;
    }

    std::uint32_t takeByte() { return take(8); }

    // Stored blocks and trailers start on a byte boundary. Whole bytes are loaded, so the bits
    // of a partly read byte are those beyond a multiple of 8.
    void alignToByte() { skip(bitCount_ % 8); }

    // On a byte boundary: whether no byte is left.
    bool atEnd() {
        if (bitCount_ < 8) refill();
        return bitCount_ == 0;
    }

private:
    void refill() {
        while (bitCount_ <= 56) {
            if (next_ == end_ && !fetch()) return;
            bits_ |= static_cast<std::uint64_t>(*next_++) << bitCount_;
            bitCount_ += 8;
        }
    }

    bool fetch() {
        if (ended_) return false;
        const std::size_t got = read_(buffer_.get(), kInputChunk);
        if (got == 0) {
            ended_ = true;
            return false;
        }
        next_ = buffer_.get();
        end_ = next_ + got;
        return true;
    }

    const ByteReader& read_;
    // Not cleared first: only what `read` filled is ever read.
    std::unique_ptr<unsigned char[]> buffer_;
    const unsigned char* next_ = nullptr;
    const unsigned char* end_ = nullptr;
    bool ended_ = false;
    std::uint64_t bits_ = 0;
    int bitCount_ = 0;
};

// Decoded bytes: the window that matches copy from, then the output not yet handed on.
class Output {
public:
    explicit Output(const ByteSink& emit) : emit_(emit), buffer_(new unsigned char[kCapacity]) {}

    void startMember() {
        crc_ = 0;
        memberBytes_ = 0;
    }

    void put(unsigned char byte) {
        if (pos_ == kCapacity) flush();
        buffer_[pos_++] = byte;
        ++memberBytes_;
    }

    void copyMatch(std::size_t distance, std::size_t length) {
        // Before the member's first byte lies another member's output, or nothing.
        if (distance > memberBytes_) corrupt("a match reaches back before the start of the data");
        if (pos_ + length > kCapacity) flush();
        unsigned char* to = buffer_.get() + pos_;
        const unsigned char* from = to - distance;
        if (distance >= length) {
            std::memcpy(to, from, length);
        } else {
            // Byte by byte, in order: the match repeats the bytes it writes.
            for (std::size_t i = 0; i < length; ++i) to[i] = from[i];
        }
        pos_ += length;
        memberBytes_ += length;
    }

    // Hands on everything decoded so far and keeps the window.
    void flush() {
        if (pos_ > emitted_) {
            const unsigned char* data = buffer_.get() + emitted_;
            const std::size_t size = pos_ - emitted_;
            crc_ = crc32(crc_, data, size);
            emit_(reinterpret_cast<const char*>(data), size);
        }
        if (pos_ > kWindowSize) {
            std::memmove(buffer_.get(), buffer_.get() + pos_ - kWindowSize, kWindowSize);
            pos_ = kWindowSize;
        }
        emitted_ = pos_;
    }

    std::uint32_t crc() const { return crc_; }
    std::uint64_t memberBytes() const { return memberBytes_; }

private:
    static constexpr std::size_t kCapacity = kWindowSize + kOutputChunk;
    const ByteSink& emit_;
    // Not cleared first: a match reads only bytes already written (copyMatch checks).
    std::unique_ptr<unsigned char[]> buffer_;
    std::size_t pos_ = 0;
    std::size_t emitted_ = 0;
    std::uint32_t crc_ = 0;
    std::uint64_t memberBytes_ = 0;
};

// A canonical Huffman code (RFC 1951, 3.2.2).
struct HuffmanCode {
    std::array<std::uint16_t, kMaxCodeLength + 1> counts{};  // how many codes of each length
    std::array<std::uint16_t, kLiteralLengthCodes> symbols{};  // in the order of their codes
    // Indexed by the next kFastBits bits: (length << 9) | symbol, or 0 for a longer code.
    std::array<std::uint16_t, 1 << kFastBits> fast{};
};

std::uint32_t reversed(std::uint32_t code, int length) {
    std::uint32_t result = 0;
    for (int i = 0; i < length; ++i) {
        result = (result << 1) | (code & 1);
        code >>= 1;
    }
    return result;
}

void buildCode(HuffmanCode& code, const std::uint8_t* lengths, int symbolCount) {
    code.counts.fill(0);
    for (int s = 0; s < symbolCount; ++s) ++code.counts[lengths[s]];
    code.counts[0] = 0;
    // More codes of some length than a prefix code can have. Fewer are allowed (a lone distance
    // code, for one): a code that is not there fails when it is met.
    int left = 1;
    for (int length = 1; length <= kMaxCodeLength; ++length) {
        left = left * 2 - code.counts[length];
        if (left < 0) corrupt("over-subscribed Huffman code lengths");
    }
    std::array<std::uint16_t, kMaxCodeLength + 2> offsets{};
    std::array<std::uint32_t, kMaxCodeLength + 1> nextCode{};
    for (int length = 1; length <= kMaxCodeLength; ++length) {
        offsets[length + 1] = static_cast<std::uint16_t>(offsets[length] + code.counts[length]);
        if (length > 1) nextCode[length] = (nextCode[length - 1] + code.counts[length - 1]) << 1;
    }
    code.fast.fill(0);
    for (int s = 0; s < symbolCount; ++s) {
        const int length = lengths[s];
        if (length == 0) continue;
        code.symbols[offsets[length]++] = static_cast<std::uint16_t>(s);
        const std::uint32_t canonical = nextCode[length]++;
        if (length <= kFastBits) {
            const auto entry = static_cast<std::uint16_t>((length << 9) | s);
            for (std::uint32_t i = reversed(canonical, length); i < (1u << kFastBits); i += 1u << length) {
                code.fast[i] = entry;
            }
        }
    }
}

int decodeSymbol(BitInput& in, const HuffmanCode& code) {
    const std::uint32_t bits = in.peek(kMaxCodeLength);
    const std::uint16_t entry = code.fast[bits & ((1u << kFastBits) - 1)];
    if (entry != 0) {
        in.skip(entry >> 9);
        return entry & 511;
    }
    // Huffman codes are packed most significant bit first: walk the lengths, comparing the bits
    // read so far with the first code of each length.
    int value = 0;
    int first = 0;
    int index = 0;
    for (int length = 1; length <= kMaxCodeLength; ++length) {
        value |= static_cast<int>((bits >> (length - 1)) & 1);
        const int count = code.counts[length];
        if (value < first + count) {
            in.skip(length);
            return code.symbols[index + value - first];
        }
        index += count;
        first = (first + count) << 1;
        value <<= 1;
    }
    corrupt("a Huffman code that the block does not define");
}

const HuffmanCode& fixedLiteralCode() {
    static const HuffmanCode code = [] {
        std::uint8_t lengths[kLiteralLengthCodes];
        for (int s = 0; s < kLiteralLengthCodes; ++s) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
        HuffmanCode built;
        buildCode(built, lengths, kLiteralLengthCodes);
        return built;
    }();
    return code;
}

const HuffmanCode& fixedDistanceCode() {
    static const HuffmanCode code = [] {
        std::uint8_t lengths[32];
        std::memset(lengths, 5, sizeof lengths);
        HuffmanCode built;
        buildCode(built, lengths, 32);
        return built;
    }();
    return code;
}

class Inflater {
public:
    Inflater(BitInput& in, Output& out) : in_(in), out_(out) {}

    void member() {
        bool last = false;
        while (!last) {
            last = in_.take(1) == 1;
            switch (in_.take(2)) {
                case 0:
                    storedBlock();
                    break;
                case 1:
                    compressedBlock(fixedLiteralCode(), fixedDistanceCode());
                    break;
                case 2:
                    readDynamicCodes();
                    compressedBlock(literals_, distances_);
                    break;
                default:
                    corrupt("a block of the reserved type 3");
            }
        }
    }

private:
    void storedBlock() {
        in_.alignToByte();
        const std::uint32_t length = in_.take(16);
        if ((in_.take(16) ^ 0xFFFFu) != length) corrupt("a stored block whose length fails its check");
        for (std::uint32_t i = 0; i < length; ++i) out_.put(static_cast<unsigned char>(in_.takeByte()));
    }

    void compressedBlock(const HuffmanCode& literals, const HuffmanCode& distances) {
        for (;;) {
            const int symbol = decodeSymbol(in_, literals);
            if (symbol < kEndOfBlock) {
                out_.put(static_cast<unsigned char>(symbol));
                continue;
            }
            if (symbol == kEndOfBlock) return;
            const int lengthCode = symbol - kEndOfBlock - 1;
            if (lengthCode >= 29) corrupt("an undefined length code");
            const std::size_t length = kLengthBase[lengthCode] + in_.take(kLengthExtraBits[lengthCode]);
            const int distanceCode = decodeSymbol(in_, distances);
            if (distanceCode >= 30) corrupt("an undefined distance code");
            const std::size_t distance = kDistanceBase[distanceCode] + in_.take(kDistanceExtraBits[distanceCode]);
            out_.copyMatch(distance, length);
        }
    }

    void readDynamicCodes() {
        const int literalCount = static_cast<int>(in_.take(5)) + 257;
        const int distanceCount = static_cast<int>(in_.take(5)) + 1;
        const int codeLengthCount = static_cast<int>(in_.take(4)) + 4;
        if (literalCount > 286 || distanceCount > 30) corrupt("a dynamic block with too many codes");
        std::uint8_t lengths[286 + 30] = {};
        for (int i = 0; i < codeLengthCount; ++i) lengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(in_.take(3));
        HuffmanCode lengthCode;
        buildCode(lengthCode, lengths, 19);

        std::memset(lengths, 0, sizeof lengths);
        const int total = literalCount + distanceCount;
        for (int i = 0; i < total;) {
            const int symbol = decodeSymbol(in_, lengthCode);
            if (symbol < 16) {
                lengths[i++] = static_cast<std::uint8_t>(symbol);
                continue;
            }
            std::uint8_t value = 0;
            int repeat = 0;
            if (symbol == 16) {
                if (i == 0) corrupt("a repeated code length with none before it");
                value = lengths[i - 1];
                repeat = 3 + static_cast<int>(in_.take(2));
            } else if (symbol == 17) {
                repeat = 3 + static_cast<int>(in_.take(3));
            } else {
                repeat = 11 + static_cast<int>(in_.take(7));
            }
            if (i + repeat > total) corrupt("code lengths that run past the codes");
            std::memset(lengths + i, value, static_cast<std::size_t>(repeat));
            i += repeat;
        }
        if (lengths[kEndOfBlock] == 0) corrupt("a dynamic block without an end-of-block code");
        buildCode(literals_, lengths, literalCount);
        buildCode(distances_, lengths + literalCount, distanceCount);
    }

    BitInput& in_;
    Output& out_;
    HuffmanCode literals_;
    HuffmanCode distances_;
};

void readHeader(BitInput& in, bool first) {
    if (in.takeByte() != 0x1f || in.takeByte() != 0x8b) {
        corrupt(first ? "not a gzip file" : "other data after the end of the compressed stream");
    }
    if (in.takeByte() != 8) corrupt("a compression method other than deflate");
    const std::uint32_t flags = in.takeByte();
    if ((flags & 0xE0u) != 0) corrupt("reserved header flags are set");
    for (int i = 0; i < 6; ++i) in.takeByte();  // modification time, extra flags, system
    if ((flags & 4u) != 0) {
        const std::uint32_t extraLength = in.take(16);
        for (std::uint32_t i = 0; i < extraLength; ++i) in.takeByte();
    }
    // A file name, then a comment, each ended by a zero byte.
    for (const std::uint32_t flag : {8u, 16u}) {
        if ((flags & flag) != 0) {
            while (in.takeByte() != 0) {
            }
        }
    }
    if ((flags & 2u) != 0) in.take(16);  // the header's own CRC-16
}

void checkTrailer(BitInput& in, const Output& out) {
    in.alignToByte();
    // Four little-endian bytes each; one statement per read keeps them in order.
    std::uint32_t crc = in.take(16);
    crc |= in.take(16) << 16;
    std::uint32_t size = in.take(16);
    size |= in.take(16) << 16;
    if (crc != out.crc()) corrupt("the CRC-32 of the decompressed data does not match the file's");
    if (size != static_cast<std::uint32_t>(out.memberBytes())) {
        corrupt("the length of the decompressed data does not match the file's");
    }
}

}  // namespace

bool startsLikeGzip(const unsigned char* data, std::size_t size) {
    return size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
}

std::uint32_t crc32(std::uint32_t crc, const unsigned char* data, std::size_t size) {
    const CrcTables& t = kCrcTables;
    crc = ~crc;
    for (; size >= 8; data += 8, size -= 8) {
        const std::uint32_t low = crc ^ littleEndian32(data);
        const std::uint32_t high = littleEndian32(data + 4);
        crc = t[7][low & 0xFFu] ^ t[6][(low >> 8) & 0xFFu] ^ t[5][(low >> 16) & 0xFFu] ^ t[4][low >> 24] ^
              t[3][high & 0xFFu] ^ t[2][(high >> 8) & 0xFFu] ^ t[1][(high >> 16) & 0xFFu] ^ t[0][high >> 24];
    }
    for (; size > 0; ++data, --size) crc = t[0][(crc ^ *data) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

void gunzip(const ByteReader& read, const ByteSink& emit) {
    BitInput in(read);
    Output out(emit);
    bool first = true;
    do {
        readHeader(in, first);
        first = false;
        out.startMember();
        Inflater(in, out).member();
        out.flush();
        checkTrailer(in, out);
    } while (!in.atEnd());
}

}  // namespace zelmor::formats

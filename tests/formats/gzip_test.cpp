// The gzip decoder: streams made by the gzip program (dynamic blocks, long matches across the
// window's move) and streams built bit by bit here (stored and fixed blocks, every header
// field, each kind of corruption), every one of them cut short at every length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "gzip.h"

namespace {

using namespace zelmor::formats;
using Bytes = std::vector<unsigned char>;

// What gunzip makes of `input`, handed out `piece` bytes at a time.
std::string gunzipped(const Bytes& input, std::size_t piece = 4096) {
    std::size_t at = 0;
    const ByteReader read = [&](unsigned char* buffer, std::size_t capacity) {
        const std::size_t count = std::min({capacity, piece, input.size() - at});
        std::copy(input.begin() + static_cast<std::ptrdiff_t>(at),
                  input.begin() + static_cast<std::ptrdiff_t>(at + count), buffer);
        at += count;
        return count;
    };
    std::string output;
    gunzip(read, [&](const char* data, std::size_t size) { output.append(data, size); });
    return output;
}

// The gzip program's stream of `text` at `level` (make test installs gzip for the demo).
Bytes gzipProgram(const std::string& text, int level) {
    char name[] = "/tmp/zelmor-gzip-test-XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    std::FILE* file = fdopen(fd, "wb");
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    const std::string command = "gzip -n -c -" + std::to_string(level) + " < " + name;
    std::FILE* pipe = popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    Bytes compressed;
    unsigned char buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        compressed.insert(compressed.end(), buffer, buffer + got);
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    std::remove(name);
    return compressed;
}

// Deflate data written bit by bit, least significant first; Huffman codes most significant first.
class BitWriter {
public:
    void bits(std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i) bit((value >> i) & 1);
    }
    void code(std::uint32_t value, int length) {
        for (int i = length - 1; i >= 0; --i) bit((value >> i) & 1);
    }
    void align() {
        while (used_ != 0) bit(0);
    }
    void byte(unsigned char value) { bits(value, 8); }
    void word32(std::uint32_t value) { bits(value, 32); }
    Bytes bytes() {
        align();
        return bytes_;
    }

    // Fixed Huffman codes (RFC 1951, 3.2.6).
    void fixedSymbol(int symbol) {
        if (symbol < 144) code(0x30 + symbol, 8);
        else if (symbol < 256) code(0x190 + symbol - 144, 9);
        else if (symbol < 280) code(symbol - 256, 7);
        else code(0xC0 + symbol - 280, 8);
    }
    void literals(const std::string& text) {
        for (const char c : text) fixedSymbol(static_cast<unsigned char>(c));
    }
    // Lengths 3..10 and distances 1..4, whose codes carry no extra bits.
    void match(int length, int distance) {
        fixedSymbol(254 + length);
        code(static_cast<std::uint32_t>(distance - 1), 5);
    }

private:
    void bit(std::uint32_t value) {
        if (used_ == 0) bytes_.push_back(0);
        bytes_.back() = static_cast<unsigned char>(bytes_.back() | (value << used_));
        used_ = (used_ + 1) % 8;
    }
    Bytes bytes_;
    int used_ = 0;
};

void header(BitWriter& out, unsigned char flags = 0) {
    for (const unsigned char b : {0x1f, 0x8b, 8}) out.byte(b);
    out.byte(flags);
    for (int i = 0; i < 6; ++i) out.byte(0);
}

void trailer(BitWriter& out, const std::string& text) {
    out.align();
    out.word32(crc32(0, reinterpret_cast<const unsigned char*>(text.data()), text.size()));
    out.word32(static_cast<std::uint32_t>(text.size()));
}

Bytes storedMember(const std::string& text) {
    BitWriter out;
    header(out);
    out.bits(1, 1);
    out.bits(0, 2);
    out.align();
    out.bits(static_cast<std::uint32_t>(text.size()), 16);
    out.bits(static_cast<std::uint32_t>(~text.size()) & 0xFFFF, 16);
    for (const char c : text) out.byte(static_cast<unsigned char>(c));
    trailer(out, text);
    return out.bytes();
}

void expectTruncatedAtEveryCut(const Bytes& stream) {
    for (std::size_t cut = 0; cut < stream.size(); ++cut) {
        const Bytes shorter(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
        try {
            gunzipped(shorter);
            ADD_FAILURE() << "cut at " << cut << " of " << stream.size() << " bytes was accepted";
        } catch (const GzipError& error) {
            EXPECT_TRUE(error.truncated()) << "cut at " << cut << ": " << error.what();
        }
    }
}

std::string sampleText(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string text;
    while (text.size() < size) {
        text += std::to_string(random() % 7) + " " + std::to_string(random() % 50 + 1) + ":" +
                std::to_string(static_cast<double>(random() % 1000) / 997.0) + "\n";
    }
    return text;
}

TEST(Gunzip, GivesBackWhatTheGzipProgramCompressed) {
    std::mt19937_64 random(3);
    std::string noise(300000, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    // Long runs make matches of length 258 at distance 1 and matches that straddle the moves of
    // the 32 KiB window; noise makes stored blocks.
    const std::string runs = std::string(3000000, 'a') + sampleText(200000, 4) + std::string(70000, 'b');
    const struct {
        const char* what;
        std::string text;
    } cases[] = {{"empty", ""}, {"one byte", "x"}, {"LIBSVM text", sampleText(3000000, 1)},
                 {"noise", noise}, {"runs", runs}};
    for (const auto& c : cases) {
        for (const int level : {1, 6, 9}) {
            SCOPED_TRACE(std::string(c.what) + ", level " + std::to_string(level));
            const Bytes compressed = gzipProgram(c.text, level);
            EXPECT_EQ(gunzipped(compressed), c.text);
            EXPECT_EQ(gunzipped(compressed, 1), c.text);
        }
    }
}

TEST(Gunzip, ReadsStoredAndFixedBlocksHeaderFieldsAndMembersOneAfterAnother) {
    EXPECT_EQ(gunzipped(storedMember("stored text")), "stored text");

    // A file name, a comment, an extra field and a header CRC, all skipped.
    BitWriter fixed;
    header(fixed, 2 | 4 | 8 | 16);
    fixed.bits(3, 16);
    for (const char c : std::string("xyz")) fixed.byte(static_cast<unsigned char>(c));
    for (const char* text : {"name.txt", "a comment"}) {
        for (const char* c = text; *c != '\0'; ++c) fixed.byte(static_cast<unsigned char>(*c));
        fixed.byte(0);
    }
    fixed.bits(0xBEEF, 16);
    // A fixed block: literals, a match that overlaps its own output, and one further back.
    fixed.bits(1, 1);
    fixed.bits(1, 2);
    fixed.literals("ab");
    fixed.match(10, 1);
    fixed.literals("c");
    fixed.match(4, 3);
    fixed.fixedSymbol(256);
    const std::string expected = "abbbbbbbbbbbcbbcb";
    trailer(fixed, expected);
    const Bytes member = fixed.bytes();
    EXPECT_EQ(gunzipped(member), expected);

    Bytes two = member;
    const Bytes second = storedMember(" and more");
    two.insert(two.end(), second.begin(), second.end());
    EXPECT_EQ(gunzipped(two), expected + " and more");
}

// What breaks a stream: each change below makes the decoder refuse it, naming the fault.
TEST(Gunzip, RefusesCorruptStreams) {
    const auto fixedMember = [](const std::function<void(BitWriter&)>& block, const std::string& text) {
        BitWriter out;
        header(out);
        out.bits(1, 1);
        out.bits(1, 2);
        block(out);
        trailer(out, text);
        return out.bytes();
    };
    const Bytes good = storedMember("0123456789");
    Bytes badCrc = good;
    badCrc[badCrc.size() - 8] ^= 1;
    Bytes badLength = good;
    badLength[badLength.size() - 4] ^= 1;
    Bytes badCheck = good;
    badCheck[13] ^= 1;  // NLEN of the stored block
    Bytes reservedFlag = good;
    reservedFlag[3] = 0x20;
    Bytes otherMethod = good;
    otherMethod[2] = 7;
    Bytes trailing = good;
    trailing.push_back(0);
    Bytes reservedBlock = good;
    reservedBlock[10] = 0x07;  // BFINAL 1, BTYPE 3

    const struct {
        const char* what;
        Bytes stream;
        const char* says;
    } cases[] = {
        {"CRC-32", badCrc, "CRC-32"},
        {"length", badLength, "length of the decompressed data"},
        {"stored length check", badCheck, "stored block"},
        {"reserved flag", reservedFlag, "reserved header flags"},
        {"method", otherMethod, "other than deflate"},
        {"data after the stream", trailing, "other data after the end"},
        {"block type 3", reservedBlock, "reserved type 3"},
        {"match before the start",
         fixedMember(
             [](BitWriter& out) {
                 out.literals("ab");
                 out.match(3, 3);
                 out.fixedSymbol(256);
             },
             "ab"),
         "reaches back before the start"},
        {"length code 286",
         fixedMember(
             [](BitWriter& out) {
                 out.literals("a");
                 out.fixedSymbol(286);
             },
             "a"),
         "undefined length code"},
        {"distance code 30",
         fixedMember(
             [](BitWriter& out) {
                 out.literals("a");
                 out.fixedSymbol(257);
                 out.code(30, 5);
             },
             "a"),
         "undefined distance code"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            gunzipped(c.stream);
            ADD_FAILURE() << "accepted";
        } catch (const GzipError& error) {
            EXPECT_FALSE(error.truncated());
            EXPECT_NE(std::string(error.what()).find(c.says), std::string::npos) << error.what();
        }
    }
}

// A copy cut short is never taken for a whole one: in the deflate data, in the trailer, in
// the next member's header.
TEST(Gunzip, AStreamCutAnywhereEndsEarly) {
    expectTruncatedAtEveryCut(gzipProgram(sampleText(20000, 2), 9));
    expectTruncatedAtEveryCut(storedMember("stored"));
    Bytes two = storedMember("one");
    const Bytes second = storedMember("two");
    two.insert(two.end(), second.begin(), second.end());
    for (std::size_t cut = storedMember("one").size() + 1; cut < two.size(); ++cut) {
        EXPECT_THROW(gunzipped(Bytes(two.begin(), two.begin() + static_cast<std::ptrdiff_t>(cut))), GzipError);
    }
}

TEST(Gunzip, Crc32OfKnownText) {
    const std::string text = "123456789";
    EXPECT_EQ(crc32(0, reinterpret_cast<const unsigned char*>(text.data()), text.size()), 0xCBF43926u);
    // Continued over pieces, the same.
    const std::uint32_t first = crc32(0, reinterpret_cast<const unsigned char*>(text.data()), 4);
    EXPECT_EQ(crc32(first, reinterpret_cast<const unsigned char*>(text.data()) + 4, 5), 0xCBF43926u);
}

}  // namespace

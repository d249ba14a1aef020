#include "svmlight.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>

namespace zelmor::formats {

namespace {

constexpr std::size_t kPieceSize = std::size_t{1} << 20;
// Shown of a label or pair in a message, at most.
constexpr std::size_t kQuotedLength = 40;
constexpr std::uint64_t kExactIntegers = std::uint64_t{1} << 53;
constexpr double kPowersOfTen[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                     1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr long double kLongPowersOfTen[28] = {1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,
                                             1e10L, 1e11L, 1e12L, 1e13L, 1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L,
                                             1e20L, 1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};

// What ends a label or a pair: blanks, the end of the line, and the start of a comment.
constexpr std::array<bool, 256> delimiters() {
    std::array<bool, 256> table{};
    for (const unsigned char c : {' ', '\t', '\n', '\r', '\v', '\f', '#'}) table[c] = true;
    return table;
}
constexpr std::array<bool, 256> kDelimiters = delimiters();

bool isDelimiter(char c) { return kDelimiters[static_cast<unsigned char>(c)]; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A label or pair for a message: control bytes, NUL among them, and bytes beyond ASCII as
// \xHH, so that nothing in a file can garble or cut the message.
std::string quoted(const char* begin, const char* end) {
    std::string text = "'";
    const std::size_t length = static_cast<std::size_t>(end - begin);
    for (std::size_t i = 0; i < length && i < kQuotedLength; ++i) {
        const auto c = static_cast<unsigned char>(begin[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    return text + (length > kQuotedLength ? "...'" : "'");
}

// Numbers of 17 to 19 digits, as %.17g writes many, have mantissas beyond 2^53. A long double
// holds any 19-digit mantissa and every power of ten up to 10^27 exactly, so one operation
// rounds the true value once, to 64 bits, and the cast rounds that to the double. The second
// rounding goes astray only when the first lands exactly halfway between two doubles: then the
// true value may lie on either side, and this says false. Where long double is no wider than
// double, it always says false.
bool roundedTwice(std::uint64_t mantissa, int scale, double& magnitude) {
    if (std::numeric_limits<long double>::digits < 64) return false;
    const auto exact = static_cast<long double>(mantissa);
    const long double power = kLongPowersOfTen[scale >= 0 ? scale : -scale];
    const long double nearest = scale >= 0 ? exact * power : exact / power;
    magnitude = static_cast<double>(nearest);
    if (static_cast<long double>(magnitude) == nearest) return true;
    const double neighbour = std::nextafter(magnitude, nearest > magnitude ? HUGE_VAL : -HUGE_VAL);
    return nearest != (static_cast<long double>(magnitude) + neighbour) / 2;
}

locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (locale == static_cast<locale_t>(nullptr)) throw std::runtime_error("the C locale is not available");
    return locale;
}

NumberSyntax readWithStrtod(const char* begin, const char* end, double& value) {
    const auto length = static_cast<std::size_t>(end - begin);
    if (length == 0 || length > kMaxTokenLength) return NumberSyntax::NotANumber;
    char text[kMaxTokenLength + 1];
    std::memcpy(text, begin, length);
    text[length] = '\0';
    char* stop = nullptr;
    errno = 0;
    value = strtod_l(text, &stop, cLocale());
    // strtod skips leading blanks, and a NUL byte stops it short of the end: neither is a number.
    if (stop != text + length || isDelimiter(text[0])) return NumberSyntax::NotANumber;
    // ERANGE also comes with subnormal results, which are the nearest doubles and kept.
    if (errno == ERANGE && std::isinf(value)) return NumberSyntax::OutOfRange;
    return NumberSyntax::Number;
}

void appendNumber(std::string& text, double value) {
    char digits[40];
    if (!std::isfinite(value)) {
        std::snprintf(digits, sizeof digits, "%.17g", value);
        text += digits;
        return;
    }
    for (int precision = 15; precision <= 17; ++precision) {
        const int length = std::snprintf(digits, sizeof digits, "%.*g", precision, value);
        double back = 0.0;
        if (precision == 17 || (readNumber(digits, digits + length, back) == NumberSyntax::Number &&
                                std::memcmp(&back, &value, sizeof value) == 0)) {
            text.append(digits, static_cast<std::size_t>(length));
            return;
        }
    }
}

void appendLabel(std::string& text, double label) {
    // An integral label, 3 or 1e17, reads better in full than as 1e+17; below 2^63 every
    // digit of %.0f is the double's own.
    if (std::isfinite(label) && std::trunc(label) == label && std::fabs(label) < 9223372036854775808.0) {
        char digits[32];
        text.append(digits, static_cast<std::size_t>(std::snprintf(digits, sizeof digits, "%.0f", label)));
    } else {
        appendNumber(text, label);
    }
}

void appendRows(std::string& text, const SparseRows& rows, std::size_t firstRow, std::size_t endRow) {
    for (std::size_t i = firstRow; i < endRow; ++i) {
        appendLabel(text, rows.labels[i]);
        for (auto k = rows.rowStarts[i]; k < rows.rowStarts[i + 1]; ++k) {
            const auto entry = static_cast<std::size_t>(k);
            text += ' ';
            text += std::to_string(static_cast<std::int64_t>(rows.indices[entry]) + 1);
            text += ':';
            appendNumber(text, rows.values[entry]);
        }
        text += '\n';
    }
}

// Ends the reading of a file however it ends.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

void reached(const Checkpoint& checkpoint) {
    if (checkpoint) checkpoint();
}

std::size_t readSome(int fd, unsigned char* buffer, std::size_t capacity) {
    for (;;) {
        const ssize_t got = read(fd, buffer, capacity);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) {
            throw FileError(FileProblem::NotReadable, std::string("cannot be read: ") + std::strerror(errno));
        }
    }
}

}  // namespace

NumberSyntax readNumber(const char* begin, const char* end, double& value) {
    // Decimals of at most 19 significant digits take a path of their own. An integer up to 2^53
    // times or over a power of ten up to 10^22 is one operation on exact doubles: a single
    // rounding, to the nearest double, as strtod gives. Longer integers and powers up to 10^27
    // go through roundedTwice; everything else, and what it cannot settle, to strtod.
    const char* p = begin;
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    std::uint64_t mantissa = 0;
    int significantDigits = 0;
    int scale = 0;
    bool anyDigit = false;
    bool inFraction = false;
    for (; p < end; ++p) {
        if (*p == '.' && !inFraction) {
            inFraction = true;
            continue;
        }
        if (!isDigit(*p)) break;
        anyDigit = true;
        if (mantissa != 0 || *p != '0') {
            if (++significantDigits > 19) return readWithStrtod(begin, end, value);
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
        }
        if (inFraction) --scale;
    }
    if (p < end && anyDigit && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negativeExponent = p < end && *p == '-';
        if (p < end && (*p == '-' || *p == '+')) ++p;
        int exponent = 0;
        const char* digits = p;
        for (; p < end && isDigit(*p); ++p) {
            if (exponent < 100000) exponent = exponent * 10 + (*p - '0');
        }
        if (p == digits) return readWithStrtod(begin, end, value);
        scale += negativeExponent ? -exponent : exponent;
    }
    if (p != end || !anyDigit) return readWithStrtod(begin, end, value);
    if (mantissa == 0) {
        value = negative ? -0.0 : 0.0;
        return NumberSyntax::Number;
    }
    double magnitude = 0.0;
    if (mantissa <= kExactIntegers && scale >= -22 && scale <= 22) {
        const auto exact = static_cast<double>(mantissa);
        magnitude = scale >= 0 ? exact * kPowersOfTen[scale] : exact / kPowersOfTen[-scale];
    } else if (scale < -27 || scale > 27 || !roundedTwice(mantissa, scale, magnitude)) {
        return readWithStrtod(begin, end, value);
    }
    value = negative ? -magnitude : magnitude;
    return NumberSyntax::Number;
}

void SvmlightParser::feed(const char* data, std::size_t size) {
    const char* p = data;
    const char* const end = data + size;
    if (!carry_.empty()) {
        const char* q = p;
        while (q < end && !isDelimiter(*q)) ++q;
        carryOver(p, q);
        if (q == end) return;
        token(carry_.data(), carry_.data() + carry_.size());
        carry_.clear();
        p = q;
    }
    while (p < end) {
        if (inComment_) {
            p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            if (p == nullptr) return;
            inComment_ = false;
        }
        const char c = *p;
        if (c == '\n') {
            endLine();
            ++p;
        } else if (c == '#') {
            inComment_ = true;
            ++p;
        } else if (isDelimiter(c)) {
            ++p;
        } else {
            const char* q = p + 1;
            while (q < end && !isDelimiter(*q)) ++q;
            if (q == end) {
                carryOver(p, q);
                return;
            }
            token(p, q);
            p = q;
        }
    }
}

SparseRows SvmlightParser::finish() {
    if (!carry_.empty()) {
        token(carry_.data(), carry_.data() + carry_.size());
        carry_.clear();
    }
    if (rowOpen_) {
        rows_.rowStarts.push_back(static_cast<std::int64_t>(rows_.indices.size()));
        rowOpen_ = false;
    }
    rows_.featureCount = featureLimit_ >= 0 ? featureLimit_ : largestIndex_;
    return std::move(rows_);
}

void SvmlightParser::carryOver(const char* begin, const char* end) {
    if (carry_.size() + static_cast<std::size_t>(end - begin) > kMaxTokenLength) {
        carry_.append(begin, std::min(static_cast<std::size_t>(end - begin), kQuotedLength));
        malformed("a label or INDEX:VALUE pair longer than " + std::to_string(kMaxTokenLength) +
                  " characters, starting " + quoted(carry_.data(), carry_.data() + carry_.size()));
    }
    carry_.append(begin, end);
}

void SvmlightParser::malformed(const std::string& what) const {
    throw FileError(FileProblem::Malformed, "line " + std::to_string(line_) + ": " + what);
}

void SvmlightParser::endLine() {
    if (rowOpen_) {
        rows_.rowStarts.push_back(static_cast<std::int64_t>(rows_.indices.size()));
        rowOpen_ = false;
    }
    ++line_;
}

void SvmlightParser::token(const char* begin, const char* end) {
    if (static_cast<std::size_t>(end - begin) > kMaxTokenLength) {
        malformed("a label or INDEX:VALUE pair longer than " + std::to_string(kMaxTokenLength) +
                  " characters, starting " + quoted(begin, end));
    }
    if (rowOpen_) {
        pair(begin, end);
    } else {
        label(begin, end);
    }
}

void SvmlightParser::label(const char* begin, const char* end) {
    double value = 0.0;
    switch (readNumber(begin, end, value)) {
        case NumberSyntax::Number:
            break;
        case NumberSyntax::OutOfRange:
            malformed("the label " + quoted(begin, end) + " is beyond the range of a double");
        case NumberSyntax::NotANumber:
            malformed("expected a number as the label, got " + quoted(begin, end) +
                      (std::memchr(begin, ':', static_cast<std::size_t>(end - begin)) != nullptr
                           ? " (every line starts with its label)"
                           : ""));
    }
    rows_.labels.push_back(value);
    rowOpen_ = true;
    lastIndex_ = 0;
}

void SvmlightParser::pair(const char* begin, const char* end) {
    const auto* colon = static_cast<const char*>(std::memchr(begin, ':', static_cast<std::size_t>(end - begin)));
    if (colon == nullptr) malformed("expected INDEX:VALUE after the label, got " + quoted(begin, end));
    double value = 0.0;
    if (colon - begin == 3 && std::memcmp(begin, "qid", 3) == 0) {
        if (readNumber(colon + 1, end, value) != NumberSyntax::Number) {
            malformed("expected qid:NUMBER, got " + quoted(begin, end));
        }
        if (firstQidLine_ == 0) firstQidLine_ = line_;
        return;
    }
    if (colon == begin) malformed("expected INDEX:VALUE after the label, got " + quoted(begin, end));
    std::int64_t index = 0;
    for (const char* p = begin; p < colon; ++p) {
        if (!isDigit(*p)) malformed("expected INDEX:VALUE after the label, got " + quoted(begin, end));
        // Further digits are still checked, so that '99999999999x:1' is called malformed.
        if (index <= kMaxFeatureIndex) index = index * 10 + (*p - '0');
    }
    if (index == 0) malformed("feature indices start at 1, got " + quoted(begin, end));
    if (index > kMaxFeatureIndex) {
        malformed("feature index " + quoted(begin, colon) + " is larger than " + std::to_string(kMaxFeatureIndex) +
                  ", the largest a LIBSVM file may hold");
    }
    if (index <= lastIndex_) {
        malformed("feature indices must increase along a line, got " + std::to_string(index) + " after " +
                  std::to_string(lastIndex_));
    }
    if (featureLimit_ >= 0 && index > featureLimit_) {
        throw FileError(FileProblem::FeatureLimit, "line " + std::to_string(line_) + ": feature index " +
                                                       std::to_string(index) + " is beyond the " +
                                                       std::to_string(featureLimit_) + " features asked for");
    }
    switch (readNumber(colon + 1, end, value)) {
        case NumberSyntax::Number:
            break;
        case NumberSyntax::OutOfRange:
            malformed("the value " + quoted(colon + 1, end) + " of feature " + std::to_string(index) +
                      " is beyond the range of a double");
        case NumberSyntax::NotANumber:
            malformed("expected a number as the value of feature " + std::to_string(index) + ", got " +
                      quoted(colon + 1, end));
    }
    lastIndex_ = index;
    if (index > largestIndex_) largestIndex_ = index;
    if (value != 0.0) {
        rows_.indices.push_back(static_cast<std::int32_t>(index - 1));
        rows_.values.push_back(value);
    }
}

ReadResult readSvmlight(const ByteReader& read, std::int64_t featureLimit, const Checkpoint& checkpoint) {
    SvmlightParser parser(featureLimit);
    // Enough of the start to tell a gzip file from text, whatever sizes `read` hands out.
    const std::unique_ptr<unsigned char[]> start(new unsigned char[kPieceSize]);
    std::size_t startSize = 0;
    while (startSize < 2) {
        const std::size_t got = read(start.get() + startSize, kPieceSize - startSize);
        if (got == 0) break;
        startSize += got;
    }
    if (startsLikeGzip(start.get(), startSize)) {
        std::size_t replayed = 0;
        const ByteReader compressed = [&](unsigned char* buffer, std::size_t capacity) {
            if (replayed == startSize) return read(buffer, capacity);
            const std::size_t count = std::min(capacity, startSize - replayed);
            std::memcpy(buffer, start.get() + replayed, count);
            replayed += count;
            return count;
        };
        const ByteSink text = [&](const char* data, std::size_t size) {
            parser.feed(data, size);
            reached(checkpoint);
        };
        try {
            gunzip(compressed, text);
        } catch (const GzipError& error) {
            throw FileError(FileProblem::Malformed, std::string(error.what()) + ", after line " +
                                                        std::to_string(parser.completeLines()) +
                                                        " of the decompressed text");
        }
    } else {
        parser.feed(reinterpret_cast<const char*>(start.get()), startSize);
        reached(checkpoint);
        for (std::size_t got = startSize; got > 0;) {
            got = read(start.get(), kPieceSize);
            parser.feed(reinterpret_cast<const char*>(start.get()), got);
            reached(checkpoint);
        }
    }
    const std::int64_t firstQidLine = parser.firstQidLine();
    return ReadResult{parser.finish(), firstQidLine};
}

ReadResult readSvmlightFile(const std::string& path, std::int64_t featureLimit, const Checkpoint& checkpoint) {
    Descriptor file;
    // Without O_NONBLOCK, opening a named pipe would wait for a writer before fstat could refuse it.
    file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file.fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) throw FileError(FileProblem::NotFound, "no such file");
        throw FileError(FileProblem::NotReadable, std::string("cannot be opened: ") + std::strerror(error));
    }
    struct stat status {};
    if (fstat(file.fd, &status) != 0) {
        throw FileError(FileProblem::NotReadable, std::string("cannot be opened: ") + std::strerror(errno));
    }
    if (S_ISDIR(status.st_mode)) throw FileError(FileProblem::NotAFile, "a folder, not a file");
    if (!S_ISREG(status.st_mode)) throw FileError(FileProblem::NotAFile, "not a regular file");
    const ByteReader bytes = [&](unsigned char* buffer, std::size_t capacity) {
        return readSome(file.fd, buffer, capacity);
    };
    return readSvmlight(bytes, featureLimit, checkpoint);
}

std::string svmlightText(const SparseRows& rows) {
    std::string text;
    appendRows(text, rows, 0, rows.labels.size());
    return text;
}

void writeSvmlightFile(const std::string& path, const SparseRows& rows, const Checkpoint& checkpoint) {
    const auto failed = [](const char* what) {
        return FileError(FileProblem::NotWritable, std::string(what) + std::strerror(errno));
    };
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!file) throw failed("cannot be written: ");
    // A regular file cut short by a failure is removed, so that no half of it passes for the
    // whole; anything else (a device such as /dev/full) is left alone.
    struct stat status {};
    const bool regular = fstat(fileno(file.get()), &status) == 0 && S_ISREG(status.st_mode);
    bool complete = false;
    struct RemoveUnlessComplete {
        const std::string& path;
        const bool& regular;
        const bool& complete;
        ~RemoveUnlessComplete() {
            if (regular && !complete) std::remove(path.c_str());
        }
    } cleanup{path, regular, complete};

    std::string text;
    const std::size_t rowCount = rows.labels.size();
    for (std::size_t row = 0; row < rowCount;) {
        text.clear();
        // About a piece at a time: rows are added until the text passes kPieceSize.
        while (row < rowCount && text.size() < kPieceSize) {
            appendRows(text, rows, row, row + 1);
            ++row;
        }
        if (std::fwrite(text.data(), 1, text.size(), file.get()) != text.size()) throw failed("cannot be written: ");
        reached(checkpoint);
    }
    if (std::fflush(file.get()) != 0) throw failed("cannot be written: ");
    if (std::fclose(file.release()) != 0) throw failed("cannot be written: ");
    complete = true;
}

}  // namespace zelmor::formats

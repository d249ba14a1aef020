// LIBSVM's text format for examples (also called svmlight's): one example a line,
//
//     LABEL INDEX:VALUE INDEX:VALUE ...   # a comment to the end of the line
//
// with 1-based feature indices increasing along the line and the features not listed zero.
// Blank lines and lines holding only a comment are not examples; `qid:NUMBER` pairs (ranking
// queries) are skipped; fields are separated by blanks or tabs, lines end in LF or CR LF. A
// file may be gzip-compressed: its first two bytes tell, not its name.
//
// No host dependency: the MEX gateway turns the rows into the host's sparse matrix and each
// FileError into an identified error. Every failure is an exception; no partial result is
// ever returned. Memory grows with the examples held and stays bounded per line: a label or
// pair longer than kMaxTokenLength is refused instead of being held, however long its line.
#ifndef ZELMOR_FORMATS_SVMLIGHT_H
#define ZELMOR_FORMATS_SVMLIGHT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "gzip.h"

namespace zelmor::formats {

// The largest feature index a file may hold: LIBSVM's own limit (a C int).
constexpr std::int64_t kMaxFeatureIndex = 2147483647;
constexpr std::size_t kMaxTokenLength = 4096;

// Examples row by row (compressed sparse rows). Row i holds the entries
// rowStarts[i] .. rowStarts[i + 1] - 1 of indices and values.
struct SparseRows {
    std::vector<double> labels;              // one per example
    std::vector<std::int64_t> rowStarts{0};  // labels.size() + 1 offsets
    std::vector<std::int32_t> indices;       // 0-based feature numbers, increasing along each row
    std::vector<double> values;              // never zero: a zero (+0 or -0) is an absent entry
    std::int64_t featureCount = 0;           // larger than every index
};

enum class FileProblem {
    Malformed,     // a line that breaks the format, or gzip data that are corrupt or cut short
    FeatureLimit,  // an index beyond the number of features the caller asked for
    NotFound,
    NotAFile,  // a folder, or something else that is not a regular file
    NotReadable,
    NotWritable,
};

// what() says what is wrong, without the file's name: the caller knows it. A Malformed line
// starts with "line N: ", N counted from 1 in the (decompressed) text.
class FileError : public std::runtime_error {
public:
    FileError(FileProblem problem, const std::string& message) : std::runtime_error(message), problem_(problem) {}
    FileProblem problem() const noexcept { return problem_; }

private:
    FileProblem problem_;
};

enum class NumberSyntax { Number, NotANumber, OutOfRange };

// Reads [begin, end) whole as a double, as C's strtod does in the "C" locale, whatever the
// process's locale: decimal and hexadecimal forms, inf, infinity and nan in any case. The
// value is the nearest double (below the smallest subnormal, a zero of the same sign). A
// finite number beyond the largest double is OutOfRange, not infinity: a file that says
// 1e400 holds a mistake, not a value. Exposed for the tests.
NumberSyntax readNumber(const char* begin, const char* end, double& value);

// Parses LIBSVM text handed in pieces of any size, cut anywhere.
class SvmlightParser {
public:
    // A negative featureLimit: the rows are as wide as their largest index. Otherwise they are
    // featureLimit wide, and a larger index is refused (FeatureLimit).
    explicit SvmlightParser(std::int64_t featureLimit = -1) : featureLimit_(featureLimit) {}

    void feed(const char* data, std::size_t size);
    // The text ends: its last line counts whether or not a newline ends it. Call it once.
    SparseRows finish();

    // Lines ended by a newline so far.
    std::int64_t completeLines() const { return line_ - 1; }
    // The first line with a qid: pair, or 0 for none.
    std::int64_t firstQidLine() const { return firstQidLine_; }

private:
    void token(const char* begin, const char* end);
    void label(const char* begin, const char* end);
    void pair(const char* begin, const char* end);
    void endLine();
    void carryOver(const char* begin, const char* end);
    [[noreturn]] void malformed(const std::string& what) const;

    SparseRows rows_;
    std::int64_t featureLimit_;
    std::int64_t line_ = 1;
    std::int64_t largestIndex_ = 0;  // 1-based, over all rows
    std::int64_t lastIndex_ = 0;     // 1-based, along the open row
    std::int64_t firstQidLine_ = 0;
    bool rowOpen_ = false;  // the line's label has been read
    bool inComment_ = false;
    std::string carry_;  // a label or pair that the last piece ended inside
};

// Called between pieces of about 1 MiB of text; it may throw to stop the work (Ctrl-C).
using Checkpoint = std::function<void()>;

struct ReadResult {
    SparseRows rows;
    std::int64_t firstQidLine = 0;  // 0: the file has no qid: pair
};

// Reads a LIBSVM file, plain or gzip-compressed.
ReadResult readSvmlightFile(const std::string& path, std::int64_t featureLimit, const Checkpoint& checkpoint);
// The same from any source of bytes.
ReadResult readSvmlight(const ByteReader& read, std::int64_t featureLimit, const Checkpoint& checkpoint);

// The rows as LIBSVM text, each line a label and the row's INDEX:VALUE pairs with 1-based
// indices. Each number is the shortest of %.15g, %.16g and %.17g that reads back as the same
// bits (NaN reads back as a NaN, but its payload is not kept); an integral label below 2^63 in
// magnitude is written with all its digits and no exponent.
std::string svmlightText(const SparseRows& rows);
void writeSvmlightFile(const std::string& path, const SparseRows& rows, const Checkpoint& checkpoint);

}  // namespace zelmor::formats

#endif  // ZELMOR_FORMATS_SVMLIGHT_H

// The LIBSVM reader on any bytes, as a file would hold them, plain or gzip: it either refuses
// them with a FileError or returns rows that keep every promise of SparseRows. Read in pieces
// of another size, the same bytes give the same rows or the same error. Rows it returns,
// written as text and read again, come back to the same bits (a NaN as a NaN of the same
// sign), and that text written again is the same text.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "svmlight.h"

namespace {

using namespace zelmor::formats;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "svmlight: %s\n", what);
    std::abort();
}

void require(bool holds, const char* what) {
    if (!holds) fail(what);
}

bool sameValue(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

struct Outcome {
    bool read = false;
    ReadResult result;
    FileProblem problem = FileProblem::Malformed;
    std::string message;
};

Outcome readInPieces(const std::uint8_t* data, std::size_t size, std::size_t piece, std::int64_t featureLimit) {
    std::size_t at = 0;
    const ByteReader reader = [&](unsigned char* buffer, std::size_t capacity) {
        const std::size_t count = std::min({capacity, piece, size - at});
        std::memcpy(buffer, data + at, count);
        at += count;
        return count;
    };
    Outcome outcome;
    try {
        outcome.result = readSvmlight(reader, featureLimit, [] {});
        outcome.read = true;
    } catch (const FileError& error) {
        outcome.problem = error.problem();
        outcome.message = error.what();
    }
    return outcome;
}

void requireWellFormed(const SparseRows& rows, std::int64_t featureLimit) {
    require(rows.rowStarts.size() == rows.labels.size() + 1 && rows.rowStarts[0] == 0, "row starts");
    require(rows.indices.size() == rows.values.size(), "as many values as indices");
    require(static_cast<std::size_t>(rows.rowStarts.back()) == rows.indices.size(), "the last row start");
    require(rows.featureCount >= 0 && rows.featureCount <= kMaxFeatureIndex, "the width");
    require(featureLimit < 0 || rows.featureCount == featureLimit, "the width asked for");
    for (std::size_t i = 0; i + 1 < rows.rowStarts.size(); ++i) {
        require(rows.rowStarts[i] <= rows.rowStarts[i + 1], "row starts that go down");
        for (auto k = rows.rowStarts[i]; k < rows.rowStarts[i + 1]; ++k) {
            const auto entry = static_cast<std::size_t>(k);
            require(rows.indices[entry] >= 0 && rows.indices[entry] < rows.featureCount, "an index outside the width");
            require(k == rows.rowStarts[i] || rows.indices[entry - 1] < rows.indices[entry], "indices that do not increase");
            require(rows.values[entry] != 0.0, "a zero held as an entry");
        }
    }
}

void requireSameRows(const SparseRows& a, const SparseRows& b, const char* what) {
    require(a.labels.size() == b.labels.size() && a.rowStarts == b.rowStarts && a.indices == b.indices &&
                a.values.size() == b.values.size() && a.featureCount == b.featureCount,
            what);
    for (std::size_t i = 0; i < a.labels.size(); ++i) require(sameValue(a.labels[i], b.labels[i]), what);
    for (std::size_t k = 0; k < a.values.size(); ++k) require(sameValue(a.values[k], b.values[k]), what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The input is the file itself; its length picks the pieces and whether a width is asked for.
    constexpr std::size_t kPieces[] = {1, 2, 3, 7, 64, 4093};
    const std::size_t piece = kPieces[size % 6];
    const std::int64_t featureLimit = size % 5 == 0 ? 4 : -1;

    const Outcome whole = readInPieces(data, size, size + 1, featureLimit);
    const Outcome pieces = readInPieces(data, size, piece, featureLimit);
    require(whole.read == pieces.read, "read whole and in pieces, one succeeds and the other fails");
    if (!whole.read) {
        require(whole.problem == pieces.problem && whole.message == pieces.message,
                "read whole and in pieces, the errors differ");
        require(whole.problem == FileProblem::Malformed || whole.problem == FileProblem::FeatureLimit,
                "a problem of a file's content that is not about its content");
        return 0;
    }
    const SparseRows& rows = whole.result.rows;
    requireWellFormed(rows, featureLimit);
    requireSameRows(rows, pieces.result.rows, "read whole and in pieces, the rows differ");
    require(whole.result.firstQidLine == pieces.result.firstQidLine, "the qid line differs");

    const std::string text = svmlightText(rows);
    SvmlightParser parser(rows.featureCount);
    parser.feed(text.data(), text.size());
    const SparseRows again = parser.finish();
    requireSameRows(rows, again, "the rows written and read back differ");
    require(svmlightText(again) == text, "the text written again differs");
    return 0;
}

// The LIBSVM-format parser, reader and writer without a host: what each accepted text gives,
// fed whole and cut into pieces anywhere; what each refused text says and on which line; the
// numbers against strtod; files that are not there, not files, not readable or not writable;
// and text written and read back to the same bits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "gzip.h"
#include "svmlight.h"

namespace {

using namespace zelmor::formats;

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The text through the parser, `piece` bytes at a time (0: all at once).
SparseRows parsed(const std::string& text, std::size_t piece = 0, std::int64_t featureLimit = -1,
                  std::int64_t* firstQidLine = nullptr) {
    SvmlightParser parser(featureLimit);
    const std::size_t step = piece == 0 ? std::max<std::size_t>(text.size(), 1) : piece;
    for (std::size_t at = 0; at < text.size(); at += step) {
        parser.feed(text.data() + at, std::min(step, text.size() - at));
    }
    if (firstQidLine != nullptr) *firstQidLine = parser.firstQidLine();
    return parser.finish();
}

using Row = std::vector<std::pair<std::int32_t, double>>;  // 1-based index, value

void expectSameRows(const SparseRows& actual, const SparseRows& expected) {
    ASSERT_EQ(actual.labels.size(), expected.labels.size());
    for (std::size_t i = 0; i < actual.labels.size(); ++i) {
        EXPECT_TRUE(sameBits(actual.labels[i], expected.labels[i])) << "label " << i << ": " << actual.labels[i];
    }
    EXPECT_EQ(actual.rowStarts, expected.rowStarts);
    EXPECT_EQ(actual.indices, expected.indices);
    ASSERT_EQ(actual.values.size(), expected.values.size());
    for (std::size_t k = 0; k < actual.values.size(); ++k) {
        EXPECT_TRUE(sameBits(actual.values[k], expected.values[k])) << "value " << k << ": " << actual.values[k];
    }
    EXPECT_EQ(actual.featureCount, expected.featureCount);
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kSmallestSubnormal = std::numeric_limits<double>::denorm_min();

TEST(SvmlightParser, ReadsEveryAcceptedFormWhetherWholeOrInPieces) {
    const struct {
        const char* what;
        std::string text;
        std::int64_t featureLimit;
        std::vector<double> labels;
        std::vector<Row> rows;
        std::int64_t featureCount;
        std::int64_t firstQidLine;
    } cases[] = {
        {"two lines", "1 1:0.5 3:2\n-1 2:-4\n", -1, {1, -1}, {{{1, 0.5}, {3, 2}}, {{2, -4}}}, 3, 0},
        {"no newline at the end", "2 4:1", -1, {2}, {{{4, 1}}}, 4, 0},
        {"CR LF, tabs, blanks around", "  3\t1:1 \r\n4 2:2\r\n", -1, {3, 4}, {{{1, 1}}, {{2, 2}}}, 2, 0},
        {"comments, whole and trailing, one against a value",
         "# header\n1 1:1 # one\n#\n2 2:2#two\n", -1, {1, 2}, {{{1, 1}}, {{2, 2}}}, 2, 0},
        {"blank and blank-only lines", "\n\n1 1:1\n \t \n\r\n2\n", -1, {1, 2}, {{{1, 1}}, {}}, 1, 0},
        {"a label alone", "7\n", -1, {7}, {{}}, 0, 0},
        {"nothing", "", -1, {}, {}, 0, 0},
        {"comments only", "# a\n# b", -1, {}, {}, 0, 0},
        {"qid pairs skipped", "1 qid:3 1:1\n2 qid:3 2:1\n", -1, {1, 2}, {{{1, 1}}, {{2, 1}}}, 2, 1},
        {"qid on a later line", "1 1:1\n\n2 qid:9 2:1\n", -1, {1, 2}, {{{1, 1}}, {{2, 1}}}, 2, 3},
        {"zeros of either sign are no entries, but count for the width", "1 2:0 5:-0 6:0.0e7\n", -1, {1}, {{}}, 6, 0},
        {"labels keep their sign and any value", "-0 1:1\n0.25\n1e300\n-inf\n", -1,
         {-0.0, 0.25, 1e300, -kInf}, {{{1, 1}}, {}, {}, {}}, 1, 0},
        {"numbers as strtod reads them", "1 1:1e-3 2:+.5 3:-7. 4:0x1p-2 5:INF 6:4.9406564584124654e-324 7:1e-400\n",
         -1, {1}, {{{1, 1e-3}, {2, 0.5}, {3, -7}, {4, 0.25}, {5, kInf}, {6, kSmallestSubnormal}}}, 7, 0},
        {"leading zeros of an index", "1 007:1\n", -1, {1}, {{{7, 1}}}, 7, 0},
        {"the largest index", "1 2147483647:1\n", -1, {1}, {{{2147483647, 1}}}, 2147483647, 0},
        {"a width wider than the file", "1 2:1\n", 10, {1}, {{{2, 1}}}, 10, 0},
        {"a width of exactly the largest index", "1 2:1\n", 2, {1}, {{{2, 1}}}, 2, 0},
        {"no features in a width of 0", "1\n2\n", 0, {1, 2}, {{}, {}}, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SparseRows expected;
        expected.labels = c.labels;
        for (const Row& row : c.rows) {
            for (const auto& [index, value] : row) {
                expected.indices.push_back(index - 1);
                expected.values.push_back(value);
            }
            expected.rowStarts.push_back(static_cast<std::int64_t>(expected.indices.size()));
        }
        expected.featureCount = c.featureCount;
        for (const std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{5}}) {
            SCOPED_TRACE("pieces of " + std::to_string(piece));
            std::int64_t qid = -1;
            expectSameRows(parsed(c.text, piece, c.featureLimit, &qid), expected);
            EXPECT_EQ(qid, c.firstQidLine);
        }
    }
}

TEST(SvmlightParser, RefusesMalformedLinesNamingTheLineAndWhatWasExpected) {
    const std::string longToken = "1 1:" + std::string(5000, '5');
    const struct {
        const char* what;
        std::string text;
        std::int64_t featureLimit;
        FileProblem problem;
        std::string message;
    } cases[] = {
        {"not INDEX:VALUE", "1 1:1\n\n2 x:1\n", -1, FileProblem::Malformed,
         "line 3: expected INDEX:VALUE after the label, got 'x:1'"},
        {"no colon", "1 3\n", -1, FileProblem::Malformed, "line 1: expected INDEX:VALUE after the label, got '3'"},
        {"no index", "1 :3\n", -1, FileProblem::Malformed, "line 1: expected INDEX:VALUE after the label, got ':3'"},
        {"a negative index", "1 -3:1\n", -1, FileProblem::Malformed,
         "line 1: expected INDEX:VALUE after the label, got '-3:1'"},
        {"index 0", "1 0:1\n", -1, FileProblem::Malformed, "line 1: feature indices start at 1, got '0:1'"},
        {"a huge index", "1 99999999999999999999:1\n", -1, FileProblem::Malformed,
         "line 1: feature index '99999999999999999999' is larger than 2147483647"},
        {"one index too many", "1 2147483648:1\n", -1, FileProblem::Malformed,
         "line 1: feature index '2147483648' is larger than 2147483647"},
        {"a huge index with a letter in it", "1 99999999999x:1\n", -1, FileProblem::Malformed,
         "line 1: expected INDEX:VALUE after the label"},
        {"indices going down", "1 5:1 3:1\n", -1, FileProblem::Malformed,
         "line 1: feature indices must increase along a line, got 3 after 5"},
        {"an index twice", "1 1:1\n1 5:1 5:2\n", -1, FileProblem::Malformed,
         "line 2: feature indices must increase along a line, got 5 after 5"},
        {"a value that is no number", "1 2:abc\n", -1, FileProblem::Malformed,
         "line 1: expected a number as the value of feature 2, got 'abc'"},
        {"no value", "1 2:\n", -1, FileProblem::Malformed,
         "line 1: expected a number as the value of feature 2, got ''"},
        {"two values", "1 2:1:1\n", -1, FileProblem::Malformed,
         "line 1: expected a number as the value of feature 2, got '1:1'"},
        {"a value beyond a double", "1 2:1e400\n", -1, FileProblem::Malformed,
         "line 1: the value '1e400' of feature 2 is beyond the range of a double"},
        {"a negative value beyond a double", "1 2:-1e400\n", -1, FileProblem::Malformed,
         "line 1: the value '-1e400' of feature 2 is beyond"},
        {"a label that is no number", "yes 1:1\n", -1, FileProblem::Malformed,
         "line 1: expected a number as the label, got 'yes'"},
        {"a label with a colon", "1: 2:1\n", -1, FileProblem::Malformed,
         "line 1: expected a number as the label, got '1:' (every line starts with its label)"},
        {"no label", "1 1:1\n3:1 4:2\n", -1, FileProblem::Malformed,
         "line 2: expected a number as the label, got '3:1' (every line starts with its label)"},
        {"several labels", "1,2 1:1\n", -1, FileProblem::Malformed, "line 1: expected a number as the label, got '1,2'"},
        {"a label beyond a double", "1e999 1:1\n", -1, FileProblem::Malformed,
         "line 1: the label '1e999' is beyond the range of a double"},
        {"a NUL byte", std::string("1 1:1\n2 2:3\0 3:1\n", 17), -1, FileProblem::Malformed,
         "line 2: expected a number as the value of feature 2, got '3\\x00'"},
        {"a bad qid", "1 qid:x 1:1\n", -1, FileProblem::Malformed, "line 1: expected qid:NUMBER, got 'qid:x'"},
        {"a last line cut inside a pair", "1 1:1\n2 2:", -1, FileProblem::Malformed,
         "line 2: expected a number as the value of feature 2, got ''"},
        {"a token past the limit", longToken, -1, FileProblem::Malformed,
         "line 1: a label or INDEX:VALUE pair longer than 4096 characters, starting '1:55555"},
        {"an index beyond the width asked for", "1 2:1\n2 3:1\n", 2, FileProblem::FeatureLimit,
         "line 2: feature index 3 is beyond the 2 features asked for"},
        {"any feature in a width of 0", "1 1:1\n", 0, FileProblem::FeatureLimit,
         "line 1: feature index 1 is beyond the 0 features asked for"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
            SCOPED_TRACE("pieces of " + std::to_string(piece));
            try {
                parsed(c.text, piece, c.featureLimit);
                ADD_FAILURE() << "accepted";
            } catch (const FileError& error) {
                EXPECT_EQ(error.problem(), c.problem);
                EXPECT_EQ(std::string(error.what()).substr(0, c.message.size()), c.message);
            }
        }
    }
}

// The decimal fast path and strtod agree on every number: the same bits, and out of range
// exactly where strtod overflows. The process's locale plays no part.
TEST(ReadNumber, AgreesWithStrtodBitForBit) {
    std::vector<std::string> texts = {"0", "-0", "1", "0.1", "1e22", "1e23", "9007199254740993", "9007199254740992",
                                      "123456789012345678901", "0.30000000000000004", "2.2250738585072014e-308",
                                      "4.9406564584124654e-324", "2.4703282292062327e-324", "2.4703282292062328e-324",
                                      "1.7976931348623157e308", "1.7976931348623159e308", "1e-400", "-1e400", "1e+5",
                                      "1E5", "1.e5", ".5e-5", "00000000000000000000001.5", "0.0000000000000000000000001",
                                      "nan", "-nan", "Infinity", "0x1.8p1", "1e", "1e+", "e5", ".", "-", "+", "1.2.3",
                                      "1x", " 1", "1 ", "\xd9\xa3",
                                      // Halfway between 2^53 and 2^53 + 2, and just either side of it.
                                      "9007199254740993", "9007199254740993.001", "9007199254740992.999",
                                      "9007199254740995", "0.30000000000000004441", "1234567890123456789e-27",
                                      "1234567890123456789e27", "1234567890123456789e-28", "9999999999999999999e8"};
    std::mt19937_64 random(11);
    for (int i = 0; i < 20000; ++i) {
        std::uint64_t bits = random();
        double value = 0.0;
        std::memcpy(&value, &bits, sizeof value);
        char text[64];
        const char* formats[] = {"%.17g", "%.15g", "%.6g", "%.3e", "%.20f"};
        std::snprintf(text, sizeof text, formats[i % 5], i % 2 == 0 ? value : std::ldexp(static_cast<double>(bits >> 11), -(i % 90)));
        texts.push_back(text);
        // Decimal strings of up to 25 digits with an exponent, near the fast path's limits.
        std::string digits = std::to_string(random() % 10000000000000000000u);
        digits.insert(random() % digits.size(), ".");
        texts.push_back(digits + "e" + std::to_string(static_cast<int>(random() % 60) - 30));
        // 19 digits of the point halfway between two doubles: the true value lies a little to
        // one side, where a long double rounds it onto the midpoint itself.
        const double low = std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 100) - 80);
        const long double midpoint = (static_cast<long double>(low) + std::nextafter(low, HUGE_VAL)) / 2;
        std::snprintf(text, sizeof text, "%.18Le", midpoint);
        texts.push_back(text);
    }
    const char* saved = std::setlocale(LC_NUMERIC, nullptr);
    const std::string previous = saved == nullptr ? "C" : saved;
    // Where a comma is the decimal point, strtod itself would read "0.5" as 0.
    const bool commaLocale = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    for (const std::string& text : texts) {
        double value = 0.0;
        const NumberSyntax syntax = readNumber(text.data(), text.data() + text.size(), value);
        std::setlocale(LC_NUMERIC, "C");
        char* stop = nullptr;
        errno = 0;
        const double expected = std::strtod(text.c_str(), &stop);
        const bool whole = !text.empty() && stop == text.c_str() + text.size() && !std::isspace(static_cast<unsigned char>(text[0]));
        if (commaLocale) std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
        if (!whole) {
            EXPECT_EQ(syntax, NumberSyntax::NotANumber) << text;
        } else if (errno == ERANGE && std::isinf(expected)) {
            EXPECT_EQ(syntax, NumberSyntax::OutOfRange) << text;
        } else {
            ASSERT_EQ(syntax, NumberSyntax::Number) << text;
            EXPECT_TRUE(sameBits(value, expected) || (std::isnan(value) && std::isnan(expected))) << text;
        }
    }
    std::setlocale(LC_NUMERIC, previous.c_str());
}

SparseRows randomRows(std::uint64_t seed) {
    std::mt19937_64 random(seed);
    const double special[] = {kSmallestSubnormal, -kSmallestSubnormal, std::numeric_limits<double>::min(),
                              std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(), 0.1, 1.0 / 3.0,
                              kInf, -kInf, 1e-300, 123456789.0, 5e-324 * 3};
    SparseRows rows;
    rows.featureCount = 60;
    for (int i = 0; i < 400; ++i) {
        const int kind = static_cast<int>(random() % 4);
        rows.labels.push_back(kind == 0 ? static_cast<double>(static_cast<std::int64_t>(random() % 2001) - 1000)
                              : kind == 1 ? std::ldexp(static_cast<double>(random() >> 11), -52)
                              : kind == 2 ? -0.0
                                          : std::ldexp(1.0, static_cast<int>(random() % 120)));
        for (std::int32_t f = 0; f < 60; ++f) {
            if (random() % 3 != 0) continue;
            std::uint64_t bits = random();
            double value = 0.0;
            std::memcpy(&value, &bits, sizeof value);
            if (!std::isfinite(value)) value = 1.5;
            if (random() % 4 == 0) value = special[random() % (sizeof special / sizeof special[0])];
            rows.indices.push_back(f);
            rows.values.push_back(value);
        }
        rows.rowStarts.push_back(static_cast<std::int64_t>(rows.indices.size()));
    }
    // The width comes back as the largest index used.
    rows.featureCount = rows.indices.empty() ? 0 : 1 + *std::max_element(rows.indices.begin(), rows.indices.end());
    return rows;
}

TEST(SvmlightText, ReadsBackToTheSameBits) {
    for (const std::uint64_t seed : {1u, 2u, 3u}) {
        const SparseRows rows = randomRows(seed);
        const std::string text = svmlightText(rows);
        expectSameRows(parsed(text), rows);
        expectSameRows(parsed(text, 7), rows);
    }
}

TEST(SvmlightText, WritesWholeLabelsInFullAndEachValueInItsFewestDigits) {
    SparseRows rows;
    rows.labels = {3, -0.0, 1e17, -2.5, 9223372036854775808.0, std::nan("")};
    rows.rowStarts = {0, 3, 3, 3, 4, 4, 4};
    rows.indices = {0, 4, 9, 1};
    rows.values = {0.1, 0.1 + 0.2, kSmallestSubnormal, -kInf};
    rows.featureCount = 10;
    EXPECT_EQ(svmlightText(rows),
              "3 1:0.1 5:0.30000000000000004 10:4.94065645841247e-324\n"
              "-0\n"
              "100000000000000000\n"
              "-2.5 2:-inf\n"
              "9.223372036854776e+18\n"
              "nan\n");
}

// A source of bytes that hands out `piece` at a time and counts the checkpoints.
ReadResult readFromMemory(const std::string& bytes, std::size_t piece, int* checkpoints) {
    std::size_t at = 0;
    const ByteReader read = [&](unsigned char* buffer, std::size_t capacity) {
        const std::size_t count = std::min({capacity, piece, bytes.size() - at});
        std::memcpy(buffer, bytes.data() + at, count);
        at += count;
        return count;
    };
    return readSvmlight(read, -1, [&] { ++*checkpoints; });
}

std::string gzipProgram(const std::string& text) {
    char name[] = "/tmp/zelmor-svmlight-test-XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    std::FILE* pipe = popen((std::string("gzip -n -c < ") + name).c_str(), "r");
    std::string compressed;
    char buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) compressed.append(buffer, got);
    EXPECT_EQ(pclose(pipe), 0);
    std::remove(name);
    return compressed;
}

TEST(ReadSvmlight, TellsGzipByItsFirstBytesAndSaysHowFarACutStreamWent) {
    const SparseRows rows = randomRows(5);
    const std::string text = svmlightText(rows);
    const std::string compressed = gzipProgram(text);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{1000}, std::size_t{1} << 22}) {
        int checkpoints = 0;
        expectSameRows(readFromMemory(compressed, piece, &checkpoints).rows, rows);
        expectSameRows(readFromMemory(text, piece, &checkpoints).rows, rows);
        EXPECT_GE(checkpoints, 2);
    }
    int checkpoints = 0;
    try {
        readFromMemory(compressed.substr(0, compressed.size() / 2), 4096, &checkpoints);
        ADD_FAILURE() << "half a gzip file was accepted";
    } catch (const FileError& error) {
        EXPECT_EQ(error.problem(), FileProblem::Malformed);
        EXPECT_NE(std::string(error.what()).find("end early"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("after line "), std::string::npos) << error.what();
    }
    // A malformed line inside compressed text is reported as in plain text.
    try {
        readFromMemory(gzipProgram("1 1:1\n2 x\n"), 4096, &checkpoints);
        ADD_FAILURE() << "accepted";
    } catch (const FileError& error) {
        EXPECT_STREQ(error.what(), "line 2: expected INDEX:VALUE after the label, got 'x'");
    }
    // One byte, or a single 0x1f, is text.
    EXPECT_THROW(readFromMemory("\x1f", 1, &checkpoints), FileError);
    EXPECT_EQ(readFromMemory("7", 1, &checkpoints).rows.labels, std::vector<double>{7});
}

TEST(ReadSvmlight, AskedForAStopBetweenPiecesItStops) {
    const std::string text = std::string(3u << 20, '#') + "\n1 1:1\n";
    std::size_t at = 0;
    const ByteReader read = [&](unsigned char* buffer, std::size_t capacity) {
        const std::size_t count = std::min(capacity, text.size() - at);
        std::memcpy(buffer, text.data() + at, count);
        at += count;
        return count;
    };
    struct Stop {};
    int calls = 0;
    EXPECT_THROW(readSvmlight(read, -1,
                              [&] {
                                  if (++calls == 2) throw Stop{};
                              }),
                 Stop);
    EXPECT_LT(at, text.size());
}

// Files: each way of not being a readable file has its problem, and a failed write leaves no
// half file behind.
class SvmlightFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zelmor-svmlight-files-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + folder_ + "'").c_str()); }
    std::string folder_;
};

FileProblem problemReading(const std::string& path) {
    try {
        readSvmlightFile(path, -1, [] {});
    } catch (const FileError& error) {
        return error.problem();
    }
    ADD_FAILURE() << path << " was read";
    return FileProblem::Malformed;
}

TEST_F(SvmlightFiles, EachFileThatCannotBeReadHasItsProblem) {
    const std::string fifo = folder_ + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(problemReading(folder_ + "/missing.txt"), FileProblem::NotFound);
    EXPECT_EQ(problemReading(folder_ + "/missing/train.txt"), FileProblem::NotFound);
    EXPECT_EQ(problemReading(folder_), FileProblem::NotAFile);
    // A named pipe with no writer would block a plain open.
    EXPECT_EQ(problemReading(fifo), FileProblem::NotAFile);
    // A regular file whose read fails: offset 0 of a process's memory is never mapped.
    if (access("/proc/self/mem", R_OK) == 0) {
        EXPECT_EQ(problemReading("/proc/self/mem"), FileProblem::NotReadable);
    }
    if (geteuid() != 0) {
        const std::string locked = folder_ + "/locked.txt";
        std::FILE* file = std::fopen(locked.c_str(), "w");
        std::fclose(file);
        chmod(locked.c_str(), 0);
        EXPECT_EQ(problemReading(locked), FileProblem::NotReadable);
    }
}

TEST_F(SvmlightFiles, WritesAndReadsBackAndRemovesWhatAFailedWriteLeft) {
    const SparseRows rows = randomRows(8);
    const std::string path = folder_ + "/rows.txt";
    writeSvmlightFile(path, rows, [] {});
    expectSameRows(readSvmlightFile(path, -1, [] {}).rows, rows);

    struct Stop {};
    // Over 3 MiB of text, so that the writer reaches its checkpoint before the end.
    SparseRows many = rows;
    const std::size_t copies = (3u << 20) / svmlightText(rows).size() + 1;
    for (std::size_t copy = 0; copy < copies; ++copy) {
        for (std::size_t i = 0; i < rows.labels.size(); ++i) many.labels.push_back(rows.labels[i]);
        for (std::size_t k = 1; k < rows.rowStarts.size(); ++k) {
            many.rowStarts.push_back(many.rowStarts.back() + rows.rowStarts[k] - rows.rowStarts[k - 1]);
        }
        many.indices.insert(many.indices.end(), rows.indices.begin(), rows.indices.end());
        many.values.insert(many.values.end(), rows.values.begin(), rows.values.end());
    }
    EXPECT_THROW(writeSvmlightFile(path, many, [] { throw Stop{}; }), Stop);
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the half-written file is still there";

    const auto problemWriting = [&](const std::string& target) {
        try {
            writeSvmlightFile(target, rows, [] {});
        } catch (const FileError& error) {
            return error.problem();
        }
        ADD_FAILURE() << target << " was written";
        return FileProblem::Malformed;
    };
    EXPECT_EQ(problemWriting(folder_ + "/missing/rows.txt"), FileProblem::NotWritable);
    EXPECT_EQ(problemWriting(folder_), FileProblem::NotWritable);
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(problemWriting("/dev/full"), FileProblem::NotWritable);
        struct stat status {};
        EXPECT_EQ(stat("/dev/full", &status), 0) << "the device was removed";
    }
}

}  // namespace

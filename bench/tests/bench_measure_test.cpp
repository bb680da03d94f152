// The benchmark's arithmetic and bookkeeping: ideal times of the pause rhythm, medians, file
// comparison, memory readings, records and options. A wrong ideal time or median would make
// every published ratio wrong, so these are checked against values worked out by hand.

#include "bench_measure.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

TEST(BenchBlocks, CountsPartialLastBlock) {
    EXPECT_EQ(BenchBlocks(0), 0);
    EXPECT_EQ(BenchBlocks(1), 1);
    EXPECT_EQ(BenchBlocks(4095), 1);
    EXPECT_EQ(BenchBlocks(4096), 1);
    EXPECT_EQ(BenchBlocks(4097), 2);
    EXPECT_EQ(BenchBlocks(1 << 20), 256);
    EXPECT_EQ(BenchBlocks(16 << 20), 4096);
}

TEST(BenchPauses, FreshSessionPausesAtEveryMultiple) {
    EXPECT_EQ(BenchPauses(0, 256, 10), 25);   // 1 MiB alone
    EXPECT_EQ(BenchPauses(0, 256, 3), 85);    // 1 MiB shared
    EXPECT_EQ(BenchPauses(0, 9, 10), 0);
    EXPECT_EQ(BenchPauses(0, 10, 10), 1);
    EXPECT_EQ(BenchPauses(0, 64, 3), 21);
}

TEST(BenchPauses, CounterRunsOnFromEarlierTransfers) {
    // Counter at 7: blocks 8..12 pass 10 once, although only five blocks move.
    EXPECT_EQ(BenchPauses(7, 5, 10), 1);
    // Counter at 10 (a pause just taken): blocks 11..19 reach no multiple.
    EXPECT_EQ(BenchPauses(10, 9, 10), 0);
    EXPECT_EQ(BenchPauses(10, 10, 10), 1);
    EXPECT_EQ(BenchPauses(2, 1, 3), 1);
}

TEST(BenchPauses, NoRhythmNoPauses) {
    EXPECT_EQ(BenchPauses(0, 1000, 0), 0);
    EXPECT_EQ(BenchPauses(0, 1000, -3), 0);
    EXPECT_EQ(BenchPauses(5, 0, 3), 0);
}

TEST(BenchIdealSeconds, PausesTimesOneHundredMilliseconds) {
    EXPECT_DOUBLE_EQ(BenchIdealSeconds(0, 1 << 20, 10), 2.5);
    EXPECT_DOUBLE_EQ(BenchIdealSeconds(0, 4 << 20, 10), 10.2);
    EXPECT_DOUBLE_EQ(BenchIdealSeconds(0, 16 << 20, 10), 40.9);
    EXPECT_DOUBLE_EQ(BenchIdealSeconds(0, 16 << 20, 3), 136.5);
    EXPECT_DOUBLE_EQ(BenchIdealSeconds(0, 256 << 10, 3), 2.1);
    EXPECT_DOUBLE_EQ(BenchIdealSeconds(0, 100, 10), 0.0);  // one block, no pause
}

TEST(BenchMedian, OddEvenAndEmpty) {
    EXPECT_DOUBLE_EQ(BenchMedian({3.0, 1.0, 2.0}), 2.0);
    EXPECT_DOUBLE_EQ(BenchMedian({4.0, 1.0, 3.0, 2.0}), 2.5);
    EXPECT_DOUBLE_EQ(BenchMedian({7.5}), 7.5);
    EXPECT_DOUBLE_EQ(BenchMedian({}), 0.0);
    // One wild outlier does not move it.
    EXPECT_DOUBLE_EQ(BenchMedian({1.0, 1.1, 50.0, 0.9, 1.0}), 1.0);
}

class BenchFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-bench-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Write(const std::string& name, const std::string& bytes) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string dir_;
};

TEST_F(BenchFiles, EqualOnlyWhenEveryByteMatches) {
    std::string big(200000, 'x');
    std::string a = Write("a", big);
    std::string b = Write("b", big);
    EXPECT_TRUE(BenchFilesEqual(a, b));
    big.back() = 'y';  // differs in the last byte, beyond the first read chunk
    EXPECT_FALSE(BenchFilesEqual(a, Write("c", big)));
    EXPECT_FALSE(BenchFilesEqual(a, Write("d", big.substr(0, 199999))));  // a prefix
    EXPECT_FALSE(BenchFilesEqual(a, dir_ + "/missing"));
    EXPECT_TRUE(BenchFilesEqual(Write("e", ""), Write("f", "")));
}

TEST(BenchResident, GrowsWhenMemoryIsTouched) {
    const int64_t before = BenchResidentBytes();
    ASSERT_GT(before, 0);
    BenchRssSampler sampler(std::chrono::milliseconds(1));
    const size_t size = 64u << 20;
    std::unique_ptr<char[]> block(new char[size]);
    std::memset(block.get(), 1, size);
    const int64_t during = BenchResidentBytes();
    EXPECT_GE(during - before, static_cast<int64_t>(size) * 9 / 10);
    block.reset();
    // The peak stays what it was after the memory is gone again.
    EXPECT_GE(sampler.stop() - before, static_cast<int64_t>(size) * 9 / 10);
}

TEST(BenchRecord, OneJsonObjectWithEscapedText) {
    BenchRecord record;
    record.text("name", "a \"b\"\n\\c\x01").integer("n", -42).number("x", 0.25).flag("ok", true);
    EXPECT_EQ(record.json(),
              "{\"name\": \"a \\\"b\\\"\\n\\\\c\\u0001\", \"n\": -42, \"x\": 0.25, \"ok\": true}");
}

TEST(BenchRecord, NonFiniteNumbersBecomeNull) {
    BenchRecord record;
    record.number("nan", std::nan("")).number("inf", 1.0 / 0.0);
    EXPECT_EQ(record.json(), "{\"nan\": null, \"inf\": null}");
}

TEST(BenchArgs, ModeOptionsAndFlags) {
    const char* argv[] = {"tool", "transfer", "--objects", "8", "--raw", "--remote", "f.bin",
                          "--verbose"};
    BenchArgs args;
    std::string error;
    ASSERT_TRUE(args.parse(8, const_cast<char**>(argv), &error)) << error;
    EXPECT_EQ(args.mode(), "transfer");
    EXPECT_EQ(args.integer("objects", 1), 8);
    EXPECT_TRUE(args.has("raw"));
    EXPECT_EQ(args.text("raw", "unset"), "");
    EXPECT_EQ(args.text("remote"), "f.bin");
    EXPECT_TRUE(args.has("verbose"));
    EXPECT_FALSE(args.has("count"));
    EXPECT_EQ(args.integer("count", 1000), 1000);
}

TEST(BenchArgs, RejectsNonNumbersAndStrayWords) {
    const char* numbers[] = {"tool", "noop", "--count", "12x"};
    BenchArgs args;
    std::string error;
    ASSERT_TRUE(args.parse(4, const_cast<char**>(numbers), &error));
    EXPECT_EQ(args.integer("count", 5), -1);

    const char* stray[] = {"tool", "noop", "extra"};
    BenchArgs second;
    EXPECT_FALSE(second.parse(3, const_cast<char**>(stray), &error));
    EXPECT_NE(error.find("extra"), std::string::npos);
}

}  // namespace

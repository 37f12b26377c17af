#include "output/line_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kolvex {
namespace {

class RecordingSink : public ByteSink {
 public:
  std::optional<OsError> write(std::string_view bytes) override {
    writes.emplace_back(bytes);
    if (fail_at_write == writes.size()) return OsError{32, "Broken pipe"};
    return std::nullopt;
  }
  std::vector<std::string> writes;
  std::size_t fail_at_write = 0;  // 1-based; 0 never fails
};

std::string line_of(std::size_t bytes) {
  return std::string(bytes - 1, 'a') + '\n';
}

TEST(LineWriterTest, WritesPerLineByLength) {
  const struct {
    std::size_t line_bytes;
    std::vector<std::size_t> write_sizes;
  } cases[] = {
      {1, {1}},          {200, {200}},         {1024, {1024}},
      {1025, {1024, 1}}, {2048, {1024, 1024}}, {2500, {1024, 1024, 452}},
  };
  for (const auto& c : cases) {
    RecordingSink sink;
    LineWriter writer(sink);
    ASSERT_FALSE(writer.write_line(line_of(c.line_bytes)));
    std::vector<std::size_t> sizes;
    for (const std::string& w : sink.writes) sizes.push_back(w.size());
    EXPECT_EQ(sizes, c.write_sizes) << c.line_bytes;
    EXPECT_EQ(sink.writes.back().back(), '\n');
  }
}

TEST(LineWriterTest, ConsecutiveLinesAreNeverMerged) {
  RecordingSink sink;
  LineWriter writer(sink);
  ASSERT_FALSE(writer.write_line("{\"a\":1}\n"));
  ASSERT_FALSE(writer.write_line(line_of(1500)));
  ASSERT_FALSE(writer.write_line("{}\n"));
  EXPECT_EQ(sink.writes.size(), 4u);
  EXPECT_EQ(sink.writes.front(), "{\"a\":1}\n");
  EXPECT_EQ(sink.writes.back(), "{}\n");
}

TEST(LineWriterTest, AFailedWriteIsReportedAndItsBytesDropped) {
  RecordingSink sink;
  sink.fail_at_write = 1;
  LineWriter writer(sink);
  const std::optional<OsError> error = writer.write_line(line_of(3000));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 32u);
  EXPECT_EQ(sink.writes.size(), 1u);  // nothing after the failure
  sink.fail_at_write = 0;
  ASSERT_FALSE(writer.write_line("{}\n"));
  EXPECT_EQ(sink.writes.back(), "{}\n");
}

}  // namespace
}  // namespace kolvex

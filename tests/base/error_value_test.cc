#include "base/error_value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

namespace kolvex {
namespace {

class Detail : public ErrorDetail {
 public:
  explicit Detail(std::string message) : message_(std::move(message)) {}
  std::string message() const override { return message_; }

 private:
  std::string message_;
};

PlatformError with_message(std::int32_t code, std::string message) {
  return PlatformError(code, std::make_unique<Detail>(std::move(message)));
}

constexpr std::int32_t DEVICE_INVALIDATED = static_cast<std::int32_t>(0x88890004u);

TEST(ErrorValueTest, CodeTextIsEightUpperCaseHexDigits) {
  const struct {
    std::int32_t code;
    const char* text;
  } cases[] = {
      {0, "0x00000000"},          {1, "0x00000001"},           {0xABCDEF, "0x00ABCDEF"},
      {0x7FFFFFFF, "0x7FFFFFFF"}, {-2147024891, "0x80070005"}, {DEVICE_INVALIDATED, "0x88890004"},
      {-1, "0xFFFFFFFF"},         {INT32_MIN, "0x80000000"},
  };
  for (const auto& c : cases) EXPECT_EQ(code_text(c.code), c.text) << c.code;
}

TEST(ErrorValueTest, PlatformErrorTextPutsTheCodeAfterTheMessage) {
  EXPECT_EQ(with_message(-2147024891, "Access is denied.").text(),
            "Access is denied. (0x80070005)");
  EXPECT_EQ(with_message(DEVICE_INVALIDATED, "").text(), "0x88890004");
  // Detail that explains nothing still stands in for the system's text.
  EXPECT_EQ(with_message(-2147024891, "").text(), "0x80070005");
}

TEST(ErrorValueTest, EmptyErrorHasStatusZero) {
  const PlatformError error = PlatformError::empty();
  EXPECT_EQ(error.code(), 0);
  // Where the system has a text for status 0 it comes first, the code in parentheses.
  const std::string text = error.text();
  EXPECT_TRUE(text == "0x00000000" || text.ends_with(" (0x00000000)")) << text;
}

TEST(ErrorValueTest, ChainedTextJoinsLinksOutermostFirst) {
  const ErrorValue bare(with_message(DEVICE_INVALIDATED, ""));
  EXPECT_EQ(bare.chained_text(), "0x88890004");
  EXPECT_EQ(bare.outermost_text(), "0x88890004");

  const ErrorValue render =
      ErrorValue(with_message(DEVICE_INVALIDATED, "Device gone")).context("render endpoint");
  EXPECT_EQ(render.chained_text(), "render endpoint: Device gone (0x88890004)");
  EXPECT_EQ(render.outermost_text(), "render endpoint");
  ASSERT_NE(render.platform_error(), nullptr);
  EXPECT_EQ(render.platform_error()->code(), DEVICE_INVALIDATED);

  const ErrorValue twice =
      ErrorValue(with_message(-2147024891, "")).context("capture endpoint").context("poll");
  EXPECT_EQ(twice.chained_text(), "poll: capture endpoint: 0x80070005");
}

TEST(ErrorValueTest, ResultCarriesAValueOrTheError) {
  Result<int> value = 5;
  ASSERT_TRUE(value.ok());
  EXPECT_EQ(*value, 5);

  Result<int> failed = with_message(DEVICE_INVALIDATED, "");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.take_error().chained_text(), "0x88890004");
}

}  // namespace
}  // namespace kolvex

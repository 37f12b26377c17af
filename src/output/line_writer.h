#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "output/std_stream.h"

namespace kolvex {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual std::optional<OsError> write(std::string_view bytes) = 0;
};

// A 1024-byte line buffer: a line that fits reaches the sink in one write; a longer one is
// passed on each time the buffer fills, the last write ending with the line feed.
class LineWriter {
 public:
  static constexpr std::size_t CAPACITY = 1024;

  explicit LineWriter(ByteSink& sink) : sink_(sink) { buffer_.reserve(CAPACITY); }

  // `line` ends with its only line feed. On failure the buffered bytes are dropped.
  std::optional<OsError> write_line(std::string_view line);

 private:
  std::optional<OsError> flush();

  ByteSink& sink_;
  std::string buffer_;
};

}  // namespace kolvex

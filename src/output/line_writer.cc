#include "output/line_writer.h"

#include <algorithm>

namespace kolvex {

std::optional<OsError> LineWriter::write_line(std::string_view line) {
  while (!line.empty()) {
    const std::size_t take = std::min(CAPACITY - buffer_.size(), line.size());
    buffer_.append(line.substr(0, take));
    line.remove_prefix(take);
    if (buffer_.size() == CAPACITY || line.empty()) {
      if (std::optional<OsError> error = flush()) return error;
    }
  }
  return std::nullopt;
}

std::optional<OsError> LineWriter::flush() {
  std::optional<OsError> error = sink_.write(buffer_);
  buffer_.clear();
  return error;
}

}  // namespace kolvex

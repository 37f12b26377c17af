#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kolvex::win {

// The full path of the process's executable image in drive-letter form, or nothing when the
// process cannot be opened for limited query, the query fails (also for a path of more than
// 259 UTF-16 units) or it reports an empty path.
std::optional<std::u16string> read_process_image_path(std::uint32_t pid);

}  // namespace kolvex::win

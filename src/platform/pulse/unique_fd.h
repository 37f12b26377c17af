#pragma once

#include <unistd.h>

#include "base/unique_resource.h"

namespace kolvex::pulse {

inline void close_fd(int fd) {
  close(fd);
}
using UniqueFd = UniqueResource<int, close_fd, -1>;

}  // namespace kolvex::pulse

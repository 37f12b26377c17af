#pragma once

#include "base/error_value.h"

namespace kolvex::win {

// Joins this thread to the process's multithreaded apartment. A thread that is already in it
// succeeds again; one that has entered a single-threaded apartment fails.
Status initialize_com();

}  // namespace kolvex::win

#include "parallel/pool.hpp"

namespace corvane::parallel {

std::size_t num_threads() { return 1; }

}  // namespace corvane::parallel

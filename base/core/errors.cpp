#include "base/core/errors.hpp"

namespace quendral {

void internal_failure(std::string message, std::source_location where) {
  throw InternalFailure(std::move(message), where);
}

}  // namespace quendral

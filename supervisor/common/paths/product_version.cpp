// Kept in a file of its own so that a version bump recompiles one file.
#include "supervisor/common/paths/product_version.h"

#ifndef SOV_PRODUCT_VERSION
#error "SOV_PRODUCT_VERSION must be defined by the build"
#endif

namespace sov::supervisor {

const char* BuildProductVersion() {
  return SOV_PRODUCT_VERSION;
}

}  // namespace sov::supervisor

// The product version this launcher was built as, fixed at build time.
#pragma once

namespace sov::supervisor {

// Four dotted numbers, e.g. "12.6.0.118".
const char* BuildProductVersion();

}  // namespace sov::supervisor

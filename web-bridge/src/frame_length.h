// The largest Frame payload, header-only so that programs that drive the host from outside can
// share it without linking the library.
#pragma once

#include <cstdint>

namespace velmora {

inline constexpr std::uint32_t MAX_FRAME_LEN = 16'777'216;

}  // namespace velmora

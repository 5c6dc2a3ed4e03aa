// registration/: what a registration of the host is, shared by velmora-doctor, which judges one,
// and velmora-register-host, which writes one. This header: the two manifest formats.
#pragma once

namespace velmora::registration {

// Whose manifest format and rules a browser follows.
enum class Family { Chromium, Firefox };

}  // namespace velmora::registration

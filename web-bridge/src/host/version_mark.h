// The host answers no question, not even its version, so it carries its version as text in its
// own file; velmora-doctor looks for it there to tell whether a manifest names a host of its
// version. The mark is this prefix, then the version, then a NUL (or any byte not printable).
#pragma once

#define VELMORA_HOST_VERSION_MARK "velmora-web-host version "

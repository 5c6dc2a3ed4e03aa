// The extension IDs a manifest may allow, as each family's browsers take them, and the origin a
// browser gives an extension's host. The registrar refuses any other ID, and the doctor the same.
#pragma once

#include <string>
#include <string_view>

#include "family.h"

namespace velmora::registration {

// 32 letters a to p, as Chromium derives an extension's ID from its key.
bool chromium_extension_id(std::string_view id);
// "{GUID}" or "name@domain", Firefox's schema for an add-on ID (schemas/native_manifest.json,
// ExtensionID).
bool firefox_extension_id(std::string_view id);
// Whichever of the two the family takes.
bool extension_id(Family family, std::string_view id);
// The line that refuses an ID the family does not take ("not a Firefox extension ID: 'x'"), or
// empty for one it takes.
std::string id_refusal(Family family, std::string_view id);

// chrome-extension://<id>/ or the add-on ID itself.
std::string origin_of(Family family, std::string_view extension_id);

}  // namespace velmora::registration

// registrar/: velmora-register-host, which registers the host for the current user by writing
// its manifest into the per-user folders of the browsers in the browser table, and takes back
// what it wrote. This header: its two commands, each giving the exit status (0 done, 1 a failure
// of the system, named, 2 refused before anything was written).
#pragma once

#include <iosfwd>

#include "options.h"
#include "places.h"

namespace velmora::registrar {

struct Output {
  std::ostream& out;  // what was done, a line each
  std::ostream& err;  // what was refused or failed
};

int install(const InstallOptions& options, const UserFolders& user, Output output);
int uninstall(const UserFolders& user, Output output);

}  // namespace velmora::registrar

// `uninstall`: takes back what the record says was written, each file only while it is exactly
// what was written, then the folders the registrar made that are empty, then the record.
#include <algorithm>
#include <iterator>
#include <ostream>

#include "commands.h"
#include "files.h"
#include "manifest.h"
#include "platform/files.h"
#include "product.h"
#include "record.h"

namespace velmora::registrar {

namespace {

std::string shown(const fs::path& path) {
  return platform::display_path(path);
}

bool unchanged(const WrittenFile& file, std::string_view bytes) {
  if (!file.size) return written_by_the_script(bytes, product::HOST_NAME);
  return *file.size == bytes.size() && file.hash == content_hash(bytes);
}

// Gives false when the file stays for a failure of the system, to be tried again.
bool take_back(const WrittenFile& file, Output output) {
  auto bytes = read_regular_file(file.path);
  if (!bytes) {
    output.out << "left " << bytes.error() << ": it is not the file velmora-register-host wrote\n";
    return true;
  }
  if (!*bytes) return true;  // gone already
  if (!unchanged(file, **bytes)) {
    output.out << "left " << shown(file.path)
               << ": it was changed since velmora-register-host wrote it\n";
    return true;
  }
  if (auto removed = remove_file(file.path); !removed) {
    output.err << "velmora-register-host: " << removed.error() << "\n";
    return false;
  }
  output.out << "removed " << shown(file.path) << "\n";
  return true;
}

// No record: what the shell script that came before wrote, wherever it is still unchanged.
int take_back_unrecorded(const UserFolders& user, Output output) {
  for (const auto& row : registration::BROWSER_TABLE) {
    if (auto folder = user_folder(row, user))
      take_back({*folder / (std::string(product::HOST_NAME) + ".json"), std::nullopt, 0},
                {output.out, output.err});
  }
  return 0;
}

}  // namespace

int uninstall(const UserFolders& user, Output output) {
  fs::path file = record_file(user);
  auto read = read_record(file, user, product::HOST_NAME);
  if (!read) {
    output.err << "velmora-register-host: " << read.error() << "\n";
    return 1;
  }
  if (!*read) return take_back_unrecorded(user, output);
  Record& record = **read;
  Record kept;
  for (const auto& written : record.files) {
    if (!take_back(written, output)) kept.files.push_back(written);
  }
  // Such a line is reported and dropped with the record: it names nothing this run may remove.
  for (const auto& line : record.refused)
    output.err << "velmora-register-host: ignored a line of " << shown(file)
               << " that names no manifest of this host in a browser's folder: " << line << "\n";
  bool keep = !kept.files.empty();
  if (!keep) {
    if (auto removed = remove_file(file); !removed) {
      output.err << "velmora-register-host: " << removed.error() << "\n";
      return 1;
    }
  }
  // The innermost first; one that holds anything (a browser's profile, say) stays.
  auto depth = [](const fs::path& path) { return std::distance(path.begin(), path.end()); };
  std::ranges::stable_sort(record.folders, std::ranges::greater{}, depth);
  for (const auto& folder : record.folders) {
    if (!remove_empty_folder(folder)) kept.folders.push_back(folder);
  }
  if (keep) {
    if (auto saved = save_record(file, kept); !saved) {
      output.err << "velmora-register-host: " << saved.error() << "\n";
      return 1;
    }
  }
  return kept.files.empty() ? 0 : 1;
}

}  // namespace velmora::registrar

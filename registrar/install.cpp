// `install`: the browsers chosen, the manifest for each of their folders, written one at a time
// and recorded at once, so that a run stopped anywhere leaves a record of all it wrote.
#include <algorithm>
#include <ostream>

#include "commands.h"
#include "files.h"
#include "installed.h"
#include "manifest.h"
#include "platform/files.h"
#include "platform/process.h"
#include "product.h"
#include "record.h"

namespace velmora::registrar {

namespace {

using registration::BROWSER_TABLE;
using registration::Family;
using registration::TableRow;

std::string shown(const fs::path& path) {
  return platform::display_path(path);
}

std::expected<fs::path, std::string> host_path(const InstallOptions& options) {
  fs::path given;
  if (options.host) {
    given = *options.host;
  } else {
    auto self = platform::running_executable_final_path();
    if (!self) return std::unexpected("cannot find its own program: " + self.error().display());
    given = self->parent_path() / "velmora-web-host";
  }
  // The browsers need an absolute path; links are resolved so that the agent is found beside it.
  std::error_code error;
  fs::path host = fs::canonical(given, error);
  if (error || !registration::runnable(host))
    return std::unexpected("not an executable file: '" + shown(given) + "'");
  if (auto writable = writable_host_path(host); !writable) return std::unexpected(writable.error());
  return host;
}

// The rows named (or all), else those installed; a bundle's folder cannot be written.
std::expected<std::vector<const TableRow*>, std::string> chosen_rows(
    const std::vector<std::string>& wanted, std::ostream& err) {
  for (const auto& name : wanted) {
    if (name != "all" &&
        std::ranges::none_of(BROWSER_TABLE, [&](auto& row) { return row.id == name; }))
      return std::unexpected("unknown browser '" + name + "': name one of " + browser_ids() +
                             ", or all");
  }
  bool all = std::ranges::find(wanted, "all") != wanted.end();
  std::vector<const TableRow*> rows;
  for (const TableRow& row : BROWSER_TABLE) {
    bool named = all || std::ranges::find(wanted, row.id) != wanted.end();
    if (wanted.empty() ? !registration::installed(row) : !named) continue;
    if (row.user.starts_with("bundle/")) {
      if (!all && !wanted.empty()) return std::unexpected(bundle_note(row));
      err << "velmora-register-host: " << bundle_note(row) << "\n";
      continue;
    }
    rows.push_back(&row);
  }
  return rows;
}

struct Target {
  fs::path folder;
  Family family;
  std::string served;  // the browsers that read it
};

// Each folder once (Opera reads Chrome's); a family without IDs is left out.
std::vector<Target> targets_of(const std::vector<const TableRow*>& rows,
                               const InstallOptions& options, const UserFolders& user) {
  std::vector<Target> targets;
  for (const TableRow* row : rows) {
    auto& ids = row->family == Family::Chromium ? options.chromium_ids : options.firefox_ids;
    if (ids.empty()) continue;
    auto folder = *user_folder(*row, user);
    auto same = std::ranges::find(targets, folder, &Target::folder);
    if (same != targets.end()) {
      same->served += ", " + std::string(row->name);
    } else {
      targets.push_back({folder, row->family, std::string(row->name)});
    }
  }
  return targets;
}

// What is there is ours to replace: what the record says was written, or the script's.
bool ours(std::string_view bytes, const WrittenFile* entry) {
  bool recorded =
      entry && entry->size && *entry->size == bytes.size() && entry->hash == content_hash(bytes);
  return recorded || written_by_the_script(bytes, product::HOST_NAME);
}

class Writer {
 public:
  Writer(const UserFolders& user, Record record, Output output)
      : user_(user), file_(record_file(user)), record_(std::move(record)), output_(output) {}

  std::expected<void, std::string> start() {
    auto made =
        make_folders(made_for(file_.parent_path(), user_).creatable, [&](const fs::path& f) {
          note_folder(f);
          return std::expected<void, std::string>{};
        });
    return made ? save_record(file_, record_) : made;
  }

  // Gives false when a file there that is not ours was left as it is.
  std::expected<bool, std::string> write(const Target& target, const std::string& text) {
    auto made = make_folders(made_for(target.folder, user_).creatable, [&](const fs::path& f) {
      note_folder(f);
      return save_record(file_, record_);
    });
    if (!made) return std::unexpected(made.error());
    fs::path file = target.folder / (std::string(product::HOST_NAME) + ".json");
    auto there = read_regular_file(file);
    if (!there || (*there && **there != text && !ours(**there, record_.find(file)))) {
      output_.err << "velmora-register-host: left "
                  << (there ? shown(file) + ": it is not what velmora-register-host wrote"
                            : there.error())
                  << "; move it away and install again to register for " << target.served << "\n";
      return false;
    }
    if (auto replaced = replace_file(file, text, 0644); !replaced)
      return std::unexpected(replaced.error());
    record_.wrote(file, text);
    if (auto saved = save_record(file_, record_); !saved) return std::unexpected(saved.error());
    output_.out << "wrote " << shown(file) << " for " << target.served << "\n" << std::flush;
    ++written_;
    return true;
  }

  int written() const { return written_; }

 private:
  void note_folder(const fs::path& folder) {
    if (std::ranges::find(record_.folders, folder) == record_.folders.end())
      record_.folders.push_back(folder);
  }

  const UserFolders& user_;
  fs::path file_;
  Record record_;
  Output output_;
  int written_ = 0;
};

}  // namespace

int install(const InstallOptions& options, const UserFolders& user, Output output) {
  auto refuse = [&](const std::string& line) {
    output.err << "velmora-register-host: " << line << "\n";
    return 2;
  };
  auto host = host_path(options);
  if (!host) return refuse(host.error());
  auto rows = chosen_rows(options.browsers, output.err);
  if (!rows) return refuse(rows.error());
  if (options.browsers.empty()) {
    if (rows->empty())
      return refuse("found no browser's program; name the browsers with --browser (one of " +
                    browser_ids() + ", or all)");
    std::string found;
    for (const TableRow* row : *rows) found += (found.empty() ? "" : ", ") + std::string(row->name);
    output.out << "found " << found << "\n";
  }
  auto targets = targets_of(*rows, options, user);
  if (targets.empty())
    return refuse(
        "the browsers chosen take none of the extension IDs given: the Chromium family takes "
        "--chromium IDs, the Firefox family --firefox ones");
  auto record = read_record(record_file(user), user, product::HOST_NAME);
  if (!record) return refuse(record.error());
  Writer writer(user, record->value_or(Record{}), output);
  auto failed = [&](const std::string& line) {
    int count = writer.written();
    output.err << "velmora-register-host: " << line << "; "
               << (count == 0 ? std::string("wrote nothing")
                              : "wrote the " + std::to_string(count) +
                                    (count == 1 ? " manifest" : " manifests") +
                                    " above, which velmora-register-host uninstall removes")
               << "\n";
    return 1;
  };
  if (auto started = writer.start(); !started) return failed(started.error());
  int status = 0;
  for (const Target& target : targets) {
    auto& ids = target.family == Family::Chromium ? options.chromium_ids : options.firefox_ids;
    auto written = writer.write(target, manifest_text(target.family, *host, ids));
    if (!written) return failed(written.error());
    if (!*written) status = 1;
  }
  return status;
}

}  // namespace velmora::registrar

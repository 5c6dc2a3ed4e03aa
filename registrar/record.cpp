#include "record.h"

#include <algorithm>
#include <charconv>

#include "files.h"

namespace velmora::registrar {

namespace {

constexpr std::string_view HEADING = "velmora-register-host record 2";

bool allowed_file(const fs::path& path, const UserFolders& user, std::string_view host_name) {
  if (path.filename() != std::string(host_name) + ".json") return false;
  return std::ranges::any_of(registration::BROWSER_TABLE, [&](const auto& row) {
    auto folder = user_folder(row, user);
    return folder && *folder == path.parent_path();
  });
}

bool allowed_folder(const fs::path& path, const UserFolders& user) {
  return std::ranges::any_of(every_folder(user), [&](const Made& made) {
    return std::ranges::find(made.creatable, path) != made.creatable.end();
  });
}

template <typename Number>
std::optional<Number> number(std::string_view text, int base) {
  Number value{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// "file <size> <hash> <path>", "folder <path>", or the script's "<top>\t<path>".
bool read_line(std::string_view line, Record& record, const UserFolders& user,
               std::string_view host_name) {
  auto word = [&]() {
    auto space = line.find(' ');
    auto taken = line.substr(0, space);
    line = space == std::string_view::npos ? "" : line.substr(space + 1);
    return taken;
  };
  if (!line.starts_with("file ") && !line.starts_with("folder ")) {
    auto tab = line.find('\t');
    if (tab == std::string_view::npos) return false;
    fs::path path(line.substr(tab + 1));
    if (!allowed_file(path, user, host_name)) return false;
    record.files.push_back({path, std::nullopt, 0});
    return true;
  }
  auto kind = word();
  if (kind == "folder") {
    if (!allowed_folder(line, user)) return false;
    record.folders.emplace_back(line);
    return true;
  }
  auto size = number<std::uintmax_t>(word(), 10);
  auto hash = number<std::uint64_t>(word(), 16);
  if (kind != "file" || !size || !hash || !allowed_file(line, user, host_name)) return false;
  record.files.push_back({fs::path(line), size, *hash});
  return true;
}

}  // namespace

std::uint64_t content_hash(std::string_view bytes) {
  std::uint64_t hash = 0xcbf29ce484222325;
  for (char byte : bytes) hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3;
  return hash;
}

void Record::wrote(const fs::path& path, std::string_view contents) {
  std::erase_if(files, [&](const WrittenFile& file) { return file.path == path; });
  files.push_back({path, contents.size(), content_hash(contents)});
}

const WrittenFile* Record::find(const fs::path& path) const {
  auto found = std::ranges::find(files, path, &WrittenFile::path);
  return found == files.end() ? nullptr : &*found;
}

std::expected<std::optional<Record>, std::string> read_record(const fs::path& file,
                                                              const UserFolders& user,
                                                              std::string_view host_name) {
  auto text = read_regular_file(file);
  if (!text) return std::unexpected(text.error());
  if (!*text) return std::nullopt;
  Record record;
  std::string_view rest = **text;
  while (!rest.empty()) {
    auto end = rest.find('\n');
    auto line = rest.substr(0, end);
    rest = end == std::string_view::npos ? "" : rest.substr(end + 1);
    if (line.empty() || line == HEADING) continue;
    if (!read_line(line, record, user, host_name)) record.refused.emplace_back(line);
  }
  return record;
}

std::expected<void, std::string> save_record(const fs::path& file, const Record& record) {
  std::string text = std::string(HEADING) + "\n";
  char hash[17];
  for (const auto& written : record.files) {
    if (!written.size) {
      text += "-\t" + written.path.string() + "\n";
      continue;
    }
    auto end = std::to_chars(hash, hash + 16, written.hash, 16).ptr;
    text += "file " + std::to_string(*written.size) + " " + std::string(hash, end) + " " +
            written.path.string() + "\n";
  }
  for (const auto& folder : record.folders) text += "folder " + folder.string() + "\n";
  for (const auto& line : record.refused) text += line + "\n";
  return replace_file(file, text, 0600);
}

}  // namespace velmora::registrar

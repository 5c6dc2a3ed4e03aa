#include <gtest/gtest.h>

#include "manifest.h"
#include "product.h"
#include "record.h"
#include "test.h"

namespace velmora::registrar {
namespace {

const std::string NAME{product::HOST_NAME};

// What the shell script wrote, byte for byte, for a host and one ID.
std::string script_manifest(std::string_view path) {
  return "{\n  \"name\": \"" + NAME + "\",\n  \"description\": \"" + std::string(DESCRIPTION) +
         "\",\n  \"path\": \"" + std::string(path) +
         "\",\n  \"type\": \"stdio\",\n  \"allowed_extensions\": [\"a@b.c\"]\n}\n";
}

TEST(Manifest, TheScriptsOwnIsKnownByItsBytes) {
  struct Case {
    std::string text;
    bool ours;
  } cases[] = {
      {script_manifest("/opt/h"), true},
      {script_manifest("/opt/my \\\"h\\\""), true},  // its escaping
      {script_manifest("/opt/h") + " ", false},      // edited after
      {"{}", false},
  };
  for (const auto& c : cases) EXPECT_EQ(written_by_the_script(c.text, NAME), c.ours) << c.text;
}

// Only a manifest of this host in a browser's per-user folder, or a folder on the way to one
// below HOME, can come out of the record.
TEST(Record, TakesOnlyWhatTheRegistrarCanHaveWritten) {
  auto dir = test::TempDir::create().value();
  UserFolders user{dir.path(), dir.path() / ".config", dir.path() / ".local/state"};
  auto chromium = (user.config / "chromium/NativeMessagingHosts" / (NAME + ".json")).string();
  struct Case {
    std::string line;
    bool taken;
  } cases[] = {
      {"file 2 0 " + chromium, true},
      {dir.path().string() + "\t" + chromium, true},  // the script's
      {"folder " + (user.config / "chromium").string(), true},
      {"folder " + (dir.path() / ".local").string(), true},
      {"file 2 0 " + (dir.path() / "backup/my-copy.json").string(), false},
      {"file 2 0 " + (user.config / "chromium/NativeMessagingHosts/other.json").string(), false},
      {"file x 0 " + chromium, false},
      {"folder " + dir.path().string(), false},
      {"folder " + dir.path().parent_path().string(), false},
      {"folder " + (dir.path() / "Documents").string(), false},
  };
  auto file = dir.path() / "registered";
  for (const auto& c : cases) {
    ASSERT_TRUE(driver::write_file(file, c.line + "\n"));
    auto record = read_record(file, user, NAME);
    ASSERT_TRUE(record && *record);
    EXPECT_EQ((*record)->refused.empty(), c.taken) << c.line;
  }
}

}  // namespace
}  // namespace velmora::registrar

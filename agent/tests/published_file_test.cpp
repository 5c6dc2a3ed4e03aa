#include "published_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>

#include "test.h"

namespace velmora::agent {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::string contents_of(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void write_plainly(const fs::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::size_t entries_in(const fs::path& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
}

TEST(AgentPublishedFileTest, CreatesTheFolderAndWritesTheBytes) {
  TempDir dir = TempDir::create().value();
  fs::path target = dir.path() / "a" / "b" / "file.json";
  constexpr std::string_view bytes("x\0y\n", 4);
  ASSERT_TRUE(write_file_atomically(target, bytes));
  EXPECT_EQ(contents_of(target), bytes);
}

TEST(AgentPublishedFileTest, ReplacesAnOldFileAndLeavesNoTemporary) {
  TempDir dir = TempDir::create().value();
  fs::path target = dir.path() / "file.json";
  write_plainly(target, "an old, longer file from an agent that crashed");
  ASSERT_TRUE(write_file_atomically(target, "new"));
  EXPECT_EQ(contents_of(target), "new");
  EXPECT_EQ(entries_in(dir.path()), 1u);
}

TEST(AgentPublishedFileTest, AFolderThatCannotBeMadeIsAnError) {
  TempDir dir = TempDir::create().value();
  write_plainly(dir.path() / "plain", "a file, not a folder");
  auto written = write_file_atomically(dir.path() / "plain" / "file.json", "x");
  ASSERT_FALSE(written);
  EXPECT_NE(written.error().find("plain"), std::string::npos) << written.error();
}

TEST(AgentPublishedFileTest, WithdrawRemovesTheFileOnce) {
  TempDir dir = TempDir::create().value();
  fs::path target = dir.path() / "file.json";
  auto published = PublishedFile::publish(target, "mine");
  ASSERT_TRUE(published) << published.error();
  EXPECT_TRUE(fs::exists(target));
  published->withdraw();
  EXPECT_FALSE(fs::exists(target));
  write_plainly(target, "mine");
  published->withdraw();
  EXPECT_TRUE(fs::exists(target)) << "a second withdraw removed a later file";
}

TEST(AgentPublishedFileTest, AFileRewrittenByAnotherAgentStays) {
  TempDir dir = TempDir::create().value();
  fs::path target = dir.path() / "file.json";
  {
    auto published = PublishedFile::publish(target, "mine");
    ASSERT_TRUE(published) << published.error();
    write_plainly(target, "theirs");
  }
  EXPECT_EQ(contents_of(target), "theirs");
}

TEST(AgentPublishedFileTest, OnlyTheLastOwnerWithdraws) {
  TempDir dir = TempDir::create().value();
  fs::path target = dir.path() / "file.json";
  std::optional<PublishedFile> last;
  {
    auto published = PublishedFile::publish(target, "mine");
    ASSERT_TRUE(published) << published.error();
    last.emplace(std::move(*published));
  }
  EXPECT_TRUE(fs::exists(target)) << "the moved-from owner withdrew the file";
  last.reset();
  EXPECT_FALSE(fs::exists(target));
}

}  // namespace
}  // namespace velmora::agent

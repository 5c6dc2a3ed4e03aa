#include <gtest/gtest.h>

#include "bridge_and_agent.h"
#include "manifest.h"
#include "platform/socket.h"
#include "product.h"
#include "registrations.h"
#include "system/host_run.h"
#include "system/policy_files.h"
#include "test.h"

namespace velmora::doctor {
namespace {

using system::Family;
const std::string NAME{product::HOST_NAME};
const std::string ID{product::CHROMIUM_EXTENSION_IDS.front()};
const std::string ADDON{product::FIREFOX_EXTENSION_IDS.front()};
const std::vector<std::string> IDS{ID};
const std::vector<std::string> ADDONS{ADDON};

std::string manifest(std::string_view path, std::string_view allowed,
                     std::string_view name = NAME) {
  return R"({"name":")" + std::string(name) + R"(","description":"d","path":")" +
         std::string(path) + R"(","type":"stdio",)" + std::string(allowed) + "}";
}
// An absolute path on either platform.
const std::string HOST = (std::filesystem::current_path() / "h").generic_string();
const std::string ORIGINS = R"("allowed_origins":["chrome-extension://)" + ID + R"(/"])";

TEST(Manifest, FaultsAsTheBrowsersSeeThem) {
  struct Case {
    Family family;
    bool relative;
    std::string text;
    std::string fault;  // a part of the one fault expected; empty for none
  } cases[] = {
      {Family::Chromium, false, manifest(HOST, ORIGINS), ""},
      {Family::Firefox, false, manifest(HOST, R"("allowed_extensions":[")" + ADDON + "\"]"), ""},
      {Family::Chromium, true, manifest("h.exe", ORIGINS), ""},
      {Family::Firefox, false,
       "\xEF\xBB\xBF" + manifest(HOST, R"("allowed_extensions":[")" + ADDON + "\"]"), ""},
      {Family::Chromium, false, "\xFF\xFE{", "UTF-16"},
      {Family::Chromium, false, "{\"name\":", "not a JSON object"},
      {Family::Chromium, false, manifest(HOST, ORIGINS, "com.other"), "\"name\" is \"com.other\""},
      {Family::Chromium, false, manifest("h", ORIGINS), "relative"},
      {Family::Chromium, false, manifest("", ORIGINS), "no \"path\""},
      {Family::Chromium, false, manifest(HOST, R"("allowed_origins":[])"), "does not allow"},
      {Family::Chromium, false, manifest(HOST, R"("allowed_extensions":[")" + ADDON + "\"]"),
       "no \"allowed_origins\""},
      {Family::Chromium, false,
       manifest(HOST, R"("allowed_origins":["chrome-extension://)" + ID +
                          R"(/","chrome-extension://x"])"),
       "cannot read"},
      {Family::Chromium, false,
       R"({"name":")" + NAME + R"(","path":")" + HOST + R"(","type":"stdio",)" + ORIGINS + "}",
       "\"description\" is missing"},
      {Family::Chromium, false,
       R"({"name":")" + NAME + R"(","description":"d","path":")" + HOST + "\"," + ORIGINS + "}",
       "\"type\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto ids = c.family == Family::Chromium ? IDS : ADDONS;
    auto verdict = judge_manifest("/m/x.json", as_bytes(c.text), {NAME, c.family, ids, c.relative});
    if (c.fault.empty()) {
      EXPECT_TRUE(verdict.faults.empty()) << verdict.faults.front();
      ASSERT_TRUE(verdict.host);
      EXPECT_EQ(*verdict.host,
                c.relative ? std::filesystem::path("/m/h.exe") : std::filesystem::path(HOST));
    } else {
      ASSERT_EQ(verdict.faults.size(), 1u);
      EXPECT_NE(verdict.faults[0].find(c.fault), std::string::npos) << verdict.faults[0];
    }
  }
}

// A stand-in for the host: a script that carries this version's mark.
constexpr const char* SOUND_HOST = "#!/bin/sh\n# " VELMORA_HOST_VERSION_MARK VELMORA_VERSION "\n";

// A browser with a per-user and a machine-wide place in a fresh folder, and a host there.
TEST(Registration, FailsOnlyWhenWhatIsRegisteredCannotBeUsed) {
  struct Case {
    const char* what;
    std::optional<std::size_t> place;  // where the manifest is: 0 per-user, 1 machine-wide
    const char* host;                  // the host file's text; nullptr for none
    system::Policy policy;
    Verdict verdict;
    const char* named;  // what the check must name
  } cases[] = {
      {"nothing registered", std::nullopt, SOUND_HOST, {}, Verdict::Info, "user"},
      {"sound", 0, SOUND_HOST, {}, Verdict::Ok, "user"},
      {"missing host", 0, nullptr, {}, Verdict::Fail, "velmora-web-host"},
      // The version informs; the run of the host decides.
      {"another version",
       0,
       "#!/bin/sh\n# " VELMORA_HOST_VERSION_MARK "0.0.1\n",
       {},
       Verdict::Ok,
       "user"},
      {"user level hidden", 0, SOUND_HOST, {"P", false, {}, {}, {}}, Verdict::Fail, "P"},
      {"machine level despite the policy",
       1,
       SOUND_HOST,
       {"P", false, {}, {}, {}},
       Verdict::Ok,
       "system"},
      {"blocked", 1, SOUND_HOST, {"B", std::nullopt, {"*"}, {}, {}}, Verdict::Fail, "B"},
      // A block fails only a browser that the host is registered for.
      {"blocked, not registered",
       std::nullopt,
       SOUND_HOST,
       {"B", std::nullopt, {"*"}, {}, {}},
       Verdict::Info,
       "B"},
      {"blocked but allowed",
       1,
       SOUND_HOST,
       {"B", std::nullopt, {"*"}, {NAME}, {}},
       Verdict::Ok,
       "system"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto dir = test::TempDir::create().value();
    auto host = dir.path() / "velmora-web-host";
    system::Browser browser{"Chrome", Family::Chromium, true, {}, {c.policy}, false, {}};
    for (auto level : {"user", "system"}) {
      auto file = (dir.path() / level / (NAME + ".json")).string();
      browser.places.push_back({file, level == std::string("user"), std::nullopt, {}, {}});
    }
    if (c.host) {
      ASSERT_TRUE(driver::write_file(host, c.host));
      std::filesystem::permissions(host, std::filesystem::perms::owner_all);
    }
    if (c.place) {
      auto& place = browser.places[*c.place];
      place.manifest = place.shown;
      ASSERT_TRUE(driver::write_file(place.shown, manifest(host.generic_string(), ORIGINS)));
    }
    Checks checks;
    auto usable = examine_browser(browser, {{browser}, false, {}, {}}, {NAME, IDS, ADDONS}, checks);
    ASSERT_FALSE(checks.empty());
    EXPECT_EQ(checks.front().verdict, c.verdict) << checks.front().text;
    EXPECT_NE(checks.front().text.find(c.named), std::string::npos) << checks.front().text;
    EXPECT_EQ(usable.has_value(), c.verdict == Verdict::Ok);
    // A registration that is there, even if unusable, is never called missing as well.
    auto missing = std::ranges::count_if(
        checks, [](const Check& k) { return k.text.find("not registered") != std::string::npos; });
    EXPECT_EQ(missing, c.verdict == Verdict::Info ? 1 : 0);
  }
}

// The blocklist Chromium applies from its managed folder, and the file it comes from.
TEST(Policies, AsChromiumReadsThem) {
  using Files = std::vector<std::pair<std::string, std::string>>;
  const std::string BLOCK_X = R"({"NativeMessagingBlocklist":["x"]})";
  struct Case {
    const char* what;
    Files files;
    std::vector<std::string> blocklist;
    std::string from;
  } cases[] = {
      {"a trailing comma",
       {{"a.json", R"({"NativeMessagingBlocklist":["x",],})"}},
       {"x"},
       "a.json"},
      {"comments, any name",
       {{"b.json.disabled", "// c\n{\"NativeMessagingBlocklist\":[\"x\", /* , */ ]}"}},
       {"x"},
       "b.json.disabled"},
      {"the last file gives the policy whole",
       {{"b", R"({"NativeMessagingBlocklist":["y"]})"}, {"a.json", BLOCK_X}},
       {"y"},
       "b"},
      {"a broken file is skipped", {{"a.json", BLOCK_X}, {"b.json", "{"}}, {"x"}, "a.json"},
      {"commas in a string stay", {{"a", R"({"NativeMessagingBlocklist":["x,]"]})"}}, {"x,]"}, "a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto dir = test::TempDir::create().value();
    for (const auto& [name, text] : c.files)
      ASSERT_TRUE(driver::write_file(dir.path() / name, text));
    auto policies = system::chromium_policies(dir.path());
    ASSERT_EQ(policies.size(), 1u);
    EXPECT_EQ(policies[0].blocklist, c.blocklist);
    EXPECT_TRUE(policies[0].shown.ends_with(c.from)) << policies[0].shown;
  }
}

// Only the exception codes that are crashes read as one; any other code is a status.
TEST(HostRun, WindowsExitCodesReadAsCrashesOnlyWhenTheyAre) {
  struct Case {
    std::uint32_t code;
    const char* crash;
    const char* status;
  } cases[] = {
      {0xC0000005, "access violation, 0xC0000005", ""},
      {0xC00000FD, "stack overflow, 0xC00000FD", ""},
      {0xC0000374, "heap corruption, 0xC0000374", ""},
      {0xC000001D, "illegal instruction, 0xC000001D", ""},
      {0xC0000094, "integer division by zero, 0xC0000094", ""},
      {0xC0000409, "stack buffer overrun or fail-fast exit, 0xC0000409", ""},
      {0xC0000602, "fail-fast exception, 0xC0000602", ""},
      {0xFFFFFFFF, "", "0xFFFFFFFF"},  // exit(-1)
      {0xC000013A, "", "0xC000013A"},  // Ctrl+C
      {0xC0000135, "", "0xC0000135, a DLL it needs was not found"},
      {3, "", "3"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(system::crash_of(c.code), c.crash) << c.code;
    if (*c.crash == '\0') {
      EXPECT_EQ(system::status_of(c.code), c.status) << c.code;
    }
  }
}

TEST(Agent, NamesTheBridgeFileOrThePort) {
  auto dir = test::TempDir::create().value();
  auto bridge = dir.path() / "web-bridge.json";
  auto listener = platform::Listener::bind_loopback(0).value();
  auto port = std::to_string(listener.port());
  struct Case {
    std::optional<std::string> contents;
    Verdict last;
    std::string named;
    std::chrono::milliseconds answer_limit = HELLO_ANSWER_LIMIT;
  } cases[] = {
      {std::nullopt, Verdict::Fail, "is missing"},
      {"\xEF\xBB\xBF{}", Verdict::Fail, "not a bridge file"},
      // A program that takes the connection and never answers the hello is not the agent.
      {R"({"port":)" + port + R"(,"token":"t"})", Verdict::Fail, "no answer to the hello"},
      // A bound the system refuses: no hello is sent, so none is said to be answered.
      {R"({"port":)" + port + R"(,"token":"t"})", Verdict::Info, "sent no hello",
       std::chrono::milliseconds(0)},
  };
  for (const auto& c : cases) {
    if (c.contents) {
      ASSERT_TRUE(driver::write_file(bridge, *c.contents));
    }
    Checks checks;
    examine_agent(bridge, checks, c.answer_limit);
    EXPECT_EQ(checks.back().verdict, c.last) << checks.back().text;
    EXPECT_NE(checks.back().text.find(c.named), std::string::npos) << checks.back().text;
  }
  Checks none;
  examine_agent(std::nullopt, none);
  EXPECT_EQ(exit_status(none), 1);
}

// The report for a person: the browsers not installed on one line, each installed browser's
// verdict before its checks, and a last line with the count and the first step.
TEST(Report, PutsWhatMattersFirstAndLast) {
  const Check chrome{"Chrome", Verdict::Info, "not installed; not registered", false};
  const Check sound{"Chromium", Verdict::Ok, "registered at f: starts h", false};
  const Check broken{"Firefox", Verdict::Fail, "g: its \"name\" is x; set it", false};
  const Check agent{"agent", Verdict::Fail, "nobody answers; start it", false};
  auto verdict = [](std::string browser, std::string_view text) {
    return Check{std::move(browser), Verdict::Info, std::string(text), true};
  };
  struct Case {
    Checks checks;
    std::string report;
  } cases[] = {
      {{chrome, sound, agent, verdict("Chrome", NOT_INSTALLED), verdict("Edge", NOT_INSTALLED),
        verdict("Chromium", "can use the host")},
       "not installed: Chrome, Edge\nChromium: can use the host\n  ok   registered at f: starts "
       "h\nFAIL agent: nobody answers; start it\n1 problem; first step: agent: nobody answers; "
       "start it\n"},
      {{sound, broken, agent, verdict("Chromium", "can use the host"),
        verdict("Firefox", "cannot use the host")},
       "Chromium: can use the host\n  ok   registered at f: starts h\nFirefox: cannot use the "
       "host\n  FAIL g: its \"name\" is x; set it\nFAIL agent: nobody answers; start it\n2 "
       "problems; first step: Firefox: g: its \"name\" is x; set it\n"},
      {{sound, verdict("Chromium", "can use the host")},
       "Chromium: can use the host\n  ok   registered at f: starts h\nno problems\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(as_report(c.checks), c.report);
}

}  // namespace
}  // namespace velmora::doctor

#include "e2e/scenario_runner.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace saplugin {

namespace {

namespace fs = std::filesystem;

const std::string kPickup = "pickup of N.MAI\r\n";

bool Matches(const std::string& expected, const std::string& actual) {
  if (!expected.empty() && expected.back() == '*') {
    return actual.rfind(expected.substr(0, expected.size() - 1), 0) == 0;
  }
  return expected == actual;
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  }
  return names;
}


}  // namespace

bool IsTaggedCopyOf(const std::string& tagged, const std::string& original) {
  return tagged.rfind("X-Spam-Checker-Version: ", 0) == 0 &&
         tagged.find("\nX-Spam-Status: ") != std::string::npos && tagged.size() > original.size() &&
         tagged.compare(tagged.size() - original.size(), original.size(), original) == 0;
}

void RunScenario(const Build& build, const Scenario& s) {
  Sandbox box(build);
  if (!build.wine) {
    box.environment["COMSPEC"] = SACMD_EXE;
    box.environment["HOME"] = box.Path("");
  }
  std::map<std::string, std::string> settings = s.settings;
  settings["QUARANTINEPATH"] = box.Native(box.Quarantine());
  settings["TEMPPATH"] = box.Native(s.missing_temp_path ? box.Path("no-temp") : box.Temp());
  settings["SPAMASSASSINEXE"] = box.Native(s.missing_filter ? box.Path("no/such/filter") : build.safilter);
  if (s.filter_faults.empty()) {
    MakeFolders(box.Path("rules"));
    settings["SPAMASSASSINRULESPATH"] = box.Native(box.Path("rules"));
  } else {
    WriteFile(box.Path("faults.txt"), s.filter_faults);
    settings["SPAMASSASSINRULESPATH"] = box.Native(box.Path("faults.txt"));
  }
  box.WriteConfig(settings);
  box.Queue("N.MAI", s.message);
  const std::string message = box.Messages() + "/N.MAI";
  const std::string pickup = box.Inbound() + "/N.MAI";
  if (s.read_only_message) SetReadOnly(message, true);

  const RunResult run = box.Run({"N.MAI", box.Connector()});

  const auto events = box.Events();
  std::string temporary_files;
  for (const auto& name : FilesIn(box.Temp())) temporary_files += " " + name;
  ASSERT_EQ(events.size(), s.events.size())
      << "exit status " << run.exit_status << "; in TEMPPATH:" << temporary_files << "\n" << run.standard_error;
  for (std::size_t i = 0; i < events.size(); ++i) EXPECT_TRUE(Matches(s.events[i], events[i])) << events[i];
  const bool trapped = !s.events.empty() && s.events[0].back() == '*';
  EXPECT_EQ(run.exit_status, trapped ? 1 : s.events.empty() ? 0 : 3) << run.standard_error;

  const auto quarantined = FilesIn(box.Quarantine());
  const auto quarantined_messages = FilesIn(box.Quarantine() + "/Messages");
  switch (s.outcome) {
    case Outcome::kOriginal:
      EXPECT_EQ(ReadFile(message), s.message);
      EXPECT_EQ(ReadFile(pickup), kPickup);
      break;
    case Outcome::kTagged:
      EXPECT_TRUE(IsTaggedCopyOf(ReadFile(message), s.message)) << ReadFile(message);
      EXPECT_EQ(ReadFile(message).find("deprecated"), std::string::npos);
      EXPECT_EQ(ReadFile(pickup), kPickup);
      break;
    case Outcome::kQuarantined: {
      EXPECT_FALSE(Exists(message));
      EXPECT_FALSE(Exists(pickup));
      ASSERT_EQ(quarantined.size(), 1u);
      const std::string run_name = quarantined[0].substr(0, quarantined[0].size() - 4);
      EXPECT_EQ(run_name.size(), 32u);
      EXPECT_EQ(run_name.find_first_not_of("0123456789ABCDEF"), std::string::npos);
      EXPECT_EQ(ReadFile(box.Quarantine() + "/" + run_name + ".MAI"), kPickup);
      EXPECT_EQ(ReadFile(box.Quarantine() + "/Messages/" + run_name + ".MAI"), s.message);
      const std::string output = ReadFile(box.Quarantine() + "/Messages/" + run_name + ".SA");
      EXPECT_TRUE(IsTaggedCopyOf(output, s.message));
      EXPECT_NE(output.find("\nX-Spam-Flag: YES"), std::string::npos);
      break;
    }
    case Outcome::kDeleted:
      EXPECT_FALSE(Exists(message));
      EXPECT_FALSE(Exists(pickup));
      EXPECT_TRUE(quarantined.empty());
      EXPECT_TRUE(quarantined_messages.empty());
      break;
    case Outcome::kPickupOnlyDeleted:
      EXPECT_FALSE(Exists(pickup));
      EXPECT_EQ(ReadFile(message), s.message);
      break;
  }
  if (s.outcome != Outcome::kQuarantined) {
    EXPECT_TRUE(quarantined.empty());
    EXPECT_TRUE(quarantined_messages.empty());
  }
  // Nothing half-written is ever left beside the message.
  for (const auto& name : FilesIn(box.Messages())) EXPECT_EQ(name, "N.MAI");
  EXPECT_EQ(FilesIn(box.Temp()).empty(), s.temporary_files_gone);
}

}  // namespace saplugin

// Builds the configuration text of a gwsim (gwsim/README.md has every block
// and key) for GwsimFixture, so that a test names what its gateway holds
// instead of writing the stanza text by hand.
//
// GwsimBlock     one "NAME = { ... }" block: its lines in the order given.
//   set          a "KEY = VALUE" line (numbers as given: write modes and
//                masks as text, "0755", to keep them octal).
//   flag         a line of one word ("Disk", "clear-password").
//   block        a new nested block (blocks may repeat: PAM's Batch).
//   child        the nested block of that name, made on first use.
// GwsimConfig    the whole file: its top-level blocks in the order first
//                used, each made on first use.
//   section      any top-level block ("Lfx", "Commands", "Identity" ...).
//   server       the Server block; runMode sets its server_runmode.
//   user         the user's block in Users, with its Password when given.
//   file, dir    a namespace object in Files (dir adds Type = directory).
//   fault        a "KIND = RULE" line in Faults.
//   movers       the Movers block; cos the class of service of that id.
//   group, account  "NAME = ID" lines in Groups and Accounts.
//   text         the configuration text, for GwsimFixture.
// aliceConfig    alice (password "wonderland", uid 1001, gid 100, home
//                /home/alice) with her home directory in the namespace.
//
// Example:
//   GwsimConfig c = aliceConfig();
//   c.dir("/data").set("Uid", 1001).set("Mode", "0755");
//   c.file("/data/a").set("Data", "hello").flag("Disk");
//   c.fault("Error", "0x0500 0x0F00 1 -5");
//   c.movers().set("PerAddress", 4);
//   GwsimFixture gw(c.text());
#ifndef TESTS_SUPPORT_GWSIM_CONFIG_H
#define TESTS_SUPPORT_GWSIM_CONFIG_H

#include <deque>
#include <string>
#include <vector>

struct GwsimBlock {
  explicit GwsimBlock(const std::string& blockName) : name(blockName) {}
  std::string name;

  GwsimBlock& set(const std::string& key, const std::string& value);
  GwsimBlock& set(const std::string& key, const char* value) { return set(key, std::string(value)); }
  GwsimBlock& set(const std::string& key, int value) { return set(key, std::to_string(value)); }
  GwsimBlock& set(const std::string& key, long long value) { return set(key, std::to_string(value)); }
  GwsimBlock& flag(const std::string& word);
  GwsimBlock& block(const std::string& childName);
  GwsimBlock& child(const std::string& childName);
  void render(std::string& out, int depth) const;

 private:
  // A line, or (when its text is empty) the next nested block.
  std::vector<std::string> lines_;
  std::deque<GwsimBlock> blocks_;  // stable addresses for returned references
};

struct GwsimConfig {
  GwsimBlock& section(const std::string& name);
  GwsimBlock& server() { return section("Server"); }
  GwsimConfig& runMode(int mode);
  GwsimBlock& user(const std::string& name, const std::string& password = "");
  GwsimBlock& file(const std::string& path);
  GwsimBlock& dir(const std::string& path);
  GwsimConfig& fault(const std::string& kind, const std::string& rule);
  GwsimBlock& movers() { return section("Movers"); }
  GwsimBlock& cos(int id);
  GwsimConfig& group(const std::string& name, long long gid);
  GwsimConfig& account(const std::string& name, long long code);
  std::string text() const;

 private:
  std::deque<GwsimBlock> sections_;
};

GwsimConfig aliceConfig();

#endif

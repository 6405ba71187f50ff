#include "run_command.h"

#include <sstream>

#include "program_run.h"

CommandResult runCommand(const std::vector<std::string>& argv, const EnvChanges& env,
                         int timeoutSec) {
  ProgramSpec spec;
  spec.argv = argv;
  std::vector<std::string> changes;
  for (const auto& [name, value] : env) changes.push_back(value ? name + "=" + *value : name);
  spec.env = programEnv({}, changes);
  spec.mergeErr = true;
  spec.newSession = true;
  spec.timeoutSec = timeoutSec;
  ProgramResult r = runProgram(spec);
  CommandResult result{r.status, r.out + r.err};
  if (r.timedOut) result.output += "\n[killed after " + std::to_string(timeoutSec) + " s]\n";
  return result;
}

std::vector<std::string> splitWords(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

std::string commandLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& a : argv) line += (line.empty() ? "" : " ") + a;
  return line;
}

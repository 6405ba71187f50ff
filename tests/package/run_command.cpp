#include "run_command.h"

#include <sstream>

#include "program_run.h"

CommandResult runCommand(const std::vector<std::string>& argv, const EnvChanges& env,
                         int timeoutSec) {
  ProgramSpec prog;
  prog.argv = argv;
  std::vector<std::string> changes;
  for (const auto& [name, value] : env) changes.push_back(value ? name + "=" + *value : name);
  prog.env = programEnv({}, changes);
  prog.mergeErr = true;
  prog.newSession = true;
  prog.timeoutSec = timeoutSec;
  ProgramResult r = runProgram(prog);
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

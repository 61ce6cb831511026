// The authoring command "qxauthor": one program, one subcommand per task.
//
// Each subcommand lives in a source file of its own (cmd_<name>.cpp) and is
// described by a Command_t: its name, a one-line summary, its help text and
// the function that runs it. Commands() lists them in the order "qxauthor
// --help" shows them; a new subcommand is a new file plus one line there.
//
// A subcommand gets its arguments (without the program and subcommand names)
// and its output streams, and returns the process exit status: 0 success,
// 1 failure, 2 usage error. Subcommands are plain functions without shared
// state; they may be called from tests in-process.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qx::author {

using Args = std::vector<std::string>;

struct Command_t {
  const char* name;
  const char* summary;
  const char* help;  // usage line(s) and options
  int (*run)(const Args& args, std::ostream& out, std::ostream& err);
};

const std::vector<Command_t>& Commands();

// Runs "qxauthor ARGS..." (args[0] is the subcommand); handles --help.
int RunAuthor(const Args& args, std::ostream& out, std::ostream& err);

// Option parsing shared by the subcommands. Options come before, between or
// after the positional arguments; "--name value" or "--name=value".
class Options_c {
 public:
  // `valued`: options that take a value; `flags`: options that do not.
  Options_c(const Args& args, const std::vector<std::string>& valued, const std::vector<std::string>& flags);
  bool ok() const { return m_error.empty(); }
  const std::string& error() const { return m_error; }
  bool Has(const std::string& name) const;
  std::string Get(const std::string& name, const std::string& fallback = "") const;
  std::vector<std::string> GetAll(const std::string& name) const;
  // A whole number option in [low, high]; sets the error when it is not.
  long long GetNumber(const std::string& name, long long fallback, long long low, long long high);
  const Args& positional() const { return m_positional; }

 private:
  std::vector<std::pair<std::string, std::string>> m_values;
  Args m_positional;
  std::string m_error;
};

}  // namespace qx::author

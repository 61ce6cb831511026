#include "tools/author/command.h"

#include <algorithm>
#include <iomanip>
#include <ostream>

namespace qx::author {

extern const Command_t kRtpatchCommand;
extern const Command_t kApplyCommand;
extern const Command_t kKeygenCommand;
extern const Command_t kSignCommand;
extern const Command_t kPatchsetCommand;
extern const Command_t kServerfolderCommand;

const std::vector<Command_t>& Commands() {
  static const std::vector<Command_t> commands = {kRtpatchCommand, kApplyCommand, kKeygenCommand, kSignCommand,
                                                  kPatchsetCommand, kServerfolderCommand};
  return commands;
}

namespace {

void Overview(std::ostream& out) {
  out << "usage: qxauthor COMMAND [OPTIONS] ARGS...\n"
         "Authoring tools for Quorvex Online patches.\n\ncommands:\n";
  for (const Command_t& c : Commands()) out << "  " << std::left << std::setw(14) << c.name << c.summary << "\n";
  out << "\n'qxauthor COMMAND --help' describes a command.\n";
}

}  // namespace

int RunAuthor(const Args& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    Overview(err);
    return 2;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    Overview(out);
    return 0;
  }
  for (const Command_t& c : Commands()) {
    if (args[0] != c.name) continue;
    Args rest(args.begin() + 1, args.end());
    if (std::find(rest.begin(), rest.end(), "--help") != rest.end() ||
        std::find(rest.begin(), rest.end(), "-h") != rest.end()) {
      out << c.help;
      return 0;
    }
    return c.run(rest, out, err);
  }
  err << "qxauthor: unknown command '" << args[0] << "'\n";
  Overview(err);
  return 2;
}

Options_c::Options_c(const Args& args, const std::vector<std::string>& valued, const std::vector<std::string>& flags) {
  auto contains = [](const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 2 || a[0] != '-' || a == "--") {
      if (a == "--") {
        m_positional.insert(m_positional.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
        break;
      }
      m_positional.push_back(a);
      continue;
    }
    std::string name = a, value;
    bool inlineValue = false;
    if (std::size_t eq = a.find('='); eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      inlineValue = true;
    }
    if (contains(flags, name) && !inlineValue) {
      m_values.emplace_back(name, "");
    } else if (contains(valued, name)) {
      if (!inlineValue) {
        if (i + 1 >= args.size()) {
          m_error = "option " + name + " needs a value";
          return;
        }
        value = args[++i];
      }
      m_values.emplace_back(name, value);
    } else {
      m_error = "unknown option " + a;
      return;
    }
  }
}

bool Options_c::Has(const std::string& name) const {
  return std::any_of(m_values.begin(), m_values.end(), [&](const auto& v) { return v.first == name; });
}

std::string Options_c::Get(const std::string& name, const std::string& fallback) const {
  std::string result = fallback;
  for (const auto& [n, v] : m_values) {
    if (n == name) result = v;
  }
  return result;
}

std::vector<std::string> Options_c::GetAll(const std::string& name) const {
  std::vector<std::string> all;
  for (const auto& [n, v] : m_values) {
    if (n == name) all.push_back(v);
  }
  return all;
}

long long Options_c::GetNumber(const std::string& name, long long fallback, long long low, long long high) {
  if (!Has(name)) return fallback;
  const std::string text = Get(name);
  std::size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used, 0);
  } catch (...) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < low || value > high) {
    m_error = "option " + name + " wants a number from " + std::to_string(low) + " to " + std::to_string(high) +
              ", not '" + text + "'";
    return fallback;
  }
  return value;
}

}  // namespace qx::author

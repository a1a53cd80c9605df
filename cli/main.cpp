// sorrelon: the command-line program. Each subcommand lives in its own file.
#include <iostream>

#ifdef _WIN32
#include <windows.h>
#endif

#include "cli/command.h"

namespace sorrelon::cli {
std::map<std::string, Command>& Commands() {
  static std::map<std::string, Command> commands;
  return commands;
}
}  // namespace sorrelon::cli

int main(int argc, char** argv) {
  using namespace sorrelon::cli;
  std::ios::sync_with_stdio(false);
#ifdef _WIN32
  // The program's texts are UTF-8; a console shows them as such.
  SetConsoleOutputCP(CP_UTF8);
#endif
  Args args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
    std::cout << "usage: sorrelon COMMAND [ARGS]\n\ncommands:\n";
    for (auto& [name, cmd] : Commands()) std::cout << "  " << name << "  " << cmd.summary << "\n";
    return args.empty() ? 2 : 0;
  }
  auto it = Commands().find(args[0]);
  if (it == Commands().end()) {
    std::cerr << "sorrelon: unknown command '" << args[0] << "' (see sorrelon --help)\n";
    return 2;
  }
  try {
    return it->second.run(Args(args.begin() + 1, args.end()));
  } catch (const std::exception& e) {
    std::cerr << "sorrelon: " << e.what() << "\n";
    return 1;
  }
}

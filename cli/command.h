// Subcommands of the command-line program register themselves here.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sorrelon::cli {

using Args = std::vector<std::string>;
struct Command {
  std::string summary;  // one line for the usage text
  std::function<int(const Args&)> run;
};

std::map<std::string, Command>& Commands();

struct Registrar {
  Registrar(const std::string& name, std::string summary, std::function<int(const Args&)> run) {
    Commands()[name] = Command{std::move(summary), std::move(run)};
  }
};

}  // namespace sorrelon::cli

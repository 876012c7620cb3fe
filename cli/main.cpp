// nodrel: the command line that the assistant's hooks and the user run.
#include <string>
#include <vector>

#include "cli/dispatch.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv, argv + argc);
  return nodrel::cli::dispatchSubcommand(arguments);
}

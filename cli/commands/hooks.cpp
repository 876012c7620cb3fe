// enable-hook, disable-hook, enable-statusline, disable-statusline: the installer's four faces.
#include <exception>
#include <string>

#include "cli/commands.h"
#include "cli/hook_installer.h"
#include "cli/output.h"

namespace nodrel::cli {
namespace {

int runInstallerStep(const std::string& name, void (HookInstaller::*step)() const,
                     const std::string& confirmation) {
  try {
    (HookInstaller::shared().*step)();
  } catch (const std::exception& e) {
    writeErr("nodrel " + name + ": " + e.what() + "\n");
    return 1;
  }
  writeOut(confirmation + "\n");
  return 0;
}

}  // namespace

int runEnableHook(Arguments) {
  return runInstallerStep(
      "enable-hook", &HookInstaller::installHooks,
      "Hook installed. Nodrel will inject context at the start of each Claude Code session.");
}

int runDisableHook(Arguments) {
  return runInstallerStep("disable-hook", &HookInstaller::uninstallHooks, "Hook removed.");
}

int runEnableStatusline(Arguments) {
  return runInstallerStep(
      "enable-statusline", &HookInstaller::installStatusLine,
      "Statusline installed. Nodrel will display a live indicator in Claude Code.");
}

int runDisableStatusline(Arguments) {
  return runInstallerStep("disable-statusline", &HookInstaller::uninstallStatusLine,
                          "Statusline removed.");
}

}  // namespace nodrel::cli

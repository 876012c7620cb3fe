// enable-hook, disable-hook, enable-statusline, disable-statusline: the installer's four faces.
#include <filesystem>
#include <string>
#include <system_error>

#include "cli/commands.h"
#include "cli/hook_installer.h"
#include "cli/output.h"

namespace nodrel::cli {
namespace {

// A failing step throws; dispatch reports it as "nodrel <subcommand>: <why>" with status 1.
void runInstallerStep(const HookInstaller& installer, void (HookInstaller::*step)() const,
                      const std::string& confirmation) {
  (installer.*step)();
  writeOut(confirmation + "\n");
}

// The entries are written whatever the case, but a program that is not there makes every
// session show a hook error; the user is told how to put it in place, and the exit status says
// the work is not done.
int warnUnlessInstalled(const HookInstaller& installer, const std::string& name) {
  if (installer.installedBinaryIsExecutable()) return 0;
  std::error_code ec;
  std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  if (ec || self.empty()) self = "path/to/nodrel";
  writeErr("nodrel " + name + ": warning: " + installer.installedBinaryPath() +
           ", the program Claude Code will run, is missing or not executable; install it with: "
           "install -D " +
           self + " " + installer.installedBinaryWord() + "\n");
  return 1;
}

}  // namespace

int runEnableHook(Arguments) {
  const HookInstaller installer = HookInstaller::forHomeDirectory();
  runInstallerStep(
      installer, &HookInstaller::installHooks,
      "Hook installed. Nodrel will inject context at the start of each Claude Code session.");
  return warnUnlessInstalled(installer, "enable-hook");
}

int runDisableHook(Arguments) {
  runInstallerStep(HookInstaller::forHomeDirectory(), &HookInstaller::uninstallHooks,
                   "Hook removed.");
  return 0;
}

int runEnableStatusline(Arguments) {
  const HookInstaller installer = HookInstaller::forHomeDirectory();
  runInstallerStep(installer, &HookInstaller::installStatusLine,
                   "Statusline installed. Nodrel will display a live indicator in Claude Code.");
  return warnUnlessInstalled(installer, "enable-statusline");
}

int runDisableStatusline(Arguments) {
  if (!HookInstaller::forHomeDirectory().uninstallStatusLine()) {
    writeOut("No Nodrel statusline to remove.\n");
    return 0;
  }
  writeOut("Statusline removed.\n");
  return 0;
}

}  // namespace nodrel::cli

// The application-access object: answers settings asked for by name by portals and
// extensions. Called a few times per analysis; every answer is a look-up in run-wide state.
#include "evaluation/app_access.h"

#include <memory>

#include "definitions/study.h"
#include "definitions/variables.h"
#include "base/run_state.h"
#include "base/run_files.h"
#include "evaluation/analysis_run.h"
#include "external/extension_manager.h"
#include "platform/platform.h"

namespace karvo {

std::string solverAppAccess::setting(const std::string& name, bool& found) const {
  found = true;
  if (name == "verbose") return run.settings.verbose ? "true" : "false";
  if (name == "scriptverbose") return study.options.scriptingVerbose ? "true" : "false";
  if (name.compare(0, 4, "env/") == 0) {
    return platform::getEnv(("QOR_" + name.substr(4)).c_str());
  }
  if (const StudyOption* option = findOption(name)) return option->value;
  found = false;
  return "";
}

std::string solverAppAccess::installationRoot() const {
  return workingDirectoryState.installationRoot;
}

std::string solverAppAccess::workingDirectory() const { return run.workingDirectory; }

bool solverAppAccess::verbose() const { return run.settings.verbose != 0; }

bool solverAppAccess::launchCommand(const std::string& executable, const std::string& arguments,
                                    const std::string& options, const std::string& folder,
                                    int& exitCode, std::string& error) {
  LaunchResult result = karvo::launchCommand(executable, arguments, options, folder);
  exitCode = result.exitCode;
  error = result.error;
  return result.started;
}

namespace {
std::unique_ptr<solverAppAccess> theAccess;
}

solverAppAccess* applicationAccess() {
  if (!theAccess) theAccess = std::make_unique<solverAppAccess>();
  return theAccess.get();
}

void releaseApplicationAccess() {
  if (!theAccess) return;
  ExtensionManager::release();
  theAccess.reset();
}

}  // namespace karvo

// The solver's application-access object: the one object handed to portals and extension
// libraries so that they can ask the solver for settings and environment. Made once at
// start-up (the extension manager is created with it) and destroyed at the end of the run.
#pragma once

#include <string>

#include "external/app_access.h"

namespace karvo {

class solverAppAccess : public IApplicationAccess {
 public:
  solverAppAccess() = default;
  ~solverAppAccess() override = default;
  solverAppAccess(const solverAppAccess&) = delete;
  solverAppAccess& operator=(const solverAppAccess&) = delete;

  std::string setting(const std::string& name, bool& found) const override;
  std::string installationRoot() const override;
  std::string workingDirectory() const override;
  bool verbose() const override;
  bool launchCommand(const std::string& executable, const std::string& arguments,
                     const std::string& options, const std::string& folder, int& exitCode,
                     std::string& error) override;
};

// The run's application-access object, made on first use.
solverAppAccess* applicationAccess();
// Destroys it at the end of the run, releasing the extension manager with it.
void releaseApplicationAccess();

}  // namespace karvo

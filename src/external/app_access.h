// What the outside components (portals, extension libraries, remote profiles) may ask of the
// solver: the application-access interfaces. The solver's own object, solverAppAccess,
// implements all three; components hold it through these interfaces and never own it.
#pragma once

#include <string>

namespace karvo {

// Settings by name.
class IAppAccess {
 public:
  virtual ~IAppAccess() = default;
  // "verbose" and "scriptverbose" answer "true" or "false"; "env/NAME" answers the value of
  // the environment variable QOR_NAME ("" when unset); other names are the study's options
  // (`*DEFINE_OPTION`). `found` is false for a name nobody answers.
  virtual std::string setting(const std::string& name, bool& found) const = 0;
};

// What extension libraries may ask: where the installation and the study are.
class IExtensionAccess {
 public:
  virtual ~IExtensionAccess() = default;
  virtual std::string installationRoot() const = 0;
  virtual std::string workingDirectory() const = 0;
};

// What portals may ask beyond settings; the tag-value and extraction callbacks are handed to
// each portal call directly (see portal.h).
class IPortalAccess {
 public:
  virtual ~IPortalAccess() = default;
  // Whether verbose portal messages are wanted.
  virtual bool verbose() const = 0;
  // Runs a program for the portal in `folder` ("" = the solver's current folder), its output
  // appended to "launchCommandOutput.msg" there; `options` may hold "nowait" and
  // "processSpaces". Answers whether it was started; `exitCode` is its exit status after a
  // waited run (-1 otherwise) and `error` why it could not be started.
  virtual bool launchCommand(const std::string& executable, const std::string& arguments,
                             const std::string& options, const std::string& folder,
                             int& exitCode, std::string& error) = 0;
};

// The three together: what the solver's one application-access object offers. Outside
// components hold it through this interface and never own it.
class IApplicationAccess : public IAppAccess, public IExtensionAccess, public IPortalAccess {};

}  // namespace karvo

// The extension manager: the one process-wide registry through which the solver reaches its
// outside components by name — the "JobController" extension library (job objects, kind 3),
// the distribution objects of random parameters, and the portal of each analysis type.
//
// Lifecycle: ExtensionManager::instance(access) is first called by the environment check at
// start-up and must succeed (else the run ends with "environment setup error"); later calls
// return the same manager. ExtensionManager::release() is called once when the
// application-access object is destroyed at the end of the run.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "external/app_access.h"
#include "external/job_controller.h"

namespace karvo {

class Distribution;
class Portal;

// An extension library: makes objects by kind. Kind 3 is a job object.
class ExtensionLibrary {
 public:
  ExtensionLibrary() = default;
  virtual ~ExtensionLibrary() = default;
  ExtensionLibrary(const ExtensionLibrary&) = delete;
  ExtensionLibrary& operator=(const ExtensionLibrary&) = delete;

  virtual std::string name() const = 0;
  // A new job object for kind 3; null for a kind the library does not make.
  virtual std::unique_ptr<Job> createObject(int kind) = 0;
};

class ExtensionManager {
 public:
  ~ExtensionManager();
  ExtensionManager(const ExtensionManager&) = delete;
  ExtensionManager& operator=(const ExtensionManager&) = delete;

  // The manager of the process, made on the first call from `access` (its installation root
  // must be an existing folder and the working directory readable). Null when it cannot be
  // made; `error` then says why.
  static ExtensionManager* instance(IApplicationAccess* access, std::string* error = nullptr);
  // The manager if it exists, else null.
  static ExtensionManager* current();
  static void release();

  // The extension library of this name ("JobController"); null when unknown.
  ExtensionLibrary* library(const std::string& name);

  // A distribution object from a `*DEFINE_DIST` type word and property lines; null with
  // `reason` when the definition is refused.
  std::unique_ptr<Distribution> createDistribution(
      const std::string& typeWord,
      const std::vector<std::pair<std::string, std::string>>& properties, std::string& reason);

  // The portal serving analyses of `analysisType`: a named portal when one is registered,
  // otherwise the built-in "General" portal. Owned by the manager.
  Portal* portal(const std::string& analysisType);
  // Library name announced when a portal is loaded ("General" for the built-in one).
  std::string portalName(const std::string& analysisType) const;

  // Adds a portal under a type name (built-in portals register at creation).
  void registerPortal(const std::string& analysisType, std::unique_ptr<Portal> portal);

  IApplicationAccess* access() const { return access_; }

 private:
  explicit ExtensionManager(IApplicationAccess* access);

  IApplicationAccess* access_;                                 // not owned
  std::map<std::string, std::unique_ptr<ExtensionLibrary>> libraries_;
  std::map<std::string, std::unique_ptr<Portal>> portals_;  // by analysis type
  std::unique_ptr<Portal> generalPortal_;
};

// The options of job objects made by the "JobController" library: remote Direct commands are
// wrapped through the remote profile named in the launch's remote block.
JobOptions jobControllerOptions(IApplicationAccess* access);

}  // namespace karvo

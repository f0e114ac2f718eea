// The extension manager: made once at start-up, asked for a job object per analysis launch,
// for a portal per portal analysis and for a distribution object per random parameter.
#include "external/extension_manager.h"

#include "external/app_access.h"
#include "external/distribution.h"
#include "external/portal.h"
#include "external/portal_general.h"
#include "external/remote_profile.h"
#include "platform/platform.h"

namespace karvo {

namespace {

std::unique_ptr<ExtensionManager> theManager;

class JobControllerLibrary final : public ExtensionLibrary {
 public:
  explicit JobControllerLibrary(IApplicationAccess* access) : options_(jobControllerOptions(access)) {}
  std::string name() const override { return "JobController"; }
  std::unique_ptr<Job> createObject(int kind) override { return createJobObject(kind, options_); }

 private:
  JobOptions options_;
};

}  // namespace

JobOptions jobControllerOptions(IApplicationAccess* access) {
  JobOptions options;
  options.remoteCommand = [access](const std::string& remoteBlock, const std::string& command,
                                   std::string& wrapped, std::string& error) {
    PropertiesMap profile;
    std::string badLine;
    if (!parseResourceBlock(remoteBlock, profile, &badLine)) {
      error = "The remote machine data could not be read near the line \"" + badLine + "\".";
      return false;
    }
    RemoteProfile remote(profile, access);
    bool status = false;
    wrapped = remote.generateExecutionCommand(command, status);
    if (!status) error = remote.getLastErrorMsg();
    return status;
  };
  options.remoteCopy = [access](const std::string& remoteBlock, const std::string& localPath,
                                const std::string& remotePath, std::string& command,
                                std::string& error) {
    PropertiesMap profile;
    std::string badLine;
    if (!parseResourceBlock(remoteBlock, profile, &badLine)) {
      error = "The remote machine data could not be read near the line \"" + badLine + "\".";
      return false;
    }
    RemoteProfile remote(profile, access);
    bool status = false;
    command = remote.generateCopyCommand(localPath, remotePath, true, {{"type", "file"}}, status);
    if (!status) error = remote.getLastErrorMsg();
    return status;
  };
  return options;
}

ExtensionManager::ExtensionManager(IApplicationAccess* access)
    : access_(access), generalPortal_(std::make_unique<GeneralPortal>()) {
  libraries_["JobController"] = std::make_unique<JobControllerLibrary>(access);
}

ExtensionManager::~ExtensionManager() = default;

ExtensionManager* ExtensionManager::instance(IApplicationAccess* access, std::string* error) {
  if (theManager) return theManager.get();
  if (!access) {
    if (error) *error = "no application-access object was given";
    return nullptr;
  }
  const std::string root = access->installationRoot();
  if (root.empty() || !platform::isDirectory(root)) {
    if (error) *error = "the installation folder \"" + root + "\" (KARVO_ROOT) is not a folder";
    return nullptr;
  }
  const std::string cwd = access->workingDirectory();
  if (cwd.empty() || !platform::isDirectory(cwd)) {
    if (error) *error = "the working directory \"" + cwd + "\" cannot be read";
    return nullptr;
  }
  theManager.reset(new ExtensionManager(access));
  return theManager.get();
}

ExtensionManager* ExtensionManager::current() { return theManager.get(); }

void ExtensionManager::release() { theManager.reset(); }

ExtensionLibrary* ExtensionManager::library(const std::string& name) {
  auto it = libraries_.find(name);
  return it == libraries_.end() ? nullptr : it->second.get();
}

std::unique_ptr<Distribution> ExtensionManager::createDistribution(
    const std::string& typeWord,
    const std::vector<std::pair<std::string, std::string>>& properties, std::string& reason) {
  return karvo::createDistribution(typeWord, properties, reason);
}

Portal* ExtensionManager::portal(const std::string& analysisType) {
  auto it = portals_.find(analysisType);
  return it == portals_.end() ? generalPortal_.get() : it->second.get();
}

std::string ExtensionManager::portalName(const std::string& analysisType) const {
  auto it = portals_.find(analysisType);
  return it == portals_.end() ? generalPortal_->name() : it->second->name();
}

void ExtensionManager::registerPortal(const std::string& analysisType,
                                      std::unique_ptr<Portal> portal) {
  portals_[analysisType] = std::move(portal);
}

}  // namespace karvo

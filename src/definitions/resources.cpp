// Compute resources, resource sets, remote machine profiles and conditions: their readers
// (records of "Definitions.in", once at start-up), the reservation data read per analysis,
// and the look-ups by name that the evaluation flow makes for every job (tens of entries).
#include "definitions/resources.h"

#include "definitions/definitions_common.h"
#include "definitions/reader.h"
#include "base/messages.h"
#include "platform/platform.h"

namespace karvo {

std::vector<RemoteMachineDefinition> remoteMachines;
std::vector<ComputeResource> computeResources;
std::vector<Condition> conditions;

namespace {

// The property label under which a missing or unusable job-id flag is reported.
constexpr const char* kJobReadIdLabel =
    "jobReadID (which must be defined since status check command is based on job id)";

// Every property of a compute resource or set: those the solver reads, and those the job
// controller and a cloud resource take from the record it is handed.
constexpr const char* kComputeResourceNames[] = {
    "name", "type", "jobRemote", "jobRemoteProfile", "computeNode", "machineList", "maxJobs",
    "resources", "platform", "rescaleURL", "host", "rescaleToken", "jobPrefix", "jobName",
    "jobReadID", "jobIDStart", "jobIDEnd", "jobIdLineNum", "useJobStatus", "finishFindJob",
    "jobTiming", "jobStartedText", "jobStartedCol", "killCmd", "finishCmd", "finishCmdCheck",
    "finishReturnValue", "jobCommand", "jobUseTemplate", "jobTemplate", "jobUseWorkdir",
    "jobPrependPath", "jobTemplatePrependPath", "jobArrayOption", "jobArrayIndexVar",
    "jobArrayMemberID", "reserveEnabled", "reserveSubmitCmd",
    "reserveCancelCmd", "reserveReadID", "reserveIDStart", "reserveIDEnd", "reserveStatusCmd",
    "reserveStartedText", "reserveStartedCol", "reserveParseCmd", "reserveRemoteProfile"};

// Every property of a remote machine profile, which the remote-profile component reads.
constexpr const char* kRemoteMachineNames[] = {
    "name",     "platform",   "username",   "host",         "port",         "SSHcmd",
    "SSHclient", "SCPcmd",    "privateKey", "useCygwin",    "cygwinRoot",   "studyPath",
    "remotePath", "access",   "templatePath", "pythonCommand"};

// Every property of a condition, whatever its type; each type reads some.
constexpr const char* kConditionNames[] = {
    "name",     "type",     "formula",   "paramRef", "paramOp", "paramVal", "fileType",
    "fileRef",  "findText", "findRef",   "statusRef", "statusVal", "command", "cmd",
    "cmdCheck", "cmdVal",   "cmdText",   "find",     "Find",    "condName", "condBool"};

bool resourceTypeOfWord(const std::string& word, ResourceType& type) {
  if (word == "Direct") {
    type = ResourceType::Direct;
  } else if (word == "Scheduled") {
    type = ResourceType::Scheduled;
  } else if (word == "Machine Set") {
    type = ResourceType::MachineSet;
  } else if (word == "Rescale") {
    type = ResourceType::Rescale;
  } else {
    return false;
  }
  return true;
}

bool conditionTypeOfWord(const std::string& word, ConditionType& type) {
  static const struct {
    const char* word;
    ConditionType type;
  } kWords[] = {
      {"Formula", ConditionType::Formula},
      {"formula", ConditionType::Formula},
      {"Parameter", ConditionType::Parameter},
      {"FileExist", ConditionType::FileExist},
      {"FileNotExist", ConditionType::FileNotExist},
      {"FileContain", ConditionType::FileContain},
      {"FileNotContain", ConditionType::FileNotContain},
      {"AnalysisStatus", ConditionType::AnalysisStatus},
      {"ResponseStatus", ConditionType::ResponseStatus},
      {"Command", ConditionType::Command},
      {"CommandContain", ConditionType::Command},
      {"composite", ConditionType::Composite},
      {"ScheduledJob", ConditionType::ScheduledJob},
  };
  for (const auto& entry : kWords) {
    if (word == entry.word) {
      type = entry.type;
      return true;
    }
  }
  return false;
}

std::vector<std::string> optionalList(const DefinitionContext& context, const char* name) {
  std::vector<std::string> values;
  std::string reason;
  getValues(context.fileLabel.c_str(), *context.record, name, values, false, reason);
  return values;
}

// True when a scheduler command refers to the job by its id.
bool usesJobId(const std::string& command) { return command.find("%JOBID%") != std::string::npos; }

// The "reserve..." properties of a resource record.
ReservationSupport readReservationSupport(const DefinitionContext& context) {
  ReservationSupport support;
  support.enabled = optionalInt(context, "reserveEnabled", 0);
  support.submitCmd = optionalString(context, "reserveSubmitCmd", "");
  support.cancelCmd = optionalString(context, "reserveCancelCmd", "");
  support.readId = optionalInt(context, "reserveReadID", 0);
  support.idStart = optionalString(context, "reserveIDStart", "");
  support.idEnd = optionalString(context, "reserveIDEnd", "");
  support.statusCmd = optionalString(context, "reserveStatusCmd", "");
  support.startedText = optionalString(context, "reserveStartedText", "");
  support.startedCol = optionalInt(context, "reserveStartedCol", 0);
  checkMinimum(context, "reserveStartedCol", support.startedCol, 0);
  support.parseCmd = optionalString(context, "reserveParseCmd", "");
  support.remoteProfile = optionalString(context, "reserveRemoteProfile", "");
  return support;
}

// The members of a resource set: `resources` (list form) and, per member, the property
// "Number of evals allowed for <member>".
void readSetMembers(const DefinitionContext& context, ComputeResource& set) {
  bool anyResource = false;
  for (const ComputeResource& resource : computeResources) {
    if (resource.type != ResourceType::MachineSet) anyResource = true;
  }
  if (!anyResource) {
    fatalError(formatText("There are no valid compute resources defined. All compute resource "
                          "definitions should appear before the compute set \"%s\" definition .",
                          set.name.c_str()));
  }
  requireString(context, "resources");  // present, in either form
  std::vector<std::string> names = optionalList(context, "resources");
  if (names.empty()) {
    fatalError(formatText("Error in the definition of the compute set \"%s\". The set has no "
                          "member resources.",
                          set.name.c_str()) +
               definitionPlace(context, "resources"));
  }
  int capacity = 0;
  for (const std::string& given : names) {
    std::string name = trimmed(given);
    int index = resourceIndex(name);
    if (index < 0) {
      fatalError(formatText("Error in the definition of the compute set \"%s\". The compute "
                            "resource \"%s\" has not been defined. All compute resource "
                            "definitions should appear before the compute set definition.",
                            set.name.c_str(), name.c_str()) +
                 definitionPlace(context, "resources"));
    }
    if (computeResources[index].type == ResourceType::MachineSet) {
      fatalError(formatText("Error in the definition of the compute set \"%s\". The member "
                            "\"%s\" is itself a compute set; a set can only hold compute "
                            "resources.",
                            set.name.c_str(), name.c_str()) +
                 definitionPlace(context, "resources"));
    }
    for (const ResourceSetMember& member : set.members) {
      if (member.name == name) {
        fatalError(formatText("Error in the definition of the compute set \"%s\". The compute "
                              "resource \"%s\" is listed more than once.",
                              set.name.c_str(), name.c_str()) +
                   definitionPlace(context, "resources"));
      }
    }
    std::string allowedLabel = formatText("Number of evals allowed for %s", name.c_str());
    ResourceSetMember member;
    member.name = name;
    member.resource = index;
    member.allowed = requireInt(context, allowedLabel.c_str());
    checkMinimum(context, allowedLabel.c_str(), member.allowed, 1);
    capacity += member.allowed;
    set.members.push_back(member);
  }
  set.maxJobs = capacity;
}

[[noreturn]] void failCondition(const DefinitionContext& context, const char* property,
                               const std::string& text) {
  fatalError(formatText("Error in the definition of the condition \"%s\". %s",
                        context.objectName.c_str(), text.c_str()) +
             definitionPlace(context, property));
}

// "command", or "cmd" when "command" is absent; one of them is required.
std::string readConditionCommand(const DefinitionContext& context) {
  std::string value, reason;
  if (getProperty(context.fileLabel.c_str(), *context.record, "command", value, false, reason) !=
      0) {
    return value;
  }
  if (getProperty(context.fileLabel.c_str(), *context.record, "cmd", value, false, reason) != 0) {
    return value;
  }
  fatalError(definitionError(context.objectName, context.recordLabel, context.fileLabel,
                             "command", reason));
}

void readCompositeMembers(const DefinitionContext& context, Condition& condition) {
  std::vector<std::string> names, bools;
  std::string reason;
  getRepeatedValues(context.fileLabel.c_str(), *context.record, "condName", names, false, reason);
  getRepeatedValues(context.fileLabel.c_str(), *context.record, "condBool", bools, true, reason);
  for (std::size_t i = 0; i < names.size(); ++i) {
    CompositeMember member;
    member.name = trimmed(names[i]);
    if (i < bools.size()) {
      std::string text = trimmed(bools[i]);
      char* end = nullptr;
      long value = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0') {
        fatalError(definitionError(
            condition.name, context.recordLabel, context.fileLabel, "condBool",
            formatText("The read value \"%s\" could not be converted into an integer.",
                       bools[i].c_str())));
      }
      member.andNext = value == 1 ? 1 : 0;
    } else if (i + 1 < names.size()) {
      fatalError(formatText("Error in the definition of the \"%s\" Composite Condition "
                            "Definition. The condition \"%s\" has no \"condBool\" value to "
                            "combine it with the next condition.",
                            condition.name.c_str(), member.name.c_str()) +
                 definitionPlace(context, "condBool"));
    }
    condition.members.push_back(member);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Look-ups

const ComputeResource* findComputeResource(const std::string& name) {
  int index = resourceIndex(name);
  return index < 0 ? nullptr : &computeResources[index];
}

int resourceIndex(const std::string& name) {
  for (std::size_t i = 0; i < computeResources.size(); ++i) {
    if (computeResources[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

const Condition* findCondition(const std::string& name) {
  for (const Condition& condition : conditions) {
    if (condition.name == name) return &condition;
  }
  return nullptr;
}

const RemoteMachineDefinition* findRemoteMachine(const std::string& name) {
  for (const RemoteMachineDefinition& machine : remoteMachines) {
    if (machine.name == name) return &machine;
  }
  return nullptr;
}

bool parseStatusWord(const std::string& word, StatusWord& out) {
  static const struct {
    const char* word;
    StatusWord status;
  } kWords[] = {
      {"Evaluated", StatusWord::Evaluated}, {"Skipped", StatusWord::Skipped},
      {"Success", StatusWord::Success},     {"Error", StatusWord::Error},
      {"Feasible", StatusWord::Feasible},   {"Infeasible", StatusWord::Infeasible},
  };
  for (const auto& entry : kWords) {
    if (word == entry.word) {
      out = entry.status;
      return true;
    }
  }
  return false;
}

bool statusWordMatches(StatusWord word, int analysisStatus) {
  switch (word) {
    case StatusWord::Evaluated: return analysisStatus != 4 && analysisStatus != 5;
    case StatusWord::Skipped: return analysisStatus == 4 || analysisStatus == 5;
    case StatusWord::Success: return analysisStatus == 1;
    case StatusWord::Error: return analysisStatus == 0;
    case StatusWord::Feasible: return analysisStatus == 2;
    case StatusWord::Infeasible: return analysisStatus == 3;
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// `*DEFINE_REMOTE_MACHINE`

void readRemoteMachine(const Record& record, const std::string& fileLabel) {
  DefinitionContext context{&record, fileLabel, "Remote Machine Profile"};
  RemoteMachineDefinition machine;
  machine.name = requireUniqueName(
      context, [](const std::string& name) { return findRemoteMachine(name) != nullptr; },
      "Error in the definition of the remote machine \"%s\". The name has already been used. "
      "The remote machine names need to be unique.");
  machine.platform = optionalString(context, "platform", "");
  if (machine.platform != "Windows" && machine.platform != "Linux" &&
      machine.platform != "Rescale") {
    fatalError(formatText("Error in the definition of the platform for the remote machine \"%s\". "
                          "The valid options are \"Windows\", \"Linux\" or \"Rescale\", found "
                          "\"%s\".",
                          machine.name.c_str(), machine.platform.c_str()) +
               definitionPlace(context, "platform"));
  }
  machine.host = optionalString(context, "host", "");
  machine.properties = defs::recordPropertiesMap(record, fileLabel);
  std::string root = platform::getEnv("KARVO_ROOT");
  if (!root.empty()) {
    const char s = platform::kPathSeparator;
    if (!machine.properties.has("templatePath")) {
      machine.properties.setValue(
          "templatePath", formatText("%s%c..%c..%cres%cjobcontrollers", root.c_str(), s, s, s, s));
    }
    if (!machine.properties.has("pythonCommand")) {
      machine.properties.setValue("pythonCommand", formatText("%s%cpython", root.c_str(), s));
    }
    machine.properties.clearModified();
  }
  machine.recordText = defs::joinRecordLines(record);
  warnUnknownProperties(context, kRemoteMachineNames);
  remoteMachines.push_back(std::move(machine));
}

// ---------------------------------------------------------------------------------------
// `*DEFINE_COMPUTE_RESOURCE`, `*DEFINE_RESOURCE_SET`

void readComputeResource(const Record& record, const std::string& fileLabel, bool setFlag) {
  DefinitionContext context{&record, fileLabel,
                            setFlag ? "Compute Set Resource" : "Compute Resource"};
  ComputeResource resource;
  resource.name = requireUniqueName(
      context, [](const std::string& name) { return resourceIndex(name) >= 0; },
      "Error in the definition of the Compute Resource \"%s\". The name has already been used "
      "by another compute resource or compute set. The names need to be unique.");
  if (setFlag) {
    resource.typeWord = "Machine Set";
  } else {
    resource.typeWord = requireString(context, "type");
  }
  if (!resourceTypeOfWord(resource.typeWord, resource.type)) {
    fatalError(formatText("Error in the definition of a compute resource. Unsupported type \"%s\" "
                          "defined.",
                          resource.typeWord.c_str()) +
               definitionPlace(context, "type"));
  }

  resource.remote = optionalInt(context, "jobRemote", 0) != 0 ? 1 : 0;
  resource.remoteProfile = optionalString(context, "jobRemoteProfile", "");
  resource.computeNode = optionalString(context, "computeNode", "");
  resource.machineList = optionalList(context, "machineList");
  for (std::string& machine : resource.machineList) machine = trimmed(machine);

  resource.useJobTemplate = optionalInt(context, "jobUseTemplate", 0);
  if (resource.useJobTemplate != 0 && resource.useJobTemplate != 1) {
    fatalError(formatText("Error in the analysis data definition. The Use job template flag can "
                          "only be 0 (don't use) or 1 (use), found %d.",
                          resource.useJobTemplate) +
               definitionPlace(context, "jobUseTemplate"));
  }
  resource.finishFindJob = trimmed(optionalString(context, "finishFindJob", ""));
  if (!resource.finishFindJob.empty() && !equalsIgnoreCase(resource.finishFindJob, "ID") &&
      !equalsIgnoreCase(resource.finishFindJob, "Name")) {
    fatalError(formatText("Error in the definition of the Compute Resource \"%s\". The value "
                          "\"%s\" of \"finishFindJob\" is not supported. Valid options are "
                          "\"ID\", \"Name\" or no value.",
                          resource.name.c_str(), resource.finishFindJob.c_str()) +
               definitionPlace(context, "finishFindJob"));
  }
  {
    int readId = 0;
    std::string reason;
    int found = getInt(fileLabel.c_str(), record, "jobReadID", readId, true, reason);
    if (found == 0 && reason != kPropertyNotDefined) {
      fatalError(definitionError(resource.name, context.recordLabel, fileLabel, "jobReadID",
                                 reason));
    }
    resource.readJobId = readId != 0 ? 1 : 0;
    bool needsId = equalsIgnoreCase(resource.finishFindJob, "ID") ||
                   usesJobId(optionalString(context, "finishCmd", "")) ||
                   usesJobId(optionalString(context, "killCmd", ""));
    if (resource.type == ResourceType::Scheduled && needsId && !resource.readJobId) {
      if (found != 0) reason = "The value 0 turns reading the job id off.";
      fatalError(definitionError(resource.name, context.recordLabel, fileLabel, kJobReadIdLabel,
                                 reason));
    }
  }

  resource.maxJobs = optionalInt(context, "maxJobs", resource.type == ResourceType::Direct ? 1 : 0);
  checkMinimum(context, "maxJobs", resource.maxJobs, 0);
  resource.reservation = readReservationSupport(context);
  if (resource.type == ResourceType::MachineSet) readSetMembers(context, resource);

  resource.properties = defs::recordPropertiesMap(record, fileLabel);
  if (setFlag && !resource.properties.has("type")) {
    resource.properties.setValue("type", "Machine Set");
    resource.properties.clearModified();
  }
  resource.recordText = defs::joinRecordLines(record);
  resource.recordLine = record.keywordLine;
  warnUnknownProperties(context, kComputeResourceNames);
  computeResources.push_back(std::move(resource));
}

// ---------------------------------------------------------------------------------------
// `*DEFINE_CONDITION`

void readCondition(const Record& record, const std::string& fileLabel) {
  DefinitionContext context{&record, fileLabel, "Condition Resource"};
  Condition condition;
  condition.name = requireUniqueName(
      context, [](const std::string& name) { return findCondition(name) != nullptr; },
      "Error in the definition of a condition. The condition name \"%s\" has already been "
      "used. The condition names need to be unique.");
  condition.typeWord = requireString(context, "type");
  if (!conditionTypeOfWord(condition.typeWord, condition.type)) {
    fatalError(formatText("Error in the definition of a condition. The defined type \"%s\" is not "
                          "supported.",
                          condition.typeWord.c_str()) +
               definitionPlace(context, "type"));
  }

  switch (condition.type) {
    case ConditionType::Formula: {
      context.recordLabel = "Formula condition";
      std::string reason;
      if (getValues(fileLabel.c_str(), record, "formula", condition.formula, false, reason) == 0) {
        if (reason.empty()) reason = "The formula holds no lines.";
        fatalError(definitionError(condition.name, context.recordLabel, fileLabel, "formula",
                                   reason));
      }
      break;
    }
    case ConditionType::Parameter:
      condition.paramRef = requireString(context, "paramRef");
      condition.paramOp = trimmed(requireString(context, "paramOp"));
      condition.paramVal = requireDouble(context, "paramVal");
      break;
    case ConditionType::FileExist:
    case ConditionType::FileNotExist:
    case ConditionType::FileContain:
    case ConditionType::FileNotContain:
      condition.fileType = requireString(context, "fileType");
      condition.fileRef = requireString(context, "fileRef");
      if (condition.type == ConditionType::FileContain ||
          condition.type == ConditionType::FileNotContain) {
        condition.findText = optionalString(context, "findText", "");
        condition.findRef = optionalString(context, "findRef", "");
        if (condition.findText.empty() && condition.findRef.empty()) {
          failCondition(context, "findText",
                        "The condition names no text to look for (\"findText\" or \"findRef\").");
        }
      }
      break;
    case ConditionType::AnalysisStatus:
    case ConditionType::ResponseStatus: {
      condition.statusRef = requireString(context, "statusRef");
      std::string word = trimmed(requireString(context, "statusVal"));
      if (!parseStatusWord(word, condition.statusVal)) {
        failCondition(context, "statusVal",
                      formatText("The status \"%s\" is not supported. Valid options are "
                                 "Evaluated, Skipped, Success, Error, Feasible or Infeasible.",
                                 word.c_str()));
      }
      break;
    }
    case ConditionType::Command:
      condition.command = readConditionCommand(context);
      condition.cmdCheck = optionalInt(context, "cmdCheck", 0) != 0 ? 1 : 0;
      if (condition.cmdCheck) condition.cmdVal = requireInt(context, "cmdVal");
      condition.cmdText = optionalString(context, "cmdText", "");
      if (!condition.cmdCheck && condition.cmdText.empty()) {
        fatalError(formatText("Error in the definition of the command condition \"%s\". The "
                              "condition neither checks for the return flag nor text in the "
                              "output",
                              condition.name.c_str()) +
                   definitionPlace(context, "cmdCheck"));
      }
      break;
    case ConditionType::ScheduledJob: {
      condition.command = readConditionCommand(context);
      std::string find = optionalString(context, "find", "");
      if (find.empty()) find = optionalString(context, "Find", "");
      condition.find = trimmed(find);
      if (condition.find != "Name" && condition.find != "ID") {
        failCondition(context, "Find",
                      formatText("The Find field of a scheduled job condition must be \"Name\" or "
                                 "\"ID\", found \"%s\".",
                                 condition.find.c_str()));
      }
      break;
    }
    case ConditionType::Composite:
      readCompositeMembers(context, condition);
      break;
  }
  condition.recordText = defs::joinRecordLines(record);
  condition.recordLine = record.keywordLine;
  warnUnknownProperties(context, kConditionNames);
  conditions.push_back(std::move(condition));
}

// ---------------------------------------------------------------------------------------
// References across records

namespace {

std::string resourcePlace(const ComputeResource& resource, const char* property) {
  return definitionPlace(defs::kDefinitionsFileLabel,
                         resource.type == ResourceType::MachineSet ? "Compute Set Resource"
                                                                   : "Compute Resource",
                         resource.name, resource.recordLine, property);
}

}  // namespace

void resolveResourceReferences() {
  for (ComputeResource& resource : computeResources) {
    if (resource.remote) {
      const RemoteMachineDefinition* machine = findRemoteMachine(resource.remoteProfile);
      if (!machine) {
        fatalError(formatText("Error in the definition of the Compute Resource \"%s\". The remote "
                              "profile selected \"%s\" has not been defined for this project.",
                              resource.name.c_str(), resource.remoteProfile.c_str()) +
                   resourcePlace(resource, "jobRemoteProfile"));
      }
      resource.remoteMachine = static_cast<int>(machine - remoteMachines.data());
    }
    const std::string& reservationProfile = resource.reservation.remoteProfile;
    if (!reservationProfile.empty() && !findRemoteMachine(reservationProfile)) {
      fatalError(formatText("Error in the definition of the Compute Resource \"%s\". The remote "
                            "profile selected \"%s\" has not been defined for this project.",
                            resource.name.c_str(), reservationProfile.c_str()) +
                 resourcePlace(resource, "reserveRemoteProfile"));
    }
  }
  for (Condition& condition : conditions) {
    for (CompositeMember& member : condition.members) {
      const Condition* target = findCondition(member.name);
      if (!target) {
        fatalError(formatText("Error in the definition of the \"%s\" Composite Condition "
                              "Definition. The condition \"%s\" has not been defined.",
                              condition.name.c_str(), member.name.c_str()) +
                   definitionPlace(defs::kDefinitionsFileLabel, "Condition Resource", condition.name,
                                   condition.recordLine, "condName"));
      }
      if (target->type == ConditionType::Composite) {
        fatalError(formatText("Error in the definition of the \"%s\" Composite Condition "
                              "Definition. Cannot use another composite condition in its "
                              "definition.",
                              condition.name.c_str()) +
                   definitionPlace(defs::kDefinitionsFileLabel, "Condition Resource", condition.name,
                                   condition.recordLine, "condName"));
      }
      member.condition = static_cast<int>(target - conditions.data());
    }
  }
}

// ---------------------------------------------------------------------------------------
// Reservations

bool readReservation(const Record& analysisRecord, const std::string& fileLabel,
                     const std::string& analysisName, const ComputeResource* resource,
                     Reservation& out) {
  writeMessage("outptr", "note",
               formatText("Reading reservation data for analysis \"%s\".", analysisName.c_str()));
  if (!resource || resource->type == ResourceType::Direct) {
    fatalError(formatText("Error in the definition for analysis %s. Job reservation cannot be "
                          "used with Local or Direct execution.",
                          analysisName.c_str()));
  }
  if (resource->type == ResourceType::MachineSet) {
    fatalError(formatText("Error in the definition for analysis %s. Job reservation cannot be "
                          "used with the compute set \"%s\"; choose a Scheduled compute resource.",
                          analysisName.c_str(), resource->name.c_str()));
  }
  if (!resource->reservation.enabled) {
    writeMessage("outptr", "note",
                 formatText("The compute resource \"%s\" of analysis \"%s\" does not enable job "
                            "reservations. The reservation data of the analysis is not read.",
                            resource->name.c_str(), analysisName.c_str()));
    return false;
  }

  DefinitionContext context{&analysisRecord, fileLabel, "Resource reservation definition"};
  context.objectName = analysisName;
  Reservation reservation;
  reservation.analysisName = analysisName;
  reservation.resourceName = resource->name;
  std::string type = trimmed(optionalString(context, "reserveType", "job"));
  if (type == "advance") {
    reservation.advance = 1;
  } else if (type != "job") {
    fatalError(formatText("Error in the reservation data of analysis %s. The reservation type "
                          "\"%s\" is not supported. Valid options are \"job\" or \"advance\".",
                          analysisName.c_str(), type.c_str()));
  }
  reservation.mode = trimmed(optionalString(context, "reserveMode", ""));
  reservation.shared = reservation.mode == "shared" ? 1 : 0;
  reservation.name = reservation.shared ? formatText("%s_shared", resource->name.c_str())
                                        : analysisName;
  reservation.nodes = optionalInt(context, "reserveNodes", 1);
  checkMinimum(context, "reserveNodes", reservation.nodes, 1);
  reservation.cores = optionalInt(context, "reserveCores", 1);
  checkMinimum(context, "reserveCores", reservation.cores, 1);
  reservation.memory = trimmed(optionalString(context, "reserveMemory", ""));
  reservation.estimatedTime = optionalDouble(context, "reserveEstTime", 0.0);
  checkRealRange(context, "reserveEstTime", reservation.estimatedTime, 0.0, 1e12);
  reservation.addedTime = optionalDouble(context, "reserveAddTime", 0.0);
  checkRealRange(context, "reserveAddTime", reservation.addedTime, 0.0, 1e12);
  reservation.numDesigns = optionalInt(context, "numDesigns", 1);
  checkMinimum(context, "numDesigns", reservation.numDesigns, 1);
  reservation.software = optionalString(context, "reserveSoftware", "");
  reservation.version = optionalString(context, "reserveVersion", "");
  reservation.environment = optionalString(context, "reserveEnvironment", "");
  out = std::move(reservation);
  return true;
}

// ---------------------------------------------------------------------------------------

void resetResources() {
  remoteMachines.clear();
  computeResources.clear();
  conditions.clear();
}

}  // namespace karvo

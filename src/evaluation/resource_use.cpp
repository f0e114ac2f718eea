// Compute resources at run time: the choice and release of a resource around every job
// (a few per design; look-ups over tens of resources), and the reservations made at
// start-up, polled while their analyses wait and cancelled at the end of the run.
#include "evaluation/resource_use.h"

#include <cmath>
#include <cstdlib>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/text.h"
#include "definitions/process_file.h"
#include "external/remote_profile.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace karvo {

std::vector<ReservationRun> reservations;
ReservationOptions reservationOptions;

namespace {

bool validIndex(int index, std::size_t size) {
  return index >= 0 && static_cast<std::size_t>(index) < size;
}

ComputeResource* resourceAt(int index) {
  return validIndex(index, computeResources.size())
             ? &computeResources[static_cast<std::size_t>(index)]
             : nullptr;
}

ComputeResource* setAt(int index) {
  ComputeResource* set = resourceAt(index);
  return set && set->type == ResourceType::MachineSet ? set : nullptr;
}

void note(const std::string& text) { writeMessage("outptr", "note", text); }

}  // namespace

// ---------------------------------------------------------------------------------------
// Resource sets

std::string resourceUsageReport(const ComputeResource& set) {
  std::string text = formatText("Usage report for the MachineSet Compute Resource \"%s\".",
                                set.name.c_str());
  for (const ResourceSetMember& member : set.members) {
    text = formatText("%s\n%s - %d/%d", text.c_str(), member.name.c_str(), member.inUse,
                      member.allowed);
  }
  return text;
}

int allocateResource(int setIndex, int designNumber, bool report) {
  ComputeResource* set = setAt(setIndex);
  if (!set) return -1;
  if (report) note("Usage summary before allocating\n" + resourceUsageReport(*set));
  for (std::size_t i = 0; i < set->members.size(); ++i) {
    ResourceSetMember& member = set->members[i];
    if (member.inUse >= member.allowed) continue;
    ++member.inUse;
    ++set->jobsInUse;
    if (report) {
      note(formatText("Usage summary after allocating design number %d", designNumber) + "\n" +
           resourceUsageReport(*set));
    }
    return static_cast<int>(i);
  }
  return -1;
}

bool releaseResource(int setIndex, int member, int designNumber, bool report) {
  ComputeResource* set = setAt(setIndex);
  if (!set) return false;
  if (!validIndex(member, set->members.size())) {
    writeMessage("outptr", "error",
                 formatText("Error in releasing a compute resource () in the MachineSet \"%s\".",
                            set->name.c_str()));
    return false;
  }
  if (report) note("Usage summary before free\n" + resourceUsageReport(*set));
  ResourceSetMember& entry = set->members[static_cast<std::size_t>(member)];
  if (entry.inUse > 0) {
    --entry.inUse;
    if (set->jobsInUse > 0) --set->jobsInUse;
  }
  if (report) {
    note(formatText("Usage summary after freeing design number %d", designNumber) + "\n" +
         resourceUsageReport(*set));
  }
  return true;
}

int findSetMember(int setIndex, const std::string& resourceName,
                  const std::string& analysisName) {
  ComputeResource* set = setAt(setIndex);
  if (!set) return -1;
  for (std::size_t i = 0; i < set->members.size(); ++i) {
    if (set->members[i].name == resourceName) return static_cast<int>(i);
  }
  std::string text = formatText(
      "Analysis %s received a request for actions related to compute resource \"%s\". However, "
      "this compute resource is not in the compute resource set \"%s\" assigned to",
      analysisName.c_str(), resourceName.c_str(), set->name.c_str());
  writeMessage("outptr", "warning", text + " the analysis.");
  return -1;
}

bool chooseComputeResource(const std::string& name, int designNumber, bool report,
                           ResourceChoice& choice) {
  choice = ResourceChoice();
  if (name.empty()) return true;
  const int index = resourceIndex(name);
  ComputeResource* resource = resourceAt(index);
  if (!resource) return false;
  if (resource->type == ResourceType::MachineSet) {
    const int member = allocateResource(index, designNumber, report);
    if (member < 0) return false;
    choice.set = index;
    choice.member = member;
    choice.resource = resource->members[static_cast<std::size_t>(member)].resource;
    choice.held = true;
    return true;
  }
  if (resource->maxJobs > 0 && resource->jobsInUse >= resource->maxJobs) return false;
  ++resource->jobsInUse;
  choice.resource = index;
  choice.held = true;
  return true;
}

void releaseComputeResource(ResourceChoice& choice, int designNumber, bool report) {
  if (choice.held) {
    if (choice.set >= 0) {
      releaseResource(choice.set, choice.member, designNumber, report);
    } else if (ComputeResource* resource = resourceAt(choice.resource)) {
      if (resource->jobsInUse > 0) --resource->jobsInUse;
    }
  }
  choice = ResourceChoice();
}

// ---------------------------------------------------------------------------------------
// Reservations

namespace {

bool isAlphanumeric(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isIdCharacter(char c) {
  static const std::string extra = "._-:@[]+";
  return isAlphanumeric(c) || extra.find(c) != std::string::npos;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    pos = end + 1;
  }
  return lines;
}

std::vector<std::string> splitFields(const std::string& line, const char* separators) {
  std::vector<std::string> fields;
  std::size_t pos = line.find_first_not_of(separators);
  while (pos != std::string::npos) {
    std::size_t end = line.find_first_of(separators, pos);
    fields.push_back(line.substr(pos, end == std::string::npos ? end : end - pos));
    pos = end == std::string::npos ? end : line.find_first_not_of(separators, end);
  }
  return fields;
}

// The reservation id in the submit output (rules in the header); "" when there is none.
std::string readReservationId(const std::string& output, const std::string& start,
                              const std::string& end) {
  for (const std::string& line : splitLines(output)) {
    const bool holds =
        start.empty() ? !trimmed(line).empty() : line.find(start) != std::string::npos;
    if (!holds) continue;
    std::size_t begin = start.empty() ? 0 : line.find(start) + start.size();
    std::size_t stop = end.empty() ? line.size() : line.find(end, begin);
    if (stop == std::string::npos) return "";
    return trimmed(line.substr(begin, stop - begin));
  }
  return "";
}

bool validId(const std::string& id) {
  if (id.empty()) return false;
  for (char c : id) {
    if (!isIdCharacter(c)) return false;
  }
  return true;
}

// The remote profile the reservation's commands run on ("" for this machine).
std::string reservationProfileName(const ComputeResource& resource) {
  return resource.reservation.remoteProfile;
}

// The property set of a reservation, made from its definition and its resource.
PropertiesMap reservationProperties(const Reservation& definition,
                                    const ComputeResource& resource) {
  const ReservationSupport& support = resource.reservation;
  PropertiesMap properties;
  const double minutes = std::ceil(definition.estimatedTime + definition.addedTime);
  const RemoteMachineDefinition* profile = findRemoteMachine(reservationProfileName(resource));
  properties.setValue("allocate_type", definition.advance ? "advance" : "job");
  properties.setValue("resv_make_cmd", support.submitCmd);
  properties.setValue("resv_cancel_cmd", support.cancelCmd);
  properties.setValue("resv_status_cmd", support.statusCmd);
  properties.setValue("resv_run_key", support.startedText);
  properties.setValue("resv_status_col", formatText("%d", support.startedCol));
  properties.setValue("do_resv_read_id", support.readId ? "true" : "false");
  properties.setValue("resv_id_beg", support.idStart);
  properties.setValue("resv_id_end", support.idEnd);
  properties.setValue("resv_parse_cmd", support.parseCmd);
  properties.setValue("resv_duration", formatText("%.0f", minutes));
  properties.setValue("resv_num_nodes", formatText("%d", definition.nodes));
  properties.setValue("resv_num_cpus", formatText("%d", definition.cores));
  properties.setValue("remote_block", profile ? profile->recordText : "");
  properties.setValue("rmt_study_dir", profile ? profile->properties.value("studyPath") : "");
  properties.clearModified();
  return properties;
}

// `pattern` with the placeholders of the header replaced.
std::string reservationCommand(const std::string& pattern, const ReservationRun& reservation) {
  const Reservation& d = reservation.definition;
  const std::string& analysis = reservation.analyses.empty() ? d.analysisName
                                                             : reservation.analyses.front();
  const struct {
    const char* tag;
    std::string value;
  } replacements[] = {
      {"%RESVNAME%", platform::shellQuote(d.name)},
      {"%RESVID%", reservation.id},
      {"%NODES%", formatText("%d", d.nodes)},
      {"%CORES%", formatText("%d", d.cores)},
      {"%CPUS%", formatText("%lld", static_cast<long long>(d.nodes) * d.cores)},
      {"%MEMORY%", platform::shellQuote(d.memory)},
      {"%DURATION%", reservation.properties.value("resv_duration")},
      {"%SOFTWARE%", platform::shellQuote(d.software)},
      {"%VERSION%", platform::shellQuote(d.version)},
      {"%ENVIRONMENT%", platform::shellQuote(d.environment)},
      {"%ANALYSIS%", platform::shellQuote(analysis)},
      {"%STUDYDIR%", platform::shellQuote(run.workingDirectory)},
  };
  std::string out;
  std::size_t i = 0;
  while (i < pattern.size()) {
    bool replaced = false;
    if (pattern[i] == '%') {
      for (const auto& r : replacements) {
        const std::size_t n = std::char_traits<char>::length(r.tag);
        if (pattern.compare(i, n, r.tag) == 0) {
          out += r.value;
          i += n;
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += pattern[i++];
  }
  return out;
}

// Runs one reservation command (placeholders replaced; on the reservation's remote machine
// when it has one). False with `error` when it could not run to its end.
bool runReservationCommand(const ReservationRun& reservation, const char* what,
                           const std::string& pattern, platform::CapturedRun& result,
                           std::string& error) {
  std::string command = reservationCommand(pattern, reservation);
  const ComputeResource* resource = resourceAt(reservation.resource);
  const std::string profileName = resource ? reservationProfileName(*resource) : "";
  if (!profileName.empty()) {
    const RemoteMachineDefinition* machine = findRemoteMachine(profileName);
    bool status = false;
    std::string wrapped;
    std::string message = "the profile is not defined";
    if (machine) {
      RemoteProfile profile(machine->properties, nullptr);
      wrapped = profile.generateExecutionCommand(command, status);
      message = profile.getLastErrorMsg();
    }
    if (!status) {
      error = "Error in creating the execution command using the remote profile \"" +
              profileName + "\". Original command: \"" + command + "\".\nMessage received:\n" +
              message;
      return false;
    }
    command = wrapped;
  }
  result = platform::runCapturedCommand(command, run.workingDirectory,
                                        reservationOptions.commandSeconds);
  if (!result.started) {
    error = formatText("Could not run the %s command \"%s\": %s", what, command.c_str(),
                       result.error.c_str());
    return false;
  }
  if (result.timedOut) {
    error = formatText("The %s command \"%s\" did not finish within %g seconds.", what,
                       command.c_str(), reservationOptions.commandSeconds);
    return false;
  }
  return true;
}

// The running state from the status command's output (rules in the header).
bool showsRunning(const ReservationRun& reservation, const platform::CapturedRun& result) {
  const ComputeResource* resource = resourceAt(reservation.resource);
  const std::string text = resource ? resource->reservation.startedText : "";
  const int column = resource ? resource->reservation.startedCol : 0;
  if (text.empty()) return result.exitStatus == 0;
  auto lineShows = [&](const std::string& line) {
    if (column <= 0) return line.find(text) != std::string::npos;
    std::vector<std::string> fields = splitFields(line, " \t");
    return static_cast<std::size_t>(column) <= fields.size() &&
           fields[static_cast<std::size_t>(column) - 1] == text;
  };
  for (const std::string& line : splitLines(result.output)) {
    if (!reservation.id.empty()) {
      if (line.find(reservation.id) == std::string::npos) continue;
      return lineShows(line);
    }
    if (lineShows(line)) return true;
  }
  return false;
}

// Adds the remote profile and the compute resource of reserved machine `i`.
int addInternalResource(const ReservationRun& reservation, const std::string& machine,
                        std::size_t i, int slots) {
  const std::string name =
      formatText("_Internal_%s_%d", reservation.definition.name.c_str(), static_cast<int>(i));
  const ComputeResource& owner = computeResources[static_cast<std::size_t>(reservation.resource)];
  std::string profileName = owner.reservation.remoteProfile;
  if (profileName.empty()) profileName = owner.remoteProfile;
  const RemoteMachineDefinition* source = findRemoteMachine(profileName);

  RemoteMachineDefinition profile;
  if (source) {
    profile = *source;
  } else {
    profile.platform = "Linux";
    profile.properties.setValue("platform", "Linux");
  }
  profile.name = name;
  profile.host = machine;
  profile.properties.setValue("name", name);
  profile.properties.setValue("host", machine);
  profile.properties.clearModified();
  profile.recordText.clear();
  for (const auto& [key, value] : profile.properties.properties()) {
    if (!profile.recordText.empty()) profile.recordText += "\n";
    profile.recordText += key + ": " + value;
  }
  remoteMachines.push_back(std::move(profile));

  ComputeResource resource;
  resource.name = name;
  resource.type = ResourceType::Direct;
  resource.typeWord = "Direct";
  resource.remote = 1;
  resource.remoteProfile = name;
  resource.remoteMachine = static_cast<int>(remoteMachines.size()) - 1;
  resource.computeNode = machine;
  resource.maxJobs = slots;
  resource.properties.setValue("name", name);
  resource.properties.setValue("type", "Direct");
  resource.properties.setValue("jobRemote", "yes");
  resource.properties.setValue("jobRemoteProfile", name);
  resource.properties.setValue("computeNode", machine);
  resource.properties.setValue("maxJobs", formatText("%d", slots));
  resource.properties.clearModified();
  resource.recordText = formatText("name: %s\ntype: Direct\njobRemote: yes\njobRemoteProfile: "
                                   "%s\ncomputeNode: %s\nmaxJobs: %d",
                                   name.c_str(), name.c_str(), machine.c_str(), slots);
  computeResources.push_back(std::move(resource));
  return static_cast<int>(computeResources.size()) - 1;
}

// Reads the machine list of a running job-based reservation and makes its internal
// resources. False when the list could not be read (the reservation stays pending).
bool requestReservedResources(ReservationRun& reservation) {
  const char* name = reservation.definition.name.c_str();
  note(formatText("The job based reservation \"%s\" is now running. Requesting resources.",
                  name));
  const ComputeResource& owner = computeResources[static_cast<std::size_t>(reservation.resource)];
  std::vector<std::string> machines;
  if (!owner.reservation.parseCmd.empty()) {
    platform::CapturedRun result;
    std::string error;
    if (!runReservationCommand(reservation, "reservation resource list",
                               owner.reservation.parseCmd, result, error)) {
      writeMessage("outptr", "warning",
                   formatText("Could not read the resources of the reservation \"%s\". Will try "
                              "again.\n%s",
                              name, error.c_str()));
      return false;
    }
    for (const std::string& machine : splitFields(result.output, " \t\r\n,")) {
      bool repeated = false;
      for (const std::string& known : machines) repeated = repeated || known == machine;
      if (!repeated) machines.push_back(machine);
    }
  }
  std::string list;
  for (const std::string& machine : machines) {
    if (!list.empty()) list += "\n";
    list += machine;
  }
  note(formatText("Resource list received:\n%s", list.c_str()));
  if (machines.empty()) {
    fatalError(formatText("The reservation \"%s\" returned an empty list for the reserved "
                          "resources. The run cannot proceed.",
                          name));
  }
  const int requested = reservation.definition.nodes;
  if (static_cast<int>(machines.size()) < requested) {
    writeMessage("outptr", "warning",
                 formatText("The number of reserved nodes returned by the reservation (%d) are "
                            "less than the number requested. Some of the nodes will be used "
                            "more than once.",
                            static_cast<int>(machines.size())));
  }
  // Requested nodes dealt to the machines in turn; every machine takes at least one job.
  const std::size_t count = machines.size();
  for (std::size_t i = 0; i < count; ++i) {
    int slots = requested / static_cast<int>(count) +
                (static_cast<int>(i) < requested % static_cast<int>(count) ? 1 : 0);
    if (slots < 1) slots = 1;
    reservation.internalResources.push_back(
        addInternalResource(reservation, machines[i], i, slots));
  }
  reservation.machines = std::move(machines);
  return true;
}

}  // namespace

int addReservation(const Reservation& definition) {
  const int existing = findReservation(definition.name);
  if (existing >= 0) {
    ReservationRun& known = reservations[static_cast<std::size_t>(existing)];
    bool listed = false;
    for (const std::string& analysis : known.analyses) {
      listed = listed || analysis == definition.analysisName;
    }
    if (!listed) known.analyses.push_back(definition.analysisName);
    return existing;
  }
  ReservationRun reservation;
  reservation.definition = definition;
  reservation.analyses.push_back(definition.analysisName);
  reservation.resource = resourceIndex(definition.resourceName);
  if (const ComputeResource* resource = resourceAt(reservation.resource)) {
    reservation.properties = reservationProperties(definition, *resource);
  }
  reservations.push_back(std::move(reservation));
  return static_cast<int>(reservations.size()) - 1;
}

int findReservation(const std::string& name) {
  for (std::size_t i = 0; i < reservations.size(); ++i) {
    if (reservations[i].definition.name == name) return static_cast<int>(i);
  }
  return -1;
}

int reservationOfAnalysis(const std::string& analysisName) {
  for (std::size_t i = 0; i < reservations.size(); ++i) {
    for (const std::string& analysis : reservations[i].analyses) {
      if (analysis == analysisName) return static_cast<int>(i);
    }
  }
  return -1;
}

bool startReservation(int index) {
  if (!validIndex(index, reservations.size())) return false;
  ReservationRun& reservation = reservations[static_cast<std::size_t>(index)];
  if (reservation.state != ReservationState::kNotStarted) {
    return reservation.state == ReservationState::kPending ||
           reservation.state == ReservationState::kRunning;
  }
  const char* name = reservation.definition.name.c_str();
  note(formatText("Creating reservation: %s", name));
  const ComputeResource* resource = resourceAt(reservation.resource);
  std::string error;
  platform::CapturedRun result;
  if (!resource) {
    error = formatText("The compute resource \"%s\" has not been defined.",
                       reservation.definition.resourceName.c_str());
  } else if (trimmed(resource->reservation.submitCmd).empty()) {
    error = formatText("The compute resource \"%s\" has no reservation command "
                       "(\"reserveSubmitCmd\").",
                       resource->name.c_str());
  } else if (runReservationCommand(reservation, "reservation", resource->reservation.submitCmd,
                                   result, error)) {
    if (result.exitStatus != 0) {
      error = formatText("The reservation command ended with the exit status %d:\n%s",
                         result.exitStatus, trimmed(result.output).c_str());
    } else if (resource->reservation.readId) {
      reservation.id = readReservationId(result.output, resource->reservation.idStart,
                                         resource->reservation.idEnd);
      if (!validId(reservation.id)) {
        error = formatText("Could not read a valid reservation id (\"%s\") from the output of "
                           "the reservation command:\n%s",
                           reservation.id.c_str(), trimmed(result.output).c_str());
        reservation.id.clear();
      }
    }
  }
  if (!error.empty()) {
    reservation.state = ReservationState::kFailed;
    writeMessage("outptr", "error",
                 formatText("Failed to create the reservation: %s", name) + "\n" + error);
    return false;
  }
  reservation.state = ReservationState::kPending;
  note(formatText("Kicked off reservation: %s", name));
  if (trimmed(resource->reservation.statusCmd).empty()) checkReservation(index);
  return true;
}

void startAnalysisReservations() {
  for (const Process& process : processes) {
    for (const Analysis& analysis : process.analyses) {
      if (!analysis.hasReservation) continue;
      startReservation(addReservation(analysis.reservation));
    }
  }
}

ReservationState checkReservation(int index) {
  if (!validIndex(index, reservations.size())) return ReservationState::kFailed;
  ReservationRun& reservation = reservations[static_cast<std::size_t>(index)];
  if (reservation.state != ReservationState::kPending) return reservation.state;
  if (!resourceAt(reservation.resource)) return reservation.state;
  const ComputeResource& resource =
      computeResources[static_cast<std::size_t>(reservation.resource)];
  const char* name = reservation.definition.name.c_str();

  bool running = true;
  if (!trimmed(resource.reservation.statusCmd).empty()) {
    const double now = platform::monotonicSeconds();
    if (reservation.lastCheck >= 0 &&
        now - reservation.lastCheck < reservationOptions.statusIntervalSeconds) {
      return reservation.state;
    }
    reservation.lastCheck = now;
    note(formatText("Checking to see if the reservation \"%s\" is running.", name));
    platform::CapturedRun result;
    std::string error;
    running = runReservationCommand(reservation, "reservation status",
                                    resource.reservation.statusCmd, result, error) &&
              showsRunning(reservation, result);
    if (!error.empty()) writeMessage("outptr", "warning", error);
    note(formatText("Received reservation running status = %d.", running ? 1 : 0));
  }
  if (!running) return reservation.state;
  if (reservation.definition.advance) {
    note(formatText("The advance reservation \"%s\" is now running.", name));
  } else if (!requestReservedResources(reservation)) {
    return reservation.state;
  }
  reservation.state = ReservationState::kRunning;
  return reservation.state;
}

bool chooseReservedResource(int index, ResourceChoice& choice) {
  choice = ResourceChoice();
  if (!validIndex(index, reservations.size())) return false;
  const ReservationRun& reservation = reservations[static_cast<std::size_t>(index)];
  if (reservation.state != ReservationState::kRunning) return false;
  for (int internal : reservation.internalResources) {
    ComputeResource* resource = resourceAt(internal);
    if (!resource || resource->jobsInUse >= resource->maxJobs) continue;
    ++resource->jobsInUse;
    choice.resource = internal;
    choice.held = true;
    return true;
  }
  return false;
}

void endReservations() {
  for (ReservationRun& reservation : reservations) {
    if (reservation.state != ReservationState::kPending &&
        reservation.state != ReservationState::kRunning) {
      continue;
    }
    note(formatText("Ending reservation: %s", reservation.definition.name.c_str()));
    reservation.state = ReservationState::kEnded;
    const ComputeResource* resource = resourceAt(reservation.resource);
    if (!resource || trimmed(resource->reservation.cancelCmd).empty()) continue;
    platform::CapturedRun result;
    std::string error;
    if (runReservationCommand(reservation, "reservation cancel", resource->reservation.cancelCmd,
                              result, error) &&
        result.exitStatus != 0) {
      error = formatText("The cancel command ended with the exit status %d:\n%s",
                         result.exitStatus, trimmed(result.output).c_str());
    }
    if (!error.empty()) {
      writeMessage("outptr", "warning",
                   formatText("Could not end the reservation \"%s\".\n%s",
                              reservation.definition.name.c_str(), error.c_str()));
    }
  }
}

void resetReservations() {
  reservations.clear();
  reservationOptions = ReservationOptions();
}

}  // namespace karvo

// The "General" portal's calls: reads the template entries and response definitions from the
// properties map and hands them to template filling and extraction. Called a few times per
// analysis per design; holds no state between calls, so one object serves every design.
#include "external/portal_general.h"

#include <algorithm>
#include <map>
#include <utility>

#include "base/messages.h"
#include "base/text.h"
#include "platform/platform.h"

namespace karvo {

namespace {

using general_portal::ExtractionDefinition;

// The entries "<prefix><n>" of the map in increasing n: (n, key).
std::vector<std::pair<long long, std::string>> numberedKeys(const PropertiesMap& properties,
                                                            const std::string& prefix) {
  std::vector<std::pair<long long, std::string>> keys;
  for (const auto& [key, value] : properties.properties()) {
    if (key.size() <= prefix.size() || key.size() > prefix.size() + 9) continue;
    if (key.compare(0, prefix.size(), prefix) != 0) continue;
    bool digits = true;
    for (std::size_t i = prefix.size(); i < key.size(); ++i) {
      digits = digits && key[i] >= '0' && key[i] <= '9';
    }
    if (digits) keys.emplace_back(std::stoll(key.substr(prefix.size())), key);
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::string textOf(const PropertiesMap& properties, const std::string& key) {
  return properties.has(key) ? properties.value(key) : std::string();
}

// `file` against `folder` unless it is absolute or there is no folder.
std::string resolveAgainst(const std::string& folder, const std::string& file) {
  if (file.empty() || file.front() == platform::kPathSeparator || folder.empty()) return file;
  return platform::joinPath(folder, file);
}

std::string defaultOutputFile(const PropertiesMap& properties) {
  std::string list = textOf(properties, "outputFilenames");
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t end = list.find('\n', start);
    if (end == std::string::npos) end = list.size();
    std::string name = trimmed(list.substr(start, end - start));
    if (!name.empty()) return name;
    start = end + 1;
  }
  return "";
}

struct TemplateEntry {
  std::string source;  // template path, resolved against "studyDir"
  std::string target;  // written file, resolved against "destDir"
};

// The template entries; an "ERROR:" line in `messages` for each that is unusable.
std::vector<TemplateEntry> templateEntries(const PropertiesMap& properties,
                                           std::vector<std::string>& messages) {
  std::vector<TemplateEntry> entries;
  std::string studyDir = textOf(properties, "studyDir");
  std::string destDir = textOf(properties, "destDir");
  for (const auto& [n, key] : numberedKeys(properties, "InputSource")) {
    std::string source = properties.value(key);
    if (source.empty()) {
      messages.push_back(formatText("ERROR: The template entry \"%s\" names no file.", key.c_str()));
      continue;
    }
    std::string target = textOf(properties, formatText("InputTarget%lld", n));
    if (target.empty()) {
      std::size_t slash = source.find_last_of(platform::kPathSeparator);
      target = slash == std::string::npos ? source : source.substr(slash + 1);
    }
    entries.push_back(TemplateEntry{resolveAgainst(studyDir, source), resolveAgainst(destDir, target)});
  }
  for (const auto& [n, key] : numberedKeys(properties, "InputTarget")) {
    if (!properties.has(formatText("InputSource%lld", n))) {
      messages.push_back(formatText("ERROR: The property \"%s\" has no matching \"InputSource%lld\".",
                                    key.c_str(), n));
    }
  }
  return entries;
}

struct ResponseEntry {
  std::string name;                 // response name
  bool valid = false;               // the definition was read
  std::string error;                // unless valid: why, as reported for the response
  ExtractionDefinition definition;  // when valid
  std::string file;                 // when valid: the output file, resolved against "destDir"
};

// The responses in "ResponseName<n>" order; "ERROR:" lines in `messages` for entries that
// cannot even be named (a definition without a name, a name given twice).
std::vector<ResponseEntry> responseEntries(const PropertiesMap& properties,
                                           std::vector<std::string>& messages) {
  std::vector<ResponseEntry> entries;
  std::string destDir = textOf(properties, "destDir");
  std::string fallback = defaultOutputFile(properties);
  std::map<std::string, std::string> seen;  // name -> key
  for (const auto& [n, key] : numberedKeys(properties, "ResponseName")) {
    ResponseEntry entry;
    entry.name = properties.value(key);
    if (entry.name.empty()) {
      messages.push_back(formatText("ERROR: The property \"%s\" names no response.", key.c_str()));
      continue;
    }
    auto [at, fresh] = seen.emplace(entry.name, key);
    if (!fresh) {
      messages.push_back(formatText("ERROR: The response \"%s\" is named twice (\"%s\" and \"%s\").",
                                    entry.name.c_str(), at->second.c_str(), key.c_str()));
      continue;
    }
    std::string definitionKey = formatText("ResponseDefinition%lld", n);
    std::string reason;
    if (!properties.has(definitionKey)) {
      entry.error = formatText("The response \"%s\" has no extraction definition (\"%s\").",
                               entry.name.c_str(), definitionKey.c_str());
    } else if (!general_portal::parseDefinition(properties.value(definitionKey), entry.definition,
                                                reason)) {
      entry.error = formatText("The extraction definition of response \"%s\" is invalid: %s.",
                               entry.name.c_str(), reason.c_str());
    } else {
      std::string file = entry.definition.file.empty() ? fallback : entry.definition.file;
      if (file.empty()) {
        entry.error = formatText("The extraction definition of response \"%s\" names no file and "
                                 "the analysis has no output file (\"outputFilenames\").",
                                 entry.name.c_str());
      } else {
        entry.valid = true;
        entry.file = resolveAgainst(destDir, file);
      }
    }
    entries.push_back(std::move(entry));
  }
  for (const auto& [n, key] : numberedKeys(properties, "ResponseDefinition")) {
    if (!properties.has(formatText("ResponseName%lld", n))) {
      messages.push_back(formatText("ERROR: The property \"%s\" has no matching \"ResponseName%lld\".",
                                    key.c_str(), n));
    }
  }
  return entries;
}

std::string missingOutputText(const std::string& file) {
  return formatText("ERROR: The output file \"%s\" was not found.", file.c_str());
}

// The resolved output files that the valid definitions read, each once, in response order.
std::vector<std::string> outputFiles(const std::vector<ResponseEntry>& responses) {
  std::vector<std::string> files;
  for (const ResponseEntry& r : responses) {
    if (!r.valid) continue;
    if (std::find(files.begin(), files.end(), r.file) == files.end()) files.push_back(r.file);
  }
  return files;
}

}  // namespace

PortalInitResult GeneralPortal::initialize(const PropertiesMap& properties) {
  PortalInitResult result;
  templateEntries(properties, result.messages);
  std::vector<ResponseEntry> responses = responseEntries(properties, result.messages);
  for (const ResponseEntry& r : responses) {
    if (!r.valid) result.messages.push_back("ERROR: " + r.error);
  }
  // Definitions that name their own file add it to the analysis's outputs; the default file
  // is one of them already.
  for (const ResponseEntry& r : responses) {
    if (!r.valid || r.definition.file.empty()) continue;
    const std::string& file = r.definition.file;
    if (std::find(result.extraOutputFiles.begin(), result.extraOutputFiles.end(), file) ==
        result.extraOutputFiles.end()) {
      result.extraOutputFiles.push_back(file);
    }
  }
  result.ok = result.messages.empty();
  return result;
}

PortalResult GeneralPortal::prepare(const PropertiesMap& properties,
                                    const TagValueCallback& tagValue) {
  PortalResult result;
  std::vector<TemplateEntry> entries = templateEntries(properties, result.messages);
  bool ok = result.messages.empty();
  // Each (name, format) pair is asked for once per call: the design's values do not change
  // while its files are written.
  std::map<std::pair<std::string, std::string>, TagValueAnswer> answers;
  TagValueCallback cached = [&](const std::string& name, const std::string& format) {
    auto key = std::make_pair(name, format);
    auto found = answers.find(key);
    if (found == answers.end()) found = answers.emplace(key, tagValue(name, format)).first;
    return found->second;
  };
  for (const TemplateEntry& entry : entries) {
    PortalResult filled = general_portal::fillTemplate(entry.source, entry.target, cached);
    ok = ok && filled.ok;
    result.messages.insert(result.messages.end(), filled.messages.begin(), filled.messages.end());
  }
  result.ok = ok;
  return result;
}

PortalPathResult GeneralPortal::resolvePath(const PropertiesMap& properties,
                                            const std::string& file) {
  PortalPathResult result;
  if (file.empty()) {
    result.messages.push_back("ERROR: No file name was given to resolve.");
    return result;
  }
  result.path = resolveAgainst(textOf(properties, "destDir"), file);
  result.ok = true;
  return result;
}

PortalRunResult GeneralPortal::run(const PropertiesMap& properties) {
  (void)properties;
  PortalRunResult result;
  result.ok = true;
  result.handled = false;
  return result;
}

PortalProgressResult GeneralPortal::progress(const PropertiesMap& properties) {
  (void)properties;
  PortalProgressResult result;
  result.ok = true;
  result.fraction = -1.0;
  return result;
}

PortalFinishResult GeneralPortal::finishCheck(const PropertiesMap& properties) {
  PortalFinishResult result;
  if (!properties.has("jobFinished")) {
    result.messages.push_back(
        "ERROR: The General portal cannot tell whether the analysis has finished: the "
        "property \"jobFinished\" is missing.");
    result.state = FinishState::Error;
    return result;
  }
  std::string value = properties.value("jobFinished");
  if (value == "true") {
    result.state = FinishState::Finished;
  } else if (value == "false") {
    result.state = FinishState::NotFinished;
  } else {
    result.messages.push_back(formatText(
        "ERROR: The General portal cannot tell whether the analysis has finished: the "
        "property \"jobFinished\" is \"%s\", expected \"true\" or \"false\".",
        value.c_str()));
    result.state = FinishState::Error;
    return result;
  }
  result.ok = true;
  return result;
}

PortalResult GeneralPortal::successCheck(const PropertiesMap& properties) {
  PortalResult result;
  std::vector<std::string> ignored;
  std::vector<ResponseEntry> responses = responseEntries(properties, ignored);
  for (const std::string& file : outputFiles(responses)) {
    if (!platform::isRegularFile(file)) result.messages.push_back(missingOutputText(file));
  }
  result.ok = result.messages.empty();
  return result;
}

PortalResult GeneralPortal::extract(const PropertiesMap& properties,
                                    const ExtractionCallback& report) {
  PortalResult result;
  std::vector<ResponseEntry> responses = responseEntries(properties, result.messages);
  std::vector<general_portal::ExtractionOutcome> outcomes(responses.size());
  for (const std::string& file : outputFiles(responses)) {
    // Said once per file; each response that reads it still says why it found nothing.
    if (!platform::isRegularFile(file)) result.messages.push_back(missingOutputText(file));
    std::vector<std::size_t> which;
    std::vector<const ExtractionDefinition*> definitions;
    for (std::size_t i = 0; i < responses.size(); ++i) {
      if (responses[i].valid && responses[i].file == file) {
        which.push_back(i);
        definitions.push_back(&responses[i].definition);
      }
    }
    std::vector<general_portal::ExtractionOutcome> found =
        general_portal::extractFromFile(file, definitions);
    for (std::size_t k = 0; k < which.size(); ++k) outcomes[which[k]] = std::move(found[k]);
  }
  bool all = result.messages.empty();
  for (std::size_t i = 0; i < responses.size(); ++i) {
    const ResponseEntry& r = responses[i];
    if (!r.valid) {
      report(r.name, {}, false, r.error);
      all = false;
    } else {
      report(r.name, outcomes[i].values, outcomes[i].ok, outcomes[i].message);
      all = all && outcomes[i].ok;
    }
  }
  result.ok = all;
  return result;
}

}  // namespace karvo

// Key-value property sets passed between the solver and its outside components: compute
// resources, remote machine profiles, job submissions and portal calls.
//
// PropertiesMap holds two ordered maps of string keys to string values (the properties and
// a second map of the same form), the value answered for a missing key, and a modified flag.
// It is a boundary class: callers hold it through IProperties.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace karvo {

class IProperties {
 public:
  virtual ~IProperties() = default;
  virtual std::vector<std::string> keys() const { return {}; }
  virtual std::string value(const std::string& key) const {
    (void)key;
    return "";
  }
  virtual std::string secondValue(const std::string& key) const {
    (void)key;
    return "";
  }
  virtual void setValue(const std::string& key, const std::string& value) = 0;
  virtual void setSecondValue(const std::string& key, const std::string& value) = 0;
  virtual void erase(const std::string& key) = 0;
  virtual void clear() = 0;
};

class ISerializable {
 public:
  virtual ~ISerializable() = default;
  // Reads both maps from the form written by serialize; false on malformed input (the map is
  // then left empty).
  virtual bool deserialize(const std::string& text) = 0;
  virtual std::string serialize() const = 0;
};

class PropertiesMap : public IProperties, public ISerializable {
 public:
  PropertiesMap() = default;
  explicit PropertiesMap(std::string defaultValue) : default_(std::move(defaultValue)) {}
  PropertiesMap(const PropertiesMap&) = default;
  PropertiesMap& operator=(const PropertiesMap&) = default;
  ~PropertiesMap() override = default;

  std::vector<std::string> keys() const override;
  std::string value(const std::string& key) const override;
  std::string secondValue(const std::string& key) const override;
  void setValue(const std::string& key, const std::string& value) override;
  void setSecondValue(const std::string& key, const std::string& value) override;
  void erase(const std::string& key) override;
  void clear() override;

  bool deserialize(const std::string& text) override;
  std::string serialize() const override;

  bool has(const std::string& key) const { return properties_.count(key) != 0; }
  bool modified() const { return modified_; }
  void clearModified() { modified_ = false; }
  const std::map<std::string, std::string>& properties() const { return properties_; }
  const std::map<std::string, std::string>& secondMap() const { return second_; }

 private:
  std::map<std::string, std::string> properties_;
  std::map<std::string, std::string> second_;
  std::string default_;
  bool modified_ = false;
};

}  // namespace karvo

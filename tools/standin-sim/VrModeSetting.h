#pragma once
// The VR-mode entry as the add-on's component inside the simulator finds it: section "Loading",
// key "ForceVRMode" of the add-on's settings file, "1" meaning VR mode. Read-only: nothing is
// created, and the file is opened with full sharing so that the launcher can rewrite it.
#include <optional>
#include <string>

namespace standin {

struct VrModeReport {
  std::wstring path;
  bool fileFound = false;
  std::optional<std::string> value; // the entry's value, when the entry exists
  bool on = false;                  // value == "1"

  std::string describe() const; // one line for the transcript
};

// "<roaming application data>\Aerolumen\settings_pro_Aerolumen P3Dv4_settings.ini"; empty when
// the folder cannot be found.
std::wstring defaultSettingsPath();

VrModeReport readVrMode(const std::wstring& path);

// The value of `key` in `section` of settings text: "[section]" header lines, "key = value"
// entries split at the first "=", blanks around lines, keys and values trimmed, lines shorter than
// four characters and lines starting with "#" ignored, names case-sensitive, last entry wins.
std::optional<std::string> findIniValue(const std::string& text, const std::string& section,
                                        const std::string& key);

} // namespace standin

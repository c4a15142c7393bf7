// A fresh folder for one test, removed with everything in it when the test ends, and small helpers
// to put files in it and look at them afterwards.
#pragma once

#include <string>

namespace vurn::test {

struct temp_dir {
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  std::string path;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);  // throws when the file cannot be read
bool file_exists(const std::string& path);       // without following a final symbolic link
unsigned file_mode(const std::string& path);     // permission bits, e.g. 0600
int count_entries(const std::string& folder);    // names in the folder, . and .. excluded

}  // namespace vurn::test

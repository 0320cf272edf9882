// A fresh folder per test, removed afterwards, with small helpers for whole-file bytes.
#ifndef TORNAVEL_TESTS_SCRATCH_DIR_H_
#define TORNAVEL_TESTS_SCRATCH_DIR_H_

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace testing_support {

using bytes = std::vector<unsigned char>;

class scratch_dir {
 public:
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  // The names in the folder, sorted.
  std::vector<std::string> names() const;

 private:
  std::filesystem::path path_;
};

// What a command run by run_in left behind.
struct outcome {
  int status;          // exit status, or -1 if it did not exit normally
  std::string out;     // standard output
  std::string errors;  // standard error
};

// Runs `prefix 'binary' args` with the shell inside dir. prefix may set the environment or
// limits first ("umask 027 &&", "COLUMNS=40").
outcome run_in(const scratch_dir& dir, const std::string& binary, const std::string& args,
               const std::string& prefix = "");

// Runs a shell script inside dir; TORNAVEL stands for the tool in it.
outcome run_script(const scratch_dir& dir, const std::string& script);

bytes read_bytes(const std::string& path);
void write_bytes(const std::string& path, const bytes& data);
// The little-endian bytes of the given words.
bytes words(std::initializer_list<std::int32_t> values);
bytes words(const std::vector<std::int32_t>& values);

}  // namespace testing_support

#endif  // TORNAVEL_TESTS_SCRATCH_DIR_H_

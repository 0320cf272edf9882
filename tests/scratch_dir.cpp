#include "tests/scratch_dir.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testing_support {

scratch_dir::scratch_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tornavel-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

scratch_dir::~scratch_dir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> scratch_dir::names() const {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    out.push_back(entry.path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

namespace {

outcome run_command(const scratch_dir& dir, const std::string& command_in_dir) {
  const std::string command =
      "cd '" + dir.path().string() + "' && { " + command_in_dir + "\n} >.out 2>.err";
  const int raw = std::system(command.c_str());
  const auto text = [&](const char* name) {
    const bytes b = read_bytes(dir.file(name));
    std::filesystem::remove(dir.file(name));
    return std::string(b.begin(), b.end());
  };
  outcome o{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text(".out"), text(".err")};
  return o;
}

}  // namespace

outcome run_in(const scratch_dir& dir, const std::string& binary, const std::string& args,
               const std::string& prefix) {
  return run_command(dir, prefix + " '" + binary + "' " + args);
}

outcome run_script(const scratch_dir& dir, const std::string& script) {
  return run_command(dir, "TORNAVEL='" TORNAVEL_BINARY "'\n" + script);
}

bytes read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, const bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bytes words(const std::vector<std::int32_t>& values) {
  bytes out;
  for (std::int32_t value : values) {
    const auto v = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<unsigned char>(v >> shift));
  }
  return out;
}

bytes words(std::initializer_list<std::int32_t> values) {
  return words(std::vector<std::int32_t>(values));
}

}  // namespace testing_support

// Helpers of the command-line tests: child processes with captured output,
// image files written independently of the product's own sample builder, and
// the simulator program on a pseudo-terminal.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace t42rm::clitest {

using Bytes = std::vector<uint8_t>;

// --- Processes ---

struct ProcessResult {
  int exitCode = -1;  // -1 if killed by a signal
  int signal = 0;
  bool timedOut = false;
  std::string out;
  std::string err;
  double seconds = 0;
  // Non-empty lines of out.
  std::vector<std::string> OutLines() const;
};

class Process {
 public:
  // Starts argv[0] with argv; stdin is /dev/null, stdout and stderr are piped.
  // runAs: a uid to switch to before exec (root only), -1 to stay.
  Process(const std::vector<std::string>& argv, int runAs = -1);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // The next stdout line, waiting at most timeoutS; none at end or timeout.
  std::optional<std::string> ReadLine(double timeoutS);
  void Signal(int sig);
  // Reads the rest of the output and waits; kills the child after timeoutS.
  ProcessResult Finish(double timeoutS);
  pid_t pid() const { return pid_; }

 private:
  bool Pump(int timeoutMs);  // false when nothing more can come
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string out_, err_;
  size_t lineStart_ = 0;
  double started_ = 0;
};

ProcessResult RunProcess(const std::vector<std::string>& argv, double timeoutS = 60,
                         int runAs = -1);

// The t42rm-sim program on a pseudo-terminal of its own.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& options);
  const std::string& port() const { return port_; }
  // Waits for the simulator to end (sending SIGTERM after graceS) and
  // returns its "verdict: ..." line (empty if none).
  std::string Verdict(double graceS = 5);
  ProcessResult& result() { return result_; }

 private:
  Process process_;
  std::string port_;
  ProcessResult result_;
};

// A field of the verdict line, "crc" -> "1a2b3c4d"; empty if absent.
std::string VerdictField(const std::string& verdict, const std::string& key);

// --- Images ---

// One streamed block of pattern data: every aligned 4-byte group holds the
// block index and its position; no 0xFF run.
void FillPattern(uint8_t* block, size_t count, uint32_t seed);
// `count` bytes of 0xFF with pattern data in the blocks listed.
Bytes BlankWithData(size_t count, const std::vector<uint32_t>& dataBlocks);
// A .qlb file whose staged image (header and trailer removed, 68 bytes of
// 0xFF in their place) is `staged`.
Bytes QlbFromStaged(const Bytes& staged);
void WriteFile(const std::filesystem::path& path, const Bytes& bytes);
uint32_t Crc(const Bytes& bytes, size_t from, size_t count);
std::string Hex32(uint32_t v);

// A fresh folder under the temporary directory, removed afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::string ReadText(const std::filesystem::path& path);

}  // namespace t42rm::clitest

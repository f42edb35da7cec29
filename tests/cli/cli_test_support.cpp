#include "tests/cli/cli_test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/base_global.h"
#include "common/byte_order.h"
#include "common/upgrade_types.h"

namespace t42rm::clitest {
namespace {

double NowS() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::vector<std::string> ProcessResult::OutLines() const {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

Process::Process(const std::vector<std::string>& argv, int runAs) {
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  started_ = NowS();
  pid_ = ::fork();
  if (pid_ == 0) {
    const int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    if (runAs >= 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(runAs) != 0 || ::setuid(runAs) != 0) _exit(126);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    _exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  outFd_ = outPipe[0];
  errFd_ = errPipe[0];
}

Process::~Process() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
}

bool Process::Pump(int timeoutMs) {
  pollfd fds[2];
  int n = 0;
  if (outFd_ >= 0) fds[n++] = {outFd_, POLLIN, 0};
  if (errFd_ >= 0) fds[n++] = {errFd_, POLLIN, 0};
  if (n == 0) return false;
  if (::poll(fds, n, timeoutMs) <= 0) return true;
  for (int i = 0; i < n; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buf[4096];
    const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
    const bool isOut = fds[i].fd == outFd_;
    if (got > 0) {
      (isOut ? out_ : err_).append(buf, static_cast<size_t>(got));
    } else {
      ::close(fds[i].fd);
      (isOut ? outFd_ : errFd_) = -1;
    }
  }
  return outFd_ >= 0 || errFd_ >= 0;
}

std::optional<std::string> Process::ReadLine(double timeoutS) {
  const double deadline = NowS() + timeoutS;
  for (;;) {
    const size_t nl = out_.find('\n', lineStart_);
    if (nl != std::string::npos) {
      std::string line = out_.substr(lineStart_, nl - lineStart_);
      lineStart_ = nl + 1;
      return line;
    }
    const double left = deadline - NowS();
    if (left <= 0 || outFd_ < 0) return std::nullopt;
    Pump(static_cast<int>(left * 1000) + 1);
  }
}

void Process::Signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

ProcessResult Process::Finish(double timeoutS) {
  ProcessResult r;
  const double deadline = NowS() + timeoutS;
  while (Pump(50)) {
    if (NowS() > deadline) {
      r.timedOut = true;
      ::kill(pid_, SIGKILL);
      break;
    }
  }
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  r.seconds = NowS() - started_;
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  r.out = out_;
  r.err = err_;
  return r;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, double timeoutS, int runAs) {
  Process p(argv, runAs);
  return p.Finish(timeoutS);
}

SimProcess::SimProcess(const std::vector<std::string>& options)
    : process_([&] {
        std::vector<std::string> argv{T42RM_SIM_BIN};
        argv.insert(argv.end(), options.begin(), options.end());
        return argv;
      }()) {
  const auto line = process_.ReadLine(10);
  if (line && line->rfind("port: ", 0) == 0) port_ = line->substr(6);
}

std::string SimProcess::Verdict(double graceS) {
  std::string verdict;
  const double deadline = NowS() + graceS;
  while (NowS() < deadline) {
    auto line = process_.ReadLine(deadline - NowS());
    if (!line) break;
    if (line->rfind("verdict:", 0) == 0) {
      verdict = *line;
      break;
    }
  }
  if (verdict.empty()) process_.Signal(SIGTERM);
  result_ = process_.Finish(10);
  if (verdict.empty()) {
    for (const auto& l : result_.OutLines())
      if (l.rfind("verdict:", 0) == 0) verdict = l;
  }
  return verdict;
}

std::string VerdictField(const std::string& verdict, const std::string& key) {
  const std::string tag = " " + key + "=";
  const size_t at = verdict.find(tag);
  if (at == std::string::npos) return {};
  const size_t from = at + tag.size();
  const size_t to = verdict.find_first_of(" :", from);
  return verdict.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

void FillPattern(uint8_t* block, size_t count, uint32_t seed) {
  for (size_t i = 0; i + 4 <= count; i += 4)
    put_le32(block + i, (seed << 20) ^ static_cast<uint32_t>(i) ^ 0x5A5A0000u);
}

Bytes BlankWithData(size_t count, const std::vector<uint32_t>& dataBlocks) {
  Bytes b(count, 0xFF);
  for (uint32_t k : dataBlocks) {
    const size_t from = size_t{k} * kBlockSize;
    if (from < count)
      FillPattern(b.data() + from, std::min<size_t>(kBlockSize, count - from), k + 1);
  }
  return b;
}

Bytes QlbFromStaged(const Bytes& staged) {
  const size_t size = staged.size();
  Bytes file(size, 0);
  for (int i = 0; i < kQlbHeaderSize; ++i) file[i] = static_cast<uint8_t>(0x40 + i);
  std::copy(staged.begin(), staged.end() - kQlbOverhead, file.begin() + kQlbHeaderSize);
  put_le32(file.data() + size - kQlbTrailerSize, Crc32(file.data(), size - kQlbTrailerSize));
  return file;
}

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

uint32_t Crc(const Bytes& bytes, size_t from, size_t count) {
  // Zero beyond the end, as in the client's staging buffer.
  Bytes region(count, 0);
  if (from < bytes.size())
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                std::min(count, bytes.size() - from), region.begin());
  return Crc32(region.data(), region.size());
}

std::string Hex32(uint32_t v) {
  char text[12];
  std::snprintf(text, sizeof text, "%08x", v);
  return text;
}

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "t42rm-cli-test-XXXXXX").string();
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp");
  path_ = templ;
  ::chmod(path_.c_str(), 0755);  // also for a test that runs the tool as another user
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace t42rm::clitest

// The t42rm-sim program: its command line, the port line, the verdict line,
// the exit status and --save, with the test as the client on the pty it opens.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/sim/pty_client.h"

extern char** environ;

namespace t42rm::sim {
namespace {

using namespace t42rm::sim::testing;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// One run of the program with stdout on a pipe.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    args.insert(args.begin(), T42RM_SIM_BINARY);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, T42RM_SIM_BINARY, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = ::fdopen(fds[0], "r");
  }
  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (out_) std::fclose(out_);
  }
  // The next stdout line without its newline; empty at the end.
  std::string Line() {
    std::string s;
    for (int c; out_ && (c = std::fgetc(out_)) != EOF && c != '\n';) s += static_cast<char>(c);
    return s;
  }
  int Wait() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
};

// Opens the port the program announced.
std::unique_ptr<SerialDevice> OpenAnnounced(const std::string& portLine) {
  EXPECT_THAT(portLine, StartsWith("port: "));
  auto dev = CreatePlatformSerialDevice();
  if (portLine.size() <= 6 || !dev->Open(portLine.substr(6))) return nullptr;
  dev->ApplySettings(LineSettings{});
  return dev;
}

TEST(SimProgram, ChannelUpgradeSavesTheRegionAndExitsZero) {
  const std::string save = ::testing::TempDir() + "/sim_region.bin";
  std::filesystem::remove(save);
  SimProcess p({"--mode", "channel", "--save", save, "--reply-timeout", "5", "--timeout", "5"});
  auto dev = OpenAnnounced(p.Line());
  ASSERT_TRUE(dev);
  PtyClient client(*dev);
  const Bytes image = PatternImage(9000);
  client.Send(ChannelStart(9000));
  ASSERT_EQ(client.Receive(12), kResUpgradeChannel);
  client.SendBlock(ChannelBlock(image, 0));
  ASSERT_EQ(client.Receive(12), kDevNextBlock);
  client.SendBlock(ChannelBlock(image, 1));
  ASSERT_EQ(client.Receive(12), kDevCrcRequest);
  client.Send(ImageCrc(Crc32(image)));

  char expected[80];
  std::snprintf(expected, sizeof expected, "verdict: ok mode=channel size=9000 blocks=2 repeats=0 crc=%08x",
                Crc32(image));
  EXPECT_THAT(p.Line(), StartsWith(expected));
  EXPECT_EQ(p.Wait(), 0);
  std::ifstream in(save, std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), image);
}

TEST(SimProgram, OpensTheGivenPortInstead) {
  PseudoTerminal pty;
  OsError error;
  ASSERT_TRUE(OpenPseudoTerminal(pty, error)) << error.Describe();
  SimProcess p({"--port", pty.slavePath, "--timeout", "5"});
  EXPECT_EQ(p.Line(), "port: " + pty.slavePath);
  PtyClient client(*pty.master);  // the client is on the master this time
  client.Send(ChannelStart(0));
  ASSERT_EQ(client.Receive(12), kResUpgradeChannel);
  ASSERT_EQ(client.Receive(12), kDevCrcRequest);
  client.Send(ImageCrc(0));
  EXPECT_THAT(p.Line(), StartsWith("verdict: ok mode=channel size=0 blocks=0"));
  EXPECT_EQ(p.Wait(), 0);
}

TEST(SimProgram, FaultFlagTakesAnOptionalFrameNumber) {
  // --garbage=1: the garbage comes in front of the first device frame.
  SimProcess p({"--garbage=1", "--corrupt-block", "0", "--corrupt-times", "1", "--timeout", "5"});
  auto dev = OpenAnnounced(p.Line());
  ASSERT_TRUE(dev);
  PtyClient client(*dev);
  const Bytes image = PatternImage(100);
  client.Send(ChannelStart(100));
  EXPECT_EQ(client.Receive(19), Cat({{0x00, 0x55, 0xAA, 0xC9, 0x8D, 0xC5, 0xFF}, kResUpgradeChannel}));
  client.SendBlock(ChannelBlock(image, 0));
  ASSERT_EQ(client.Receive(12), kDevNextBlockRepeat);
  client.SendBlock(ChannelBlock(image, 0));
  ASSERT_EQ(client.Receive(12), kDevCrcRequest);
  client.Send(ImageCrc(Crc32(image) ^ 1));
  EXPECT_THAT(p.Line(), AllOf(StartsWith("verdict: FAILED mode=channel size=100 blocks=2 repeats=1"),
                              HasSubstr("differs")));
  EXPECT_EQ(p.Wait(), 1);
}

TEST(SimProgram, SigtermEndsItWithExitOne) {
  SimProcess p({});
  ASSERT_THAT(p.Line(), StartsWith("port: "));
  ASSERT_EQ(::kill(p.pid(), SIGTERM), 0);
  EXPECT_THAT(p.Line(), AllOf(StartsWith("verdict: FAILED"), HasSubstr("cancelled"), HasSubstr("SIGTERM")));
  EXPECT_EQ(p.Wait(), 1);
}

TEST(SimProgram, UsageErrorsExitTwo) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--mode", "flash"}, {"--no-such-flag"}, {"--corrupt-times", "2"},
        {"--timeout", "-1"}}) {
    SimProcess p(args);
    EXPECT_EQ(p.Line(), "") << args[0];
    EXPECT_EQ(p.Wait(), 2) << args[0];
  }
  SimProcess help({"--help"});
  EXPECT_THAT(help.Line(), HasSubstr("T42RM"));
  EXPECT_EQ(help.Wait(), 0);
}

}  // namespace
}  // namespace t42rm::sim

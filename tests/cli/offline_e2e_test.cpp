// t42rm-upgrade without a device: the command line, images refused before
// anything goes on the wire, ports that cannot be opened, and `check`.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <regex>

#include "common/upgrade_types.h"
#include "tests/cli/cli_test_support.h"

namespace t42rm::clitest {
namespace {

const std::string kTool = T42RM_UPGRADE_BIN;
const std::string kNoPort = "/dev/t42rm-no-such-port";

std::string Describe(const ProcessResult& r) {
  return "exit " + std::to_string(r.exitCode) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

ProcessResult Tool(std::vector<std::string> args, int runAs = -1) {
  args.insert(args.begin(), kTool);
  return RunProcess(args, 30, runAs);
}

Bytes GoodQlb() { return QlbFromStaged(BlankWithData(2 * kBlockSize, {0})); }

TEST(CommandLine, UsageErrorsExit1AndHelpExits0) {
  TempDir dir;
  WriteFile(dir / "c.qlu", Bytes(100, 1));
  const std::vector<std::vector<std::string>> bad{
      {},
      {"frobnicate"},
      {"flash", dir / "c.qlu"},      // no --port
      {"flash", "--port", kNoPort},  // no image
      {"flash", "--port", kNoPort, "--mode", "bogus", dir / "c.qlu"},
      {"flash", "--port", kNoPort, "--timeout", "0", dir / "c.qlu"},
      {"flash", "--port", kNoPort, "--quiet", "--json", dir / "c.qlu"},
      {"check"},
  };
  for (const auto& args : bad) {
    const ProcessResult r = Tool(args);
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_FALSE(r.err.empty());
  }
  for (const char* cmd : {"flash", "check", "ports", "demo"}) {
    const ProcessResult r = Tool({cmd, "--help"});
    EXPECT_EQ(r.exitCode, 0) << cmd;
    EXPECT_NE(r.out.find("Usage:"), std::string::npos) << cmd;
  }
}

struct RefusedCase {
  const char* name;
  std::function<void(const TempDir&)> write;
  std::vector<std::string> args;  // "@name": the file of that name in the test's folder
  std::string message;
};
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

// Refused before the port is opened: the port does not exist, yet the exit
// status is 2, not 3.
class RefusedImage : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedImage, Exit2BeforeOpeningThePort) {
  const RefusedCase& c = GetParam();
  TempDir dir;
  c.write(dir);
  std::vector<std::string> args{"flash", "--port", kNoPort};
  for (const auto& a : c.args) args.push_back(a[0] == '@' ? dir / a.substr(1) : a);
  const ProcessResult r = Tool(args);
  ASSERT_EQ(r.exitCode, 2) << Describe(r);
  EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("cannot open " + kNoPort), std::string::npos);
}

Bytes BadCrcQlb() {
  Bytes b = GoodQlb();
  b.back() ^= 0x80;
  return b;
}

std::string BadCrcMessage() {
  const Bytes b = BadCrcQlb();
  const uint32_t stored = b[b.size() - 4] | b[b.size() - 3] << 8 | b[b.size() - 2] << 16 |
                          static_cast<uint32_t>(b[b.size() - 1]) << 24;
  return "stored CRC-32 does not match the image (stored " + Hex32(stored) + ", computed " +
         Hex32(Crc(b, 0, b.size() - 4)) + ")";
}

INSTANTIATE_TEST_SUITE_P(
    Images, RefusedImage,
    ::testing::Values(RefusedCase{"QlbCrcMismatch",
                                  [](const TempDir& d) { WriteFile(d / "bad.qlb", BadCrcQlb()); },
                                  {"@bad.qlb"},
                                  BadCrcMessage()},
                      RefusedCase{"BootQlbCrcMismatch",
                                  [](const TempDir& d) { WriteFile(d / "bad.qlb", BadCrcQlb()); },
                                  {"--mode", "boot", "@bad.qlb"},
                                  "stored CRC-32 does not match"},
                      RefusedCase{"ChannelFileInFirmwareMode",
                                  [](const TempDir& d) { WriteFile(d / "c.qlu", Bytes(100, 1)); },
                                  {"--mode", "firmware", "@c.qlu"},
                                  "firmware mode expects a .qlb image"},
                      RefusedCase{"QlbInModuleMode",
                                  [](const TempDir& d) { WriteFile(d / "f.qlb", GoodQlb()); },
                                  {"--mode", "module", "@f.qlb"},
                                  "module mode expects a .exx image"},
                      RefusedCase{"UnknownExtension",
                                  [](const TempDir& d) { WriteFile(d / "f.bin", GoodQlb()); },
                                  {"@f.bin"},
                                  "cannot tell the upgrade mode"},
                      RefusedCase{"MissingFile",
                                  [](const TempDir&) {},
                                  {"@missing.qlb"},
                                  "image file cannot be read (No such file or directory)"},
                      RefusedCase{"TooShortQlb",
                                  [](const TempDir& d) { WriteFile(d / "s.qlb", Bytes(40, 1)); },
                                  {"@s.qlb"},
                                  "firmware image shorter than its header and trailer"},
                      RefusedCase{"EmptyChannel",
                                  [](const TempDir& d) { WriteFile(d / "e.qlu", Bytes{}); },
                                  {"@e.qlu"},
                                  "no block to send"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RefusedImageJson, FailureIsOneJsonObjectWithTheExitStatus) {
  TempDir dir;
  WriteFile(dir / "bad.qlb", BadCrcQlb());
  const ProcessResult r = Tool({"flash", "--port", kNoPort, "--json", dir / "bad.qlb"});
  ASSERT_EQ(r.exitCode, 2);
  ASSERT_EQ(r.OutLines().size(), 1u) << r.out;
  const ProcessResult py = RunProcess(
      {"/usr/bin/env", "python3", "-c",
       "import json,sys; o=json.loads(sys.argv[1]); print(o['event'], o['exit'], o['message'])",
       r.OutLines()[0]});
  ASSERT_EQ(py.exitCode, 0) << py.err;
  EXPECT_EQ(py.out, "failed 2 image refused: " + (dir / "bad.qlb") + ": " + BadCrcMessage() + "\n");
}

TEST(Force, LetsAContradictingExtensionThroughToThePort) {
  TempDir dir;
  WriteFile(dir / "chan.exx", Bytes(100, 1));
  const ProcessResult r =
      Tool({"flash", "--port", kNoPort, "--mode", "channel", "--force", dir / "chan.exx"});
  EXPECT_EQ(r.exitCode, 3) << Describe(r);
  EXPECT_NE(r.err.find("(sent anyway: --force)"), std::string::npos) << r.err;
}

struct PortCase {
  std::string port;
  std::string message;
};

TEST(PortFailures, Exit3SayingWhy) {
  TempDir dir;
  WriteFile(dir / "c.qlu", Bytes(100, 1));
  const PortCase cases[] = {
      {kNoPort, "cannot open " + kNoPort + ": no such device"},
      {"/dev/null", "cannot open /dev/null: not a serial device"},
      {dir.path().string(), "cannot open " + dir.path().string()},  // a folder
  };
  for (const PortCase& c : cases) {
    const ProcessResult r = Tool({"flash", "--port", c.port, dir / "c.qlu"});
    EXPECT_EQ(r.exitCode, 3) << Describe(r);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

TEST(PortFailures, PermissionDeniedNamesTheOwningGroup) {
  TempDir dir;
  WriteFile(dir / "c.qlu", Bytes(100, 1));
  const std::string port = dir / "ttyLOCKED";
  WriteFile(port, {});
  ASSERT_EQ(::chmod(port.c_str(), 0), 0);
  struct stat st {};
  ASSERT_EQ(::stat(port.c_str(), &st), 0);
  const group* g = ::getgrgid(st.st_gid);
  ASSERT_NE(g, nullptr);
  const std::string groupName = g->gr_name;
  // Root opens anything: the tool then runs as nobody.
  const int runAs = ::geteuid() == 0 ? 65534 : -1;
  const ProcessResult r = Tool({"flash", "--port", port, dir / "c.qlu"}, runAs);
  ASSERT_EQ(r.exitCode, 3) << Describe(r);
  EXPECT_NE(r.err.find("permission denied; the device belongs to group '" + groupName + "'"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("usermod -aG " + groupName), std::string::npos) << r.err;
}

TEST(Trace, UnwritableTraceFileIsAUsageError) {
  TempDir dir;
  WriteFile(dir / "c.qlu", Bytes(100, 1));
  const ProcessResult r =
      Tool({"flash", "--port", kNoPort, "--trace", dir / "no/such/dir/t.txt", dir / "c.qlu"});
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  EXPECT_NE(r.err.find("cannot write the trace file"), std::string::npos) << r.err;
}

// --- check ---

std::map<std::string, std::string> CheckFields(const std::string& out) {
  std::map<std::string, std::string> fields;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const size_t value = line.find_first_not_of(' ', colon + 1);
    fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
  }
  return fields;
}

struct CheckCase {
  const char* name;
  const char* file;
  Bytes bytes;
  std::vector<std::string> args;
  int exit;
  std::map<std::string, std::string> fields;  // expected prefix of each value
};
void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

class Check : public ::testing::TestWithParam<CheckCase> {};

TEST_P(Check, ReportsWhatWillBeSent) {
  const CheckCase& c = GetParam();
  TempDir dir;
  WriteFile(dir / c.file, c.bytes);
  std::vector<std::string> args{"check"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  args.push_back(dir / c.file);
  const ProcessResult r = Tool(args);
  ASSERT_EQ(r.exitCode, c.exit) << Describe(r);
  const auto fields = CheckFields(r.out);
  for (const auto& [key, prefix] : c.fields) {
    ASSERT_TRUE(fields.count(key)) << key << "\n" << r.out;
    EXPECT_EQ(fields.at(key).rfind(prefix, 0), 0u) << key << ": " << fields.at(key);
  }
}

CheckCase FirmwareCheck() {
  const size_t size = kFirmwareFirstOffset + kFirmwareCrcLength;
  const Bytes staged = BlankWithData(size, {16, 17, 40});
  const Bytes file = QlbFromStaged(staged);
  const std::string stored = Hex32(Crc(file, 0, file.size() - 4));
  return {"Firmware",
          "fw.qlb",
          file,
          {},
          0,
          {{"mode", "firmware (from the extension)"},
           {"size", std::to_string(size) + " bytes"},
           {"stored CRC-32", stored},
           {"computed CRC-32", stored + " (matches)"},
           {"blocks", "192 to send from offset 0x20000: 3 with data, 189 blank"},
           {"image CRC-32", Hex32(Crc(staged, kFirmwareFirstOffset, kFirmwareCrcLength))},
           {"verdict", "accepted"}}};
}

CheckCase ChannelCheck() {
  const Bytes file = BlankWithData(10000, {1});
  return {"Channel",
          "c.qlu",
          file,
          {},
          0,
          {{"mode", "channel"},
           {"blocks", "2 to send from offset 0x0: 1 with data, 1 blank"},
           {"image CRC-32", Hex32(Crc(file, 0, file.size()))},
           {"verdict", "accepted"}}};
}

CheckCase BootBadCrcCheck() {
  Bytes file = GoodQlb();
  const std::string computed = Hex32(Crc(file, 0, file.size() - 4));
  file[file.size() - 4] ^= 1;
  return {"BootBadCrc",
          "b.qlb",
          file,
          {"--mode", "boot"},
          2,
          {{"mode", "boot"},
           {"computed CRC-32", computed + " (does NOT match)"},
           {"verdict", "refused: stored CRC-32 does not match"}}};
}

INSTANTIATE_TEST_SUITE_P(
    Images, Check,
    ::testing::Values(FirmwareCheck(), ChannelCheck(), BootBadCrcCheck(),
                      CheckCase{"ModeContradictsExtension",
                                "m.qlu",
                                Bytes(100, 1),
                                {"--mode", "module"},
                                2,
                                {{"verdict", "refused: module mode expects a .exx image"}}},
                      CheckCase{"ForcedModule",
                                "m.qlu",
                                BlankWithData(100, {0}),
                                {"--mode", "module", "--force"},
                                0,
                                {{"blocks", "32 to send from offset 0x0: 32 with data"},
                                 {"verdict", "accepted"}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace t42rm::clitest

#include "sim/device_simulator.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <span>

#include "common/base_global.h"
#include "common/byte_order.h"
#include "sim/device_protocol.h"

namespace t42rm::sim {
namespace {

// Waits are cut into slices so that a Cancel() that comes just before a wait
// begins (and so misses its CancelWait) is still seen soon.
constexpr int kWaitSliceMs = 100;
constexpr size_t kReadChunk = 4096;

enum class Got { kOk, kTimeout, kHangUp, kCancelled, kError };

std::string Printf(const char* fmt, auto... args) {
  char buf[512];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

std::string Seconds(int ms) { return Printf("%g s", ms / 1000.0); }

std::string Hex32(uint32_t v) { return Printf("%08x", v); }

// The bytes the client has sent and the device has not consumed yet.
class LineReader {
 public:
  LineReader(SerialDevice& line, Clock& clock, const std::atomic<bool>& cancelled,
             const std::function<void()>& onFirstByte)
      : line_(line), clock_(clock), cancelled_(cancelled), onFirstByte_(onFirstByte) {}

  size_t Held() const { return buf_.size(); }
  const std::string& error() const { return error_; }

  // Waits until n bytes are held; gives up after silenceMs without a new byte.
  Got Fill(size_t n, int silenceMs) {
    auto deadline = clock_.Now() + std::chrono::milliseconds(silenceMs);
    while (Held() < n) {
      const size_t before = Held();
      if (Got g = WaitOnce(silenceMs < 0 ? -1 : Remaining(deadline)); g != Got::kOk) return g;
      if (Held() > before) deadline = clock_.Now() + std::chrono::milliseconds(silenceMs);
    }
    return Got::kOk;
  }

  // Watches the line for ms (negative: until cancelled or hung up), keeping
  // whatever arrives. kOk once the time has passed.
  Got Watch(int ms) {
    const auto deadline = clock_.Now() + std::chrono::milliseconds(ms);
    for (;;) {
      const Got g = WaitOnce(ms < 0 ? -1 : Remaining(deadline));
      if (g == Got::kTimeout) return Got::kOk;
      if (g != Got::kOk) return g;
    }
  }

  // Takes in what is already waiting, without blocking.
  void Poll() {
    if (line_.BytesWaiting() > 0) Pull();
  }

  std::vector<uint8_t> Take(size_t n) {
    n = std::min(n, buf_.size());
    std::vector<uint8_t> out(buf_.begin(), buf_.begin() + static_cast<long>(n));
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<long>(n));
    return out;
  }
  std::vector<uint8_t> TakeAll() { return Take(buf_.size()); }

 private:
  int Remaining(Clock::TimePoint deadline) const {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_.Now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
  }

  // One slice of waiting. kOk: woke up (bytes may have come); kTimeout: the
  // remaining time (>= 0) is used up.
  Got WaitOnce(int remainingMs) {
    if (cancelled_.load()) return Got::kCancelled;
    if (remainingMs == 0) return Got::kTimeout;
    const int slice = remainingMs < 0 ? kWaitSliceMs : std::min(remainingMs, kWaitSliceMs);
    switch (line_.WaitForInput(slice)) {
      case WaitResult::kReady:
        if (Pull() == 0) clock_.SleepMs(1);  // ready but nothing read: do not spin
        return pullFailed_ ? Got::kHangUp : Got::kOk;
      case WaitResult::kTimeout:
      case WaitResult::kCancelled:
        return cancelled_.load() ? Got::kCancelled : Got::kOk;
      case WaitResult::kHangUp:
        // Bytes the client wrote before closing may still be there.
        if (Pull() > 0) return Got::kOk;
        if (error_.empty()) error_ = "the line hung up";
        return Got::kHangUp;
      case WaitResult::kError:
        error_ = line_.LastError().Describe();
        return Got::kError;
    }
    return Got::kError;
  }

  long Pull() {
    std::array<uint8_t, kReadChunk> tmp;
    const long n = line_.Read(tmp.data(), tmp.size());
    if (n < 0) {
      pullFailed_ = true;
      error_ = line_.LastError().Describe();
      return 0;
    }
    if (n > 0) {
      buf_.insert(buf_.end(), tmp.begin(), tmp.begin() + n);
      if (!sawClient_) {
        sawClient_ = true;
        if (onFirstByte_) onFirstByte_();
      }
    }
    return n;
  }

  SerialDevice& line_;
  Clock& clock_;
  const std::atomic<bool>& cancelled_;
  const std::function<void()>& onFirstByte_;
  std::vector<uint8_t> buf_;
  std::string error_;
  bool pullFailed_ = false;
  bool sawClient_ = false;
};

bool IsClientFrame(const ClientHeader& h, uint16_t code, uint16_t status, uint16_t w3,
                   uint16_t w4) {
  return h.marksOk && h.code == code && h.status == status && h.word3 == w3 && h.word4 == w4;
}

class Session {
 public:
  Session(SerialDevice& line, Clock& clock, const SimulatorOptions& options,
          const std::atomic<bool>& cancelled)
      : line_(line),
        o_(options),
        cancelled_(cancelled),
        reader_(line, clock, cancelled, options.onClientActive),
        writer_(line, clock, options.slowLineGapMs),
        repeatsLeft_(options.repeatBlocks) {}

  SimResult Run() {
    if (Converse()) Judge();
    if (r_.message.empty()) r_.message = "stopped";
    return std::move(r_);
  }

 private:
  using Header = std::array<uint8_t, kHeaderSize>;

  void Progress(const std::string& line) const {
    if (o_.onProgress) o_.onProgress(line);
  }

  bool Fail(std::string message) {
    r_.ok = false;
    r_.message = std::move(message);
    Progress("stop: " + r_.message);
    return false;
  }
  void Note(std::string what, std::span<const uint8_t> bytes) {
    r_.violations.push_back({std::move(what), {bytes.begin(), bytes.end()}});
    Progress("violation: " + r_.violations.back().Describe());
  }
  // A violation after which the conversation cannot go on.
  bool Fatal(std::string what, std::span<const uint8_t> bytes) {
    Note(std::move(what), bytes);
    return Fail(r_.violations.back().Describe());
  }
  bool Stop(Got g, const std::string& waitingFor, int timeoutMs) {
    switch (g) {
      case Got::kTimeout: return Fail("no " + waitingFor + " within " + Seconds(timeoutMs));
      case Got::kHangUp:
        return Fail("the line hung up (client closed) while waiting for " + waitingFor);
      case Got::kCancelled: return Fail("cancelled while waiting for " + waitingFor);
      case Got::kError: return Fail("line error while waiting for " + waitingFor + ": " + reader_.error());
      case Got::kOk: break;
    }
    return true;
  }

  bool Converse() {
    if (!ReadStart()) return false;
    if (o_.sendUpgradeQuery && !(Send(kCodeDevUpgradeQuery, "DevUpgradeQuery") && ExpectUpgrade()))
      return false;
    if (o_.sendBootStart && !(Send(kCodeDevBootStart, "DevBootStart") && ExpectBootStart()))
      return false;
    return Stream() && ReadImageCrc();
  }

  bool ReadStart() {
    if (Got g = reader_.Fill(kHeaderSize, o_.startTimeoutMs); g != Got::kOk)
      return Stop(g, "start frame", o_.startTimeoutMs);
    std::vector<uint8_t> frame = reader_.Take(kHeaderSize);
    const ClientHeader h = DecodeClientHeader(std::span<const uint8_t, kHeaderSize>(frame.data(), kHeaderSize));
    // Take the body too when the header announces one, so that a fault in
    // either part is reported with all 24 bytes.
    if (h.marksOk && h.word3 == kStartBodySize) {
      const Got g = reader_.Fill(kStartBodySize, o_.replyTimeoutMs);
      if (g != Got::kOk && g != Got::kTimeout) return Stop(g, "the start frame's body", o_.replyTimeoutMs);
      const auto body = reader_.Take(kStartBodySize);
      frame.insert(frame.end(), body.begin(), body.end());
    }
    const auto start = StartCodeForRequest(h.code);
    if (!h.marksOk) return Fatal("expected a start frame, marks are not FD C9 .. 8D C5", frame);
    if (!start) return Fatal(Printf("expected a start frame, code 0x%04x is none", h.code), frame);
    if (h.status != 1) return Fatal(Printf("start frame: word 2 is %u, expected 1", h.status), frame);
    if (h.word3 != kStartBodySize)
      return Fatal(Printf("start frame: length %u, expected %d", h.word3, kStartBodySize), frame);
    if (h.word4 != 0) return Fatal(Printf("start frame: word 4 is %u, expected 0", h.word4), frame);
    if (frame.size() < size_t{kHeaderSize + kStartBodySize})
      return Fatal("start frame: no 12-byte body within " + Seconds(o_.replyTimeoutMs), frame);
    const uint8_t* body = frame.data() + kHeaderSize;
    if (get_le16(body) != kBodyStartMark || get_le16(body + 8) != kBodyEndMark)
      return Fatal("start frame: body marks are not FE C5 .. 0D C9", frame);
    if (get_le16(body + 10) != 0) return Fatal("start frame: body bytes 10-11 are not zero", frame);
    const uint32_t size = get_le32(body + 4);
    if (size > static_cast<uint32_t>(kMaxImageSize))
      return Fatal(Printf("start frame: image size %u is above %d", size, kMaxImageSize), frame);

    r_.mode = start->mode;
    r_.imageSize = size;
    answer_ = start->answer;
    plan_ = PlanBlocks(r_.mode, size);
    Progress(Printf("start frame: %s mode, %u bytes, %u blocks from 0x%x", ModeName(r_.mode), size,
                    plan_.blockCount, plan_.firstOffset));
    if (o_.expectedMode != 0 && o_.expectedMode != r_.mode)
      return Fail(Printf("refused a start frame for %s mode: expected %s mode", ModeName(r_.mode),
                         ModeName(o_.expectedMode)));
    return true;
  }

  // Sends the conversation's next device frame with the faults set for it.
  bool Send(uint16_t code, const std::string& name, uint16_t status = 0) {
    if (cancelled_.load()) return Fail("cancelled");
    const int n = ++frameNo_;
    reader_.Poll();
    if (reader_.Held() > 0) Note("unexpected bytes before #" + std::to_string(n) + " " + name, reader_.TakeAll());

    FrameFaults f;
    f.garbage = o_.garbageBeforeFrame == n;
    f.badEndMark = o_.badEndMarkBeforeFrame == n;
    f.split = o_.splitFrame == n;
    f.twoInOne = o_.twoInOneFrame == n;
    f.unknownCode = o_.unknownCodeBeforeFrame == n;
    f.purgeErrors = o_.purgeErrorsBeforeFrame == n;
    std::string line = "#" + std::to_string(n) + " " + name;
    if (f.purgeErrors) line += ", after eleven unknown-code frames";
    if (f.unknownCode) line += ", after an unknown-code frame";
    if (f.badEndMark) line += ", after a bad end mark and ten fillers";
    if (f.garbage) line += ", garbage in front";
    if (f.twoInOne) line += ", with a DevUpgradeQuery in the same write";
    if (f.split) line += ", split in two writes";
    Progress(line);

    if (!writer_.Write(PlanFrameWrites(EncodeDeviceFrame(code, status), f, o_.tuning)))
      return Fail("writing #" + std::to_string(n) + " " + name + " failed: " +
                  line_.LastError().Describe());
    if (f.twoInOne) ++pendingUpgrades_;
    return true;
  }

  // The next client header; answers to DevUpgradeQuery frames sent along with
  // another frame come first, one per reader pass of the client.
  bool ReadAnswer(Header& out, const std::string& what) {
    while (pendingUpgrades_ > 0) {
      --pendingUpgrades_;
      if (!ExpectUpgrade()) return false;
    }
    return ReadHeader(out, what);
  }
  bool ReadHeader(Header& out, const std::string& what) {
    if (Got g = reader_.Fill(kHeaderSize, o_.replyTimeoutMs); g != Got::kOk)
      return Stop(g, what, o_.replyTimeoutMs);
    const auto bytes = reader_.Take(kHeaderSize);
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return true;
  }

  bool ExpectUpgrade() {
    Header h;
    if (!ReadHeader(h, "UPGRADE")) return false;
    if (!IsClientFrame(DecodeClientHeader(h), kCodeUpgrade, 0, 0, 0))
      return Fatal("expected UPGRADE (FD C9 04 10 00 00 00 00 00 00 8D C5)", h);
    Progress("UPGRADE");
    return true;
  }

  bool ExpectBootStart() {
    Header h;
    if (!ReadAnswer(h, "B_UPGRADE_START")) return false;
    const ClientHeader c = DecodeClientHeader(h);
    if (!c.marksOk || c.code != kCodeBUpgradeStart || c.status != 0)
      return Fatal("expected B_UPGRADE_START", h);
    const uint32_t size = c.word3 | (uint32_t{c.word4} << 16);  // low half first
    if (size != r_.imageSize)
      Note(Printf("B_UPGRADE_START carries size %u, the start frame said %u", size, r_.imageSize), h);
    Progress(Printf("B_UPGRADE_START, size %u", size));
    return true;
  }

  bool SendStartAnswer() { return Send(answer_, Printf("start answer 0x%04x", answer_)); }

  bool Stream() {
    received_.assign(size_t{plan_.blockCount} * kBlockSize, 0);
    if (!SendStartAnswer()) return false;
    if (plan_.blockCount == 0) {
      while (pendingUpgrades_ > 0) {
        --pendingUpgrades_;
        if (!ExpectUpgrade()) return false;
      }
      if (Got g = reader_.Watch(o_.emptyImageWaitMs); g != Got::kOk)
        return Stop(g, "the end of an image with no block", o_.emptyImageWaitMs);
      if (reader_.Held() > 0) Note("bytes after the start answer of an image with no block", reader_.TakeAll());
    }
    uint32_t index = 0;
    int mismatchesInARow = 0;
    while (index < plan_.blockCount) {
      bool crcOk = false;
      if (!ReceiveBlock(index, crcOk)) return false;
      if (!crcOk) {
        ++r_.crcMismatches;
        if (++mismatchesInARow > o_.maxMismatchesInARow)
          return Fail(Printf("block %u failed its CRC %d times in a row", index, mismatchesInARow));
        if (!AskAgain(index)) return false;
        continue;
      }
      mismatchesInARow = 0;
      const int k = static_cast<int>(index);
      if (auto it = repeatsLeft_.find(k); it != repeatsLeft_.end() && it->second > 0) {
        --it->second;
        Progress(Printf("block %u: asking again as if its CRC had failed", index));
        if (!AskAgain(index)) return false;
        continue;
      }
      if (o_.hangUpAfterBlock == k) {
        line_.Close();
        return Fail(Printf("hung up after block %u as asked", index));
      }
      if (o_.silentAfterBlock == k && !silenceDone_) {
        silenceDone_ = true;
        if (!BeSilent(index)) return false;
      }
      if (o_.restartAfterBlock == k && !restartDone_) {
        restartDone_ = true;
        ++r_.restarts;
        std::fill(received_.begin(), received_.end(), 0);
        index = 0;
        if (!SendStartAnswer()) return false;
        continue;
      }
      if (++index < plan_.blockCount && !Send(kCodeDevNextBlock, Printf("DevNextBlock (block %u)", index)))
        return false;
    }
    r_.regionComplete = true;
    r_.region.assign(received_.begin(), received_.begin() + plan_.crcLength);
    r_.computedCrc = Crc32(r_.region);
    return true;
  }

  bool AskAgain(uint32_t index) {
    ++r_.repeatsAsked;
    return Send(kCodeDevNextBlock, Printf("DevNextBlock status 192 (block %u again)", index),
                kStatusRepeat);
  }

  bool ReceiveBlock(uint32_t index, bool& crcOk) {
    const std::string what = Printf("BlockHeader for block %u", index);
    Header h;
    if (!ReadAnswer(h, what)) return false;
    const ClientHeader c = DecodeClientHeader(h);
    if (!c.marksOk || c.code != kCodeBlockHeader || c.status > 1) return Fatal("expected " + what, h);
    ++r_.blocksReceived;
    uint8_t* dst = received_.data() + size_t{index} * kBlockSize;
    if (c.status == 1) {  // NON_DATA: a blank block, nothing follows
      if (c.word3 != 0 || c.word4 != 0) Note(Printf("NON_DATA for block %u with words 3/4 set", index), h);
      std::fill_n(dst, kBlockSize, uint8_t{0xFF});
      ++r_.blanks;
      crcOk = true;
      Progress(Printf("block %u: NON_DATA", index));
      return true;
    }
    const uint32_t announced = (uint32_t{c.word3} << 16) | c.word4;  // high half first
    if (Got g = reader_.Fill(kBlockSize, o_.replyTimeoutMs); g != Got::kOk)
      return Stop(g, Printf("data of block %u (%zu of %d bytes came)", index, reader_.Held(), kBlockSize),
                  o_.replyTimeoutMs);
    const auto data = reader_.Take(kBlockSize);
    const uint32_t actual = Crc32(data);
    crcOk = actual == announced;
    if (crcOk) std::copy(data.begin(), data.end(), dst);
    Progress(Printf("block %u: crc %s %s", index, Hex32(announced).c_str(),
                    crcOk ? "ok" : ("mismatch, data has " + Hex32(actual)).c_str()));
    return true;
  }

  bool BeSilent(uint32_t index) {
    const std::string forHow = o_.silenceMs < 0 ? "until cancelled" : "for " + Seconds(o_.silenceMs);
    Progress(Printf("silent after block %u ", index) + forHow);
    const Got g = reader_.Watch(o_.silenceMs);
    if (g == Got::kCancelled) return Fail(Printf("cancelled while silent after block %u as asked", index));
    if (g != Got::kOk) return Stop(g, Printf("the end of the silence after block %u", index), o_.silenceMs);
    if (!o_.resumeAfterSilence)
      return Fail(Printf("silent after block %u ", index) + forHow + " as asked; upgrade not completed");
    Progress("resuming after the silence");
    return true;
  }

  bool ReadImageCrc() {
    if (!Send(kCodeDevCrcRequest, "DevCrcRequest")) return false;
    Header h;
    if (!ReadAnswer(h, "ImageCrc")) return false;
    const ClientHeader c = DecodeClientHeader(h);
    if (!c.marksOk || c.code != kCodeImageCrc || c.status != 0) return Fatal("expected ImageCrc", h);
    r_.imageCrc = (uint32_t{c.word3} << 16) | c.word4;
    Progress("ImageCrc " + Hex32(*r_.imageCrc) + ", received region " + Hex32(r_.computedCrc));
    reader_.Poll();
    if (reader_.Held() > 0) Note("unexpected bytes after ImageCrc", reader_.TakeAll());
    return true;
  }

  // A fault option whose frame or block never came.
  std::string UnappliedFault() const {
    auto frameFault = [&](const std::optional<int>& at, const char* name) -> std::string {
      if (at && *at > frameNo_)
        return Printf("%s at frame %d never applied: the device sent %d frames", name, *at, frameNo_);
      return {};
    };
    auto blockFault = [&](const std::optional<int>& at, bool done, const char* name) -> std::string {
      if (at && !done) return Printf("%s after block %d never applied: %u blocks", name, *at, plan_.blockCount);
      return {};
    };
    for (const std::string& s :
         {frameFault(o_.garbageBeforeFrame, "garbage"), frameFault(o_.badEndMarkBeforeFrame, "bad end mark"),
          frameFault(o_.splitFrame, "split"), frameFault(o_.twoInOneFrame, "two-in-one"),
          frameFault(o_.unknownCodeBeforeFrame, "unknown code"),
          frameFault(o_.purgeErrorsBeforeFrame, "purge errors"),
          blockFault(o_.restartAfterBlock, restartDone_, "restart"),
          blockFault(o_.silentAfterBlock, silenceDone_, "silence"),
          blockFault(o_.hangUpAfterBlock, false, "hang-up")})
      if (!s.empty()) return s;
    for (const auto& [block, left] : repeatsLeft_)
      if (left > 0) return Printf("repeat of block %d never applied: %u blocks", block, plan_.blockCount);
    return {};
  }

  void Judge() {
    if (!r_.violations.empty()) {
      std::string m = r_.violations.front().Describe();
      if (r_.violations.size() > 1) m += Printf(" (and %zu more)", r_.violations.size() - 1);
      Fail(m);
    } else if (r_.imageCrc != r_.computedCrc) {
      Fail("ImageCrc " + Hex32(*r_.imageCrc) + " differs from " + Hex32(r_.computedCrc) +
           Printf(", the CRC-32 of the %zu bytes received", r_.region.size()));
    } else if (const std::string s = UnappliedFault(); !s.empty()) {
      Fail(s);
    } else {
      r_.ok = true;
      r_.message = "upgrade complete";
    }
  }

  SerialDevice& line_;
  const SimulatorOptions& o_;
  const std::atomic<bool>& cancelled_;
  LineReader reader_;
  FrameWriter writer_;
  SimResult r_;
  BlockPlan plan_;
  uint16_t answer_ = 0;
  std::vector<uint8_t> received_;  // the stream from the mode's first block
  std::map<int, int> repeatsLeft_;
  int frameNo_ = 0;
  int pendingUpgrades_ = 0;
  bool restartDone_ = false;
  bool silenceDone_ = false;
};

}  // namespace

std::string Violation::Describe() const {
  return bytes.empty() ? what : what + ": " + HexBytes(bytes);
}

std::string SimResult::Summary() const {
  std::string s = std::string("verdict: ") + (ok ? "ok" : "FAILED");
  s += std::string(" mode=") + (mode ? ModeName(mode) : "none");
  s += " size=" + std::to_string(imageSize);
  s += " blocks=" + std::to_string(blocksReceived);
  s += " repeats=" + std::to_string(repeatsAsked);
  s += " crc=" + (imageCrc ? Hex32(*imageCrc) : std::string("none"));
  s += " blanks=" + std::to_string(blanks);
  s += " mismatches=" + std::to_string(crcMismatches);
  if (restarts) s += " restarts=" + std::to_string(restarts);
  if (!ok) s += ": " + message;
  return s;
}

DeviceSimulator::DeviceSimulator(SerialDevice& line, Clock& clock, SimulatorOptions options)
    : line_(line), clock_(clock), options_(std::move(options)) {}

SimResult DeviceSimulator::Run() { return Session(line_, clock_, options_, cancelled_).Run(); }

void DeviceSimulator::Cancel() {
  cancelled_.store(true);
  line_.CancelWait();
}

}  // namespace t42rm::sim

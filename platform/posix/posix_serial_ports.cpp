#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/serial_ports.h"

namespace fs = std::filesystem;

namespace t42rm {
namespace {

std::string ReadLine(const fs::path& p) {
  std::ifstream in(p);
  std::string s;
  std::getline(in, s);
  return s;
}

// "ttyS10" after "ttyS2": compare the name part, then the number.
bool NaturalLess(const std::string& a, const std::string& b) {
  auto split = [](const std::string& s) {
    size_t i = s.size();
    while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1]))) --i;
    long n = i < s.size() ? std::stol(s.substr(i)) : -1;
    return std::make_pair(s.substr(0, i), n);
  };
  return split(a) < split(b);
}

// A ttyS port is real when its driver reports an I/O port or memory address;
// the kernel creates placeholders for absent 8250 ports.
bool HasHardware(const std::string& name) {
  const fs::path sys = fs::path("/sys/class/tty") / name;
  std::error_code ec;
  if (!fs::exists(sys / "device", ec)) return false;
  const std::string type = ReadLine(sys / "type");
  if (!type.empty() && type != "0") return true;
  const std::string port = ReadLine(sys / "port");
  return !port.empty() && port != "0x0" && port != "0";
}

std::string UsbDescription(const std::string& name) {
  std::error_code ec;
  fs::path dev = fs::canonical(fs::path("/sys/class/tty") / name / "device", ec);
  if (ec) return {};
  std::string driver;
  fs::path drv = fs::canonical(dev / "driver", ec);
  if (!ec) driver = drv.filename().string();
  // Walk up to the USB device that carries manufacturer/product strings.
  for (fs::path p = dev; !p.empty() && p != p.root_path(); p = p.parent_path()) {
    if (fs::exists(p / "product", ec)) {
      std::string text = ReadLine(p / "manufacturer");
      const std::string product = ReadLine(p / "product");
      if (!product.empty()) text += (text.empty() ? "" : " ") + product;
      return text;
    }
  }
  return driver;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts() {
  std::vector<SerialPortInfo> ports;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/dev", ec)) {
    const std::string name = entry.path().filename().string();
    const bool usb = name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
    const bool uart = name.rfind("ttyS", 0) == 0;
    if (!usb && !uart) continue;
    if (uart && !HasHardware(name)) continue;
    ports.push_back({entry.path().string(), UsbDescription(name), {}});
  }
  for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", ec)) {
    std::error_code ec2;
    const fs::path target = fs::canonical(entry.path(), ec2);
    if (ec2) continue;
    for (auto& p : ports)
      if (p.path == target.string()) p.byIdPath = entry.path().string();
  }
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return NaturalLess(a.path, b.path);
  });
  return ports;
}

}  // namespace t42rm

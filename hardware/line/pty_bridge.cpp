#include "hardware/line/pty_bridge.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace vax::hw {

std::uint32_t PtyBridge::SpeedToBps(unsigned speed) {
  struct Entry {
    speed_t code;
    std::uint32_t bps;
  };
  static constexpr Entry kSpeeds[] = {
      {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
      {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
      {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
      {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
      {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
      {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
      {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
      {B3500000, 3500000}, {B4000000, 4000000},
  };
  for (const Entry& e : kSpeeds) {
    if (e.code == speed)
      return e.bps;
  }
  return 0;
}

PtyBridge::PtyBridge(SerialEndpoint& far, std::uint32_t initial_rate_bps, sim::Ticks poll)
    : far_(far), poll_(poll), transmitter_(&tx_wire_, UartTransmitter::kUnlimited) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0)
    return;
  int packet_mode = 1;
  char name[128];
  termios tio{};
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0 ||
      ioctl(master, TIOCPKT, &packet_mode) != 0 || tcgetattr(master, &tio) != 0) {
    close(master);
    return;
  }
  // The slave starts raw at the initial speed. EXTPROC makes every later
  // tcsetattr on the slave show up as a packet-mode notification.
  cfmakeraw(&tio);
  tio.c_lflag |= EXTPROC;
  speed_t code = B9600;
  for (speed_t candidate : {B300, B1200, B2400, B4800, B9600, B19200, B38400, B57600, B115200,
                            B230400, B460800, B921600, B1000000, B3000000}) {
    if (SpeedToBps(candidate) == initial_rate_bps)
      code = candidate;
  }
  cfsetispeed(&tio, code);
  cfsetospeed(&tio, code);
  tcsetattr(master, TCSANOW, &tio);
  master_ = master;
  slave_path_ = name;

  LineTime now = LineNow();
  LineSettings settings = LineSettings::Of(SpeedToBps(code));
  {
    std::lock_guard lock(mu_);
    transmitter_.Configure(settings, now);
    receiver_.Configure(settings, now);
    receiver_.Restart(now);
    far_.TxWire().Attach(this);
  }
  far_.AttachRx(&tx_wire_);
  // A program on the pty is a device that is present and ready.
  ModemInputs lines;
  lines.cts = lines.dsr = lines.dcd = true;
  far_.SetModemInputs(lines);
  thread_ = sim::Scheduler::Current()->Spawn("pty bridge", 20, [this] { ThreadMain(); });
}

PtyBridge::~PtyBridge() {
  if (master_ < 0)
    return;
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  sim::Scheduler::Current()->Join(thread_);
  far_.AttachRx(nullptr);
  far_.SetModemInputs({});
  {
    std::lock_guard lock(mu_);
    far_.TxWire().Attach(nullptr);
  }
  close(master_);
}

LineSettings PtyBridge::settings() {
  std::lock_guard lock(mu_);
  return transmitter_.settings();
}

void PtyBridge::ThreadMain() {
  for (;;) {
    {
      std::lock_guard lock(mu_);
      if (stopping_)
        return;
    }
    PollOnce();
    sim::SleepFor(poll_, "pty bridge poll");
  }
}

// Follows the slave's output speed. Called on every poll as well as on a
// packet-mode notification, so a program that clears EXTPROC is still
// followed within one poll.
void PtyBridge::FollowSpeed(LineTime now) {
  termios tio{};
  if (tcgetattr(master_, &tio) != 0)
    return;
  std::uint32_t bps = SpeedToBps(cfgetospeed(&tio));
  if (bps == 0)
    return;  // B0 (hang up) leaves the line as it is
  LineSettings settings = LineSettings::Of(bps);
  std::lock_guard lock(mu_);
  DecodeLocked(now);  // what arrived at the old speed
  transmitter_.Configure(settings, now);
  receiver_.Configure(settings, now);
}

void PtyBridge::DecodeLocked(LineTime now) {
  receiver_.Decode(far_.TxWire(), now, &received_);
  for (const ReceivedChar& c : received_)
    to_master_.push_back(c.value);
  received_.clear();
}

void PtyBridge::OnWireActivity() {
  std::lock_guard lock(mu_);
  DecodeLocked(LineNow());
}

void PtyBridge::PollOnce() {
  LineTime now = LineNow();
  FollowSpeed(now);
  // Packet mode: each read returns one control byte, then data when it is 0.
  std::uint8_t buffer[1 + 4096];
  for (int reads = 0; reads < 64; ++reads) {
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0)
      break;  // EAGAIN, or EIO while no program holds the slave open
    if (buffer[0] != TIOCPKT_DATA) {
      if (buffer[0] & TIOCPKT_IOCTL)
        FollowSpeed(now);
      continue;
    }
    std::lock_guard lock(mu_);
    transmitter_.Push(std::span(buffer + 1, std::size_t(n - 1)), now);
  }
  tx_wire_.KickReceiver();
  std::lock_guard lock(mu_);
  DecodeLocked(now);
  while (!to_master_.empty()) {
    ssize_t n = write(master_, to_master_.data(), to_master_.size());
    if (n <= 0)
      break;  // the pty is full: keep the rest for the next poll
    to_master_.erase(to_master_.begin(), to_master_.begin() + n);
  }
}

}  // namespace vax::hw

// The vpcd side of the vsmartcard socket protocol, and the card it puts in the reader.
#include "card/vpcd_card.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "card/application.h"
#include "card/sim_card.h"

namespace sim {
namespace {

constexpr std::uint8_t kPowerOff = 0x00, kPowerOn = 0x01, kReset = 0x02, kGetAtr = 0x04;
// Real-time limits: they end a session whose emulator never came or stopped answering;
// they are never a margin a correct run depends on.
constexpr int kConnectLimitMs = 60000;
constexpr int kAnswerLimitMs = 60000;

std::mutex g_observerMutex;
std::function<void(std::uint16_t)> g_observer;

// One port's listening socket and its emulator's connection.
class VpcdLink final : public ApduBackend {
 public:
  explicit VpcdLink(std::uint16_t port) : port_(port) {}
  ~VpcdLink() override {
    if (fd_ >= 0) ::close(fd_);
    if (listener_ >= 0) ::close(listener_);
  }

  // Listens on 127.0.0.1 (once); tells the observer the port.
  void Listen() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (listener_ >= 0 || failed_) return;
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener_ < 0 || ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      Fail();
      return;
    }
    port_ = ntohs(address.sin_port);
    std::function<void(std::uint16_t)> observer;
    {
      std::lock_guard<std::mutex> observerLock(g_observerMutex);
      observer = g_observer;
    }
    if (observer) observer(port_);
  }

  // Control messages: power off, power on, reset. False when the emulator is gone.
  bool Control(std::uint8_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    return Connected() && Send({code});
  }

  std::optional<Bytes> Atr() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Connected() || !Send({kGetAtr})) return std::nullopt;
    return Receive();
  }

  std::optional<iso7816::Bytes> Transmit(const iso7816::Bytes& command) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (command.size() < 2 || !Connected() || !Send(command)) return std::nullopt;
    return Receive();
  }

 private:
  // Accepts the emulator's connection when there is none yet.
  bool Connected() {
    if (fd_ >= 0) return true;
    if (listener_ < 0 || failed_) return false;
    pollfd wait{listener_, POLLIN, 0};
    if (!Poll(wait, kConnectLimitMs)) return Fail();
    fd_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd_ < 0) return Fail();
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return true;
  }

  static bool Poll(pollfd& wait, int limitMs) {
    for (;;) {
      const int ready = ::poll(&wait, 1, limitMs);
      if (ready > 0) return true;
      if (ready == 0 || errno != EINTR) return false;
    }
  }

  bool Send(const Bytes& payload) {
    Bytes message{static_cast<std::uint8_t>(payload.size() >> 8), static_cast<std::uint8_t>(payload.size())};
    message.insert(message.end(), payload.begin(), payload.end());
    for (std::size_t sent = 0; sent < message.size();) {
      const ssize_t n = ::send(fd_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Fail();
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool ReceiveExactly(std::uint8_t* into, std::size_t count) {
    for (std::size_t got = 0; got < count;) {
      pollfd wait{fd_, POLLIN, 0};
      if (!Poll(wait, kAnswerLimitMs)) return Fail();
      const ssize_t n = ::recv(fd_, into + got, count - got, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Fail();
      got += static_cast<std::size_t>(n);
    }
    return true;
  }

  std::optional<Bytes> Receive() {
    std::uint8_t length[2];
    if (!ReceiveExactly(length, sizeof(length))) return std::nullopt;
    Bytes payload(static_cast<std::size_t>(length[0] << 8 | length[1]));
    if (!ReceiveExactly(payload.data(), payload.size())) return std::nullopt;
    return payload;
  }

  // The emulator is gone (or never came): the card stays mute from now on.
  bool Fail() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    failed_ = true;
    return false;
  }

  std::mutex mutex_;
  std::uint16_t port_;
  int listener_ = -1;
  int fd_ = -1;
  bool failed_ = false;
};

// The links by the port a card name asked for, alive for the whole process; port 0 gets
// a link of its own, closed with its card.
std::shared_ptr<VpcdLink> LinkFor(std::uint16_t port) {
  static std::mutex mutex;
  static std::map<std::uint16_t, std::shared_ptr<VpcdLink>> links;
  std::shared_ptr<VpcdLink> link;
  if (port == 0) {
    link = std::make_shared<VpcdLink>(port);
  } else {
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<VpcdLink>& slot = links[port];
    if (!slot) slot = std::make_shared<VpcdLink>(port);
    link = slot;
  }
  link->Listen();
  return link;
}

// The emulator's card behind the transports its answer to reset announces.
class VpcdCard final : public Icc {
 public:
  VpcdCard(std::uint16_t port, std::shared_ptr<VpcdLink> link)
      : name_("vpcd:" + std::to_string(port)), link_(std::move(link)) {}
  ~VpcdCard() override {
    if (Active()) link_->Control(kPowerOff);
  }

  std::string_view Name() const override { return name_; }

  std::optional<Bytes> ColdReset(IccVoltage voltage) override {
    if (Active()) Deactivate();
    if (!link_->Control(kPowerOn) || !TakeAtr()) return std::nullopt;
    return card_->ColdReset(voltage);
  }

  std::optional<Bytes> WarmReset() override {
    if (!Active() || !link_->Control(kReset) || !TakeAtr()) return std::nullopt;
    return card_->WarmReset();
  }

  void Deactivate() override {
    if (Active()) link_->Control(kPowerOff);
    if (card_) card_->Deactivate();
  }

  bool Active() const override { return card_ && card_->Active(); }
  bool SetParameters(int protocol, std::uint8_t fidi) override { return card_ && card_->SetParameters(protocol, fidi); }
  void Write(std::span<const std::uint8_t> bytes) override {
    if (card_) card_->Write(bytes);
  }
  Bytes Read() override { return card_ ? card_->Read() : Bytes{}; }

 private:
  // The emulator's answer to reset; a new one gets the transports it announces.
  bool TakeAtr() {
    const std::optional<Bytes> atr = link_->Atr();
    if (!atr || atr->empty()) return false;
    if (card_ && *atr == atr_) return true;
    std::optional<CardProfile> profile = FindCardProfile("atr:" + iso7816::ToHex(*atr));
    if (!profile) return false;
    profile->name = name_;
    const bool wasActive = Active();
    card_ = std::make_unique<SimCard>(std::move(*profile));
    card_->Application().SetBackend(link_.get());
    atr_ = *atr;
    if (wasActive) (void)card_->ColdReset(IccVoltage::V5_0);  // a warm reset that changed the ATR
    return true;
  }

  std::string name_;
  std::shared_ptr<VpcdLink> link_;
  std::unique_ptr<SimCard> card_;
  Bytes atr_;
};

}  // namespace

std::optional<std::uint16_t> VpcdPort(std::string_view name) {
  constexpr std::string_view kPrefix = "vpcd:";
  if (name.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  const std::string_view digits = name.substr(kPrefix.size());
  unsigned port = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || port > 65535)
    return std::nullopt;
  return static_cast<std::uint16_t>(port);
}

void SetVpcdListeningObserver(std::function<void(std::uint16_t port)> observer) {
  std::lock_guard<std::mutex> lock(g_observerMutex);
  g_observer = std::move(observer);
}

std::unique_ptr<Icc> MakeVpcdCard(std::uint16_t port) { return std::make_unique<VpcdCard>(port, LinkFor(port)); }

}  // namespace sim

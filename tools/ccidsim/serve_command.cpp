// `ccidsim serve`: pcscd in the foreground on a private socket, with a reader.conf whose one
// entry loads the PC/SC bridge on the chosen reader and card, so that unmodified PC/SC
// applications use the driver; `ccidsim serve-control` moves the card and types on the
// keypad while it serves.
#include <fcntl.h>
#include <sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "card/card.h"
#include "commands.h"
#include "reader_source.h"

namespace ccidsim {
namespace {

namespace fs = std::filesystem;

// pcscd 1.9 always makes its socket (and pid file) in /run/pcscd: in its own mount
// namespace that is a directory of the session, so its socket is private.
constexpr char kPcscdRun[] = "/run/pcscd";
constexpr char kRunName[] = "pcscd";
constexpr char kSocketName[] = "pcscd/pcscd.comm";
// Where the system allows no mount namespace, pcscd uses the real /run/pcscd (so no other
// pcscd may run); the child leaves this mark for the parent.
constexpr char kSharedMark[] = "shared-run";
constexpr char kSharedSocket[] = "/run/pcscd/pcscd.comm";
constexpr char kControlName[] = "control";
constexpr char kConfigName[] = "reader.conf";
// How long pcscd may take to open its socket (it loads the bridge, which starts the stack).
constexpr std::chrono::seconds kStartPatience{20};
// pcscd's main loop waits for connections with no time-out and looks at its stop flag only
// when that wait ends; the flag is set by pcscd's signal thread. A Ctrl-C that ends the
// wait before that thread has run (or that another of pcscd's threads takes) leaves the
// loop waiting for good. Once pcscd is told to stop, serve wakes the loop with a connection
// to its socket this often until pcscd ends.
constexpr int kWakePeriodMs = 100;

std::string ConfigText(const ServeOptions& options, const std::string& card, const fs::path& dir) {
  return "# Written by ccidsim serve: the PC/SC bridge on a simulated reader.\n"
         "FRIENDLYNAME \"CCID bench " +
         fs::path(options.reader).stem().string() + "\"\n" + "DEVICENAME reader=" + options.reader +
         ":card=" + card + ":control=" + (dir / kControlName).string() + "\n" + "LIBPATH " + options.bridge +
         "\n" + "CHANNELID 0\n";
}

bool WriteProcFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return written;
}

// In the child: a mount namespace of its own (as root, else inside a user namespace where
// the caller is root) in which `run` is mounted over /run/pcscd. False, with errno, when
// the system allows neither.
bool PrivateRunDirectory(const std::string& run) {
  if (::unshare(CLONE_NEWNS) != 0) {
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    WriteProcFile("/proc/self/setgroups", "deny");
    if (!WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
      return false;
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  ::mkdir(kPcscdRun, 0755);  // present already where pcscd ran before
  return ::mount(run.c_str(), kPcscdRun, nullptr, MS_BIND, nullptr) == 0;
}

// Starts pcscd with its signals unblocked again and its output into `output`; -1 when it
// cannot.
pid_t StartPcscd(const ServeOptions& options, const fs::path& dir, const sigset_t& blocked, int output) {
  const std::string run = (dir / kRunName).string();
  const std::string config = (dir / kConfigName).string();
  const pid_t child = ::fork();
  if (child != 0) return child;
  ::sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // pcscd does not outlive a killed ccidsim
  ::dup2(output, STDOUT_FILENO);
  ::dup2(output, STDERR_FILENO);
  if (!PrivateRunDirectory(run)) {
    std::fprintf(stderr, "ccidsim: no mount namespace for pcscd (%s): it uses the system's %s\n", std::strerror(errno),
                 kPcscdRun);
    std::ofstream((dir / kSharedMark).string()) << kSharedSocket << "\n";
  }
  std::vector<const char*> argv{options.pcscd.c_str(), "--foreground", "--config", config.c_str()};
  if (options.debug) argv.push_back("--debug");
  argv.push_back(nullptr);
  ::execvp(argv[0], const_cast<char* const*>(argv.data()));
  std::fprintf(stderr, "ccidsim: cannot run %s: %s\n", options.pcscd.c_str(), std::strerror(errno));
  ::_exit(127);
}

// pcscd's output, passed on line by line; the bridge's verdict on the driver's session is
// the line that says whether it was clean.
struct PcscdOutput {
  int fd;
  std::ostream& err;
  std::string partial;
  bool clean = false;

  // What can be read now; false at the end.
  bool Read() {
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    if (got <= 0) return false;
    partial.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end = partial.find('\n'); end != std::string::npos; end = partial.find('\n')) {
      const std::string line = partial.substr(0, end);
      partial.erase(0, end + 1);
      if (line.find("ccid-pcsc-bridge: verdict: clean") != std::string::npos) clean = true;
      err << line << "\n";
    }
    err.flush();
    return true;
  }
  void Drain() {
    while (Read()) {
    }
    if (!partial.empty()) err << partial << "\n";
    ::close(fd);
  }
};

// Waits (in real time: this is pcscd starting) for pcscd's socket; nothing when pcscd ended
// or did not open it in time.
std::optional<fs::path> WaitForSocket(pid_t pcscd, const fs::path& dir, PcscdOutput& output) {
  const auto deadline = std::chrono::steady_clock::now() + kStartPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code ignored;
    const fs::path socket = fs::exists(dir / kSharedMark, ignored) ? fs::path(kSharedSocket) : dir / kSocketName;
    if (fs::exists(socket, ignored)) return socket;
    if (::waitpid(pcscd, nullptr, WNOHANG) == pcscd) return std::nullopt;
    pollfd fd{output.fd, POLLIN, 0};
    if (::poll(&fd, 1, 20) > 0) output.Read();
  }
  return std::nullopt;
}

// A connection to pcscd's socket, closed at once: its main loop wakes to take it.
void WakePcscd(const fs::path& socket) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = socket.string();
  if (path.size() >= sizeof(address.sun_path)) return;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int connection = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (connection < 0) return;
  ::connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  ::close(connection);
}

}  // namespace

int RunServe(const ServeOptions& options, std::ostream& out, std::ostream& err) {
  std::string reason;
  if (!ResolveReader(options.reader, {}, &reason)) {
    err << "ccidsim: " << reason << "\n";
    return kExitUsage;
  }
  const std::string card = options.card.empty() ? "none" : options.card;
  if (card != "none" && !sim::FindCardProfile(card)) {
    err << "ccidsim: unknown card \"" << card << "\" (a card profile name, atr:<hex>, or none)\n";
    return kExitUsage;
  }
  ServeOptions resolved = options;
  if (resolved.bridge.empty()) resolved.bridge = CCID_PCSC_BRIDGE_PATH;
  std::error_code error;
  if (!fs::exists(resolved.bridge, error)) {
    err << "ccidsim: the PC/SC bridge " << resolved.bridge << " is not there (build ccid_pcsc_bridge, or --bridge)\n";
    return kExitUsage;
  }
  fs::path dir = options.dir;
  const bool ownDir = dir.empty();
  if (ownDir) {
    std::string pattern = (fs::temp_directory_path() / "ccidsim-serve-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      err << "ccidsim: cannot make a directory for pcscd's socket: " << std::strerror(errno) << "\n";
      return kExitProblem;
    }
    dir = pattern;
  } else {
    fs::create_directories(dir, error);
  }
  dir = fs::absolute(dir);
  resolved.bridge = fs::absolute(resolved.bridge).string();
  {
    std::ofstream config(dir / kConfigName);
    config << ConfigText(resolved, card, dir);
    if (!config.flush()) {
      err << "ccidsim: cannot write " << (dir / kConfigName).string() << "\n";
      return kExitProblem;
    }
  }
  fs::remove_all(dir / kRunName, error);
  fs::create_directories(dir / kRunName, error);

  // SIGINT and SIGTERM end the session: pcscd is told to stop and waited for. Its output
  // passes through, and the bridge's verdict line in it decides the exit status.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGCHLD);
  ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) {
    err << "ccidsim: cannot start pcscd: " << std::strerror(errno) << "\n";
    return kExitProblem;
  }
  const pid_t pcscd = StartPcscd(resolved, dir, blocked, output[1]);
  ::close(output[1]);
  if (pcscd < 0) {
    err << "ccidsim: cannot start pcscd: " << std::strerror(errno) << "\n";
    ::close(output[0]);
    return kExitProblem;
  }
  PcscdOutput pcscdOutput{output[0], err, {}, false};
  const std::optional<fs::path> opened = WaitForSocket(pcscd, dir, pcscdOutput);
  if (!opened) {
    err << "ccidsim: pcscd did not open its socket\n";
    ::kill(pcscd, SIGINT);
    ::waitpid(pcscd, nullptr, 0);
    pcscdOutput.Drain();
    return kExitProblem;
  }
  out << "ccidsim serve: pcscd serves reader " << options.reader << " with card " << card << "\n"
      << "  applications:  PCSCLITE_CSOCK_NAME=" << opened->string() << " pcsc_scan\n"
      << "  the card:      ccidsim serve-control --dir " << dir.string() << " insert CARD | remove | keys KEYS\n"
      << "  Ctrl-C stops it\n"
      << "ready" << std::endl;

  const int signals = ::signalfd(-1, &blocked, SFD_CLOEXEC);
  bool stopping = false;
  for (bool ended = false; !ended;) {
    pollfd fds[2] = {{pcscdOutput.fd, POLLIN, 0}, {signals, POLLIN, 0}};
    const int events = ::poll(fds, 2, stopping ? kWakePeriodMs : -1);
    if (events < 0 && errno != EINTR) break;
    if (events == 0) WakePcscd(*opened);
    if (events <= 0) continue;
    if (fds[0].revents != 0) pcscdOutput.Read();
    if (fds[1].revents == 0) continue;
    signalfd_siginfo info{};
    if (::read(signals, &info, sizeof(info)) != sizeof(info)) continue;
    // pcscd closes its readers (the bridge takes the stack down) on SIGINT; SIGTERM
    // would end it at once.
    if (info.ssi_signo == SIGINT || info.ssi_signo == SIGTERM) {
      ::kill(pcscd, SIGINT);
      stopping = true;
    }
    ended = ::waitpid(pcscd, nullptr, WNOHANG) == pcscd;
  }
  pcscdOutput.Drain();
  ::close(signals);
  ::sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
  if (ownDir) fs::remove_all(dir, error);
  out << "ccidsim serve: pcscd ended; the driver's session was "
      << (pcscdOutput.clean ? "clean" : "not clean (see above)") << "\n";
  return pcscdOutput.clean ? kExitClean : kExitProblem;
}

int RunServeControl(const ServeControlOptions& options, std::ostream& out, std::ostream& err) {
  const std::string path = options.socket.empty() ? (fs::path(options.dir) / kControlName).string() : options.socket;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    err << "ccidsim: the control socket path is too long: " << path << "\n";
    return kExitUsage;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  std::string line;
  for (const std::string& word : options.command) line += (line.empty() ? "" : " ") + word;
  const int connection = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connection < 0 || ::connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    err << "ccidsim: cannot reach " << path << ": " << std::strerror(errno) << " (is ccidsim serve running?)\n";
    if (connection >= 0) ::close(connection);
    return kExitProblem;
  }
  line += "\n";
  bool sent = ::send(connection, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
  std::string reply;
  char c;
  while (sent && ::read(connection, &c, 1) == 1 && c != '\n') reply += c;
  ::close(connection);
  if (!sent || reply.empty()) {
    err << "ccidsim: no answer from " << path << "\n";
    return kExitProblem;
  }
  out << reply << "\n";
  return reply.starts_with("ok") ? kExitClean : kExitProblem;
}

}  // namespace ccidsim

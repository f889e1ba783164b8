#include "terminal/sim/front_end.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>

#include "terminal/control/settings.h"
#include "terminal/serial/serial_port.h"
#include "terminal/sim/demo_site.h"

namespace terminal::sim {
namespace {

namespace settings = terminal::control;

// The simulator answers from threads of a process that shares the machine with everything else
// (a build, a test suite), so the control waits longer for it than its defaults for a real line,
// unless told otherwise.
const std::pair<const char*, const char*> kSimulatedLineSettings[] = {{settings::kProbeTimeoutVariable, "250"},
                                                                      {settings::kAnswerTimeoutVariable, "2000"},
                                                                      {settings::kGapVariable, "200"}};

// That the site can be saved to `path` at exit: the staging file next to it can be made.
void CheckSavePath(const std::string& path) {
  std::error_code ec;
  if (path.empty()) throw FrontEndError("--save needs a file name");
  if (std::filesystem::is_directory(path, ec)) throw FrontEndError("--save " + path + ": a folder, not a file");
  const std::string staging = path + ".tmp";
  const int fd = ::open(staging.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw FrontEndError("--save " + path + ": cannot write " + staging + ": " + std::strerror(errno));
  ::close(fd);
  ::unlink(staging.c_str());
}

}  // namespace

std::string FrontEndUsage() {
  return "usage: vanto-sim [--seed FILE] [--save FILE] [--link-dir DIR] [--tcp]\n"
         "                 [--speed BAUD] [--turnaround-us N] [--no-pace]\n"
         "Serves a simulated site (the demo site unless --seed names one) on pseudo-terminals, or\n"
         "with --tcp on loopback TCP ports like a serial device server. Prints one line per port,\n"
         "\"port N: PATH\" (or \"port N: tcp://127.0.0.1:PORT\"), then \"ready\", then the settings a\n"
         "host needs, and runs until SIGINT, SIGTERM or SIGHUP. --save writes the site (with what\n"
         "hosts gave the terminals) to FILE on the way out.\n";
}

FrontEndOptions ParseFrontEndArguments(const std::vector<std::string>& args) {
  FrontEndOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw FrontEndError(arg + " needs a value");
      return args[++i];
    };
    if (arg == "--seed") options.seed = value();
    else if (arg == "--demo") options.seed.reset();
    else if (arg == "--save") options.save = value();
    else if (arg == "--link-dir") options.linkDir = value();
    else if (arg == "--speed") options.speed = value();
    else if (arg == "--turnaround-us") options.turnaround = value();
    else if (arg == "--no-pace") options.noPace = true;
    else if (arg == "--tcp") options.tcp = true;
    else throw FrontEndError("unknown argument " + arg);
  }
  return options;
}

void PrepareSite(SimulatorSite& site, const FrontEndOptions& options) {
  if (options.save) CheckSavePath(*options.save);
  try {
    if (options.seed)
      site.LoadSeedFile(*options.seed);
    else
      SeedDemoSite(site);
  } catch (const std::exception& error) {
    throw FrontEndError(error.what());
  }
  if (options.speed) {
    char* end = nullptr;
    errno = 0;
    const unsigned long baud = std::strtoul(options.speed->c_str(), &end, 10);
    if (options.speed->empty() || *end || errno || !serial::IsSupportedSpeed(static_cast<unsigned>(baud)) ||
        baud > 4'000'000)
      throw FrontEndError("--speed " + *options.speed + ": not one of " + serial::SupportedSpeedsText());
    site.Options().baud = static_cast<unsigned>(baud);
  }
  if (options.turnaround) {
    char* end = nullptr;
    errno = 0;
    const long long micros = std::strtoll(options.turnaround->c_str(), &end, 10);
    if (options.turnaround->empty() || *end || errno || micros < 0 || micros > kMaxDelay.count())
      throw FrontEndError("--turnaround-us " + *options.turnaround + ": not 0.." + std::to_string(kMaxDelay.count()));
    site.Options().turnaround = std::chrono::microseconds(micros);
  }
  if (options.noPace) site.Options().pace = false;
  if (!options.linkDir.empty()) site.Options().linkDir = options.linkDir;
  site.Options().tcp = options.tcp;
}

void Serve(SimulatorSite& site, const FrontEndOptions& options, std::ostream& out) {
  // Block the stop signals before the port threads start (they inherit the mask), so only the
  // wait below sees them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &stop, &before);
  // A signal ignored when it arrives is discarded, blocked or not: a simulator started in the
  // background of a shell (SIGINT ignored) would never see its Ctrl-C. SIGHUP keeps what it was
  // given (nohup).
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  struct sigaction previous[2] {};
  ::sigaction(SIGINT, &byDefault, &previous[0]);
  ::sigaction(SIGTERM, &byDefault, &previous[1]);
  auto restore = [&] {
    ::sigaction(SIGINT, &previous[0], nullptr);
    ::sigaction(SIGTERM, &previous[1], nullptr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  };
  std::map<int, std::string> paths;
  try {
    if (!options.linkDir.empty() && !options.tcp) std::filesystem::create_directories(options.linkDir);
    paths = site.Start();
  } catch (const std::exception& error) {
    site.Stop();
    restore();
    throw FrontEndError(std::string("cannot start the terminal simulator: ") + error.what());
  }
  for (const auto& [port, path] : paths) out << "port " << port << ": " << path << "\n";
  out << "ready\n"
      << "# For a host on this machine" << (options.tcp ? " (the ports listen on 127.0.0.1 only)" : "") << ":\n"
      << PortSettingsText(paths) << "# Stop with Ctrl-C.\n"
      << std::flush;
  int received = 0;
  sigwait(&stop, &received);
  // The stop signals stay blocked until the site is stopped and saved: a second one (`timeout`
  // signals the process and then its group) must not cut the save. Those that came meanwhile ask
  // for what is already done; they are taken before the signals are restored.
  auto finish = [&] {
    const timespec now{0, 0};
    while (sigtimedwait(&stop, nullptr, &now) > 0) {
    }
    restore();
  };
  site.Stop();
  if (options.save) {
    try {
      site.SaveSeedFile(*options.save);
    } catch (const std::exception& error) {
      finish();
      throw FrontEndError(error.what());
    }
    out << "Saved the site to " << *options.save << "\n" << std::flush;
  }
  finish();
}

std::vector<std::pair<std::string, std::string>> PortSettings(const std::map<int, std::string>& paths) {
  std::vector<std::pair<std::string, std::string>> list;
  for (const auto& [port, path] : paths) list.emplace_back(settings::PortVariable(port), path);
  for (const auto& [name, value] : kSimulatedLineSettings) list.emplace_back(name, value);
  return list;
}

std::string PortSettingsText(const std::map<int, std::string>& paths) {
  std::string text;
  for (const auto& [name, value] : PortSettings(paths)) text += "export " + name + "=" + value + "\n";
  return text;
}

}  // namespace terminal::sim

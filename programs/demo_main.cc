// dz-demo: the poll application on several simulated phones at once. It starts the development
// server (database, authentication and update documents, over TLS) once, then runs each phone as
// a process of its own (dz-device, beside this program) with its own files (DZ_HOME: defaults,
// key chain, database cache), a scripted position and scripted taps, and plays the script below.
// It prints what the phone that acted sees after each step, draws every phone's screen then into
// a folder it names at the end, and exits non-zero when a step fails.
//
//   dz-demo [--out FOLDER] [--quick] [--pictures FOLDER]
//
// FOLDER is "screens" in the build folder (beside programs/) unless given; each run starts it
// afresh (the phones' files are in FOLDER/devices), and a folder another run is using is refused.
// --quick draws only the phone that acted, for the end-to-end test. --pictures copies the screens
// the README shows (kReadmePictures) into FOLDER once every step passed. An interrupt (SIGINT,
// SIGTERM, SIGHUP) ends the phones and the server, which removes its temporary files, before
// exiting.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/options.h"
#include "platform/value.h"
#include "tools/devserver/dev_server.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr auto kReplyTimeout = std::chrono::seconds(60);
constexpr char kPassword[] = "secret-1";
constexpr int kInterruptedStatus = 130;

// Written to by the signal handler; a wait for a phone's answer also watches it, so an interrupt
// ends the wait and the demo cleans up as after a failed step.
int interruptPipe[2] = {-1, -1};

void onInterrupt(int) {
  char byte = 1;
  [[maybe_unused]] ssize_t ignored = write(interruptPipe[1], &byte, 1);
}

bool interrupted() {
  pollfd input{.fd = interruptPipe[0], .events = POLLIN, .revents = 0};
  return poll(&input, 1, 0) > 0;
}

void catchInterrupts() {
  if (pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

struct Reply {
  bool ok = false;
  std::string text;
};

// One phone: a dz-device process, its command pipe and its reply pipe.
class Phone {
 public:
  Phone(std::string name, fs::path program, fs::path folder, std::vector<std::string> environment,
        std::vector<std::string> arguments)
      : name_(std::move(name)),
        program_(std::move(program)),
        folder_(std::move(folder)),
        environment_(std::move(environment)),
        arguments_(std::move(arguments)) {}
  ~Phone() { kill(); }

  const std::string& name() const { return name_; }
  bool running() const { return pid_ > 0; }
  fs::path logFile() const { return folder_ / "device.log"; }

  bool start() {
    int commands[2], replies[2];
    if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(replies, O_CLOEXEC) != 0) return false;
    fs::create_directories(folder_ / "home");
    std::vector<std::string> environment = environment_;
    environment.push_back("DZ_HOME=" + (folder_ / "home").string());
    for (char** entry = environ; *entry; ++entry) {
      if (std::strncmp(*entry, "DZ_HOME=", 8) != 0) environment.push_back(*entry);
    }
    std::vector<std::string> arguments{program_.string()};
    arguments.insert(arguments.end(), arguments_.begin(), arguments_.end());
    arguments.push_back("--reply-fd");
    arguments.push_back("3");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, commands[0], 0);
    posix_spawn_file_actions_adddup2(&actions, replies[1], 3);
    const std::string log = logFile().string();
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    auto pointers = [](std::vector<std::string>& strings) {
      std::vector<char*> result;
      for (auto& s : strings) result.push_back(s.data());
      result.push_back(nullptr);
      return result;
    };
    auto argv = pointers(arguments);
    auto envp = pointers(environment);
    int status = posix_spawn(&pid_, program_.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(commands[0]);
    close(replies[1]);
    commandFd_ = commands[1];
    replyFd_ = replies[0];
    if (status != 0) pid_ = -1;
    return status == 0;
  }

  // Sends commands (lines) in one write: the phone reads them together and runs them in one turn
  // of its loop. reply() reads the next answer; ask() does both for one command.
  bool post(const std::string& command) {
    std::string line = command + "\n";
    return running() &&
           write(commandFd_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  }
  Reply reply() {
    auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
    while (true) {
      if (auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        if (line.rfind("ok ", 0) == 0) return {true, line.substr(3)};
        return {false, line.rfind("fail ", 0) == 0 ? line.substr(5) : line};
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd inputs[2] = {{.fd = replyFd_, .events = POLLIN, .revents = 0},
                          {.fd = interruptPipe[0], .events = POLLIN, .revents = 0}};
      if (left.count() <= 0 || poll(inputs, 2, static_cast<int>(left.count())) <= 0) {
        return {false, "no answer within " + std::to_string(kReplyTimeout.count()) + " s"};
      }
      if (inputs[1].revents) return {false, "interrupted"};
      char chunk[4096];
      ssize_t got = read(replyFd_, chunk, sizeof chunk);
      if (got <= 0) return {false, "the device process ended"};
      buffer_.append(chunk, static_cast<size_t>(got));
    }
  }
  Reply ask(const std::string& command) {
    if (!post(command)) return {false, "the device is not running"};
    return reply();
  }

  // Ends the process at once, as the system ends an application.
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    close(commandFd_);
    close(replyFd_);
    buffer_.clear();
    pid_ = -1;
  }
  bool quit() {
    Reply reply = ask("quit");
    int status = 0;
    if (pid_ > 0) waitpid(pid_, &status, 0);
    pid_ = -1;
    close(commandFd_);
    close(replyFd_);
    return reply.ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  std::string name_;
  fs::path program_;
  fs::path folder_;
  std::vector<std::string> environment_;
  std::vector<std::string> arguments_;
  pid_t pid_ = -1;
  int commandFd_ = -1;
  int replyFd_ = -1;
  std::string buffer_;
};

// The screens the README shows: the phone and step that draw one, and the picture's name.
constexpr std::pair<const char*, const char*> kReadmePictures[] = {
    {"B-sees-direct", "demo-feed.png"},
    {"A-compose", "demo-compose.png"},
};

struct Settings {
  fs::path out;
  bool quick = false;
  // Where the README's pictures go once every step passed; none when empty.
  fs::path pictures;
};

class Demo {
 public:
  explicit Demo(const Settings& settings)
      : out_(settings.out), quick_(settings.quick), pictures_(settings.pictures) {}
  int run(const fs::path& deviceProgram);

 private:
  bool step(Phone& phone, const std::string& what, const std::string& command);
  fs::path screen(const Phone& phone, const std::string& what) const;
  std::string screenshot(const Phone& phone, const std::string& what) const {
    return "screenshot|" + screen(phone, what).string();
  }
  bool copyReadmePictures();
  bool drawn(Phone& phone);
  bool drawScreens(const std::string& what, Phone& acting);
  void say(const std::string& line);
  bool check(bool condition, const std::string& what);
  dz::Value server(const std::string& path) const {
    return dz::Value::fromJson(server_->snapshot(path));
  }
  std::string pollId(const std::string& question) const;
  std::vector<std::pair<std::string, int64_t>> serverCounts(const std::string& question) const;
  bool sees(Phone& phone, const std::string& what, const std::string& question);
  std::string uidOf(const std::string& email) const;
  bool script(Phone& a, Phone& b, Phone& c);
  bool takeFolder();

  fs::path out_;
  bool quick_;
  fs::path pictures_;
  // The README's pictures drawn so far, by name.
  std::map<std::string, fs::path> readmePictures_;
  std::unique_ptr<dz::devserver::DevServer> server_;
  std::vector<Phone*> phones_;
  int steps_ = 0;
  std::ofstream transcript_;
};

void Demo::say(const std::string& line) {
  std::cout << line << std::endl;
  transcript_ << line << "\n";
}

bool Demo::check(bool condition, const std::string& what) {
  say(std::string("   server: ") + what + (condition ? "" : " -- NOT SO"));
  return condition;
}

fs::path Demo::screen(const Phone& phone, const std::string& what) const {
  std::ostringstream file;
  file << std::setw(2) << std::setfill('0') << steps_ << "-" << phone.name() << "-" << what
       << ".png";
  return out_ / file.str();
}

bool Demo::copyReadmePictures() {
  std::error_code error;
  fs::create_directories(pictures_, error);
  for (const auto& [name, drawn] : readmePictures_) {
    if (!fs::copy_file(drawn, pictures_ / name, fs::copy_options::overwrite_existing, error)) {
      say("cannot write " + (pictures_ / name).string() + ": " + error.message());
      return false;
    }
  }
  say("pictures for the README: " + pictures_.string());
  return true;
}

// The answer to a request for a picture; false (said) when the phone could not draw it.
bool Demo::drawn(Phone& phone) {
  Reply reply = phone.reply();
  if (!reply.ok && !interrupted()) {
    say("   " + phone.name() + ": cannot draw the screen: " + reply.text + "; see " +
        phone.logFile().string());
  }
  return reply.ok;
}

// The acting phone's request went out with its command, so that its picture is the screen its
// answer describes. The others draw theirs once it has drawn: it has then settled, and what it
// wrote is on the server, where they find it.
bool Demo::drawScreens(const std::string& what, Phone& acting) {
  bool ok = drawn(acting);
  std::vector<Phone*> others;
  for (Phone* phone : phones_) {
    if (phone == &acting || !phone->running() || quick_) continue;
    if (!phone->post(screenshot(*phone, what))) return false;
    others.push_back(phone);
  }
  for (Phone* phone : others) ok = drawn(*phone) && ok;
  return ok;
}

bool Demo::step(Phone& phone, const std::string& what, const std::string& command) {
  ++steps_;
  Reply reply = phone.post(command + "\n" + screenshot(phone, what))
                    ? phone.reply()
                    : Reply{false, "the device is not running"};
  if (interrupted()) return false;
  std::ostringstream line;
  line << std::setw(2) << steps_ << " " << phone.name() << " " << std::left << std::setw(22) << what
       << (reply.ok ? "" : "FAILED: ") << reply.text;
  if (!reply.ok) line << "; see " << phone.logFile().string();
  say(line.str());
  if (!reply.ok) {
    phone.reply();  // the picture of the failure
    return false;
  }
  for (const auto& [shown, name] : kReadmePictures) {
    if (phone.name() + "-" + what == shown) readmePictures_.emplace(name, screen(phone, what));
  }
  return drawScreens(what, phone);
}

std::string Demo::pollId(const std::string& question) const {
  dz::Value polls = server("/polls");
  if (const auto* map = polls.getMap()) {
    for (const auto& [key, poll] : *map) {
      if (poll["question"] == dz::Value(question)) return key;
    }
  }
  return "?";
}

// The options' names and counts on the server, in the poll's order.
std::vector<std::pair<std::string, int64_t>> Demo::serverCounts(const std::string& question) const {
  std::vector<std::tuple<int64_t, std::string, int64_t>> options;
  const dz::Value held = server("/polls/" + pollId(question) + "/options");
  if (const auto* map = held.getMap()) {
    for (const auto& [key, option] : *map) {
      const std::string* name = option["name"].getString();
      options.emplace_back(option["index"].getInt().value_or(0), name ? *name : key,
                           option["votes"].getInt().value_or(-1));
    }
  }
  std::sort(options.begin(), options.end());
  std::vector<std::pair<std::string, int64_t>> counts;
  for (const auto& [index, name, votes] : options) counts.emplace_back(name, votes);
  return counts;
}

// A phone finds a poll in its feed. Its card shows no counts until the phone votes, so what the
// server holds is said on a line of its own.
bool Demo::sees(Phone& phone, const std::string& what, const std::string& question) {
  if (!step(phone, what, "expect|" + question)) return false;
  std::string counts;
  for (const auto& [name, votes] : serverCounts(question)) {
    counts += (counts.empty() ? "" : ", ") + name + " " + std::to_string(votes);
  }
  say("   server: '" + question + "' holds " + counts);
  return true;
}

std::string Demo::uidOf(const std::string& email) const {
  dz::Value users = server("/users");
  if (const auto* map = users.getMap()) {
    for (const auto& [key, user] : *map) {
      if (user["emailAddress"] == dz::Value(email)) return key;
    }
  }
  return "?";
}

bool Demo::script(Phone& a, Phone& b, Phone& c) {
  const std::string lunch = "Lunch on Friday?";
  const std::string coffee = "Coffee at 3?";
  // A and B work at one school; C is a studio 5 km from A.
  bool ok =
      step(a, "location", "location|48.8566|2.3522") &&
      step(a, "signup", std::string("signup|Ann|Lee|ann@school.edu|") + kPassword) &&
      step(b, "signup", std::string("signup|Bo|Li|bo@school.edu|") + kPassword) &&
      step(a, "local-on", "local|on") &&
      step(a, "compose", "compose|community|" + lunch + "|Noodle bar|Pizza place|Taco truck") &&
      step(a, "send", "send") && sees(b, "sees-poll", lunch) &&
      step(a, "vote", "vote|" + lunch + "|Pizza place") &&
      step(b, "vote", "vote|" + lunch + "|Noodle bar") &&
      step(a, "live-bars", "votes|" + lunch + "|Noodle bar=1,Pizza place=1") &&
      step(b, "re-vote", "vote|" + lunch + "|Pizza place") &&
      step(a, "live-bars", "votes|" + lunch + "|Noodle bar=0,Pizza place=2") &&
      step(a, "compose-direct", "compose|direct|" + coffee + "|yes|no|to=Bo Li") &&
      step(a, "send-direct", "send") && step(a, "vote-direct", "vote|" + coffee + "|no") &&
      sees(b, "sees-direct", coffee) && step(c, "location", "location|48.9016|2.3522") &&
      step(c, "signup", std::string("signup|Cy|Fox|cy@studio.org|") + kPassword) &&
      step(c, "local-on", "local|on") && sees(c, "sees-local", lunch);
  if (!ok) return false;

  say("-- B's process is killed and started again");
  b.kill();
  if (!b.start()) return false;
  ok = step(b, "restarted", "status") && sees(b, "sees-direct", coffee);
  if (!ok) return false;

  ok = step(b, "offline", "offline") && step(b, "vote-offline", "vote|" + coffee + "|yes");
  if (!ok) return false;
  // A while offline: the vote stays on the phone.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const std::string coffeeId = pollId(coffee);
  const std::string bo = uidOf("bo@school.edu");
  auto yesVotes = [&] {
    for (const auto& [name, votes] : serverCounts(coffee)) {
      if (name == "yes") return votes;
    }
    return int64_t{-1};
  };
  ok = check(yesVotes() == 0 && server("/pollVotesByUsers/" + bo + "/" + coffeeId).isNull(),
             "B's vote has not arrived while B is offline") &&
       step(b, "online", "online") && step(a, "vote-arrives", "votes|" + coffee + "|yes=1,no=1");
  if (!ok) return false;
  dz::Value log = server("/pollVotesByUsers/" + bo + "/" + coffeeId);
  return check(yesVotes() == 1, "'" + coffee + "' counts B's offline vote once") &&
         check(log.size() == 1, "B's vote is logged once") &&
         check(server("/pollgeo/" + pollId(lunch)).isMap(),
               "A's poll has its position for local feeds");
}

// Holds the folder for this run (the lock goes with the process), then removes what an earlier
// run left: its phones' files (a key chain still signed in) and its screens.
bool Demo::takeFolder() {
  fs::create_directories(out_);
  const fs::path lock = out_ / ".lock";
  int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    std::cerr << "dz-demo: " << out_.string()
              << (errno == EWOULDBLOCK
                      ? " is in use by another demo run"
                      : ": cannot lock " + lock.string() + ": " + std::strerror(errno))
              << "\n";
    return false;
  }
  fs::remove_all(out_ / "devices");
  const std::regex screen("[0-9]+-[A-Z]-.*\\.png");
  for (const auto& entry : fs::directory_iterator(out_)) {
    if (std::regex_match(entry.path().filename().string(), screen)) fs::remove(entry.path());
  }
  return true;
}

int Demo::run(const fs::path& deviceProgram) {
  if (!takeFolder()) return 1;
  transcript_.open(out_ / "transcript.txt");
  std::optional<dz::core::Options> options = dz::core::Options::defaultOptions();
  if (!options) {
    std::cerr << "dz-demo: no options file in the resources\n";
    return 1;
  }
  dz::devserver::Options serverOptions;
  serverOptions.tls = true;
  serverOptions.auth = true;
  serverOptions.updates = true;
  serverOptions.defaultNamespace = "polls";
  serverOptions.authSettings.apiKey = options->APIKey;
  server_ = dz::devserver::DevServer::start(serverOptions);
  say("development server: database " + server_->databaseUrl() + ", auth " + server_->authHost() +
      ", updates " + server_->updateServerUrl());

  const fs::path work = out_ / "devices";
  std::vector<std::string> environment{
      "DZ_RESOLVE=polls.dz.test=127.0.0.1,auth.dz.test=127.0.0.1,updates.dz.test=127.0.0.1",
      "DZ_CA_FILE=" + server_->caFile().string(), "DZ_UPDATE_SERVER=" + server_->updateServerUrl()};
  std::vector<std::string> arguments{"--database-url", server_->databaseUrl(), "--auth-host",
                                     server_->authHost()};
  Phone a("A", deviceProgram, work / "A", environment, arguments);
  Phone b("B", deviceProgram, work / "B", environment, arguments);
  Phone c("C", deviceProgram, work / "C", environment, arguments);
  phones_ = {&a, &b, &c};
  for (Phone* phone : phones_) {
    if (!phone->start()) {
      std::cerr << "dz-demo: cannot start " << deviceProgram << "\n";
      return 1;
    }
  }
  bool ok = script(a, b, c);
  if (interrupted()) {
    for (Phone* phone : phones_) phone->kill();
    server_->stop();
    say("demo: interrupted");
    return kInterruptedStatus;
  }
  for (Phone* phone : phones_) {
    if (phone->running()) ok = phone->quit() && ok;
  }
  server_->stop();
  say(ok ? "demo: every step passed" : "demo: a step failed");
  say("screens of every step: " + out_.string());
  if (ok && !pictures_.empty()) ok = copyReadmePictures();
  return ok ? 0 : 1;
}

// What is wrong with the arguments, naming the one at fault; none when they all read.
std::optional<std::string> parseArguments(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--quick") {
      settings.quick = true;
      continue;
    }
    fs::path* folder = name == "--out"        ? &settings.out
                       : name == "--pictures" ? &settings.pictures
                                              : nullptr;
    if (!folder) return "unknown option " + name;
    if (i + 1 == argc || *argv[i + 1] == '\0') return name + " needs a folder";
    *folder = argv[++i];
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  constexpr char kUsage[] = "usage: dz-demo [--out FOLDER] [--quick] [--pictures FOLDER]\n";
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
      std::cout << kUsage;
      return 0;
    }
  }
  Settings settings;
  if (auto wrong = parseArguments(argc, argv, settings)) {
    std::cerr << "dz-demo: " << *wrong << "\n" << kUsage;
    return 2;
  }
  fs::path self = fs::canonical("/proc/self/exe");
  if (settings.out.empty()) settings.out = self.parent_path().parent_path() / "screens";
  settings.out = fs::absolute(settings.out);
  catchInterrupts();
  try {
    return Demo(settings).run(self.parent_path() / "dz-device");
  } catch (const std::exception& e) {
    std::cerr << "dz-demo: " << e.what() << "\n";
    return 1;
  }
}

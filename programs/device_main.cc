// dz-device: the poll application on one simulated phone, driven by a script. It launches the
// application (its files under DZ_HOME: defaults, key chain, database cache) against the database
// and authentication server it is given, then takes commands on standard input, one a line,
// fields separated by "|", and answers each with one line on the descriptor --reply-fd names:
// "ok <what the device now shows>" or "fail <why>". The application keeps running between
// commands, so live changes reach its screens while the script talks to other devices.
//
//   dz-device --database-url URL --auth-host HOST --reply-fd N   (-h explains them)
//
// Commands: signup|first|last|email|password, location|lat|lon, local|on|off,
// compose|community|direct|question|option...[|to=First Last], send, expect|question,
// vote|question|option, votes|question|option=n,..., screenshot|file.png, status, token|hex,
// offline, online, quit.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/app_services.h"
#include "app/create_poll_view_controller.h"
#include "app/login_view_controller.h"
#include "app/polls_view_controller.h"
#include "auth/rpc/requests.h"
#include "core/app.h"
#include "core/options.h"
#include "database/api/database.h"
#include "database/core/parsed_url.h"
#include "database/core/repo.h"
#include "database/core/transaction_queue.h"
#include "hud/progress_hud.h"
#include "platform/run_loop.h"
#include "platform/scheduler.h"
#include "platform/ui/clock.h"
#include "platform/ui/location_manager.h"
#include "platform/ui/renderer.h"

namespace {

using dz::ui::ViewController;
using pollapp::AppServices;
using pollapp::CreatePollViewController;
using pollapp::LoginViewController;
using pollapp::PollPtr;
using pollapp::PollsViewController;

// Generous: a step takes well under a second on this machine, more under sanitizers.
constexpr auto kStepTimeout = std::chrono::seconds(20);
// What settling moves the UI clock on by at least: transitions and fades end within it.
constexpr auto kSettle = std::chrono::seconds(1);
// The UI clock's step while settling, and how long the main loop must have had nothing to do
// before the answers the screen waits for count as arrived.
constexpr auto kSettleTick = std::chrono::milliseconds(100);
constexpr auto kQuiet = std::chrono::milliseconds(300);

struct Reply {
  bool ok;
  std::string text;
};
Reply ok(std::string text) { return {true, std::move(text)}; }
Reply fail(std::string text) { return {false, std::move(text)}; }

std::vector<std::string> split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::stringstream stream(line);
  for (std::string field; std::getline(stream, field, separator);) fields.push_back(field);
  return fields;
}

// The UI clock: real time, plus what settling skipped. Overlays stay on screen for seconds of it
// (5 s at least for a self-dismissing one), far longer than a scripted step.
class UiClock {
 public:
  UiClock() { dz::ui::setScheduler(clock_); }
  // Moves the clock on by the real time since the last call.
  void follow() {
    auto now = std::chrono::steady_clock::now();
    clock_->advance(now - followed_);
    followed_ = now;
  }
  void skip(dz::platform::Duration by) { clock_->advance(by); }

 private:
  std::shared_ptr<dz::platform::ManualScheduler> clock_ = dz::platform::ManualScheduler::create();
  std::chrono::steady_clock::time_point followed_ = std::chrono::steady_clock::now();
};

UiClock& uiClock() {
  static auto* clock = new UiClock();
  return *clock;
}

bool until(const std::function<bool()>& done) {
  return dz::platform::RunLoop::main().runUntil(
      [&] {
        uiClock().follow();
        return done();
      },
      kStepTimeout);
}

// Whether the screen settled with nothing run since: a picture asked for together with a command
// then shows what the command's answer describes.
bool screenSettled = false;
// Whether the script took the phone offline: it then waits for no server.
bool offline = false;

// Waits as a user who looks at the screen would: the UI clock moves on past transitions and past
// every overlay's display time, and the main loop runs until nothing has come for a while (the
// feed's polls, a vote's new counts). Gives up silently after kStepTimeout.
bool settleScreen() {
  using std::chrono::steady_clock;
  auto& loop = dz::platform::RunLoop::main();
  const auto deadline = steady_clock::now() + kStepTimeout;
  auto lastWork = steady_clock::now();
  dz::platform::Duration skipped{};
  while (steady_clock::now() < deadline) {
    uiClock().follow();
    if (loop.runOnce(std::chrono::milliseconds(5))) lastWork = steady_clock::now();
    if (skipped < kSettle || dz::hud::ProgressHUD::isVisible()) {
      uiClock().skip(kSettleTick);
      skipped += kSettleTick;
      lastWork = steady_clock::now();
    } else if (steady_clock::now() - lastWork >= kQuiet) {
      return true;
    }
  }
  return false;
}

// Whether the server acknowledged all the phone wrote: online, and no write or transaction waits
// for an answer.
bool writesAcknowledged(const dz::database::Repo& repo) {
  bool acknowledged = false;
  repo.queue()->sync([&] {
    acknowledged = repo.connection().canSendWrites() &&
                   repo.connection().outstandingPutCount() == 0 &&
                   (!repo.transactionQueue() || repo.transactionQueue()->size() == 0);
  });
  return acknowledged;
}

// Reads a place nobody listens to. The server answers after all it sent the phone before, and
// the answer is handled after that, so once it came, so did they.
bool roundTrip(dz::database::Database& database) {
  static int reads = 0;
  auto answered = std::make_shared<bool>(false);
  database.reference()
      .child("demo-round-trips")
      .child(std::to_string(++reads))
      .observeSingleEventOfType(
          dz::database::DataEventType::Value,
          [answered](const dz::database::DataSnapshot&) { *answered = true; });
  return until([&] { return *answered; });
}

// What a round trip with the server may change: the pixels of the screen and what the phone
// listens to (a push may start a listen whose data shows only later).
std::pair<std::vector<uint32_t>, std::vector<std::string>> shownAndListened(
    const dz::database::Repo& repo) {
  std::vector<std::string> listens;
  repo.queue()->sync([&] {
    for (const auto& query : repo.connection().dumpListens()) {
      listens.push_back(query.description());
    }
  });
  dz::ui::Window* window = dz::ui::Application::shared().keyWindow();
  return {window ? dz::ui::Renderer::render(*window)->pixels() : std::vector<uint32_t>{},
          std::move(listens)};
}

// Settles the screen on what the server holds, so that every run draws the same screen: the
// server has all the phone wrote, and a round trip with it brings nothing new to the screen. What
// a round trip sets off (a listen, a write) is answered before the next one. An offline phone,
// or one that does not use the database yet, settles its screen only.
void settle() {
  screenSettled = false;
  auto database = dz::database::Database::database();
  auto repo = database->repo();
  if (offline || !repo) {
    screenSettled = settleScreen();
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + kStepTimeout;
  auto shown = shownAndListened(*repo);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!until([&] { return writesAcknowledged(*repo); }) || !roundTrip(*database) ||
        !settleScreen()) {
      return;
    }
    auto now = shownAndListened(*repo);
    if (now == shown && writesAcknowledged(*repo)) {
      screenSettled = true;
      return;
    }
    shown = std::move(now);
  }
}

// "1 poll", "2 polls".
std::string count(size_t n, const std::string& noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// The screen in the words its user would use.
std::string describeScreen(ViewController* screen) {
  if (!screen) return "nothing";
  if (dynamic_cast<LoginViewController*>(screen)) return "the sign-in screen";
  if (dynamic_cast<PollsViewController*>(screen)) return "the polls feed";
  if (dynamic_cast<CreatePollViewController*>(screen)) return "the compose screen";
  return "another screen";
}

class Phone {
 public:
  Reply run(const std::vector<std::string>& command);
  bool quitting() const { return quitting_; }

 private:
  ViewController* top() const;
  template <class Screen>
  Screen* find() const;
  PollPtr poll(const std::string& question) const;
  std::string describeFeed() const;
  std::string counts(const PollPtr& poll) const;
  std::string shownCounts(const PollPtr& poll) const;
  std::optional<dz::ui::IndexPath> rowOf(const std::string& question) const;
  std::shared_ptr<pollapp::PollCardTableViewCell> card(const std::string& question) const;

  Reply signUp(const std::vector<std::string>& fields);
  Reply local(bool on);
  Reply compose(const std::vector<std::string>& fields);
  Reply send();
  Reply expect(const std::string& question);
  Reply vote(const std::string& question, const std::string& option);
  Reply votes(const std::string& question, const std::string& expected);
  Reply screenshot(const std::string& file);
  bool serverHas(const std::string& path);

  bool quitting_ = false;
};

ViewController* Phone::top() const {
  dz::ui::Window* window = dz::ui::Application::shared().keyWindow();
  if (!window) return nullptr;
  ViewController* screen = window->rootViewController().get();
  while (screen && screen->presentedViewController()) {
    screen = screen->presentedViewController().get();
  }
  return screen;
}

template <class Screen>
Screen* Phone::find() const {
  dz::ui::Window* window = dz::ui::Application::shared().keyWindow();
  for (ViewController* screen = window ? window->rootViewController().get() : nullptr; screen;
       screen = screen->presentedViewController().get()) {
    if (auto* found = dynamic_cast<Screen*>(screen)) return found;
  }
  return nullptr;
}

PollPtr Phone::poll(const std::string& question) const {
  if (!find<PollsViewController>()) return nullptr;
  for (const auto& poll : AppServices::current().polls()->pollsArray()) {
    if (poll->questionString() == question) return poll;
  }
  return nullptr;
}

std::string optionCounts(const PollPtr& poll) {
  std::string text;
  for (const auto& option : poll->optionsArray()) {
    text += (text.empty() ? "" : ", ") + option.title() + " " + std::to_string(option.result());
  }
  return text;
}

std::string Phone::counts(const PollPtr& poll) const {
  return "'" + poll->questionString() + "': " + optionCounts(poll);
}

std::optional<dz::ui::IndexPath> Phone::rowOf(const std::string& question) const {
  PollPtr target = poll(question);
  auto row =
      target ? AppServices::current().polls()->indexOfPollWithId(target->pollId()) : std::nullopt;
  if (!row) return std::nullopt;
  return dz::ui::IndexPath{0, static_cast<int>(*row)};
}

std::shared_ptr<pollapp::PollCardTableViewCell> Phone::card(const std::string& question) const {
  auto* feed = find<PollsViewController>();
  auto row = rowOf(question);
  if (!feed || !row) return nullptr;
  return std::dynamic_pointer_cast<pollapp::PollCardTableViewCell>(
      feed->tableView()->cellForRow(*row));
}

// The counts as the card shows them: a card shows them only once this phone has voted.
std::string Phone::shownCounts(const PollPtr& poll) const {
  auto shown = card(poll->questionString());
  if (!shown) return "'" + poll->questionString() + "' off screen";
  const auto& buttons = shown->optionButtons();
  if (!buttons.empty() && buttons.front()->showResults()) return "sees " + counts(poll);
  return "sees '" + poll->questionString() + "' with no counts (its card shows them once this " +
         "phone votes)";
}

std::string Phone::describeFeed() const {
  auto* feed = find<PollsViewController>();
  if (!feed) return "no feed";
  std::string text =
      "feed of " + count(static_cast<size_t>(feed->tableView()->numberOfRows(0)), "poll");
  for (const auto& poll : AppServices::current().polls()->pollsArray()) {
    text += " | '" + poll->questionString() + "'";
  }
  return text;
}

bool Phone::serverHas(const std::string& path) {
  return until([&] {
    bool answered = false, exists = false;
    AppServices::current().environment().rootRef().child(path).observeSingleEventOfType(
        dz::database::DataEventType::Value, [&](const dz::database::DataSnapshot& snapshot) {
          answered = true;
          exists = snapshot.exists();
        });
    dz::platform::RunLoop::main().runUntil([&] { return answered; }, kStepTimeout);
    return exists;
  });
}

Reply Phone::signUp(const std::vector<std::string>& fields) {
  auto* login = dynamic_cast<LoginViewController*>(top());
  if (!login) return fail("not on the sign-in screen");
  if (login->isShowingLogin()) login->switchModeButton()->simulateTap();
  // Each scripted user is in the same arm of the sign-up's random experiments (voters named on
  // direct polls, several votes allowed), so that every run draws the same screens.
  login->setDraw([] { return 0; });
  login->firstNameTextField()->insertText(fields.at(1));
  login->lastNameTextField()->insertText(fields.at(2));
  login->emailTextField()->insertText(fields.at(3));
  login->passwordTextField()->insertText(fields.at(4));
  login->signupLoginButton()->simulateTap();
  if (!until([&] { return dynamic_cast<PollsViewController*>(top()) != nullptr; })) {
    return fail("the feed did not come after signing up");
  }
  settle();
  return ok("signed up as " + fields.at(3) + "; " + describeFeed());
}

Reply Phone::local(bool on) {
  auto* feed = dynamic_cast<PollsViewController*>(top());
  if (!feed) return fail("not on the feed");
  if (feed->livePollSwitch()->isOn() != on) feed->livePollSwitch()->simulateTap();
  auto uid = AppServices::current().environment().signedInUid();
  if (on && (!uid || !serverHas("usergeo/" + *uid))) return fail("the position was not stored");
  settle();
  if (!on) return ok("local polls off; " + describeFeed());
  return ok("local polls on; position stored; " + describeFeed());
}

Reply Phone::compose(const std::vector<std::string>& fields) {
  auto* feed = dynamic_cast<PollsViewController*>(top());
  if (!feed) return fail("not on the feed");
  feed->questionButton()->simulateTap();
  auto* screen = dynamic_cast<CreatePollViewController*>(top());
  if (!screen) return fail("the compose screen did not open");
  const bool direct = fields.at(1) == "direct";
  std::vector<std::string> options;
  std::string to;
  for (size_t i = 3; i < fields.size(); ++i) {
    if (fields[i].rfind("to=", 0) == 0) {
      to = fields[i].substr(3);
    } else {
      options.push_back(fields[i]);
    }
  }
  if (options.size() > 2) screen->showMoreOptionsButton()->simulateTap();
  for (size_t i = 0; i < options.size() && i < 4; ++i) {
    screen->optionTextField(i)->insertText(options[i]);
  }
  screen->questionTextView()->becomeFirstResponder();
  screen->questionTextView()->insertText(fields.at(2));
  if (direct) {
    screen->localDirectSegmentedControl()->simulateSelectSegment(1);
    int row = -1;
    until([&] {
      const auto& users = screen->otherUsersArray();
      for (size_t i = 0; i < users.size(); ++i) {
        if (users[i]->firstName() + " " + users[i]->lastName() == to) row = static_cast<int>(i);
      }
      return row >= 0;
    });
    if (row < 0) return fail("no user named " + to + " to pick");
    screen->tableView()->simulateSelectRow({0, row});
  }
  settle();
  return ok("composing " + fields.at(1) + " poll '" + fields.at(2) + "'" +
            (direct ? " to " + to : ""));
}

Reply Phone::send() {
  auto* screen = dynamic_cast<CreatePollViewController*>(top());
  if (!screen) return fail("not on the compose screen");
  screen->sendButton()->simulateTap();
  if (!until([&] { return !find<CreatePollViewController>(); })) {
    return fail("the poll was not sent");
  }
  settle();
  return ok("poll sent; " + describeFeed());
}

Reply Phone::expect(const std::string& question) {
  auto* feed = find<PollsViewController>();
  if (!until([&] {
        return poll(question) &&
               feed->tableView()->numberOfRows(0) ==
                   static_cast<int>(AppServices::current().polls()->pollsArray().size());
      })) {
    return fail("'" + question + "' is not in the feed; " + describeFeed());
  }
  settle();
  return ok(shownCounts(poll(question)) + "; " + describeFeed());
}

Reply Phone::vote(const std::string& question, const std::string& option) {
  auto* feed = find<PollsViewController>();
  auto row = rowOf(question);
  if (!feed || !row) return fail("'" + question + "' is not in the feed");
  feed->tableView()->scrollToRow(*row, false);
  feed->tableView()->layoutIfNeeded();
  auto card = this->card(question);
  if (!card) return fail("the card of '" + question + "' is not on screen");
  std::string optionId;
  for (const auto& button : card->optionButtons()) {
    if (button->option().title() != option) continue;
    if (!button->isUserInteractionEnabled()) return fail(option + " is already this device's vote");
    optionId = button->option().optionId();
    button->simulateTap();
  }
  if (optionId.empty()) return fail("'" + question + "' has no option " + option);
  const std::string uid = AppServices::current().environment().signedInUid().value_or("");
  if (offline) {
    settle();
    return ok("voted " + option + " while offline");
  }
  bool counted = until([&] {
    PollPtr now = poll(question);
    auto recipient = now ? now->recipientForUserId(uid) : std::nullopt;
    dz::Value record = recipient ? recipient->value() : dz::Value();
    return record["vote"] == dz::Value(optionId);
  });
  if (!counted) return fail("the vote for " + option + " was not counted");
  settle();
  return ok("voted " + option + "; " + shownCounts(poll(question)));
}

Reply Phone::votes(const std::string& question, const std::string& expected) {
  std::string seen;
  bool matched = until([&] {
    PollPtr now = poll(question);
    if (!now) return false;
    seen = counts(now);
    for (const std::string& pair : split(expected, ',')) {
      auto equals = pair.find('=');
      bool found = false;
      for (const auto& option : now->optionsArray()) {
        if (option.title() == pair.substr(0, equals)) {
          found = std::to_string(option.result()) == pair.substr(equals + 1);
        }
      }
      if (!found) return false;
    }
    return true;
  });
  if (!matched) return fail("expected " + expected + ", sees " + seen);
  settle();
  PollPtr settled = poll(question);
  return ok(settled ? shownCounts(settled) : "sees " + seen);
}

Reply Phone::screenshot(const std::string& file) {
  if (!screenSettled) settle();
  if (!screenSettled) return fail("the screen did not settle on what the server holds");
  dz::ui::Window* window = dz::ui::Application::shared().keyWindow();
  if (!window || !dz::ui::Renderer::writePng(*window, file)) return fail("cannot write " + file);
  return ok(file);
}

Reply Phone::run(const std::vector<std::string>& command) {
  const std::string& name = command.at(0);
  if (name != "screenshot") screenSettled = false;
  if (name == "signup" && command.size() == 5) return signUp(command);
  if (name == "location" && command.size() == 3) {
    auto& simulator = dz::ui::LocationManager::simulator();
    simulator.setAnswer(dz::ui::LocationAuthorization::AuthorizedAlways);
    simulator.moveTo({std::stod(command[1]), std::stod(command[2])});
    simulator.setCurrentLocation(dz::ui::Location{std::stod(command[1]), std::stod(command[2])});
    return ok("is at " + command[1] + ", " + command[2]);
  }
  if (name == "local" && command.size() == 2) return local(command[1] == "on");
  if (name == "compose" && command.size() >= 5) return compose(command);
  if (name == "send") return send();
  if (name == "expect" && command.size() == 2) return expect(command[1]);
  if (name == "vote" && command.size() == 3) return vote(command[1], command[2]);
  if (name == "votes" && command.size() == 3) return votes(command[1], command[2]);
  if (name == "screenshot" && command.size() == 2) return screenshot(command[1]);
  if (name == "status") {
    settle();
    auto user = AppServices::current().environment().auth()->currentUser();
    return ok("shows " + describeScreen(top()) +
              (user ? "; signed in as " + user->email().value_or(user->uid()) : "; signed out") +
              (find<PollsViewController>() ? "; " + describeFeed() : ""));
  }
  if (name == "offline" || name == "online") {
    offline = name == "offline";
    auto database = dz::database::Database::database();
    offline ? database->goOffline() : database->goOnline();
    return ok(name);
  }
  if (name == "quit") {
    dz::ui::Application::shared().terminate();
    quitting_ = true;
    return ok("quit");
  }
  return fail("unknown command " + name);
}

constexpr char kUsage[] =
    "usage: dz-device --database-url URL --auth-host HOST --reply-fd N\n"
    "The poll application on one simulated phone, its files under DZ_HOME. It reads commands on\n"
    "standard input, one a line, and answers each on descriptor N.\n"
    "  --database-url URL  the database, as https://<namespace>.<domain>.<tld>[:port]\n"
    "  --auth-host HOST    the authentication server, as host[:port]\n"
    "  --reply-fd N        an open descriptor above 2 for the answers: \"ok <what the phone\n"
    "                      shows>\" or \"fail <why>\"\n"
    "  -h, --help          this text\n";

struct Arguments {
  std::string databaseUrl;
  std::string authHost;
  int replyFd = -1;
};

// What is wrong with the arguments, or nothing; checked before the application starts, so a bad
// value fails here rather than at the first command that needs it.
std::optional<std::string> parse(int argc, char** argv, Arguments& arguments) {
  for (int i = 1; i < argc; i += 2) {
    const std::string name = argv[i];
    if (i + 1 == argc) return name + " needs a value";
    const std::string value = argv[i + 1];
    if (name == "--database-url") {
      arguments.databaseUrl = value;
    } else if (name == "--auth-host") {
      arguments.authHost = value;
    } else if (name == "--reply-fd") {
      if (!std::regex_match(value, std::regex("[0-9]{1,9}")))
        return "--reply-fd " + value + " is not a number";
      arguments.replyFd = std::stoi(value);
    } else {
      return "unknown option " + name;
    }
  }
  if (arguments.databaseUrl.empty()) return "--database-url is missing";
  if (arguments.authHost.empty()) return "--auth-host is missing";
  if (arguments.replyFd < 0) return "--reply-fd is missing";
  try {
    dz::database::parseUrl(arguments.databaseUrl);
  } catch (const std::exception&) {
    return "--database-url " + arguments.databaseUrl + " is not a database URL";
  }
  if (!std::regex_match(arguments.authHost, std::regex("[A-Za-z0-9.-]+(:[0-9]{1,5})?"))) {
    return "--auth-host " + arguments.authHost + " is not a host[:port]";
  }
  if (arguments.replyFd <= 2 || fcntl(arguments.replyFd, F_GETFD) == -1) {
    return "--reply-fd " + std::to_string(arguments.replyFd) + " is not an open descriptor above 2";
  }
  return std::nullopt;
}

void answer(int fd, const Reply& reply) {
  std::string line = (reply.ok ? "ok " : "fail ") + reply.text + "\n";
  for (char& c : line) {
    if (c == '\n' && &c != &line.back()) c = ' ';
  }
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "-h" || std::string(argv[i]) == "--help") {
      std::cout << kUsage;
      return 0;
    }
  }
  Arguments arguments;
  if (auto wrong = parse(argc, argv, arguments)) {
    std::cerr << "dz-device: " << *wrong << "\n" << kUsage;
    return 2;
  }
  std::optional<dz::core::Options> options = dz::core::Options::defaultOptions();
  if (!options) {
    std::cerr << "dz-device: no options file in the resources\n";
    return 1;
  }
  uiClock();  // before the first screen: every UI timer runs on it
  options->databaseURL = arguments.databaseUrl;
  dz::auth::IdentityKitRequest::setHost(arguments.authHost);
  dz::auth::SecureTokenRequest::setHost(arguments.authHost);
  dz::auth::registerAuthLibrary();
  dz::core::App::configure(*options);
  auto& application = dz::ui::Application::shared();
  application.launch(pollapp::AppDelegate::create());

  Phone phone;
  std::string pending;
  while (!phone.quitting()) {
    if (dz::platform::RunLoop::main().runOnce(std::chrono::milliseconds(10))) {
      screenSettled = false;
    }
    uiClock().follow();
    pollfd input{.fd = 0, .events = POLLIN, .revents = 0};
    if (poll(&input, 1, 0) <= 0) continue;
    char buffer[4096];
    ssize_t got = read(0, buffer, sizeof buffer);
    if (got <= 0) break;  // the script is gone
    pending.append(buffer, static_cast<size_t>(got));
    for (size_t end; !phone.quitting() && (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      std::vector<std::string> command = split(line, '|');
      if (command.empty()) continue;
      Reply reply = fail("bad command");
      try {
        reply = phone.run(command);
      } catch (const std::exception& e) {
        reply = fail(std::string("bad command: ") + e.what());
      }
      std::cout << "command " << line << ": " << (reply.ok ? "ok " : "fail ") << reply.text
                << std::endl;
      answer(arguments.replyFd, reply);
    }
  }
  return 0;
}

#include "app/poll_card_cell.h"

#include "app/database_layout.h"
#include "platform/dispatch_queue.h"
#include "platform/log.h"

namespace pollapp {

using dz::ui::Color;
using dz::ui::Rect;
using dz::ui::Size;

namespace {

constexpr double kMargin = 12;
constexpr double kPadding = 14;
constexpr double kMetadataHeight = 34;
// A blank, the heavy check mark and the text-style variation selector.
constexpr char kVotedMark[] = " \u2714\uFE0E";

std::string text(const dz::Value& record, const char* key) {
  const std::string* value = record[key].getString();
  return value ? *value : std::string();
}

}  // namespace

PollCardTableViewCell::PollCardTableViewCell(std::shared_ptr<dz::platform::UserDefaults> defaults)
    : TableViewCell(kPollCellIdentifier),
      defaults_(std::move(defaults)),
      card_(std::make_shared<dz::ui::View>()),
      questionView_(std::make_shared<dz::ui::View>()),
      questionLabel_(std::make_shared<dz::ui::Label>()),
      stack_(std::make_shared<dz::ui::StackView>()),
      metadataButton_(std::make_shared<dz::ui::Button>(dz::ui::Button::Type::Custom)) {
  setBackgroundColor(Color::clear());
  layer()->setMasksToBounds(false);
  contentView()->setBackgroundColor(Color::clear());
  contentView()->layer()->setShadow(Color::black(), {0, 4}, 8, 0.1);
  card_->setBackgroundColor(Color::whiteColor());
  card_->layer()->setCornerRadius(14);
  contentView()->addSubview(card_);

  questionLabel_->setFont(dz::ui::Font::boldSystem(18));
  questionLabel_->setNumberOfLines(0);
  questionView_->addSubview(questionLabel_);
  stack_->setAxis(dz::ui::Axis::Vertical);
  stack_->setSpacing(8);
  stack_->addArrangedSubview(questionView_);
  card_->addSubview(stack_);

  metadataButton_->titleLabel()->setNumberOfLines(2);
  metadataButton_->titleLabel()->setFont(dz::ui::Font::system(13));
  metadataButton_->setTitleColor(Color::darkGray());
  metadataButton_->addTarget(
      dz::ui::kTouchUpInside,
      [this](dz::ui::Control&, const dz::ui::Event&) { didPressMetadata(); });
  card_->addSubview(metadataButton_);
}

bool PollCardTableViewCell::experiment(const char* key) const {
  if (!defaults_) return false;
  std::optional<dz::Value> experiments = defaults_->objectForKey(layout::kUserExperimentsDefault);
  return experiments && (*experiments)[key].getBool().value_or(false);
}

std::vector<std::shared_ptr<OptionButton>> PollCardTableViewCell::optionButtons() const {
  std::vector<std::shared_ptr<OptionButton>> buttons;
  for (const auto& view : stack_->arrangedSubviews()) {
    if (auto button = std::dynamic_pointer_cast<OptionButton>(view)) buttons.push_back(button);
  }
  return buttons;
}

void PollCardTableViewCell::setupSubviewsFacingUserWithId(const std::string& uid) {
  currentUserId_ = uid;
  for (const auto& view : std::vector(stack_->arrangedSubviews())) {
    if (view != questionView_) view->removeFromSuperview();
  }
  if (!poll_) return;
  std::optional<std::string> vote;
  if (auto recipient = poll_->recipientForUserId(uid)) {
    dz::Value record = recipient->value();
    if (const std::string* chosen = record[layout::kVote].getString()) vote = *chosen;
  }
  for (const Option& option : poll_->optionsArray()) {
    auto button = std::make_shared<OptionButton>(option);
    button->setWasChosen(vote == option.optionId());
    button->setShowResults(vote.has_value());
    OptionButton* raw = button.get();
    button->addTarget(dz::ui::kTouchUpInside, [this, raw](dz::ui::Control&, const dz::ui::Event&) {
      didPressOption(*raw);
    });
    stack_->addArrangedSubview(button);
    std::weak_ptr<OptionButton> weakButton = button;
    dz::platform::DispatchQueue::main()->async([weakButton] {
      if (auto button = weakButton.lock()) button->render();
    });
  }
  if (poll_->closed()) {
    dz::platform::logLine("poll closed");
    questionLabel_->setText("CLOSED: " + poll_->questionString());
  }
  metadataButton_->setTitle(makeMetadataLabelInFull(false));
  setNeedsLayout();
}

std::string PollCardTableViewCell::makeMetadataLabelInFull(bool full) const {
  if (!poll_) return {};
  const auto& recipients = poll_->recipientsArray();
  const std::string& sender = poll_->senderId();
  std::string creator = "anon";
  if (experiment(layout::kRevealPollCreatorOnPoll)) {
    for (const auto& recipient : recipients) {
      dz::Value record = recipient.value();
      if (recipient.key() != sender || !record[layout::kFirstName].isString()) continue;
      creator = full ? text(record, layout::kFirstName) + " " + text(record, layout::kLastName)
                     : text(record, layout::kFirstName);
    }
  }
  if (poll_->type() != PollType::Direct) {
    return poll_->domain().empty() ? "local" : creator + " asked " + poll_->domain();
  }
  if (recipients.empty()) {
    dz::platform::logLine(std::string(className()) +
                          ": DATA INTEGRITY WARNING: no recipients on poll " + poll_->pollId());
    return {};
  }
  if (recipients.size() == 1) return "just you";
  const bool revealVoters = experiment(layout::kRevealPollVotersOnPoll);
  std::vector<std::string> names;
  for (const auto& recipient : recipients) {
    dz::Value record = recipient.value();
    if (recipient.key() == sender) continue;
    if (!full && !record[layout::kFirstName].isString()) continue;
    std::string name =
        full ? text(record, layout::kFirstName) + " " + text(record, layout::kLastName)
             : text(record, layout::kFirstName);
    if (revealVoters && record.find(layout::kVote)) name += kVotedMark;
    names.push_back(std::move(name));
  }
  if (!full && names.size() >= 3) {
    size_t dropped = names.size() - 2;
    names.resize(2);
    names.push_back("and " + std::to_string(dropped) + " more");
  }
  std::string joined;
  for (const auto& name : names) joined += (joined.empty() ? "" : ", ") + name;
  if (!revealVoters) joined = "you";
  return creator + " asked " + joined;
}

void PollCardTableViewCell::didPressMetadata() {
  metadataButton_->setTitle(makeMetadataLabelInFull(true));
}

void PollCardTableViewCell::didPressOption(const OptionButton& button) {
  if (auto delegate = delegate_.lock()) delegate->didChoosePollOption(button.option());
}

void PollCardTableViewCell::animateDiffs(const PollDiff& diffs) {
  const auto& arranged = stack_->arrangedSubviews();
  for (size_t i = 0; i < diffs.options.size() && i + 1 < arranged.size(); ++i) {
    if (auto button = std::dynamic_pointer_cast<OptionButton>(arranged[i + 1])) {
      button->animateDiffs(diffs.options[i]);
    }
  }
}

Rect PollCardTableViewCell::cardFrame(double width) const {
  return Rect::make(kMargin, kMargin / 2, width - 2 * kMargin, 0);
}

void PollCardTableViewCell::layoutSubviews() {
  TableViewCell::layoutSubviews();
  const double width = bounds().size.width;
  Rect card = cardFrame(width);
  card.size.height = bounds().size.height - kMargin;
  card_->setFrame(card);
  const double inner = card.size.width - 2 * kPadding;
  Size question = questionLabel_->sizeThatFits({inner, 0});
  questionView_->setFixedHeight(question.height);
  questionLabel_->setFrame(Rect::make(0, 0, inner, question.height));
  Size stack = stack_->sizeThatFits({inner, 0});
  stack_->setFrame(Rect::make(kPadding, kPadding, inner, stack.height));
  metadataButton_->setFrame(Rect::make(kPadding, kPadding + stack.height, inner, kMetadataHeight));
}

Size PollCardTableViewCell::sizeThatFits(Size size) const {
  const double inner = cardFrame(size.width).size.width - 2 * kPadding;
  double height = questionLabel_->sizeThatFits({inner, 0}).height;
  for (const auto& button : optionButtons())
    height += stack_->spacing() + button->fixedHeight().value_or(OptionButton::kHeight);
  return {size.width, height + 2 * kPadding + kMetadataHeight + kMargin};
}

}  // namespace pollapp

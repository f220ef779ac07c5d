#include "platform/ui/text_input.h"

#include "platform/ui/graphics_context.h"
#include "platform/ui/keyboard.h"
#include "platform/ui/window.h"

namespace dz::ui {
namespace {

// Set while focus moves from one input to another, so the keyboard stays up.
bool focusMoving = false;

std::string masked(const std::string& text) { return std::string(utf16Length(text), '*'); }

}  // namespace

bool TextInput::takeFocus(View& view) {
  if (Window* window = view.window()) {
    auto current = window->firstResponder();
    if (current && current.get() != &view && current->isFirstResponder()) {
      focusMoving = true;
      bool resigned = current->resignFirstResponder();
      focusMoving = false;
      if (!resigned) return false;
    }
    window->setFirstResponder(view.weak_from_this());
  }
  Keyboard::shared().show();
  return true;
}

void TextInput::dropFocus(View& view) {
  if (Window* window = view.window()) {
    if (window->firstResponder().get() == &view) window->setFirstResponder({});
  }
  if (!focusMoving) Keyboard::shared().hide();
}

void TextInput::dropLastCharacter(std::string& text) {
  while (!text.empty()) {
    auto byte = static_cast<unsigned char>(text.back());
    text.pop_back();
    if ((byte & 0xC0) != 0x80) break;  // a lead or single byte ends the code point
  }
}

TextField::TextField(const Rect& frame) : Control(frame) {}

void TextField::setText(std::string text) {
  text_ = std::move(text);
  setNeedsDisplay();
}
void TextField::setFont(const Font& font) {
  font_ = font;
  setNeedsDisplay();
}
void TextField::setTextColor(Color color) {
  textColor_ = color;
  setNeedsDisplay();
}
void TextField::setTextAlignment(TextAlignment alignment) {
  alignment_ = alignment;
  setNeedsDisplay();
}
void TextField::setPlaceholder(std::string placeholder) {
  placeholder_ = std::move(placeholder);
  setNeedsDisplay();
}
void TextField::setSecureTextEntry(bool secure) {
  secure_ = secure;
  setNeedsDisplay();
}

bool TextField::becomeFirstResponder() {
  if (focused_) return true;
  auto delegate = delegate_.lock();
  if (delegate && !delegate->textFieldShouldBeginEditing(*this)) return false;
  if (!takeFocus(*this)) return false;
  focused_ = true;
  if (delegate) delegate->textFieldDidBeginEditing(*this);
  sendActions(kEditingDidBegin);
  return true;
}

bool TextField::resignFirstResponder() {
  if (!focused_) return true;
  focused_ = false;
  dropFocus(*this);
  if (auto delegate = delegate_.lock()) delegate->textFieldDidEndEditing(*this);
  sendActions(kEditingDidEnd);
  return true;
}

bool TextField::replaceAtEnd(size_t length, const std::string& replacement) {
  if (!focused_ && !becomeFirstResponder()) return false;
  size_t units = utf16Length(text_);
  auto delegate = delegate_.lock();
  if (delegate &&
      !delegate->textFieldShouldChangeCharacters(*this, units - length, length, replacement)) {
    return false;
  }
  for (size_t i = 0; i < length; ++i) dropLastCharacter(text_);
  text_ += replacement;
  setNeedsDisplay();
  sendActions(kEditingChanged);
  return true;
}

void TextField::insertText(const std::string& typed) { replaceAtEnd(0, typed); }

void TextField::deleteBackward() {
  if (!text_.empty()) replaceAtEnd(1, "");
}

void TextField::pressReturn() {
  if (!focused_) return;
  auto delegate = delegate_.lock();
  if (delegate && !delegate->textFieldShouldReturn(*this)) return;
  sendActions(kEditingDidEndOnExit);
}

void TextField::draw(GraphicsContext& context, const Rect& bounds) {
  bool empty = text_.empty();
  const std::string& shown = empty ? placeholder_ : text_;
  TextLayout layout =
      layoutText(secure_ && !empty ? masked(shown) : shown, font_, {bounds.width(), 0}, 0);
  context.drawText(layout, bounds, empty ? Color::white(0.7) : textColor_, alignment_);
}

std::string TextField::describe() const {
  std::string line = View::describe() + " text=\"" + (secure_ ? masked(text_) : text_) + "\"";
  if (!placeholder_.empty()) line += " placeholder=\"" + placeholder_ + "\"";
  if (focused_) line += " editing";
  return line;
}

TextView::TextView(const Rect& frame) : View(frame) {
  layer()->setNeedsDisplayOnBoundsChange(true);
}

void TextView::setText(std::string text) {
  text_ = std::move(text);
  setNeedsDisplay();
}
void TextView::setFont(const Font& font) {
  font_ = font;
  setNeedsDisplay();
}
void TextView::setTextColor(Color color) {
  textColor_ = color;
  setNeedsDisplay();
}
void TextView::setTextAlignment(TextAlignment alignment) {
  alignment_ = alignment;
  setNeedsDisplay();
}
void TextView::setTextContainerInset(EdgeInsets inset) {
  inset_ = inset;
  setNeedsDisplay();
}

bool TextView::becomeFirstResponder() {
  if (focused_) return true;
  auto delegate = delegate_.lock();
  if (delegate && !delegate->textViewShouldBeginEditing(*this)) return false;
  if (!takeFocus(*this)) return false;
  focused_ = true;
  if (delegate) delegate->textViewDidBeginEditing(*this);
  return true;
}

bool TextView::resignFirstResponder() {
  if (!focused_) return true;
  focused_ = false;
  dropFocus(*this);
  if (auto delegate = delegate_.lock()) delegate->textViewDidEndEditing(*this);
  return true;
}

bool TextView::replaceAtEnd(size_t length, const std::string& replacement) {
  if (!focused_ && !becomeFirstResponder()) return false;
  size_t units = utf16Length(text_);
  auto delegate = delegate_.lock();
  if (delegate && !delegate->textViewShouldChangeText(*this, units - length, length, replacement)) {
    return false;
  }
  for (size_t i = 0; i < length; ++i) dropLastCharacter(text_);
  text_ += replacement;
  setNeedsDisplay();
  if (delegate) delegate->textViewDidChange(*this);
  return true;
}

void TextView::insertText(const std::string& typed) { replaceAtEnd(0, typed); }

void TextView::deleteBackward() {
  if (!text_.empty()) replaceAtEnd(1, "");
}

bool TextView::touchesEnded(const Touch&, const Event&) {
  becomeFirstResponder();
  return true;
}

void TextView::draw(GraphicsContext& context, const Rect& bounds) {
  Rect box = bounds.inset(inset_).insetBy(5, 0);
  TextLayout layout =
      layoutText(text_, font_, {box.width(), box.height()}, kUsesLineFragmentOrigin);
  // Text starts at the top of its container.
  context.drawText(layout, Rect{box.origin, {box.width(), layout.size.height}}, textColor_,
                   alignment_);
}

std::string TextView::describe() const {
  return View::describe() + " text=\"" + text_ + "\"" + (focused_ ? " editing" : "");
}

}  // namespace dz::ui

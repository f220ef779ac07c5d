// Text inputs: TextField (one line, a control) and TextView (several lines), each with its
// delegate, held weakly. Typing is simulated: insertText() asks the delegate whether the change
// may happen and then applies it; pressReturn() on a field asks textFieldShouldReturn. An input
// becomes first responder (and shows the keyboard) when typed into or asked to; one first
// responder per window. Main thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/ui/control.h"
#include "platform/ui/font.h"

namespace dz::ui {

class TextField;
class TextView;

class TextFieldDelegate {
 public:
  virtual ~TextFieldDelegate() = default;
  virtual bool textFieldShouldBeginEditing(TextField&) { return true; }
  virtual void textFieldDidBeginEditing(TextField&) {}
  virtual void textFieldDidEndEditing(TextField&) {}
  // `location` and `length` count UTF-16 code units of the current text.
  virtual bool textFieldShouldChangeCharacters(TextField&, size_t /*location*/, size_t /*length*/,
                                               const std::string& /*replacement*/) {
    return true;
  }
  virtual bool textFieldShouldReturn(TextField&) { return true; }
};

class TextViewDelegate {
 public:
  virtual ~TextViewDelegate() = default;
  virtual bool textViewShouldBeginEditing(TextView&) { return true; }
  virtual void textViewDidBeginEditing(TextView&) {}
  virtual void textViewDidEndEditing(TextView&) {}
  virtual bool textViewShouldChangeText(TextView&, size_t /*location*/, size_t /*length*/,
                                        const std::string& /*replacement*/) {
    return true;
  }
  virtual void textViewDidChange(TextView&) {}
};

// What the two inputs share: text, font, colour, focus.
class TextInput {
 public:
  virtual ~TextInput() = default;
  const std::string& text() const { return text_; }
  const Font& font() const { return font_; }
  Color textColor() const { return textColor_; }
  TextAlignment textAlignment() const { return alignment_; }

 protected:
  // Makes `view` its window's first responder, resigning the previous one; false when refused.
  static bool takeFocus(View& view);
  static void dropFocus(View& view);
  // Removes the last character (a whole code point).
  static void dropLastCharacter(std::string& text);

  std::string text_;
  Font font_ = Font::system(17);
  Color textColor_ = Color::black();
  TextAlignment alignment_ = TextAlignment::Left;
  bool focused_ = false;
};

class TextField : public Control, public TextInput {
 public:
  explicit TextField(const Rect& frame = {});
  const char* className() const override { return "TextField"; }

  void setText(std::string text);
  void setFont(const Font& font);
  void setTextColor(Color color);
  void setTextAlignment(TextAlignment alignment);
  const std::string& placeholder() const { return placeholder_; }
  void setPlaceholder(std::string placeholder);
  bool isSecureTextEntry() const { return secure_; }
  void setSecureTextEntry(bool secure);
  void setDelegate(std::weak_ptr<TextFieldDelegate> delegate) { delegate_ = std::move(delegate); }

  bool becomeFirstResponder();
  bool isFirstResponder() const override { return focused_; }
  bool resignFirstResponder() override;

  // Typing at the end of the text.
  void insertText(const std::string& typed);
  void deleteBackward();
  void pressReturn();

  bool drawsContent() const override { return true; }
  void draw(GraphicsContext& context, const Rect& bounds) override;
  std::string describe() const override;

 protected:
  void tapped(const Event&) override { becomeFirstResponder(); }

 private:
  bool replaceAtEnd(size_t length, const std::string& replacement);
  std::weak_ptr<TextFieldDelegate> delegate_;
  std::string placeholder_;
  bool secure_ = false;
};

class TextView : public View, public TextInput {
 public:
  explicit TextView(const Rect& frame = {});
  const char* className() const override { return "TextView"; }

  // Sets the text without asking the delegate, as the program does.
  void setText(std::string text);
  void setFont(const Font& font);
  void setTextColor(Color color);
  void setTextAlignment(TextAlignment alignment);
  EdgeInsets textContainerInset() const { return inset_; }
  void setTextContainerInset(EdgeInsets inset);
  void setDelegate(std::weak_ptr<TextViewDelegate> delegate) { delegate_ = std::move(delegate); }

  bool becomeFirstResponder();
  bool isFirstResponder() const override { return focused_; }
  bool resignFirstResponder() override;

  // Typing at the end of the text ("\n" is the return key).
  void insertText(const std::string& typed);
  void deleteBackward();

  bool touchesEnded(const Touch& touch, const Event& event) override;
  bool drawsContent() const override { return true; }
  void draw(GraphicsContext& context, const Rect& bounds) override;
  std::string describe() const override;

 private:
  bool replaceAtEnd(size_t length, const std::string& replacement);
  std::weak_ptr<TextViewDelegate> delegate_;
  EdgeInsets inset_{8, 0, 8, 0};
};

}  // namespace dz::ui

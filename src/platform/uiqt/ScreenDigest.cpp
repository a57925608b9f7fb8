#include "platform/uiqt/ScreenDigest.h"

#include <chrono>
#include <cstring>
#include <string>
#include <type_traits>
#include <variant>

#include "platform/dispatch/Clock.h"
#include "platform/ui/Image.h"
#include "platform/ui/Window.h"

namespace platform::uiqt {

namespace {

// FNV-1a over the values' bytes.
class Digest {
 public:
  explicit Digest(std::vector<std::shared_ptr<const void>>& pictures) : pictures_(pictures) {}
  std::uint64_t value() const { return hash_; }

  void add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) hash_ = (hash_ ^ bytes[i]) * 1099511628211ull;
  }
  template <typename T>
    requires std::is_arithmetic_v<T> || std::is_enum_v<T> || std::is_pointer_v<T>
  void add(T value) {
    add(&value, sizeof value);
  }
  template <typename... Ts>
  void addAll(const Ts&... values) {
    (add(values), ...);
  }
  void add(const std::string& text) {
    add(text.size());
    add(text.data(), text.size());
  }
  void add(const ui::Point& p) { add(p.x); add(p.y); }
  void add(const ui::Rect& r) { add(r.x); add(r.y); add(r.width); add(r.height); }
  void add(const ui::Color& c) { add(c.red); add(c.green); add(c.blue); add(c.alpha); }
  void add(const ui::TextStyle& s) {
    addAll(s.font.size, s.font.bold, s.color, s.alignment, s.numberOfLines);
    addAll(s.underline, s.obliqueness, s.baselineOffset);
  }
  void add(const ui::Image& image) {
    add(image.identity());
    add(image.scale());
    const ui::EdgeInsets& caps = image.capInsets();
    addAll(caps.top, caps.left, caps.bottom, caps.right);
    if (auto owner = image.identityOwner().lock()) pictures_.push_back(std::move(owner));
  }

  void add(const ui::DisplayItem& item) {
    add(item.index());
    std::visit(
        [this](const auto& i) {
          using Item = std::decay_t<decltype(i)>;
          if constexpr (std::is_same_v<Item, ui::FillRect>) {
            addAll(i.rect, i.color, i.cornerRadius);
          } else if constexpr (std::is_same_v<Item, ui::StrokeRect>) {
            addAll(i.rect, i.color, i.lineWidth, i.cornerRadius);
          } else if constexpr (std::is_same_v<Item, ui::StrokeCircle>) {
            addAll(i.center, i.radius, i.lineWidth, i.color);
          } else if constexpr (std::is_same_v<Item, ui::FillCircle>) {
            addAll(i.center, i.radius, i.color);
          } else if constexpr (std::is_same_v<Item, ui::Line>) {
            addAll(i.from, i.to, i.lineWidth, i.color);
          } else if constexpr (std::is_same_v<Item, ui::DrawText>) {
            addAll(i.rect, i.text, i.style);
          } else if constexpr (std::is_same_v<Item, ui::DrawImage>) {
            addAll(i.rect, i.alpha);
            add(i.image != nullptr);
            if (i.image) add(*i.image);
          }
        },
        item);
  }

  // As the renderer walks the tree.
  void add(const ui::View& view) {
    add(&view);
    if (view.isHidden()) return add(0);
    addAll(view.presentationAlpha(), view.presentationFrame(), view.bounds());
    addAll(view.transform().rotation, view.transform().scale);
    addAll(view.clipsToBounds(), view.cornerRadius());
    const ui::DisplayList list = view.displayList();
    add(list.items().size());
    for (const auto& item : list.items()) add(item);
    add(view.subviews().size());
    for (const auto& child : view.subviews()) add(*child);
  }

 private:
  std::uint64_t hash_ = 14695981039346656037ull;
  std::vector<std::shared_ptr<const void>>& pictures_;
};

}  // namespace

bool ScreenDigest::changed() {
  auto& screen = ui::Screen::main();
  std::vector<std::shared_ptr<const void>> pictures;
  Digest digest(pictures);
  digest.add(screen.interfaceBounds());
  digest.add(screen.scale());
  digest.add(screen.isStatusBarHidden());
  digest.add(screen.statusBarStyle());
  // The status bar shows the time to the minute.
  digest.add(std::chrono::duration_cast<std::chrono::minutes>(Clock::currentTime().time_since_epoch()).count());
  for (const auto& window : screen.windows()) {
    window->layoutIfNeeded();
    digest.add(*window);
  }
  const bool differs = !taken_ || digest.value() != last_;
  taken_ = true;
  last_ = digest.value();
  pictures_ = std::move(pictures);
  return differs;
}

}  // namespace platform::uiqt

#include "platform/ui/DisplayList.h"

#include <fmt/format.h>

#include "platform/ui/Image.h"

namespace platform::ui {

void DisplayList::image(const Rect& rect, const Image& image, double alpha) {
  items_.push_back(DrawImage{rect, std::make_shared<const Image>(image), alpha});
}

namespace {
std::string rectText(const Rect& r) { return fmt::format("{:g} {:g} {:g}x{:g}", r.x, r.y, r.width, r.height); }

struct Describer {
  std::string operator()(const FillRect& f) const {
    return fmt::format("fill {} {}{}", rectText(f.rect), f.color.hexString(),
                       f.cornerRadius > 0 ? fmt::format(" r{:g}", f.cornerRadius) : "");
  }
  std::string operator()(const StrokeRect& s) const {
    return fmt::format("stroke {} {} w{:g}", rectText(s.rect), s.color.hexString(), s.lineWidth);
  }
  std::string operator()(const StrokeCircle& c) const {
    return fmt::format("ring {:g},{:g} r{:g} w{:g} {}", c.center.x, c.center.y, c.radius, c.lineWidth,
                       c.color.hexString());
  }
  std::string operator()(const FillCircle& c) const {
    return fmt::format("disc {:g},{:g} r{:g} {}", c.center.x, c.center.y, c.radius, c.color.hexString());
  }
  std::string operator()(const Line& l) const {
    return fmt::format("line {:g},{:g}-{:g},{:g} w{:g} {}", l.from.x, l.from.y, l.to.x, l.to.y, l.lineWidth,
                       l.color.hexString());
  }
  std::string operator()(const DrawText& t) const {
    return fmt::format("text {} {}{} {:g} '{}'", rectText(t.rect), t.style.color.hexString(),
                       t.style.font.bold ? " bold" : "", t.style.font.size, t.text);
  }
  std::string operator()(const DrawImage& i) const {
    auto name = i.image->path().filename().string();
    return fmt::format("image {} {}", rectText(i.rect), name.empty() ? "(bitmap)" : name);
  }
};
}  // namespace

std::string DisplayList::describe(const std::string& indent) const {
  std::string out;
  for (const auto& item : items_) out += indent + std::visit(Describer{}, item) + "\n";
  return out;
}

}  // namespace platform::ui

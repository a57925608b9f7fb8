// One frame of the phone's screen (375 x 667 points at 2x: 750 x 1334
// pixels) painted by the kit's renderer: a list of 12 rows with titles and
// details under a navigation bar, the pulse rings, and the HUD's progress
// panel over it all. The reference draws the same primitives (rectangles,
// rounded panels, rings, lines, texts, the stretched bar images) straight
// with QPainter from a list made once, without the view tree, display lists
// or clipping. Goal: 8 ms or less a frame, at most 1.5 times the reference.
#include <benchmark/benchmark.h>

#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <cmath>
#include <variant>

#include "platform/dispatch/Clock.h"
#include "platform/ui/Control.h"
#include "platform/ui/Image.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"
#include "platform/uiqt/QtGuiSupport.h"
#include "platform/uiqt/QtRenderer.h"
#include "screens/common/LMCustomNavigationBar.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMSyncAnimationView.h"

namespace ui = platform::ui;

namespace {

struct RenderBenchScene {
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped{clock};
  std::shared_ptr<ui::Window> window;

  RenderBenchScene() {
    platform::uiqt::ensureGuiApplication();
    ui::TextMeasurer::setCurrent(std::make_shared<platform::uiqt::QtTextMeasurer>());
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
    window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
    auto root = std::make_shared<ui::ViewController>();
    auto view = root->view();
    view->setBackgroundColor(ui::colorWithHexString("f2f2f2"));
    for (int i = 0; i < 12; ++i) {
      auto row = std::make_shared<ui::View>(ui::Rect{0, 64 + i * 50.0, 375, 49.5});
      row->setBackgroundColor(ui::Color::white());
      view->addSubview(row);
      auto title = std::make_shared<ui::Label>(ui::Rect{15, 5, 250, 22});
      title->setText("联系人 " + std::to_string(i + 1) + " Contact");
      title->setFont(ui::Font::systemFont(16));
      row->addSubview(title);
      auto detail = std::make_shared<ui::Label>(ui::Rect{15, 27, 250, 18});
      detail->setText("138 0013 80" + std::to_string(10 + i));
      detail->setFont(ui::Font::systemFont(12));
      detail->setTextColor(ui::colorWithHexString("8e8e93"));
      row->addSubview(detail);
      auto button = std::make_shared<ui::Button>(ui::Rect{300, 10, 60, 30});
      button->setTitle(std::string("合并"));
      button->setTitleColor(ui::colorWithHexString("1c65c5"));
      row->addSubview(button);
    }
    auto pulse = lumora::LMSyncAnimationView::create({37.5, 180, 300, 300});
    pulse->setImage(pulse->imageWithAnimateProcess(0.3));
    view->addSubview(pulse);
    auto bar = lumora::LMCustomNavigationBar::create();
    bar->setFrame({0, 0, 375, 64});
    auto title = std::make_shared<ui::Label>();
    title->setText("3/12");
    bar->setTitleView(title);
    view->addSubview(bar);
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    lumora::LMProgressHUD::sharedHUD().showProgressWithTitle("正在下载照片", 4 << 20, ui::kOrientationMaskPortrait,
                                                             nullptr, nullptr);
    lumora::LMProgressHUD::sharedHUD().setProgressWithTotalBytesRead(3 << 20, 4 << 20);
    clock->advance(platform::seconds(1));
  }
};

RenderBenchScene& renderBenchScene() {
  static RenderBenchScene* scene = new RenderBenchScene();
  return *scene;
}

void BM_ScreenRender(benchmark::State& state) {
  renderBenchScene();
  platform::uiqt::Renderer renderer;
  for (auto _ : state) {
    QImage frame = renderer.renderScreen();
    benchmark::DoNotOptimize(frame.constBits());
  }
}

// The same primitives, flattened once into screen coordinates.
struct RenderBenchItem {
  ui::DisplayItem item;
  double dx, dy, alpha;
};

void flatten(ui::View& view, double x, double y, double alpha, std::vector<RenderBenchItem>& out) {
  if (view.isHidden()) return;
  alpha *= view.alpha();
  x += view.frame().x - view.bounds().x;
  y += view.frame().y - view.bounds().y;
  const ui::DisplayList list = view.displayList();
  for (const auto& item : list.items()) out.push_back({item, x, y, alpha});
  for (auto& child : view.subviews()) flatten(*child, x, y, alpha, out);
}

void BM_ScreenRender_Reference(benchmark::State& state) {
  renderBenchScene();
  std::vector<RenderBenchItem> items;
  for (auto& window : ui::Screen::main().windows()) {
    window->layoutIfNeeded();
    flatten(*window, 0, 0, 1, items);
  }
  // Images decoded and pictures rasterised once, as the renderer keeps them.
  std::map<const void*, QImage> images;
  platform::uiqt::Renderer rasteriser;
  for (auto& entry : items) {
    if (auto image = std::get_if<ui::DrawImage>(&entry.item)) {
      auto holder = std::make_shared<ui::ImageView>(*image->image);
      holder->setFrame({0, 0, image->image->size().width, image->image->size().height});
      images[image->image->identity()] = rasteriser.renderView(*holder, image->image->scale());
    }
  }
  QFont font = platform::uiqt::qtFont(ui::Font::systemFont(15));
  auto colour = [](const ui::Color& c) {
    return QColor::fromRgbF(static_cast<float>(c.red), static_cast<float>(c.green), static_cast<float>(c.blue),
                            static_cast<float>(c.alpha));
  };
  for (auto _ : state) {
    QImage frame(750, 1334, QImage::Format_ARGB32_Premultiplied);
    frame.setDotsPerMeterX(2835);
    frame.setDotsPerMeterY(2835);
    QPainter painter(&frame);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(2, 2);
    painter.fillRect(QRectF(0, 0, 375, 667), Qt::black);
    for (auto& entry : items) {
      painter.setOpacity(entry.alpha);
      QPointF at(entry.dx, entry.dy);
      if (auto f = std::get_if<ui::FillRect>(&entry.item)) {
        QRectF r = QRectF(f->rect.x, f->rect.y, f->rect.width, f->rect.height).translated(at);
        if (f->cornerRadius > 0) {
          painter.setPen(Qt::NoPen);
          painter.setBrush(colour(f->color));
          painter.drawRoundedRect(r, f->cornerRadius, f->cornerRadius);
        } else {
          painter.fillRect(r, colour(f->color));
        }
      } else if (auto t = std::get_if<ui::DrawText>(&entry.item)) {
        font.setPointSizeF(t->style.font.size);
        font.setBold(t->style.font.bold);
        painter.setFont(font);
        painter.setPen(colour(t->style.color));
        painter.drawText(QRectF(t->rect.x, t->rect.y, t->rect.width, t->rect.height).translated(at),
                         Qt::AlignVCenter | Qt::AlignLeft, QString::fromUtf8(t->text.c_str()));
      } else if (auto i = std::get_if<ui::DrawImage>(&entry.item)) {
        painter.drawImage(QRectF(i->rect.x, i->rect.y, i->rect.width, i->rect.height).translated(at),
                          images[i->image->identity()]);
      } else if (auto l = std::get_if<ui::Line>(&entry.item)) {
        painter.setPen(QPen(colour(l->color), l->lineWidth));
        painter.drawLine(QPointF(l->from.x, l->from.y) + at, QPointF(l->to.x, l->to.y) + at);
      }
    }
    painter.end();
    benchmark::DoNotOptimize(frame.constBits());
  }
}

}  // namespace

BENCHMARK(BM_ScreenRender)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_ScreenRender_Reference)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Paints the kit's views with QPainter: each view at its presentation frame
// and alpha, its transform about its centre, its background (rounded by its
// corner radius), its clip, its display list, then its subviews. Images
// from files and bitmaps are decoded once and kept while they are among the
// most recently drawn; recorded pictures are
// rasterised at their pixel size; stretchable images are drawn in nine
// parts by their cap insets. The screen is painted window by window, back to
// front, with the status bar (time and battery in the style the front
// controller asks for) on top. Pictures and rectangles that land on whole
// device pixels are copied and filled as pixels; a picture drawn one to one
// at the same fraction of a pixel off the grid twice running is resampled
// there once and then copied while it stays, so a grid of thumbnails
// scrolled by whole pixels does not resample.
//
// Ownership: a renderer keeps its image cache. Threading: the thread that
// owns the QGuiApplication. Failure: writing a PNG reports an Error.
#pragma once

#include <QImage>
#include <QPainter>
#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <memory>

#include "platform/Result.h"
#include "platform/ui/View.h"
#include "platform/ui/Window.h"

namespace platform::uiqt {

class Renderer {
 public:
  Renderer();

  // The whole screen at its profile's scale (pixels) times `pixelRatio`,
  // with the status bar, on a canvas (see QtGuiSupport.h).
  QImage renderScreen(double pixelRatio = 1);
  // The same at `pointScale` logical pixels a point (a window that shows
  // the phone larger or smaller than its own scale).
  QImage renderScreenScaled(double pointScale, double pixelRatio = 1);
  // One view tree (its frame's size) at `scale` on a transparent image.
  QImage renderView(ui::View& view, double scale);
  // Paints the screen into `painter`, whose unit is one point and whose
  // device is a canvas.
  void paintScreen(QPainter& painter);
  void paintView(QPainter& painter, ui::View& view, double parentAlpha);
  void paintList(QPainter& painter, const ui::DisplayList& list);

  // The screen drawn to a PNG file.
  Status writeScreenPNG(const std::filesystem::path& path);

  // Pictures held decoded now.
  std::size_t cachedImageCount() const { return images_.size(); }

 private:
  struct CachedImage;
  CachedImage& cachedFor(const ui::Image& image);
  void paintStatusBar(QPainter& painter);
  void drawStretched(QPainter& painter, const QRectF& target, const ui::Image& image);
  bool drawShifted(QPainter& painter, const QRectF& target, CachedImage& entry);

  // Decoded images by identity, the most recently drawn kept: at most
  // kMaxCachedImages of them and kMaxCachedPixels in all (a screen's worth
  // many times over), so scrolling through thousands of pictures holds a
  // bounded few. An entry whose owner expired is stale (the address may be
  // reused by a newer image) and is dropped.
  static constexpr std::size_t kMaxCachedImages = 256;
  static constexpr std::uint64_t kMaxCachedPixels = 32ull * 1024 * 1024;
  struct CachedImage {
    std::weak_ptr<const void> owner;
    QImage image;
    // The fraction of a device pixel off the pixel grid that the picture was
    // last drawn one to one at, and, from its second draw there on, the
    // picture resampled at it (counted in the pixels).
    QPointF shift;
    QImage shifted;
    std::list<const void*>::iterator recent;
  };
  void forget(std::map<const void*, CachedImage>::iterator entry);
  void trim();
  std::map<const void*, CachedImage> images_;
  std::list<const void*> recent_;  // most recently drawn first
  std::uint64_t cachedPixels_ = 0;
};

}  // namespace platform::uiqt

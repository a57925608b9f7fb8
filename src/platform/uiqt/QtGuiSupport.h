// What the renderer needs of Qt before it draws: one QGuiApplication for the
// process (made on first use when the program has none; the platform plugin
// comes from QT_QPA_PLATFORM, "offscreen" for tests), the app's font
// (WenQuanYi Micro Hei, loaded from its file by path, so Chinese text draws
// the same everywhere), fonts in points of the kit, and the images that text
// is measured and painted on. A font's point size becomes pixels by the
// resolution of the device it is used on; every device the kit's text meets
// is made by canvas() at kFontResolution, so a point is one logical pixel
// when text is measured and when it is painted, whatever the screen's DPI,
// QT_FONT_DPI or the platform plugin say (the window shows a canvas).
//
// Ownership: the application object lives until the process ends.
// Threading: the main thread. Failure: a missing font file falls back to
// Qt's default family (reported once on standard error).
#pragma once

#include <QFont>
#include <QImage>
#include <functional>
#include <string>

#include "platform/ui/TextMeasurer.h"

namespace platform::uiqt {

inline constexpr const char* kFontPath = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";

// Makes the QGuiApplication when there is none.
void ensureGuiApplication();
// Where Qt's notes go from now on (its debug, info and warning messages,
// such as remarks on the desktop it runs in); its critical and fatal
// messages still reach standard error.
void setQtNoteSink(std::function<void(const std::string& note)> sink);
// Hands a web address to the desktop's browser; false when none took it.
bool openInDesktopBrowser(const std::string& url);
// Runs Qt's event loop until the last window closes; its exit code.
int runEventLoop();
// The resolution of every image the kit's text is measured or painted on.
inline constexpr int kFontResolution = 72;

// The kit's font as a QFont (its size in points: logical pixels on a canvas).
QFont qtFont(const ui::Font& font);
// A transparent image `width` x `height` device pixels large at the font
// resolution, with `pixelRatio` device pixels per logical pixel.
QImage canvas(int width, int height, double pixelRatio = 1);
// The canvas that text is measured on.
const QImage& measuringDevice();
// How text of more than one line is broken, where it is measured and
// where it is painted.
inline constexpr int kWrappedTextFlags = Qt::TextWordWrap;

// Measures with the real font; installed as the kit's measurer by the
// window and the render tests.
class QtTextMeasurer final : public ui::TextMeasurer {
 public:
  ui::Size measure(const std::string& text, const ui::Font& font, double maxWidth, int maxLines) const override;
  double lineHeight(const ui::Font& font) const override;
};

}  // namespace platform::uiqt

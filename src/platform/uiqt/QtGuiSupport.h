// What the renderer needs of Qt before it draws: one QGuiApplication for the
// process (made on first use when the program has none; the platform plugin
// comes from QT_QPA_PLATFORM, "offscreen" for tests), the app's font
// (WenQuanYi Micro Hei, loaded from its file by path, so Chinese text draws
// the same everywhere), and fonts in points of the kit (1 point = 1 logical
// pixel of the painter).
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
// The kit's font as a QFont (size in logical pixels).
QFont qtFont(const ui::Font& font);
// A 72-dpi image for measuring, so that a point is a pixel.
const QImage& measuringDevice();

// Measures with the real font; installed as the kit's measurer by the
// window and the render tests.
class QtTextMeasurer final : public ui::TextMeasurer {
 public:
  ui::Size measure(const std::string& text, const ui::Font& font, double maxWidth, int maxLines) const override;
  double lineHeight(const ui::Font& font) const override;
};

}  // namespace platform::uiqt

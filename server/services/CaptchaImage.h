// The picture served for a captcha: its code written in dark digits on a
// light ground, kCaptchaPixelWidth x kCaptchaPixelHeight pixels (the
// sign-in screen shows it at two pixels a point), with two faint lines across so that it is no
// plain text. The digits come from a small bitmap font of our own, each
// glyph cell drawn as a square block, every digit a little higher or lower
// than its neighbour. Characters other than the digits are left blank.
// The expected text is kept by the Store and read through the admin API.
//
// Stateless, safe from any thread. Failure: an empty string when the PNG
// encoder fails.
#pragma once

#include <string>

namespace localcloud {

inline constexpr int kCaptchaPixelWidth = 210;
inline constexpr int kCaptchaPixelHeight = 72;

std::string captchaImagePng(const std::string& code);

}  // namespace localcloud

// The picture served for a captcha: a fixed small grey PNG (the expected
// text is kept by the Store and read through the admin API). The bytes are
// one immutable static, safe from any thread; nothing can fail.
#pragma once

#include <string>

namespace localcloud {

const std::string& captchaImagePng();

}  // namespace localcloud

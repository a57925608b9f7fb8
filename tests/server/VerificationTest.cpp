#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <vector>

#include <vips/vips8>

#include "ServerFixture.h"
#include "server/services/CaptchaImage.h"

namespace servertest {
namespace {

using localcloud::AccountOptions;

class Verification : public ServerTest {
 protected:
  // Seeds an account (password "pw") that needs phone verification on
  // `phone` ("" = none bound).
  bool seedPhoneAccount(std::int64_t userId, const std::string& name, const std::string& phone) {
    AccountOptions options;
    options.needsPhoneVerification = true;
    options.phone = phone;
    return server_->seedAccount(userId, name, "pw", options);
  }
  // Seeds an account (password "pw") whose logins want the code "246810".
  bool seedTwoStepAccount(std::int64_t userId, const std::string& name) {
    AccountOptions options;
    options.needsTwoStep = true;
    options.twoStepCode = "246810";
    return server_->seedAccount(userId, name, "pw", options);
  }
  Reply sendTicket(const std::string& user, Device* device = nullptr) {
    return post("/auth/sendPhoneTicket", {{"user", user}, {"_json", "true"}}, device);
  }
  Reply verify(const std::string& user, const std::string& ticket, Device* device = nullptr) {
    return post("/auth/verifyPhone",
                {{"user", user}, {"ticket", ticket}, {"trust", "false"}, {"_json", "true"}},
                device);
  }
  // The two-step form answering the 81003 reply `from`.
  static httplib::Params stepTwoForm(const Reply& from, const std::string& user,
                                     const std::string& code, const std::string& trust) {
    return {{"user", user},
            {"sid", from.json["sid"]},
            {"callback", from.json["callback"]},
            {"qs", from.json["qs"]},
            {"_sign", from.json["_sign"]},
            {"code", code},
            {"trust", trust},
            {"_json", "true"}};
  }
  // Sends the same request from 8 threads at once; how many got code 0.
  static int successesOfEight(const std::function<Reply()>& send) {
    std::vector<std::future<Reply>> replies;
    for (int i = 0; i < 8; ++i) replies.push_back(std::async(std::launch::async, send));
    int successes = 0;
    for (auto& reply : replies) successes += reply.get().code() == 0 ? 1 : 0;
    return successes;
  }
};

TEST_F(Verification, CaptchaIsDemandedFetchedAndChecked) {
  AccountOptions options;
  options.needsCaptcha = true;
  ASSERT_TRUE(server_->seedAccount(2001, "carol", "pw", options));
  Device device;
  Reply page = serviceLogin(device);
  Reply first = passwordStep(device, page, "carol", {{"pwd", "pw"}});
  ASSERT_EQ(first.code(), 87001);
  std::string captchaUrl = first.json["captchaUrl"];
  ASSERT_EQ(captchaUrl.rfind("/", 0), 0u);
  for (const char* key : {"sid", "qs", "_sign", "callback"}) EXPECT_TRUE(first.json.contains(key));

  Reply image = get(captchaUrl, &device);
  ASSERT_EQ(image.status, 200);
  EXPECT_EQ(image.body.substr(1, 3), "PNG");
  ASSERT_EQ(image.cookies.count("ick"), 1u);
  auto code = server_->captchaCode(device.cookies["ick"]);
  ASSERT_TRUE(code);

  // A wrong code uses the captcha up: the right code no longer helps.
  EXPECT_EQ(passwordStep(device, page, "carol", {{"pwd", "pw"}, {"captCode", "00000x"}}).code(),
            87001);
  EXPECT_EQ(passwordStep(device, page, "carol", {{"pwd", "pw"}, {"captCode", *code}}).code(),
            87001);

  get(captchaUrl, &device);
  code = server_->captchaCode();  // the newest one, as the admin API gives it
  ASSERT_TRUE(code);
  // The captcha is checked before the password, and used up by the attempt.
  EXPECT_EQ(passwordStep(device, page, "carol", {{"pwd", "bad"}, {"captCode", *code}}).code(),
            70016);
  get(captchaUrl, &device);
  Reply ok = passwordStep(device, page, "carol",
                          {{"pwd", "pw"}, {"captCode", *server_->captchaCode()}});
  EXPECT_EQ(ok.code(), 0) << ok.body;
}

// The picture shows its code: a digit wherever the code has one, each
// digit as its own mark, at a size the sign-in screen shows readably.
TEST_F(Verification, CaptchaPictureDrawsItsDigitsLegibly) {
  ASSERT_EQ(vips_init("server-tests"), 0);
  // The columns of dark ink, as runs: one run per digit.
  const auto inkRuns = [](const std::string& png, int* width, int* height) {
    vips::VImage image = vips::VImage::new_from_buffer(png.data(), png.size(), "").colourspace(VIPS_INTERPRETATION_B_W);
    *width = image.width();
    *height = image.height();
    std::size_t size = 0;
    auto* pixels = static_cast<unsigned char*>(image.write_to_memory(&size));
    int runs = 0;
    bool inRun = false;
    for (int x = 0; x < *width; ++x) {
      bool ink = false;
      for (int y = 0; y < *height; ++y) ink = ink || pixels[static_cast<std::size_t>(y * *width + x)] < 100;
      runs += ink && !inRun ? 1 : 0;
      inRun = ink;
    }
    g_free(pixels);
    return runs;
  };

  ASSERT_TRUE(server_->seedAccount(2005, "erin", "pw", [] {
    AccountOptions options;
    options.needsCaptcha = true;
    return options;
  }()));
  Device device;
  Reply page = serviceLogin(device);
  Reply first = passwordStep(device, page, "erin", {{"pwd", "pw"}});
  Reply served = get(first.json["captchaUrl"], &device);
  ASSERT_EQ(served.status, 200);
  int width = 0, height = 0;
  EXPECT_EQ(inkRuns(served.body, &width, &height), 5);
  EXPECT_GE(width, 200);  // 100 x 30 points or more at two pixels a point
  EXPECT_GE(height, 60);

  std::vector<std::string> pictures;
  for (char digit = '0'; digit <= '9'; ++digit) {
    pictures.push_back(localcloud::captchaImagePng(std::string(5, digit)));
    EXPECT_EQ(inkRuns(pictures.back(), &width, &height), 5) << digit;
    for (std::size_t i = 0; i + 1 < pictures.size(); ++i) EXPECT_NE(pictures[i], pictures.back()) << digit;
  }
}

TEST_F(Verification, TwoStepCodeCompletesTheLoginAndTrustSkipsItLater) {
  ASSERT_TRUE(seedTwoStepAccount(2002, "dave"));
  Device device;
  device.cookies["deviceId"] = "PHONE-A";
  Reply step = passwordLogin(device, "dave", "pw");
  ASSERT_EQ(step.code(), 81003) << step.body;

  auto step2 = [&](const Reply& from, const std::string& code, const std::string& trust,
                   const std::string& user = "dave") {
    return post("/pass/loginStep2", stepTwoForm(from, user, code, trust), &device);
  };
  Reply wrong = step2(step, "111111", "false");
  EXPECT_EQ(wrong.code(), 81003);
  EXPECT_EQ(step2(step, "246810", "maybe").status, 400);
  EXPECT_EQ(step2(step, "246810", "true", "someone-else").code(), 70016);
  // The qs of the plain login page names no pending step.
  Reply page = serviceLogin(device);
  EXPECT_EQ(step2(page, "246810", "true").code(), 70016);

  Reply done = step2(wrong, "246810", "true");
  ASSERT_EQ(done.code(), 0) << done.body;
  EXPECT_EQ(done.json["userId"], 2002);
  EXPECT_EQ(serviceTokenStep(device, done).code(), 0);
  EXPECT_EQ(step2(step, "246810", "true").code(), 70016);  // the step is over

  // The trusted device skips the code; another device does not.
  EXPECT_EQ(passwordLogin(device, "dave", "pw").code(), 0);
  Device other;
  other.cookies["deviceId"] = "PHONE-B";
  EXPECT_EQ(passwordLogin(other, "dave", "pw").code(), 81003);
}

TEST_F(Verification, PhoneTicketAndVerifyLeadToALogin) {
  ASSERT_TRUE(seedPhoneAccount(2003, "erin", "13812345678"));
  Device device;
  Reply reply = passwordLogin(device, "erin", "pw");
  ASSERT_EQ(reply.code(), 0) << reply.body;
  EXPECT_EQ(reply.json["phone"], "138******78");
  EXPECT_EQ(reply.json["notificationUrl"].get<std::string>().rfind("/pass/notification?t=", 0),
            0u);
  EXPECT_FALSE(reply.json.contains("passToken"));
  EXPECT_FALSE(reply.json.contains("location"));

  auto verify = [&](const std::string& ticket) { return this->verify("erin", ticket, &device); };
  EXPECT_EQ(verify("000000").code(), 70014);  // nothing sent yet
  Reply sent = sendTicket("erin", &device);
  ASSERT_EQ(sent.code(), 0);
  auto ticket = server_->phoneTicket("erin");
  ASSERT_TRUE(ticket);
  EXPECT_EQ(verify(*ticket == "000000" ? "000001" : "000000").code(), 70014);

  Reply verified = verify(*ticket);
  ASSERT_EQ(verified.code(), 0);
  std::string location = verified.json["location"];
  ASSERT_EQ(location.rfind("/auth/service?", 0), 0u);
  EXPECT_EQ(get(location).status, 400);  // without _json
  Reply login = get(location + "&_json=true", &device);
  ASSERT_EQ(login.code(), 0) << login.body;
  EXPECT_EQ(login.json["userId"], 2003);
  EXPECT_EQ(serviceTokenStep(device, login).code(), 0);
  EXPECT_EQ(get(location + "&_json=true").code(), 70016);  // used once

  EXPECT_EQ(sendTicket("ghost").code(), 20003);
  EXPECT_EQ(sendTicket("erin").code(), 70016);
}

TEST_F(Verification, AVerifiedStepStillWantsItsCode) {
  ASSERT_TRUE(seedPhoneAccount(2010, "lee", "13812345678"));
  Device device;
  ASSERT_EQ(passwordLogin(device, "lee", "pw").code(), 0);
  ASSERT_EQ(sendTicket("lee").code(), 0);
  auto ticket = server_->phoneTicket("lee");
  ASSERT_TRUE(ticket);
  ASSERT_EQ(verify("lee", *ticket).code(), 0);
  // Knowing the user name is not enough to learn where the login waits.
  std::string wrongCode = *ticket == "000000" ? "000001" : "000000";
  Reply guessed = verify("lee", wrongCode);
  EXPECT_EQ(guessed.code(), 70014);
  EXPECT_FALSE(guessed.json.contains("location"));
  EXPECT_EQ(verify("lee", *ticket).code(), 0);  // the client may repeat its own request
}

TEST_F(Verification, RacingRequestsFinishAStepOnlyOnce) {
  ASSERT_TRUE(seedTwoStepAccount(2008, "jo"));
  Device device;
  Reply step = passwordLogin(device, "jo", "pw");
  ASSERT_EQ(step.code(), 81003) << step.body;
  httplib::Params form = stepTwoForm(step, "jo", "246810", "false");
  EXPECT_EQ(successesOfEight([&] { return post("/pass/loginStep2", form); }), 1);

  ASSERT_TRUE(seedPhoneAccount(2009, "kit", "13812345678"));
  ASSERT_EQ(passwordLogin(device, "kit", "pw").code(), 0);
  EXPECT_EQ(successesOfEight([&] { return sendTicket("kit"); }), 5);  // the limit holds
  auto ticket = server_->phoneTicket("kit");
  ASSERT_TRUE(ticket);
  Reply verified = verify("kit", *ticket);
  ASSERT_EQ(verified.code(), 0);
  std::string location = verified.json["location"].get<std::string>() + "&_json=true";
  EXPECT_EQ(successesOfEight([&] { return get(location); }), 1);
}

TEST_F(Verification, PhoneTicketLimitsAndMissingPhone) {
  ASSERT_TRUE(seedPhoneAccount(2004, "frank", "13800000000"));
  ASSERT_TRUE(seedPhoneAccount(2005, "gina", ""));
  Device device;
  ASSERT_EQ(passwordLogin(device, "frank", "pw").code(), 0);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(sendTicket("frank").code(), 0);
  }
  EXPECT_EQ(sendTicket("frank").code(), 70022);

  Reply noPhone = passwordLogin(device, "gina", "pw");
  ASSERT_EQ(noPhone.code(), 0);
  EXPECT_FALSE(noPhone.json.contains("phone"));
  EXPECT_EQ(sendTicket("2005").code(), 66108);
}

TEST_F(Verification, NotificationPageEndsWithLoginCookiesForARelogin) {
  ASSERT_TRUE(seedPhoneAccount(2006, "hank", "13812345678"));
  Device device;
  Reply reply = passwordLogin(device, "hank", "pw");
  std::string pageUrl = reply.json["notificationUrl"];
  std::string ticketParam = pageUrl.substr(pageUrl.find("t=") + 2);

  Reply page = get(pageUrl, &device);
  ASSERT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("138******78"), std::string::npos);
  post("/pass/notification/send", {{"t", ticketParam}}, &device);
  auto code = server_->phoneTicket("hank");
  ASSERT_TRUE(code);
  Reply wrong = post("/pass/notification/verify", {{"t", ticketParam}, {"ticket", "x"}}, &device);
  EXPECT_EQ(wrong.cookies.count("passInfo"), 0u);

  Reply done = post("/pass/notification/verify", {{"t", ticketParam}, {"ticket", *code}}, &device);
  EXPECT_EQ(done.cookies["passInfo"], "login-end");
  EXPECT_EQ(done.cookies["userId"], "2006");
  ASSERT_FALSE(done.cookies["passToken"].empty());
  EXPECT_FALSE(done.cookies["cUserId"].empty());

  // The page's pass token signs the user in with a relogin.
  Reply relogin = serviceLogin(device);
  ASSERT_EQ(relogin.code(), 0) << relogin.body;
  EXPECT_EQ(serviceTokenStep(device, relogin).code(), 0);
  EXPECT_NE(get(pageUrl).body.find("ended"), std::string::npos);
}

TEST_F(Verification, WebLoginPageSetsLoginEndCookies) {
  ASSERT_TRUE(server_->seedAccount(2007, "iris", "pw"));
  Reply page = get("/pass/serviceLogin?sid=lumora&callback=" + enc(host() + "/sts?sid=lumora"));
  ASSERT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<form"), std::string::npos);
  Device device;
  Reply wrong = post("/pass/webLogin", {{"sid", "lumora"}, {"user", "iris"}, {"password", "x"}},
                     &device);
  EXPECT_EQ(wrong.cookies.count("passInfo"), 0u);
  Reply done = post("/pass/webLogin", {{"sid", "lumora"}, {"user", "iris"}, {"password", "pw"}},
                    &device);
  EXPECT_EQ(done.cookies["passInfo"], "login-end");
  EXPECT_EQ(serviceLogin(device).code(), 0);
}

}  // namespace
}  // namespace servertest

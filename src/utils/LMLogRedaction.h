// What log lines may show of values that can carry secrets. Tokens, keys,
// passwords and session cookie values never go into a log line at any level,
// nor into the console's dumps; everything else a line holds stays readable.
//
// A secret is found by the name it goes under: the exact field names this
// system and its cloud use for secrets, compared ignoring case, "-" and "_"
// ("passToken", "pass_token" and "PASS-TOKEN" are one name), never by a part
// of a name ("key" of a statistics event, "signal", "keyboard", "sign_up",
// "monkey" or "tokenizer" stay shown):
//   tokens      token, passToken, serviceToken, accessToken, refreshToken,
//               apptoken, devicetoken, beta_token, beta_tester_token,
//               passport_ca_token, CATOKEN, X-Blackbox-Beta-Token,
//               X-Blackbox-Developer-Token and the push and passport
//               settings that store them;
//   keys        ssecurity, psecurity, casecurity, security, secret, regsecret,
//               secretIOS, secretAndroid, KoSDKAppSecretIOS/ANDROID,
//               KoSDKAppKey, app_key, api_key, X-Blackbox-API-Key,
//               secure_key, ckey, ckeyhint;
//   passwords   password, passwd, pwd and hash (a password's digest);
//   signatures  sign, _sign, sig, signature, clientSign, _caSign;
//   others      ticket, credential(s), authorization, cookie, set-cookie and
//               ick (the captcha session cookie).
// In URL-encoded parameters (a link's query or fragment, a form body) two
// more names are secrets: "t" (a pending sign-in step's ticket) and "code"
// (a one-time or authorization code); in JSON they are a time and a result
// code and stay shown.
//
// Each function keeps the text's shape and puts kLMLogHidden in the place of
// a secret value:
//   - LMLoggableJSON: the value of each secret-named member at any depth (the
//     whole value, object or not); a string that is a link goes through
//     LMLoggableURL and a string that is itself JSON object or array text is
//     redacted within and stays a string (unchanged when nothing in it is
//     secret);
//   - LMLoggableURL: secret-named query and fragment parameters, and the
//     password of a "user:password@" part; a parameter's value that is a
//     link or JSON text is redacted within (and percent-encoded again);
//   - LMLoggableForm: "a=1&password=x" form bodies, as the query;
//   - LMLoggableCookieHeader: a Cookie or Set-Cookie field ("Cookie: a=1;
//     passToken=x", with or without its name), the values of secret-named
//     cookies (attributes stay; Set-Cookie fields joined by "," too).
// LMLoggableLink is for a link that is itself the secret (a temporary
// download address); LMLoggableJSON shows a "tmpUrl" member (the cloud's
// temporary address of a file) that way. Stateless; any thread; never
// throws.
#pragma once

#include <string>
#include <string_view>

#include "platform/Error.h"

namespace lumora {

// What a log line shows in the place of a secret.
inline constexpr const char* kLMLogHidden = "(hidden)";

std::string LMLoggableURL(std::string_view url);
// A link that is itself the secret (a temporary download address): without
// its query, fragment and last path segment, and without a password.
std::string LMLoggableLink(std::string_view url);
platform::Json LMLoggableJSON(const platform::Json& value);
// LMLoggableJSON as one line of text (invalid UTF-8 replaced, the C1 and
// bidirectional controls written as JSON escapes: platform::printableJsonText).
std::string LMLoggableJSONText(const platform::Json& value);
// An application/x-www-form-urlencoded body.
std::string LMLoggableForm(std::string_view body);
// A Cookie or Set-Cookie field, its name included or not.
std::string LMLoggableCookieHeader(std::string_view field);

}  // namespace lumora

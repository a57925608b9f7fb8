// Query-string serialisation of parameter dictionaries: the name/value pairs
// of a (possibly nested) JSON object and their percent-escaped text, used for
// the query and form body of signed requests.
//
// Order: object keys ascending by plain byte comparison; a nested object
// contributes pairs named "outer[inner]", an array pairs named "outer[]" in
// element order. Escaping: every byte of the encoded text except letters,
// digits and "-._~" becomes "%XX" (upper-case hex); names additionally keep
// "[" and "]". A value that is null gives the escaped name alone.
//
// Plain values and stateless functions; any thread. Text that the encoding
// cannot represent is escaped from its UTF-8 bytes instead.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cloud/request/LMStringEncoding.h"
#include "platform/Error.h"

namespace lumora {

class LMQueryStringPair {
 public:
  LMQueryStringPair(std::string field, platform::Json value);

  const std::string& field() const { return field_; }
  const platform::Json& value() const { return value_; }

  // "name=value" escaped in `encoding`, or the escaped name alone when the
  // value is null.
  std::string URLEncodedStringValueWithEncoding(LMStringEncoding encoding = kLMUTF8StringEncoding) const;

 private:
  std::string field_;
  platform::Json value_;
};

// The text form of a leaf value: strings as they are, integers in decimal,
// booleans "1"/"0", other numbers in their shortest form; empty for null.
std::string LMQueryStringValueText(const platform::Json& value);

std::string LMPercentEscapedQueryStringKeyFromStringWithEncoding(
    std::string_view text, LMStringEncoding encoding = kLMUTF8StringEncoding);
std::string LMPercentEscapedQueryStringValueFromStringWithEncoding(
    std::string_view text, LMStringEncoding encoding = kLMUTF8StringEncoding);

// The pairs of a parameter object (any other value gives one pair named by
// `key`, or none for a bare scalar without a key).
std::vector<LMQueryStringPair> LMQueryStringPairsFromDictionary(const platform::Json& dictionary);
std::vector<LMQueryStringPair> LMQueryStringPairsFromKeyAndValue(const std::string& key,
                                                                 const platform::Json& value);

// The pairs' escaped texts joined with "&".
std::string LMQueryStringFromParametersWithEncoding(const platform::Json& parameters,
                                                    LMStringEncoding encoding = kLMUTF8StringEncoding);

}  // namespace lumora

// The checks of the statistics service's usage and network-sample forms.
//
// "/kostats": "app_id", "app_key", "device_id", "version" non-empty,
// "channel" non-empty when present; "stat_value" a JSON array of day
// packages {"content": [categories], "startTS", "endTS"} (whole
// milliseconds, start not after end). A category is "kostat_pv" {"index":
// names, "values": texts}, or {"category", "values": [items]} where
// "kostat_session" items carry whole-millisecond "start" and "end" and all
// other items (basic "kostat_basic" and custom categories) carry "key",
// "type" (property, numeric, event, count) and "value" texts, and
// optionally a "params" object.
//
// "/realtime_network": "app_id", "app_key", "app_package", "device_uuid",
// "app_version" non-empty; "app_channel", "device_model", "device_os"
// either all absent (no channel) or all non-empty; "time" whole
// milliseconds; "net_value" a JSON array of {"url", "data": [samples]},
// each sample with integer "cost" and "code", a numeric "t" and, when
// present, non-empty "net", "dns" and "exception" texts.
//
// Stateless; any thread. Failures: the reason as text.
#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace localcloud {

using FormFields = std::vector<std::pair<std::string, std::string>>;

// Why the form is refused; nullopt when it passes.
std::optional<std::string> statsFormProblem(const FormFields& fields);
std::optional<std::string> networkFormProblem(const FormFields& fields);

}  // namespace localcloud

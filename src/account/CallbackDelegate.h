// The shared body of the delegates made of callbacks
// (KPPassportRequestDelegateInterface, KPSessionDelegateInterface): a
// delegate protocol whose listed hooks each forward to one callback fixed at
// construction, in the order the hooks are listed. An unset callback makes
// its message a no-op; the hook itself is always set, so the delegate
// answers every listed message.
//
// Ownership: the object owns its callbacks; the hooks refer to the object,
// so it is neither copied nor moved. Threading: callbacks run on the thread
// the message arrives on; nothing changes after construction. Failures:
// none of its own.
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

namespace lumora {

template <class Protocol, auto... Hooks>
class CallbackDelegate : public Protocol {
 public:
  // The callback type of one hook (the hook's own function type).
  template <auto Hook>
  using Block = std::remove_cvref_t<decltype(std::declval<Protocol&>().*Hook)>;

  explicit CallbackDelegate(Block<Hooks>... blocks) : blocks_(std::move(blocks)...) {
    wire(std::index_sequence_for<decltype(Hooks)...>{});
  }
  CallbackDelegate(const CallbackDelegate&) = delete;
  CallbackDelegate& operator=(const CallbackDelegate&) = delete;

 protected:
  // The callback behind the I-th listed hook.
  template <std::size_t I>
  const auto& block() const {
    return std::get<I>(blocks_);
  }

 private:
  template <std::size_t... I>
  void wire(std::index_sequence<I...>) {
    ((this->*Hooks = [this](const auto&... args) {
       if (const auto& callback = std::get<I>(blocks_)) callback(args...);
     }),
     ...);
  }

  const std::tuple<Block<Hooks>...> blocks_;
};

}  // namespace lumora

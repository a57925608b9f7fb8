// Replaceable implementations of ViewController's own viewDidAppear and
// viewDidDisappear (what a subclass reaches by calling the base class), so
// that a library can hook every controller's appearance the way the phone
// platform's object runtime lets it replace a method: install a new
// implementation, keep the one it replaced to call it, put that one back.
// Ownership: two process-wide slots of plain function pointers. Threading:
// any thread (atomic slots); the implementations run on the main thread.
// Failure: none; a null implementation puts back the built-in one.
#pragma once

namespace platform::ui {

class ViewController;

using AppearanceImplementation = void (*)(ViewController& receiver, bool animated);

enum class AppearanceMethod { ViewDidAppear, ViewDidDisappear };

// The implementation the base class runs now (the built-in one does nothing).
AppearanceImplementation appearanceImplementation(AppearanceMethod method);
// Installs `implementation` and returns the one it replaced.
AppearanceImplementation replaceAppearanceImplementation(AppearanceMethod method,
                                                         AppearanceImplementation implementation);

}  // namespace platform::ui

// The common frame of the contacts screens that list rows under a prompt
// line: the prompt label (numLabel) across the top, the table below it, the
// screen's look (no row selection, no separators, background "efeff4"), the
// image back item on the left, portrait only, the default status bar.
//
// Ownership: a controller made with std::make_shared; it is its table's data
// source and delegate (held weakly by the table). Threading: main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/Label.h"
#include "platform/ui/TableView.h"
#include "platform/ui/ViewController.h"

namespace lumora {

class LMTableViewController : public platform::ui::ViewController,
                              public platform::ui::TableViewDataSource,
                              public platform::ui::TableViewDelegate {
 public:
  static constexpr double kPromptHeight = 36;

  const std::shared_ptr<platform::ui::TableView>& tableView() {
    loadViewIfNeeded();
    return tableView_;
  }
  const std::shared_ptr<platform::ui::Label>& numLabel() {
    loadViewIfNeeded();
    return numLabel_;
  }

  void loadView() override;
  // Screens without a prompt line give the table the whole view.
  virtual bool showsPrompt() const { return true; }
  void viewDidLoad() override;
  platform::ui::StatusBarStyle preferredStatusBarStyle() const override {
    return platform::ui::StatusBarStyle::Default;
  }
  unsigned supportedInterfaceOrientations() const override { return platform::ui::kOrientationMaskPortrait; }
  bool shouldAutorotate() const override { return false; }

 protected:
  // The back item: the image "返回按钮.png", running `action` on this screen.
  template <class T>
  void setBackItem(void (T::*action)()) {
    std::weak_ptr<T> weak = std::static_pointer_cast<T>(shared_from_this());
    navigationItem().leftBarButtonItem = backItem([weak, action] {
      if (auto self = weak.lock()) ((*self).*action)();
    });
  }
  template <class T>
  void setRightItem(const std::string& title, void (T::*action)()) {
    std::weak_ptr<T> weak = std::static_pointer_cast<T>(shared_from_this());
    navigationItem().rightBarButtonItem = platform::ui::BarButtonItem{title, [weak, action] {
      if (auto self = weak.lock()) ((*self).*action)();
    }};
  }

 public:
  // The back item of a pushed screen (also the person cards').
  static platform::ui::BarButtonItem backItem(std::function<void()> action);

 private:
  std::shared_ptr<platform::ui::TableView> tableView_;
  std::shared_ptr<platform::ui::Label> numLabel_;
};

}  // namespace lumora

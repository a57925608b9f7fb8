#include "screens/contacts/LMTableViewController.h"

#include "platform/ui/Color.h"
#include "platform/ui/Image.h"
#include "platform/ui/Window.h"

namespace lumora {

namespace ui = platform::ui;

void LMTableViewController::loadView() {
  ui::Rect screen = ui::Screen::main().bounds();
  auto root = std::make_shared<ui::View>(ui::Rect{0, 0, screen.width, screen.height});
  root->setBackgroundColor(ui::colorWithHexString("efeff4"));
  double prompt = showsPrompt() ? kPromptHeight : 0;
  numLabel_ = std::make_shared<ui::Label>(ui::Rect{15, 0, screen.width - 30, prompt});
  numLabel_->setFont(ui::Font::systemFont(13));
  numLabel_->setHidden(!showsPrompt());
  numLabel_->setAutoresizingMask(ui::kAutoresizingFlexibleWidth);
  // The table fills the rest of the view whatever the navigation controller
  // makes of it (the room below its bar), so its last row can be shown.
  tableView_ = std::make_shared<ui::TableView>(ui::Rect{0, prompt, screen.width, screen.height - prompt});
  tableView_->setAutoresizingMask(ui::kAutoresizingFlexibleWidth | ui::kAutoresizingFlexibleHeight);
  tableView_->setBackgroundColor(ui::colorWithHexString("efeff4"));
  setView(root);
  root->addSubview(numLabel_);
  root->addSubview(tableView_);
  setOutlet("numLabel", numLabel_);
}

void LMTableViewController::viewDidLoad() {
  ViewController::viewDidLoad();
  auto self = std::dynamic_pointer_cast<LMTableViewController>(shared_from_this());
  tableView_->setDataSource(std::weak_ptr<ui::TableViewDataSource>(self));
  tableView_->setDelegate(std::weak_ptr<ui::TableViewDelegate>(self));
  numLabel_->setTextColor(ui::colorWithHexString("6d6d72"));
  navigationItem().title = title().value_or("");
}

ui::BarButtonItem LMTableViewController::backItem(std::function<void()> action) {
  return ui::BarButtonItem{"", std::move(action), ui::Image::imageNamed("返回按钮.png")};
}

}  // namespace lumora

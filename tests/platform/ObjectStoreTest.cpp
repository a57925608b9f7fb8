// The object store: additive migration of an older file, a private child
// saving through the main context into the file (fetches see every unsaved
// layer), cascading deletion, rollback, and the fetched-results controller's
// reports after each save.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/MainQueue.h"
#include "platform/storage/FetchedResultsController.h"
#include "platform/storage/ManagedObjectContext.h"
#include "platform/storage/PersistentStoreCoordinator.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace {

using namespace platform::objectstore;
using platform::Result;

std::shared_ptr<const ObjectModel> objectStoreTestModel(bool withImages = true) {
  EntityDescription folder{"Folder", {{"name", AttributeType::String}, {"rank", AttributeType::Integer}}, {}, {}};
  if (!withImages) return std::make_shared<const ObjectModel>(std::vector<EntityDescription>{folder});
  folder.attributes.push_back({"opened", AttributeType::Date});
  folder.relationships.push_back({"items", "Item", "folder", true, DeleteRule::Cascade});
  EntityDescription item{"Item", {{"name", AttributeType::String}, {"rank", AttributeType::Integer}},
                         {{"folder", "Folder", "items", false, DeleteRule::Nullify}}, {}};
  return std::make_shared<const ObjectModel>(std::vector<EntityDescription>{folder, item});
}

FetchRequest objectStoreTestItems(Predicate predicate = {}) {
  return FetchRequest{"Item", std::move(predicate), {{"rank", true}}, 0, {}};
}

std::vector<std::string> objectStoreTestNames(const platform::Result<std::vector<std::shared_ptr<ManagedObject>>>& objects) {
  std::vector<std::string> names;
  if (!objects) return {"<error>"};
  for (const auto& object : *objects) names.push_back(object->stringForKey("name").value_or("?"));
  return names;
}

class ObjectStoreTest : public ::testing::Test {
 protected:
  ObjectStoreTest() { platform::MainQueue::main().bindToCurrentThread(); }

  std::shared_ptr<ManagedObjectContext> mainContext(const std::shared_ptr<const ObjectModel>& model) {
    auto coordinator = PersistentStoreCoordinator::open(model, file);
    EXPECT_TRUE(coordinator) << coordinator.error().description();
    auto context = ManagedObjectContext::make(ConcurrencyType::MainQueue);
    context->setPersistentStoreCoordinator(*coordinator);
    return context;
  }
  // Runs `block` on a private child of `parent` while the test pumps the
  // main queue, as a worker would.
  void onChild(const std::shared_ptr<ManagedObjectContext>& parent,
               const std::function<void(ManagedObjectContext&)>& block) {
    auto child = ManagedObjectContext::make(ConcurrencyType::PrivateQueue);
    child->setParentContext(parent);
    bool done = false;
    child->perform([&] {
      block(*child);
      platform::MainQueue::main().async([&] { done = true; });
    });
    ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return done; },
                                                     testsupport::scaled(std::chrono::seconds(10))));
  }

  testsupport::TestHome home;
  std::filesystem::path file = home.root() / "objects.sqlite";
};

TEST_F(ObjectStoreTest, OlderFilesMigrateAdditivelyAndForeignFilesAreRefused) {
  {
    auto old = mainContext(objectStoreTestModel(false));
    auto folder = old->insertNewObjectForEntityForName("Folder");
    folder->setString("name", "kept");
    ASSERT_TRUE(old->save());
  }
  auto context = mainContext(objectStoreTestModel());
  auto folders = context->executeFetchRequest(FetchRequest{"Folder", {}, {}, 0, {}});
  EXPECT_EQ(objectStoreTestNames(folders), std::vector<std::string>{"kept"});
  EXPECT_FALSE(folders->front()->dateForKey("opened")) << "a new attribute starts empty";
  auto item = context->insertNewObjectForEntityForName("Item");
  item->setObjectForKey("folder", folders->front());
  ASSERT_TRUE(context->save());
  EXPECT_GT(item->objectID(), folders->front()->objectID()) << "ids go on after the stored ones";

  const std::filesystem::path foreign = home.root() / "foreign.sqlite";
  std::ofstream(foreign) << std::string(4096, 'x');
  auto refused = PersistentStoreCoordinator::open(objectStoreTestModel(), foreign);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().domain(), kObjectStoreErrorDomain);
}

TEST_F(ObjectStoreTest, ChildChangesReachTheFileThroughTheMainContext) {
  auto main = mainContext(objectStoreTestModel());
  onChild(main, [](ManagedObjectContext& child) {
    auto folder = child.insertNewObjectForEntityForName("Folder");
    folder->setString("name", "trips");
    for (int i = 3; i > 0; --i) {
      auto item = child.insertNewObjectForEntityForName("Item");
      item->setString("name", "item" + std::to_string(i));
      item->setInteger("rank", i);
      item->setObjectForKey("folder", folder);
    }
    // Unsaved: found through the relationship's key path, sorted.
    EXPECT_EQ(objectStoreTestNames(child.executeFetchRequest(objectStoreTestItems(Predicate::equal("folder.name", "trips")))),
              (std::vector<std::string>{"item1", "item2", "item3"}));
    ASSERT_TRUE(child.save());
  });
  ASSERT_TRUE(main->hasChanges()) << "the child saved into the main context only";
  onChild(main, [](ManagedObjectContext& child) {
    // A later child sees the main context's unsaved changes.
    auto items = child.executeFetchRequest(objectStoreTestItems(Predicate::equal("rank", std::int64_t{2})));
    ASSERT_EQ(objectStoreTestNames(items), std::vector<std::string>{"item2"});
    items->front()->setInteger("rank", 9);
    child.deleteObject(child.executeFetchRequest(objectStoreTestItems(Predicate::equal("rank", std::int64_t{1})))->front());
    ASSERT_TRUE(child.save());
  });
  ASSERT_TRUE(main->save());
  auto reopened = mainContext(objectStoreTestModel());
  EXPECT_EQ(objectStoreTestNames(reopened->executeFetchRequest(objectStoreTestItems())),
            (std::vector<std::string>{"item3", "item2"}));

  // Deleting the folder takes its items along (saved or not), in memory and
  // in the file; a rollback brings everything back.
  auto folder = reopened->executeFetchRequest(FetchRequest{"Folder", {}, {}, 0, {}})->front();
  auto extra = reopened->insertNewObjectForEntityForName("Item");
  extra->setObjectForKey("folder", folder);
  reopened->deleteObject(folder);
  EXPECT_TRUE(reopened->executeFetchRequest(objectStoreTestItems())->empty());
  reopened->rollback();
  EXPECT_EQ(reopened->executeFetchRequest(objectStoreTestItems())->size(), 2u);
  EXPECT_EQ(folder->objectsForKey("items").size(), 2u);
  reopened->deleteObject(folder);
  ASSERT_TRUE(reopened->save());
  EXPECT_TRUE(mainContext(objectStoreTestModel())->executeFetchRequest(objectStoreTestItems())->empty());
}

TEST_F(ObjectStoreTest, ManyNewRowsOfSeveralEntitiesAreAllWrittenWhole) {
  // New rows are written several to a statement: runs of every length
  // (one row, a batch, a batch and some) of alternating entities must all
  // arrive with their own values and links.
  auto main = mainContext(objectStoreTestModel());
  int expected = 0;
  for (int run : {1, 32, 70, 0, 5}) {
    auto folder = main->insertNewObjectForEntityForName("Folder");
    folder->setString("name", "folder" + std::to_string(run));
    for (int i = 0; i < run; ++i) {
      auto item = main->insertNewObjectForEntityForName("Item");
      item->setString("name", folder->stringForKey("name").value_or("") + "/" + std::to_string(i));
      item->setInteger("rank", expected++);
      item->setObjectForKey("folder", folder);
    }
  }
  ASSERT_TRUE(main->save());
  auto reopened = mainContext(objectStoreTestModel());
  auto items = reopened->executeFetchRequest(objectStoreTestItems());
  ASSERT_TRUE(items);
  ASSERT_EQ(items->size(), static_cast<std::size_t>(expected));
  for (std::size_t i = 0; i < items->size(); ++i) {
    const auto& item = (*items)[i];
    EXPECT_EQ(item->integerForKey("rank"), static_cast<std::int64_t>(i));
    auto folder = item->objectForKey("folder");
    ASSERT_TRUE(folder);
    const std::string name = item->stringForKey("name").value_or("");
    EXPECT_EQ(name.substr(0, name.find('/')), folder->stringForKey("name")) << name;
  }
}

struct ObjectStoreTestRecorder : FetchedResultsControllerDelegate {
  ObjectStoreTestRecorder() {
    controllerWillChangeContent = [this] { log.push_back("will"); };
    didChangeObject = [this](const std::shared_ptr<ManagedObject>& object, std::optional<std::size_t> from,
                             FetchedResultsChangeType type, std::optional<std::size_t> to) {
      static const char* kNames[] = {"insert", "delete", "move", "update"};
      log.push_back(std::string(kNames[static_cast<int>(type)]) + " " + object->stringForKey("name").value_or("") +
                    " " + (from ? std::to_string(*from) : "-") + ">" + (to ? std::to_string(*to) : "-"));
    };
    controllerDidChangeContent = [this] { log.push_back("did"); };
  }
  std::vector<std::string> log;
};

TEST_F(ObjectStoreTest, FetchedResultsReportEachSavesChangesBetweenWillAndDid) {
  auto main = mainContext(objectStoreTestModel());
  std::vector<std::shared_ptr<ManagedObject>> items;
  for (const char* name : {"a", "b", "c", "d"}) {
    items.push_back(main->insertNewObjectForEntityForName("Item"));
    items.back()->setString("name", name);
    items.back()->setInteger("rank", static_cast<std::int64_t>(items.size()));
  }
  ASSERT_TRUE(main->save());
  FetchedResultsController controller(objectStoreTestItems(), main);
  auto recorder = std::make_shared<ObjectStoreTestRecorder>();
  controller.setDelegate(recorder);
  ASSERT_TRUE(controller.performFetch());
  ASSERT_EQ(controller.numberOfObjects(), 4u);

  struct Step {
    std::function<void()> change;
    std::vector<std::string> expected;
  };
  const std::vector<Step> steps = {
      {[&] { items[1]->setString("name", "B"); }, {"will", "update B 1>1", "did"}},
      {[&] { items[0]->setInteger("rank", 10); }, {"will", "move a 0>3", "did"}},
      {[&] {
         main->deleteObject(items[2]);
         auto e = main->insertNewObjectForEntityForName("Item");
         e->setString("name", "e");
         e->setInteger("rank", 0);
       },
       {"will", "delete c 1>-", "insert e ->0", "did"}},
      {[&] {
         auto other = main->insertNewObjectForEntityForName("Folder");
         other->setString("name", "not an item");
       },
       {}},
  };
  for (const auto& step : steps) {
    recorder->log.clear();
    step.change();
    ASSERT_TRUE(main->save());
    EXPECT_EQ(recorder->log, step.expected);
  }
  EXPECT_EQ(objectStoreTestNames(platform::Result<std::vector<std::shared_ptr<ManagedObject>>>(controller.fetchedObjects())),
            (std::vector<std::string>{"e", "B", "d", "a"}));
}

}  // namespace

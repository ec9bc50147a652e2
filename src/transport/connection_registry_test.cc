#include "transport/connection_registry.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "platform/event_loop.h"
#include "transport/loopback_testing.h"
#include "transport/module_state.h"

namespace qz::transport {
namespace {

using testing::RegisteredCount;

// A connection object without a socket that records the order of unloads and whether its entry
// was already gone when it was unloaded.
class FakeConnection final : public ConnectionForm {
 public:
  static std::shared_ptr<FakeConnection> Create(std::vector<std::string>* log) {
    auto c = std::shared_ptr<FakeConnection>(new FakeConnection);
    c->log_ = log;
    return c;
  }
  int unloads = 0;
  bool registered_at_unload = false;

 protected:
  void OnUnload() override {
    ++unloads;
    const ConnectionRegistry* registry = Module1().gConnections.get();
    registered_at_unload = registry != nullptr && registry->Find(Tag()) != nullptr;
    if (log_ != nullptr) log_->push_back(Tag());
  }

 private:
  FakeConnection() = default;
  std::vector<std::string>* log_ = nullptr;
};

class RegistryTest : public testing::TransportTest {
 protected:
  std::shared_ptr<FakeConnection> Registered() {
    auto c = FakeConnection::Create(&unloaded_);
    c->Load();
    RegisterConnection(c);
    EXPECT_EQ(Module1().gConnections->Find(c->Tag()), c);
    return c;
  }
  void Post(std::function<void()> task) { platform::EventLoop::Current().Post(std::move(task)); }

  std::vector<std::string> unloaded_;
};

// A generator that yields the draws of `keys`, one character after another.
std::function<double()> Drawing(std::vector<std::string> keys) {
  auto draws = std::make_shared<std::vector<double>>();
  for (const std::string& key : keys) {
    for (char ch : key) {
      draws->push_back((static_cast<double>(kKeyAlphabet.find(ch)) + 0.5) / 60.0);
    }
  }
  auto next = std::make_shared<size_t>(0);
  return [draws, next] { return (*draws)[(*next)++ % draws->size()]; };
}

TEST_F(RegistryTest, KeysAreTwentyCharactersOfTheAlphabet) {
  ASSERT_EQ(kKeyAlphabet.size(), 60u);
  EXPECT_NE(kKeyAlphabet.find('\\'), std::string_view::npos);
  EXPECT_EQ(std::set<char>(kKeyAlphabet.begin(), kKeyAlphabet.end()).size(), 60u);
  std::set<char> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string key = NewConnectionKey();
    ASSERT_EQ(key.size(), kKeyLength);
    for (char ch : key) {
      ASSERT_NE(kKeyAlphabet.find(ch), std::string_view::npos) << key;
      seen.insert(ch);
    }
  }
  EXPECT_GT(seen.size(), 50u) << "4000 uniform draws reach nearly every character";
  // The extremes of [0, 1) land on the first and the last character.
  EXPECT_EQ(NewConnectionKey([] { return 0.0; }), std::string(20, 'A'));
  EXPECT_EQ(NewConnectionKey([] { return 0.9999999999; }), std::string(20, '*'));
}

TEST_F(RegistryTest, AKeyAlreadyPresentIsDrawnAgain) {
  const std::string taken = "ABCDEFGHIJKLMNOPQRST";
  const std::string fresh = "\\][{})(-_+=~!@#$%^&*";
  // No registry: the first key drawn is returned, even one that a registry might hold.
  EXPECT_EQ(NewConnectionKey(Drawing({taken, fresh})), taken);

  auto c = FakeConnection::Create(nullptr);
  c->Load();
  c->SetTag(taken);
  Module1().gConnections = std::make_unique<ConnectionRegistry>();
  ASSERT_TRUE(Module1().gConnections->Add(taken, c).ok());
  EXPECT_EQ(Module1().gConnections->Add(taken, c).code(), errc::kDuplicateKey);
  EXPECT_EQ(NewConnectionKey(Drawing({taken, taken, fresh})), fresh);
}

TEST_F(RegistryTest, RegistrationSetsTheTagAndKeepsInsertionOrder) {
  EXPECT_TRUE(Module1().gConnections == nullptr);
  auto a = Registered();
  auto b = Registered();
  ASSERT_TRUE(Module1().gConnections != nullptr);
  const ConnectionRegistry& registry = *Module1().gConnections;
  ASSERT_EQ(registry.Count(), 2u);
  EXPECT_EQ(registry.First().key, a->Tag());
  EXPECT_EQ(registry.Find(a->Tag()), a);
  EXPECT_EQ(registry.Find(b->Tag()), b);
  EXPECT_EQ(registry.Entries().back().object, b);
  EXPECT_EQ(a->Tag().size(), kKeyLength);
  EXPECT_NE(a->Tag(), b->Tag());
}

TEST_F(RegistryTest, RemovalTakesTheEntryFirstThenUnloads) {
  auto a = Registered();
  auto b = Registered();
  RemoveConnection("not a key of the registry");
  EXPECT_EQ(RegisteredCount(), 2u);
  EXPECT_TRUE(a->IsLoaded());

  RemoveConnection(a->Tag());
  EXPECT_EQ(a->unloads, 1);
  EXPECT_FALSE(a->registered_at_unload);
  EXPECT_EQ(RegisteredCount(), 1u);
  RemoveConnection(a->Tag());  // gone already: nothing happens
  EXPECT_EQ(a->unloads, 1);
  EXPECT_TRUE(b->IsLoaded());
}

TEST_F(RegistryTest, RemovalWithoutRegistryUnloadsNothing) {
  auto c = FakeConnection::Create(nullptr);
  c->Load();
  c->SetTag("ABCDEFGHIJKLMNOPQRST");
  RemoveConnection(c->Tag());
  EXPECT_TRUE(c->IsLoaded());
  EXPECT_TRUE(Module1().gConnections == nullptr);
  c->Unload();
}

TEST_F(RegistryTest, DrainWithoutRegistryOrEntries) {
  CloseAllConnections();
  EXPECT_TRUE(Module1().gConnections == nullptr);

  auto c = Registered();
  RemoveConnection(c->Tag());
  ASSERT_TRUE(Module1().gConnections != nullptr);
  CloseAllConnections();
  EXPECT_TRUE(Module1().gConnections == nullptr);
  Registered();
  EXPECT_EQ(RegisteredCount(), 1u) << "the next registration creates a new registry";
}

TEST_F(RegistryTest, DrainUnloadsOldestFirstAndReleasesTheRegistry) {
  auto a = Registered();
  auto b = Registered();
  auto c = Registered();
  CloseAllConnections();
  EXPECT_EQ(unloaded_, (std::vector<std::string>{a->Tag(), b->Tag(), c->Tag()}));
  EXPECT_FALSE(a->registered_at_unload || b->registered_at_unload || c->registered_at_unload);
  EXPECT_TRUE(Module1().gConnections == nullptr);
}

TEST_F(RegistryTest, DrainCopesWithHandlersThatRemoveOrAdd) {
  // The only entry is removed by a handler during the drain's pass: nothing more is fetched.
  auto only = Registered();
  Post([&] { RemoveConnection(only->Tag()); });
  CloseAllConnections();
  EXPECT_EQ(only->unloads, 1);
  EXPECT_TRUE(Module1().gConnections == nullptr);

  // Entries added during the drain are drained as well.
  unloaded_.clear();
  auto first = Registered();
  std::shared_ptr<FakeConnection> added;
  Post([&] { added = Registered(); });
  CloseAllConnections();
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(unloaded_, (std::vector<std::string>{first->Tag(), added->Tag()}));
  EXPECT_TRUE(Module1().gConnections == nullptr);
}

TEST_F(RegistryTest, DrainEndsForAnEntryWhoseTagChangedAndForANestedDrain) {
  auto changed = Registered();
  auto other = Registered();
  changed->SetTag(other->Tag());  // a Tag that names another entry
  CloseAllConnections();
  EXPECT_EQ(changed->unloads, 1);
  EXPECT_EQ(other->unloads, 1);
  EXPECT_TRUE(Module1().gConnections == nullptr);

  // A handler that runs the whole drain from inside the drain's pass.
  auto a = Registered();
  auto b = Registered();
  Post([] { CloseAllConnections(); });
  CloseAllConnections();
  EXPECT_EQ(a->unloads + b->unloads, 2);
  EXPECT_TRUE(Module1().gConnections == nullptr);
}

}  // namespace
}  // namespace qz::transport

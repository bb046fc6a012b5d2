// What every pasteboard does, checked against each one that can run here: the fake that the
// command tests stand on, and the X11 clipboard on a private X server.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "fakes.h"
#include "pasteboard.h"
#include "testing/x_server.h"

namespace kavri::keysend {
namespace {

struct FakeBackend {
  bool ready() const { return true; }
  Pasteboard& pasteboard() { return fake; }
  testing::CallLog log;
  testing::FakePasteboard fake{log};
};

struct X11Backend {
  bool ready() const { return server.ready(); }
  Pasteboard& pasteboard() { return *real; }
  // First, so that the server outlives the pasteboard's connection.
  testing::PrivateXServer server;
  std::unique_ptr<Pasteboard> real = makeGeneralPasteboard();
};

template <typename Backend>
class PasteboardContract : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(backend.ready()) << "the backend cannot run here"; }
  Pasteboard& pasteboard() { return backend.pasteboard(); }
  Backend backend;
};

using Backends = ::testing::Types<FakeBackend, X11Backend>;
TYPED_TEST_SUITE(PasteboardContract, Backends);

TYPED_TEST(PasteboardContract, ReadsBackTheStringLastSet) {
  EXPECT_EQ(this->pasteboard().stringForType(), std::nullopt);
  for (const std::string text : {"plain", "grüße 😀 日本語\n", "", "last"}) {
    ASSERT_TRUE(this->pasteboard().setString(text));
    EXPECT_EQ(this->pasteboard().stringForType(), text);
  }
}

TYPED_TEST(PasteboardContract, HoldsNothingOnceCleared) {
  ASSERT_TRUE(this->pasteboard().setString("to be cleared"));
  this->pasteboard().clearContents();
  EXPECT_EQ(this->pasteboard().stringForType(), std::nullopt);
  this->pasteboard().clearContents();
  EXPECT_EQ(this->pasteboard().stringForType(), std::nullopt);
  ASSERT_TRUE(this->pasteboard().setString("again"));
  EXPECT_EQ(this->pasteboard().stringForType(), "again");
}

TYPED_TEST(PasteboardContract, CarriesALargeTextWhole) {
  std::string large;
  for (int i = 0; large.size() < 3 * 1024 * 1024; ++i)
    large += "line " + std::to_string(i) + " é\n";
  ASSERT_TRUE(this->pasteboard().setString(large));
  std::optional<std::string> read = this->pasteboard().stringForType();
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->size(), large.size());
  EXPECT_TRUE(*read == large);
}

}  // namespace
}  // namespace kavri::keysend

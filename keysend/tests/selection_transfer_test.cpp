#include "selection_transfer.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kavri::keysend {
namespace {

using Type = SelectionProperty::Type;
using State = SelectionTransfer::State;

SelectionProperty incr(uint32_t size) {
  SelectionProperty property{Type::incremental, 32, std::string(4, '\0')};
  std::memcpy(property.bytes.data(), &size, 4);
  return property;
}

TEST(SelectionTransfer, AWholeReplyIsTheTextAndUtf8IsKeptByteForByte) {
  SelectionTransfer utf8;
  EXPECT_EQ(utf8.onReply(SelectionProperty{Type::utf8String, 8, "grüße\xff\n"}), State::done);
  EXPECT_EQ(utf8.text(), "grüße\xff\n");

  SelectionTransfer empty;
  EXPECT_EQ(empty.onReply(SelectionProperty{Type::utf8String, 8, ""}), State::done);
  EXPECT_EQ(empty.text(), "");

  SelectionTransfer latin1;
  EXPECT_EQ(latin1.onReply(SelectionProperty{Type::latin1String, 8, "caf\xe9"}), State::done);
  EXPECT_EQ(latin1.text(), "café");
}

TEST(SelectionTransfer, RefusalsAndForeignRepliesGiveNoText) {
  const std::vector<std::optional<SelectionProperty>> replies = {
      std::nullopt,
      SelectionProperty{Type::other, 8, "<html>"},
      SelectionProperty{Type::utf8String, 16, "ab"},
  };
  for (const auto& reply : replies) {
    SelectionTransfer transfer;
    EXPECT_EQ(transfer.onReply(reply), State::failed);
    EXPECT_EQ(transfer.text(), std::nullopt);
  }
}

TEST(SelectionTransfer, AnIncrementalTransferJoinsChunksUntilTheEmptyOne) {
  SelectionTransfer transfer;
  EXPECT_EQ(transfer.onReply(incr(9)), State::awaitingChunk);
  EXPECT_EQ(transfer.text(), std::nullopt);
  EXPECT_EQ(transfer.onChunk({Type::utf8String, 8, "日本"}), State::awaitingChunk);
  EXPECT_EQ(transfer.onChunk({Type::utf8String, 8, "語"}), State::awaitingChunk);
  EXPECT_EQ(transfer.onChunk({Type::utf8String, 8, ""}), State::done);
  EXPECT_EQ(transfer.text(), "日本語");
  // Nothing more is accepted once done.
  EXPECT_EQ(transfer.onChunk({Type::utf8String, 8, "x"}), State::failed);
}

TEST(SelectionTransfer, AnIncrementalTransferWithoutAnAnnouncedSizeStillWorks) {
  SelectionTransfer transfer;
  EXPECT_EQ(transfer.onReply(SelectionProperty{Type::incremental, 32, ""}), State::awaitingChunk);
  transfer.onChunk({Type::utf8String, 8, "abc"});
  EXPECT_EQ(transfer.onChunk({Type::utf8String, 8, ""}), State::done);
  EXPECT_EQ(transfer.text(), "abc");
}

TEST(SelectionTransfer, AnIncrementalTransferOfLatin1IsConvertedAtTheEnd) {
  SelectionTransfer transfer;
  transfer.onReply(incr(2));
  transfer.onChunk({Type::latin1String, 8, "\xe9"});
  transfer.onChunk({Type::latin1String, 8, "\xe8"});
  EXPECT_EQ(transfer.onChunk({Type::latin1String, 8, ""}), State::done);
  EXPECT_EQ(transfer.text(), "éè");
}

TEST(SelectionTransfer, BrokenIncrementalTransfersFail) {
  {
    SelectionTransfer mixed;
    mixed.onReply(incr(4));
    mixed.onChunk({Type::utf8String, 8, "ab"});
    EXPECT_EQ(mixed.onChunk({Type::latin1String, 8, "cd"}), State::failed);
    EXPECT_EQ(mixed.text(), std::nullopt);
  }
  {
    SelectionTransfer foreign;
    foreign.onReply(incr(4));
    EXPECT_EQ(foreign.onChunk({Type::other, 8, "ab"}), State::failed);
  }
  {
    SelectionTransfer chunkFirst;
    EXPECT_EQ(chunkFirst.onChunk({Type::utf8String, 8, "ab"}), State::failed);
  }
}

TEST(SelectionTransfer, AnOwnerSendingMoreThanTheLimitIsCutOff) {
  SelectionTransfer transfer(10);
  // A huge announced size must not be trusted for the reservation either.
  EXPECT_EQ(transfer.onReply(incr(0xFFFFFFFFu)), State::awaitingChunk);
  EXPECT_EQ(transfer.onChunk({Type::utf8String, 8, "0123456789"}), State::awaitingChunk);
  EXPECT_EQ(transfer.onChunk({Type::utf8String, 8, "a"}), State::failed);

  SelectionTransfer whole(3);
  EXPECT_EQ(whole.onReply(SelectionProperty{Type::utf8String, 8, "abcd"}), State::failed);
}

TEST(Latin1, ConvertsBothWaysAndMarksWhatLatin1Lacks) {
  EXPECT_EQ(latin1ToUtf8("A\xff\x80"), "Aÿ\xc2\x80");
  EXPECT_EQ(utf8ToLatin1("Aÿé"), "A\xff\xe9");
  EXPECT_EQ(utf8ToLatin1("€ 😀"), "? ?");
  EXPECT_EQ(utf8ToLatin1("a\xffz"), "a?z");
}

}  // namespace
}  // namespace kavri::keysend
